// The report pipe on Windows: a named pipe in message mode, one instance per channel. The
// server side is opened for overlapped I/O so that the wait for a client can be bounded and a
// blocked read can be woken; each call still waits for its own result, as the blocking calls
// of the design do.
#include "platform/pipe.h"

#include <string>
#include "platform/win32/handles.h"

#include <vector>

namespace platform {

namespace {

constexpr DWORD kBufferSize = 512;

// Waits for the overlapped operation `o` on `h`; false with GetLastError() set on failure.
bool finish(HANDLE h, OVERLAPPED& o, DWORD& bytes) {
    return GetOverlappedResult(h, &o, &bytes, TRUE) != 0;
}

// Starts and finishes one overlapped read of up to `capacity` bytes.
bool readOnce(HANDLE h, void* buffer, DWORD capacity, DWORD& bytes) {
    OVERLAPPED o{};
    o.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    bytes = 0;
    // With an OVERLAPPED the count comes from the result, also for a message that did not fit
    // (ERROR_MORE_DATA), whether the call finished at once or later.
    BOOL ok = ReadFile(h, buffer, capacity, nullptr, &o);
    if (ok || GetLastError() == ERROR_IO_PENDING || GetLastError() == ERROR_MORE_DATA)
        ok = finish(h, o, bytes);
    const DWORD error = GetLastError();
    CloseHandle(o.hEvent);
    SetLastError(ok ? 0 : error);
    return ok != 0;
}

} // namespace

PipeHandle createNamedPipe(const std::string& name) {
    HANDLE h = CreateNamedPipeA(name.c_str(), PIPE_ACCESS_INBOUND | FILE_FLAG_OVERLAPPED,
                                PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT,
                                PIPE_UNLIMITED_INSTANCES, kBufferSize, kBufferSize, 0, nullptr);
    return h == INVALID_HANDLE_VALUE ? kInvalidPipe : win32::fromHandle(h);
}

PipeConnect connectNamedPipe(PipeHandle instance, int timeoutMs) {
    HANDLE h = win32::toHandle(instance);
    OVERLAPPED o{};
    o.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    PipeConnect result = PipeConnect::Failed;
    if (ConnectNamedPipe(h, &o)) {
        result = PipeConnect::Connected;
    } else {
        switch (GetLastError()) {
        case ERROR_PIPE_CONNECTED: // the client came before the call: connected all the same
            result = PipeConnect::AlreadyConnected;
            break;
        case ERROR_IO_PENDING: {
            const DWORD wait =
                WaitForSingleObject(o.hEvent, timeoutMs < 0 ? INFINITE : DWORD(timeoutMs));
            DWORD bytes = 0;
            if (wait == WAIT_OBJECT_0 && GetOverlappedResult(h, &o, &bytes, FALSE)) {
                result = PipeConnect::Connected;
            } else if (wait == WAIT_TIMEOUT) {
                CancelIo(h);
                GetOverlappedResult(h, &o, &bytes, TRUE); // the cancelled call must end first
                result = PipeConnect::TimedOut;
            }
            break;
        }
        default:
            break;
        }
    }
    const DWORD error = GetLastError();
    CloseHandle(o.hEvent);
    SetLastError(result == PipeConnect::AlreadyConnected ? ERROR_PIPE_CONNECTED : error);
    return result;
}

PipeRead readPipe(PipeHandle instance, void* buffer, std::size_t capacity) {
    HANDLE h = win32::toHandle(instance);
    DWORD bytes = 0;
    if (readOnce(h, buffer, static_cast<DWORD>(capacity), bytes))
        return {bytes > 0, bytes, bytes};
    if (GetLastError() != ERROR_MORE_DATA)
        return {false, bytes, bytes};
    // An over-long message: its rest is read away, so that the next read is the next message.
    std::size_t length = bytes;
    std::vector<char> rest(kBufferSize);
    DWORD more = 0;
    bool again = true;
    while (again) {
        again = !readOnce(h, rest.data(), kBufferSize, more) && GetLastError() == ERROR_MORE_DATA;
        length += more;
    }
    SetLastError(ERROR_MORE_DATA);
    return {true, bytes, length};
}

void cancelPipeIo(PipeHandle instance) {
    CancelIoEx(win32::toHandle(instance), nullptr);
}

PipeHandle openPipe(const std::string& name) {
    HANDLE h = CreateFileA(name.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    return h == INVALID_HANDLE_VALUE ? kInvalidPipe : win32::fromHandle(h);
}

bool setPipeMessageMode(PipeHandle pipe) {
    DWORD mode = PIPE_READMODE_MESSAGE;
    return SetNamedPipeHandleState(win32::toHandle(pipe), &mode, nullptr, nullptr) != 0;
}

bool writePipe(PipeHandle pipe, const void* data, std::size_t length, uint32_t* written) {
    DWORD n = 0;
    const BOOL ok = WriteFile(win32::toHandle(pipe), data, static_cast<DWORD>(length), &n, nullptr);
    if (written)
        *written = n;
    return ok != 0;
}

void flushPipe(PipeHandle pipe) {
    FlushFileBuffers(win32::toHandle(pipe));
}

void disconnectNamedPipe(PipeHandle pipe) {
    DisconnectNamedPipe(win32::toHandle(pipe));
}

void closePipe(PipeHandle pipe) {
    if (pipe != kInvalidPipe && pipe != 0)
        CloseHandle(win32::toHandle(pipe));
}

std::string pipePath(const std::string& name, std::string*) {
    return name; // the name is the path
}

std::string privateDirectory(std::string* error) {
    // The user's own temporary folder (a profile folder no other user reads).
    char path[MAX_PATH + 1];
    const DWORD n = GetTempPathA(sizeof path, path);
    if (n == 0 || n > MAX_PATH) {
        if (error)
            *error = "no temporary folder (error " + std::to_string(GetLastError()) + ")";
        return "";
    }
    std::string dir(path, n);
    while (!dir.empty() && (dir.back() == '\\' || dir.back() == '/'))
        dir.pop_back();
    return dir;
}

} // namespace platform
