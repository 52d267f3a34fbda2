#include "SocketOwner.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <ifaddrs.h>
#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <string_view>

namespace netext {

namespace {

struct RawAddress {
    int family = 0;
    std::uint8_t bytes[16] = {};
    bool wildcard() const {
        for (std::size_t i = 0; i < size(); ++i) {
            if (bytes[i]) return false;
        }
        return true;
    }
    std::size_t size() const { return family == AF_INET ? 4 : 16; }
};

std::optional<RawAddress> parse(int family, const std::string& text) {
    RawAddress a;
    a.family = family;
    if (inet_pton(family, text.c_str(), a.bytes) != 1) return std::nullopt;
    return a;
}

bool sameAddress(const RawAddress& a, const std::uint32_t* diag) {
    return std::memcmp(a.bytes, diag, a.size()) == 0;
}

bool diagWildcard(const std::uint32_t* diag, std::size_t size) {
    const auto* b = reinterpret_cast<const std::uint8_t*>(diag);
    for (std::size_t i = 0; i < size; ++i) {
        if (b[i]) return false;
    }
    return true;
}

}  // namespace

std::optional<SocketOwner> findSocketOwner(int family, int protocol, const SocketAddress& local,
                                           const SocketAddress& remote) {
    if (protocol != IPPROTO_TCP && protocol != IPPROTO_UDP) return std::nullopt;
    auto localRaw = parse(family, local.address);
    auto remoteRaw = parse(family, remote.address);
    if (!localRaw || !remoteRaw) return std::nullopt;

    int fd = ::socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG);
    if (fd < 0) return std::nullopt;
    struct {
        nlmsghdr header;
        inet_diag_req_v2 request;
    } req{};
    req.header.nlmsg_len = sizeof req;
    req.header.nlmsg_type = SOCK_DIAG_BY_FAMILY;
    req.header.nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
    req.request.sdiag_family = std::uint8_t(family);
    req.request.sdiag_protocol = std::uint8_t(protocol);
    req.request.idiag_states = ~0u;
    if (::send(fd, &req, sizeof req, 0) < 0) {
        ::close(fd);
        return std::nullopt;
    }

    // Best fit: an exact match of both ends wins over a wildcard one.
    std::optional<SocketOwner> exact, loose;
    std::string buffer(1 << 16, '\0');
    bool done = false;
    while (!done) {
        ssize_t n = ::recv(fd, buffer.data(), buffer.size(), 0);
        if (n <= 0) break;
        std::string_view data(buffer.data(), std::size_t(n));
        while (data.size() >= NLMSG_HDRLEN) {
            nlmsghdr h;
            std::memcpy(&h, data.data(), sizeof h);
            if (h.nlmsg_len < NLMSG_HDRLEN || h.nlmsg_len > data.size()) {
                done = true;
                break;
            }
            if (h.nlmsg_type == NLMSG_DONE || h.nlmsg_type == NLMSG_ERROR) {
                done = true;
                break;
            }
            if (h.nlmsg_len >= NLMSG_HDRLEN + sizeof(inet_diag_msg)) {
                inet_diag_msg m;
                std::memcpy(&m, data.data() + NLMSG_HDRLEN, sizeof m);
                const auto& id = m.id;
                bool localPort = ntohs(id.idiag_sport) == local.port;
                bool localExact = localPort && sameAddress(*localRaw, id.idiag_src);
                bool localLoose = localPort && diagWildcard(id.idiag_src, localRaw->size());
                bool remoteExact = ntohs(id.idiag_dport) == remote.port && sameAddress(*remoteRaw, id.idiag_dst);
                bool remoteLoose = id.idiag_dport == 0 && diagWildcard(id.idiag_dst, remoteRaw->size());
                if (m.idiag_inode != 0) {
                    SocketOwner owner{m.idiag_inode, m.idiag_uid, 0};
                    if (localExact && remoteExact) exact = owner;
                    else if ((localExact || localLoose) && (remoteExact || remoteLoose) && !loose) loose = owner;
                }
            }
            std::size_t step = NLMSG_ALIGN(h.nlmsg_len);
            if (step >= data.size()) break;
            data.remove_prefix(step);
        }
    }
    ::close(fd);

    std::optional<SocketOwner> found = exact ? exact : loose;
    if (!found) return std::nullopt;
    auto pid = processHoldingSocket(found->inode);
    if (!pid) return std::nullopt;
    found->pid = *pid;
    return found;
}

std::optional<pid_t> processHoldingSocket(std::uint64_t inode) {
    const std::string target = "socket:[" + std::to_string(inode) + "]";
    DIR* proc = ::opendir("/proc");
    if (!proc) return std::nullopt;
    std::optional<pid_t> found;
    while (!found) {
        dirent* entry = ::readdir(proc);
        if (!entry) break;
        char* end = nullptr;
        long pid = std::strtol(entry->d_name, &end, 10);
        if (*end != '\0' || pid <= 0) continue;
        std::string fdDir = std::string("/proc/") + entry->d_name + "/fd";
        DIR* fds = ::opendir(fdDir.c_str());
        if (!fds) continue;
        char link[64];
        while (dirent* f = ::readdir(fds)) {
            if (f->d_name[0] == '.') continue;
            ssize_t n = ::readlinkat(::dirfd(fds), f->d_name, link, sizeof link);
            if (n > 0 && std::string_view(link, std::size_t(n)) == target) {
                found = pid_t(pid);
                break;
            }
        }
        ::closedir(fds);
    }
    ::closedir(proc);
    return found;
}

bool isLocalAddress(const std::string& address) {
    RawAddress a;
    if (inet_pton(AF_INET, address.c_str(), a.bytes) == 1) a.family = AF_INET;
    else if (inet_pton(AF_INET6, address.c_str(), a.bytes) == 1) a.family = AF_INET6;
    else return false;
    ifaddrs* list = nullptr;
    if (::getifaddrs(&list) != 0) return false;
    bool local = false;
    for (ifaddrs* i = list; i && !local; i = i->ifa_next) {
        if (!i->ifa_addr || i->ifa_addr->sa_family != a.family) continue;
        const void* raw = a.family == AF_INET
                              ? static_cast<const void*>(&reinterpret_cast<sockaddr_in*>(i->ifa_addr)->sin_addr)
                              : static_cast<const void*>(&reinterpret_cast<sockaddr_in6*>(i->ifa_addr)->sin6_addr);
        local = std::memcmp(raw, a.bytes, a.size()) == 0;
    }
    ::freeifaddrs(list);
    return local;
}

}  // namespace netext
