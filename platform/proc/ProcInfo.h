#pragma once
// Process facts by pid, read from /proc: the executable's path and the BSD-style
// process information (parent and start time).

#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <string>

namespace proc {

// readlink of /proc/PID/exe, without the " (deleted)" that the kernel adds to the
// path of an executable removed since; nothing when the process is gone or unreadable.
std::optional<std::string> proc_pidpath(pid_t pid);

struct proc_bsdinfo {
    std::uint32_t pbi_pid = 0;
    std::uint32_t pbi_ppid = 0;
    std::uint32_t pbi_uid = 0, pbi_gid = 0, pbi_ruid = 0, pbi_rgid = 0;
    std::uint64_t pbi_start_tvsec = 0;   // seconds since 1970
    std::uint64_t pbi_start_tvusec = 0;
    std::uint64_t startTicks = 0;        // clock ticks after boot, as in /proc/PID/stat
};

// /proc/PID/stat and status; nothing when the process is gone or unreadable.
std::optional<proc_bsdinfo> proc_pidbsdinfo(pid_t pid);

// The start time fields for a start given in clock ticks after boot; nothing when the
// boot time cannot be read.
std::optional<proc_bsdinfo> withStartTicks(proc_bsdinfo info, std::uint64_t startTicks);

// What was recorded of a process while it ran (when it made a flow), for the time
// after /proc has forgotten it.
struct ProcessRecord {
    proc_bsdinfo info;
    std::optional<std::string> path;
};

}  // namespace proc
