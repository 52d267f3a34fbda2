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
    const es::ESProcess& process = event->theProcess();
    if (process.executable.path != programPath_) return;
    {
        // An event of a process, session and type the program has already: one count
        // and the list, whose room is taken before anything changes.
        std::lock_guard lock(updateLock_);
        const auto type = contents_.eventTypeCount.find(shortTypeName(event->theEvent().event_type));
        if (type != contents_.eventTypeCount.end() && contents_.processPIDs.contains(process.audit_token.pid) &&
            contents_.sessionIDs.contains(process.session_id)) {
            reserveMore(contents_.allEvents, 1);
            ++type->second;
            contents_.allEvents.push_back(event);
            return;
        }
    }
    addEvents(ProgramRun({event}));
}

void ProgramItem::addEvents(ProgramRun&& run) { add(prepare(std::move(run))); }

ProgramItem::Addition ProgramItem::prepare(ProgramRun&& run) {
    Addition addition;
    if (run.events.empty() || run.path() != programPath_) return addition;
    std::lock_guard lock(updateLock_);
    for (std::int64_t pid : run.processPIDs)
        if (!contents_.processPIDs.contains(pid)) addition.processPIDs.insert(pid);
    for (std::int64_t id : run.sessionIDs)
        if (!contents_.sessionIDs.contains(id)) addition.sessionIDs.insert(id);
    for (const TypeCount& type : run.types.counts())
        if (!contents_.eventTypeCount.contains(type.name)) addition.newTypes.emplace(type.name, type.count);
    reserveToAppend(contents_.allEvents, run.events);
    // Room enough that the merges below neither rehash nor allocate.
    reserveToInsert(contents_.processPIDs, addition.processPIDs.size());
    reserveToInsert(contents_.sessionIDs, addition.sessionIDs.size());
    addition.run = std::move(run);
    return addition;
}

void ProgramItem::add(Addition&& addition) noexcept {
    if (addition.run.events.empty()) return;
    std::lock_guard lock(updateLock_);
    for (const TypeCount& type : addition.run.types.counts())
        if (auto entry = contents_.eventTypeCount.find(type.name); entry != contents_.eventTypeCount.end())
            entry->second += type.count;
    contents_.eventTypeCount.merge(addition.newTypes);
    appendEvents(contents_.allEvents, std::move(addition.run.events));
    contents_.processPIDs.merge(addition.processPIDs);
    contents_.sessionIDs.merge(addition.sessionIDs);
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
