#include "listener.h"

#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

namespace testing_support {

Listener::Listener(int port, uid_t uid, bool flood) {
    int fds[2];
    if (pipe(fds) != 0)
        return;
    pid_ = fork();
    if (pid_ == 0) {
        close(fds[0]);
        // (A socket belongs to the user who made it: the user changes first.)
        if (uid != getuid() && (setgid(uid) != 0 || setuid(uid) != 0))
            _exit(1);
        const int s = socket(AF_INET, SOCK_STREAM, 0);
        const int one = 1;
        setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(static_cast<uint16_t>(port));
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || listen(s, 4) != 0)
            _exit(1);
        (void)!write(fds[1], "L", 1);
        std::string answers;
        for (int k = 0; k < 2000; ++k)
            answers += "1\r\n> ";
        for (;;) {
            const int c = accept(s, nullptr, nullptr);
            (void)!write(c, "Password: ", 10);
            char buf[4096];
            for (;;) {
                const ssize_t n = recv(c, buf, sizeof buf, flood ? MSG_DONTWAIT : 0);
                if (n == 0 || (n < 0 && errno != EAGAIN))
                    break;
                if (n > 0)
                    (void)!write(fds[1], buf, static_cast<std::size_t>(n));
                if (flood)
                    (void)!send(c, answers.data(), answers.size(), MSG_NOSIGNAL);
            }
            close(c);
        }
    }
    close(fds[1]);
    fromChild_ = fds[0];
    char ready = 0;
    if (read(fromChild_, &ready, 1) != 1)
        pid_ = -1;
}

Listener::~Listener() {
    if (pid_ > 0) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
    close(fromChild_);
}

std::string Listener::heard(int quietMs) {
    std::string all;
    for (;;) {
        pollfd p{fromChild_, POLLIN, 0};
        if (poll(&p, 1, quietMs) <= 0)
            return all;
        char buf[512];
        const ssize_t n = read(fromChild_, buf, sizeof buf);
        if (n <= 0)
            return all;
        all.append(buf, static_cast<std::size_t>(n));
    }
}

} // namespace testing_support
