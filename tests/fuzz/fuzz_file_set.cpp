// Recording sets: any chosen path gives at most ten members, each of the set's own form.
#include "core/file_set.h"

#include <algorithm>
#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0)
        return 0;
    // The first byte says which of the ten candidate names exist.
    const unsigned existing = data[0] | (size > 1 ? data[1] << 8 : 0);
    const std::string chosen(reinterpret_cast<const char*>(data) + 1, size - 1);
    int asked = 0;
    const auto members = vorbelt::recordingSet(
        chosen, [&](const std::string&) { return (existing >> (asked++ % 10)) & 1; });
    if (members.size() > 10)
        std::abort();
    // Each member: the chosen folder and stem, a digit, "_st" and the chosen name's last four
    // characters (all of it when shorter).
    const std::size_t slash = chosen.find_last_of("/\\");
    const std::size_t nameLength =
        slash == std::string::npos ? chosen.size() : chosen.size() - slash - 1;
    const std::size_t ext = std::min<std::size_t>(4, nameLength);
    for (const auto& m : members) {
        const std::size_t at = m.size() - ext - 4;
        if (m.size() < ext + 4 || m[at] < '0' || m[at] > '9' || m.compare(at + 1, 3, "_st") != 0)
            std::abort();
    }
    vorbelt::cameraDigit(chosen);
    return 0;
}
