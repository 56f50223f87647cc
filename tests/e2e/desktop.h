// The desktop as an operator meets it: keyboard and mouse input through the XTEST extension
// (the path a physical keyboard and mouse take, through the programs' focus and popup
// handling), an optional window manager, and what is on screen read back from the X server.
#pragma once

#include "child.h"

#include <QApplication>
#include <QImage>
#include <QRect>

#include <functional>
#include <memory>
#include <string>
#include <vector>

struct _XDisplay;

namespace e2e {

using Window = unsigned long;

// The Qt application of a program that drives the station from outside: it draws nothing on
// the desktop it drives (its Qt, used only to draw reference pictures, renders off screen;
// said on the command line, not in the environment, which the station inherits).
std::unique_ptr<QApplication> offscreenApplication(int argc, char** argv);

class Desktop {
public:
    Desktop(); // the display named by $DISPLAY
    ~Desktop();
    Desktop(const Desktop&) = delete;
    Desktop& operator=(const Desktop&) = delete;

    // openbox, started and waited for until it manages the screen; or ended.
    void startWindowManager();
    void stopWindowManager();

    // A key by its X keysym name ("F3", "Tab", "Return", "BackSpace", "asterisk", "3"), with
    // Shift held when asked or when this keyboard needs it for the keysym.
    void key(const std::string& keysymName, bool shift = false);
    // Printable ASCII text, key by key.
    void type(const std::string& text);
    void move(int x, int y);
    void click(int x, int y);
    // Two presses within the double-click time.
    void doubleClick(int x, int y);
    // The button pressed at `from`, the pointer moved in `steps` steps to `to`, released there.
    void drag(const QPoint& from, const QPoint& to, int steps = 8);

    // The topmost window titled `title`, or 0; every window so titled, topmost first; and where
    // a window's picture stands on the screen, translated to the root window.
    Window find(const std::string& title) const;
    std::vector<Window> titled(const std::string& title) const;
    QRect geometry(Window w) const;
    // Mapped top-level windows (popups included) of the program named `program`.
    std::vector<Window> viewableWindowsOf(const std::string& program) const;
    std::string title(Window w) const;
    // Whether the window's WM_CLASS names `program`.
    bool ofProgram(Window w, const std::string& program) const;
    // The window that has the keyboard.
    Window focused() const;
    // Viewable top-level windows, the topmost first.
    std::vector<Window> stacking() const { return topLevels(true); }
    // Whether `w`'s shape (its bounding region, which a colour key cuts) takes in screen point
    // `at`.
    bool covers(Window w, const QPoint& at) const;
    // The pointer's picture now, as the X server shows it.
    QImage cursor() const;
    // The screen's pixels in `area`, as the operator sees them.
    QImage grab(const QRect& area) const;
    // Holds every other client's requests (XGrabServer) while `read` runs, so that several
    // grabs show the screen of one instant, however busy the players keep the X server.
    void atOneInstant(const std::function<void()>& read) const;

private:
    void sync() const;
    // Top-level client windows from the top of the stacking order: the root's children, or the
    // children of a window manager's frames.
    std::vector<Window> topLevels(bool viewableOnly) const;

    _XDisplay* d_ = nullptr;
    std::unique_ptr<testing_support::Child> wm_;
};

// What a seven-segment display with `digits` digits of the station shows in `picture` (filled
// maroon segments), read by comparing with the same display drawn here; -1 when no value
// between 0 and `largest` matches.
int readLcd(const QImage& picture, int digits, int largest = 999);

// The number of the frame that the video `window` (where it stands on `screen`, a grab of the
// whole screen) shows of a demo recording (tools/make_demo.sh), read from the strip of blocks
// at the picture's right edge; -1 when the strip is not readable there.
int readFrameNumber(const QImage& screen, const QRect& window);
// The same read straight off the screen (only the strip's column is grabbed).
int readFrameNumber(const Desktop& desktop, const QRect& window);

} // namespace e2e
