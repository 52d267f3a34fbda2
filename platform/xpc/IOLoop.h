#pragma once
// The one thread that does all socket work of the XPC layer: it waits on every
// listener and connection socket with epoll, runs posted tasks, and is the only
// thread that registers, reads, writes or closes those sockets. Callbacks to user
// code never run here; they go to dispatch queues.

#include <condition_variable>
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

    // Started on first use; runs until finish() (which exit() calls).
    static IOLoop& shared();

    // Stops the shared loop, if it was started, once the tasks posted so far (and those
    // they post) have run, every registered socket's atStop has run and the sockets that
    // wait to write have written (for a second at most), and joins its thread; tasks
    // posted later are dropped. Returns at once on the loop thread, and
    // gives up waiting after a few seconds, so that an exit never hangs on it.
    static void finish();

    // Runs task on the loop thread (in posting order).
    void post(std::function<void()> task);

    // Loop thread only. Registration numbers are never reused, so an event that was
    // already fetched for a socket that is gone reaches nobody. atStop runs on the loop
    // thread when the loop finishes while the socket is still registered.
    std::uint64_t add(int fd, std::uint32_t events, Handler handler, std::function<void()> atStop = {});
    void modify(std::uint64_t id, std::uint32_t events);
    // Unregisters and closes the socket.
    void close(std::uint64_t id);

private:
    IOLoop();
    void run();
    bool runTasks();  // whether there were any
    void stop();

    struct Entry {
        int fd;
        std::uint32_t events;
        Handler handler;
        std::function<void()> atStop;
    };

    int epoll_ = -1;
    int wake_ = -1;
    std::thread thread_;
    std::once_flag stopOnce_;
    std::mutex mutex_;
    std::condition_variable finished_;
    std::vector<std::function<void()>> tasks_;
    bool stopping_ = false;  // under mutex_
    bool done_ = false;      // under mutex_
    std::unordered_map<std::uint64_t, Entry> entries_;
    std::uint64_t nextId_ = 1;
    std::size_t writers_ = 0;  // entries that wait to write (EPOLLOUT)
};

}  // namespace xpc
