#include "child.h"

#include <algorithm>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <poll.h>
#include <sstream>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char** environ;

namespace testing_support {

Child::Child(const std::string& program, const std::vector<std::string>& args,
             const std::vector<std::string>& environment, const std::string& workingDirectory) {
    int toChild[2], fromChild[2];
    if (pipe2(toChild, O_CLOEXEC) != 0 || pipe2(fromChild, O_CLOEXEC) != 0)
        return;
    std::vector<std::string> argStore{program};
    argStore.insert(argStore.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& a : argStore)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    // The given entries replace the inherited ones of their names.
    std::vector<std::string> envStore;
    for (char** e = environ; *e; ++e) {
        const std::string entry = *e;
        const std::string name = entry.substr(0, entry.find('=') + 1);
        if (std::none_of(environment.begin(), environment.end(),
                         [&](const std::string& x) { return x.rfind(name, 0) == 0; }))
            envStore.push_back(entry);
    }
    envStore.insert(envStore.end(), environment.begin(), environment.end());
    std::vector<char*> envp;
    for (auto& e : envStore)
        envp.push_back(e.data());
    envp.push_back(nullptr);

    pid_ = fork();
    if (pid_ == 0) {
        dup2(toChild[0], 0);
        dup2(fromChild[1], 1);
        if (!workingDirectory.empty() && chdir(workingDirectory.c_str()) != 0)
            _exit(127);
        execve(program.c_str(), argv.data(), envp.data());
        _exit(127);
    }
    close(toChild[0]);
    close(fromChild[1]);
    in_ = toChild[1];
    out_ = fromChild[0];
}

Child::~Child() {
    kill();
    if (in_ >= 0)
        close(in_);
    if (out_ >= 0)
        close(out_);
}

std::optional<std::string> Child::readLine(int timeoutMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        const auto nl = buffer_.find('\n');
        if (nl != std::string::npos) {
            std::string line = buffer_.substr(0, nl);
            buffer_.erase(0, nl + 1);
            return line;
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                              deadline - std::chrono::steady_clock::now())
                              .count();
        if (left <= 0 || out_ < 0)
            return std::nullopt;
        pollfd p{out_, POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(left)) <= 0)
            continue;
        char buf[4096];
        const ssize_t n = read(out_, buf, sizeof buf);
        if (n <= 0) {
            if (n == 0 || errno != EINTR)
                return std::nullopt;
            continue;
        }
        buffer_.append(buf, static_cast<std::size_t>(n));
    }
}

std::optional<std::string> Child::waitForLine(const std::string& prefix, int timeoutMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                              deadline - std::chrono::steady_clock::now())
                              .count();
        if (left <= 0)
            return std::nullopt;
        auto line = readLine(static_cast<int>(left));
        if (!line)
            return std::nullopt;
        if (line->compare(0, prefix.size(), prefix) == 0)
            return line;
    }
}

void Child::closeInput() {
    if (in_ >= 0)
        close(in_);
    in_ = -1;
}

std::optional<int> Child::wait(int timeoutMs) {
    if (pid_ <= 0 || reaped_)
        return std::nullopt;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        int status = 0;
        const pid_t r = waitpid(pid_, &status, WNOHANG);
        if (r == pid_) {
            reaped_ = true;
            return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        }
        if (std::chrono::steady_clock::now() > deadline)
            return std::nullopt;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

void Child::kill() {
    if (pid_ > 0 && !reaped_) {
        ::kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
        reaped_ = true;
    }
}

bool waitUntil(const std::function<bool()>& condition, int timeoutMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

std::string buildDirectory() {
    char buf[4096];
    const ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
    std::string path(buf, n > 0 ? static_cast<std::size_t>(n) : 0);
    path = path.substr(0, path.rfind('/')); // tests/
    return path.substr(0, path.rfind('/') + 1);
}

std::string makeTempDir() {
    std::string tmpl = "/tmp/vorbelt-test-XXXXXX";
    if (!mkdtemp(tmpl.data()))
        return "/tmp";
    static std::vector<std::string>* dirs = [] {
        auto* v = new std::vector<std::string>;
        std::atexit([] {
            if (chdir("/") != 0)
                return;
            for (const auto& d : *dirs)
                if (std::system(("rm -rf '" + d + "'").c_str()) != 0)
                    std::fprintf(stderr, "could not remove %s\n", d.c_str());
        });
        return v;
    }();
    dirs->push_back(tmpl);
    return tmpl;
}

namespace {
// /proc/<pid>/stat, or empty: the process may vanish while it is read.
std::string procStat(pid_t pid) {
    const int fd = open(("/proc/" + std::to_string(pid) + "/stat").c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return {};
    std::string content;
    char buf[1024];
    ssize_t n;
    while ((n = read(fd, buf, sizeof buf)) > 0)
        content.append(buf, static_cast<std::size_t>(n));
    close(fd);
    return n < 0 ? std::string() : content;
}
} // namespace

char processState(pid_t pid) {
    const std::string content = procStat(pid);
    const auto close = content.rfind(')');
    if (close == std::string::npos || close + 2 >= content.size())
        return 0;
    return content[close + 2];
}

bool processExists(pid_t pid) {
    return processState(pid) != 0;
}

bool processAlive(pid_t pid) {
    const char state = processState(pid);
    if (state == 0)
        return false;
    if (state != 'Z')
        return true;
    // A zombie leader may still have threads that are ending (and holding its files).
    int tasks = 0;
    if (DIR* d = opendir(("/proc/" + std::to_string(pid) + "/task").c_str())) {
        while (dirent* e = readdir(d))
            tasks += e->d_name[0] != '.';
        closedir(d);
    }
    return tasks > 1;
}

std::vector<pid_t> childrenOf(pid_t parent) {
    std::vector<pid_t> kids;
    DIR* d = opendir("/proc");
    if (!d)
        return kids;
    while (dirent* e = readdir(d)) {
        const pid_t pid = std::atoi(e->d_name);
        if (pid <= 0)
            continue;
        const std::string content = procStat(pid);
        const auto close = content.rfind(')');
        if (close == std::string::npos)
            continue;
        std::istringstream rest(content.substr(close + 2));
        char state;
        pid_t ppid;
        rest >> state >> ppid;
        if (ppid == parent && state != 'Z')
            kids.push_back(pid);
    }
    closedir(d);
    return kids;
}

long cpuTicks(pid_t pid) {
    const std::string content = procStat(pid);
    const auto close = content.rfind(')');
    if (close == std::string::npos)
        return -1;
    std::istringstream rest(content.substr(close + 2));
    std::string field;
    long utime = 0, stime = 0;
    for (int k = 3; k <= 15 && rest >> field; ++k) {
        if (k == 14)
            utime = std::atol(field.c_str());
        if (k == 15)
            stime = std::atol(field.c_str());
    }
    return utime + stime;
}

} // namespace testing_support
