// The switch between the main window and the compact window: '/' in the main window (the
// compact window shown, found by its title and handed the state), the hand-back on the main
// window's next key, and '/' in the compact window back to the main window's control panel.
// Run on an X server, e.g.: tests/isolated.sh --x11 build/bench/compact_bench
#include "bench_util.h"
#include "control/Guid.h"
#include "control/Player.h"
#include "platform/process.h"
#include "platform/qt/message_box.h"
#include "ui_Player.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QKeyEvent>

#include <cstdio>
#include <fstream>
#include <string>
#include <unistd.h>

namespace {

void press(QWidget* target, int key) {
    QKeyEvent e(QEvent::KeyPress, key, Qt::NoModifier);
    QCoreApplication::sendEvent(target, &e);
}

// Runs the event loop until `done` holds (at most 5 s).
bool processUntil(const std::function<bool()>& done) {
    QElapsedTimer t;
    t.start();
    while (!done() && t.elapsed() < 5000)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    return done();
}

} // namespace

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    setenv("VORBELT_RELAY_PROGRAM", (platform::executableDirectory() + "../brellon").c_str(), 0);
    const bench::ScratchDir scratch;
    setMessageBoxHandler([](const QString&, const QString&, BoxKind) { return BoxAnswer::Ok; });
    std::ofstream("nevek.txt") << "1\n2\n3\n4\n";
    {
        TForm1 form;
        TForm2 compact;
        form.setCompactWindow(&compact);
        form.show();
        processUntil([&] { return form.isVisible(); });
        std::vector<double> over, back, leave;
        for (int k = 0; k < 30; ++k) {
            double t0 = bench::nowMs();
            press(&form, Qt::Key_Slash);
            over.push_back(bench::nowMs() - t0);
            t0 = bench::nowMs();
            press(&form, Qt::Key_A);
            back.push_back(bench::nowMs() - t0);
            processUntil([&] { return compact.ownWindowHandle != 0; });
            compact.mainWindowHandle = form.winId();
            t0 = bench::nowMs();
            press(&compact, Qt::Key_Slash);
            processUntil([&] { return form.ui()->Panel3->isVisible(); });
            leave.push_back(bench::nowMs() - t0);
        }
        std::printf("Switching windows (4 channels, real relays):\n");
        bench::printLatency("'/' in the main window (hand-over)", over);
        bench::printLatency("next main-window key (hand-back)", back);
        bench::printLatency("'/' in the compact window -> panel shown", leave);
        std::printf("(the hand-over waits at least one 100 ms poll for \"Player_gui\")\n");
        form.close();
    }
    return 0;
}
