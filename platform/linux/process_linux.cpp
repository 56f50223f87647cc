// Processes on Linux. Each started child is tracked through a pidfd from the moment it is
// created, so a terminate never reaches a later process that reused the id. One reaper thread
// waits on every pidfd and reaps each child as it ends, so no zombie is left behind.
#include "platform/process.h"

#include "core/command_line.h"

#include <cerrno>
#include <chrono>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <map>
#include <mutex>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/pidfd.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace platform {
namespace {

thread_local uint32_t tlsLastError = 0;

struct Ended {
    int code;
    bool signal;
};

struct Children {
    std::mutex lock;
    std::map<ProcessId, int> pidfds;  // running children, not yet reaped
    std::map<ProcessId, Ended> ended; // how the last children ended (a bounded record)
    int wakeFd = -1;                  // eventfd: a child was added
    bool reaperStarted = false;
};

Children& children() {
    static Children* c = new Children; // never destroyed: the reaper may outlive main()
    return *c;
}

void reaperLoop() {
    Children& c = children();
    for (;;) {
        std::vector<pollfd> fds;
        std::vector<ProcessId> pids;
        {
            std::lock_guard<std::mutex> g(c.lock);
            fds.push_back({c.wakeFd, POLLIN, 0});
            pids.push_back(0);
            for (const auto& [pid, fd] : c.pidfds) {
                fds.push_back({fd, POLLIN, 0});
                pids.push_back(pid);
            }
        }
        if (poll(fds.data(), fds.size(), -1) < 0) {
            if (errno == EINTR)
                continue;
            return;
        }
        if (fds[0].revents & POLLIN) {
            uint64_t v;
            (void)!read(c.wakeFd, &v, sizeof v);
        }
        for (std::size_t k = 1; k < fds.size(); ++k) {
            if (!(fds[k].revents & (POLLIN | POLLHUP | POLLERR)))
                continue;
            std::lock_guard<std::mutex> g(c.lock);
            auto it = c.pidfds.find(pids[k]);
            if (it == c.pidfds.end())
                continue;
            siginfo_t info{};
            if (waitid(static_cast<idtype_t>(P_PIDFD), it->second, &info, WEXITED | WNOHANG) == 0 &&
                info.si_pid != 0) {
                close(it->second);
                if (c.ended.size() >= 1024)
                    c.ended.erase(c.ended.begin());
                c.ended[it->first] = {info.si_status, info.si_code != CLD_EXITED};
                c.pidfds.erase(it);
            }
        }
    }
}

std::string getEnv(const char* name) {
    const char* v = std::getenv(name);
    return v ? v : "";
}

} // namespace

uint32_t lastError() {
    return tlsLastError;
}

void setLastError(uint32_t error) {
    tlsLastError = error;
}

ProcessId createProcess(const std::string& program, const std::string& commandLine,
                        const std::vector<std::pair<std::string, std::string>>& environment,
                        const ChildStreams& streams) {
    // Everything the child needs is prepared before fork: after it only async-signal-safe calls.
    std::vector<std::string> args = vorbelt::splitCommandLine(commandLine);
    std::vector<char*> argv;
    for (auto& a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);

    std::vector<std::string> envStrings;
    for (char** e = environ; *e; ++e) {
        std::string entry = *e;
        bool replaced = false;
        for (const auto& [k, v] : environment)
            if (entry.compare(0, k.size() + 1, k + "=") == 0)
                replaced = true;
        if (!replaced)
            envStrings.push_back(entry);
    }
    for (const auto& [k, v] : environment)
        envStrings.push_back(k + "=" + v);
    std::vector<char*> envp;
    for (auto& e : envStrings)
        envp.push_back(e.data());
    envp.push_back(nullptr);

    // A detached child's streams: nothing in, its output to its log (or nowhere).
    int input = -1, output = -1;
    auto closeStreams = [&] {
        if (input >= 0)
            close(input);
        if (output >= 0)
            close(output);
    };
    if (streams.detached) {
        input = open("/dev/null", O_RDONLY | O_CLOEXEC);
        output = streams.output.empty()
                     ? open("/dev/null", O_WRONLY | O_CLOEXEC)
                     : open(streams.output.c_str(),
                            O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC | O_NOFOLLOW, 0600);
        if (input < 0 || output < 0) {
            tlsLastError = errno;
            closeStreams();
            return -1;
        }
    }
    // The child reports a failed exec through this close-on-exec pipe.
    int status[2];
    if (pipe2(status, O_CLOEXEC) != 0) {
        tlsLastError = errno;
        closeStreams();
        return -1;
    }
    const pid_t parent = getpid();
    const pid_t pid = fork();
    if (pid < 0) {
        tlsLastError = errno;
        close(status[0]);
        close(status[1]);
        closeStreams();
        return -1;
    }
    if (pid == 0) {
        // The child ends when the station dies, however it dies (the signal comes when the
        // thread that started it ends: the station starts its children on its main thread).
        if (prctl(PR_SET_PDEATHSIG, SIGKILL) != 0 || getppid() != parent)
            _exit(127);
        if (streams.detached) {
            // No terminal of the station's (its session has none) and none of its streams.
            setsid();
            if (dup2(input, 0) < 0 || dup2(output, 1) < 0 || dup2(output, 2) < 0)
                _exit(127);
        }
        // Only the standard streams and the status pipe may cross into the new program.
        if (status[1] != 3) {
            dup3(status[1], 3, O_CLOEXEC);
        }
        syscall(SYS_close_range, 4u, UINT_MAX, 0u);
        signal(SIGPIPE, SIG_DFL);
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        execve(program.c_str(), argv.data(), envp.data());
        const int err = errno;
        (void)!write(3, &err, sizeof err);
        _exit(127);
    }
    close(status[1]);
    closeStreams();
    int childErr = 0;
    ssize_t got;
    do {
        got = read(status[0], &childErr, sizeof childErr);
    } while (got < 0 && errno == EINTR);
    close(status[0]);

    // The child is not reaped before its pidfd exists, so the id cannot have been reused.
    const int pidfd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
    if (got == static_cast<ssize_t>(sizeof childErr)) {
        waitpid(pid, nullptr, 0);
        if (pidfd >= 0)
            close(pidfd);
        tlsLastError = childErr;
        return -1;
    }
    if (pidfd < 0) {
        // Without a pidfd the child cannot be tracked safely; reap it when it ends.
        tlsLastError = errno;
        std::thread([pid] { waitpid(pid, nullptr, 0); }).detach();
        return pid;
    }
    fcntl(pidfd, F_SETFD, FD_CLOEXEC);
    Children& c = children();
    {
        std::lock_guard<std::mutex> g(c.lock);
        c.pidfds[pid] = pidfd;
        if (!c.reaperStarted) {
            c.wakeFd = eventfd(0, EFD_CLOEXEC);
            c.reaperStarted = true;
            std::thread(reaperLoop).detach();
        }
    }
    const uint64_t one = 1;
    (void)!write(c.wakeFd, &one, sizeof one);
    return pid;
}

ProcessHandle openProcess(ProcessId pid) {
    if (pid <= 0)
        return 0;
    Children& c = children();
    std::lock_guard<std::mutex> g(c.lock);
    auto it = c.pidfds.find(pid);
    if (it == c.pidfds.end())
        return 0;
    const int fd = fcntl(it->second, F_DUPFD_CLOEXEC, 3);
    if (fd < 0) {
        tlsLastError = errno;
        return 0;
    }
    return fd;
}

bool terminateProcess(ProcessHandle process, uint32_t) {
    if (process <= 0)
        return false;
    if (syscall(SYS_pidfd_send_signal, static_cast<int>(process), SIGKILL, nullptr, 0) != 0) {
        tlsLastError = errno;
        return false;
    }
    return true;
}

void closeProcessHandle(ProcessHandle process) {
    if (process > 0)
        close(static_cast<int>(process));
}

bool processRunning(ProcessId pid) {
    Children& c = children();
    std::lock_guard<std::mutex> g(c.lock);
    return c.pidfds.count(pid) != 0;
}

bool processExitStatus(ProcessId pid, int& code, bool& signal) {
    Children& c = children();
    std::lock_guard<std::mutex> g(c.lock);
    const auto it = c.ended.find(pid);
    if (it == c.ended.end())
        return false;
    code = it->second.code;
    signal = it->second.signal;
    return true;
}

std::string runningProgram(ProcessId pid) {
    if (pid <= 0)
        return "";
    // "pid (name) state ...": the name may hold blanks and parentheses, the state follows the
    // last closing one.
    FILE* f = std::fopen(("/proc/" + std::to_string(pid) + "/stat").c_str(), "r");
    if (!f)
        return "";
    char buffer[512];
    const std::size_t n = std::fread(buffer, 1, sizeof buffer - 1, f);
    std::fclose(f);
    const std::string stat(buffer, n);
    const auto open = stat.find('(');
    const auto close = stat.rfind(')');
    if (open == std::string::npos || close == std::string::npos || close < open ||
        close + 2 >= stat.size() || stat[close + 2] == 'Z')
        return "";
    return stat.substr(open + 1, close - open - 1);
}

int32_t processUserId(ProcessId pid) {
    if (pid <= 0)
        return -1;
    FILE* f = std::fopen(("/proc/" + std::to_string(pid) + "/status").c_str(), "r");
    if (!f)
        return -1;
    char line[256];
    int32_t uid = -1;
    while (std::fgets(line, sizeof line, f))
        if (std::sscanf(line, "Uid: %d", &uid) == 1)
            break;
    std::fclose(f);
    return uid;
}

int32_t userId() {
    return static_cast<int32_t>(getuid());
}

void sleepMs(unsigned ms) {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

std::string executableDirectory() {
    char buf[4096];
    const ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
    if (n <= 0)
        return "./";
    std::string path(buf, static_cast<std::size_t>(n));
    return path.substr(0, path.rfind('/') + 1);
}

std::string relayProgram() {
    const std::string v = getEnv("VORBELT_RELAY_PROGRAM");
    if (!v.empty())
        return v;
    // Beside the control program in the build folder; installed, in the internal programs'
    // folder relative to it (wherever the station was installed).
    const std::string beside = executableDirectory() + "brellon";
    if (access(beside.c_str(), X_OK) == 0)
        return beside;
    return executableDirectory() + VORBELT_INSTALLED_LIBEXEC + "/brellon";
}

std::string dataDirectory() {
    // The build folder holds the data beside the programs; an installation under share.
    const std::string beside = executableDirectory();
    if (access((beside + "vlc-profile").c_str(), F_OK) == 0)
        return beside;
    return executableDirectory() + VORBELT_INSTALLED_DATA + "/";
}

std::string videoPlayerProgram() {
    const std::string v = getEnv("VORBELT_VIDEO_PLAYER_PROGRAM");
    if (!v.empty())
        return v;
    // VLC refuses to run as root: as root the station starts it through the wrapper that is
    // installed beside the relay, which starts it as an unprivileged user.
    if (getuid() == 0) {
        const std::string relay = relayProgram();
        const std::string wrapper = relay.substr(0, relay.rfind('/') + 1) + "vlc-as-user";
        if (access(wrapper.c_str(), X_OK) == 0)
            return wrapper;
    }
    return "/usr/bin/vlc";
}

std::vector<TcpListener> tcpListeners(int port) {
    // /proc/net/tcp: "sl local_address rem_address st tx:rx tr:when retrnsmt uid timeout inode",
    // addresses as hex IP:PORT, state 0A for a listening socket.
    std::vector<TcpListener> found;
    for (const char* table : {"/proc/net/tcp", "/proc/net/tcp6"}) {
        FILE* f = std::fopen(table, "r");
        if (!f)
            continue;
        char line[512];
        if (!std::fgets(line, sizeof line, f)) { // the header
            std::fclose(f);
            continue;
        }
        while (std::fgets(line, sizeof line, f)) {
            char local[128], remote[128];
            unsigned state = 0;
            long uid = -1;
            unsigned long inode = 0;
            if (std::sscanf(line, " %*s %127s %127s %x %*s %*s %*s %ld %*s %lu", local, remote,
                            &state, &uid, &inode) != 5 ||
                state != 0x0A)
                continue;
            char* colon = std::strrchr(local, ':');
            if (!colon || std::strtol(colon + 1, nullptr, 16) != port)
                continue;
            *colon = '\0';
            found.push_back({local, uid, inode});
        }
        std::fclose(f);
    }
    return found;
}

bool listenersKnown() {
    return access("/proc/net/tcp", R_OK) == 0;
}

bool processHoldsSocket(ProcessId pid, unsigned long socket) {
    if (pid <= 0)
        return false;
    const std::string fds = "/proc/" + std::to_string(pid) + "/fd";
    DIR* d = opendir(fds.c_str());
    if (!d)
        return false;
    const std::string wanted = "socket:[" + std::to_string(socket) + "]";
    bool held = false;
    while (const dirent* e = readdir(d)) {
        if (e->d_name[0] == '.')
            continue;
        char target[64];
        const ssize_t n = readlinkat(dirfd(d), e->d_name, target, sizeof target - 1);
        if (n > 0 && std::string(target, static_cast<std::size_t>(n)) == wanted) {
            held = true;
            break;
        }
    }
    closedir(d);
    return held;
}

} // namespace platform
