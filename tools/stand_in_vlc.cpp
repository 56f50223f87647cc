// A stand-in for VLC 3.0.24 in tests: it takes VLC's command line, offers VLC's telnet
// dialogue byte for byte, keeps a playback clock, shows a video window titled like VLC's, and
// acts on the keys the station's VLC profile binds. Everything that reaches it is written to a
// log, one JSON object per line, so tests can check what the station sent.
//
// Command line: -I telnet --telnet-port=N --video-title=T <media> (other options ignored).
// The password comes from $XDG_CONFIG_HOME/vlc/vlcrc (else ~/.config/vlc/vlcrc), [lua]
// telnet-password; without one nothing listens, as with VLC.
// Environment (all optional):
//   STAND_IN_LOG            log file (appended; lines carry "port" and "pid")
//   STAND_IN_LENGTH         media length in seconds (default 30)
//   STAND_IN_START          starting position in seconds (default 0)
//   STAND_IN_WINDOW_DELAY_MS  delay before the window appears (default 150)
//   STAND_IN_NO_WINDOW      "1": never show a window
//   STAND_IN_PROMPT_DELAY_MS  delay between an answer and its prompt (default 0)
#include <QAbstractNativeEventFilter>
#include <QApplication>
#include <QDateTime>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QKeyEvent>
#include <QMoveEvent>
#include <QPainter>
#include <QResizeEvent>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTextStream>
#include <QTimer>
#include <QWidget>
#include <xcb/xcb.h>

#include <cmath>
#include <cstdio>
#include <unistd.h>

namespace {

int gPort = 0;

void logEvent(QJsonObject o) {
    static const QString path = qEnvironmentVariable("STAND_IN_LOG");
    if (path.isEmpty())
        return;
    o["t"] = QDateTime::currentMSecsSinceEpoch();
    o["port"] = gPort;
    o["pid"] = static_cast<int>(getpid());
    QFile f(path);
    if (f.open(QIODevice::WriteOnly | QIODevice::Append))
        f.write(QJsonDocument(o).toJson(QJsonDocument::Compact) + '\n'); // one write per line
}

// The playback clock: playing or paused, at a rate, within [0, length]. At the end it pauses
// on the last second (the station's profile has play-and-pause).
class Clock {
public:
    Clock(double length, double start) : length_(length), base_(start) { since_.start(); }
    double position() const {
        if (!playing_)
            return base_;
        return std::min(length_, base_ + since_.elapsed() / 1000.0 * rate_);
    }
    void seek(double s) { restart(std::clamp(s, 0.0, length_)); }
    void togglePause() {
        const double p = position();
        playing_ = !playing_;
        restart(p);
    }
    void pause() {
        const double p = position();
        playing_ = false;
        restart(p);
    }
    void play() {
        const double p = position();
        playing_ = true;
        restart(p >= length_ ? 0 : p);
    }
    void setRate(double r) {
        const double p = position();
        rate_ = r;
        restart(p);
    }
    void frame() {
        const double p = position();
        playing_ = false;
        restart(std::min(length_, p + 0.04));
    }
    double length() const { return length_; }
    double rate() const { return rate_; }

private:
    void restart(double p) {
        base_ = p;
        since_.restart();
    }
    double length_;
    double base_;
    double rate_ = 1.0;
    bool playing_ = true;
    QElapsedTimer since_;
};

Clock* gClock = nullptr;

QString readPassword() {
    QString dir = qEnvironmentVariable("XDG_CONFIG_HOME");
    if (dir.isEmpty())
        dir = qEnvironmentVariable("HOME") + "/.config";
    QFile f(dir + "/vlc/vlcrc");
    if (!f.open(QIODevice::ReadOnly))
        return {};
    QString section;
    for (const QString& raw : QString::fromUtf8(f.readAll()).split('\n')) {
        const QString line = raw.trimmed();
        if (line.startsWith('['))
            section = line;
        else if (section == "[lua]" && line.startsWith("telnet-password="))
            return line.mid(16);
    }
    return {};
}

class Session : public QObject {
public:
    Session(QTcpSocket* socket, QString password)
        : socket_(socket), password_(std::move(password)) {
        socket_->setSocketOption(QAbstractSocket::LowDelayOption, 1);
        connect(socket_, &QTcpSocket::readyRead, this, &Session::onRead);
        connect(socket_, &QTcpSocket::disconnected, this, [this] {
            logEvent({{"event", "disconnected"}});
            socket_->deleteLater();
            deleteLater();
        });
        logEvent({{"event", "connected"}});
        write("VLC media player 3.0.24 Vetinari\n");
        write(QByteArray("Password: ") + "\xff\xfb\x01");
    }

private:
    // Each call is one write on the wire, as VLC makes them.
    void write(const QByteArray& bytes) {
        socket_->write(bytes);
        socket_->flush();
    }
    void answer(const QByteArray& text) {
        if (!text.isNull())
            write(text);
        static const int delay = qEnvironmentVariable("STAND_IN_PROMPT_DELAY_MS", "0").toInt();
        if (delay > 0)
            QTimer::singleShot(delay, this, [this] { write("> "); });
        else
            write("> ");
    }

    void onRead() {
        in_ += socket_->readAll();
        // Telnet commands from the client are dropped; IAC IAC is a literal 0xFF.
        QByteArray clean;
        int k = 0;
        for (; k < in_.size(); ++k) {
            const auto c = static_cast<unsigned char>(in_[k]);
            if (c != 0xFF) {
                clean += in_[k];
                continue;
            }
            if (k + 1 >= in_.size())
                break;
            const auto cmd = static_cast<unsigned char>(in_[k + 1]);
            if (cmd == 0xFF) {
                clean += in_[k];
                ++k;
            } else if (cmd >= 0xFB && cmd <= 0xFE) {
                if (k + 2 >= in_.size())
                    break;
                k += 2;
            } else if (cmd == 0xFA) {
                const int end = in_.indexOf("\xff\xf0", k + 2);
                if (end < 0)
                    break;
                k = end + 1;
            } else {
                ++k;
            }
        }
        in_ = in_.mid(k);
        line_ += clean;
        int nl;
        while ((nl = line_.indexOf('\n')) >= 0) {
            QByteArray line = line_.left(nl);
            line_.remove(0, nl + 1);
            if (line.endsWith('\r'))
                line.chop(1);
            handle(line);
        }
    }

    void handle(const QByteArray& line) {
        if (!loggedIn_) {
            logEvent({{"event", "password"}, {"text", QString::fromLatin1(line)}});
            if (QString::fromLatin1(line) == password_) {
                loggedIn_ = true;
                write("\xff\xfc\x01\r\nWelcome, Master\r\n");
                write("> ");
            } else {
                write("\r\nWrong password\r\nPassword: ");
            }
            return;
        }
        logEvent({{"event", "line"}, {"text", QString::fromLatin1(line)}});
        const QList<QByteArray> words = line.trimmed().split(' ');
        const QByteArray cmd = words.value(0);
        const QByteArray arg = words.value(1);
        if (cmd == "get_time") {
            answer(QByteArray::number(static_cast<int>(std::floor(gClock->position()))) + "\r\n");
        } else if (cmd == "get_length") {
            answer(QByteArray::number(static_cast<int>(gClock->length())) + "\r\n");
        } else if (cmd == "seek") {
            bool ok = false;
            const double v = arg.toDouble(&ok);
            if (ok)
                gClock->seek(arg.startsWith('+') || arg.startsWith('-') ? gClock->position() + v
                                                                        : v);
            answer({});
        } else if (cmd == "pause") {
            gClock->togglePause();
            answer({});
        } else if (cmd == "play") {
            gClock->play();
            answer({});
        } else if (cmd == "frame") {
            gClock->frame();
            answer({});
        } else if (cmd == "rate") {
            bool ok = false;
            const double r = arg.toDouble(&ok);
            if (ok && r > 0)
                gClock->setRate(r);
            answer({});
        } else if (cmd == "shutdown") {
            write("Shutting down.\r\n");
            logEvent({{"event", "shutdown"}});
            socket_->disconnectFromHost();
            QTimer::singleShot(0, qApp, &QApplication::quit);
        } else if (cmd == "quit" || cmd == "logout") {
            write("Bye-bye!\r\n");
            socket_->disconnectFromHost();
        } else {
            answer({});
        }
    }

    QTcpSocket* socket_;
    QString password_;
    QByteArray in_;
    QByteArray line_;
    bool loggedIn_ = false;
};

// The video window: acts on the bound keys and reports what is done to it from outside.
class VideoWindow : public QWidget, public QAbstractNativeEventFilter {
public:
    VideoWindow() {
        resize(640, 360);
        qApp->installNativeEventFilter(this);
        auto* x11 = qApp->nativeInterface<QNativeInterface::QX11Application>();
        conn_ = x11 ? x11->connection() : nullptr;
        netWmName_ = intern("_NET_WM_NAME");
        opacity_ = intern("_NET_WM_WINDOW_OPACITY");
        utf8_ = intern("UTF8_STRING");
        QTimer* repaint = new QTimer(this);
        connect(repaint, &QTimer::timeout, this, qOverload<>(&QWidget::update));
        repaint->start(500);
    }

    // VLC's window has the media title as _NET_WM_NAME but "VLC media player" as WM_NAME,
    // and leaves the window gravity at its default (north-west): a window manager then puts
    // its frame, not the picture, where the window is moved.
    void likeVlc() {
        if (!conn_)
            return;
        const auto w = static_cast<xcb_window_t>(winId());
        const char name[] = "VLC media player";
        xcb_change_property(conn_, XCB_PROP_MODE_REPLACE, w, XCB_ATOM_WM_NAME, XCB_ATOM_STRING, 8,
                            sizeof name - 1, name);
        QByteArray hints = property(XCB_ATOM_WM_NORMAL_HINTS, XCB_ATOM_WM_SIZE_HINTS);
        if (hints.size() >= 18 * 4) {
            auto* h = reinterpret_cast<uint32_t*>(hints.data());
            h[0] |= 1u << 9; // PWinGravity
            h[17] = 1;       // NorthWestGravity
            xcb_change_property(conn_, XCB_PROP_MODE_REPLACE, w, XCB_ATOM_WM_NORMAL_HINTS,
                                XCB_ATOM_WM_SIZE_HINTS, 32, 18, hints.constData());
        }
        xcb_flush(conn_);
    }

    bool nativeEventFilter(const QByteArray& type, void* message, qintptr*) override {
        if (type != "xcb_generic_event_t" || !conn_)
            return false;
        auto* ev = static_cast<xcb_generic_event_t*>(message);
        if ((ev->response_type & 0x7F) != XCB_PROPERTY_NOTIFY)
            return false;
        auto* pn = reinterpret_cast<xcb_property_notify_event_t*>(ev);
        if (pn->window != static_cast<xcb_window_t>(winId()))
            return false;
        if (pn->atom == netWmName_) {
            const QByteArray t = property(netWmName_, utf8_);
            if (t != lastTitle_) {
                lastTitle_ = t;
                logEvent({{"event", "title"}, {"title", QString::fromUtf8(t)}});
            }
        } else if (pn->atom == opacity_) {
            const QByteArray v = property(opacity_, XCB_ATOM_CARDINAL);
            int alpha = 255;
            if (v.size() == 4)
                alpha = static_cast<int>(*reinterpret_cast<const uint32_t*>(v.constData()) >> 24);
            logEvent({{"event", "opacity"}, {"alpha", alpha}});
        }
        return false;
    }

protected:
    void keyPressEvent(QKeyEvent* e) override {
        QString key;
        switch (e->key()) {
        case Qt::Key_Right:
            key = "Right";
            gClock->seek(gClock->position() + 1);
            break;
        case Qt::Key_Left:
            key = "Left";
            gClock->seek(gClock->position() - 1);
            break;
        case Qt::Key_Home:
            key = "Home";
            gClock->togglePause();
            break;
        case Qt::Key_End:
            key = "End";
            gClock->pause();
            break;
        case Qt::Key_Up:
            key = "Up";
            gClock->setRate(gClock->rate() * 1.5);
            break;
        case Qt::Key_Down:
            key = "Down";
            gClock->setRate(gClock->rate() / 1.5);
            break;
        case Qt::Key_Insert:
            key = "Insert";
            gClock->frame();
            break;
        case Qt::Key_Space:
            key = "Space";
            break;
        case Qt::Key_Backspace:
            key = "BackSpace";
            break;
        default:
            key = QKeySequence(e->key()).toString();
            break;
        }
        logEvent({{"event", "key"}, {"key", key}});
    }
    void moveEvent(QMoveEvent*) override { logGeometry(); }
    void resizeEvent(QResizeEvent*) override { logGeometry(); }
    void paintEvent(QPaintEvent*) override {
        QPainter p(this);
        p.fillRect(rect(), QColor(20, 40, 90));
        p.setPen(Qt::white);
        p.drawText(rect(), Qt::AlignCenter,
                   QString("%1  %2 s").arg(windowTitle()).arg(std::floor(gClock->position())));
    }

private:
    void logGeometry() {
        const QRect g = geometry();
        logEvent({{"event", "geometry"},
                  {"x", g.x()},
                  {"y", g.y()},
                  {"width", g.width()},
                  {"height", g.height()}});
    }
    xcb_atom_t intern(const char* name) {
        if (!conn_)
            return 0;
        auto* r = xcb_intern_atom_reply(
            conn_, xcb_intern_atom(conn_, 0, static_cast<uint16_t>(strlen(name)), name), nullptr);
        const xcb_atom_t a = r ? r->atom : 0;
        free(r);
        return a;
    }
    QByteArray property(xcb_atom_t prop, xcb_atom_t type) {
        auto* r = xcb_get_property_reply(
            conn_,
            xcb_get_property(conn_, 0, static_cast<xcb_window_t>(winId()), prop, type, 0, 1024),
            nullptr);
        QByteArray v;
        if (r) {
            v = QByteArray(static_cast<const char*>(xcb_get_property_value(r)),
                           xcb_get_property_value_length(r));
            free(r);
        }
        return v;
    }

    xcb_connection_t* conn_ = nullptr;
    xcb_atom_t netWmName_ = 0, opacity_ = 0, utf8_ = 0;
    QByteArray lastTitle_;
};

} // namespace

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    QString title = "VLC media player";
    QString media;
    for (int i = 1; i < argc; ++i) {
        const QString a = QString::fromLocal8Bit(argv[i]);
        if (a.startsWith("--telnet-port="))
            gPort = a.mid(14).toInt();
        else if (a.startsWith("--video-title="))
            title = a.mid(14);
        else if (!a.startsWith('-') && i > 0 && QString::fromLocal8Bit(argv[i - 1]) != "-I")
            media = a;
    }
    QStringList args;
    for (int i = 0; i < argc; ++i)
        args << QString::fromLocal8Bit(argv[i]);
    logEvent({{"event", "start"}, {"args", QJsonValue::fromVariant(args)}, {"media", media}});

    Clock clock(qEnvironmentVariable("STAND_IN_LENGTH", "30").toDouble(),
                qEnvironmentVariable("STAND_IN_START", "0").toDouble());
    gClock = &clock;

    QTcpServer server;
    const QString password = readPassword();
    if (password.isEmpty()) {
        std::fprintf(stderr, "stand_in_vlc: no telnet password configured; not listening\n");
    } else if (gPort > 0) {
        // As VLC: a port that another program holds leaves the player without telnet, playing on.
        if (!server.listen(QHostAddress::LocalHost, static_cast<quint16>(gPort)))
            std::fprintf(stderr, "stand_in_vlc: cannot listen on %d; going on without telnet\n",
                         gPort);
        QObject::connect(&server, &QTcpServer::newConnection, [&] {
            while (QTcpSocket* s = server.nextPendingConnection())
                new Session(s, password);
        });
    }

    VideoWindow window;
    window.setWindowTitle(title);
    if (qEnvironmentVariable("STAND_IN_NO_WINDOW") != "1") {
        QTimer::singleShot(qEnvironmentVariable("STAND_IN_WINDOW_DELAY_MS", "150").toInt(), [&] {
            window.show();
            window.likeVlc();
            logEvent({{"event", "window"}, {"id", static_cast<qint64>(window.winId())}});
        });
    }
    return app.exec();
}
