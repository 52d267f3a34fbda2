#pragma once
// The content-filter configuration: whether the filter is enabled, its provider
// configuration and description, kept in a small property-list file (system-wide for
// root, per user otherwise; QUILLMARK_FILTER_CONFIG overrides the place). The
// application changes it through NEFilterManager; the extension's host follows it.
// Changes by any process are announced to observers (the configuration-changed
// notification).

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>

#include "Dispatch.h"
#include "NetworkExtension.h"

namespace netext {

struct NEFilterProviderConfiguration {
    bool filterSockets = false;
    bool filterPackets = false;
    friend bool operator==(const NEFilterProviderConfiguration&, const NEFilterProviderConfiguration&) = default;
};

// The largest configuration file that is read. A valid one is a few hundred bytes; a
// larger one is refused before it is parsed, since the file may belong to a user who
// started the extension through pkexec and the parser nests without limit.
inline constexpr std::size_t kMaxFilterConfigurationBytes = 4096;

// What the file holds.
struct FilterConfiguration {
    bool enabled = false;
    std::optional<NEFilterProviderConfiguration> providerConfiguration;
    std::optional<std::string> localizedDescription;

    // A missing file is the empty configuration; an unreadable or too large one, or
    // anything but a regular file (the path's last part is not followed), is an error.
    // Reading never blocks and costs little whatever the file holds.
    static std::optional<FilterConfiguration> read(const std::filesystem::path& path, std::string& error);
    // Writes what read gives back as it is, else writes nothing and says why.
    std::optional<std::string> write(const std::filesystem::path& path) const;

    friend bool operator==(const FilterConfiguration&, const FilterConfiguration&) = default;
};

// The file of this process: the override, else for root the system-wide file, for a
// process started through pkexec the file of the user who started it, else the
// user's own.
std::filesystem::path filterConfigurationPath();

// The option with which the application hands an extension the file it uses, so that
// both read one file whatever the environment of the extension (pkexec clears it).
inline constexpr std::string_view kFilterConfigurationOption = "--filter-configuration";
// The file that the option names among a program's arguments, else filterConfigurationPath().
std::filesystem::path filterConfigurationPath(int argc, char** argv);

// Calls back (on a thread of its own) whenever the file is created, replaced,
// written or removed. It creates nothing: while the file's folder is missing it
// watches the nearest folder above that exists, and follows the folders down as they
// appear.
class FileWatcher {
public:
    FileWatcher(std::filesystem::path path, std::function<void()> changed);
    ~FileWatcher();
    FileWatcher(const FileWatcher&) = delete;
    FileWatcher& operator=(const FileWatcher&) = delete;

private:
    void arm();                              // watches the deepest folder there is
    std::filesystem::path nextFolder() const;  // the folder below watched_ on the way

    int inotify_ = -1;
    int wake_ = -1;
    // Set by the constructor; then the watching thread's alone.
    std::filesystem::path folder_;
    std::string name_;
    int watch_ = -1;
    std::filesystem::path watched_;
    std::thread thread_;
};

class NEFilterManager {
public:
    // The instance of the process, on the configuration file of the process.
    static NEFilterManager& shared();

    explicit NEFilterManager(std::filesystem::path path);
    ~NEFilterManager();

    // Reads the saved configuration into this manager; the completion runs on a
    // global queue with an error when the file cannot be read.
    void loadFromPreferences(ErrorCompletion completionHandler);
    // Saves this manager's configuration; an enabled one needs a provider
    // configuration. The completion runs on a global queue.
    void saveToPreferences(ErrorCompletion completionHandler);

    bool isEnabled() const;
    void setEnabled(bool enabled);
    std::optional<NEFilterProviderConfiguration> providerConfiguration() const;
    void setProviderConfiguration(std::optional<NEFilterProviderConfiguration> configuration);
    std::optional<std::string> localizedDescription() const;
    void setLocalizedDescription(std::optional<std::string> description);

    // NEFilterConfigurationDidChangeNotification: block runs on queue after every
    // change of the saved configuration, by this or any other process. The token
    // removes the observer.
    std::uint64_t addConfigurationObserver(dispatch::DispatchQueue queue, std::function<void()> block);
    void removeConfigurationObserver(std::uint64_t token);

    const std::filesystem::path& path() const { return path_; }

private:
    void notifyObservers();

    const std::filesystem::path path_;
    mutable std::mutex mutex_;
    FilterConfiguration configuration_;
    std::map<std::uint64_t, std::pair<dispatch::DispatchQueue, std::function<void()>>> observers_;
    std::uint64_t nextToken_ = 1;
    std::unique_ptr<FileWatcher> watcher_;
};

}  // namespace netext
