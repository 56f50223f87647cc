// Where a video player can land in an MPEG program stream, read from the recording itself.
//
// The players seek a program stream by byte share: "seek 16.6195122%" puts the reader at that
// share of the file, it reads on to the next pack, and the picture decoder waits for the next
// sequence header, so the player shows the I picture that follows it. Seeking to a share just
// before the pack that holds a sequence header therefore lands on exactly that picture, if the
// player can time it (see `KeyPicture::landable`); else it shows the next key picture. Once
// told to play, the player restarts its clock at the first clock reference it read (that
// pack's) and shows the picture when its presentation time comes: the picture runs on from
// (presentation time - clock reference) after "play", plus a small constant of the player's.
//
// This reads just enough of the file for that: the first and last pictures (the media time
// origin and the length), and, on demand, the key pictures of a stretch of time, found by
// bisecting the file on the packs' clock references.
#pragma once

#include "core/fine_sync.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace vorbelt {

// An I picture that starts with a sequence header: a place a player can land on.
struct KeyPicture {
    int64_t pack = 0;         // byte offset of the pack that holds the sequence header's start
    int64_t previousPack = 0; // byte offset of the pack before it (0 for the first)
    double mediaMs = 0;       // its presentation time, from the recording's first picture
    double clockMs = 0;       // the clock reference of its pack, on the same scale
    // Whether a player that starts reading at its pack shows it. The player's reader gives a
    // packet's time to the first picture whose start code begins in that packet, and after a
    // seek it drops pictures until one of them, or the picture that follows, comes with a time.
    // A key picture whose packet's time went to the pictures before it, and whose next picture
    // begins in a packet without one (or straddles into the next), is never shown: the player
    // shows the next key picture instead.
    bool landable = true;
};

class ProgramStream {
public:
    // Reads `length` bytes at `offset` into `into`; returns how many it read (0 at the end or on
    // an error).
    using Reader = std::function<std::size_t(int64_t offset, uint8_t* into, std::size_t length)>;

    // The recording read through `read`, `size` bytes long; none unless it is a program stream
    // with MPEG-1 or MPEG-2 video whose first and last pictures carry presentation times.
    static std::unique_ptr<ProgramStream> open(Reader read, int64_t size);
    // The same for the file at `path`.
    static std::unique_ptr<ProgramStream> openFile(const std::string& path);

    int64_t size() const { return size_; }
    double framePeriodMs() const { return periodMs_; }
    // Media time of the last picture's end.
    double lengthMs() const { return lengthMs_; }

    // The key pictures whose media time lies in [fromMs, toMs], in order.
    std::vector<KeyPicture> keyPictures(double fromMs, double toMs) const;
    // The first key picture a player can land on at or after `mediaMs`, the last one at or
    // before it.
    std::optional<KeyPicture> keyAtOrAfter(double mediaMs) const;
    std::optional<KeyPicture> keyAtOrBefore(double mediaMs) const;

    // The share of the file, in billionths, to seek to for landing on `key`: within the pack
    // before it, so that the reader's next pack is `key`'s, with room for the players' rounding
    // of the share to single precision.
    int32_t landingShare(const KeyPicture& key) const;

    // The pictures a scan from a byte offset saw (exposed for the tests): presentation times in
    // ms on the stream's own clock, as decoded.
    struct Scan {
        std::vector<KeyPicture> keys; // media times not yet relative to the first picture
        double firstPts = -1;         // the least presentation time seen
        double lastPts = -1;          // the greatest presentation time seen
        double periodMs = 0;          // from the sequence header's frame rate
        double firstClock = -1;       // the first clock reference seen
    };
    // Reads from `offset` (on to the next pack) until `untilPts` (stream clock, ms) is passed by
    // the pictures or `maxBytes` are read.
    Scan scan(int64_t offset, double untilPts, int64_t maxBytes) const;

private:
    ProgramStream(Reader read, int64_t size) : read_(std::move(read)), size_(size) {}
    // The first pack at or after `offset` and its clock reference (ms), if any within `within`.
    std::optional<std::pair<int64_t, double>> packAtOrAfter(int64_t offset, int64_t within) const;
    // Reads the key pictures of [fromMs, toMs] (and what the read passes beyond) into `known_`.
    void readKeyPictures(double fromMs, double toMs) const;

    Reader read_;
    int64_t size_ = 0;
    double firstPts_ = 0;
    double periodMs_ = 0;
    double lengthMs_ = 0;
    // The key pictures read so far (by media time) and the stretches of media time they cover:
    // a recording's key pictures do not change, and a move asks about the same stretch many
    // times over (every player of the file, each landing tried), each a read of megabytes.
    mutable std::vector<KeyPicture> known_;
    mutable std::vector<std::pair<double, double>> knownSpans_;
};

// Where the players of the recording file at `path` land: on its key pictures by share seeks
// when it is a program stream, else on whole seconds (containers the players seek to the
// frame), whose length the players' answers then tell.
std::shared_ptr<Landings> recordingLandings(const std::string& path);

} // namespace vorbelt
