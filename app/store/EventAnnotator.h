#pragma once
// Marks each new event with its annotations: it touches a privileged path, its
// process runs as root, or it changes a quarantine attribute. Each rule follows its
// switch in the settings, and the switches and the privileged-path list follow
// every settings change, from the moment the change is announced. Any number of
// threads may annotate at once; annotating takes no lock.

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "Settings.h"
#include "TextRules.h"

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
    // What annotating follows as of one change of the settings; never changed once
    // made, so that annotating reads it without a lock.
    struct Rules {
        std::shared_ptr<const PathList> paths;
        FragmentSet fragments;  // the paths
        bool pathsEnabled, rootUserEnabled, quarantinesEnabled;
    };
    // Shared with the settings observer, which may outlive this object briefly.
    struct State {
        std::mutex reloadMutex;
        // Every distinct set of rules made, kept as long as the state, so that a
        // thread still annotating by rules that were replaced reads valid memory.
        std::vector<std::unique_ptr<const Rules>> made;
        std::atomic<const Rules*> current{nullptr};
        void reload(const Settings& settings);
    };
    const Rules& rules() const { return *state_->current.load(std::memory_order_acquire); }
    static bool matches(const Rules& rules, const EventItem& item);

    Settings& settings_;
    std::shared_ptr<State> state_;
    Settings::ObserverId observer_;
};

}  // namespace qm
