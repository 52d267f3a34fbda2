#pragma once
// New flows held in the kernel until user space has looked at them: the packet queue
// that the flow table (FlowTable.h) fills. The packet waits in the queue until it gets
// its verdict, so the socket that sent it (and, for a blocking connect, the process)
// is still there while its owner is found.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "FlowTable.h"
#include "PacketHeaders.h"

namespace netext {

// The number the kernel gave the latest packet it queued to queue, while a process
// listens on it (the id sequence of /proc/net/netfilter/nfnetlink_queue, which shows the
// queues of this network namespace); it numbers them from 1 each time the queue is bound.
std::optional<std::uint32_t> kernelQueueSequence(std::uint16_t queue = kFlowQueueNumber);

class FlowQueue {
public:
    // What a packet's description hands on; run in the order the packets arrived, one at
    // a time. Empty: nothing to hand on.
    using Deliver = std::function<void()>;
    // Runs on one of the queue's describing threads for each queued packet, several
    // packets at once (the slow part: finding the owner); its Deliver is run in order.
    using Describe = std::function<Deliver(const QueuedPacket&)>;

    // How long a packet waits for its verdict at most: then it goes on (accepted) whether
    // or not its description is done, so a stalled description slows no connection longer.
    static constexpr std::chrono::milliseconds kVerdictBound{2000};
    // How many packets may wait for a describing thread; past it the oldest goes on
    // without a description.
    static constexpr std::size_t kMaxWaiting = 65536;
    static constexpr int kDescribingThreads = 4;
    // How often at most the kernel's count of queued packets is read while packets it
    // numbered may not have come.
    static constexpr std::chrono::milliseconds kKernelCheckInterval{1000};

    FlowQueue();
    ~FlowQueue();
    FlowQueue(const FlowQueue&) = delete;
    FlowQueue& operator=(const FlowQueue&) = delete;

    // Binds the queue and starts its threads: one reads packets and gives verdicts, the
    // describing threads run describe and the Delivers. A packet is accepted when its
    // Deliver has returned, or once it has waited verdictBound. An error text when the
    // queue cannot be bound or set up (it needs CAP_NET_ADMIN; another process may hold
    // the queue). Flows that go on undescribed are counted in one log line at most every
    // 10 s: those past kMaxWaiting, those that the kernel let through because its
    // messages did not fit the socket's buffer (by the kernel's own count of the packets
    // it queued, read within kKernelCheckInterval of the socket emptying), unreadable
    // ones, and those still waiting or in the socket's buffer at stop.
    std::optional<std::string> start(Describe describe, std::uint16_t queue = kFlowQueueNumber,
                                     std::chrono::milliseconds verdictBound = kVerdictBound);
    // Accepts whatever is still queued (also what waits in the socket's buffer), counts
    // what went so and what the kernel let through unread, unbinds and joins the
    // threads (waiting for descriptions under way). Remove the table first: packets
    // queued while it stops are answered too, but any that come after its last look at
    // the socket are dropped when it unbinds.
    void stop();
    bool running() const { return reader_.joinable(); }

    struct State;

private:
    void read();      // reader thread
    bool receive(std::vector<char>& buf, std::size_t limit);          // reader thread
    void settleWithKernel(std::vector<char>& buf, std::size_t limit);  // reader thread
    void describeFlows();  // describing threads

    std::unique_ptr<State> state_;
    int wake_ = -1;
    std::thread reader_;
    std::vector<std::thread> describers_;
};

}  // namespace netext
