// Cost of cutting the main window's red ground out (colour-key mode) at each resolution.
// The mask is recomputed only when what is drawn changes; this is what one recomputation costs.
// Run on an X server: tests/isolated.sh --x11 build/bench/mask_bench
#include "bench_util.h"
#include "control/Player.h"
#include "platform/process.h"
#include "platform/qt/message_box.h"
#include "ui_Player.h"

#include <QApplication>
#include <QRadioButton>

#include <cstdio>
#include <unistd.h>

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    setenv("VORBELT_RELAY_PROGRAM", "/nonexistent/brellon", 0); // no relays needed here
    setMessageBoxHandler([](const QString&, const QString&, BoxKind) { return BoxAnswer::Ok; });
    const bench::ScratchDir scratch;
    TForm1 form;
    form.show();
    QRadioButton* items[] = {form.ui()->RadioGroup1Item0, form.ui()->RadioGroup1Item1,
                             form.ui()->RadioGroup1Item2};
    for (int item : {2, 1, 0}) {
        items[item]->click(); // the window takes the resolution's size
        QCoreApplication::processEvents();
        std::vector<double> samples;
        for (int k = 0; k < 10; ++k) {
            const double t0 = bench::nowMs();
            form.FormActivate(); // finds its window (one 100 ms sleep), layers, cuts the mask
            samples.push_back(bench::nowMs() - t0 - 100.0);
        }
        std::printf("colour-key mask at %dx%d: p50 %.1f ms, max %.1f ms\n", form.width(),
                    form.height(), bench::percentile(samples, 50), bench::percentile(samples, 100));
    }
    form.close();
    return 0;
}
