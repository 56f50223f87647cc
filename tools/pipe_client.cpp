// A report-pipe client for tests: opens the next free instance (retrying like a relay),
// writes each argument as one message, then waits until standard input closes.
//   pipe_client [--no-wait] <message>...   "@N" writes a message of N bytes 'x'.
#include "platform/pipe.h"
#include "platform/process.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>

int main(int argc, char** argv) {
    int first = 1;
    bool wait = true;
    if (argc > 1 && std::strcmp(argv[1], "--no-wait") == 0) {
        wait = false;
        first = 2;
    }
    platform::PipeHandle h;
    while ((h = platform::openPipe(platform::kReportPipeName)) == platform::kInvalidPipe)
        platform::sleepMs(5);
    platform::setPipeMessageMode(h);
    for (int i = first; i < argc; ++i) {
        std::string m = argv[i];
        if (m.size() > 1 && m[0] == '@')
            m.assign(static_cast<std::size_t>(std::atoi(m.c_str() + 1)), 'x');
        uint32_t written = 0;
        if (!platform::writePipe(h, m.data(), m.size(), &written)) {
            std::fprintf(stderr, "write failed: %u\n", platform::lastError());
            return 1;
        }
    }
    std::printf("written\n");
    std::fflush(stdout);
    if (wait) {
        char c;
        while (read(0, &c, 1) > 0) {
        }
    }
    platform::closePipe(h);
    return 0;
}
