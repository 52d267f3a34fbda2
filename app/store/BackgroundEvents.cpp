#include "BackgroundEvents.h"

#include <algorithm>
#include <atomic>
#include <exception>
#include <thread>
#include <utility>
#include <vector>

#include "Dispatch.h"
#include "EventAnnotator.h"
#include "EventArena.h"
#include "HookGate.h"

namespace qm {

namespace {

// The text of the exception being handled; a short one (held without memory of its
// own) when the text cannot be copied.
std::string failureText() noexcept {
    try {
        throw;
    } catch (const std::exception& e) {
        try {
            return e.what();
        } catch (...) {
        }
    } catch (...) {
    }
    return "unknown failure";
}

}  // namespace

// What the chunks of one owner share: the arena of their items, how many chunks the
// global queues hold, the full chunks with the batch that the first of them joined as
// they were built, and the failure state.
//
// Chunks join strictly in arrival order: workers join the built chunks at the front of
// started, and while a flush joins the chunks it took, workers leave the later ones
// to the next flush. So the first failed chunk joined is the first failure in arrival
// order: it and every later chunk are dropped.
struct BackgroundEvents::Shared {
    Shared(MakeItem make, Annotate mark, std::function<void(const std::string&)> report)
        : makeItem(make ? std::move(make)
                        : MakeItem([](EventArena& arena, es::ESMessage&& m) { return makeEventItem(arena, std::move(m)); })),
          annotate(mark ? std::move(mark) : Annotate([](EventItem& item) { EventAnnotator::shared().annotate(item); })),
          failed(std::move(report)) {}

    EventArena arena;
    const MakeItem makeItem;
    const Annotate annotate;
    const std::function<void(const std::string&)> failed;
    // Work on the global queues builds chunks and reports only while the owner lives.
    mutable HookGate gate;
    std::atomic<std::size_t> queued{0};  // handed to a global queue and not yet built
    const std::size_t queueLimit = std::max(1u, std::thread::hardware_concurrency());
    // Set by a failure, cleared by resume and clear: messages added meanwhile are dropped.
    std::atomic<bool> failing{false};

    std::mutex mutex;  // guards the fields below; epoch is also written under the owner's lock
    // Counts resumes and clears; each chunk keeps the one it was made in.
    std::atomic<std::uint64_t> epoch{0};
    std::uint64_t liveFrom = 0;               // chunks of earlier epochs belong to a deleted capture
    std::optional<std::uint64_t> cutEpoch;    // chunks of this epoch or earlier came after a failure
    bool flushing = false;                    // a flush joins the chunks it took
    EventBatch joined;
    // Full chunks after joined, in arrival order (vectors: moved and swapped without
    // memory of their own, also when memory has run out).
    std::vector<ChunkPtr> started;

    // Under mutex.
    bool dropped(const Chunk& chunk) const;
    // Under mutex: a failure in a chunk of chunkEpoch, or in a step after it, ends what
    // joins: every chunk not yet joined is dropped. True when the failure is to be
    // reported, once the lock is left.
    bool cut(std::uint64_t chunkEpoch) noexcept;

    // Builds the chunk on a global queue, or here when as many chunks as there are
    // cores wait for a worker already.
    void start(const ChunkPtr& chunk) noexcept;
    // Joins the built chunks at the front of started. A worker that finds another one
    // joining leaves it to that one or to the next flush.
    void joinBuilt() noexcept;
    // The events of a take, in arrival order: builds the chunks that no worker has
    // started, then waits for the others.
    EventBatch finish(Taken&& taken) noexcept;
    void report(const std::string& what) const noexcept {
        if (!failed) return;
        try {
            gate.run([&] { failed(what); });
        } catch (...) {  // the owner's report failed too; the load stops all the same
        }
    }
};

class BackgroundEvents::Chunk {
public:
    Chunk(std::shared_ptr<Shared> shared, std::uint64_t epoch) : epoch(epoch), shared_(std::move(shared)) {}

    const std::uint64_t epoch;

    Shared& shared() { return *shared_; }
    std::size_t size() const { return items_.size(); }
    bool full() const { return items_.size() == chunkSize; }

    // Appends the item; on failure the chunk is as it was.
    void add(EventItemPtr&& item) {
        // A chunk of one event (a slow stream, flushed at every event) takes no full list.
        if (items_.size() == 1) items_.reserve(chunkSize);
        items_.push_back(std::move(item));
    }

    // Builds the items unless another thread has started to.
    void tryBuild() noexcept {
        int expected = waiting;
        if (state_.compare_exchange_strong(expected, building, std::memory_order_acquire)) build();
    }

    bool isBuilt() const { return state_.load(std::memory_order_acquire) == built; }

    // The built items, built here when no other thread has started them; none when
    // building failed.
    EventBatch take() noexcept {
        tryBuild();
        for (int now; (now = state_.load(std::memory_order_acquire)) != built;) state_.wait(now, std::memory_order_acquire);
        return std::move(batch_);
    }
    // Once built: why building stopped early; empty when it did not.
    const std::string& failure() const { return failure_; }

private:
    enum : int { waiting, building, built };

    void build() noexcept {
        try {
            for (const EventItemPtr& item : items_) shared_->annotate(*item);
            batch_ = EventBatch(std::move(items_));
        } catch (...) {  // the items cannot be marked or grouped: none of this chunk joins
            failure_ = failureText();
        }
        items_ = {};
        state_.store(built, std::memory_order_release);
        state_.notify_all();
    }

    std::shared_ptr<Shared> shared_;
    std::vector<EventItemPtr> items_;
    EventBatch batch_;
    std::string failure_;
    std::atomic<int> state_{waiting};
};

// What one take took, in arrival order: the joined batch, then the chunks.
struct BackgroundEvents::Taken {
    EventBatch joined;
    std::vector<ChunkPtr> chunks;
    ChunkPtr filling;
};

bool BackgroundEvents::Shared::dropped(const Chunk& chunk) const {
    return chunk.epoch < liveFrom || (cutEpoch && chunk.epoch <= *cutEpoch);
}

bool BackgroundEvents::Shared::cut(std::uint64_t chunkEpoch) noexcept {
    if (chunkEpoch < liveFrom) return false;  // a deleted capture's
    cutEpoch = epoch.load();
    return !failing.exchange(true);  // else told already
}

void BackgroundEvents::Shared::start(const ChunkPtr& chunk) noexcept {
    if (queued.fetch_add(1, std::memory_order_relaxed) >= queueLimit) {
        // The workers are behind: this thread helps rather than queue more.
        queued.fetch_sub(1, std::memory_order_relaxed);
        chunk->tryBuild();
        joinBuilt();
        return;
    }
    try {
        dispatch::DispatchQueue::global(dispatch::QoS::normal).async([chunk] {
            Shared& shared = chunk->shared();
            shared.gate.run([&] {
                chunk->tryBuild();
                shared.joinBuilt();
            });
            shared.queued.fetch_sub(1, std::memory_order_relaxed);
        });
    } catch (...) {
        // Not queued (or queued without a thread to run it yet): built here. The count
        // stays one higher, which at worst has this thread help a little sooner.
        chunk->tryBuild();
        joinBuilt();
    }
}

void BackgroundEvents::Shared::joinBuilt() noexcept {
    std::string failure;
    bool tell = false;
    {
        std::unique_lock lock(mutex, std::try_to_lock);
        if (!lock || flushing) return;
        auto next = started.begin();
        while (next != started.end() && (*next)->isBuilt()) {
            Chunk& chunk = **next++;
            if (dropped(chunk)) continue;
            try {
                joined.append(chunk.take());
            } catch (...) {  // the chunk's events are lost; the batch keeps what joined before
                failure = failureText();
            }
            if (failure.empty() && chunk.failure().empty()) continue;
            if (failure.empty()) failure = chunk.failure();
            tell = cut(chunk.epoch);
            break;
        }
        started.erase(started.begin(), next);  // joined, or dropped with their items
    }
    if (tell) report(failure);
}

EventBatch BackgroundEvents::Shared::finish(Taken&& taken) noexcept {
    EventBatch batch = std::move(taken.joined);
    std::string failure;
    const std::string* why = nullptr;  // the failure that ended the batch
    bool tell = false;
    // Joins one chunk; false once a failure has ended the batch.
    auto join = [&](const ChunkPtr& chunk) {
        {
            std::lock_guard lock(mutex);
            if (dropped(*chunk)) return true;
        }
        EventBatch built = chunk->take();
        try {
            batch.append(std::move(built));
        } catch (...) {  // the chunk's events are lost; the batch keeps what joined before
            failure = failureText();
        }
        why = !failure.empty() ? &failure : !chunk->failure().empty() ? &chunk->failure() : nullptr;
        if (!why) return true;
        std::lock_guard lock(mutex);
        tell = cut(chunk->epoch);
        return false;
    };
    for (const ChunkPtr& chunk : taken.chunks) chunk->tryBuild();
    if (taken.filling) taken.filling->tryBuild();
    bool joining = true;
    for (const ChunkPtr& chunk : taken.chunks)
        if (!(joining = join(chunk))) break;
    if (joining && taken.filling) join(taken.filling);
    {
        std::lock_guard lock(mutex);
        flushing = false;
    }
    if (tell) report(*why);
    return batch;
}

BackgroundEvents::BackgroundEvents(Setup setup)
    : refreshInterval_(setup.refreshInterval),
      now_(setup.now ? std::move(setup.now) : std::function<Clock::time_point()>(Clock::now)),
      deliver_(std::move(setup.deliver)),
      shared_(std::make_shared<Shared>(std::move(setup.makeItem), std::move(setup.annotate), std::move(setup.failed))),
      lastRefresh_(now_() - std::chrono::seconds(3)) {}

BackgroundEvents::~BackgroundEvents() {
    shared_->gate.close();
    releaseLater(std::move(filling_));
    std::lock_guard lock(shared_->mutex);
    releaseLater(std::exchange(shared_->joined, {}));
    releaseLater(std::exchange(shared_->started, {}));
}

bool BackgroundEvents::add(es::ESMessage&& message) {
    if (shared_->failing.load(std::memory_order_relaxed)) return false;
    std::string failure;
    EventItemPtr item;
    // Outside the lock: the move into fresh memory is most of what an event costs here.
    try {
        item = shared_->makeItem(shared_->arena, std::move(message));
    } catch (...) {
        failure = failureText();
    }
    ChunkPtr full;
    bool due, arm = false;
    {
        std::lock_guard lock(mutex_);
        if (shared_->failing.load(std::memory_order_relaxed)) return false;
        if (item) {
            try {
                if (!filling_) filling_ = std::make_shared<Chunk>(shared_, shared_->epoch.load());
                filling_->add(std::move(item));
                ++size_;
                if (filling_->full()) {
                    std::lock_guard joining(shared_->mutex);
                    shared_->started.push_back(filling_);
                    full = std::exchange(filling_, nullptr);
                }
            } catch (...) {
                failure = failureText();
            }
        }
        // The events before this one stay; this and the later ones are dropped.
        if (!failure.empty() && shared_->failing.exchange(true)) failure.clear();  // told already
        due = !(refreshInterval_ > now_() - lastRefresh_);
        if (!due && !trailingArmed_) arm = trailingArmed_ = true;
    }
    if (!failure.empty()) shared_->report(failure);
    if (full) shared_->start(full);
    if (due) flush();
    return arm;
}

std::optional<BackgroundEvents::Clock::duration> BackgroundEvents::trailingWait() {
    std::lock_guard lock(mutex_);
    if (size_ == 0) {
        trailingArmed_ = false;
        return std::nullopt;
    }
    const auto wait = std::chrono::duration_cast<Clock::duration>(refreshInterval_ - (now_() - lastRefresh_));
    if (wait <= Clock::duration::zero()) trailingArmed_ = false;
    return wait;
}

std::size_t BackgroundEvents::size() const {
    std::lock_guard lock(mutex_);
    return size_;
}

BackgroundEvents::Taken BackgroundEvents::take() {
    Taken taken;
    {
        std::lock_guard lock(shared_->mutex);
        taken.joined = std::exchange(shared_->joined, {});
        taken.chunks.swap(shared_->started);
        shared_->flushing = true;
    }
    taken.filling = std::exchange(filling_, nullptr);
    size_ = 0;
    return taken;
}

void BackgroundEvents::flush() {
    std::lock_guard flushing(flushMutex_);
    Taken taken;
    Stamp stamp;
    {
        std::lock_guard lock(mutex_);
        lastRefresh_ = now_();
        taken = take();
        stamp = {clears_, losses_};
    }
    EventBatch batch = shared_->finish(std::move(taken));
    try {
        deliver_(std::move(batch), stamp);
    } catch (...) {
        deliveryFailed();
    }
}

void BackgroundEvents::deliveryFailed() noexcept {
    // The batch is lost: what follows it is dropped too, so the store keeps no gap.
    // One step under both locks, so that no flush takes a stamp that is still current
    // with events that the cut has not dropped yet. The chunks workers joined came
    // after the lost batch, which a flush took before them.
    const std::string failure = failureText();
    bool tell;
    EventBatch after;
    {
        std::lock_guard lock(mutex_);
        ++losses_;
        std::lock_guard joining(shared_->mutex);
        tell = shared_->cut(shared_->epoch.load());
        std::swap(after, shared_->joined);
    }
    releaseLater(std::move(after));
    if (tell) shared_->report(failure);
}

void BackgroundEvents::clear() {
    ChunkPtr filling;
    EventBatch joined;
    std::vector<ChunkPtr> started;
    {
        std::lock_guard lock(mutex_);
        filling = std::exchange(filling_, nullptr);
        size_ = 0;
        ++clears_;
        std::lock_guard joining(shared_->mutex);
        std::swap(joined, shared_->joined);
        std::swap(started, shared_->started);
        shared_->liveFrom = ++shared_->epoch;
        shared_->cutEpoch.reset();
        shared_->failing = false;
    }
    // Released after the locks, so that workers need not wait for the items to go.
    releaseLater(std::move(filling));
    releaseLater(std::move(joined));
    releaseLater(std::move(started));
}

void BackgroundEvents::resume() {
    ChunkPtr after;  // the chunk that was filling after the failure
    {
        std::lock_guard lock(mutex_);
        std::lock_guard joining(shared_->mutex);
        if (!shared_->failing) return;
        if (filling_ && shared_->cutEpoch && filling_->epoch <= *shared_->cutEpoch) {
            size_ -= std::min(size_, filling_->size());
            after = std::exchange(filling_, nullptr);
        }
        ++shared_->epoch;
        shared_->failing = false;
    }
}

bool BackgroundEvents::current(Stamp stamp) const {
    std::lock_guard lock(mutex_);
    return stamp.clears == clears_ && stamp.losses == losses_;
}

}  // namespace qm
