// Fine Sync: every camera plays, and every follower is kept on the current camera's timeline to
// within a frame or two. Plain rules fed with time-stamped answers of the players; what they
// decide comes back as commands with the moment each is due, for the station to post.
//
// A player's timeline is its offset: its position in milliseconds minus the station's clock in
// milliseconds. It stays put while the player plays at normal speed, moves by the length of a
// pause, by (rate - 1) x duration of a rate change, and anywhere with a seek.
//
// What the players tell: "get_time" answers whole seconds, of a position that the player
// publishes only now and then (its input position, which runs some way ahead of its picture by
// an amount that is the same for the files of one recording). An answer v received at r says
// the player stood at v seconds or later at some moment before r: the offset is at least
// v * 1000 - r. The answers that come right after the second changes bound it tightest; the
// best bound seen so far is the estimate, and it improves with every change.
//
// What moves them: a seek ("seek N", whole seconds) lands late on a playing player, by an amount
// that differs from file to file and is learned from each seek (the offset after a seek sent at
// s to N is N * 1000 - s - landing); a rate trim ("rate 1.10" for a while, then "rate 1.0")
// moves the offset by (rate - 1) x the time between the two commands; "play" after a pause
// continues exactly where the pause stopped, so staggered starts line players up.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>
#include <vector>

namespace vorbelt {

// One player's timeline as its answers tell it.
class PlayerClock {
public:
    // An answer of `seconds` received at `atMs`.
    void answer(int64_t atMs, int32_t seconds);
    // The player was moved in an unknown way: all learned is void, and answers before
    // `settledAtMs` are not taken (a player answers oddly while it lands a seek).
    void reset(int64_t settledAtMs);
    // The timeline moved by `ms` (a finished trim, a pause): what was learned moves with it;
    // answers before `settledAtMs` are not taken.
    void shift(double ms, int64_t settledAtMs);
    // Where the player is expected to stand after a move (a timed seek, a common start), to be
    // used until `holdChanges` changes of its second have been seen, counting meanwhile as
    // `weight` changes; answers before `settledAtMs` are not taken. The answers' bounds show a
    // player that stands ahead of a prediction, never one behind it: a prediction that may be
    // behind the truth (a seek's landing) is held briefly, an exact one (a start from where the
    // players stood) long.
    void predict(double offsetMs, int64_t settledAtMs, int holdChanges = kWeakHold,
                 int weight = kWeakWeight);

    // The best estimate of the offset, if any: what the answers bound, or the prediction while
    // the answers have not yet said more.
    std::optional<double> offset() const;
    // What the answers alone bound, and how many changes of the second that rests on.
    std::optional<double> measured() const { return bound_; }
    int changes() const { return changes_; }
    // How much the estimate rests on: the changes seen, a prediction counting as a few.
    int weight() const;
    // The last answer taken, and when it came; -1 before any.
    int32_t lastSeconds() const { return lastSeconds_; }
    int64_t lastAnswerAt() const { return lastAt_; }
    // When the answered second last moved on.
    int64_t lastChangeAt() const { return lastChangeAt_; }

    // How long predictions hold, and what they count as: after a seek, after a common start.
    static constexpr int kWeakHold = 3;
    static constexpr int kWeakWeight = 4;
    static constexpr int kStrongHold = 15;
    static constexpr int kStrongWeight = 12;
    // How far before its answer a player may have published the second it answers: a bound
    // that no playing player exceeds (it publishes several times a second).
    static constexpr int kStaleMs = 900;
    // The bound is the best over the last this many seconds answered: a player that slipped
    // behind by itself is seen once the bounds from before have gone.
    static constexpr std::size_t kWindow = 60;

private:
    // The best lower bound each second answered gave, the latest last.
    struct Second {
        int32_t seconds;
        double bound;
    };
    std::deque<Second> bounds_;
    std::optional<double> bound_;     // the best of them
    std::optional<double> predicted_; // a placement not yet measured
    int hold_ = 0;
    int predictionWeight_ = 0;
    int changes_ = 0;
    int64_t settledAt_ = 0;
    int32_t lastSeconds_ = -1;
    int64_t lastAt_ = 0;
    int64_t lastChangeAt_ = 0;
};

// A command for the station to post at `atMs`: a relay command (17 play, 19 rate, 20 seek) to
// the relay of `channel`, or a key-down to its video window.
struct SyncCommand {
    enum class Kind { Relay, Key };
    Kind kind = Kind::Relay;
    int channel = 0;
    uint32_t code = 0;    // relay command code, or the virtual-key code of a key
    int32_t argument = 0; // the relay command's argument
    int64_t atMs = 0;

    bool operator==(const SyncCommand& o) const {
        return kind == o.kind && channel == o.channel && code == o.code && argument == o.argument &&
               atMs == o.atMs;
    }
};

// Relay command codes and video-window keys the controller uses.
constexpr uint32_t kPlayCode = 17; // argument 0: "play" (resumes a paused player, else nothing)
constexpr uint32_t kRateCode = 19; // 110 "rate 1.10", 95 "rate 0.95", 100 "rate 1.0"
constexpr uint32_t kSeekCode = 20; // "seek N"
constexpr uint32_t kPauseKey = 35; // VK_END: the station's players pause on it (never a toggle)

// The rate code for a rate of 1 + percent / 100 that the relay writes faithfully: it writes the
// digits after the point unpadded, so only 10 .. 99 (0.10 .. 0.99), 100 (1.0) and 110 .. 199
// (1.10 .. 1.99) mean what they say.
int rateCode(int percent);

// The smallest offset between a follower and the current camera worth a trim, when the lesser of
// their estimates rests on `weight` (changes of the second, a prediction counting as a few).
double trimTolerance(int weight);

class FineSync {
public:
    // Poll periods: while the players play (about 20 a second; 47 ms, not 50, so that the
    // moments the polls catch a change of the second drift through the whole of a poll
    // period rather than fall on the same place of it every second), and while they stand.
    static constexpr int kPlayingPollMs = 47;
    static constexpr int kPausedPollMs = 1000;
    // A follower further off than this is brought over with a seek, nearer with a trim.
    static constexpr int kSeekBeyondMs = 1000;
    // What a trim aims to take (its rate is chosen so), and the longest it may take.
    static constexpr int kTrimAimMs = 1500;
    // The controller looks at every follower at least this often.
    static constexpr int kRecheckMs = 10000;

    // The option: off, the controller plans nothing and the station keeps its own ways.
    void setEnabled(bool on, int64_t now);
    bool enabled() const { return enabled_; }

    // A Load: `players` loaded (channels 0 .. players - 1), all standing at their start.
    void loaded(int players, int64_t now);
    // A channel left out of the Load (no player, or no window): it is not kept in step.
    void setPresent(int channel, bool present);
    bool present(int channel) const;
    // The camera whose timeline the others follow.
    void setCurrent(int channel);
    int current() const { return current_; }
    // The recording's length in seconds: no seek is planned beyond it.
    void setLength(int32_t seconds) { length_ = seconds; }

    // A position answer of player `channel`, received at `atMs`.
    void answer(int channel, int64_t atMs, int32_t seconds);

    // --- the operator's actions -----------------------------------------------------------
    // F1: all pause, or all play again, each from the current camera's picture. Returns
    // whether the players now play.
    bool playPause(int64_t now);
    // F2/F3 (`seconds` = -1 or 1) or the seek bar (`toSecond`): every camera moves as the
    // operator asked, with whole-second seeks planned here, sent so that they land together.
    // Returns the channels that take the operator's own command instead: none with the option
    // on, all with it off.
    std::vector<int> jump(int64_t now, int seconds);
    std::vector<int> seekAll(int64_t now, int32_t toSecond);
    // F9: every player steps one frame and stands.
    void stepped(int64_t now);
    // F4/F5 (the players' own speed steps): no rate is sent until BackSpace (`normal`).
    void operatorRate(int64_t now, bool normal);

    bool playing() const { return playing_; }
    int pollPeriodMs() const { return playing_ ? kPlayingPollMs : kPausedPollMs; }

    // The commands due by `now`, in order (planning what the answers call for on the way), and
    // when the next one will be due (INT64_MAX when none is planned).
    std::vector<SyncCommand> due(int64_t now);
    int64_t nextDue() const;

    // What is learned of player `channel`: its landing delay (ms), if any.
    std::optional<double> landing(int channel) const;
    // How far its answers lead its picture (ms), as learned, if it is.
    std::optional<double> lead(int channel) const;

private:
    struct Player {
        bool present = false;
        PlayerClock clock;
        int64_t busyUntil = 0; // landing a seek or running a trim until then
        // The trim under way: when it began, its rate, when its normal speed goes out (0: none).
        int64_t trimStart = 0;
        double trimRate = 1;
        int64_t trimEnd = 0;
        // The seek it lands: target (ms), when it was sent, what trims moved it by since.
        std::optional<double> seekTarget;
        int64_t seekSent = 0;
        double movedSinceSeek = 0;
        // Learned landing delay (ms) and from how many seeks.
        double landing = 0;
        int landings = 0;
        // How far its answers lead its picture (ms), once learned; and while it is learned, the
        // picture's offset as known from a start of all from one picture.
        std::optional<double> lead;
        std::optional<double> calibrating;
        // While the players stand: its position (ms) when they stopped, if known, and when it
        // was last pulled to the current camera's second.
        std::optional<double> standingAt;
        bool standingKnown = false; // known to the frame (it stopped on the controller's word)
        int64_t lastPull = 0;
    };

    Player* player(int channel);
    const Player* player(int channel) const;
    std::vector<int> presentChannels() const;
    void schedule(SyncCommand c);
    void plan(int64_t now);
    void planPaused(int64_t now);
    // Learns how late `p` landed its last seek, once enough changes of its second have shown it
    // (or, when `interrupted`, with what they have shown so far).
    void learnLanding(Player& p, bool interrupted);
    std::optional<double> landingOf(int channel) const;
    // The lead of a player: its own as learned, else the others', else none (0).
    double leadOf(int channel) const;
    // A player's picture offset, as its answers and its lead tell it.
    std::optional<double> pictureOffset(int channel) const;
    // A seek of `channel` timed to land it on `target` offset; false when none can be planned.
    bool timedSeek(int channel, double target, int64_t now);
    // Every player to whole second `second`, each seek sent so that all land together.
    void moveAll(int64_t now, int32_t second);
    void trim(int channel, double by, int64_t now);
    // Forgets what was planned for `channel`; a trim under way ends now (normal speed), and its
    // clock moves by what the trim did so far.
    void cancelPlanned(int channel, int64_t now);
    // Ends every trim under way (normal speed) and forgets what was planned.
    void stopAll(int64_t now);
    // Player `channel` (`p`) stops now: where it stands is known to the millisecond from its
    // offset, if that is known; what it was learning from a common start is void.
    void stopsHere(Player& p, int channel, int64_t now);

    bool enabled_ = false;
    bool playing_ = false;
    bool rateHold_ = false;
    int current_ = 0;
    int32_t length_ = 0;
    int64_t enabledAt_ = 0;
    bool inferPlaying_ = false; // switched on mid-way: whether they play is learned first
    std::vector<Player> players_;
    std::vector<SyncCommand> planned_; // ordered by due time
};

} // namespace vorbelt
