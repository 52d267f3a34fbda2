#include "ProgramItem.h"

#include <algorithm>
#include <iterator>

namespace qm {

namespace {

// Sorts the values and drops repeats.
void keepDistinct(std::vector<std::int64_t>& values) {
    std::sort(values.begin(), values.end());
    values.erase(std::unique(values.begin(), values.end()), values.end());
}

// Adds the values of a distinct ascending list to another, keeping it so.
void addDistinct(std::vector<std::int64_t>& into, const std::vector<std::int64_t>& values) {
    std::vector<std::int64_t> both;
    both.reserve(into.size() + values.size());
    std::set_union(into.begin(), into.end(), values.begin(), values.end(), std::back_inserter(both));
    into = std::move(both);
}

}  // namespace

ProgramRun::ProgramRun(std::vector<EventItemPtr> runEvents) : events(std::move(runEvents)) {
    processPIDs.reserve(events.size());
    sessionIDs.reserve(events.size());
    for (const EventItemPtr& event : events) {
        const es::ESProcess& process = event->theProcess();
        processPIDs.push_back(process.audit_token.pid);
        sessionIDs.push_back(process.session_id);
        types.add(event->theEvent().event_type);
    }
    keepDistinct(processPIDs);
    keepDistinct(sessionIDs);
}

void ProgramRun::append(ProgramRun&& later) {
    appendEvents(events, std::move(later.events));
    addDistinct(processPIDs, later.processPIDs);
    addDistinct(sessionIDs, later.sessionIDs);
    types.add(later.types.counts());
}

ProgramItem::ProgramItem(const EventItemPtr& first, const ProgramIconProvider& icons)
    : ProgramItem(ProgramRun({first}), icons) {}

ProgramItem::ProgramItem(ProgramRun&& run, const ProgramIconProvider& icons) : programPath_(run.path()) {
    if (icons) icon_ = icons(bundlePath(programPath_));
    addEvents(std::move(run));
}

void ProgramItem::addEvent(const EventItemPtr& event) {
    if (event->theProcess().executable.path != programPath_) return;
    addEvents(ProgramRun({event}));
}

void ProgramItem::addEvents(ProgramRun&& run) {
    if (run.events.empty() || run.path() != programPath_) return;
    std::lock_guard lock(updateLock_);
    for (const TypeCount& type : run.types.counts()) {
        auto entry = contents_.eventTypeCount.find(type.name);
        if (entry == contents_.eventTypeCount.end()) entry = contents_.eventTypeCount.emplace(type.name, 0).first;
        entry->second += type.count;
    }
    appendEvents(contents_.allEvents, std::move(run.events));
    contents_.processPIDs.insert(run.processPIDs.begin(), run.processPIDs.end());
    contents_.sessionIDs.insert(run.sessionIDs.begin(), run.sessionIDs.end());
}

std::string bundlePath(std::string_view path) {
    for (std::string_view marker : {std::string_view(".app/"), std::string_view(".framework/")}) {
        auto pos = path.find(marker);
        if (pos != std::string_view::npos) return std::string(path.substr(0, pos + marker.size()));
    }
    return std::string(path);
}

std::string_view lastPathComponent(const EventItem& item) {
    std::string_view path = item.theProcess().executable.path;
    while (!path.empty() && path.back() == '/') path.remove_suffix(1);
    auto pos = path.rfind('/');
    return pos == std::string_view::npos ? path : path.substr(pos + 1);
}

}  // namespace qm
