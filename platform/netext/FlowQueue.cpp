#include "FlowQueue.h"

#include <arpa/inet.h>
#include <linux/netfilter.h>
#include <linux/netfilter/nf_tables.h>
#include <linux/netfilter/nf_tables_compat.h>
#include <linux/netfilter/nfnetlink.h>
#include <linux/netfilter/x_tables.h>
#include <linux/netfilter/xt_NFQUEUE.h>
#include <linux/netfilter/nf_conntrack_common.h>
#include <linux/netlink.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>
#include <utility>
#include <vector>

#include "OSLog.h"

extern "C" {
#include <libnetfilter_queue/libnetfilter_queue.h>
}

namespace netext {

namespace {

constexpr const char* kTableName = "flowspur";

// ---- nf_tables messages --------------------------------------------------------------

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

void chainWithQueueRule(Batch& b, const char* name, int hook, std::uint16_t queue) {
    b.message(NFT_MSG_NEWCHAIN, NLM_F_CREATE);
    b.string(NFTA_CHAIN_TABLE, kTableName);
    b.string(NFTA_CHAIN_NAME, name);
    std::size_t h = b.openNest(NFTA_CHAIN_HOOK);
    b.be32(NFTA_HOOK_HOOKNUM, std::uint32_t(hook));
    b.be32(NFTA_HOOK_PRIORITY, 0);
    b.closeNest(h);
    b.be32(NFTA_CHAIN_POLICY, NF_ACCEPT);
    b.string(NFTA_CHAIN_TYPE, "filter");

    b.message(NFT_MSG_NEWRULE, NLM_F_CREATE | NLM_F_APPEND);
    b.string(NFTA_RULE_TABLE, kTableName);
    b.string(NFTA_RULE_CHAIN, name);
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

// ---- packets -------------------------------------------------------------------------

std::string addressText(int family, const void* raw) {
    char text[INET6_ADDRSTRLEN] = {};
    ::inet_ntop(family, raw, text, sizeof text);
    return text;
}

std::uint16_t portAt(std::string_view p, std::size_t at) {
    return std::uint16_t((std::uint8_t(p[at]) << 8) | std::uint8_t(p[at + 1]));
}

}  // namespace

std::optional<std::string> installFlowTable(std::uint16_t queue) {
    Batch b;
    tableMessage(b, NFT_MSG_NEWTABLE);  // so that the deletion finds one
    tableMessage(b, NFT_MSG_DELTABLE);
    tableMessage(b, NFT_MSG_NEWTABLE);
    chainWithQueueRule(b, "inbound", NF_INET_LOCAL_IN, queue);
    chainWithQueueRule(b, "outbound", NF_INET_LOCAL_OUT, queue);
    return sendBatch(b, false);
}

std::optional<std::string> removeFlowTable() {
    Batch b;
    tableMessage(b, NFT_MSG_DELTABLE);
    return sendBatch(b, true);
}

std::optional<QueuedPacket> parsePacket(std::string_view p, bool outbound) {
    QueuedPacket q;
    q.outbound = outbound;
    std::size_t transport = 0;
    if (p.size() >= 20 && (std::uint8_t(p[0]) >> 4) == 4) {
        std::size_t headerLength = std::size_t(std::uint8_t(p[0]) & 15) * 4;
        if (headerLength < 20 || p.size() < headerLength) return std::nullopt;
        q.family = AF_INET;
        q.protocol = std::uint8_t(p[9]);
        q.sourceAddress = addressText(AF_INET, p.data() + 12);
        q.destinationAddress = addressText(AF_INET, p.data() + 16);
        // Only the first fragment carries the ports.
        bool laterFragment = ((std::uint8_t(p[6]) & 0x1F) | std::uint8_t(p[7])) != 0;
        transport = laterFragment ? 0 : headerLength;
    } else if (p.size() >= 40 && (std::uint8_t(p[0]) >> 4) == 6) {
        q.family = AF_INET6;
        q.sourceAddress = addressText(AF_INET6, p.data() + 8);
        q.destinationAddress = addressText(AF_INET6, p.data() + 24);
        int next = std::uint8_t(p[6]);
        std::size_t at = 40;
        // Hop-by-hop, routing and destination options come before the transport header.
        while ((next == 0 || next == 43 || next == 60) && p.size() >= at + 8) {
            next = std::uint8_t(p[at]);
            at += (std::size_t(std::uint8_t(p[at + 1])) + 1) * 8;
        }
        q.protocol = next;
        transport = at;
    } else {
        return std::nullopt;
    }
    bool ports = q.protocol == IPPROTO_TCP || q.protocol == IPPROTO_UDP;
    if (ports && transport != 0 && p.size() >= transport + 4) {
        q.sourcePort = portAt(p, transport);
        q.destinationPort = portAt(p, transport + 2);
    }
    return q;
}

// ---- FlowQueue -----------------------------------------------------------------------

struct FlowQueue::State {
    using Clock = std::chrono::steady_clock;
    struct Held {
        std::uint32_t id;
        Clock::time_point since;
    };

    nfq_handle* handle = nullptr;
    nfq_q_handle* queue = nullptr;
    Callback callback;
    Clock::duration bound{};
    oslog::Logger log{"com.quillmark.netext", "FlowQueue"};

    std::mutex mutex;
    std::condition_variable work;
    std::deque<Held> held;  // packets without a verdict, oldest first
    std::deque<std::pair<std::uint32_t, QueuedPacket>> waiting;  // for the callback, oldest first
    bool stopping = false;
    // Since the last report: packets let go by the bound, and packets never described.
    std::uint64_t late = 0, undescribed = 0;
    Clock::time_point lastReport{};

    // mutex held: gives the packet its verdict unless it has one already.
    void answer(std::uint32_t id) {
        auto it = std::find_if(held.begin(), held.end(), [&](const Held& h) { return h.id == id; });
        if (it == held.end()) return;
        held.erase(it);
        nfq_set_verdict(queue, id, NF_ACCEPT, 0, nullptr);
    }

    // Reader thread: a new packet to describe (nothing: let it go at once).
    void arrived(std::uint32_t id, std::optional<QueuedPacket> packet) {
        std::lock_guard lock(mutex);
        if (stopping || !packet) {
            nfq_set_verdict(queue, id, NF_ACCEPT, 0, nullptr);
            return;
        }
        if (waiting.size() >= kMaxWaiting) {
            answer(waiting.front().first);
            waiting.pop_front();
            ++undescribed;
        }
        held.push_back({id, Clock::now()});
        waiting.emplace_back(id, std::move(*packet));
        work.notify_one();
    }

    // mutex held: logs the counts of packets let go without a description, if any.
    static constexpr auto kReportInterval = std::chrono::seconds(10);
    void report(Clock::time_point now) {
        if (late != 0) {
            log.error("%ld packets went on after waiting %ld ms for their flow to be described", std::int64_t(late),
                      std::int64_t(std::chrono::duration_cast<std::chrono::milliseconds>(bound).count()));
        }
        if (undescribed != 0) {
            log.error("%ld flows were not described: more than %ld packets waited", std::int64_t(undescribed),
                      std::int64_t(kMaxWaiting));
        }
        if (late != 0 || undescribed != 0) lastReport = now;
        late = undescribed = 0;
    }

    // Reader thread: lets overdue packets go and reports what went so; returns how long
    // it may sleep (milliseconds, -1 for as long as it likes).
    int keepTime() {
        std::lock_guard lock(mutex);
        const auto now = Clock::now();
        while (!held.empty() && now - held.front().since >= bound) {
            answer(held.front().id);
            ++late;
        }
        if (now - lastReport >= kReportInterval) report(now);
        auto next = Clock::time_point::max();
        if (!held.empty()) next = held.front().since + bound;
        if (late != 0 || undescribed != 0) next = std::min(next, lastReport + kReportInterval);
        if (next == Clock::time_point::max()) return -1;
        auto ms = std::chrono::ceil<std::chrono::milliseconds>(next - now).count();
        return int(std::clamp<std::int64_t>(ms, 0, 60'000));
    }
};

namespace {

int onPacket(nfq_q_handle*, nfgenmsg*, nfq_data* data, void* context) {
    auto* state = static_cast<FlowQueue::State*>(context);
    nfqnl_msg_packet_hdr* header = nfq_get_msg_packet_hdr(data);
    if (!header) return 0;
    unsigned char* payload = nullptr;
    int length = nfq_get_payload(data, &payload);
    std::optional<QueuedPacket> packet;
    if (length > 0) {
        packet = parsePacket(std::string_view(reinterpret_cast<char*>(payload), std::size_t(length)),
                             header->hook == NF_INET_LOCAL_OUT);
    }
    state->arrived(ntohl(header->packet_id), std::move(packet));
    return 0;
}

}  // namespace

FlowQueue::~FlowQueue() { stop(); }

std::optional<std::string> FlowQueue::start(Callback callback, std::uint16_t queue,
                                            std::chrono::milliseconds verdictBound) {
    if (running()) return std::nullopt;
    auto fail = [&](std::string what) {
        std::string text = what + ": " + std::strerror(errno);
        stop();
        return std::optional<std::string>(text);
    };
    state_ = new State;
    state_->callback = std::move(callback);
    state_->bound = verdictBound;
    state_->handle = nfq_open();
    if (!state_->handle) return fail("cannot open the packet queue");
    state_->queue = nfq_create_queue(state_->handle, queue, onPacket, state_);
    if (!state_->queue) return fail("cannot bind packet queue " + std::to_string(queue));
    // Headers are enough to tell the flow; a full queue lets packets through.
    if (nfq_set_mode(state_->queue, NFQNL_COPY_PACKET, 128) < 0) return fail("cannot set the queue's copy mode");
    nfq_set_queue_maxlen(state_->queue, kMaxWaiting);
    nfq_set_queue_flags(state_->queue, NFQA_CFG_F_FAIL_OPEN, NFQA_CFG_F_FAIL_OPEN);
    int big = 4 << 20;
    ::setsockopt(nfq_fd(state_->handle), SOL_SOCKET, SO_RCVBUFFORCE, &big, sizeof big);
    wake_ = ::eventfd(0, EFD_CLOEXEC);
    if (wake_ < 0) return fail("eventfd");
    reader_ = std::thread([this] { read(); });
    flowThread_ = std::thread([this] { describe(); });
    return std::nullopt;
}

void FlowQueue::read() {
    int fd = nfq_fd(state_->handle);
    std::vector<char> buf(1 << 16);
    for (;;) {
        pollfd fds[2] = {{fd, POLLIN, 0}, {wake_, POLLIN, 0}};
        int ready = ::poll(fds, 2, state_->keepTime());
        if (ready > 0 && fds[1].revents) break;
        // ENOBUFS means the kernel lost news of packets that it then let through
        // (fail-open): there is nothing to answer for them.
        if (ready > 0 && fds[0].revents) {
            ssize_t n = ::recv(fd, buf.data(), buf.size(), MSG_DONTWAIT);
            if (n > 0) nfq_handle_packet(state_->handle, buf.data(), int(n));
        }
    }
    // What is still queued goes on without a look: a released queue would drop it.
    {
        std::lock_guard lock(state_->mutex);
        state_->stopping = true;
        while (!state_->held.empty()) state_->answer(state_->held.front().id);
        state_->waiting.clear();
        state_->report(State::Clock::now());
        state_->work.notify_all();
    }
    for (;;) {
        ssize_t n = ::recv(fd, buf.data(), buf.size(), MSG_DONTWAIT);
        if (n <= 0) break;
        nfq_handle_packet(state_->handle, buf.data(), int(n));
    }
}

void FlowQueue::describe() {
    for (;;) {
        std::pair<std::uint32_t, QueuedPacket> next;
        {
            std::unique_lock lock(state_->mutex);
            state_->work.wait(lock, [&] { return state_->stopping || !state_->waiting.empty(); });
            if (state_->stopping) return;
            next = std::move(state_->waiting.front());
            state_->waiting.pop_front();
        }
        if (state_->callback) state_->callback(next.second);
        std::lock_guard lock(state_->mutex);
        state_->answer(next.first);
    }
}

void FlowQueue::stop() {
    if (reader_.joinable()) {
        std::uint64_t one = 1;
        [[maybe_unused]] ssize_t n = ::write(wake_, &one, sizeof one);
        reader_.join();
    }
    if (flowThread_.joinable()) flowThread_.join();
    if (state_) {
        if (state_->queue) nfq_destroy_queue(state_->queue);
        if (state_->handle) nfq_close(state_->handle);
        delete state_;
        state_ = nullptr;
    }
    if (wake_ >= 0) ::close(std::exchange(wake_, -1));
}

}  // namespace netext
