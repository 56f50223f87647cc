// Screen geometry of the main window: where it stands, how large it is, how large a
// camera's tile is and where the label tiles go.
#pragma once

#include <optional>

namespace vorbelt {

struct ScreenPlacement {
    int leftOrigin;     // x of the main window's left edge
    int fullViewOrigin; // x where the current camera is shown full size
};

// From the width of the whole desktop (all monitors together).
ScreenPlacement screenPlacement(int desktopWidth);

struct Size {
    int width;
    int height;
};

// Window size for the resolution item 0 "3840x2160", 1 "1920x1080", 2 "1366x768";
// nothing for any other item.
std::optional<Size> resolutionSize(int item);

// One camera's tile: the window size divided by the number of cameras (truncating);
// nothing when there are no cameras.
std::optional<Size> tileSize(Size window, int cameras);

struct Rect {
    int left;
    int top;
    int width;
    int height;
};

// Label tile of channel k: tile width wide, font height + 4 high, standing on the bottom edge.
Rect labelTileRect(int k, Size tile, int windowHeight, int fontHeight);

// Label tiles are laid out and camera buttons shown only for 1 to 8 cameras.
bool layoutServes(int cameras);

// Number of camera buttons shown: one per camera, at most seven.
int cameraButtonCount(int cameras);

// The compact window's cells, one third of the chosen resolution: 480 x 270 for item 0,
// 640 x 360 for item 1, 455 x 256 for item 2; nothing for any other item.
std::optional<Size> cellSize(int item);

// Cell of channel 0 .. 6 (x from the left origin): a 3 x 3 grid whose top-left two cells are
// the compact window's own; for item 0 the seven cells stand in one row along the bottom.
// Nothing for channels 7 and above or an unknown item.
std::optional<Rect> cellPlacement(int channel, int item, int leftOrigin);

// Where the compact window shows its current camera: at the full-view origin, 3840 x 2160
// when that origin is -3840, otherwise three cells each way.
Rect compactFullView(int fullViewOrigin, Size cell);

} // namespace vorbelt
