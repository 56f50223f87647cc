// Pictures of other programs' windows on X11: Damage reports the drawing into a watched window
// (once per picture: the report is re-armed as it is taken), structure events its destruction.
// Drawing into a window that others cover wholly is clipped away, and no damage is reported:
// a watched window is redirected (Composite, automatic: the server draws it into a pixmap of its
// own and shows it as before), so that its pictures are told wherever it stands in the stack.
// One X connection and one thread of the watch's own, woken by the X connection or by a pipe
// when the set of windows changes.
#include "platform/pictures.h"

#include <X11/Xlib.h>
#include <X11/extensions/Xcomposite.h>
#include <X11/extensions/Xdamage.h>

#include <fcntl.h>
#include <map>
#include <mutex>
#include <poll.h>
#include <thread>
#include <unistd.h>

namespace platform {

namespace {

// Drawings of one picture closer together than this are one picture (a player that clears
// the borders around its picture draws twice).
constexpr int64_t kSamePictureMs = 4;

} // namespace

struct PictureWatch::Impl {
    OnPicture onPicture;
    OnGone onGone;
    Display* display = nullptr;
    int damageEvent = 0;
    bool composite = false; // the server can redirect windows
    int wake[2] = {-1, -1};
    std::thread thread;
    std::mutex lock;
    bool stop = false;               // under lock
    bool changed = false;            // under lock
    std::vector<WindowHandle> asked; // under lock
    bool askedPictures = false;      // under lock

    struct Watched {
        Damage damage = 0;
        int64_t lastPicture = 0;
    };
    std::map<Window, Watched> watched; // the thread's own

    void apply() {
        std::vector<WindowHandle> windows;
        bool pictures;
        {
            std::lock_guard<std::mutex> g(lock);
            windows = asked;
            pictures = askedPictures;
            changed = false;
        }
        std::map<Window, Watched> next;
        for (WindowHandle w : windows) {
            if (w == 0)
                continue;
            Watched entry;
            auto old = watched.find(w);
            if (old != watched.end()) {
                entry = old->second;
                watched.erase(old);
            } else {
                XSelectInput(display, w, StructureNotifyMask);
            }
            if (pictures && !entry.damage) {
                if (composite)
                    XCompositeRedirectWindow(display, w, CompositeRedirectAutomatic);
                entry.damage = XDamageCreate(display, w, XDamageReportNonEmpty);
            } else if (!pictures && entry.damage) {
                release(w, entry);
            }
            next[w] = entry;
        }
        for (auto& [w, entry] : watched) {
            if (entry.damage)
                release(w, entry);
            XSelectInput(display, w, NoEventMask);
        }
        watched = std::move(next);
        XSync(display, False);
    }

    // Its pictures are no longer watched. (A window already gone makes errors that the window
    // layer's handler takes.)
    void release(Window w, Watched& entry) {
        XDamageDestroy(display, entry.damage);
        entry.damage = 0;
        if (composite)
            XCompositeUnredirectWindow(display, w, CompositeRedirectAutomatic);
    }

    void run() {
        const int fd = ConnectionNumber(display);
        for (;;) {
            bool again = false;
            {
                std::lock_guard<std::mutex> g(lock);
                if (stop)
                    break;
                again = changed;
            }
            if (again)
                apply();
            while (XPending(display) > 0) {
                XEvent e;
                XNextEvent(display, &e);
                handle(e);
            }
            pollfd p[2] = {{fd, POLLIN, 0}, {wake[0], POLLIN, 0}};
            if (poll(p, 2, -1) < 0)
                continue;
            if (p[1].revents & POLLIN) {
                char drain[64];
                while (read(wake[0], drain, sizeof drain) > 0) {
                }
            }
        }
    }

    void handle(const XEvent& e) {
        if (e.type == damageEvent + XDamageNotify) {
            // One report when a window's damage becomes non-empty, however many pieces the
            // drawing came in (a picture under a shaped window is clipped into hundreds): taken,
            // the damage is cleared for the next picture.
            const auto& d = reinterpret_cast<const XDamageNotifyEvent&>(e);
            XDamageSubtract(display, d.damage, None, None);
            auto it = watched.find(d.drawable);
            if (it == watched.end())
                return;
            const int64_t at = steadyMs();
            if (at - it->second.lastPicture >= kSamePictureMs && onPicture)
                onPicture(d.drawable, at);
            it->second.lastPicture = at;
        } else if (e.type == DestroyNotify) {
            auto it = watched.find(e.xdestroywindow.window);
            if (it == watched.end())
                return;
            // (The damage went with the window.)
            watched.erase(it);
            if (onGone)
                onGone(e.xdestroywindow.window);
        }
    }
};

PictureWatch::PictureWatch(OnPicture onPicture, OnGone onGone) : impl_(new Impl) {
    impl_->onPicture = std::move(onPicture);
    impl_->onGone = std::move(onGone);
    // (The window layer installs the process's X error handler: a window that vanishes between
    // two requests must not end the program.)
    if (!windowSystemAvailable())
        return;
    impl_->display = XOpenDisplay(nullptr);
    int error = 0;
    if (!impl_->display)
        return;
    int compositeEvent = 0, compositeError = 0, major = 0, minor = 2;
    // (Redirection came with version 0.2.)
    impl_->composite = XCompositeQueryExtension(impl_->display, &compositeEvent, &compositeError) &&
                       XCompositeQueryVersion(impl_->display, &major, &minor) &&
                       (major > 0 || minor >= 2);
    if (!XDamageQueryExtension(impl_->display, &impl_->damageEvent, &error) ||
        pipe2(impl_->wake, O_CLOEXEC | O_NONBLOCK) != 0) {
        XCloseDisplay(impl_->display);
        impl_->display = nullptr;
        return;
    }
    impl_->thread = std::thread([this] { impl_->run(); });
}

PictureWatch::~PictureWatch() {
    if (impl_->thread.joinable()) {
        {
            std::lock_guard<std::mutex> g(impl_->lock);
            impl_->stop = true;
        }
        (void)!write(impl_->wake[1], "x", 1);
        impl_->thread.join();
    }
    if (impl_->display)
        XCloseDisplay(impl_->display);
    for (int fd : impl_->wake)
        if (fd >= 0)
            close(fd);
}

bool PictureWatch::available() const {
    return impl_->display != nullptr;
}

void PictureWatch::watch(const std::vector<WindowHandle>& windows, bool pictures) {
    if (!available())
        return;
    {
        std::lock_guard<std::mutex> g(impl_->lock);
        impl_->asked = windows;
        impl_->askedPictures = pictures;
        impl_->changed = true;
    }
    (void)!write(impl_->wake[1], "x", 1);
}

} // namespace platform
