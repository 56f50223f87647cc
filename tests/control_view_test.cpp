// The main window's keys before any Load and its view options, with test relays that log
// every command message they receive.
#include "control/Guid.h"
#include "control_fixture.h"
#include "ui_Player.h"

#include <QAbstractButton>
#include <QCheckBox>
#include <QFontInfo>
#include <QKeyEvent>
#include <QLabel>
#include <QListWidget>
#include <QMouseEvent>
#include <QRadioButton>
#include <QStyle>
#include <QStyleOptionButton>
#include <QWindow>

using namespace testing_support;

namespace {

class View : public ControlFixture {
protected:
    // Posts a marker to relay 0 and waits for it: whatever the window posted before has
    // arrived by then, as messages to one window keep their order.
    std::vector<std::string> messagesUpToMarker() {
        const platform::ProcessId pid = form->relayProcessId[0];
        platform::postMessage(form->relayWindow[0], 0xD000, 99, 99);
        const std::string marker = "53248 99 99";
        EXPECT_TRUE(waitUntil([&] {
            const auto m = messagesOf(pid);
            return !m.empty() && m.back() == marker;
        }));
        return messagesOf(pid);
    }
    void activate() {
        form->activateWindow();
        platform::setForegroundWindow(form->winId());
        ASSERT_TRUE(processUntil([&] { return form->mainWindowHandle != 0; }));
    }
};

} // namespace

TEST_F(View, BeforeAnyLoadTheTransportKeysAndTabPostNothing) {
    start();
    ASSERT_EQ(form->fileCount, 0);
    const int keys[] = {Qt::Key_F1, Qt::Key_F2,  Qt::Key_F3,  Qt::Key_F4,       Qt::Key_F5,
                        Qt::Key_F9, Qt::Key_F12, Qt::Key_Tab, Qt::Key_Backspace};
    for (int key : keys)
        press(form.get(), key);
    // Keys typed into the names memo stay there: the memo is not bound.
    form->ui()->GroupBox1->show();
    press(form->ui()->Memo1, Qt::Key_F2);
    const auto received = messagesUpToMarker();
    // The start-up codes, then the marker: nothing in between.
    EXPECT_EQ(received,
              (std::vector<std::string>{"53248 0 0", "53248 1 0", "53248 2 9000", "53248 99 99"}));
    EXPECT_EQ(form->currentChannel, 0);
}

TEST_F(View, KeyFiveWithFourChannelsMakesTheFifthCurrent) {
    start();
    press(form.get(), Qt::Key_5);
    EXPECT_EQ(form->currentChannel, 4);
    press(form->ui()->Button3, Qt::Key_7);
    EXPECT_EQ(form->currentChannel, 6);
}

TEST_F(View, ResolutionChoiceSizesTheWindowAndLaysTheTilesOut) {
    writeNames("a\nb\nc");
    start();
    form->ui()->RadioGroup1Item2->click(); // "1366x768"
    EXPECT_EQ(form->geometry(), QRect(form->Tag, 0, 1366, 768));
    EXPECT_EQ(form->tileWidth, 455);
    EXPECT_EQ(form->tileHeight, 256);
    for (int k = 0; k < 3; ++k)
        EXPECT_EQ(form->labelTile(k)->geometry(), QRect(455 * k, 748, 455, 20)) << k;
    form->ui()->RadioGroup1Item0->click(); // "3840x2160"
    EXPECT_EQ(form->size(), QSize(3840, 2160));
    EXPECT_EQ(form->labelTile(2)->geometry(), QRect(2560, 2140, 1280, 20));
}

TEST_F(View, NineNamesResizeTheWindowButLeaveTheTilesWhereTheyAre) {
    writeNames("1\n2\n3\n4\n5\n6\n7\n8\n9");
    start();
    const QRect before = form->labelTile(0)->geometry();
    form->ui()->RadioGroup1Item2->click();
    EXPECT_EQ(form->size(), QSize(1366, 768));
    EXPECT_EQ(form->labelTile(0)->geometry(), before);
}

TEST_F(View, PreviewHidesAllEightTilesAndTheOpacityStepsSetTheAlpha) {
    start();
    activate();
    form->ui()->CheckBox3->setChecked(false);
    for (int k = 0; k < 8; ++k)
        EXPECT_FALSE(form->labelTile(k)->isVisible()) << k;
    form->ui()->CheckBox3->setChecked(true);
    for (int k = 0; k < 4; ++k)
        EXPECT_TRUE(form->labelTile(k)->isVisible()) << k;
    // Alpha mode at once, "Transparent" unchecked or not.
    processFor(100); // (the repaint that the Preview box asked for is done)
    const std::pair<int, int> steps[] = {{0, 1}, {4, 101}, {10, 251}};
    for (const auto& [step, alpha] : steps) {
        form->ui()->TrackBar2->setValue(step);
        EXPECT_EQ(platform::windowAlpha(form->mainWindowHandle), alpha) << step;
    }
    // It holds: clearing the colour key's mask repaints the window, but that repaint is the
    // switch's own and does not put the colour key back.
    processFor(300);
    EXPECT_EQ(platform::windowAlpha(form->mainWindowHandle), 251);
    EXPECT_TRUE(form->mask().isEmpty());
    // The next repaint puts the colour key back: the window is opaque where it is not red.
    form->repaint();
    ASSERT_TRUE(processUntil([&] { return platform::windowAlpha(form->mainWindowHandle) == 255; }));
    // With "Transparent" the repaint keeps the alpha.
    form->ui()->CheckBox6->setChecked(true);
    form->repaint();
    ASSERT_TRUE(processUntil([&] { return platform::windowAlpha(form->mainWindowHandle) == 251; }));
}

TEST_F(View, RepaintMovesTheSeekBarToTheReferenceTime) {
    start();
    form->ui()->TrackBar1->setMaximum(300);
    form->ui()->TrackBar1->setValue(125);
    EXPECT_EQ(form->ui()->LCDNumber1->intValue(), 2);
    EXPECT_EQ(form->ui()->LCDNumber2->intValue(), 5);
    ASSERT_TRUE(processUntil([&] { return form->windowHandle()->isExposed(); }));
    form->referenceTime = 0;
    form->repaint();
    EXPECT_EQ(form->ui()->TrackBar1->value(), 0);
    EXPECT_EQ(form->ui()->LCDNumber1->intValue(), 0);
    EXPECT_EQ(form->ui()->LCDNumber2->intValue(), 0);
}

TEST_F(View, ShowingThePanelsRecutsTheColourKey) {
    start();
    activate();
    ASSERT_TRUE(processUntil([&] { return !form->mask().isEmpty(); }));
    const QPoint onFileList = form->ui()->Frame11->geometry().center();
    EXPECT_FALSE(form->mask().contains(onFileList));
    form->ui()->CheckBox4->setChecked(true);
    EXPECT_TRUE(processUntil([&] { return form->mask().contains(onFileList); }));
    form->ui()->CheckBox4->setChecked(false);
    EXPECT_TRUE(processUntil([&] { return !form->mask().contains(onFileList); }));
}

TEST_F(View, APointerOverThePanelIsNotAlsoOverTheBareWindow) {
    start();
    ASSERT_TRUE(form->hoverFlag);
    // A move over the control panel reaches the panel first; the window must not take it as
    // a move over its bare red ground as well.
    QMouseEvent overPanel(QEvent::MouseMove, QPointF(5, 200), QPointF(5, 200), Qt::NoButton,
                          Qt::NoButton, Qt::NoModifier);
    QCoreApplication::sendEvent(form->ui()->Panel3, &overPanel);
    EXPECT_FALSE(form->hoverFlag);
    // Over the bare window it is.
    QMouseEvent bare(QEvent::MouseMove, QPointF(1500, 500), QPointF(1500, 500), Qt::NoButton,
                     Qt::NoButton, Qt::NoModifier);
    QCoreApplication::sendEvent(form.get(), &bare);
    EXPECT_TRUE(form->hoverFlag);
}

TEST_F(View, PointingAtACameraButtonMarksItsChannel) {
    start();
    form->channelState[0] = 1; // as after a Load
    // The move reaches the button first, then the floor plan under it: the plan must not
    // take the mark back.
    QMouseEvent overButton(QEvent::MouseMove, QPointF(5, 5), QPointF(5, 5), Qt::NoButton,
                           Qt::NoButton, Qt::NoModifier);
    QCoreApplication::sendEvent(form->cameraButton(1), &overButton);
    EXPECT_EQ(form->channelState[0], 2);
    QMouseEvent overPlan(QEvent::MouseMove, QPointF(300, 200), QPointF(300, 200), Qt::NoButton,
                         Qt::NoButton, Qt::NoModifier);
    QCoreApplication::sendEvent(form->ui()->Panel1, &overPlan);
    EXPECT_EQ(form->channelState[0], 1);
}

TEST_F(View, KeysInTheUnboundControlsStayThere) {
    start();
    activate();
    form->ui()->GroupBox1->show();
    // The radio group keeps its keys: '-' there is no screen layout.
    form->ui()->RadioGroup1Item1->setFocus();
    ASSERT_TRUE(
        processUntil([&] { return QApplication::focusWidget() == form->ui()->RadioGroup1Item1; }));
    press(form->ui()->RadioGroup1Item1, Qt::Key_Minus);
    EXPECT_EQ(form->size(), QSize(1920, 1080));
    // In a bound control it is one.
    form->ui()->CheckBox1->setFocus();
    ASSERT_TRUE(processUntil([&] { return QApplication::focusWidget() == form->ui()->CheckBox1; }));
    press(form->ui()->CheckBox1, Qt::Key_Minus);
    EXPECT_EQ(form->size(), QSize(1366, 768));
}

namespace {

// Controls of `window` whose text is wider than the room the control gives it: its text area,
// up to where a control stacked above it begins (the help list covers the check boxes' right
// ends).
std::vector<std::string> clippedTexts(QWidget* window) {
    std::vector<std::string> clipped;
    auto check = [&](QWidget* w, const QString& text, QRect room) {
        const QObjectList& siblings = w->parentWidget()->children();
        for (auto k = siblings.indexOf(w) + 1; k < siblings.size(); ++k)
            if (auto* above = qobject_cast<QWidget*>(siblings[k]))
                if (above->geometry().intersects(room) && above->x() > room.left())
                    room.setRight(std::min(room.right(), above->x() - 1));
        if (!text.isEmpty() && w->fontMetrics().horizontalAdvance(text) > room.width())
            clipped.push_back((w->objectName() + " \"" + text + "\"").toStdString());
    };
    for (auto* b : window->findChildren<QAbstractButton*>()) {
        QStyleOptionButton o;
        o.initFrom(b);
        o.text = b->text();
        const auto element = qobject_cast<QCheckBox*>(b)      ? QStyle::SE_CheckBoxContents
                             : qobject_cast<QRadioButton*>(b) ? QStyle::SE_RadioButtonContents
                                                              : QStyle::SE_PushButtonContents;
        check(b, b->text(), b->style()->subElementRect(element, &o, b).translated(b->pos()));
    }
    for (auto* l : window->findChildren<QLabel*>())
        check(l, l->text(), l->contentsRect().translated(l->pos()));
    for (auto* list : window->findChildren<QListWidget*>()) {
        const int margin =
            list->style()->pixelMetric(QStyle::PM_FocusFrameHMargin, nullptr, list) + 1;
        const QRect inside = list->contentsRect().translated(list->pos());
        for (int k = 0; k < list->count(); ++k) {
            const int row = inside.top() + k * list->sizeHintForRow(0);
            check(list, list->item(k)->text(),
                  QRect(inside.left() + margin, row, inside.width() - 2 * margin,
                        list->sizeHintForRow(0)));
        }
    }
    return clipped;
}

} // namespace

TEST_F(View, EveryTextFitsItsControlInBothWindows) {
    start();
    EXPECT_EQ(QFontInfo(form->font()).family(), "Liberation Sans");
    EXPECT_EQ(clippedTexts(form.get()), std::vector<std::string>{});
    // The names memo shows its four lines whole, without a scroll bar.
    EXPECT_GE(form->ui()->Memo1->height() - 2 * form->ui()->Memo1->frameWidth(),
              4 * QFontMetrics(form->ui()->Memo1->font()).lineSpacing() +
                  2 * form->ui()->Memo1->document()->documentMargin());
    // The compact window takes the main window's font when it is shown.
    TForm2 compact;
    compact.setFont(form->font());
    EXPECT_EQ(clippedTexts(&compact), std::vector<std::string>{});
}

TEST_F(View, OnlyTheFocusMovingWithinTheWindowLeavesAPanel) {
    start();
    activate();
    form->ui()->GroupBox1->show();
    form->ui()->TrackBar2->setFocus();
    form->hoverFlag = false; // the pointer is over the panels
    // Another window comes forward (a player in Load, a message box): the panel is not left.
    QWidget other;
    other.show();
    other.activateWindow();
    platform::setForegroundWindow(other.winId());
    ASSERT_TRUE(processUntil([&] { return !form->isActiveWindow(); }));
    EXPECT_FALSE(form->hoverFlag);
    activate();
    ASSERT_TRUE(processUntil([&] { return form->isActiveWindow(); }));
    EXPECT_FALSE(form->hoverFlag);
    // The focus going on to the control panel leaves the Settings panel.
    form->ui()->Button0->setFocus();
    EXPECT_TRUE(form->hoverFlag);
}
