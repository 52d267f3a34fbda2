#pragma once
// What one piece of work costs (processor time, wall time, growth of the peak resident
// set), measured in a child process with guards: work that blocks or grows without end
// must take neither the caller nor the machine with it.

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fstream>
#include <functional>
#include <string>

namespace childcost {

struct Cost {
    bool returned = false;  // else a guard stopped the child: see why
    std::string why;
    std::string result;  // what work returned
    double cpuMs = 0;
    double wallMs = 0;     // of the work; when it did not return, until the child ended
    double growthMB = 0;  // the peak resident set during the work, above the one before
};

namespace detail {

// Checked every 10 ms by a timer in the child (no thread: the child of a threaded
// process should start none), with only what a signal handler may call.
inline long growthLimitPages = 0;
inline long ticksLeft = 0;
inline long startPages = 0;

inline long residentPages() {
    char buf[64] = {};
    int fd = ::open("/proc/self/statm", O_RDONLY | O_CLOEXEC);
    ssize_t n = fd >= 0 ? ::read(fd, buf, sizeof buf - 1) : -1;
    if (fd >= 0) ::close(fd);
    const char* p = buf;
    while (n > 0 && *p && *p != ' ') ++p;  // the size; the resident set comes second
    while (*p == ' ') ++p;
    long pages = 0;
    while (*p >= '0' && *p <= '9') pages = pages * 10 + (*p++ - '0');
    return pages;
}

inline void tick(int) {
    if (--ticksLeft < 0) ::_exit(3);
    if (residentPages() - startPages > growthLimitPages) ::_exit(2);
}

inline long statusKB(const char* field) {
    std::ifstream in("/proc/self/status");
    for (std::string line; std::getline(in, line);) {
        if (line.rfind(field, 0) == 0) return std::stol(line.substr(std::strlen(field)));
    }
    return -1;
}

inline double cpuMs() {
    rusage u{};
    ::getrusage(RUSAGE_SELF, &u);
    return double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) * 1e3 + double(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e3;
}

struct Report {
    double cpuMs, wallMs, growthMB;
    char result[1024];
};

}  // namespace detail

// Runs work in a child; it is stopped when its resident set grows by more than
// growthLimitMB or when it has not returned after guardSeconds.
inline Cost measure(const std::function<std::string()>& work, long growthLimitMB, int guardSeconds) {
    Cost cost;
    const auto started = std::chrono::steady_clock::now();
    int out[2];
    if (::pipe2(out, O_CLOEXEC) != 0) {
        cost.why = std::strerror(errno);
        return cost;
    }
    pid_t child = ::fork();
    if (child == 0) {
        ::close(out[0]);
        std::ofstream("/proc/self/clear_refs") << "5";  // the peak resident set starts again from here
        const long before = detail::statusKB("VmRSS:");
        detail::startPages = detail::residentPages();
        detail::growthLimitPages = growthLimitMB * 1024 * 1024 / ::sysconf(_SC_PAGESIZE);
        detail::ticksLeft = long(guardSeconds) * 100;
        struct sigaction tick {};
        tick.sa_handler = detail::tick;
        tick.sa_flags = SA_RESTART;
        ::sigaction(SIGALRM, &tick, nullptr);
        itimerval every{{0, 10000}, {0, 10000}};
        ::setitimer(ITIMER_REAL, &every, nullptr);
        detail::Report report{};
        const double cpu = detail::cpuMs();
        const auto wall = std::chrono::steady_clock::now();
        const std::string result = work();
        report.wallMs = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - wall).count();
        report.cpuMs = detail::cpuMs() - cpu;
        report.growthMB = double(detail::statusKB("VmHWM:") - before) / 1024;
        std::memcpy(report.result, result.data(), std::min(result.size(), sizeof report.result - 1));
        [[maybe_unused]] ssize_t n = ::write(out[1], &report, sizeof report);
        ::_exit(0);
    }
    ::close(out[1]);
    detail::Report report{};
    cost.returned = child > 0 && ::read(out[0], &report, sizeof report) == ssize_t(sizeof report);
    ::close(out[0]);
    int status = 0;
    if (child > 0) ::waitpid(child, &status, 0);
    if (cost.returned) {
        cost.result = report.result;
        cost.cpuMs = report.cpuMs;
        cost.wallMs = report.wallMs;
        cost.growthMB = report.growthMB;
    } else {
        cost.wallMs = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - started).count();
        cost.why = child < 0                                       ? std::string("fork: ") + std::strerror(errno)
                   : WIFEXITED(status) && WEXITSTATUS(status) == 2 ? "it grew by more than " + std::to_string(growthLimitMB) + " MB"
                   : WIFEXITED(status) && WEXITSTATUS(status) == 3
                       ? "it did not return within " + std::to_string(guardSeconds) + " s"
                       : "it ended with status " + std::to_string(status);
    }
    return cost;
}

}  // namespace childcost
