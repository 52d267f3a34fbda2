#pragma once
// Helpers shared by the extension's tests: a temporary bundle folder, a recording
// AppCommunication receiver and bounded waits.

#include <gtest/gtest.h>

#include <unistd.h>

#include <chrono>
#include <condition_variable>
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

}  // namespace testsupport
