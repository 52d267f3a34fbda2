#include "EventBatch.h"

namespace qm {

EventBatch::EventBatch(std::vector<EventItemPtr> events) : events_(std::move(events)) {
    // Each program's events in arrival order; each run then counts its ids and types.
    std::vector<std::vector<EventItemPtr>> groups;
    for (const EventItemPtr& event : events_) {
        auto [entry, isNew] = programIndex_.try_emplace(event->theProcess().executable.path, groups.size());
        if (isNew) groups.emplace_back();
        groups[entry->second].push_back(event);
    }
    programs_.reserve(groups.size());
    for (auto& group : groups) {
        programs_.emplace_back(std::move(group));
        types_.add(programs_.back().types.counts());
    }
}

void EventBatch::append(EventBatch&& later) {
    if (events_.empty()) {
        *this = std::move(later);
        later = {};
        return;
    }
    appendEvents(events_, std::move(later.events_));
    for (ProgramRun& run : later.programs_) {
        auto [entry, isNew] = programIndex_.try_emplace(run.path(), programs_.size());
        if (isNew) programs_.push_back(std::move(run));
        else programs_[entry->second].append(std::move(run));
    }
    types_.add(later.types_.counts());
    later = {};
}

}  // namespace qm
