// The sync meter: how far apart the cameras really are, to the frame. It runs the built station
// as the operator does (its own process, real VLC, keys and clicks through XTEST) on the demo
// recording, whose frames carry their numbers, grabs the whole screen several times a second,
// reads every camera's frame number off its picture and prints the spread between the cameras
// and each follower's offset from the current camera; beside them, what the integer-second
// answers of the players ("get_time", asked over telnet at the same moments) and the station's
// position display say.
// Scenes: (a) "Always Play" off, the current camera playing (F1), the others as the station
// keeps them; (b) "Always Play" on, all playing; (c) the 4 s after a camera switch (key 2);
// (d) after F3 and after F2; (e) after a click on the seek bar; (f) "Always Play" off again
// while all play; (g) where VLC lands a seek in this recording.
// Run on an X server from the source tree: tests/isolated.sh --x11 build/bench/sync_meter
// (VLC's own messages go to standard error: add 2>/dev/null for the figures alone.)
#include "bench_util.h"
#include "desktop.h"
#include "station.h"

#include <QApplication>
#include <QElapsedTimer>

#include <arpa/inet.h>
#include <cmath>
#include <cstdio>
#include <map>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

using namespace e2e;

namespace {

constexpr int kCameras = 4;
constexpr double kFrameMs = 40; // 25 frames a second
const QPoint kAlwaysPlay(560 + 16 + 10, 144 + 11);

// A telnet session of our own with one player: VLC serves several at once.
class Probe {
public:
    explicit Probe(int port) {
        fd_ = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(static_cast<uint16_t>(port));
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
            !readUntil("Password: ") || !send("qopra") || !readUntil("> ")) {
            close(fd_);
            fd_ = -1;
        }
    }
    ~Probe() {
        if (fd_ >= 0)
            close(fd_);
    }
    bool ok() const { return fd_ >= 0; }
    // The player's answer to "get_time", or -1.
    int time() {
        if (fd_ < 0 || !send("get_time") || !readUntil("> "))
            return -1;
        return std::atoi(text_.c_str());
    }
    void command(const char* line) {
        if (fd_ >= 0 && send(line))
            readUntil("> ");
    }

private:
    // One line out; what comes back from here on is its answer.
    bool send(const std::string& line) {
        text_.clear();
        const std::string out = line + "\r\n";
        return ::send(fd_, out.data(), out.size(), MSG_NOSIGNAL) ==
               static_cast<ssize_t>(out.size());
    }
    // Gathers text (telnet commands left out) until it ends with `end`.
    bool readUntil(const std::string& end) {
        for (;;) {
            if (text_.size() >= end.size() &&
                text_.compare(text_.size() - end.size(), end.size(), end) == 0)
                return true;
            pollfd p{fd_, POLLIN, 0};
            if (poll(&p, 1, 3000) <= 0)
                return false;
            char buf[512];
            const ssize_t n = recv(fd_, buf, sizeof buf, 0);
            if (n <= 0)
                return false;
            for (ssize_t k = 0; k < n; ++k) {
                if (static_cast<unsigned char>(buf[k]) == 0xFF) {
                    k += 2; // IAC WILL/WONT ECHO
                    continue;
                }
                text_ += buf[k];
            }
        }
    }
    int fd_ = -1;
    std::string text_;
};

struct Sample {
    double at = 0;              // ms since the phase began
    int frame[kCameras] = {};   // -1 unreadable
    int seconds[kCameras] = {}; // the players' own integer answers
    int shown = -1;             // the station's position display
};

class Meter {
public:
    Meter(Desktop& desktop, Station& station) : desktop_(desktop), station_(station) {
        for (int i = 0; i < kCameras; ++i) {
            windows_[i] = station.videoWindow(std::to_string(i));
            probes_[i] = std::make_unique<Probe>(9000 + i);
        }
    }
    bool ready() const {
        for (int i = 0; i < kCameras; ++i)
            if (!windows_[i] || !probes_[i]->ok()) {
                std::fprintf(stderr, "camera %d: window %lx, telnet %s\n", i + 1, windows_[i],
                             probes_[i]->ok() ? "up" : "refused");
                return false;
            }
        return true;
    }
    Probe& probe(int i) { return *probes_[i]; }
    // The frame camera `i` shows now.
    int frameOf(int i) {
        const QImage screen = desktop_.grab(QRect(0, 0, 1920, 1080));
        return readFrameNumber(screen, desktop_.geometry(windows_[i]));
    }

    // Samples about five times a second for `ms`.
    std::vector<Sample> record(int ms) {
        std::vector<Sample> samples;
        QElapsedTimer t;
        t.start();
        while (t.elapsed() < ms) {
            const qint64 due = t.elapsed() + 200;
            Sample s;
            s.at = static_cast<double>(t.elapsed());
            QRect where[kCameras];
            for (int i = 0; i < kCameras; ++i)
                where[i] = desktop_.geometry(windows_[i]);
            const QImage screen = desktop_.grab(QRect(0, 0, 1920, 1080));
            for (int i = 0; i < kCameras; ++i) {
                s.frame[i] = readFrameNumber(screen, where[i]);
                s.seconds[i] = probes_[i]->time();
            }
            const int m = readLcd(screen.copy(at::kPositionMinutes), 3, 99);
            const int sec = readLcd(screen.copy(at::kPositionSeconds), 2, 59);
            s.shown = m < 0 || sec < 0 ? -1 : m * 60 + sec;
            samples.push_back(s);
            while (t.elapsed() < due)
                usleep(5000);
        }
        return samples;
    }

private:
    Desktop& desktop_;
    Station& station_;
    Window windows_[kCameras] = {};
    std::unique_ptr<Probe> probes_[kCameras];
};

void printSteady(const char* what, const std::vector<Sample>& samples, int current) {
    std::vector<double> spread, reportSpread, shownLag;
    std::map<int, std::vector<double>> offsets;
    int unreadable = 0;
    for (const Sample& s : samples) {
        int lo = 1 << 30, hi = -1, slo = 1 << 30, shi = -1;
        bool all = true;
        for (int i = 0; i < kCameras; ++i) {
            if (s.frame[i] < 0) {
                all = false;
                continue;
            }
            lo = std::min(lo, s.frame[i]);
            hi = std::max(hi, s.frame[i]);
            slo = std::min(slo, s.seconds[i]);
            shi = std::max(shi, s.seconds[i]);
            if (i != current && s.frame[current] >= 0)
                offsets[i].push_back((s.frame[i] - s.frame[current]) * kFrameMs);
        }
        if (!all) {
            ++unreadable;
            continue;
        }
        spread.push_back((hi - lo) * kFrameMs);
        reportSpread.push_back((shi - slo) * 1000.0);
        if (s.shown >= 0 && s.frame[current] >= 0)
            shownLag.push_back(s.frame[current] * kFrameMs - s.shown * 1000.0);
    }
    std::printf("%s (current camera %d, %zu samples, %d unreadable)\n", what, current + 1,
                samples.size(), unreadable);
    std::printf("  pictures: spread        p50 %6.0f ms  p95 %6.0f ms  max %6.0f ms\n",
                bench::percentile(spread, 50), bench::percentile(spread, 95),
                bench::percentile(spread, 100));
    for (auto& [camera, o] : offsets) {
        std::vector<double> magnitude;
        for (double v : o)
            magnitude.push_back(std::fabs(v));
        std::printf("  camera %d behind/ahead: p50 %+6.0f ms  |p95| %6.0f ms  |max| %6.0f ms\n",
                    camera + 1, bench::percentile(o, 50), bench::percentile(magnitude, 95),
                    bench::percentile(magnitude, 100));
    }
    std::printf("  reports:  spread        p50 %6.0f ms  p95 %6.0f ms  max %6.0f ms\n",
                bench::percentile(reportSpread, 50), bench::percentile(reportSpread, 95),
                bench::percentile(reportSpread, 100));
    std::printf("  position display behind the current picture: p50 %5.0f ms  max %5.0f ms\n",
                bench::percentile(shownLag, 50), bench::percentile(shownLag, 100));
}

// After a disturbance: the largest spread in the first 3 s and when every follower was back
// within a second of the current camera for good.
void printTransient(const char* what, const std::vector<Sample>& samples, int current) {
    double worst = 0, settled = -1;
    for (const Sample& s : samples) {
        bool within = s.frame[current] >= 0;
        for (int i = 0; i < kCameras && within; ++i)
            within = s.frame[i] >= 0 && std::abs(s.frame[i] - s.frame[current]) * kFrameMs <= 1000;
        if (s.at <= 3000 && within) {
            int lo = 1 << 30, hi = -1;
            for (int i = 0; i < kCameras; ++i) {
                lo = std::min(lo, s.frame[i]);
                hi = std::max(hi, s.frame[i]);
            }
            worst = std::max(worst, (hi - lo) * kFrameMs);
        } else if (s.at <= 3000 && s.frame[current] >= 0) {
            for (int i = 0; i < kCameras; ++i)
                if (s.frame[i] >= 0)
                    worst = std::max(worst, std::fabs((s.frame[i] - s.frame[current]) * kFrameMs));
        }
        if (!within)
            settled = -1;
        else if (settled < 0)
            settled = s.at;
    }
    if (settled < 0)
        std::printf("%-44s max spread in 3 s %6.0f ms, not back within 1 s\n", what, worst);
    else
        std::printf("%-44s max spread in 3 s %6.0f ms, back within 1 s after %5.0f ms\n", what,
                    worst, settled);
}

} // namespace

int main(int argc, char** argv) {
    const auto app = offscreenApplication(argc, argv);

    Desktop desktop;
    desktop.startWindowManager();
    Station station(desktop, {{}, true});
    const std::string demo = station.folder() + "/demo";
    if (std::system(
            ("bash " + std::string(VORBELT_SOURCE_DIR) + "/tools/make_demo.sh '" + demo + "' 90")
                .c_str()) != 0)
        return 1;
    station.loadTyped(demo + "/demo0_st.mpg");
    // The length display is drawn once Load has ended.
    if (!testing_support::waitUntil([&] { return station.shownLength() >= 89; }, 60000)) {
        std::fprintf(stderr, "Load did not end\n");
        return 1;
    }
    Meter meter(desktop, station);
    if (!meter.ready()) {
        std::fprintf(stderr, "players not found or not reachable over telnet\n");
        return 1;
    }
    auto key = [&](const char* k) { desktop.key(k); };

    // (a) "Always Play" off; the current camera plays, the station keeps the others.
    key("F1");
    meter.record(2000);
    printSteady("(a) Always Play off, current playing", meter.record(15000), 0);
    // (c) a camera switch: camera 2 becomes current (and plays once F1 asks).
    key("2");
    printTransient("(c) after key 2", meter.record(4000), 1);
    key("F1");
    meter.record(3000);
    // (d) F3, then F2.
    key("F3");
    printTransient("(d) after F3", meter.record(4000), 1);
    key("F2");
    printTransient("(d) after F2", meter.record(4000), 1);
    // (e) a click on the seek bar (into its groove, right of the handle), then a click on the
    // floor plan, which takes no focus: the seek bar keeps it.
    desktop.click(at::kSeekBar.x() + 120, at::kSeekBar.y() - 3);
    desktop.click(300, 300);
    printTransient("(e) after a click on the seek bar", meter.record(4000), 1);
    printSteady("(e) the 8 s after that", meter.record(8000), 1);

    // (b) "Always Play" on, every camera playing (the others told "play" over our telnet),
    // brought to one second by a click on the seek bar.
    desktop.click(at::kSettingsSave.x(), at::kSettingsSave.y());
    desktop.click(kAlwaysPlay.x(), kAlwaysPlay.y());
    for (int i = 0; i < kCameras; ++i)
        meter.probe(i).command("play");
    desktop.click(at::kSeekBar.x() - 120, at::kSeekBar.y() - 3);
    desktop.click(300, 300);
    meter.record(3000);
    printSteady("(b) Always Play on, all playing", meter.record(15000), 1);
    // (g) How VLC carries out a seek in this recording: each player told "seek N" over our
    // telnet, its picture watched until it shows the asked part (Always Play is on: nobody
    // else seeks): how long that takes, and how far from N the picture then stands.
    std::vector<double> delay, landing;
    for (int trial = 0; trial < 5; ++trial)
        for (int i = 0; i < kCameras; ++i) {
            const int target = 20 + 9 * trial;
            QElapsedTimer since;
            meter.probe(i).command(("seek " + std::to_string(target)).c_str());
            since.start();
            while (since.elapsed() < 4000) {
                const int frame = meter.frameOf(i);
                const double error = frame * kFrameMs - target * 1000.0;
                if (frame >= 0 && std::fabs(error) < 3000) {
                    delay.push_back(static_cast<double>(since.elapsed()));
                    landing.push_back(error);
                    break;
                }
                usleep(20000);
            }
        }
    std::printf("(g) \"seek N\" shows after    p50 %6.0f ms  p95 %6.0f ms  (n=%zu)\n",
                bench::percentile(delay, 50), bench::percentile(delay, 95), delay.size());
    std::printf("    then the picture stands p50 %+6.0f ms  p5 %+6.0f ms  p95 %+6.0f ms from N\n",
                bench::percentile(landing, 50), bench::percentile(landing, 5),
                bench::percentile(landing, 95));

    // (f) "Always Play" off again while all play: the station pulls the playing followers.
    desktop.click(kAlwaysPlay.x(), kAlwaysPlay.y());
    desktop.click(300, 300);
    printSteady("(f) Always Play off, all playing", meter.record(15000), 1);

    station.exitAndAwaitEnd();
    return 0;
}
