// The report pipe with real client processes.
#include "child.h"
#include "platform/pipe.h"
#include "platform/process.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <thread>

using namespace testing_support;

namespace {

const std::string kName = platform::kReportPipeName;

std::string clientProgram() {
    return buildDirectory() + "tools/pipe_client";
}

std::string readOne(platform::PipeHandle h, platform::PipeRead* info = nullptr) {
    char buf[512];
    const platform::PipeRead r = platform::readPipe(h, buf, sizeof buf);
    if (info)
        *info = r;
    return r.ok ? std::string(buf, r.bytes) : std::string("<end>");
}

bool connected(platform::PipeConnect c) {
    return c == platform::PipeConnect::Connected || c == platform::PipeConnect::AlreadyConnected;
}

} // namespace

TEST(Pipe, InstancesGoToClientsInTheOrderTheyStarted) {
    // As the control program does: start client j, create instance j, wait for it.
    std::vector<std::unique_ptr<Child>> clients;
    std::vector<platform::PipeHandle> instances;
    for (int j = 0; j < 4; ++j) {
        clients.push_back(std::make_unique<Child>(
            clientProgram(), std::vector<std::string>{"client" + std::to_string(j)}));
        const platform::PipeHandle h = platform::createNamedPipe(kName);
        ASSERT_NE(h, platform::kInvalidPipe);
        ASSERT_TRUE(connected(platform::connectNamedPipe(h, 5000)));
        instances.push_back(h);
    }
    for (int j = 0; j < 4; ++j) {
        EXPECT_EQ(readOne(instances[j]), "client" + std::to_string(j));
        platform::closePipe(instances[j]);
    }
}

TEST(Pipe, MessagesKeepTheirBoundariesAndOverLongOnesAreTold) {
    Child client(clientProgram(), {"12345", "\r\n> ", "@600", "after"});
    const platform::PipeHandle h = platform::createNamedPipe(kName);
    ASSERT_TRUE(connected(platform::connectNamedPipe(h, 5000)));
    EXPECT_EQ(readOne(h), "12345");
    EXPECT_EQ(readOne(h), "\r\n> ");
    platform::PipeRead info{};
    readOne(h, &info);
    EXPECT_TRUE(info.ok);
    EXPECT_EQ(info.bytes, 512u);
    EXPECT_EQ(info.length, 600u);
    // The rest of the long message is gone: the next read is the next message.
    EXPECT_EQ(readOne(h), "after");
    client.closeInput();
    EXPECT_EQ(readOne(h), "<end>"); // the client closed its end
    platform::closePipe(h);
}

TEST(Pipe, ReaderSeesAKilledClientAsTheEnd) {
    Child client(clientProgram(), {"one"});
    const platform::PipeHandle h = platform::createNamedPipe(kName);
    ASSERT_TRUE(connected(platform::connectNamedPipe(h, 5000)));
    EXPECT_EQ(readOne(h), "one");
    client.kill();
    EXPECT_EQ(readOne(h), "<end>");
    platform::closePipe(h);
}

TEST(Pipe, ClientStartedEarlyWaitsCheaplyAndConnectsOnceAnInstanceExists) {
    Child client(clientProgram(), {"late"});
    // No instance for a second: the client keeps trying without burning the processor.
    std::this_thread::sleep_for(std::chrono::milliseconds(1000));
    const long ticks = cpuTicks(client.pid());
    EXPECT_LT(ticks, 20) << "a waiting client should use a few percent of a core at most";
    const platform::PipeHandle h = platform::createNamedPipe(kName);
    const auto c = platform::connectNamedPipe(h, 5000);
    EXPECT_TRUE(connected(c));
    EXPECT_EQ(readOne(h), "late");
    platform::closePipe(h);
}

TEST(Pipe, ConnectWaitIsBoundedAndNoFreeInstanceRemainsAfterIt) {
    const platform::PipeHandle h = platform::createNamedPipe(kName);
    ASSERT_NE(h, platform::kInvalidPipe);
    EXPECT_EQ(platform::connectNamedPipe(h, 50), platform::PipeConnect::TimedOut);
    const platform::PipeHandle client = platform::openPipe(kName);
    ASSERT_NE(client, platform::kInvalidPipe);
    // The client came before the call: it counts as connected (ERROR_PIPE_CONNECTED).
    EXPECT_EQ(platform::connectNamedPipe(h, 1000), platform::PipeConnect::AlreadyConnected);
    EXPECT_EQ(platform::lastError(), platform::kErrorPipeConnected);
    EXPECT_EQ(platform::openPipe(kName), platform::kInvalidPipe);
    uint32_t written = 0;
    ASSERT_TRUE(platform::writePipe(client, "x1234", 5, &written));
    EXPECT_EQ(written, 5u);
    EXPECT_EQ(readOne(h), "x1234");
    platform::closePipe(h);
    // The reader is gone: a write fails with a system error, and never raises SIGPIPE.
    EXPECT_FALSE(platform::writePipe(client, "x", 1, &written));
    EXPECT_NE(platform::lastError(), 0u);
    platform::closePipe(client);
}

TEST(Pipe, CancelWakesABlockedReader) {
    Child client(clientProgram(), {});
    const platform::PipeHandle h = platform::createNamedPipe(kName);
    ASSERT_TRUE(connected(platform::connectNamedPipe(h, 5000)));
    std::string got;
    std::thread reader([&] { got = readOne(h); });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    platform::cancelPipeIo(h);
    reader.join();
    EXPECT_EQ(got, "<end>");
    platform::closePipe(h);
}

TEST(Pipe, UnsafeDirectoriesAreRefused) {
    const std::string base = makeTempDir();
    std::string error;
    setenv("XDG_RUNTIME_DIR", (base + "/missing").c_str(), 1);
    setenv("XDG_CACHE_HOME", base.c_str(), 1);
    // An unusable runtime directory falls back to a private directory of the user's own: root's
    // under /run, another user's in the cache folder.
    const std::string fallback = getuid() == 0 ? "/run/vorbelt" : base + "/vorbelt";
    EXPECT_EQ(platform::pipePath(kName, &error), fallback + "/mynamedpipe") << error;
    struct stat st {};
    ASSERT_EQ(lstat(fallback.c_str(), &st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode));
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    EXPECT_EQ(st.st_uid, getuid());
    const std::string open = base + "/open";
    mkdir(open.c_str(), 0777);
    chmod(open.c_str(), 0777);
    setenv("XDG_RUNTIME_DIR", open.c_str(), 1);
    EXPECT_EQ(platform::pipePath(kName).find(open), std::string::npos);
    const std::string mine = base + "/mine";
    mkdir(mine.c_str(), 0700);
    setenv("XDG_RUNTIME_DIR", mine.c_str(), 1);
    EXPECT_EQ(platform::pipePath(kName), mine + "/mynamedpipe");
}
