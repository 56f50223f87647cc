// The main control window: starts one relay per camera, reads their reports, keeps the
// cameras at the same second and shuts everything down when it closes.
#pragma once

#include "control/report_view.h"
#include "control/settings_panel.h"
#include "control/station.h"
#include "core/geometry.h"
#include "core/hand_over.h"
#include "platform/pipe.h"
#include "platform/process.h"
#include "platform/window.h"

#include <QRegion>
#include <QSet>
#include <QWidget>

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <thread>

namespace Ui {
class Form1;
}
class TForm2;
class QLabel;
class QPushButton;

class TForm1 : public QWidget, public ReportView {
    Q_OBJECT
public:
    static constexpr int kTableRows = 256;
    // The most cameras the station starts relays for.
    static constexpr int kMaxCameras = 32;
    // The least opacity step the station starts with in "Transparent" (alpha 101 of 255).
    static constexpr int kLeastVisibleOpacity = 4;

    explicit TForm1(QWidget* parent = nullptr);
    ~TForm1() override;

    Ui::Form1* ui() const { return ui_.get(); }
    // The compact window, which sets this window's layered mode through setLayered.
    void setCompactWindow(TForm2* form2);

    // Number of camera channels: the lines of the names memo.
    int cameraCount() const { return cameraCount_.load(); }

    // --- channel table -------------------------------------------------------------------
    platform::ProcessId relayProcessId[kTableRows] = {};
    std::atomic<platform::WindowHandle> relayWindow[kTableRows] = {};
    std::atomic<platform::PipeHandle> pipeInstance[kTableRows] = {};
    std::thread readerThread[kTableRows];
    uint32_t readerThreadId[kTableRows] = {};
    platform::ProcessId vlcProcessId[kTableRows] = {};
    platform::WindowHandle vlcWindow[kTableRows] = {};
    std::atomic<uint8_t> channelState[kTableRows] = {};
    std::string lastReportText[kTableRows]; // each written only by its channel's reader

    // --- window-wide state ---------------------------------------------------------------
    std::string pipeName;
    bool waitFlag = false;
    int32_t waitCounter = 0;
    bool seekBarFocus = false;
    bool hoverFlag = false;
    bool transparencyFlag = false;
    int Tag = 0; // left origin
    int32_t fullViewOrigin = 0;
    int32_t tileWidth = 0;
    int32_t tileHeight = 0;
    platform::WindowHandle mainWindowHandle = 0;
    std::atomic<bool> pollingFlag{false};
    std::atomic<bool> timerRunFlag{false};
    std::atomic<bool> lengthPhaseFlag{false};
    uint8_t fileCount = 0;
    std::atomic<uint8_t> currentChannel{0};
    std::atomic<int32_t> referenceTime{0};
    std::thread timerThread;
    uint32_t timerThreadId = 0;

    // Report handling on the reader thread of `channel`: the number of one report.
    void reportHandling(const char* data, std::size_t length, int channel);
    // Applies a report's number on the GUI thread, as a length or as a position.
    void applyReport(int channel, int32_t value, bool lengthPhase);
    // The most reports waiting for the GUI thread; beyond, the oldest are dropped.
    static constexpr std::size_t kQueuedReports = 1024;

    // The window that reports apply to: the compact window while it is shown, else this one.
    ReportView& activeReportView();
    // ReportView
    vorbelt::ReportWindow reportWindow() const override { return vorbelt::ReportWindow::Main; }
    QSlider* seekBar() const override;
    QLCDNumber* lengthMinutes() const override;
    QLCDNumber* lengthSeconds() const override;
    int reportCurrentChannel() const override { return currentChannel; }
    std::atomic<int32_t>& reportReferenceTime() override { return referenceTime; }
    platform::WindowHandle reportRelayWindow(int channel) const override {
        return relayWindow[channel];
    }
    bool channelLoaded(int channel) const override { return channelState[channel] != 0; }
    bool alwaysPlay() const override;
    void repaintView() override { update(); }

    // Whether reader thread `channel` has seen its pipe end, and whether the timer thread runs.
    bool readerFinished(int channel) const { return readerDone_[channel]; }
    bool timerThreadRunning() const { return timerRunning_; }

    QLabel* labelTile(int channel) const;
    bool Image7Empty() const;
    QPushButton* cameraButton(int tag) const;

    SettingsPanel& settingsPanel() { return settings_; }

    // The key handler of the main window and of the controls bound to it; every key is
    // swallowed. Returns true (the key is taken).
    bool FormKeyDown(int key);

    // Selection of the camera shown full size: by camera button (tag 1 .. 7) or label tile.
    void LabelClick(int tag);
    void ImageMouseDown(int tag);
    // The transport strip, clicked at x within it.
    void Image7MouseDown(int x);
    // Pointing: camera buttons, the camera picture, label tiles, the bare window, the panels.
    void LabelMouseMove(int tag);
    void Panel1MouseMove();
    void Image0MouseMove(int tag, int y);
    void ImageMouseMove();
    void Panel3MouseMove();
    void Frame11MouseMove();
    void PanelExit();

public slots:
    void Button0Click();
    void Button1Click();
    void FormActivate();
    void TrackBar1Change();
    void Button2Click();
    void Frame11Button1Click();
    void Frame11Button2Click();
    void RadioGroup1Click();
    void TrackBar2Change();
    void CheckBox3Click();
    void CheckBox4Click();
    void CheckBox5Click();
    void CheckBox6Click();
    void CheckBox7Click();

protected:
    void closeEvent(QCloseEvent* event) override;
    void changeEvent(QEvent* event) override;
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;
    bool event(QEvent* event) override;

private:
    // Polls of 100 ms before the operator is asked "Wait more?" (relays, compact window).
    static constexpr int kWaitPolls = 100;

    bool FormCloseQuery();
    // On the GUI thread: every report the readers have queued, in order.
    void applyReports();
    // The video window `window` of `channel` is gone (told by the keeper's watch).
    void videoWindowGone(int channel, platform::WindowHandle window);
    // The player of `channel` (its window `window`) froze: Fine Sync told it to play again and
    // again, and its picture never ran. It is ended, and a new one joins the others where they
    // are; unless that fails, or the player was itself such a new one (`again`): then the
    // camera is dropped and named.
    void cameraFroze(int channel, platform::WindowHandle window, bool again);
    struct FrozenCamera {
        int channel;
        platform::WindowHandle window;
        bool again;
    };
    std::vector<FrozenCamera> frozenCameras_; // told, not yet replaced
    static constexpr int kFrozenGatherMs = 300;
    void replaceFrozenCameras();
    // New players for loaded rows `rows` in place of ones that were ended, started together:
    // placed as the layout has their rows (full size when current), the keys back here. Returns
    // their windows, 0 for a row not started, in the order of `rows`.
    std::vector<platform::WindowHandle> restartCameras(const std::vector<int>& rows);
    // The camera of `channel`, shown by `window`, is shown no longer (its player is ended and
    // its button greyed), and the operator is told `text` in a box titled `caption`.
    void dropCamera(int channel, platform::WindowHandle window, const QString& text,
                    const QString& caption);
    // The relay of `channel` refused the listener on its player's port.
    void listenerRefused(int channel);
    void loadSettings();
    void startChannel(int j);
    void failedStart(int j);
    enum class PipeWait { Connected, NotConnected, GaveUp };
    PipeWait waitForRelayPipe(int j);
    bool waitForRelayWindow(int j);
    void readerThreadMain(platform::PipeHandle instance);
    void timerThreadMain();
    void applyResolution();
    // Tile size from the "Resolution" choice and the camera count; the chosen window size.
    std::optional<vorbelt::Size> tileSizeFromResolution();
    void layOutLabelTiles();
    void drawLabelTiles();
    // The repaint; the layered mode is applied again unless the paint only redraws what a
    // switch to alpha mode has just uncovered.
    void FormPaint(bool applyLayering = true);
    void applyLayeredMode();
    // Every layered-mode change of this window goes through here, the compact window's too:
    // a mode is applied only when it changes (a colour key costs a cut of the mask).
    void setLayered(uint32_t mode, uint8_t alpha);
    // The window's drawing changed: the colour key must be cut anew.
    void drawingChanged();
    void cutOutRed(bool on);
    // Starts, places and connects the player of list row `i`; asks its length when `askLength`
    // (a Load's length phase: not for a player started anew). Several rows are started together
    // and share the waits.
    void loadFile(int i, bool askLength = true);
    void loadFiles(const std::vector<int>& rows, bool askLength);
    void screenLayout(int item);
    // Key '/': shows the compact window and hands it the state; the control panel hides.
    void switchToCompactWindow();
    // Any key while the compact window is shown: its state comes back here.
    void takeBackFromCompactWindow();
    // Back from the compact window: the control panel, and the Settings panel and file list as
    // they were.
    void showPanelsAgain();
    void select(int row, bool fromLabelTile);
    // Camera `row`'s video window in its tile along the bottom (seen only when the tiles are
    // previewed), or full size (behind the tiles when asked).
    void placeInTile(int row, uint32_t colourKey);
    void placeFullSize(int row, bool behindTiles);
    // Every loaded camera's video window as a selection leaves it: the current one full size,
    // the others in their tiles.
    void layOutVideoWindows();
    void setOthersAlpha(uint8_t alpha);
    void recolourButtons();

    std::unique_ptr<Ui::Form1> ui_;
    SettingsPanel settings_;
    std::unique_ptr<station::SyncKeeper> sync_;
    struct PendingReport {
        int channel;
        int32_t value;
        bool lengthPhase;
    };
    vorbelt::HandOver<PendingReport> reports_{kQueuedReports}; // read, not yet applied
    TForm2* Form2 = nullptr;
    std::atomic<int> cameraCount_{0};
    int startedChannels_ = 0; // relays started at start-up, however the names change later
    std::atomic<bool> readerDone_[kTableRows] = {};
    std::atomic<bool> timerRunning_{false};
    bool layeredPending_ = false;
    station::OperatorMoves* seekBarMoves_ = nullptr; // owned by the seek bar
    QSet<QObject*> keyBound_;                        // controls whose keys go to the key handler
    QMetaObject::Connection focusLeaving_;
    bool settingsShownBeforeCompact_ = false;
    bool maskDirty_ = true;
    QRegion uncovered_; // what clearing the colour-key mask has uncovered, until it is drawn
    bool grabbing_ = false;
    bool refusalShown_[kTableRows] = {}; // a box said so since the last Load
    uint32_t appliedMode_ = 0;
    uint8_t appliedAlpha_ = 0;
};
