#pragma once
// Owners of flows as the kernel recorded them when each flow began (flow_owner.bpf.c):
// the process that connected, sent or listened, with its ids, start and executable,
// kept after the socket and the process are gone (a listening or bound socket's only
// while the socket lasts).

#include <sys/types.h>

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

struct flow_owner;

namespace flowowner {

// Both ends of a flow, addresses in 16-byte form (IPv4 as ::ffff:a.b.c.d); a zero
// remote end stands for a socket that is not connected (listening or bound).
struct FlowEnds {
    int protocol = 0;
    std::array<std::uint8_t, 16> local{}, remote{};
    std::uint16_t localPort = 0, remotePort = 0;
};

struct Owner {
    pid_t pid = 0;
    pid_t ppid = 0;
    std::uint32_t uid = 0, euid = 0, gid = 0, egid = 0;
    std::uint32_t auid = 0, sessionid = 0;
    std::uint64_t startTicks = 0;  // clock ticks after boot, as /proc/PID/stat has it
    int family = 0;                // the socket's own address family
    std::optional<std::string> path;  // the executable's absolute path, when known
};

class OwnerCapture {
public:
    // Loads the kernel program for the calling thread's network namespace and attaches
    // it at the root of the cgroup2 hierarchy (mounted for the moment it takes to open
    // where no mount of it is visible); nothing, with the reason in why, when this
    // build or this kernel cannot.
    // Executables of processes already running are read from /proc here, once.
    static std::unique_ptr<OwnerCapture> load(std::string& why);
    ~OwnerCapture();
    OwnerCapture(const OwnerCapture&) = delete;
    OwnerCapture& operator=(const OwnerCapture&) = delete;

    // The owner recorded for exactly these ends.
    std::optional<Owner> find(const FlowEnds& ends) const;

private:
    OwnerCapture() = default;
    void recordRunningExecutables() const;

    flow_owner* skeleton_ = nullptr;
    int cgroup_ = -1;  // the cgroup2 root, open
};

}  // namespace flowowner
