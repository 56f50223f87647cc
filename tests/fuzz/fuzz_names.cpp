// The names file: its lines survive a write and a read, except the format's own corner cases
// (an empty last name, which writes as no line, and a name ending in CR, whose CR the next
// read takes for part of a CR LF).
#include "core/names.h"

#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const auto names = vorbelt::decodeNames(std::string(reinterpret_cast<const char*>(data), size));
    for (const auto& n : names)
        if (n.find('\n') != std::string::npos)
            std::abort();
    if (!names.empty() && names.back().empty())
        return 0;
    for (const auto& n : names)
        if (!n.empty() && n.back() == '\r')
            return 0;
    if (vorbelt::decodeNames(vorbelt::encodeNames(names)) != names)
        std::abort();
    return 0;
}
