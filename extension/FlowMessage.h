#pragma once
// The flow message: one new socket flow described in the shape of an Endpoint Security
// "networkflow" message. Records are plain values; each declares its keys once, in
// writing order, as a table of set fields (members) and fixed fields (constants that
// are always written and never read back).

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <tuple>

#include "Coding.h"

namespace flowspur {

// The extension's bundle identifier (set by the build, which also writes it into the
// extension's Info.plist): the log subsystem of both deliverables.
inline constexpr std::string_view kExtensionBundleIdentifier = FLOWSPUR_IDENTIFIER;

// A key whose value is the same constant in every record.
template <class T>
struct FixedField {
    std::string_view key;
    const T* value;
};

template <class T>
constexpr FixedField<T> fixedField(std::string_view key, const T& value) {
    return {key, &value};
}

// A flow record: a type with a static flowFields() table.
template <class T>
concept FlowRecord = requires { T::flowFields(); };

}  // namespace flowspur

#define NF_FIELD(name) ::es::field(#name, &Self::name)
#define NF_FIXED(name) ::flowspur::fixedField(#name, Self::name)
#define NF_FIELDS(Type, ...)                                        \
    using Self = Type;                                              \
    static constexpr std::string_view typeName() { return #Type; } \
    static constexpr auto flowFields() { return std::tuple{__VA_ARGS__}; }

namespace flowspur {

struct NFStat {
    static constexpr std::int64_t st_blocks = 0, st_blksize = 0, st_rdev = 0, st_dev = 0, st_uid = 0,
                                  st_gid = 0, st_ino = 0, st_flags = 0, st_nlink = 0, st_size = 0,
                                  st_gen = 0, st_mode = 0;
    static constexpr std::string_view st_birthtimespec = "", st_mtimespec = "", st_ctimespec = "",
                                      st_atimespec = "";
    NF_FIELDS(NFStat, NF_FIXED(st_blocks), NF_FIXED(st_blksize), NF_FIXED(st_rdev), NF_FIXED(st_dev),
              NF_FIXED(st_uid), NF_FIXED(st_gid), NF_FIXED(st_ino), NF_FIXED(st_birthtimespec),
              NF_FIXED(st_flags), NF_FIXED(st_nlink), NF_FIXED(st_mtimespec), NF_FIXED(st_ctimespec),
              NF_FIXED(st_size), NF_FIXED(st_gen), NF_FIXED(st_mode), NF_FIXED(st_atimespec))
};

struct NFAuditToken {
    std::int64_t asid{}, pidversion{}, ruid{}, euid{}, rgid{}, auid{}, egid{}, pid{};
    NF_FIELDS(NFAuditToken, NF_FIELD(asid), NF_FIELD(pidversion), NF_FIELD(ruid), NF_FIELD(euid),
              NF_FIELD(rgid), NF_FIELD(auid), NF_FIELD(egid), NF_FIELD(pid))
    friend bool operator==(const NFAuditToken&, const NFAuditToken&) = default;
};

struct NFESFile {
    std::string path;
    static constexpr NFStat stat{};
    static constexpr bool path_truncated = false;
    NF_FIELDS(NFESFile, NF_FIELD(path), NF_FIXED(stat), NF_FIXED(path_truncated))
};

struct NFESProcess {
    NFAuditToken audit_token;
    std::int64_t ppid{};
    std::int64_t original_ppid{};
    static constexpr std::int64_t group_id = 0;
    static constexpr std::int64_t session_id = 0;
    std::int64_t codesigning_flags{};
    bool is_platform_binary{};
    static constexpr bool is_es_client = false;
    static constexpr std::string_view cdhash = "";
    std::optional<std::string> signing_id;
    NFESFile executable;
    std::string start_time;
    NFAuditToken responsible_audit_token;
    NFAuditToken parent_audit_token;
    NF_FIELDS(NFESProcess, NF_FIELD(audit_token), NF_FIELD(ppid), NF_FIELD(original_ppid), NF_FIXED(group_id),
              NF_FIXED(session_id), NF_FIELD(codesigning_flags), NF_FIELD(is_platform_binary),
              NF_FIXED(is_es_client), NF_FIXED(cdhash), NF_FIELD(signing_id), NF_FIELD(executable),
              NF_FIELD(start_time), NF_FIELD(responsible_audit_token), NF_FIELD(parent_audit_token))
};

struct NFESEvent_networkflow {
    NFESProcess instigator;
    std::optional<std::string> remote_hostname;
    std::optional<std::string> remote_address;
    std::optional<std::string> remote_port;
    std::optional<std::string> local_address;
    std::optional<std::string> local_port;
    std::int64_t flow_protocol{};
    std::int64_t flow_family{};
    std::int64_t flow_type{};
    std::string direction;
    std::optional<std::string> url;
    std::string uuid;
    NF_FIELDS(NFESEvent_networkflow, NF_FIELD(instigator), NF_FIELD(remote_hostname), NF_FIELD(remote_address),
              NF_FIELD(remote_port), NF_FIELD(local_address), NF_FIELD(local_port), NF_FIELD(flow_protocol),
              NF_FIELD(flow_family), NF_FIELD(flow_type), NF_FIELD(direction), NF_FIELD(url), NF_FIELD(uuid))
};

// The event sum type. Its one case is networkflow, written as {"networkflow":{...}};
// other keys beside it are ignored when reading.
struct NFESEvent {
    NFESEvent_networkflow networkflow;
    NF_FIELDS(NFESEvent, NF_FIELD(networkflow))
};

struct NFESMessage {
    struct action_inner {
        std::optional<std::string> result;
        NF_FIELDS(action_inner, NF_FIELD(result))
    };

    static constexpr std::int64_t schema_version = 1;
    static constexpr std::int64_t version = 42;
    std::string time;
    static constexpr std::int64_t mach_time = 0;
    std::int64_t seq_num{};
    std::int64_t global_seq_num{};
    static constexpr std::int64_t action_type = 1;
    action_inner action;
    static constexpr std::int64_t event_type = 90210;  // ES_EVENT_TYPE_NOTIFY_NETWORKFLOW
    NFESEvent event;
    NFESProcess process;
    NF_FIELDS(NFESMessage, NF_FIXED(schema_version), NF_FIXED(version), NF_FIELD(time), NF_FIXED(mach_time),
              NF_FIELD(seq_num), NF_FIELD(global_seq_num), NF_FIXED(action_type), NF_FIELD(action),
              NF_FIXED(event_type), NF_FIELD(event), NF_FIELD(process))
};

}  // namespace flowspur

// The JSON coding of flow records: set fields are written and read like any record
// field of the event model (optional texts only when present); fixed fields are written
// with their constant and never read. Unknown keys are ignored.
namespace es {

namespace flowcoding {

template <class T>
void writeFixed(JSONWriter& w, const T& value) {
    if constexpr (std::is_same_v<T, std::string_view>) w.writeString(value);
    else Coding<T>::encode(w, value);
}

template <class R, class M>
void encodeEntry(const Field<R, M>& f, const R& in, JSONWriter& w) {
    detail::encodeField(f, in, w);
}

template <class R, class T>
void encodeEntry(const flowspur::FixedField<T>& f, const R&, JSONWriter& w) {
    w.key(f.key);
    writeFixed(w, *f.value);
}

template <class R, class M>
bool decodeEntry(const Field<R, M>& f, simdjson::dom::object obj, R& out, DecodeContext& ctx) {
    JSONValue v;
    bool have = obj.at_key(f.key).get(v) == simdjson::SUCCESS;
    return detail::decodeField(f, v, have, out, ctx);
}

template <class R, class T>
bool decodeEntry(const flowspur::FixedField<T>&, simdjson::dom::object, R&, DecodeContext&) {
    return true;
}

}  // namespace flowcoding

template <flowspur::FlowRecord R>
struct Coding<R> {
    static constexpr auto fields = R::flowFields();

    static bool decode(JSONValue v, R& out, DecodeContext& ctx) {
        if (v.type() != simdjson::dom::element_type::OBJECT) return ctx.failType(v, R::typeName());
        simdjson::dom::object obj(v);
        return std::apply([&](const auto&... f) { return (flowcoding::decodeEntry(f, obj, out, ctx) && ...); },
                          fields);
    }

    static void encode(JSONWriter& w, const R& in) {
        w.beginObject();
        std::apply([&](const auto&... f) { (flowcoding::encodeEntry(f, in, w), ...); }, fields);
        w.endObject();
    }
};

}  // namespace es
