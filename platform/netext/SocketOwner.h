#pragma once
// Which process owns the socket of a connection: socket diagnostics (netlink
// sock_diag) give the socket's inode, /proc gives the process that holds it.

#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <string>

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

// The TCP or UDP socket of this namespace whose local end is local and whose remote
// end is remote; a socket bound to the wildcard address or not connected also fits,
// when no exact one exists. Nothing for other protocols or when no process holds it.
std::optional<SocketOwner> findSocketOwner(int family, int protocol, const SocketAddress& local,
                                           const SocketAddress& remote);

// The process that holds the socket with this inode, found through /proc/PID/fd.
std::optional<pid_t> processHoldingSocket(std::uint64_t inode);

// Whether address (numeric text) is assigned to an interface of this namespace.
bool isLocalAddress(const std::string& address);

}  // namespace netext
