#include "ESLoggerFile.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <memory>

#include "CaptureText.h"

namespace es {

namespace {

// Whether the file's first byte is "{". A file that cannot be opened or read (a missing
// file, a directory) and an empty file fail.
bool fileStartsWithJSONObject(const std::filesystem::path& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    char first = 0;
    const bool ok = ::read(fd, &first, 1) == 1 && first == '{';
    ::close(fd);
    return ok;
}

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

    if (!fileStartsWithJSONObject(fileURL_)) {
        reportError(Error(Error::Kind::invalidDataInFile));
        return;
    }
    const std::unique_ptr<std::FILE, CloseFile> file(std::fopen(fileURL_.c_str(), "re"));
    if (!file) return;
    std::setvbuf(file.get(), nullptr, _IOFBF, 1 << 20);

    LineBuffer buffer;
    std::string scratch;
    for (ssize_t length; (length = ::getline(&buffer.data, &buffer.capacity, file.get())) >= 0;) {
        std::string_view line(buffer.data, static_cast<std::size_t>(length));
        if (line.ends_with('\n')) {
            line.remove_suffix(1);
            if (line.ends_with('\r')) line.remove_suffix(1);
        }
        if (!active_.load(std::memory_order_acquire)) break;
        processEvent(capture::repairedUTF8(line, scratch));
    }
}

}  // namespace es
