#include "FlowTable.h"

#include <arpa/inet.h>
#include <linux/netfilter.h>
#include <linux/netfilter/nf_conntrack_common.h>
#include <linux/netfilter/nf_tables.h>
#include <linux/netfilter/nf_tables_compat.h>
#include <linux/netfilter/nfnetlink.h>
#include <linux/netfilter/x_tables.h>
#include <linux/netfilter/xt_NFQUEUE.h>
#include <linux/netlink.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

namespace netext {

namespace {

constexpr const char* kTableName = "flowspur";

// One batch of nf_tables messages with their attributes.
class Batch {
public:
    Batch() { begin(NFNL_MSG_BATCH_BEGIN, AF_UNSPEC, NLM_F_REQUEST, NFNL_SUBSYS_NFTABLES); }

    void message(int type, int flags) {
        finish();
        begin(std::uint16_t((NFNL_SUBSYS_NFTABLES << 8) | type), NFPROTO_INET,
              std::uint16_t(NLM_F_REQUEST | NLM_F_ACK | flags), 0);
        ++acks_;
    }
    void string(std::uint16_t type, std::string_view s) {
        std::string z(s);
        z += '\0';
        bytes(type, z.data(), z.size());
    }
    void be32(std::uint16_t type, std::uint32_t v) {
        v = htonl(v);
        bytes(type, &v, 4);
    }
    void bytes(std::uint16_t type, const void* data, std::size_t size) {
        nlattr a{std::uint16_t(NLA_HDRLEN + size), type};
        append(&a, sizeof a);
        append(data, size);
        pad();
    }
    std::size_t openNest(std::uint16_t type) {
        std::size_t at = out_.size();
        nlattr a{0, std::uint16_t(type | NLA_F_NESTED)};
        append(&a, sizeof a);
        return at;
    }
    void closeNest(std::size_t at) {
        std::uint16_t len = std::uint16_t(out_.size() - at);
        std::memcpy(out_.data() + at, &len, sizeof len);
    }
    // A value attribute (NFTA_DATA_VALUE nested in type).
    void data(std::uint16_t type, const void* value, std::size_t size) {
        std::size_t n = openNest(type);
        bytes(NFTA_DATA_VALUE, value, size);
        closeNest(n);
    }

    std::string done() {
        finish();
        begin(NFNL_MSG_BATCH_END, AF_UNSPEC, NLM_F_REQUEST, NFNL_SUBSYS_NFTABLES);
        finish();
        return out_;
    }
    int acks() const { return acks_; }

private:
    void begin(std::uint16_t type, std::uint8_t family, std::uint16_t flags, std::uint16_t resId) {
        start_ = out_.size();
        nlmsghdr h{0, type, flags, seq_++, 0};
        append(&h, sizeof h);
        nfgenmsg g{family, NFNETLINK_V0, htons(resId)};
        append(&g, sizeof g);
        pad();
    }
    void finish() {
        if (start_ == std::string::npos) return;
        std::uint32_t len = std::uint32_t(out_.size() - start_);
        std::memcpy(out_.data() + start_, &len, sizeof len);
        start_ = std::string::npos;
    }
    void append(const void* p, std::size_t n) { out_.append(static_cast<const char*>(p), n); }
    void pad() { out_.resize(NLMSG_ALIGN(out_.size()), '\0'); }

    std::string out_;
    std::size_t start_ = std::string::npos;
    std::uint32_t seq_ = 1;
    int acks_ = 0;
};

// One expression of a rule: its name and its attributes.
template <class F>
void expression(Batch& b, const char* name, F&& attributes) {
    std::size_t elem = b.openNest(NFTA_LIST_ELEM);
    b.string(NFTA_EXPR_NAME, name);
    std::size_t data = b.openNest(NFTA_EXPR_DATA);
    attributes();
    b.closeNest(data);
    b.closeNest(elem);
}

// cmp: register 1 != value
void registerDiffers(Batch& b, std::uint32_t value) {
    expression(b, "cmp", [&] {
        b.be32(NFTA_CMP_SREG, NFT_REG_1);
        b.be32(NFTA_CMP_OP, NFT_CMP_NEQ);
        b.data(NFTA_CMP_DATA, &value, 4);
    });
}

void tableMessage(Batch& b, int type) {
    b.message(type, type == NFT_MSG_NEWTABLE ? NLM_F_CREATE : 0);
    b.string(NFTA_TABLE_NAME, kTableName);
}

// cmp: register 1 == value (one byte)
void registerIsByte(Batch& b, std::uint8_t value) {
    expression(b, "cmp", [&] {
        b.be32(NFTA_CMP_SREG, NFT_REG_1);
        b.be32(NFTA_CMP_OP, NFT_CMP_EQ);
        b.data(NFTA_CMP_DATA, &value, 1);
    });
}

// The socket flows that are described: other protocols (ICMP echoes, ...) pass unqueued.
constexpr std::uint8_t kQueuedProtocols[] = {IPPROTO_TCP, IPPROTO_UDP};

// [iif != lo] meta l4proto protocol ct state new -> NFQUEUE queue (bypass)
void queueRule(Batch& b, const char* chain, int hook, std::uint8_t protocol, std::uint16_t queue) {
    b.message(NFT_MSG_NEWRULE, NLM_F_CREATE | NLM_F_APPEND);
    b.string(NFTA_RULE_TABLE, kTableName);
    b.string(NFTA_RULE_CHAIN, chain);
    std::size_t list = b.openNest(NFTA_RULE_EXPRESSIONS);
    const std::uint32_t zero = 0;
    if (hook == NF_INET_LOCAL_IN) {
        // iif != lo (the loopback interface is number 1 in every namespace)
        const std::uint32_t loopback = 1;
        expression(b, "meta", [&] {
            b.be32(NFTA_META_DREG, NFT_REG_1);
            b.be32(NFTA_META_KEY, NFT_META_IIF);
        });
        registerDiffers(b, loopback);
    }
    expression(b, "meta", [&] {
        b.be32(NFTA_META_DREG, NFT_REG_1);
        b.be32(NFTA_META_KEY, NFT_META_L4PROTO);
    });
    registerIsByte(b, protocol);
    // ct state new
    const std::uint32_t newState = NF_CT_STATE_BIT(IP_CT_NEW);
    expression(b, "ct", [&] {
        b.be32(NFTA_CT_DREG, NFT_REG_1);
        b.be32(NFTA_CT_KEY, NFT_CT_STATE);
    });
    expression(b, "bitwise", [&] {
        b.be32(NFTA_BITWISE_SREG, NFT_REG_1);
        b.be32(NFTA_BITWISE_DREG, NFT_REG_1);
        b.be32(NFTA_BITWISE_LEN, 4);
        b.data(NFTA_BITWISE_MASK, &newState, 4);
        b.data(NFTA_BITWISE_XOR, &zero, 4);
    });
    registerDiffers(b, zero);
    // xt NFQUEUE --queue-num queue --queue-bypass
    expression(b, "target", [&] {
        b.string(NFTA_TARGET_NAME, "NFQUEUE");
        b.be32(NFTA_TARGET_REV, 3);
        std::uint8_t info[XT_ALIGN(sizeof(xt_NFQ_info_v3))] = {};
        xt_NFQ_info_v3 q{queue, 1, NFQ_FLAG_BYPASS};
        std::memcpy(info, &q, sizeof q);
        b.bytes(NFTA_TARGET_INFO, info, sizeof info);
    });
    b.closeNest(list);
}

void chainWithQueueRules(Batch& b, const char* name, int hook, std::uint16_t queue) {
    b.message(NFT_MSG_NEWCHAIN, NLM_F_CREATE);
    b.string(NFTA_CHAIN_TABLE, kTableName);
    b.string(NFTA_CHAIN_NAME, name);
    std::size_t h = b.openNest(NFTA_CHAIN_HOOK);
    b.be32(NFTA_HOOK_HOOKNUM, std::uint32_t(hook));
    b.be32(NFTA_HOOK_PRIORITY, 0);
    b.closeNest(h);
    b.be32(NFTA_CHAIN_POLICY, NF_ACCEPT);
    b.string(NFTA_CHAIN_TYPE, "filter");
    for (std::uint8_t protocol : kQueuedProtocols) queueRule(b, name, hook, protocol, queue);
}

// Sends a batch and reads its acknowledgements; the first error, if any.
std::optional<std::string> sendBatch(Batch& batch, bool absentIsFine) {
    std::string bytes = batch.done();
    int acks = batch.acks();
    int fd = ::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_NETFILTER);
    if (fd < 0) return std::string("netlink: ") + std::strerror(errno);
    sockaddr_nl kernel{};
    kernel.nl_family = AF_NETLINK;
    std::optional<std::string> error;
    if (::sendto(fd, bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr*>(&kernel), sizeof kernel) < 0) {
        error = std::string("nftables: ") + std::strerror(errno);
    }
    std::vector<char> buf(1 << 16);
    while (!error && acks > 0) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 5000) <= 0) {
            error = "nftables: no answer from the kernel";
            break;
        }
        ssize_t n = ::recv(fd, buf.data(), buf.size(), 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            error = std::string("nftables: ") + std::strerror(errno);
            break;
        }
        int left = int(n);
        for (auto* h = reinterpret_cast<nlmsghdr*>(buf.data()); NLMSG_OK(h, left); h = NLMSG_NEXT(h, left)) {
            if (h->nlmsg_type != NLMSG_ERROR) continue;
            --acks;
            int code = -reinterpret_cast<nlmsgerr*>(NLMSG_DATA(h))->error;
            if (code != 0 && !(absentIsFine && code == ENOENT)) {
                error = std::string("nftables: ") + std::strerror(code);
                break;
            }
        }
    }
    ::close(fd);
    return error;
}

}  // namespace

std::optional<std::string> installFlowTable(std::uint16_t queue) {
    Batch b;
    tableMessage(b, NFT_MSG_NEWTABLE);  // so that the deletion finds one
    tableMessage(b, NFT_MSG_DELTABLE);
    tableMessage(b, NFT_MSG_NEWTABLE);
    chainWithQueueRules(b, "inbound", NF_INET_LOCAL_IN, queue);
    chainWithQueueRules(b, "outbound", NF_INET_LOCAL_OUT, queue);
    return sendBatch(b, false);
}

std::optional<std::string> removeFlowTable() {
    Batch b;
    tableMessage(b, NFT_MSG_DELTABLE);
    return sendBatch(b, true);
}

}  // namespace netext
