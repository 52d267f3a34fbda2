#include "IOLoop.h"

#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>

namespace xpc {

namespace {
constexpr std::uint64_t kWakeId = 0;
// How long an exit waits for the loop's last work at most, and for sockets to take what
// waits to be written.
constexpr auto kFinishLimit = std::chrono::seconds(5);
constexpr auto kWriteLimit = std::chrono::seconds(1);

std::atomic<IOLoop*> startedLoop{nullptr};
thread_local bool onLoopThread = false;
}  // namespace

IOLoop& IOLoop::shared() {
    // Never destroyed: connections may still be in use while the process exits. Its
    // thread stops at exit, before the static objects made after it are destroyed;
    // what its tasks use is never destroyed.
    static IOLoop* loop = [] {
        auto* created = new IOLoop();
        startedLoop = created;
        std::atexit(finish);
        return created;
    }();
    return *loop;
}

void IOLoop::finish() {
    if (IOLoop* loop = startedLoop.load()) loop->stop();
}

IOLoop::IOLoop() {
    epoll_ = ::epoll_create1(EPOLL_CLOEXEC);
    wake_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (epoll_ < 0 || wake_ < 0) {
        std::perror("xpc: cannot create its event loop");
        std::abort();
    }
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.u64 = kWakeId;
    ::epoll_ctl(epoll_, EPOLL_CTL_ADD, wake_, &ev);
    thread_ = std::thread([this] {
        onLoopThread = true;
        run();
    });
}

void IOLoop::post(std::function<void()> task) {
    {
        std::lock_guard lock(mutex_);
        if (done_) return;
        tasks_.push_back(std::move(task));
    }
    std::uint64_t one = 1;
    [[maybe_unused]] ssize_t n = ::write(wake_, &one, sizeof one);
}

void IOLoop::stop() {
    // The loop thread cannot wait for itself (exit() called from a task).
    if (onLoopThread) return;
    std::call_once(stopOnce_, [this] {
        {
            std::lock_guard lock(mutex_);
            stopping_ = true;
        }
        std::uint64_t one = 1;
        [[maybe_unused]] ssize_t n = ::write(wake_, &one, sizeof one);
        std::unique_lock lock(mutex_);
        bool done = finished_.wait_for(lock, kFinishLimit, [this] { return done_; });
        lock.unlock();
        if (done) thread_.join();
        else thread_.detach();  // a task that hangs: the process ends around it
    });
}

std::uint64_t IOLoop::add(int fd, std::uint32_t events, Handler handler, std::function<void()> atStop) {
    std::uint64_t id = nextId_++;
    epoll_event ev{};
    ev.events = events;
    ev.data.u64 = id;
    if (::epoll_ctl(epoll_, EPOLL_CTL_ADD, fd, &ev) != 0) {
        ::close(fd);
        return 0;
    }
    entries_.emplace(id, Entry{fd, events, std::move(handler), std::move(atStop)});
    writers_ += (events & EPOLLOUT) != 0;
    return id;
}

void IOLoop::modify(std::uint64_t id, std::uint32_t events) {
    auto it = entries_.find(id);
    if (it == entries_.end()) return;
    epoll_event ev{};
    ev.events = events;
    ev.data.u64 = id;
    ::epoll_ctl(epoll_, EPOLL_CTL_MOD, it->second.fd, &ev);
    writers_ += (events & EPOLLOUT) != 0;
    writers_ -= (it->second.events & EPOLLOUT) != 0;
    it->second.events = events;
}

void IOLoop::close(std::uint64_t id) {
    auto it = entries_.find(id);
    if (it == entries_.end()) return;
    ::epoll_ctl(epoll_, EPOLL_CTL_DEL, it->second.fd, nullptr);
    ::close(it->second.fd);
    writers_ -= (it->second.events & EPOLLOUT) != 0;
    entries_.erase(it);
}

bool IOLoop::runTasks() {
    std::vector<std::function<void()>> tasks;
    {
        std::lock_guard lock(mutex_);
        tasks.swap(tasks_);
    }
    for (auto& task : tasks) task();
    return !tasks.empty();
}

void IOLoop::run() {
    epoll_event events[64];
    std::chrono::steady_clock::time_point writeUntil{};
    for (;;) {
        bool stopping = false;
        {
            std::lock_guard lock(mutex_);
            stopping = stopping_;
        }
        if (stopping && writeUntil == std::chrono::steady_clock::time_point{}) {
            writeUntil = std::chrono::steady_clock::now() + kWriteLimit;
        }
        // Once asked to stop, the loop only takes what is ready and ends when no task is
        // left and nothing waits to be written (or the time for it is up).
        bool writing = stopping && writers_ != 0 && std::chrono::steady_clock::now() < writeUntil;
        int n = ::epoll_wait(epoll_, events, 64, !stopping ? -1 : writing ? 10 : 0);
        for (int i = 0; i < n; ++i) {
            std::uint64_t id = events[i].data.u64;
            if (id == kWakeId) {
                std::uint64_t count = 0;
                [[maybe_unused]] ssize_t r = ::read(wake_, &count, sizeof count);
                continue;
            }
            auto it = entries_.find(id);
            if (it == entries_.end()) continue;
            Handler handler = it->second.handler;  // the entry may go while it runs
            handler(events[i].events);
        }
        if (!runTasks() && stopping && !writing) break;
    }
    std::vector<std::function<void()>> atStop;
    for (auto& [id, entry] : entries_) {
        if (entry.atStop) atStop.push_back(std::move(entry.atStop));
    }
    for (auto& f : atStop) f();
    while (runTasks()) {
    }
    {
        std::lock_guard lock(mutex_);
        done_ = true;
        tasks_.clear();
    }
    finished_.notify_all();
}

}  // namespace xpc
