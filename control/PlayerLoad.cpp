// Load in the main window: the previous players ended, the open dialog, one video player per
// listed file, found, retitled, placed and layered, its relay connected and asked the length.
#include "control/Player.h"

#include "control/Guid.h"
#include "control/station.h"
#include "core/player_launch.h"
#include "core/relay_commands.h"
#include "platform/qt/message_box.h"
#include "ui_Player.h"

#include <QCheckBox>
#include <QListWidget>

#include <algorithm>
#include <stdexcept>

void TForm1::Frame11Button1Click() {
    pollingFlag = false;
    platform::sleepMs(900);
    // The players of the previous load are stopped before the dialog, also if it is cancelled;
    // so is any other player the station started (by the compact window, say) and lost track of.
    station::takeSnapshots(); // (the players' homes go with them)
    for (int i = 0; i < fileCount; ++i)
        station::endProcess(vlcProcessId[i], 100);
    station::endVideoPlayers(100);
    ui_->Frame11->Button1Click();
    ui_->TrackBar1->setValue(0);
    ui_->TrackBar1->setMaximum(0);
    ui_->LCDNumber3->display("0");
    ui_->LCDNumber4->display("0");
}

// --- loading the video players ----------------------------------------------------------------

void TForm1::Button1Click() {
    waitFlag = true;
    for (bool& shown : refusalShown_)
        shown = false;
    lengthPhaseFlag = true;
    ui_->Frame11->Button1()->click();
    // The window thread blocks from here on (the designed sleeps and waits): the operator sees
    // it is busy.
    const station::BusyCursor busy;
    const int before = std::max<int>(fileCount, TForm2::kRows);
    fileCount = static_cast<uint8_t>(std::min(ui_->Frame11->ListBox1()->count(), kTableRows - 1));
    // Rows beyond the new files are no longer loaded: not polled, not coloured, no keys.
    for (int i = fileCount; i < before; ++i)
        station::unload(vlcProcessId[i], vlcWindow[i], channelState[i]);
    QStringList files;
    for (int i = 0; i < fileCount; ++i)
        files << ui_->Frame11->ListBox1()->item(i)->text();
    const std::vector<bool> play = station::filesToPlay(
        files, [this](int i) { return i < startedChannels_ && relayWindow[i] != 0; });
    try {
        for (int i = 0; i < fileCount; ++i) {
            if (play[static_cast<std::size_t>(i)])
                loadFile(i);
            else
                station::unload(vlcProcessId[i], vlcWindow[i], channelState[i]);
        }
    } catch (const std::exception& e) {
        // A file name without a camera digit ends the Load here; what was loaded stays.
        messageBox(QString::fromLocal8Bit(e.what()), "Vorbelt Player", BoxKind::Warning);
        return;
    }
    lengthPhaseFlag = false;
    station::syncLoaded(*sync_, relayWindow, vlcWindow, channelState, files, fileCount,
                        currentChannel, ui_->TrackBar1->maximum());
    platform::setForegroundWindow(mainWindowHandle);
    platform::sleepMs(900);
    pollingFlag = true;
    update();
}

void TForm1::loadFile(int i, bool askLength) {
    loadFiles({i}, askLength);
}

void TForm1::loadFiles(const std::vector<int>& rows, bool askLength) {
    std::vector<station::PlayerRequest> requests;
    for (int i : rows) {
        const std::string item = ui_->Frame11->ListBox1()->item(i)->text().toStdString();
        const auto digit = vorbelt::cameraNumber(item);
        if (!digit)
            throw std::invalid_argument("'" + item + "' has no camera digit before \"_st\"");
        requests.push_back({i, item, std::to_string(*digit)});
    }
    const std::vector<station::PlayerWindow> players =
        station::startAndAwaitPlayers(requests, ui_->CheckBox1->isChecked(), 100, 1000);
    waitFlag = false;
    // Each player found is placed and layered; the waits that follow are shared.
    const std::vector<int> placed =
        station::enterNewPlayers(rows, players, vlcProcessId, vlcWindow, channelState);
    for (int i : placed) {
        const platform::WindowHandle w = vlcWindow[i];
        const int n = cameraCount();
        tileSizeFromResolution();
        if (const auto r = vorbelt::tilePlacement(i, Tag, {tileWidth, tileHeight}, n))
            platform::setWindowPos(w, platform::HWND_TOP_WINDOW, r->left, r->top, r->width,
                                   r->height, 0x0010 /* SWP_NOACTIVATE */);
        platform::setForegroundWindow(w);
        platform::setWindowLong(w, platform::GWL_EXSTYLE_INDEX, platform::WS_EX_LAYERED_STYLE);
        platform::setLayeredWindowAttributes(w, 0, ui_->CheckBox3->isChecked() ? 255 : 1,
                                             platform::LWA_ALPHA_FLAG);
    }
    if (placed.empty()) {
        waitFlag = true;
        update();
        return;
    }
    station::connectNewPlayers(placed, relayWindow, askLength);
    waitFlag = true;
    for (int i : placed)
        channelState[i] = 1;
    update();
}

std::vector<platform::WindowHandle> TForm1::restartCameras(const std::vector<int>& rows) {
    std::vector<int> valid;
    for (int i : rows)
        if (i >= 0 && i < fileCount && i < ui_->Frame11->ListBox1()->count())
            valid.push_back(i);
    std::vector<platform::WindowHandle> fresh(rows.size(), 0);
    if (valid.empty())
        return fresh;
    const station::BusyCursor busy;
    // (Outside a Load's length phase: its answers are positions.)
    loadFiles(valid, false);
    // The keys back here first: lowered while it was still the active window, a new player's
    // window was seen to stay above the tiles.
    platform::setForegroundWindow(mainWindowHandle);
    // The current camera's full view stands as a selection leaves it: behind the tiles when they
    // are previewed, in front of them (the new ones' too) otherwise.
    const bool anyPlaced =
        std::any_of(valid.begin(), valid.end(), [this](int i) { return vlcWindow[i] != 0; });
    if (anyPlaced && currentChannel < fileCount && vlcWindow[currentChannel] != 0) {
        platform::sleepMs(100);
        placeFullSize(currentChannel, ui_->CheckBox3->isChecked());
        if (std::find(valid.begin(), valid.end(), int(currentChannel)) != valid.end()) {
            channelState[currentChannel] = 3;
            platform::setLayeredWindowAttributes(vlcWindow[currentChannel], 0, 255,
                                                 platform::LWA_ALPHA_FLAG);
        }
    }
    recolourButtons();
    update();
    for (std::size_t k = 0; k < rows.size(); ++k)
        if (std::find(valid.begin(), valid.end(), rows[k]) != valid.end())
            fresh[k] = vlcWindow[rows[k]];
    return fresh;
}
