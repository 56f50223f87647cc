#include "relay/sockets.h"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#ifdef _WIN32
#include <mutex>
#else
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <unistd.h>
#endif

namespace sockets {

namespace {

#ifdef _WIN32
bool interrupted(int) {
    return false;
}
bool inProgress(int error) {
    return error == WSAEWOULDBLOCK;
}
bool wouldBlock(int error) {
    return error == WSAEWOULDBLOCK;
}
int pollOne(pollfd* p, int timeoutMs) {
    return WSAPoll(p, 1, timeoutMs);
}
bool setBlocking(Socket s, bool blocking) {
    u_long nonBlocking = blocking ? 0 : 1;
    return ioctlsocket(s, FIONBIO, &nonBlocking) == 0;
}
#else
bool interrupted(int error) {
    return error == EINTR;
}
bool inProgress(int error) {
    return error == EINPROGRESS;
}
bool wouldBlock(int error) {
    return error == EAGAIN || error == EWOULDBLOCK;
}
int pollOne(pollfd* p, int timeoutMs) {
    return poll(p, 1, timeoutMs);
}
bool setBlocking(Socket s, bool blocking) {
    const int flags = fcntl(s, F_GETFL);
    return fcntl(s, F_SETFL, blocking ? flags & ~O_NONBLOCK : flags | O_NONBLOCK) == 0;
}
#endif

// Polls one socket for `events`, retrying after signals.
int pollFor(Socket s, short events, int timeoutMs) {
    pollfd p{};
    p.fd = s;
    p.events = events;
    int ready;
    do {
        ready = pollOne(&p, timeoutMs);
    } while (ready < 0 && interrupted(lastError()));
    return ready < 0 ? -1 : ready;
}

} // namespace

void startUp() {
#ifdef _WIN32
    static std::once_flag once;
    std::call_once(once, [] {
        WSADATA data;
        WSAStartup(MAKEWORD(2, 2), &data);
    });
#endif
}

int lastError() {
#ifdef _WIN32
    return WSAGetLastError();
#else
    return errno;
#endif
}

std::string errorText(int error) {
#ifdef _WIN32
    char text[256] = {};
    FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                   static_cast<DWORD>(error), 0, text, sizeof text, nullptr);
    std::string s(text);
    while (!s.empty() && (s.back() == '\n' || s.back() == '\r' || s.back() == ' '))
        s.pop_back();
    return s.empty() ? "error " + std::to_string(error) : s;
#else
    return std::strerror(error);
#endif
}

Socket connectTo(const addrinfo& address, const std::string& bindAddress, int timeoutMs,
                 std::string& error) {
    startUp();
    auto fail = [&](const char* what, int code) {
        error = std::string(what) + ": " + errorText(code);
        return kNoSocket;
    };
#ifdef _WIN32
    Socket s = socket(address.ai_family, SOCK_STREAM, 0);
#else
    Socket s = socket(address.ai_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
#endif
    if (s == kNoSocket)
        return fail("Socket", lastError());
    std::unique_ptr<Socket, void (*)(Socket*)> guard(&s, [](Socket* p) { closeSocket(*p); });
    if (!bindAddress.empty()) {
        addrinfo* local = nullptr;
        addrinfo hints{};
        hints.ai_family = address.ai_family;
        hints.ai_socktype = SOCK_STREAM;
        hints.ai_flags = AI_NUMERICHOST;
        if (getaddrinfo(bindAddress.c_str(), nullptr, &hints, &local) != 0) {
            error = "Bind address " + bindAddress + " is not valid";
            return kNoSocket;
        }
        const int rc = bind(s, local->ai_addr, static_cast<int>(local->ai_addrlen));
        const int code = lastError();
        freeaddrinfo(local);
        if (rc != 0)
            return fail("Bind", code);
    }
    setBlocking(s, false);
    if (connect(s, address.ai_addr, static_cast<int>(address.ai_addrlen)) != 0) {
        if (!inProgress(lastError()))
            return fail("Connect", lastError());
        const int ready = pollFor(s, POLLOUT, timeoutMs);
        if (ready == 0) {
            error = "Connect: timed out";
            return kNoSocket;
        }
        int code = 0;
        socklen_t length = sizeof code;
        getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&code), &length);
        if (ready < 0 || code != 0)
            return fail("Connect", ready < 0 ? lastError() : code);
    }
    // The socket stays non-blocking: a send waits for room only as long as it is allowed to.
    const int one = 1;
    setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&one), sizeof one);
    guard.release();
    return s;
}

int waitReadable(Socket s, int timeoutMs) {
    return pollFor(s, POLLIN, timeoutMs);
}

bool sendAll(Socket s, const char* data, std::size_t length, int timeoutMs) {
#ifdef _WIN32
    const int flags = 0;
#else
    const int flags = MSG_NOSIGNAL; // a closed peer is an error, not a signal
#endif
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    std::size_t done = 0;
    while (done < length) {
        const long n = send(s, data + done, static_cast<int>(length - done), flags);
        if (n < 0 && interrupted(lastError()))
            continue;
        if (n < 0 && wouldBlock(lastError())) {
            // A peer that does not read: wait for room, but not beyond the time allowed.
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                                  deadline - std::chrono::steady_clock::now())
                                  .count();
            if (left <= 0 || pollFor(s, POLLOUT, static_cast<int>(left)) <= 0)
                return false;
            continue;
        }
        if (n <= 0)
            return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

long receive(Socket s, char* buffer, std::size_t capacity) {
    for (;;) {
        const long n = recv(s, buffer, static_cast<int>(capacity), 0);
        if (n < 0 && interrupted(lastError()))
            continue;
        // Nothing there after all (the socket does not block): wait for it.
        if (n < 0 && wouldBlock(lastError())) {
            if (pollFor(s, POLLIN, -1) < 0)
                return -1;
            continue;
        }
        return n < 0 ? -1 : n;
    }
}

void shutdownBoth(Socket s) {
#ifdef _WIN32
    shutdown(s, SD_BOTH);
#else
    shutdown(s, SHUT_RDWR);
#endif
}

void closeSocket(Socket s) {
    if (s == kNoSocket)
        return;
#ifdef _WIN32
    closesocket(s);
#else
    close(s);
#endif
}

} // namespace sockets
