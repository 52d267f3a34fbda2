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

#include "FlowTable.h"
#include "PacketHeaders.h"

namespace netext {

class FlowQueue {
public:
    // Runs on the queue's flow thread for each queued packet, one at a time, oldest first.
    using Callback = std::function<void(const QueuedPacket&)>;

    // How long a packet waits for its verdict at most: then it goes on (accepted) whether
    // or not its callback has returned, so a stalled callback slows no connection longer.
    static constexpr std::chrono::milliseconds kVerdictBound{2000};
    // How many packets may wait for their callback; past it the oldest goes on without one.
    static constexpr std::size_t kMaxWaiting = 4096;

    FlowQueue();
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

    std::unique_ptr<State> state_;
    int wake_ = -1;
    std::thread reader_;
    std::thread flowThread_;
};

}  // namespace netext
