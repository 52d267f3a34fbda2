#include "Conntrack.h"

#include <arpa/inet.h>
#include <linux/netfilter/nfnetlink.h>
#include <linux/netfilter/nfnetlink_conntrack.h>
#include <linux/netlink.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "OSLog.h"

namespace netext {

namespace {

// Walks the attributes of a netlink payload.
template <class F>
void forEachAttribute(std::string_view payload, F&& f) {
    while (payload.size() >= sizeof(nlattr)) {
        nlattr a;
        std::memcpy(&a, payload.data(), sizeof a);
        if (a.nla_len < sizeof(nlattr) || a.nla_len > payload.size()) return;
        f(int(a.nla_type & NLA_TYPE_MASK), payload.substr(NLA_HDRLEN, a.nla_len - NLA_HDRLEN));
        std::size_t step = NLA_ALIGN(a.nla_len);
        if (step >= payload.size()) return;
        payload.remove_prefix(step);
    }
}

std::string addressText(int family, std::string_view raw) {
    char buf[INET6_ADDRSTRLEN] = {};
    if (!inet_ntop(family, raw.data(), buf, sizeof buf)) return {};
    return buf;
}

std::uint16_t port(std::string_view raw) {
    if (raw.size() < 2) return 0;
    return std::uint16_t(std::uint8_t(raw[0]) << 8 | std::uint8_t(raw[1]));
}

}  // namespace

std::optional<ConntrackFlow> parseConntrackMessage(std::string_view message) {
    if (message.size() < NLMSG_HDRLEN + sizeof(nfgenmsg)) return std::nullopt;
    nlmsghdr h;
    std::memcpy(&h, message.data(), sizeof h);
    if (h.nlmsg_len > message.size() || h.nlmsg_len < NLMSG_HDRLEN + sizeof(nfgenmsg)) return std::nullopt;
    if (NFNL_SUBSYS_ID(h.nlmsg_type) != NFNL_SUBSYS_CTNETLINK || NFNL_MSG_TYPE(h.nlmsg_type) != IPCTNL_MSG_CT_NEW) {
        return std::nullopt;
    }
    nfgenmsg g;
    std::memcpy(&g, message.data() + NLMSG_HDRLEN, sizeof g);
    std::size_t offset = NLMSG_HDRLEN + NLMSG_ALIGN(sizeof(nfgenmsg));
    if (offset > h.nlmsg_len) return std::nullopt;
    std::string_view attributes = message.substr(offset, h.nlmsg_len - offset);

    ConntrackFlow flow;
    flow.family = g.nfgen_family;
    bool haveAddresses = false, haveProtocol = false;
    forEachAttribute(attributes, [&](int type, std::string_view tuple) {
        if (type != CTA_TUPLE_ORIG) return;
        forEachAttribute(tuple, [&](int part, std::string_view body) {
            if (part == CTA_TUPLE_IP) {
                forEachAttribute(body, [&](int t, std::string_view v) {
                    bool v4 = (t == CTA_IP_V4_SRC || t == CTA_IP_V4_DST) && v.size() == 4;
                    bool v6 = (t == CTA_IP_V6_SRC || t == CTA_IP_V6_DST) && v.size() == 16;
                    if (!v4 && !v6) return;
                    std::string text = addressText(v4 ? AF_INET : AF_INET6, v);
                    if (t == CTA_IP_V4_SRC || t == CTA_IP_V6_SRC) flow.sourceAddress = text;
                    else flow.destinationAddress = text;
                });
                haveAddresses = !flow.sourceAddress.empty() && !flow.destinationAddress.empty();
            } else if (part == CTA_TUPLE_PROTO) {
                forEachAttribute(body, [&](int t, std::string_view v) {
                    if (t == CTA_PROTO_NUM && v.size() >= 1) {
                        flow.protocol = std::uint8_t(v[0]);
                        haveProtocol = true;
                    } else if (t == CTA_PROTO_SRC_PORT) {
                        flow.sourcePort = port(v);
                    } else if (t == CTA_PROTO_DST_PORT) {
                        flow.destinationPort = port(v);
                    }
                });
            }
        });
    });
    if (!haveAddresses || !haveProtocol) return std::nullopt;
    return flow;
}

ConntrackListener::~ConntrackListener() { stop(); }

std::optional<std::string> ConntrackListener::start(Callback callback) {
    if (running()) return std::nullopt;
    int fd = ::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_NETFILTER);
    if (fd < 0) return std::string("cannot open a conntrack socket: ") + std::strerror(errno);
    sockaddr_nl addr{};
    addr.nl_family = AF_NETLINK;
    addr.nl_groups = NF_NETLINK_CONNTRACK_NEW;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        int err = errno;
        ::close(fd);
        return std::string("cannot subscribe to new connections: ") + std::strerror(err);
    }
    int size = 4 << 20;
    ::setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &size, sizeof size);
    wake_ = ::eventfd(0, EFD_CLOEXEC);
    socket_ = fd;
    thread_ = std::thread([this, callback = std::move(callback)] { run(callback); });
    return std::nullopt;
}

void ConntrackListener::stop() {
    if (!running()) return;
    std::uint64_t one = 1;
    [[maybe_unused]] ssize_t n = ::write(wake_, &one, sizeof one);
    thread_.join();
    ::close(socket_);
    ::close(wake_);
    socket_ = wake_ = -1;
}

void ConntrackListener::run(Callback callback) {
    static const oslog::Logger log("com.quillmark.netext", "conntrack");
    std::string buffer(1 << 16, '\0');
    for (;;) {
        pollfd fds[2] = {{socket_, POLLIN, 0}, {wake_, POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0) {
            if (errno == EINTR) continue;
            return;
        }
        if (fds[1].revents) return;
        ssize_t n = ::recv(socket_, buffer.data(), buffer.size(), MSG_DONTWAIT);
        if (n < 0) {
            if (errno == ENOBUFS) log.error("connection tracking news overflowed; some flows were missed");
            continue;
        }
        std::string_view data(buffer.data(), std::size_t(n));
        while (data.size() >= NLMSG_HDRLEN) {
            nlmsghdr h;
            std::memcpy(&h, data.data(), sizeof h);
            if (h.nlmsg_len < NLMSG_HDRLEN || h.nlmsg_len > data.size()) break;
            if (auto flow = parseConntrackMessage(data.substr(0, h.nlmsg_len))) callback(*flow);
            std::size_t step = NLMSG_ALIGN(h.nlmsg_len);
            if (step >= data.size()) break;
            data.remove_prefix(step);
        }
    }
}

}  // namespace netext
