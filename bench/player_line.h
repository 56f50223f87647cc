// A telnet session of a benchmark's own with one video player (VLC serves several at once):
// one command line out, its answer read back up to the prompt.
#pragma once

#include "bench_util.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <optional>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>

namespace bench {

class PlayerLine {
public:
    PlayerLine() = default;
    PlayerLine(const PlayerLine&) = delete;
    PlayerLine& operator=(const PlayerLine&) = delete;
    ~PlayerLine() {
        if (fd_ >= 0)
            close(fd_);
    }

    // Connects to the player on the loopback `port`, trying every 100 ms up to `attempts`
    // times (a player just started listens a little later), and logs in with `password`.
    bool open(int port, const std::string& password, int attempts = 1) {
        for (int k = 0; k < attempts && fd_ < 0; ++k) {
            if (k > 0)
                usleep(100000);
            fd_ = socket(AF_INET, SOCK_STREAM, 0);
            sockaddr_in a{};
            a.sin_family = AF_INET;
            a.sin_port = htons(static_cast<uint16_t>(port));
            a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            if (connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
                close(fd_);
                fd_ = -1;
            }
        }
        if (fd_ < 0)
            return false;
        // Answers are timed: no waiting to fill packets.
        int one = 1;
        setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        if (readUntil("Password: ") && send(password) && readUntil("> "))
            return true;
        close(fd_);
        fd_ = -1;
        return false;
    }
    bool ok() const { return fd_ >= 0; }

    // One command; its answer without the prompt, or none when the line failed. `sent` and
    // `back` get the times it left and its answer came back.
    std::optional<std::string> ask(const std::string& line, double* sent = nullptr,
                                   double* back = nullptr) {
        const double q = nowMs();
        if (fd_ < 0 || !send(line) || !readUntil("> "))
            return std::nullopt;
        if (sent)
            *sent = q;
        if (back)
            *back = nowMs();
        std::string a = text_.substr(0, text_.size() - 2);
        while (!a.empty() && (a.back() == '\r' || a.back() == '\n'))
            a.pop_back();
        return a;
    }

private:
    // One line out; what comes back from here on is its answer.
    bool send(const std::string& line) {
        text_.clear();
        const std::string out = line + "\r\n";
        return ::send(fd_, out.data(), out.size(), MSG_NOSIGNAL) ==
               static_cast<ssize_t>(out.size());
    }
    // Gathers text (telnet commands left out) until it ends with `end`.
    bool readUntil(const std::string& end) {
        for (;;) {
            if (text_.size() >= end.size() &&
                text_.compare(text_.size() - end.size(), end.size(), end) == 0)
                return true;
            pollfd p{fd_, POLLIN, 0};
            if (poll(&p, 1, 3000) <= 0)
                return false;
            char buf[512];
            const ssize_t n = recv(fd_, buf, sizeof buf, 0);
            if (n <= 0)
                return false;
            for (ssize_t k = 0; k < n; ++k) {
                if (static_cast<unsigned char>(buf[k]) == 0xFF) {
                    k += 2; // IAC WILL/WONT ECHO
                    continue;
                }
                text_ += buf[k];
            }
        }
    }
    int fd_ = -1;
    std::string text_;
};

} // namespace bench
