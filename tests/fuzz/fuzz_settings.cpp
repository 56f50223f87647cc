// The settings record: any file reads as a record that writes and reads back the same.
#include "core/settings.h"

#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const vorbelt::Settings s =
        vorbelt::decodeSettings(std::string(reinterpret_cast<const char*>(data), size));
    const auto once = vorbelt::encodeSettings(s);
    const std::string written(once.begin(), once.end());
    if (vorbelt::encodeSettings(vorbelt::decodeSettings(written)) != once)
        std::abort();
    if (s.resolution < 0 || s.resolution > 2 || s.opacityStep < 0 || s.opacityStep > 10)
        std::abort();
    return 0;
}
