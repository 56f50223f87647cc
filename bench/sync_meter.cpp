// The sync meter: how far apart the cameras really are, to the frame. It runs the built station
// as the operator does (its own process, real VLC, keys and clicks through XTEST) on the demo
// recording, whose frames carry their numbers, grabs the whole screen several times a second,
// reads every camera's frame number off its picture and prints the spread between the cameras
// and each follower's offset from the current camera; beside them, what the integer-second
// answers of the players ("get_time", asked over telnet at the same moments) and the station's
// position display say.
// Scenes as the station keeps the cameras without Fine Sync ("design"): (a) "Always Play" off,
// the current camera playing (F1), the others as the station keeps them; (b) "Always Play" on,
// all playing; (c) the 4 s after a camera switch (key 2); (d) after F3 and after F2; (e) after a
// click on the seek bar; (f) "Always Play" off again while all play; (g) where VLC lands a seek
// in this recording.
// With "Fine Sync" on ("fine"): (h) all playing, 60 s; the 5 s after (i) key 2 and Tab, (j) F3
// and F2, (k) a click on the seek bar, (l) F1 twice (pause, play); with the CPU the station and
// its relays use meanwhile. ("mp4"): (m) all playing, 60 s, on an H.264 MP4 variant.
// Run on an X server from the source tree:
//   tests/isolated.sh --x11 build/bench/sync_meter [design|fine|mp4 ...] 2>/dev/null
// (all three when none is named; VLC's own messages go to standard error.)
#include "bench_util.h"
#include "desktop.h"
#include "player_line.h"
#include "station.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>

#include <arpa/inet.h>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <map>
#include <netinet/in.h>
#include <poll.h>
#include <set>
#include <sys/socket.h>
#include <unistd.h>

using namespace e2e;

namespace {

constexpr int kCameras = 4;
constexpr double kFrameMs = 40; // 25 frames a second
const QPoint kAlwaysPlay(560 + 16 + 10, 144 + 11);

// The secret of the station's player on `port`, from the players' profiles in the runtime
// folder the station shares with the meter.
std::string playerSecret(int port) {
    const QDir runtime(qEnvironmentVariable("XDG_RUNTIME_DIR"));
    for (const QString& d : runtime.entryList({"vorbelt-players-*"}, QDir::Dirs)) {
        QFile f(runtime.filePath(d) + "/" + QString::number(port) + "/secret");
        if (f.open(QIODevice::ReadOnly))
            return f.readAll().trimmed().toStdString();
    }
    return "";
}

// A player's answer to "get_time", or -1.
int secondsOf(bench::PlayerLine& line) {
    const auto answer = line.ask("get_time");
    return answer ? std::atoi(answer->c_str()) : -1;
}

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
            probes_[i].open(9000 + i, playerSecret(9000 + i));
        }
    }
    bool ready() const {
        for (int i = 0; i < kCameras; ++i)
            if (!windows_[i] || !probes_[i].ok()) {
                std::fprintf(stderr, "camera %d: window %lx, telnet %s\n", i + 1, windows_[i],
                             probes_[i].ok() ? "up" : "refused");
                return false;
            }
        return true;
    }
    bench::PlayerLine& probe(int i) { return probes_[i]; }
    // The frame camera `i` shows now.
    int frameOf(int i) { return readFrameNumber(desktop_, desktop_.geometry(windows_[i])); }

    // Samples every `everyMs` for `ms`; the players' own answers too when `ask`.
    std::vector<Sample> record(int ms, int everyMs = 200, bool ask = true) {
        std::vector<Sample> samples;
        QElapsedTimer t;
        t.start();
        while (t.elapsed() < ms) {
            const qint64 due = t.elapsed() + everyMs;
            Sample s;
            s.at = static_cast<double>(t.elapsed());
            QRect where[kCameras];
            for (int i = 0; i < kCameras; ++i)
                where[i] = desktop_.geometry(windows_[i]);
            for (int i = 0; i < kCameras; ++i)
                s.frame[i] = readFrameNumber(desktop_, where[i]);
            for (int i = 0; i < kCameras && ask; ++i)
                s.seconds[i] = secondsOf(probes_[i]);
            const QImage display = desktop_.grab(at::kPositionMinutes.united(at::kPositionSeconds));
            const QPoint origin = at::kPositionMinutes.topLeft();
            const int m = readLcd(display.copy(at::kPositionMinutes.translated(-origin)), 3, 99);
            const int sec = readLcd(display.copy(at::kPositionSeconds.translated(-origin)), 2, 59);
            s.shown = m < 0 || sec < 0 ? -1 : m * 60 + sec;
            samples.push_back(s);
            while (t.elapsed() < due)
                usleep(2000);
        }
        return samples;
    }

private:
    Desktop& desktop_;
    Station& station_;
    Window windows_[kCameras] = {};
    bench::PlayerLine probes_[kCameras];
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

// After a jump: the largest spread in the first 3 s, and when the spread came under 200 ms for
// good (counted from the operator's key).
void printSettling(const char* what, const std::vector<Sample>& samples) {
    double worst = 0, settled = -1;
    std::vector<double> late;
    for (const Sample& s : samples) {
        int lo = 1 << 30, hi = -1;
        bool all = true;
        for (int i = 0; i < kCameras; ++i) {
            all = all && s.frame[i] >= 0;
            lo = std::min(lo, s.frame[i]);
            hi = std::max(hi, s.frame[i]);
        }
        if (!all)
            continue;
        const double spread = (hi - lo) * kFrameMs;
        if (s.at <= 3000)
            worst = std::max(worst, spread);
        if (spread >= 200)
            settled = -1;
        else if (settled < 0)
            settled = s.at;
        if (s.at >= samples.back().at - 2000)
            late.push_back(spread);
    }
    std::printf("%-36s max spread in 3 s %5.0f ms; under 200 ms for good after %s; last 2 s "
                "p50 %3.0f ms p95 %3.0f ms\n",
                what, worst,
                settled < 0 ? "(never)"
                            : (std::to_string(static_cast<int>(settled)) + " ms").c_str(),
                bench::percentile(late, 50), bench::percentile(late, 95));
}

// Processor time of the station and its relays (ms), the players left out.
long stationTicks(const Station& station) {
    long ticks = 0;
    for (pid_t p : station.processes()) {
        std::ifstream f("/proc/" + std::to_string(p) + "/comm");
        std::string name;
        std::getline(f, name);
        if (name == "VorbeltPlayer" || name == "brellon")
            ticks += bench::cpuTicks(p);
    }
    return ticks;
}

// Loads the demo recording of `seconds` (made as `format` asks) by its typed path.
bool loadDemo(Desktop& desktop, Station& station, const std::string& folder, int seconds,
              const char* format) {
    const std::string demo = station.folder() + "/" + folder;
    if (std::system(("bash " + std::string(VORBELT_SOURCE_DIR) + "/tools/make_demo.sh '" + demo +
                     "' " + std::to_string(seconds) + " " + format)
                        .c_str()) != 0)
        return false;
    const std::string first = std::string(format) == "mp4" ? "/demo0_st.mp4" : "/demo0_st.mpg";
    station.loadTyped(demo + first);
    (void)desktop;
    // The length display is drawn once Load has ended.
    return testing_support::waitUntil([&] { return station.shownLength() >= seconds - 1; }, 60000);
}

void design(Desktop& desktop, Station&, Meter& meter) {
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
        meter.probe(i).ask("play");
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
            meter.probe(i).ask("seek " + std::to_string(target));
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
}

// "Fine Sync" switched on in the Settings panel (and the panel closed again).
void fineSyncOn(Desktop& desktop) {
    desktop.click(at::kSettingsSave.x(), at::kSettingsSave.y());
    desktop.click(at::kFineSync.x(), at::kFineSync.y());
    desktop.click(at::kSettingsSave.x(), at::kSettingsSave.y());
}

void fine(Desktop& desktop, Station& station, Meter& meter) {
    auto key = [&](const char* k) { desktop.key(k); };
    // (h) every camera plays from the start, 60 s; the CPU the station and its relays use.
    key("F1");
    meter.record(5000, 100, false);
    const long before = stationTicks(station);
    QElapsedTimer steady;
    steady.start();
    printSteady("(h) Fine Sync, all playing, 60 s", meter.record(60000, 100, false), 0);
    const double cpu = 100.0 * static_cast<double>(stationTicks(station) - before) /
                       sysconf(_SC_CLK_TCK) / (static_cast<double>(steady.elapsed()) / 1000.0);
    std::printf("    station and relays: %.2f %% of one core meanwhile\n", cpu);
    // (i) camera switches: nobody moves.
    key("2");
    printSettling("(i) after key 2", meter.record(5000, 100, false));
    key("Tab");
    printSettling("(i) after Tab", meter.record(5000, 100, false));
    // (j) F3, F2, and once more: the first jump after a Load teaches the station how each
    // player lands a seek.
    key("F3");
    printSettling("(j) after F3 (the first jump)", meter.record(10000, 100, false));
    key("F2");
    printSettling("(j) after F2", meter.record(8000, 100, false));
    key("F3");
    printSettling("(j) after F3 again", meter.record(8000, 100, false));
    key("F2");
    printSettling("(j) after F2 again", meter.record(8000, 100, false));
    // (k) a click on the seek bar (its groove, left of the handle), then on the floor plan.
    desktop.click(at::kSeekBar.x() - 100, at::kSeekBar.y() - 3);
    desktop.click(300, 300);
    printSettling("(k) after a seek-bar click", meter.record(6000, 100, false));
    // (l) F1 twice: all pause, all play again.
    key("F1");
    meter.record(2000, 100, false);
    key("F1");
    printSettling("(l) after F1 twice (pause, play)", meter.record(6000, 100, false));
    printSteady("    and the 20 s after", meter.record(20000, 100, false), 2);
}

void mp4(Desktop& desktop, Station& station, Meter& meter) {
    (void)station;
    desktop.key("F1");
    meter.record(5000, 100, false);
    printSteady("(m) Fine Sync, MP4 (H.264), all playing, 60 s", meter.record(60000, 100, false),
                0);
}

} // namespace

int main(int argc, char** argv) {
    const auto app = offscreenApplication(argc, argv);
    std::set<std::string> scenes(argv + 1, argv + argc);
    scenes.erase("-platform");
    scenes.erase("offscreen");
    if (scenes.empty())
        scenes = {"design", "fine", "mp4"};

    Desktop desktop;
    desktop.startWindowManager();
    auto run = [&](const std::string& scene, int seconds, const char* format, bool fineSync,
                   auto&& body) {
        if (!scenes.count(scene))
            return true;
        Station station(desktop, {{}, true});
        if (fineSync)
            fineSyncOn(desktop);
        if (!loadDemo(desktop, station, "demo", seconds, format)) {
            std::fprintf(stderr, "%s: Load did not end\n", scene.c_str());
            return false;
        }
        Meter meter(desktop, station);
        if (!meter.ready()) {
            std::fprintf(stderr, "players not found or not reachable over telnet\n");
            return false;
        }
        body(desktop, station, meter);
        station.exitAndAwaitEnd();
        return true;
    };
    bool ok = run("design", 90, "mpg", false, design);
    ok = run("fine", 240, "mpg", true, fine) && ok;
    ok = run("mp4", 120, "mp4", true, mp4) && ok;
    return ok ? 0 : 1;
}
