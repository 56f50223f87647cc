// brellon: the relay between the control program and one video player.
#include "platform/qt/message_box.h"
#include "platform/qt/program.h"
#include "relay/Client.h"

#include <QApplication>

int main(int argc, char** argv) {
    const platform::ProgramInfo info{
        "brellon", "brellon", VORBELT_VERSION,
        "The relay between the Vorbelt Player station and one video player: it takes the\n"
        "station's command messages, sends the matching command lines to its player over\n"
        "telnet and reports the player's answers into the station's report pipe. The station\n"
        "starts one per camera."};
    if (const auto status = platform::answerBeforeStart(argc, argv, info))
        return *status;
    QApplication app(argc, argv);
    platform::givenFlags(app, info);
    try {
        TTelnetForm TelnetForm;
        TelnetForm.showMinimized();
        return app.exec();
    } catch (const std::exception& e) {
        messageBox(QString::fromLocal8Bit(e.what()), "brellon", BoxKind::Warning);
        return 1;
    }
}
