// VorbeltPlayer: the control station.
#include "control/Guid.h"
#include "control/Open.h"
#include "control/Player.h"
#include "control/station.h"
#include "platform/qt/message_box.h"
#include "platform/qt/program.h"

#include <QApplication>
#include <QDir>

#include <algorithm>
#include <string>

int main(int argc, char** argv) {
    const platform::ProgramInfo info{
        "VorbeltPlayer",
        "Vorbelt Player",
        VORBELT_VERSION,
        "Plays one recording from several cameras at once, all at the same second.\n"
        "Start it from the folder that holds nevek.txt (camera names), setting.cfg and\n"
        "vorbelt.ini.",
        {{"from-menu", "Work in the folder Vorbelt of the home folder (made when missing), as "
                       "the desktop menu starts the station."}}};
    if (const auto status = platform::answerBeforeStart(argc, argv, info))
        return *status;
    QApplication app(argc, argv);
    const std::vector<std::string> flags = platform::givenFlags(app, info);
    // From the menu the station has no folder of its own to start in: it keeps its files in
    // one known place of the operator's, not wherever the launcher stands.
    if (std::find(flags.begin(), flags.end(), "from-menu") != flags.end()) {
        const QString folder = QDir::home().filePath("Vorbelt");
        if (!QDir::home().mkpath("Vorbelt") || !QDir::setCurrent(folder))
            messageBox("The folder " + folder +
                           " cannot be made or entered: the station works in " +
                           QDir::currentPath() + ".",
                       "Vorbelt Player", BoxKind::Warning);
    }
    // One station per user at a time: a second would find the players' ports taken and drive
    // the first one's players.
    station::StationLock lock;
    if (!lock.held()) {
        messageBox("A station is already running" +
                       (lock.why().isEmpty() ? QString(".") : " (" + lock.why() + ")."),
                   "Vorbelt Player", BoxKind::Warning);
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
        messageBox(QString::fromLocal8Bit(e.what()), "Vorbelt Player", BoxKind::Warning);
    } catch (...) {
        messageBox(QString(), "Vorbelt Player", BoxKind::Warning);
    }
    return 0;
}
