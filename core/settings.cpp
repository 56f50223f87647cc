#include "settings.h"

#include <algorithm>

namespace vorbelt {

Settings decodeSettings(const std::string& bytes, Settings s) {
    const std::size_t n = std::min(bytes.size(), kSettingsRecordSize);
    auto byte = [&](std::size_t k) { return static_cast<unsigned char>(bytes[k]); };
    if (n >= 1)
        s.resolution = std::min<int>(byte(0), 2);
    if (n >= 2)
        s.doubleWide = byte(1) != 0;
    if (n >= 3)
        s.alwaysPlay = byte(2) != 0;
    if (n >= 4)
        s.preview = byte(3) != 0;
    if (n >= 5)
        s.opacityStep = std::min<int>(byte(4), kOpacitySteps);
    if (n >= 6)
        s.fileList = byte(5) != 0;
    if (n >= 7)
        s.help = byte(6) != 0;
    s.transparent = n == kSettingsRecordSize && byte(7) != 0;
    return s;
}

std::array<uint8_t, kSettingsRecordSize> encodeSettings(const Settings& s) {
    return {static_cast<uint8_t>(s.resolution & 0xFF),
            static_cast<uint8_t>(s.doubleWide),
            static_cast<uint8_t>(s.alwaysPlay),
            static_cast<uint8_t>(s.preview),
            static_cast<uint8_t>(s.opacityStep & 0xFF),
            static_cast<uint8_t>(s.fileList),
            static_cast<uint8_t>(s.help),
            static_cast<uint8_t>(s.transparent)};
}

uint8_t opacityAlpha(int step) {
    return static_cast<uint8_t>(step * 25 + 1);
}

} // namespace vorbelt
