// Pictures of other programs' windows on Windows: not told (no counterpart of the X Damage
// extension for another process's window without hooking it); windows that go are found by
// the station's own lookups.
#include "platform/pictures.h"

#include <chrono>

namespace platform {

int64_t steadyMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

struct PictureWatch::Impl {};

PictureWatch::PictureWatch(OnPicture, OnGone) : impl_(new Impl) {}
PictureWatch::~PictureWatch() = default;

bool PictureWatch::available() const {
    return false;
}

void PictureWatch::watch(const std::vector<WindowHandle>&, bool) {}

} // namespace platform
