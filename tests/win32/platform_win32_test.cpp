// The Windows back end of the platform layer across real processes: the control program's
// start-up for three channels with the Win32 test relay, the report pipe's messages, the
// window calls on another process's window, the video player's command line and the ends of
// relays. Every check compares exact values; the exit code is the number of failed checks.
#include "check.h"
#include "core/player_launch.h"
#include "platform/pipe.h"
#include "platform/process.h"
#include "platform/win32/handles.h"
#include "platform/window.h"

#include <windows.h>

#include <cstdio>
#include <functional>
#include <iostream>
#include <string>
#include <thread>

namespace {

using win32_test::failures;

struct Message {
    bool ok;
    std::size_t bytes;
    std::size_t length;
    uint32_t error;
    std::string text;
};

Message read(platform::PipeHandle instance) {
    char buffer[512];
    const platform::PipeRead r = platform::readPipe(instance, buffer, sizeof buffer);
    const uint32_t error = r.ok && r.length <= r.bytes ? 0 : platform::lastError();
    return {r.ok, r.bytes, r.length, error, std::string(buffer, r.bytes)};
}

platform::WindowHandle awaitWindow(const std::string& title) {
    for (int i = 0; i < 1000; ++i) {
        if (const platform::WindowHandle w = platform::findWindow(title))
            return w;
        Sleep(10);
    }
    return 0;
}

constexpr uint32_t kCommand = 0xD000;
constexpr int kChannels = 3;

struct Channel {
    platform::PipeHandle instance = platform::kInvalidPipe;
    platform::ProcessId pid = 0;
    platform::WindowHandle window = 0;
};
Channel channels[kChannels];

// The control program's start-up: per channel an instance, the relay started as "Telnet",
// its connection, its window found by title and told its channel, host and port.
void startUp() {
    const std::string relay = platform::executableDirectory() + "test_relay_win32.exe";
    SetEnvironmentVariableA("VORBELT_RELAY_PROGRAM", relay.c_str());
    CHECK_EQ(platform::relayProgram(), relay);
    for (int j = 0; j < kChannels; ++j) {
        Channel& c = channels[j];
        c.instance = platform::createNamedPipe(platform::kReportPipeName);
        CHECK(c.instance != platform::kInvalidPipe);
        c.pid = platform::createProcess(platform::relayProgram(), "Telnet");
        CHECK(c.pid > 0);
        const platform::PipeConnect connect = platform::connectNamedPipe(c.instance, 10000);
        CHECK(connect == platform::PipeConnect::Connected ||
              connect == platform::PipeConnect::AlreadyConnected);
        CHECK_EQ(read(c.instance).text, "cmd Telnet"); // GetCommandLineA in the child
        // One instance per channel: a second client finds none free.
        const platform::PipeHandle extra = platform::openPipe(platform::kReportPipeName);
        CHECK_EQ(extra, platform::kInvalidPipe);
        CHECK_EQ(platform::lastError(), uint32_t(ERROR_PIPE_BUSY));
        c.window = awaitWindow("Telnet");
        CHECK(c.window != 0);
        CHECK(platform::postMessage(c.window, kCommand, 0, j));
        CHECK_EQ(read(c.instance).text, "channel " + std::to_string(j));
        CHECK_EQ(platform::getWindowText(c.window), std::to_string(j));
        // Retitled, it is found no more by "Telnet" but by its channel.
        CHECK_EQ(platform::findWindow("Telnet"), platform::WindowHandle(0));
        CHECK_EQ(platform::findWindow(std::to_string(j)), c.window);
        platform::postMessage(c.window, kCommand, 1, 0);
        platform::postMessage(c.window, kCommand, 2, 9000 + j);
        CHECK_EQ(read(c.instance).text, "code 1 0");
        CHECK_EQ(read(c.instance).text, "code 2 " + std::to_string(9000 + j));
    }
}

// One message per read; an over-long one is read whole, reported with ERROR_MORE_DATA, and
// the next read is the next message.
void reports() {
    for (const Channel& c : channels) {
        platform::postMessage(c.window, kCommand, 23, 0);
        const Message length = read(c.instance);
        CHECK(length.ok);
        CHECK_EQ(length.bytes, 7u);
        CHECK_EQ(length.text, "125\r\n> ");
        platform::postMessage(c.window, kCommand, 24, 0);
        platform::postMessage(c.window, kCommand, 23, 0);
        const Message longOne = read(c.instance);
        CHECK(longOne.ok);
        CHECK_EQ(longOne.bytes, 512u);
        CHECK_EQ(longOne.length, 600u);
        CHECK_EQ(longOne.error, uint32_t(ERROR_MORE_DATA)); // 234
        CHECK_EQ(read(c.instance).text, "125\r\n> ");
    }
}

// Key-downs, placement, stacking, activation and layering of another process's window.
void windowCalls() {
    const Channel& c = channels[0];
    HWND hwnd = platform::win32::toHwnd(c.window);
    platform::postMessage(c.window, platform::WM_KEYDOWN_MESSAGE, platform::VK_END_KEY, 0);
    platform::postMessage(c.window, platform::WM_KEYDOWN_MESSAGE, platform::VK_LEFT_KEY, 0);
    CHECK_EQ(read(c.instance).text, "key 35");
    CHECK_EQ(read(c.instance).text, "key 37");

    CHECK(platform::setWindowPos(c.window, platform::HWND_TOP_WINDOW, 480, 810, 480, 270,
                                 0x0010 /* SWP_NOACTIVATE */));
    platform::WindowGeometry g{};
    CHECK(platform::windowGeometry(c.window, g));
    CHECK_EQ(g.x, 480);
    CHECK_EQ(g.y, 810);
    CHECK_EQ(g.width, 480);
    CHECK_EQ(g.height, 270);
    // Stacking: to the bottom the other relays' windows stand above it, to the top below it.
    auto below = [](HWND upper, HWND lower) {
        for (HWND w = GetWindow(upper, GW_HWNDNEXT); w; w = GetWindow(w, GW_HWNDNEXT))
            if (w == lower)
                return true;
        return false;
    };
    HWND other = platform::win32::toHwnd(channels[1].window);
    // (Without SWP_NOACTIVATE the window would be activated, and with that raised.)
    CHECK(platform::setWindowPos(c.window, platform::HWND_BOTTOM_WINDOW, 0, 0, 640, 360,
                                 0x0210 /* SWP_NOOWNERZORDER | SWP_NOACTIVATE */));
    CHECK(below(other, hwnd));
    CHECK(platform::setWindowPos(c.window, platform::HWND_TOP_WINDOW, 0, 0, 640, 360,
                                 0x0010 /* SWP_NOACTIVATE */));
    CHECK(below(hwnd, other));
    CHECK(platform::windowGeometry(c.window, g));
    CHECK_EQ(g.width, 640);

    // (Wine's null display driver keeps no foreground window to read back.)
    CHECK(platform::setForegroundWindow(channels[1].window));

    CHECK_EQ(platform::getWindowLong(c.window, platform::GWL_EXSTYLE_INDEX) &
                 platform::WS_EX_LAYERED_STYLE,
             0);
    platform::setWindowLong(c.window, platform::GWL_EXSTYLE_INDEX, platform::WS_EX_LAYERED_STYLE);
    // The whole extended style is replaced; the system keeps WS_EX_WINDOWEDGE (0x100) on a
    // window with a caption and a sizing frame.
    CHECK_EQ(platform::getWindowLong(c.window, platform::GWL_EXSTYLE_INDEX),
             platform::WS_EX_LAYERED_STYLE | WS_EX_WINDOWEDGE);
    CHECK(platform::setLayeredWindowAttributes(c.window, 0, 101, platform::LWA_ALPHA_FLAG));
    CHECK_EQ(platform::windowAlpha(c.window), 101);
    CHECK(
        platform::setLayeredWindowAttributes(c.window, 0x0000FF, 26, platform::LWA_COLORKEY_FLAG));
    COLORREF key = 0;
    BYTE alpha = 0;
    DWORD flags = 0;
    CHECK(GetLayeredWindowAttributes(hwnd, &key, &alpha, &flags));
    CHECK_EQ(key, COLORREF(0x0000FF));
    CHECK_EQ(flags, DWORD(LWA_COLORKEY));
    CHECK_EQ(platform::windowAlpha(c.window), 255); // no alpha mode
}

// The video player's command line reaches the player as built, "--dummy-quiet" included.
void videoPlayerCommandLine() {
    const std::string player = platform::executableDirectory() + "test_relay_win32.exe";
    SetEnvironmentVariableA("VORBELT_VIDEO_PLAYER_PROGRAM", player.c_str());
    CHECK_EQ(platform::videoPlayerProgram(), player);
    const std::string line =
        vorbelt::playerCommandLine(1, true, "c:\\rec\\take1_st.mpg", /*windowsOptions=*/true);
    CHECK(line.find(" --dummy-quiet ") != std::string::npos);
    const platform::PipeHandle instance = platform::createNamedPipe(platform::kReportPipeName);
    const platform::ProcessId pid = platform::createProcess(platform::videoPlayerProgram(), line);
    CHECK(pid > 0);
    platform::connectNamedPipe(instance, 10000);
    CHECK_EQ(read(instance).text, "cmd " + line);
    const Message end = read(instance); // it ends after its report
    CHECK(!end.ok);
    CHECK_EQ(end.error, uint32_t(ERROR_BROKEN_PIPE));
    platform::closePipe(instance);
    CHECK_EQ(platform::createProcess("c:/no/such/program.exe", "x"), -1);
}

// A client that was there before ConnectNamedPipe counts as connected; a wait without one
// ends at its bound.
void connectCases() {
    const platform::PipeHandle early = platform::createNamedPipe(platform::kReportPipeName);
    const platform::PipeHandle client = platform::openPipe(platform::kReportPipeName);
    CHECK(client != platform::kInvalidPipe);
    CHECK(platform::setPipeMessageMode(client));
    CHECK(platform::connectNamedPipe(early, 1000) == platform::PipeConnect::AlreadyConnected);
    CHECK_EQ(platform::lastError(), uint32_t(ERROR_PIPE_CONNECTED)); // 535
    uint32_t written = 0;
    CHECK(platform::writePipe(client, "get_time", 8, &written));
    CHECK_EQ(written, 8u);
    CHECK_EQ(read(early).text, "get_time");
    platform::closePipe(client);
    platform::closePipe(early);

    const platform::PipeHandle lonely = platform::createNamedPipe(platform::kReportPipeName);
    CHECK(platform::connectNamedPipe(lonely, 200) == platform::PipeConnect::TimedOut);
    platform::closePipe(lonely);
}

// Relays that end: terminated, closed with WM_CLOSE, and a reader woken by cancelPipeIo.
void endings() {
    // Terminated: the reader sees the pipe broken.
    const Channel& a = channels[0];
    const platform::ProcessHandle h = platform::openProcess(a.pid);
    CHECK(h != 0);
    CHECK(platform::terminateProcess(h, 0));
    platform::closeProcessHandle(h);
    const Message broken = read(a.instance);
    CHECK(!broken.ok);
    CHECK_EQ(broken.error, uint32_t(ERROR_BROKEN_PIPE)); // 109
    for (int i = 0; i < 100 && platform::processRunning(a.pid); ++i)
        Sleep(10);
    CHECK(!platform::processRunning(a.pid));
    CHECK_EQ(platform::openProcess(a.pid), platform::ProcessHandle(0));

    // WM_CLOSE: the relay says goodbye and its pipe ends.
    const Channel& b = channels[1];
    CHECK(platform::postMessage(b.window, platform::WM_CLOSE_MESSAGE, 0, 0));
    CHECK_EQ(read(b.instance).text, "close");
    CHECK_EQ(read(b.instance).error, uint32_t(ERROR_BROKEN_PIPE));

    // A reader blocked on a live relay is woken by cancelPipeIo.
    const Channel& c = channels[2];
    Message woken{};
    std::thread reader([&] { woken = read(c.instance); });
    Sleep(200);
    platform::cancelPipeIo(c.instance);
    reader.join();
    CHECK(!woken.ok);
    CHECK_EQ(woken.error, uint32_t(ERROR_OPERATION_ABORTED)); // 995
    const platform::ProcessHandle last = platform::openProcess(c.pid);
    CHECK(platform::terminateProcess(last, 0));
    platform::closeProcessHandle(last);
    for (Channel& ch : channels) {
        platform::disconnectNamedPipe(ch.instance);
        platform::closePipe(ch.instance);
    }
}

} // namespace

int main() {
    const std::pair<const char*, std::function<void()>> steps[] = {
        {"start-up of three channels", startUp},
        {"reports", reports},
        {"window calls", windowCalls},
        {"video player command line", videoPlayerCommandLine},
        {"connect cases", connectCases},
        {"endings", endings},
    };
    for (const auto& [name, step] : steps) {
        const int before = failures;
        step();
        std::cout << (failures == before ? "ok   " : "FAIL ") << name << std::endl;
    }
    return failures;
}
