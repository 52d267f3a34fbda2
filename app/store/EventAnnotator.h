#pragma once
// Marks each new event with its annotations: it touches a privileged path, its
// process runs as root, or it changes a quarantine attribute. Each rule follows its
// switch in the settings, and the privileged-path list follows every settings
// change, from the moment the change is announced.

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "Settings.h"

namespace qm {

class EventItem;

class EventAnnotator {
public:
    using PathList = std::vector<std::string>;

    // Reads the privileged paths and follows the settings' changes until destroyed.
    // The settings must outlive the annotator.
    explicit EventAnnotator(Settings& settings);
    ~EventAnnotator();
    EventAnnotator(const EventAnnotator&) = delete;
    EventAnnotator& operator=(const EventAnnotator&) = delete;

    // The process's annotator over standardSettings(): created on first use (safe
    // when threads arrive at once) and never released.
    static EventAnnotator& shared();

    // Reads "annotatePaths" again and replaces the list in force as a whole.
    void reloadPrivilegedPaths();
    // The distinct fragments in force; an immutable snapshot.
    std::shared_ptr<const PathList> privilegedPaths() const;

    bool matchesPrivilegedPath(const EventItem& item) const;
    bool isQuarantineChange(const EventItem& item) const;
    // Adds the annotations whose switch is on and whose rule holds.
    void annotate(EventItem& item) const;

private:
    // Shared with the settings observer, which may outlive this object briefly.
    // Which executable paths match the list in force: a program's path is tested once.
    struct ProgramMatches {
        std::mutex mutex;
        std::unordered_map<std::string, bool> known;
    };
    struct Paths {
        // The three switches as of the last change of the settings, which the
        // settings announce as soon as it is in force.
        std::atomic<bool> pathsEnabled{false}, rootUserEnabled{false}, quarantinesEnabled{false};
        std::mutex reloadMutex;  // taken before mutex
        std::mutex mutex;
        std::shared_ptr<const PathList> list;
        std::shared_ptr<ProgramMatches> programs;  // replaced with list
        void reload(const Settings& settings);
        std::shared_ptr<const PathList> get();
        std::pair<std::shared_ptr<const PathList>, std::shared_ptr<ProgramMatches>> getWithPrograms();
    };

    Settings& settings_;
    std::shared_ptr<Paths> paths_;
    Settings::ObserverId observer_;
};

}  // namespace qm
