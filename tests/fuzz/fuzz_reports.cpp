// Report reading: any bytes, read as one channel's reports in a row (0xFF separates them).
#include "core/reports.h"

#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string input(reinterpret_cast<const char*>(data), size);
    std::string last;
    std::size_t begin = 0;
    while (begin <= input.size()) {
        std::size_t end = input.find('\xff', begin);
        if (end == std::string::npos)
            end = input.size();
        const std::string report = input.substr(begin, end - begin);
        const std::string before = last;
        const auto value = vorbelt::reportValue(report.data(), report.size(), last);
        // What is kept is digits only; a notice keeps what was there.
        for (char c : last)
            if (c < '0' || c > '9')
                std::abort();
        if (vorbelt::isRelayNotice(report.data(), report.size()) && (value || last != before))
            std::abort();
        if (value && *value < 0)
            std::abort();
        // An answer ends just after a prompt at the start of a line.
        if (const std::size_t end = vorbelt::replyEnd(report)) {
            if (end > report.size() || report.compare(end - 2, 2, "> ") != 0 ||
                (end > 2 && report[end - 3] != '\n'))
                std::abort();
        }
        begin = end + 1;
    }
    return 0;
}
