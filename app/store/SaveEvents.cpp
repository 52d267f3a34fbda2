#include "SaveEvents.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <exception>
#include <random>
#include <string>

namespace qm {

namespace {

// Creates a new file beside target (same folder, so a rename stays within one
// filesystem) and names it in temp. A target that exists lends its mode.
int createBeside(const std::filesystem::path& target, std::filesystem::path& temp) {
    std::random_device random;
    for (int attempt = 0; attempt < 16; ++attempt) {
        temp = target;
        temp.replace_filename("." + target.filename().string() + "." + std::to_string(random()) + ".tmp");
        const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
        if (fd < 0 && errno == EEXIST) continue;
        struct stat existing;
        if (fd >= 0 && ::stat(target.c_str(), &existing) == 0 && S_ISREG(existing.st_mode))
            ::fchmod(fd, existing.st_mode & 07777);
        return fd;
    }
    return -1;
}

}  // namespace

std::string_view writeEvents(const std::filesystem::path& url, const std::vector<EventItemPtr>& events,
                             const std::function<void()>& encodingFailed) {
    std::error_code linkError;
    std::filesystem::path target = url;
    if (std::filesystem::is_symlink(url, linkError)) {
        auto resolved = std::filesystem::canonical(url, linkError);
        if (!linkError) target = std::move(resolved);
    }
    std::filesystem::path temp;
    int fd = createBeside(target, temp);
    if (fd < 0) return "opening";  // nothing of ours to remove
    auto fail = [&](std::string_view operation) {
        if (fd >= 0) ::close(fd);
        ::unlink(temp.c_str());
        return operation;
    };
    // Lines are gathered into a buffer of a few pages and written when it fills, so
    // memory stays small and each system call carries many events.
    constexpr std::size_t chunk = 1 << 16;
    std::string buffer;
    buffer.reserve(chunk * 2);
    auto writeOut = [&] {
        std::size_t done = 0;
        while (done < buffer.size()) {
            const ssize_t n = ::write(fd, buffer.data() + done, buffer.size() - done);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) return false;
            done += std::size_t(n);
        }
        buffer.clear();
        return true;
    };
    for (const EventItemPtr& event : events) {
        const std::size_t mark = buffer.size();
        try {
            es::appendMessage(buffer, event->theEvent());
        } catch (const std::exception&) {
            buffer.resize(mark);
            if (encodingFailed) encodingFailed();
            continue;
        }
        buffer.push_back('\n');
        if (buffer.size() >= chunk && !writeOut()) return fail("writing");
    }
    if (!writeOut() || ::fsync(fd) != 0) return fail("writing");
    const int closed = ::close(fd);
    fd = -1;  // closed either way
    if (closed != 0) return fail("writing");
    // The target could not be replaced (a folder, say): as if it could not be opened.
    if (::rename(temp.c_str(), target.c_str()) != 0) return fail("opening");
    // The rename itself is on disk once the folder is synced.
    if (const int folder = ::open(target.parent_path().empty() ? "." : target.parent_path().c_str(),
                                  O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        folder >= 0) {
        ::fsync(folder);
        ::close(folder);
    }
    return {};
}

}  // namespace qm
