#pragma once
// Which process owns the socket of a flow: socket diagnostics (netlink sock_diag) give
// the socket's inode, an index of the sockets that processes hold (from /proc/PID/fd)
// gives the process.

#include <sys/types.h>

#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <unordered_map>

namespace netext {

struct SocketAddress {
    std::string address;  // numeric text
    std::uint16_t port = 0;
};

struct SocketOwner {
    std::uint64_t inode = 0;
    uid_t uid = 0;
    pid_t pid = 0;
};

// Socket inode to the process that holds it. A lookup that misses, or whose entry no
// longer holds, refreshes the index: first the processes that held the latest sockets
// found (a burst of flows is mostly one process's), then every process.
class SocketIndex {
public:
    std::optional<pid_t> processHolding(std::uint64_t inode);

private:
    struct Holder {
        pid_t pid;
        int fd;
    };
    bool stillHolds(std::uint64_t inode, const Holder& holder) const;
    void scanProcess(pid_t pid);
    void scanAll();
    void noteRecent(pid_t pid);

    std::unordered_map<std::uint64_t, Holder> holders_;
    std::deque<pid_t> recent_;
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

}  // namespace netext
