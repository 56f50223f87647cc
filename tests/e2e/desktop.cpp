#include "desktop.h"

#include "platform/window.h"

#include <QLCDNumber>
#include <QPainter>

#include <X11/XKBlib.h>
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XTest.h>
#include <X11/extensions/Xfixes.h>
#include <X11/extensions/shape.h>

#include <chrono>
#include <csignal>
#include <cstring>
#include <map>
#include <stdexcept>
#include <thread>
#include <tuple>

namespace e2e {
namespace {

void pause(int ms) {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

// Whether the root window names a live window manager check window.
bool managed(Display* d) {
    Atom type;
    int format;
    unsigned long count, after;
    unsigned char* data = nullptr;
    Window check = 0;
    if (XGetWindowProperty(d, DefaultRootWindow(d),
                           XInternAtom(d, "_NET_SUPPORTING_WM_CHECK", False), 0, 1, False,
                           XA_WINDOW, &type, &format, &count, &after, &data) == Success &&
        data && count == 1)
        check = *reinterpret_cast<Window*>(data);
    if (data)
        XFree(data);
    XWindowAttributes a;
    return check != 0 && XGetWindowAttributes(d, check, &a);
}

int ignoreErrors(Display*, XErrorEvent*) {
    return 0;
}

} // namespace

std::unique_ptr<QApplication> offscreenApplication(int argc, char** argv) {
    static std::vector<char*> args;
    static char platform[] = "-platform", offscreen[] = "offscreen";
    static int count = 0;
    args.assign(argv, argv + argc);
    args.insert(args.begin() + 1, {platform, offscreen});
    count = static_cast<int>(args.size());
    return std::make_unique<QApplication>(count, args.data());
}

Desktop::Desktop() {
    d_ = XOpenDisplay(nullptr);
    if (!d_)
        throw std::runtime_error("no X display");
    XSetErrorHandler(ignoreErrors);
    int event, error, major, minor;
    if (!XTestQueryExtension(d_, &event, &error, &major, &minor))
        throw std::runtime_error("the X server has no XTEST extension");
}

Desktop::~Desktop() {
    stopWindowManager();
    XCloseDisplay(d_);
}

void Desktop::sync() const {
    XSync(d_, False);
}

void Desktop::startWindowManager() {
    if (wm_)
        return;
    wm_ = std::make_unique<testing_support::Child>("/usr/bin/openbox",
                                                   std::vector<std::string>{"--sm-disable"});
    if (!testing_support::waitUntil([&] { return managed(d_); }, 10000))
        throw std::runtime_error("openbox did not start");
}

void Desktop::stopWindowManager() {
    if (!wm_)
        return;
    // Asked to end, openbox gives its windows back to the root window.
    kill(wm_->pid(), SIGTERM);
    wm_->wait(5000);
    wm_.reset();
    testing_support::waitUntil([&] { return !managed(d_); }, 5000);
}

void Desktop::key(const std::string& name, bool shift) {
    const KeySym sym = XStringToKeysym(name.c_str());
    const KeyCode code = sym == NoSymbol ? 0 : XKeysymToKeycode(d_, sym);
    if (code == 0)
        throw std::runtime_error("no key for " + name);
    // The keysym on the key's second level needs Shift.
    shift = shift || XkbKeycodeToKeysym(d_, code, 0, 0) != sym;
    const KeyCode shiftCode = XKeysymToKeycode(d_, XK_Shift_L);
    if (shift)
        XTestFakeKeyEvent(d_, shiftCode, True, CurrentTime);
    XTestFakeKeyEvent(d_, code, True, CurrentTime);
    XTestFakeKeyEvent(d_, code, False, CurrentTime);
    if (shift)
        XTestFakeKeyEvent(d_, shiftCode, False, CurrentTime);
    sync();
    pause(20);
}

void Desktop::type(const std::string& text) {
    for (char c : text) {
        // Keysyms of printable ASCII are the characters themselves.
        const char* name = XKeysymToString(static_cast<KeySym>(static_cast<unsigned char>(c)));
        if (!name)
            throw std::runtime_error(std::string("cannot type ") + c);
        key(name);
    }
}

void Desktop::move(int x, int y) {
    XTestFakeMotionEvent(d_, -1, x, y, CurrentTime);
    sync();
    pause(20);
}

void Desktop::click(int x, int y) {
    move(x, y);
    XTestFakeButtonEvent(d_, 1, True, CurrentTime);
    XTestFakeButtonEvent(d_, 1, False, CurrentTime);
    sync();
    pause(20);
}

void Desktop::doubleClick(int x, int y) {
    move(x, y);
    for (int k = 0; k < 2; ++k) {
        XTestFakeButtonEvent(d_, 1, True, CurrentTime);
        XTestFakeButtonEvent(d_, 1, False, CurrentTime);
        sync();
        pause(30);
    }
}

void Desktop::drag(const QPoint& from, const QPoint& to, int steps) {
    move(from.x(), from.y());
    XTestFakeButtonEvent(d_, 1, True, CurrentTime);
    sync();
    for (int k = 1; k <= steps; ++k)
        move(from.x() + (to.x() - from.x()) * k / steps,
             from.y() + (to.y() - from.y()) * k / steps);
    XTestFakeButtonEvent(d_, 1, False, CurrentTime);
    sync();
    pause(20);
}

QRect Desktop::geometry(Window w) const {
    platform::WindowGeometry g{};
    if (!w || !platform::windowGeometry(w, g))
        return {};
    return QRect(g.x, g.y, g.width, g.height);
}

Window Desktop::focused() const {
    ::Window w = 0;
    int revert = 0;
    XGetInputFocus(d_, &w, &revert);
    return w;
}

bool Desktop::covers(Window w, const QPoint& at) const {
    const QRect where = geometry(w);
    if (!where.contains(at))
        return false;
    int count = 0, ordering = 0;
    XRectangle* rects = XShapeGetRectangles(d_, w, ShapeBounding, &count, &ordering);
    bool inside = false;
    for (int k = 0; k < count && !inside; ++k)
        inside = QRect(rects[k].x, rects[k].y, rects[k].width, rects[k].height)
                     .contains(at - where.topLeft());
    if (rects)
        XFree(rects);
    return inside;
}

QImage Desktop::cursor() const {
    XFixesCursorImage* c = XFixesGetCursorImage(d_);
    if (!c)
        return {};
    QImage image(c->width, c->height, QImage::Format_ARGB32);
    for (int y = 0; y < c->height; ++y)
        for (int x = 0; x < c->width; ++x)
            image.setPixel(x, y, static_cast<QRgb>(c->pixels[y * c->width + x]));
    XFree(c);
    return image;
}

std::string Desktop::title(Window w) const {
    return platform::getWindowText(w);
}

bool Desktop::ofProgram(Window w, const std::string& program) const {
    XClassHint hint{};
    if (!XGetClassHint(d_, w, &hint))
        return false;
    // The instance name is the program's own name; a program started with an empty first
    // argument (as the station starts its players) is known by its class.
    const bool match = (hint.res_name && program == hint.res_name) ||
                       (hint.res_class && program == hint.res_class);
    XFree(hint.res_name);
    XFree(hint.res_class);
    return match;
}

std::vector<Window> Desktop::topLevels(bool viewableOnly) const {
    std::vector<Window> found;
    std::vector<Window> level{DefaultRootWindow(d_)};
    for (int depth = 0; depth < 2; ++depth) {
        std::vector<Window> next;
        for (Window parent : level) {
            Window root, par, *kids = nullptr;
            unsigned n = 0;
            if (!XQueryTree(d_, parent, &root, &par, &kids, &n))
                continue;
            // XQueryTree lists from the bottom of the stacking order.
            for (unsigned k = n; k-- > 0;) {
                XWindowAttributes a;
                if (!XGetWindowAttributes(d_, kids[k], &a) ||
                    (viewableOnly && a.map_state != IsViewable))
                    continue;
                // A client window has a name or a class; a frame has neither.
                XClassHint hint{};
                const bool classed = XGetClassHint(d_, kids[k], &hint);
                if (classed) {
                    XFree(hint.res_name);
                    XFree(hint.res_class);
                }
                if (classed || !platform::getWindowText(kids[k]).empty())
                    found.push_back(kids[k]);
                else
                    next.push_back(kids[k]);
            }
            if (kids)
                XFree(kids);
        }
        level = next;
    }
    return found;
}

Window Desktop::find(const std::string& title) const {
    return platform::findWindow(title);
}

std::vector<Window> Desktop::titled(const std::string& title) const {
    std::vector<Window> found;
    for (Window w : topLevels(false))
        if (platform::getWindowText(w) == title)
            found.push_back(w);
    return found;
}

std::vector<Window> Desktop::viewableWindowsOf(const std::string& program) const {
    std::vector<Window> found;
    for (Window w : topLevels(true))
        if (ofProgram(w, program))
            found.push_back(w);
    return found;
}

void Desktop::atOneInstant(const std::function<void()>& read) const {
    XGrabServer(d_);
    struct Release {
        _XDisplay* d;
        ~Release() {
            XUngrabServer(d);
            XFlush(d);
        }
    } release{d_};
    read();
}

QImage Desktop::grab(const QRect& area) const {
    XImage* img = XGetImage(d_, DefaultRootWindow(d_), area.x(), area.y(),
                            static_cast<unsigned>(area.width()),
                            static_cast<unsigned>(area.height()), AllPlanes, ZPixmap);
    if (!img)
        return {};
    QImage out(area.size(), QImage::Format_RGB32);
    const bool direct = img->bits_per_pixel == 32 && img->byte_order == LSBFirst &&
                        img->red_mask == 0xFF0000 && img->blue_mask == 0xFF;
    for (int y = 0; y < area.height(); ++y) {
        auto* row = reinterpret_cast<QRgb*>(out.scanLine(y));
        if (direct) {
            std::memcpy(row, img->data + y * img->bytes_per_line,
                        static_cast<std::size_t>(area.width()) * 4);
            continue;
        }
        for (int x = 0; x < area.width(); ++x) {
            const unsigned long p = XGetPixel(img, x, y);
            row[x] = qRgb((p >> 16) & 0xFF, (p >> 8) & 0xFF, p & 0xFF);
        }
    }
    XDestroyImage(img);
    return out;
}

namespace {

// The pixels of the display's segments: exactly the station's maroon.
std::vector<bool> segments(const QImage& picture) {
    std::vector<bool> on;
    on.reserve(static_cast<std::size_t>(picture.width() * picture.height()));
    for (int y = 0; y < picture.height(); ++y)
        for (int x = 0; x < picture.width(); ++x)
            on.push_back(picture.pixel(x, y) == qRgb(128, 0, 0));
    return on;
}

} // namespace

int readFrameNumber(const QImage& screen, const QRect& window) {
    // The demo's picture is 640 x 360, scaled to the window; the strip stands 616 to 640
    // across, its blocks 12 high from the top.
    auto bit = [&](int block) {
        const QPoint at(window.x() + (616 + 12) * window.width() / 640,
                        window.y() + (12 * block + 6) * window.height() / 360);
        if (!screen.rect().contains(at))
            return -1;
        return qGray(screen.pixel(at)) > 128 ? 1 : 0;
    };
    if (bit(0) != 1 || bit(1) != 0)
        return -1;
    int frame = 0;
    for (int block = 2; block < 18; ++block) {
        const int b = bit(block);
        if (b < 0)
            return -1;
        frame = frame * 2 + b;
    }
    return frame;
}

int readFrameNumber(const Desktop& desktop, const QRect& window) {
    // Only the column of the strip is read off the screen: a fraction of a whole-screen grab.
    const int x = window.x() + (616 + 12) * window.width() / 640;
    const QImage column = desktop.grab(QRect(x, window.y(), 1, window.height()));
    return readFrameNumber(column, window.translated(-x, -window.y()));
}

int readLcd(const QImage& picture, int digits, int largest) {
    // The station's displays: filled segments, no frame, maroon on its panel.
    static std::map<std::tuple<int, int, int>, std::vector<std::vector<bool>>> drawn;
    auto& faces = drawn[{digits, picture.width(), picture.height()}];
    if (faces.empty()) {
        QLCDNumber lcd;
        lcd.setDigitCount(digits);
        lcd.setSegmentStyle(QLCDNumber::Filled);
        lcd.setFrameShape(QFrame::NoFrame);
        QPalette p = lcd.palette();
        p.setColor(QPalette::WindowText, QColor(128, 0, 0));
        p.setColor(QPalette::Window, QColor(192, 192, 192));
        lcd.setPalette(p);
        lcd.resize(picture.size());
        for (int v = 0; v <= largest; ++v) {
            lcd.display(v);
            QImage face(picture.size(), QImage::Format_RGB32);
            face.fill(QColor(192, 192, 192));
            lcd.render(&face);
            faces.push_back(segments(face));
        }
    }
    const std::vector<bool> seen = segments(picture);
    for (int v = 0; v <= largest; ++v)
        if (faces[static_cast<std::size_t>(v)] == seen)
            return v;
    return -1;
}

} // namespace e2e
