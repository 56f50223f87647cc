// Pictures of other programs' windows on X11: Damage reports the drawing into a watched window
// (once per picture: the report is re-armed as it is taken), structure events its destruction.
// Drawing into a window that others cover wholly is clipped away, and no damage is reported:
// a watched window is redirected (Composite, automatic: the server draws it into a pixmap of its
// own and shows it as before), so that its pictures are told wherever it stands in the stack.
// Asked to, the watch tells a new picture from the same one drawn again: the server scales the
// window's contents (the redirected window keeps them) down to a small grid of samples (Render,
// nearest pixel), which is read back and compared with the last picture's. Eight cameras make 200
// pictures a second, and a read back is a round trip to the server, which puts the watch's thread
// to sleep and wakes it again: players in step draw within a few milliseconds of one another, so
// the pictures reported within a few milliseconds are sampled together, each window onto its own
// rows of one pixmap, read back at once. While a batch gathers, the thread does not wake for
// each report: a picture's time is the server's, taken as it was drawn (see `ServerClock`). The
// samples come back through shared memory where the server can write there (MIT-SHM, a server on
// this machine), through the connection otherwise. One X connection and one thread of the watch's
// own, woken by the X connection or by a pipe when the set of windows changes.
#include "platform/pictures.h"

#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XShm.h>
#include <X11/extensions/Xcomposite.h>
#include <X11/extensions/Xdamage.h>
#include <X11/extensions/Xrender.h>

#include <algorithm>
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
// How long the first picture of a batch waits for the other windows' pictures before all are
// sampled (eight cameras in step draw within 5 ms of one another; at 50 pictures a second the
// next picture is 20 ms away).
constexpr int64_t kGatherMs = 6;

// The server's time of a report (milliseconds, 32 bits, of a clock of its own: on this machine
// its monotonic clock, as ours) on our clock. Reports are read after they were sent: the
// smallest lag of a report's read over its server time, in a window of recent ones (the
// clocks of a server elsewhere drift apart), is taken as the clocks' offset, and a report read
// later than that by its latency is placed back by it.
class ServerClock {
public:
    int64_t stamp(unsigned long serverMs, int64_t readMs) {
        // (Differences modulo 2^32: the server's time wraps around every 49.7 days.)
        const auto lag =
            static_cast<int32_t>(static_cast<uint32_t>(readMs) - static_cast<uint32_t>(serverMs));
        if (!known_) {
            before_ = now_ = lag;
            windowSince_ = readMs;
            known_ = true;
        } else if (readMs - windowSince_ >= kWindowMs) {
            before_ = now_;
            now_ = lag;
            windowSince_ = readMs;
        } else if (beyond(now_, lag)) {
            now_ = lag;
        }
        const int32_t offset = beyond(before_, now_) ? now_ : before_;
        // (Not below 0: the offset is the least lag.)
        const auto late =
            static_cast<int32_t>(static_cast<uint32_t>(lag) - static_cast<uint32_t>(offset));
        // (A server whose clock jumped back: its times name nothing; ours from now on. A thread
        // held up for a while still reads the server's times right.)
        if (late > kTrustedLateMs) {
            before_ = now_ = lag;
            return readMs;
        }
        return readMs - late;
    }

private:
    static constexpr int64_t kWindowMs = 10000;
    static constexpr int32_t kTrustedLateMs = 2000;
    // Whether lag `a` is greater than `b` (modulo 2^32).
    static bool beyond(int32_t a, int32_t b) {
        return static_cast<int32_t>(static_cast<uint32_t>(a) - static_cast<uint32_t>(b)) > 0;
    }
    bool known_ = false;
    int32_t now_ = 0, before_ = 0; // the least lags of this window and of the one before
    int64_t windowSince_ = 0;
};

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
        // The window's contents as a source, scaled onto its rows of the batch (0: not told).
        Picture source = 0;
        int slot = 0;         // the first of its rows is slot * kSamplesDown
        bool printed = false; // `print` holds the last picture's samples
        std::vector<uint32_t> print;
    };
    std::map<Window, Watched> watched; // the thread's own
    // The batch: every sampled window's rows, and where they are read back into (the shared
    // memory: null when read through the connection).
    int slots = 0;
    Pixmap samples = 0;
    Picture target = 0;
    XImage* sharedImage = nullptr;
    XShmSegmentInfo segment{};
    // Pictures reported and not yet sampled, oldest first, and when the first was read.
    struct Due {
        Window window;
        int64_t at;
    };
    std::vector<Due> due;
    int64_t gatherSince = 0;
    ServerClock serverClock;

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
        arrange();
        XSync(display, False);
    }

    // Every sampled window gets rows of its own in the batch, made as tall as they need.
    void arrange() {
        int count = 0;
        for (auto& [w, entry] : watched)
            if (entry.source)
                entry.slot = count++;
        if (count == slots)
            return;
        unbatch();
        if (count == 0)
            return;
        XRenderPictFormat* argb = XRenderFindStandardFormat(display, PictStandardARGB32);
        samples = XCreatePixmap(display, DefaultRootWindow(display), kSamplesAcross,
                                kSamplesDown * count, 32);
        target = XRenderCreatePicture(display, samples, argb, 0, nullptr);
        slots = count;
        if (shared)
            share();
    }

    void unbatch() {
        unshare();
        if (target)
            XRenderFreePicture(display, target);
        if (samples)
            XFreePixmap(display, samples);
        target = 0;
        samples = 0;
        slots = 0;
    }

    // Its pictures are no longer watched. (A window already gone makes errors that the window
    // layer's handler takes.)
    void release(Window w, Watched& entry) {
        XDamageDestroy(display, entry.damage);
        entry.damage = 0;
        if (entry.source)
            XRenderFreePicture(display, entry.source);
        entry.source = 0;
        entry.printed = false;
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
            // While a batch gathers, only a change of the windows wakes the thread before its
            // time is up.
            int timeout = -1;
            if (!due.empty()) {
                const int64_t left = gatherSince + kGatherMs - steadyMs();
                if (left <= 0 || everyWindowDue()) {
                    report();
                    continue;
                }
                timeout = static_cast<int>(left);
            }
            pollfd p[2] = {{wake[0], POLLIN, 0}, {fd, POLLIN, 0}};
            if (poll(p, due.empty() ? 2 : 1, timeout) < 0)
                continue;
            if (p[0].revents & POLLIN) {
                char drain[64];
                while (read(wake[0], drain, sizeof drain) > 0) {
                }
            }
        }
        // (The rest goes with the connection; the shared samples are this process's mapping.)
        unshare();
    }

    // Window `w`'s contents are sampled from now on (when content is to be told and the server
    // can): a picture of the window, scaled by its size onto its rows of the batch.
    void sample(Window w, Watched& entry) {
        XWindowAttributes a;
        if (!tellContent || !composite || !render || !XGetWindowAttributes(display, w, &a))
            return;
        XRenderPictFormat* format = XRenderFindVisualFormat(display, a.visual);
        if (!format || !XRenderFindStandardFormat(display, PictStandardARGB32))
            return;
        XRenderPictureAttributes pa;
        pa.subwindow_mode = IncludeInferiors;
        entry.source = XRenderCreatePicture(display, w, format, CPSubwindowMode, &pa);
        resized(entry, a.width, a.height);
    }

    // The batch comes back through a segment of shared memory, private to this user (the
    // server attaches it by id; it goes once both have detached).
    void share() {
        XImage* image = XShmCreateImage(display, nullptr, 32, ZPixmap, nullptr, &segment,
                                        kSamplesAcross, kSamplesDown * slots);
        if (!image)
            return;
        segment.shmid = shmget(IPC_PRIVATE,
                               static_cast<std::size_t>(image->bytes_per_line) *
                                   static_cast<std::size_t>(image->height),
                               IPC_CREAT | 0600);
        if (segment.shmid < 0) {
            XDestroyImage(image);
            return;
        }
        void* at = shmat(segment.shmid, nullptr, 0);
        if (at == reinterpret_cast<void*>(-1)) {
            shmctl(segment.shmid, IPC_RMID, nullptr);
            XDestroyImage(image);
            return;
        }
        segment.shmaddr = image->data = static_cast<char*>(at);
        segment.readOnly = False;
        XShmAttach(display, &segment);
        XSync(display, False);
        shmctl(segment.shmid, IPC_RMID, nullptr);
        sharedImage = image;
    }

    void unshare() {
        if (!sharedImage)
            return;
        XShmDetach(display, &segment);
        // (The image's data is the segment: destroying the image leaves it.)
        XDestroyImage(sharedImage);
        shmdt(segment.shmaddr);
        sharedImage = nullptr;
        segment = XShmSegmentInfo{};
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

    bool everyWindowDue() const {
        std::size_t sampled = 0;
        for (const auto& [w, entry] : watched)
            sampled += entry.source && entry.damage ? 1 : 0;
        return due.size() >= sampled;
    }

    // The pictures due are sampled together and reported, oldest first, each told by its
    // samples against its window's last ones.
    void report() {
        std::vector<Due> batch;
        batch.swap(due);
        int first = slots, last = -1;
        for (const Due& d : batch) {
            auto it = watched.find(d.window);
            if (it == watched.end() || !it->second.source || it->second.slot >= slots)
                continue;
            const int slot = it->second.slot;
            XRenderComposite(display, PictOpSrc, it->second.source, None, target, 0, 0, 0, 0, 0,
                             slot * kSamplesDown, kSamplesAcross, kSamplesDown);
            first = std::min(first, slot);
            last = std::max(last, slot);
        }
        // The rows from the first window's to the last one's, read back at once.
        const int rows = (last - first + 1) * kSamplesDown;
        XImage* image = nullptr;
        bool own = false;
        if (last >= 0 && sharedImage) {
            // (Only the rows asked for: the shared image is as tall as the batch.)
            const int height = sharedImage->height;
            sharedImage->height = rows;
            if (XShmGetImage(display, samples, sharedImage, 0, first * kSamplesDown, AllPlanes))
                image = sharedImage;
            sharedImage->height = height;
            // The server cannot write there (it refused the segment: a server of another
            // account or on another machine): through the connection from now on.
            if (!image) {
                unshare();
                shared = false;
            }
        }
        if (last >= 0 && !image) {
            image = XGetImage(display, samples, 0, first * kSamplesDown, kSamplesAcross, rows,
                              AllPlanes, ZPixmap);
            own = image != nullptr;
        }
        for (std::size_t k = 0; k < batch.size(); ++k) {
            const Due& d = batch[k];
            auto it = watched.find(d.window);
            if (it == watched.end())
                continue;
            Watched& entry = it->second;
            // (The samples show a window's last picture: one drawn before it in the same batch
            // is not told.)
            const bool shown =
                std::none_of(batch.begin() + static_cast<long>(k) + 1, batch.end(),
                             [&](const Due& later) { return later.window == d.window; });
            PictureContent content = PictureContent::Untold;
            // (A window gone meanwhile reads nothing.)
            if (!image)
                entry.printed = false;
            else if (shown && entry.source && entry.slot >= first && entry.slot <= last)
                content = compare(entry, *image, (entry.slot - first) * kSamplesDown);
            if (onPicture)
                onPicture(d.window, d.at, content);
        }
        if (own)
            XDestroyImage(image);
    }

    // Whether the window shows another picture than at its last report: its rows of the batch,
    // from `top` on, against its last samples (the colour only: the samples' alpha is the
    // server's).
    static PictureContent compare(Watched& entry, const XImage& image, int top) {
        const std::size_t across = static_cast<std::size_t>(kSamplesAcross);
        entry.print.resize(across * static_cast<std::size_t>(kSamplesDown));
        uint32_t differs = 0;
        for (int y = 0; y < kSamplesDown; ++y) {
            const auto* row = reinterpret_cast<const uint32_t*>(
                image.data + static_cast<long>(top + y) * image.bytes_per_line);
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
            const int64_t read = steadyMs();
            const int64_t at = serverClock.stamp(d.timestamp, read);
            Watched& entry = it->second;
            if (at - entry.lastPicture >= kSamePictureMs) {
                if (!entry.source) {
                    if (onPicture)
                        onPicture(d.drawable, at, PictureContent::Untold);
                } else {
                    if (due.empty())
                        gatherSince = read;
                    due.push_back({d.drawable, at});
                }
            }
            entry.lastPicture = at;
        } else if (e.type == ConfigureNotify) {
            auto it = watched.find(e.xconfigure.window);
            if (it != watched.end() && (it->second.width != e.xconfigure.width ||
                                        it->second.height != e.xconfigure.height))
                resized(it->second, e.xconfigure.width, e.xconfigure.height);
        } else if (e.type == DestroyNotify) {
            auto it = watched.find(e.xdestroywindow.window);
            if (it == watched.end())
                return;
            // (The damage and the window's own picture went with the window; its rows stay
            // unused until the watched windows change.)
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
