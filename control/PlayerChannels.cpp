// The camera channels of the main window: starting each relay with its pipe instance and
// reader thread, reading the reports, polling the positions, and ending it all at shutdown.
#include "control/Player.h"

#include "control/Guid.h"
#include "control/station.h"
#include "core/player_launch.h"
#include "core/relay_commands.h"
#include "core/reports.h"
#include "platform/qt/message_box.h"
#include "ui_Player.h"

#include <QCheckBox>
#include <QCloseEvent>
#include <QTimer>

#include <algorithm>
#include <system_error>
#include <utility>

namespace {

bool askWaitMore(const QString& caption) {
    return messageBox("Wait more?", caption, BoxKind::Question) == BoxAnswer::Ok;
}

} // namespace

void TForm1::failedStart(int j) {
    if (relayProcessId[j] > 0) {
        if (platform::ProcessHandle h = platform::openProcess(relayProcessId[j])) {
            platform::terminateProcess(h, 0);
            platform::closeProcessHandle(h);
        }
    }
    relayProcessId[j] = -1;
    relayWindow[j] = 0;
}

TForm1::PipeWait TForm1::waitForRelayPipe(int j) {
    for (;;) {
        for (int poll = 0; poll < kWaitPolls; ++poll) {
            switch (platform::connectNamedPipe(pipeInstance[j], 100)) {
            case platform::PipeConnect::Connected:
            case platform::PipeConnect::AlreadyConnected:
                return PipeWait::Connected;
            case platform::PipeConnect::Failed:
                return PipeWait::NotConnected;
            case platform::PipeConnect::TimedOut:
                break;
            }
            if (!platform::processRunning(relayProcessId[j]))
                return PipeWait::GaveUp;
        }
        if (!askWaitMore("Relay " + QString::number(j) + " Not Responding!"))
            return PipeWait::GaveUp;
    }
}

bool TForm1::waitForRelayWindow(int j) {
    waitFlag = true;
    int polls = 0;
    while (waitFlag) {
        platform::sleepMs(100);
        relayWindow[j] = platform::findWindow("Telnet");
        if (relayWindow[j] != 0) {
            waitFlag = false;
            break;
        }
        if (!platform::processRunning(relayProcessId[j]))
            return false;
        if (++polls % kWaitPolls == 0 &&
            !askWaitMore("Relay " + QString::number(j) + " Not Responding!"))
            return false;
    }
    return true;
}

void TForm1::startChannel(int j) {
    // 1. The relay, with the one-word command line "Telnet".
    // Its environment names the players' profiles, where it finds the secret of its player.
    relayProcessId[j] = platform::createProcess(
        platform::relayProgram(), "Telnet",
        {{vorbelt::kPlayerProfilesVariable, station::openPlayerProfiles()}});
    // 2. Its pipe instance.
    pipeInstance[j] = platform::createNamedPipe(pipeName);
    if (relayProcessId[j] == -1 || pipeInstance[j] == platform::kInvalidPipe) {
        // Nothing will ever connect: record a failed start at once instead of waiting.
        platform::closePipe(pipeInstance[j]);
        failedStart(j);
        return;
    }
    // 3, 4. Wait for the relay to connect, then read its reports on a thread of its own.
    const PipeWait wait = waitForRelayPipe(j);
    if (wait == PipeWait::Connected) {
        try {
            readerDone_[j] = false;
            readerThread[j] = std::thread(&TForm1::readerThreadMain, this, pipeInstance[j].load());
            readerThreadId[j] = static_cast<uint32_t>(readerThread[j].native_handle());
        } catch (const std::system_error&) {
            messageBox("ThreadFail!", "Guid", BoxKind::Warning);
        }
    } else {
        // Not connected: the instance is closed and no reader started. A relay that is gone,
        // or that the operator gave up on, gets the values of a failed start.
        platform::closePipe(pipeInstance[j]);
        if (wait == PipeWait::GaveUp) {
            failedStart(j);
            return;
        }
    }
    // 5. Its window, titled "Telnet" until it takes its channel number.
    if (!waitForRelayWindow(j)) {
        failedStart(j);
        return;
    }
    // 6. Channel index, local host, telnet port.
    const platform::WindowHandle w = relayWindow[j];
    platform::postMessage(w, vorbelt::kCommandMessage, 0, j);
    platform::postMessage(w, vorbelt::kCommandMessage, 1, 0);
    platform::postMessage(w, vorbelt::kCommandMessage, 2, 9000 + j);
}

// --- reports ---------------------------------------------------------------------------------

void TForm1::readerThreadMain(platform::PipeHandle instance) {
    int channel = 0;
    const int n = std::min(cameraCount(), kTableRows);
    for (int i = 0; i < n; ++i)
        if (pipeInstance[i] != 0 && pipeInstance[i] == instance)
            channel = i;
    char buffer[vorbelt::kReportBufferSize];
    for (;;) {
        const platform::PipeRead r = platform::readPipe(instance, buffer, sizeof buffer);
        if (!r.ok)
            break;
        if (r.length > sizeof buffer)
            continue; // an over-long message is dropped whole; the next one is read as usual
        reportHandling(buffer, r.bytes, channel);
    }
    readerDone_[channel] = true;
    platform::sleepMs(100);
    platform::flushPipe(instance);
    platform::disconnectNamedPipe(instance);
    platform::closePipe(instance);
}

void TForm1::reportHandling(const char* data, std::size_t length, int channel) {
    // A relay that found another program on its player's port: the operator is told.
    if (vorbelt::isRefusalReport(data, length)) {
        QMetaObject::invokeMethod(
            this, [this, channel] { listenerRefused(channel); }, Qt::QueuedConnection);
        return;
    }
    const auto value = vorbelt::reportValue(data, length, lastReportText[channel]);
    if (!value)
        return;
    const bool lengthPhase = lengthPhaseFlag.load();
    // The keeper times each position answer as it is read, before anything waits (with Fine
    // Sync off it still learns which player stands at its end).
    if (!lengthPhase && vorbelt::freshValue(data, length))
        sync_->answer(channel, *value);
    // Widgets belong to the GUI thread: the reports wait for it in a bounded queue, in the
    // order they were read, handed over by one queued call at a time (a relay that reports
    // faster than the window thread can follow costs its oldest reports, never ever more
    // memory, nor an Exit that waits for a backlog). Whether it is a length is decided now, as
    // it is read: Load ends the length phase while the GUI thread is still busy.
    if (reports_.push({channel, *value, lengthPhase}))
        QMetaObject::invokeMethod(this, &TForm1::applyReports, Qt::QueuedConnection);
}

void TForm1::listenerRefused(int channel) {
    // One box per camera and Load: a relay asked again says the same again.
    if (channel < 0 || channel >= kTableRows || refusalShown_[channel])
        return;
    refusalShown_[channel] = true;
    messageBox(QString("Camera %1: another program than its video player listens on port %2. "
                       "Its relay gave it nothing, and the camera is not controlled.")
                   .arg(channel + 1)
                   .arg(vorbelt::playerPort(channel)),
               "Port taken", BoxKind::Warning);
}

void TForm1::videoWindowGone(int channel, platform::WindowHandle window) {
    if (channel < 0 || channel >= kTableRows)
        return;
    // Only a window that a table still shows for the channel: a Load that replaced its player
    // has a new one there.
    const bool compact = Form2 && channel < TForm2::kRows && Form2->vlcWindow[channel] == window;
    const bool main = vlcWindow[channel] == window;
    if (!main && !compact)
        return;
    // A player the station ends (a new Load, Exit) takes its window with it; one that still
    // runs lost its window by itself (its recording stopped): the camera is shown no longer,
    // and the operator is told. The process is looked at a little later: a player ending
    // closes its window first.
    const platform::ProcessId player = main ? vlcProcessId[channel] : Form2->vlcProcessId[channel];
    QTimer::singleShot(700, this, [this, channel, window, player] {
        if (!platform::processRunning(player))
            return;
        dropCamera(channel, window,
                   QString("The video window of camera %1 is gone: its player stopped showing the "
                           "recording. Load the recording again to see this camera.")
                       .arg(channel + 1),
                   "Camera window gone");
    });
}

void TForm1::cameraFroze(int channel, platform::WindowHandle window, bool again) {
    // The players that froze on one start are found within a moment of each other (each by its
    // own missed starts): they are gathered for a little while and replaced together, so their
    // new players start side by side instead of one after the other.
    if (frozenCameras_.empty())
        QTimer::singleShot(kFrozenGatherMs, this, [this] { replaceFrozenCameras(); });
    frozenCameras_.push_back({channel, window, again});
}

void TForm1::replaceFrozenCameras() {
    const std::vector<FrozenCamera> frozen = std::exchange(frozenCameras_, {});
    // The table of the window shown is the one in use (the other's copy is taken on the next
    // switch).
    const bool compactShown = Form2 && Form2->isVisible();
    std::vector<FrozenCamera> onMain, onCompact, dropped;
    bool snapshotsTaken = false;
    for (const FrozenCamera& f : frozen) {
        if (f.channel < 0 || f.channel >= kTableRows)
            continue;
        const bool compact =
            compactShown && f.channel < TForm2::kRows && Form2->vlcWindow[f.channel] == f.window;
        if (vlcWindow[f.channel] != f.window && !compact)
            continue;
        // A frozen picture would look like a camera standing: each player is ended (its window
        // goes with it, its snapshots are kept first), and new ones take their places, landed
        // where the others are.
        if (!snapshotsTaken)
            station::takeSnapshots();
        snapshotsTaken = true;
        station::endProcess(compact ? Form2->vlcProcessId[f.channel] : vlcProcessId[f.channel], 0);
        (f.again ? dropped : compact ? onCompact : onMain).push_back(f);
    }
    auto rows = [](const std::vector<FrozenCamera>& cameras) {
        std::vector<int> r;
        for (const FrozenCamera& f : cameras)
            r.push_back(f.channel);
        return r;
    };
    auto rejoin = [&](const std::vector<FrozenCamera>& cameras,
                      const std::vector<platform::WindowHandle>& fresh) {
        for (std::size_t k = 0; k < cameras.size(); ++k) {
            if (fresh[k] != 0)
                sync_->rejoined(cameras[k].channel, fresh[k]);
            else
                dropped.push_back(cameras[k]);
        }
    };
    if (!onMain.empty())
        rejoin(onMain, restartCameras(rows(onMain)));
    if (!onCompact.empty())
        rejoin(onCompact, Form2->restartCameras(rows(onCompact)));
    for (const FrozenCamera& f : dropped)
        dropCamera(f.channel, f.window,
                   QString("Camera %1 does not play any more: its player keeps one picture "
                           "whatever it is told (a frame step can leave it so)%2. Load the "
                           "recording again to see this camera.")
                       .arg(f.channel + 1)
                       .arg(f.again ? ", and so did a new one" : ""),
                   "Camera stopped");
}

void TForm1::dropCamera(int channel, platform::WindowHandle window, const QString& text,
                        const QString& caption) {
    if (vlcWindow[channel] == window)
        station::unload(vlcProcessId[channel], vlcWindow[channel], channelState[channel]);
    if (Form2 && channel < TForm2::kRows && Form2->vlcWindow[channel] == window) {
        Form2->vlcWindow[channel] = 0;
        Form2->channelState[channel] = 0;
        Form2->update();
    }
    recolourButtons();
    update();
    messageBox(text, caption, BoxKind::Warning);
}

void TForm1::applyReports() {
    for (const PendingReport& r : reports_.take())
        applyReport(r.channel, r.value, r.lengthPhase);
}

ReportView& TForm1::activeReportView() {
    if (Form2 && Form2->isVisible())
        return *Form2;
    return *this;
}

QSlider* TForm1::seekBar() const {
    return ui_->TrackBar1;
}
QLCDNumber* TForm1::lengthMinutes() const {
    return ui_->LCDNumber3;
}
QLCDNumber* TForm1::lengthSeconds() const {
    return ui_->LCDNumber4;
}
bool TForm1::alwaysPlay() const {
    return ui_->CheckBox2->isChecked();
}

void TForm1::applyReport(int channel, int32_t value, bool lengthPhase) {
    ReportView& view = activeReportView();
    if (lengthPhase) {
        const auto d = vorbelt::lengthPhase(view.seekBar()->maximum(), value);
        view.seekBar()->setMaximum(d.maximum);
        view.lengthMinutes()->display(QString::number(d.minutes));
        view.lengthSeconds()->display(QString::number(d.seconds));
        view.seekBar()->setTickInterval(d.tickEvery);
        sync_->setLength(d.maximum);
        return;
    }
    std::atomic<int32_t>& reference = view.reportReferenceTime();
    const bool fineSync = sync_->enabled();
    const vorbelt::PositionStep step =
        vorbelt::positionPhase(view.reportWindow(), channel == view.reportCurrentChannel(), value,
                               reference, view.alwaysPlay(), fineSync);
    const bool moved = step.setReference && reference != value;
    if (step.setReference)
        reference = value;
    if (step.seekToReference)
        platform::postMessage(view.reportRelayWindow(channel), vorbelt::kCommandMessage, 20,
                              reference);
    // With Fine Sync the players answer several times a second: the window is drawn again when
    // what it shows changes.
    if (!fineSync || moved)
        view.repaintView();
}

void TForm1::timerThreadMain() {
    timerRunning_ = true;
    while (timerRunFlag) {
        platform::sleepMs(100);
        while (pollingFlag) {
            platform::sleepMs(1000);
            station::keepPlayerLogsShort();
            // The channels of the window that the reports go to: a Load in the compact window
            // is kept in step as well as one in the main window.
            // With Fine Sync the keeper polls, and more often.
            if (sync_->enabled())
                continue;
            ReportView& view = activeReportView();
            const int n = std::min(cameraCount(), kTableRows);
            for (int i = 0; i < n; ++i)
                if (view.channelLoaded(i) && view.reportRelayWindow(i) != 0)
                    platform::postMessage(view.reportRelayWindow(i), vorbelt::kCommandMessage, 22,
                                          0);
        }
    }
    timerRunning_ = false;
}

// --- shutdown --------------------------------------------------------------------------------

void TForm1::Button0Click() {
    close();
}
void TForm1::Frame11Button2Click() {
    close();
}

bool TForm1::FormCloseQuery() {
    pollingFlag = false;
    timerRunFlag = false;
    platform::sleepMs(900);
    platform::sleepMs(900);
    station::takeSnapshots(); // (the players' homes go with them)
    // Every channel that was started, also one whose name was deleted since.
    for (int i = 0; i < startedChannels_; ++i) {
        station::endProcess(vlcProcessId[i], 100);
        station::endProcess(relayProcessId[i], 100);
    }
    // Nor may any other player outlive the station: one for a file beyond the channels, one
    // that a Load in the compact window started.
    station::endVideoPlayers(100);
    return true;
}

void TForm1::closeEvent(QCloseEvent* event) {
    if (!FormCloseQuery()) {
        event->ignore();
        return;
    }
    event->accept();
    // The main window's close ends the station, whatever else shows: the compact window
    // would otherwise keep the program running over channels that are gone.
    if (Form2 && Form2->isVisible())
        Form2->hide();
}
