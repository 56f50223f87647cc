// Fine Sync's rules without players: simulated players that behave as the real ones were
// measured to (a seek to a standing player shows its landing at once and runs on from it a
// recording-given time after "play" plus a constant of the player's own; pause and play take
// effect after the same latency; a playing player draws a picture per frame, a standing one
// repaints now and then; at its end a player pauses itself, and "play" there ends it) are
// driven by the controller, and where each picture then stands is checked.
#include "core/fine_sync.h"
#include "core/frame_period.h"
#include "core/relay_commands.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>

using namespace vorbelt;

namespace {

// The recordings' frame period (25 pictures a second unless a test sets another).
double kPeriod = 40;

// Key pictures every `gop` frames; the time from "play" to running on differs per key, as the
// multiplexer placed each one's clock reference.
class KeyPictures : public Landings {
public:
    KeyPictures(int gop, double lengthMs, uint32_t seed) : gop_(gop), length_(lengthMs) {
        std::mt19937 rng(seed);
        std::uniform_real_distribution<double> lead(500, 950);
        for (int k = 0; k * gop * kPeriod < lengthMs; ++k)
            leads_.push_back(lead(rng));
    }
    std::optional<Landing> atOrAfter(double m) override {
        int k = static_cast<int>(std::ceil(std::max(0.0, m) / step() - 1e-9));
        while (unlandable(k))
            ++k;
        return key(k);
    }
    std::optional<Landing> atOrBefore(double m) override {
        int k = static_cast<int>(std::floor(std::min(m, length_ - 1) / step() + 1e-9));
        while (unlandable(k))
            --k;
        return key(k);
    }
    double framePeriodMs() const override { return saysPeriod ? kPeriod : 0; }
    double lengthMs() const override { return length_; }
    bool mayShowNext() const override { return true; }
    std::optional<Landing> key(int k) const {
        if (k < 0 || k >= static_cast<int>(leads_.size()))
            return std::nullopt;
        return Landing{k * step(), leads_[static_cast<std::size_t>(k)], kShareSeekCode, k};
    }

    void setLead(int k, double ms) { leads_.at(static_cast<std::size_t>(k)) = ms; }
    void setUnlandable(int k) { unlandable_ = {k}; }

    bool saysPeriod = true; // else the controller measures it from the pictures (an MP4)

private:
    double step() const { return gop_ * kPeriod; }
    bool unlandable(int k) const {
        return std::find(unlandable_.begin(), unlandable_.end(), k) != unlandable_.end();
    }
    int gop_;
    double length_;
    std::vector<double> leads_;
    std::vector<int> unlandable_; // key pictures a player cannot time: it shows none of them
};

struct SimPlayer {
    std::shared_ptr<KeyPictures> file;
    double media = 0;          // the picture shown, ms
    bool running = false;      // its pictures move on
    int64_t runsAt = -1;       // a start or a resume on its way
    int64_t ranAt = -1;        // when it last ran on
    std::vector<int64_t> runs; // and every time it ran on
    double latency = 0;        // of its pause and play
    double constant = 15;      // from "play" after a seek to running on, beyond the key's own time
    int64_t startLate = 0;     // its next start after a seek runs on this much later, once
    std::optional<double> startLead; // sought standing: "play" runs it on after this
    bool atEnd = false;
    bool lostWindow = false; // "play" reached it at its end with no seek since
    bool deaf = false;       // takes in neither its next seek nor the "play" after it
    bool frozen = false;     // shows its seeks, but never runs again whatever it is told
    bool blind = false;      // (frozen, and shows nothing of its seeks either)
    int strays = 0;          // its next seeks land on the key picture after the one asked
    int showsNext = 0;       // its next seeks show the key picture after the one asked, on time
    bool showOnPlay = false; // (and show it only once told to play)
    bool nextAtOnce = false; // (or show it at once)
    int64_t pauseAt = -1;
    int64_t pauseLag = 0; // its pauses take effect this much later than its plays
    int64_t lastKeyEffect = 0;
    int64_t lastRepaint = 0;
    int64_t lastSeek = INT64_MIN / 2;
    bool lastSeekAgain = false;
    double shown = -1;         // the last frame drawn: a clock set back draws none twice
    int jitter = 0;            // its frames are seen this many ms early and late by turns
    int keyLate = 0;           // each pause and play takes effect up to this much later, by its own
    bool tellsContent = false; // its pictures come told new or the same again
    FineSync::Content content(bool fresh) const {
        return !tellsContent ? FineSync::Content::Untold
               : fresh       ? FineSync::Content::New
                             : FineSync::Content::Same;
    }
};

class Simulation {
public:
    // Players with the given start constants and pause latencies; every file the same length
    // and key spacing, each with its own clock references; their pictures' content told or not.
    Simulation(std::vector<double> constants, std::vector<double> latencies,
               double lengthMs = 120000, int gop = 12, bool tellContent = false) {
        std::vector<std::shared_ptr<Landings>> files;
        for (std::size_t c = 0; c < constants.size(); ++c) {
            SimPlayer p;
            p.file = std::make_shared<KeyPictures>(gop, lengthMs, static_cast<uint32_t>(c + 3));
            p.constant = constants[c];
            p.latency = latencies[c];
            p.tellsContent = tellContent;
            players.push_back(p);
            files.push_back(p.file);
        }
        dispatchLate.assign(constants.size(), 0);
        sync.loaded(files, now);
        sync.setEnabled(true, now);
        run(400); // nothing plays: the controller sees them stand
    }

    void run(int64_t ms) {
        for (const int64_t end = now + ms; now < end; ++now) {
            for (std::size_t c = 0; c < players.size(); ++c)
                step(static_cast<int>(c));
            // Polled as the station polls (the controller names whom to ask).
            if (now % 250 == 0)
                for (const int c : sync.pollNow(now)) {
                    const SimPlayer& p = players[static_cast<std::size_t>(c)];
                    sync.answer(
                        c, now,
                        static_cast<int32_t>(std::floor((p.media + (p.running ? 500 : 0)) / 1000)));
                }
            if (now >= heldUntil)
                for (const SyncCommand& c : sync.due(now))
                    late.push_back({now + dispatchLate[static_cast<std::size_t>(c.channel)], c});
            // Each command goes out (and is told as gone out) when its channel's thread gets
            // to it.
            for (auto it = late.begin(); it != late.end();)
                if (it->first <= now) {
                    sync.posted(it->second, now);
                    apply(it->second);
                    it = late.erase(it);
                } else {
                    ++it;
                }
        }
    }

    void step(int c) {
        SimPlayer& p = players[static_cast<std::size_t>(c)];
        // (A play and a pause taking effect at once: the one that came first first.)
        if (p.runsAt >= 0 && now >= p.runsAt && (p.pauseAt < 0 || p.runsAt <= p.pauseAt)) {
            p.running = true;
            p.ranAt = now;
            p.runs.push_back(now);
            p.runsAt = -1;
        }
        if (p.pauseAt >= 0 && now >= p.pauseAt) {
            p.running = false;
            p.pauseAt = -1;
        }
        if (p.running) {
            p.media += 1;
            if (p.media >= p.file->lengthMs() - kPeriod) {
                // Played to its end: it pauses itself on the last picture.
                p.media = p.file->lengthMs() - kPeriod;
                p.running = false;
                p.atEnd = true;
            } else if (std::floor(p.media / kPeriod) > p.shown) {
                p.shown = std::floor(p.media / kPeriod);
                sync.picture(c, now + (static_cast<int64_t>(p.shown) % 2 ? p.jitter : -p.jitter),
                             p.content(true));
            }
        } else if (now - p.lastRepaint >= 70) {
            // A standing player repaints its picture now and then.
            p.lastRepaint = now;
            sync.picture(c, now, p.content(false));
        }
    }

    void apply(const SyncCommand& cmd) {
        commands.push_back(cmd);
        SimPlayer& p = players[static_cast<std::size_t>(cmd.channel)];
        const auto latency = static_cast<int64_t>(p.latency) +
                             (p.keyLate ? static_cast<int64_t>(rng() % (p.keyLate + 1)) : 0);
        // Pause and play take effect in the order they came, each after the player's latency
        // (a play then a pause run it for as long as lies between their taking effect).
        const int64_t effect =
            std::max(now + latency + (cmd.code == kPauseKey ? p.pauseLag : 0), p.lastKeyEffect);
        if (cmd.kind == SyncCommand::Kind::Key)
            p.lastKeyEffect = effect;
        if (cmd.kind == SyncCommand::Kind::Key && cmd.code == kPauseKey) {
            if (p.running || p.runsAt >= 0) {
                p.pauseAt = effect;
                if (p.runsAt > effect)
                    p.runsAt = -1;
            }
        } else if (p.deaf && cmd.kind == SyncCommand::Kind::Key && cmd.code == kPlayKey) {
            p.deaf = false;
        } else if (p.deaf) {
            // (Its seek is lost: it stands on the picture it showed.)
        } else if (cmd.kind == SyncCommand::Kind::Key && cmd.code == kPlayKey) {
            // (Settling on a seek once more takes longer.)
            EXPECT_FALSE(p.lastSeekAgain && now - p.lastSeek < 600) << now;
            if (p.frozen)
                p.startLead.reset();
            else if (p.atEnd)
                p.lostWindow = true;
            else if (p.startLead)
                p.runsAt = now + static_cast<int64_t>(*p.startLead + p.constant) +
                           std::exchange(p.startLate, 0);
            else
                p.runsAt = effect;
            if (p.showOnPlay)
                sync.picture(cmd.channel, now + 8, p.content(true));
            p.showOnPlay = false;
            p.startLead.reset();
        } else if (cmd.code == kShareSeekCode) {
            // A seek once more to a landing reaches a standing player whose last seek has
            // settled and whose play is still to come: it holds up nothing and moves nobody.
            if (cmd.again) {
                EXPECT_TRUE(!p.running && p.runsAt < 0 && now - p.lastSeek >= 300) << now;
            }
            p.lastSeek = now;
            p.lastSeekAgain = cmd.again;
            const auto l = p.file->key(cmd.argument + (p.strays > 0 ? 1 : 0));
            p.strays = std::max(0, p.strays - 1);
            ASSERT_TRUE(l);
            p.media = l->mediaMs;
            p.startLead = l->startMs;
            if (const auto next = p.file->key(cmd.argument + 1); next && p.showsNext > 0) {
                // (It runs on from the next one when the clock started at the asked one's pack
                // reaches it.)
                --p.showsNext;
                p.media = next->mediaMs;
                *p.startLead += next->mediaMs - l->mediaMs;
                p.showOnPlay = !p.nextAtOnce;
            }
            p.shown = std::floor(p.media / kPeriod);
            p.atEnd = false;
            p.running = false;
            p.runsAt = -1;
            if (!p.showOnPlay && !(p.frozen && p.blind))
                sync.picture(cmd.channel, now + 8, p.content(true));
        }
    }

    // The largest distance of any player from the current camera's picture, ms.
    double spread() const {
        const double ref = players[static_cast<std::size_t>(sync.current())].media;
        double worst = 0;
        for (const SimPlayer& p : players)
            worst = std::max(worst, std::fabs(p.media - ref));
        return worst;
    }
    double current() const { return players[static_cast<std::size_t>(sync.current())].media; }
    bool anyLost() const {
        return std::any_of(players.begin(), players.end(),
                           [](const SimPlayer& p) { return p.lostWindow; });
    }
    // (A seek once more to the landing sought is not counted: it lands nobody anew.)
    std::size_t sent(uint32_t code, int64_t since = 0) const {
        return static_cast<std::size_t>(
            std::count_if(commands.begin(), commands.end(), [&](const SyncCommand& c) {
                return c.code == code && !c.again && c.atMs >= since;
            }));
    }

    int64_t now = 1000;
    int64_t heldUntil = 0;             // the station's thread gets to the plan not before then
    std::vector<int64_t> dispatchLate; // how late each channel's commands go out, ms
    std::vector<std::pair<int64_t, SyncCommand>> late;
    std::vector<SimPlayer> players;
    std::vector<SyncCommand> commands;
    FineSync sync;
    std::mt19937 rng{7};
};

} // namespace

TEST(FineSync, EveryPathLeavesEveryPictureOnTheCurrentCamerasTimeline) {
    // Start constants from 5 to 30 ms and pause latencies up to 120 ms: the picture times
    // show the differences, and short holds close them.
    Simulation sim({10, 5, 30, 18}, {0, 40, 120, 10});

    // F1 after the Load: all land on the first picture and start together.
    sim.sync.playPause(sim.now);
    sim.run(4000);
    EXPECT_TRUE(sim.sync.playing());
    EXPECT_LT(sim.spread(), FineSync::kToleranceMs + 2);
    EXPECT_GT(sim.current(), 2000);

    // F1 twice: all stand, then play on from where they stood, still together.
    sim.sync.playPause(sim.now);
    sim.run(1000);
    const double stood = sim.current();
    sim.run(1000);
    EXPECT_EQ(sim.current(), stood);
    sim.sync.playPause(sim.now);
    sim.run(3000);
    EXPECT_LT(sim.spread(), FineSync::kToleranceMs + 2);

    // F3 three times in quick succession: the timeline moves on by three seconds, every
    // camera with it, the presses gathered (never a seek per press).
    const double before = sim.current();
    const int64_t pressed = sim.now;
    for (int k = 0; k < 3; ++k) {
        sim.sync.jump(sim.now, 1);
        sim.run(150);
    }
    sim.run(3500);
    EXPECT_NEAR(sim.current() - before, 3000 + static_cast<double>(sim.now - pressed), 2 * kPeriod);
    EXPECT_LT(sim.spread(), FineSync::kToleranceMs + 2);
    EXPECT_LE(sim.sent(kShareSeekCode, pressed), 2 * sim.players.size());

    // F2 and a seek-bar move.
    const double beforeBack = sim.current();
    const int64_t back = sim.now;
    sim.sync.jump(sim.now, -1);
    sim.run(3500);
    EXPECT_NEAR(sim.current() - beforeBack, static_cast<double>(sim.now - back) - 1000,
                2 * kPeriod);
    // All ran on together from one key picture (each file's keys lie alike, their clock
    // references not), none standing while the others ran up to its picture.
    const auto [first, last] = std::minmax_element(
        sim.players.begin(), sim.players.end(),
        [](const SimPlayer& a, const SimPlayer& b) { return a.ranAt < b.ranAt; });
    EXPECT_GT(first->ranAt, back);
    EXPECT_LT(last->ranAt - first->ranAt, kPeriod);
    // The seek bar: the current picture stands at the second asked, and plays on from it once
    // every camera can.
    const int64_t bar = sim.now;
    sim.sync.seekAll(sim.now, 60);
    while (sim.current() <= 60000 && sim.now - bar < 3000)
        sim.run(static_cast<int64_t>(kPeriod / 4));
    const double at60 = static_cast<double>(sim.now) - (sim.current() - 60000);
    EXPECT_LT(at60 - static_cast<double>(bar), 1500);
    sim.run(4000);
    EXPECT_NEAR(sim.current(), 60000 + static_cast<double>(sim.now) - at60, 2 * kPeriod);
    EXPECT_LT(sim.spread(), FineSync::kToleranceMs + 2);

    // Another camera becomes the current one: nobody moves.
    const std::size_t seeks = sim.sent(kShareSeekCode);
    const std::size_t pauses = sim.sent(kPauseKey);
    sim.sync.setCurrent(2);
    sim.run(3000);
    EXPECT_EQ(sim.sent(kShareSeekCode), seeks);
    EXPECT_EQ(sim.sent(kPauseKey), pauses);
    EXPECT_LT(sim.spread(), FineSync::kToleranceMs + 2);

    // The constants are learned: a later move needs no holds to put them together.
    EXPECT_NEAR(sim.sync.startConstant(2), 30, 6);
    EXPECT_NEAR(sim.sync.startConstant(1), 5, 6);

    // F5 and BackSpace: every camera lands on the current camera's picture, its seek a moment
    // after the players took their speed back.
    sim.sync.operatorRate(sim.now, false);
    sim.run(1000);
    const int64_t normal = sim.now;
    sim.sync.operatorRate(sim.now, true);
    sim.run(4000);
    EXPECT_EQ(sim.sent(kRateCode, normal), sim.players.size());
    EXPECT_EQ(sim.sent(kShareSeekCode, normal), sim.players.size());
    EXPECT_EQ(sim.sent(kShareSeekCode, normal + 300), sim.players.size());
    EXPECT_LT(sim.spread(), FineSync::kToleranceMs + 2);
    EXPECT_FALSE(sim.anyLost());
}

TEST(FineSync, AMoveStartsFromTheFirstKeyPictureItsCamerasCanRunOnFromInTime) {
    // Camera 1's key pictures have their "play" go out 950 and 500 ms before them by turns
    // (where one comes too soon, the next may not), camera 2's 500 ms before each.
    Simulation sim({15, 15}, {0, 0});
    const auto lead = [](int c, int k) { return c == 0 && k % 2 == 0 ? 950.0 : 500.0; };
    for (int c = 0; c < 2; ++c)
        for (int k = 0; k * 12 * kPeriod < 120000; ++k)
            sim.players[static_cast<std::size_t>(c)].file->setLead(k, lead(c, k));
    sim.sync.playPause(sim.now);
    sim.run(5000);
    for (int press = 0; press < 6; ++press) {
        sim.run(130); // (each press at another place in a group of pictures)
        const double target = sim.sync.timeline(sim.now) + (press % 2 ? 1000 : -1000);
        // The seeks go out 20 ms after the press, "play" 300 ms after them at the earliest.
        // From the third press on, camera 2 cannot land on the key picture where both would
        // first start (its player could not time it).
        int unlandable = -1;
        const auto feasible = [&](int c, int k) {
            return k * 12 * kPeriod - target >= 320 + lead(c, k) + 15 &&
                   !(c == 1 && k == unlandable);
        };
        int together = 0;
        for (int round = 0; round < (press >= 2 ? 2 : 1); ++round) {
            if (round == 1)
                sim.players[1].file->setUnlandable(unlandable = together);
            int first[2] = {0, 0};
            for (int c = 0; c < 2; ++c)
                while (!feasible(c, first[c]))
                    ++first[c];
            together = std::max(first[0], first[1]);
        }
        // All start together there; where camera 2 cannot land, it runs on from the last
        // picture before that it can reach in time.
        int second = together;
        if (!feasible(1, together))
            second = feasible(1, together - 1) ? together - 1 : together + 1;
        const int64_t pressed = sim.now;
        sim.sync.jump(sim.now, press % 2 ? 1 : -1);
        sim.run(3000);
        EXPECT_NEAR(static_cast<double>(sim.players[0].runs.back() - pressed),
                    together * 12 * kPeriod - target, 25)
            << "press " << press;
        EXPECT_NEAR(static_cast<double>(sim.players[1].runs.back() - pressed),
                    second * 12 * kPeriod - target, 25)
            << "press " << press;
        EXPECT_LT(sim.spread(), FineSync::kToleranceMs + 2) << "press " << press;
    }
}

TEST(FineSync, KeysThatGoOutLateAreTakenFromWhenTheyWentOut) {
    // Two players' keys go out more than half a frame late, every time: their pictures alone
    // would put them a whole frame off (the grid cannot tell which frame is shown).
    Simulation sim({12, 12, 12, 12}, {0, 0, 0, 0});
    sim.dispatchLate = {0, 27, 0, 33};
    sim.sync.playPause(sim.now);
    sim.run(4000);
    EXPECT_LT(sim.spread(), FineSync::kToleranceMs + 2);
    for (int jump : {1, 1, -1}) {
        sim.sync.jump(sim.now, jump);
        sim.run(4000);
        EXPECT_LT(sim.spread(), FineSync::kToleranceMs + 2) << "after a jump of " << jump;
    }
    sim.sync.playPause(sim.now);
    sim.run(1000);
    sim.sync.playPause(sim.now);
    sim.run(3000);
    EXPECT_LT(sim.spread(), FineSync::kToleranceMs + 2);
    // F9 while they play stands all; F9 three times quickly steps every camera three frames on
    // from the current camera's picture, each by a play and a pause (no seek), however late
    // their keys go out; F1 lands all (one seek each) and plays them on together from there.
    const std::size_t seeks = sim.sent(kShareSeekCode);
    sim.sync.stepped(sim.now);
    sim.run(500);
    const double frame = std::floor(sim.current() / kPeriod);
    for (int k = 0; k < 3; ++k) {
        sim.sync.stepped(sim.now);
        sim.run(30);
    }
    sim.run(1000);
    for (const SimPlayer& p : sim.players)
        EXPECT_EQ(std::floor(p.media / kPeriod), frame + 3);
    EXPECT_EQ(sim.sent(kShareSeekCode), seeks);
    sim.sync.playPause(sim.now);
    sim.run(3000);
    EXPECT_LT(sim.spread(), FineSync::kToleranceMs + 2);
    EXPECT_EQ(sim.sent(kShareSeekCode), seeks + sim.players.size());
    EXPECT_GE(sim.current(), (frame + 3) * kPeriod);
    // The station's thread held up by 400 ms at F3 (an X server stalled): the pauses go out at
    // once, each seek a moment after its pause (never with it: through the relay it could
    // overtake the pause), and all still land together.
    sim.heldUntil = sim.now + 400;
    sim.sync.jump(sim.now, 1);
    const std::size_t before = sim.commands.size();
    sim.run(4000);
    for (std::size_t i = before; i < sim.commands.size(); ++i) {
        if (sim.commands[i].code == kShareSeekCode) {
            EXPECT_GE(sim.commands[i].atMs, sim.heldUntil + 20);
        }
    }
    EXPECT_EQ(sim.sent(kShareSeekCode, sim.heldUntil), 4u);
    EXPECT_LT(sim.spread(), FineSync::kToleranceMs + 2);
}

TEST(FineSync, PausesAndPlaysThatTakeEffectLateByTheirOwnAmountsLeaveNoPlayerAFrameOff) {
    // On a busy machine each pause and play of a player takes effect up to 35 ms late, each by
    // its own amount: a hold can shift a player by nothing or by a frame more than asked, and
    // its pictures' times alone then name a frame beside the one shown. Their content is told:
    // the frames counted through the hold name it.
    Simulation sim({5, 30, 12, 20}, {0, 90, 40, 500}, 120000, 12, true);
    for (SimPlayer& p : sim.players)
        p.keyLate = 35;
    sim.sync.playPause(sim.now);
    for (int round = 0; round < 6; ++round) {
        sim.run(4000);
        // The controller knows the frame each player shows (once none is held), and they are
        // together.
        const auto known = [&] {
            for (int c = 0; c < 4; ++c)
                if (!sim.sync.pictureOf(c, sim.now))
                    return false;
            return true;
        };
        for (int ms = 0; ms < 2000 && !known(); ms += 10)
            sim.run(10);
        for (int c = 0; c < 4; ++c) {
            const auto believed = sim.sync.pictureOf(c, sim.now);
            ASSERT_TRUE(believed) << "round " << round;
            EXPECT_NEAR(*believed, sim.players[static_cast<std::size_t>(c)].media, kPeriod / 2)
                << "round " << round << ", player " << c;
        }
        EXPECT_LT(sim.spread(), kPeriod) << "round " << round;
        // (The second jump's landing: one player takes its "play" in seven frames late, which
        // its first picture then tells.)
        if (round == 3)
            sim.players[1].startLate = 7 * static_cast<int64_t>(kPeriod);
        if (round % 2)
            sim.sync.jump(sim.now, 1);
        else
            for (int k = 0; k < 2; ++k) {
                sim.sync.playPause(sim.now);
                sim.run(700);
            }
    }
}

TEST(FineSync, FrameStepsMoveEveryCameraToThePictureAsked) {
    // One player's pauses take effect 50 ms after its plays (it runs on a frame or two), the
    // others' on time, each key up to 5 ms late; every picture's content is told. F9 stands all,
    // and those that stood behind the furthest step on to it; then each press asks the next
    // picture of every camera. The one that runs on two frames past it is followed, one a
    // frame past it not: after each press every camera stands within a frame of the others,
    // one to three frames on.
    Simulation sim({12, 12, 12, 12}, {0, 0, 0, 0}, 120000, 12, true);
    for (SimPlayer& p : sim.players)
        p.keyLate = 5;
    sim.players[2].pauseLag = 50;
    sim.sync.playPause(sim.now);
    sim.run(5000);
    const auto frame = [&](std::size_t c) { return std::floor(sim.players[c].media / kPeriod); };
    sim.sync.stepped(sim.now);
    sim.run(1500);
    for (std::size_t c = 0; c < 4; ++c)
        EXPECT_EQ(frame(c), frame(0)) << c;
    for (int k = 0; k < 5; ++k) {
        const double was = frame(0);
        sim.sync.stepped(sim.now);
        sim.run(1500);
        for (std::size_t c = 0; c < 4; ++c) {
            EXPECT_LE(std::fabs(frame(c) - frame(2)), 1) << "press " << k << ", player " << c;
            EXPECT_GT(frame(c), was) << "press " << k << ", player " << c;
            EXPECT_LE(frame(c), was + 3) << "press " << k << ", player " << c;
        }
    }
    // Standing, F3 twice and the seek bar: every camera stands at the picture asked (the late
    // pauser a frame past it), run on to it from its key picture before; the presses add up.
    const double asked = frame(0) + 2000 / kPeriod;
    sim.sync.jump(sim.now, 1);
    sim.run(100);
    sim.sync.jump(sim.now, 1);
    sim.run(2500);
    for (std::size_t c = 0; c < 4; ++c)
        EXPECT_NEAR(frame(c), asked + (c == 2 ? 1 : 0), 1) << c;
    sim.sync.seekAll(sim.now, 62);
    sim.run(2500);
    for (std::size_t c = 0; c < 4; ++c)
        EXPECT_NEAR(frame(c), 62000 / kPeriod + (c == 2 ? 1 : 0), 1) << c;
    // F1 lands them all and plays them on together.
    sim.sync.playPause(sim.now);
    sim.run(4000);
    EXPECT_LT(sim.spread(), FineSync::kToleranceMs + 2);
}

TEST(FineSync, FrameStepsAtFiftyPicturesASecondLeaveNoCameraMoreThanTwoFramesFromTheOthers) {
    // At 50 pictures a second each key takes effect up to 15 ms late (most of a frame) and one
    // player's pauses 30 ms late: its runs end a frame or two past the picture asked, the
    // others' now and then a frame short of it. Those short of it are run on too (left there,
    // they stood three frames from the furthest).
    kPeriod = 20;
    Simulation sim({12, 12, 12, 12}, {0, 0, 0, 0}, 120000, 25, true);
    for (SimPlayer& p : sim.players)
        p.keyLate = 15;
    sim.players[2].pauseLag = 30;
    sim.sync.playPause(sim.now);
    sim.run(5000);
    for (int k = 0; k < 6; ++k) {
        sim.sync.stepped(sim.now);
        sim.run(2000);
        double lo = 1e9, hi = -1e9;
        for (const SimPlayer& p : sim.players) {
            lo = std::min(lo, std::floor(p.media / kPeriod));
            hi = std::max(hi, std::floor(p.media / kPeriod));
        }
        EXPECT_LE(hi - lo, 2) << "press " << k;
    }
    kPeriod = 40;
}

TEST(FineSync, APlayerWhoseClockIsSetAnewGoesAstrayOrFreezesIsFollowedLandsAnewOrIsReplaced) {
    // Playing, one player's clock jumps ahead by more than half a frame, another's back by as
    // much (as VLC's does now and then in an MP4): by their pictures' times alone each would
    // look a little off the other way.
    Simulation sim({12, 12, 12}, {0, 0, 0});
    sim.sync.playPause(sim.now);
    sim.run(4000);
    sim.players[1].media += 26;
    sim.players[2].media -= 26;
    sim.run(3000);
    EXPECT_LT(sim.spread(), FineSync::kToleranceMs + 2);
    // One whose seek went astray runs on a grid seconds away, which its pictures cannot tell:
    // its answers do, and it lands anew.
    sim.players[1].media += 6000;
    sim.run(5000);
    EXPECT_LT(sim.spread(), FineSync::kToleranceMs + 2);
    // Two that take in neither their seeks nor their "play" stand on their old pictures: they
    // are found within a moment of when they should have run on, and land anew, together.
    sim.players[0].deaf = sim.players[1].deaf = true;
    const int64_t deafFrom = sim.now;
    sim.sync.jump(sim.now, 1);
    sim.run(4500);
    EXPECT_LT(sim.spread(), FineSync::kToleranceMs + 2);
    const auto firstRun = [&](const SimPlayer& p) {
        return *std::find_if(p.runs.begin(), p.runs.end(), [&](int64_t t) { return t > deafFrom; });
    };
    EXPECT_LE(std::abs(firstRun(sim.players[0]) - firstRun(sim.players[1])), kPeriod);
    // One whose seek shows the key picture after the one asked runs on from there in time: it
    // is waited for, not landed anew (which would leave it out for a second more).
    // It may show that picture once told to play, or at once.
    sim.players[2].tellsContent = true;
    for (const bool atOnce : {false, true}) {
        sim.players[2].showsNext = 1;
        sim.players[2].nextAtOnce = atOnce;
        const std::size_t seeks = sim.sent(kShareSeekCode);
        sim.sync.jump(sim.now, 1);
        sim.run(3500);
        EXPECT_EQ(sim.sent(kShareSeekCode), seeks + 3) << atOnce;
        EXPECT_LT(sim.spread(), FineSync::kToleranceMs + 2) << atOnce;
    }
    // One that froze for good (a player stepped by frames may): it is given up and named once,
    // and the others keep in step without it.
    EXPECT_TRUE(sim.sync.takeFrozen().empty());
    sim.players[2].frozen = true;
    sim.sync.jump(sim.now, 1);
    sim.run(12000);
    using Frozen = std::vector<FineSync::Frozen>;
    EXPECT_EQ(sim.sync.takeFrozen(), (Frozen{{2, false}}));
    EXPECT_FALSE(sim.sync.present(2));
    EXPECT_TRUE(sim.sync.takeFrozen().empty());
    EXPECT_LT(std::fabs(sim.players[0].media - sim.players[1].media), FineSync::kToleranceMs + 2);
    EXPECT_GT(sim.players[0].media - sim.players[2].media, 3000);
    // The station starts a new player for it, standing at its start: one that freezes as well
    // before it ever ran is named as such (another start would not help)...
    const auto restart = [&](bool frozen) {
        SimPlayer fresh;
        fresh.file = sim.players[2].file;
        fresh.constant = sim.players[2].constant;
        fresh.frozen = frozen;
        sim.players[2] = fresh;
        sim.sync.rejoined(2, sim.now);
    };
    restart(true);
    sim.run(12000);
    EXPECT_EQ(sim.sync.takeFrozen(), (Frozen{{2, true}}));
    // ...one that plays joins the others where they stand, and where they play.
    sim.sync.playPause(sim.now);
    sim.run(500);
    restart(false);
    sim.run(1000);
    // (Standing, it shows the key picture before theirs.)
    EXPECT_LT(std::fabs(sim.players[2].media - sim.current()), 12 * kPeriod);
    EXPECT_GT(sim.players[2].media, 3000);
    sim.sync.playPause(sim.now);
    sim.run(3000);
    EXPECT_LT(sim.spread(), FineSync::kToleranceMs + 2);
    sim.players[2].frozen = true;
    sim.sync.jump(sim.now, 1);
    sim.run(12000);
    EXPECT_EQ(sim.sync.takeFrozen(), (Frozen{{2, false}}));
    restart(false);
    sim.run(4000);
    EXPECT_TRUE(sim.sync.present(2));
    EXPECT_LT(sim.spread(), FineSync::kToleranceMs + 2);
    // Stepped by the players' own key with the option off (what freezes players), then
    // switched on: two missed starts make one frozen; a player that runs after such a step
    // lands once more (its first run may start a group of pictures away).
    const auto ownStep = [&] {
        sim.sync.setEnabled(false, sim.now);
        sim.run(100);
        sim.sync.stepped(sim.now);
        for (SimPlayer& p : sim.players)
            p.running = false;
        sim.run(500);
        sim.sync.setEnabled(true, sim.now);
        sim.run(1000);
    };
    sim.players[1].strays = 1;
    ownStep();
    sim.players[2].frozen = true;
    sim.sync.playPause(sim.now);
    sim.run(5500);
    EXPECT_EQ(sim.sync.takeFrozen(), (Frozen{{2, false}}));
    EXPECT_LT(std::fabs(sim.players[0].media - sim.players[1].media), FineSync::kToleranceMs + 2);
    // One that showed nothing of its landing either is found at its first missed start.
    restart(false);
    sim.run(4000);
    ownStep();
    sim.players[2].frozen = sim.players[2].blind = sim.players[2].tellsContent = true;
    sim.sync.playPause(sim.now);
    sim.run(2000);
    EXPECT_EQ(sim.sync.takeFrozen(), (Frozen{{2, false}}));
}

TEST(FineSync, AFramePeriodThePicturesShowIsTakenFromFramesNotFromRepaints) {
    // Recordings that do not say their frame period (MP4): standing, the players repaint at an
    // even pace of their own, which is no frame rate; running, their frames are seen 3 ms early
    // and late by turns (too unevenly to measure, well within a frame's tolerance).
    Simulation sim({12, 12, 12}, {0, 0, 0});
    for (SimPlayer& p : sim.players) {
        p.file->saysPeriod = false;
        p.jitter = 3;
    }
    sim.sync.playPause(sim.now);
    sim.run(4000);
    EXPECT_LT(sim.spread(), FineSync::kToleranceMs + 2);
    EXPECT_GT(sim.current(), 2000);
    sim.sync.jump(sim.now, 1);
    sim.run(4000);
    EXPECT_LT(sim.spread(), FineSync::kToleranceMs + 2);
}

TEST(FramePeriod, RatesAThousandthApartAreToldApartFromPicturesSeenToTheMillisecond) {
    // 30 and 29.97 pictures a second (24 and 23.976) are 0.03 ms apart per picture, while the
    // pictures' times are whole milliseconds, a few late: the wrong one of a pair names frames
    // one or two off at 45 s into a recording.
    for (const double rate : {30.0, 30000.0 / 1001, 24.0, 24000.0 / 1001, 25.0}) {
        FramePeriod period;
        std::mt19937 rng(7);
        std::uniform_int_distribution<int> late(0, 3);
        int64_t at = 1000;
        for (int k = 0; k < 40; ++k) // standing: repaints, no frame rate
            period.picture(at += 76);
        EXPECT_EQ(period.ms(), 0);
        for (int k = 0; k < 200; ++k)
            period.picture(at + static_cast<int64_t>(k * 1000 / rate) + late(rng));
        EXPECT_DOUBLE_EQ(period.ms(), 1000 / rate) << rate;
    }
}

TEST(FineSync, PlayedToTheEndAllStandThereAndF1PlaysFromTheStartWithEveryWindowKept) {
    Simulation sim({12, 20, 15}, {0, 30, 60}, 20000);
    sim.sync.playPause(sim.now);
    sim.run(2000);
    // Near the end a jump ahead goes no further than the end, and never back.
    sim.sync.seekAll(sim.now, 17);
    sim.run(1000);
    const double before = sim.current();
    sim.sync.jump(sim.now, 1);
    sim.sync.jump(sim.now, 1);
    sim.sync.jump(sim.now, 1);
    sim.run(200);
    EXPECT_GE(sim.current(), before);
    sim.run(6000);
    EXPECT_FALSE(sim.sync.playing());
    for (const SimPlayer& p : sim.players)
        EXPECT_GE(p.media, 19000);
    // F1 at the end: from the start, together (all land on their first picture and start
    // from it: none waits on a later one while the others run up to it), and no player is told
    // to play at its end.
    sim.sync.playPause(sim.now);
    double worst = 0;
    for (int k = 0; k < 300; ++k) {
        sim.run(10);
        if (std::all_of(sim.players.begin(), sim.players.end(),
                        [](const SimPlayer& p) { return p.media < 1000; }))
            worst = std::max(worst, sim.spread());
    }
    EXPECT_LT(worst, FineSync::kToleranceMs + 2);
    EXPECT_TRUE(sim.sync.playing());
    EXPECT_LT(sim.current(), 3000);
    EXPECT_LT(sim.spread(), FineSync::kToleranceMs + 2);
    EXPECT_FALSE(sim.anyLost());
}

TEST(FineSync, SwitchedOnWhileTheCurrentCameraPlaysAllJoinIt) {
    // As the station keeps them without the option: the current camera plays, the others stand
    // a second behind.
    Simulation sim({15, 15, 15}, {0, 0, 0});
    sim.sync.setEnabled(false, sim.now);
    sim.commands.clear();
    for (std::size_t c = 0; c < sim.players.size(); ++c)
        sim.players[c].media = 30000 - (c == 0 ? 0 : 1000);
    sim.players[0].running = true;
    sim.run(3000);
    EXPECT_TRUE(sim.commands.empty());
    const double at = sim.current();
    sim.sync.setEnabled(true, sim.now);
    sim.run(4000);
    EXPECT_TRUE(sim.sync.playing());
    EXPECT_LT(sim.spread(), FineSync::kToleranceMs + 2);
    // The current picture goes on about where it was.
    EXPECT_NEAR(sim.current(), at + 4000, 1000);

    // F9 leaves all standing; F1 plays all, together (each landing once more once it runs).
    sim.sync.stepped(sim.now);
    for (SimPlayer& p : sim.players)
        p.running = false;
    sim.run(500);
    sim.sync.playPause(sim.now);
    sim.run(5000);
    EXPECT_LT(sim.spread(), FineSync::kToleranceMs + 2);

    // Switched off while a player is held: it plays at once, and nothing more is sent.
    sim.players[1].runsAt = -1;
    sim.sync.jump(sim.now, 1);
    sim.run(50);
    sim.sync.setEnabled(false, sim.now);
    const auto left = sim.sync.due(sim.now);
    EXPECT_TRUE(std::all_of(left.begin(), left.end(),
                            [](const SyncCommand& c) { return c.code == kPlayKey; }));
    EXPECT_FALSE(left.empty());
    sim.commands.clear();
    sim.run(2000);
    EXPECT_TRUE(sim.commands.empty());

    // Switched off while frame steps are on their way: none is left playing alone.
    sim.sync.setEnabled(true, sim.now);
    sim.run(4000);
    sim.sync.stepped(sim.now);
    sim.run(1000);
    sim.sync.stepped(sim.now);
    sim.run(5);
    sim.sync.setEnabled(false, sim.now);
    sim.run(1000);
    for (const SimPlayer& p : sim.players)
        EXPECT_FALSE(p.running);
}

TEST(FineSync, APlayerStandingInItsLastSecondIsSeenThere) {
    FineSync sync;
    sync.loaded({std::make_shared<WholeSeconds>(0)}, 0);
    sync.setLength(30);
    sync.answer(0, 1000, 28);
    EXPECT_FALSE(sync.standsAtEnd(0, 3000));
    sync.answer(0, 4000, 29);
    sync.answer(0, 5000, 29);
    EXPECT_FALSE(sync.standsAtEnd(0, 5000));
    EXPECT_TRUE(sync.standsAtEnd(0, 5600));
}
