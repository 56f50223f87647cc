// The relay's telnet client: one TCP connection to a video player's telnet interface, with
// the telnet protocol (option negotiation, IAC escaping) done by libtelnet.
//
// connectToHost() returns only once connected, or throws TelnetError; sendLine() adds CR LF
// and throws if the connection fails under it or the player takes nothing for a while. A reading
// thread collects what the player sends: each answer with the prompt "> " that ends it forms one
// chunk, delivered as soon as the prompt has come (an answer and its prompt arrive as one chunk,
// two answers as two); text without a prompt forms a chunk once the line has been quiet for a while
// (or 8192 bytes have gathered). Chunks and status changes are delivered on the GUI thread, one at
// a time and in order.
#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>

#include <memory>
#include <stdexcept>

class TelnetError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

class TelnetClient : public QObject {
    Q_OBJECT
public:
    enum class Status { Connected, Disconnected };

    // How long the line must stay quiet before text without a prompt forms a chunk.
    static constexpr int kPromptWaitMs = 250;
    // How long connecting may take before it counts as failed, and how long a line may wait
    // for a player that does not read before the send counts as failed.
    static constexpr int kConnectTimeoutMs = 3000;
    static constexpr int kSendTimeoutMs = 2000;
    // The most chunks (and bytes) read and not yet handled; beyond, the oldest are dropped.
    static constexpr std::size_t kQueuedChunks = 256;
    static constexpr std::size_t kQueuedBytes = 1 << 20;

    explicit TelnetClient(QObject* parent = nullptr);
    ~TelnetClient() override;

    // Settings, read at the next connect.
    QString host;
    int port = 23;
    QString bindAddress;
    QByteArray terminalType = "dumb";
    int receiveBufferSize = 8192;

    void connectToHost();
    bool connected() const;
    void disconnectFromHost();
    void sendLine(const QByteArray& line, int timeoutMs = kSendTimeoutMs);

signals:
    void connectedToHost();
    void statusChanged(TelnetClient::Status status);
    void dataAvailable(const QByteArray& chunk);
    // Chunks the player sent faster than they could be handled, dropped (the oldest first).
    void chunksDropped(long count);

private:
    struct Session;
    // On the GUI thread: hands over what the session's reader has queued.
    void drain(Session* raw);
    std::unique_ptr<Session> session_;
};
