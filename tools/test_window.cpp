// A top-level window for tests of the window layer: it reports on standard output what
// reaches it, one line per event, so a test in another process can check it.
//   ready <window id>
//   message <number> <wParam> <lParam>     a posted message
//   key <key name>                         a key press
//   close                                  a close request (the window then closes)
// Usage: test_window <title> [--red]   (--red: a red window with a white square in it)
#include "platform/qt/posted_messages.h"

#include <QApplication>
#include <QCloseEvent>
#include <QKeyEvent>
#include <QKeySequence>
#include <QPainter>
#include <QWidget>

#include <cstdio>
#include <cstring>

namespace {

class Window : public QWidget {
public:
    explicit Window(bool red) : red_(red) {}

protected:
    void keyPressEvent(QKeyEvent* e) override {
        std::printf("key %s\n", QKeySequence(e->key()).toString().toUtf8().constData());
        std::fflush(stdout);
    }
    void closeEvent(QCloseEvent* e) override {
        std::printf("close\n");
        std::fflush(stdout);
        e->accept();
    }
    void paintEvent(QPaintEvent*) override {
        QPainter p(this);
        p.fillRect(rect(), red_ ? QColor(255, 0, 0) : QColor(40, 40, 40));
        if (red_)
            p.fillRect(10, 10, 20, 20, Qt::white);
    }

private:
    bool red_;
};

} // namespace

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    if (argc < 2) {
        std::fprintf(stderr, "usage: test_window <title> [--red]\n");
        return 2;
    }
    const bool red = argc > 2 && std::strcmp(argv[2], "--red") == 0;
    Window w(red);
    w.setWindowTitle(QString::fromUtf8(argv[1]));
    w.resize(200, 100);
    PostedMessageFilter filter(&w, [](uint32_t m, uint32_t wp, int32_t lp) {
        std::printf("message %u %u %d\n", m, wp, lp);
        std::fflush(stdout);
    });
    w.show();
    std::printf("ready %llu\n", static_cast<unsigned long long>(w.winId()));
    std::fflush(stdout);
    return app.exec();
}
