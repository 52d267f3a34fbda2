#pragma once
// The one thread that does all socket work of the XPC layer: it waits on every
// listener and connection socket with epoll, runs posted tasks, and is the only
// thread that registers, reads, writes or closes those sockets. Callbacks to user
// code never run here; they go to dispatch queues.

#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>
#include <unordered_map>
#include <vector>

namespace xpc {

class IOLoop {
public:
    using Handler = std::function<void(std::uint32_t events)>;

    // Started on first use; lives until the process ends.
    static IOLoop& shared();

    // Runs task on the loop thread (in posting order).
    void post(std::function<void()> task);

    // Loop thread only. Registration numbers are never reused, so an event that was
    // already fetched for a socket that is gone reaches nobody.
    std::uint64_t add(int fd, std::uint32_t events, Handler handler);
    void modify(std::uint64_t id, std::uint32_t events);
    // Unregisters and closes the socket.
    void close(std::uint64_t id);

private:
    IOLoop();
    void run();

    struct Entry {
        int fd;
        Handler handler;
    };

    int epoll_ = -1;
    int wake_ = -1;
    std::mutex mutex_;
    std::vector<std::function<void()>> tasks_;
    std::unordered_map<std::uint64_t, Entry> entries_;
    std::uint64_t nextId_ = 1;
};

}  // namespace xpc
