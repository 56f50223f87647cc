#include "reports.h"

#include <cerrno>
#include <climits>
#include <cstdlib>

namespace vorbelt {

std::string warningReport(const std::string& label) {
    return "Cam: " + label + " Warning !";
}

std::string reinstallReport(const std::string& label) {
    return "Cam. " + label + " Reinstall !!!";
}

std::string refusalReport(const std::string& label) {
    return "Cam: " + label + " Refused !";
}

namespace {

bool framed(const char* data, std::size_t length, const std::string& head,
            const std::string& tail) {
    const std::string text(data, length);
    return text.size() >= head.size() + tail.size() && text.compare(0, head.size(), head) == 0 &&
           text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

} // namespace

bool isRefusalReport(const char* data, std::size_t length) {
    return framed(data, length, "Cam: ", " Refused !");
}

std::optional<int32_t> parseInt32(const std::string& text) {
    if (text.empty())
        return std::nullopt;
    std::size_t i = (text[0] == '-') ? 1 : 0;
    if (i == text.size())
        return std::nullopt;
    for (std::size_t k = i; k < text.size(); ++k)
        if (text[k] < '0' || text[k] > '9')
            return std::nullopt;
    // Accumulate with a bound so that any number of digits is handled without overflow.
    const long long limit = (i == 1) ? -static_cast<long long>(INT32_MIN) : INT32_MAX;
    long long v = 0;
    for (std::size_t k = i; k < text.size(); ++k) {
        v = v * 10 + (text[k] - '0');
        if (v > limit)
            return std::nullopt;
    }
    return static_cast<int32_t>(i == 1 ? -v : v);
}

std::size_t replyEnd(std::string_view received) {
    for (std::size_t at = received.find("> "); at != std::string_view::npos;
         at = received.find("> ", at + 1))
        if (at == 0 || received[at - 1] == '\n')
            return at + 2;
    return 0;
}

bool isRelayNotice(const char* data, std::size_t length) {
    return framed(data, length, "Cam: ", " Warning !") ||
           framed(data, length, "Cam. ", " Reinstall !!!") || isRefusalReport(data, length);
}

std::optional<int32_t> reportValue(const char* data, std::size_t length, std::string& lastText) {
    // A relay's warning carries its channel number, not a time: it must not move anything.
    if (isRelayNotice(data, length))
        return std::nullopt;
    std::string digits;
    if (length > 4)
        for (std::size_t k = 0; k < length; ++k)
            if (data[k] >= '0' && data[k] <= '9')
                digits += data[k];
    if (!digits.empty())
        lastText = digits;
    return parseInt32(lastText);
}

bool freshValue(const char* data, std::size_t length) {
    if (length <= 4 || isRelayNotice(data, length))
        return false;
    for (std::size_t k = 0; k < length; ++k)
        if (data[k] >= '0' && data[k] <= '9')
            return true;
    return false;
}

LengthDisplay lengthPhase(int32_t currentMaximum, int32_t value) {
    const int32_t m = currentMaximum < value ? value : currentMaximum;
    return LengthDisplay{m, m / 60, m % 60, m / 10};
}

PositionStep positionPhase(ReportWindow window, bool current, int32_t value, int32_t reference,
                           bool alwaysPlay, bool fineSync) {
    if (current)
        return {true, false};
    if (fineSync)
        return {false, false};
    if (window == ReportWindow::Compact)
        return {false, value != reference};
    return {false, !alwaysPlay};
}

} // namespace vorbelt
