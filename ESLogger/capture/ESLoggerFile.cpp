#include "ESLoggerFile.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <memory>

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
