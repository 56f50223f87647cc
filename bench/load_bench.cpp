// Load with the real VLC: time to load four files against the floor of the fixed sleeps, the
// spread of the four players' positions sampled once a second for a minute, and each VLC's
// processor time and memory with the station's profile.
// Run on an X server from the source tree: tests/isolated.sh --x11 build/bench/load_bench
#include "bench_util.h"
#include "control/Open.h"
#include "control/Player.h"
#include "platform/process.h"
#include "platform/qt/message_box.h"
#include "ui_Player.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QListWidget>
#include <QThread>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

namespace {

void pump(int ms) {
    QElapsedTimer t;
    t.start();
    while (t.elapsed() < ms) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        QThread::msleep(5);
    }
}

} // namespace

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    const std::string build = platform::executableDirectory() + "../";
    setenv("VORBELT_RELAY_PROGRAM", (build + "brellon").c_str(), 0);
    setenv("VORBELT_VIDEO_PLAYER_PROGRAM", (build + "../tools/vlc-as-user").c_str(), 0);
    setMessageBoxHandler([](const QString&, const QString&, BoxKind) { return BoxAnswer::Ok; });
    const bench::ScratchDir scratch;
    chmod(scratch.path().c_str(), 0755);
    if (std::system(
            ("bash " + build + "../tools/make_demo.sh " + scratch.path() + " >/dev/null").c_str()))
        return 1;
    const QString chosen = QString::fromStdString(scratch.path()) + "/demo0_st.mpg";
    TFrame1::setDialogHook([&](QFileDialog&) { return chosen; });

    TForm1 form;
    form.show();
    QElapsedTimer t;
    t.start();
    form.ui()->Button1->click();
    const qint64 loadMs = t.elapsed();
    // Floor: Open's 900 ms, per file 100 + 100 + 3 x 300 ms, and 900 ms at the end.
    std::printf("Load of 4 files: %lld ms (floor of the fixed sleeps: %d ms)\n",
                static_cast<long long>(loadMs), 900 + 4 * 1100 + 900);
    for (int i = 0; i < 4; ++i)
        platform::postMessage(form.relayWindow[i], 0xD000, 17, 0); // play
    pump(3000);

    std::vector<double> spreads;
    long cpu0[4];
    for (int i = 0; i < 4; ++i)
        cpu0[i] = bench::cpuTicks(form.vlcProcessId[i]);
    QElapsedTimer clock;
    clock.start();
    for (int s = 0; s < 60; ++s) {
        pump(1000);
        int lo = 1 << 30, hi = -1;
        for (int i = 0; i < 4; ++i) {
            const std::string& text = form.lastReportText[i];
            const int p = text.empty() ? 0 : std::stoi(text);
            lo = std::min(lo, p);
            hi = std::max(hi, p);
        }
        spreads.push_back(hi - lo);
    }
    const double seconds = clock.elapsed() / 1000.0;
    std::printf("position spread of 4 VLC over 60 samples: max %.0f s, p95 %.0f s, p50 %.0f s\n",
                bench::percentile(spreads, 100), bench::percentile(spreads, 95),
                bench::percentile(spreads, 50));
    const long hz = sysconf(_SC_CLK_TCK);
    for (int i = 0; i < 4; ++i) {
        const double cpu =
            static_cast<double>(bench::cpuTicks(form.vlcProcessId[i]) - cpu0[i]) / hz;
        std::printf("VLC %d: %.1f %% of one core, %ld MiB resident\n", i, 100.0 * cpu / seconds,
                    bench::rssKiB(form.vlcProcessId[i]) / 1024);
    }
    form.close();
    return 0;
}
