// Report messages: what a relay writes into its report pipe, and how the control program
// turns one report into a number.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace vorbelt {

// Largest report the control program reads; a longer message is dropped whole.
constexpr std::size_t kReportBufferSize = 512;

// "Cam: <label> Warning !": connecting on command 3 failed.
std::string warningReport(const std::string& channelLabel);
// "Cam. <label> Reinstall !!!": connecting with the Connect button failed.
std::string reinstallReport(const std::string& channelLabel);
// "Cam: <label> Refused !": the station's addition: a program other than the relay's own
// player listens on its port, and the relay gave it nothing.
std::string refusalReport(const std::string& channelLabel);
bool isRefusalReport(const char* data, std::size_t length);

// Where the first of the player's answers in `received` ends: just after the prompt "> " that
// follows it (the prompt stands at the start of the text or of a line); 0 while no answer is
// complete.
std::size_t replyEnd(std::string_view received);

// Whether a report is a relay's own notice (its warning, reinstall or refusal text) rather than
// an answer of its player.
bool isRelayNotice(const char* data, std::size_t length);

// Reads one report of one channel. Only reports longer than 4 bytes contribute digits; the
// digits of the last such report that had any are kept in `lastText`, and the value is that
// text read as a signed 32-bit decimal. A short report, or one without digits, therefore
// repeats the channel's previous number. No value when the text is empty or out of range, and
// none for a relay's notice, which is no position or length and leaves `lastText` alone.
std::optional<int32_t> reportValue(const char* data, std::size_t length, std::string& lastText);

// Whether a report brings a number of its own (rather than repeating its channel's last one): it
// is longer than 4 bytes, has digits and is no relay notice.
bool freshValue(const char* data, std::size_t length);

// Signed 32-bit decimal of a text of digits (an optional leading minus allowed).
std::optional<int32_t> parseInt32(const std::string& text);

// Seek range and length display after a length report in the length phase.
struct LengthDisplay {
    int32_t maximum;   // the seek bar's new maximum: it never shrinks
    int32_t minutes;   // maximum div 60
    int32_t seconds;   // maximum mod 60
    int32_t tickEvery; // maximum div 10
};
LengthDisplay lengthPhase(int32_t currentMaximum, int32_t value);

// What a position report does. The current channel's report becomes the reference time; any
// other channel is told to seek to the reference time: from the main window on every report
// unless "Always Play" is checked, from the compact window only when its value differs; never
// with Fine Sync, whose controller keeps the other channels in step.
struct PositionStep {
    bool setReference;
    bool seekToReference;
};
enum class ReportWindow { Main, Compact };
PositionStep positionPhase(ReportWindow window, bool current, int32_t value, int32_t reference,
                           bool alwaysPlay, bool fineSync = false);

} // namespace vorbelt
