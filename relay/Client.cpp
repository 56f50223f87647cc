#include "relay/Client.h"

#include "core/player_launch.h"
#include "core/relay_commands.h"
#include "core/reports.h"
#include "platform/process.h"
#include "platform/qt/message_box.h"
#include "platform/qt/posted_messages.h"
#include "relay/sockets.h"
#include "ui_Client.h"

#include <QApplication>
#include <QCloseEvent>
#include <QFile>
#include <QMouseEvent>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextDocument>

namespace {

#ifdef _WIN32
const std::string kHangVlm = vorbelt::kDefaultHangVlmPath;
const QString kPlaylist = "c:/utils/server/temp/playlist.txt";
#else
// On Linux the relay's files lie beside it, as they lie beside brellon.exe on Windows.
const std::string kHangVlm = platform::executableDirectory() + "hang_vlm.vlm";
const QString kPlaylist =
    QString::fromStdString(platform::executableDirectory()) + "temp/playlist.txt";
#endif

constexpr int kFarewellTimeoutMs = 300;
// The log's bound: its last lines and characters.
constexpr int kLogLines = 1000;
constexpr int kLogCharacters = 64 * 1024;
constexpr int kLogDelayMs = 50;

QString gle(uint32_t error) {
    return QString::number(error);
}

} // namespace

TTelnetForm::TTelnetForm(QWidget* parent) : QWidget(parent), ui_(new Ui::TelnetForm) {
    ui_->setupUi(this);
    ui_->Memo1->document()->setMaximumBlockCount(kLogLines);
    telnet_.port = 23;
    openReportPipe();
    forwarding_ = false;

    connect(ui_->btnConnect, &QPushButton::clicked, this, &TTelnetForm::btnConnectClick);
    connect(ui_->btnDisconnect, &QPushButton::clicked, this, &TTelnetForm::btnDisconnectClick);
    connect(ui_->UpDown1, &UpDown::clicked, this, &TTelnetForm::UpDown1Click);
    ui_->Label1->installEventFilter(this);
    connect(&telnet_, &TelnetClient::connectedToHost, this, &TTelnetForm::IdTelnetDemoConnect);
    connect(&telnet_, &TelnetClient::statusChanged, this, &TTelnetForm::IdTelnetDemoStatus);
    connect(&telnet_, &TelnetClient::dataAvailable, this, &TTelnetForm::IdTelnetDemoDataAvailable);
    connect(&telnet_, &TelnetClient::chunksDropped, this, [this](long count) {
        droppedChunks_ += count;
        setStatus(QString::number(droppedChunks_) +
                  " pieces of the player's text dropped: it sends faster than they are handled");
    });

    filter_ = std::make_unique<PostedMessageFilter>(
        this, [this](uint32_t m, uint32_t w, int32_t l) { WndProc(m, w, l); });
    FormCreate();
}

TTelnetForm::~TTelnetForm() {
    filter_.reset();
    if (!closed_ && pipe_ != platform::kInvalidPipe)
        platform::closePipe(pipe_);
}

void TTelnetForm::FormCreate() {
    ui_->spnedtPort->setText("4212");
}

void TTelnetForm::openReportPipe() {
    lastResult_ = 0;
    // No free instance until the control program creates one for this relay: try again
    // after a short pause, so the wait costs no processor time.
    while ((pipe_ = platform::openPipe(platform::kReportPipeName)) == platform::kInvalidPipe)
        platform::sleepMs(5);
    readMode_ = 2;
    lastResult_ = platform::setPipeMessageMode(pipe_) ? 1 : 0;
    if (!lastResult_)
        setWindowTitle("SetNamedPipeHandleState failed. GLE=" + gle(platform::lastError()));
}

void TTelnetForm::writeReport(const QByteArray& text, bool showCount) {
    const bool ok = platform::writePipe(pipe_, text.constData(),
                                        static_cast<std::size_t>(text.size()), &bytesWritten_);
    lastResult_ = ok ? 1 : 0;
    if (!ok)
        ui_->sbrStatus->showMessage("WriteFile to pipe failed. GLE=" + gle(platform::lastError()));
    else if (showCount)
        setStatus(QString::number(bytesWritten_));
}

void TTelnetForm::reportError(const std::exception& e) {
    const QString text = QString::fromLocal8Bit(e.what());
    // One box at a time: the next command runs inside an open box's own event loop, and boxes
    // stacked there would pile up with every failing poll (until the stack gave out).
    if (boxOpen_) {
        ++unshownErrors_;
        ui_->sbrStatus->showMessage(QString::number(unshownErrors_) +
                                    " more errors while a message is shown; the last: " + text);
        return;
    }
    boxOpen_ = true;
    unshownErrors_ = 0;
    messageBox(text, "brellon", BoxKind::Warning, this);
    boxOpen_ = false;
}

void TTelnetForm::sendIfConnected(const QByteArray& line) {
    if (telnet_.connected())
        telnet_.sendLine(line);
}

void TTelnetForm::WndProc(uint32_t message, uint32_t wParam, int32_t lParam) {
    if (message != vorbelt::kCommandMessage)
        return;
    forwarding_ = false;
    if (wParam > vorbelt::kLastCommandCode && wParam != vorbelt::kShareSeekCode) {
        setWindowTitle(QString::number(static_cast<int32_t>(wParam)));
        return;
    }
    try {
        const vorbelt::RelayAction a = vorbelt::relayCommand(wParam, lParam, kHangVlm);
        const QString text = QString::fromStdString(a.text);
        switch (a.kind) {
        case vorbelt::RelayActionKind::Nothing:
            break;
        case vorbelt::RelayActionKind::SetCaption:
            setWindowTitle(text);
            break;
        case vorbelt::RelayActionKind::SetHost:
            ui_->edtServer->setText(text);
            telnet_.host = text;
            if (a.setBindAddress)
                telnet_.bindAddress = text;
            break;
        case vorbelt::RelayActionKind::SetPort:
            ui_->spnedtPort->setText(QString::number(a.number));
            telnet_.port = ui_->spnedtPort->text().toInt();
            break;
        case vorbelt::RelayActionKind::Connect:
            connectOnCommand();
            break;
        case vorbelt::RelayActionKind::SendLine:
            sendIfConnected(text.toLatin1());
            break;
        case vorbelt::RelayActionKind::Playlist:
            playlistHandOver();
            break;
        case vorbelt::RelayActionKind::Close:
            // An error box still open would keep the program alive: it goes first.
            if (QWidget* box = QApplication::activeModalWidget())
                box->close();
            close();
            break;
        }
        if (a.forwardReplies)
            forwarding_ = true;
    } catch (const std::exception& e) {
        reportError(e);
    }
}

void TTelnetForm::connectOnCommand() {
    // A connection that is still up belongs to a player the station has since replaced: it
    // is closed and the new one connected, rather than failing with "Already connected" and
    // reporting a working line as not responding.
    if (telnet_.connected())
        telnet_.disconnectFromHost();
    const QByteArray password = playerSecret();
    try {
        telnet_.connectToHost();
    } catch (const TelnetError&) {
        ui_->sbrStatus->showMessage("Not Responding");
        writeReport(QByteArray::fromStdString(vorbelt::warningReport(channelLabel().toStdString())),
                    false);
    }
    if (!telnet_.connected())
        return;
    // The station's player has a secret of its own: it goes only to a listener of the
    // station's user or of the player's, never to a program that took the port first.
    if (!password.isEmpty() && password != vorbelt::kTelnetPassword) {
        const QString foreign = foreignListener();
        if (!foreign.isEmpty()) {
            telnet_.disconnectFromHost();
            ui_->sbrStatus->showMessage(foreign);
            writeReport(
                QByteArray::fromStdString(vorbelt::refusalReport(channelLabel().toStdString())),
                false);
            return;
        }
    }
    if (!password.isEmpty())
        telnet_.sendLine(password);
}

QString TTelnetForm::playerFile(const char* name) const {
    const QString profiles = qEnvironmentVariable(vorbelt::kPlayerProfilesVariable);
    if (profiles.isEmpty())
        return {};
    return QString::fromStdString(vorbelt::playerFile(profiles.toStdString(), telnet_.port, name));
}

QByteArray TTelnetForm::playerSecret() const {
    // Started alone (not by the station), the relay logs in with the players' common password.
    const QString path = playerFile("secret");
    if (path.isEmpty())
        return vorbelt::kTelnetPassword;
    QFile secret(path);
    // No player of the station's on this port: the common password, which none of the
    // station's players takes (nothing is given away with it).
    if (!secret.open(QIODevice::ReadOnly))
        return vorbelt::kTelnetPassword;
    return secret.readAll().trimmed();
}

QString TTelnetForm::foreignListener() const {
    if (telnet_.host != vorbelt::kLocalHost || !platform::listenersKnown())
        return {};
    const std::vector<platform::TcpListener> listeners = platform::tcpListeners(telnet_.port);
    if (listeners.empty())
        return QString("Refused: nobody is seen listening on port %1").arg(telnet_.port);
    // The station names its player: every socket listening on the port (on any address) must
    // be that very process's, not merely its user's (another process of the same user may
    // have taken the port before the player could).
    QFile pidFile(playerFile("pid"));
    if (pidFile.open(QIODevice::ReadOnly)) {
        const platform::ProcessId player = pidFile.readAll().trimmed().toInt();
        for (const platform::TcpListener& l : listeners)
            if (!platform::processHoldsSocket(player, l.socket))
                return QString("Refused: port %1 is held by another program than the player")
                    .arg(telnet_.port);
        return {};
    }
    long owner = -1;
    QFile file(playerFile("owner"));
    if (file.open(QIODevice::ReadOnly))
        owner = file.readAll().trimmed().toLong();
    for (const platform::TcpListener& l : listeners)
        if (l.user != static_cast<long>(platform::userId()) && l.user != owner)
            return QString("Refused: port %1 is held by user %2, not by the player")
                .arg(telnet_.port)
                .arg(l.user);
    return {};
}

void TTelnetForm::playlistHandOver() {
    QFile f(kPlaylist);
    if (!f.open(QIODevice::ReadOnly | QIODevice::Text))
        throw std::runtime_error("Cannot open file \"" + kPlaylist.toStdString() + "\". " +
                                 f.errorString().toStdString());
    ui_->ListBox1->clear();
    const QStringList lines = QString::fromLatin1(f.readAll()).split('\n');
    f.close();
    for (int k = 0; k < lines.size(); ++k)
        if (k + 1 < lines.size() || !lines[k].isEmpty())
            ui_->ListBox1->addItem(QString(lines[k]).remove('\r'));
    if (telnet_.connected()) {
        if (ui_->ListBox1->count() == 0)
            throw std::runtime_error("List index out of bounds (0)");
        telnet_.sendLine(ui_->ListBox1->item(0)->text().toLatin1());
    }
    ui_->ListBox1->clear();
    QFile::remove(kPlaylist);
}

void TTelnetForm::IdTelnetDemoDataAvailable(const QByteArray& chunk) {
    // Each chunk goes whole into the log and, while forwarding, whole into the pipe: an answer
    // such as "110\r\n> " must reach the control program as one report with all its digits.
    // The log is written a moment later, what came meanwhile at once: laying out its text
    // anew for every chunk of a flood would cost more than the flood.
    pendingLog_ += QString::fromLatin1(chunk);
    // (Cut now and then, not for every chunk: each cut moves the whole text.)
    if (pendingLog_.size() > 2 * kLogCharacters)
        pendingLog_.remove(0, pendingLog_.size() - kLogCharacters);
    // While the window is minimized nobody reads the log: it is written when the window shows.
    if (!logTimer_.isActive() && !isMinimized())
        logTimer_.start(kLogDelayMs, this);
    if (forwarding_ && !chunk.isEmpty())
        writeReport(chunk, true);
}

void TTelnetForm::timerEvent(QTimerEvent* event) {
    if (event->timerId() != logTimer_.timerId()) {
        QWidget::timerEvent(event);
        return;
    }
    logTimer_.stop();
    if (pendingLog_.size() > kLogCharacters)
        pendingLog_.remove(0, pendingLog_.size() - kLogCharacters);
    QTextDocument* log = ui_->Memo1->document();
    QTextCursor c(log);
    c.movePosition(QTextCursor::End);
    c.insertText(pendingLog_);
    pendingLog_.clear();
    // The log keeps its tail only (the document limits its lines), cut at a line end where
    // there is one: a player that talks without end must not cost ever more time and memory.
    const int excess = log->characterCount() - kLogCharacters;
    if (excess > 0) {
        const QTextBlock last = log->findBlock(excess);
        const int cut = last.isValid() && last.next().isValid() ? last.next().position() : excess;
        QTextCursor head(log);
        head.setPosition(cut, QTextCursor::KeepAnchor);
        head.removeSelectedText();
    }
}

void TTelnetForm::changeEvent(QEvent* event) {
    QWidget::changeEvent(event);
    if (event->type() == QEvent::WindowStateChange && !isMinimized() && !pendingLog_.isEmpty() &&
        !logTimer_.isActive())
        logTimer_.start(0, this);
}

void TTelnetForm::setStatus(const QString& text) {
    // The same text again draws nothing new (the byte count of every answer is alike).
    if (ui_->sbrStatus->currentMessage() != text)
        ui_->sbrStatus->showMessage(text);
}

void TTelnetForm::btnConnectClick() {
    try {
        telnet_.host = ui_->edtServer->text();
        bool ok = false;
        const int port = ui_->spnedtPort->text().toInt(&ok);
        if (!ok)
            throw std::invalid_argument("'" + ui_->spnedtPort->text().toStdString() +
                                        "' is not a valid integer value");
        telnet_.port = port;
        if (!telnet_.connected()) {
            try {
                telnet_.connectToHost();
            } catch (const TelnetError&) {
                writeReport(QByteArray::fromStdString(
                                vorbelt::reinstallReport(channelLabel().toStdString())),
                            false);
            }
        }
    } catch (const std::exception& e) {
        reportError(e);
    }
}

void TTelnetForm::btnDisconnectClick() {
    telnet_.disconnectFromHost();
}

void TTelnetForm::UpDown1Click(bool up) {
    bool ok = false;
    const int v = ui_->spnedtPort->text().toInt(&ok);
    if (!ok) {
        reportError(std::invalid_argument("'" + ui_->spnedtPort->text().toStdString() +
                                          "' is not a valid integer value"));
        return;
    }
    ui_->spnedtPort->setText(QString::number(up ? v + 1 : v - 1));
}

void TTelnetForm::Label1Click() {
    try {
        sendIfConnected(ui_->Edit1->text().toLatin1());
    } catch (const std::exception& e) {
        reportError(e);
    }
}

void TTelnetForm::IdTelnetDemoConnect() {
    ui_->sbrStatus->showMessage("Connect");
}

void TTelnetForm::IdTelnetDemoStatus(TelnetClient::Status status) {
    if (status == TelnetClient::Status::Disconnected)
        ui_->sbrStatus->showMessage("Disconnected");
}

bool TTelnetForm::FormCloseQuery() {
    try {
        // Briefly: a player that reads nothing must not hold the close up.
        if (telnet_.connected() && ui_->edtServer->text() == vorbelt::kLocalHost)
            telnet_.sendLine("shutdown", kFarewellTimeoutMs);
    } catch (const std::exception&) {
        // The player went away first: nothing to say goodbye to.
    }
    if (!closed_) {
        platform::flushPipe(pipe_);
        platform::disconnectNamedPipe(pipe_);
        platform::closePipe(pipe_);
        closed_ = true;
    }
    return true;
}

void TTelnetForm::closeEvent(QCloseEvent* event) {
    if (FormCloseQuery())
        event->accept();
    else
        event->ignore();
}

bool TTelnetForm::eventFilter(QObject* watched, QEvent* event) {
    if (watched == ui_->Label1 && event->type() == QEvent::MouseButtonRelease &&
        static_cast<QMouseEvent*>(event)->button() == Qt::LeftButton) {
        Label1Click();
        return true;
    }
    return QWidget::eventFilter(watched, event);
}
