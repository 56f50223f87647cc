// Fine Sync's rules without players: simulated players that answer as the real ones do (whole
// seconds of a position they publish four times a second, seeks that land late, rates that
// show late) are driven by the controller, and where each then stands is checked.
#include "core/fine_sync.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>

using namespace vorbelt;

namespace {

struct SimPlayer {
    double position = 0;  // ms
    bool playing = false; // as Load leaves it
    double rate = 1;
    double landing = 1200;  // how late a playing seek lands, ms
    double lead = 0;        // how far its answers run ahead of its picture, ms
    double pendingRate = 1; // a rate change on its way
    int64_t rateAt = -1;    // when it shows
    int64_t landAt = -1;    // a seek landing
    double landTo = 0;
    int32_t published = 0; // the whole seconds it answers with
    int64_t nextPublish = 0;
};

class Simulation {
public:
    explicit Simulation(std::vector<double> landings, uint32_t seed = 7) : rng_(seed) {
        for (double l : landings) {
            SimPlayer p;
            p.landing = l;
            players.push_back(p);
        }
        sync.loaded(static_cast<int>(players.size()), now);
    }

    // Runs for `ms`: the players move, publish, answer the polls; the controller's commands
    // reach them.
    void run(int64_t ms) {
        for (const int64_t end = now + ms; now < end; now += 1) {
            for (SimPlayer& p : players) {
                if (p.rateAt >= 0 && now >= p.rateAt) {
                    p.rate = p.pendingRate;
                    p.rateAt = -1;
                }
                if (p.landAt >= 0 && now >= p.landAt) {
                    p.position = p.landTo;
                    p.landAt = -1;
                }
                if (p.playing)
                    p.position += p.rate;
                if (now >= p.nextPublish) {
                    // A landing player already answers on its new timeline, as the real ones
                    // do while their picture still waits.
                    const double answered =
                        (p.landAt >= 0 ? p.landTo - static_cast<double>(p.landAt - now)
                                       : p.position) +
                        p.lead;
                    p.published = static_cast<int32_t>(std::floor(answered / 1000.0));
                    p.nextPublish = now + 250 + jitter_(rng_) / 2;
                }
            }
            if (now % sync.pollPeriodMs() == 0)
                for (std::size_t c = 0; c < players.size(); ++c)
                    sync.answer(static_cast<int>(c), now + jitter_(rng_) / 3, players[c].published);
            for (const SyncCommand& c : sync.due(now))
                apply(c);
        }
    }

    void apply(const SyncCommand& c) {
        commands.push_back(c);
        SimPlayer& p = players[static_cast<std::size_t>(c.channel)];
        if (c.kind == SyncCommand::Kind::Key && c.code == kPauseKey) {
            p.playing = false;
        } else if (c.code == kPlayCode) {
            p.playing = true;
        } else if (c.code == kRateCode) {
            p.pendingRate = c.argument / 100.0;
            p.rateAt = now + 650;
        } else if (c.code == kSeekCode) {
            if (p.playing) {
                p.landAt = now + static_cast<int64_t>(p.landing);
                p.landTo = c.argument * 1000.0;
            } else {
                p.position = c.argument * 1000.0;
            }
        }
    }

    // The largest distance of any player from the current camera, ms.
    double spread() const {
        const double ref = players[static_cast<std::size_t>(sync.current())].position;
        double worst = 0;
        for (const SimPlayer& p : players)
            worst = std::max(worst, std::fabs(p.position - ref));
        return worst;
    }
    std::size_t count(uint32_t code) const {
        return static_cast<std::size_t>(
            std::count_if(commands.begin(), commands.end(),
                          [&](const SyncCommand& c) { return c.code == code; }));
    }

    int64_t now = 1000;
    std::vector<SimPlayer> players;
    std::vector<SyncCommand> commands;
    FineSync sync;

private:
    std::mt19937 rng_;
    std::uniform_int_distribution<int> jitter_{0, 10};
};

} // namespace

TEST(PlayerClock, TwentyHertzWholeSecondAnswersGiveThePhaseWithin60Ms) {
    // Players published four times a second, answers arriving 0-3 ms late, offsets anywhere
    // within a second: after 20 s of answers every estimate is within 60 ms, from below.
    std::mt19937 rng(11);
    std::uniform_real_distribution<double> anywhere(0, 1000);
    std::uniform_int_distribution<int> late(0, 3), drift(0, 8);
    for (int trial = 0; trial < 200; ++trial) {
        const double offset = 5000 + anywhere(rng);
        PlayerClock clock;
        int32_t published = 0;
        int64_t nextPublish = static_cast<int64_t>(anywhere(rng) / 4);
        for (int64_t t = 0; t < 20000; ++t) {
            if (t >= nextPublish) {
                published = static_cast<int32_t>(std::floor((t + offset) / 1000));
                nextPublish = t + 250 + drift(rng);
            }
            if (t % FineSync::kPlayingPollMs == 0)
                clock.answer(t + late(rng), published);
        }
        ASSERT_TRUE(clock.offset()) << trial;
        EXPECT_LE(*clock.offset(), offset + 1) << trial;
        EXPECT_GE(*clock.offset(), offset - 60) << trial;
        EXPECT_GE(clock.changes(), 15) << trial;
    }
}

TEST(PlayerClock, APlayerThatMovesByItselfIsLearnedAfresh) {
    PlayerClock clock;
    for (int64_t t = 0; t < 5000; t += 50)
        clock.answer(t, static_cast<int32_t>((t + 3000) / 1000));
    ASSERT_NEAR(*clock.offset(), 3000, 60);
    // It jumped back four seconds behind the station's back: the old bound cannot hold.
    for (int64_t t = 5000; t < 8000; t += 50)
        clock.answer(t, static_cast<int32_t>((t - 1000) / 1000));
    EXPECT_NEAR(*clock.offset(), -1000, 300);
}

TEST(FineSync, OffPlansNothingAndLeavesTheOperatorsCommandsToAll) {
    Simulation sim({1200, 1200, 1200});
    sim.players[1].position = 3000;
    sim.run(5000);
    EXPECT_TRUE(sim.commands.empty());
    EXPECT_EQ(sim.sync.jump(sim.now, 1), (std::vector<int>{0, 1, 2}));
    EXPECT_EQ(sim.sync.seekAll(sim.now, 40), (std::vector<int>{0, 1, 2}));
    EXPECT_FALSE(sim.sync.playPause(sim.now));
    sim.run(2000);
    EXPECT_TRUE(sim.commands.empty());
}

TEST(FineSync, FollowersFarOffAreSoughtNearOnesTrimmedAndCloseOnesLeft) {
    // Switched on while the cameras play: every follower is made to play, a follower 1.8 s
    // ahead is brought over with a seek, one 350 ms behind with a faster rate for a while,
    // one 20 ms off is left alone.
    Simulation sim({1200, 1300, 1250, 1100});
    sim.players[0].position = 10000;
    sim.players[1].position = 11800;
    sim.players[2].position = 9650;
    sim.players[3].position = 10020;
    for (int c : {0, 1, 3})
        sim.players[static_cast<std::size_t>(c)].playing = true;
    sim.sync.setEnabled(true, sim.now);
    sim.run(4000);
    EXPECT_TRUE(sim.sync.playing());
    EXPECT_TRUE(sim.players[2].playing);
    sim.run(36000);
    EXPECT_LT(sim.spread(), 60);
    std::size_t seeks1 = 0, trims2 = 0, touched3 = 0;
    for (const SyncCommand& c : sim.commands) {
        seeks1 += c.channel == 1 && c.code == kSeekCode;
        trims2 += c.channel == 2 && c.code == kRateCode && c.argument > 100;
        touched3 += c.channel == 3 && c.code != kPlayCode;
    }
    EXPECT_GE(seeks1, 1u);
    EXPECT_GE(trims2, 1u);
    EXPECT_EQ(touched3, 0u);
    // Every trim ends at normal speed; only rates the relay writes faithfully are used.
    for (std::size_t c = 0; c < sim.players.size(); ++c)
        EXPECT_EQ(sim.players[c].rate, 1.0) << c;
    for (const SyncCommand& c : sim.commands) {
        if (c.code != kRateCode)
            continue;
        EXPECT_TRUE(c.argument == 100 || (c.argument >= 110 && c.argument <= 199) ||
                    (c.argument >= 10 && c.argument <= 99))
            << c.argument;
    }
}

TEST(FineSync, JumpsMoveEveryCameraAndOnceLandingsAreKnownAllLandTogether) {
    Simulation sim({1200, 1500, 1000});
    sim.sync.setEnabled(true, sim.now);
    ASSERT_TRUE(sim.sync.playPause(sim.now)); // from where Load left them: all at the start
    sim.run(20000);
    ASSERT_LT(sim.spread(), 60);
    // F3: no key for anyone; every camera is sought to the current one's second plus one.
    const double before = sim.players[0].position;
    EXPECT_TRUE(sim.sync.jump(sim.now, 1).empty());
    sim.run(16000);
    EXPECT_NEAR(sim.players[0].position, before + 16000 + 1000 - 1200, 500);
    EXPECT_LT(sim.spread(), 60);
    // Now each player's landing is known: a seek-bar jump lands them all within 3 s, the
    // slow one sent first.
    const std::size_t had = sim.commands.size();
    EXPECT_TRUE(sim.sync.seekAll(sim.now, 100).empty());
    sim.run(3000);
    EXPECT_LT(sim.spread(), 200);
    std::vector<int64_t> sent(3, 0);
    for (std::size_t k = had; k < sim.commands.size(); ++k)
        if (sim.commands[k].code == kSeekCode)
            sent[static_cast<std::size_t>(sim.commands[k].channel)] = sim.commands[k].atMs;
    EXPECT_LT(sent[1], sent[0]);
    EXPECT_LT(sent[0], sent[2]);
    EXPECT_NEAR(static_cast<double>(sent[0] - sent[1]), 300, 120);
}

TEST(FineSync, PauseAndPlayKeepTheTimelineAndNoTrimUndoesTheOperator) {
    Simulation sim({1200, 1200, 1200});
    sim.sync.setEnabled(true, sim.now);
    sim.sync.playPause(sim.now);
    sim.run(20000);
    ASSERT_LT(sim.spread(), 60);
    // F1: all pause at once; standing, no trim goes out; a follower moved to another second
    // is brought to the current camera's second.
    EXPECT_FALSE(sim.sync.playPause(sim.now));
    sim.run(500);
    for (const SimPlayer& p : sim.players)
        EXPECT_FALSE(p.playing);
    sim.players[2].position += 5000;
    const std::size_t rates = sim.count(kRateCode);
    sim.run(5000);
    EXPECT_EQ(sim.count(kRateCode), rates);
    EXPECT_EQ(std::floor(sim.players[2].position / 1000),
              std::floor(sim.players[0].position / 1000));
    // F1 again: all play, each from the current camera's picture.
    sim.players[1].position = sim.players[0].position + 120; // stood 120 ms ahead
    sim.sync.playPause(sim.now);
    sim.run(3000);
    for (const SimPlayer& p : sim.players)
        EXPECT_TRUE(p.playing);
    // F5 (the players' own speed): no rate until BackSpace, whatever the offsets.
    sim.sync.operatorRate(sim.now, false);
    sim.players[1].position += 400;
    const std::size_t held = sim.count(kRateCode);
    sim.run(15000);
    EXPECT_EQ(sim.count(kRateCode), held);
    sim.sync.operatorRate(sim.now, true);
    sim.run(30000);
    EXPECT_GT(sim.count(kRateCode), held);
    EXPECT_LT(sim.spread(), 60);
}

TEST(FineSync, TheFirstStartFromTheRecordingsStartTeachesHowFarEachPlayersAnswersLead) {
    // Players whose answers run ahead of their pictures by different amounts: started together
    // from the start of the recording, each shows the same picture; the controller learns the
    // leads from that start rather than trimming the players apart by them.
    Simulation sim({1200, 1200, 1200});
    sim.players[0].lead = 700;
    sim.players[1].lead = 580;
    sim.players[2].lead = 820;
    sim.players[2].position = 160; // where Load left it, not quite at the start
    sim.sync.setEnabled(true, sim.now);
    sim.sync.playPause(sim.now);
    sim.run(60000);
    EXPECT_LT(sim.spread(), 40);
    ASSERT_TRUE(sim.sync.lead(1) && sim.sync.lead(2));
    EXPECT_NEAR(*sim.sync.lead(1) - *sim.sync.lead(0), -120, 40);
    EXPECT_NEAR(*sim.sync.lead(2) - *sim.sync.lead(0), 120, 40);
}

TEST(FineSync, RateCodesAreOnlyThoseTheRelayWritesFaithfully) {
    EXPECT_EQ(rateCode(0), 100);
    EXPECT_EQ(rateCode(5), 110); // "rate 1.5" would be 105: the smallest step up is 1.10
    EXPECT_EQ(rateCode(25), 125);
    EXPECT_EQ(rateCode(-5), 95);
    EXPECT_EQ(rateCode(-50), 50);
    EXPECT_EQ(rateCode(-95), 10);
}
