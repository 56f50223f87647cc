// The settings record: the eight bytes of the settings file, one per setting, in a fixed order.
#pragma once

#include <array>
#include <cstdint>
#include <string>

namespace vorbelt {

struct Settings {
    int resolution = 1; // 0 "3840x2160", 1 "1920x1080", 2 "1366x768"
    bool doubleWide = true;
    bool alwaysPlay = false;
    bool preview = true;
    int opacityStep = 1; // 0 to 10
    bool fileList = false;
    bool help = false;
    bool transparent = false; // the transparency flag
    // Fine Sync: kept in a file of its own, not in the record (whose eight bytes stored files
    // rely on).
    bool fineSync = false;
};

constexpr std::size_t kSettingsRecordSize = 8;
constexpr int kOpacitySteps = 10;

// Applies the bytes read from the settings file to `current`. A field is applied only when its
// byte was read (a short file leaves the later fields as they are); the resolution and the
// opacity step are clamped to their ranges; any non-zero byte is true. The transparency flag is
// on only when all eight bytes were read and the last is non-zero. Bytes after the eighth are
// ignored.
Settings decodeSettings(const std::string& bytes, Settings current = Settings{});

// The record to write: booleans as 0 or 1, the resolution and opacity step as their low eight
// bits.
std::array<uint8_t, kSettingsRecordSize> encodeSettings(const Settings& settings);

// Window alpha for an opacity step: step x 25 + 1, as one byte.
uint8_t opacityAlpha(int step);

} // namespace vorbelt
