// What other programs' windows show: the moment each window shows a new picture, and the
// moment a window is gone. On X11 every drawing into a window is reported by the server (the
// Damage extension), so the times are those of the pictures the operator sees; a window's
// destruction comes with its structure events. A thread of the watch's own reads them.
#pragma once

#include "core/picture_content.h"
#include "platform/window.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

namespace platform {

// Milliseconds of the steady clock that the watch stamps pictures with.
inline int64_t steadyMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

using vorbelt::PictureContent;

class PictureWatch {
public:
    // Called on the watch's thread: a new picture of `window` at `atMs`; `window` is gone.
    using OnPicture =
        std::function<void(WindowHandle window, int64_t atMs, PictureContent content)>;
    using OnGone = std::function<void(WindowHandle window)>;

    // `tellContent`: each picture's content is compared with the window's last one (the window
    // scaled down to a grid of samples by the server, read back per picture); otherwise every
    // picture's content is untold.
    PictureWatch(OnPicture onPicture, OnGone onGone, bool tellContent = false);
    ~PictureWatch();
    PictureWatch(const PictureWatch&) = delete;
    PictureWatch& operator=(const PictureWatch&) = delete;

    // Whether this window system tells pictures at all.
    bool available() const;
    // The windows watched from now on (0 entries are left out): each is reported when gone,
    // and its pictures too while `pictures` is true.
    void watch(const std::vector<WindowHandle>& windows, bool pictures);

    struct Impl;

private:
    std::unique_ptr<Impl> impl_;
};

} // namespace platform
