// The report pipe on Linux: an AF_UNIX SOCK_SEQPACKET socket, which keeps message boundaries.
// An instance is a listening socket on a file named after the pipe; connecting accepts its
// one client, then the listening socket is closed and the file removed, so that, as with a
// Windows pipe instance, the next client finds no free instance until the next one is
// created. The accepted socket takes over the instance's descriptor number, so the handle
// the control program keeps stays the same.
#include "platform/pipe.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <poll.h>
#include <set>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace platform {

void setLastError(uint32_t error); // process_linux.cpp keeps the thread's last error

namespace {

// Descriptors below 3 are never handed out as handles, so 0 always means "none".
int atLeast3(int fd) {
    if (fd < 0 || fd >= 3)
        return fd;
    const int moved = fcntl(fd, F_DUPFD_CLOEXEC, 3);
    close(fd);
    return moved;
}

bool safeDirectory(const std::string& dir, std::string* error) {
    struct stat st {};
    if (lstat(dir.c_str(), &st) != 0) {
        if (error)
            *error = dir + ": " + std::strerror(errno);
        return false;
    }
    const char* why = nullptr;
    if (S_ISLNK(st.st_mode))
        why = "is a symbolic link";
    else if (!S_ISDIR(st.st_mode))
        why = "is not a directory";
    else if (st.st_uid != getuid())
        why = "belongs to another user";
    else if (st.st_mode & (S_IRWXG | S_IRWXO))
        why = "is open to other users";
    if (why) {
        if (error)
            *error = dir + " " + why;
        return false;
    }
    return true;
}

} // namespace

std::string privateDirectory(std::string* error) {
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    std::string runtimeRefused;
    if (runtime && *runtime) {
        if (safeDirectory(runtime, &runtimeRefused))
            return runtime;
        runtimeRefused = "$XDG_RUNTIME_DIR: " + runtimeRefused + "; ";
    }
    // Without a runtime folder: root's under /run, where no one else can make it first; any
    // other user's in the user's own cache folder, never a name another user could take in a
    // folder open to all.
    std::string dir;
    if (getuid() == 0) {
        dir = "/run/vorbelt";
    } else {
        const char* cache = std::getenv("XDG_CACHE_HOME");
        const char* home = std::getenv("HOME");
        std::string base;
        if (cache && *cache == '/')
            base = cache;
        else if (home && *home == '/')
            base = std::string(home) + "/.cache";
        if (base.empty()) {
            if (error)
                *error = runtimeRefused + "neither $XDG_CACHE_HOME nor $HOME names a folder";
            return "";
        }
        mkdir(base.c_str(), 0700); // (a missing cache folder is the user's to have)
        dir = base + "/vorbelt";
    }
    std::string refused;
    if (mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST)
        refused = dir + ": " + std::strerror(errno);
    else if (safeDirectory(dir, &refused))
        return dir;
    if (error)
        *error = runtimeRefused + refused;
    return "";
}

namespace {

bool socketAddress(const std::string& name, sockaddr_un& addr) {
    const std::string path = pipePath(name);
    if (path.empty() || path.size() >= sizeof addr.sun_path) {
        errno = ENAMETOOLONG;
        return false;
    }
    std::memset(&addr, 0, sizeof addr);
    addr.sun_family = AF_UNIX;
    std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    return true;
}

// A new message socket and the address of the pipe's file; -1 on failure.
int pipeSocket(const std::string& name, sockaddr_un& addr) {
    if (!socketAddress(name, addr)) {
        setLastError(errno);
        return -1;
    }
    const int fd = atLeast3(socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0));
    if (fd < 0)
        setLastError(errno);
    return fd;
}

// Listening instances and the file each is bound to, so that connect can remove it.
std::mutex instancesLock;
std::set<std::pair<int, std::string>> listening;

bool takeListening(int fd, std::string& path) {
    std::lock_guard<std::mutex> g(instancesLock);
    for (auto it = listening.begin(); it != listening.end(); ++it)
        if (it->first == fd) {
            path = it->second;
            listening.erase(it);
            return true;
        }
    return false;
}

} // namespace

std::string pipePath(const std::string& name, std::string* error) {
    const std::string dir = privateDirectory(error);
    if (dir.empty())
        return "";
    const auto slash = name.find_last_of("\\/");
    return dir + "/" + (slash == std::string::npos ? name : name.substr(slash + 1));
}

PipeHandle createNamedPipe(const std::string& name) {
    sockaddr_un addr;
    const int fd = pipeSocket(name, addr);
    if (fd < 0)
        return kInvalidPipe;
    // A file left by an ended program would block the name; no live instance is waiting on
    // it, since an instance removes its file as soon as its client is there.
    unlink(addr.sun_path);
    if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || listen(fd, 1) != 0) {
        setLastError(errno);
        close(fd);
        return kInvalidPipe;
    }
    std::lock_guard<std::mutex> g(instancesLock);
    listening.insert({fd, addr.sun_path});
    return fd;
}

PipeConnect connectNamedPipe(PipeHandle instance, int timeoutMs) {
    const int fd = static_cast<int>(instance);
    pollfd p{fd, POLLIN, 0};
    int ready = poll(&p, 1, 0);
    const bool early = ready > 0;
    if (ready == 0)
        do {
            ready = poll(&p, 1, timeoutMs);
        } while (ready < 0 && errno == EINTR);
    if (ready == 0)
        return PipeConnect::TimedOut;
    if (ready < 0) {
        setLastError(errno);
        return PipeConnect::Failed;
    }
    const int client = accept4(fd, nullptr, nullptr, SOCK_CLOEXEC);
    if (client < 0) {
        setLastError(errno);
        return PipeConnect::Failed;
    }
    std::string path;
    if (takeListening(fd, path))
        unlink(path.c_str());
    // The connection takes the instance's descriptor; the listening socket closes with it.
    if (dup3(client, fd, O_CLOEXEC) < 0) {
        setLastError(errno);
        close(client);
        return PipeConnect::Failed;
    }
    close(client);
    if (early) {
        setLastError(kErrorPipeConnected);
        return PipeConnect::AlreadyConnected;
    }
    return PipeConnect::Connected;
}

PipeRead readPipe(PipeHandle instance, void* buffer, std::size_t capacity) {
    for (;;) {
        // MSG_TRUNC makes recv return the message's full length and discard what did not fit.
        const ssize_t n = recv(static_cast<int>(instance), buffer, capacity, MSG_TRUNC);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            if (n < 0)
                setLastError(errno);
            return PipeRead{false, 0, 0};
        }
        const auto len = static_cast<std::size_t>(n);
        return PipeRead{true, len < capacity ? len : capacity, len};
    }
}

void cancelPipeIo(PipeHandle instance) {
    if (instance > 0)
        shutdown(static_cast<int>(instance), SHUT_RDWR);
}

PipeHandle openPipe(const std::string& name) {
    sockaddr_un addr;
    const int fd = pipeSocket(name, addr);
    if (fd < 0)
        return kInvalidPipe;
    if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        setLastError(errno);
        close(fd);
        return kInvalidPipe;
    }
    return fd;
}

bool setPipeMessageMode(PipeHandle pipe) {
    // A sequenced-packet socket always reads whole messages.
    return pipe > 0;
}

bool writePipe(PipeHandle pipe, const void* data, std::size_t length, uint32_t* written) {
    ssize_t n;
    do {
        n = send(static_cast<int>(pipe), data, length, MSG_NOSIGNAL);
    } while (n < 0 && errno == EINTR);
    if (n < 0) {
        setLastError(errno);
        if (written)
            *written = 0;
        return false;
    }
    if (written)
        *written = static_cast<uint32_t>(n);
    return true;
}

void flushPipe(PipeHandle) {
    // Sends are complete when they return; there is nothing buffered to push out.
}

void disconnectNamedPipe(PipeHandle pipe) {
    if (pipe > 0)
        shutdown(static_cast<int>(pipe), SHUT_RDWR);
}

void closePipe(PipeHandle pipe) {
    if (pipe <= 0)
        return;
    std::string path;
    if (takeListening(static_cast<int>(pipe), path))
        unlink(path.c_str());
    close(static_cast<int>(pipe));
}

} // namespace platform
