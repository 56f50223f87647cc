// Small helpers for the benchmarks: percentiles and a steady clock in milliseconds.
#pragma once

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <dirent.h>
#include <string>
#include <unistd.h>
#include <vector>

namespace bench {

inline double nowMs() {
    return std::chrono::duration<double, std::milli>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

inline double percentile(std::vector<double> v, double p) {
    if (v.empty())
        return 0;
    std::sort(v.begin(), v.end());
    const auto k = static_cast<std::size_t>(p / 100.0 * static_cast<double>(v.size() - 1) + 0.5);
    return v[std::min(k, v.size() - 1)];
}

inline void printLatency(const char* what, const std::vector<double>& ms) {
    std::printf("%-46s p50 %8.3f ms   p99 %8.3f ms   max %8.3f ms   (n=%zu)\n", what,
                percentile(ms, 50), percentile(ms, 99), percentile(ms, 100), ms.size());
}

// Processor time (user and system, in clock ticks) and resident memory of a process.
inline long cpuTicks(int pid) {
    FILE* f = std::fopen(("/proc/" + std::to_string(pid) + "/stat").c_str(), "r");
    if (!f)
        return 0;
    char buf[1024] = {};
    const std::size_t n = std::fread(buf, 1, sizeof buf - 1, f);
    std::fclose(f);
    const std::string s(buf, n);
    const auto close = s.rfind(')');
    long utime = 0, stime = 0;
    if (close != std::string::npos)
        std::sscanf(s.c_str() + close + 2, "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %ld %ld",
                    &utime, &stime);
    return utime + stime;
}

// Processor time of all threads of a process so far, in nanoseconds (finer than the clock ticks).
inline double cpuNs(int pid) {
    double total = 0;
    const std::string tasks = "/proc/" + std::to_string(pid) + "/task";
    if (DIR* d = opendir(tasks.c_str())) {
        while (dirent* e = readdir(d)) {
            if (e->d_name[0] == '.')
                continue;
            if (FILE* f = std::fopen((tasks + "/" + e->d_name + "/schedstat").c_str(), "r")) {
                double ns = 0;
                if (std::fscanf(f, "%lf", &ns) == 1)
                    total += ns;
                std::fclose(f);
            }
        }
        closedir(d);
    }
    return total;
}

// Processor time (clock ticks) of every process of the machine named `program`.
inline long cpuTicksOfProgram(const std::string& program) {
    long ticks = 0;
    if (DIR* d = opendir("/proc")) {
        while (dirent* e = readdir(d)) {
            if (e->d_name[0] < '0' || e->d_name[0] > '9')
                continue;
            FILE* f = std::fopen(("/proc/" + std::string(e->d_name) + "/comm").c_str(), "r");
            char name[64] = {};
            if (f && std::fgets(name, sizeof name, f) && std::string(name) == program + "\n")
                ticks += cpuTicks(std::atoi(e->d_name));
            if (f)
                std::fclose(f);
        }
        closedir(d);
    }
    return ticks;
}

inline long rssKiB(int pid) {
    FILE* f = std::fopen(("/proc/" + std::to_string(pid) + "/status").c_str(), "r");
    long kib = 0;
    char line[256];
    while (f && std::fgets(line, sizeof line, f))
        if (std::sscanf(line, "VmRSS: %ld", &kib) == 1)
            break;
    if (f)
        std::fclose(f);
    return kib;
}

// A fresh folder under /tmp made the current directory (the station reads and writes its files
// there), removed with everything in it at the end.
class ScratchDir {
public:
    ScratchDir() {
        char name[] = "/tmp/vorbelt-bench-XXXXXX";
        if (!mkdtemp(name) || chdir(name) != 0) {
            std::perror("scratch folder");
            std::exit(1);
        }
        path_ = name;
    }
    ~ScratchDir() {
        if (std::system(("rm -rf '" + path_ + "'").c_str()) != 0)
            std::fprintf(stderr, "could not remove %s\n", path_.c_str());
    }
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;
    const std::string& path() const { return path_; }

private:
    std::string path_;
};

} // namespace bench
