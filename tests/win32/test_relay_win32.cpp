// A relay for the Windows tests: a plain Win32 window titled "Telnet" that writes into the
// report pipe whatever reaches it. Its first report is its own command line; started with any
// other command line than "Telnet" (as a video player would be), it reports it and ends.
#include "platform/pipe.h"

#include <windows.h>

#include <string>

namespace {

platform::PipeHandle reportPipe = platform::kInvalidPipe;

void report(const std::string& text) {
    uint32_t written = 0;
    platform::writePipe(reportPipe, text.data(), text.size(), &written);
}

LRESULT CALLBACK windowProcedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case 0xD000:
        switch (wParam) {
        case 0: // the channel index becomes the title
            SetWindowTextA(window, std::to_string(lParam).c_str());
            report("channel " + std::to_string(lParam));
            return 0;
        case 23: // a length report as VLC's answer comes: number, line end, prompt
            report("125\r\n> ");
            return 0;
        case 24: // an over-long report
            report(std::string(600, 'x'));
            return 0;
        default:
            report("code " + std::to_string(wParam) + " " + std::to_string(lParam));
            return 0;
        }
    case WM_KEYDOWN:
        report("key " + std::to_string(wParam));
        return 0;
    case WM_CLOSE:
        report("close");
        DestroyWindow(window);
        return 0;
    case WM_DESTROY:
        PostQuitMessage(0);
        return 0;
    default:
        return DefWindowProcA(window, message, wParam, lParam);
    }
}

} // namespace

int main() {
    const std::string commandLine = GetCommandLineA();
    // The next free instance, tried every 5 ms for up to 10 s, as the relay does.
    for (int i = 0; i < 2000 && reportPipe == platform::kInvalidPipe; ++i) {
        reportPipe = platform::openPipe(platform::kReportPipeName);
        if (reportPipe == platform::kInvalidPipe)
            Sleep(5);
    }
    if (reportPipe == platform::kInvalidPipe)
        return 2;
    platform::setPipeMessageMode(reportPipe);
    report("cmd " + commandLine);
    if (commandLine != "Telnet")
        return 0;

    WNDCLASSA windowClass{};
    windowClass.lpfnWndProc = windowProcedure;
    windowClass.hInstance = GetModuleHandleA(nullptr);
    windowClass.lpszClassName = "VorbeltTestRelay";
    RegisterClassA(&windowClass);
    HWND window = CreateWindowExA(0, windowClass.lpszClassName, "Telnet", WS_OVERLAPPEDWINDOW, 0, 0,
                                  200, 100, nullptr, nullptr, windowClass.hInstance, nullptr);
    if (!window)
        return 3;
    ShowWindow(window, SW_SHOWNOACTIVATE);
    MSG message;
    while (GetMessageA(&message, nullptr, 0, 0) > 0) {
        TranslateMessage(&message);
        DispatchMessageA(&message);
    }
    platform::closePipe(reportPipe);
    return 0;
}
