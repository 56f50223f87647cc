// The built station started as its own process, in a folder of its own, with video players of
// the test's choice (the stand-in, whose log tells what reached each player, or the real VLC),
// and the places on screen where the operator finds its controls.
#pragma once

#include "child.h"
#include "desktop.h"

#include <QJsonObject>
#include <QPoint>

#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace e2e {

// Where the controls stand on screen, the main window being at the left origin 0.
namespace at {
const QPoint kLoad(460, 20);
const QPoint kExit(532, 20);
const QPoint kSeekBar(284, 452);
// The position and length displays (minutes and seconds) of the control panel.
const QRect kPositionMinutes(16, 434, 41, 31), kPositionSeconds(56, 434, 41, 31);
const QRect kLengthMinutes(472, 434, 41, 31), kLengthSeconds(512, 434, 41, 31);
const QPoint kSettingsSave(328, 20);
// The opacity track bar on the Settings panel: its groove, right of the handle.
const QPoint kOpacityHigh(560 + 16 + 112, 248 + 10);
// The Settings panel's "FileList" check box.
const QPoint kFileList(560 + 16 + 10, 168 + 12);
// The Settings panel's "Fine Sync" check box.
const QPoint kFineSync(560 + 16 + 10, 280 + 11);
// Transport strip zones: 0 Play/Pause, 1 Seek Back, 2 Seek Forward, 3 Slower, 4 Faster,
// 5 Step, 6 Snapshot.
inline QPoint transport(int zone) {
    return {22 + 12 + 25 * zone, 20};
}
// The compact window at the screen's top left.
const QPoint kCompactLoad(272, 172);
const QPoint kCompactExit(144, 20);
const QRect kCompactLengthMinutes(44, 306, 41, 31), kCompactLengthSeconds(84, 306, 41, 31);
inline QPoint compactTransport(int zone) {
    return {44 + 12 + 25 * zone, 172};
}
} // namespace at

class Station {
public:
    struct Options {
        std::vector<std::string> names; // empty: no names file (four cameras)
        bool realPlayer = false;        // the real VLC instead of the stand-in
        int length = 125;               // the stand-in's media length
        bool closedFolder = false;      // the station's folder closed to other users (0700)
        std::string folder = {};        // the folder of an earlier station (empty: a new one)
        std::string player = {};        // another video player program (empty: as above)
        bool awaitWindow = true;        // wait for the main window (a refused start has none)
        std::vector<std::string> environment = {}; // more NAME=value for the station
    };
    explicit Station(Desktop& desktop) : Station(desktop, Options{}) {}
    Station(Desktop& desktop, Options options);
    ~Station();

    const std::string& folder() const { return folder_; }
    pid_t pid() const { return process_->pid(); }
    Window mainWindow() const { return main_; }
    // The video window titled `title` (the station titles them by camera), or 0.
    Window videoWindow(const std::string& title) const;

    // Files <stem>0_st.mpg ... in `subfolder` of the station's folder (empty: the folder
    // itself, where the open dialog starts); the full path of the file of camera `pick`.
    std::string recording(int files, const std::string& stem = "take", int pick = 0,
                          const std::string& subfolder = "rec");

    // "Load", the path typed into the open dialog's file-name field and Return.
    void loadTyped(const std::string& path);
    // "Load", and a double-click on the `row`th file that the open dialog lists where it
    // starts (the station's folder).
    void loadByDoubleClick(int row);
    // Waits for the open dialog; its window.
    Window awaitDialog();
    // Waits until every one of `files` players has been asked its length and the main window
    // has the keyboard again (Load has ended).
    bool awaitLoaded(int files, int timeoutMs = 30000);

    // What reached the player on `port`: its keys, its command lines, all events of a kind.
    std::vector<std::string> keysOf(int port) const;
    std::vector<std::string> linesOf(int port) const;
    std::vector<QJsonObject> events(const QString& kind, int port) const;
    // Waits until the player on `port` has received `count` keys.
    bool awaitKeys(int port, std::size_t count, int timeoutMs = 5000) const;

    // What the main window's displays show, in seconds: the position (the current camera's
    // last report) and the length; -1 when unreadable.
    int shownPosition() const;
    int shownLength() const;
    // The compact window's length display.
    int shownCompactLength() const;

    // The relays, in the order they were started (channel 0 first), and the player on `port`.
    std::vector<pid_t> relays() const;
    pid_t player(int port) const;

    // The station's processes: itself, its relays and its players.
    std::set<pid_t> processes() const;
    // "Exit" clicked; true when the station and every process it started have ended.
    bool exitAndAwaitEnd(QPoint exitButton = at::kExit);
    // The same after `closing` (a window manager's close, say).
    bool awaitEndAfter(const std::function<void()>& closing);
    // Whether something accepts connections on 127.0.0.1:`port`.
    static bool listening(int port);
    // The local addresses on which some process listens on TCP `port`, as /proc/net/tcp and
    // /proc/net/tcp6 give them ("0100007F" is 127.0.0.1).
    static std::vector<std::string> listeningAddresses(int port);
    // Message boxes the station showed ("caption<TAB>text" lines).
    std::vector<std::string> messageBoxes() const;
    // Waits for the station's process to end; its exit status.
    std::optional<int> awaitExit(int timeoutMs) { return process_->wait(timeoutMs); }

private:
    Desktop& desktop_;
    std::string folder_;
    std::string log_;
    std::unique_ptr<testing_support::Child> process_;
    Window main_ = 0;
};

} // namespace e2e
