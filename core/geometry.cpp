#include "geometry.h"

#include <algorithm>

namespace vorbelt {

ScreenPlacement screenPlacement(int w) {
    if (w > 3840)
        return {-3840, -3840};
    if (w > 1920)
        return {0, -1920};
    return {0, 0};
}

std::optional<Size> resolutionSize(int item) {
    switch (item) {
    case 0:
        return Size{3840, 2160};
    case 1:
        return Size{1920, 1080};
    case 2:
        return Size{1366, 768};
    default:
        return std::nullopt;
    }
}

std::optional<Size> tileSize(Size window, int cameras) {
    if (cameras <= 0)
        return std::nullopt;
    return Size{window.width / cameras, window.height / cameras};
}

Rect labelTileRect(int k, Size tile, int windowHeight, int fontHeight) {
    const int h = fontHeight + 4;
    return Rect{tile.width * k, windowHeight - h, tile.width, h};
}

bool layoutServes(int cameras) {
    return cameras >= 1 && cameras <= 8;
}

int cameraButtonCount(int cameras) {
    return layoutServes(cameras) ? std::min(cameras, 7) : 0;
}

} // namespace vorbelt
