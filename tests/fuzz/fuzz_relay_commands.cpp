// The relay's command table: no code and argument make a line with a line break in it.
#include "core/relay_commands.h"

#include <cstdlib>
#include <cstring>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    uint32_t code = 0;
    int32_t argument = 0;
    std::memcpy(&code, data, std::min<size_t>(size, 4));
    if (size > 4)
        std::memcpy(&argument, data + 4, std::min<size_t>(size - 4, 4));
    // Codes beyond the table are folded in often enough to reach every row.
    const vorbelt::RelayAction a =
        vorbelt::relayCommand(code % 64 == 63 ? code : code % 40, argument, "hang_vlm.vlm");
    if (a.text.find_first_of("\r\n") != std::string::npos)
        std::abort();
    return 0;
}
