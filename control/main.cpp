// VorbeltPlayer: the control station.
#include "control/Guid.h"
#include "control/Open.h"
#include "control/Player.h"
#include "platform/qt/message_box.h"

#include <QApplication>
#include <QCommandLineParser>

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    app.setApplicationName("Vorbelt Player");
    app.setApplicationVersion(VORBELT_VERSION);
    // Only --help and --version: started without arguments, the station opens its window.
    QCommandLineParser options;
    options.setApplicationDescription(
        "Plays one recording from several cameras at once, all at the same second.\n"
        "Start it from the folder that holds nevek.txt (camera names) and setting.cfg.");
    options.addHelpOption();
    options.addVersionOption();
    options.process(app);
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
