#pragma once
// New flows held in the kernel until user space has looked at them.
//
// The flow table is an nftables table of ours ("inet flowspur") whose two chains queue
// the first packet of every new connection (connection-tracking state "new") to a
// netfilter packet queue: outbound ones on the output hook, inbound ones on the input
// hook (packets from the loopback interface are skipped there: they were seen going
// out). The rule uses the xtables NFQUEUE target through nftables' compatibility layer,
// with the bypass flag: while no process listens on the queue, packets pass unqueued.
// The packet waits in the queue until it gets its verdict, so the socket that sent it
// (and, for a blocking connect, the process) is still there while its owner is found.

#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <thread>

namespace netext {

inline constexpr std::string_view kNftTable = "inet flowspur";
// The queue number of the flow table (per network namespace).
inline constexpr std::uint16_t kFlowQueueNumber = 7291;

// Replaces the flow table (any earlier one goes in the same step); an error text on failure.
std::optional<std::string> installFlowTable(std::uint16_t queue = kFlowQueueNumber);
// Removes it; no error when it is absent.
std::optional<std::string> removeFlowTable();

// The first packet of a new connection, as far as its headers tell.
struct QueuedPacket {
    bool outbound = false;  // queued on the output hook
    int family = 0;         // AF_INET or AF_INET6
    int protocol = 0;       // IPPROTO_*
    std::string sourceAddress, destinationAddress;
    std::uint16_t sourcePort = 0, destinationPort = 0;  // 0 for protocols without ports
};

// Decodes an IP packet's headers (IPv4, or IPv6 with its extension headers); nothing
// when they are cut short or of another version.
std::optional<QueuedPacket> parsePacket(std::string_view packet, bool outbound);

class FlowQueue {
public:
    // Runs on the queue's thread for each queued packet; the packet is let go (accepted)
    // when it returns.
    using Callback = std::function<void(const QueuedPacket&)>;

    FlowQueue() = default;
    ~FlowQueue();
    FlowQueue(const FlowQueue&) = delete;
    FlowQueue& operator=(const FlowQueue&) = delete;

    // Binds the queue and starts its thread. An error text when it cannot (it needs
    // CAP_NET_ADMIN; another process may hold the queue).
    std::optional<std::string> start(Callback callback, std::uint16_t queue = kFlowQueueNumber);
    // Accepts whatever is still queued, unbinds and joins the thread.
    void stop();
    bool running() const { return thread_.joinable(); }

private:
    struct Handles;
    void run();

    Handles* handles_ = nullptr;
    int wake_ = -1;
    std::thread thread_;
};

}  // namespace netext
