// Windows of any process on Windows: the calls themselves.
#include "platform/win32/handles.h"
#include "platform/window.h"

namespace platform {

using win32::fromHwnd;
using win32::toHwnd;

bool windowSystemAvailable() {
    return GetDesktopWindow() != nullptr;
}

std::string windowSystemRefusal(const std::string& name) {
    return windowSystemAvailable() ? std::string() : name + ": no desktop to open windows on.";
}

WindowHandle findWindow(const std::string& title) {
    return fromHwnd(FindWindowExA(nullptr, nullptr, nullptr, title.c_str()));
}

WindowHandle findWindowOf(const std::string& title, int32_t owner) {
    HWND w = nullptr;
    while ((w = FindWindowExA(nullptr, w, nullptr, title.c_str())) != nullptr) {
        DWORD pid = 0;
        GetWindowThreadProcessId(w, &pid);
        if (static_cast<int32_t>(pid) == owner)
            return fromHwnd(w);
    }
    return 0;
}

bool setWindowText(WindowHandle window, const std::string& title) {
    return SetWindowTextA(toHwnd(window), title.c_str()) != 0;
}

std::string getWindowText(WindowHandle window) {
    char text[512];
    const int n = GetWindowTextA(toHwnd(window), text, sizeof text);
    return std::string(text, n > 0 ? n : 0);
}

bool postMessage(WindowHandle window, uint32_t message, uint32_t wParam, int32_t lParam) {
    return PostMessageA(toHwnd(window), message, wParam, lParam) != 0;
}

bool setWindowPos(WindowHandle window, intptr_t insertAfter, int x, int y, int width, int height,
                  uint32_t flags) {
    return SetWindowPos(toHwnd(window), reinterpret_cast<HWND>(insertAfter), x, y, width, height,
                        flags) != 0;
}

bool setForegroundWindow(WindowHandle window) {
    return SetForegroundWindow(toHwnd(window)) != 0;
}

bool removeWindowFrame(WindowHandle window) {
    const HWND w = toHwnd(window);
    const LONG style = GetWindowLongA(w, GWL_STYLE);
    if (style == 0)
        return false;
    SetWindowLongA(w, GWL_STYLE, style & ~(WS_CAPTION | WS_THICKFRAME | WS_BORDER));
    return SetWindowPos(w, nullptr, 0, 0, 0, 0,
                        SWP_FRAMECHANGED | SWP_NOMOVE | SWP_NOSIZE | SWP_NOZORDER |
                            SWP_NOACTIVATE) != 0;
}

int32_t getWindowLong(WindowHandle window, int index) {
    return GetWindowLongA(toHwnd(window), index);
}

int32_t setWindowLong(WindowHandle window, int index, int32_t value) {
    return SetWindowLongA(toHwnd(window), index, value);
}

bool setLayeredWindowAttributes(WindowHandle window, uint32_t colorKey, uint8_t alpha,
                                uint32_t flags) {
    return SetLayeredWindowAttributes(toHwnd(window), colorKey, alpha, flags) != 0;
}

// Windows applies the colour key itself.
void setColourKeyCutter(WindowHandle, ColourKeyCutter) {}

bool windowGeometry(WindowHandle window, WindowGeometry& out) {
    RECT r;
    if (!GetWindowRect(toHwnd(window), &r))
        return false;
    out = {r.left, r.top, r.right - r.left, r.bottom - r.top};
    return true;
}

int windowAlpha(WindowHandle window) {
    COLORREF key = 0;
    BYTE alpha = 255;
    DWORD flags = 0;
    if (!GetLayeredWindowAttributes(toHwnd(window), &key, &alpha, &flags) || !(flags & LWA_ALPHA))
        return 255;
    return alpha;
}

} // namespace platform
