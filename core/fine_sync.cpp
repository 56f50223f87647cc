#include "core/fine_sync.h"

#include <algorithm>
#include <climits>
#include <cmath>

namespace vorbelt {

namespace {

// A change of the second counts only when seen promptly after the answer before it.
constexpr int64_t kPromptChangeMs = 200;
// Answers while a player lands a seek, or starts again, say little of where it will run.
constexpr int64_t kSeekSettleMs = 1000;
constexpr int64_t kStartSettleMs = 600;
// Rate changes show some 0.7 s after the command: answers until then mix the two speeds.
constexpr int64_t kTrimSettleMs = 1000;
// How long before a planned seek leaves the plan is made, at least.
constexpr int64_t kSeekLeadMs = 30;
// A standing player shows a seek within some milliseconds; it is given this long.
constexpr int64_t kStandingSeekMs = 150;
// A follower is pulled, while the players stand, at most this often.
constexpr int64_t kPullEveryMs = 1500;
// Switched on mid-way: how long the current camera is watched for whether it plays.
constexpr int64_t kInferMs = 2500;
// Changes of the second after a start of all from one picture before the leads are learned.
constexpr int kCalibrationChanges = 40;
// Changes of the second after a seek before its landing is learned (and the fewest a sample
// taken when the next move interrupts the measurement rests on).
constexpr int kLandingChanges = 8;
constexpr int kLandingChangesAtLeast = 3;

} // namespace

// --- PlayerClock ------------------------------------------------------------------------------

void PlayerClock::answer(int64_t atMs, int32_t seconds) {
    const bool changed = seconds != lastSeconds_;
    const bool promptChange =
        seconds == lastSeconds_ + 1 && lastSeconds_ >= 0 && atMs - lastAt_ <= kPromptChangeMs;
    if (changed)
        lastChangeAt_ = atMs;
    lastSeconds_ = seconds;
    lastAt_ = atMs;
    if (atMs < settledAt_ || seconds < 0)
        return;
    const double low = seconds * 1000.0 - static_cast<double>(atMs);
    const double high = low + 1000.0 + kStaleMs;
    // An answer that what was learned cannot explain: the player moved by itself (it ended, was
    // paused or sought behind the station's back). Learning starts again from this answer.
    if (const auto o = offset(); o && (*o >= high || low > *o + 1000.0)) {
        bounds_.clear();
        bound_.reset();
        predicted_.reset();
        changes_ = 0;
    }
    if (!bounds_.empty() && bounds_.back().seconds == seconds) {
        bounds_.back().bound = std::max(bounds_.back().bound, low);
    } else {
        bounds_.push_back({seconds, low});
        if (bounds_.size() > kWindow)
            bounds_.pop_front();
    }
    bound_ = bounds_.front().bound;
    for (const Second& b : bounds_)
        bound_ = std::max(*bound_, b.bound);
    if (promptChange)
        ++changes_;
}

void PlayerClock::reset(int64_t settledAtMs) {
    bounds_.clear();
    bound_.reset();
    predicted_.reset();
    changes_ = 0;
    settledAt_ = settledAtMs;
}

void PlayerClock::shift(double ms, int64_t settledAtMs) {
    for (Second& b : bounds_)
        b.bound += ms;
    if (bound_)
        *bound_ += ms;
    if (predicted_)
        *predicted_ += ms;
    settledAt_ = std::max(settledAt_, settledAtMs);
}

void PlayerClock::predict(double offsetMs, int64_t settledAtMs, int holdChanges, int weight) {
    bounds_.clear();
    bound_.reset();
    changes_ = 0;
    predicted_ = offsetMs;
    hold_ = holdChanges;
    predictionWeight_ = weight;
    settledAt_ = settledAtMs;
}

std::optional<double> PlayerClock::offset() const {
    if (predicted_ && changes_ < hold_)
        return bound_ ? std::max(*bound_, *predicted_) : *predicted_;
    return bound_;
}

int PlayerClock::weight() const {
    return changes_ + (predicted_ && changes_ < hold_ ? predictionWeight_ : 0);
}

// --- FineSync --------------------------------------------------------------------------------

double trimTolerance(int weight) {
    // The estimates close in on a player's offset as the changes of its second come: with a
    // dozen the two of a pair still differ by up to ~150 ms now and then, with three dozen by
    // ~40 ms. A trim on less would chase the estimates' own noise.
    if (weight < 3)
        return 1e9;
    if (weight < 12)
        return 160;
    if (weight < 24)
        return 100;
    if (weight < 36)
        return 60;
    return 40;
}

int rateCode(int percent) {
    if (percent == 0)
        return 100;
    if (percent > 0)
        return 100 + std::clamp(percent, 10, 99);
    return 100 - std::clamp(-percent, 1, 90);
}

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

std::optional<double> FineSync::landing(int channel) const {
    const Player* p = player(channel);
    if (!p || p->landings == 0)
        return std::nullopt;
    return p->landing;
}

std::optional<double> FineSync::landingOf(int channel) const {
    if (const auto own = landing(channel))
        return own;
    // Not yet learned for this player: the others' tell what a seek of this recording costs.
    double sum = 0;
    int n = 0;
    for (const Player& p : players_)
        if (p.present && p.landings > 0) {
            sum += p.landing;
            ++n;
        }
    if (n == 0)
        return std::nullopt;
    return sum / n;
}

std::optional<double> FineSync::lead(int channel) const {
    const Player* p = player(channel);
    return p ? p->lead : std::nullopt;
}

double FineSync::leadOf(int channel) const {
    if (const auto own = lead(channel))
        return *own;
    double sum = 0;
    int n = 0;
    for (const Player& p : players_)
        if (p.present && p.lead) {
            sum += *p.lead;
            ++n;
        }
    return n > 0 ? sum / n : 0.0;
}

std::optional<double> FineSync::pictureOffset(int channel) const {
    const Player* p = player(channel);
    if (!p)
        return std::nullopt;
    const auto o = p->clock.offset();
    return o ? std::optional<double>(*o - leadOf(channel)) : std::nullopt;
}

void FineSync::setEnabled(bool on, int64_t now) {
    if (on == enabled_)
        return;
    if (!on) {
        stopAll(now);
        enabled_ = false;
        return;
    }
    enabled_ = true;
    enabledAt_ = now;
    // Whether the players play is not known yet: the current camera's answers tell.
    inferPlaying_ = true;
    playing_ = false;
    rateHold_ = false;
    // (Where the players stand stays known: a Load's start, say, until they are seen to play.)
    for (Player& p : players_) {
        p.clock.reset(now);
        p.busyUntil = 0;
    }
}

void FineSync::loaded(int count, int64_t now) {
    players_.assign(static_cast<std::size_t>(std::max(count, 0)), Player{});
    planned_.clear();
    playing_ = false;
    rateHold_ = false;
    inferPlaying_ = false;
    for (Player& p : players_) {
        p.present = true;
        p.clock.reset(now);
        // Load leaves every player standing at its start.
        p.standingAt = 0.0;
    }
}

void FineSync::setPresent(int channel, bool on) {
    if (channel < 0 || channel >= static_cast<int>(players_.size()))
        return;
    Player& p = players_[static_cast<std::size_t>(channel)];
    if (p.present == on)
        return;
    p.present = on;
    planned_.erase(std::remove_if(planned_.begin(), planned_.end(),
                                  [&](const SyncCommand& c) { return c.channel == channel; }),
                   planned_.end());
}

void FineSync::setCurrent(int channel) {
    current_ = channel;
}

void FineSync::answer(int channel, int64_t atMs, int32_t seconds) {
    if (Player* p = player(channel))
        p->clock.answer(atMs, seconds);
}

void FineSync::schedule(SyncCommand c) {
    const auto at = std::upper_bound(
        planned_.begin(), planned_.end(), c,
        [](const SyncCommand& a, const SyncCommand& b) { return a.atMs < b.atMs; });
    planned_.insert(at, c);
}

void FineSync::cancelPlanned(int channel, int64_t now) {
    planned_.erase(std::remove_if(planned_.begin(), planned_.end(),
                                  [&](const SyncCommand& c) { return c.channel == channel; }),
                   planned_.end());
    Player* p = player(channel);
    if (!p)
        return;
    if (p->trimEnd != 0) {
        // Normal speed now: the trim did what it did so far.
        const double done = (p->trimRate - 1.0) * static_cast<double>(now - p->trimStart);
        const double planned = (p->trimRate - 1.0) * static_cast<double>(p->trimEnd - p->trimStart);
        p->clock.shift(done - planned, now + kTrimSettleMs);
        p->movedSinceSeek += done - planned;
        schedule({SyncCommand::Kind::Relay, channel, kRateCode, 100, now});
        p->trimEnd = 0;
    }
    p->busyUntil = std::min(p->busyUntil, now);
}

void FineSync::stopAll(int64_t now) {
    for (int c = 0; c < static_cast<int>(players_.size()); ++c)
        cancelPlanned(c, now);
}

void FineSync::stopsHere(Player& p, int channel, int64_t now) {
    const auto o = pictureOffset(channel);
    p.standingAt = o ? std::optional<double>(*o + static_cast<double>(now)) : std::nullopt;
    p.standingKnown = o.has_value();
    p.calibrating.reset();
}

bool FineSync::playPause(int64_t now) {
    if (!enabled_)
        return playing_;
    inferPlaying_ = false;
    if (playing_) {
        // All stand, at once: where each stood is known to the millisecond from its offset.
        for (int c = 0; c < static_cast<int>(players_.size()); ++c) {
            Player* p = player(c);
            if (!p)
                continue;
            cancelPlanned(c, now);
            stopsHere(*p, c, now);
            p->busyUntil = 0;
            schedule({SyncCommand::Kind::Key, c, kPauseKey, 0, now});
        }
        playing_ = false;
        return playing_;
    }
    // Play: each from the current camera's picture. A player that stood ahead of it by d starts
    // d later, one behind it d earlier, so all run on its timeline from the start. Players that
    // stand where they were put rather than where they were stopped (at their start after a
    // Load, say) are first sought there, standing, so that each shows that very picture.
    for (int c = 0; c < static_cast<int>(players_.size()); ++c)
        cancelPlanned(c, now);
    int64_t settle = 0;
    // All sought to their start stand on one picture (every recording opens with a whole
    // picture at 0): started together from there they run in step, whatever their answers
    // say, and what the answers say then is how far each one's lead their picture.
    bool fromStart = true;
    for (int c = 0; c < static_cast<int>(players_.size()); ++c) {
        Player* p = player(c);
        if (!p)
            continue;
        fromStart = fromStart && p->standingAt && !p->standingKnown && *p->standingAt < 1000.0;
        if (p->standingAt && !p->standingKnown) {
            schedule({SyncCommand::Kind::Relay, c, kSeekCode,
                      static_cast<int32_t>(std::floor(*p->standingAt / 1000.0)), now});
            p->standingAt = std::floor(*p->standingAt / 1000.0) * 1000.0;
            settle = kStandingSeekMs;
        }
    }
    now += settle;
    const Player* ref = player(current_);
    const bool known = ref && ref->standingAt;
    const double from = known ? *ref->standingAt : 0;
    auto lined = [&](const Player& p) {
        return known && p.standingAt && std::fabs(*p.standingAt - from) < kSeekBeyondMs;
    };
    double earliest = 0; // how far before the current camera a follower must start
    for (const Player& p : players_)
        if (p.present && lined(p))
            earliest = std::max(earliest, from - *p.standingAt);
    const int64_t refStart = now + static_cast<int64_t>(std::ceil(earliest));
    for (int c = 0; c < static_cast<int>(players_.size()); ++c) {
        Player* p = player(c);
        if (!p)
            continue;
        int64_t start = refStart;
        p->calibrating.reset();
        if (fromStart && !p->lead) {
            // Its lead is learned from this start: nothing is trimmed meanwhile.
            p->calibrating = from - static_cast<double>(refStart);
            p->clock.reset(start + kStartSettleMs);
        } else if (lined(*p)) {
            start = refStart + static_cast<int64_t>(std::llround(*p->standingAt - from));
            p->clock.predict(from - static_cast<double>(refStart) + leadOf(c),
                             start + kStartSettleMs, PlayerClock::kStrongHold,
                             PlayerClock::kStrongWeight);
        } else if (!known && p->standingAt) {
            // Where the current camera stood is not known: each from where it stood.
            p->clock.predict(*p->standingAt - static_cast<double>(start) + leadOf(c),
                             start + kStartSettleMs, PlayerClock::kStrongHold,
                             PlayerClock::kStrongWeight);
        } else {
            // Too far off to line up by its start (or not known): it starts with the current
            // camera, and the controller brings it over once it plays.
            p->clock.reset(start + kStartSettleMs);
        }
        p->standingAt.reset();
        p->standingKnown = false;
        p->busyUntil = start + kStartSettleMs;
        schedule({SyncCommand::Kind::Relay, c, kPlayCode, 0, start});
    }
    playing_ = true;
    return playing_;
}

bool FineSync::timedSeek(int channel, double pictureTarget, int64_t now) {
    Player* p = player(channel);
    const auto landingDelay = landingOf(channel);
    if (!p || !landingDelay)
        return false;
    // Landed, its answers stand at the target picture plus its own lead.
    const double target = pictureTarget + leadOf(channel);
    const double lead = *landingDelay + target;
    int64_t n =
        static_cast<int64_t>(std::ceil((static_cast<double>(now + kSeekLeadMs) + lead) / 1000.0));
    n = std::max<int64_t>(n, 0);
    if (length_ > 0 && n > length_ - 1)
        return false;
    const int64_t sendAt = std::max(now, static_cast<int64_t>(std::llround(n * 1000.0 - lead)));
    cancelPlanned(channel, now);
    schedule({SyncCommand::Kind::Relay, channel, kSeekCode, static_cast<int32_t>(n), sendAt});
    p->clock.predict(target, sendAt + kSeekSettleMs);
    p->busyUntil = sendAt + kSeekSettleMs;
    p->calibrating.reset();
    p->seekTarget = n * 1000.0;
    p->seekSent = sendAt;
    p->movedSinceSeek = 0;
    return true;
}

void FineSync::trim(int channel, double by, int64_t now) {
    Player* p = player(channel);
    if (!p || rateHold_)
        return;
    // A rate that takes about kTrimAimMs, as the relay can write it.
    const int percent = static_cast<int>(std::lround(std::fabs(by) * 100.0 / kTrimAimMs));
    const int code =
        by > 0 ? rateCode(std::clamp(percent, 10, 40)) : rateCode(-std::clamp(percent, 5, 40));
    const double rate = code / 100.0;
    const auto duration = static_cast<int64_t>(std::llround(std::fabs(by / (rate - 1.0))));
    cancelPlanned(channel, now);
    schedule({SyncCommand::Kind::Relay, channel, kRateCode, code, now});
    schedule({SyncCommand::Kind::Relay, channel, kRateCode, 100, now + duration});
    p->trimStart = now;
    p->trimRate = rate;
    p->trimEnd = now + duration;
    p->busyUntil = now + duration + kTrimSettleMs;
    const double gain = (rate - 1.0) * static_cast<double>(duration);
    p->clock.shift(gain, now + duration + kTrimSettleMs);
    p->movedSinceSeek += gain;
}

void FineSync::learnLanding(Player& p, bool interrupted) {
    const int changes = p.clock.changes();
    if (!p.seekTarget || !p.clock.measured() ||
        changes < (interrupted ? kLandingChangesAtLeast : kLandingChanges)) {
        if (interrupted)
            p.seekTarget.reset();
        return;
    }
    const double sample =
        *p.seekTarget - static_cast<double>(p.seekSent) - (*p.clock.measured() - p.movedSinceSeek);
    // A sample on few changes counts less: the bound it rests on may still rise.
    const double weight = std::min(0.5, changes / 16.0);
    p.landing = p.landings == 0 ? sample : (1 - weight) * p.landing + weight * sample;
    ++p.landings;
    p.seekTarget.reset();
}

std::vector<int> FineSync::presentChannels() const {
    std::vector<int> all;
    for (int c = 0; c < static_cast<int>(players_.size()); ++c)
        if (player(c))
            all.push_back(c);
    return all;
}

std::vector<int> FineSync::jump(int64_t now, int seconds) {
    if (!enabled_)
        return presentChannels();
    // The current camera's second, as near as it is known, one on or back: every camera goes
    // there with a whole-second seek (players land a seek on a picture that starts a group of
    // pictures; sought to the same second, the files of one recording land alike).
    const Player* ref = player(current_);
    if (!ref || ref->clock.lastSeconds() < 0)
        return presentChannels();
    const auto o = pictureOffset(current_);
    const double at = o ? *o + static_cast<double>(now) : ref->clock.lastSeconds() * 1000.0;
    moveAll(now, static_cast<int32_t>(std::max<int64_t>(std::llround(at / 1000.0) + seconds, 0)));
    return {};
}

std::vector<int> FineSync::seekAll(int64_t now, int32_t toSecond) {
    if (!enabled_)
        return presentChannels();
    moveAll(now, toSecond);
    return {};
}

void FineSync::moveAll(int64_t now, int32_t second) {
    // What the last seeks showed so far is learned before the players move again.
    for (Player& p : players_)
        if (p.present)
            learnLanding(p, true);
    if (length_ > 0)
        second = std::min(second, length_ - 1);
    second = std::max(second, 0);
    if (!playing_) {
        // Standing players show a seek at once, each at the same place of its own pictures.
        for (int c = 0; c < static_cast<int>(players_.size()); ++c)
            if (Player* p = player(c)) {
                cancelPlanned(c, now);
                schedule({SyncCommand::Kind::Relay, c, kSeekCode, second, now});
                p->clock.reset(now + kStartSettleMs);
                p->standingAt = second * 1000.0;
            }
        return;
    }
    // Playing: each is sent its seek so that, by how late each has landed its seeks before, all
    // pictures land together; the current camera at once unless a follower must be sent
    // earlier. (A landing is learned from the answers: the picture lands later by the lead.)
    const auto refLanding = landingOf(current_);
    auto pictureLanding = [&](int c) { return *landingOf(c) + leadOf(c); };
    int64_t refSend = now;
    for (int c = 0; c < static_cast<int>(players_.size()); ++c)
        if (player(c) && refLanding && landing(c))
            refSend = std::max(refSend, now + static_cast<int64_t>(std::llround(
                                                  pictureLanding(c) - pictureLanding(current_))));
    for (int c = 0; c < static_cast<int>(players_.size()); ++c) {
        Player* p = player(c);
        if (!p)
            continue;
        cancelPlanned(c, now);
        const int64_t sendAt = refLanding && landing(c)
                                   ? refSend + static_cast<int64_t>(std::llround(
                                                   pictureLanding(current_) - pictureLanding(c)))
                                   : refSend;
        schedule({SyncCommand::Kind::Relay, c, kSeekCode, second, sendAt});
        p->calibrating.reset();
        if (const auto l = landingOf(c))
            p->clock.predict(second * 1000.0 - static_cast<double>(sendAt) - *l,
                             sendAt + kSeekSettleMs);
        else
            p->clock.reset(sendAt + kSeekSettleMs);
        p->seekTarget = second * 1000.0;
        p->seekSent = sendAt;
        p->movedSinceSeek = 0;
        p->busyUntil = sendAt + kSeekSettleMs;
    }
}

void FineSync::stepped(int64_t now) {
    if (!enabled_)
        return;
    for (int c = 0; c < static_cast<int>(players_.size()); ++c) {
        Player* p = player(c);
        if (!p)
            continue;
        cancelPlanned(c, now);
        // A step from a playing player stops it on the next frame; a standing one steps a frame.
        if (playing_) {
            stopsHere(*p, c, now);
        } else {
            p->standingKnown = false;
            p->calibrating.reset();
        }
        p->clock.reset(now + kStartSettleMs);
    }
    playing_ = false;
    inferPlaying_ = false;
}

void FineSync::operatorRate(int64_t now, bool normal) {
    if (!enabled_)
        return;
    // The players' speed is the operator's now: no trim may undo it, and no offset holds.
    for (int c = 0; c < static_cast<int>(players_.size()); ++c) {
        cancelPlanned(c, now);
        if (Player* p = player(c)) {
            p->clock.reset(now + kTrimSettleMs);
            p->busyUntil = now + kTrimSettleMs;
            p->calibrating.reset();
        }
    }
    rateHold_ = !normal;
}

std::vector<SyncCommand> FineSync::due(int64_t now) {
    if (enabled_)
        plan(now);
    std::vector<SyncCommand> out;
    auto it = planned_.begin();
    while (it != planned_.end() && it->atMs <= now)
        ++it;
    out.assign(planned_.begin(), it);
    planned_.erase(planned_.begin(), it);
    for (Player& p : players_)
        if (p.trimEnd != 0 && p.trimEnd <= now)
            p.trimEnd = 0;
    return out;
}

int64_t FineSync::nextDue() const {
    return planned_.empty() ? INT64_MAX : planned_.front().atMs;
}

void FineSync::planPaused(int64_t now) {
    // The players stand: the followers are brought to the current camera's second, as when
    // the station keeps them without Fine Sync, unless where each stands is known and within
    // a second of the current camera (then they only straddle a change of the second).
    const Player* ref = player(current_);
    if (!ref || ref->clock.lastSeconds() < 0 || now - ref->clock.lastAnswerAt() > 2500)
        return;
    for (int c = 0; c < static_cast<int>(players_.size()); ++c) {
        Player* p = player(c);
        if (!p || c == current_ || p->clock.lastSeconds() < 0 ||
            now - p->clock.lastAnswerAt() > 2500 ||
            p->clock.lastSeconds() == ref->clock.lastSeconds() || now - p->lastPull < kPullEveryMs)
            continue;
        // Known to stand within a second of it, and answering a neighbouring second: it only
        // straddles a change of the second.
        if (p->standingAt && ref->standingAt &&
            std::fabs(*p->standingAt - *ref->standingAt) < kSeekBeyondMs &&
            std::abs(p->clock.lastSeconds() - ref->clock.lastSeconds()) <= 1)
            continue;
        schedule({SyncCommand::Kind::Relay, c, kSeekCode, ref->clock.lastSeconds(), now});
        p->lastPull = now;
        p->standingAt.reset();
        p->clock.reset(now + kStartSettleMs);
    }
}

void FineSync::plan(int64_t now) {
    if (inferPlaying_) {
        const Player* ref = player(current_);
        if (ref && ref->clock.lastChangeAt() > enabledAt_ && ref->clock.lastSeconds() >= 0) {
            // The current camera plays: every camera plays from here on, from wherever it is.
            inferPlaying_ = false;
            playing_ = true;
            for (int c = 0; c < static_cast<int>(players_.size()); ++c)
                if (Player* p = player(c)) {
                    p->standingAt.reset();
                    p->standingKnown = false;
                    if (c == current_)
                        continue;
                    schedule({SyncCommand::Kind::Relay, c, kPlayCode, 0, now});
                    p->clock.reset(now + kStartSettleMs);
                }
        } else if (now - enabledAt_ > kInferMs) {
            inferPlaying_ = false;
            playing_ = false;
        }
        return;
    }
    bool calibrating = false;
    for (Player& p : players_) {
        if (!p.present)
            continue;
        learnLanding(p, false);
        if (p.calibrating && p.clock.changes() >= kCalibrationChanges && p.clock.measured()) {
            p.lead = *p.clock.measured() - *p.calibrating;
            p.calibrating.reset();
        }
        calibrating = calibrating || p.calibrating.has_value();
    }
    // While the leads are learned, the players run as they were started, all from one picture.
    if (rateHold_ || (playing_ && calibrating))
        return;
    if (!playing_) {
        planPaused(now);
        return;
    }
    Player* ref = player(current_);
    if (!ref)
        return;
    const auto refOffset = pictureOffset(current_);
    if (!refOffset)
        return;
    for (int c = 0; c < static_cast<int>(players_.size()); ++c) {
        Player* p = player(c);
        if (!p || c == current_ || p->busyUntil > now)
            continue;
        const auto o = pictureOffset(c);
        if (!o)
            continue;
        const int weight = std::min(p->clock.weight(), ref->clock.weight());
        const double off = *o - *refOffset;
        if (std::fabs(off) > kSeekBeyondMs) {
            if (weight >= 2 && !timedSeek(c, *refOffset, now) && landingOf(c) == std::nullopt) {
                // No landing known anywhere yet: a plain seek to where the current camera will
                // be a second from now teaches one.
                const int64_t n = static_cast<int64_t>(std::ceil(
                    (*refOffset + leadOf(c) + static_cast<double>(now) + 1000.0) / 1000.0));
                if (length_ <= 0 || n <= length_ - 1) {
                    cancelPlanned(c, now);
                    schedule(
                        {SyncCommand::Kind::Relay, c, kSeekCode, static_cast<int32_t>(n), now});
                    p->seekTarget = n * 1000.0;
                    p->seekSent = now;
                    p->movedSinceSeek = 0;
                    p->clock.reset(now + kSeekSettleMs);
                    p->busyUntil = now + kSeekSettleMs;
                }
            }
            continue;
        }
        if (std::fabs(off) > trimTolerance(weight))
            trim(c, -off, now);
    }
}

} // namespace vorbelt
