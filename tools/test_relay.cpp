// A stand-in relay for tests of the control program. Like the real relay it opens the report
// pipe, shows a window titled "Telnet" and takes its channel number as caption on code 0;
// it appends every posted message to the file named by VORBELT_TEST_RELAY_LOG as a line
// "<pid> <message> <wParam> <lParam>".
// VORBELT_TEST_RELAY_MODE: "no-pipe" never opens the pipe, "no-window" opens it but shows
// no window; VORBELT_TEST_RELAY_REPORT: a report written right after the pipe is open.
#include "platform/pipe.h"
#include "platform/process.h"
#include "platform/qt/posted_messages.h"

#include <QApplication>
#include <QFile>
#include <QWidget>

#include <unistd.h>

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    const QByteArray mode = qgetenv("VORBELT_TEST_RELAY_MODE");
    if (mode == "no-pipe")
        return app.exec();
    platform::PipeHandle pipe;
    while ((pipe = platform::openPipe(platform::kReportPipeName)) == platform::kInvalidPipe)
        platform::sleepMs(5);
    // Reports separated by '|'; "@N" stands for N bytes 'x'.
    const QByteArray reports = qgetenv("VORBELT_TEST_RELAY_REPORT");
    auto writeReports = [&] {
        for (QByteArray report : reports.split('|')) {
            if (report.isEmpty())
                continue;
            if (report.startsWith('@'))
                report = QByteArray(report.mid(1).toInt(), 'x');
            uint32_t written = 0;
            platform::writePipe(pipe, report.constData(), static_cast<std::size_t>(report.size()),
                                &written);
        }
    };
    if (mode == "no-window")
        return app.exec();

    QWidget window;
    window.setWindowTitle("Telnet");
    const QString log = qEnvironmentVariable("VORBELT_TEST_RELAY_LOG");
    PostedMessageFilter filter(&window, [&](uint32_t m, uint32_t w, int32_t l) {
        if (m == 0xD000 && w == 0)
            window.setWindowTitle(QString::number(l));
        if (m == 0xD000 && w == 23)
            writeReports();
        QFile f(log);
        if (!log.isEmpty() && f.open(QIODevice::WriteOnly | QIODevice::Append)) {
            f.write(QString("%1 %2 %3 %4\n").arg(getpid()).arg(m).arg(w).arg(l).toUtf8());
        }
    });
    window.showMinimized();
    const int rc = app.exec();
    platform::closePipe(pipe);
    return rc;
}
