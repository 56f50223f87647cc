// The report pipe: a message-mode pipe with one instance per channel. Shaped like the Windows
// named-pipe calls: the control program creates an instance and waits for its one client;
// a relay opens the next free instance and writes messages; each read returns one message.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace platform {

using PipeHandle = intptr_t;
constexpr PipeHandle kInvalidPipe = -1;

constexpr const char* kReportPipeName = "\\\\.\\pipe\\mynamedpipe";
constexpr uint32_t kErrorPipeConnected = 535;

// --- server side -------------------------------------------------------------------------
// CreateNamedPipeA: a new instance, inbound, message mode. kInvalidPipe on failure.
PipeHandle createNamedPipe(const std::string& name);

enum class PipeConnect {
    Connected,        // a client connected while we waited
    AlreadyConnected, // the client was there before the call (ERROR_PIPE_CONNECTED)
    TimedOut,         // no client within the time given
    Failed,
};
// ConnectNamedPipe, with a bound on the wait (negative: wait for ever). After a client has
// connected no free instance remains until the next createNamedPipe.
PipeConnect connectNamedPipe(PipeHandle instance, int timeoutMs);

struct PipeRead {
    bool ok;            // false: read failed, or the pipe ended (bytes == 0)
    std::size_t bytes;  // bytes placed into the buffer
    std::size_t length; // the message's real length; > bytes for an over-long message,
                        // whose rest is discarded, so the next read is the next message
};
// ReadFile of one message. Blocks until a message comes or the pipe ends.
PipeRead readPipe(PipeHandle instance, void* buffer, std::size_t capacity);

// Wakes a thread blocked in readPipe on this instance, which then sees the end of the pipe.
void cancelPipeIo(PipeHandle instance);

// --- client side -------------------------------------------------------------------------
// CreateFileA on the pipe name: one attempt; kInvalidPipe when no free instance exists.
PipeHandle openPipe(const std::string& name);
// SetNamedPipeHandleState with message read mode.
bool setPipeMessageMode(PipeHandle pipe);
// WriteFile of one message. False on failure (lastError() tells why).
bool writePipe(PipeHandle pipe, const void* data, std::size_t length, uint32_t* written);

// --- both sides --------------------------------------------------------------------------
void flushPipe(PipeHandle pipe);
void disconnectNamedPipe(PipeHandle pipe);
void closePipe(PipeHandle pipe);

// The user's private runtime folder, where the station keeps what only it may read (the report
// pipe, the players' profiles and secrets, its lock): $XDG_RUNTIME_DIR when it is the user's
// own and closed to others, else vorbelt-<uid> under $TMPDIR or /tmp (made with mode 0700; a
// folder there that is not the user's own, is a link or is open to others is refused). Empty,
// with the refused folders and why, when none is safe.
std::string privateDirectory(std::string* error = nullptr);

// Where the pipe lives on this system (a socket file on Linux: in $XDG_RUNTIME_DIR, else in
// vorbelt-<uid> under $TMPDIR or /tmp); empty, with the refused folders and why, when no
// directory is safe to use.
std::string pipePath(const std::string& name, std::string* error = nullptr);

} // namespace platform
