#include "core/program_stream.h"

#include "core/relay_commands.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>

namespace vorbelt {

namespace {

constexpr uint8_t kPackStart = 0xBA;
constexpr uint8_t kProgramEnd = 0xB9;
constexpr uint8_t kSequenceHeader = 0xB3;
constexpr uint8_t kGroupStart = 0xB8;
constexpr uint8_t kPictureStart = 0x00;
constexpr int kIntraPicture = 1;
// How far before a picture's presentation time its pack's clock reference may lie (the
// multiplexer's delay and the decoding order): where a bisection for a time starts to read.
constexpr double kClockLeadMs = 3000;
// What the start and the end of a recording are read for.
constexpr int64_t kEndsBytes = 4 << 20;
// The window of a bisection step.
constexpr int64_t kProbeBytes = 256 << 10;

double ticksToMs(uint64_t ticks) {
    return static_cast<double>(ticks) / 90.0;
}

// The frame period (ms) of an MPEG-1/2 sequence header's frame rate code, 0 if unknown.
double periodOfRateCode(int code) {
    switch (code) {
    case 1:
        return 1001.0 / 24.0;
    case 2:
        return 1000.0 / 24.0;
    case 3:
        return 40.0;
    case 4:
        return 1001.0 / 30.0;
    case 5:
        return 1000.0 / 30.0;
    case 6:
        return 20.0;
    case 7:
        return 1001.0 / 60.0;
    case 8:
        return 1000.0 / 60.0;
    default:
        return 0.0;
    }
}

// A window onto the recording that slides along with the parser.
class Bytes {
public:
    Bytes(const ProgramStream::Reader& read, int64_t size) : read_(read), size_(size) {}
    // `n` bytes at `offset`, or null past the end.
    const uint8_t* at(int64_t offset, std::size_t n) {
        if (offset < 0 || offset + static_cast<int64_t>(n) > size_)
            return nullptr;
        if (offset < start_ || offset + static_cast<int64_t>(n) > start_ + filled_) {
            const std::size_t want = static_cast<std::size_t>(
                std::min<int64_t>(std::max<std::size_t>(n, kWindow), size_ - offset));
            buffer_.resize(want);
            start_ = offset;
            filled_ = static_cast<int64_t>(read_(offset, buffer_.data(), want));
            if (filled_ < static_cast<int64_t>(n))
                return nullptr;
        }
        return buffer_.data() + (offset - start_);
    }

private:
    static constexpr std::size_t kWindow = 128 << 10;
    const ProgramStream::Reader& read_;
    int64_t size_;
    std::vector<uint8_t> buffer_;
    int64_t start_ = 0;
    int64_t filled_ = 0;
};

// The clock reference of the pack header at `p` (ms) and the header's length, if it is one.
std::optional<std::pair<double, int>> packHeader(Bytes& bytes, int64_t at) {
    const uint8_t* p = bytes.at(at, 14);
    if (!p || p[0] != 0 || p[1] != 0 || p[2] != 1 || p[3] != kPackStart)
        return std::nullopt;
    if ((p[4] & 0xC0) == 0x40) { // MPEG-2
        const uint64_t scr = (uint64_t(p[4] >> 3) & 7) << 30 | (uint64_t(p[4]) & 3) << 28 |
                             uint64_t(p[5]) << 20 | (uint64_t(p[6]) >> 3) << 15 |
                             (uint64_t(p[6]) & 3) << 13 | uint64_t(p[7]) << 5 | (p[8] >> 3);
        return std::make_pair(ticksToMs(scr), 14 + (p[13] & 7));
    }
    if ((p[4] & 0xF0) == 0x20) { // MPEG-1
        const uint64_t scr = (uint64_t(p[4] >> 1) & 7) << 30 | uint64_t(p[5]) << 22 |
                             (uint64_t(p[6]) >> 1) << 15 | uint64_t(p[7]) << 7 | (p[8] >> 1);
        return std::make_pair(ticksToMs(scr), 12);
    }
    return std::nullopt;
}

uint64_t timestamp(const uint8_t* p) {
    return (uint64_t(p[0] >> 1) & 7) << 30 | uint64_t(p[1]) << 22 | (uint64_t(p[2]) >> 1) << 15 |
           uint64_t(p[3]) << 7 | (p[4] >> 1);
}

// The video elementary stream, read byte by byte across packets: its pictures, their
// presentation times (a packet's time belongs to the first access unit that starts in it) and
// the key pictures with the pack their sequence header starts in.
class VideoParser {
public:
    // Where a byte lies: its pack, and the packet that carries it.
    struct Pack {
        int64_t offset = -1;
        int64_t previous = 0;
        double clockMs = 0;
        int64_t packet = -1;
        bool timed = false; // the packet carries a presentation time
    };

    void packet(std::optional<double> pts) { pendingPts_ = pts; }

    void feed(const uint8_t* data, std::size_t n, const Pack& pack) {
        for (std::size_t i = 0; i < n; ++i) {
            const uint8_t b = data[i];
            packOf_[count_ & 3] = pack;
            ++count_;
            if (collecting_ > 0) {
                collected_[collectedCount_++] = b;
                if (--collecting_ == 0)
                    headerDone();
                window_ = window_ << 8 | b;
                continue;
            }
            window_ = window_ << 8 | b;
            if ((window_ & 0xFFFFFF00u) != 0x00000100u)
                continue;
            code_ = b;
            codePack_ = packOf_[(count_ - 4) & 3];
            collectedCount_ = 0;
            if (code_ == kSequenceHeader || code_ == kGroupStart || code_ == kPictureStart)
                accessUnitStarts();
            if (code_ == kSequenceHeader) {
                collecting_ = 4;
                sequencePack_ = codePack_;
            } else if (code_ == kGroupStart) {
                groupInUnit_ = true;
                finishGroup();
            } else if (code_ == kPictureStart) {
                collecting_ = 2;
                // As the players' reader times pictures: a packet's time goes to the first
                // picture start code that begins in it.
                pictureTimed_ = codePack_.timed && codePack_.packet != timeTakenFrom_;
                if (pictureTimed_)
                    timeTakenFrom_ = codePack_.packet;
            }
        }
    }

    // Ends the scan: the last group's pictures are placed.
    ProgramStream::Scan finish() {
        finishGroup();
        return std::move(scan_);
    }

private:
    struct Picture {
        std::optional<double> pts;
        int temporal = 0;
        int type = 0;
        std::optional<Pack> sequence;
        bool timed = false; // as the players time it
    };

    void accessUnitStarts() {
        if (unitOpen_)
            return;
        unitOpen_ = true;
        unitPts_ = pendingPts_;
        pendingPts_.reset();
        groupInUnit_ = false;
        sequencePack_.reset();
    }

    void headerDone() {
        if (code_ == kSequenceHeader) {
            const double period = periodOfRateCode(collected_[3] & 0x0F);
            if (period > 0)
                scan_.periodMs = period;
            return;
        }
        // A picture header: temporal reference and coding type.
        Picture p;
        p.temporal = collected_[0] << 2 | collected_[1] >> 6;
        p.type = (collected_[1] >> 3) & 7;
        p.pts = unitPts_;
        p.timed = pictureTimed_;
        if (p.type == kIntraPicture && sequencePack_)
            p.sequence = sequencePack_;
        // A key picture without a group header of its own still opens a group: its pictures
        // count their temporal references from it.
        if (p.sequence && !groupInUnit_)
            finishGroup();
        // A key picture placed as its group's last picture waits for the picture after it.
        if (untimedKey_) {
            scan_.keys[*untimedKey_].landable = p.timed;
            untimedKey_.reset();
        }
        unitOpen_ = false;
        if (p.pts) {
            if (scan_.firstPts < 0 || *p.pts < scan_.firstPts)
                scan_.firstPts = *p.pts;
            scan_.lastPts = std::max(scan_.lastPts, *p.pts);
        }
        if (inGroup_)
            group_.push_back(p);
    }

    // The pictures of a group are placed by the temporal references: every one is a period
    // after the one before it in display order, so one presentation time places them all.
    void finishGroup() {
        if (inGroup_ && scan_.periodMs > 0) {
            std::optional<double> base;
            for (const Picture& p : group_)
                if (p.pts) {
                    base = *p.pts - p.temporal * scan_.periodMs;
                    break;
                }
            if (base)
                for (std::size_t i = 0; i < group_.size(); ++i) {
                    const Picture& p = group_[i];
                    const double at = *base + p.temporal * scan_.periodMs;
                    // (A packet's time names only its first picture: the last ones are placed.)
                    scan_.lastPts = std::max(scan_.lastPts, at);
                    if (!p.sequence)
                        continue;
                    // (In decoding order, the picture after it is the next one read.)
                    const bool last = i + 1 == group_.size();
                    scan_.keys.push_back({p.sequence->offset, p.sequence->previous, at,
                                          p.sequence->clockMs,
                                          p.timed || last || group_[i + 1].timed});
                    if (last && !p.timed)
                        untimedKey_ = scan_.keys.size() - 1;
                }
        }
        group_.clear();
        inGroup_ = true;
    }

    ProgramStream::Scan scan_;
    std::optional<double> pendingPts_;
    std::optional<double> unitPts_;
    bool unitOpen_ = false;
    bool groupInUnit_ = false;
    bool inGroup_ = false; // the scan began mid-group: its first pictures are not placed
    std::vector<Picture> group_;
    std::optional<Pack> sequencePack_;
    bool pictureTimed_ = false;
    int64_t timeTakenFrom_ = -1; // the packet whose time a picture took last
    std::optional<std::size_t> untimedKey_;
    uint32_t window_ = 0xFFFFFFFFu;
    uint8_t code_ = 0;
    Pack codePack_;
    Pack packOf_[4];
    uint64_t count_ = 0;
    int collecting_ = 0;
    int collectedCount_ = 0;
    uint8_t collected_[4] = {};
};

} // namespace

std::optional<std::pair<int64_t, double>> ProgramStream::packAtOrAfter(int64_t offset,
                                                                       int64_t within) const {
    Bytes bytes(read_, size_);
    const int64_t end = std::min(size_, offset + within);
    for (int64_t at = std::max<int64_t>(offset, 0); at + 4 <= end; ++at) {
        const uint8_t* p = bytes.at(at, 4);
        if (!p)
            return std::nullopt;
        if (p[3] == kPackStart && p[2] == 1 && p[1] == 0 && p[0] == 0)
            if (const auto h = packHeader(bytes, at))
                return std::make_pair(at, h->first);
    }
    return std::nullopt;
}

ProgramStream::Scan ProgramStream::scan(int64_t offset, double untilPts, int64_t maxBytes) const {
    VideoParser video;
    Bytes bytes(read_, size_);
    const auto first = packAtOrAfter(offset, kProbeBytes);
    if (!first)
        return video.finish();
    VideoParser::Pack pack;
    int videoStream = -1;
    bool clockSeen = false;
    double firstClock = -1;
    int64_t at = first->first;
    const int64_t end = std::min(size_, at + maxBytes);
    int64_t pastUntil = -1; // where the pictures passed `untilPts`: one more group is read
    while (at + 4 <= end) {
        const uint8_t* p = bytes.at(at, 6);
        if (!p)
            break;
        if (p[0] != 0 || p[1] != 0 || p[2] != 1 || p[3] < kProgramEnd) {
            ++at; // lost: on to the next start code
            continue;
        }
        const uint8_t id = p[3];
        if (id == kPackStart) {
            const auto h = packHeader(bytes, at);
            if (!h) {
                ++at;
                continue;
            }
            pack.previous = pack.offset < 0 ? at : pack.offset;
            pack.offset = at;
            pack.clockMs = h->first;
            if (!clockSeen) {
                firstClock = h->first;
                clockSeen = true;
            }
            at += h->second;
            continue;
        }
        if (id == kProgramEnd) {
            at += 4;
            continue;
        }
        const int64_t length = 6 + (int64_t(p[4]) << 8 | p[5]);
        const bool isVideo = id >= 0xE0 && id <= 0xEF && (videoStream < 0 || videoStream == id);
        if (isVideo && pack.offset >= 0) {
            videoStream = id;
            const uint8_t* packet = bytes.at(at, static_cast<std::size_t>(length));
            if (!packet)
                break;
            int64_t header = 6;
            std::optional<double> pts;
            if ((packet[6] & 0xC0) == 0x80) { // MPEG-2 packet header
                if (length < 9)
                    break;
                if ((packet[7] & 0x80) && length >= 14)
                    pts = ticksToMs(timestamp(packet + 9));
                header = 9 + packet[8];
            } else { // MPEG-1: stuffing, buffer size, then the time stamps
                while (header < length && packet[header] == 0xFF)
                    ++header;
                if (header < length && (packet[header] & 0xC0) == 0x40)
                    header += 2;
                if (header + 5 <= length && (packet[header] & 0xE0) == 0x20) {
                    pts = ticksToMs(timestamp(packet + header));
                    header += (packet[header] & 0x10) ? 10 : 5;
                } else {
                    header += 1;
                }
            }
            if (header < length) {
                video.packet(pts);
                pack.packet = at;
                pack.timed = pts.has_value();
                video.feed(packet + header, static_cast<std::size_t>(length - header), pack);
            }
            if (pts && *pts > untilPts && pastUntil < 0)
                pastUntil = at;
        }
        at += length;
        // Once past the time asked for, another second's worth of stream: the group that holds
        // the last pictures asked for is then complete.
        if (pastUntil >= 0 && at - pastUntil > (2 << 20))
            break;
    }
    Scan s = video.finish();
    s.firstClock = firstClock;
    return s;
}

std::unique_ptr<ProgramStream> ProgramStream::open(Reader read, int64_t size) {
    if (size < 16)
        return nullptr;
    uint8_t head[4] = {};
    if (read(0, head, 4) != 4 || head[0] != 0 || head[1] != 0 || head[2] != 1 ||
        head[3] != kPackStart)
        return nullptr;
    std::unique_ptr<ProgramStream> s(new ProgramStream(std::move(read), size));
    const Scan start = s->scan(0, std::numeric_limits<double>::infinity(), kEndsBytes);
    if (start.periodMs <= 0 || start.firstPts < 0 || start.keys.empty())
        return nullptr;
    const Scan end = s->scan(std::max<int64_t>(0, size - kEndsBytes),
                             std::numeric_limits<double>::infinity(), kEndsBytes);
    if (end.lastPts < start.firstPts)
        return nullptr;
    s->firstPts_ = start.firstPts;
    s->periodMs_ = start.periodMs;
    s->lengthMs_ = end.lastPts - start.firstPts + start.periodMs;
    return s;
}

std::unique_ptr<ProgramStream> ProgramStream::openFile(const std::string& path) {
    std::FILE* f = std::fopen(path.c_str(), "rb");
    if (!f)
        return nullptr;
    const std::shared_ptr<std::FILE> file(f, [](std::FILE* g) { std::fclose(g); });
    auto seek = [](std::FILE* g, int64_t offset) {
#ifdef _WIN32
        return _fseeki64(g, offset, SEEK_SET) == 0;
#else
        return fseeko(g, static_cast<off_t>(offset), SEEK_SET) == 0;
#endif
    };
    if (!seek(f, 0) || std::fseek(f, 0, SEEK_END) != 0)
        return nullptr;
#ifdef _WIN32
    const int64_t size = _ftelli64(f);
#else
    const int64_t size = static_cast<int64_t>(ftello(f));
#endif
    Reader read = [file, seek](int64_t offset, uint8_t* into, std::size_t length) -> std::size_t {
        if (!seek(file.get(), offset))
            return 0;
        return std::fread(into, 1, length, file.get());
    };
    return open(std::move(read), size);
}

namespace {

bool byTime(const KeyPicture& a, const KeyPicture& b) {
    return a.mediaMs < b.mediaMs;
}

bool landable(const KeyPicture& k) {
    return k.landable;
}

} // namespace

std::vector<KeyPicture> ProgramStream::keyPictures(double fromMs, double toMs) const {
    if (std::none_of(knownSpans_.begin(), knownSpans_.end(),
                     [&](const auto& span) { return span.first <= fromMs && toMs <= span.second; }))
        readKeyPictures(fromMs, toMs);
    const auto first = std::lower_bound(known_.begin(), known_.end(),
                                        KeyPicture{0, 0, fromMs - 0.5, 0, true}, byTime);
    const auto last =
        std::upper_bound(first, known_.end(), KeyPicture{0, 0, toMs + 0.5, 0, true}, byTime);
    return {first, last};
}

void ProgramStream::readKeyPictures(double fromMs, double toMs) const {
    // The last pack whose clock reference lies early enough before `fromMs`, by bisection.
    const double target = firstPts_ + fromMs - kClockLeadMs;
    int64_t lo = 0, hi = size_;
    while (hi - lo > kProbeBytes) {
        const int64_t mid = lo + (hi - lo) / 2;
        const auto p = packAtOrAfter(mid, kProbeBytes);
        if (!p || p->second >= target)
            hi = mid;
        else
            lo = mid;
    }
    std::vector<KeyPicture> seen = scan(lo, firstPts_ + toMs, size_).keys;
    for (KeyPicture& k : seen) {
        k.mediaMs -= firstPts_;
        k.clockMs -= firstPts_;
    }
    std::sort(seen.begin(), seen.end(), byTime);
    // What the scan read beyond the stretch asked for is kept as well, up to the last key
    // picture but one (the pictures after the last may not have been read).
    double coveredFrom = fromMs, coveredTo = toMs;
    if (seen.size() > 1) {
        coveredFrom = std::min(fromMs, seen.front().mediaMs);
        coveredTo = std::max(toMs, seen[seen.size() - 2].mediaMs);
    }
    for (const KeyPicture& k : seen) {
        if (k.mediaMs < coveredFrom - 0.5 || k.mediaMs > coveredTo + 0.5)
            continue;
        auto at = std::lower_bound(known_.begin(), known_.end(), k, byTime);
        if (at == known_.end() || at->pack != k.pack)
            known_.insert(at, k);
    }
    knownSpans_.push_back({coveredFrom, coveredTo});
    std::sort(knownSpans_.begin(), knownSpans_.end());
    std::vector<std::pair<double, double>> merged;
    for (const auto& span : knownSpans_)
        if (!merged.empty() && span.first <= merged.back().second)
            merged.back().second = std::max(merged.back().second, span.second);
        else
            merged.push_back(span);
    knownSpans_ = std::move(merged);
}

std::optional<KeyPicture> ProgramStream::keyAtOrAfter(double mediaMs) const {
    for (double window = 2000; mediaMs <= lengthMs_; window *= 4) {
        const auto keys = keyPictures(mediaMs, mediaMs + window);
        if (const auto k = std::find_if(keys.begin(), keys.end(), landable); k != keys.end())
            return *k;
        if (mediaMs + window > lengthMs_)
            break;
    }
    return std::nullopt;
}

std::optional<KeyPicture> ProgramStream::keyAtOrBefore(double mediaMs) const {
    mediaMs = std::min(mediaMs, lengthMs_);
    for (double window = 2000;; window *= 4) {
        const auto keys = keyPictures(std::max(0.0, mediaMs - window), mediaMs);
        if (const auto k = std::find_if(keys.rbegin(), keys.rend(), landable); k != keys.rend())
            return *k;
        if (mediaMs - window < 0)
            return std::nullopt;
    }
}

int32_t ProgramStream::landingShare(const KeyPicture& key) const {
    if (size_ <= 0 || key.pack <= 0)
        return 0;
    const int64_t room = std::min<int64_t>(1024, (key.pack - key.previousPack) / 2);
    const double share = static_cast<double>(key.pack - room) / static_cast<double>(size_);
    return static_cast<int32_t>(std::clamp(std::llround(share * 1e9), 0LL, 1000000000LL));
}

namespace {

class ProgramStreamLandings : public Landings {
public:
    explicit ProgramStreamLandings(std::unique_ptr<ProgramStream> s) : stream_(std::move(s)) {}
    std::optional<Landing> atOrAfter(double mediaMs) override {
        return landing(stream_->keyAtOrAfter(mediaMs));
    }
    std::optional<Landing> atOrBefore(double mediaMs) override {
        return landing(stream_->keyAtOrBefore(mediaMs));
    }
    double framePeriodMs() const override { return stream_->framePeriodMs(); }
    double lengthMs() const override { return stream_->lengthMs(); }
    bool mayShowNext() const override { return true; }

private:
    std::optional<Landing> landing(const std::optional<KeyPicture>& key) const {
        if (!key)
            return std::nullopt;
        return Landing{key->mediaMs, key->mediaMs - key->clockMs, kShareSeekCode,
                       stream_->landingShare(*key)};
    }
    std::unique_ptr<ProgramStream> stream_;
};

} // namespace

std::shared_ptr<Landings> recordingLandings(const std::string& path) {
    if (auto s = ProgramStream::openFile(path))
        return std::make_shared<ProgramStreamLandings>(std::move(s));
    return std::make_shared<WholeSeconds>(0);
}

} // namespace vorbelt
