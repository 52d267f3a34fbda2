#pragma once
// The event store of one window: every event since it opened, the programs, the
// state of every filter, and the filtered list the events view shows while a
// filter is in force. Used on the main queue only; the user interface reads and
// writes the fields directly where no operation exists.

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "EventBatch.h"
#include "EventItem.h"
#include "ProgramItem.h"

namespace qm {

using EventList = std::vector<EventItemPtr>;

// The process-chain filter: pids shown with their own events, and pids whose
// children (by parent or responsible pid) are shown.
struct PIDChain {
    std::unordered_set<std::int64_t> pid;
    std::unordered_set<std::int64_t> ppid;
};

// The numbers of a search text in a numeric category: its comma-separated terms
// that are whole decimal numbers.
std::unordered_set<std::int64_t> searchNumbers(std::string_view text);

class EventFilters {
public:
    EventList filteredEvents;  // meaningful only while isFiltering()
    EventList allEvents;       // in arrival order
    std::unordered_map<std::string, std::shared_ptr<ProgramItem>> allPrograms;
    std::vector<std::string> sortedProgramPaths;  // keys of allPrograms, ascending

    bool appleBinaryFilter = false;
    bool annotateFilter = false;
    std::unordered_set<std::string> selectedPrograms;
    std::unordered_set<std::string> deselectedPrograms;
    std::unordered_set<es::EventType> selectedEventTypes;
    std::unordered_set<es::EventType> deselectedEventTypes;
    PIDChain selectedPIDChain;
    std::string searchString;
    std::string searchCategory;
    std::int64_t timeWindowStart = 0;  // inclusive
    std::int64_t timeWindowEnd = 0;    // inclusive; 0: no window

    // Gives new programs their icons; set by the user interface.
    ProgramIconProvider iconProvider;

    // Replaces filteredEvents by the list and lets go of the old one.
    void setFilteredEvents(EventList events);

    bool isFiltering() const;
    // Resets every filter and empties filteredEvents; keeps the events and programs.
    void clearAll();
    // Empties the store (events, programs, sorted paths) and resets every filter. The
    // old items go on a global queue.
    void removeAll();

    // Appends the event and files it under its program; filteredEvents is left
    // alone until the next refilter.
    void addEvent(const EventItemPtr& event);
    // The same for each event of the batch in order, filing each program's events
    // in one update.
    void addEvents(EventBatch&& batch);

    // Runs every pass that is in force over the list, keeping its order. The anchor
    // is an index into the list for the time-window pass, or -1.
    EventList refilter(const EventList& events, std::int64_t anchor) const;

    void ignoreProgram(const std::string& path);
    void ignoreEventType(const std::vector<es::EventType>& types);
    void selectEventTypes(const std::vector<es::EventType>& types);
    void deselectEventTypes(const std::vector<es::EventType>& types);
    void enableAppleBinaryFilter();
    void setSearchString(std::string text);

    // The search pass over the list by searchString and searchCategory.
    EventList applySearch(const EventList& events) const;
    // Replaces every filter by the process chain of the pids.
    void setPIDChain(const std::vector<std::int64_t>& pids);
    // A window of span seconds around time; anchor is the chosen event's row.
    void setTimeWindow(std::int64_t time, std::int64_t span, std::int64_t anchor);
    void clearTimeWindow();
    // The time-window pass: every event inside (anchor -1), or the contiguous run
    // of inside events around the anchor of a list in time order.
    EventList filterByTimeWindow(const EventList& events, std::int64_t anchor) const;
};

}  // namespace qm
