#include "EventAnnotator.h"

#include <algorithm>
#include <array>

#include "DefaultSettings.h"
#include "EventItem.h"
#include "EventSummary.h"

namespace qm {

namespace {

using namespace es;

template <class... T>
std::array<bool, ESEvent::caseCount> tagSet() {
    std::array<bool, ESEvent::caseCount> set{};
    ((set[ESEvent(T{}).tag()] = true), ...);
    return set;
}

// The events whose summary is searched for privileged paths; the others are
// matched by their process's executable path alone.
const std::array<bool, ESEvent::caseCount>& casesWithPathText() {
    static const auto set = tagSet<
    ESEvent_exec, ESEvent_rename, ESEvent_open, ESEvent_close, ESEvent_create, ESEvent_get_task, ESEvent_link,
    ESEvent_mmap, ESEvent_mount, ESEvent_unmount, ESEvent_setattrlist, ESEvent_setextattr, ESEvent_setflags,
    ESEvent_setmode, ESEvent_setowner, ESEvent_signal, ESEvent_unlink, ESEvent_write,
    ESEvent_file_provider_materialize, ESEvent_file_provider_update, ESEvent_readlink, ESEvent_truncate,
    ESEvent_lookup, ESEvent_chdir, ESEvent_getattrlist, ESEvent_stat, ESEvent_access, ESEvent_chroot,
    ESEvent_utimes, ESEvent_clone, ESEvent_fcntl, ESEvent_getextattr, ESEvent_listextattr, ESEvent_readdir,
    ESEvent_deleteextattr, ESEvent_fsgetpath, ESEvent_dup, ESEvent_uipc_bind, ESEvent_uipc_connect,
    ESEvent_setacl, ESEvent_proc_check, ESEvent_searchfs, ESEvent_proc_suspend_resume, ESEvent_get_task_name,
    ESEvent_trace, ESEvent_remote_thread_create, ESEvent_remount, ESEvent_get_task_read,
    ESEvent_get_task_inspect, ESEvent_copyfile, ESEvent_xp_malware_detected, ESEvent_xp_malware_remediated,
    ESEvent_btm_launch_item_add, ESEvent_btm_launch_item_remove>();
    return set;
}

constexpr std::string_view quarantineAttribute = "com.apple.quarantine";

// "annotatePaths" as a list of distinct texts; empty when the value is missing,
// is no list, or holds anything but texts.
EventAnnotator::PathList readAnnotatePaths(const Settings& settings) {
    EventAnnotator::PathList paths;
    auto list = settings.listValue(keys::annotatePaths);
    if (!list) return paths;
    for (const auto& v : *list) {
        auto s = v.get<std::string>();
        if (!s) return {};
        // An empty fragment would mark every event; it matches nothing instead.
        if (!s->empty() && std::find(paths.begin(), paths.end(), *s) == paths.end()) paths.push_back(*s);
    }
    return paths;
}

}  // namespace

void EventAnnotator::Paths::reload(const Settings& settings) {
    // Reloads run one at a time, so the last one leaves the state of the settings'
    // last change.
    std::lock_guard reloading(reloadMutex);
    auto fresh = std::make_shared<const PathList>(readAnnotatePaths(settings));
    auto freshPrograms = std::make_shared<ProgramMatches>();
    pathsEnabled.store(settings.boolValue(keys::annotatePathsEnabled), std::memory_order_relaxed);
    rootUserEnabled.store(settings.boolValue(keys::annotateRootUserEnabled), std::memory_order_relaxed);
    quarantinesEnabled.store(settings.boolValue(keys::annotateQuarantinesEnabled), std::memory_order_relaxed);
    std::lock_guard lock(mutex);
    list = std::move(fresh);
    programs = std::move(freshPrograms);
}

std::pair<std::shared_ptr<const EventAnnotator::PathList>, std::shared_ptr<EventAnnotator::ProgramMatches>>
EventAnnotator::Paths::getWithPrograms() {
    std::lock_guard lock(mutex);
    return {list, programs};
}

std::shared_ptr<const EventAnnotator::PathList> EventAnnotator::Paths::get() {
    std::lock_guard lock(mutex);
    return list;
}

EventAnnotator::EventAnnotator(Settings& settings) : settings_(settings), paths_(std::make_shared<Paths>()) {
    paths_->reload(settings_);
    observer_ = settings_.addObserver([paths = paths_, &settings] { paths->reload(settings); });
}

EventAnnotator::~EventAnnotator() { settings_.removeObserver(observer_); }

EventAnnotator& EventAnnotator::shared() {
    static EventAnnotator* annotator = new EventAnnotator(standardSettings());
    return *annotator;
}

void EventAnnotator::reloadPrivilegedPaths() { paths_->reload(settings_); }

std::shared_ptr<const EventAnnotator::PathList> EventAnnotator::privilegedPaths() const { return paths_->get(); }

bool EventAnnotator::matchesPrivilegedPath(const EventItem& item) const {
    auto [paths, programs] = paths_->getWithPrograms();
    if (paths->empty()) return false;
    auto containsAny = [&paths](const std::string& text) {
        for (const auto& fragment : *paths)
            if (text.find(fragment) != std::string::npos) return true;
        return false;
    };
    const std::string& program = item.theProcess().executable.path;
    {
        std::lock_guard lock(programs->mutex);
        auto known = programs->known.find(program);
        if (known == programs->known.end()) {
            // Bounded: a capture with very many distinct programs starts over.
            if (programs->known.size() >= 100000) programs->known.clear();
            known = programs->known.emplace(program, containsAny(program)).first;
        }
        if (known->second) return true;
    }
    return casesWithPathText()[item.theEvent().event.tag()] && containsAny(eventSummary(item).searchText());
}

bool EventAnnotator::isQuarantineChange(const EventItem& item) const {
    const ESEvent& event = item.theEvent().event;
    if (auto e = event.get<ESEvent_setextattr>()) return e->extattr.find(quarantineAttribute) != std::string::npos;
    if (auto e = event.get<ESEvent_deleteextattr>())
        return e->extattr.find(quarantineAttribute) != std::string::npos;
    return false;
}

void EventAnnotator::annotate(EventItem& item) const {
    const Paths& in = *paths_;
    if (in.pathsEnabled.load(std::memory_order_relaxed) && matchesPrivilegedPath(item))
        item.addAnnotations(EventAnnotation::PRIVILEGED_PATH);
    if (in.rootUserEnabled.load(std::memory_order_relaxed) && item.theProcess().audit_token.euid == 0)
        item.addAnnotations(EventAnnotation::PRIVILEGED_USER);
    if (in.quarantinesEnabled.load(std::memory_order_relaxed) && isQuarantineChange(item))
        item.addAnnotations(EventAnnotation::QUARANTINE_PATH);
}

}  // namespace qm
