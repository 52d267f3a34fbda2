#pragma once
// Helpers of the capture tests: a log recorder installed as the logging factory, a
// thread-safe collector of callbacks with bounded waits, temporary folders and scripts,
// and valid lines with chosen sequence numbers.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "ESLogger.h"
#include "ESLoggerFile.h"
#include "FixtureGenerator.h"
#include "LoggingSystem.h"

namespace capturetest {

using namespace std::chrono_literals;
using Level = logging::Logger::Level;
using Kind = es::ESLogger::Error::Kind;

// Only stops a broken build from hanging the run; no test depends on its length.
constexpr auto hangGuard = 60s;

struct LogEntry {
    Level level;
    std::string label, message, file, function, source;
    std::map<std::string, std::string> metadata;
};

// Every logger made while it exists records into it (any level its logger admits).
class LogRecorder {
public:
    LogRecorder() : store_(std::make_shared<Store>()) {
        logging::LoggingSystem::bootstrap([store = store_](const std::string& label, const auto&) {
            return std::make_unique<Handler>(store, label);
        });
    }

    std::vector<LogEntry> entries() const {
        std::lock_guard lock(store_->mutex);
        return store_->entries;
    }
    std::vector<LogEntry> withMessage(const std::string& message) const {
        std::vector<LogEntry> found;
        for (auto& e : entries())
            if (e.message == message) found.push_back(e);
        return found;
    }
    std::size_t count(const std::string& message) const { return withMessage(message).size(); }

private:
    struct Store {
        std::mutex mutex;
        std::vector<LogEntry> entries;
    };

    class Handler final : public logging::LogHandler {
    public:
        Handler(std::shared_ptr<Store> store, std::string label)
            : store_(std::move(store)), label_(std::move(label)) {}
        std::unique_ptr<LogHandler> clone() const override { return std::make_unique<Handler>(*this); }
        std::optional<MetadataProvider> metadataProvider() const override { return std::nullopt; }
        void setMetadataProvider(std::optional<MetadataProvider>) override {}
        void log(Level level, const Message& message, const std::optional<Metadata>& metadata,
                 std::string_view source, std::string_view file, std::string_view function,
                 unsigned) const override {
            LogEntry entry{level, label_, message.value, std::string(file), std::string(function),
                           std::string(source), {}};
            if (metadata)
                for (const auto& [key, value] : *metadata) entry.metadata[key] = value.description();
            std::lock_guard lock(store_->mutex);
            store_->entries.push_back(std::move(entry));
        }
        std::optional<MetadataValue> metadataValue(const std::string&) const override { return std::nullopt; }
        void setMetadataValue(const std::string&, std::optional<MetadataValue>) override {}
        Metadata metadata() const override { return {}; }
        void setMetadata(Metadata) override {}
        Level logLevel() const override { return level_; }
        void setLogLevel(Level level) override { level_ = level; }

    private:
        std::shared_ptr<Store> store_;
        std::string label_;
        Level level_ = Level::info;
    };

    std::shared_ptr<Store> store_;
};

// Collects both callbacks of a source from any thread.
class Collector {
public:
    es::ESLogger::EventCallback events() {
        return [this](es::ESMessage message) {
            std::lock_guard lock(mutex_);
            events_.push_back(std::move(message));
            threads_.push_back(std::this_thread::get_id());
            changed_.notify_all();
        };
    }
    es::ESLogger::ErrorCallback errors() {
        return [this](const es::ESLogger::Error& error) {
            std::lock_guard lock(mutex_);
            errors_.push_back(error);
            changed_.notify_all();
        };
    }

    // Waits until done(events, errors) holds; false when it never did.
    bool waitUntil(const std::function<bool(const std::vector<es::ESMessage>&,
                                            const std::vector<es::ESLogger::Error>&)>& done) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, hangGuard, [&] { return done(events_, errors_); });
    }
    bool waitForEvents(std::size_t count) {
        return waitUntil([count](const auto& events, const auto&) { return events.size() >= count; });
    }
    bool waitForErrors(std::size_t count) {
        return waitUntil([count](const auto&, const auto& errors) { return errors.size() >= count; });
    }

    std::vector<es::ESMessage> eventList() {
        std::lock_guard lock(mutex_);
        return events_;
    }
    std::vector<std::int64_t> sequence() {
        std::lock_guard lock(mutex_);
        std::vector<std::int64_t> numbers;
        for (const auto& m : events_) numbers.push_back(m.global_seq_num);
        return numbers;
    }
    std::vector<es::ESLogger::Error> errorList() {
        std::lock_guard lock(mutex_);
        return errors_;
    }
    std::vector<std::thread::id> threads() {
        std::lock_guard lock(mutex_);
        return threads_;
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<es::ESMessage> events_;
    std::vector<std::thread::id> threads_;
    std::vector<es::ESLogger::Error> errors_;
};

// A source without a child whose output-chunk and output-end entries are reachable
// from the tests.
class ChunkSource : public es::ESLoggerFile {
public:
    using ESLoggerFile::ESLoggerFile;
    using ESLogger::handleStdout;
    using ESLogger::handleStdoutEnd;
};

// A fresh folder under the temporary directory, removed with everything in it.
class TempDir {
public:
    TempDir() {
        std::string pattern = (std::filesystem::temp_directory_path() / "capture-XXXXXX").string();
        path_ = ::mkdtemp(pattern.data());
    }
    ~TempDir() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    const std::filesystem::path& path() const { return path_; }
    std::filesystem::path operator/(const std::string& name) const { return path_ / name; }

    std::filesystem::path write(const std::string& name, const std::string& content) const {
        auto file = path_ / name;
        std::ofstream(file, std::ios::binary) << content;
        return file;
    }
    // An executable /bin/sh script.
    std::filesystem::path script(const std::string& name, const std::string& body) const {
        auto file = write(name, "#!/bin/sh\n" + body);
        ::chmod(file.c_str(), 0755);
        return file;
    }

private:
    std::filesystem::path path_;
};

// A stand-in eslogger: answers --list-events with listing (a shell command) and counts
// those runs in a file beside it; otherwise writes its arguments beside it and runs body.
inline std::filesystem::path standIn(const TempDir& dir, const std::string& listing, const std::string& body = "") {
    return dir.script("eslogger", "here=$(dirname \"$0\")\n"
                                  "if [ \"$1\" = --list-events ]; then\n"
                                  "  echo run >> \"$here/list-runs\"\n  " +
                                      listing + "\n  exit $?\nfi\n"
                                                "echo \"$@\" > \"$here/args\"\n" +
                                      body + "\n");
}
inline const std::string validList = "printf 'readdir\\nexec\\nsetgid\\nfork\\n'";

// Valid compact lines (each a different event kind) with chosen global_seq_num values.
inline std::vector<std::string> linesWithSequence(const std::vector<std::int64_t>& numbers) {
    fixtures::FixtureGenerator generator(7);
    std::vector<std::string> lines;
    for (auto n : numbers) {
        auto message = generator.next();
        message.global_seq_num = n;
        lines.push_back(es::encodeMessage(message));
    }
    return lines;
}
inline std::string lineWithSequence(std::int64_t n) {
    return linesWithSequence({n}).front();
}

// Lines joined, each ended by a line feed.
inline std::string joinLines(const std::vector<std::string>& lines) {
    std::string text;
    for (const auto& line : lines) text += line + "\n";
    return text;
}

// What a source gave: each message encoded again, the errors and the counters.
struct Outcome {
    std::vector<std::string> events;
    std::vector<es::ESLogger::Error> errors;
    std::int64_t seen = 0, dropped = 0;
};

inline Outcome outcomeOf(Collector& got, const es::ESLogger& source) {
    Outcome out{{}, got.errorList(), source.eventsSeen(), source.eventsDropped()};
    for (const auto& m : got.eventList()) out.events.push_back(es::encodeMessage(m));
    return out;
}

// The file source on a file of these bytes.
inline Outcome fileOutcome(const std::string& bytes, unsigned threads = 1) {
    TempDir dir;
    Collector got;
    es::ESLoggerFile source(dir.write("capture.jsonl", bytes), got.events(), got.errors(), Level::info);
    source.setDecodeThreads(threads);
    source.start();
    return outcomeOf(got, source);
}

// A stream source given these output chunks, and then the output's end.
inline Outcome streamOutcome(const std::vector<std::string>& chunks) {
    Collector got;
    ChunkSource source("/nonexistent", got.events(), got.errors(), Level::info);
    for (const auto& chunk : chunks) source.handleStdout(chunk);
    source.handleStdoutEnd();
    return outcomeOf(got, source);
}

}  // namespace capturetest
