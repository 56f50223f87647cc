// The compact window "Player_gui": the switch from the main window and back, its Load into
// the cell grid, its keys, camera buttons, hover, help and Exit, with real relays and the
// stand-in video players.
#include "control/Guid.h"
#include "player_fixture.h"
#include "ui_Guid.h"
#include "ui_Player.h"

#include <QListWidget>

using namespace testing_support;

namespace {

class Compact : public PlayerFixture {
protected:
    void TearDown() override {
        // The main window's close ends the compact window's players too.
        PlayerFixture::TearDown();
        compact.reset();
        frame.reset();
    }
    // The station's three forms, as the program builds them.
    void startStation() {
        start();
        compact = std::make_unique<TForm2>();
        frame = std::make_unique<TFrame1>();
        form->setCompactWindow(compact.get());
        compact->setFileList(frame.get());
    }
    // '/' in the main window; returns once the compact window is up.
    void switchToCompact() {
        press(form.get(), Qt::Key_Slash);
        ASSERT_TRUE(compact->isVisible());
    }
    QRect geometryOf(platform::WindowHandle w) {
        platform::WindowGeometry g{};
        platform::windowGeometry(w, g);
        return QRect(g.x, g.y, g.width, g.height);
    }
    Ui::Form2& cui() { return *compact->ui(); }
    // The main window activated, so that it knows its own handle.
    void activateMain() {
        form->activateWindow();
        platform::setForegroundWindow(form->winId());
        ASSERT_TRUE(processUntil([&] { return form->mainWindowHandle != 0; }));
    }

    std::unique_ptr<TForm2> compact;
    std::unique_ptr<TFrame1> frame;
};

} // namespace

TEST_F(Compact, HandOverAndHandBackCarryTheWholeState) {
    recording(4);
    startStation();
    form->ui()->Button1->click();
    form->pollingFlag = false;
    form->cameraButton(2)->click();
    form->ui()->TrackBar1->setMaximum(125);
    form->ui()->TrackBar1->setTickInterval(12);
    form->referenceTime = 40;
    form->ui()->LCDNumber3->display(2);
    form->ui()->LCDNumber4->display(5);
    form->ui()->RadioGroup1Item2->setChecked(true);
    form->ui()->CheckBox2->setChecked(true);
    form->ui()->TrackBar2->setValue(6);
    activateMain();
    form->ui()->TrackBar1->setValue(40);
    form->pollingFlag = true;
    form->lengthPhaseFlag = false;

    switchToCompact();
    // (The compact window's first repaint moves its seek bar to its own reference time.)
    EXPECT_EQ(cui().TrackBar1->value(), 40);
    EXPECT_FALSE(form->ui()->Panel3->isVisible());
    ASSERT_TRUE(processUntil([&] { return compact->ownWindowHandle != 0; }));
    EXPECT_EQ(platform::getWindowText(compact->ownWindowHandle), "Player_gui");
    // Activated without the transparency flag: layered, but no alpha of its own.
    EXPECT_EQ(platform::getWindowLong(compact->ownWindowHandle, platform::GWL_EXSTYLE_INDEX),
              platform::WS_EX_LAYERED_STYLE);
    EXPECT_EQ(platform::windowAlpha(compact->ownWindowHandle), 255);
    for (int i = 0; i < TForm2::kRows; ++i) {
        EXPECT_EQ(compact->vlcProcessId[i], form->vlcProcessId[i]) << i;
        EXPECT_EQ(compact->relayProcessId[i], form->relayProcessId[i]) << i;
        EXPECT_EQ(compact->relayWindow[i], form->relayWindow[i]) << i;
        EXPECT_EQ(compact->vlcWindow[i], form->vlcWindow[i]) << i;
        EXPECT_EQ(compact->channelState[i], form->channelState[i]) << i;
        EXPECT_EQ(compact->pipeInstance[i], form->pipeInstance[i]) << i;
    }
    EXPECT_EQ(compact->fileCount, 4);
    EXPECT_EQ(compact->currentChannel, 1);
    EXPECT_EQ(cui().TrackBar1->maximum(), 125);
    EXPECT_EQ(cui().TrackBar1->tickInterval(), 12);
    EXPECT_EQ(cui().LCDNumber3->intValue(), 2);
    EXPECT_EQ(cui().LCDNumber4->intValue(), 5);
    EXPECT_TRUE(cui().RadioGroup1Item2->isChecked());
    EXPECT_TRUE(cui().CheckBox2->isChecked());
    EXPECT_EQ(cui().TrackBar2->value(), 6);
    EXPECT_EQ(cui().Memo1->toPlainText(), form->ui()->Memo1->toPlainText());
    EXPECT_TRUE(compact->pollingFlag);
    EXPECT_FALSE(compact->lengthPhaseFlag);
    EXPECT_EQ(compact->mainWindowHandle, form->mainWindowHandle);
    EXPECT_EQ(compact->Tag, form->Tag);
    EXPECT_EQ(compact->fullViewOrigin, form->fullViewOrigin);
    EXPECT_EQ(compact->font(), form->font());

    // The operator works in the compact window ...
    compact->currentChannel = 3;
    compact->channelState[3] = 3;
    compact->fileCount = 3;
    compact->relayWindow[0] = 12345; // relay windows are never taken back
    cui().TrackBar1->setMaximum(300);
    cui().TrackBar1->setValue(77);
    cui().TrackBar1->setTickInterval(30);
    cui().LCDNumber3->display(5);
    cui().LCDNumber4->display(0);
    cui().TrackBar2->setValue(9);
    cui().RadioGroup1Item0->setChecked(true);
    cui().CheckBox1->setChecked(false);
    cui().CheckBox3->setChecked(false);
    cui().CheckBox4->setChecked(true);
    cui().CheckBox5->setChecked(true);
    cui().CheckBox6->setChecked(true);
    cui().Memo1->setPlainText("north\nsouth\neast\nwest");
    compact->pollingFlag = false;
    compact->lengthPhaseFlag = true;
    const platform::WindowHandle relay0 = form->relayWindow[0];

    // ... and the main window's next key takes it all back; the compact window stays.
    press(form.get(), Qt::Key_A);
    EXPECT_TRUE(compact->isVisible());
    EXPECT_EQ(form->currentChannel, 3);
    EXPECT_EQ(form->channelState[3], 3);
    EXPECT_EQ(form->fileCount, 3);
    EXPECT_EQ(form->relayWindow[0], relay0);
    EXPECT_EQ(form->ui()->TrackBar1->maximum(), 300);
    EXPECT_EQ(form->ui()->TrackBar1->value(), 77);
    EXPECT_EQ(form->ui()->TrackBar1->tickInterval(), 30);
    EXPECT_EQ(form->ui()->LCDNumber1->intValue(), 1) << "the seek bar's change handling ran";
    EXPECT_EQ(form->ui()->LCDNumber3->intValue(), 5);
    EXPECT_EQ(form->ui()->LCDNumber4->intValue(), 0);
    EXPECT_EQ(form->ui()->TrackBar2->value(), 9);
    EXPECT_TRUE(form->ui()->RadioGroup1Item0->isChecked());
    EXPECT_FALSE(form->ui()->CheckBox1->isChecked());
    EXPECT_FALSE(form->ui()->CheckBox3->isChecked());
    EXPECT_TRUE(form->ui()->CheckBox4->isChecked());
    EXPECT_TRUE(form->ui()->CheckBox5->isChecked());
    EXPECT_TRUE(form->ui()->CheckBox6->isChecked());
    EXPECT_TRUE(form->transparencyFlag);
    EXPECT_EQ(form->ui()->Memo1->toPlainText(), "north\nsouth\neast\nwest");
    EXPECT_FALSE(form->pollingFlag);
    EXPECT_TRUE(form->lengthPhaseFlag);
    EXPECT_FALSE(form->ui()->Panel3->isVisible()) << "taking back does not show the panel";

    // '/' again while the compact window is shown: nothing beyond the taking back.
    compact->currentChannel = 0;
    press(form.get(), Qt::Key_Slash);
    EXPECT_EQ(form->currentChannel, 0);
    EXPECT_TRUE(compact->isVisible());
    EXPECT_FALSE(form->ui()->Panel3->isVisible());

    // '/' in the compact window: it hides, and the keys it posts show the control panel.
    press(compact.get(), Qt::Key_Slash);
    EXPECT_FALSE(compact->isVisible());
    EXPECT_TRUE(processUntil([&] { return form->ui()->Panel3->isVisible(); }));
}

TEST_F(Compact, LoadStartsPlayersIntoTheCellGridAndConnectsTheRelays) {
    writeNames("1\n2\n3\n4\n5\n6\n7\n8");
    recording(8);
    startStation();
    switchToCompact();
    cui().Button1->click();
    ASSERT_EQ(compact->fileCount, 8);
    EXPECT_TRUE(compact->pollingFlag);
    EXPECT_FALSE(compact->lengthPhaseFlag);
    const QPoint cells[] = {{640, 0}, {1280, 0},  {640, 360}, {1280, 360},
                            {0, 720}, {640, 720}, {1280, 720}};
    for (int j = 0; j < 8; ++j) {
        const platform::WindowHandle w = compact->vlcWindow[j];
        ASSERT_NE(w, 0u) << j;
        EXPECT_EQ(platform::getWindowText(w), std::to_string(j)) << "titled by its row";
        EXPECT_EQ(compact->channelState[j], 1);
        if (j < 7) {
            EXPECT_EQ(geometryOf(w), QRect(cells[j], QSize(640, 360))) << j;
        }
        EXPECT_EQ(keysOf(9000 + j), (std::vector<std::string>{"End", "Left"})) << j;
        // Codes 3 and 23: the relay logged in and asked for the length.
        EXPECT_TRUE(processUntil([&] { return !lines(9000 + j).empty(); })) << j;
        EXPECT_EQ(lines(9000 + j).at(0), "get_length") << j;
    }
    // The eighth window is not placed: it stays where the player opened it.
    const auto placed = events("geometry", 9007);
    ASSERT_FALSE(placed.empty());
    for (const char* field : {"x", "y", "width", "height"})
        EXPECT_EQ(placed.back()[field].toInt(), placed.front()[field].toInt()) << field;
    // Reports now reach the compact window: its seek bar takes the length.
    EXPECT_TRUE(processUntil([&] { return cui().TrackBar1->maximum() == 125; }));
    EXPECT_EQ(form->ui()->TrackBar1->maximum(), 0);
}

TEST_F(Compact, ALoadRightAfterTheHandOverEndsTheMainWindowsPlayers) {
    recording(4);
    startStation();
    form->ui()->Button1->click();
    form->pollingFlag = false;
    std::vector<platform::ProcessId> before(form->vlcProcessId, form->vlcProcessId + 4);
    const std::vector<platform::ProcessId> relays(form->relayProcessId, form->relayProcessId + 4);
    switchToCompact();
    cui().CheckBox3->setChecked(false); // "Preview" off: the new players almost invisible
    cui().Button1->click();
    for (int i = 0; i < 4; ++i) {
        EXPECT_TRUE(waitUntil([&] { return !platform::processRunning(before[i]); })) << i;
        EXPECT_TRUE(platform::processRunning(relays[i])) << "relays stay";
        EXPECT_NE(compact->vlcProcessId[i], before[i]);
        EXPECT_EQ(platform::windowAlpha(compact->vlcWindow[i]), 1);
        // Each relay connected once more, to its new player.
        EXPECT_TRUE(processUntil([&] { return events("password", 9000 + i).size() == 2; })) << i;
    }
}

TEST_F(Compact, KeysCameraButtonsHoverAndHelp) {
    writeNames("1\n2\n3");
    recording(3);
    startStation();
    switchToCompact();
    cui().Button1->click();
    compact->pollingFlag = false;
    form->pollingFlag = false;
    const QRect before = compact->geometry();
    // Camera 1, then camera 2: camera 1 goes back to its cell, camera 2 to full view.
    compact->ButtonClick(1);
    compact->ButtonClick(2);
    EXPECT_EQ(compact->currentChannel, 1);
    EXPECT_EQ(compact->channelState[0], 1);
    EXPECT_EQ(compact->channelState[1], 3);
    EXPECT_EQ(geometryOf(compact->vlcWindow[0]), QRect(640, 0, 640, 360));
    EXPECT_EQ(geometryOf(compact->vlcWindow[1]), QRect(0, 0, 1920, 1080));
    EXPECT_TRUE(processUntil([&] {
        const auto l = lines(9001);
        return std::find(l.begin(), l.end(), "seek 0") != l.end();
    })) << "the new camera is sent to the seek bar's second";
    // Tab from channel 2 of 3 wraps to camera 1.
    compact->ButtonClick(3);
    press(compact.get(), Qt::Key_Tab);
    EXPECT_EQ(compact->currentChannel, 0);
    // Key 5: the click changes nothing, then channel 4 is current; F2 reaches the three
    // players, F1 posts no Home but seeks every relay.
    press(compact.get(), Qt::Key_5);
    EXPECT_EQ(compact->currentChannel, 4);
    // Every End the clicks posted has arrived (Load's End and Left, then one End for each
    // camera that lost the current state: 0, 0, 1, 2, 0).
    const std::size_t settled[] = {5, 3, 3};
    for (int port = 9000; port < 9003; ++port)
        ASSERT_TRUE(processUntil([&] { return keysOf(port).size() == settled[port - 9000]; }))
            << port << ": " << keysOf(port).size();
    std::vector<std::size_t> keys;
    for (int port = 9000; port < 9003; ++port)
        keys.push_back(keysOf(port).size());
    press(cui().ListBox1, Qt::Key_F2);
    cui().TrackBar1->setMaximum(125);
    cui().TrackBar1->setValue(21);
    press(compact.get(), Qt::Key_F1);
    for (int port = 9000; port < 9003; ++port) {
        EXPECT_TRUE(processUntil([&] { return keysOf(port).size() == keys[port - 9000] + 1; }));
        EXPECT_EQ(keysOf(port).back(), "Left") << port;
        EXPECT_TRUE(processUntil([&] {
            const auto l = lines(port);
            return std::find(l.begin(), l.end(), "seek 21") != l.end();
        })) << port;
    }
    // The layout keys do nothing here.
    for (int key : {Qt::Key_Asterisk, Qt::Key_Plus, Qt::Key_Minus})
        press(compact.get(), key);
    EXPECT_EQ(compact->geometry(), before);
    EXPECT_EQ(form->size(), QSize(1920, 1080));

    // Hover: away from the control panel the other cameras hide, back over it they return.
    compact->ButtonClick(1);
    compact->Panel3MouseMove();
    compact->FormMouseMove();
    EXPECT_EQ(compact->hoverFlag, 1);
    EXPECT_EQ(platform::windowAlpha(compact->vlcWindow[1]), 1);
    EXPECT_EQ(platform::windowAlpha(compact->vlcWindow[0]), 255) << "the current one stays";
    // The pointer over the control panel (not also over the bare window behind it).
    QMouseEvent overPanel(QEvent::MouseMove, QPointF(5, 200), QPointF(5, 200), Qt::NoButton,
                          Qt::NoButton, Qt::NoModifier);
    QCoreApplication::sendEvent(cui().Panel3, &overPanel);
    EXPECT_EQ(compact->hoverFlag, 0);
    EXPECT_EQ(platform::windowAlpha(compact->vlcWindow[1]), 255);

    // "Help" off: the short control panel.
    cui().CheckBox5->setChecked(true);
    cui().CheckBox5->setChecked(false);
    EXPECT_FALSE(cui().ListBox1->isVisible());
    EXPECT_EQ(cui().Panel3->height(), 220);
    EXPECT_EQ(cui().TrackBar1->height(), 212);
    EXPECT_EQ(cui().LCDNumber3->y(), 188);
    EXPECT_EQ(cui().LCDNumber4->y(), 188);
    // The transport strip then hands the focus to a control whose keys still arrive. (The
    // click itself posts Seek Back; it is awaited first, as posts arrive in their own time.)
    const std::size_t keysBefore = keysOf(9001).size();
    QMouseEvent click(QEvent::MouseButtonPress, QPointF(30, 5), QPointF(30, 5), Qt::LeftButton,
                      Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(cui().Image7, &click);
    ASSERT_EQ(compact->focusWidget(), compact.get());
    ASSERT_TRUE(processUntil([&] { return keysOf(9001).size() == keysBefore + 1; }));
    press(compact->focusWidget(), Qt::Key_F3);
    EXPECT_TRUE(processUntil([&] { return keysOf(9001).size() == keysBefore + 2; }));
    EXPECT_EQ(keysOf(9001).back(), "Right");
}

TEST_F(Compact, FullViewAt3840IsTheWholeScreen) {
    writeNames("1\n2");
    recording(2);
    startStation();
    switchToCompact();
    cui().Button1->click();
    compact->pollingFlag = false;
    compact->fullViewOrigin = -3840;
    compact->ButtonClick(2);
    EXPECT_EQ(geometryOf(compact->vlcWindow[1]), QRect(-3840, 0, 3840, 2160));
}

TEST_F(Compact, ExitEndsTheWholeStation) {
    recording(2);
    startStation();
    activateMain();
    switchToCompact();
    cui().Button1->click();
    std::vector<platform::ProcessId> pids;
    for (int i = 0; i < 4; ++i)
        pids.push_back(form->relayProcessId[i]);
    for (int i = 0; i < 2; ++i)
        pids.push_back(compact->vlcProcessId[i]);
    cui().Button0->click();
    EXPECT_FALSE(compact->isVisible());
    EXPECT_TRUE(processUntil([&] { return !form->isVisible(); }, 10000));
    for (auto pid : pids)
        EXPECT_TRUE(waitUntil([&] { return !platform::processRunning(pid); })) << pid;
}
