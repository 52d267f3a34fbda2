#include "ProcInfo.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <string_view>

namespace proc {

std::optional<std::string> proc_pidpath(pid_t pid) {
    std::string link = "/proc/" + std::to_string(pid) + "/exe";
    char buf[4096];
    ssize_t n = ::readlink(link.c_str(), buf, sizeof buf);
    if (n <= 0 || n == ssize_t(sizeof buf)) return std::nullopt;
    std::string path(buf, std::size_t(n));
    // The suffix is the kernel's only when the file has no name left; a file may
    // really be called that.
    constexpr std::string_view kDeleted = " (deleted)";
    struct stat st;
    if (path.ends_with(kDeleted) && ::stat(link.c_str(), &st) == 0 && st.st_nlink == 0) {
        path.resize(path.size() - kDeleted.size());
    }
    return path;
}

namespace {

std::optional<std::uint64_t> bootTime() {
    std::ifstream in("/proc/stat");
    for (std::string line; std::getline(in, line);) {
        if (line.rfind("btime ", 0) == 0) return std::stoull(line.substr(6));
    }
    return std::nullopt;
}

// The whole of a /proc file; empty when it cannot be read. Plain reads: a stream's
// buffer throws when the process behind the file ends between open and read.
std::string readSmallFile(const std::string& path) {
    std::string text;
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return text;
    char buf[4096];
    for (ssize_t n; (n = ::read(fd, buf, sizeof buf)) > 0;) text.append(buf, std::size_t(n));
    ::close(fd);
    return text;
}

}  // namespace

std::optional<proc_bsdinfo> proc_pidbsdinfo(pid_t pid) {
    std::string stat = readSmallFile("/proc/" + std::to_string(pid) + "/stat");
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

    proc_bsdinfo found;
    found.pbi_pid = static_cast<std::uint32_t>(pid);
    found.pbi_ppid = static_cast<std::uint32_t>(ppid);
    auto info = withStartTicks(found, startTicks);
    if (!info) return std::nullopt;

    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);) {
        unsigned r = 0, e = 0;
        if (line.rfind("Uid:", 0) == 0 && std::sscanf(line.c_str() + 4, "%u %u", &r, &e) == 2) {
            info->pbi_ruid = r;
            info->pbi_uid = e;
        } else if (line.rfind("Gid:", 0) == 0 && std::sscanf(line.c_str() + 4, "%u %u", &r, &e) == 2) {
            info->pbi_rgid = r;
            info->pbi_gid = e;
        }
    }
    return info;
}

std::optional<proc_bsdinfo> withStartTicks(proc_bsdinfo info, std::uint64_t startTicks) {
    static const std::optional<std::uint64_t> boot = bootTime();
    static const long hz = ::sysconf(_SC_CLK_TCK);
    if (!boot || hz <= 0) return std::nullopt;
    info.startTicks = startTicks;
    info.pbi_start_tvsec = *boot + startTicks / std::uint64_t(hz);
    info.pbi_start_tvusec = (startTicks % std::uint64_t(hz)) * 1000000 / std::uint64_t(hz);
    return info;
}

}  // namespace proc
