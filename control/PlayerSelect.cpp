// The main window's seek bar, camera selection (camera buttons and label tiles), transport
// strip and the pointer moving over buttons, tiles, panels and the bare window.
#include "control/Player.h"

#include "control/station.h"
#include "core/geometry.h"
#include "core/keys.h"
#include "ui_Player.h"

#include <QCheckBox>
#include <QListWidget>

#include <algorithm>

void TForm1::TrackBar1Change() {
    const int p = ui_->TrackBar1->value();
    station::showPosition(ui_->LCDNumber1, ui_->LCDNumber2, p);
    // Only the operator's own moves seek; the repaint and the hand-over move it silently.
    if (seekBarMoves_->take() && seekBarFocus)
        station::seekAll(sync_.get(), relayWindow, fileCount, p);
}

// --- camera selection ----------------------------------------------------------------------------

void TForm1::LabelClick(int tag) {
    select(tag - 1, false);
}

void TForm1::ImageMouseDown(int tag) {
    select(tag, true);
}

void TForm1::placeInTile(int row, uint32_t key) {
    const int n = cameraCount();
    platform::setWindowPos(vlcWindow[row], platform::HWND_TOP_WINDOW, Tag + row * tileWidth,
                           n * tileHeight - tileHeight, tileWidth, tileHeight,
                           0x0010 /* SWP_NOACTIVATE */);
    if (!ui_->CheckBox3->isChecked())
        platform::setLayeredWindowAttributes(vlcWindow[row], key, 1, platform::LWA_ALPHA_FLAG);
}

void TForm1::placeFullSize(int row, bool behindTiles) {
    const int n = cameraCount();
    const bool huge = fullViewOrigin == -3840;
    // The whole view: the chosen resolution's size. (As many tiles as cameras would fall short
    // of it where the width does not divide: 1918 x 1078 for seven cameras, which makes the
    // player rescale every picture, at twice the cost.)
    const auto view = vorbelt::resolutionSize(settings_.settings().resolution);
    const int width = huge ? 3840 : view ? view->width : n * tileWidth;
    const int height = huge ? 2160 : view ? view->height : n * tileHeight;
    platform::setWindowPos(vlcWindow[row],
                           behindTiles ? platform::HWND_BOTTOM_WINDOW
                                       : platform::HWND_NOTOPMOST_WINDOW,
                           fullViewOrigin, 0, width, height, 0x0200 /* SWP_NOOWNERZORDER */);
}

void TForm1::layOutVideoWindows() {
    tileSizeFromResolution();
    const bool preview = ui_->CheckBox3->isChecked();
    for (int i = 0; i < std::min<int>(fileCount, 8); ++i)
        if (vlcWindow[i] != 0 && i != currentChannel) {
            placeInTile(i, 0);
            channelState[i] = 1;
        }
    if (currentChannel < fileCount && vlcWindow[currentChannel] != 0) {
        placeFullSize(currentChannel, preview);
        platform::setLayeredWindowAttributes(vlcWindow[currentChannel], 0, 255,
                                             platform::LWA_ALPHA_FLAG);
        channelState[currentChannel] = 3;
    }
    update();
}

void TForm1::select(int row, bool fromLabelTile) {
    // The designed sleeps block the window thread: the operator sees it is busy.
    const station::BusyCursor busy;
    const int old = currentChannel;
    const bool preview = ui_->CheckBox3->isChecked();
    const uint32_t key = fromLabelTile ? 0xFF0000 : 0;
    // With Fine Sync every camera keeps playing: none is paused or toggled by a selection.
    const bool fineSync = sync_->enabled();
    // 1 to 5: the current camera goes back into its tile.
    if (vlcWindow[old] != 0 && !fineSync)
        platform::postMessage(vlcWindow[old], platform::WM_KEYDOWN_MESSAGE, platform::VK_END_KEY,
                              0);
    tileSizeFromResolution();
    if (old <= 7)
        placeInTile(old, key);
    if (vlcWindow[old] != 0)
        channelState[old] = 1;
    // 6: the file list's selected row decides the new current channel.
    QListWidget* list = ui_->Frame11->ListBox1();
    if (row >= 0 && row < kTableRows && channelState[row] != 0)
        list->setCurrentRow(row);
    currentChannel = static_cast<uint8_t>(list->currentRow() < 0 ? 255 : list->currentRow());
    // 7: the new one full size, behind the tiles when they are previewed.
    const platform::WindowHandle w = vlcWindow[currentChannel];
    if (w != 0) {
        channelState[currentChannel] = 3;
        placeFullSize(currentChannel, fromLabelTile || preview);
        platform::sleepMs(100);
        platform::setLayeredWindowAttributes(w, key, 255, platform::LWA_ALPHA_FLAG);
        if (ui_->CheckBox2->isChecked()) {
            platform::sleepMs(100);
            if (!fineSync)
                platform::postMessage(w, platform::WM_KEYDOWN_MESSAGE, platform::VK_HOME_KEY, 0);
        }
        platform::sleepMs(300);
    }
    sync_->setCurrent(currentChannel);
    // 8.
    platform::setForegroundWindow(mainWindowHandle);
    update();
}

void TForm1::Image7MouseDown(int x) {
    const int zone = vorbelt::transportZone(x);
    const platform::WindowHandle current = vlcWindow[currentChannel];
    if (zone == 0)
        station::playPause(sync_.get(), currentChannel, current, relayWindow, fileCount,
                           ui_->TrackBar1->value());
    else if (current != 0)
        station::transportKey(sync_.get(), vlcWindow, fileCount, vorbelt::transportKey(zone));
    setFocus();
}

// --- pointing ------------------------------------------------------------------------------------

void TForm1::setOthersAlpha(uint8_t alpha) {
    station::setAlphaExcept(vlcWindow, fileCount, currentChannel, alpha);
}

void TForm1::LabelMouseMove(int tag) {
    if (channelState[tag - 1] == 1) {
        channelState[tag - 1] = 2;
        recolourButtons();
    }
}

void TForm1::Panel1MouseMove() {
    for (int i = 0; i < std::min(cameraCount(), kTableRows); ++i)
        if (channelState[i] == 2)
            channelState[i] = 1;
    recolourButtons();
}

void TForm1::Image0MouseMove(int tag, int y) {
    if (hoverFlag) {
        hoverFlag = false;
        setLayered(platform::LWA_COLORKEY_FLAG, vorbelt::opacityAlpha(ui_->TrackBar2->value()));
    }
    // The tiles appear while the pointer rests on the lower part of the strip.
    if (y >= font().pixelSize() - 10 && fileCount > 0)
        setOthersAlpha(255);
    for (int i = 0; i < std::min(cameraCount(), kTableRows); ++i)
        if (channelState[i] == 2)
            channelState[i] = 1;
    if (channelState[tag] != 0 && channelState[tag] != 3)
        channelState[tag] = 2;
    update();
}

void TForm1::ImageMouseMove() {
    update();
    if (!hoverFlag) {
        setLayered(transparencyFlag ? platform::LWA_ALPHA_FLAG : platform::LWA_COLORKEY_FLAG,
                   vorbelt::opacityAlpha(ui_->TrackBar2->value()));
        setOthersAlpha(1);
    }
    hoverFlag = true;
    update();
}

void TForm1::Panel3MouseMove() {
    if (!hoverFlag)
        return;
    hoverFlag = false;
    setLayered(platform::LWA_COLORKEY_FLAG, vorbelt::opacityAlpha(ui_->TrackBar2->value()));
    setOthersAlpha(ui_->CheckBox3->isChecked() ? 255 : 1);
}

void TForm1::Frame11MouseMove() {
    if (!hoverFlag)
        return;
    hoverFlag = false;
    setLayered(platform::LWA_ALPHA_FLAG, vorbelt::opacityAlpha(ui_->TrackBar2->value()));
    setOthersAlpha(1);
}

void TForm1::PanelExit() {
    if (hoverFlag)
        return;
    hoverFlag = true;
    setLayered(transparencyFlag ? platform::LWA_ALPHA_FLAG : platform::LWA_COLORKEY_FLAG,
               vorbelt::opacityAlpha(ui_->TrackBar2->value()));
    setOthersAlpha(ui_->CheckBox3->isChecked() ? 255 : 1);
}
