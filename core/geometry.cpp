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

std::optional<Size> cellSize(int item) {
    switch (item) {
    case 0:
        return Size{480, 270};
    case 1:
        return Size{640, 360};
    case 2:
        return Size{455, 256};
    default:
        return std::nullopt;
    }
}

std::optional<Rect> cellPlacement(int channel, int item, int leftOrigin) {
    const auto cell = cellSize(item);
    if (!cell || channel < 0 || channel > 6)
        return std::nullopt;
    if (item == 0)
        return Rect{leftOrigin + channel * cell->width, 2025, cell->width, cell->height};
    // Column and row of each channel in the grid: the first row's two left cells are taken.
    static const int column[] = {1, 2, 1, 2, 0, 1, 2};
    static const int row[] = {0, 0, 1, 1, 2, 2, 2};
    return Rect{leftOrigin + column[channel] * cell->width, row[channel] * cell->height,
                cell->width, cell->height};
}

Rect compactFullView(int fullViewOrigin, Size cell) {
    if (fullViewOrigin == -3840)
        return {fullViewOrigin, 0, 3840, 2160};
    return {fullViewOrigin, 0, 3 * cell.width, 3 * cell.height};
}

} // namespace vorbelt
