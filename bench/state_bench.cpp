// Whether the station's resources stay flat: its file descriptors and threads after the 1st,
// 5th and 10th Load (recordings of four and of two cameras in turn, stand-in players), then the
// resident memory of the control program and of every relay while the players are polled.
// Run on an X server from the source tree: tests/isolated.sh --x11 build/bench/state_bench
// [minutes]
#include "bench_util.h"
#include "desktop.h"
#include "station.h"

#include <QApplication>

#include <algorithm>
#include <cstdio>
#include <dirent.h>
#include <fstream>
#include <string>
#include <unistd.h>

using namespace e2e;

namespace {

int entries(const std::string& folder) {
    int n = 0;
    if (DIR* d = opendir(folder.c_str())) {
        while (dirent* e = readdir(d))
            n += e->d_name[0] != '.';
        closedir(d);
    }
    return n;
}

std::string name(pid_t pid) {
    std::ifstream f("/proc/" + std::to_string(pid) + "/comm");
    std::string n;
    std::getline(f, n);
    return n;
}

} // namespace

int main(int argc, char** argv) {
    const auto app = offscreenApplication(argc, argv);
    const int minutes = argc > 1 ? std::atoi(argv[1]) : 10;

    Desktop desktop;
    Station station(desktop);
    const std::string four = station.recording(4, "four", 0, "four");
    const std::string two = station.recording(2, "two", 0, "two");
    const std::string self = "/proc/" + std::to_string(station.pid());
    for (int load = 1; load <= 10; ++load) {
        const int files = load % 2 ? 4 : 2;
        station.loadTyped(files == 4 ? four : two);
        // Each Load's player on port 9000 is asked its length once.
        if (!testing_support::waitUntil(
                [&] {
                    const auto l = station.linesOf(9000);
                    return std::count(l.begin(), l.end(), "get_length") >= load;
                },
                30000) ||
            !testing_support::waitUntil([&] { return desktop.focused() == station.mainWindow(); },
                                        10000)) {
            std::fprintf(stderr, "Load %d did not end\n", load);
            return 1;
        }
        if (load == 1 || load == 5 || load == 10)
            std::printf("after Load %2d (%d cameras): %3d file descriptors, %2d threads\n", load,
                        files, entries(self + "/fd"), entries(self + "/task"));
    }
    std::fflush(stdout);
    for (int minute = 1; minute <= minutes; ++minute) {
        sleep(60);
        std::printf("after %2d min of polling: resident memory", minute);
        for (pid_t p : station.processes())
            if (name(p) == "VorbeltPlayer" || name(p) == "brellon")
                std::printf("  %s %ld KiB", name(p).c_str(), bench::rssKiB(p));
        std::printf("\n");
        std::fflush(stdout);
    }
    station.exitAndAwaitEnd();
    return 0;
}
