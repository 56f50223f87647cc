// Pictures of other programs' windows on Windows: not told (no counterpart of the X Damage
// extension for another process's window without hooking it); windows that go are found by
// the station's own lookups.
#include "platform/pictures.h"

namespace platform {

struct PictureWatch::Impl {};

PictureWatch::PictureWatch(OnPicture, OnGone, bool) : impl_(new Impl) {}
PictureWatch::~PictureWatch() = default;

bool PictureWatch::available() const {
    return false;
}

void PictureWatch::watch(const std::vector<WindowHandle>&, bool) {}

} // namespace platform
