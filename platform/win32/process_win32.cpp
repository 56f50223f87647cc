// Processes on Windows: CreateProcessA, OpenProcess, TerminateProcess, Sleep.
#include "platform/process.h"
#include "platform/win32/handles.h"

#include <cstdlib>
#include <cstring>
#include <map>
#include <vector>

namespace platform {

namespace {

std::string getEnv(const char* name) {
    char buffer[32768];
    const DWORD n = GetEnvironmentVariableA(name, buffer, sizeof buffer);
    return n > 0 && n < sizeof buffer ? std::string(buffer, n) : std::string();
}

// The calling process's environment with `changes` applied, as a CreateProcessA block
// (sorted, case-insensitive names, each "name=value\0", closed by one more "\0").
std::vector<char>
environmentBlock(const std::vector<std::pair<std::string, std::string>>& changes) {
    struct NoCase {
        bool operator()(const std::string& a, const std::string& b) const {
            return _stricmp(a.c_str(), b.c_str()) < 0;
        }
    };
    std::map<std::string, std::string, NoCase> vars;
    if (char* env = GetEnvironmentStringsA()) {
        for (const char* p = env; *p; p += std::strlen(p) + 1) {
            const char* eq = std::strchr(p + 1, '='); // names such as "=C:" begin with '='
            if (eq)
                vars[std::string(p, eq)] = eq + 1;
        }
        FreeEnvironmentStringsA(env);
    }
    for (const auto& [name, value] : changes)
        vars[name] = value;
    std::vector<char> block;
    for (const auto& [name, value] : vars) {
        block.insert(block.end(), name.begin(), name.end());
        block.push_back('=');
        block.insert(block.end(), value.begin(), value.end());
        block.push_back('\0');
    }
    block.push_back('\0');
    return block;
}

// A job that ends every process in it when the station's handle to it closes, that is when
// the station ends, however it ends.
HANDLE stationJob() {
    static HANDLE job = [] {
        HANDLE j = CreateJobObjectA(nullptr, nullptr);
        if (j) {
            JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
            limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
            SetInformationJobObject(j, JobObjectExtendedLimitInformation, &limits, sizeof limits);
        }
        return j;
    }();
    return job;
}

} // namespace

ProcessId createProcess(const std::string& program, const std::string& commandLine,
                        const std::vector<std::pair<std::string, std::string>>& environment,
                        const ChildStreams&) {
    // (A Windows GUI program's children share no console with it: nothing to detach.)
    STARTUPINFOA si{};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi{};
    std::vector<char> line(commandLine.begin(), commandLine.end());
    line.push_back('\0');
    std::vector<char> block;
    if (!environment.empty())
        block = environmentBlock(environment);
    if (!CreateProcessA(program.c_str(), line.data(), nullptr, nullptr, FALSE, 0,
                        block.empty() ? nullptr : block.data(), nullptr, &si, &pi))
        return -1;
    if (HANDLE job = stationJob())
        AssignProcessToJobObject(job, pi.hProcess);
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    return static_cast<ProcessId>(pi.dwProcessId);
}

ProcessHandle openProcess(ProcessId pid) {
    if (pid <= 0)
        return 0;
    HANDLE h = OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, static_cast<DWORD>(pid));
    if (!h)
        return 0;
    if (WaitForSingleObject(h, 0) == WAIT_OBJECT_0) { // already ended
        CloseHandle(h);
        return 0;
    }
    return win32::fromHandle(h);
}

bool terminateProcess(ProcessHandle process, uint32_t exitCode) {
    return process != 0 && TerminateProcess(win32::toHandle(process), exitCode) != 0;
}

void closeProcessHandle(ProcessHandle process) {
    if (process != 0)
        CloseHandle(win32::toHandle(process));
}

bool processRunning(ProcessId pid) {
    if (pid <= 0)
        return false;
    HANDLE h = OpenProcess(SYNCHRONIZE, FALSE, static_cast<DWORD>(pid));
    if (!h)
        return false;
    const bool running = WaitForSingleObject(h, 0) == WAIT_TIMEOUT;
    CloseHandle(h);
    return running;
}

bool processExitStatus(ProcessId pid, int& code, bool& signal) {
    HANDLE h = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, static_cast<DWORD>(pid));
    if (!h)
        return false;
    DWORD exit = 0;
    const bool ended = GetExitCodeProcess(h, &exit) && exit != STILL_ACTIVE;
    CloseHandle(h);
    if (ended) {
        code = static_cast<int>(exit);
        signal = false;
    }
    return ended;
}

std::string runningProgram(ProcessId pid) {
    if (pid <= 0)
        return "";
    HANDLE h = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION | SYNCHRONIZE, FALSE,
                           static_cast<DWORD>(pid));
    if (!h)
        return "";
    char path[MAX_PATH + 1];
    DWORD size = sizeof path;
    const bool named = WaitForSingleObject(h, 0) == WAIT_TIMEOUT &&
                       QueryFullProcessImageNameA(h, 0, path, &size) != 0;
    CloseHandle(h);
    if (!named)
        return "";
    std::string name(path, size);
    name = name.substr(name.find_last_of("\\/") + 1);
    if (name.size() > 4 && _stricmp(name.c_str() + name.size() - 4, ".exe") == 0)
        name.resize(name.size() - 4);
    return name;
}

int32_t processUserId(ProcessId) {
    return -1;
}

int32_t userId() {
    return -1;
}

void sleepMs(unsigned milliseconds) {
    Sleep(milliseconds);
}

std::string executableDirectory() {
    char path[MAX_PATH];
    const DWORD n = GetModuleFileNameA(nullptr, path, MAX_PATH);
    std::string p(path, n);
    const auto slash = p.find_last_of("\\/");
    return slash == std::string::npos ? std::string() : p.substr(0, slash + 1);
}

uint32_t lastError() {
    return GetLastError();
}

// The station's fixed places; VORBELT_RELAY_PROGRAM and VORBELT_VIDEO_PLAYER_PROGRAM replace
// them, as on Linux.
std::string dataDirectory() {
    return executableDirectory();
}

std::string relayProgram() {
    const std::string v = getEnv("VORBELT_RELAY_PROGRAM");
    return v.empty() ? std::string("c:/utils/server/brellon.exe") : v;
}

std::string videoPlayerProgram() {
    const std::string v = getEnv("VORBELT_VIDEO_PLAYER_PROGRAM");
    return v.empty() ? std::string("c:/utils/VLC/vlc.exe") : v;
}

std::vector<TcpListener> tcpListeners(int) {
    return {};
}

bool listenersKnown() {
    return false;
}

bool processHoldsSocket(ProcessId, unsigned long) {
    return false;
}

} // namespace platform
