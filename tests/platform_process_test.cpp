// Starting and terminating processes for real.
#include "child.h"
#include "platform/process.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <fcntl.h>
#include <fstream>
#include <unistd.h>

using namespace testing_support;

namespace {

std::string readFile(const std::string& path) {
    std::ifstream f(path);
    return std::string((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
}

// Waits until a terminated child is gone from the process table (reaped, not a zombie).
bool gone(pid_t pid) {
    return waitUntil([&] { return !processExists(pid); }, 5000);
}

} // namespace

TEST(Process, StartsWithWindowsCommandLineAndEnvironment) {
    const std::string dir = makeTempDir();
    const std::string out = dir + "/args";
    // argv[0] is the command line's first token, not the program path.
    // The shell's own argument vector, as the kernel holds it: argv[0] is the command
    // line's first token, not the program path.
    const platform::ProcessId pid = platform::createProcess(
        "/bin/sh",
        "Telnet -c \"cat /proc/$$/cmdline > " + out + "; echo $VORBELT_T >> " + out + "\" \"a b\"",
        {{"VORBELT_T", "set"}});
    ASSERT_GT(pid, 0);
    ASSERT_TRUE(waitUntil([&] { return !platform::processRunning(pid); }));
    std::string got = readFile(out);
    std::replace(got.begin(), got.end(), '\0', '|');
    EXPECT_EQ(got.substr(0, 10), "Telnet|-c|") << got;
    EXPECT_NE(got.find("|a b|set\n"), std::string::npos) << got;
    EXPECT_TRUE(gone(pid));
}

TEST(Process, MissingProgramFailsAtOnce) {
    EXPECT_EQ(platform::createProcess("/nonexistent/brellon", "Telnet"), -1);
    EXPECT_EQ(platform::lastError(), static_cast<uint32_t>(ENOENT));
    EXPECT_EQ(platform::createProcess("/etc/hostname", "x"), -1);
}

TEST(Process, TerminateEndsAndReaps) {
    const platform::ProcessId pid = platform::createProcess("/bin/sleep", "sleep 30");
    ASSERT_GT(pid, 0);
    EXPECT_TRUE(platform::processRunning(pid));
    const platform::ProcessHandle h = platform::openProcess(pid);
    ASSERT_NE(h, 0);
    EXPECT_TRUE(platform::terminateProcess(h, 0));
    platform::closeProcessHandle(h);
    EXPECT_TRUE(gone(pid)) << "state " << processState(pid);
    EXPECT_FALSE(platform::processRunning(pid));
}

TEST(Process, AlreadyEndedOrForeignProcessesAreNotOpened) {
    const platform::ProcessId pid = platform::createProcess("/bin/true", "true");
    ASSERT_GT(pid, 0);
    ASSERT_TRUE(gone(pid));
    EXPECT_EQ(platform::openProcess(pid), 0);
    EXPECT_EQ(platform::openProcess(0), 0);
    EXPECT_EQ(platform::openProcess(-1), 0);
    EXPECT_EQ(platform::openProcess(getpid()), 0); // not started here
}

TEST(Process, HandleOpenedBeforeTheEndFailsQuietlyAfterIt) {
    const platform::ProcessId pid = platform::createProcess("/bin/sleep", "sleep 0.05");
    ASSERT_GT(pid, 0);
    const platform::ProcessHandle h = platform::openProcess(pid);
    ASSERT_NE(h, 0);
    ASSERT_TRUE(gone(pid));
    // The handle still names the ended process, never a newer one with the same id.
    EXPECT_FALSE(platform::terminateProcess(h, 0));
    platform::closeProcessHandle(h);
}

TEST(Process, ChildrenInheritNoDescriptors) {
    const int secret = fcntl(open("/dev/null", O_RDONLY), F_DUPFD, 40); // no close-on-exec
    ASSERT_GE(secret, 0);
    const std::string dir = makeTempDir();
    const platform::ProcessId pid =
        platform::createProcess("/bin/sh", "sh -c \"ls /proc/self/fd > " + dir + "/fds\"");
    ASSERT_GT(pid, 0);
    ASSERT_TRUE(gone(pid));
    // 0, 1, 2 and the descriptor ls opens to read the directory.
    const std::string fds = readFile(dir + "/fds");
    EXPECT_EQ(fds.find(std::to_string(secret) + "\n"), std::string::npos) << fds;
    close(secret);
}

TEST(Process, ProgramPaths) {
    unsetenv("VORBELT_RELAY_PROGRAM");
    unsetenv("VORBELT_VIDEO_PLAYER_PROGRAM");
    // No relay beside this program (as in the build folder): where an installation keeps it,
    // relative to this program's folder.
    EXPECT_EQ(platform::relayProgram(),
              platform::executableDirectory() + "../libexec/vorbelt/brellon");
    EXPECT_EQ(platform::videoPlayerProgram(), "/usr/bin/vlc");
    setenv("VORBELT_RELAY_PROGRAM", "/opt/x/relay", 1);
    setenv("VORBELT_VIDEO_PLAYER_PROGRAM", "/opt/x/player", 1);
    EXPECT_EQ(platform::relayProgram(), "/opt/x/relay");
    EXPECT_EQ(platform::videoPlayerProgram(), "/opt/x/player");
    unsetenv("VORBELT_RELAY_PROGRAM");
    unsetenv("VORBELT_VIDEO_PLAYER_PROGRAM");
}
