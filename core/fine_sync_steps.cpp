// Fine Sync's frame steps (F9): the controller stands the players and runs each on to the
// picture asked by a play and a pause, then compares the pictures they show and runs those
// behind on to it. A move while all stand runs them on alike from their landings.
#include "core/fine_sync.h"
#include "core/fine_sync_rules.h"

#include <algorithm>
#include <cmath>

namespace vorbelt {

using namespace fine_sync; // the rules the controller's parts share

namespace {

// After frame steps, how long after the last pause went out the standing pictures are compared
// (a pause can take effect a few frames late), and how many times at most; how long a pause is
// awaited to be seen taking effect before they are compared anyway.
constexpr int64_t kStepCheckMs = 250;
constexpr int kStepChecks = 5;
constexpr int64_t kStepPauseSeenMs = 1500;
// A press this soon after a player's step's pause went out leaves that player to the check
// after it.
constexpr int64_t kStepPauseSettleMs = 250;
// A run between a play and a pause ends where the two keys took effect, each some tens of
// milliseconds late by its own amount: to within about this much either way, however many
// frames that is. A check runs a camera on only when it stands further behind than that, and
// has the others follow one ahead only when it stands twice as far ahead (their runs to it end
// as far off in turn). At 50 pictures a second a camera a frame off was otherwise chased by
// runs that ended frames off in turn.
constexpr double kRunEndsWithinMs = 30;
// How far apart the standing cameras may show their pictures: 40 ms (a frame at 25 pictures a
// second, two at 50), and a frame at fewer pictures a second. One standing further behind the
// furthest than that runs on to the frame before the furthest, whatever was asked: at 50
// pictures a second a camera a frame short of the picture asked and one two past it otherwise
// stood three frames apart for good.
constexpr double kStandingApartMs = 40;
// The most frames a run's pause is taken to let through after it went out.
constexpr double kPauseLeaksAtMost = 4;

} // namespace

void FineSync::stepped(int64_t now) {
    if (!enabled_) {
        // The players stepped by their own key.
        for (Player& p : players_)
            if (p.present)
                p.stepped = true;
        return;
    }
    if (inferring_)
        return; // where the players stand is not known yet
    if (rateHold_) {
        // At the operator's speed where each player stands is not known: all stand, at the
        // normal speed, and land before they play or step.
        standAll(now);
        rateHold_ = false;
        for (int c = 0; c < static_cast<int>(players_.size()); ++c)
            if (Player* p = player(c); p && p->state != State::Ended) {
                p->state = State::Unknown;
                schedule({SyncCommand::Kind::Relay, c, kRateCode, kNormalRate, now});
            }
        return;
    }
    if (running_) {
        // All stand; their pauses take effect late by their own amounts, so the pictures each
        // then shows are compared, and those behind step on to the furthest.
        standAll(now);
        for (Player& p : players_)
            if (p.present && p.state == State::Standing)
                p.landFirst = true;
        stepCheckAt_ = now + kStepCheckMs;
        stepsPausedAt_ = now;
        stepChecks_ = 0;
        return;
    }
    const Player* ref = player(current_);
    if (!ref || atEnd_)
        return;
    // The picture asked: the one after the last one asked, else after the current camera's;
    // every camera is to stand within its frame (half a frame either way for a pause or a play
    // taking effect late). Not in the recording's last second: a "play" reaching a player at
    // its end would end it.
    const double period = periodOf(*ref);
    double asked = std::floor(standing_ / period + 1e-6) * period + period;
    if (stepAsked_ >= 0)
        asked = stepAsked_ + period;
    else if (ref->state == State::Standing)
        asked = shownAt(*ref) + period;
    else if (ref->state == State::Landed)
        asked = ref->landing.mediaMs + period;
    const double target = asked + period / 2;
    if (lengthOf(*ref) > 0 && target > lengthOf(*ref) - 1000)
        return;
    const int64_t t0 = now + kResumeLeadMs;
    for (int c = 0; c < static_cast<int>(players_.size()); ++c) {
        Player* p = player(c);
        if (!p || p->state == State::Ended || !p->landings)
            continue;
        // Still on its way to the last press's picture: one frame further (or, its pause on
        // its way out, a step of its own after that).
        if (p->stepping && delayPause(c, roundMs(target - p->standingAt))) {
            p->standingAt = target;
            stepCheckAt_ = std::max(stepCheckAt_, p->pauseDue + kStepCheckMs);
            stepsPausedAt_ = std::max(stepsPausedAt_, p->pauseDue);
            continue;
        }
        // Its pause of the press before went out a moment ago: a play on its heels was seen to
        // run it on five frames and more. (Its pictures cannot tell yet: the first of its run
        // came after a gap, as after a pause.) The check after this press runs it on to the
        // picture asked once it stands.
        if (p->state == State::Standing && p->countThrough &&
            now - p->pauseSentAt < kStepPauseSettleMs) {
            p->landFirst = true;
            stepCheckAt_ = std::max(stepCheckAt_, now + kStepCheckMs);
            continue;
        }
        // It runs from where it stands, or from its landing once that runs on, to the middle of
        // the frame asked.
        if (p->state == State::Landed) {
            runFromLanding(c, *p, target, t0);
            continue;
        }
        if (p->state != State::Standing) {
            landStanding(c, *p, target, now);
            continue;
        }
        p->landFirst = true;
        const double run = target - standsAt(*p);
        if (run < period / 2)
            continue; // it shows that picture already, or a later one
        const int64_t play = p->stepping ? std::max(t0, p->pauseDue + 1) : t0;
        const int64_t pause = play + roundMs(run);
        runOn(c, *p, play, pause);
        p->state = State::Standing;
        p->standingAt = target;
        stepCheckAt_ = std::max(stepCheckAt_, pause + kStepCheckMs);
    }
    stepChecks_ = 0;
    stepAsked_ = asked;
    standing_ = target;
}

void FineSync::runFromLanding(int c, Player& p, double target, int64_t t0) {
    p.landFirst = true;
    // (Landings lie on the frames: one in the frame asked stands half a frame before `target`.)
    const double run = target - p.landing.mediaMs;
    const double period = periodOf(p);
    if (run < 0.75 * period)
        return; // its landing is that picture, or a later one: it stays on it
    // Its landing's picture runs on its constant and the landing's own lead after its play
    // (which waits for its seek to settle); its pause, by the same way in, takes effect as late
    // as its play, and the frames it lets through after that: sent `run` after the lead, less
    // those frames, it stops the pictures `run` after they ran on.
    // (Never within a frame and a half of its pictures running on: a pause that reached players
    // about when their landings' pictures began to run, or before, was seen to leave cameras
    // seconds off for good, the pictures' times none the wiser: 3 rounds in 12.)
    learnPauseLeaks(p);
    const int64_t play = std::max(t0, settledAt(p));
    const double runsAfter = p.landing.startMs + p.constant;
    const int64_t pause =
        play + roundMs(std::max(runsAfter + 1.5 * period,
                                runsAfter - p.constant + run - p.landedPauseLate * period));
    runOn(c, p, play, pause);
    p.fromLanding = true;
    p.ranFromLanding = true;
    p.state = State::Standing;
    p.standingAt = target;
    stepCheckAt_ = std::max(stepCheckAt_, pause + kStepCheckMs);
}

void FineSync::learnPauseLeaks(Player& p) {
    if (p.pauseLeaks < 0)
        return;
    p.landedPauseLate =
        std::clamp(0.5 * (p.landedPauseLate + p.pauseLeaks), 0.0, kPauseLeaksAtMost);
    p.pauseLeaks = -1;
}

void FineSync::runToStanding(int64_t now) {
    const Player* ref = player(current_);
    if (running_ || atEnd_ || !ref)
        return;
    // The frame the timeline stands in, each camera to the middle of its own frame there; not
    // in the recording's last second (a "play" reaching a player at its end would end it).
    const double period = periodOf(*ref);
    const double asked = std::floor(standing_ / period + 1e-6) * period;
    if (lengthOf(*ref) > 0 && asked + period / 2 > lengthOf(*ref) - 1000)
        return;
    for (int c = 0; c < static_cast<int>(players_.size()); ++c)
        if (Player* p = player(c); p && p->state == State::Landed && p->landings)
            runFromLanding(c, *p, asked + periodOf(*p) / 2, now + kResumeLeadMs);
    stepChecks_ = 0;
    stepAsked_ = asked;
    standing_ = asked + period / 2;
}

void FineSync::runOn(int c, Player& p, int64_t play, int64_t pause) {
    schedule({SyncCommand::Kind::Key, c, kPlayKey, 0, play});
    schedule({SyncCommand::Kind::Key, c, kPauseKey, 0, pause});
    p.stepping = true;
    p.pauseSeen = false;
    p.playDue = play;
    p.pauseDue = pause;
    stepsPausedAt_ = std::max(stepsPausedAt_, pause);
}

double FineSync::shownAt(const Player& p) const {
    const double period = periodOf(p);
    return p.countThrough ? p.onGridFrame + p.picturesSince * period
                          : std::floor(p.standingAt / period + 1e-6) * period;
}

double FineSync::standsAt(const Player& p) const {
    // Where its pause was to stand it, when that lies within the frame it shows; else somewhere
    // within that frame, taken as its middle.
    const double period = periodOf(p);
    const double shown = shownAt(p);
    const double planned = std::floor(p.standingAt / period + 1e-6) * period;
    return std::fabs(planned - shown) < period / 2 ? p.standingAt : shown + period / 2;
}

void FineSync::alignSteps(int64_t now) {
    stepCheckAt_ = -1;
    const Player* ref = player(current_);
    if (!ref)
        return;
    // (Not while a pause is still to go out, or, for a while, to be seen taking effect.)
    if (std::any_of(players_.begin(), players_.end(), [&](const Player& p) {
            return p.present && (p.stepping || (p.landFirst && p.countThrough && !p.pauseSeen &&
                                                now < stepsPausedAt_ + kStepPauseSeenMs));
        })) {
        stepCheckAt_ = now + kStepCheckMs / 2;
        return;
    }
    const double period = periodOf(*ref);
    // The frame each shows, as its new pictures since it last ran counted it (one whose content
    // is not told is left where it is).
    const auto counted = [&](const Player& p) {
        return p.present && p.state == State::Standing && p.landFirst && !p.stepping &&
               p.countThrough && p.counted;
    };
    double goal = -1;
    for (const Player& p : players_)
        if (counted(p))
            goal = std::max(goal, shownAt(p));
    const double furthest = goal;
    const double apart = std::max(period, kStandingApartMs);
    // The picture asked, or the furthest any camera shows if one ran on two frames or more past
    // it after its pause (and further than the others' runs could end off): no player can step
    // back but by a seek, so the others step on to it. (One a frame past it stays there: following
    // it, the others' runs could end a frame further in turn, and the chase go on.)
    if (stepAsked_ >= 0 && goal < stepAsked_ + std::max(1.5 * period, 2 * kRunEndsWithinMs))
        goal = stepAsked_;
    if (goal < 0 || lengthOf(*ref) <= 0 || goal > lengthOf(*ref) - 1000)
        return;
    stepAsked_ = goal;
    // Those behind run on to the middle of the frame asked (or of the one before the furthest).
    const int64_t play = now + kResumeLeadMs;
    for (int c = 0; c < static_cast<int>(players_.size()); ++c) {
        Player* p = player(c);
        if (!p || !counted(*p))
            continue;
        const double shown = shownAt(*p);
        double aim = goal;
        if (furthest - shown > apart + period / 2)
            aim = std::max(goal, furthest - period);
        const double behind = aim - shown;
        const double run = aim + period / 2 - standsAt(*p);
        p->standingAt = std::max(aim, shown) + period / 2;
        if (behind < std::max(period / 2, kRunEndsWithinMs))
            continue;
        runOn(c, *p, play, play + roundMs(run));
        if (stepChecks_ + 1 < kStepChecks)
            stepCheckAt_ = std::max(stepCheckAt_, p->pauseDue + kStepCheckMs);
    }
    ++stepChecks_;
    standing_ = goal + period / 2;
}

} // namespace vorbelt
