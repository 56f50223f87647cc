// The main window's keys, the switch to and from the compact window, the screen layouts, and
// the routing of the controls' key, mouse and focus events to the window's handlers.
#include "control/Player.h"

#include "control/Guid.h"
#include "control/station.h"
#include "core/geometry.h"
#include "core/keys.h"
#include "ui_Guid.h"
#include "ui_Player.h"

#include <QApplication>
#include <QCheckBox>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QScreen>

#include <algorithm>

namespace {

// Maximum, position and tick frequency; setting the position runs the target's change handler.
void copySeekBar(const QSlider& from, QSlider& to) {
    to.setMaximum(from.maximum());
    to.setValue(from.value());
    to.setTickInterval(from.tickInterval());
}

} // namespace

bool TForm1::event(QEvent* event) {
    // The form's own keys (Tab included, which Qt would otherwise take to move the focus) and
    // the pointer over the bare window.
    if (const auto taken = station::formEvent(
            this, event, keyBound_, [this](int key) { return FormKeyDown(key); },
            [this] { ImageMouseMove(); }))
        return *taken;
    return QWidget::event(event);
}

bool TForm1::FormKeyDown(int key) {
    // Step 1: continue from where the compact window left off, or show the control panel (and
    // the panels the switch to the compact window put away).
    // (The compact window's '/' posts keys that arrive once it is hidden: they take it back.)
    if (Form2 && Form2->isVisible()) {
        takeBackFromCompactWindow();
    } else {
        if (Form2 && Form2->takeHandBack()) {
            takeBackFromCompactWindow();
            // The compact window's grid (its own Load's cells, or its camera choices) is left
            // for this window's own layout: the current camera full size, the others in tiles.
            layOutVideoWindows();
        }
        showPanelsAgain();
    }
    const vorbelt::KeyAction a = vorbelt::keyAction(key);
    switch (a.kind) {
    case vorbelt::KeyKind::Nothing:
        break;
    case vorbelt::KeyKind::CompactWindow:
        switchToCompactWindow();
        break;
    case vorbelt::KeyKind::Layout:
        screenLayout(a.layout);
        break;
    case vorbelt::KeyKind::Camera:
        cameraButton(a.camera)->click();
        currentChannel = static_cast<uint8_t>(a.camera - 1);
        sync_->setCurrent(currentChannel);
        break;
    case vorbelt::KeyKind::NextCamera:
        if (const auto tag = vorbelt::nextCameraButton(currentChannel, fileCount))
            cameraButton(*tag)->click();
        break;
    case vorbelt::KeyKind::PlayPause:
        station::playPause(sync_.get(), currentChannel, vlcWindow[currentChannel], relayWindow,
                           fileCount, ui_->TrackBar1->value());
        break;
    case vorbelt::KeyKind::PostToAll:
        station::transportKey(sync_.get(), vlcWindow, fileCount, a.virtualKey);
        break;
    }
    return true;
}

void TForm1::setCompactWindow(TForm2* form2) {
    Form2 = form2;
    if (!Form2)
        return;
    Form2->pollingFlag.shareWith(pollingFlag);
    Form2->lengthPhaseFlag.shareWith(lengthPhaseFlag);
    Form2->setMainWindowLayering([this](uint32_t mode, uint8_t alpha) { setLayered(mode, alpha); });
    Form2->setSyncKeeper(sync_.get());
}

void TForm1::switchToCompactWindow() {
    if (!Form2 || Form2->isVisible())
        return;
    const station::BusyCursor busy;
    Form2->show();
    station::flushWindowSystem();
    waitFlag = true;
    const platform::WindowHandle compact =
        station::awaitOwnWindow("Player_gui", kWaitPolls, "Player Not Responding!");
    waitFlag = false;
    // The hand-over: always ten rows of the channel table, whatever the file count.
    TForm2& c = *Form2;
    for (int i = 0; i < TForm2::kRows; ++i) {
        c.vlcProcessId[i] = vlcProcessId[i];
        c.relayProcessId[i] = relayProcessId[i];
        c.relayWindow[i] = relayWindow[i].load();
        c.vlcWindow[i] = vlcWindow[i];
        c.channelState[i] = channelState[i].load();
        c.pipeInstance[i] = pipeInstance[i];
        c.readerThreadId[i] = readerThreadId[i];
    }
    c.pollingFlag = pollingFlag;
    c.fileCount = fileCount;
    c.currentChannel = currentChannel;
    copySeekBar(*ui_->TrackBar1, *c.ui()->TrackBar1);
    c.lengthPhaseFlag = lengthPhaseFlag;
    c.lengthMinutes()->display(ui_->LCDNumber3->intValue());
    c.lengthSeconds()->display(ui_->LCDNumber4->intValue());
    c.settingsPanel().setNameList(settings_.nameList());
    // Resolution, the five check boxes, the opacity step, the transparency flag and with it
    // "Transparent".
    c.settingsPanel().apply(settings_.settings());
    // (This window's own handle, should the key come before its activation has found it.)
    c.mainWindowHandle = mainWindowHandle != 0 ? mainWindowHandle : winId();
    c.setFont(font());
    c.Tag = Tag;
    c.fullViewOrigin = fullViewOrigin;
    // Where the current camera stands: a camera chosen there seeks the new one to this second.
    c.referenceTime = referenceTime.load();
    ui_->Panel3->setVisible(false);
    // The Settings panel and the file list would stay in front of the compact window's cameras.
    settingsShownBeforeCompact_ = ui_->GroupBox1->isVisible();
    ui_->GroupBox1->setVisible(false);
    ui_->Frame11->setVisible(false);
    platform::setForegroundWindow(compact);
}

void TForm1::showPanelsAgain() {
    ui_->Panel3->setVisible(true);
    if (settingsShownBeforeCompact_)
        ui_->GroupBox1->setVisible(true);
    settingsShownBeforeCompact_ = false;
    ui_->Frame11->setVisible(ui_->CheckBox4->isChecked());
}

void TForm1::takeBackFromCompactWindow() {
    TForm2& c = *Form2;
    // The rows of the channels this window has, as far as the copy goes; the relay windows
    // stay this window's own.
    const int rows = std::min(cameraCount(), int(TForm2::kRows));
    for (int i = 0; i < rows; ++i) {
        vlcProcessId[i] = c.vlcProcessId[i];
        relayProcessId[i] = c.relayProcessId[i];
        vlcWindow[i] = c.vlcWindow[i];
        channelState[i] = c.channelState[i].load();
        pipeInstance[i] = c.pipeInstance[i];
        readerThreadId[i] = c.readerThreadId[i];
    }
    fileCount = c.fileCount;
    currentChannel = c.currentChannel;
    copySeekBar(*c.ui()->TrackBar1, *ui_->TrackBar1);
    ui_->LCDNumber3->display(c.lengthMinutes()->intValue());
    ui_->LCDNumber4->display(c.lengthSeconds()->intValue());
    settings_.setNameList(c.settingsPanel().nameList());
    settings_.apply(c.settingsPanel().settings());
    pollingFlag = c.pollingFlag;
    lengthPhaseFlag = c.lengthPhaseFlag;
    referenceTime = c.referenceTime.load();
    sync_->setCurrent(currentChannel);
}

void TForm1::screenLayout(int item) {
    const auto size = vorbelt::resolutionSize(item);
    const int n = cameraCount();
    const auto tile = vorbelt::tileSize(*size, n);
    if (!tile)
        return; // no camera names: nothing to lay out
    tileWidth = tile->width;
    tileHeight = tile->height;
    const QScreen* screen = QGuiApplication::primaryScreen();
    const int desktopWidth = screen ? screen->virtualGeometry().width() : 1920;
    const vorbelt::LayoutOrigins o =
        vorbelt::layoutOrigins(item, desktopWidth, Tag, fullViewOrigin);
    Tag = o.leftOrigin;
    fullViewOrigin = o.fullViewOrigin;
    setGeometry(o.windowLeft, 0, size->width, size->height);
    if (vorbelt::layoutServes(n))
        layOutLabelTiles();
}

bool TForm1::eventFilter(QObject* watched, QEvent* event) {
    // A panel or tile of the window shown or hidden changes what the colour key cuts out.
    if ((event->type() == QEvent::Show || event->type() == QEvent::Hide) &&
        watched->parent() == this) {
        drawingChanged();
        update();
    }
    if (event->type() == QEvent::KeyPress && keyBound_.contains(watched))
        return FormKeyDown(static_cast<QKeyEvent*>(event)->key());
    if (station::isPress(event)) {
        for (int k = 0; k < 8; ++k)
            if (watched == labelTile(k)) {
                ImageMouseDown(k);
                return true;
            }
        if (watched == ui_->Image7) {
            Image7MouseDown(static_cast<QMouseEvent*>(event)->position().toPoint().x());
            return true;
        }
    }
    if (event->type() == QEvent::MouseMove) {
        if (station::passedOn(watched, event))
            return false;
        for (int tag = 1; tag <= 7; ++tag)
            if (watched == cameraButton(tag)) {
                LabelMouseMove(tag);
                return false;
            }
        for (int k = 0; k < 8; ++k)
            if (watched == labelTile(k)) {
                Image0MouseMove(k, static_cast<QMouseEvent*>(event)->position().toPoint().y());
                return false;
            }
        auto* w = qobject_cast<QWidget*>(watched);
        if (watched == ui_->Panel1)
            Panel1MouseMove();
        else if (watched == ui_->Frame11)
            Frame11MouseMove();
        else if (w && (ui_->Panel3->isAncestorOf(w) || w == ui_->Panel3 ||
                       ui_->GroupBox1->isAncestorOf(w) || w == ui_->GroupBox1 ||
                       ui_->Frame11->isAncestorOf(w)))
            Panel3MouseMove();
        return false;
    }
    if (watched == ui_->TrackBar1 && event->type() == QEvent::FocusIn)
        seekBarFocus = true; // TrackBar1Enter
    else if (watched == ui_->TrackBar1 && event->type() == QEvent::FocusOut)
        seekBarFocus = false; // TrackBar1Exit
    else if (watched == ui_->Panel3 && event->type() == QEvent::FocusIn)
        seekBarFocus = false; // Panel3Enter
    return QWidget::eventFilter(watched, event);
}
