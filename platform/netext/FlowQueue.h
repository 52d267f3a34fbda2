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

#include <chrono>
#include <cstddef>
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
    // Runs on the queue's flow thread for each queued packet, one at a time, oldest first.
    using Callback = std::function<void(const QueuedPacket&)>;

    // How long a packet waits for its verdict at most: then it goes on (accepted) whether
    // or not its callback has returned, so a stalled callback slows no connection longer.
    static constexpr std::chrono::milliseconds kVerdictBound{2000};
    // How many packets may wait for their callback; past it the oldest goes on without one.
    static constexpr std::size_t kMaxWaiting = 4096;

    FlowQueue() = default;
    ~FlowQueue();
    FlowQueue(const FlowQueue&) = delete;
    FlowQueue& operator=(const FlowQueue&) = delete;

    // Binds the queue and starts its threads: one reads packets and gives verdicts, the
    // flow thread runs the callback. A packet is accepted when its callback returns, or
    // once it has waited verdictBound. An error text when the queue cannot be bound (it
    // needs CAP_NET_ADMIN; another process may hold the queue).
    std::optional<std::string> start(Callback callback, std::uint16_t queue = kFlowQueueNumber,
                                     std::chrono::milliseconds verdictBound = kVerdictBound);
    // Accepts whatever is still queued, unbinds and joins the threads (waiting for a
    // callback under way).
    void stop();
    bool running() const { return reader_.joinable(); }

    struct State;

private:
    void read();      // reader thread
    void describe();  // flow thread

    State* state_ = nullptr;
    int wake_ = -1;
    std::thread reader_;
    std::thread flowThread_;
};

}  // namespace netext
