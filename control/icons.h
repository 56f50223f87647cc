// The transport icons (image list `keplista`): nine 25 x 25 pictures on a white ground, held
// as one 75 x 75 picture of three rows of three, numbered row by row.
#pragma once

#include <QPixmap>

namespace icons {
constexpr int kIconSize = 25;
// The whole image list.
QPixmap keplista();
// Icon `index` (0 to 8) of the list.
QPixmap icon(int index);
// The transport strip: icons 1, 4, 7, 5, 6, 2, 0 side by side (175 x 25).
QPixmap transportStrip();
// The floor plan behind the camera buttons (540 x 390): the operator's desk and server
// machine, the 3D TV, the viewing area, the teacher's place, the door and places 1 and 2.
QPixmap floorPlan();
// The compact window's camera layout picture behind its seven buttons (240 x 121).
QPixmap cameraLayout();
} // namespace icons
