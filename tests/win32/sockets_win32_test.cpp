// The relay's socket calls on Winsock, under Wine: a bounded connect, sends and receives, the
// wait for data and the refusal of a port nobody listens on.
#include "check.h"
#include "relay/sockets.h"

#include <iostream>
#include <string>

namespace {

using win32_test::failures;

addrinfo* resolve(int port) {
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    getaddrinfo("127.0.0.1", std::to_string(port).c_str(), &hints, &found);
    return found;
}

} // namespace

int main() {
    sockets::startUp();
    // A listener on a free port of the loopback.
    SOCKET listener = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    CHECK_EQ(bind(listener, reinterpret_cast<sockaddr*>(&local), sizeof local), 0);
    CHECK_EQ(listen(listener, 1), 0);
    int length = sizeof local;
    getsockname(listener, reinterpret_cast<sockaddr*>(&local), &length);
    const int port = ntohs(local.sin_port);

    addrinfo* address = resolve(port);
    std::string error;
    const sockets::Socket client = sockets::connectTo(*address, "127.0.0.1", 3000, error);
    CHECK(client != sockets::kNoSocket);
    CHECK_EQ(error, "");
    freeaddrinfo(address);
    SOCKET server = accept(listener, nullptr, nullptr);
    CHECK(server != INVALID_SOCKET);

    // Nothing to read yet: the wait ends at its bound.
    CHECK_EQ(sockets::waitReadable(client, 50), 0);
    CHECK(sockets::sendAll(client, "get_time\r\n", 10, 2000));
    char buffer[64];
    CHECK_EQ(recv(server, buffer, sizeof buffer, 0), 10);
    CHECK_EQ(std::string(buffer, 10), "get_time\r\n");
    send(server, "42\r\n> ", 6, 0);
    CHECK_EQ(sockets::waitReadable(client, 3000), 1);
    CHECK_EQ(sockets::receive(client, buffer, sizeof buffer), 6L);
    CHECK_EQ(std::string(buffer, 6), "42\r\n> ");
    // The peer goes: readable, and the receive sees the end.
    closesocket(server);
    CHECK_EQ(sockets::waitReadable(client, 3000), 1);
    CHECK_EQ(sockets::receive(client, buffer, sizeof buffer), 0L);
    sockets::closeSocket(client);

    // A port nobody listens on any more: refused, with the system's text.
    closesocket(listener);
    addrinfo* gone = resolve(port);
    const sockets::Socket refused = sockets::connectTo(*gone, "", 3000, error);
    freeaddrinfo(gone);
    CHECK_EQ(refused, sockets::kNoSocket);
    CHECK_EQ(error.rfind("Connect: ", 0), 0u);
    std::cout << "refused: " << error << "\n";
    std::cout << (failures == 0 ? "ok" : "FAIL") << std::endl;
    return failures;
}
