#pragma once
// New events made ready off the main thread for EventFilters::addEvents: the events
// in arrival order, grouped by program (in order of first appearance) with what each
// program's update adds, and the number of events of each type. Filing a batch then
// costs the main thread a few steps per program instead of several per event.

#include <string_view>
#include <unordered_map>
#include <vector>

#include "EventItem.h"
#include "ProgramItem.h"

namespace qm {

class EventBatch {
public:
    EventBatch() = default;
    explicit EventBatch(std::vector<EventItemPtr> events);
    // Appends the events of a later batch.
    void append(EventBatch&& later);

    std::size_t size() const { return events_.size(); }
    bool empty() const { return events_.empty(); }
    const std::vector<EventItemPtr>& events() const { return events_; }
    const std::vector<ProgramRun>& programs() const { return programs_; }
    // The events per short event name.
    const std::vector<TypeCount>& typeCounts() const { return types_.counts(); }

private:
    friend class EventFilters;  // takes the events and the runs

    std::vector<EventItemPtr> events_;
    std::vector<ProgramRun> programs_;
    std::unordered_map<std::string_view, std::size_t> programIndex_;  // a run's path -> the run
    TypeCounter types_;
};

}  // namespace qm
