// Test helper: a program of the test's own listening on 127.0.0.1:`port` (as user `uid`, when
// that is another user and the test may become it), which prompts "Password: " on every
// connection and passes whatever reaches it back to the test through a pipe. `flood` makes it
// answer every line it reads with a flood of short answers and prompts.
#pragma once

#include <string>
#include <sys/types.h>

namespace testing_support {

class Listener {
public:
    Listener(int port, uid_t uid, bool flood = false);
    ~Listener();
    Listener(const Listener&) = delete;
    Listener& operator=(const Listener&) = delete;

    // Its process, or -1 when it could not listen.
    pid_t pid() const { return pid_; }
    // What reached it, gathered until nothing more comes for `quietMs`.
    std::string heard(int quietMs);

private:
    pid_t pid_ = -1;
    int fromChild_ = -1;
};

} // namespace testing_support
