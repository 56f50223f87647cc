// The key pictures of a program stream, read from a stream written here as a multiplexer
// writes one: packs with clock references, video packets cut at a fixed size (so that start
// codes straddle packets and a packet's time names the first picture that starts in it).
#include "core/program_stream.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

using namespace vorbelt;

namespace {

constexpr double kFirstPtsMs = 540; // the first picture's time on the stream's clock
constexpr double kMuxDelayMs = 700; // how far a pack's clock runs behind its pictures

class StreamWriter {
public:
    // `frames` pictures at 25 a second in groups of `gop` (no B pictures), each picture's bytes
    // cut into packets of `chunk` bytes, one packet per pack; the packets in which the pictures
    // `untimed` start carry no time (as a multiplexer may leave them).
    StreamWriter(int frames, int gop, std::size_t chunk, std::vector<int> untimed = {}) {
        std::vector<uint8_t> es;
        std::vector<std::pair<std::size_t, double>> starts; // where each picture's unit starts
        for (int k = 0; k < frames; ++k) {
            starts.push_back({es.size(), kFirstPtsMs + 40.0 * k});
            if (k % gop == 0) {
                keyAt.push_back(es.size());
                append(es, {0, 0, 1, 0xB3, 0x28, 0x01, 0x68, 0x13, 0xFF, 0xFF, 0xE0, 0x18});
                append(es, {0, 0, 1, 0xB8, 0x00, 0x08, 0x00, 0x40});
            }
            const int temporal = k % gop;
            const uint8_t type = k % gop == 0 ? 1 : 2;
            append(es, {0, 0, 1, 0x00, static_cast<uint8_t>(temporal >> 2),
                        static_cast<uint8_t>((temporal & 3) << 6 | type << 3), 0xFF, 0xF8});
            append(es, {0, 0, 1, 0x01});
            es.insert(es.end(), 150 + static_cast<std::size_t>(k % 7) * 23, 0xAA);
        }
        // Packets: each carries the time of the first picture unit that starts in it.
        for (std::size_t at = 0; at < es.size(); at += chunk) {
            const std::size_t end = std::min(es.size(), at + chunk);
            std::optional<double> pts;
            for (std::size_t k = 0; k < starts.size(); ++k)
                if (starts[k].first >= at && starts[k].first < end) {
                    if (std::find(untimed.begin(), untimed.end(), k) == untimed.end())
                        pts = starts[k].second;
                    break;
                }
            const double clock = kFirstPtsMs - kMuxDelayMs + 40.0 * at / (es.size() / frames);
            for (std::size_t key : keyAt)
                if (key >= at && key < end)
                    keyPacks.push_back(bytes.size());
            pack(std::max(0.0, clock));
            packet(pts, es.data() + at, end - at);
        }
    }

    ProgramStream::Reader reader() const {
        return [this](int64_t offset, uint8_t* into, std::size_t length) -> std::size_t {
            if (offset >= static_cast<int64_t>(bytes.size()))
                return 0;
            const std::size_t n = std::min(length, bytes.size() - static_cast<std::size_t>(offset));
            std::memcpy(into, bytes.data() + offset, n);
            return n;
        };
    }

    std::vector<uint8_t> bytes;
    std::vector<std::size_t> keyAt;  // in the elementary stream
    std::vector<int64_t> keyPacks;   // the packs holding each key's sequence header start
    std::vector<double> clockOfPack; // by pack, in order
    std::vector<int64_t> packOffsets;

private:
    static void append(std::vector<uint8_t>& v, std::initializer_list<uint8_t> b) {
        v.insert(v.end(), b.begin(), b.end());
    }
    void pack(double clockMs) {
        const auto b = static_cast<uint64_t>(clockMs * 90.0);
        packOffsets.push_back(static_cast<int64_t>(bytes.size()));
        clockOfPack.push_back(static_cast<double>(b) / 90.0);
        append(bytes, {0, 0, 1, 0xBA});
        append(bytes, {static_cast<uint8_t>(0x44 | ((b >> 27) & 0x38) | ((b >> 28) & 0x03)),
                       static_cast<uint8_t>(b >> 20),
                       static_cast<uint8_t>(((b >> 12) & 0xF8) | 0x04 | ((b >> 13) & 0x03)),
                       static_cast<uint8_t>(b >> 5), static_cast<uint8_t>(((b << 3) & 0xF8) | 0x04),
                       0x01, 0x01, 0x89, 0xC3, 0xF8});
    }
    void packet(std::optional<double> ptsMs, const uint8_t* data, std::size_t n) {
        const std::size_t header = ptsMs ? 8 : 3;
        const std::size_t length = header + n;
        append(bytes,
               {0, 0, 1, 0xE0, static_cast<uint8_t>(length >> 8), static_cast<uint8_t>(length),
                0x80, static_cast<uint8_t>(ptsMs ? 0x80 : 0x00), static_cast<uint8_t>(header - 3)});
        if (ptsMs) {
            const auto p = static_cast<uint64_t>(*ptsMs * 90.0);
            append(bytes,
                   {static_cast<uint8_t>(0x21 | ((p >> 29) & 0x0E)), static_cast<uint8_t>(p >> 22),
                    static_cast<uint8_t>(0x01 | ((p >> 14) & 0xFE)), static_cast<uint8_t>(p >> 7),
                    static_cast<uint8_t>(0x01 | ((p << 1) & 0xFE))});
        }
        bytes.insert(bytes.end(), data, data + n);
    }
};

} // namespace

TEST(ProgramStream, KeyPicturesArePlacedWhereverTheirHeadersAndTimesFall) {
    // Packets of 97 bytes: start codes straddle packets, and a key picture's packet often
    // begins with the end of the picture before it, whose time it then carries.
    const StreamWriter w(120, 12, 97);
    const auto s = ProgramStream::open(w.reader(), static_cast<int64_t>(w.bytes.size()));
    ASSERT_TRUE(s);
    EXPECT_DOUBLE_EQ(s->framePeriodMs(), 40);
    EXPECT_DOUBLE_EQ(s->lengthMs(), 120 * 40);
    const std::vector<KeyPicture> keys = s->keyPictures(0, s->lengthMs());
    ASSERT_EQ(keys.size(), 10u);
    for (std::size_t k = 0; k < keys.size(); ++k) {
        EXPECT_DOUBLE_EQ(keys[k].mediaMs, 480.0 * static_cast<double>(k)) << k;
        EXPECT_EQ(keys[k].pack, w.keyPacks[k]) << k;
        const auto pack = std::find(w.packOffsets.begin(), w.packOffsets.end(), keys[k].pack);
        ASSERT_NE(pack, w.packOffsets.end());
        const auto index = static_cast<std::size_t>(pack - w.packOffsets.begin());
        EXPECT_NEAR(keys[k].clockMs, w.clockOfPack[index] - kFirstPtsMs, 0.02) << k;
        EXPECT_EQ(keys[k].previousPack, index > 0 ? w.packOffsets[index - 1] : keys[k].pack);
        // A seek to the share lands in the pack before, far enough from its start that the
        // players' single-precision share cannot put it past the key's pack.
        const double byte = s->landingShare(keys[k]) / 1e9 * static_cast<double>(w.bytes.size());
        if (k > 0) {
            EXPECT_GT(byte, static_cast<double>(keys[k].previousPack)) << k;
            EXPECT_LT(byte, static_cast<double>(keys[k].pack) - 20) << k;
        }
    }
    // Around a time: the key at or after it, the one at or before it.
    EXPECT_DOUBLE_EQ(s->keyAtOrAfter(1000)->mediaMs, 1440);
    EXPECT_DOUBLE_EQ(s->keyAtOrBefore(1000)->mediaMs, 960);
    EXPECT_DOUBLE_EQ(s->keyAtOrAfter(960)->mediaMs, 960);
    EXPECT_FALSE(s->keyAtOrAfter(4400));
}

TEST(ProgramStream, KeyPicturesThePlayersCannotTimeArePassedOver) {
    // The key picture at 480 ms and the picture after it start in packets without a time: a
    // player sought there shows the next key picture. The one at 1440 ms has no time of its
    // own either, but the picture after it has one: a player lands there.
    const StreamWriter w(120, 12, 97, {12, 13, 36});
    const auto s = ProgramStream::open(w.reader(), static_cast<int64_t>(w.bytes.size()));
    ASSERT_TRUE(s);
    const std::vector<KeyPicture> keys = s->keyPictures(0, s->lengthMs());
    ASSERT_EQ(keys.size(), 10u);
    for (std::size_t k = 0; k < keys.size(); ++k)
        EXPECT_EQ(keys[k].landable, k != 1) << k;
    EXPECT_DOUBLE_EQ(s->keyAtOrAfter(100)->mediaMs, 960);
    EXPECT_DOUBLE_EQ(s->keyAtOrBefore(900)->mediaMs, 0);
    EXPECT_DOUBLE_EQ(s->keyAtOrAfter(1000)->mediaMs, 1440);
}

TEST(ProgramStream, WhatIsNoProgramStreamHasNoKeyPictures) {
    std::vector<uint8_t> mp4 = {0, 0, 0, 0x20, 'f', 't', 'y', 'p', 'i', 's', 'o', 'm'};
    mp4.resize(4096, 0);
    auto read = [&](int64_t offset, uint8_t* into, std::size_t n) -> std::size_t {
        const std::size_t m = std::min(n, mp4.size() - static_cast<std::size_t>(offset));
        std::memcpy(into, mp4.data() + offset, m);
        return m;
    };
    EXPECT_FALSE(ProgramStream::open(read, static_cast<int64_t>(mp4.size())));
    // A truncated program stream (a pack, nothing after it) neither.
    const StreamWriter w(12, 12, 97);
    auto head = [&](int64_t offset, uint8_t* into, std::size_t n) -> std::size_t {
        return w.reader()(offset, into, std::min<std::size_t>(n, offset < 20 ? 20 - offset : 0));
    };
    EXPECT_FALSE(ProgramStream::open(head, 20));
    // The landings of a file that is no program stream are whole seconds.
    const auto landings = recordingLandings("/nonexistent/take0_st.mpg");
    ASSERT_TRUE(landings);
    EXPECT_EQ(landings->atOrAfter(1200)->argument, 2);
}
