#include "ESLoggerFile.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <memory>
#include <thread>

#include "CaptureText.h"

namespace es {

namespace {

struct CloseFile {
    void operator()(std::FILE* file) const { std::fclose(file); }
};
// getline's buffer, which it grows as needed.
struct LineBuffer {
    char* data = nullptr;
    std::size_t capacity = 0;
    LineBuffer() = default;
    LineBuffer(const LineBuffer&) = delete;
    LineBuffer& operator=(const LineBuffer&) = delete;
    ~LineBuffer() { std::free(data); }
};

}  // namespace

ESLoggerFile::ESLoggerFile(std::filesystem::path withFileURL, EventCallback callHandler,
                           ErrorCallback errorHandler, logging::Logger::Level withLogLevel,
                           dispatch::QoS)
    : ESLogger(BaseInit{}, std::move(callHandler), std::move(errorHandler), withLogLevel),
      fileURL_(std::move(withFileURL)) {}

void ESLoggerFile::start() {
    std::lock_guard reading(reading_);
    active_.store(true, std::memory_order_release);
    struct Idle {
        std::atomic<bool>& active;
        ~Idle() { active.store(false, std::memory_order_release); }
    } idle{active_};

    // The first byte must be "{". It is looked at, not taken: a named pipe cannot be
    // read twice. A file that cannot be opened or read (a directory) and an empty file fail.
    const std::unique_ptr<std::FILE, CloseFile> file(std::fopen(fileURL_.c_str(), "re"));
    if (file) std::setvbuf(file.get(), nullptr, _IOFBF, 1 << 20);
    const int first = file ? std::getc(file.get()) : EOF;
    if (first != '{') {
        reportError(Error(Error::Kind::invalidDataInFile));
        return;
    }
    std::ungetc(first, file.get());

    // Blocks only for a regular file: a pipe would hold back lines until a block fills.
    const unsigned threads =
        decodeThreads_ != 0 ? decodeThreads_ : std::clamp(std::thread::hardware_concurrency(), 1u, 8u);
    struct stat status {};
    if (threads > 1 && ::fstat(::fileno(file.get()), &status) == 0 && S_ISREG(status.st_mode))
        readInBlocks(file.get(), threads);
    else
        readLineByLine(file.get());
}

void ESLoggerFile::readLineByLine(std::FILE* file) {
    LineBuffer buffer;
    std::string scratch;
    for (ssize_t length; (length = ::getline(&buffer.data, &buffer.capacity, file)) >= 0;) {
        if (!active_.load(std::memory_order_acquire)) break;
        processEvent(capture::lineText({buffer.data, static_cast<std::size_t>(length)}, scratch));
    }
}

namespace {

// Whole lines of the file, each ended by a line feed except the file's last, with
// their pieces decoded by a worker.
struct Block {
    struct Line {
        std::string_view text;  // repaired UTF-8, without its terminator
        std::size_t firstPiece, endPiece;
    };
    std::string bytes;
    std::deque<std::string> repaired;  // lines that were not well-formed UTF-8
    std::vector<Line> lines;
    std::vector<ESLogger::DecodedPiece> pieces;
    bool ready = false;

    void decode() {
        std::string scratch;
        std::string_view rest = bytes;
        while (!rest.empty()) {
            const std::size_t end = rest.find('\n');
            const std::size_t length = end == std::string_view::npos ? rest.size() : end + 1;
            std::string_view text = capture::lineText(rest.substr(0, length), scratch);
            rest.remove_prefix(length);
            if (text.data() == scratch.data()) text = repaired.emplace_back(text);
            Line& line = lines.emplace_back(Line{text, pieces.size(), 0});
            capture::forEachPiece(text, [this](std::string_view piece) {
                auto& p = pieces.emplace_back(ESLogger::DecodedPiece{piece, std::nullopt});
                if (!piece.empty()) p.decoded.emplace(decodeMessage(piece));
            });
            line.endPiece = pieces.size();
        }
    }
};

// Reads the file in blocks of whole lines, in file order; a line longer than a block
// makes its block longer.
class BlockReader {
public:
    BlockReader(std::FILE* file, std::size_t blockSize) : file_(file), blockSize_(blockSize) {}

    // The next block, or none at the end of the file (or on a read error, where the
    // line-by-line reader stops too).
    std::unique_ptr<Block> next() {
        if (atEnd_) return nullptr;
        auto block = std::make_unique<Block>();
        std::string& bytes = block->bytes;
        bytes.swap(carry_);
        carry_.clear();
        for (;;) {
            const std::size_t old = bytes.size();
            bytes.resize(old + blockSize_);
            const std::size_t n = std::fread(bytes.data() + old, 1, blockSize_, file_);
            bytes.resize(old + n);
            if (n == 0) {
                atEnd_ = true;
                return bytes.empty() ? nullptr : std::move(block);
            }
            // Only the bytes just read can hold the block's last line feed: searching the
            // whole block again would make one long line cost quadratic time.
            const std::size_t feed = std::string_view(bytes).substr(old).rfind('\n');
            if (feed != std::string_view::npos) {
                const std::size_t lastFeed = old + feed;
                carry_.assign(bytes, lastFeed + 1);
                bytes.resize(lastFeed + 1);
                return block;
            }
        }
    }

private:
    std::FILE* file_;
    std::size_t blockSize_;
    std::string carry_;  // the start of a line that the next block completes
    bool atEnd_ = false;
};

}  // namespace

void ESLoggerFile::readInBlocks(std::FILE* file, unsigned threads) {
    BlockReader reader(file, blockSize_);
    const std::size_t inFlight = std::size_t(threads) + 2;
    std::mutex readMutex;  // taken before mutex
    std::mutex mutex;
    std::condition_variable changed;
    std::deque<std::unique_ptr<Block>> window;  // read and not yet delivered, in file order
    bool atEnd = false, cancelled = false;

    auto work = [&] {
        for (;;) {
            Block* block;
            {
                std::unique_lock readLock(readMutex);
                {
                    std::unique_lock lock(mutex);
                    changed.wait(lock, [&] { return cancelled || atEnd || window.size() < inFlight; });
                    if (cancelled || atEnd) return;
                }
                auto next = reader.next();
                std::lock_guard lock(mutex);
                if (!next) {
                    atEnd = true;
                    changed.notify_all();
                    return;
                }
                block = next.get();
                window.push_back(std::move(next));
            }
            try {
                block->decode();
            } catch (...) {
                // Pieces left undecoded are decoded when they are delivered.
            }
            std::lock_guard lock(mutex);
            block->ready = true;
            changed.notify_all();
        }
    };
    std::vector<std::jthread> workers;
    struct Join {
        std::vector<std::jthread>& workers;
        std::mutex& mutex;
        std::condition_variable& changed;
        bool& cancelled;
        ~Join() {
            {
                std::lock_guard lock(mutex);
                cancelled = true;
            }
            changed.notify_all();
            workers.clear();
        }
    } join{workers, mutex, changed, cancelled};
    for (unsigned i = 0; i < threads; ++i) workers.emplace_back(work);

    for (;;) {
        Block* block;
        {
            std::unique_lock lock(mutex);
            changed.wait(lock, [&] { return (!window.empty() && window.front()->ready) || (window.empty() && atEnd); });
            if (window.empty()) return;
            block = window.front().get();
        }
        for (const Block::Line& line : block->lines) {
            if (!active_.load(std::memory_order_acquire)) return;
            processDecodedPieces(line.text, std::span(block->pieces).subspan(
                                                line.firstPiece, line.endPiece - line.firstPiece));
        }
        std::unique_ptr<Block> done;
        {
            std::lock_guard lock(mutex);
            done = std::move(window.front());
            window.pop_front();
        }
        changed.notify_all();
    }
}

}  // namespace es
