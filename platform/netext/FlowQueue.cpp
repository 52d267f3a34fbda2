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
#include <fstream>
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
    enum class Stage : std::uint8_t { waiting, describing, ready, done };
    struct Item {
        std::uint32_t id;
        Clock::time_point since;
        QueuedPacket packet;
        Deliver deliver;
        Stage stage = Stage::waiting;
        bool answered = false;
    };

    nfq_handle* handle = nullptr;
    nfq_q_handle* queue = nullptr;
    std::uint16_t queueNumber = 0;
    Describe describe;
    Clock::duration bound{};
    oslog::Logger log{"com.quillmark.netext", "FlowQueue"};

    std::mutex mutex;
    std::condition_variable work;
    // Packets by arrival number, from `front` on: [front, nextToDeliver) are done,
    // [nextToTake, end()) wait for a describing thread. A deque keeps references to its
    // items while items are added at the back and done ones leave at the front.
    std::deque<Item> items;
    std::uint64_t front = 0, nextToDeliver = 0, nextToTake = 0;
    std::uint64_t nextToCheck = 0;  // the first whose bound may not have passed
    bool delivering = false;        // a describing thread runs the Delivers
    bool stopping = false;
    std::uint32_t lastId = 0;  // the kernel's number of the latest packet read (or counted unread)
    // Since packets came (or the kernel said with ENOBUFS that it could not hand some
    // over), the kernel may have numbered packets that never came: its own count is read
    // once the socket is empty, no sooner than nextCheck, and the numbers up to it that
    // have not come by then are counted.
    bool checkKernel = false;
    Clock::time_point nextCheck{};
    // Since the last report: packets let go by the bound, and flows never described
    // because too many waited, because the kernel let them through unread, because
    // their headers could not be read, or because the queue stopped first.
    std::uint64_t late = 0, crowded = 0, unread = 0, unreadable = 0, abandoned = 0;
    Clock::time_point lastReport{};

    std::uint64_t end() const { return front + items.size(); }
    Item& at(std::uint64_t n) { return items[std::size_t(n - front)]; }

    // mutex held: the kernel has numbered the packets up to sequence, and those that have
    // not come by now never will (read with the socket's buffer emptied after it).
    void countUnreadUpTo(std::uint32_t sequence) {
        if (std::uint32_t gap = sequence - lastId; gap < (1u << 31)) {
            unread += gap;
            lastId = sequence;
        }
    }

    // mutex held: gives the packet its verdict unless it has one already.
    void answer(Item& item) {
        if (std::exchange(item.answered, true)) return;
        nfq_set_verdict(queue, item.id, NF_ACCEPT, 0, nullptr);
    }

    // Reader thread: a new packet to describe (nothing: let it go at once).
    void arrived(std::uint32_t id, std::optional<QueuedPacket> packet) {
        std::lock_guard lock(mutex);
        // The kernel numbers the packets it queues one by one; a number that never came
        // is a packet whose message did not fit the socket's buffer, which the kernel
        // then let through (fail-open).
        if (std::uint32_t gap = id - lastId - 1; gap < (1u << 31)) {
            unread += gap;
            lastId = id;
        } else if (unread != 0) {
            --unread;  // counted unread by the kernel's count, and came after all
        }
        // Later packets may not come through: the kernel's count tells, once this
        // packet's successors have been read.
        checkKernel = true;
        if (stopping || !packet) {
            nfq_set_verdict(queue, id, NF_ACCEPT, 0, nullptr);
            ++(stopping ? abandoned : unreadable);
            return;
        }
        if (end() - nextToTake >= kMaxWaiting) {
            Item& oldest = at(nextToTake++);
            oldest.stage = Stage::done;
            answer(oldest);
            ++crowded;
        }
        items.push_back(Item{id, Clock::now(), std::move(*packet), {}});
        work.notify_one();
    }

    // mutex held (lock): runs the Delivers that are next in arrival order, unless another
    // thread does; accepts each packet as its Deliver returns.
    void deliverReady(std::unique_lock<std::mutex>& lock) {
        if (delivering) return;
        delivering = true;
        while (!stopping && nextToDeliver < end()) {
            Item& item = at(nextToDeliver);
            if (item.stage == Stage::waiting || item.stage == Stage::describing) break;
            if (item.stage == Stage::ready) {
                Deliver deliver = std::move(item.deliver);
                item.stage = Stage::done;
                lock.unlock();
                if (deliver) deliver();
                lock.lock();
                if (stopping) break;  // every packet was let go
                answer(item);
            }
            ++nextToDeliver;
        }
        while (front < nextToDeliver) {
            items.pop_front();
            ++front;
        }
        delivering = false;
    }

    static constexpr auto kReportInterval = std::chrono::seconds(10);
    // mutex held: logs the counts of packets let go without a description, if any.
    void report(Clock::time_point now) {
        if (late != 0) {
            log.error("%ld packets went on after waiting %ld ms for their flow to be described", std::int64_t(late),
                      std::int64_t(std::chrono::duration_cast<std::chrono::milliseconds>(bound).count()));
        }
        std::uint64_t undescribed = crowded + unread + unreadable + abandoned;
        if (undescribed != 0) {
            log.error("%ld flows went on undescribed: %ld while more than %ld waited, %ld let through by the kernel "
                      "unread (the queue's socket buffer was full), %ld unreadable, %ld as the queue stopped",
                      std::int64_t(undescribed), std::int64_t(crowded), std::int64_t(kMaxWaiting),
                      std::int64_t(unread), std::int64_t(unreadable), std::int64_t(abandoned));
        }
        if (late != 0 || undescribed != 0) lastReport = now;
        late = crowded = unread = unreadable = abandoned = 0;
    }
    bool unreported() const { return late != 0 || crowded + unread + unreadable + abandoned != 0; }

    // Reader thread: lets overdue packets go and reports what went so; returns how long
    // it may sleep (milliseconds, -1 for as long as it likes).
    int keepTime() {
        std::lock_guard lock(mutex);
        const auto now = Clock::now();
        // Arrival order is age order; everything before nextToDeliver has its verdict.
        nextToCheck = std::max(nextToCheck, nextToDeliver);
        for (; nextToCheck < end() && now - at(nextToCheck).since >= bound; ++nextToCheck) {
            Item& item = at(nextToCheck);
            if (!item.answered) {
                answer(item);
                ++late;
            }
        }
        if (now - lastReport >= kReportInterval) report(now);
        auto next = Clock::time_point::max();
        if (nextToCheck < end()) next = at(nextToCheck).since + bound;
        if (checkKernel) next = std::min(next, nextCheck);
        if (unreported()) next = std::min(next, lastReport + kReportInterval);
        if (next == Clock::time_point::max()) return -1;
        auto ms = std::chrono::ceil<std::chrono::milliseconds>(next - now).count();
        return int(std::clamp<std::int64_t>(ms, 0, 60'000));
    }
};

std::optional<std::uint32_t> kernelQueueSequence(std::uint16_t queue) {
    std::ifstream in("/proc/net/netfilter/nfnetlink_queue");
    std::uint32_t number = 0, portId = 0, total = 0, copyMode = 0, copyRange = 0, dropped = 0, userDropped = 0,
                  sequence = 0;
    std::string rest;
    while (in >> number >> portId >> total >> copyMode >> copyRange >> dropped >> userDropped >> sequence &&
           std::getline(in, rest)) {
        if (number == queue) return sequence;
    }
    return std::nullopt;
}

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

// What the kernel may hold for the queue. The packets there are bounded by ours
// (kMaxWaiting and those being described) and by what the socket's buffer holds, both
// far below this, so the kernel never lets a packet through for a full queue: it only
// does when a message does not fit the buffer, and such a packet's number is missed.
constexpr std::uint32_t kKernelQueueLength = 1u << 20;
// The socket's buffer: room for tens of thousands of packet messages while the reader
// catches up with a burst.
constexpr int kReceiveBuffer = 32 << 20;

}  // namespace

FlowQueue::FlowQueue() = default;
FlowQueue::~FlowQueue() { stop(); }

std::optional<std::string> FlowQueue::start(Describe describe, std::uint16_t queue,
                                            std::chrono::milliseconds verdictBound) {
    if (running()) return std::nullopt;
    auto fail = [&](std::string what) {
        std::string text = what + ": " + std::strerror(errno);
        stop();
        return std::optional<std::string>(text);
    };
    state_ = std::make_unique<State>();
    state_->describe = std::move(describe);
    state_->bound = verdictBound;
    state_->handle = nfq_open();
    if (!state_->handle) return fail("cannot open the packet queue");
    state_->queueNumber = queue;
    state_->queue = nfq_create_queue(state_->handle, queue, onPacket, state_.get());
    if (!state_->queue) return fail("cannot bind packet queue " + std::to_string(queue));
    // Headers are enough to tell the flow.
    if (nfq_set_mode(state_->queue, NFQNL_COPY_PACKET, 128) < 0) return fail("cannot set the queue's copy mode");
    if (nfq_set_queue_maxlen(state_->queue, kKernelQueueLength) < 0) return fail("cannot set the queue's length");
    // Without it the kernel would drop, not pass, what it cannot queue.
    if (nfq_set_queue_flags(state_->queue, NFQA_CFG_F_FAIL_OPEN, NFQA_CFG_F_FAIL_OPEN) < 0) {
        return fail("cannot make the queue fail open");
    }
    int fd = nfq_fd(state_->handle);
    int size = kReceiveBuffer;
    if (::setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &size, sizeof size) != 0) {
        ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
    }
    socklen_t length = sizeof size;
    // The kernel doubles what it is given (for its bookkeeping).
    if (::getsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, &length) != 0 || size < kReceiveBuffer) {
        state_->log.error("the packet queue's socket buffer is %ld bytes, not %ld: more flows of a burst may pass "
                          "undescribed (they are counted)",
                          std::int64_t(size), std::int64_t(kReceiveBuffer));
    }
    wake_ = ::eventfd(0, EFD_CLOEXEC);
    if (wake_ < 0) return fail("eventfd");
    reader_ = std::thread([this] { read(); });
    for (int i = 0; i < kDescribingThreads; ++i) describers_.emplace_back([this] { describeFlows(); });
    return std::nullopt;
}

// Reads at most limit messages (0: no limit) from the queue's socket; whether it found
// the socket empty.
bool FlowQueue::receive(std::vector<char>& buf, std::size_t limit) {
    State& s = *state_;
    int fd = nfq_fd(s.handle);
    for (std::size_t i = 0; limit == 0 || i < limit; ++i) {
        ssize_t n = ::recv(fd, buf.data(), buf.size(), MSG_DONTWAIT);
        if (n > 0) {
            nfq_handle_packet(s.handle, buf.data(), int(n));
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        // ENOBUFS means the kernel could not hand over news of packets that it then let
        // through (fail-open): there is nothing to answer for them; its own count tells
        // how many.
        if (n < 0 && errno == ENOBUFS) {
            std::lock_guard lock(s.mutex);
            s.checkKernel = true;
            continue;
        }
        return true;
    }
    return false;
}

// With the socket found empty: reads the kernel's count, empties the socket once more
// (up to limit messages; 0: no limit), and counts what the kernel numbered that never
// came. Gives up, to try later, when the socket does not empty within limit.
void FlowQueue::settleWithKernel(std::vector<char>& buf, std::size_t limit) {
    State& s = *state_;
    auto sequence = kernelQueueSequence(s.queueNumber);
    bool emptied = receive(buf, limit);
    std::lock_guard lock(s.mutex);
    if (!emptied) return;
    if (sequence) s.countUnreadUpTo(*sequence);
    s.checkKernel = false;
    s.nextCheck = State::Clock::now() + kKernelCheckInterval;
}

void FlowQueue::read() {
    State& s = *state_;
    int fd = nfq_fd(s.handle);
    std::vector<char> buf(1 << 16);
    for (;;) {
        pollfd fds[2] = {{fd, POLLIN, 0}, {wake_, POLLIN, 0}};
        int ready = ::poll(fds, 2, s.keepTime());
        if (ready > 0 && fds[1].revents) break;
        bool empty = ready == 0 || !(fds[0].revents) || receive(buf, 64);
        bool check = false;
        {
            std::lock_guard lock(s.mutex);
            check = empty && s.checkKernel && State::Clock::now() >= s.nextCheck;
        }
        if (check) settleWithKernel(buf, 1024);
    }
    // What is still queued goes on without a look: a released queue would drop it.
    {
        std::lock_guard lock(s.mutex);
        s.stopping = true;
        for (std::uint64_t n = s.nextToDeliver; n < s.end(); ++n) {
            State::Item& item = s.at(n);
            s.abandoned += item.stage != State::Stage::done;
            s.answer(item);
        }
        s.work.notify_all();
    }
    // The table is gone by now (or nothing numbers packets any more): every packet the
    // kernel numbered has come, or never will.
    settleWithKernel(buf, 0);
    std::lock_guard lock(s.mutex);
    s.report(State::Clock::now());
}

void FlowQueue::describeFlows() {
    State& s = *state_;
    std::unique_lock lock(s.mutex);
    for (;;) {
        s.work.wait(lock, [&] { return s.stopping || s.nextToTake < s.end(); });
        if (s.stopping) return;
        State::Item& item = s.at(s.nextToTake++);
        item.stage = State::Stage::describing;
        QueuedPacket packet = std::move(item.packet);
        lock.unlock();
        Deliver deliver = s.describe ? s.describe(packet) : Deliver{};
        lock.lock();
        if (s.stopping) return;
        // Still there: only done items leave.
        item.deliver = std::move(deliver);
        item.stage = State::Stage::ready;
        s.deliverReady(lock);
    }
}

void FlowQueue::stop() {
    if (reader_.joinable()) {
        std::uint64_t one = 1;
        [[maybe_unused]] ssize_t n = ::write(wake_, &one, sizeof one);
        reader_.join();
    }
    for (std::thread& t : describers_) t.join();
    describers_.clear();
    if (state_) {
        if (state_->queue) nfq_destroy_queue(state_->queue);
        if (state_->handle) nfq_close(state_->handle);
        state_.reset();
    }
    if (wake_ >= 0) ::close(std::exchange(wake_, -1));
}

}  // namespace netext
