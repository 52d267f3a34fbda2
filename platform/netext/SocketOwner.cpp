#include "SocketOwner.h"

#include "OwnerCapture.h"
#include "PacketHeaders.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <netinet/tcp.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <utility>
#include <vector>

namespace netext {

namespace {

struct RawAddress {
    int family = 0;
    std::uint8_t bytes[16] = {};
    std::size_t size() const { return family == AF_INET ? 4 : 16; }
};

std::optional<RawAddress> parse(int family, const std::string& text) {
    RawAddress a;
    a.family = family;
    if (inet_pton(family, text.c_str(), a.bytes) != 1) return std::nullopt;
    return a;
}

// The IPv4-mapped IPv6 form of an IPv4 address (::ffff:a.b.c.d).
RawAddress mapped(const RawAddress& v4) {
    RawAddress a;
    a.family = AF_INET6;
    a.bytes[10] = a.bytes[11] = 0xFF;
    std::memcpy(a.bytes + 12, v4.bytes, 4);
    return a;
}

bool sameAddress(const RawAddress& a, const std::uint32_t* diag) { return std::memcmp(a.bytes, diag, a.size()) == 0; }

bool diagWildcard(const std::uint32_t* diag, std::size_t size) {
    const auto* b = reinterpret_cast<const std::uint8_t*>(diag);
    return std::all_of(b, b + size, [](std::uint8_t x) { return x == 0; });
}

// The states a flow's socket can be in when its first packet is queued: connecting
// (outbound), listening (inbound), or established (a connected UDP socket's state,
// and TCP's after a simultaneous open). Leaving out the rest keeps the many sockets
// of closed connections (time-wait) out of the dump.
constexpr std::uint32_t kTcpStates = (1u << TCP_SYN_SENT) | (1u << TCP_LISTEN) | (1u << TCP_ESTABLISHED) |
                                     (1u << TCP_SYN_RECV);

struct DiagRequest {
    nlmsghdr header;
    inet_diag_req_v2 request;
};

DiagRequest diagRequest(int family, int protocol, std::uint16_t flags, std::uint32_t states) {
    DiagRequest req{};
    req.header.nlmsg_len = sizeof req;
    req.header.nlmsg_type = SOCK_DIAG_BY_FAMILY;
    req.header.nlmsg_flags = std::uint16_t(NLM_F_REQUEST | flags);
    req.request.sdiag_family = std::uint8_t(family);
    req.request.sdiag_protocol = std::uint8_t(protocol);
    req.request.idiag_states = states;
    return req;
}

// A new socket-diagnostics socket that the request was sent on; -1 on failure.
int sendDiag(const DiagRequest& req) {
    int fd = ::socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG);
    if (fd >= 0 && ::send(fd, &req, sizeof req, 0) < 0) ::close(std::exchange(fd, -1));
    return fd;
}

std::optional<SocketOwner> dumpLookup(int protocol, const RawAddress& local, std::uint16_t localPort,
                                      const RawAddress& remote, std::uint16_t remotePort) {
    int fd = sendDiag(diagRequest(local.family, protocol, NLM_F_DUMP, protocol == IPPROTO_TCP ? kTcpStates : ~0u));
    if (fd < 0) return std::nullopt;

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
            if (h.nlmsg_len < NLMSG_HDRLEN || h.nlmsg_len > data.size() || h.nlmsg_type == NLMSG_DONE ||
                h.nlmsg_type == NLMSG_ERROR) {
                done = true;
                break;
            }
            if (h.nlmsg_len >= NLMSG_HDRLEN + sizeof(inet_diag_msg)) {
                inet_diag_msg m;
                std::memcpy(&m, data.data() + NLMSG_HDRLEN, sizeof m);
                const auto& id = m.id;
                bool localPortFits = ntohs(id.idiag_sport) == localPort;
                bool localExact = localPortFits && sameAddress(local, id.idiag_src);
                bool localLoose = localPortFits && diagWildcard(id.idiag_src, local.size());
                bool remoteExact = ntohs(id.idiag_dport) == remotePort && sameAddress(remote, id.idiag_dst);
                bool remoteLoose = id.idiag_dport == 0 && diagWildcard(id.idiag_dst, remote.size());
                if (m.idiag_inode != 0) {
                    SocketOwner owner{m.idiag_inode, m.idiag_uid, 0, m.idiag_family, remoteExact};
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
    return exact ? exact : loose;
}

// The kernel's own lookup of one TCP socket by its two ends (what an arriving packet
// would find: the connection's socket, or else the listener): much cheaper than a dump,
// which walks every bucket of the connection hash.
std::optional<SocketOwner> exactTcpLookup(const RawAddress& local, std::uint16_t localPort, const RawAddress& remote,
                                          std::uint16_t remotePort) {
    DiagRequest req = diagRequest(local.family, IPPROTO_TCP, 0, ~0u);
    req.request.id.idiag_sport = htons(localPort);
    req.request.id.idiag_dport = htons(remotePort);
    std::memcpy(req.request.id.idiag_src, local.bytes, local.size());
    std::memcpy(req.request.id.idiag_dst, remote.bytes, remote.size());
    req.request.id.idiag_cookie[0] = req.request.id.idiag_cookie[1] = INET_DIAG_NOCOOKIE;
    int fd = sendDiag(req);
    if (fd < 0) return std::nullopt;
    std::optional<SocketOwner> found;
    char buffer[1024];
    ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
    if (n >= ssize_t(NLMSG_HDRLEN + sizeof(inet_diag_msg))) {
        nlmsghdr h;
        std::memcpy(&h, buffer, sizeof h);
        if (h.nlmsg_type == SOCK_DIAG_BY_FAMILY) {
            inet_diag_msg m;
            std::memcpy(&m, buffer + NLMSG_HDRLEN, sizeof m);
            if (m.idiag_inode != 0) {
                found = SocketOwner{m.idiag_inode, m.idiag_uid, 0, m.idiag_family, m.id.idiag_dport != 0};
            }
        }
    }
    ::close(fd);
    return found;
}

// The inode of a "socket:[N]" link text.
std::optional<std::uint64_t> socketInode(std::string_view link) {
    constexpr std::string_view prefix = "socket:[";
    if (link.size() <= prefix.size() + 1 || link.substr(0, prefix.size()) != prefix || link.back() != ']') {
        return std::nullopt;
    }
    std::uint64_t v = 0;
    for (char c : link.substr(prefix.size(), link.size() - prefix.size() - 1)) {
        if (c < '0' || c > '9') return std::nullopt;
        v = v * 10 + std::uint64_t(c - '0');
    }
    return v;
}

constexpr std::size_t kRecentProcesses = 8;

}  // namespace

std::optional<SocketOwner> findSocket(int family, int protocol, const SocketAddress& local,
                                      const SocketAddress& remote) {
    if (protocol != IPPROTO_TCP && protocol != IPPROTO_UDP) return std::nullopt;
    auto localRaw = parse(family, local.address);
    auto remoteRaw = parse(family, remote.address);
    if (!localRaw || !remoteRaw) return std::nullopt;
    std::vector<std::pair<RawAddress, RawAddress>> forms{{*localRaw, *remoteRaw}};
    if (family == AF_INET) forms.emplace_back(mapped(*localRaw), mapped(*remoteRaw));
    if (protocol == IPPROTO_TCP) {
        for (const auto& [l, r] : forms) {
            if (auto found = exactTcpLookup(l, local.port, r, remote.port)) return found;
        }
    }
    for (const auto& [l, r] : forms) {
        if (auto found = dumpLookup(protocol, l, local.port, r, remote.port)) return found;
    }
    return std::nullopt;
}

std::optional<SocketOwner> findSocketOwner(int family, int protocol, const SocketAddress& local,
                                           const SocketAddress& remote, SocketIndex& index) {
    auto found = findSocket(family, protocol, local, remote);
    if (!found) return std::nullopt;
    auto pid = index.processHolding(found->inode);
    if (!pid) return std::nullopt;
    found->pid = *pid;
    return found;
}

// ---- SocketIndex ---------------------------------------------------------------------

SocketIndex::SocketIndex() {
    listed_ = listProcesses();
    for (pid_t pid : listed_) scanProcess(pid, holders_);
}

SocketIndex::~SocketIndex() {
    if (rescan_.joinable()) rescan_.join();
}

std::optional<pid_t> SocketIndex::processHolding(std::uint64_t inode) {
    takeRescan();
    if (auto pid = lookup(inode)) return pid;
    for (pid_t pid : std::deque<pid_t>(recent_)) {
        scanProcess(pid, holders_);
        if (auto found = lookup(inode)) return found;
    }
    auto now = listProcesses();
    for (pid_t pid : now) {
        if (!listed_.count(pid)) scanProcess(pid, holders_);
    }
    listed_ = std::move(now);
    if (auto found = lookup(inode)) return found;
    startRescan();
    return std::nullopt;
}

std::optional<pid_t> SocketIndex::lookup(std::uint64_t inode) {
    auto it = holders_.find(inode);
    if (it == holders_.end() || !stillHolds(inode, it->second)) return std::nullopt;
    noteRecent(it->second.pid);
    return it->second.pid;
}

bool SocketIndex::stillHolds(std::uint64_t inode, const Holder& holder) {
    std::string path = "/proc/" + std::to_string(holder.pid) + "/fd/" + std::to_string(holder.fd);
    char link[64];
    ssize_t n = ::readlink(path.c_str(), link, sizeof link);
    return n > 0 && socketInode(std::string_view(link, std::size_t(n))) == inode;
}

void SocketIndex::scanProcess(pid_t pid, Holders& into) {
    std::string dir = "/proc/" + std::to_string(pid) + "/fd";
    DIR* fds = ::opendir(dir.c_str());
    if (!fds) return;
    char link[64];
    while (dirent* f = ::readdir(fds)) {
        if (f->d_name[0] == '.') continue;
        ssize_t n = ::readlinkat(::dirfd(fds), f->d_name, link, sizeof link);
        if (n <= 0) continue;
        if (auto inode = socketInode(std::string_view(link, std::size_t(n)))) {
            into[*inode] = Holder{pid, std::atoi(f->d_name)};
        }
    }
    ::closedir(fds);
}

std::unordered_set<pid_t> SocketIndex::listProcesses() {
    std::unordered_set<pid_t> pids;
    DIR* proc = ::opendir("/proc");
    if (!proc) return pids;
    while (dirent* entry = ::readdir(proc)) {
        char* end = nullptr;
        long pid = std::strtol(entry->d_name, &end, 10);
        if (*end == '\0' && pid > 0) pids.insert(pid_t(pid));
    }
    ::closedir(proc);
    return pids;
}

void SocketIndex::noteRecent(pid_t pid) {
    auto it = std::find(recent_.begin(), recent_.end(), pid);
    if (it != recent_.end()) recent_.erase(it);
    recent_.push_front(pid);
    if (recent_.size() > kRecentProcesses) recent_.pop_back();
}

void SocketIndex::takeRescan() {
    std::lock_guard lock(rescanMutex_);
    if (!rescanned_) return;
    holders_ = std::move(*rescanned_);
    rescanned_.reset();
}

void SocketIndex::startRescan() {
    auto now = std::chrono::steady_clock::now();
    if (now - lastRescan_ < std::chrono::seconds(1)) return;
    {
        std::lock_guard lock(rescanMutex_);
        if (rescanned_) return;  // one is waiting to be taken
    }
    if (rescan_.joinable()) rescan_.join();  // finished: it set rescanned_ and it was taken
    lastRescan_ = now;
    rescan_ = std::thread([this] {
        Holders fresh;
        for (pid_t pid : listProcesses()) scanProcess(pid, fresh);
        std::lock_guard lock(rescanMutex_);
        rescanned_ = std::move(fresh);
    });
}

// ---- FlowOwners ----------------------------------------------------------------------

namespace {

std::optional<std::array<std::uint8_t, 16>> address16(int family, const std::string& text) {
    std::array<std::uint8_t, 16> a{};
    if (family == AF_INET) {
        a[10] = a[11] = 0xFF;
        if (inet_pton(AF_INET, text.c_str(), a.data() + 12) != 1) return std::nullopt;
    } else if (inet_pton(AF_INET6, text.c_str(), a.data()) != 1) {
        return std::nullopt;
    }
    return a;
}

// Whether the process pid that started at startTicks still runs.
bool stillRuns(pid_t pid, std::uint64_t startTicks) {
    auto info = proc::proc_pidbsdinfo(pid);
    return info && info->startTicks == startTicks;
}

// The kernel records a connected UDP socket's datagram just after it passed the output
// hook: a miss of such a flow is asked again for this long.
constexpr auto kSendRecordWait = std::chrono::milliseconds(2);

}  // namespace

FlowOwners::FlowOwners() = default;
FlowOwners::~FlowOwners() = default;

std::optional<std::string> FlowOwners::start(bool kernel) {
    std::optional<std::string> why;
    if (kernel) {
        std::string reason;
        capture_ = flowowner::OwnerCapture::load(reason);
        if (!capture_) why = reason;
    } else {
        why = "not asked for";
    }
    auto index = std::make_unique<SocketIndex>();
    std::lock_guard lock(indexMutex_);
    index_ = std::move(index);
    return why;
}

void FlowOwners::stop() {
    capture_.reset();
    std::lock_guard lock(indexMutex_);
    index_.reset();
}

std::optional<FlowOwner> FlowOwners::recorded(const QueuedPacket& p) const {
    const std::string& localText = p.outbound ? p.sourceAddress : p.destinationAddress;
    const std::string& remoteText = p.outbound ? p.destinationAddress : p.sourceAddress;
    auto local = address16(p.family, localText);
    auto remote = address16(p.family, remoteText);
    if (!local || !remote) return std::nullopt;
    flowowner::FlowEnds ends;
    ends.protocol = p.protocol;
    ends.localPort = p.outbound ? p.sourcePort : p.destinationPort;
    // Outbound: the connected socket; inbound: the listening or bound one, which has no
    // remote end. Either may be on the wildcard address.
    if (p.outbound) {
        ends.remote = *remote;
        ends.remotePort = p.destinationPort;
    }
    std::optional<flowowner::Owner> found;
    for (const auto& address : {*local, std::array<std::uint8_t, 16>{}}) {
        ends.local = address;
        if ((found = capture_->find(ends))) break;
    }
    if (!found) return std::nullopt;
    // A listening or bound socket outlives the process that made it when a child inherits
    // it or another process is handed it: its record names that process only while it
    // runs; else the socket's holder is found as for a socket without a record.
    if (!p.outbound && !stillRuns(found->pid, found->startTicks)) return std::nullopt;
    FlowOwner owner;
    // In the kernel's order, as auditTokenForPid fills it.
    owner.token = proc::audit_token_t{{found->auid, found->euid, found->egid, found->uid, found->gid,
                                       std::uint32_t(found->pid), found->sessionid, std::uint32_t(found->startTicks)}};
    owner.family = found->family;
    proc::proc_bsdinfo info;
    info.pbi_pid = std::uint32_t(found->pid);
    info.pbi_ppid = std::uint32_t(found->ppid);
    info.pbi_uid = found->euid;
    info.pbi_gid = found->egid;
    info.pbi_ruid = found->uid;
    info.pbi_rgid = found->gid;
    if (auto timed = proc::withStartTicks(info, found->startTicks)) owner.record = proc::ProcessRecord{*timed, found->path};
    return owner;
}

std::optional<FlowOwner> FlowOwners::ownerOf(const QueuedPacket& p) {
    if (capture_) {
        if (auto owner = recorded(p)) return owner;
    }
    SocketAddress local{p.outbound ? p.sourceAddress : p.destinationAddress,
                        p.outbound ? p.sourcePort : p.destinationPort};
    SocketAddress remote{p.outbound ? p.destinationAddress : p.sourceAddress,
                         p.outbound ? p.destinationPort : p.sourcePort};
    auto socket = findSocket(p.family, p.protocol, local, remote);
    if (!socket) return std::nullopt;
    // Only a connected UDP socket's record can come after its datagram; an unconnected
    // send is recorded before the datagram leaves, and a socket already closed has
    // returned from its send, so for those a miss stays a miss.
    if (capture_ && p.outbound && p.protocol == IPPROTO_UDP && socket->connected) {
        for (auto until = std::chrono::steady_clock::now() + kSendRecordWait; std::chrono::steady_clock::now() < until;) {
            if (auto owner = recorded(p)) return owner;
            std::this_thread::sleep_for(std::chrono::microseconds(100));
        }
    }
    std::optional<pid_t> pid;
    {
        std::lock_guard lock(indexMutex_);
        if (index_) pid = index_->processHolding(socket->inode);
    }
    if (!pid) return std::nullopt;
    auto token = proc::auditTokenForPid(*pid);
    if (!token) return std::nullopt;
    return FlowOwner{*token, socket->family, std::nullopt};
}

}  // namespace netext
