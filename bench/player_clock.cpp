// How the real video players keep time, measured on screen: each player's whole-second answers
// to "get_time" against the frames its picture shows (read off the demo recording's frame-number
// strip), around seeks, pauses and rate changes. No station: the players are started here as
// the station starts them (the demo files, one per player), placed side by side, polled about
// 20 times a second each, and sent the commands of a script:
//   wait MS        all COMMAND        N COMMAND (to player N)
//   window VK      (a key-down to every player's window, as the station posts its keys)
//   keys           (every player sweeps the key pictures of its own file, see below)
// Everything is logged for analysis, a line each: "A player sent received seconds" (an answer),
// "C player sent command", "P player seen frame" (a picture first seen on screen), "D player
// at" (a new picture, as the X server reports the window's drawing), "S player at text" (a
// change of the player's state, as its old remote-control interface reports it the moment its
// input takes in a pause or a play, whatever sent it).
// "keys" sweeps program-stream landings: player i seeks standing, by the station's share seek,
// to the i-th, (i+n)-th, ... key picture of its file (n players), is played a moment later, and
// what it showed is summed up at the end: the key pictures shown as asked, and those missed
// against those the station's reader says the players cannot time. (A folder whose demo files
// are all the same recording sweeps every key picture of it.)
// Run on an X server from the source tree, for example:
//   printf 'all play\nwait 20000\nall seek 40\nwait 10000\n' |
//     tests/isolated.sh --x11 build/bench/player_clock 4 "" /tmp/clock.log
// (arguments: players, recording folder (made when empty), log file, script file (else
// standard input); LAYOUT=station places eight as the station does, CONTENT=1 has the picture
// watch tell each picture's content as the station's does; for "keys", PAUSE_SEEK=MS the time
// from the pause to the seeks, 400 unless told, and SEEK_AGAIN=MS each seek once more that
// long after).
#include "bench_util.h"
#include "core/program_stream.h"
#include "platform/pictures.h"
#include "platform/window.h"
#include "player_line.h"

#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <mutex>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

constexpr double kFrameMs = 40;

std::string sourceDir() {
    char buf[4096];
    const ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
    std::string exe(buf, n > 0 ? static_cast<std::size_t>(n) : 0);
    return exe.substr(0, exe.rfind('/')) + "/";
}

// The frames the players' pictures show, as first seen on screen.
struct Change {
    double at;
    int frame;
};

class Watcher {
public:
    explicit Watcher(int players) : windows_(players), seen_(players) {}
    void setWindow(int i, Window w, int width, int height) {
        std::lock_guard<std::mutex> g(lock_);
        windows_[static_cast<std::size_t>(i)] = {w, width, height};
    }
    void start() {
        thread_ = std::thread([this] { run(); });
    }
    void stop() {
        stop_ = true;
        thread_.join();
    }
    std::vector<Change> changes(int i) {
        std::lock_guard<std::mutex> g(lock_);
        return seen_[static_cast<std::size_t>(i)];
    }
    // The frame shown now (the last seen), or -1.
    int frame(int i) {
        std::lock_guard<std::mutex> g(lock_);
        const auto& s = seen_[static_cast<std::size_t>(i)];
        return s.empty() ? -1 : s.back().frame;
    }

private:
    struct Placed {
        Window w = 0;
        int width = 0, height = 0;
    };
    void run() {
        Display* d = XOpenDisplay(nullptr);
        while (!stop_) {
            for (std::size_t i = 0; i < windows_.size(); ++i) {
                Placed p;
                {
                    std::lock_guard<std::mutex> g(lock_);
                    p = windows_[i];
                }
                if (!p.w)
                    continue;
                const int x = (616 + 12) * p.width / 640;
                XImage* img = XGetImage(d, p.w, x, 0, 1, p.height, AllPlanes, ZPixmap);
                const double at = bench::nowMs();
                if (!img)
                    continue;
                auto bit = [&](int block) {
                    const int y = (12 * block + 6) * p.height / 360;
                    const unsigned long px = XGetPixel(img, 0, y);
                    const int grey =
                        static_cast<int>(((px >> 16) & 255) + ((px >> 8) & 255) + (px & 255)) / 3;
                    return grey > 128 ? 1 : 0;
                };
                int frame = -1;
                if (bit(0) == 1 && bit(1) == 0) {
                    frame = 0;
                    for (int b = 2; b < 18; ++b)
                        frame = frame * 2 + bit(b);
                }
                XDestroyImage(img);
                if (frame < 0)
                    continue;
                std::lock_guard<std::mutex> g(lock_);
                auto& s = seen_[i];
                if (s.empty() || s.back().frame != frame)
                    s.push_back({at, frame});
            }
            usleep(3000);
        }
        XCloseDisplay(d);
    }
    std::mutex lock_;
    std::vector<Placed> windows_;
    std::vector<std::vector<Change>> seen_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

Window findTitled(Display* d, Window parent, const char* title) {
    Window root, par, *kids = nullptr;
    unsigned n = 0;
    if (!XQueryTree(d, parent, &root, &par, &kids, &n))
        return 0;
    Window found = 0;
    const Atom name = XInternAtom(d, "_NET_WM_NAME", False);
    const Atom utf8 = XInternAtom(d, "UTF8_STRING", False);
    for (unsigned k = 0; k < n && !found; ++k) {
        Atom type;
        int format;
        unsigned long count, after;
        unsigned char* data = nullptr;
        if (XGetWindowProperty(d, kids[k], name, 0, 64, False, utf8, &type, &format, &count, &after,
                               &data) == Success &&
            data && std::string(reinterpret_cast<char*>(data), count) == title)
            found = kids[k];
        if (data)
            XFree(data);
    }
    if (kids)
        XFree(kids);
    return found;
}

} // namespace

int main(int argc, char** argv) {
    XSetErrorHandler([](Display*, XErrorEvent*) { return 0; });
    const int players = argc > 1 ? std::atoi(argv[1]) : 2;
    const std::string build = sourceDir() + "../";
    std::string demo = argc > 2 ? argv[2] : "";
    if (demo.empty()) {
        char tmpl[] = "/tmp/player-clock-XXXXXX";
        demo = mkdtemp(tmpl);
        chmod(demo.c_str(), 0755);
        if (std::system(("bash " + build + "../tools/make_demo.sh " + demo + " 180").c_str()) != 0)
            return 1;
    }
    const std::string profiles = demo + "/profiles";
    mkdir(profiles.c_str(), 0755);
    // One player after the other, each window found before the next player starts, so that
    // windows and players match.
    std::vector<pid_t> pids;
    Display* d = XOpenDisplay(nullptr);
    Watcher watcher(players);
    std::vector<bench::PlayerLine> telnet(static_cast<std::size_t>(players));
    std::vector<std::string> files;
    for (int i = 0; i < players; ++i)
        files.push_back(demo + "/demo" + std::to_string(i % 4) + "_st." +
                        (getenv("EXT") ? getenv("EXT") : "mpg"));
    for (int i = 0; i < players; ++i) {
        const std::string dir = profiles + "/" + std::to_string(i) + "/vlc";
        // The station's profile with a password of this tool's own.
        // (Its folder open to the player's user, for the state socket.)
        if (std::system(("mkdir -p " + dir + " && chmod 777 " + profiles + "/" + std::to_string(i) +
                         " && sed 's/^\\[lua\\]$/[lua]\\ntelnet-password=qopra/' " + build +
                         "vlc-profile/vlc/vlcrc > " + dir + "/vlcrc && chmod -R a+rX " + profiles)
                            .c_str()) != 0)
            return 1;
        const pid_t pid = fork();
        if (pid == 0) {
            setenv("XDG_CONFIG_HOME", (profiles + "/" + std::to_string(i)).c_str(), 1);
            const std::string port = "--telnet-port=" + std::to_string(9000 + i);
            const std::string& file = files[static_cast<std::size_t>(i)];
            const std::string wrapper = build + "../tools/vlc-as-user";
            const std::string states = "--rc-unix=" + profiles + "/" + std::to_string(i) + "/rc";
            // VLCLOG=1: each player's own debug log, profiles/N/vlc.log.
            const std::string logfile =
                "--logfile=" + profiles + "/" + std::to_string(i) + "/vlc.log";
            std::vector<const char*> args = {wrapper.c_str(), "-I", "telnet", port.c_str(),
                                             "--short-jump-size=1"};
            if (getenv("VLCLOG"))
                args.insert(args.end(), {"-vv", "--file-logging", logfile.c_str()});
            else
                args.push_back("-q");
            args.insert(args.end(), {"--no-interact", "--video-title=video", "--no-video-deco",
                                     "--no-embedded-video", "--extraintf=oldrc", "--rc-fake-tty",
                                     states.c_str(), file.c_str(), nullptr});
            execv(wrapper.c_str(), const_cast<char* const*>(args.data()));
            _exit(127);
        }
        pids.push_back(pid);
        Window w = 0;
        for (int k = 0; k < 100 && !w; ++k) {
            w = findTitled(d, DefaultRootWindow(d), "video");
            usleep(100000);
        }
        XStoreName(d, w, std::to_string(i).c_str());
        XChangeProperty(d, w, XInternAtom(d, "_NET_WM_NAME", False),
                        XInternAtom(d, "UTF8_STRING", False), 8, PropModeReplace,
                        reinterpret_cast<const unsigned char*>(std::to_string(i).c_str()), 1);
        // Side by side at 480 x 270, or (LAYOUT=station) as the station lays out eight: the
        // first full screen, the others tiles of 240 x 135 along the bottom.
        const bool station = getenv("LAYOUT") && std::string(getenv("LAYOUT")) == "station";
        const int width = station ? (i == 0 ? 1920 : 240) : 480;
        const int height = station ? (i == 0 ? 1080 : 135) : 270;
        if (station)
            XMoveResizeWindow(d, w, i == 0 ? 0 : 240 * i, i == 0 ? 0 : 945, width, height);
        else
            XMoveResizeWindow(d, w, 480 * (i % 4), 270 * (i / 4), width, height);
        XSync(d, False);
        watcher.setWindow(i, w, width, height);
        if (!telnet[static_cast<std::size_t>(i)].open(9000 + i, "qopra", 100)) {
            std::fprintf(stderr, "player %d: no telnet\n", i);
            return 1;
        }
    }
    watcher.start();
    // The moments each player's window shows a new picture, as the X server tells them.
    std::vector<platform::WindowHandle> titled;
    for (int i = 0; i < players; ++i)
        titled.push_back(findTitled(d, DefaultRootWindow(d), std::to_string(i).c_str()));
    std::vector<std::pair<int, double>> damages;
    std::mutex damageLock;
    platform::PictureWatch pictures(
        [&](platform::WindowHandle w, int64_t at, platform::PictureContent) {
            for (int i = 0; i < players; ++i)
                if (titled[static_cast<std::size_t>(i)] == w) {
                    std::lock_guard<std::mutex> g(damageLock);
                    damages.push_back({i, static_cast<double>(at)});
                }
        },
        {},
        // CONTENT=1: each picture's content told as well, as the station's own watch does.
        getenv("CONTENT") != nullptr);
    pictures.watch(titled, true);
    // Every player polled at about 20 Hz on its own thread, as a station would; commands from
    // the script in between, on the same connections. Everything is logged for analysis:
    // "A player sent back value", "P player at frame", "C player at command".
    std::vector<std::mutex> locks(static_cast<std::size_t>(players));
    std::mutex logLock;
    FILE* log = std::fopen(argc > 3 ? argv[3] : "/tmp/player_clock.log", "w");
    std::atomic<bool> stop{false};
    // Each player's state changes, read off its remote-control socket as they come.
    std::vector<std::thread> stateReaders;
    for (int i = 0; i < players; ++i) {
        const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un a{};
        a.sun_family = AF_UNIX;
        std::snprintf(a.sun_path, sizeof a.sun_path, "%s/%d/rc", profiles.c_str(), i);
        bool connected = false;
        for (int k = 0; k < 100 && !connected; ++k) {
            connected = connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
            if (!connected)
                usleep(20000);
        }
        if (!connected) {
            std::fprintf(stderr, "player %d: no state socket at %s\n", i, a.sun_path);
            close(fd);
            continue;
        }
        // The interface looks for the player's input (and follows its state from then on)
        // once it has read a line.
        if (write(fd, "\n", 1) != 1)
            std::fprintf(stderr, "player %d: state socket refused a line\n", i);
        stateReaders.emplace_back([&, i, fd] {
            std::string pending;
            char buf[512];
            while (!stop) {
                pollfd p{fd, POLLIN, 0};
                if (poll(&p, 1, 100) <= 0)
                    continue;
                const ssize_t n = read(fd, buf, sizeof buf);
                const double at = bench::nowMs();
                if (n <= 0)
                    break;
                pending.append(buf, static_cast<std::size_t>(n));
                for (std::size_t eol; (eol = pending.find('\n')) != std::string::npos;) {
                    std::string line = pending.substr(0, eol);
                    pending.erase(0, eol + 1);
                    while (!line.empty() && (line.back() == '\r' || line.back() == ' '))
                        line.pop_back();
                    std::lock_guard<std::mutex> g(logLock);
                    std::fprintf(log, "S %d %.3f %s\n", i, at, line.c_str());
                }
            }
            close(fd);
        });
    }
    const useconds_t pollUs =
        static_cast<useconds_t>(std::atoi(getenv("POLL_US") ? getenv("POLL_US") : "45000"));
    std::vector<std::thread> pollers;
    for (int i = 0; i < players; ++i)
        pollers.emplace_back([&, i] {
            while (!stop) {
                double q = 0, r = 0;
                std::string v;
                {
                    std::lock_guard<std::mutex> g(locks[static_cast<std::size_t>(i)]);
                    v = telnet[static_cast<std::size_t>(i)].ask("get_time", &q, &r).value_or("?");
                }
                {
                    std::lock_guard<std::mutex> g(logLock);
                    std::fprintf(log, "A %d %.3f %.3f %d\n", i, q, r, std::atoi(v.c_str()));
                }
                usleep(pollUs + static_cast<useconds_t>(rand() % 10000));
            }
        });
    auto command = [&](int i, const std::string& line) {
        double q = 0;
        std::optional<std::string> answer;
        {
            std::lock_guard<std::mutex> g(locks[static_cast<std::size_t>(i)]);
            answer = telnet[static_cast<std::size_t>(i)].ask(line, &q);
        }
        // The answer on the same line, its line breaks as " | ".
        std::string said = answer.value_or("");
        for (std::size_t k; (k = said.find("\r\n")) != std::string::npos;)
            said.replace(k, 2, " | ");
        std::lock_guard<std::mutex> g(logLock);
        std::fprintf(log, "C %d %.3f %s%s%s\n", i, q, line.c_str(), said.empty() ? "" : " -> ",
                     said.c_str());
    };
    // "window VK": a key-down posted to every player's window as the station posts its keys
    // (virtual-key codes: 35 End pauses, 34 Page Down plays, by the profile).
    auto window = [&](uint32_t vk) {
        for (int i = 0; i < players; ++i) {
            platform::postMessage(titled[static_cast<std::size_t>(i)], platform::WM_KEYDOWN_MESSAGE,
                                  vk, 0);
            std::lock_guard<std::mutex> g(logLock);
            std::fprintf(log, "C %d %.3f window %u\n", i, bench::nowMs(), vk);
        }
    };
    // The landings "keys" sought: player, key picture (its frame), when, and whether the reader
    // says the players can time it.
    struct Sought {
        int player;
        int frame;
        int next; // the next key picture's frame
        double at;
        bool landable;
    };
    std::vector<Sought> sought;
    auto sweepKeys = [&] {
        std::vector<std::unique_ptr<vorbelt::ProgramStream>> streams;
        std::vector<std::vector<vorbelt::KeyPicture>> keys;
        std::size_t rounds = 0;
        for (int i = 0; i < players; ++i) {
            streams.push_back(vorbelt::ProgramStream::openFile(files[static_cast<std::size_t>(i)]));
            keys.emplace_back();
            if (!streams.back())
                continue;
            // (Not the last seconds: played there, a player ends and loses its window.)
            for (const auto& k : streams.back()->keyPictures(0, streams.back()->lengthMs() - 3000))
                keys.back().push_back(k);
            rounds = std::max(rounds, (keys.back().size() + static_cast<std::size_t>(players) -
                                       static_cast<std::size_t>(i) - 1) /
                                          static_cast<std::size_t>(players));
        }
        // SEEK_AGAIN=MS: within the 700 ms before the play, or none.
        const char* againText = std::getenv("SEEK_AGAIN");
        const int againMs = againText ? std::clamp(std::atoi(againText), 0, 699) : 0;
        // PAUSE_SEEK=MS: from the pause to the seeks (the station seeks 150 ms after).
        const char* pauseText = std::getenv("PAUSE_SEEK");
        const int pauseMs = pauseText ? std::clamp(std::atoi(pauseText), 0, 5000) : 400;
        for (std::size_t r = 0; r < rounds; ++r) {
            std::vector<std::string> again(static_cast<std::size_t>(players));
            window(35);
            usleep(static_cast<useconds_t>(pauseMs) * 1000);
            for (int i = 0; i < players; ++i) {
                const std::size_t k =
                    static_cast<std::size_t>(i) + r * static_cast<std::size_t>(players);
                const auto& ks = keys[static_cast<std::size_t>(i)];
                if (k >= ks.size())
                    continue;
                const auto& stream = streams[static_cast<std::size_t>(i)];
                char line[64];
                std::snprintf(line, sizeof line, "seek %.7f%%", stream->landingShare(ks[k]) / 1e7);
                const double period = stream->framePeriodMs();
                const int frame = static_cast<int>(std::lround(ks[k].mediaMs / period));
                const int next = k + 1 < ks.size()
                                     ? static_cast<int>(std::lround(ks[k + 1].mediaMs / period))
                                     : frame + 1000;
                sought.push_back({i, frame, next, bench::nowMs(), ks[k].landable});
                command(i, line);
                again[static_cast<std::size_t>(i)] = line;
            }
            // SEEK_AGAIN=MS: each seek goes out once more that long after, as the station's
            // does once the first has settled.
            if (againMs > 0) {
                usleep(static_cast<useconds_t>(againMs) * 1000);
                for (int i = 0; i < players; ++i)
                    if (!again[static_cast<std::size_t>(i)].empty())
                        command(i, again[static_cast<std::size_t>(i)]);
            }
            usleep(static_cast<useconds_t>(700 - againMs) * 1000);
            window(34);
            usleep(1500000);
        }
    };
    // The script: "wait MS", "all COMMAND", "N COMMAND" (player N).
    std::ifstream script(argc > 4 ? argv[4] : "/dev/stdin");
    for (std::string line; std::getline(script, line);) {
        if (line.empty() || line[0] == '#')
            continue;
        const std::string word = line.substr(0, line.find(' '));
        const std::string rest =
            line.find(' ') == std::string::npos ? "" : line.substr(line.find(' ') + 1);
        if (word == "wait") {
            usleep(static_cast<useconds_t>(std::atoi(rest.c_str())) * 1000);
        } else if (word == "window") {
            window(static_cast<uint32_t>(std::atoi(rest.c_str())));
        } else if (word == "keys") {
            sweepKeys();
        } else if (word == "all")
            for (int i = 0; i < players; ++i)
                command(i, rest);
        else
            command(std::atoi(word.c_str()), rest);
    }
    stop = true;
    for (auto& t : pollers)
        t.join();
    for (auto& t : stateReaders)
        t.join();
    watcher.stop();
    pictures.watch({}, false);
    std::lock_guard<std::mutex> g(damageLock);
    for (auto& [i, at] : damages)
        std::fprintf(log, "D %d %.3f\n", i, at);
    for (int i = 0; i < players; ++i)
        for (const Change& c : watcher.changes(i))
            std::fprintf(log, "P %d %.3f %d\n", i, c.at, c.frame);
    std::fclose(log);
    if (!sought.empty()) {
        // A landing was shown as asked when the first picture of that frame or later on screen
        // after the seek (standing, or once played) came before the next key picture: the
        // pictures are read off the screen a few times a frame, which may miss the first.
        int shown = 0;
        std::string missed, untimed;
        for (std::size_t k = 0; k < sought.size(); ++k) {
            const Sought& s = sought[k];
            double until = s.at + 2700;
            for (std::size_t l = k + 1; l < sought.size(); ++l)
                if (sought[l].player == s.player) {
                    until = sought[l].at;
                    break;
                }
            bool seen = false;
            for (const Change& c : watcher.changes(s.player))
                if (c.at > s.at && c.at < until && c.frame >= s.frame) {
                    seen = c.frame < s.next;
                    break;
                }
            shown += seen;
            if (!seen)
                missed += " " + std::to_string(s.frame);
            if (!s.landable)
                untimed += " " + std::to_string(s.frame);
        }
        std::printf("key pictures sought %zu, shown as asked %d; missed (frames):%s; the reader "
                    "says the players cannot time:%s\n",
                    sought.size(), shown, missed.empty() ? " none" : missed.c_str(),
                    untimed.empty() ? " none" : untimed.c_str());
    }
    for (pid_t p : pids)
        kill(p, SIGKILL);
    for (pid_t p : pids)
        waitpid(p, nullptr, 0);
    return 0;
}
