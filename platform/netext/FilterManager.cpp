#include "FilterManager.h"

#include <poll.h>
#include <pwd.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
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

}  // namespace

std::optional<FilterConfiguration> FilterConfiguration::read(const fs::path& path, std::string& err) {
    std::error_code ec;
    if (!fs::exists(path, ec)) return FilterConfiguration{};
    // One byte more than allowed tells a file that is too large, whatever its size.
    std::string bytes(kMaxFilterConfigurationBytes + 1, '\0');
    std::ifstream in(path, std::ios::binary);
    in.read(bytes.data(), std::streamsize(bytes.size()));
    bytes.resize(std::size_t(in.gcount()));
    if (bytes.size() > kMaxFilterConfigurationBytes) {
        err = "The filter configuration at " + path.string() + " is larger than " +
              std::to_string(kMaxFilterConfigurationBytes) + " bytes; it is not read.";
        return std::nullopt;
    }
    auto p = plist::Plist::parse(bytes);
    if (!p || !p->root().isDictionary()) {
        err = "The filter configuration at " + path.string() + " cannot be read.";
        return std::nullopt;
    }
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
    std::error_code ec;
    fs::create_directories(path.parent_path(), ec);
    return p.writeXMLFile(path);
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

FileWatcher::FileWatcher(fs::path path, std::function<void()> changed) {
    std::error_code ec;
    fs::create_directories(path.parent_path(), ec);
    inotify_ = ::inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
    wake_ = ::eventfd(0, EFD_CLOEXEC);
    if (inotify_ < 0 || wake_ < 0 ||
        ::inotify_add_watch(inotify_, path.parent_path().c_str(),
                            IN_CLOSE_WRITE | IN_MOVED_TO | IN_MOVED_FROM | IN_CREATE | IN_DELETE) < 0) {
        return;
    }
    thread_ = std::thread([this, name = path.filename().string(), changed = std::move(changed)] {
        alignas(inotify_event) char buf[4096];
        for (;;) {
            pollfd fds[2] = {{inotify_, POLLIN, 0}, {wake_, POLLIN, 0}};
            if (::poll(fds, 2, -1) < 0) continue;
            if (fds[1].revents) return;
            ssize_t n = ::read(inotify_, buf, sizeof buf);
            bool hit = false;
            for (ssize_t i = 0; i + ssize_t(sizeof(inotify_event)) <= n;) {
                auto* e = reinterpret_cast<inotify_event*>(buf + i);
                // Writes in place and atomic replacements both count; the temporary
                // file of a replacement does not.
                if (e->len > 0 && name == e->name) hit = true;
                i += ssize_t(sizeof(inotify_event) + e->len);
            }
            if (hit) changed();
        }
    });
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
