// Test helper: a child process with its standard input and output connected to the test,
// so the test can read what it reports line by line (with a time limit) and end it.
#pragma once

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <sys/types.h>
#include <vector>

namespace testing_support {

class Child {
public:
    // `environment` adds NAME=value entries; `workingDirectory`, when given, is the child's.
    Child(const std::string& program, const std::vector<std::string>& args,
          const std::vector<std::string>& environment = {},
          const std::string& workingDirectory = {});
    ~Child();
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    pid_t pid() const { return pid_; }
    // Next line of standard output, or nothing when none comes within `timeoutMs`.
    std::optional<std::string> readLine(int timeoutMs = 5000);
    // Skips lines until one starts with `prefix`.
    std::optional<std::string> waitForLine(const std::string& prefix, int timeoutMs = 5000);
    void closeInput();
    // Waits for the child to end; its exit status, or nothing on time-out.
    std::optional<int> wait(int timeoutMs = 5000);
    void kill();

private:
    pid_t pid_ = -1;
    int in_ = -1;
    int out_ = -1;
    std::string buffer_;
    bool reaped_ = false;
};

// Polls `condition` every few milliseconds until it holds or `timeoutMs` has passed.
bool waitUntil(const std::function<bool()>& condition, int timeoutMs = 5000);

// Directory of the test executables and the tools built beside them.
std::string buildDirectory();

// A fresh directory removed at the end of the test program.
std::string makeTempDir();

// Whether a process exists (not ended and reaped). Zombies count as existing.
bool processExists(pid_t pid);
// Whether a process still runs: it exists and has not ended, threads included (a zombie has,
// once its last thread is gone and with it its open files).
bool processAlive(pid_t pid);
// State letter of a process from /proc (R, S, Z, ...), or 0 when it does not exist.
char processState(pid_t pid);
// Processes whose parent is `parent`.
std::vector<pid_t> childrenOf(pid_t parent);
// Processor time used by a process, in clock ticks.
long cpuTicks(pid_t pid);

} // namespace testing_support
