// The report readers and the timer thread of the control program, with real relay processes
// and real threads.
#include "control_fixture.h"
#include "stand_in.h"
#include "ui_Player.h"

#include <QElapsedTimer>
#include <thread>

using namespace testing_support;

namespace {

class Reports : public ControlFixture {
protected:
    // Position phase, as after a Load: every channel loaded, channel 0 current.
    void positionPhase(int loaded) {
        form->lengthPhaseFlag = false;
        for (int i = 0; i < loaded; ++i)
            form->channelState[i] = 1;
        form->currentChannel = 0;
    }
    // Code-20 arguments that relay `channel` received.
    std::vector<std::string> seeksOf(int channel) {
        std::vector<std::string> out;
        for (const auto& m : messagesOf(form->relayProcessId[channel]))
            if (m.compare(0, 9, "53248 20 ") == 0)
                out.push_back(m.substr(9));
        return out;
    }
    std::size_t pollsOf(int channel) {
        std::size_t n = 0;
        for (const auto& m : messagesOf(form->relayProcessId[channel]))
            n += m == "53248 22 0";
        return n;
    }
    // Reports handed over by a reader thread, as the pipe would deliver them.
    void report(int channel, const std::string& text) {
        std::thread([&] { form->reportHandling(text.data(), text.size(), channel); }).join();
    }
};

} // namespace

TEST_F(Reports, MainWindowPullsEveryOtherChannelOnEveryReport) {
    start();
    positionPhase(4);
    report(0, "17\r\n> ");
    ASSERT_TRUE(processUntil([&] { return form->referenceTime == 17; }));
    report(1, "17\r\n> "); // at the reference time already: still told to seek
    report(2, "9\r\n> ");
    report(3, "999"); // too short: channel 3 has no number yet, nothing happens
    ASSERT_TRUE(processUntil([&] { return seeksOf(1).size() == 1 && seeksOf(2).size() == 1; }));
    EXPECT_EQ(seeksOf(1), std::vector<std::string>{"17"});
    EXPECT_EQ(seeksOf(2), std::vector<std::string>{"17"});
    EXPECT_TRUE(seeksOf(0).empty());
    processFor(200);
    EXPECT_TRUE(seeksOf(3).empty());
}

TEST_F(Reports, AlwaysPlayLeavesTheOtherChannelsAlone) {
    start();
    positionPhase(2);
    form->ui()->CheckBox2->setChecked(true);
    report(0, "40\r\n> ");
    report(1, "12\r\n> ");
    ASSERT_TRUE(processUntil([&] { return form->referenceTime == 40; }));
    processFor(300);
    EXPECT_TRUE(seeksOf(1).empty());
}

TEST_F(Reports, ReportsOfOneChannelApplyInTheOrderRead) {
    start();
    positionPhase(1);
    std::thread reader([&] {
        for (int k = 100; k < 400; ++k) {
            const std::string text = std::to_string(k) + "\r\n> ";
            form->reportHandling(text.data(), text.size(), 0);
        }
    });
    std::vector<int32_t> seen;
    ASSERT_TRUE(processUntil([&] {
        if (seen.empty() || seen.back() != form->referenceTime)
            seen.push_back(form->referenceTime);
        return form->referenceTime == 399;
    }));
    reader.join();
    EXPECT_TRUE(std::is_sorted(seen.begin(), seen.end()));
}

TEST_F(Reports, OverLongReportIsDroppedAndTheReaderGoesOn) {
    writeNames("a");
    setenv("VORBELT_TEST_RELAY_REPORT", "120\r\n> |@600|305\r\n> ", 1);
    start();
    unsetenv("VORBELT_TEST_RELAY_REPORT");
    platform::postMessage(form->relayWindow[0], 0xD000, 23, 0);
    ASSERT_TRUE(processUntil([&] { return form->ui()->TrackBar1->maximum() == 305; }));
    EXPECT_EQ(form->lastReportText[0], "305");
    EXPECT_FALSE(form->readerFinished(0));
}

TEST_F(Reports, AKilledRelayEndsOnlyItsOwnReader) {
    writeNames("a\nb\nc");
    start();
    for (int j = 0; j < 3; ++j)
        ASSERT_FALSE(form->readerFinished(j));
    const platform::ProcessHandle h = platform::openProcess(form->relayProcessId[1]);
    ASSERT_NE(h, 0);
    ASSERT_TRUE(platform::terminateProcess(h, 0));
    platform::closeProcessHandle(h);
    ASSERT_TRUE(waitUntil([&] { return form->readerFinished(1); }));
    processFor(200);
    EXPECT_FALSE(form->readerFinished(0));
    EXPECT_FALSE(form->readerFinished(2));
}

TEST_F(Reports, TimerPollsLoadedChannelsAboutOnceASecondAndStops) {
    writeNames("a\nb\nc");
    start();
    ASSERT_TRUE(waitUntil([&] { return form->timerThreadRunning(); }));
    form->channelState[1] = 1;
    form->channelState[2] = 3;
    const platform::WindowHandle keep = form->relayWindow[2];
    form->relayWindow[2] = 0; // a channel without a relay window is skipped
    QElapsedTimer t;
    t.start();
    form->pollingFlag = true;
    ASSERT_TRUE(waitUntil([&] { return pollsOf(1) >= 2; }, 4000));
    EXPECT_GE(t.elapsed(), 1900);
    EXPECT_LE(t.elapsed(), 2600);
    EXPECT_EQ(pollsOf(0), 0u);
    EXPECT_EQ(pollsOf(2), 0u);
    form->relayWindow[2] = keep;
    form->pollingFlag = false;
    form->timerRunFlag = false;
    t.restart();
    ASSERT_TRUE(waitUntil([&] { return !form->timerThreadRunning(); }, 2000));
    EXPECT_LE(t.elapsed(), 1200);
}

// Two players at different positions are pulled to the current channel's second.
TEST_F(Reports, PlayersAreKeptAtTheCurrentSecond) {
    useRelay("brellon");
    writeNames("a\nb");
    StandIn::Options at20;
    at20.start = 20;
    at20.length = 60;
    StandIn::Options at5 = at20;
    at5.start = 5;
    StandIn first(9000, at20);
    StandIn second(9001, at5);
    ASSERT_TRUE(first.waitListening());
    ASSERT_TRUE(second.waitListening());
    start();
    for (int j = 0; j < 2; ++j) {
        platform::postMessage(form->relayWindow[j], 0xD000, 3, 0);
        form->channelState[j] = 1;
    }
    ASSERT_TRUE(waitUntil([&] {
        return first.events("password").size() == 1 && second.events("password").size() == 1;
    }));
    form->lengthPhaseFlag = false;
    form->currentChannel = 0;
    form->pollingFlag = true;
    // Within two poll periods the second player has been told to go to the first's second.
    QElapsedTimer t;
    t.start();
    bool pulled = false;
    ASSERT_TRUE(processUntil(
        [&] {
            for (const auto& line : second.lines())
                if (line.rfind("seek 2", 0) == 0 && std::stoi(line.substr(5)) >= 20)
                    pulled = true;
            return pulled;
        },
        2500));
    EXPECT_LE(t.elapsed(), 2500);
    EXPECT_GE(form->referenceTime, 20);
}
