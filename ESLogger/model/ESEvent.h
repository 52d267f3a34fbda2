#pragma once
// The event of a message: one case per event key, each carrying its payload record.
// The case's position in the list (its tag) is part of the type: other code tests it.

#include <array>
#include <cstddef>
#include <optional>
#include <string_view>
#include <variant>

#include "Box.h"
#include "DirectoryEvents.h"
#include "EmptyEvents.h"
#include "FileEvents.h"
#include "ProcessEvents.h"
#include "SecurityEvents.h"

namespace es {

// The 103 event keys in tag order.
#define ES_EVENT_KEYS(X) \
    X(exec) \
    X(fork) \
    X(rename) \
    X(open) \
    X(close) \
    X(create) \
    X(exchangedata) \
    X(exit) \
    X(get_task) \
    X(kextload) \
    X(kextunload) \
    X(link) \
    X(mmap) \
    X(mprotect) \
    X(mount) \
    X(unmount) \
    X(iokit_open) \
    X(setattrlist) \
    X(setextattr) \
    X(setflags) \
    X(setmode) \
    X(setowner) \
    X(signal) \
    X(unlink) \
    X(write) \
    X(file_provider_materialize) \
    X(file_provider_update) \
    X(readlink) \
    X(truncate) \
    X(lookup) \
    X(chdir) \
    X(getattrlist) \
    X(stat) \
    X(access) \
    X(chroot) \
    X(utimes) \
    X(clone) \
    X(fcntl) \
    X(getextattr) \
    X(listextattr) \
    X(readdir) \
    X(deleteextattr) \
    X(fsgetpath) \
    X(dup) \
    X(uipc_bind) \
    X(uipc_connect) \
    X(setacl) \
    X(pty_grant) \
    X(pty_close) \
    X(proc_check) \
    X(searchfs) \
    X(proc_suspend_resume) \
    X(get_task_name) \
    X(trace) \
    X(remote_thread_create) \
    X(remount) \
    X(get_task_read) \
    X(get_task_inspect) \
    X(setuid) \
    X(setgid) \
    X(seteuid) \
    X(setegid) \
    X(setreuid) \
    X(setregid) \
    X(copyfile) \
    X(authentication) \
    X(xp_malware_detected) \
    X(xp_malware_remediated) \
    X(lw_session_login) \
    X(lw_session_logout) \
    X(lw_session_lock) \
    X(lw_session_unlock) \
    X(screensharing_attach) \
    X(screensharing_detach) \
    X(openssh_login) \
    X(openssh_logout) \
    X(login_login) \
    X(login_logout) \
    X(btm_launch_item_add) \
    X(btm_launch_item_remove) \
    X(authorization_judgement) \
    X(authorization_petition) \
    X(od_attribute_set) \
    X(od_attribute_value_add) \
    X(od_attribute_value_remove) \
    X(od_create_group) \
    X(od_create_user) \
    X(od_delete_group) \
    X(od_delete_user) \
    X(od_disable_user) \
    X(od_enable_user) \
    X(od_group_add) \
    X(od_group_remove) \
    X(od_group_set) \
    X(od_modify_password) \
    X(profile_add) \
    X(profile_remove) \
    X(su) \
    X(sudo) \
    X(xpc_connect) \
    X(networkflow) \
    X(settime) \
    X(cs_invalidated)

#define ES_EVENT_PAYLOAD_TYPE(key) , Box<ESEvent_##key>
#define ES_EVENT_KEY_TEXT(key) #key,

template <class Lead, class... T>
using VariantOfRest = std::variant<T...>;

struct ESEvent {
    // One alternative per case, in tag order: payload.index() is the tag. Payloads
    // sit on the heap, so an event costs the size of its own case only.
    using Payload = VariantOfRest<void ES_EVENT_KEYS(ES_EVENT_PAYLOAD_TYPE)>;
    static constexpr std::size_t caseCount = std::variant_size_v<Payload>;

    Payload payload;

    ESEvent() = default;
    template <class T>
    ESEvent(T p) : payload(Box<T>(std::move(p))) {}

    std::size_t tag() const { return payload.index(); }
    std::string_view key() const;

    // The payload when the event is of case T, else nullptr.
    template <class T>
    const T* get() const {
        auto* box = std::get_if<Box<T>>(&payload);
        return box ? &**box : nullptr;
    }

    // Calls f with the payload record of the event's case.
    template <class F>
    decltype(auto) visit(F&& f) const {
        return std::visit([&](const auto& box) -> decltype(auto) { return f(*box); }, payload);
    }
};

inline constexpr std::array<std::string_view, ESEvent::caseCount> eventKeys{ES_EVENT_KEYS(ES_EVENT_KEY_TEXT)};

// The tag of an event key (exact, case-sensitive), or nothing.
std::optional<std::size_t> eventTagOfKey(std::string_view key);

inline std::string_view ESEvent::key() const { return eventKeys[tag()]; }

}  // namespace es
