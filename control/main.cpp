// VorbeltPlayer: the control station.
#include "control/Guid.h"
#include "control/Open.h"
#include "control/Player.h"
#include "control/station.h"
#include "platform/qt/message_box.h"

#include <QApplication>
#include <QCommandLineParser>

#include <string>

namespace {

// Only --help and --version: started without arguments, the station opens its window. They
// need no display: a plain application answers them.
void answerOptions(QCoreApplication& app) {
    app.setApplicationName("Vorbelt Player");
    app.setApplicationVersion(VORBELT_VERSION);
    QCommandLineParser options;
    options.setApplicationDescription(
        "Plays one recording from several cameras at once, all at the same second.\n"
        "Start it from the folder that holds nevek.txt (camera names), setting.cfg and\n"
        "vorbelt.ini.");
    options.addHelpOption();
    options.addVersionOption();
    options.process(app);
}

} // namespace

int main(int argc, char** argv) {
    for (int k = 1; k < argc; ++k) {
        const std::string a = argv[k];
        if (a == "--help" || a == "-h" || a == "--help-all" || a == "--version" || a == "-v") {
            QCoreApplication plain(argc, argv);
            answerOptions(plain); // prints and ends the program
        }
    }
    QApplication app(argc, argv);
    answerOptions(app);
    // One station per user at a time: a second would find the players' ports taken and drive
    // the first one's players.
    station::StationLock lock;
    if (!lock.held()) {
        messageBox("A station is already running" +
                       (lock.why().isEmpty() ? QString(".") : " (" + lock.why() + ")."),
                   "Vorbelt Player");
        return 1;
    }
    try {
        TForm1 Form1;
        TForm2 Form2;
        TFrame1 Frame1;
        Form1.setCompactWindow(&Form2);
        Form2.setFileList(&Frame1);
        Form1.show();
        Form1.activateWindow();
        app.exec();
    } catch (const std::exception& e) {
        messageBox(QString::fromLocal8Bit(e.what()), "Vorbelt Player");
    } catch (...) {
        messageBox(QString(), "Vorbelt Player");
    }
    return 0;
}
