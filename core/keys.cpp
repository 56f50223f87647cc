#include "core/keys.h"

#include <algorithm>

namespace vorbelt {
namespace {
// Qt key codes (Qt::Key), kept here so the rules need no toolkit.
constexpr int kKeyTab = 0x01000001;
constexpr int kKeyBacktab = 0x01000002; // Shift+Tab, which acts as Tab
constexpr int kKeyBackspace = 0x01000003;
constexpr int kKeyF1 = 0x01000030;
} // namespace

KeyAction keyAction(int key) {
    KeyAction a;
    switch (key) {
    case '*':
        a.kind = KeyKind::Layout;
        a.layout = 0;
        return a;
    case '+':
        a.kind = KeyKind::Layout;
        a.layout = 1;
        return a;
    case '-':
        a.kind = KeyKind::Layout;
        a.layout = 2;
        return a;
    case '/':
        a.kind = KeyKind::CompactWindow;
        return a;
    case kKeyTab:
    case kKeyBacktab:
        a.kind = KeyKind::NextCamera;
        return a;
    case kKeyBackspace:
        a.kind = KeyKind::PostToAll;
        a.virtualKey = 8; // VK_BACK
        return a;
    case kKeyF1:
        a.kind = KeyKind::PlayPause;
        return a;
    default:
        break;
    }
    if (key >= '1' && key <= '7') {
        a.kind = KeyKind::Camera;
        a.camera = key - '0';
        return a;
    }
    // F2 .. F12: Seek Back, Seek Forward, Slower, Faster, Step, Snapshot.
    const struct {
        int key;
        uint32_t vk;
    } transport[] = {{kKeyF1 + 1, 37}, {kKeyF1 + 2, 39}, {kKeyF1 + 3, 40},
                     {kKeyF1 + 4, 38}, {kKeyF1 + 8, 45}, {kKeyF1 + 11, 32}};
    for (const auto& t : transport)
        if (key == t.key) {
            a.kind = KeyKind::PostToAll;
            a.virtualKey = t.vk;
        }
    return a;
}

std::optional<int> nextCameraButton(int current, int fileCount) {
    const int next = current + 1;
    if (next < fileCount)
        return next >= 1 && next <= 6 ? std::optional<int>(next + 1) : std::nullopt;
    return fileCount > 0 ? std::optional<int>(1) : std::nullopt;
}

LayoutOrigins layoutOrigins(int layout, int d, int left, int full) {
    if (layout == 0) {
        left = d > 3840 ? -3840 : 0;
        return {left, full, left};
    }
    full = d > 3840 ? -3840 : d > 1920 ? -1920 : 0;
    return {left, full, layout == 1 ? left : 0};
}

int transportZone(int x) {
    if (x <= 25)
        return 0;
    return std::min(6, (x - 1) / 25);
}

uint32_t transportKey(int zone) {
    static const uint32_t keys[] = {0, 37, 39, 40, 38, 45, 32};
    return zone >= 0 && zone <= 6 ? keys[zone] : 0;
}

} // namespace vorbelt
