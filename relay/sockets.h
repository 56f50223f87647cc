// The few socket calls the telnet client makes, the same on Linux and on Windows (Winsock).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <netdb.h>
#include <sys/socket.h>
#endif

namespace sockets {

#ifdef _WIN32
using Socket = SOCKET;
const Socket kNoSocket = INVALID_SOCKET;
#else
using Socket = int;
constexpr Socket kNoSocket = -1;
#endif

// Starts the socket library where the system needs it (Winsock); once per process.
void startUp();

// The last socket error of the calling thread, and its text.
int lastError();
std::string errorText(int error);

// A TCP connection to `address`, from `bindAddress` when given (numeric), with the connect
// bounded by `timeoutMs`. Returns kNoSocket with `error` ("Socket: ...", "Bind: ...",
// "Connect: ...") on failure. The socket does not block and has no Nagle's delay.
Socket connectTo(const addrinfo& address, const std::string& bindAddress, int timeoutMs,
                 std::string& error);

// Waits until data can be read or the peer has gone: 1 ready, 0 timed out (negative timeout:
// no limit), -1 failed.
int waitReadable(Socket s, int timeoutMs);

// Whole-buffer send: false when the connection failed, or when the peer took no more within
// `timeoutMs` (0: only what fits at once). One receive: bytes, 0 at the end, -1 on failure.
// Both retry when interrupted by a signal; the socket from connectTo does not block.
bool sendAll(Socket s, const char* data, std::size_t length, int timeoutMs);
long receive(Socket s, char* buffer, std::size_t capacity);

// Ends both directions, so that a thread blocked on the socket returns; then or later close.
void shutdownBoth(Socket s);
void closeSocket(Socket s);

} // namespace sockets
