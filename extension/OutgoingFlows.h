#pragma once
// Flow messages on their way to the application. The flow thread only queues a message
// and goes on; a serial queue of its own takes them, oldest first, and sends them. At
// most `limit` messages wait: when one more comes, the oldest waiting one is dropped.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "Dispatch.h"
#include "FlowMessage.h"

namespace flowspur {

class OutgoingFlows {
public:
    using Send = std::function<void(NFESMessage)>;
    // The number of messages dropped since the last report.
    using ReportDropped = std::function<void(std::uint64_t dropped)>;

    // Drops are reported once the waiting messages have all been taken, or once the first
    // unreported drop is reportInterval old while they pile up; both callbacks run on the
    // sending queue.
    OutgoingFlows(std::string label, std::size_t limit, Send send, ReportDropped reportDropped,
                  std::chrono::steady_clock::duration reportInterval = std::chrono::seconds(10));
    ~OutgoingFlows();
    OutgoingFlows(const OutgoingFlows&) = delete;
    OutgoingFlows& operator=(const OutgoingFlows&) = delete;

    // Never waits for the sending.
    void push(NFESMessage message);
    // Waits until every message pushed before it has been sent or dropped.
    void flush();

    struct State;

private:
    std::shared_ptr<State> state_;
    dispatch::DispatchQueue queue_;
};

}  // namespace flowspur
