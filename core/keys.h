// The main window's keys: what each toolkit key code asks for.
#pragma once

#include "core/geometry.h"

#include <cstdint>
#include <optional>

namespace vorbelt {

enum class KeyKind {
    Nothing,       // swallowed
    Layout,        // '*', '+', '-': screen layout of `layout`
    CompactWindow, // '/'
    Camera,        // '1' .. '7': click camera button `camera`
    NextCamera,    // Tab
    PlayPause,     // F1: VK_HOME to the current channel, seek to the seek bar for every relay
    PostToAll,     // F2 .. F12, Backspace: `virtualKey` to every loaded channel's video window
};

struct KeyAction {
    KeyKind kind = KeyKind::Nothing;
    int layout = 0;          // resolution item: 0 '*', 1 '+', 2 '-'
    int camera = 0;          // 1 .. 7
    uint32_t virtualKey = 0; // for PostToAll
};

// From a Qt key code (Qt::Key values); modifiers play no part.
KeyAction keyAction(int qtKey);

// Tab: the camera button (tag 1 .. 7) to click, or nothing.
std::optional<int> nextCameraButton(int currentChannel, int fileCount);

// Origins after a layout key. '*' moves the left origin; '+' and '-' the full-view origin.
struct LayoutOrigins {
    int leftOrigin;
    int fullViewOrigin;
    int windowLeft; // where the main window then stands
};
LayoutOrigins layoutOrigins(int layout, int desktopWidth, int leftOrigin, int fullViewOrigin);

// The transport strip: which of its seven zones an x position (within the strip) is in.
// 0 Play/Pause (x up to 25), 1 Seek Back, 2 Seek Forward, 3 Slower, 4 Faster, 5 Step,
// 6 Snapshot (151 and more).
int transportZone(int x);
// The virtual key that zones 1 to 6 post to the video windows (0 for zone 0).
uint32_t transportKey(int zone);

} // namespace vorbelt
