// Processes: start without waiting, open by id and terminate, sleep. Shaped like the
// Windows calls CreateProcess, OpenProcess, TerminateProcess, CloseHandle and Sleep.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace platform {

using ProcessId = int32_t;
using ProcessHandle = intptr_t; // 0: none

// Where a child's standard streams go. By default it shares this program's; `detached`, it
// starts in a session of its own (no controlling terminal), reads nothing (/dev/null) and
// writes its output and errors to the end of `output` (made private when new), or nowhere.
struct ChildStreams {
    bool detached = false;
    std::string output;
};

// Starts `program` with a Windows-style `commandLine`, which is split into the program's
// arguments (its first token becomes argv[0]). Does not wait. `environment` adds or replaces
// variables for the child only; `streams` says where its standard streams go. Returns the
// process id, or -1 when the program cannot be started (not found, not executable). The child
// ends when this program dies, however it dies (on Linux when the thread that started it ends:
// start children from a thread that lives as long as the program).
ProcessId createProcess(const std::string& program, const std::string& commandLine,
                        const std::vector<std::pair<std::string, std::string>>& environment = {},
                        const ChildStreams& streams = {});

// Opens a process that this program started, with the right to terminate it. Returns 0
// when the id is not positive, was not started here, or the process has already ended.
// The handle stays bound to that process even if its id is later reused.
ProcessHandle openProcess(ProcessId pid);
// Ends the process at once. False when it had already ended.
bool terminateProcess(ProcessHandle process, uint32_t exitCode);
void closeProcessHandle(ProcessHandle process);

// Whether a process started here is still running (not yet ended and reaped).
bool processRunning(ProcessId pid);

// How a process started here ended: its exit code, or (`signal` true) the signal that ended it.
// False while it runs, or when it was not started here.
bool processExitStatus(ProcessId pid, int& code, bool& signal);

// The program's name (without folder or extension) of process `pid`, whoever started it, while
// it runs (an ended one that waits to be reaped does not); empty when none runs with that id.
std::string runningProgram(ProcessId pid);

// The user a process runs as (its real user id), or -1 when that cannot be told.
int32_t processUserId(ProcessId pid);
// The user this program runs as; -1 where that is no number (Windows).
int32_t userId();

// A TCP socket listening on a port of this machine: its local address as the system lists it
// (hexadecimal, such as "0100007F" for 127.0.0.1), its user, and the socket's identity.
struct TcpListener {
    std::string address;
    long user = -1;
    unsigned long socket = 0;
};
// Every listener on TCP `port`, on any local address, IPv4 and IPv6; nothing where the system
// cannot tell (then `listenersKnown` is false).
std::vector<TcpListener> tcpListeners(int port);
bool listenersKnown();
// Whether process `pid` holds socket `socket` (one of its descriptors is it). False where that
// cannot be told (a process of another user, to one who may not look).
bool processHoldsSocket(ProcessId pid, unsigned long socket);

// Blocks the calling thread.
void sleepMs(unsigned milliseconds);

// Program files. On Linux the relay lies beside the running control program (in the build
// folder) or in libexec/vorbelt beside its bin folder (installed), and the video player is
// /usr/bin/vlc; VORBELT_RELAY_PROGRAM and VORBELT_VIDEO_PLAYER_PROGRAM replace them.
std::string relayProgram();
std::string videoPlayerProgram();
// Directory of the running executable, with a trailing separator.
std::string executableDirectory();
// Directory of the station's data (its VLC profile), with a trailing separator: beside the
// programs in the build folder, under share/vorbelt when installed.
std::string dataDirectory();

// Last system error of the calling thread (errno on Linux, GetLastError on Windows).
uint32_t lastError();

} // namespace platform
