// The compact control window "Player_gui": a small window at the top left for up to seven
// cameras, on the same relays and players as the main window. It starts no relay and reads
// no pipe; what it knows of the channels the main window hands over when it switches here.
#pragma once

#include "control/report_view.h"
#include "control/settings_panel.h"
#include "control/station.h"
#include "platform/pipe.h"
#include "platform/process.h"
#include "platform/window.h"

#include <QSet>
#include <QWidget>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <utility>
#include <vector>

namespace Ui {
class Form2;
}
class QPushButton;
class TFrame1;

class TForm2 : public QWidget, public ReportView {
    Q_OBJECT
public:
    // The channel table copy: always ten rows.
    static constexpr int kRows = 10;

    explicit TForm2(QWidget* parent = nullptr);
    ~TForm2() override;

    Ui::Form2* ui() const { return ui_.get(); }
    SettingsPanel& settingsPanel() { return settings_; }
    // The stand-alone file list whose open dialog this window's Load uses.
    void setFileList(TFrame1* frame) { Frame1 = frame; }
    QPushButton* cameraButton(int tag) const;

    // --- channel table copy (pipe instances and reader threads are only carried back) ----
    platform::ProcessId vlcProcessId[kRows] = {};
    platform::ProcessId relayProcessId[kRows] = {};
    platform::PipeHandle pipeInstance[kRows] = {};
    uint32_t readerThreadId[kRows] = {};
    platform::WindowHandle vlcWindow[kRows] = {};
    // (Read by the timer thread too while this window is shown.)
    std::atomic<platform::WindowHandle> relayWindow[kRows] = {};
    std::atomic<uint8_t> channelState[kRows] = {};

    // --- window state --------------------------------------------------------------------
    uint8_t fileCount = 0;
    uint8_t currentChannel = 0;
    std::atomic<int32_t> referenceTime{0};
    uint8_t hoverFlag = 0;
    // The station's polling and length-phase flags, once joined to the main window's.
    station::SharedFlag pollingFlag{false};
    station::SharedFlag lengthPhaseFlag{true};
    bool transparencyFlag = false;
    bool seekBarFocus = false;
    platform::WindowHandle mainWindowHandle = 0;
    platform::WindowHandle ownWindowHandle = 0;
    int32_t cellWidth = 0;
    int32_t cellHeight = 0;
    int32_t fullViewOrigin = 0;
    int32_t Tag = 0; // left origin
    // How this window sets the main window's layered mode: through the main window, which
    // applies a mode only when it changes (a colour key costs a cut of its mask).
    using Layering = std::function<void(uint32_t mode, uint8_t alpha)>;
    void setMainWindowLayering(Layering layering) { mainLayering_ = std::move(layering); }
    // Fine Sync: the main window's keeper, which this window's Load and keys inform too.
    void setSyncKeeper(station::SyncKeeper* sync) { sync_ = sync; }

    // ReportView: the reports apply here while this window is shown.
    vorbelt::ReportWindow reportWindow() const override { return vorbelt::ReportWindow::Compact; }
    QSlider* seekBar() const override;
    QLCDNumber* lengthMinutes() const override;
    QLCDNumber* lengthSeconds() const override;
    int reportCurrentChannel() const override { return currentChannel; }
    // New players for loaded rows `rows` in place of ones that were ended, started together: in
    // their cells, or in the full view when current; the keys back here. Returns their windows,
    // 0 for a row not started, in the order of `rows`.
    std::vector<platform::WindowHandle> restartCameras(const std::vector<int>& rows);
    std::atomic<int32_t>& reportReferenceTime() override { return referenceTime; }
    platform::WindowHandle reportRelayWindow(int channel) const override {
        return channel >= 0 && channel < kRows ? relayWindow[channel].load() : 0;
    }
    bool channelLoaded(int channel) const override {
        return channel >= 0 && channel < kRows && channelState[channel] != 0;
    }
    bool alwaysPlay() const override;
    void repaintView() override { update(); }

    // The key handler of the window and of its bound controls; every key is taken.
    bool FormKeyDown(int key);
    // Whether '/' has just handed the station back to the main window, which takes this
    // window's state back with the keys '/' posts to it (they arrive once this window is
    // hidden); asking clears it.
    bool takeHandBack() { return std::exchange(handingBack_, false); }
    // Camera button `tag` (1 .. 7) clicked.
    void ButtonClick(int tag);
    // The transport strip, clicked at x within it.
    void Image7MouseDown(int x);
    // Pointing: a camera button, the camera picture, the bare window, the control panel.
    void ButtonMouseMove(int tag);
    void Panel1MouseMove();
    void FormMouseMove();
    void Panel3MouseMove();
    void PanelExit();

public slots:
    void FormActivate();
    void Button0Click();
    void Button1Click();
    void Button2Click();
    void TrackBar1Change();
    void TrackBar2Change();
    void CheckBox5Click();
    void CheckBox6Click();
    void CheckBox7Click();

protected:
    bool event(QEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;
    void changeEvent(QEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    void paintEvent(QPaintEvent* event) override;

private:
    // The rows the per-channel loops run over: the file count, within the table copy.
    int rows() const { return std::min<int>(fileCount, kRows); }
    bool FormCloseQuery();
    void FormPaint();
    void recolourButtons();
    // The cell size for the "Resolution" choice; kept when no item is chosen.
    void cellSizeFromResolution();
    void setOthersAlpha(uint8_t alpha);
    // The main window's layered mode, with the opacity step's alpha.
    void setMainWindowLayered(uint32_t mode);
    // The main window's alpha, when the transparency flag asks for it.
    void mainWindowAlpha();
    // Starts, places and connects the player of list row `j`; asks its length when `askLength`.
    // Several rows are started together and share the waits.
    void loadFile(int j, bool askLength = true);
    void loadFiles(const std::vector<int>& rows, bool askLength);
    // The current camera's video window `w` in the full view.
    void showFullView(platform::WindowHandle w);

    std::unique_ptr<Ui::Form2> ui_;
    SettingsPanel settings_;
    TFrame1* Frame1 = nullptr;
    bool handingBack_ = false;
    station::OperatorMoves* seekBarMoves_ = nullptr; // owned by the seek bar
    QSet<QObject*> keyBound_;
    Layering mainLayering_;
    station::SyncKeeper* sync_ = nullptr;
    bool fineSync() const { return sync_ && sync_->enabled(); }
    QMetaObject::Connection focusLeaving_;
};
