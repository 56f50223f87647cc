// Top-level windows of any process: find by title, retitle, post messages, place, stack,
// activate and layer. Shaped like FindWindowExA, SetWindowTextA, PostMessageA,
// SetWindowPos, SetForegroundWindow, SetWindowLongA and SetLayeredWindowAttributes.
// Every call may be made from any thread.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

namespace platform {

using WindowHandle = unsigned long; // 0: none

constexpr uint32_t WM_CLOSE_MESSAGE = 0x0010;
constexpr uint32_t WM_KEYDOWN_MESSAGE = 0x0100;

// Virtual-key codes posted to video windows.
enum VirtualKey : uint32_t {
    VK_BACK_KEY = 8,
    VK_SPACE_KEY = 32,
    VK_END_KEY = 35,
    VK_HOME_KEY = 36,
    VK_LEFT_KEY = 37,
    VK_UP_KEY = 38,
    VK_RIGHT_KEY = 39,
    VK_DOWN_KEY = 40,
    VK_INSERT_KEY = 45,
};

// SetWindowPos insert-after values and flags.
constexpr intptr_t HWND_TOP_WINDOW = 0;
constexpr intptr_t HWND_BOTTOM_WINDOW = 1;
constexpr intptr_t HWND_TOPMOST_WINDOW = -1;
constexpr intptr_t HWND_NOTOPMOST_WINDOW = -2;
constexpr uint32_t SWP_NOSIZE_FLAG = 0x0001;
constexpr uint32_t SWP_NOMOVE_FLAG = 0x0002;
constexpr uint32_t SWP_NOZORDER_FLAG = 0x0004;
constexpr uint32_t SWP_SHOWWINDOW_FLAG = 0x0040;

constexpr int GWL_EXSTYLE_INDEX = -20;
constexpr int32_t WS_EX_LAYERED_STYLE = 0x00080000;
constexpr uint32_t LWA_COLORKEY_FLAG = 1;
constexpr uint32_t LWA_ALPHA_FLAG = 2;

// Whether a window system is reachable from this process.
bool windowSystemAvailable();
// Why a program of `name` cannot open its windows, in one line, or an empty text when it can
// (on X11: no display could be opened, unless Qt is asked for another platform).
std::string windowSystemRefusal(const std::string& name);

// First top-level window, from the top of the stacking order, titled exactly `title`.
WindowHandle findWindow(const std::string& title);
// The same among the windows of process `owner` only: a window that another program titled so
// is passed over. (On X11 a window's process is asked of the server where it can tell, else
// read from its _NET_WM_PID; a window that says neither is passed over too.)
WindowHandle findWindowOf(const std::string& title, int32_t owner);
bool setWindowText(WindowHandle window, const std::string& title);
std::string getWindowText(WindowHandle window);

// Posts without waiting. WM_KEYDOWN with a virtual-key code becomes a key press in the
// window, WM_CLOSE a close request; any other number arrives as a posted message that the
// receiving program takes with a posted-message filter.
bool postMessage(WindowHandle window, uint32_t message, uint32_t wParam, int32_t lParam);

bool setWindowPos(WindowHandle window, intptr_t insertAfter, int x, int y, int width, int height,
                  uint32_t flags);
bool setForegroundWindow(WindowHandle window);

// Takes the frame off another program's window (no title bar, no border), so that the window's
// picture stands exactly where setWindowPos puts it, under any window manager.
bool removeWindowFrame(WindowHandle window);

int32_t getWindowLong(WindowHandle window, int index);
int32_t setWindowLong(WindowHandle window, int index, int32_t value);

// colorKey is a Windows COLORREF (0x00BBGGRR). Alpha mode makes the whole window translucent;
// colour-key mode makes the pixels of the key colour transparent to the eye and the pointer.
bool setLayeredWindowAttributes(WindowHandle window, uint32_t colorKey, uint8_t alpha,
                                uint32_t flags);

// A program that draws one of its own windows knows where the key colour is: it may register a
// cutter for that window, which setLayeredWindowAttributes then calls (on = colour-key mode)
// instead of reading the window's pixels from the screen. Pass an empty function to remove it.
using ColourKeyCutter = std::function<void(uint32_t colorKey, bool on)>;
void setColourKeyCutter(WindowHandle window, ColourKeyCutter cutter);

// Where a window stands and how large it is (screen coordinates), for checks and tests.
struct WindowGeometry {
    int x, y, width, height;
};
bool windowGeometry(WindowHandle window, WindowGeometry& out);
// The opacity set by alpha mode as an alpha byte, or 255 when none is set.
int windowAlpha(WindowHandle window);

} // namespace platform
