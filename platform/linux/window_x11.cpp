// Windows of any process on X11. A window handle is the X id of the titled client window.
// Every thread gets its own X connection, so the calls are safe from the reader threads.
#include "platform/window.h"

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XRes.h>
#include <X11/extensions/shape.h>
#include <X11/keysym.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <mutex>
#include <vector>

namespace platform {
namespace {

constexpr int kSearchDepth = 3; // root child, window-manager frame, client

// X errors (a window that vanished, say) must not end the program: remember the last one.
thread_local int tlsXError = 0;
int onXError(Display*, XErrorEvent* e) {
    tlsXError = e->error_code;
    return 0;
}

struct Connection {
    Display* display = nullptr;
    bool tried = false;
    ~Connection() {
        if (display)
            XCloseDisplay(display);
    }
};

Display* display() {
    static std::once_flag once;
    std::call_once(once, [] { XSetErrorHandler(onXError); });
    thread_local Connection c;
    if (!c.tried) {
        c.tried = true;
        c.display = XOpenDisplay(nullptr);
    }
    return c.display;
}

Atom atom(Display* d, const char* name) {
    return XInternAtom(d, name, False);
}

// Runs the queued requests and tells whether any of them failed.
bool synced(Display* d) {
    tlsXError = 0;
    XSync(d, False);
    return tlsXError == 0;
}

bool readUtf8Property(Display* d, Window w, Atom prop, Atom type, std::string& out) {
    Atom actual;
    int format;
    unsigned long count, after;
    unsigned char* data = nullptr;
    if (XGetWindowProperty(d, w, prop, 0, 4096, False, type, &actual, &format, &count, &after,
                           &data) != Success)
        return false;
    const bool ok = data && actual == type && format == 8;
    if (ok)
        out.assign(reinterpret_cast<char*>(data), count);
    if (data)
        XFree(data);
    return ok;
}

bool windowTitle(Display* d, Window w, std::string& title) {
    if (readUtf8Property(d, w, atom(d, "_NET_WM_NAME"), atom(d, "UTF8_STRING"), title))
        return true;
    return readUtf8Property(d, w, XA_WM_NAME, XA_STRING, title);
}

// A property of 32-bit items of window `w` (a CARDINAL, WINDOW or ATOM list), at most `most` of
// them; empty when it is missing or of another type. (Xlib hands 32-bit items over as longs.)
std::vector<unsigned long> readLongs(Display* d, Window w, Atom prop, Atom type, long most) {
    Atom actual;
    int format;
    unsigned long count, after;
    unsigned char* data = nullptr;
    std::vector<unsigned long> out;
    if (XGetWindowProperty(d, w, prop, 0, most, False, type, &actual, &format, &count, &after,
                           &data) == Success &&
        data && actual == type && format == 32) {
        const auto* items = reinterpret_cast<const unsigned long*>(data);
        out.assign(items, items + count);
    }
    if (data)
        XFree(data);
    return out;
}

// One 32-bit CARDINAL property of a window.
bool readCardinal(Display* d, Window w, const char* name, unsigned long& value) {
    const std::vector<unsigned long> v = readLongs(d, w, atom(d, name), XA_CARDINAL, 1);
    if (v.size() != 1)
        return false;
    value = v[0];
    return true;
}

// ICCCM: a client leader's WM_CLIENT_LEADER names the leader itself.
bool clientLeader(Display* d, Window w) {
    const std::vector<unsigned long> v = readLongs(d, w, atom(d, "WM_CLIENT_LEADER"), XA_WINDOW, 1);
    return v.size() == 1 && v[0] == w;
}

// The process that owns window `w`: asked of the server (X-Resource), else its _NET_WM_PID;
// 0 when neither tells.
long windowProcess(Display* d, Window w) {
    // (libXRes keeps the answer per display: asked once for each connection.)
    int event, error;
    if (XResQueryExtension(d, &event, &error)) {
        XResClientIdSpec client{w, XRES_CLIENT_ID_PID_MASK};
        long count = 0;
        XResClientIdValue* ids = nullptr;
        long pid = 0;
        if (XResQueryClientIds(d, 1, &client, &count, &ids) == Success) {
            for (long k = 0; k < count && pid <= 0; ++k)
                pid = XResGetClientPid(&ids[k]);
            XResClientIdsDestroy(count, ids);
        }
        if (pid > 0)
            return pid;
    }
    unsigned long netPid = 0;
    return readCardinal(d, w, "_NET_WM_PID", netPid) ? static_cast<long>(netPid) : 0;
}

Window search(Display* d, Window parent, const std::string& title, int depth,
              const std::function<bool(Window)>& accept) {
    Window root, par, *kids = nullptr;
    unsigned int n = 0;
    if (!XQueryTree(d, parent, &root, &par, &kids, &n))
        return 0;
    std::vector<Window> list(kids, kids + n);
    if (kids)
        XFree(kids);
    // XQueryTree lists bottom to top; the topmost match wins. A client-leader window is no
    // window of the user's: Qt titles its hidden leader with the application name.
    for (auto it = list.rbegin(); it != list.rend(); ++it) {
        std::string t;
        if (windowTitle(d, *it, t) && t == title && !clientLeader(d, *it) && accept(*it))
            return *it;
    }
    if (depth > 1)
        for (auto it = list.rbegin(); it != list.rend(); ++it)
            if (Window w = search(d, *it, title, depth - 1, accept))
                return w;
    return 0;
}

bool wmSupports(Display* d, const char* what) {
    const std::vector<unsigned long> atoms =
        readLongs(d, DefaultRootWindow(d), atom(d, "_NET_SUPPORTED"), XA_ATOM, 4096);
    return std::find(atoms.begin(), atoms.end(), atom(d, what)) != atoms.end();
}

KeySym keysymOf(uint32_t vk) {
    switch (vk) {
    case 8:
        return XK_BackSpace;
    case 9:
        return XK_Tab;
    case 13:
        return XK_Return;
    case 27:
        return XK_Escape;
    case 32:
        return XK_space;
    case 33:
        return XK_Prior;
    case 34:
        return XK_Next;
    case 35:
        return XK_End;
    case 36:
        return XK_Home;
    case 37:
        return XK_Left;
    case 38:
        return XK_Up;
    case 39:
        return XK_Right;
    case 40:
        return XK_Down;
    case 45:
        return XK_Insert;
    case 46:
        return XK_Delete;
    default:
        break;
    }
    if (vk >= '0' && vk <= '9')
        return XK_0 + (vk - '0');
    if (vk >= 'A' && vk <= 'Z')
        return XK_a + (vk - 'A');
    if (vk >= 0x70 && vk <= 0x7B) // VK_F1 .. VK_F12
        return XK_F1 + (vk - 0x70);
    return NoSymbol;
}

bool sendKey(Display* d, Window w, uint32_t vk) {
    const KeySym sym = keysymOf(vk);
    if (sym == NoSymbol)
        return false;
    XKeyEvent e{};
    e.type = KeyPress;
    e.display = d;
    e.window = w;
    e.root = DefaultRootWindow(d);
    e.subwindow = None;
    e.time = CurrentTime;
    e.same_screen = True;
    e.state = 0;
    e.keycode = XKeysymToKeycode(d, sym);
    if (e.keycode == 0)
        return false;
    XSendEvent(d, w, True, KeyPressMask, reinterpret_cast<XEvent*>(&e));
    return synced(d);
}

bool sendClientMessage(Display* d, Window w, Atom type, long l0, long l1, long l2) {
    XClientMessageEvent e{};
    e.type = ClientMessage;
    e.display = d;
    e.window = w;
    e.message_type = type;
    e.format = 32;
    e.data.l[0] = l0;
    e.data.l[1] = l1;
    e.data.l[2] = l2;
    XSendEvent(d, w, False, NoEventMask, reinterpret_cast<XEvent*>(&e));
    XFlush(d);
    return true;
}

// Shape that leaves out every pixel of the key colour, from what the window shows now.
bool cutOutColour(Display* d, Window w, uint32_t colorKey) {
    XWindowAttributes a;
    if (!XGetWindowAttributes(d, w, &a) || a.map_state != IsViewable)
        return false;
    tlsXError = 0;
    XImage* img = XGetImage(d, w, 0, 0, a.width, a.height, AllPlanes, ZPixmap);
    if (!img)
        return false;
    const unsigned long r = colorKey & 0xFF, g = (colorKey >> 8) & 0xFF,
                        b = (colorKey >> 16) & 0xFF;
    auto scaled = [](unsigned long v, unsigned long mask) {
        unsigned long shift = 0;
        while (mask && !(mask & 1)) {
            mask >>= 1;
            ++shift;
        }
        return ((v * mask) / 255) << shift;
    };
    const unsigned long key =
        scaled(r, img->red_mask) | scaled(g, img->green_mask) | scaled(b, img->blue_mask);
    const unsigned long rgbMask = img->red_mask | img->green_mask | img->blue_mask;
    const int stride = (a.width + 7) / 8;
    std::vector<char> bits(static_cast<std::size_t>(stride) * a.height, 0);
    const bool fast = img->bits_per_pixel == 32 && img->byte_order == LSBFirst;
    for (int y = 0; y < a.height; ++y) {
        const auto* row = reinterpret_cast<const uint32_t*>(img->data + y * img->bytes_per_line);
        for (int x = 0; x < a.width; ++x) {
            const unsigned long px = fast ? row[x] : XGetPixel(img, x, y);
            if ((px & rgbMask) != key)
                bits[static_cast<std::size_t>(y) * stride + x / 8] |=
                    static_cast<char>(1 << (x % 8));
        }
    }
    XDestroyImage(img);
    Pixmap mask = XCreateBitmapFromData(d, w, bits.data(), a.width, a.height);
    XShapeCombineMask(d, w, ShapeBounding, 0, 0, mask, ShapeSet);
    XShapeCombineMask(d, w, ShapeInput, 0, 0, mask, ShapeSet);
    XFreePixmap(d, mask);
    return synced(d);
}

std::mutex cuttersLock;
std::map<WindowHandle, ColourKeyCutter> cutters;

ColourKeyCutter cutterFor(WindowHandle w) {
    std::lock_guard<std::mutex> g(cuttersLock);
    auto it = cutters.find(w);
    return it == cutters.end() ? ColourKeyCutter{} : it->second;
}

} // namespace

void setColourKeyCutter(WindowHandle w, ColourKeyCutter cutter) {
    std::lock_guard<std::mutex> g(cuttersLock);
    if (cutter)
        cutters[w] = std::move(cutter);
    else
        cutters.erase(w);
}

bool windowSystemAvailable() {
    return display() != nullptr;
}

std::string windowSystemRefusal(const std::string& name) {
    const char* platform = std::getenv("QT_QPA_PLATFORM");
    if (platform && *platform && std::strncmp(platform, "xcb", 3) != 0)
        return {};
    if (windowSystemAvailable())
        return {};
    const char* where = std::getenv("DISPLAY");
    return name + ": no X display could be opened" +
           (where && *where ? std::string(" (DISPLAY=") + where + ")" : " (DISPLAY is not set)") +
           ".";
}

namespace {

// The top-level client windows as a window manager lists them (EWMH), topmost first; nothing
// without one. Reading the titles of these alone costs a fraction of walking the tree, where
// every frame's decorations are windows too (some 700 with a station and its players).
bool managedWindows(Display* d, std::vector<Window>& out) {
    const Window root = DefaultRootWindow(d);
    const std::vector<unsigned long> check =
        readLongs(d, root, atom(d, "_NET_SUPPORTING_WM_CHECK"), XA_WINDOW, 1);
    XWindowAttributes a;
    if (check.size() != 1 || !XGetWindowAttributes(d, check[0], &a))
        return false;
    const std::vector<unsigned long> stacking =
        readLongs(d, root, atom(d, "_NET_CLIENT_LIST_STACKING"), XA_WINDOW, 65536);
    out.assign(stacking.rbegin(), stacking.rend());
    return !out.empty();
}

Window find(Display* d, const std::string& title, const std::function<bool(Window)>& accept) {
    std::vector<Window> managed;
    if (managedWindows(d, managed)) {
        for (Window w : managed) {
            std::string t;
            if (windowTitle(d, w, t) && t == title && !clientLeader(d, w) && accept(w))
                return w;
        }
        // (A window just shown, not yet taken in by the manager, is found by the next look.)
        return 0;
    }
    return search(d, DefaultRootWindow(d), title, kSearchDepth, accept);
}

} // namespace

WindowHandle findWindow(const std::string& title) {
    Display* d = display();
    if (!d)
        return 0;
    tlsXError = 0;
    return find(d, title, [](Window) { return true; });
}

WindowHandle findWindowOf(const std::string& title, int32_t owner) {
    Display* d = display();
    if (!d)
        return 0;
    tlsXError = 0;
    // A window whose process cannot be told is not taken: it may be anyone's.
    return find(d, title, [&](Window w) { return windowProcess(d, w) == owner; });
}

bool setWindowText(WindowHandle w, const std::string& title) {
    Display* d = display();
    if (!d || !w)
        return false;
    tlsXError = 0;
    XStoreName(d, w, title.c_str());
    XChangeProperty(d, w, atom(d, "_NET_WM_NAME"), atom(d, "UTF8_STRING"), 8, PropModeReplace,
                    reinterpret_cast<const unsigned char*>(title.data()),
                    static_cast<int>(title.size()));
    return synced(d);
}

std::string getWindowText(WindowHandle w) {
    Display* d = display();
    std::string t;
    if (d && w)
        windowTitle(d, w, t);
    return t;
}

bool postMessage(WindowHandle w, uint32_t message, uint32_t wParam, int32_t lParam) {
    Display* d = display();
    if (!d || !w)
        return false;
    if (message == WM_KEYDOWN_MESSAGE)
        return sendKey(d, w, wParam);
    if (message == WM_CLOSE_MESSAGE)
        return sendClientMessage(d, w, atom(d, "WM_PROTOCOLS"),
                                 static_cast<long>(atom(d, "WM_DELETE_WINDOW")), CurrentTime, 0);
    return sendClientMessage(d, w, atom(d, "VORBELT_POSTED_MESSAGE"), message,
                             static_cast<long>(wParam), static_cast<long>(lParam));
}

bool setWindowPos(WindowHandle w, intptr_t insertAfter, int x, int y, int width, int height,
                  uint32_t flags) {
    Display* d = display();
    if (!d || !w)
        return false;
    XWindowChanges c{};
    unsigned mask = 0;
    if (!(flags & SWP_NOMOVE_FLAG)) {
        c.x = x;
        c.y = y;
        mask |= CWX | CWY;
    }
    if (!(flags & SWP_NOSIZE_FLAG) && width > 0 && height > 0) {
        c.width = width;
        c.height = height;
        mask |= CWWidth | CWHeight;
    }
    if (!(flags & SWP_NOZORDER_FLAG)) {
        c.stack_mode = insertAfter == HWND_BOTTOM_WINDOW ? Below : Above;
        mask |= CWStackMode;
    }
    tlsXError = 0;
    if (mask)
        XConfigureWindow(d, w, mask, &c);
    if (flags & SWP_SHOWWINDOW_FLAG)
        XMapWindow(d, w);
    return synced(d);
}

bool setForegroundWindow(WindowHandle w) {
    Display* d = display();
    if (!d || !w)
        return false;
    tlsXError = 0;
    if (wmSupports(d, "_NET_ACTIVE_WINDOW")) {
        XClientMessageEvent e{};
        e.type = ClientMessage;
        e.window = w;
        e.message_type = atom(d, "_NET_ACTIVE_WINDOW");
        e.format = 32;
        e.data.l[0] = 2; // source: a pager, which window managers obey
        e.data.l[1] = CurrentTime;
        XSendEvent(d, DefaultRootWindow(d), False,
                   SubstructureRedirectMask | SubstructureNotifyMask,
                   reinterpret_cast<XEvent*>(&e));
    } else {
        XMapRaised(d, w);
        XSetInputFocus(d, w, RevertToParent, CurrentTime);
    }
    return synced(d);
}

bool removeWindowFrame(WindowHandle w) {
    Display* d = display();
    if (!d || !w)
        return false;
    tlsXError = 0;
    // Motif hints with no decorations: EWMH window managers draw no title bar and no border.
    // The property's type must be the hints' own atom, or window managers ignore it.
    const Atom hints = atom(d, "_MOTIF_WM_HINTS");
    const long motif[5] = {2 /* decorations given */, 0, 0 /* none */, 0, 0};
    XChangeProperty(d, w, hints, hints, 32, PropModeReplace,
                    reinterpret_cast<const unsigned char*>(motif), 5);
    // Static gravity: a position asked for is the window's own, not its frame's, so that the
    // picture lands where asked even under a manager that keeps a frame.
    XSizeHints* size = XAllocSizeHints();
    long supplied = 0;
    if (size) {
        if (!XGetWMNormalHints(d, w, size, &supplied))
            size->flags = 0;
        size->flags |= PWinGravity;
        size->win_gravity = StaticGravity;
        XSetWMNormalHints(d, w, size);
        XFree(size);
    }
    return synced(d);
}

int32_t getWindowLong(WindowHandle w, int index) {
    Display* d = display();
    if (!d || !w || index != GWL_EXSTYLE_INDEX)
        return 0;
    unsigned long v = 0;
    return readCardinal(d, w, "VORBELT_EX_STYLE", v) ? static_cast<int32_t>(v) : 0;
}

int32_t setWindowLong(WindowHandle w, int index, int32_t value) {
    // X11 needs nothing to make a window layered; the style is kept as a property so that
    // it can be read back like on Windows.
    Display* d = display();
    if (!d || !w || index != GWL_EXSTYLE_INDEX)
        return 0;
    const int32_t old = getWindowLong(w, index);
    const long v = static_cast<uint32_t>(value);
    XChangeProperty(d, w, atom(d, "VORBELT_EX_STYLE"), XA_CARDINAL, 32, PropModeReplace,
                    reinterpret_cast<const unsigned char*>(&v), 1);
    synced(d);
    return old;
}

bool setLayeredWindowAttributes(WindowHandle w, uint32_t colorKey, uint8_t alpha, uint32_t flags) {
    Display* d = display();
    if (!d || !w)
        return false;
    tlsXError = 0;
    const Atom opacity = atom(d, "_NET_WM_WINDOW_OPACITY");
    if (flags & LWA_ALPHA_FLAG) {
        const long v = static_cast<long>(static_cast<unsigned long>(alpha) * 0x01010101UL);
        XChangeProperty(d, w, opacity, XA_CARDINAL, 32, PropModeReplace,
                        reinterpret_cast<const unsigned char*>(&v), 1);
    } else {
        XDeleteProperty(d, w, opacity);
    }
    if (const ColourKeyCutter cut = cutterFor(w)) {
        const bool ok = synced(d);
        cut(colorKey, (flags & LWA_COLORKEY_FLAG) != 0);
        return ok;
    }
    if (flags & LWA_COLORKEY_FLAG)
        return cutOutColour(d, w, colorKey) && synced(d);
    // No colour key: the whole window is shown again.
    XShapeCombineMask(d, w, ShapeBounding, 0, 0, None, ShapeSet);
    XShapeCombineMask(d, w, ShapeInput, 0, 0, None, ShapeSet);
    return synced(d);
}

bool windowGeometry(WindowHandle w, WindowGeometry& out) {
    Display* d = display();
    if (!d || !w)
        return false;
    tlsXError = 0;
    XWindowAttributes a;
    if (!XGetWindowAttributes(d, w, &a))
        return false;
    Window child;
    int x = 0, y = 0;
    XTranslateCoordinates(d, w, DefaultRootWindow(d), 0, 0, &x, &y, &child);
    out = WindowGeometry{x, y, a.width, a.height};
    return tlsXError == 0;
}

int windowAlpha(WindowHandle w) {
    Display* d = display();
    unsigned long v = 0;
    if (!d || !w || !readCardinal(d, w, "_NET_WM_WINDOW_OPACITY", v))
        return 255;
    return static_cast<int>((v & 0xFFFFFFFFUL) >> 24);
}

} // namespace platform
