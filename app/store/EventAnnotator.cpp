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

void EventAnnotator::State::reload(const Settings& settings) {
    // Reloads run one at a time, so the last one leaves the state of the settings'
    // last change.
    std::lock_guard reloading(reloadMutex);
    PathList paths = readAnnotatePaths(settings);
    const bool pathsOn = settings.boolValue(keys::annotatePathsEnabled);
    const bool rootUserOn = settings.boolValue(keys::annotateRootUserEnabled);
    const bool quarantinesOn = settings.boolValue(keys::annotateQuarantinesEnabled);
    // Rules made before are used again, so that settings that change back and forth
    // (or change other keys) make nothing new.
    for (const auto& r : made)
        if (*r->paths == paths && r->pathsEnabled == pathsOn && r->rootUserEnabled == rootUserOn &&
            r->quarantinesEnabled == quarantinesOn) {
            current.store(r.get(), std::memory_order_release);
            return;
        }
    FragmentSet fragments(paths);
    made.push_back(std::make_unique<const Rules>(Rules{std::make_shared<const PathList>(std::move(paths)),
                                                       std::move(fragments), pathsOn, rootUserOn, quarantinesOn}));
    current.store(made.back().get(), std::memory_order_release);
}

EventAnnotator::EventAnnotator(Settings& settings) : settings_(settings), state_(std::make_shared<State>()) {
    state_->reload(settings_);
    observer_ = settings_.addObserver([state = state_, &settings] { state->reload(settings); });
}

EventAnnotator::~EventAnnotator() { settings_.removeObserver(observer_); }

EventAnnotator& EventAnnotator::shared() {
    static EventAnnotator* annotator = new EventAnnotator(standardSettings());
    return *annotator;
}

void EventAnnotator::reloadPrivilegedPaths() { state_->reload(settings_); }

std::shared_ptr<const EventAnnotator::PathList> EventAnnotator::privilegedPaths() const { return rules().paths; }

bool EventAnnotator::matches(const Rules& rules, const EventItem& item) {
    const FragmentSet& fragments = rules.fragments;
    if (fragments.empty()) return false;
    if (fragments.foundIn(item.theProcess().executable.path)) return true;
    return casesWithPathText()[item.theEvent().event.tag()] && fragments.foundIn(eventSearchText(item));
}

bool EventAnnotator::matchesPrivilegedPath(const EventItem& item) const { return matches(rules(), item); }

bool EventAnnotator::isQuarantineChange(const EventItem& item) const {
    const ESEvent& event = item.theEvent().event;
    if (auto e = event.get<ESEvent_setextattr>()) return e->extattr.find(quarantineAttribute) != std::string::npos;
    if (auto e = event.get<ESEvent_deleteextattr>())
        return e->extattr.find(quarantineAttribute) != std::string::npos;
    return false;
}

void EventAnnotator::annotate(EventItem& item) const {
    const Rules& in = rules();
    if (in.pathsEnabled && matches(in, item)) item.addAnnotations(EventAnnotation::PRIVILEGED_PATH);
    if (in.rootUserEnabled && item.theProcess().audit_token.euid == 0)
        item.addAnnotations(EventAnnotation::PRIVILEGED_USER);
    if (in.quarantinesEnabled && isQuarantineChange(item)) item.addAnnotations(EventAnnotation::QUARANTINE_PATH);
}

}  // namespace qm
