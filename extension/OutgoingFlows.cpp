#include "OutgoingFlows.h"

#include <deque>
#include <mutex>
#include <optional>
#include <utility>

namespace flowspur {

struct OutgoingFlows::State {
    State(std::size_t limit, Send send, ReportDropped reportDropped, std::chrono::steady_clock::duration reportInterval)
        : limit(limit), send(std::move(send)), reportDropped(std::move(reportDropped)), reportInterval(reportInterval) {}

    const std::size_t limit;
    const Send send;
    const ReportDropped reportDropped;
    const std::chrono::steady_clock::duration reportInterval;

    std::mutex mutex;
    std::deque<NFESMessage> waiting;
    std::uint64_t dropped = 0;
    std::chrono::steady_clock::time_point firstUnreported{};  // of the drops counted
    bool draining = false;  // a drain is queued or running
    bool closed = false;

    // Sends what waits, until nothing does.
    void drain() {
        for (;;) {
            std::optional<NFESMessage> next;
            std::uint64_t report = 0;
            {
                std::lock_guard lock(mutex);
                if (closed) return;
                if (!waiting.empty()) {
                    next = std::move(waiting.front());
                    waiting.pop_front();
                }
                if (dropped != 0 &&
                    (!next || std::chrono::steady_clock::now() - firstUnreported >= reportInterval)) {
                    report = std::exchange(dropped, 0);
                }
                if (!next) draining = false;
            }
            if (report != 0) reportDropped(report);
            if (!next) return;
            send(std::move(*next));
        }
    }
};

OutgoingFlows::OutgoingFlows(std::string label, std::size_t limit, Send send, ReportDropped reportDropped,
                             std::chrono::steady_clock::duration reportInterval)
    : state_(std::make_shared<State>(limit, std::move(send), std::move(reportDropped), reportInterval)),
      queue_(std::move(label)) {}

OutgoingFlows::~OutgoingFlows() {
    std::deque<NFESMessage> left;
    {
        std::lock_guard lock(state_->mutex);
        state_->closed = true;
        left.swap(state_->waiting);
    }
    // The queue's release then waits for a send under way (unless this runs inside it).
}

void OutgoingFlows::push(NFESMessage message) {
    std::optional<NFESMessage> dropped;
    bool start = false;
    {
        std::lock_guard lock(state_->mutex);
        if (state_->closed) return;
        if (state_->waiting.size() >= state_->limit) {
            dropped = std::move(state_->waiting.front());
            state_->waiting.pop_front();
            if (state_->dropped++ == 0) state_->firstUnreported = std::chrono::steady_clock::now();
        }
        state_->waiting.push_back(std::move(message));
        start = !std::exchange(state_->draining, true);
    }
    if (start) queue_.async([state = state_] { state->drain(); });
}

void OutgoingFlows::flush() {
    // A drain under way or queued runs until nothing waits; this runs after it.
    queue_.sync([] {});
}

}  // namespace flowspur
