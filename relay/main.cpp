// brellon: the relay between the control program and one video player.
#include "platform/qt/message_box.h"
#include "relay/Client.h"

#include <QApplication>

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    app.setApplicationName("brellon");
    try {
        TTelnetForm TelnetForm;
        TelnetForm.showMinimized();
        return app.exec();
    } catch (const std::exception& e) {
        messageBox(QString::fromLocal8Bit(e.what()), "brellon");
        return 1;
    }
}
