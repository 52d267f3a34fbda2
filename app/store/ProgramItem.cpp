#include "ProgramItem.h"

namespace qm {

ProgramItem::ProgramItem(const EventItemPtr& first, const ProgramIconProvider& icons)
    : programPath_(first->theProcess().executable.path) {
    if (icons) icon_ = icons(bundlePath(programPath_));
    addEvent(first);
}

void ProgramItem::addEvent(const EventItemPtr& event) {
    const es::ESProcess& process = event->theProcess();
    if (process.executable.path != programPath_) return;
    const std::string& name = shortTypeName(event->theEvent().event_type);
    std::lock_guard lock(updateLock_);
    ++contents_.eventTypeCount[name];
    contents_.allEvents.push_back(event);
    contents_.processPIDs.insert(process.audit_token.pid);
    contents_.sessionIDs.insert(process.session_id);
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
