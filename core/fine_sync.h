// Fine Sync: every camera plays, and every picture is kept on one timeline, the current
// camera's, to within a few milliseconds. Plain rules fed with time-stamped events; what they
// decide comes back as commands with the moment each is due, for the station to post.
//
// What the controller knows of a player comes from two sources tied to its pictures:
// - Where it lands. A player seeks standing (paused): it then shows a picture that its
//   recording names in advance (a key picture of a program stream, reached by a seek to a
//   share of the file; an exact second in a container that seeks to the frame), and once told
//   to play it runs on from that picture a known time after "play" (the key picture's
//   presentation time minus its pack's clock reference, plus a small constant of the player's
//   that is learned).
// - When its pictures change. The station watches every video window and stamps each new
//   picture; a playing player's pictures follow a grid of its frame period, whose phase is
//   where the player stands to the millisecond, once its frame is known from the landing.
// A player's offset is its media time minus the station's clock (media = now + offset while it
// plays). The timeline is media = now + origin while the cameras play, a standing position
// while they stand.
//
// Every move (F2, F3, the seek bar, the first play after a Load, a player found lost) is made
// the same way: all stand, each lands on a picture at or after where the timeline will be by
// then (the latest of the pictures each can first run on from, so that all start together where
// their recordings allow), and each is started when the timeline reaches its picture. F1 pauses
// all and plays all again from where they stood (pause and play shift a player by exactly the
// pause). What differences remain, the picture times show, and a short pause of those ahead
// closes them.
// "play" never goes to a player that stands at its end without a seek first (it would end and
// lose its window).
#pragma once

#include "core/frame_period.h"
#include "core/picture_content.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace vorbelt {

// A place a player can land on: the picture it then shows, how long after "play" that picture
// runs on (before the player's own constant), and the relay command that takes it there.
struct Landing {
    double mediaMs = 0;
    double startMs = 0;
    uint32_t code = 0;
    int32_t argument = 0;
};

// Where the players of one recording file can land.
class Landings {
public:
    virtual ~Landings() = default;
    virtual std::optional<Landing> atOrAfter(double mediaMs) = 0;
    virtual std::optional<Landing> atOrBefore(double mediaMs) = 0;
    // The frame period (0: not known, then measured from the pictures) and the length (ms).
    virtual double framePeriodMs() const = 0;
    virtual double lengthMs() const = 0;
    // Whether a player sought to a landing may show the next one instead: it then runs on from
    // that picture when the timeline reaches it (a program stream's reader can miss the
    // landing's sequence header and wait for the next; its clock still starts at the pack it
    // was sent to).
    virtual bool mayShowNext() const { return false; }
};

// A recording that the players seek to the exact frame (an MP4 file, say): whole seconds with
// "seek N", shown from "play" on at once.
class WholeSeconds : public Landings {
public:
    explicit WholeSeconds(double lengthMs) : length_(lengthMs) {}
    std::optional<Landing> atOrAfter(double mediaMs) override;
    std::optional<Landing> atOrBefore(double mediaMs) override;
    double framePeriodMs() const override { return 0; }
    double lengthMs() const override { return length_; }
    void setLength(double ms) { length_ = ms; }

private:
    double length_;
};

// A command for the station to post at `atMs`: a relay command (17 play, a seek) to the relay
// of `channel`, or a key-down to its video window.
struct SyncCommand {
    enum class Kind { Relay, Key };
    Kind kind = Kind::Relay;
    int channel = 0;
    uint32_t code = 0;    // relay command code, or the virtual-key code of a key
    int32_t argument = 0; // the relay command's argument
    int64_t atMs = 0;
    bool again = false; // a seek once more to the landing a seek before it went to

    bool operator==(const SyncCommand& o) const {
        return kind == o.kind && channel == o.channel && code == o.code && argument == o.argument &&
               atMs == o.atMs;
    }
};

constexpr uint32_t kSeekCode = 20; // "seek N"
// "rate 1.0": the players' own key for the normal speed (BackSpace) is not taken in while they
// play faster or slower (it waits for the next play, and takes that play's place).
constexpr uint32_t kRateCode = 19;
constexpr int32_t kNormalRate = 100;
// The station's players pause on End and play on Page Down (never a toggle): both by the same
// path, so that a pause and the play after it take effect alike late, and a player held for a
// while stands that long.
constexpr uint32_t kPauseKey = 35; // VK_END
constexpr uint32_t kPlayKey = 34;  // VK_NEXT

class FineSync {
public:
    // Poll periods of the players' position answers (they serve the position display and the
    // estimate when the option is switched on mid-way; the pictures keep the time).
    static constexpr int kPlayingPollMs = 250;
    static constexpr int kPausedPollMs = 1000;
    // From a seek to a standing player until "play" may follow.
    static constexpr int kSettleMs = 300;
    // The player's own constant from "play" to its pictures running, as first assumed.
    static constexpr double kStartConstantMs = 15;
    // A player more than this off the timeline is held (ahead) or waited for (behind). (A
    // player's pause and play take effect a few milliseconds late, differently each time:
    // holds much shorter than this do not shift it reliably.)
    static constexpr double kToleranceMs = 20;
    // Further off than this, it lands anew rather than waiting or being waited for.
    static constexpr double kHoldAtMostMs = 300;
    // A playing player whose pictures stop this long has stopped (its end, a stall).
    static constexpr int kStoppedMs = 500;
    // A player whose starts were missed this many times in a row, over at least this long, is
    // frozen; fewer suffice for one stepped by frames since it last ran (what freezes players).
    static constexpr int kFrozenStarts = 3;
    static constexpr int kFrozenMs = 3000;
    static constexpr int kFrozenStartsAfterStep = 2;
    static constexpr int kFrozenMsAfterStep = 1500;

    // The option: off, the controller plans nothing and the station keeps its own ways.
    void setEnabled(bool on, int64_t now);
    bool enabled() const { return enabled_; }

    // A Load: one entry per channel, the landings of its file (null: no player), every player
    // standing at its start.
    void loaded(std::vector<std::shared_ptr<Landings>> players, int64_t now);
    bool present(int channel) const;
    // Player `channel` is gone (its window with it): it is left out from now on.
    void gone(int channel);
    // The players found frozen since the last call: told to play again and again, their pictures
    // never ran (a player of a program stream stepped by frames can stay so for good). They are
    // left out from now on. `restarted`: the player was itself started anew for one found
    // frozen, and never ran (another start would not help).
    struct Frozen {
        int channel = 0;
        bool restarted = false;
        bool operator==(const Frozen& o) const {
            return channel == o.channel && restarted == o.restarted;
        }
    };
    std::vector<Frozen> takeFrozen();
    // Player `channel`, left out, was started anew (a new player of the same file, standing at
    // its start): it joins the others again, landed where the timeline is (playing or standing).
    void rejoined(int channel, int64_t now);
    // Whether player `channel` stands in the last second of its recording: played to its end,
    // where "play" would end it (the station's own F1 seeks it first).
    bool standsAtEnd(int channel, int64_t now) const;
    // The camera whose picture the timeline follows.
    void setCurrent(int channel);
    int current() const { return current_; }
    // The recording's length in whole seconds as the players answer it (for files whose own
    // length is not read).
    void setLength(int32_t seconds);

    // A position answer of player `channel` (whole seconds), received at `atMs`.
    void answer(int channel, int64_t atMs, int32_t seconds);
    // A new picture of player `channel` shown at `atMs`: what it shows against its last one, if
    // told (a player standing draws its picture again now and then).
    using Content = PictureContent;
    void picture(int channel, int64_t atMs, Content content = Content::Untold);

    // --- the operator's actions -----------------------------------------------------------
    // F1: all pause, or all play again from where the current camera stands (from the start
    // when it stands at the end). Returns whether the players now play.
    bool playPause(int64_t now);
    // F2/F3 (`seconds` = -1 or 1, each press adding to the last) or the seek bar (`toSecond`).
    void jump(int64_t now, int seconds);
    void seekAll(int64_t now, int32_t toSecond);
    // F9: playing, every player stands; standing, every player steps one frame on from the
    // current camera's picture and stands again (presses add up). The controller steps them
    // itself, by a play and a pause a frame apart: the players' own step can leave a player of
    // a program stream unable to play again. With the option off the players stepped by their
    // own key: should the option be switched on, those are the ones that may not play again.
    void stepped(int64_t now);
    // F4/F5 (the players' own speed steps): nothing is corrected until BackSpace (`normal`),
    // which brings every camera back onto the current camera's picture.
    void operatorRate(int64_t now, bool normal);

    bool playing() const { return running_; }
    // Switched on mid-way: the pictures tell shortly whether the current camera plays.
    bool inferring() const { return enabled_ && inferring_; }
    int pollPeriodMs() const { return running_ ? kPlayingPollMs : kPausedPollMs; }
    // The players to ask their position at a poll now (the station polls every
    // `pollPeriodMs`). While all play, a camera other than the current one that has run on its
    // grid for a while is asked at every other poll (eight cameras answering four times a second
    // cost the relays and the station more than all else they do); at every poll the current
    // camera (the position display, its end), and a player after a move until its answers have
    // had their say on whether its seek went astray, or while they say so.
    std::vector<int> pollNow(int64_t now);

    // The commands due by `now`, in order (planning what the pictures call for on the way),
    // and when the next one is due (INT64_MAX when none is planned).
    std::vector<SyncCommand> due(int64_t now);
    int64_t nextDue() const;
    // Command `c` went out at `atMs`. A pause or play key that went out later than planned (the
    // station's thread woke late, the machine was busy) moved its player by as much: where it
    // stands, or when it runs on, is taken from when the key went out.
    void posted(const SyncCommand& c, int64_t atMs);

    // Where the timeline stands at `now` (media ms), and where the controller believes player
    // `channel`'s picture is, while it plays on a measured grid.
    double timeline(int64_t now) const;
    std::optional<double> pictureOf(int channel, int64_t now) const;
    // The learned constant of a player from "play" to its pictures running.
    double startConstant(int channel) const;
    // What the controller holds of every player, a line for a trace.
    std::string describe(int64_t now) const;

private:
    enum class State {
        Unknown,  // where it stands is not known: it must land before it plays
        Standing, // paused by the controller where its offset said (`standingAt`)
        Landed,   // sought while standing: shows `landing`
        Starting, // "play" planned or sent; its pictures run from `startAt` on
        Running,  // playing, its offset measured or predicted
        Ended,    // at its end (the player paused itself there): it must land before it plays
    };
    struct Player {
        bool present = false;
        std::shared_ptr<Landings> landings;
        State state = State::Unknown;
        double offset = 0;                         // Starting, Running
        double standingAt = 0;                     // Standing: media ms of its picture
        Landing landing;                           // Landed, Starting after a landing
        int64_t soughtAt = 0;                      // when its last seek is due
        int64_t seekSentAt = INT64_MIN / 2;        // when its last seek went out
        int64_t landingSeekSentAt = INT64_MIN / 2; // when the first seek to its landing did
        bool soughtAgain = false;                  // its last seek was one once more to its landing
        int64_t pauseSentAt = INT64_MIN / 2;       // its last pause key
        int64_t playSentAt = INT64_MIN / 2;        // its last play key
        int64_t startAt = 0;                       // Starting: when its pictures run on
        bool afterLanding = false;
        // Started from a landing, its first new picture once the landing's time has come is
        // still to be seen (it tells a start whole frames late).
        bool startUnseen = false;
        int missedStarts = 0;   // in a row
        bool restarted = false; // started anew for a frozen one, and not yet run
        bool stepped = false;   // stepped by frames since it last ran
        // Its first run after a step may have started a group of pictures away from its landing
        // (its pictures cannot tell): it lands once more.
        bool landAgain = false;
        int64_t firstMissAt = 0; // the first of them
        // On its way one frame on (F9): it runs until the pause due at `pauseDue` stands it at
        // `standingAt`.
        bool stepping = false;
        // Stood or stepped by F9: its pause took effect late by its own amount (a frame or
        // more on a busy machine), so where its clock stands is known only to a frame or two.
        // It lands before it plays.
        bool landFirst = false;
        // Run on from its landing while all stand: its pause stops its pictures late by its own
        // frames (a program stream's player, its pictures queued ahead since the landing: one
        // or two; an MP4's: none or one), learned from the new pictures it shows after the
        // pause went out (counted until it is told anything else; -1: not counting). Its next
        // such pause goes out that much early.
        bool fromLanding = false;
        int pauseLeaks = -1;
        double landedPauseLate = 1; // frames
        // Standing where it ran on to from `landing` (since sought no more): it starts from
        // that landing again, sought once more, rather than from a later one.
        bool ranFromLanding = false;
        double predicted = 0;  // the offset its start was planned for
        int samples = 0;       // pictures on the grid since the last change
        int offGrid = 0;       // pictures off the grid in a row
        double offGridSum = 0; // and their residuals
        // The last picture on the grid (its frame's media time) and the pictures counted since:
        // they name the frames of pictures off the grid, which their times alone name only to
        // within a frame period.
        bool counted = false;
        double onGridFrame = 0;
        int picturesSince = 0;
        double countedSum = 0; // offsets the counted frames give, over the pictures off grid
        // Paused by the controller (a hold, F1) with its frames counted, its pictures' content
        // told: the new pictures it shows until it runs again are counted too, and the count
        // names the frame of its first picture on the run. (A pause and a play take effect late,
        // each by its own tens of milliseconds on a busy machine: where the pictures' times put
        // the player after a hold can be a frame away from where it is.)
        bool countThrough = false;
        double countSlack = 0;    // how far the pause was to shift it (ms)
        bool pauseSeen = false;   // its pause was seen to take effect
        int locksSincePause = 0;  // pictures on its run since
        int64_t lastNew = 0;      // its last picture told new
        int stillPictures = 0;    // pictures in a row at a frame's pace showing nothing new
        bool contentTold = false; // its last picture's content was told
        int64_t lastFrame = 0;    // the last picture a frame period after the one before it
        double constant = kStartConstantMs;
        FramePeriod measured; // its pictures' period, for a recording that does not say
        int32_t lastAnswer = -1;
        int answersAstray = 0; // answers in a row seconds away from where its pictures put it
        int64_t answerChangedAt = 0;
        int64_t holdUntil = 0; // a hold or a landing under way until then
        int64_t pauseDue = -1; // when the pause that stops it running is due (-1: none)
        int64_t playDue = -1;  // when the play that starts it is due (-1: none)
    };

    Player* player(int channel);
    const Player* player(int channel) const;
    double periodOf(const Player& p) const;
    double lengthOf(const Player& p) const;
    void schedule(SyncCommand c);
    void cancelPlanned(int channel);
    void cancelAll();
    // Planned command `c` will not go out.
    void unplanned(const SyncCommand& c);
    // Whether player `channel` is asked at every poll (see `pollNow`).
    bool pollsOften(int channel, int64_t now) const;
    // Player `c`'s planned pause (due at its `pauseDue`) goes out `by` ms later; false when it
    // is no longer planned (on its way out).
    bool delayPause(int c, int64_t by);

    // Every player stands now (a key each); the timeline stands where it was.
    void standAll(int64_t now);
    // Every player to the timeline at `target` (media ms at `now`), by landings; the timeline
    // then plays, or stands at `target` when `play` is false.
    void moveAll(int64_t now, double target, bool play);
    // Player `c` stands and seeks to `l`; the seek goes out once more when it has settled. A
    // seek that meets the player's pictures stopping, or reaches it standing, shows its picture
    // at once only now and then: the screen keeps the old picture until the player runs (a
    // second and more in a recording with long groups of pictures). Sought once more when it
    // stands, it shows the picture, or leaves the screen as it was; most show it by then. (The
    // seek once more holds up nothing: a play due before it could settle leaves it out.)
    void seekStanding(int c, const Landing& l, int64_t now);
    // Player `c`, standing on its landing, gets "play" at `play` so that the landing's picture
    // runs on from `startAt`.
    void startLanded(int c, Player& p, double play, double startAt);
    // Player `p`, paused by the controller now to shift it by `shift` ms (0: to stand), has its
    // frames counted until the pause was seen to take effect (when its pictures are told).
    void followCount(Player& p, double shift);
    // When a "play" may follow the seeks of player `p`: its last has settled.
    int64_t settledAt(const Player& p) const;
    // Player `c` (`p`, with its landings) stands and seeks to the landing at or before `target`
    // (at or after, when there is none before): the landing, or none when its file has none.
    std::optional<Landing> landStanding(int c, Player& p, double target, int64_t now);
    // When a seek of player `p` decided at `now` may go out.
    int64_t seekTime(const Player& p, int64_t now) const;
    // When "play" may follow a landing of player `p` decided at `now` (its seek settled).
    int64_t earliestLandedPlay(const Player& p, int64_t now) const;
    // Player `c` lands (standing) where it can run on the playing timeline, started on time, on
    // a picture at or after `notBefore` (media ms).
    bool landOnTimeline(int c, int64_t now, double notBefore = 0);
    // Player `c` lands on `landing` (and the moment its "play" goes out), to run on the timeline.
    void landAt(int c, int64_t now, const std::pair<Landing, double>& landing);
    // That landing, and when its "play" goes out, without landing there.
    std::optional<std::pair<Landing, double>> timelineLanding(int c, int64_t now,
                                                              double notBefore) const;
    // Players `cs`, found lost, give up what was planned for them and land on the timeline
    // anew, together where their recordings allow (where one cannot, its place is unknown).
    void landAnew(const std::vector<int>& cs, int64_t now);
    // The latest of the pictures players `cs` can each first run on from on the playing
    // timeline, of those within a second of player `lead`'s (of the earliest of them without
    // one); 0 when none.
    double togetherLanding(const std::vector<int>& cs, int64_t now, std::optional<int> lead) const;
    // Player `c` lands on the timeline at `together`; where it cannot, on the last picture
    // before that it can reach in time, else where it first can.
    bool landTogether(int c, int64_t now, double together);
    // Starts the standing timeline at `standing_`: players standing where they were paused
    // resume on time, the others land first.
    void startAll(int64_t now);
    // The same, keeping what was planned (the players' landings just planned).
    void startStanding(int64_t now);
    // Player `c` (`p`), standing, runs on from `play` until `pause` (a frame step).
    void runOn(int c, Player& p, int64_t play, int64_t pause);
    // Player `c` (`p`), standing on its landing, runs on from it to `target` (media ms), its
    // "play" at `t0` or once its seek has settled; it stays landed when its landing is there.
    void runFromLanding(int c, Player& p, double target, int64_t t0);
    // What the pictures player `p` showed after such a run's pause say of how late its pauses
    // take effect (the count ends).
    static void learnPauseLeaks(Player& p);
    // After a move while all stand: the players standing on their landings (key pictures, up to
    // a group of pictures before the second asked) run on to the frame the timeline stands in,
    // so that the pictures stand where the move asked, and the next move adds to that.
    void runToStanding(int64_t now);
    // After a stand or frame steps: players whose counted pictures stand behind the one asked
    // (after a stand, the furthest shown) run on to it.
    void alignSteps(int64_t now);
    // The picture (media ms) a standing player shows: as its new pictures since it last ran
    // counted it (its pause can take effect frames late), else where its pause was to stand it.
    double shownAt(const Player& p) const;
    // Where that player's clock stands (media ms), as near as is known.
    double standsAt(const Player& p) const;
    // The closing of small differences and the finding of lost and ended players.
    void plan(int64_t now);
    // How long after it was due to run on a starting player's pictures may still not move
    // before its start counts as missed.
    int64_t startMissedMs(const Player& p) const;
    void lock(Player& p, int64_t at);
    // A new picture of player `p` at `at`: if it is the first once its landing's time has
    // come, where it stands against its plan by whole frames.
    void checkStart(Player& p, int64_t at);
    // What the answers say of where the current camera's picture is (ms), for when nothing
    // better is known.
    double estimateFromAnswers(int64_t now) const;

    bool enabled_ = false;
    bool running_ = false;
    double origin_ = 0;   // running: media = now + origin_
    double standing_ = 0; // standing: the timeline's media position
    int current_ = 0;
    double answeredLength_ = 0;
    int64_t enabledAt_ = 0;
    bool inferring_ = false; // switched on mid-way: whether the current camera plays is learned
    bool rateHold_ = false;
    bool atEnd_ = false;    // standing at the end: the next play starts from the beginning
    int64_t seeksFrom_ = 0; // no seek goes out before then (quick presses gathered)
    int64_t lastJumpAt_ = INT64_MIN / 2; // the last F2/F3 press
    unsigned pollRound_ = 0;             // the polls so far
    // After frame steps, when the pictures standing are compared (-1: none to come), and how
    // many times since the last press.
    int64_t stepCheckAt_ = -1;
    int stepChecks_ = 0;
    int64_t stepsPausedAt_ = 0; // when the last step's pause was due
    double stepAsked_ = -1;     // the picture the last press asked for (media ms; -1: none)
    double rateFrom_ = 0;       // the timeline when the operator's speed began
    int ratePictures_ = 0;      // the current camera's pictures since
    std::vector<Player> players_;
    std::vector<Frozen> frozen_;       // found frozen, not yet taken
    std::vector<SyncCommand> planned_; // ordered by due time
};

} // namespace vorbelt
