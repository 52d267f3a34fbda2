#pragma once
// The events of one executable path, with its distinct process and session ids and
// per-type counts, for the programs pane and for saving one program's events.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "EventItem.h"

namespace qm {

// A program's icon as the user interface draws it; the store only carries it.
class ProgramIcon {
public:
    virtual ~ProgramIcon() = default;
};

// Supplies the icon of the file at a bundle path; set by the user interface.
using ProgramIconProvider = std::function<std::shared_ptr<const ProgramIcon>(const std::string& bundlePath)>;

// Events of one executable path in arrival order, with what filing them changes in
// their program: prepared off the main thread, so that the program takes them in
// one short update.
struct ProgramRun {
    // events: at least one, all of one executable path.
    explicit ProgramRun(std::vector<EventItemPtr> events);
    // Appends the events of a later run of the same path.
    void append(ProgramRun&& later);

    std::vector<EventItemPtr> events;
    std::vector<std::int64_t> processPIDs;  // distinct, ascending
    std::vector<std::int64_t> sessionIDs;   // distinct, ascending
    TypeCounter types;

    // The executable path of the events.
    const std::string& path() const { return events.front()->theProcess().executable.path; }
};

class ProgramItem {
public:
    // What one update changes; read it through read().
    struct Contents {
        std::unordered_set<std::int64_t> processPIDs;
        std::unordered_set<std::int64_t> sessionIDs;
        std::map<std::string, std::size_t, std::less<>> eventTypeCount;  // short event name -> count
        std::vector<EventItemPtr> allEvents;                             // in arrival order
    };

    // A program for the path of its first event, which it then adds. The icon is
    // the provider's for the path's bundle path (none without a provider).
    explicit ProgramItem(const EventItemPtr& first, const ProgramIconProvider& icons = {});
    // The same for the path of a run of events, which it then adds.
    explicit ProgramItem(ProgramRun&& run, const ProgramIconProvider& icons = {});
    ProgramItem(const ProgramItem&) = delete;
    ProgramItem& operator=(const ProgramItem&) = delete;

    const std::string& programPath() const { return programPath_; }
    const std::shared_ptr<const ProgramIcon>& icon() const { return icon_; }

    // Adds an event of this program's path; an event of another path changes nothing.
    // When memory runs out, the program is left as it was.
    void addEvent(const EventItemPtr& event);
    // Adds a run of events in one update; a run of another path changes nothing. When
    // memory runs out, the program is left as it was.
    void addEvents(ProgramRun&& run);

    // A run made ready to add: the memory its update takes, taken.
    struct Addition {
        ProgramRun run{{}};                                        // empty: nothing to add
        std::unordered_set<std::int64_t> processPIDs, sessionIDs;  // not in the program yet
        std::map<std::string, std::size_t, std::less<>> newTypes;  // names not counted yet, with their counts
    };
    // Makes the run ready to add (this is where memory can run out) without changing
    // what read() shows; a run of another path is made ready to add nothing. add() then
    // takes no memory and cannot fail; no other update may come between the two.
    Addition prepare(ProgramRun&& run);
    void add(Addition&& addition) noexcept;

    // Calls f with the contents while holding the update lock.
    template <class F>
    decltype(auto) read(F&& f) const {
        std::lock_guard lock(updateLock_);
        return std::forward<F>(f)(contents_);
    }

    friend bool operator==(const ProgramItem& a, const ProgramItem& b) { return a.programPath_ == b.programPath_; }

private:
    std::string programPath_;
    std::shared_ptr<const ProgramIcon> icon_;
    mutable std::mutex updateLock_;
    Contents contents_;
};

// The bundle of a path: up to and including its first ".app/", else its first
// ".framework/", else the path itself.
std::string bundlePath(std::string_view path);

// The last non-empty "/"-separated part of the item's executable path; "" when none.
std::string_view lastPathComponent(const EventItem& item);

}  // namespace qm
