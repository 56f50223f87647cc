// The report path in the control program and its cost while idle:
//  - a report handed over by a reader thread to the reference time set on the GUI thread;
//  - processor time of the control program while it polls 8 channels once a second.
// Run on an X server: tests/isolated.sh --x11 build/bench/report_bench
#include "bench_util.h"
#include "control/Player.h"
#include "platform/process.h"
#include "platform/qt/message_box.h"

#include <QApplication>
#include <QTimer>

#include <atomic>
#include <cstdio>
#include <fstream>
#include <sys/resource.h>
#include <thread>
#include <unistd.h>

namespace {

double cpuSeconds() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

} // namespace

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    setenv("VORBELT_RELAY_PROGRAM", (platform::executableDirectory() + "../brellon").c_str(), 0);
    setMessageBoxHandler([](const QString&, const QString&, BoxKind) { return BoxAnswer::Ok; });
    const bench::ScratchDir scratch;
    {
        std::ofstream names("nevek.txt");
        for (int k = 0; k < 8; ++k)
            names << "camera " << k + 1 << "\n";
    }
    TForm1 form;
    form.lengthPhaseFlag = false;
    for (int i = 0; i < 8; ++i)
        form.channelState[i] = 1;

    std::vector<double> samples;
    std::thread reader([&] {
        for (int k = 1; k <= 1000; ++k) {
            const std::string text = std::to_string(k) + "\r\n> ";
            const double t0 = bench::nowMs();
            form.reportHandling(text.data(), text.size(), 0);
            while (form.referenceTime != k)
                std::this_thread::yield();
            samples.push_back(bench::nowMs() - t0);
        }
        QMetaObject::invokeMethod(&app, &QApplication::quit, Qt::QueuedConnection);
    });
    app.exec();
    reader.join();
    bench::printLatency("report handed over -> reference time on GUI", samples);

    // Idle polling: the timer thread asks 8 relays once a second; nothing else happens.
    form.pollingFlag = true;
    const double c0 = cpuSeconds();
    const double t0 = bench::nowMs();
    QTimer::singleShot(10000, &app, &QApplication::quit);
    app.exec();
    const double cpu = cpuSeconds() - c0;
    const double wall = (bench::nowMs() - t0) / 1000.0;
    std::printf("control program polling 8 channels for %.1f s: %.3f s of processor time "
                "(%.2f %% of one core)\n",
                wall, cpu, 100.0 * cpu / wall);
    form.close();
    return 0;
}
