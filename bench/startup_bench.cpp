// Start-up of the control program and the command-message round trip to a relay.
// Run on an X server, e.g.: tests/isolated.sh --x11 build/bench/startup_bench
#include "bench_util.h"
#include "control/Player.h"
#include "platform/pipe.h"
#include "platform/process.h"
#include "platform/qt/message_box.h"
#include "platform/window.h"

#include <QApplication>
#include <QThread>

#include <X11/Xatom.h>
#include <X11/Xlib.h>

#include <cstdio>
#include <fstream>
#include <string>
#include <unistd.h>

namespace {

void writeNames(int n) {
    std::ofstream f("nevek.txt");
    for (int k = 0; k < n; ++k)
        f << "camera " << k + 1 << "\n";
}

// Posts a caption change to a relay and waits for the property change to come back.
void postRoundTrip(platform::WindowHandle relay) {
    Display* d = XOpenDisplay(nullptr);
    XSelectInput(d, relay, PropertyChangeMask);
    const Atom netWmName = XInternAtom(d, "_NET_WM_NAME", False);
    XSync(d, False);
    std::vector<double> samples;
    for (int k = 0; k < 1000; ++k) {
        const double t0 = bench::nowMs();
        platform::postMessage(relay, 0xD000, 0, 100000 + k);
        const std::string want = std::to_string(100000 + k);
        for (;;) {
            XEvent e;
            XNextEvent(d, &e);
            if (e.type == PropertyNotify && e.xproperty.atom == netWmName &&
                platform::getWindowText(relay) == want)
                break;
        }
        samples.push_back(bench::nowMs() - t0);
    }
    bench::printLatency("post 0xD000 -> relay handled (caption seen)", samples);
    XCloseDisplay(d);
}

} // namespace

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    // The relay is built one directory up from the benchmarks.
    setenv("VORBELT_RELAY_PROGRAM", (platform::executableDirectory() + "../brellon").c_str(), 0);
    const bench::ScratchDir scratch;
    setMessageBoxHandler([](const QString&, const QString&, BoxKind) { return BoxAnswer::Ok; });
    std::printf("Start-up to a constructed main window (real relays):\n");
    for (int n : {1, 4, 8}) {
        writeNames(n);
        const double t0 = bench::nowMs();
        auto form = std::make_unique<TForm1>();
        const double ms = bench::nowMs() - t0;
        std::printf("  %d channel(s): %8.1f ms   (floor of the fixed sleeps: %d ms)\n", n, ms,
                    n * 100);
        if (n == 4 && form->relayWindow[0] != 0)
            postRoundTrip(form->relayWindow[0]);
        form->close();
        form.reset();
    }
    return 0;
}
