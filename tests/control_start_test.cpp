// The control program's start-up and shutdown with real relay processes: the main window is
// built in this process; the relays are started by it as they are in the station.
#include "child.h"
#include "control/Player.h"
#include "control_fixture.h"
#include "platform/qt/message_box.h"
#include "platform/window.h"
#include "qt_wait.h"
#include "ui_Player.h"

#include <QDir>
#include <QElapsedTimer>
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

using namespace testing_support;

using ControlStart = ControlFixture;

TEST_F(ControlStart, WithoutNamesFileFourRelaysGetTheirChannelHostAndPort) {
    useRelay("brellon");
    start();
    ASSERT_EQ(form->cameraCount(), 4);
    for (int j = 0; j < 4; ++j) {
        EXPECT_GT(form->relayProcessId[j], 0);
        EXPECT_TRUE(platform::processRunning(form->relayProcessId[j]));
        EXPECT_NE(form->pipeInstance[j].load(), 0);
        EXPECT_TRUE(form->readerThread[j].joinable());
        ASSERT_TRUE(waitUntil([&] {
            return platform::findWindow(std::to_string(j)) == form->relayWindow[j].load();
        })) << "relay "
            << j << " titled with its channel";
    }
    EXPECT_EQ(platform::findWindow("Telnet"), 0u);
    EXPECT_EQ(form->relayProcessId[4], 0);
    EXPECT_TRUE(boxes.empty());
}

TEST_F(ControlStart, StartUpCodesReachEachRelayInOrder) {
    start();
    for (int j = 0; j < 4; ++j) {
        const std::vector<std::string> expected = {"53248 0 " + std::to_string(j), "53248 1 0",
                                                   "53248 2 " + std::to_string(9000 + j)};
        EXPECT_TRUE(waitUntil([&] { return messagesOf(form->relayProcessId[j]).size() >= 3; }));
        EXPECT_EQ(messagesOf(form->relayProcessId[j]), expected) << "relay " << j;
    }
}

TEST_F(ControlStart, WindowLayoutForFourCameras) {
    start();
    // Xvfb's screen is 1920 wide: the window stays at the left edge, full view at 0.
    EXPECT_EQ(form->Tag, 0);
    EXPECT_EQ(form->fullViewOrigin, 0);
    EXPECT_EQ(form->width(), 1920);
    EXPECT_EQ(form->height(), 1080);
    EXPECT_EQ(form->tileWidth, 480);
    EXPECT_EQ(form->tileHeight, 270);
    for (int k = 0; k < 4; ++k) {
        EXPECT_EQ(form->labelTile(k)->geometry(), QRect(480 * k, 1060, 480, 20)) << k;
        EXPECT_TRUE(form->labelTile(k)->isVisible());
        EXPECT_TRUE(form->cameraButton(k + 1)->isVisible());
    }
    EXPECT_TRUE(form->labelTile(4)->pixmap().isNull()) << "no tile for a fifth camera";
    EXPECT_FALSE(form->cameraButton(5)->isVisible());
    EXPECT_EQ(form->windowTitle(), "VorbeltPlayer");
    EXPECT_FALSE(form->ui()->GroupBox1->isVisible());
    EXPECT_FALSE(form->ui()->Frame11->isVisible());
    EXPECT_TRUE(form->timerRunFlag);
    EXPECT_FALSE(form->pollingFlag);
    EXPECT_TRUE(form->lengthPhaseFlag);
    EXPECT_FALSE(form->Image7Empty());
}

TEST_F(ControlStart, EightNamesGiveEightChannelsAndSevenButtons) {
    writeNames("a\nb\nc\nd\ne\nf\ng\nh\n");
    start();
    ASSERT_EQ(form->cameraCount(), 8);
    for (int j = 0; j < 8; ++j)
        EXPECT_NE(form->relayWindow[j].load(), 0u) << j;
    for (int tag = 1; tag <= 7; ++tag)
        EXPECT_TRUE(form->cameraButton(tag)->isVisible()) << tag;
    EXPECT_TRUE(form->labelTile(7) == form->ui()->Image8);
    EXPECT_EQ(form->ui()->Image8->geometry(), QRect(7 * 240, 1060, 240, 20));
    EXPECT_TRUE(form->ui()->Image8->isVisible());
}

TEST_F(ControlStart, NineNamesLayOutNoTilesAndNoButtons) {
    writeNames("1\r\n2\r\n3\r\n4\r\n5\r\n6\r\n7\r\n8\r\n9");
    start();
    ASSERT_EQ(form->cameraCount(), 9);
    EXPECT_NE(form->relayWindow[8].load(), 0u);
    for (int tag = 1; tag <= 7; ++tag)
        EXPECT_FALSE(form->cameraButton(tag)->isVisible()) << tag;
    EXPECT_TRUE(form->ui()->Image0->pixmap().isNull());
}

TEST_F(ControlStart, MissingRelayProgramDoesNotHoldUpStartUp) {
    setenv("VORBELT_RELAY_PROGRAM", "/nonexistent/brellon", 1);
    QElapsedTimer t;
    t.start();
    start();
    EXPECT_LT(t.elapsed(), 2000);
    for (int j = 0; j < 4; ++j) {
        EXPECT_EQ(form->relayProcessId[j], -1);
        EXPECT_EQ(form->relayWindow[j].load(), 0u);
        EXPECT_FALSE(form->readerThread[j].joinable());
    }
    EXPECT_TRUE(boxes.empty());
}

TEST_F(ControlStart, RelayThatNeverConnectsIsGivenUpWhenTheOperatorDeclines) {
    writeNames("only");
    setenv("VORBELT_TEST_RELAY_MODE", "no-pipe", 1);
    answer = BoxAnswer::Cancel;
    start();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0], "Relay 0 Not Responding!: Wait more?");
    EXPECT_EQ(form->relayProcessId[0], -1);
    EXPECT_EQ(form->relayWindow[0].load(), 0u);
    // The relay that was given up is not left running.
    EXPECT_TRUE(childrenOf(getpid()).empty());
}

TEST_F(ControlStart, RelayThatDiesBeforeItsWindowGetsTheFailedStartValues) {
    // Opens the pipe, then ends without a window: the wait ends with the relay.
    writeNames("x\ny");
    setenv("VORBELT_RELAY_PROGRAM", "/bin/true", 1);
    start();
    for (int j = 0; j < 2; ++j) {
        EXPECT_EQ(form->relayProcessId[j], -1);
        EXPECT_EQ(form->relayWindow[j].load(), 0u);
    }
}

TEST_F(ControlStart, ClosingTerminatesEveryRelay) {
    start();
    std::vector<platform::ProcessId> relays;
    for (int j = 0; j < 4; ++j)
        relays.push_back(form->relayProcessId[j]);
    QElapsedTimer t;
    t.start();
    form->ui()->Button0->click();
    EXPECT_GE(t.elapsed(), 1800 + 4 * 100);
    EXPECT_FALSE(form->isVisible());
    EXPECT_FALSE(form->timerRunFlag);
    for (auto pid : relays)
        EXPECT_TRUE(waitUntil([&] { return !processExists(pid); })) << pid;
    // Reader threads have seen their pipes end.
    form.reset();
}

TEST_F(ControlStart, ReportsReachTheSeekBarInTheLengthPhase) {
    writeNames("a\nb");
    setenv("VORBELT_TEST_RELAY_REPORT", "301\r\n> ", 1);
    start();
    unsetenv("VORBELT_TEST_RELAY_REPORT");
    platform::postMessage(form->relayWindow[0], 0xD000, 23, 0);
    ASSERT_TRUE(processUntil([&] { return form->ui()->TrackBar1->maximum() == 301; }));
    EXPECT_EQ(form->ui()->LCDNumber3->intValue(), 5);
    EXPECT_EQ(form->ui()->LCDNumber4->intValue(), 1);
    EXPECT_EQ(form->ui()->TrackBar1->tickInterval(), 30);
    EXPECT_EQ(form->lastReportText[0], "301");
}

TEST(ControlProgram, StartsItsRelaysAndEndsThemOnClose) {
    const std::string dir = makeTempDir();
    ASSERT_EQ(chdir(dir.c_str()), 0);
    unsetenv("VORBELT_RELAY_PROGRAM");
    Child station(buildDirectory() + "VorbeltPlayer", {});
    platform::WindowHandle main = 0;
    ASSERT_TRUE(
        waitUntil([&] { return (main = platform::findWindow("VorbeltPlayer")) != 0; }, 15000));
    for (int j = 0; j < 4; ++j)
        EXPECT_NE(platform::findWindow(std::to_string(j)), 0u) << j;
    const std::vector<pid_t> relays = childrenOf(station.pid());
    EXPECT_EQ(relays.size(), 4u);
    ASSERT_TRUE(platform::postMessage(main, platform::WM_CLOSE_MESSAGE, 0, 0));
    EXPECT_EQ(station.wait(10000), 0);
    for (pid_t pid : relays)
        EXPECT_TRUE(waitUntil([&] { return !processExists(pid) || processState(pid) == 'Z'; }))
            << pid;
}

TEST_F(ControlStart, ARefusedPipeFolderIsNamedToTheOperator) {
    // Both places for the report pipe refused: the private runtime folder open to others, and
    // the fallback (root's under /run, another user's in the cache folder) a link.
    const std::string cache = makeTempDir();
    const std::string fallback = getuid() == 0 ? "/run/vorbelt" : cache + "/vorbelt";
    const std::string aside = fallback + ".aside-" + std::to_string(getpid());
    const bool moved = rename(fallback.c_str(), aside.c_str()) == 0;
    ASSERT_EQ(symlink("/", fallback.c_str()), 0);
    const std::string open = makeTempDir();
    chmod(open.c_str(), 0777);
    const std::string runtime = std::getenv("XDG_RUNTIME_DIR");
    setenv("XDG_RUNTIME_DIR", open.c_str(), 1);
    setenv("XDG_CACHE_HOME", cache.c_str(), 1);
    writeNames("a");
    start();
    setenv("XDG_RUNTIME_DIR", runtime.c_str(), 1);
    unsetenv("XDG_CACHE_HOME");
    unlink(fallback.c_str());
    if (moved)
        rename(aside.c_str(), fallback.c_str());
    ASSERT_FALSE(boxes.empty());
    EXPECT_NE(boxes[0].find("Report pipe: The report pipe cannot be made"), std::string::npos);
    EXPECT_NE(boxes[0].find(open + " is open to other users"), std::string::npos) << boxes[0];
    EXPECT_NE(boxes[0].find(fallback + " is a symbolic link"), std::string::npos) << boxes[0];
    // The channel fails to start as a relay without a pipe does.
    EXPECT_EQ(form->relayProcessId[0], -1);
}
