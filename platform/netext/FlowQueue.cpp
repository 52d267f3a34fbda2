#include "FlowQueue.h"

#include <arpa/inet.h>
#include <linux/netfilter.h>
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

FlowQueue::FlowQueue() = default;
FlowQueue::~FlowQueue() { stop(); }

std::optional<std::string> FlowQueue::start(Callback callback, std::uint16_t queue,
                                            std::chrono::milliseconds verdictBound) {
    if (running()) return std::nullopt;
    auto fail = [&](std::string what) {
        std::string text = what + ": " + std::strerror(errno);
        stop();
        return std::optional<std::string>(text);
    };
    state_ = std::make_unique<State>();
    state_->callback = std::move(callback);
    state_->bound = verdictBound;
    state_->handle = nfq_open();
    if (!state_->handle) return fail("cannot open the packet queue");
    state_->queue = nfq_create_queue(state_->handle, queue, onPacket, state_.get());
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
        state_.reset();
    }
    if (wake_ >= 0) ::close(std::exchange(wake_, -1));
}

}  // namespace netext
