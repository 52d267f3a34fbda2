#pragma once
// Replays a saved eslogger JSON Lines file once, from the first line to the last, on the
// thread that calls start(); both callbacks run on that thread. Each source reads through
// a file stream of its own, so several may read at the same time.

#include <atomic>
#include <filesystem>
#include <mutex>

#include "ESLogger.h"

namespace es {

class ESLoggerFile : public ESLogger {
public:
    // qos is accepted for symmetry with the other sources and not used.
    ESLoggerFile(std::filesystem::path withFileURL, EventCallback callHandler,
                 ErrorCallback errorHandler, logging::Logger::Level withLogLevel,
                 dispatch::QoS qos = dispatch::QoS::normal);

    const std::filesystem::path& fileURL() const { return fileURL_; }

    // True while the file is being read.
    bool isRunning() const override { return active_.load(std::memory_order_acquire); }

    // Reads the whole file and returns when it is done or stopped. A file that cannot be
    // read or does not begin with "{" gives invalidDataInFile and no line. Each line,
    // without its line feed or carriage return and line feed, goes to processEvent.
    // Calls on one source run one after the other.
    void start() override;
    // Makes the reading stop before the next line; returns at once. Any thread.
    void stop() override { active_.store(false, std::memory_order_release); }

private:
    std::filesystem::path fileURL_;
    std::atomic<bool> active_{false};
    std::mutex reading_;  // held by start() while it reads
};

}  // namespace es
