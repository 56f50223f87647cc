// Load, the seek bar and shutdown with video players: the stand-in, and once the real VLC.
#include "control/Open.h"
#include "control/station.h"
#include "core/settings.h"
#include "player_fixture.h"
#include "stand_in.h"
#include "ui_Player.h"

#include <QElapsedTimer>
#include <QFile>
#include <QKeyEvent>
#include <QListWidget>
#include <sys/stat.h>

using namespace testing_support;

using Load = PlayerFixture;

TEST_F(Load, FourFilesArePlacedLayeredConnectedAndMeasured) {
    recording(4);
    start();
    form->ui()->CheckBox1->setChecked(false); // "Double-Wide" off
    form->ui()->Button1->click();
    EXPECT_EQ(form->fileCount, 4);
    for (int i = 0; i < 4; ++i) {
        const int port = 9000 + i;
        const auto starts = events("start", port);
        ASSERT_EQ(starts.size(), 1u) << port;
        const QStringList args = starts[0]["args"].toVariant().toStringList();
        EXPECT_EQ(args.value(0), "") << "the player's own name is empty";
        EXPECT_TRUE(args.contains("--scale=1"));
        EXPECT_FALSE(args.contains("--aspect-ratio"));
        EXPECT_FALSE(args.contains("--dummy-quiet"));
        EXPECT_EQ(starts[0]["media"].toString().toStdString(),
                  dir + "/rec/take" + std::to_string(i) + "_st.mpg");
        // Found, retitled to its camera digit, placed as a tile, layered opaque.
        const platform::WindowHandle w = form->vlcWindow[i];
        ASSERT_NE(w, 0u);
        EXPECT_EQ(platform::getWindowText(w), std::to_string(i));
        platform::WindowGeometry g{};
        ASSERT_TRUE(platform::windowGeometry(w, g));
        EXPECT_EQ(g.x, 480 * i);
        EXPECT_EQ(g.y, 810);
        EXPECT_EQ(g.width, 480);
        EXPECT_EQ(g.height, 270);
        EXPECT_EQ(platform::windowAlpha(w), 255);
        // End, then Left.
        EXPECT_EQ(keysOf(port), (std::vector<std::string>{"End", "Left"}));
        // Logged in, then asked for the length.
        ASSERT_TRUE(processUntil([&] { return !lines(port).empty(); }));
        // With the secret of its own, which its relay alone was told (never "qopra").
        const QString secret = events("password", port).at(0)["text"].toString();
        EXPECT_EQ(secret.size(), 32);
        EXPECT_NE(secret, "qopra");
        QFile told(QString::fromStdString(station::openPlayerProfiles()) + "/" +
                   QString::number(port) + "/secret");
        ASSERT_TRUE(told.open(QIODevice::ReadOnly));
        EXPECT_EQ(told.readAll(), secret.toLatin1());
        EXPECT_EQ(lines(port).at(0), "get_length");
        EXPECT_EQ(form->channelState[i], 1);
    }
    // The seek bar takes the longest length; polling is on.
    ASSERT_TRUE(processUntil([&] { return form->ui()->TrackBar1->maximum() == 125; }));
    EXPECT_EQ(form->ui()->LCDNumber3->intValue(), 2);
    EXPECT_EQ(form->ui()->LCDNumber4->intValue(), 5);
    EXPECT_FALSE(form->lengthPhaseFlag);
    EXPECT_TRUE(form->pollingFlag);
    // The players are asked for their position and the displays follow.
    ASSERT_TRUE(processUntil(
        [&] { return !lines(9001).empty() && lines(9001).back() == "get_time"; }, 3000));
}

TEST_F(Load, DraggingTheFocusedSeekBarSeeksEveryPlayer) {
    recording(2);
    writeNames("a\nb");
    start();
    form->ui()->Button1->click();
    form->pollingFlag = false; // only the seek bar speaks now
    // The players took the input focus while loading: give it back as Load's end does.
    platform::setForegroundWindow(form->winId());
    ASSERT_TRUE(processUntil([&] { return form->isActiveWindow(); }));
    form->ui()->TrackBar1->setFocus();
    ASSERT_TRUE(processUntil([&] { return form->seekBarFocus; }));
    // A move of the program's (the repaint, to the reference time) is silent, focus or not.
    form->referenceTime = 12;
    form->repaint();
    EXPECT_EQ(form->ui()->TrackBar1->value(), 12);
    EXPECT_EQ(form->ui()->LCDNumber2->intValue(), 12);
    drag(form->ui()->TrackBar1, 61);
    EXPECT_EQ(form->ui()->LCDNumber1->intValue(), 1);
    EXPECT_EQ(form->ui()->LCDNumber2->intValue(), 1);
    for (int port : {9000, 9001}) {
        EXPECT_TRUE(processUntil([&] {
            const auto l = lines(port);
            return std::find(l.begin(), l.end(), "seek 61") != l.end();
        })) << port;
        const auto l = lines(port);
        EXPECT_EQ(std::find(l.begin(), l.end(), "seek 12"), l.end()) << port;
    }
    // Without the focus a change of the seek bar only updates the displays.
    form->ui()->Button0->setFocus();
    form->ui()->Panel3->setFocus();
    ASSERT_TRUE(processUntil([&] { return !form->seekBarFocus; }));
    drag(form->ui()->TrackBar1, 100);
    processFor(300);
    for (int port : {9000, 9001}) {
        const auto l = lines(port);
        EXPECT_EQ(std::find(l.begin(), l.end(), "seek 100"), l.end());
    }
}

TEST_F(Load, PreviewOffLayersThePlayersAlmostInvisible) {
    recording(1);
    writeNames("a");
    start();
    form->ui()->CheckBox3->setChecked(false);
    form->ui()->Button1->click();
    EXPECT_EQ(platform::windowAlpha(form->vlcWindow[0]), 1);
}

TEST_F(Load, MoreFilesThanChannelsAndAPathWithABlank) {
    recording(3, "my recordings");
    writeNames("a\nb");
    start();
    form->ui()->Button1->click();
    ASSERT_EQ(form->fileCount, 3);
    // The third file has no relay to drive its player: it gets none (it would only listen on
    // its port), and the operator is told.
    EXPECT_EQ(form->vlcWindow[2], 0u);
    EXPECT_EQ(form->channelState[2], 0);
    processFor(500);
    EXPECT_TRUE(events("start", 9002).empty());
    EXPECT_EQ(boxes, (std::vector<std::string>{"Vorbelt Player: No relay drives camera 3 (one "
                                               "relay runs per camera name): its file is not "
                                               "played."}));
    EXPECT_EQ(events("start", 9001).at(0)["media"].toString().toStdString(),
              dir + "/my recordings/take1_st.mpg");
    // A player with tile placement exists for channel 0 at 1920 / 2 wide.
    platform::WindowGeometry g{};
    ASSERT_TRUE(platform::windowGeometry(form->vlcWindow[0], g));
    EXPECT_EQ(g.width, 960);
    // Closing ends every player, also the one beyond the channels.
    std::vector<platform::ProcessId> players;
    for (int i = 0; i < 2; ++i)
        players.push_back(form->vlcProcessId[i]);
    form->close();
    for (auto pid : players)
        EXPECT_TRUE(waitUntil([&] { return !platform::processRunning(pid); })) << pid;
}

TEST_F(Load, MainWindowIsKeyedRedAfterActivation) {
    writeNames("a");
    start();
    form->activateWindow();
    ASSERT_TRUE(processUntil([&] { return form->mainWindowHandle != 0; }));
    EXPECT_EQ(platform::getWindowLong(form->mainWindowHandle, platform::GWL_EXSTYLE_INDEX),
              platform::WS_EX_LAYERED_STYLE);
    // The control panel stays, the red background is cut out.
    ASSERT_TRUE(processUntil([&] { return !form->mask().isEmpty(); }));
    EXPECT_TRUE(form->mask().contains(QPoint(100, 100)));   // on the control panel
    EXPECT_FALSE(form->mask().contains(QPoint(1200, 500))); // bare red window
    // The opacity track bar puts the window into alpha mode at once.
    form->ui()->TrackBar2->setValue(4);
    EXPECT_EQ(platform::windowAlpha(form->mainWindowHandle), 101);
}

// --- the whole chain with the real VLC -------------------------------------------------------

TEST_F(Load, RealVideoPlayersArePlacedAndKeptInStep) {
    if (access("/usr/bin/vlc", X_OK) != 0 || access("/usr/bin/ffmpeg", X_OK) != 0)
        GTEST_SKIP() << "VLC or ffmpeg is not installed here; the test command installs both";
    const std::string rec = dir + "/real";
    mkdir(rec.c_str(), 0755);
    chmod(dir.c_str(), 0755);
    const char* sources[] = {"testsrc", "testsrc2", "smptebars", "rgbtestsrc"};
    for (int k = 0; k < 4; ++k) {
        const std::string make = "ffmpeg -loglevel error -f lavfi -i " + std::string(sources[k]) +
                                 "=size=320x180:rate=25:duration=40 -c:v mpeg2video -b:v 1M "
                                 "-g 12 -f vob '" +
                                 rec + "/cam" + std::to_string(k) + "_st.mpg'";
        ASSERT_EQ(std::system(make.c_str()), 0);
    }
    setenv("VORBELT_VIDEO_PLAYER_PROGRAM",
           (std::string(VORBELT_SOURCE_DIR) + "/tools/vlc-as-user").c_str(), 1);
    chosen = QString::fromStdString(rec + "/cam2_st.mpg");
    TFrame1::setDialogHook([this](QFileDialog&) { return chosen; });
    start();
    form->ui()->Button1->click();
    ASSERT_EQ(form->fileCount, 4);
    for (int i = 0; i < 4; ++i) {
        ASSERT_NE(form->vlcWindow[i], 0u) << i;
        EXPECT_EQ(platform::getWindowText(form->vlcWindow[i]), std::to_string(i));
        platform::WindowGeometry g{};
        ASSERT_TRUE(platform::windowGeometry(form->vlcWindow[i], g));
        EXPECT_EQ(g.x, 480 * i);
        EXPECT_EQ(g.y, 810);
    }
    // VLC reports the length in whole seconds, rounded down.
    ASSERT_TRUE(processUntil([&] { return form->ui()->TrackBar1->maximum() >= 39; }, 5000));
    EXPECT_EQ(form->ui()->LCDNumber3->intValue(), 0);
    // The position displays advance. (Load paused the players with End; play them.)
    for (int i = 0; i < 4; ++i)
        platform::postMessage(form->relayWindow[i], 0xD000, 17, 0); // "play"
    ASSERT_TRUE(processUntil([&] { return form->referenceTime >= 2; }, 6000));
    EXPECT_EQ(form->ui()->LCDNumber2->intValue(), form->referenceTime % 60);
    // A key posted to the current player moves its position.
    const int32_t before = form->referenceTime;
    for (int k = 0; k < 5; ++k)
        platform::postMessage(form->vlcWindow[0], platform::WM_KEYDOWN_MESSAGE,
                              platform::VK_RIGHT_KEY, 0);
    ASSERT_TRUE(processUntil([&] { return form->referenceTime >= before + 5; }, 4000));
    // After a seek every player stands at the second asked, give or take where it lands.
    // ("Always Play" keeps the report reader from pulling them every second: a playing VLC
    // lands a seek in an MPEG-PS file 1.0-1.3 s late, on a frame that differs from file to
    // file, so each pull would set a player back by that much.) Two players that landed 1.3 s
    // apart can answer whole seconds 2 apart; one that missed the seek stands some 20 apart.
    form->ui()->CheckBox2->setChecked(true);
    platform::setForegroundWindow(form->winId());
    ASSERT_TRUE(processUntil([&] { return form->isActiveWindow(); }));
    form->ui()->TrackBar1->setFocus();
    ASSERT_TRUE(processUntil([&] { return form->seekBarFocus; }));
    drag(form->ui()->TrackBar1, 25);
    form->ui()->Panel3->setFocus();
    // Each poll round reports all four positions within a few milliseconds of each other.
    processFor(3500);
    int spread = 99;
    for (int round = 0; round < 3; ++round) {
        processFor(1000);
        int lo = 1 << 30, hi = -1;
        for (int i = 0; i < 4; ++i) {
            const int position =
                form->lastReportText[i].empty() ? -99 : std::stoi(form->lastReportText[i]);
            lo = std::min(lo, position);
            hi = std::max(hi, position);
        }
        std::printf("positions spread %d s (reference %d)\n", hi - lo, form->referenceTime.load());
        spread = std::min(spread, hi - lo);
    }
    EXPECT_GE(form->referenceTime, 24);
    EXPECT_LE(spread, 2);
    // Exit leaves no player behind.
    std::vector<platform::ProcessId> players;
    for (int i = 0; i < 4; ++i)
        players.push_back(form->vlcProcessId[i]);
    form->ui()->Button0->click();
    for (auto pid : players)
        EXPECT_TRUE(waitUntil([&] { return !platform::processRunning(pid); })) << pid;
}

TEST_F(Load, APlayerWithoutAWindowIsAskedAboutAndGivenUp) {
    // The question comes at the 1002nd poll, about 100 s after the start, as designed.
    recording(1);
    writeNames("a");
    setenv("STAND_IN_NO_WINDOW", "1", 1);
    start();
    answer = BoxAnswer::Cancel;
    form->ui()->Button1->click();
    unsetenv("STAND_IN_NO_WINDOW");
    ASSERT_EQ(boxes.size(), 2u);
    // The question names the file it waits for; the player that never showed a window is
    // ended and its camera not shown as loaded.
    EXPECT_EQ(boxes[0], "Player Not Responding!: Wait more?\n" + dir + "/rec/take0_st.mpg");
    EXPECT_NE(boxes[1].find("showed no window"), std::string::npos) << boxes[1];
    EXPECT_EQ(form->vlcWindow[0], 0u);
    EXPECT_EQ(form->channelState[0], 0);
    processFor(700);
    EXPECT_TRUE(events("password", 9000).empty());
    EXPECT_TRUE(events("key", 9000).empty());
}

TEST_F(Load, APlayerThatEndsAtOnceIsNotWaitedFor) {
    // A broken file or a player program that fails: no window will come, and none is awaited.
    recording(2);
    writeNames("a\nb");
    setenv("VORBELT_VIDEO_PLAYER_PROGRAM", "/bin/false", 1);
    start();
    QElapsedTimer t;
    t.start();
    form->ui()->Button1->click();
    EXPECT_LT(t.elapsed(), 8000); // the designed sleeps only, not 100 s per file
    // Each such player is named, with how it ended; neither camera is shown loaded.
    ASSERT_EQ(boxes.size(), 2u);
    EXPECT_EQ(boxes[0], "Vorbelt Player: The video player \"/bin/false\" of camera 1 ended "
                        "before its window appeared (exit status 1).");
    EXPECT_EQ(form->vlcWindow[0], 0u);
    EXPECT_EQ(form->vlcWindow[1], 0u);
    EXPECT_EQ(form->channelState[0], 0);
    EXPECT_EQ(form->channelState[1], 0);
}

// --- keys --------------------------------------------------------------------------------------

TEST_F(Load, TransportKeysReachEveryPlayerAndF1SeeksEveryRelay) {
    recording(2);
    writeNames("a\nb");
    start();
    form->ui()->Button1->click();
    form->pollingFlag = false;
    // Shift+F2 acts as F2; a key pressed in a bound control is taken too.
    press(form.get(), Qt::Key_F2, Qt::ShiftModifier);
    press(form->ui()->CheckBox1, Qt::Key_F3);
    press(form->ui()->Button0, Qt::Key_F9);
    press(form.get(), Qt::Key_A); // letters do nothing
    press(form.get(), Qt::Key_F6);
    const bool wide = form->ui()->CheckBox1->isChecked();
    press(form->ui()->CheckBox1, Qt::Key_Space); // F12 is Space to VLC; Space itself is swallowed
    EXPECT_EQ(form->ui()->CheckBox1->isChecked(), wide);
    const std::vector<std::string> expected = {"End", "Left", "Left", "Right", "Insert"};
    for (int port : {9000, 9001})
        EXPECT_TRUE(processUntil([&] { return keysOf(port) == expected; }))
            << port << ": " << keysOf(port).size();
    // F1: Home to the current player only, the seek bar's second to every relay.
    form->ui()->TrackBar1->setMaximum(125);
    form->ui()->TrackBar1->setValue(42);
    press(form.get(), Qt::Key_F1);
    EXPECT_TRUE(processUntil([&] { return keysOf(9000).size() == 6; }));
    EXPECT_EQ(keysOf(9000).back(), "Home");
    for (int port : {9000, 9001})
        EXPECT_TRUE(processUntil([&] {
            const auto l = lines(port);
            return std::find(l.begin(), l.end(), "seek 42") != l.end();
        })) << port;
    processFor(200);
    EXPECT_EQ(keysOf(9001).size(), 5u);
}

TEST_F(Load, LayoutKeysResizeAndLayTheTilesOut) {
    writeNames("1\n2\n3\n4\n5");
    start();
    press(form.get(), Qt::Key_Minus);
    EXPECT_EQ(form->geometry(), QRect(0, 0, 1366, 768));
    press(form.get(), Qt::Key_Plus);
    EXPECT_EQ(form->size(), QSize(1920, 1080));
    EXPECT_EQ(form->tileWidth, 384);
    EXPECT_EQ(form->tileHeight, 216);
    for (int k = 0; k < 5; ++k)
        EXPECT_EQ(form->labelTile(k)->geometry(), QRect(384 * k, 1060, 384, 20)) << k;
    EXPECT_EQ(form->fullViewOrigin, 0); // the Xvfb desktop is 1920 wide
}

TEST_F(Load, CameraButtonsAndLabelTilesChooseTheCameraShownFullSize) {
    recording(4);
    start();
    form->ui()->Button1->click();
    form->pollingFlag = false;
    auto geometryOf = [&](int channel) {
        platform::WindowGeometry g{};
        platform::windowGeometry(form->vlcWindow[channel], g);
        return QRect(g.x, g.y, g.width, g.height);
    };
    form->cameraButton(3)->click(); // channel 2
    EXPECT_EQ(form->currentChannel, 2);
    EXPECT_EQ(form->channelState[2], 3);
    EXPECT_EQ(form->channelState[0], 1);
    EXPECT_EQ(geometryOf(2), QRect(0, 0, 1920, 1080));
    EXPECT_EQ(geometryOf(0), QRect(0, 810, 480, 270)) << "the old camera back in its tile";
    EXPECT_EQ(platform::windowAlpha(form->vlcWindow[2]), 255);
    ASSERT_TRUE(processUntil([&] { return events("key", 9000).size() == 3; }));
    EXPECT_EQ(events("key", 9000).back()["key"].toString(), "End");
    // A button of a channel that was never loaded leaves the choice as it was.
    form->cameraButton(6)->click();
    EXPECT_EQ(form->currentChannel, 2);
    EXPECT_EQ(geometryOf(2), QRect(0, 0, 1920, 1080));
    // A label tile chooses its own channel.
    form->ImageMouseDown(1);
    EXPECT_EQ(form->currentChannel, 1);
    EXPECT_EQ(form->channelState[1], 3);
    EXPECT_EQ(form->channelState[2], 1);
    EXPECT_EQ(geometryOf(2), QRect(960, 810, 480, 270));
    // Key 4 clicks button 4 and makes channel 3 current; Tab from 3 of 4 wraps to button 1.
    QKeyEvent four(QEvent::KeyPress, Qt::Key_4, Qt::NoModifier);
    QCoreApplication::sendEvent(form.get(), &four);
    EXPECT_EQ(form->currentChannel, 3);
    QKeyEvent tab(QEvent::KeyPress, Qt::Key_Tab, Qt::NoModifier);
    QCoreApplication::sendEvent(form.get(), &tab);
    EXPECT_EQ(form->currentChannel, 0);
    EXPECT_EQ(geometryOf(0), QRect(0, 0, 1920, 1080));
}

TEST_F(Load, TransportStripZonesAndPointerOverThePanels) {
    recording(2);
    writeNames("a\nb");
    start();
    form->ui()->Button1->click();
    form->pollingFlag = false;
    form->cameraButton(1)->click(); // channel 0 current, channel 1 in its tile
    const std::size_t before = keysOf(9001).size();
    for (int x : {26, 50, 150, 151})
        form->Image7MouseDown(x);
    const std::vector<std::string> tail = {"Left", "Left", "Insert", "Space"};
    ASSERT_TRUE(processUntil([&] { return keysOf(9001).size() == before + 4; }));
    const auto keys = keysOf(9001);
    EXPECT_EQ(std::vector<std::string>(keys.end() - 4, keys.end()), tail);
    // X 25 is Play/Pause: Home to the current player and a seek to every relay.
    form->ui()->TrackBar1->setMaximum(125);
    form->ui()->TrackBar1->setValue(7);
    form->Image7MouseDown(25);
    ASSERT_TRUE(processUntil([&] { return keysOf(9000).back() == "Home"; }));
    for (int port : {9000, 9001})
        EXPECT_TRUE(processUntil([&] {
            const auto l = lines(port);
            return std::find(l.begin(), l.end(), "seek 7") != l.end();
        })) << port;

    // Control panel, bare window, control panel: the other camera hides and shows again.
    form->Panel3MouseMove();
    EXPECT_FALSE(form->hoverFlag);
    form->ImageMouseMove();
    EXPECT_TRUE(form->hoverFlag);
    EXPECT_EQ(platform::windowAlpha(form->vlcWindow[1]), 1);
    form->Panel3MouseMove();
    EXPECT_FALSE(form->hoverFlag);
    EXPECT_EQ(platform::windowAlpha(form->vlcWindow[1]), 255);
    form->Frame11MouseMove(); // the flag is already down: nothing changes
    EXPECT_EQ(platform::windowAlpha(form->vlcWindow[1]), 255);
    form->PanelExit();
    EXPECT_TRUE(form->hoverFlag);
    // Pointing at a camera button marks its channel; the picture clears the mark.
    form->LabelMouseMove(2);
    EXPECT_EQ(form->channelState[1], 2);
    form->Panel1MouseMove();
    EXPECT_EQ(form->channelState[1], 1);
}

TEST_F(Load, EightPlayersTakeEveryKeyAndTheLastTileShowsTheEighth) {
    writeNames("1\n2\n3\n4\n5\n6\n7\n8");
    recording(8);
    start();
    form->ui()->Button1->click();
    ASSERT_EQ(form->fileCount, 8);
    form->pollingFlag = false;
    press(form.get(), Qt::Key_F2);
    for (int port = 9000; port < 9008; ++port)
        EXPECT_TRUE(processUntil([&] { return keysOf(port).size() == 3; })) << port;
    auto geometryOf = [&](int channel) {
        platform::WindowGeometry g{};
        platform::windowGeometry(form->vlcWindow[channel], g);
        return QRect(g.x, g.y, g.width, g.height);
    };
    // The eighth label tile (there is no eighth camera button) shows channel 7.
    form->ImageMouseDown(7);
    EXPECT_EQ(form->currentChannel, 7);
    EXPECT_EQ(geometryOf(7), QRect(0, 0, 1920, 1080));
    // Tab from channel 6 of 8 would need an eighth button: nothing happens.
    form->ImageMouseDown(6);
    press(form.get(), Qt::Key_Tab);
    EXPECT_EQ(form->currentChannel, 6);
    EXPECT_EQ(geometryOf(7), QRect(7 * 240, 945, 240, 135)) << "back in its tile";
    // A full-view origin of -3840 shows the camera at 3840 x 2160.
    form->fullViewOrigin = -3840;
    form->ImageMouseDown(2);
    EXPECT_EQ(geometryOf(2), QRect(-3840, 0, 3840, 2160));
}

TEST_F(Load, KeyFiveWithFourLoadedLeavesNoCurrentPlayerButF1StillSeeksEveryRelay) {
    recording(4);
    start();
    form->ui()->Button1->click();
    form->pollingFlag = false;
    press(form.get(), Qt::Key_5);
    EXPECT_EQ(form->currentChannel, 4);
    // Load's End and Left everywhere, and the End that channel 0 got on losing the choice.
    ASSERT_TRUE(processUntil([&] { return keysOf(9000).size() == 3; }));
    std::vector<std::size_t> before;
    for (int port = 9000; port < 9004; ++port)
        before.push_back(keysOf(port).size());
    // The seek bar where the operator left it (the next repaint moves it to the reference).
    form->ui()->TrackBar1->setMaximum(125);
    form->ui()->TrackBar1->setValue(33);
    press(form.get(), Qt::Key_F1);
    for (int port = 9000; port < 9004; ++port) {
        EXPECT_TRUE(processUntil([&] {
            const auto l = lines(port);
            return std::find(l.begin(), l.end(), "seek 33") != l.end();
        })) << port;
        EXPECT_EQ(keysOf(port).size(), before[port - 9000]) << "no Home to " << port;
    }
}
