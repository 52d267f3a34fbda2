#include "EventBatch.h"

#include <string_view>
#include <unordered_map>

namespace qm {

EventBatch::EventBatch(std::vector<EventItemPtr> events) : events_(std::move(events)) {
    // Each program's events in arrival order; each run then counts its ids and types.
    std::unordered_map<std::string_view, std::size_t> programIndex;  // path -> its group
    std::vector<std::vector<EventItemPtr>> groups;
    for (const EventItemPtr& event : events_) {
        auto [entry, isNew] = programIndex.try_emplace(event->theProcess().executable.path, groups.size());
        if (isNew) groups.emplace_back();
        groups[entry->second].push_back(event);
    }
    programs_.reserve(groups.size());
    TypeCounter types;
    for (auto& group : groups) {
        programs_.emplace_back(std::move(group));
        types.add(programs_.back().typeCounts);
    }
    typeCounts_ = types.take();
}

}  // namespace qm
