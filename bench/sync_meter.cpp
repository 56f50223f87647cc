// The sync meter: how far apart the cameras really are, to the frame. It runs the built station
// as the operator does (its own process, real VLC, keys and clicks through XTEST) on recordings
// it makes itself, whose frames carry their numbers, reads every camera's frame number off the
// screen several times a second and prints the spread between the cameras.
//
// With "Fine Sync", per recording variant (MPEG-2 program streams with groups of 12 and of 25
// pictures, with ffmpeg's multiplexing delay and a small one, with one camera full of noise, at
// 640x360 and 1920x1080, H.264 in MP4, and with B pictures at 25, 29.97 and 30 pictures a
// second), one station run of these scenes in a row: the option ticked after the first F1; F1
// twice (pause, play); F3; F2; F3 three times quickly; a click on the seek bar; keys 2 and Tab;
// 20 s steady; playing into the end and F1 there; then a new Load with the option on and F1. Each
// prints the spread p50/p95/max once settled, when the spread came under 200 ms and under 80 ms for
// good (from the key), and for the jumps how far the current picture moved against what was asked,
// in frames; the steady scene also the processor time of the station with its relays and of the
// players. Without Fine Sync ("design"), the scenes as the station keeps the cameras by its design:
// (a) "Always Play" off, the current camera playing (F1), the others as the station keeps them; (b)
// "Always Play" on, all playing; (c) the 4 s after a camera switch (key 2); (d) after F3 and after
// F2; (e) after a click on the seek bar; (f) "Always Play" off again while all play; (g) where VLC
// lands a seek in this recording. Run on an X server from the source tree:
//   tests/isolated.sh --x11 build/bench/sync_meter [--cameras N] [--seconds S] [--other-round]
//     [--edges] [variant ...]
// (--other-round: the scenes in other orders, see otherScenes; --edges: the recording's edges
// and the other ways in, see edgeScenes.)
// (2>/dev/null: VLC's own messages go to standard error.) The recordings are kept in
// $TMPDIR/vorbelt-sync-meter for the next run.
// variants: design ps12 ps25 mux01 busy hd mp4 dvd ntsc mp4-30 p50 silent mpeg1 mp4-250 p24 (all
// but design when none is named).
#include "bench_util.h"
#include "desktop.h"
#include "platform/pictures.h"
#include "player_line.h"
#include "station.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QSlider>
#include <QStyle>
#include <QStyleOptionSlider>

#include <arpa/inet.h>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <netinet/in.h>
#include <optional>
#include <poll.h>
#include <set>
#include <sstream>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace e2e;

namespace {

constexpr int kMaxCameras = 8;
int kCameras = 4;
double frameMs = 40; // the variant's frame period (25 frames a second unless it says)
int framesPerSecond() {
    return static_cast<int>(std::lround(1000 / frameMs));
}
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
    double at = 0;                 // ms since the phase began
    double clock = 0;              // ms of the steady clock
    int frame[kMaxCameras] = {};   // -1 unreadable
    int seconds[kMaxCameras] = {}; // the players' own integer answers
    int shown = -1;                // the station's position display
};

class Meter {
public:
    Meter(Desktop& desktop, Station& station)
        : desktop_(desktop), station_(station),
          watch_(
              [this](platform::WindowHandle w, int64_t, platform::PictureContent) {
                  for (int i = 0; i < kCameras; ++i)
                      if (windows_[i] == w)
                          ++pictures_[i];
              },
              {}) {
        std::vector<platform::WindowHandle> watched;
        for (int i = 0; i < kCameras; ++i) {
            windows_[i] = station.videoWindow(std::to_string(i));
            probes_[i].open(9000 + i, playerSecret(9000 + i));
            watched.push_back(windows_[i]);
        }
        watch_.watch(watched, true);
    }
    // How many pictures each camera's window has shown since the meter began.
    std::vector<long> pictures() const {
        std::vector<long> n;
        for (int i = 0; i < kCameras; ++i)
            n.push_back(pictures_[i].load());
        return n;
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
            s.clock = bench::nowMs();
            QRect where[kMaxCameras];
            for (int i = 0; i < kCameras; ++i) {
                where[i] = desktop_.geometry(windows_[i]);
                // A camera whose player the station replaced has a new window.
                if (where[i].isEmpty()) {
                    windows_[i] = station_.videoWindow(std::to_string(i));
                    where[i] = desktop_.geometry(windows_[i]);
                }
            }
            // Every camera read at one instant: one after the other, the reads of eight would
            // span tens of milliseconds behind the players' drawing.
            desktop_.atOneInstant([&] {
                for (int i = 0; i < kCameras; ++i)
                    s.frame[i] = readFrameNumber(desktop_, where[i]);
            });
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
    Window windows_[kMaxCameras] = {};
    bench::PlayerLine probes_[kMaxCameras];
    std::atomic<long> pictures_[kMaxCameras] = {};
    platform::PictureWatch watch_;
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
                offsets[i].push_back((s.frame[i] - s.frame[current]) * frameMs);
        }
        if (!all) {
            ++unreadable;
            continue;
        }
        spread.push_back((hi - lo) * frameMs);
        reportSpread.push_back((shi - slo) * 1000.0);
        if (s.shown >= 0 && s.frame[current] >= 0)
            shownLag.push_back(s.frame[current] * frameMs - s.shown * 1000.0);
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
            within = s.frame[i] >= 0 && std::abs(s.frame[i] - s.frame[current]) * frameMs <= 1000;
        if (s.at <= 3000 && within) {
            int lo = 1 << 30, hi = -1;
            for (int i = 0; i < kCameras; ++i) {
                lo = std::min(lo, s.frame[i]);
                hi = std::max(hi, s.frame[i]);
            }
            worst = std::max(worst, (hi - lo) * frameMs);
        } else if (s.at <= 3000 && s.frame[current] >= 0) {
            for (int i = 0; i < kCameras; ++i)
                if (s.frame[i] >= 0)
                    worst = std::max(worst, std::fabs((s.frame[i] - s.frame[current]) * frameMs));
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

// Makes the recording of a variant (unless it is there) and loads it by its typed path.
bool loadDemo(Desktop& desktop, Station& station, const std::string& folder, int seconds,
              const char* format, const std::string& options = "") {
    // Kept between runs (a set of 1080p files takes minutes to make), readable by the players.
    const std::string cache =
        std::string(std::getenv("TMPDIR") ? std::getenv("TMPDIR") : "/tmp") + "/vorbelt-sync-meter";
    mkdir(cache.c_str(), 0755);
    const std::string demo =
        cache + "/" + folder + "-" + std::to_string(kCameras) + "-" + std::to_string(seconds);
    if (std::system(("bash " + std::string(VORBELT_SOURCE_DIR) + "/tools/make_demo.sh --cameras " +
                     std::to_string(kCameras) + " " + options + " '" + demo + "' " +
                     std::to_string(seconds) + " " + format)
                        .c_str()) != 0)
        return false;
    const std::string first = std::string(format) == "mp4" ? "/demo0_st.mp4" : "/demo0_st.mpg";
    station.loadTyped(demo + first);
    (void)desktop;
    // Load clears the length display first, and it is drawn again once Load has ended.
    testing_support::waitUntil([&] { return station.shownLength() < seconds - 1; }, 10000);
    return testing_support::waitUntil([&] { return station.shownLength() >= seconds - 1; }, 90000);
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
                const double error = frame * frameMs - target * 1000.0;
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

// "Fine Sync" switched on or off in the Settings panel (and the panel closed again).
void toggleFineSync(Desktop& desktop) {
    desktop.click(at::kSettingsSave.x(), at::kSettingsSave.y());
    desktop.click(at::kFineSync.x(), at::kFineSync.y());
    desktop.click(at::kSettingsSave.x(), at::kSettingsSave.y());
}

// The spread of one sample (ms), or -1 when a camera is unreadable.
double spreadOf(const Sample& s) {
    int lo = 1 << 30, hi = -1;
    for (int i = 0; i < kCameras; ++i) {
        if (s.frame[i] < 0)
            return -1;
        lo = std::min(lo, s.frame[i]);
        hi = std::max(hi, s.frame[i]);
    }
    return (hi - lo) * frameMs;
}

// One scene after a key at the start of `samples` (`before`: the current camera's frame and its
// time just before the key; `asked`: the move asked, in frames, or none): the spread once
// settled (from `settledFrom` ms on), when it came under 200 and 80 ms for good, and how far the
// current picture moved against what was asked.
void printScene(const char* what, const std::vector<Sample>& samples, int current,
                std::optional<std::pair<double, int>> before = std::nullopt,
                std::optional<int> asked = std::nullopt, double settledFrom = 2000) {
    // SYNC_METER_SAMPLES=file: every sample's frames as read, a line each, for a closer look
    // beside the station's trace.
    if (const char* dump = std::getenv("SYNC_METER_SAMPLES"))
        if (FILE* f = std::fopen(dump, "a")) {
            std::fprintf(f, "# %s\n", what);
            for (const Sample& s : samples) {
                std::fprintf(f, "%.0f", s.at);
                for (int i = 0; i < kCameras; ++i)
                    std::fprintf(f, " %d", s.frame[i]);
                // (The steady clock the station's trace stamps its lines with.)
                std::fprintf(f, " @%.0f\n", s.clock);
            }
            std::fclose(f);
        }
    std::vector<double> settled;
    double under200 = -1, under80 = -1;
    int unreadable = 0;
    std::vector<double> moved;
    double offset[kMaxCameras] = {}; // frames, summed over the settled samples
    for (const Sample& s : samples) {
        const double spread = spreadOf(s);
        if (spread < 0) {
            ++unreadable;
            continue;
        }
        if (spread >= 200)
            under200 = -1;
        else if (under200 < 0)
            under200 = s.at;
        if (spread >= 80)
            under80 = -1;
        else if (under80 < 0)
            under80 = s.at;
        if (s.at >= settledFrom) {
            settled.push_back(spread);
            for (int i = 0; i < kCameras; ++i)
                offset[i] += s.frame[i] - s.frame[current];
        }
        if (before && asked && s.at >= 3000 && s.frame[current] >= 0)
            moved.push_back(s.frame[current] - before->second -
                            (s.clock - before->first) / frameMs - *asked);
    }
    auto when = [](double t) {
        return t < 0 ? std::string("never") : std::to_string(static_cast<int>(t)) + " ms";
    };
    std::printf("  %-28s p50 %4.0f p95 %4.0f max %4.0f ms; <200 ms after %-8s <80 ms after %-8s",
                what, bench::percentile(settled, 50), bench::percentile(settled, 95),
                bench::percentile(settled, 100), when(under200).c_str(), when(under80).c_str());
    if (!moved.empty())
        std::printf(" moved %+.1f frames vs asked", bench::percentile(moved, 50));
    if (unreadable)
        std::printf(" (%d unreadable)", unreadable);
    // A follower that stands off the current camera by most of a frame or more throughout.
    for (int i = 0; i < kCameras && !settled.empty(); ++i)
        if (std::fabs(offset[i] / static_cast<double>(settled.size())) >= 0.75)
            std::printf(" camera %d %+.1f frames", i + 1,
                        offset[i] / static_cast<double>(settled.size()));
    std::printf("\n");
    std::fflush(stdout);
}

// The current camera's frame last read in `samples`, and when (the steady clock's ms).
std::pair<double, int> lastFrame(const std::vector<Sample>& samples, int current) {
    for (auto it = samples.rbegin(); it != samples.rend(); ++it)
        if (it->frame[current] >= 0)
            return {it->clock, it->frame[current]};
    return {0, -1};
}

// Processor time (% of one core) of the station with its relays, of the players and of the X
// server, while `meter` records for `ms`.
struct Processor {
    double station, relays, players, server;
};
Processor cpuDuring(Station& station, Meter& meter, int ms) {
    // (The station's and the relays' time in nanoseconds: a relay takes a few clock ticks in
    // ten seconds, too few to count in ticks.)
    auto ours = [&](const std::string& program) {
        double t = 0;
        for (pid_t p : station.processes()) {
            std::ifstream f("/proc/" + std::to_string(p) + "/comm");
            std::string name;
            std::getline(f, name);
            if (name == program)
                t += bench::cpuNs(p);
        }
        return t;
    };
    const double s0 = ours("VorbeltPlayer"), r0 = ours("brellon");
    const long p0 = bench::cpuTicksOfProgram("vlc"), x0 = bench::cpuTicksOfProgram("Xvfb");
    QElapsedTimer t;
    t.start();
    meter.record(ms, 200, false);
    const double per = 100.0 / static_cast<double>(sysconf(_SC_CLK_TCK)) /
                       (static_cast<double>(t.elapsed()) / 1000.0);
    const double perNs = 100.0 / 1e9 / (static_cast<double>(t.elapsed()) / 1000.0);
    return {(ours("VorbeltPlayer") - s0) * perNs, (ours("brellon") - r0) * perNs,
            static_cast<double>(bench::cpuTicksOfProgram("vlc") - p0) * per,
            static_cast<double>(bench::cpuTicksOfProgram("Xvfb") - x0) * per};
}

void fineScenes(Desktop& desktop, Station& station, std::unique_ptr<Meter>& meters,
                const std::function<bool()>& reload, int seconds) {
    Meter* m = meters.get();
    auto key = [&](const char* k) { desktop.key(k); };
    int current = 0;
    // Ticked after the first F1 (which plays only the current camera, as designed).
    key("F1");
    m->record(3000, 100, false);
    toggleFineSync(desktop);
    printScene("ticked after the first F1", m->record(10000, 100, false), current, {}, {}, 4000);
    key("F1");
    m->record(1500, 100, false);
    key("F1");
    printScene("F1 twice (pause, play)", m->record(7000, 100, false), current);
    auto jump = [&](const char* what, const char* k, int times, int asked) {
        const auto before = lastFrame(m->record(300, 100, false), current);
        for (int n = 0; n < times; ++n) {
            key(k);
            if (n + 1 < times)
                usleep(150000);
        }
        printScene(what, m->record(7000, 100, false), current, before, asked);
    };
    const int second = framesPerSecond();
    jump("F3", "F3", 1, second);
    jump("F2", "F2", 1, -second);
    jump("F3 three times quickly", "F3", 3, 3 * second);
    desktop.click(at::kSeekBar.x() + 100, at::kSeekBar.y() - 3);
    desktop.click(300, 300);
    printScene("a seek-bar click", m->record(7000, 100, false), current);
    key("2");
    current = 1;
    printScene("key 2", m->record(4000, 100, false), current, {}, {}, 0);
    key("Tab");
    current = 2;
    printScene("Tab", m->record(4000, 100, false), current, {}, {}, 0);
    // The pictures each window shows meanwhile, as the X server tells its drawing (the players'
    // own "stats" counters stand still once they have been sought).
    const std::vector<long> before = m->pictures();
    const double since = bench::nowMs();
    const auto cpu = cpuDuring(station, *m, 10000);
    printScene("steady, 20 s", m->record(20000, 100, false), current, {}, {}, 0);
    const std::vector<long> after = m->pictures();
    const double elapsed = (bench::nowMs() - since) / 1000.0;
    std::printf("  processor: station and relays %.2f %% (station %.2f, relays %.2f), players "
                "%.1f %%, X server %.1f %% of one core\n",
                cpu.station + cpu.relays, cpu.station, cpu.relays, cpu.players, cpu.server);
    std::printf("  pictures a second on screen, each camera:");
    for (int i = 0; i < kCameras; ++i)
        std::printf(" %.1f", static_cast<double>(after[static_cast<std::size_t>(i)] -
                                                 before[static_cast<std::size_t>(i)]) /
                                 elapsed);
    std::printf("\n");
    // Into the end: F3 until about 6 s before it, then on to the end.
    const auto now = lastFrame(m->record(300, 100, false), current);
    const int toEnd = seconds - static_cast<int>(now.second * frameMs / 1000) - 6;
    for (int n = 0; n < toEnd; ++n)
        key("F3");
    const auto end = m->record(12000, 100, false);
    const Sample& last = end.back();
    int standing = 0;
    for (int i = 0; i < kCameras; ++i)
        standing += last.frame[i] >= seconds * 1000 / frameMs - 15 ? 1 : 0;
    std::printf("  into the end: %d of %d cameras stand at their last pictures, %zu windows\n",
                standing, kCameras,
                static_cast<std::size_t>(std::count_if(last.frame, last.frame + kCameras,
                                                       [](int f) { return f >= 0; })));
    key("F1");
    const auto again = m->record(6000, 100, false);
    printScene("F1 at the end", again, current);
    std::printf("  the current picture then shows frame %d (0:00 is frame 0)\n",
                again.back().frame[current]);
    // A new Load with the option on: ticked before the first F1.
    if (!reload())
        return;
    m = meters.get();
    key("F1");
    printScene("Load, F1 (ticked before)", m->record(10000, 100, false), 0, {}, {}, 4000);
}

// Other orders of actions than the round above: the option ticked while every camera stands,
// moves made while standing, a camera switch and a jump at once, a press while the last one's
// landing is under way, the players' own speed and BackSpace, the option off and on again while
// playing, F9.
void otherScenes(Desktop& desktop, Station& station, Meter& m) {
    auto key = [&](const char* k) { desktop.key(k); };
    const int second = framesPerSecond();
    int current = 0;
    // How far the current picture moved while all stood (frames), against what was asked.
    auto standingMove = [&](int from, int asked) {
        const auto now = lastFrame(m.record(300, 100, false), current);
        std::printf("  (standing, the current picture moved %+d frames, asked %+d)\n",
                    now.second - from, asked);
    };
    key("F1");
    m.record(2500, 100, false);
    key("F1");
    m.record(1000, 100, false);
    toggleFineSync(desktop);
    m.record(1500, 100, false);
    int from = lastFrame(m.record(300, 100, false), current).second;
    key("F3");
    m.record(1500, 100, false);
    standingMove(from, second);
    key("F1");
    printScene("ticked standing, F3, F1", m.record(7000, 100, false), current);
    key("F1");
    m.record(1000, 100, false);
    desktop.click(at::kSeekBar.x() - 80, at::kSeekBar.y() - 3);
    desktop.click(300, 300);
    m.record(1500, 100, false);
    key("F1");
    printScene("standing: seek bar, F1", m.record(7000, 100, false), current);
    auto before = lastFrame(m.record(300, 100, false), 2);
    key("3");
    key("F2");
    current = 2;
    printScene("key 3 and F2 at once", m.record(7000, 100, false), current, before, -second);
    before = lastFrame(m.record(300, 100, false), current);
    key("F3");
    usleep(600000);
    key("F2");
    printScene("F3, F2 while it lands", m.record(7000, 100, false), current, before, 0);
    before = lastFrame(m.record(300, 100, false), current);
    for (int n = 0; n < 5; ++n) {
        key("F2");
        usleep(120000);
    }
    printScene("F2 five times quickly", m.record(7000, 100, false), current, before, -5 * second);
    key("F5");
    m.record(3000, 100, false);
    key("BackSpace");
    printScene("F5 for 3 s, BackSpace", m.record(7000, 100, false), current);
    toggleFineSync(desktop);
    m.record(3000, 100, false);
    toggleFineSync(desktop);
    printScene("off and on again, playing", m.record(10000, 100, false), current, {}, {}, 4000);
    printScene("steady, 15 s", m.record(15000, 100, false), current, {}, {}, 0);
    // Last: F9 stands every camera, two more presses in quick succession step each two
    // pictures on (standing, all should show the same one), F1 plays all on from there.
    key("F9");
    from = lastFrame(m.record(800, 100, false), current).second;
    key("F9");
    usleep(100000);
    key("F9");
    m.record(700, 100, false);
    standingMove(from, 2);
    printScene("F9 three times, standing", m.record(1000, 100, false), current, {}, {}, 0);
    key("F1");
    printScene("F9 three times, F1", m.record(12000, 100, false), current);
    printScene("after F9, steady", m.record(8000, 100, false), current, {}, {}, 0);
    for (const std::string& box : station.messageBoxes())
        std::printf("  box: %s\n", box.c_str());
}

// Where the control window's seek bar shows its handle at `second` of `seconds`, on the screen
// (laid out by Qt's style as the station's is).
QPoint seekHandle(int second, int seconds) {
    struct Bar : QSlider {
        Bar() : QSlider(Qt::Horizontal) {}
        QRect handle() {
            QStyleOptionSlider o;
            initStyleOption(&o);
            return style()->subControlRect(QStyle::CC_Slider, &o, QStyle::SC_SliderHandle, this);
        }
    } bar;
    bar.setGeometry(at::kSeekBar.x() - 180, at::kSeekBar.y() - 12, 361, 25);
    bar.setTickPosition(QSlider::TicksBelow);
    bar.setMaximum(seconds);
    bar.setValue(second);
    return bar.geometry().topLeft() + bar.handle().center();
}

// The recording's edges and the other ways in: the option ticked before the first F1; F2 at
// the recording's start (it goes no further back than 0:00); a camera switch while a jump lands;
// the players' slower speed and a jump at it; a drag of the seek bar; the compact window's jump
// and back; a click on the seek bar near the end, F3 three times, playing into the end, F2
// there; then a long steady stretch from a Load.
void edgeScenes(Desktop& desktop, Station& station, Meter& m, int seconds) {
    auto key = [&](const char* k) { desktop.key(k); };
    const int second = framesPerSecond();
    int current = 0;
    toggleFineSync(desktop);
    key("F1");
    printScene("ticked before, F1", m.record(3000, 100, false), current, {}, {}, 1000);
    auto before = lastFrame(m.record(300, 100, false), current);
    key("F2");
    usleep(150000);
    key("F2");
    printScene("F2 twice at the start", m.record(7000, 100, false), current, before,
               -std::min(2 * second, before.second));
    before = lastFrame(m.record(300, 100, false), 1);
    key("F3");
    usleep(300000);
    key("2");
    current = 1;
    printScene("F3, key 2 while it lands", m.record(7000, 100, false), current, before, second);
    key("F4");
    m.record(2000, 100, false);
    key("F3");
    m.record(2000, 100, false);
    key("BackSpace");
    printScene("F4, F3 at that speed, BackSpace", m.record(7000, 100, false), current);
    // The seek bar's handle dragged 15 s on.
    auto secondNow = [&] {
        return static_cast<int>(lastFrame(m.record(200, 100, false), current).second * frameMs /
                                1000);
    };
    int from = secondNow();
    desktop.drag(seekHandle(from, seconds), seekHandle(from + 15, seconds));
    desktop.click(300, 300);
    printScene("a seek-bar drag", m.record(7000, 100, false), current);
    before = lastFrame(m.record(300, 100, false), current);
    key("slash");
    m.record(1000, 100, false);
    key("F3");
    printScene("compact window: F3", m.record(6000, 100, false), current, before, second);
    key("slash");
    m.record(500, 100, false);
    key("F2");
    printScene("back, F2", m.record(7000, 100, false), current);
    // Near the end: F3 takes nobody beyond it; played into it, all stand at their last pictures.
    from = secondNow();
    desktop.drag(seekHandle(from, seconds), seekHandle(seconds - 9, seconds));
    desktop.click(300, 300);
    m.record(3000, 100, false);
    before = lastFrame(m.record(300, 100, false), current);
    for (int n = 0; n < 3; ++n) {
        key("F3");
        usleep(150000);
    }
    const auto end = m.record(8000, 100, false);
    printScene("near the end: F3 three times", end, current, {}, {}, 0);
    const int last = seconds * second - 1;
    std::printf("  moved from frame %d to %d (the last is about %d), %zu windows\n", before.second,
                end.back().frame[current], last,
                static_cast<std::size_t>(std::count_if(
                    end.back().frame, end.back().frame + kCameras, [](int f) { return f >= 0; })));
    key("F2");
    const auto back = m.record(6000, 100, false);
    printScene("F2 at the end", back, current);
    std::printf("  the current picture then shows frame %d\n", back.back().frame[current]);
    for (const std::string& box : station.messageBoxes())
        std::printf("  box: %s\n", box.c_str());
}

struct Variant {
    const char* name;
    const char* options;
    const char* format;
    double frameMs = 40;
};

} // namespace

int main(int argc, char** argv) {
    const auto app = offscreenApplication(argc, argv);
    std::vector<std::string> asked;
    int seconds = 100;
    bool otherRound = false, edges = false;
    for (int k = 1; k < argc; ++k) {
        const std::string a = argv[k];
        if (a == "--cameras" && k + 1 < argc)
            kCameras = std::clamp(std::atoi(argv[++k]), 1, kMaxCameras);
        else if (a == "--seconds" && k + 1 < argc)
            // The round's steady scene ends about 85 s into the recording: a shorter one would
            // measure players standing at their end.
            seconds = std::clamp(std::atoi(argv[++k]), 90, 3600);
        else if (a == "--other-round")
            otherRound = true;
        else if (a == "--edges")
            edges = true;
        else if (a != "-platform" && a != "offscreen")
            asked.push_back(a);
    }
    const Variant variants[] = {
        {"ps12", "", "mpg"},
        {"ps25", "--gop 25", "mpg"},
        {"mux01", "--mux-delay 0.1", "mpg"},
        {"busy", "--busy", "mpg"},
        {"hd", "--size 1920x1080", "mpg"},
        {"mp4", "", "mp4"},
        // As DVDs have them: two B pictures between the reference pictures, at 25 and at 29.97
        // pictures a second.
        {"dvd", "--bframes 2", "mpg"},
        {"ntsc", "--rate 30000/1001 --gop 15 --bframes 2", "mpg", 1001.0 / 30},
        {"mp4-30", "--rate 30 --gop 60 --bframes 3", "mp4", 1000.0 / 30},
        {"p50", "--rate 50 --gop 25", "mpg", 20},
        {"silent", "--silent", "mpg"},
        {"mpeg1", "--mpeg1", "mpg"},
        // x264's own group length (250 pictures: a seek decodes up to ten seconds' worth), and
        // film's 24 pictures a second.
        {"mp4-250", "--gop 250", "mp4"},
        {"p24", "--rate 24", "mpg", 1000.0 / 24}};
    Desktop desktop;
    desktop.startWindowManager();
    std::vector<std::string> names;
    for (int i = 0; i < kCameras; ++i)
        names.push_back("Camera" + std::to_string(i + 1));
    bool ok = true;
    if (std::find(asked.begin(), asked.end(), "design") != asked.end()) {
        Station station(desktop, {kCameras == 4 ? std::vector<std::string>{} : names, true});
        if (loadDemo(desktop, station, "design", 90, "mpg")) {
            Meter meter(desktop, station);
            if (meter.ready())
                design(desktop, station, meter);
            else
                ok = false;
        } else {
            ok = false;
        }
        station.exitAndAwaitEnd();
    }
    // "rate": the pictures a second each camera shows while all play without Fine Sync (the
    // players told "play" over the meter's own telnet), on the 1080p variant.
    if (std::find(asked.begin(), asked.end(), "rate") != asked.end()) {
        Station station(desktop, {kCameras == 4 ? std::vector<std::string>{} : names, true});
        if (loadDemo(desktop, station, "v-hd", seconds, "mpg", "--size 1920x1080")) {
            Meter meter(desktop, station);
            for (int i = 0; i < kCameras; ++i)
                meter.probe(i).ask("play");
            meter.record(4000, 200, false);
            const std::vector<long> before = meter.pictures();
            const Processor cpu = cpuDuring(station, meter, 10000);
            const std::vector<long> after = meter.pictures();
            std::printf("without Fine Sync, %d cameras at 1080p all playing: pictures a second",
                        kCameras);
            for (int i = 0; i < kCameras; ++i)
                std::printf(" %.1f", static_cast<double>(after[static_cast<std::size_t>(i)] -
                                                         before[static_cast<std::size_t>(i)]) /
                                         10.0);
            std::printf("; players %.1f %%, X server %.1f %%, station and relays %.2f %%\n",
                        cpu.players, cpu.server, cpu.station + cpu.relays);
        }
        station.exitAndAwaitEnd();
    }
    for (const Variant& v : variants) {
        if (!asked.empty() && std::find(asked.begin(), asked.end(), v.name) == asked.end())
            continue;
        std::printf("%s, %d cameras (%s%s)\n", v.name, kCameras, v.format,
                    *v.options ? (std::string(", ") + v.options).c_str() : "");
        std::fflush(stdout);
        const int kSeconds = seconds;
        frameMs = v.frameMs;
        Station station(desktop, {kCameras == 4 ? std::vector<std::string>{} : names, true});
        const std::string folder = std::string("v-") + v.name;
        if (!loadDemo(desktop, station, folder, kSeconds, v.format, v.options)) {
            std::fprintf(stderr, "%s: Load did not end\n", v.name);
            ok = false;
            continue;
        }
        auto meter = std::make_unique<Meter>(desktop, station);
        if (!meter->ready()) {
            ok = false;
            continue;
        }
        if (otherRound || edges) {
            if (otherRound)
                otherScenes(desktop, station, *meter);
            else
                edgeScenes(desktop, station, *meter, kSeconds);
            station.exitAndAwaitEnd();
            continue;
        }
        fineScenes(
            desktop, station, meter,
            [&] {
                if (!loadDemo(desktop, station, folder, kSeconds, v.format, v.options))
                    return false;
                meter = std::make_unique<Meter>(desktop, station);
                return meter->ready();
            },
            kSeconds);
        station.exitAndAwaitEnd();
    }
    return ok ? 0 : 1;
}
