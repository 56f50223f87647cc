#include "control/station.h"

#include "core/player_launch.h"
#include "platform/qt/message_box.h"

#include <QAbstractSlider>
#include <QApplication>
#include <QColor>
#include <QDir>
#include <QEvent>
#include <QFile>
#include <QFont>
#include <QKeyEvent>
#include <QLCDNumber>
#include <QMouseEvent>
#include <QPalette>
#include <QPushButton>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTemporaryDir>
#ifndef _WIN32
#include <xcb/xcb.h>
#endif

#include <utility>
#include <vector>

namespace station {

QString videoPlayerProfile() {
    return QString::fromStdString(platform::dataDirectory()) + "vlc-profile";
}

namespace {
// Every video player started and not yet ended by the station (used on the window thread).
std::vector<platform::ProcessId>& startedPlayers() {
    static std::vector<platform::ProcessId> players;
    return players;
}
} // namespace

void endVideoPlayers(unsigned pauseMs) {
    for (platform::ProcessId pid : startedPlayers())
        if (platform::processRunning(pid))
            endProcess(pid, pauseMs);
    startedPlayers().clear();
}

#ifndef _WIN32
// The profile of player `index`: the station's own, with the player's telnet interface bound
// to the loopback address on its port. (VLC binds every interface whatever its telnet-host
// says; its interface settings take the host, which must then carry the port and the
// password, in a file rather than on a command line that every user may read.) Made in the
// user's private runtime folder, removed when the station ends; the station's profile itself
// when that cannot be done.
QString playerProfile(int index) {
    static QTemporaryDir profiles(
        QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation) + "/vorbelt-players-");
    QFile base(videoPlayerProfile() + "/vlc/vlcrc");
    if (!profiles.isValid() || !base.open(QIODevice::ReadOnly))
        return videoPlayerProfile();
    QString text = QString::fromUtf8(base.readAll());
    const QString port = QString::number(vorbelt::playerPort(index));
    const QRegularExpression password("^telnet-password=(.*)$",
                                      QRegularExpression::MultilineOption);
    const QString secret = password.match(text).captured(1).trimmed();
    text.replace("[lua]\n", "[lua]\nlua-config=telnet={host='127.0.0.1:" + port + "',password='" +
                                secret + "'}\n");
    const QString folder = profiles.path() + "/" + port;
    QDir().mkpath(folder + "/vlc");
    QFile rc(folder + "/vlc/vlcrc");
    if (!rc.open(QIODevice::WriteOnly | QIODevice::Truncate) || rc.write(text.toUtf8()) < 0)
        return videoPlayerProfile();
    return folder;
}
#endif

platform::ProcessId startVideoPlayer(int index, bool doubleWide, const std::string& item) {
#ifdef _WIN32
    const bool windowsOptions = true;
    const std::vector<std::pair<std::string, std::string>> environment;
#else
    // Every player the station starts reads the station's own VLC profile.
    const bool windowsOptions = false;
    const std::vector<std::pair<std::string, std::string>> environment = {
        {"XDG_CONFIG_HOME", playerProfile(index).toStdString()}};
#endif
    const std::string commandLine =
        vorbelt::playerCommandLine(index, doubleWide, item, windowsOptions);
    const platform::ProcessId pid =
        platform::createProcess(platform::videoPlayerProgram(), commandLine, environment);
    if (pid > 0)
        startedPlayers().push_back(pid);
    return pid;
}

platform::WindowHandle awaitVideoWindow(platform::ProcessId player, int questionAfter,
                                        const std::string& title) {
    for (int poll = 0;; ++poll) {
        const platform::WindowHandle w = platform::findWindow("video");
        platform::sleepMs(100);
        // A broken file or a missing program: no window will ever come.
        if (w == 0 && !platform::processRunning(player))
            return 0;
        if (w != 0) {
            platform::setWindowText(w, title);
            // Before it is placed: a window manager's frame would shift the picture.
            platform::removeWindowFrame(w);
            return w;
        }
        if (poll > questionAfter &&
            messageBox("Wait more?", "Player Not Responding!", BoxKind::Question) != BoxAnswer::Ok)
            return 0;
    }
}

platform::WindowHandle awaitOwnWindow(const std::string& title, int questionAfter,
                                      const QString& caption) {
    platform::WindowHandle found = 0;
    for (int poll = 0;; ++poll) {
        found = platform::findWindow(title);
        platform::sleepMs(100);
        bool wait = found == 0;
        if (poll > questionAfter &&
            messageBox("Wait more?", caption, BoxKind::Question) != BoxAnswer::Ok)
            wait = false;
        if (!wait)
            return found;
    }
}

void endProcess(platform::ProcessId pid, unsigned pauseMs) {
    if (pid <= 0)
        return;
    if (platform::ProcessHandle h = platform::openProcess(pid)) {
        platform::terminateProcess(h, 0);
        if (pauseMs > 0)
            platform::sleepMs(pauseMs);
        platform::closeProcessHandle(h);
    }
}

std::optional<bool> formEvent(QWidget* form, QEvent* event, const QSet<QObject*>& keyBound,
                              const std::function<bool(int)>& keyDown,
                              const std::function<void()>& bareMove) {
    if (event->type() == QEvent::KeyPress) {
        QWidget* focus = QApplication::focusWidget();
        if (focus && focus != form && form->isAncestorOf(focus) && !keyBound.contains(focus))
            return std::nullopt;
        return keyDown(static_cast<QKeyEvent*>(event)->key());
    }
    if (event->type() == QEvent::MouseMove &&
        !form->childAt(static_cast<QMouseEvent*>(event)->position().toPoint()))
        bareMove();
    return std::nullopt;
}

bool passedOn(QObject* watched, QEvent* event) {
    auto* under = qobject_cast<QWidget*>(watched);
    return under && event->type() == QEvent::MouseMove &&
           under->childAt(static_cast<QMouseEvent*>(event)->position().toPoint());
}

bool isPress(const QEvent* event) {
    return event->type() == QEvent::MouseButtonPress ||
           event->type() == QEvent::MouseButtonDblClick;
}

QMetaObject::Connection onFocusLeavingPanels(QWidget* window, std::vector<QWidget*> panels,
                                             std::function<void()> panelExit) {
    return QObject::connect(qApp, &QApplication::focusChanged, window,
                            [window, panels = std::move(panels),
                             panelExit = std::move(panelExit)](QWidget* from, QWidget* to) {
                                if (!from || !to || !(to == window || window->isAncestorOf(to)))
                                    return;
                                for (QWidget* panel : panels)
                                    if (panel->isAncestorOf(from) && !panel->isAncestorOf(to))
                                        panelExit();
                            });
}

OperatorMoves::OperatorMoves(QAbstractSlider* slider) : QObject(slider), slider_(slider) {
    // An action of the operator's is announced before the value follows it; one that moves
    // nothing (at an end of the range) announces no change.
    connect(slider, &QAbstractSlider::actionTriggered, this,
            [this] { pending_ = slider_->sliderPosition() != slider_->value(); });
}

bool OperatorMoves::take() {
    const bool own = pending_;
    pending_ = false;
    return own;
}

void showPosition(QLCDNumber* minutes, QLCDNumber* seconds, int position) {
    minutes->display(QString::number(position / 60));
    seconds->display(QString::number(position % 60));
}

QFont formFont() {
    QFont f("Liberation Sans");
    f.setPixelSize(16);
    f.setBold(true);
    return f;
}

void setBackground(QWidget* w, const QColor& c) {
    QPalette p = w->palette();
    p.setColor(QPalette::Window, c);
    w->setPalette(p);
    w->setAutoFillBackground(true);
}

void colourCameraButton(QPushButton* button, uint8_t state) {
    static const QColor colours[] = {QColor(128, 128, 128), QColor(0, 128, 0), QColor(0, 0, 0),
                                     QColor(255, 255, 0)};
    const QColor c = state < 4 ? colours[state] : QColor(255, 0, 0);
    if (button->palette().color(QPalette::Button) != c) {
        QPalette p = button->palette();
        p.setColor(QPalette::Button, c);
        button->setPalette(p);
    }
}

void flushWindowSystem() {
#ifndef _WIN32
    if (auto* x11 = qApp->nativeInterface<QNativeInterface::QX11Application>())
        if (xcb_connection_t* c = x11->connection())
            xcb_flush(c);
#endif
}

} // namespace station
