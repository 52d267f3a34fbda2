#pragma once
// Which process made a flow. First what the kernel recorded when the flow began
// (OwnerCapture.h), which outlives the socket and the process; where that is not
// available or has nothing, the socket as it is now: socket diagnostics (netlink
// sock_diag) give its inode, an index of the sockets that processes hold (from
// /proc/PID/fd) gives the process.

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <unordered_map>
#include <unordered_set>

#include "AuditToken.h"
#include "ProcInfo.h"

namespace flowowner {
class OwnerCapture;
}

namespace netext {

struct SocketAddress {
    std::string address;  // numeric text
    std::uint16_t port = 0;
};

struct SocketOwner {
    std::uint64_t inode = 0;
    uid_t uid = 0;
    pid_t pid = 0;
    int family = 0;  // the socket's own (AF_INET6 for one on IPv4-mapped addresses); 0 when unknown
    bool connected = false;  // connected to the flow's remote end (not listening, not unconnected UDP)
};

// Socket inode to the process that holds it, from an index of every process's sockets
// made when the index is. A lookup that misses, or whose entry no longer holds,
// refreshes it cheaply: the processes that held the latest sockets found (a burst of
// flows is mostly one process's), then the processes started since the last look.
// What that misses (a socket that an older process opened since) is left to a full
// rescan in the background, at most one a second, which later lookups find.
class SocketIndex {
public:
    SocketIndex();
    ~SocketIndex();
    SocketIndex(const SocketIndex&) = delete;
    SocketIndex& operator=(const SocketIndex&) = delete;

    std::optional<pid_t> processHolding(std::uint64_t inode);

private:
    struct Holder {
        pid_t pid;
        int fd;
    };
    using Holders = std::unordered_map<std::uint64_t, Holder>;
    static bool stillHolds(std::uint64_t inode, const Holder& holder);
    static void scanProcess(pid_t pid, Holders& into);
    static std::unordered_set<pid_t> listProcesses();
    std::optional<pid_t> lookup(std::uint64_t inode);
    void noteRecent(pid_t pid);
    void takeRescan();
    void startRescan();

    Holders holders_;
    std::deque<pid_t> recent_;
    std::unordered_set<pid_t> listed_;  // the processes of the last look at /proc

    std::mutex rescanMutex_;
    std::optional<Holders> rescanned_;  // under rescanMutex_
    std::thread rescan_;
    std::chrono::steady_clock::time_point lastRescan_{};
};

// The TCP or UDP socket of this namespace whose local end is local and whose remote
// end is remote, with its inode and user; a socket bound to the wildcard address or not
// connected also fits when no exact one exists. An IPv4 flow is also looked for among
// IPv6 sockets, under its IPv4-mapped addresses. Nothing for other protocols.
std::optional<SocketOwner> findSocket(int family, int protocol, const SocketAddress& local,
                                      const SocketAddress& remote);

// findSocket, then the process that holds the socket (through index); nothing when no
// process holds it.
std::optional<SocketOwner> findSocketOwner(int family, int protocol, const SocketAddress& local,
                                           const SocketAddress& remote, SocketIndex& index);

struct QueuedPacket;

// The owner of a flow as far as it is known.
struct FlowOwner {
    proc::audit_token_t token;
    int family = 0;  // the socket's own address family; 0 when unknown
    // What was recorded of the process when the flow began; absent when the owner was
    // found through its socket.
    std::optional<proc::ProcessRecord> record;
};

// Finds the owners of queued flows: the kernel's records when they can be had, else
// (and for flows they miss, such as connections to listeners that were open before)
// the socket and /proc. ownerOf may be called from several threads at once.
class FlowOwners {
public:
    FlowOwners();
    ~FlowOwners();

    // Loads the kernel program for this network namespace (unless kernel is false) and
    // indexes the sockets that processes hold now. The reason when there are no
    // kernel records.
    std::optional<std::string> start(bool kernel = true);
    // Drops the kernel program and the index.
    void stop();
    bool hasKernelRecords() const { return capture_ != nullptr; }

    std::optional<FlowOwner> ownerOf(const QueuedPacket& packet);

private:
    std::optional<FlowOwner> recorded(const QueuedPacket& packet) const;

    std::unique_ptr<flowowner::OwnerCapture> capture_;
    std::mutex indexMutex_;
    std::unique_ptr<SocketIndex> index_;  // used under indexMutex_
};

}  // namespace netext
