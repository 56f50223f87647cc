#include "telnet_client.h"

struct TelnetClient::Session {};

TelnetClient::TelnetClient(QObject* parent) : QObject(parent) {}
TelnetClient::~TelnetClient() = default;

void TelnetClient::connectToHost() {
    throw TelnetError("Connection refused.");
}
bool TelnetClient::connected() const {
    return false;
}
void TelnetClient::disconnectFromHost() {}
void TelnetClient::sendLine(const QByteArray&) {
    throw TelnetError("Not Connected");
}
