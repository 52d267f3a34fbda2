#include "ESLoggerFile.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <memory>
#include <new>
#include <system_error>
#include <thread>
#include <type_traits>

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

// Opens the file once its first byte can be read (or its end or an error is known),
// or gives none when it cannot be opened or active turns false first. Opening does
// not wait: a named pipe without a writer would hold open() until a writer comes,
// and nothing could end that wait; here the wait is a poll that looks at active
// every tenth of a second. Reading blocks again from the first byte on.
std::unique_ptr<std::FILE, CloseFile> openWhenReadable(const std::filesystem::path& path,
                                                     const std::atomic<bool>& active) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return nullptr;
    for (pollfd waiting{fd, POLLIN, 0};;) {
        if (!active.load(std::memory_order_acquire)) {
            ::close(fd);
            return nullptr;
        }
        const int ready = ::poll(&waiting, 1, 100);
        if (ready > 0 || (ready < 0 && errno != EINTR)) break;
    }
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    std::FILE* file = ::fdopen(fd, "r");
    if (!file) ::close(fd);
    return std::unique_ptr<std::FILE, CloseFile>(file);
}

}  // namespace

ESLoggerFile::ESLoggerFile(std::filesystem::path withFileURL, EventCallback callHandler,
                           ErrorCallback errorHandler, logging::Logger::Level withLogLevel,
                           dispatch::QoS)
    : ESLogger(BaseInit{}, std::move(callHandler), std::move(errorHandler), withLogLevel),
      fileURL_(std::move(withFileURL)) {}

void ESLoggerFile::start() {
    std::lock_guard reading(reading_);
    // After willStart() the flag is already set, unless a stop() has cleared it since.
    if (!dispatched_.exchange(false, std::memory_order_acq_rel)) active_.store(true, std::memory_order_release);
    struct Idle {
        std::atomic<bool>& active;
        ~Idle() { active.store(false, std::memory_order_release); }
    } idle{active_};

    // The first byte must be "{". It is looked at, not taken: a named pipe cannot be
    // read twice. A file that cannot be opened or read (a directory) and an empty file fail.
    const std::unique_ptr<std::FILE, CloseFile> file = openWhenReadable(fileURL_, active_);
    if (!active_.load(std::memory_order_acquire)) return;  // stopped before the first byte came
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
    try {
        if (threads > 1 && ::fstat(::fileno(file.get()), &status) == 0 && S_ISREG(status.st_mode))
            readInBlocks(file.get(), threads);
        else
            readLineByLine(file.get());
    } catch (...) {
        // A failure (memory running out) ends the read after the lines delivered before
        // it, with one report; a stopped source reports nothing more.
        if (active_.load(std::memory_order_acquire)) reportError(Error(Error::Kind::internalError, dispatch::exceptionText()));
    }
}

void ESLoggerFile::readLineByLine(std::FILE* file) {
    LineBuffer buffer;
    std::string scratch;
    for (;;) {
        errno = 0;
        const ssize_t length = ::getline(&buffer.data, &buffer.capacity, file);
        if (length < 0) {
            // No room for a long line is a failure, not the end of the file.
            if (errno == ENOMEM) throw std::bad_alloc();
            break;
        }
        if (!active_.load(std::memory_order_acquire)) break;
        processEvent(capture::lineText({buffer.data, static_cast<std::size_t>(length)}, scratch));
    }
}

namespace {

// Calls line(text, end) for each line of bytes, its text with its line feed, and the
// offset just after it; the last line may lack its line feed. Stops when line gives false.
template <class F>
bool forEachLine(std::string_view bytes, F&& line) {
    for (std::size_t at = 0; at < bytes.size();) {
        const std::size_t feed = bytes.find('\n', at);
        const std::size_t end = feed == std::string_view::npos ? bytes.size() : feed + 1;
        if (!line(bytes.substr(at, end - at), end)) return false;
        at = end;
    }
    return true;
}

// Bytes that are not zero-filled when they grow: the read overwrites them.
class ByteBuffer {
public:
    char* data() { return data_.get(); }
    std::string_view view() const { return {data_.get(), size_}; }
    std::size_t size() const { return size_; }
    std::size_t capacity() const { return capacity_; }
    void resize(std::size_t size) {
        reserve(size);
        size_ = size;
    }
    // Room for size bytes, keeping those held; grows at least twofold.
    void reserve(std::size_t size) {
        if (size <= capacity_) return;
        const std::size_t capacity = std::max(size, 2 * capacity_);
        std::unique_ptr<char[]> grown(new char[capacity]);
        if (size_ > 0) std::memcpy(grown.get(), data_.get(), size_);
        data_ = std::move(grown);
        capacity_ = capacity;
    }

private:
    std::unique_ptr<char[]> data_;
    std::size_t size_ = 0, capacity_ = 0;
};

using Piece = ESLogger::DecodedPiece;
static_assert(std::is_nothrow_move_constructible_v<ESMessage>, "messages move, not copy, when their list grows");

// Whole lines of the file, each ended by a line feed except the file's last, cut into
// pieces and decoded by a worker. A block is used again once it is delivered, so its
// buffer and lists keep their room.
struct Block {
    struct Line {
        std::string_view text;  // repaired UTF-8, without its terminator
        std::uint32_t firstPiece, endPiece;
    };
    ByteBuffer bytes;
    std::size_t cutEnd = 0;  // the lines before this offset are in lines; the rest are not cut
    std::deque<std::string> repaired;  // lines that were not well-formed UTF-8
    std::vector<Line> lines;
    std::vector<Piece> pieces;
    std::vector<ESMessage> messages;  // decoded ahead
    std::size_t messageText = 0;      // bytes of the texts of messages: what their strings hold, at most
    std::size_t charge = 0;           // what the block counts against the read-ahead
    bool ready = false;

    // Memory of the cut lines, pieces and messages (their heap blocks estimated by their
    // texts), by what is held or by what is used.
    std::size_t held() const {
        return lines.capacity() * sizeof(Line) + pieces.capacity() * sizeof(Piece) +
               messages.capacity() * sizeof(ESMessage) + messageText + bytes.capacity();
    }
    std::size_t used() const {
        return lines.size() * sizeof(Line) + pieces.size() * sizeof(Piece) + messages.size() * sizeof(ESMessage) +
               messageText;
    }

    // Cuts and decodes the lines while what they take stays below limit bytes; the lines
    // after that, or after a failure (out of memory), are left to the delivery.
    void decode(ESLoggerFile::Decoder decoder, std::size_t limit) {
        repaired.clear();
        lines.clear();
        pieces.clear();
        messages.clear();
        messageText = 0;
        std::string scratch;
        cutEnd = 0;
        try {
            forEachLine(bytes.view(), [&](std::string_view line, std::size_t end) {
                if (used() >= limit || pieces.size() + line.size() >= Piece::notDecoded) return false;
                cut(line, decoder, scratch);
                cutEnd = end;
                return true;
            });
        } catch (...) {
            // The line that failed is cut again, and decoded, when it is delivered.
        }
    }

private:
    // Adds one line, or nothing when it throws.
    void cut(std::string_view line, ESLoggerFile::Decoder decoder, std::string& scratch) {
        const std::size_t repairedMark = repaired.size(), pieceMark = pieces.size(),
                          messageMark = messages.size(), textMark = messageText;
        try {
            std::string_view text = capture::lineText(line, scratch);
            if (text.data() == scratch.data()) text = repaired.emplace_back(text);
            capture::forEachPiece(text, [&](std::string_view piece) {
                Piece& p = pieces.emplace_back(Piece{piece});
                // A piece that does not begin an object is mostly the rest of a line
                // held as a fragment, decoded only joined with it.
                if (!piece.starts_with('{')) return;
                auto decoded = decoder(piece);
                if (!decoded.ok()) return;
                messages.push_back(std::move(decoded).value());
                p.message = static_cast<std::uint32_t>(messages.size() - 1);
                messageText += piece.size();
            });
            lines.push_back(Line{text, static_cast<std::uint32_t>(pieceMark), static_cast<std::uint32_t>(pieces.size())});
        } catch (...) {
            pieces.resize(pieceMark);
            messages.erase(messages.begin() + static_cast<std::ptrdiff_t>(messageMark), messages.end());
            messageText = textMark;
            if (repaired.size() > repairedMark) repaired.pop_back();
            throw;
        }
    }
};

// Reads the file in blocks of whole lines, in file order; a line longer than a block
// makes its block longer.
class BlockReader {
public:
    BlockReader(std::FILE* file, std::size_t blockSize) : file_(file), blockSize_(blockSize) {}

    // Fills block with the next lines; false at the end of the file (or on a read error,
    // where the line-by-line reader stops too).
    bool next(Block& block) {
        if (atEnd_) return false;
        ByteBuffer& bytes = block.bytes;
        bytes.resize(carry_.size());
        if (!carry_.empty()) std::memcpy(bytes.data(), carry_.data(), carry_.size());
        carry_.clear();
        for (;;) {
            const std::size_t old = bytes.size();
            bytes.resize(old + blockSize_);
            const std::size_t n = std::fread(bytes.data() + old, 1, blockSize_, file_);
            bytes.resize(old + n);
            if (n == 0) {
                atEnd_ = true;
                return old > 0;
            }
            // Only the bytes just read can hold the block's last line feed: searching the
            // whole block again would make one long line cost quadratic time.
            const std::size_t feed = bytes.view().substr(old).rfind('\n');
            if (feed != std::string_view::npos) {
                const std::size_t end = old + feed + 1;
                carry_.assign(bytes.view().substr(end));
                bytes.resize(end);
                return true;
            }
        }
    }

private:
    std::FILE* file_;
    std::size_t blockSize_;
    std::string carry_;  // the start of a line that the next block completes
    bool atEnd_ = false;
};

// What the lines cut ahead of a block may take, in times its bytes: lines of a few
// bytes each are left to the delivery rather than cut into lists many times larger.
constexpr std::size_t aheadFactor = 4;
// What the blocks read ahead may hold together before the next one is read.
constexpr std::size_t readAheadBudget = std::size_t(32) << 20;

}  // namespace

bool ESLoggerFile::processLines(std::string_view bytes) {
    std::string scratch;
    return forEachLine(bytes, [&](std::string_view line, std::size_t) {
        if (!active_.load(std::memory_order_acquire)) return false;
        processEvent(capture::lineText(line, scratch));
        return true;
    });
}

void ESLoggerFile::readInBlocks(std::FILE* file, unsigned threads) {
    BlockReader reader(file, blockSize_);
    const Decoder decoder = aheadDecoder_;
    std::mutex readMutex;  // taken before mutex
    std::mutex mutex;
    std::condition_variable changed;
    // Read and not yet delivered, in file order; the charges of all of them; delivered
    // blocks kept for use again.
    std::deque<std::unique_ptr<Block>> window;
    std::size_t charged = 0;
    std::vector<std::unique_ptr<Block>> spare;
    const std::size_t spareLimit = std::size_t(threads) + 2;
    const std::size_t spareBytes = (aheadFactor + 2) * blockSize_;
    bool atEnd = false, cancelled = false;
    // What ended the reading early (memory ran out); delivered after the blocks read before it.
    std::exception_ptr failure;

    auto read = [&] {
        for (;;) {
            Block* block;
            {
                std::unique_lock readLock(readMutex);
                std::unique_ptr<Block> next;
                {
                    std::unique_lock lock(mutex);
                    changed.wait(lock, [&] { return cancelled || atEnd || window.empty() || charged < readAheadBudget; });
                    if (cancelled || atEnd) return;
                    if (!spare.empty()) {
                        next = std::move(spare.back());
                        spare.pop_back();
                    }
                }
                if (!next) next = std::make_unique<Block>();
                const bool more = reader.next(*next);
                std::lock_guard lock(mutex);
                if (!more) {
                    atEnd = true;
                    changed.notify_all();
                    return;
                }
                block = next.get();
                block->ready = false;
                // Until it is cut, a block counts as much as its lines may take.
                block->charge = block->held() + aheadFactor * block->bytes.size();
                charged += block->charge;
                window.push_back(std::move(next));
            }
            block->decode(decoder, aheadFactor * block->bytes.size());
            std::lock_guard lock(mutex);
            charged = charged - block->charge + block->held();
            block->charge = block->held();
            block->ready = true;
            changed.notify_all();
        }
    };
    auto work = [&]() noexcept {
        try {
            read();
        } catch (...) {
            // The reader may have taken lines from the file that no block holds: nothing
            // after them is read.
            std::lock_guard lock(mutex);
            if (!failure) failure = std::current_exception();
            atEnd = true;
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
    workers.reserve(threads);
    for (unsigned i = 0; i < threads; ++i) {
        try {
            workers.emplace_back(work);
        } catch (const std::system_error&) {  // no thread to be had: fewer, or none
            break;
        }
    }
    if (workers.empty()) {
        readLineByLine(file);
        return;
    }

    for (;;) {
        Block* block;
        {
            std::unique_lock lock(mutex);
            changed.wait(lock, [&] { return (!window.empty() && window.front()->ready) || (window.empty() && atEnd); });
            if (window.empty()) {
                if (failure) std::rethrow_exception(failure);
                return;
            }
            block = window.front().get();
        }
        for (const Block::Line& line : block->lines) {
            if (!active_.load(std::memory_order_acquire)) return;
            processDecodedPieces(line.text,
                                 std::span(block->pieces).subspan(line.firstPiece, line.endPiece - line.firstPiece),
                                 block->messages);
        }
        if (!processLines(block->bytes.view().substr(block->cutEnd))) return;
        std::unique_ptr<Block> done;
        {
            std::lock_guard lock(mutex);
            done = std::move(window.front());
            window.pop_front();
            charged -= done->charge;
            // A block that grew for long lines is not kept.
            if (spare.size() < spareLimit && done->held() <= spareBytes) spare.push_back(std::move(done));
        }
        changed.notify_all();
    }
}

}  // namespace es
