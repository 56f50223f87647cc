// What a new picture of a video window shows against the window's last one: a new picture, the
// same one drawn again (a paused player repaints now and then), or not told (the window system
// cannot read it back).
#pragma once

namespace vorbelt {

enum class PictureContent { Untold, New, Same };

} // namespace vorbelt
