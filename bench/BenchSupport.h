#pragma once
// What the benchmarks share: timing and reading a JSON Lines file into memory.

#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

namespace bench {

// The load averages of the last 1, 5 and 15 minutes as /proc/loadavg gives them ("?"
// when it cannot be read), to print beside every figure: the machine is shared.
inline std::string loadAverage() {
    std::ifstream in("/proc/loadavg");
    std::string one, five, fifteen;
    if (!(in >> one >> five >> fifteen)) return "?";
    return one + " " + five + " " + fifteen;
}

// The peak resident set of this process so far, in MB.
inline double peakRSSMB() {
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    return double(usage.ru_maxrss) * 1024 / 1e6;  // ru_maxrss is in KiB
}

inline double seconds(std::chrono::steady_clock::time_point since) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

struct Lines {
    std::vector<std::string> lines;  // the non-empty lines
    std::size_t bytes = 0;           // every line with its line feed
};

// Reads path into memory (which also brings it into the page cache); reports to
// standard error and gives nothing when it cannot be read.
inline std::optional<Lines> readLines(const char* tool, const char* path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        std::fprintf(stderr, "%s: cannot read %s\n", tool, path);
        return std::nullopt;
    }
    Lines out;
    for (std::string line; std::getline(in, line);) {
        out.bytes += line.size() + 1;
        if (!line.empty()) out.lines.push_back(std::move(line));
    }
    return out;
}

}  // namespace bench
