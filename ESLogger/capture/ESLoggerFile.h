#pragma once
// Replays a saved eslogger JSON Lines file once, from the first line to the last, on the
// thread that calls start(); both callbacks run on that thread. Each source reads through
// a file stream of its own, so several may read at the same time.
//
// Lines are decoded ahead on several threads: the file is read in blocks cut at line
// feeds, the lines of each block are decoded on a worker, and the calling thread applies
// the line rules (fragments, gaps, counts, logs, callbacks) to the blocks in file order,
// decoding itself only a piece joined with a held fragment. What the callbacks see is
// exactly what reading line by line on one thread gives.

#include <atomic>
#include <cstdio>
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

    // True while the file is being read, and from willStart() on.
    bool isRunning() const override { return active_.load(std::memory_order_acquire); }

    // For a caller that runs start() later on another thread: the source counts as
    // running from now on, until that start() has read the file; a stop() before it
    // makes that start() return at once.
    void willStart() {
        dispatched_.store(true, std::memory_order_release);
        active_.store(true, std::memory_order_release);
    }

    // Reads the whole file and returns when it is done or stopped. A file that cannot be
    // read or does not begin with "{" gives invalidDataInFile and no line. Each line,
    // without its line feed or carriage return and line feed, goes to processEvent.
    // Calls on one source run one after the other.
    void start() override;
    // Makes the reading stop before the next line; returns at once. Any thread.
    void stop() override { active_.store(false, std::memory_order_release); }

    // Threads that decode ahead (0, the default: one per core, at most 8); 1 reads and
    // decodes line by line on the calling thread. Bytes per block (default 512 KiB; a
    // longer line makes its block longer). Set before start().
    void setDecodeThreads(unsigned threads) { decodeThreads_ = threads; }
    void setBlockSize(std::size_t bytes) { blockSize_ = bytes > 0 ? bytes : 1; }

    // How a piece is decoded ahead of its delivery: decodeMessage, unless a test puts
    // a failing one here. A piece whose decode ahead fails or throws is decoded again
    // when it is delivered. Set before start().
    using Decoder = Decoded<ESMessage> (*)(std::string_view text);
    void setAheadDecoder(Decoder decoder) { aheadDecoder_ = decoder; }

private:
    void readLineByLine(std::FILE* file);
    void readInBlocks(std::FILE* file, unsigned threads);
    // Each line of bytes to processEvent, as readLineByLine does; false when stopped.
    bool processLines(std::string_view bytes);

    unsigned decodeThreads_ = 0;
    std::size_t blockSize_ = std::size_t(1) << 19;
    Decoder aheadDecoder_ = decodeMessage;
    std::filesystem::path fileURL_;
    std::atomic<bool> active_{false};
    std::atomic<bool> dispatched_{false};  // willStart() came before the next start()
    std::mutex reading_;  // held by start() while it reads
};

}  // namespace es
