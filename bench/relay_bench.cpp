// Latency through a real relay process:
//  - command: a posted code 20 to the "seek N" line arriving at the video player's socket;
//  - reply: the player writing "N\r\n" and "> " to the report read from the pipe.
// The bench plays the video player itself (a minimal telnet peer), so both ends are timed
// with one clock. Run on an X server: tests/isolated.sh --x11 build/bench/relay_bench
#include "bench_util.h"
#include "platform/pipe.h"
#include "platform/process.h"
#include "platform/window.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <string>

namespace {

int listenLocal(int& port) {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    socklen_t len = sizeof a;
    getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    port = ntohs(a.sin_port);
    listen(fd, 1);
    return fd;
}

// Reads until a full line has come; returns it without CR LF.
std::string readLine(int fd, std::string& pending) {
    for (;;) {
        const auto nl = pending.find('\n');
        if (nl != std::string::npos) {
            std::string line = pending.substr(0, nl);
            pending.erase(0, nl + 1);
            if (!line.empty() && line.back() == '\r')
                line.pop_back();
            return line;
        }
        char buf[512];
        const ssize_t n = recv(fd, buf, sizeof buf, 0);
        if (n <= 0)
            return {};
        // Drop the relay's telnet negotiation (IAC, verb, option).
        for (ssize_t k = 0; k < n; ++k) {
            if (static_cast<unsigned char>(buf[k]) == 0xFF) {
                k += 2;
                continue;
            }
            pending += buf[k];
        }
    }
}

} // namespace

int main() {
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    const std::string relay = platform::executableDirectory() + "../brellon";
    const platform::ProcessId pid = platform::createProcess(relay, "Telnet");
    const platform::PipeHandle pipe = platform::createNamedPipe(platform::kReportPipeName);
    if (pid <= 0 || platform::connectNamedPipe(pipe, 5000) == platform::PipeConnect::TimedOut) {
        std::fprintf(stderr, "relay did not start\n");
        return 1;
    }
    platform::WindowHandle w = 0;
    while ((w = platform::findWindow("Telnet")) == 0)
        platform::sleepMs(10);
    int port = 0;
    const int server = listenLocal(port);
    platform::postMessage(w, 0xD000, 0, 0);
    platform::postMessage(w, 0xD000, 1, 0);
    platform::postMessage(w, 0xD000, 2, port);
    platform::postMessage(w, 0xD000, 3, 0);
    const int peer = accept(server, nullptr, nullptr);
    const int one = 1;
    setsockopt(peer, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    std::string pending;
    send(peer, "Password: \xff\xfb\x01", 13, 0);
    // The password; telnet negotiation bytes ahead of it are of no interest here.
    readLine(peer, pending);
    send(peer, "\xff\xfc\x01\r\nWelcome, Master\r\n> ", 24, 0);
    platform::sleepMs(300);

    std::vector<double> command;
    for (int k = 0; k < 1000; ++k) {
        const double t0 = bench::nowMs();
        platform::postMessage(w, 0xD000, 20, k);
        const std::string line = readLine(peer, pending);
        command.push_back(bench::nowMs() - t0);
        if (line != "seek " + std::to_string(k)) {
            std::fprintf(stderr, "unexpected line '%s'\n", line.c_str());
            return 1;
        }
    }
    bench::printLatency("post code 20 -> \"seek N\" at the player", command);

    std::vector<double> reply;
    char buf[512];
    for (int k = 0; k < 200; ++k) {
        platform::postMessage(w, 0xD000, 22, 0);
        readLine(peer, pending); // get_time
        const std::string answer = std::to_string(k) + "\r\n";
        const double t0 = bench::nowMs();
        send(peer, answer.data(), answer.size(), 0);
        send(peer, "> ", 2, 0);
        const platform::PipeRead r = platform::readPipe(pipe, buf, sizeof buf);
        reply.push_back(bench::nowMs() - t0);
        if (!r.ok || std::string(buf, r.bytes) != answer + "> ") {
            std::fprintf(stderr, "unexpected report\n");
            return 1;
        }
    }
    bench::printLatency("player answer -> report read from the pipe", reply);
    std::printf("  (the relay forwards each answer as soon as its prompt has come)\n");

    // Fine Sync's polls: "get_time" twenty times a second for 20 s, each answered at once.
    {
        const double before = bench::cpuNs(pid);
        const double start = bench::nowMs();
        for (int k = 0; k < 400; ++k) {
            const double due = start + 50.0 * k;
            while (bench::nowMs() < due)
                usleep(1000);
            platform::postMessage(w, 0xD000, 22, 0);
            readLine(peer, pending);
            const std::string answer = std::to_string(k / 20) + "\r\n";
            send(peer, answer.data(), answer.size(), 0);
            send(peer, "> ", 2, 0);
            platform::readPipe(pipe, buf, sizeof buf);
        }
        const double seconds = (bench::nowMs() - start) / 1000.0;
        std::printf("20 polls a second for %.0f s: %.2f %% of one core in the relay\n", seconds,
                    100.0 * (bench::cpuNs(pid) - before) / 1e9 / seconds);
    }

    // A player that sends 4 MiB without a line break: the relay's processor time and memory
    // until it has taken all of it (an answer behind it comes through once it has).
    // Forwarding off, and seen to be off before the flood comes (a caption change behind it).
    platform::postMessage(w, 0xD000, 25, 0);
    platform::postMessage(w, 0xD000, 0, 4242);
    while (platform::findWindow("4242") == 0)
        platform::sleepMs(5);
    const long ticksBefore = bench::cpuTicks(pid);
    const double t0 = bench::nowMs();
    const std::string flood(64 * 1024, 'x');
    for (int k = 0; k < 64; ++k)
        send(peer, flood.data(), flood.size(), 0);
    platform::postMessage(w, 0xD000, 22, 0);
    readLine(peer, pending); // get_time
    send(peer, "7\r\n> ", 5, 0);
    const platform::PipeRead r = platform::readPipe(pipe, buf, sizeof buf);
    const double taken = bench::nowMs() - t0;
    platform::sleepMs(500); // the log is written a moment later
    std::printf("4 MiB without a line break: taken in %.0f ms, %.2f s of the relay's processor "
                "time, relay resident %ld KiB%s\n",
                taken,
                static_cast<double>(bench::cpuTicks(pid) - ticksBefore) / sysconf(_SC_CLK_TCK),
                bench::rssKiB(pid), r.ok ? "" : " (no report after it)");
    if (platform::ProcessHandle h = platform::openProcess(pid)) {
        platform::terminateProcess(h, 0);
        platform::closeProcessHandle(h);
    }
    close(peer);
    close(server);
    return 0;
}
