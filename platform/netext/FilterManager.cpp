#include "FilterManager.h"

#include <fcntl.h>
#include <poll.h>
#include <pwd.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "Plist.h"

namespace netext {

namespace fs = std::filesystem;

namespace {

constexpr const char* kFileName = "NEFilterConfiguration.plist";

Error error(int code, std::string text) { return Error{"NEFilterErrorDomain", code, std::move(text)}; }

fs::path userConfigurationPath(const char* home, const char* xdgConfig) {
    fs::path base = xdgConfig && *xdgConfig ? fs::path(xdgConfig) : fs::path(home ? home : "/tmp") / ".config";
    return base / "quillmark" / kFileName;
}

std::string atPath(const fs::path& path) { return "The filter configuration at " + path.string(); }

std::optional<FilterConfiguration> decode(std::string_view bytes) {
    auto p = plist::Plist::parse(bytes);
    if (!p || !p->root().isDictionary()) return std::nullopt;
    plist::PlistNode root = p->root();
    FilterConfiguration c;
    c.enabled = root["Enabled"].boolean().value_or(false);
    plist::PlistNode provider = root["ProviderConfiguration"];
    if (provider.isDictionary()) {
        c.providerConfiguration = NEFilterProviderConfiguration{provider["FilterSockets"].boolean().value_or(false),
                                                                provider["FilterPackets"].boolean().value_or(false)};
    }
    c.localizedDescription = root["LocalizedDescription"].string();
    return c;
}

}  // namespace

std::optional<FilterConfiguration> FilterConfiguration::read(const fs::path& path, std::string& err) {
    // Only a regular file is read, and the last part of the path is not followed: opening
    // a named pipe blocks until someone writes to it, a device may never end or may do
    // something when opened, and the file may belong to a user who started the extension
    // through pkexec. The file is opened without blocking, in case it turned into a pipe
    // since it was looked at.
    auto fail = [&](const std::string& why) {
        err = atPath(path) + why;
        return std::nullopt;
    };
    auto cannotRead = [&](int code) { return fail(std::string(" cannot be read: ") + std::strerror(code) + "."); };
    const std::string notRegular = " is not a regular file; it is not read.";
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0) {
        if (errno == ENOENT || errno == ENOTDIR) return FilterConfiguration{};
        return cannotRead(errno);
    }
    if (!S_ISREG(st.st_mode)) return fail(notRegular);
    int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        if (errno == ENOENT || errno == ENOTDIR) return FilterConfiguration{};
        return errno == ELOOP ? fail(notRegular) : cannotRead(errno);
    }
    // One byte more than allowed tells a file that is too large, whatever its size.
    std::string bytes(kMaxFilterConfigurationBytes + 1, '\0');
    std::size_t got = 0;
    int readError = ::fstat(fd, &st) != 0 ? errno : 0;
    const bool regular = !readError && S_ISREG(st.st_mode);
    while (regular && !readError && got < bytes.size()) {
        ssize_t n = ::read(fd, bytes.data() + got, bytes.size() - got);
        if (n == 0) break;
        if (n > 0) got += std::size_t(n);
        else if (errno != EINTR) readError = errno;
    }
    ::close(fd);
    if (readError) return cannotRead(readError);
    if (!regular) return fail(notRegular);
    if (got > kMaxFilterConfigurationBytes) {
        return fail(" is larger than " + std::to_string(kMaxFilterConfigurationBytes) + " bytes; it is not read.");
    }
    bytes.resize(got);
    auto c = decode(bytes);
    if (!c) return fail(" cannot be read.");
    return c;
}

std::optional<std::string> FilterConfiguration::write(const fs::path& path) const {
    plist::Plist p = plist::Plist::dictionary();
    p.set("Enabled", plist::Plist::boolean(enabled));
    if (providerConfiguration) {
        plist::Plist provider = plist::Plist::dictionary();
        provider.set("FilterSockets", plist::Plist::boolean(providerConfiguration->filterSockets));
        provider.set("FilterPackets", plist::Plist::boolean(providerConfiguration->filterPackets));
        p.set("ProviderConfiguration", std::move(provider));
    }
    if (localizedDescription) p.set("LocalizedDescription", plist::Plist::string(*localizedDescription));
    // Only what read gives back as it is gets written: a file that read refuses would
    // leave the application and the extension with different configurations.
    const std::string xml = p.toXML();
    if (xml.size() > kMaxFilterConfigurationBytes) {
        return "it would be " + std::to_string(xml.size()) + " bytes, and no more than " +
               std::to_string(kMaxFilterConfigurationBytes) + " bytes are read";
    }
    if (decode(xml) != *this) return "it would not read back as it is (its description holds a character that the file cannot keep)";
    std::error_code ec;
    fs::create_directories(path.parent_path(), ec);
    return plist::Plist::replaceFile(path, xml);
}

fs::path filterConfigurationPath() {
    if (const char* over = std::getenv("QUILLMARK_FILTER_CONFIG"); over && *over) return over;
    if (const char* invoker = std::getenv("PKEXEC_UID"); invoker && *invoker) {
        if (passwd* pw = ::getpwuid(uid_t(std::strtoul(invoker, nullptr, 10)))) {
            return userConfigurationPath(pw->pw_dir, nullptr);
        }
    }
    if (::geteuid() == 0) return fs::path("/var/lib/quillmark") / kFileName;
    return userConfigurationPath(std::getenv("HOME"), std::getenv("XDG_CONFIG_HOME"));
}

fs::path filterConfigurationPath(int argc, char** argv) {
    for (int i = 1; i + 1 < argc; ++i) {
        if (argv[i] == kFilterConfigurationOption && *argv[i + 1]) return argv[i + 1];
    }
    return filterConfigurationPath();
}

// ---- FileWatcher ---------------------------------------------------------------------

namespace {
constexpr std::uint32_t kWatchedEvents = IN_CLOSE_WRITE | IN_MOVED_TO | IN_MOVED_FROM | IN_CREATE | IN_DELETE |
                                         IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR;
}  // namespace

FileWatcher::FileWatcher(fs::path path, std::function<void()> changed) {
    std::error_code ec;
    path = fs::absolute(path, ec);
    folder_ = path.parent_path();
    name_ = path.filename().string();
    inotify_ = ::inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
    wake_ = ::eventfd(0, EFD_CLOEXEC);
    if (inotify_ < 0 || wake_ < 0) return;
    arm();
    if (watch_ < 0) return;
    thread_ = std::thread([this, changed = std::move(changed)] {
        alignas(inotify_event) char buf[4096];
        for (;;) {
            pollfd fds[2] = {{inotify_, POLLIN, 0}, {wake_, POLLIN, 0}};
            if (::poll(fds, 2, -1) < 0) continue;
            if (fds[1].revents) return;
            ssize_t n = ::read(inotify_, buf, sizeof buf);
            const bool inFolder = watched_ == folder_;
            bool hit = false, moved = false;
            for (ssize_t i = 0; i + ssize_t(sizeof(inotify_event)) <= n;) {
                auto* e = reinterpret_cast<inotify_event*>(buf + i);
                i += ssize_t(sizeof(inotify_event) + e->len);
                if (e->wd != watch_) continue;  // of a folder watched before
                if (e->mask & (IN_DELETE_SELF | IN_MOVE_SELF | IN_IGNORED)) {
                    // The watched folder went: the file went with it.
                    moved = true;
                    hit = hit || inFolder;
                } else if (e->len > 0 && inFolder) {
                    // Writes in place and atomic replacements both count; the temporary
                    // file of a replacement does not.
                    hit = hit || name_ == e->name;
                } else if (e->len > 0 && (e->mask & (IN_CREATE | IN_MOVED_TO))) {
                    moved = moved || nextFolder() == watched_ / e->name;
                }
            }
            if (moved) {
                arm();
                // The file's folder appeared: a file already in it is news.
                std::error_code ec;
                hit = hit || (!inFolder && watched_ == folder_ && fs::exists(folder_ / name_, ec));
            }
            if (hit) changed();
        }
    });
}

fs::path FileWatcher::nextFolder() const {
    fs::path rest = folder_.lexically_relative(watched_);
    return rest.empty() || rest == "." ? folder_ : watched_ / *rest.begin();
}

void FileWatcher::arm() {
    // A folder on the way that appears before the watch is in place would be missed:
    // look again while that brings the watch deeper.
    for (fs::path before;;) {
        int wd = -1;
        fs::path at = folder_;
        while ((wd = ::inotify_add_watch(inotify_, at.c_str(), kWatchedEvents)) < 0 && at != at.parent_path()) {
            at = at.parent_path();
        }
        if (watch_ >= 0 && watch_ != wd) ::inotify_rm_watch(inotify_, watch_);
        watch_ = wd;
        watched_ = wd >= 0 ? at : fs::path();
        std::error_code ec;
        if (wd < 0 || watched_ == folder_ || watched_ == before || !fs::is_directory(nextFolder(), ec)) return;
        before = watched_;
    }
}

FileWatcher::~FileWatcher() {
    if (thread_.joinable()) {
        std::uint64_t one = 1;
        [[maybe_unused]] ssize_t n = ::write(wake_, &one, sizeof one);
        thread_.join();
    }
    if (inotify_ >= 0) ::close(inotify_);
    if (wake_ >= 0) ::close(wake_);
}

// ---- NEFilterManager -----------------------------------------------------------------

NEFilterManager& NEFilterManager::shared() {
    static NEFilterManager* manager = new NEFilterManager(filterConfigurationPath());
    return *manager;
}

NEFilterManager::NEFilterManager(fs::path path) : path_(std::move(path)) {}

NEFilterManager::~NEFilterManager() {
    std::unique_ptr<FileWatcher> watcher;
    {
        std::lock_guard lock(mutex_);
        watcher = std::move(watcher_);
    }
}

void NEFilterManager::loadFromPreferences(ErrorCompletion completionHandler) {
    dispatch::DispatchQueue::global().async([this, completionHandler = std::move(completionHandler)] {
        std::string err;
        auto c = FilterConfiguration::read(path_, err);
        if (!c) {
            completionHandler(error(5, err));
            return;
        }
        {
            std::lock_guard lock(mutex_);
            configuration_ = std::move(*c);
        }
        completionHandler(std::nullopt);
    });
}

void NEFilterManager::saveToPreferences(ErrorCompletion completionHandler) {
    dispatch::DispatchQueue::global().async([this, completionHandler = std::move(completionHandler)] {
        FilterConfiguration c;
        {
            std::lock_guard lock(mutex_);
            c = configuration_;
        }
        if (c.enabled && !c.providerConfiguration) {
            completionHandler(error(1, "The filter configuration is invalid: it has no provider configuration."));
            return;
        }
        if (auto err = c.write(path_)) {
            completionHandler(error(5, "The filter configuration cannot be saved: " + *err));
            return;
        }
        completionHandler(std::nullopt);
    });
}

bool NEFilterManager::isEnabled() const {
    std::lock_guard lock(mutex_);
    return configuration_.enabled;
}

void NEFilterManager::setEnabled(bool enabled) {
    std::lock_guard lock(mutex_);
    configuration_.enabled = enabled;
}

std::optional<NEFilterProviderConfiguration> NEFilterManager::providerConfiguration() const {
    std::lock_guard lock(mutex_);
    return configuration_.providerConfiguration;
}

void NEFilterManager::setProviderConfiguration(std::optional<NEFilterProviderConfiguration> configuration) {
    std::lock_guard lock(mutex_);
    configuration_.providerConfiguration = configuration;
}

std::optional<std::string> NEFilterManager::localizedDescription() const {
    std::lock_guard lock(mutex_);
    return configuration_.localizedDescription;
}

void NEFilterManager::setLocalizedDescription(std::optional<std::string> description) {
    std::lock_guard lock(mutex_);
    configuration_.localizedDescription = std::move(description);
}

std::uint64_t NEFilterManager::addConfigurationObserver(dispatch::DispatchQueue queue, std::function<void()> block) {
    std::lock_guard lock(mutex_);
    if (!watcher_) watcher_ = std::make_unique<FileWatcher>(path_, [this] { notifyObservers(); });
    std::uint64_t token = nextToken_++;
    observers_.emplace(token, std::make_pair(std::move(queue), std::move(block)));
    return token;
}

void NEFilterManager::removeConfigurationObserver(std::uint64_t token) {
    std::lock_guard lock(mutex_);
    observers_.erase(token);
}

void NEFilterManager::notifyObservers() {
    std::vector<std::pair<dispatch::DispatchQueue, std::function<void()>>> targets;
    {
        std::lock_guard lock(mutex_);
        for (const auto& [token, observer] : observers_) targets.push_back(observer);
    }
    for (auto& [queue, block] : targets) queue.async(block);
}

}  // namespace netext
