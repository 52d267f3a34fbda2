#include "SaveEvents.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cctype>
#include <exception>
#include <new>
#include <random>
#include <string>

#include "Dispatch.h"
#include "EventItem.h"

namespace qm {

namespace {

// The target's path, folder and name as texts: the library's path operations do not
// all survive memory running out (some end the process, one loops).
struct Target {
    std::string path, folder, name;
    explicit Target(const std::string& full) : path(full) {
        const std::size_t slash = full.rfind('/');
        folder = slash == std::string::npos ? "." : slash == 0 ? "/" : full.substr(0, slash);
        name = slash == std::string::npos ? full : full.substr(slash + 1);
    }
    // A file written beside it: "." its name "." a number ".tmp".
    std::string beside(unsigned number) const {
        return folder + "/." + name + "." + std::to_string(number) + ".tmp";
    }
};

bool isTemporaryOf(std::string_view name, std::string_view targetName) {
    constexpr std::string_view end = ".tmp";
    if (name.size() <= targetName.size() + 2 + end.size() || name[0] != '.' || !name.substr(1).starts_with(targetName) ||
        name[1 + targetName.size()] != '.' || !name.ends_with(end))
        return false;
    for (std::size_t i = targetName.size() + 2; i < name.size() - end.size(); ++i)
        if (!std::isdigit(static_cast<unsigned char>(name[i]))) return false;
    return true;
}

// Removes the files that earlier saves to target left beside it when their process
// ended in the middle (kill -9): a save holds a lock on its file while the file exists,
// so a file that can be locked has no save left to finish it. The folder is read with
// the system's calls: the library's folder walk ends the process when memory runs out.
void removeLeftFiles(const Target& target) {
    const int folderFd = ::open(target.folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folderFd < 0) return;
    DIR* folder = ::fdopendir(folderFd);
    if (!folder) {
        ::close(folderFd);
        return;
    }
    while (const dirent* entry = ::readdir(folder)) {
        const char* name = entry->d_name;
        if (!isTemporaryOf(name, target.name)) continue;
        const int fd = ::openat(folderFd, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0) continue;
        struct stat opened, named;
        // Still the file of that name once locked: not one a save has just renamed.
        if (::flock(fd, LOCK_EX | LOCK_NB) == 0 && ::fstat(fd, &opened) == 0 && S_ISREG(opened.st_mode) &&
            ::fstatat(folderFd, name, &named, AT_SYMLINK_NOFOLLOW) == 0 && named.st_dev == opened.st_dev &&
            named.st_ino == opened.st_ino)
            ::unlinkat(folderFd, name, 0);
        ::close(fd);
    }
    ::closedir(folder);
}

// The file being written beside the target, locked while it exists; removed and closed
// when it goes unless it has replaced the target.
struct Temporary {
    std::string path;
    int fd = -1;
    int lock = -1;  // a second descriptor of the file that holds its lock until the end
    bool placed = false;

    Temporary() = default;
    Temporary(const Temporary&) = delete;
    Temporary& operator=(const Temporary&) = delete;
    ~Temporary() {
        if (fd >= 0) ::close(fd);
        if (!path.empty() && !placed) ::unlink(path.c_str());
        if (lock >= 0) ::close(lock);
    }

    // Creates the file beside target (same folder, so a rename stays within one
    // filesystem). A target that exists lends its mode. False when none could be made.
    bool create(const Target& target) {
        std::random_device random;
        for (int attempt = 0; attempt < 16; ++attempt) {
            std::string name = target.beside(random());
            const int made = ::open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
            if (made < 0 && errno == EEXIST) continue;
            if (made < 0) return false;
            // Locked before anything is written: an unlocked file of this name is one
            // left. Should another save have taken it for one before the lock, it is
            // gone by then and another name is tried.
            struct stat opened, named;
            if (::flock(made, LOCK_EX) != 0 || ::fstat(made, &opened) != 0) {
                ::close(made);
                ::unlink(name.c_str());
                return false;
            }
            if (::lstat(name.c_str(), &named) != 0 || named.st_dev != opened.st_dev || named.st_ino != opened.st_ino) {
                ::close(made);
                continue;
            }
            fd = made;
            path = std::move(name);
            if ((lock = ::dup(fd)) < 0) return false;
            struct stat existing;
            if (::stat(target.path.c_str(), &existing) == 0 && S_ISREG(existing.st_mode)) ::fchmod(fd, existing.st_mode & 07777);
            return true;
        }
        return false;
    }

    bool write(std::string_view bytes) {
        while (!bytes.empty()) {
            const ssize_t n = ::write(fd, bytes.data(), bytes.size());
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) return false;
            bytes.remove_prefix(std::size_t(n));
        }
        return true;
    }

    // All of it on disk and closed.
    bool finish() {
        if (::fsync(fd) != 0) return false;
        const int closed = ::close(fd);
        fd = -1;  // closed either way
        return closed == 0;
    }

    // Replaces target; false when it could not (a folder, say).
    bool place(const Target& target) {
        if (::rename(path.c_str(), target.path.c_str()) != 0) return false;
        placed = true;
        // The rename itself is on disk once the folder is synced.
        if (const int folder = ::open(target.folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC); folder >= 0) {
            ::fsync(folder);
            ::close(folder);
        }
        return true;
    }
};

}  // namespace

std::string failureCause() noexcept {
    try {
        throw;
    } catch (const std::bad_alloc&) {
    } catch (...) {
        try {
            return dispatch::exceptionText();
        } catch (...) {
        }
    }
    return "out of memory";  // held without memory of its own
}

SaveResult writeEvents(const std::filesystem::path& url, const std::vector<EventItemPtr>& events,
                       const std::function<void()>& encodingFailed) {
    Temporary file;
    try {
        std::error_code linkError;
        std::string resolved = url.native();
        if (std::filesystem::is_symlink(url, linkError)) {
            auto canonical = std::filesystem::canonical(url, linkError);
            if (!linkError) resolved = canonical.native();
        }
        const Target target(resolved);
        removeLeftFiles(target);
        if (!file.create(target)) return {"opening", {}};
        // Lines are gathered into a buffer of a few pages and written when it fills, so
        // memory stays small and each system call carries many events.
        constexpr std::size_t chunk = 1 << 16;
        std::string buffer;
        buffer.reserve(chunk * 2);
        for (const EventItemPtr& event : events) {
            const std::size_t mark = buffer.size();
            try {
                es::appendMessage(buffer, event->theEvent());
            } catch (const std::bad_alloc&) {
                throw;
            } catch (const std::exception&) {
                buffer.resize(mark);
                if (encodingFailed) encodingFailed();
                continue;
            }
            buffer.push_back('\n');
            if (buffer.size() >= chunk) {
                if (!file.write(buffer)) return {"writing", {}};
                buffer.clear();
            }
        }
        if (!file.write(buffer) || !file.finish()) return {"writing", {}};
        // The target could not be replaced (a folder, say): as if it could not be opened.
        if (!file.place(target)) return {"opening", {}};
        return {};
    } catch (...) {
        return {{}, failureCause()};
    }
}

}  // namespace qm
