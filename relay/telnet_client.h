// The relay's telnet client: one TCP connection to a video player's telnet interface.
// connectToHost() returns only once connected, or throws TelnetError. Notifications are
// delivered on the GUI thread, one at a time and in order.
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
    // Sends `line` followed by CR LF.
    void sendLine(const QByteArray& line);

signals:
    void connectedToHost();
    void statusChanged(TelnetClient::Status status);
    void dataAvailable(const QByteArray& chunk);

private:
    struct Session;
    std::unique_ptr<Session> session_;
};
