#include "IOLoop.h"

#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

namespace xpc {

namespace {
constexpr std::uint64_t kWakeId = 0;
}

IOLoop& IOLoop::shared() {
    // Never destroyed: connections may still be in use while the process exits.
    static IOLoop* loop = new IOLoop();
    return *loop;
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
    std::thread([this] { run(); }).detach();
}

void IOLoop::post(std::function<void()> task) {
    {
        std::lock_guard lock(mutex_);
        tasks_.push_back(std::move(task));
    }
    std::uint64_t one = 1;
    [[maybe_unused]] ssize_t n = ::write(wake_, &one, sizeof one);
}

std::uint64_t IOLoop::add(int fd, std::uint32_t events, Handler handler) {
    std::uint64_t id = nextId_++;
    epoll_event ev{};
    ev.events = events;
    ev.data.u64 = id;
    if (::epoll_ctl(epoll_, EPOLL_CTL_ADD, fd, &ev) != 0) {
        ::close(fd);
        return 0;
    }
    entries_.emplace(id, Entry{fd, std::move(handler)});
    return id;
}

void IOLoop::modify(std::uint64_t id, std::uint32_t events) {
    auto it = entries_.find(id);
    if (it == entries_.end()) return;
    epoll_event ev{};
    ev.events = events;
    ev.data.u64 = id;
    ::epoll_ctl(epoll_, EPOLL_CTL_MOD, it->second.fd, &ev);
}

void IOLoop::close(std::uint64_t id) {
    auto it = entries_.find(id);
    if (it == entries_.end()) return;
    ::epoll_ctl(epoll_, EPOLL_CTL_DEL, it->second.fd, nullptr);
    ::close(it->second.fd);
    entries_.erase(it);
}

void IOLoop::run() {
    epoll_event events[64];
    for (;;) {
        int n = ::epoll_wait(epoll_, events, 64, -1);
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
        std::vector<std::function<void()>> tasks;
        {
            std::lock_guard lock(mutex_);
            tasks.swap(tasks_);
        }
        for (auto& task : tasks) task();
    }
}

}  // namespace xpc
