#include "station.h"

#include "stand_in.h"

#include <algorithm>
#include <arpa/inet.h>
#include <csignal>
#include <cstdio>
#include <fstream>
#include <netinet/in.h>
#include <sstream>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

namespace e2e {

using testing_support::waitUntil;

namespace {

void descendants(pid_t pid, std::set<pid_t>& out) {
    for (pid_t child : testing_support::childrenOf(pid))
        if (out.insert(child).second)
            descendants(child, out);
}

} // namespace

Station::Station(Desktop& desktop, Options options) : desktop_(desktop) {
    folder_ = options.folder.empty() ? testing_support::makeTempDir() : options.folder;
    // Players started as another user (the real VLC as root) must reach the recordings, unless
    // the test has them handed over.
    chmod(folder_.c_str(), options.closedFolder ? 0700 : 0755);
    log_ = folder_ + "/players.log";
    if (!options.names.empty()) {
        std::ofstream names(folder_ + "/nevek.txt", std::ios::binary);
        for (std::size_t k = 0; k < options.names.size(); ++k)
            names << (k ? "\n" : "") << options.names[k];
    }
    const std::string build = testing_support::buildDirectory();
    std::string player = build + "tools/stand_in_vlc";
    if (options.realPlayer)
        player = getuid() == 0 ? std::string(VORBELT_SOURCE_DIR) + "/tools/vlc-as-user"
                               : std::string("/usr/bin/vlc");
    if (!options.player.empty())
        player = options.player;
    std::vector<std::string> environment{
        "VORBELT_VIDEO_PLAYER_PROGRAM=" + player,
        "VORBELT_RELAY_PROGRAM=" + build + "brellon",
        "VORBELT_MESSAGE_BOX_LOG=" + folder_ + "/boxes.log",
        "STAND_IN_LOG=" + log_,
        "STAND_IN_LENGTH=" + std::to_string(options.length),
    };
    environment.insert(environment.end(), options.environment.begin(), options.environment.end());
    process_ = std::make_unique<testing_support::Child>(
        build + "VorbeltPlayer", std::vector<std::string>{}, environment, folder_);
    if (!options.awaitWindow)
        return;
    waitUntil([&] { return (main_ = desktop_.find("VorbeltPlayer")) != 0; }, 30000);
    // Started: its window has the keyboard.
    waitUntil([&] { return desktop_.focused() == main_; }, 10000);
}

Station::~Station() {
    // Whatever a failed test left running ends with it.
    for (pid_t p : processes())
        kill(p, SIGKILL);
    process_->kill();
}

std::string Station::recording(int files, const std::string& stem, int pick,
                               const std::string& subfolder) {
    const std::string dir = subfolder.empty() ? folder_ : folder_ + "/" + subfolder;
    mkdir(dir.c_str(), 0755);
    for (int k = 0; k < files; ++k)
        std::ofstream(dir + "/" + stem + std::to_string(k) + "_st.mpg") << "x";
    return dir + "/" + stem + std::to_string(pick) + "_st.mpg";
}

Window Station::videoWindow(const std::string& title) const {
    // The relays bear the same titles (their channel numbers).
    for (Window w : desktop_.titled(title))
        if (!desktop_.ofProgram(w, "brellon"))
            return w;
    return 0;
}

Window Station::awaitDialog() {
    Window dialog = 0;
    waitUntil([&] { return (dialog = desktop_.find("Open")) != 0; }, 10000);
    // The dialog takes the keyboard once it is shown.
    waitUntil([&] { return desktop_.focused() == dialog; }, 5000);
    return dialog;
}

void Station::loadTyped(const std::string& path) {
    desktop_.click(at::kLoad.x(), at::kLoad.y());
    awaitDialog();
    desktop_.type(path);
    desktop_.key("Return");
}

void Station::loadByDoubleClick(int row) {
    desktop_.click(at::kLoad.x(), at::kLoad.y());
    const QRect dialog = desktop_.geometry(awaitDialog());
    // The file list of Qt's dialog: its first row 70 pixels below the dialog's top, 18 high.
    desktop_.doubleClick(dialog.x() + 150, dialog.y() + 70 + 18 * row);
}

bool Station::awaitLoaded(int files, int timeoutMs) {
    return waitUntil(
               [&] {
                   for (int i = 0; i < files; ++i) {
                       const auto l = linesOf(9000 + i);
                       if (std::find(l.begin(), l.end(), "get_length") == l.end())
                           return false;
                   }
                   return true;
               },
               timeoutMs) &&
           waitUntil([&] { return desktop_.focused() == main_; }, 5000);
}

std::vector<QJsonObject> Station::events(const QString& kind, int port) const {
    std::vector<QJsonObject> out;
    for (const auto& o : testing_support::readStandInLog(log_, kind))
        if (o["port"].toInt() == port)
            out.push_back(o);
    return out;
}

std::vector<std::string> Station::keysOf(int port) const {
    std::vector<std::string> keys;
    for (const auto& o : events("key", port))
        keys.push_back(o["key"].toString().toStdString());
    return keys;
}

std::vector<std::string> Station::linesOf(int port) const {
    std::vector<std::string> lines;
    for (const auto& o : events("line", port))
        lines.push_back(o["text"].toString().toStdString());
    return lines;
}

bool Station::awaitKeys(int port, std::size_t count, int timeoutMs) const {
    return waitUntil([&] { return keysOf(port).size() >= count; }, timeoutMs);
}

namespace {
int shownSeconds(const Desktop& desktop, const QRect& minutes, const QRect& seconds) {
    const QImage screen = desktop.grab(minutes.united(seconds));
    const QPoint origin = minutes.united(seconds).topLeft();
    const int m = readLcd(screen.copy(minutes.translated(-origin)), 3, 99);
    const int s = readLcd(screen.copy(seconds.translated(-origin)), 2, 59);
    return m < 0 || s < 0 ? -1 : m * 60 + s;
}
} // namespace

int Station::shownPosition() const {
    return shownSeconds(desktop_, at::kPositionMinutes, at::kPositionSeconds);
}

int Station::shownLength() const {
    return shownSeconds(desktop_, at::kLengthMinutes, at::kLengthSeconds);
}

int Station::shownCompactLength() const {
    return shownSeconds(desktop_, at::kCompactLengthMinutes, at::kCompactLengthSeconds);
}

std::vector<pid_t> Station::relays() const {
    std::vector<pid_t> found;
    for (pid_t p : testing_support::childrenOf(process_->pid())) {
        std::ifstream comm("/proc/" + std::to_string(p) + "/comm");
        std::string name;
        std::getline(comm, name);
        if (name == "brellon")
            found.push_back(p);
    }
    std::sort(found.begin(), found.end()); // started one after the other
    return found;
}

pid_t Station::player(int port) const {
    const auto starts = events("start", port);
    return starts.empty() ? 0 : starts.back()["pid"].toInt();
}

std::set<pid_t> Station::processes() const {
    std::set<pid_t> all;
    if (testing_support::processAlive(process_->pid())) {
        all.insert(process_->pid());
        descendants(process_->pid(), all);
    }
    return all;
}

bool Station::exitAndAwaitEnd(QPoint exitButton) {
    return awaitEndAfter([&] { desktop_.click(exitButton.x(), exitButton.y()); });
}

bool Station::listening(int port) {
    return testing_support::portAccepts(port);
}

std::vector<std::string> Station::listeningAddresses(int port) {
    std::vector<std::string> found;
    char hexPort[8];
    std::snprintf(hexPort, sizeof hexPort, "%04X", port);
    for (const char* table : {"/proc/net/tcp", "/proc/net/tcp6"}) {
        std::ifstream f(table);
        std::string line;
        std::getline(f, line); // the header
        while (std::getline(f, line)) {
            std::istringstream fields(line);
            std::string slot, local, remote, state;
            fields >> slot >> local >> remote >> state;
            const auto colon = local.rfind(':');
            if (state == "0A" && colon != std::string::npos && local.substr(colon + 1) == hexPort)
                found.push_back(local.substr(0, colon));
        }
    }
    return found;
}

bool Station::awaitEndAfter(const std::function<void()>& closing) {
    const std::set<pid_t> before = processes();
    closing();
    if (!process_->wait(15000))
        return false;
    return waitUntil(
        [&] {
            for (pid_t p : before)
                if (testing_support::processAlive(p))
                    return false;
            return true;
        },
        5000);
}

std::vector<std::string> Station::messageBoxes() const {
    std::vector<std::string> boxes;
    std::ifstream f(folder_ + "/boxes.log");
    for (std::string line; std::getline(f, line);)
        boxes.push_back(line);
    return boxes;
}

} // namespace e2e
