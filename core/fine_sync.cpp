#include "core/fine_sync.h"
#include "core/fine_sync_rules.h"

#include <algorithm>
#include <climits>
#include <cmath>

namespace vorbelt {

using namespace fine_sync; // the rules the controller's parts share

namespace {

// The frame period assumed until a recording's pictures have shown theirs.
constexpr double kAssumedPeriodMs = 40;
// How long after the option is switched on the current camera's pictures are watched for
// whether it plays, and what its position answers lead its picture by, about.
constexpr int64_t kInferMs = 300;
constexpr double kAnswerLeadMs = 500;
// Pictures on the grid before a player's offset counts as measured, and before its start
// constant is learned from it.
constexpr int kMeasured = 8;
// How long after "play" went out a player paused by the controller is followed by its count at
// most, when its pause was not seen.
constexpr int64_t kCountAtMostMs = 2000;
bool countedLongEnough(int64_t startAt, int64_t now) {
    return now >= startAt + kCountAtMostMs;
}
// How far a player's position answers may lead or trail its picture before it counts as
// astray (measured: -0.5 to +0.8 s over program streams and MP4, whole seconds rounded down),
// how long after a move they are not yet to be trusted, and how many in a row must say so.
constexpr double kAnswerAheadAtMostMs = 2000;
constexpr double kAnswerBehindAtMostMs = 1500;
constexpr int64_t kAnswersSettleMs = 1500;
constexpr int kAstrayAnswers = 3;
// A landed player whose pictures have not run on this long after they were due missed its
// "play" (it stands on the picture it showed before its seek): it lands anew.
constexpr int64_t kStartMissedMs = 400;
// How many frames late a start from a landing may be told as such by its first picture (a
// player busy decoding can take its "play" in a quarter of a second late).
constexpr double kLateStartFramesAtMost = 25;
// A landed player may run on from the next landing instead: waited for this much longer at most.
constexpr int64_t kNextLandingAtMostMs = 2000;

// Every relay command planned here is a seek but the speed set back to normal.
bool isSeek(const SyncCommand& c) {
    return c.kind == SyncCommand::Kind::Relay && c.code != kRateCode;
}

} // namespace

// --- WholeSeconds -----------------------------------------------------------------------------

std::optional<Landing> WholeSeconds::atOrAfter(double mediaMs) {
    const double second = std::ceil(std::max(0.0, mediaMs) / 1000.0 - 1e-9);
    if (length_ > 0 && second * 1000.0 >= length_)
        return std::nullopt;
    return Landing{second * 1000.0, 0, kSeekCode, static_cast<int32_t>(second)};
}

std::optional<Landing> WholeSeconds::atOrBefore(double mediaMs) {
    double last = std::max(0.0, mediaMs);
    if (length_ > 0)
        last = std::min(last, length_ - 1);
    const double second = std::floor(std::max(0.0, last) / 1000.0 + 1e-9);
    return Landing{second * 1000.0, 0, kSeekCode, static_cast<int32_t>(second)};
}

// --- FineSync: players and the plan -------------------------------------------------------------

FineSync::Player* FineSync::player(int channel) {
    return channel >= 0 && channel < static_cast<int>(players_.size()) &&
                   players_[static_cast<std::size_t>(channel)].present
               ? &players_[static_cast<std::size_t>(channel)]
               : nullptr;
}

const FineSync::Player* FineSync::player(int channel) const {
    return const_cast<FineSync*>(this)->player(channel);
}

bool FineSync::present(int channel) const {
    return player(channel) != nullptr;
}

bool FineSync::pollsOften(int channel, int64_t now) const {
    const Player* p = player(channel);
    if (!p)
        return false;
    if (!running_ || channel == current_ || p->state != State::Running || p->answersAstray > 0)
        return true;
    return now <= p->holdUntil + kAnswersSettleMs + (kAstrayAnswers + 1) * kPlayingPollMs;
}

std::vector<int> FineSync::pollNow(int64_t now) {
    const bool everyone = ++pollRound_ % 2 == 0;
    std::vector<int> asked;
    for (int c = 0; c < static_cast<int>(players_.size()); ++c)
        if (present(c) && (everyone || pollsOften(c, now)))
            asked.push_back(c);
    return asked;
}

double FineSync::periodOf(const Player& p) const {
    if (p.landings && p.landings->framePeriodMs() > 0)
        return p.landings->framePeriodMs();
    return p.measured.ms() > 0 ? p.measured.ms() : kAssumedPeriodMs;
}

double FineSync::lengthOf(const Player& p) const {
    if (p.landings && p.landings->lengthMs() > 0)
        return p.landings->lengthMs();
    return answeredLength_;
}

double FineSync::startConstant(int channel) const {
    const Player* p = player(channel);
    return p ? p->constant : kStartConstantMs;
}

void FineSync::schedule(SyncCommand c) {
    const auto at = std::upper_bound(
        planned_.begin(), planned_.end(), c,
        [](const SyncCommand& a, const SyncCommand& b) { return a.atMs < b.atMs; });
    planned_.insert(at, c);
}

void FineSync::unplanned(const SyncCommand& c) {
    // A player whose seek to its landing had not gone out does not show that landing: it lands
    // before it plays. (A seek goes out a moment after its pause; a move, F1 say, in between
    // plans anew.)
    Player* p = player(c.channel);
    if (p && isSeek(c) && !c.again && p->landing.code == c.code &&
        p->landing.argument == c.argument &&
        (p->state == State::Landed || (p->state == State::Starting && p->afterLanding)))
        p->state = State::Unknown;
}

void FineSync::cancelPlanned(int channel) {
    for (const SyncCommand& c : planned_)
        if (c.channel == channel)
            unplanned(c);
    planned_.erase(std::remove_if(planned_.begin(), planned_.end(),
                                  [&](const SyncCommand& c) { return c.channel == channel; }),
                   planned_.end());
    if (Player* p = player(channel)) {
        p->stepping = false;
        p->fromLanding = false;
    }
}

void FineSync::cancelAll() {
    for (const SyncCommand& c : planned_)
        unplanned(c);
    planned_.clear();
    stepCheckAt_ = -1;
    stepAsked_ = -1;
    for (Player& p : players_) {
        p.stepping = false;
        p.fromLanding = false;
    }
}

bool FineSync::delayPause(int c, int64_t by) {
    Player* p = player(c);
    if (!p)
        return false;
    const auto it = std::find_if(planned_.begin(), planned_.end(), [&](const SyncCommand& k) {
        return k.kind == SyncCommand::Kind::Key && k.channel == c && k.code == kPauseKey &&
               k.atMs == p->pauseDue;
    });
    if (it == planned_.end())
        return false;
    SyncCommand moved = *it;
    planned_.erase(it);
    moved.atMs += by;
    schedule(moved);
    p->pauseDue = moved.atMs;
    return true;
}

double FineSync::timeline(int64_t now) const {
    if (rateHold_) {
        const Player* ref = player(current_);
        return rateFrom_ + ratePictures_ * (ref ? periodOf(*ref) : kAssumedPeriodMs);
    }
    return running_ ? static_cast<double>(now) + origin_ : standing_;
}

std::optional<double> FineSync::pictureOf(int channel, int64_t now) const {
    const Player* p = player(channel);
    if (!p || p->state != State::Running || p->samples < 3)
        return std::nullopt;
    return static_cast<double>(now) + p->offset;
}

std::string FineSync::describe(int64_t now) const {
    static const char* const names[] = {"unknown",  "standing", "landed",
                                        "starting", "running",  "ended"};
    std::string out = running_ ? "playing timeline " : "standing timeline ";
    out += std::to_string(std::llround(timeline(now)));
    for (std::size_t c = 0; c < players_.size(); ++c) {
        const Player& p = players_[c];
        if (!p.present)
            continue;
        out += " | " + std::to_string(c) + " " + names[static_cast<int>(p.state)];
        if (p.state == State::Running || p.state == State::Starting)
            out += " off " + std::to_string(std::llround(p.offset - origin_)) + " n " +
                   std::to_string(p.samples) + " c " + std::to_string(std::llround(p.constant));
        if (p.state == State::Starting)
            out += " at " + std::to_string(p.startAt);
        if (p.state == State::Standing && p.countThrough && p.counted)
            out += " shows " + std::to_string(std::llround(shownAt(p)));
    }
    return out;
}

double FineSync::estimateFromAnswers(int64_t now) const {
    const Player* ref = player(current_);
    if (!ref || ref->lastAnswer < 0)
        return standing_;
    // The answer leads the picture; within its second, by how long it has been showing.
    const double into = std::clamp<double>(static_cast<double>(now - ref->answerChangedAt), 0, 999);
    return std::max(0.0, ref->lastAnswer * 1000.0 + into - kAnswerLeadMs);
}

// --- events ----------------------------------------------------------------------------------

void FineSync::setEnabled(bool on, int64_t now) {
    if (on == enabled_)
        return;
    if (!on) {
        // What is under way ends at once: players held or about to start play now (the
        // station's own ways follow), the rest of the plan goes.
        // (A player on its way to a picture while all stand stays standing: its play goes,
        // or, that gone out, its pause goes out now.)
        std::vector<SyncCommand> kept;
        for (const SyncCommand& c : planned_) {
            const Player* p = player(c.channel);
            const bool stepping = p && p->stepping;
            if (c.kind == SyncCommand::Kind::Key &&
                (stepping ? c.code == kPauseKey && p->playDue < 0 : c.code == kPlayKey))
                kept.push_back({c.kind, c.channel, c.code, c.argument, now});
        }
        planned_ = kept;
        enabled_ = false;
        running_ = false;
        rateHold_ = false;
        return;
    }
    enabled_ = true;
    enabledAt_ = now;
    inferring_ = true;
    running_ = false;
    rateHold_ = false;
    for (Player& p : players_) {
        p.state = State::Unknown;
        p.samples = 0;
    }
}

void FineSync::loaded(std::vector<std::shared_ptr<Landings>> files, int64_t now) {
    (void)now;
    players_.assign(files.size(), Player{});
    frozen_.clear();
    for (std::size_t c = 0; c < files.size(); ++c) {
        players_[c].present = files[c] != nullptr;
        players_[c].landings = std::move(files[c]);
    }
    planned_.clear();
    running_ = false;
    rateHold_ = false;
    inferring_ = false;
    standing_ = 0;
}

void FineSync::gone(int channel) {
    if (Player* p = player(channel)) {
        p->present = false;
        cancelPlanned(channel);
    }
}

std::vector<FineSync::Frozen> FineSync::takeFrozen() {
    std::vector<Frozen> out;
    out.swap(frozen_);
    return out;
}

void FineSync::rejoined(int channel, int64_t now) {
    if (channel < 0 || channel >= static_cast<int>(players_.size()))
        return;
    Player& p = players_[static_cast<std::size_t>(channel)];
    if (!p.landings)
        return;
    // A new player: nothing of the old one's pictures or answers holds, but its file's landings
    // and how long this machine's players take from "play" to running on.
    Player fresh;
    fresh.present = true;
    fresh.landings = p.landings;
    fresh.constant = p.constant;
    fresh.restarted = true;
    p = std::move(fresh);
    cancelPlanned(channel);
    if (!enabled_ || rateHold_ || inferring_)
        return; // it lands with the others at the next move
    if (running_) {
        landOnTimeline(channel, now);
        return;
    }
    // Standing: it stands where the others do (the next play starts it with them).
    landStanding(channel, p, standing_, now);
}

bool FineSync::standsAtEnd(int channel, int64_t now) const {
    const Player* p = player(channel);
    if (!p || p->lastAnswer < 0)
        return false;
    const double length = lengthOf(*p);
    // (The answers are whole seconds, rounded down.)
    return length > 0 && p->lastAnswer * 1000.0 >= std::floor(length / 1000.0) * 1000.0 - 1000.0 &&
           now - p->answerChangedAt >= 1500;
}

void FineSync::setCurrent(int channel) {
    current_ = channel;
}

void FineSync::setLength(int32_t seconds) {
    answeredLength_ = seconds > 0 ? seconds * 1000.0 : 0.0;
}

void FineSync::answer(int channel, int64_t atMs, int32_t seconds) {
    Player* p = player(channel);
    if (!p)
        return;
    if (seconds != p->lastAnswer)
        p->answerChangedAt = atMs;
    p->lastAnswer = seconds;
    // The pictures place a player only to within a frame period, from the picture it was
    // believed to land on: one whose seek went astray (it came while the player still took in
    // the one before, on a loaded machine) runs on a grid seconds away. Its answers tell: they
    // lead its picture by a few hundred milliseconds at most, or trail it as much.
    const bool placed = enabled_ && running_ && !rateHold_ && p->state == State::Running &&
                        p->samples >= kMeasured && atMs > p->holdUntil + kAnswersSettleMs;
    const double picture = static_cast<double>(atMs) + p->offset;
    const bool astray = placed && (picture < seconds * 1000.0 - kAnswerAheadAtMostMs ||
                                   picture >= (seconds + 1) * 1000.0 + kAnswerBehindAtMostMs);
    p->answersAstray = astray ? p->answersAstray + 1 : 0;
}

void FineSync::picture(int channel, int64_t atMs, Content content) {
    Player* p = player(channel);
    if (!p)
        return;
    p->contentTold = content != Content::Untold;
    const int64_t since = atMs - p->measured.lastPicture();
    p->measured.picture(atMs);
    // A standing player repaints its picture now and then, slower than any frame rate: only a
    // picture a frame period after the one before is a new frame.
    const double period = periodOf(*p);
    const bool frame = std::fabs(static_cast<double>(since) - period) <= 0.2 * period;
    if (frame)
        p->lastFrame = atMs;
    // At the operator's speed the current camera's frames count where the timeline goes (faster
    // than a standing player's repaints).
    if (rateHold_ && channel == current_ && since < 60)
        ++ratePictures_;
    if (!enabled_)
        return;
    if (p->pauseLeaks >= 0 && content == Content::New && atMs >= p->pauseSentAt)
        ++p->pauseLeaks;
    // Paused with its count: every picture that differs from the last one is a frame, however
    // soon after a repaint (the player still ran until the pause took effect, and runs again
    // once the play does).
    const bool paused =
        p->countThrough && (p->state == State::Standing || p->state == State::Starting);
    if (p->countThrough && (content == Content::Same ||
                            (content == Content::New && atMs - p->lastNew > 1.25 * period)))
        p->pauseSeen = true;
    if (content == Content::New) {
        checkStart(*p, atMs);
        p->lastNew = atMs;
    }
    if (paused && content == Content::New)
        ++p->picturesSince;
    // (One held with its count runs again with a new picture once "play" went out: a picture
    // before may still come before the pause took effect, and a repaint of the held one a frame
    // period after the last would name that picture's frame a frame late. Pictures at a frame's
    // pace that show nothing new, several in a row, are a recording standing still, which no
    // count follows: their times name their frames, as without the count.)
    p->stillPictures = frame && content == Content::Same ? p->stillPictures + 1 : 0;
    if (p->stillPictures >= 3)
        p->countThrough = false;
    const bool runs = p->countThrough ? atMs >= p->startAt && content == Content::New
                                      : atMs >= p->startAt - roundMs(period / 2);
    if (p->state == State::Starting && runs && frame) {
        p->state = State::Running;
        p->samples = 0;
        p->offGrid = 0;
        p->offGridSum = 0;
        p->counted = p->countThrough && p->counted;
        if (paused)
            return lock(*p, atMs);
    }
    // A playing player draws only new pictures: each one is the next frame (but a second report
    // within a quarter period, or one told to show the picture before: a repaint, unless at a
    // frame's pace where no pause may have come in between, which is a recording standing still).
    const bool next = content == Content::Untold
                          ? since >= period / 4
                          : content == Content::New || (frame && !p->countThrough);
    if (p->state == State::Running && next)
        ++p->picturesSince;
    if (p->state == State::Running && !rateHold_ && frame &&
        !(p->countThrough && content == Content::Same))
        lock(*p, atMs);
}

void FineSync::checkStart(Player& p, int64_t at) {
    const double period = periodOf(p);
    if (!p.startUnseen || static_cast<double>(at) < static_cast<double>(p.startAt) - period / 2)
        return;
    p.startUnseen = false;
    // A landed player runs on from its landing once the landing's time comes (its "play" goes
    // out frames before): its first new picture since is the next frame, due a frame period
    // after that time (or, one that drew its landing only once told to play, the landing
    // itself, about at that time). One that took its "play" in late by whole frames shows it
    // that much later, which the pictures' times, naming a frame only to within a period,
    // cannot tell; so does one that showed the pictures before its landing (B pictures of the
    // group before) as soon as it was told to play. (Late by one frame is not told from a
    // picture dropped at the start, or from the landing drawn late; none is early, but a B
    // picture shown before the landing may come a little late; one sought to a landing may
    // show the next instead, the next landing's time later, and is in step.)
    if (!p.afterLanding || (p.state != State::Starting && p.state != State::Running) ||
        p.playSentAt < p.seekSentAt || p.landing.startMs + p.constant < 2 * period)
        return;
    const double late = std::round((static_cast<double>(at - p.startAt) - period) / period);
    if (late < 2 || late > kLateStartFramesAtMost)
        return;
    if (p.landings->mayShowNext())
        if (const auto next = p.landings->atOrAfter(p.landing.mediaMs + period / 2);
            next && std::fabs(late * period - (next->mediaMs - p.landing.mediaMs)) <= period)
            return; // the next landing's picture, on time
    p.offset -= late * period;
    p.predicted -= late * period;
}

void FineSync::lock(Player& p, int64_t at) {
    const double period = periodOf(p);
    if (p.countThrough) {
        // Paused by the controller, until its pause and play have surely taken effect, the
        // frames counted name its pictures, wherever their times put them (trusted for a
        // frame's difference beyond what the pause was to shift it; more: pictures were lost).
        // A pause and a play can take effect a tenth of a second late, or half a second, both:
        // pictures then come on the old grid for a while after "play" went out, and then a
        // frame period later, which looks like the next frame on time. The count ends a few
        // frames after the pause was seen (a gap in the pictures, or a repaint), or after a
        // while when none was (the pause and the play were taken in at once).
        const double counted = p.onGridFrame + p.picturesSince * period;
        if (p.counted &&
            std::fabs(counted - (static_cast<double>(at) + p.offset)) < 1.5 * period + p.countSlack)
            p.offset = counted - static_cast<double>(at);
        if (p.pauseSeen)
            ++p.locksSincePause;
        if ((p.locksSincePause >= 3 && at >= p.holdUntil + kHoldSettleMs) ||
            countedLongEnough(p.startAt, at))
            p.countThrough = false;
    }
    // The picture shown is the frame nearest to where the offset puts it; what it says of the
    // offset is that frame's time, seen now.
    const double media = static_cast<double>(at) + p.offset;
    const double frame = std::round(media / period) * period;
    const double residual = frame - media;
    if (std::fabs(residual) <= 0.3 * period) {
        p.offset += residual * (p.samples < 4 ? 0.5 : 0.2);
        ++p.samples;
        p.offGrid = 0;
        p.offGridSum = 0;
        p.countedSum = 0;
        p.counted = true;
        p.onGridFrame = frame;
        p.picturesSince = 0;
        if (p.samples == kMeasured) {
            p.missedStarts = 0; // it runs
            p.restarted = false;
            p.landAgain = p.stepped;
            p.stepped = false;
        }
        if (p.samples == kMeasured && p.afterLanding) {
            // How the player started against the plan: its constant from "play" on. The grid
            // tells a start only to within a frame period: one that came half a period late
            // looks half a period early. Each landing moves the constant by at most a few
            // milliseconds, so that one such start cannot throw it off for every landing after
            // (a constant off by a third of a period makes the next wrong start likelier).
            const double late = std::clamp(p.predicted - p.offset, -period / 4, period / 4);
            p.constant = std::clamp(p.constant + 0.5 * late, 0.0, 200.0);
            p.afterLanding = false;
        }
        return;
    }
    // Off the grid, and it keeps on: the player's pictures moved (its clock was set anew, as
    // VLC does now and then playing an MP4): its offset moves onto the new grid. Which frame
    // the new grid shows the pictures' count since the last one on the grid says: by their
    // times alone, a move of half a period ahead and one of half a period behind look alike.
    p.offGridSum += residual;
    p.countedSum += p.onGridFrame + p.picturesSince * period - static_cast<double>(at);
    if (++p.offGrid >= 6) {
        const double nearest = p.offset + p.offGridSum / p.offGrid;
        const double byCount = p.countedSum / p.offGrid;
        // The count is trusted for a frame's difference at most (more: pictures were lost).
        p.offset = p.counted && std::fabs(byCount - nearest) < 1.5 * period ? byCount : nearest;
        p.samples = 0;
        p.offGrid = 0;
        p.offGridSum = 0;
        p.countedSum = 0;
        p.counted = false;
    }
}

// --- the plan --------------------------------------------------------------------------------

std::vector<SyncCommand> FineSync::due(int64_t now) {
    if (enabled_ && !running_ && stepCheckAt_ >= 0 && now >= stepCheckAt_)
        alignSteps(now);
    if (enabled_)
        plan(now);
    std::vector<SyncCommand> out;
    std::vector<SyncCommand> later;
    std::vector<int> stale; // players whose seek would now go out too late for their play
    auto it = planned_.begin();
    for (; it != planned_.end() && it->atMs <= now; ++it) {
        if (std::find(stale.begin(), stale.end(), it->channel) != stale.end())
            continue; // (it lands anew: what was planned for it goes)
        // A seek follows its player's pause by a moment from when the pause goes out, not only
        // as planned: the station's thread held up (a busy machine, a stalled X server) would
        // post both at once, and the seek, through the relay, can then reach the player before
        // the pause, through its window, which leaves it deaf to the seek and the play after.
        if (isSeek(*it) && !it->again) {
            const Player* p = player(it->channel);
            int64_t after = p ? p->pauseSentAt + kSeekAfterPauseMs : now;
            if (std::any_of(out.begin(), out.end(), [&](const SyncCommand& c) {
                    return c.channel == it->channel && c.kind == SyncCommand::Kind::Key &&
                           c.code == kPauseKey;
                }))
                after = now + kSeekAfterPauseMs;
            // Going out this late (the station's thread held up), the seek would not settle
            // before its landing's "play" (or come after it): the player lands anew instead,
            // with the others held up alike, rather than miss its start and be found lost. (A
            // few tens of milliseconds late, as the keys go out on a busy machine, the settling
            // planned has room.)
            if (p && p->state == State::Starting && p->afterLanding && p->playDue >= 0 &&
                p->playDue < std::max(after, now) + kSettleMs / 2) {
                stale.push_back(it->channel);
                continue;
            }
            if (after > now) {
                later.push_back(*it);
                later.back().atMs = after;
                continue;
            }
        } else if (isSeek(*it)) {
            // The seek once more goes out a settling after the first went out, to a player that
            // still waits on that landing, and only where the play after it still leaves room
            // for one more; else it is left out.
            const Player* p = player(it->channel);
            const auto seek = [&](const SyncCommand& c) {
                return c.channel == it->channel && isSeek(c);
            };
            const bool waits = p &&
                               (p->state == State::Landed || p->state == State::Ended ||
                                (p->state == State::Starting && p->afterLanding)) &&
                               p->landing.code == it->code && p->landing.argument == it->argument;
            if (!waits)
                continue;
            const int64_t at = std::max(now, p->seekSentAt + kSettleMs);
            if (std::any_of(out.begin(), out.end(), seek) ||
                std::any_of(later.begin(), later.end(), seek) ||
                (p->playDue >= 0 && p->playDue < at + kSeekAgainSettleMs))
                continue;
            if (at > now) {
                later.push_back(*it);
                later.back().atMs = at;
                continue;
            }
        }
        out.push_back(*it);
    }
    planned_.erase(planned_.begin(), it);
    for (const SyncCommand& c : later)
        schedule(c);
    if (!stale.empty())
        landAnew(stale, now);
    return out;
}

void FineSync::posted(const SyncCommand& c, int64_t atMs) {
    Player* p = player(c.channel);
    if (!p)
        return;
    // Told anything else, its pictures no longer tell how late its last pause took effect.
    if (!(c.kind == SyncCommand::Kind::Key && c.code == kPauseKey))
        learnPauseLeaks(*p);
    if (c.kind == SyncCommand::Kind::Relay) {
        if (isSeek(c)) {
            p->seekSentAt = atMs;
            p->soughtAgain = c.again;
            if (!c.again)
                p->landingSeekSentAt = atMs;
        }
        return;
    }
    const double late = static_cast<double>(std::max<int64_t>(0, atMs - c.atMs));
    if (c.code == kPauseKey)
        p->pauseSentAt = atMs;
    else if (c.code == kPlayKey)
        p->playSentAt = atMs;
    if (c.code == kPauseKey && c.atMs == p->pauseDue) {
        // It ran on until the key went out.
        p->pauseDue = -1;
        p->stepping = false;
        if (p->fromLanding) {
            p->fromLanding = false;
            p->pauseLeaks = 0;
        }
        if (p->state == State::Standing) {
            p->standingAt += late;
        } else if (p->state == State::Starting && !p->afterLanding) {
            p->offset += late;
            p->predicted += late;
        }
    } else if (c.code == kPlayKey && c.atMs == p->playDue) {
        // It runs on from when the key went out.
        p->playDue = -1;
        if (p->state == State::Starting) {
            p->startAt += roundMs(late);
            p->offset -= late;
            p->predicted -= late;
            p->holdUntil += roundMs(late);
        } else if (p->stepping) {
            // Its step runs that much less (its pause goes out as planned).
            p->standingAt -= late;
        }
    }
}

int64_t FineSync::nextDue() const {
    const int64_t check = enabled_ && !running_ && stepCheckAt_ >= 0 ? stepCheckAt_ : INT64_MAX;
    return std::min(check, planned_.empty() ? INT64_MAX : planned_.front().atMs);
}

int64_t FineSync::startMissedMs(const Player& p) const {
    // One that showed a new picture since its seek went out took the seek in: where its
    // recording allows, it may have shown the next landing (at once, or once told to play), and
    // then runs on from there once the timeline reaches it (landing it anew would only make it
    // later). One stepped by frames since it last ran is more likely frozen: it is not waited
    // for (its replacement would come later).
    if (!p.afterLanding || p.stepped || p.playSentAt < p.seekSentAt ||
        p.lastNew <= p.landingSeekSentAt || !p.landings->mayShowNext())
        return kStartMissedMs;
    const auto next = p.landings->atOrAfter(p.landing.mediaMs + 1);
    return next ? kStartMissedMs +
                      std::min(roundMs(next->mediaMs - p.landing.mediaMs), kNextLandingAtMostMs)
                : kStartMissedMs;
}

void FineSync::plan(int64_t now) {
    Player* ref = player(current_);
    if (inferring_) {
        if (now - enabledAt_ < kInferMs || !ref)
            return;
        inferring_ = false;
        // The current camera plays when its pictures come at a frame rate (a standing player
        // repaints now and then, slower).
        bool playing = false;
        const std::vector<int64_t>& intervals = ref->measured.intervals();
        if (intervals.size() >= 5 && now - ref->measured.lastPicture() < 150) {
            std::vector<int64_t> v(intervals.end() - 5, intervals.end());
            std::nth_element(v.begin(), v.begin() + 2, v.end());
            playing = v[2] < 60;
        }
        moveAll(now, estimateFromAnswers(now), playing);
        // Standing, the answers name the current camera's second only: the timeline stands
        // where its landing shows, so that the next move is taken from the picture shown.
        if (!running_ && ref->state == State::Landed)
            standing_ = ref->landing.mediaMs;
        return;
    }
    if (rateHold_ || !running_ || !ref)
        return;
    // The end of the recording: every player pauses itself at its end; they all stand there.
    const double refLength = lengthOf(*ref);
    const bool refStopped = now - ref->lastFrame > kStoppedMs && ref->state == State::Running;
    if (refLength > 0 &&
        (timeline(now) >= refLength + 1000 || (timeline(now) >= refLength - 1000 && refStopped))) {
        standAll(now);
        for (Player& p : players_)
            if (p.present)
                p.state = State::Ended;
        standing_ = refLength;
        atEnd_ = true;
        return;
    }
    // Players whose pictures stopped, or never came: at their end, or lost (they land anew).
    std::vector<int> lost;
    for (int c = 0; c < static_cast<int>(players_.size()); ++c) {
        Player* p = player(c);
        if (!p)
            continue;
        const bool stopped = (p->state == State::Running && now - p->lastFrame > kStoppedMs &&
                              now - p->startAt > kStoppedMs) ||
                             (p->state == State::Starting && now - p->startAt > startMissedMs(*p) &&
                              p->lastFrame < p->startAt);
        if (p->state == State::Running && (p->answersAstray >= kAstrayAnswers || p->landAgain) &&
            timeline(now) < lengthOf(*p) - 2000) {
            p->answersAstray = 0;
            p->landAgain = false;
            lost.push_back(c);
            continue;
        }
        if (!stopped)
            continue;
        if (timeline(now) >= lengthOf(*p) - 1000) {
            p->state = State::Ended;
            continue;
        }
        // A start missed, or one that showed less than a run of frames (a repaint or two can
        // fall near the moment it was due): again and again, over seconds, the player is frozen.
        if (p->samples < kMeasured) {
            if (p->missedStarts == 0)
                p->firstMissAt = now;
            ++p->missedStarts;
        }
        // One stepped by frames that missed its start and showed nothing of its landing either
        // (a player that takes in its seek shows the picture within half a second of it) is
        // frozen at once: what froze it leaves it deaf to every seek and play after.
        const bool deaf = p->stepped && p->state == State::Starting && p->afterLanding &&
                          p->contentTold && p->lastNew <= p->landingSeekSentAt;
        if (deaf || (p->missedStarts >= (p->stepped ? kFrozenStartsAfterStep : kFrozenStarts) &&
                     now - p->firstMissAt >= (p->stepped ? kFrozenMsAfterStep : kFrozenMs))) {
            gone(c);
            frozen_.push_back({c, p->restarted});
            continue;
        }
        if (c != current_ || timeline(now) < refLength - 2000)
            lost.push_back(c);
    }
    if (!lost.empty())
        landAnew(lost, now);
    // Small differences, once every playing player's pictures have shown where it stands.
    std::vector<Player*> measured;
    for (Player& p : players_) {
        if (!p.present)
            continue;
        // (One held is waited for until its hold was seen to take effect, or for a while.)
        if (p.countThrough && countedLongEnough(p.startAt, now))
            p.countThrough = false;
        if (p.state == State::Starting || p.holdUntil > now || p.countThrough)
            return;
        if (p.state == State::Running) {
            if (p.samples < kMeasured)
                return;
            measured.push_back(&p);
        }
    }
    if (ref->state != State::Running)
        return;
    // The timeline is the current camera's, or the one furthest behind it, if any is: those
    // ahead of that one wait for it.
    double base = ref->offset;
    for (Player* p : measured) {
        const double d = p->offset - ref->offset;
        if (d < -kHoldAtMostMs || d > kHoldAtMostMs)
            continue;
        base = std::min(base, p->offset);
    }
    origin_ = base;
    for (int c = 0; c < static_cast<int>(players_.size()); ++c) {
        Player* p = player(c);
        if (!p || p->state != State::Running)
            continue;
        const double d = p->offset - ref->offset;
        if (d < -kHoldAtMostMs || d > kHoldAtMostMs) {
            // Too far off to wait for: it lands on the timeline anew.
            cancelPlanned(c);
            landOnTimeline(c, now);
            continue;
        }
        const double ahead = p->offset - base;
        // (Not in the recording's last second: the "play" that ends a hold could reach a player
        // that play-and-pause has stopped at its end, which would end it and its window.)
        if (ahead <= kToleranceMs || (refLength > 0 && timeline(now) >= refLength - 1000))
            continue;
        // Ahead of the one furthest behind: it waits, standing, for as long as it is ahead.
        const int64_t resume = now + roundMs(ahead);
        schedule({SyncCommand::Kind::Key, c, kPauseKey, 0, now});
        schedule({SyncCommand::Kind::Key, c, kPlayKey, 0, resume});
        p->pauseDue = now;
        p->playDue = resume;
        p->state = State::Starting;
        p->startAt = resume;
        followCount(*p, ahead);
        p->offset -= ahead;
        p->predicted = p->offset;
        p->afterLanding = false;
        p->samples = 0;
        p->holdUntil = resume + kHoldSettleMs;
    }
}

} // namespace vorbelt
