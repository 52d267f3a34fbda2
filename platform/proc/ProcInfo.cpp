#include "ProcInfo.h"

#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>

namespace proc {

std::optional<std::string> proc_pidpath(pid_t pid) {
    std::string link = "/proc/" + std::to_string(pid) + "/exe";
    char buf[4096];
    ssize_t n = ::readlink(link.c_str(), buf, sizeof buf);
    if (n <= 0 || n == ssize_t(sizeof buf)) return std::nullopt;
    return std::string(buf, std::size_t(n));
}

namespace {

std::optional<std::uint64_t> bootTime() {
    std::ifstream in("/proc/stat");
    for (std::string line; std::getline(in, line);) {
        if (line.rfind("btime ", 0) == 0) return std::stoull(line.substr(6));
    }
    return std::nullopt;
}

}  // namespace

std::optional<proc_bsdinfo> proc_pidbsdinfo(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string stat((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    // The command name sits between the first "(" and the last ")" and may hold
    // anything, ")" and line breaks included: the fields resume after the last ")".
    std::size_t close = stat.rfind(')');
    if (stat.find('(') == std::string::npos || close == std::string::npos) return std::nullopt;
    std::istringstream fields(stat.substr(close + 1));
    // state(3) ppid(4) ... starttime(22)
    std::string state;
    long long ppid = 0;
    fields >> state >> ppid;
    std::string skip;
    for (int field = 5; field < 22; ++field) fields >> skip;
    unsigned long long startTicks = 0;
    if (!(fields >> startTicks)) return std::nullopt;

    auto boot = bootTime();
    long hz = ::sysconf(_SC_CLK_TCK);
    if (!boot || hz <= 0) return std::nullopt;

    proc_bsdinfo info;
    info.pbi_pid = static_cast<std::uint32_t>(pid);
    info.pbi_ppid = static_cast<std::uint32_t>(ppid);
    info.startTicks = startTicks;
    info.pbi_start_tvsec = *boot + startTicks / std::uint64_t(hz);
    info.pbi_start_tvusec = (startTicks % std::uint64_t(hz)) * 1000000 / std::uint64_t(hz);

    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);) {
        unsigned r = 0, e = 0;
        if (line.rfind("Uid:", 0) == 0 && std::sscanf(line.c_str() + 4, "%u %u", &r, &e) == 2) {
            info.pbi_ruid = r;
            info.pbi_uid = e;
        } else if (line.rfind("Gid:", 0) == 0 && std::sscanf(line.c_str() + 4, "%u %u", &r, &e) == 2) {
            info.pbi_rgid = r;
            info.pbi_gid = e;
        }
    }
    return info;
}

}  // namespace proc
