#include "relay/telnet_client.h"

#include <libtelnet.h>

#include "core/hand_over.h"
#include "core/reports.h"
#include "relay/sockets.h"

#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>

namespace {

// While the window thread lags behind the player's text, the reader pauses this long per read.
constexpr int kLaggingPauseMs = 20;

const telnet_telopt_t kOptions[] = {
    {TELNET_TELOPT_TTYPE, TELNET_WILL, TELNET_DONT},
    {TELNET_TELOPT_ECHO, TELNET_WONT, TELNET_DO},
    {-1, 0, 0},
};

// Where the last complete answer in `text` ends (after its prompt), 0 when none does.
std::size_t lastReplyEnd(const QByteArray& text) {
    for (qsizetype at = text.lastIndexOf("> "); at >= 0;
         at = at > 0 ? text.lastIndexOf("> ", at - 1) : -1)
        if (at == 0 || text[at - 1] == '\n')
            return static_cast<std::size_t>(at + 2);
    return 0;
}

} // namespace

// One connection: its socket, its telnet state and the thread that reads it.
struct TelnetClient::Session {
    sockets::Socket fd = sockets::kNoSocket;
    telnet_t* telnet = nullptr;
    std::mutex lock;               // telnet state and sends
    std::atomic<bool> up{false};   // connected
    std::atomic<bool> stop{false}; // asked to end
    bool sendFailed = false;       // a send failed since the last check (under lock)
    int sendTimeoutMs = 0;         // how long the send under way may wait for room (under lock)
    QByteArray gathered;           // data bytes of the chunk being gathered (reader only)
    QByteArray terminalType;
    std::size_t chunkLimit = 8192;
    std::thread reader;
    // Chunks read and not yet handled by the GUI thread: bounded, whatever the player sends.
    vorbelt::HandOver<QByteArray> queue{kQueuedChunks, kQueuedBytes};

    static void onEvent(telnet_t* t, telnet_event_t* ev, void* self) {
        auto* s = static_cast<Session*>(self);
        switch (ev->type) {
        case TELNET_EV_DATA:
            s->gathered.append(ev->data.buffer, static_cast<qsizetype>(ev->data.size));
            break;
        case TELNET_EV_SEND:
            if (!sockets::sendAll(s->fd, ev->data.buffer, ev->data.size, s->sendTimeoutMs))
                s->sendFailed = true;
            break;
        case TELNET_EV_TTYPE:
            if (ev->ttype.cmd == TELNET_TTYPE_SEND)
                telnet_ttype_is(t, s->terminalType.constData());
            break;
        default:
            break; // negotiation is answered by libtelnet from the option table
        }
    }

    ~Session() {
        if (telnet)
            telnet_free(telnet);
        sockets::closeSocket(fd);
    }
};

TelnetClient::TelnetClient(QObject* parent) : QObject(parent) {}

TelnetClient::~TelnetClient() {
    if (session_) {
        session_->stop = true;
        sockets::shutdownBoth(session_->fd);
        if (session_->reader.joinable())
            session_->reader.join();
    }
}

bool TelnetClient::connected() const {
    return session_ && session_->up;
}

void TelnetClient::connectToHost() {
    if (connected())
        throw TelnetError("Already connected.");
    if (session_) {
        // The previous connection has ended: let its reader finish.
        session_->stop = true;
        sockets::shutdownBoth(session_->fd);
        if (session_->reader.joinable())
            session_->reader.join();
        session_.reset();
    }

    sockets::startUp();
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    const QByteArray hostName = host.toUtf8();
    const QByteArray portText = QByteArray::number(port);
    if (port < 0 || port > 65535)
        throw TelnetError("Invalid port " + portText.toStdString());
    if (int rc = getaddrinfo(hostName.constData(), portText.constData(), &hints, &found))
        throw TelnetError("Host " + hostName.toStdString() + ": " + gai_strerror(rc));
    std::unique_ptr<addrinfo, void (*)(addrinfo*)> addresses(found, freeaddrinfo);

    auto s = std::make_unique<Session>();
    s->terminalType = terminalType;
    s->chunkLimit = static_cast<std::size_t>(receiveBufferSize > 0 ? receiveBufferSize : 8192);
    std::string error;
    s->fd = sockets::connectTo(*found, bindAddress.toStdString(), kConnectTimeoutMs, error);
    if (s->fd == sockets::kNoSocket)
        throw TelnetError(error);
    s->telnet = telnet_init(kOptions, &Session::onEvent, 0, s.get());
    if (!s->telnet)
        throw TelnetError("Telnet: out of memory");
    s->up = true;

    Session* raw = s.get();
    session_ = std::move(s);
    session_->reader = std::thread([this, raw] {
        // Chunks wait in a bounded queue, handed over to the GUI thread by one queued call at a
        // time.
        auto deliver = [this, raw](QByteArray chunk) {
            const auto bytes = static_cast<std::size_t>(chunk.size());
            if (raw->queue.push(std::move(chunk), bytes))
                QMetaObject::invokeMethod(
                    this, [this, raw] { drain(raw); }, Qt::QueuedConnection);
        };
        std::vector<char> buf(raw->chunkLimit);
        for (;;) {
            // A player that talks faster than the window thread takes its answers in: what has
            // come, up to its last prompt, is dropped whole rather than split into answers that
            // would be dropped anyway.
            if (raw->queue.lagging()) {
                const std::size_t last = lastReplyEnd(raw->gathered);
                if (last > 0) {
                    raw->gathered.remove(0, static_cast<qsizetype>(last));
                    raw->queue.droppedBefore(1);
                }
                // And it reads slower meanwhile: a peer that sends without end is held back by
                // the connection itself rather than costing this program a core.
                std::this_thread::sleep_for(std::chrono::milliseconds(kLaggingPauseMs));
            }
            // Each answer goes out as soon as its prompt has come, on its own, so that two
            // answers read together still make two reports.
            std::size_t from = 0;
            for (std::size_t end;
                 (end = vorbelt::replyEnd(std::string_view(raw->gathered.constData() + from,
                                                           raw->gathered.size() - from))) != 0;
                 from += end)
                deliver(
                    raw->gathered.mid(static_cast<qsizetype>(from), static_cast<qsizetype>(end)));
            raw->gathered.remove(0, static_cast<qsizetype>(from));
            // What is left waits for its prompt; text that never gets one (the banner, the
            // password question) goes out once the line has been quiet for a while.
            const int waitMs = raw->gathered.isEmpty() ? -1 : kPromptWaitMs;
            const int ready = sockets::waitReadable(raw->fd, waitMs);
            if (ready == 0 || static_cast<std::size_t>(raw->gathered.size()) >= raw->chunkLimit) {
                QByteArray chunk;
                chunk.swap(raw->gathered);
                deliver(chunk);
                if (ready == 0)
                    continue;
            }
            const std::size_t room =
                raw->chunkLimit - std::min<std::size_t>(raw->chunkLimit, static_cast<std::size_t>(
                                                                             raw->gathered.size()));
            const long n = sockets::receive(raw->fd, buf.data(), std::max<std::size_t>(room, 1));
            if (n <= 0)
                break;
            std::lock_guard<std::mutex> g(raw->lock);
            // Negotiation answers go out only if they fit at once: this thread must never wait
            // for a peer that does not read while it holds the lock that sends need.
            raw->sendTimeoutMs = 0;
            telnet_recv(raw->telnet, buf.data(), static_cast<std::size_t>(n));
        }
        if (!raw->gathered.isEmpty())
            deliver(raw->gathered);
        const bool wasUp = raw->up.exchange(false);
        if (wasUp && !raw->stop)
            QMetaObject::invokeMethod(
                this, [this] { emit statusChanged(Status::Disconnected); }, Qt::QueuedConnection);
    });
    emit connectedToHost();
}

void TelnetClient::drain(Session* raw) {
    // Only the session still in use is drained (a replaced one's queue goes with it).
    if (!session_ || session_.get() != raw)
        return;
    long dropped = 0;
    const std::vector<QByteArray> chunks = raw->queue.take(&dropped);
    if (dropped > 0)
        emit chunksDropped(dropped);
    for (const QByteArray& c : chunks)
        emit dataAvailable(c);
}

void TelnetClient::disconnectFromHost() {
    if (!session_)
        return;
    const bool wasUp = session_->up.exchange(false);
    session_->stop = true;
    sockets::shutdownBoth(session_->fd);
    if (session_->reader.joinable())
        session_->reader.join();
    session_.reset();
    if (wasUp)
        emit statusChanged(Status::Disconnected);
}

void TelnetClient::sendLine(const QByteArray& line, int timeoutMs) {
    if (!connected())
        throw TelnetError("Not Connected");
    std::lock_guard<std::mutex> g(session_->lock);
    session_->sendFailed = false;
    session_->sendTimeoutMs = timeoutMs;
    // The line and its end in one write: one packet, one system call.
    const QByteArray whole = line + "\r\n";
    telnet_send(session_->telnet, whole.constData(), static_cast<std::size_t>(whole.size()));
    if (session_->sendFailed) {
        session_->up = false;
        throw TelnetError("Connection Closed Gracefully.");
    }
}
