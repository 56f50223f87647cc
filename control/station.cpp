#include "control/station.h"

#include "core/player_launch.h"
#include "platform/pipe.h"
#include "platform/qt/message_box.h"

#include <QAbstractSlider>
#include <QApplication>
#include <QColor>
#include <QDir>
#include <QEvent>
#include <QFile>
#include <QFileInfo>
#include <QFont>
#include <QKeyEvent>
#include <QLCDNumber>
#include <QMouseEvent>
#include <QPalette>
#include <QPushButton>
#include <QRegularExpression>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTimer>
#ifdef _WIN32
#include <windows.h>
#else
#include <dirent.h>
#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>
#include <xcb/xcb.h>
#endif

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <map>
#include <utility>
#include <vector>

namespace station {

QString videoPlayerProfile() {
    return QString::fromStdString(platform::dataDirectory()) + "vlc-profile";
}

namespace {
// Every video player started and not yet ended by the station (used on the window thread).
std::vector<platform::ProcessId>& startedPlayers() {
    static std::vector<platform::ProcessId> players;
    return players;
}
#ifndef _WIN32
void removeSpentHomes(int awaitMs);
#endif
} // namespace

void endVideoPlayers(unsigned pauseMs) {
    // Their last snapshots first: the homes go with the players.
    takeSnapshots();
    for (platform::ProcessId pid : startedPlayers())
        if (platform::processRunning(pid))
            endProcess(pid, pauseMs);
    startedPlayers().clear();
#ifndef _WIN32
    removeSpentHomes(300);
#endif
}

#ifndef _WIN32
namespace {

// The private homes made for players as root: in this folder, named this, the station's
// process id, a dash and more.
constexpr const char* kHomesFolder = "/tmp";
constexpr const char* kHomePrefix = "vorbelt-vlc-home-";

// The station's folder of player profiles, made at start-up; empty when it could not be made,
// and why.
std::string& profilesFolder() {
    static std::string folder;
    return folder;
}
std::string& profilesRefused() {
    static std::string why;
    return why;
}

// The folders in `dir` named `prefix`, the id of the station's process and more, whose station
// no longer runs (a station killed leaves them).
QStringList staleStationFolders(const QDir& dir, const QString& prefix) {
    QStringList stale;
    for (const QString& name : dir.entryList({prefix + "*"}, QDir::Dirs | QDir::Hidden)) {
        bool ok = false;
        const int pid = name.mid(prefix.size()).section('-', 0, 0).toInt(&ok);
        if (!ok || pid <= 0 || pid == getpid())
            continue;
        // Alive: a station of that id runs (not merely waits, ended, to be reaped).
        if (platform::runningProgram(pid) != "VorbeltPlayer")
            stale << dir.filePath(name);
    }
    return stale;
}

// Removes what stations no longer running left: their profile folders, secrets and all, and
// the players' homes they made as root that no player took (the wrapper removes those it took
// once their player ends).
void removeStaleFolders(const QString& runtime) {
    for (const QString& folder : staleStationFolders(QDir(runtime), "vorbelt-players-"))
        QDir(folder).removeRecursively();
    if (getuid() == 0)
        for (const QString& home : staleStationFolders(QDir(kHomesFolder), kHomePrefix))
            QDir().rmdir(home); // (only while empty)
}

// The account the players run as when the station runs as root.
constexpr const char* kPlayerAccount = "vorbelt-player";

// Whether this Load's snapshots folder was refused (a link, or no folder).
bool& snapshotsRefused() {
    static bool refused = false;
    return refused;
}

// As root: the private home of each player, by camera row.
std::map<int, std::string>& playerHomes() {
    static std::map<int, std::string> homes;
    return homes;
}

// As root: every home made for a player, with that player's process. The wrapper that runs the
// player as its account removes the home it took once the player ends; one it never took (a
// player program without the wrapper, or a wrapper that failed first) is removed here once its
// player has ended, and only while empty.
std::vector<std::pair<platform::ProcessId, std::string>>& madeHomes() {
    static std::vector<std::pair<platform::ProcessId, std::string>> homes;
    return homes;
}

// Removes the homes of the players that have ended, waiting up to `awaitMs` for players just
// ended to be reaped.
void removeSpentHomes(int awaitMs) {
    auto& homes = madeHomes();
    const auto running = [](const auto& h) { return platform::processRunning(h.first); };
    for (int waited = 0; waited < awaitMs && std::any_of(homes.begin(), homes.end(), running);
         waited += 10)
        platform::sleepMs(10);
    homes.erase(std::remove_if(homes.begin(), homes.end(),
                               [&](const auto& h) {
                                   if (running(h))
                                       return false;
                                   rmdir(h.second.c_str());
                                   return true;
                               }),
                homes.end());
}

// A fresh secret from the system's random source: 128 bits as 32 hexadecimal digits.
std::optional<std::string> freshSecret() {
    unsigned char bytes[16];
    std::size_t got = 0;
    while (got < sizeof bytes) {
        const ssize_t n = getrandom(bytes + got, sizeof bytes - got, 0);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return std::nullopt;
        }
        got += static_cast<std::size_t>(n);
    }
    static const char hex[] = "0123456789abcdef";
    std::string s;
    for (unsigned char b : bytes) {
        s += hex[b >> 4];
        s += hex[b & 15];
    }
    return s;
}

bool writePrivate(const QString& path, const QByteArray& content) {
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return false;
    f.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    return f.write(content) == content.size() && f.flush();
}

// The profile of player `index`: the station's own, with the player's telnet interface bound
// to the loopback address on its port and a fresh secret as its password (VLC binds every
// interface whatever its telnet-host says; its interface settings take the host, which must
// then carry the port and the password, in a file rather than on a command line that every
// user may read). Beside it the secret for the relay. Nothing of it is readable by others.
// Returns the profile folder, or empty with why.
std::string playerProfile(int index, QString& why) {
    const std::string& folder = profilesFolder();
    if (folder.empty()) {
        why = QString::fromStdString(profilesRefused());
        return "";
    }
    QFile base(videoPlayerProfile() + "/vlc/vlcrc");
    if (!base.open(QIODevice::ReadOnly)) {
        why = base.fileName() + ": " + base.errorString();
        return "";
    }
    const auto secret = freshSecret();
    if (!secret) {
        why = QString("no secret from the system's random source: ") + std::strerror(errno);
        return "";
    }
    QString text = QString::fromUtf8(base.readAll());
    const QString port = QString::number(vorbelt::playerPort(index));
    const QString password = QString::fromStdString(*secret);
    // Whatever password the station's profile names gives way to this player's own.
    text.remove(QRegularExpression("^telnet-password=.*$\n?", QRegularExpression::MultilineOption));
    text.replace("[lua]\n", "[lua]\ntelnet-password=" + password +
                                "\nlua-config=telnet={host='127.0.0.1:" + port + "',password='" +
                                password + "'}\n");
    // Its snapshots in the station's snapshots folder, named by camera (as root, in the player's
    // own home, from which the station takes them; none where the folder is refused).
    const QString snapshots = snapshotsRefused() ? QString::fromStdString(folder) + "/no-snapshots"
                                                 : QDir::current().absoluteFilePath("snapshots");
    if (!snapshotsRefused())
        QDir().mkdir(snapshots);
    text.remove(
        QRegularExpression("^snapshot-(path|prefix)=.*$\n?", QRegularExpression::MultilineOption));
    text.replace("[core]\n", "[core]\nsnapshot-path=" + snapshots + "\nsnapshot-prefix=camera" +
                                 QString::number(index + 1) + "-\n");
    auto file = [&](const char* name) {
        return QString::fromStdString(
            vorbelt::playerFile(folder, vorbelt::playerPort(index), name));
    };
    const QString dir = file("");
    QDir(dir).removeRecursively();
    if (!QDir().mkpath(file("vlc")) || !writePrivate(file("vlc/vlcrc"), text.toUtf8()) ||
        !writePrivate(file("secret"), password.toLatin1())) {
        why = dir + ": " + std::strerror(errno);
        return "";
    }
    return dir.toStdString();
}

// Whether nothing listens on the loopback port (a listener there, of any user, would take the
// player's commands). Its own way of binding: the players reuse addresses too. A player of the
// previous Load, just ended, may still hold it for a moment (on a busy machine a second may not
// be enough): it is given three seconds to let go.
bool portFree(int port) {
    for (int attempt = 0; attempt < 30; ++attempt) {
        // Any listener on the port, on any local address, IPv4 or IPv6: the player binds the
        // loopback address, but its relay would find the other one too.
        QTcpServer probe;
        if (platform::tcpListeners(port).empty() &&
            probe.listen(QHostAddress::LocalHost, static_cast<quint16>(port)))
            return true;
        platform::sleepMs(100);
    }
    return false;
}

} // namespace

std::string openPlayerProfiles(std::string* why) {
    if (!profilesFolder().empty() || !profilesRefused().empty()) {
        if (why)
            *why = profilesRefused();
        return profilesFolder();
    }
    std::string refused;
    const std::string runtime = platform::privateDirectory(&refused);
    if (runtime.empty()) {
        profilesRefused() = "no private folder for the players' profiles (" + refused + ")";
    } else {
        removeStaleFolders(QString::fromStdString(runtime));
        // Removed when the station ends; a killed station's is removed by the next one.
        static QTemporaryDir profiles(QString::fromStdString(runtime) + "/vorbelt-players-" +
                                      QString::number(getpid()) + "-XXXXXX");
        if (profiles.isValid())
            profilesFolder() = profiles.path().toStdString();
        else
            profilesRefused() =
                runtime + "/vorbelt-players-*: " + profiles.errorString().toStdString();
    }
    if (why)
        *why = profilesRefused();
    return profilesFolder();
}

namespace {
// A player writes its picture into a file it has just made: one changed this recently may still
// be written, and a copy of it would keep half a picture (and the whole one be removed).
constexpr int kSnapshotSettleMs = 1000;

// How long ago the file of `st` was last written, in milliseconds.
long long msSinceWritten(const struct stat& st) {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    return (now.tv_sec - st.st_mtim.tv_sec) * 1000LL + (now.tv_nsec - st.st_mtim.tv_nsec) / 1000000;
}

// Moves the players' snapshots into the snapshots folder (waiting for pictures still being
// written when `awaitFresh`).
void moveSnapshots(bool awaitFresh) {
    if (playerHomes().empty() || snapshotsRefused())
        return;
    // Into the operator's own folder, opened without following a link: a name already there is
    // kept, the new picture is not written over it.
    mkdir("snapshots", 0755);
    const int into = open("snapshots", O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (into < 0)
        return;
    for (const auto& [index, home] : playerHomes()) {
        DIR* from = opendir((home + "/snapshots").c_str());
        if (!from)
            continue;
        while (const dirent* e = readdir(from)) {
            if (e->d_name[0] == '.')
                continue;
            const int source = openat(dirfd(from), e->d_name, O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
            struct stat st {};
            if (source < 0 || fstat(source, &st) != 0 || !S_ISREG(st.st_mode)) {
                if (source >= 0)
                    close(source);
                continue;
            }
            // A picture still being written is left for a later round; before its player ends
            // (and its home with it) the round waits for it instead.
            const long long age = msSinceWritten(st);
            if (age >= 0 && age < kSnapshotSettleMs) {
                if (!awaitFresh) {
                    close(source);
                    continue;
                }
                platform::sleepMs(static_cast<unsigned>(kSnapshotSettleMs - age));
            }
            const int target =
                openat(into, e->d_name, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
            bool copied = target >= 0;
            char buffer[65536];
            for (ssize_t n; copied && (n = read(source, buffer, sizeof buffer)) != 0;)
                copied = n > 0 && write(target, buffer, static_cast<std::size_t>(n)) == n;
            close(source);
            if (target >= 0)
                close(target);
            // Moved only when whole: a copy cut short (a full disk) goes, the picture stays.
            if (copied)
                unlinkat(dirfd(from), e->d_name, 0);
            else if (target >= 0)
                unlinkat(into, e->d_name, 0);
        }
        closedir(from);
    }
    close(into);
}
} // namespace

void takeSnapshots() {
    moveSnapshots(true);
}

void takeSnapshotsSoon() {
    // A player writes its picture a moment after the key (on a busy machine, seconds after);
    // the last round comes late enough to take one written just before the round before it.
    for (int ms : {700, 2000, 5000, 9000, 9000 + kSnapshotSettleMs + 500})
        QTimer::singleShot(ms, qApp, [] { moveSnapshots(false); });
}

void keepPlayerLogsShort() {
    if (profilesFolder().empty())
        return;
    // A player that writes without end costs the folder no more than this each.
    constexpr qint64 kLogMost = 1 << 20;
    const QDir profiles(QString::fromStdString(profilesFolder()));
    for (const QString& port : profiles.entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        const QString log = profiles.filePath(port + "/player.log");
        if (QFileInfo(log).size() > kLogMost)
            (void)!truncate(log.toLocal8Bit().constData(), 0);
    }
}
#else
std::string openPlayerProfiles(std::string*) {
    return "";
}
void takeSnapshots() {}
void takeSnapshotsSoon() {}
void keepPlayerLogsShort() {}
#endif

namespace {

// Whether players may start at all: not without their private profiles' folder.
bool playersMayStart() {
#ifndef _WIN32
    if (profilesFolder().empty()) {
        messageBox("No video player is started: " + QString::fromStdString(profilesRefused()) + ".",
                   "Vorbelt Player", BoxKind::Warning);
        return false;
    }
    // As root the players run as the station's own account, never as one that others share.
    const std::string program = platform::videoPlayerProgram();
    if (getuid() == 0 && QString::fromStdString(program).endsWith("vlc-as-user") &&
        !getpwnam(kPlayerAccount)) {
        messageBox(QString("No video player is started: as root the players run as the account "
                           "%1, which this machine lacks. Create it with\n"
                           "adduser --system --group --no-create-home --home /nonexistent %1")
                       .arg(kPlayerAccount),
                   "Vorbelt Player", BoxKind::Warning);
        return false;
    }
    // The snapshots folder takes the players' pictures: a link there could put them anywhere.
    snapshotsRefused() = false;
    struct stat st {};
    if (lstat("snapshots", &st) == 0 && !S_ISDIR(st.st_mode)) {
        snapshotsRefused() = true;
        messageBox(QDir::current().absoluteFilePath("snapshots") +
                       (S_ISLNK(st.st_mode) ? " is a link" : " is not a folder") +
                       ": no snapshot is taken (F12) until it is a folder of its own.",
                   "Snapshots", BoxKind::Warning);
    }
#endif
    return true;
}

// Strikes from `play` the files of cameras without a relay, naming them in one box.
void withoutRelay(int count, const std::function<bool(int)>& hasRelay, std::vector<bool>& play) {
    QStringList left;
    for (int i = 0; i < count; ++i)
        if (!hasRelay(i)) {
            if (play[static_cast<std::size_t>(i)])
                left << QString::number(i + 1);
            play[static_cast<std::size_t>(i)] = false;
        }
    if (!left.isEmpty())
        messageBox("No relay drives camera " + left.join(", ") +
                       " (one relay runs per camera name): its file is not played.",
                   "Vorbelt Player", BoxKind::Warning);
}

// Which files can be played; the others named in one box, with why.
std::vector<bool> playableFiles(const QStringList& files) {
    std::vector<bool> playable;
    QStringList refused;
    for (const QString& f : files) {
        const QFileInfo info(f);
        QFile file(f);
        QString why;
        if (!info.isFile())
            why = "no regular file";
        else if (info.size() == 0)
            why = "empty";
        else if (!file.open(QIODevice::ReadOnly))
            why = file.errorString();
        playable.push_back(why.isEmpty());
        if (!why.isEmpty())
            refused << f + ": " + why;
    }
    if (!refused.isEmpty())
        messageBox("These files cannot be played; their cameras are left out:\n" +
                       refused.join('\n'),
                   "Vorbelt Player", BoxKind::Warning);
    return playable;
}

} // namespace

std::vector<bool> filesToPlay(const QStringList& files, const std::function<bool(int)>& hasRelay) {
    std::vector<bool> play(static_cast<std::size_t>(files.size()), false);
    if (files.isEmpty() || !playersMayStart())
        return play;
    play = playableFiles(files);
    withoutRelay(static_cast<int>(files.size()), hasRelay, play);
    return play;
}

namespace {

// Starts the player: its process id, or -1 and why (for the operator).
struct PlayerStart {
    platform::ProcessId pid;
    QString why;
};

PlayerStart startVideoPlayer(int index, bool doubleWide, const std::string& item) {
    const int port = vorbelt::playerPort(index);
#ifdef _WIN32
    const bool windowsOptions = true;
    const std::vector<std::pair<std::string, std::string>> environment;
    const platform::ChildStreams streams;
#else
    // Every player the station starts reads a profile of its own.
    const bool windowsOptions = false;
    if (!portFree(port))
        return {-1, QString("Port %1 is in use by another program: camera %2 is not started.")
                        .arg(port)
                        .arg(index + 1)};
    QString why;
    const std::string profile = playerProfile(index, why);
    if (profile.empty())
        return {-1, QString("The video player of camera %1 is not started: its profile cannot "
                            "be made (%2).")
                        .arg(index + 1)
                        .arg(why)};
    std::vector<std::pair<std::string, std::string>> environment = {{"XDG_CONFIG_HOME", profile}};
    // No stream of the station's, no terminal: the player's output goes to a log of its own in
    // the station's private folder (kept short).
    const platform::ChildStreams streams{true, profile + "/player.log"};
    // As root the player gets a private home of the station's making, where its snapshots wait
    // for the station to take them.
    playerHomes().erase(index);
    removeSpentHomes(0);
    if (getuid() == 0) {
        // (Named for the station, so that the next one can tell it stale should this one be
        // killed before its player took it.)
        std::string home =
            std::string(kHomesFolder) + "/" + kHomePrefix + std::to_string(getpid()) + "-XXXXXX";
        if (mkdtemp(home.data())) {
            environment.push_back({"VORBELT_PLAYER_HOME", home});
            playerHomes()[index] = home;
        }
    }
#endif
    const std::string commandLine =
        vorbelt::playerCommandLine(index, doubleWide, item, windowsOptions);
    const std::string program = platform::videoPlayerProgram();
    const platform::ProcessId pid =
        platform::createProcess(program, commandLine, environment, streams);
#ifndef _WIN32
    if (playerHomes().count(index))
        madeHomes().push_back({pid, playerHomes()[index]});
#endif
    if (pid > 0) {
        startedPlayers().push_back(pid);
        return {pid, {}};
    }
    return {pid, QString("The video player \"%1\" of camera %2 could not be started: %3.")
                     .arg(QString::fromStdString(program))
                     .arg(index + 1)
                     .arg(QString::fromLocal8Bit(
                         std::strerror(static_cast<int>(platform::lastError()))))};
}

// The window of player `index` (process `pid`) was found: its relay may log in to it.
void playerFound(int index, platform::ProcessId pid) {
#ifndef _WIN32
    // The player's process, and the user it runs as: its relay lets a listener on its port have
    // the secret only when the listening socket is that process's.
    if (profilesFolder().empty())
        return;
    auto file = [&](const char* name) {
        return QString::fromStdString(
            vorbelt::playerFile(profilesFolder(), vorbelt::playerPort(index), name));
    };
    writePrivate(file("owner"), QByteArray::number(platform::processUserId(pid)));
    writePrivate(file("pid"), QByteArray::number(pid));
#else
    (void)index;
    (void)pid;
#endif
}

// Polls every 100 ms for the new player's window, titled "video" (only one of that player's
// own), and retitles it `title` and takes its frame off once found. From the poll after
// `questionAfter` on, each unsuccessful poll asks "Wait more?" (caption "Player Not
// Responding!", the player's `file` on a line below); any answer but OK gives up and returns 0.
// A player that is not running (it failed to start, or has ended) gets no wait: 0 at once.
platform::WindowHandle awaitVideoWindow(platform::ProcessId player, int questionAfter,
                                        const std::string& title, const QString& file) {
    for (int poll = 0;; ++poll) {
        // Only a window of the player just started: another program's "video" is passed over.
        const platform::WindowHandle w = platform::findWindowOf("video", player);
        platform::sleepMs(100);
        // A broken file or a missing program: no window will ever come.
        if (w == 0 && !platform::processRunning(player))
            return 0;
        if (w != 0) {
            platform::setWindowText(w, title);
            // Before it is placed: a window manager's frame would shift the picture.
            platform::removeWindowFrame(w);
            return w;
        }
        if (poll > questionAfter && messageBox("Wait more?\n" + file, "Player Not Responding!",
                                               BoxKind::Question) != BoxAnswer::Ok)
            return 0;
    }
}

// For the operator: why player `index` (process `player`) has no window.
QString playerWithoutWindow(int index, platform::ProcessId player) {
    int code = 0;
    bool signal = false;
    const QString program = QString::fromStdString(platform::videoPlayerProgram());
    if (!platform::processExitStatus(player, code, signal))
        return QString("The video player \"%1\" of camera %2 showed no window: it is ended and "
                       "the camera left out.")
            .arg(program)
            .arg(index + 1);
    return QString("The video player \"%1\" of camera %2 ended before its window appeared "
                   "(%3 %4).")
        .arg(program)
        .arg(index + 1)
        .arg(signal ? "signal" : "exit status")
        .arg(code);
}

} // namespace

std::vector<PlayerWindow> startAndAwaitPlayers(const std::vector<PlayerRequest>& requests,
                                               bool doubleWide, unsigned pauseMs,
                                               int questionAfter) {
    // Every player is started before any window is awaited: their starts overlap.
    std::vector<PlayerStart> started;
    started.reserve(requests.size());
    for (const PlayerRequest& r : requests) {
        started.push_back(startVideoPlayer(r.index, doubleWide, r.item));
        // Nothing to wait for: the operator is told why.
        if (started.back().pid <= 0)
            messageBox(started.back().why, "Vorbelt Player", BoxKind::Warning);
    }
    const bool anyStarted =
        std::any_of(started.begin(), started.end(), [](const PlayerStart& s) { return s.pid > 0; });
    if (anyStarted && pauseMs > 0)
        platform::sleepMs(pauseMs);
    std::vector<PlayerWindow> players;
    players.reserve(requests.size());
    for (std::size_t k = 0; k < requests.size(); ++k) {
        const PlayerRequest& r = requests[k];
        if (started[k].pid <= 0) {
            players.push_back({-1, 0});
            continue;
        }
        const platform::WindowHandle w = awaitVideoWindow(started[k].pid, questionAfter, r.title,
                                                          QString::fromStdString(r.item));
        if (w == 0) {
            // A player that never showed a window is no camera: said, and ended.
            messageBox(playerWithoutWindow(r.index, started[k].pid), "Vorbelt Player",
                       BoxKind::Warning);
            endProcess(started[k].pid, 0);
            players.push_back({-1, 0});
            continue;
        }
        playerFound(r.index, started[k].pid);
        players.push_back({started[k].pid, w});
    }
    return players;
}

void connectNewPlayers(const std::vector<int>& rows,
                       const std::atomic<platform::WindowHandle>* relayWindow, bool askLength) {
    platform::sleepMs(300);
    for (int i : rows)
        if (relayWindow[i] != 0)
            platform::postMessage(relayWindow[i], vorbelt::kCommandMessage, 3, 0);
    platform::sleepMs(300);
    if (!askLength)
        return; // (a player started anew: nothing more to wait for)
    for (int i : rows)
        if (relayWindow[i] != 0)
            platform::postMessage(relayWindow[i], vorbelt::kCommandMessage, 23, 0);
    platform::sleepMs(300);
}

#ifndef _WIN32
StationLock::StationLock() {
    const std::string dir = platform::privateDirectory();
    if (dir.empty())
        return;
    const std::string path = dir + "/vorbelt.lock";
    const int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0)
        return;
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        held_ = false;
        why_ = QString::fromStdString(path) + " is held";
        close(fd);
        return;
    }
    handle_ = fd;
}

StationLock::~StationLock() {
    if (handle_ >= 0)
        close(static_cast<int>(handle_));
}
#else
StationLock::StationLock() {
    HANDLE m = CreateMutexA(nullptr, TRUE, "Local\\VorbeltPlayerStation");
    if (m && GetLastError() == ERROR_ALREADY_EXISTS) {
        held_ = false;
        CloseHandle(m);
        return;
    }
    handle_ = reinterpret_cast<intptr_t>(m);
}

StationLock::~StationLock() {
    if (handle_ != -1 && handle_ != 0)
        CloseHandle(reinterpret_cast<HANDLE>(handle_));
}
#endif

BusyCursor::BusyCursor() {
    QApplication::setOverrideCursor(Qt::WaitCursor);
    // The window thread blocks next: the window system must see the cursor now.
    flushWindowSystem();
}

BusyCursor::~BusyCursor() {
    QApplication::restoreOverrideCursor();
    flushWindowSystem();
}

platform::WindowHandle awaitOwnWindow(const std::string& title, int questionAfter,
                                      const QString& caption) {
    platform::WindowHandle found = 0;
    for (int poll = 0;; ++poll) {
        found = platform::findWindow(title);
        platform::sleepMs(100);
        bool wait = found == 0;
        if (poll > questionAfter &&
            messageBox("Wait more?", caption, BoxKind::Question) != BoxAnswer::Ok)
            wait = false;
        if (!wait)
            return found;
    }
}

void endProcess(platform::ProcessId pid, unsigned pauseMs) {
    if (pid <= 0)
        return;
    if (platform::ProcessHandle h = platform::openProcess(pid)) {
        platform::terminateProcess(h, 0);
        if (pauseMs > 0)
            platform::sleepMs(pauseMs);
        platform::closeProcessHandle(h);
    }
}

std::optional<bool> formEvent(QWidget* form, QEvent* event, const QSet<QObject*>& keyBound,
                              const std::function<bool(int)>& keyDown,
                              const std::function<void()>& bareMove) {
    if (event->type() == QEvent::KeyPress) {
        QWidget* focus = QApplication::focusWidget();
        if (focus && focus != form && form->isAncestorOf(focus) && !keyBound.contains(focus))
            return std::nullopt;
        return keyDown(static_cast<QKeyEvent*>(event)->key());
    }
    if (event->type() == QEvent::MouseMove &&
        !form->childAt(static_cast<QMouseEvent*>(event)->position().toPoint()))
        bareMove();
    return std::nullopt;
}

bool passedOn(QObject* watched, QEvent* event) {
    auto* under = qobject_cast<QWidget*>(watched);
    return under && event->type() == QEvent::MouseMove &&
           under->childAt(static_cast<QMouseEvent*>(event)->position().toPoint());
}

bool isPress(const QEvent* event) {
    return event->type() == QEvent::MouseButtonPress ||
           event->type() == QEvent::MouseButtonDblClick;
}

QMetaObject::Connection onFocusLeavingPanels(QWidget* window, std::vector<QWidget*> panels,
                                             std::function<void()> panelExit) {
    return QObject::connect(qApp, &QApplication::focusChanged, window,
                            [window, panels = std::move(panels),
                             panelExit = std::move(panelExit)](QWidget* from, QWidget* to) {
                                if (!from || !to || !(to == window || window->isAncestorOf(to)))
                                    return;
                                for (QWidget* panel : panels)
                                    if (panel->isAncestorOf(from) && !panel->isAncestorOf(to))
                                        panelExit();
                            });
}

OperatorMoves::OperatorMoves(QAbstractSlider* slider) : QObject(slider), slider_(slider) {
    // An action of the operator's is announced before the value follows it; one that moves
    // nothing (at an end of the range) announces no change.
    connect(slider, &QAbstractSlider::actionTriggered, this,
            [this] { pending_ = slider_->sliderPosition() != slider_->value(); });
}

bool OperatorMoves::take() {
    const bool own = pending_;
    pending_ = false;
    return own;
}

void showPosition(QLCDNumber* minutes, QLCDNumber* seconds, int position) {
    minutes->display(QString::number(position / 60));
    seconds->display(QString::number(position % 60));
}

QFont formFont() {
    QFont f("Liberation Sans");
    f.setPixelSize(16);
    f.setBold(true);
    return f;
}

void setBackground(QWidget* w, const QColor& c) {
    QPalette p = w->palette();
    p.setColor(QPalette::Window, c);
    w->setPalette(p);
    w->setAutoFillBackground(true);
}

void colourCameraButton(QPushButton* button, uint8_t state) {
    static const QColor colours[] = {QColor(128, 128, 128), QColor(0, 128, 0), QColor(0, 0, 0),
                                     QColor(255, 255, 0)};
    const QColor c = state < 4 ? colours[state] : QColor(255, 0, 0);
    if (button->palette().color(QPalette::Button) != c) {
        QPalette p = button->palette();
        p.setColor(QPalette::Button, c);
        button->setPalette(p);
    }
}

void flushWindowSystem() {
#ifndef _WIN32
    if (auto* x11 = qApp->nativeInterface<QNativeInterface::QX11Application>())
        if (xcb_connection_t* c = x11->connection())
            xcb_flush(c);
#endif
}

} // namespace station
