#pragma once
// A shell command run to its end: what it wrote on its standard output, and how it ended.

#include <sys/wait.h>

#include <cstdio>
#include <string>

namespace commandout {

struct Result {
    std::string output;
    int status = -1;  // as waitpid gives it; -1 when the command could not be started
};

inline Result run(const std::string& command) {
    Result result;
    FILE* f = ::popen(command.c_str(), "r");
    if (!f) return result;
    char buffer[4096];
    for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, f)) > 0;) result.output.append(buffer, n);
    result.status = ::pclose(f);
    return result;
}

}  // namespace commandout
