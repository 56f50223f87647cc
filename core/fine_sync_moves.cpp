// Fine Sync's moves: what the operator's actions (F1, F2/F3, the seek bar, the players' speed)
// make of the players: all stand, land on pictures the recordings name, and start together.
#include "core/fine_sync.h"
#include "core/fine_sync_rules.h"

#include <algorithm>
#include <cmath>

namespace vorbelt {

using namespace fine_sync; // the rules the controller's parts share

namespace {

// How much later than its pause a player's play may take effect, or the other way round, on a
// busy machine (each can come a tenth of a second late, by its own amount).
constexpr double kKeysApartMs = 100;
// A press of F2/F3 this soon after the one before is a quick press: its seeks wait this long
// for a further one (quick presses become one seek).
constexpr int64_t kGatherPressesMs = 200;
// From the players' speed set back to normal until a seek may follow.
constexpr int64_t kRateSettleMs = 300;
// A move's cameras wait for one another's landings this much at most, to start together.
constexpr double kTogetherAtMostMs = 1000;
// Landings tried one after another for the first a player can run on from in time (a recording
// with a key picture in every frame needs a second's worth and more).
constexpr int kLandingsTriedAtMost = 64;

} // namespace

void FineSync::standAll(int64_t now) {
    standing_ = timeline(now);
    cancelAll();
    for (int c = 0; c < static_cast<int>(players_.size()); ++c) {
        Player* p = player(c);
        if (!p)
            continue;
        schedule({SyncCommand::Kind::Key, c, kPauseKey, 0, now});
        p->ranFromLanding = false;
        // A player that runs stands where its offset puts it (one whose pictures stopped is not
        // known there); one whose "play" has not gone out shows its landing.
        const bool showing = now - p->lastFrame < roundMs(3 * periodOf(*p));
        const bool running =
            p->state == State::Running || (p->state == State::Starting && now >= p->startAt);
        if (p->state == State::Starting && p->afterLanding &&
            now < roundMs(p->startAt - p->landing.startMs - p->constant)) {
            p->state = State::Landed;
        } else if (running && showing) {
            p->state = State::Standing;
            p->standingAt = static_cast<double>(now) + p->offset;
            p->pauseDue = now;
            followCount(*p, 0);
        } else if (running || p->state == State::Starting) {
            p->state = State::Unknown;
        }
    }
    running_ = false;
}

void FineSync::seekStanding(int c, const Landing& l, int64_t now) {
    // It stands first: a seek lands as planned only on a standing player.
    const bool pausing = std::any_of(planned_.begin(), planned_.end(), [&](const SyncCommand& p) {
        return p.channel == c && p.kind == SyncCommand::Kind::Key && p.code == kPauseKey &&
               p.atMs == now;
    });
    if (!pausing)
        schedule({SyncCommand::Kind::Key, c, kPauseKey, 0, now});
    Player* p = player(c);
    const int64_t at = p ? seekTime(*p, now) : now + kSeekAfterPauseMs;
    schedule({SyncCommand::Kind::Relay, c, l.code, l.argument, at});
    schedule({SyncCommand::Kind::Relay, c, l.code, l.argument, at + kSettleMs, true});
    if (p) {
        p->soughtAt = at;
        p->countThrough = false;
        p->landFirst = false;
        p->ranFromLanding = false;
    }
}

void FineSync::followCount(Player& p, double shift) {
    p.countThrough = p.counted && p.contentTold;
    p.countSlack = shift + kKeysApartMs;
    p.pauseSeen = false;
    p.locksSincePause = 0;
}

std::optional<Landing> FineSync::landStanding(int c, Player& p, double target, int64_t now) {
    auto l = p.landings->atOrBefore(target);
    if (!l)
        l = p.landings->atOrAfter(target);
    if (!l)
        return std::nullopt;
    seekStanding(c, *l, now);
    p.state = State::Landed;
    p.landing = *l;
    return l;
}

int64_t FineSync::seekTime(const Player& p, int64_t now) const {
    // Quick presses are gathered into one seek; one on the heels of the last seek sent waits for
    // that one to settle: sent while the player still takes in the last, a seek may leave it
    // standing on its old picture, deaf to the "play" after it.
    return std::max({now + kSeekAfterPauseMs, seeksFrom_, p.seekSentAt + kSettleMs});
}

void FineSync::startLanded(int c, Player& p, double play, double startAt) {
    schedule({SyncCommand::Kind::Key, c, kPlayKey, 0, roundMs(play)});
    p.playDue = roundMs(play);
    p.state = State::Starting;
    p.startAt = roundMs(startAt);
    p.offset = origin_;
    p.predicted = origin_;
    p.afterLanding = true;
    p.startUnseen = true;
    p.samples = 0;
    p.holdUntil = roundMs(startAt) + kHoldSettleMs;
}

int64_t FineSync::settledAt(const Player& p) const {
    return std::max(p.soughtAt + kSettleMs,
                    p.seekSentAt + (p.soughtAgain ? kSeekAgainSettleMs : kSettleMs));
}

int64_t FineSync::earliestLandedPlay(const Player& p, int64_t now) const {
    return seekTime(p, now) + kSettleMs;
}

std::optional<std::pair<Landing, double>> FineSync::timelineLanding(int c, int64_t now,
                                                                    double notBefore) const {
    const Player* p = player(c);
    if (!p || !p->landings)
        return std::nullopt;
    // The first landing whose "play" comes late enough for its seek to have settled. Each is
    // tried in turn: how long before its picture a landing's "play" goes differs from one key
    // picture to the next (by a tenth of a second and more in a program stream), so the next
    // may do where this one came too soon by that much.
    const int64_t earliestPlay = earliestLandedPlay(*p, now);
    double from = std::max(timeline(earliestPlay) + p->constant, notBefore);
    for (int attempt = 0; attempt < kLandingsTriedAtMost; ++attempt) {
        const auto l = p->landings->atOrAfter(from);
        if (!l)
            return std::nullopt;
        const double play = l->mediaMs - origin_ - l->startMs - p->constant;
        if (play >= static_cast<double>(earliestPlay))
            return std::make_pair(*l, play);
        from = l->mediaMs + 1;
    }
    return std::nullopt;
}

bool FineSync::landOnTimeline(int c, int64_t now, double notBefore) {
    const auto found = timelineLanding(c, now, notBefore);
    if (!found)
        return false;
    landAt(c, now, *found);
    return true;
}

void FineSync::landAt(int c, int64_t now, const std::pair<Landing, double>& landing) {
    Player& p = *player(c);
    seekStanding(c, landing.first, now);
    p.landing = landing.first;
    startLanded(c, p, landing.second, landing.first.mediaMs - origin_);
}

double FineSync::togetherLanding(const std::vector<int>& cs, int64_t now,
                                 std::optional<int> lead) const {
    std::vector<double> firsts;
    std::optional<double> anchor;
    if (lead) {
        const auto l = timelineLanding(*lead, now, 0);
        if (!l)
            return 0;
        anchor = l->first.mediaMs;
    }
    for (int c : cs)
        if (const auto l = timelineLanding(c, now, 0)) {
            firsts.push_back(l->first.mediaMs);
            if (!lead)
                anchor = std::min(anchor.value_or(l->first.mediaMs), l->first.mediaMs);
        }
    double together = 0;
    for (double first : firsts)
        if (first <= *anchor + kTogetherAtMostMs)
            together = std::max(together, first);
    return together;
}

bool FineSync::landTogether(int c, int64_t now, double together) {
    const auto there = timelineLanding(c, now, together);
    const Player* p = player(c);
    if (there && p && there->first.mediaMs > together + periodOf(*p) / 2) {
        // Its recording has no picture there it can land on (a key picture elsewhere, or one
        // its player cannot time): rather than stand on a later one, showing it, until the
        // timeline reaches it, it runs on from the last one before that it can reach in time,
        // and is in step when the others start.
        const auto first = timelineLanding(c, now, 0);
        std::optional<std::pair<Landing, double>> before;
        for (auto l = first; l && l->first.mediaMs <= together;
             l = timelineLanding(c, now, l->first.mediaMs + 1))
            before = l;
        if (before) {
            landAt(c, now, *before);
            return true;
        }
    }
    if (there) {
        landAt(c, now, *there);
        return true;
    }
    return landOnTimeline(c, now);
}

void FineSync::landAnew(const std::vector<int>& cs, int64_t now) {
    // Found lost at once (a move whose seeks or plays several players missed), they land
    // together, as a move does, rather than each on its own first picture.
    for (int c : cs)
        cancelPlanned(c);
    const double together = togetherLanding(cs, now, std::nullopt);
    for (int c : cs)
        if (!landTogether(c, now, together))
            player(c)->state = State::Unknown;
}

void FineSync::moveAll(int64_t now, double target, bool play) {
    rateHold_ = false;
    if (running_)
        standAll(now);
    else
        cancelAll();
    const Player* ref = player(current_);
    target = std::max(0.0, target);
    // Beyond the current camera's last key picture nothing can run on: all stand at their ends.
    std::optional<Landing> refLast;
    if (ref && ref->landings)
        refLast = ref->landings->atOrBefore(lengthOf(*ref) > 0 ? lengthOf(*ref) : target);
    atEnd_ = refLast && target > refLast->mediaMs;
    if (play && !atEnd_) {
        origin_ = target - static_cast<double>(now);
        running_ = true;
        // Every camera lands on the latest of the pictures each can first run on from (those
        // within a second of the current camera's), so that all start together: rather than
        // one standing on a later key picture while the others run up to it.
        std::vector<int> all;
        for (int c = 0; c < static_cast<int>(players_.size()); ++c)
            all.push_back(c);
        const double together = ref ? togetherLanding(all, now, current_) : 0;
        if (!ref || landTogether(current_, now, together)) {
            for (int c = 0; c < static_cast<int>(players_.size()); ++c)
                if (c != current_ && player(c) && !landTogether(c, now, together)) {
                    // Its recording ends before the timeline can reach it there: it stands
                    // at its end.
                    if (const auto l = player(c)->landings->atOrBefore(lengthOf(*player(c)))) {
                        seekStanding(c, *l, now);
                        player(c)->state = State::Ended;
                        player(c)->landing = *l;
                    }
                }
            return;
        }
        // Too near the end for the current camera to run on there.
        running_ = false;
        atEnd_ = true;
    }
    if (atEnd_)
        target = lengthOf(*ref);
    standing_ = target;
    for (int c = 0; c < static_cast<int>(players_.size()); ++c) {
        Player* p = player(c);
        if (!p || !p->landings)
            continue;
        const auto l = landStanding(c, *p, target, now);
        if (l && c == current_ && atEnd_)
            standing_ = l->mediaMs;
    }
}

void FineSync::startAll(int64_t now) {
    // (A player stepped by F9, even one still on its way, lands first: its seek stands it.)
    cancelAll();
    startStanding(now);
}

void FineSync::startStanding(int64_t now) {
    const Player* ref = player(current_);
    if (!ref)
        return;
    if (atEnd_) {
        // At the end: all play from the start.
        standing_ = 0;
        for (Player& p : players_)
            if (p.present)
                p.state = State::Unknown;
        atEnd_ = false;
    }
    const auto near = [&](const Player& p) {
        return p.state == State::Standing && !p.landFirst &&
               std::fabs(p.standingAt - standing_) <= kHoldAtMostMs;
    };
    // When the timeline starts: at once when the current camera only resumes (so that those
    // that stood behind it resume before it); when it must land, once it can run on.
    int64_t t0 = now + kResumeLeadMs;
    if (near(*ref)) {
        for (const Player& p : players_)
            if (p.present && near(p))
                t0 = std::max(t0, now + kResumeLeadMs + roundMs(standing_ - p.standingAt));
    } else {
        // The current camera lands: the timeline starts once every camera that lands can run on
        // from its picture, so that none stands on a later key picture while the others run up
        // to it (all play from the same picture where their recordings allow).
        for (const Player& p : players_) {
            if (!p.present || !p.landings || near(p))
                continue;
            std::optional<Landing> l;
            int64_t earliest = 0;
            if (p.state == State::Landed) {
                l = p.landing;
                earliest = std::max(now + kResumeLeadMs, settledAt(p));
            } else if (p.state == State::Standing && p.ranFromLanding) {
                l = p.landing;
                earliest = earliestLandedPlay(p, now);
            } else {
                l = p.landings->atOrAfter(standing_);
                earliest = earliestLandedPlay(p, now);
            }
            // (Rounded up: a "play" due a fraction of a millisecond before the earliest moment
            // would put the player on its next key picture.)
            if (l)
                t0 =
                    std::max(t0, earliest + static_cast<int64_t>(std::ceil(
                                                l->startMs + p.constant + standing_ - l->mediaMs)));
        }
    }
    origin_ = standing_ - static_cast<double>(t0);
    running_ = true;
    for (int c = 0; c < static_cast<int>(players_.size()); ++c) {
        Player* p = player(c);
        if (!p)
            continue;
        if (near(*p)) {
            const int64_t resume = t0 + roundMs(p->standingAt - standing_);
            schedule({SyncCommand::Kind::Key, c, kPlayKey, 0, resume});
            p->playDue = resume;
            p->state = State::Starting;
            p->startAt = resume;
            p->offset = p->standingAt - static_cast<double>(resume);
            p->predicted = p->offset;
            p->afterLanding = false;
            p->samples = 0;
            p->holdUntil = resume + kHoldSettleMs;
            continue;
        }
        if (p->state == State::Landed) {
            const double startAt = p->landing.mediaMs - origin_;
            const double play = startAt - p->landing.startMs - p->constant;
            if (play >= static_cast<double>(std::max(now, settledAt(*p)))) {
                startLanded(c, *p, play, startAt);
                continue;
            }
        }
        // Run on from its landing while all stood: it lands there once more and runs on to
        // where it stood by the time the timeline starts (its picture goes back that far for a
        // moment, where a later landing would have it stand ahead until the timeline came).
        if (p->state == State::Standing && p->ranFromLanding) {
            const double play = p->landing.mediaMs - origin_ - p->landing.startMs - p->constant;
            if (play >= static_cast<double>(earliestLandedPlay(*p, now))) {
                landAt(c, now, {p->landing, play});
                continue;
            }
        }
        // (Not before where the timeline stands: the picture would go back.)
        landOnTimeline(c, now, standing_);
    }
}

bool FineSync::playPause(int64_t now) {
    if (!enabled_)
        return running_;
    inferring_ = false;
    rateHold_ = false;
    if (running_)
        standAll(now);
    else
        startAll(now);
    return running_;
}

void FineSync::jump(int64_t now, int seconds) {
    if (!enabled_)
        return;
    inferring_ = false;
    double target = timeline(now) + seconds * 1000.0;
    // A jump ahead never goes back, however near the end.
    if (seconds > 0)
        target = std::max(target, timeline(now));
    // All stand at once. The first press's seeks go out at once; those of a press on the heels
    // of another wait a moment for a further one (quick presses become one seek).
    if (now - lastJumpAt_ < kGatherPressesMs)
        seeksFrom_ = now + kGatherPressesMs;
    lastJumpAt_ = now;
    moveAll(now, target, running_);
    runToStanding(now);
}

void FineSync::seekAll(int64_t now, int32_t toSecond) {
    if (!enabled_)
        return;
    inferring_ = false;
    // The timeline stands at the second asked and plays on from it once every camera can run
    // on from there (its key picture before, run up to it), rather than run on from it at once:
    // then the cameras could only join it a key picture or two later, standing meanwhile on that
    // later picture or their old one (with eight cameras, two seconds after the click).
    const bool play = running_;
    moveAll(now, toSecond * 1000.0, false);
    if (play && !atEnd_)
        startStanding(now);
    else
        runToStanding(now);
}

void FineSync::operatorRate(int64_t now, bool normal) {
    if (!enabled_)
        return;
    if (!normal) {
        if (rateHold_)
            return;
        // The current camera's pictures count where the timeline goes meanwhile.
        rateFrom_ = timeline(now);
        ratePictures_ = 0;
        rateHold_ = true;
        // Whatever was planned would run at the operator's speed: it goes.
        cancelAll();
        for (Player& p : players_)
            if (p.present && p.state != State::Ended)
                p.state = State::Unknown;
        return;
    }
    if (!rateHold_)
        return;
    // Where the counted frames put the current camera, unless its answers say otherwise (it
    // went slower than the count can follow).
    double where = timeline(now);
    const double answered = estimateFromAnswers(now);
    if (running_ && std::fabs(where - answered) > 1500)
        where = answered;
    rateHold_ = false;
    // Back at normal speed: every camera lands on the current camera's picture, its seek a
    // moment after the players took the speed back (seeks on its heels were seen lost by every
    // player at once).
    seeksFrom_ = now + kRateSettleMs;
    moveAll(now, where, running_);
    runToStanding(now);
    // The speed itself is set by each player's relay, not only by the key posted to its window.
    for (int c = 0; c < static_cast<int>(players_.size()); ++c)
        if (const Player* p = player(c); p && p->state != State::Ended)
            schedule({SyncCommand::Kind::Relay, c, kRateCode, kNormalRate, now});
}

} // namespace vorbelt
