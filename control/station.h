// What the main window and the compact window do alike with the station's processes and
// windows: starting a video player, waiting for its window, ending processes, colouring the
// camera buttons.
#pragma once

#include "control/sync_keeper.h"
#include "core/relay_commands.h"
#include "platform/process.h"
#include "platform/window.h"

#include <QObject>
#include <QSet>
#include <QString>
#include <QStringList>

#include <atomic>

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

class QAbstractSlider;
class QColor;
class QFont;
class QEvent;
class QLCDNumber;
class QPushButton;
class QWidget;

namespace station {

// The folder of the station's own VLC profile: beside the program in the build folder, in
// the station's data folder when installed.
QString videoPlayerProfile();

// The players' private profiles: a folder of the station's own in the user's private runtime
// folder (vorbelt-players-<pid>-XXXXXX, removed when the station ends; those of stations that
// are gone are removed first), with a subfolder per player port that holds the player's VLC
// profile and the secret its relay logs in with; nothing there is readable by other users.
// Made once at start-up, before the relays, which are told its place. Returns the folder, or
// an empty string and why (then no player is started).
std::string openPlayerProfiles(std::string* why = nullptr);

// As root the players keep their snapshots in their private homes: the station takes them into
// its snapshots folder (the operator's, opened without following a link), now (waiting for a
// picture still being written, as the players are about to end) or over the next seconds.
void takeSnapshots();
void takeSnapshotsSoon();
// Each player's log (its output and errors, in the private folder) kept short.
void keepPlayerLogsShort();

// Starts the video player for list item `item` as player `index` (telnet port 9000 + index),
// with a fresh secret of its own, once its port is seen to be free, and `pauseMs` later waits
// for its window (retitled `title`; "Wait more?" after `questionAfter` polls). A player that
// cannot start, or shows no window, is named to the operator with why, and ended: then its
// process id is -1 and its window 0. The station keeps a record of every player it started,
// whichever window started it. Several requests start every player first and then await their
// windows in turn, so the starts overlap; one answer per request, in order.
struct PlayerWindow {
    platform::ProcessId pid;
    platform::WindowHandle window;
};
struct PlayerRequest {
    int index;
    std::string item;
    std::string title;
};
std::vector<PlayerWindow> startAndAwaitPlayers(const std::vector<PlayerRequest>& requests,
                                               bool doubleWide, unsigned pauseMs,
                                               int questionAfter);

// The waits after new players of rows `rows` are placed: 300 ms, each relay (`relayWindow`)
// told to connect to its player, 300 ms; when `askLength` (a Load), each asked the length and
// 300 ms more.
void connectNewPlayers(const std::vector<int>& rows,
                       const std::atomic<platform::WindowHandle>* relayWindow, bool askLength);

// A channel row whose player is gone: no state, no video window, no video process.
template <class State>
void unload(platform::ProcessId& videoProcess, platform::WindowHandle& videoWindow, State& state) {
    videoProcess = -1;
    videoWindow = 0;
    state = 0;
}

// The players started for rows `rows` (`players`, in that order) entered in a window's table:
// a row without a window is unloaded; each row with one gets End and Left (it stands at its
// start) and is returned, to be placed.
template <class State>
std::vector<int> enterNewPlayers(const std::vector<int>& rows,
                                 const std::vector<PlayerWindow>& players,
                                 platform::ProcessId* videoProcess,
                                 platform::WindowHandle* videoWindow, State* state) {
    std::vector<int> entered;
    for (std::size_t k = 0; k < rows.size(); ++k) {
        const int i = rows[k];
        videoProcess[i] = players[k].pid;
        videoWindow[i] = players[k].window;
        if (videoWindow[i] == 0) {
            unload(videoProcess[i], videoWindow[i], state[i]);
            continue;
        }
        entered.push_back(i);
        platform::postMessage(videoWindow[i], platform::WM_KEYDOWN_MESSAGE, platform::VK_END_KEY,
                              0);
        platform::postMessage(videoWindow[i], platform::WM_KEYDOWN_MESSAGE, platform::VK_LEFT_KEY,
                              0);
    }
    return entered;
}

// Ends every video player the station started and that still runs, `pauseMs` after each
// termination; the record is then empty.
void endVideoPlayers(unsigned pauseMs);

// A flag that the whole station shares (the polling and length-phase flags): the compact
// window's copy refers to the main window's once the two are joined, so that whichever
// window loads sets the flag that the timer thread and the report readers read.
class SharedFlag {
public:
    explicit SharedFlag(bool initial) : own_(initial) {}
    SharedFlag& operator=(bool value) {
        flag_->store(value);
        return *this;
    }
    operator bool() const { return flag_->load(); }
    void shareWith(std::atomic<bool>& station) { flag_ = &station; }

private:
    std::atomic<bool> own_;
    std::atomic<bool>* flag_ = &own_;
};

// One station per user at a time: a lock in the user's private runtime folder, held while the
// station runs; the system drops it with the process, however the station ends.
class StationLock {
public:
    StationLock();
    ~StationLock();
    StationLock(const StationLock&) = delete;
    StationLock& operator=(const StationLock&) = delete;
    // Whether this station may run: it holds the lock, or there is no place to keep one (then
    // nothing can be started anyway, and the operator is told so).
    bool held() const { return held_; }
    QString why() const { return why_; }

private:
    bool held_ = true;
    QString why_;
    intptr_t handle_ = -1;
};

// The busy cursor over the station's windows while the window thread blocks (Load, a camera
// selection and the other designed waits), shown at once.
class BusyCursor {
public:
    BusyCursor();
    ~BusyCursor();
    BusyCursor(const BusyCursor&) = delete;
    BusyCursor& operator=(const BusyCursor&) = delete;
};

// Which of a Load's `files` get a player: none when no player may start at all (no private
// folder for their profiles: one box names it and why); else those that can be played (a
// regular, non-empty file the station can read; the others named in one box) of cameras that
// `hasRelay` (nobody else could drive a player, yet it would listen on its port; the others
// named in one box). Asked before any player starts.
std::vector<bool> filesToPlay(const QStringList& files, const std::function<bool(int)>& hasRelay);

// Tells the keeper of Fine Sync the channels of the Load just ended: of the first `count` rows,
// those loaded (`states` non-zero) with their relay and video windows and their `files`.
template <class Relays, class Videos, class States>
void syncLoaded(SyncKeeper& sync, const Relays& relays, const Videos& videos, const States& states,
                const QStringList& files, int count, int current, int32_t lengthSeconds) {
    std::vector<SyncKeeper::Channel> channels(static_cast<std::size_t>(count));
    for (int i = 0; i < count; ++i)
        if (states[i] != 0)
            channels[static_cast<std::size_t>(i)] = {
                relays[i], videos[i], i < files.size() ? files[i].toStdString() : std::string()};
    sync.loaded(channels, current, lengthSeconds);
}

// Polls every 100 ms for the top-level window titled `title`; from the poll after
// `questionAfter` on, every poll asks "Wait more?" with `caption`, the one that found the
// window included, and any answer but OK ends the wait. Returns the handle found, or 0.
platform::WindowHandle awaitOwnWindow(const std::string& title, int questionAfter,
                                      const QString& caption);

// Ends process `pid` with exit code 0 when it can be opened; `pauseMs` after the termination.
void endProcess(platform::ProcessId pid, unsigned pauseMs);

// --- the posts both windows make over the first `count` rows of their channel table --------
// (`Windows` is a table of window handles: plain, or atomic where reader threads look too.)

// The seek bar: code 20 (seek to `seconds`) to every relay window, in row order. With Fine Sync
// on, the keeper moves every camera there.
template <class Windows>
void seekAll(SyncKeeper* sync, const Windows& relays, int count, int32_t seconds) {
    if (sync && sync->enabled()) {
        sync->seekAll(seconds);
        return;
    }
    for (int i = 0; i < count; ++i)
        platform::postMessage(relays[i], vorbelt::kCommandMessage, 20, seconds);
}

// Play/Pause: VK_HOME to the current camera's video window when it has one, then every relay
// seeks to `seconds`, so that all cameras stand at the same second. A current camera (row
// `current`) that stands at the end of its recording is sought to its start first, with every
// other camera: "play" there would end its player, and its window with it. With Fine Sync on,
// every camera plays or pauses, together.
template <class Windows>
void playPause(SyncKeeper* sync, int current, platform::WindowHandle currentVideo,
               const Windows& relays, int count, int32_t seconds) {
    if (sync && sync->enabled()) {
        sync->playPause();
        return;
    }
    if (sync && sync->standsAtEnd(current)) {
        seekAll(nullptr, relays, count, 0);
        platform::sleepMs(300);
        seconds = 0;
    }
    if (currentVideo != 0)
        platform::postMessage(currentVideo, platform::WM_KEYDOWN_MESSAGE, platform::VK_HOME_KEY, 0);
    seekAll(nullptr, relays, count, seconds);
}

// A key-down to every known (non-zero) video window, in row order.
template <class Windows> void keyToAll(const Windows& videos, int count, uint32_t virtualKey) {
    for (int i = 0; i < count; ++i)
        if (videos[i] != 0)
            platform::postMessage(videos[i], platform::WM_KEYDOWN_MESSAGE, virtualKey, 0);
}

// A transport key (F2 .. F12, Backspace) to every known video window. With Fine Sync on, the
// keeper hears of it: it moves every camera for the seek keys itself, steps them a frame itself
// (the players' own step can leave one unable to play again), and holds its corrections off
// from the speed keys until Backspace. Off, it hears of the players' own steps.
template <class Windows>
void transportKey(SyncKeeper* sync, const Windows& videos, int count, uint32_t virtualKey) {
    if (!sync || !sync->enabled()) {
        keyToAll(videos, count, virtualKey);
        if (virtualKey == platform::VK_SPACE_KEY)
            takeSnapshotsSoon();
        if (sync && virtualKey == platform::VK_INSERT_KEY)
            sync->stepped();
        return;
    }
    if (virtualKey == platform::VK_LEFT_KEY || virtualKey == platform::VK_RIGHT_KEY) {
        sync->jump(virtualKey == platform::VK_RIGHT_KEY ? 1 : -1);
        return;
    }
    if (virtualKey == platform::VK_INSERT_KEY) {
        sync->stepped();
        return;
    }
    keyToAll(videos, count, virtualKey);
    if (virtualKey == platform::VK_SPACE_KEY)
        takeSnapshotsSoon();
    if (virtualKey == platform::VK_UP_KEY || virtualKey == platform::VK_DOWN_KEY)
        sync->operatorRate(false);
    else if (virtualKey == platform::VK_BACK_KEY)
        sync->operatorRate(true);
}

// Alpha mode with `alpha` for every known video window but the one of row `except`.
template <class Windows>
void setAlphaExcept(const Windows& videos, int count, int except, uint8_t alpha) {
    for (int i = 0; i < count; ++i)
        if (i != except && videos[i] != 0)
            platform::setLayeredWindowAttributes(videos[i], 0, alpha, platform::LWA_ALPHA_FLAG);
}

// --- widgets ------------------------------------------------------------------------------

// The form's own events, alike in both control windows: a key pressed while the form itself or
// one of its `keyBound` controls has the focus goes to `keyDown`, whose answer is returned (a
// key that an unbound control, the names memo say, leaves untaken travels on to the form: it
// is not the form's); a pointer move over none of the form's controls goes to `bareMove` (a
// move over a control that does not take it comes on to the form as well). Nothing for any
// other event, or for a key that is not the form's: the form handles it as usual.
std::optional<bool> formEvent(QWidget* form, QEvent* event, const QSet<QObject*>& keyBound,
                              const std::function<bool(int)>& keyDown,
                              const std::function<void()>& bareMove);

// A pointer move that a control leaves untaken travels on to its parents: whether `event`, seen
// by `watched`, is such a move, made over one of its children (only the control under the
// pointer is pointed at).
bool passedOn(QObject* watched, QEvent* event);

// A mouse button pressed: a press, or a second press quick enough to count as a double-click
// (which Qt reports as such instead of as a press). Every press on the transport strip and the
// label tiles acts.
bool isPress(const QEvent* event);

// Calls `panelExit` when the keyboard focus leaves one of `panels` for another control of
// `window` (not when the whole window loses the focus to another window). The connection is
// the caller's to end before its panels are destroyed.
QMetaObject::Connection onFocusLeavingPanels(QWidget* window, std::vector<QWidget*> panels,
                                             std::function<void()> panelExit);

// Tells the operator's own moves of a seek bar (a drag, a click into its groove, the wheel) from
// the moves the program makes (the repaint, the hand-over, a reset): only the operator's seek.
class OperatorMoves : public QObject {
public:
    explicit OperatorMoves(QAbstractSlider* slider);
    // Whether the value change being handled now is the operator's (asked once per change).
    bool take();

private:
    QAbstractSlider* slider_;
    bool pending_ = false;
};

// A seek-bar position in seconds shown as minutes and seconds.
void showPosition(QLCDNumber* minutes, QLCDNumber* seconds, int position);

// The control windows' font: bold, 16 pixels, of the metrics the windows' controls are sized
// for (Liberation Sans has Arial's), so that every caption fits its control.
QFont formFont();

// `w` filled with colour `c`.
void setBackground(QWidget* w, const QColor& c);

// Colour of a channel state on its camera button: grey, green, black, yellow; red otherwise.
void colourCameraButton(QPushButton* button, uint8_t state);

// Sends what Qt has buffered for the X server now: a window shown or masked by a handler that
// then blocks is otherwise seen by other clients only when the event loop runs again.
void flushWindowSystem();

} // namespace station
