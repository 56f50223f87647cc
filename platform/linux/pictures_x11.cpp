// Pictures of other programs' windows on X11: Damage reports the drawing into a watched window
// (once per picture: the report is re-armed as it is taken), structure events its destruction.
// Drawing into a window that others cover wholly is clipped away, and no damage is reported:
// a watched window is redirected (Composite, automatic: the server draws it into a pixmap of its
// own and shows it as before), so that its pictures are told wherever it stands in the stack.
// Asked to, the watch tells a new picture from the same one drawn again: at each report the
// server scales the window's contents (the redirected window keeps them) down to a small grid
// of samples (Render, nearest pixel), which is read back and compared with the last picture's.
// The samples come back through shared memory where the server can write there (MIT-SHM, a
// server on this machine), through the connection otherwise: eight cameras make 200 pictures a
// second, and the copies through the socket were most of the watch's own work.
// One X connection and one thread of the watch's own, woken by the X connection or by a pipe
// when the set of windows changes.
#include "platform/pictures.h"

#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XShm.h>
#include <X11/extensions/Xcomposite.h>
#include <X11/extensions/Xdamage.h>
#include <X11/extensions/Xrender.h>

#include <cstring>
#include <fcntl.h>
#include <map>
#include <mutex>
#include <poll.h>
#include <pthread.h>
#include <sys/ipc.h>
#include <sys/shm.h>
#include <thread>
#include <unistd.h>

namespace platform {

namespace {

// Drawings of one picture closer together than this are one picture (a player that clears
// the borders around its picture draws twice).
constexpr int64_t kSamePictureMs = 4;
// The grid of samples a picture's content is compared by: one pixel in 15 across and down of a
// 1920 x 1080 picture, one in 2 of a small tile.
constexpr int kSamplesAcross = 128;
constexpr int kSamplesDown = 72;

} // namespace

struct PictureWatch::Impl {
    OnPicture onPicture;
    OnGone onGone;
    bool tellContent = false;
    Display* display = nullptr;
    int damageEvent = 0;
    bool composite = false; // the server can redirect windows
    bool render = false;    // and scale their contents
    bool shared = false;    // and write the samples into shared memory (until that once fails)
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
        int width = 0, height = 0;
        // The window's contents as a source, scaled onto `samples` (0: not told).
        Picture source = 0;
        Pixmap samples = 0;
        Picture target = 0;
        // The samples' shared memory (null: read through the connection).
        XImage* sharedImage = nullptr;
        XShmSegmentInfo segment{};
        bool printed = false; // `print` holds the last picture's samples
        std::vector<uint32_t> print;
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
                sample(w, entry);
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
        unsample(entry);
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
        // (The rest goes with the connection; the shared samples are this process's mappings.)
        for (auto& [w, entry] : watched)
            unshare(entry);
    }

    // Window `w`'s contents are sampled from now on (when content is to be told and the server
    // can): a picture of the window, scaled by its size onto the grid.
    void sample(Window w, Watched& entry) {
        XWindowAttributes a;
        if (!tellContent || !composite || !render || !XGetWindowAttributes(display, w, &a))
            return;
        XRenderPictFormat* format = XRenderFindVisualFormat(display, a.visual);
        XRenderPictFormat* argb = XRenderFindStandardFormat(display, PictStandardARGB32);
        if (!format || !argb)
            return;
        XRenderPictureAttributes pa;
        pa.subwindow_mode = IncludeInferiors;
        entry.source = XRenderCreatePicture(display, w, format, CPSubwindowMode, &pa);
        entry.samples = XCreatePixmap(display, w, kSamplesAcross, kSamplesDown, 32);
        entry.target = XRenderCreatePicture(display, entry.samples, argb, 0, nullptr);
        if (shared)
            share(entry);
        resized(entry, a.width, a.height);
    }

    // The samples of `entry` come back through a segment of shared memory of its own, private
    // to this user (the server attaches it by id; it goes once both have detached).
    void share(Watched& entry) {
        XImage* image = XShmCreateImage(display, nullptr, 32, ZPixmap, nullptr, &entry.segment,
                                        kSamplesAcross, kSamplesDown);
        if (!image)
            return;
        entry.segment.shmid = shmget(IPC_PRIVATE,
                                     static_cast<std::size_t>(image->bytes_per_line) *
                                         static_cast<std::size_t>(image->height),
                                     IPC_CREAT | 0600);
        if (entry.segment.shmid < 0) {
            XDestroyImage(image);
            return;
        }
        void* at = shmat(entry.segment.shmid, nullptr, 0);
        if (at == reinterpret_cast<void*>(-1)) {
            shmctl(entry.segment.shmid, IPC_RMID, nullptr);
            XDestroyImage(image);
            return;
        }
        entry.segment.shmaddr = image->data = static_cast<char*>(at);
        entry.segment.readOnly = False;
        XShmAttach(display, &entry.segment);
        XSync(display, False);
        shmctl(entry.segment.shmid, IPC_RMID, nullptr);
        entry.sharedImage = image;
    }

    void unshare(Watched& entry) {
        if (!entry.sharedImage)
            return;
        XShmDetach(display, &entry.segment);
        // (The image's data is the segment: destroying the image leaves it.)
        XDestroyImage(entry.sharedImage);
        shmdt(entry.segment.shmaddr);
        entry.sharedImage = nullptr;
        entry.segment = XShmSegmentInfo{};
    }

    void resized(Watched& entry, int width, int height) {
        entry.width = width;
        entry.height = height;
        entry.printed = false;
        if (!entry.source || width <= 0 || height <= 0)
            return;
        // (The transform takes a sample's place to the window's.)
        XTransform t = {{{XDoubleToFixed(static_cast<double>(width) / kSamplesAcross), 0, 0},
                         {0, XDoubleToFixed(static_cast<double>(height) / kSamplesDown), 0},
                         {0, 0, XDoubleToFixed(1)}}};
        XRenderSetPictureTransform(display, entry.source, &t);
    }

    void unsample(Watched& entry) {
        unshare(entry);
        if (entry.target)
            XRenderFreePicture(display, entry.target);
        if (entry.samples)
            XFreePixmap(display, entry.samples);
        if (entry.source)
            XRenderFreePicture(display, entry.source);
        entry.target = entry.source = 0;
        entry.samples = 0;
        entry.printed = false;
    }

    // Whether window `w` shows another picture than at its last report: its samples against the
    // last ones (the colour only: the samples' alpha is the server's).
    PictureContent content(Watched& entry) {
        if (!entry.source)
            return PictureContent::Untold;
        XRenderComposite(display, PictOpSrc, entry.source, None, entry.target, 0, 0, 0, 0, 0, 0,
                         kSamplesAcross, kSamplesDown);
        if (entry.sharedImage) {
            if (XShmGetImage(display, entry.samples, entry.sharedImage, 0, 0, AllPlanes))
                return compare(entry, *entry.sharedImage);
            // The server cannot write there (it refused the segment: a server of another account
            // or on another machine): through the connection from now on, for every window.
            for (auto& [w, other] : watched)
                unshare(other);
            shared = false;
        }
        XImage* image = XGetImage(display, entry.samples, 0, 0, kSamplesAcross, kSamplesDown,
                                  AllPlanes, ZPixmap);
        // (A window gone meanwhile reads nothing.)
        if (!image) {
            entry.printed = false;
            return PictureContent::Untold;
        }
        const PictureContent c = compare(entry, *image);
        XDestroyImage(image);
        return c;
    }

    static PictureContent compare(Watched& entry, const XImage& image) {
        const std::size_t across = static_cast<std::size_t>(image.width);
        entry.print.resize(across * static_cast<std::size_t>(image.height));
        uint32_t differs = 0;
        for (int y = 0; y < image.height; ++y) {
            const auto* row = reinterpret_cast<const uint32_t*>(
                image.data + static_cast<long>(y) * image.bytes_per_line);
            uint32_t* last = entry.print.data() + static_cast<std::size_t>(y) * across;
            for (std::size_t x = 0; x < across; ++x)
                differs |= (row[x] ^ last[x]) & 0xFFFFFFu;
            std::memcpy(last, row, across * sizeof(uint32_t));
        }
        const bool told = entry.printed;
        entry.printed = true;
        return !told          ? PictureContent::Untold
               : differs == 0 ? PictureContent::Same
                              : PictureContent::New;
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
                onPicture(d.drawable, at, content(it->second));
            it->second.lastPicture = at;
        } else if (e.type == ConfigureNotify) {
            auto it = watched.find(e.xconfigure.window);
            if (it != watched.end() && (it->second.width != e.xconfigure.width ||
                                        it->second.height != e.xconfigure.height))
                resized(it->second, e.xconfigure.width, e.xconfigure.height);
        } else if (e.type == DestroyNotify) {
            auto it = watched.find(e.xdestroywindow.window);
            if (it == watched.end())
                return;
            // (The damage and the window's own picture went with the window.)
            it->second.source = 0;
            unsample(it->second);
            watched.erase(it);
            if (onGone)
                onGone(e.xdestroywindow.window);
        }
    }
};

PictureWatch::PictureWatch(OnPicture onPicture, OnGone onGone, bool tellContent) : impl_(new Impl) {
    impl_->onPicture = std::move(onPicture);
    impl_->onGone = std::move(onGone);
    impl_->tellContent = tellContent;
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
    int renderEvent = 0, renderError = 0;
    impl_->render = XRenderQueryExtension(impl_->display, &renderEvent, &renderError);
    impl_->shared = XShmQueryExtension(impl_->display);
    if (!XDamageQueryExtension(impl_->display, &impl_->damageEvent, &error) ||
        pipe2(impl_->wake, O_CLOEXEC | O_NONBLOCK) != 0) {
        XCloseDisplay(impl_->display);
        impl_->display = nullptr;
        return;
    }
    impl_->thread = std::thread([this] { impl_->run(); });
    pthread_setname_np(impl_->thread.native_handle(), "picture watch");
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
