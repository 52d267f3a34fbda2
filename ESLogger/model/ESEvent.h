#pragma once
// The event of a message: one case per event key, each carrying its payload record.
// The case's position in the list (its tag) is part of the type: other code tests it.

#include <array>
#include <cstddef>
#include <optional>
#include <string_view>
#include <type_traits>
#include <utility>

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

#define ES_EVENT_PAYLOAD_TYPE(key) , ESEvent_##key
#define ES_EVENT_KEY_TEXT(key) #key,

template <class... T>
struct TypeList {
    static constexpr std::size_t size = sizeof...(T);
};
template <class Lead, class... T>
using TypeListOfRest = TypeList<T...>;

// The payload types in tag order.
using ESEventPayloads = TypeListOfRest<void ES_EVENT_KEYS(ES_EVENT_PAYLOAD_TYPE)>;

template <std::size_t I, class List>
struct TypeAt;
template <std::size_t I, class Head, class... Tail>
struct TypeAt<I, TypeList<Head, Tail...>> : TypeAt<I - 1, TypeList<Tail...>> {};
template <class Head, class... Tail>
struct TypeAt<0, TypeList<Head, Tail...>> {
    using type = Head;
};

template <class T, class... Ts>
constexpr std::size_t indexOfType(TypeList<Ts...>) {
    std::size_t i = 0;
    bool found = ((std::is_same_v<T, Ts> ? true : (++i, false)) || ...);
    return found ? i : sizeof...(Ts);
}

// The event of a message. It holds its case's tag and that case's payload record
// on the heap, so an event costs the size of its own case only. Copying copies the
// payload; copying and destroying are done in one place (ESEvent.cpp) through
// per-case tables, which keeps this type cheap for every other file to use.
class ESEvent {
public:
    static constexpr std::size_t caseCount = ESEventPayloads::size;
    template <std::size_t I>
    using PayloadAt = typename TypeAt<I, ESEventPayloads>::type;
    template <class T>
    static constexpr std::size_t tagOf = indexOfType<T>(ESEventPayloads{});

    ESEvent() = default;  // case 0 with a default payload
    template <class T>
        requires(tagOf<T> < caseCount)
    ESEvent(T payload) : tag_(tagOf<T>), payload_(new T(std::move(payload))) {}
    ESEvent(const ESEvent& o);
    ESEvent(ESEvent&& o) noexcept : tag_(o.tag_), payload_(o.payload_) { o.payload_ = nullptr; }
    ESEvent& operator=(const ESEvent& o);
    ESEvent& operator=(ESEvent&& o) noexcept;
    ~ESEvent() { reset(); }

    std::size_t tag() const { return tag_; }
    std::string_view key() const;

    // The payload when the event is of case T, else nullptr.
    template <class T>
    const T* get() const {
        return tag_ == tagOf<T> ? static_cast<const T*>(payload()) : nullptr;
    }

    // Calls f with the payload record of the event's case; every case's call must
    // give the same type.
    template <class F>
    decltype(auto) visit(F&& f) const {
        return [&]<std::size_t... I>(std::index_sequence<I...>) -> decltype(auto) {
            using R = decltype(f(std::declval<const PayloadAt<0>&>()));
            using Call = R (*)(F&, const void*);
            static constexpr Call calls[] = {
                [](F& fn, const void* p) -> R { return fn(*static_cast<const PayloadAt<I>*>(p)); }...};
            return calls[tag_](f, payload());
        }(std::make_index_sequence<caseCount>{});
    }

    // Makes the event case I with a default payload and returns that payload to
    // be filled in (decoding, generators).
    template <std::size_t I>
    PayloadAt<I>& emplace() {
        auto* fresh = new PayloadAt<I>();
        reset();
        tag_ = I;
        payload_ = fresh;
        return *fresh;
    }

private:
    const void* payload() const;  // the payload, or the case's default when none is held
    void reset();

    std::size_t tag_ = 0;
    void* payload_ = nullptr;
};

inline constexpr std::array<std::string_view, ESEvent::caseCount> eventKeys{ES_EVENT_KEYS(ES_EVENT_KEY_TEXT)};

// The tag of an event key (exact, case-sensitive), or nothing.
std::optional<std::size_t> eventTagOfKey(std::string_view key);

inline std::string_view ESEvent::key() const { return eventKeys[tag()]; }

}  // namespace es
