#include "BackgroundEvents.h"

#include <algorithm>
#include <atomic>
#include <deque>
#include <exception>
#include <mutex>
#include <thread>
#include <utility>

#include "Dispatch.h"
#include "EventAnnotator.h"
#include "EventArena.h"

namespace qm {

// What the chunks of one owner share: the arena of their items, the message lists of
// built chunks kept for the next chunks (so their memory is not mapped and touched
// anew each time), how many chunks the global queues hold, and the full chunks with
// the batch that the first of them joined as they were built.
struct BackgroundEvents::Shared {
    EventArena arena;
    std::atomic<std::size_t> queued{0};  // handed to a global queue and not yet built
    const std::size_t queueLimit = std::max(1u, std::thread::hardware_concurrency());

    std::mutex spareMutex;
    std::vector<std::vector<es::ESMessage>> spare;

    std::mutex mutex;  // guards joined and started
    EventBatch joined;
    std::deque<ChunkPtr> started;  // full chunks after joined, in arrival order

    std::vector<es::ESMessage> messageList() {
        {
            std::lock_guard lock(spareMutex);
            if (!spare.empty()) {
                auto list = std::move(spare.back());
                spare.pop_back();
                return list;
            }
        }
        return {};
    }
    void keep(std::vector<es::ESMessage>&& list) {
        list.clear();
        std::lock_guard lock(spareMutex);
        // Enough for every chunk a flush can find built or in the making.
        if (spare.size() < 2 * queueLimit) spare.push_back(std::move(list));
    }
    // Joins the built chunks at the front. A worker that finds another one joining
    // leaves it to that one or to the next flush.
    void joinBuilt();
};

class BackgroundEvents::Chunk {
public:
    explicit Chunk(std::shared_ptr<Shared> shared) : shared_(std::move(shared)) {}

    Shared& shared() { return *shared_; }

    // Appends the message; true when that fills the chunk.
    bool add(es::ESMessage&& message) {
        // A chunk of one message (a slow stream, flushed at every event) takes no full list.
        if (messages_.size() == 1 && messages_.capacity() < chunkSize) {
            auto list = shared_->messageList();
            list.reserve(chunkSize);
            list.push_back(std::move(messages_.front()));
            messages_ = std::move(list);
        }
        messages_.push_back(std::move(message));
        return messages_.size() == chunkSize;
    }

    // Builds the items unless another thread has started to.
    void tryBuild() {
        int expected = waiting;
        if (state_.compare_exchange_strong(expected, building, std::memory_order_acquire)) build();
    }

    bool isBuilt() const { return state_.load(std::memory_order_acquire) == built; }

    // The built items, built here when no other thread has started them.
    EventBatch take() {
        tryBuild();
        for (int now; (now = state_.load(std::memory_order_acquire)) != built;) state_.wait(now, std::memory_order_acquire);
        if (failure_) std::rethrow_exception(failure_);
        return std::move(batch_);
    }

private:
    enum : int { waiting, building, built };

    void build() {
        try {
            std::vector<EventItemPtr> items;
            items.reserve(messages_.size());
            const EventAnnotator& annotator = EventAnnotator::shared();
            for (es::ESMessage& message : messages_)
                items.push_back(makeEventItem(shared_->arena, std::move(message), annotator));
            batch_ = EventBatch(std::move(items));
        } catch (...) {
            failure_ = std::current_exception();
        }
        if (messages_.capacity() >= chunkSize) shared_->keep(std::move(messages_));
        messages_ = {};
        state_.store(built, std::memory_order_release);
        state_.notify_all();
    }

    std::shared_ptr<Shared> shared_;
    std::vector<es::ESMessage> messages_;
    EventBatch batch_;
    std::exception_ptr failure_;
    std::atomic<int> state_{waiting};
};

void BackgroundEvents::Shared::joinBuilt() {
    std::unique_lock lock(mutex, std::try_to_lock);
    if (!lock) return;
    while (!started.empty() && started.front()->isBuilt()) {
        joined.append(started.front()->take());
        started.pop_front();
    }
}

BackgroundEvents::BackgroundEvents() : shared_(std::make_shared<Shared>()) {}

BackgroundEvents::ChunkPtr BackgroundEvents::add(es::ESMessage&& message) {
    if (!filling_) filling_ = std::make_shared<Chunk>(shared_);
    ++size_;
    if (!filling_->add(std::move(message))) return nullptr;
    {
        std::lock_guard lock(shared_->mutex);
        shared_->started.push_back(filling_);
    }
    return std::exchange(filling_, nullptr);
}

void BackgroundEvents::start(ChunkPtr chunk) {
    Shared& shared = chunk->shared();
    if (shared.queued.fetch_add(1, std::memory_order_relaxed) >= shared.queueLimit) {
        // The workers are behind: this thread helps rather than queue more.
        shared.queued.fetch_sub(1, std::memory_order_relaxed);
        chunk->tryBuild();
        shared.joinBuilt();
        return;
    }
    dispatch::DispatchQueue::global(dispatch::QoS::normal).async([chunk = std::move(chunk)] {
        Shared& shared = chunk->shared();
        chunk->tryBuild();
        shared.joinBuilt();
        shared.queued.fetch_sub(1, std::memory_order_relaxed);
    });
}

void BackgroundEvents::clear() {
    filling_.reset();
    size_ = 0;
    // Released after the lock, so that workers need not wait for the items to go.
    EventBatch joined;
    std::deque<ChunkPtr> started;
    std::lock_guard lock(shared_->mutex);
    std::swap(joined, shared_->joined);
    std::swap(started, shared_->started);
}

BackgroundEvents::Taken BackgroundEvents::take() {
    Taken taken;
    {
        std::lock_guard lock(shared_->mutex);
        taken.joined_ = std::exchange(shared_->joined, {});
        taken.chunks_.assign(shared_->started.begin(), shared_->started.end());
        shared_->started.clear();
    }
    if (filling_) taken.chunks_.push_back(std::exchange(filling_, nullptr));
    size_ = 0;
    return taken;
}

EventBatch BackgroundEvents::Taken::finish() {
    // Build what no worker has picked up yet, then join the rest as it is done.
    for (const ChunkPtr& chunk : chunks_) chunk->tryBuild();
    for (const ChunkPtr& chunk : chunks_) joined_.append(chunk->take());
    chunks_.clear();
    return std::move(joined_);
}

}  // namespace qm
