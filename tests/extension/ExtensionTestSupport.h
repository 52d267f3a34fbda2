#pragma once
// Helpers shared by the extension's tests: a temporary bundle folder, a recording
// AppCommunication receiver and bounded waits.

#include <gtest/gtest.h>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "Bundle.h"
#include "IPCConnection.h"

namespace testsupport {

using namespace std::chrono_literals;

// Polls cond until it holds or limit has passed; returns cond().
inline bool eventually(const std::function<bool()>& cond, std::chrono::milliseconds limit = 10s) {
    auto end = std::chrono::steady_clock::now() + limit;
    while (!cond()) {
        if (std::chrono::steady_clock::now() > end) return cond();
        std::this_thread::sleep_for(5ms);
    }
    return true;
}

class TempDir {
public:
    TempDir() {
        char tmpl[] = "/tmp/qm-ext-XXXXXX";
        path_ = ::mkdtemp(tmpl);
    }
    ~TempDir() { std::filesystem::remove_all(path_); }
    const std::filesystem::path& path() const { return path_; }

private:
    std::filesystem::path path_;
};

// A bundle folder whose Info.plist holds the given <dict> body.
inline bundle::Bundle makeBundle(const std::filesystem::path& root, const std::string& dictBody) {
    std::filesystem::create_directories(root / "Contents");
    std::ofstream(root / "Contents" / "Info.plist")
        << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>" << dictBody
        << "</dict></plist>\n";
    return *bundle::Bundle::open(root);
}

inline std::string serviceEntry(const std::string& name) {
    return "<key>NetworkExtension</key><dict><key>NEMachServiceName</key><string>" + name + "</string></dict>";
}

// Collects the flow texts it is sent.
class Receiver : public flowspur::AppCommunication {
public:
    void shareFlowUsingMessageString(std::string message) override {
        std::lock_guard lock(mutex_);
        texts_.push_back(std::move(message));
        changed_.notify_all();
    }
    bool waitForCount(std::size_t n, std::chrono::milliseconds limit = 10s) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, limit, [&] { return texts_.size() >= n; });
    }
    std::vector<std::string> texts() {
        std::lock_guard lock(mutex_);
        return texts_;
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<std::string> texts_;
};

// The outcome of a registration, once it arrives.
class Outcome {
public:
    std::function<void(bool)> handler() {
        return [this](bool ok) {
            std::lock_guard lock(mutex_);
            values_.push_back(ok);
            changed_.notify_all();
        };
    }
    std::vector<bool> waitForCount(std::size_t n, std::chrono::milliseconds limit = 10s) {
        std::unique_lock lock(mutex_);
        changed_.wait_for(lock, limit, [&] { return values_.size() >= n; });
        return values_;
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<bool> values_;
};

// A new application link to the extension of bundle that registers: a new one really
// asks (a registered link answers at once). Nothing when register: is not answered true
// within limit.
inline std::shared_ptr<flowspur::IPCConnection> newRegistration(const bundle::Bundle& bundle,
                                                                std::shared_ptr<flowspur::AppCommunication> delegate,
                                                                std::chrono::milliseconds limit = 10s) {
    auto app = std::make_shared<flowspur::IPCConnection>();
    auto outcome = std::make_shared<Outcome>();  // outlives a late answer
    app->registerWithExtension(bundle, std::move(delegate),
                               [outcome, handler = outcome->handler()](bool ok) { handler(ok); });
    if (outcome->waitForCount(1, limit) == std::vector<bool>{true}) return app;
    if (auto c = app->currentConnection()) c->invalidate();
    return nullptr;
}

// Clients that connect to a service, send a malformed frame and hang up, over and over,
// until it goes. Their sockets do not block, so a stalled listener fails a test instead
// of hanging it.
class ProtocolBreakers {
public:
    ProtocolBreakers(const std::string& serviceName, int threads) {
        address_.sun_family = AF_UNIX;
        std::strcpy(address_.sun_path, xpc::serviceSocketPath(serviceName).c_str());
        for (int t = 0; t < threads; ++t) {
            threads_.emplace_back([this] {
                const std::string garbage("\x05\0\0\0\x09xxxx", 9);
                while (!stop_) {
                    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
                    if (::connect(fd, reinterpret_cast<const sockaddr*>(&address_), sizeof address_) == 0) {
                        [[maybe_unused]] ssize_t n = ::send(fd, garbage.data(), garbage.size(), MSG_NOSIGNAL);
                        ++rounds_;
                    }
                    ::close(fd);
                }
            });
        }
    }
    ~ProtocolBreakers() { stop(); }
    // How many frames they have sent so far.
    int rounds() const { return rounds_; }
    // Stops them; how many frames they sent.
    int stop() {
        stop_ = true;
        for (auto& t : threads_) {
            if (t.joinable()) t.join();
        }
        return rounds_;
    }

private:
    sockaddr_un address_{};
    std::atomic<bool> stop_{false};
    std::atomic<int> rounds_{0};
    std::vector<std::thread> threads_;
};

}  // namespace testsupport
