#pragma once
// Loopback addresses and the loopback interface, for tests that make traffic
// inside a private network namespace.

#include <arpa/inet.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>

namespace looptest {

inline sockaddr_in loopback(std::uint16_t port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return a;
}

// The local port a socket is bound to.
inline std::uint16_t localPort(int fd) {
    sockaddr_in a{};
    socklen_t len = sizeof a;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    return ntohs(a.sin_port);
}

// Brings the namespace's loopback interface up (what `ip link set lo up` does).
inline bool loopbackUp() {
    int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ifreq r{};
    std::strcpy(r.ifr_name, "lo");
    bool ok = ::ioctl(fd, SIOCGIFFLAGS, &r) == 0;
    r.ifr_flags = short(r.ifr_flags | IFF_UP);
    ok = ok && ::ioctl(fd, SIOCSIFFLAGS, &r) == 0;
    ::close(fd);
    return ok;
}

}  // namespace looptest
