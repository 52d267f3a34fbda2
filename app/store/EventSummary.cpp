#include "EventSummary.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <utility>

#include "ODErrorNames.h"
#include "ProgramItem.h"
#include "TextRules.h"

namespace qm {

namespace {

using namespace es;
using std::string;
using std::string_view;

// Fixed texts whose wording is this application's own.
namespace label {
constexpr string_view A = " set for ";       // setextattr: attribute, then file
constexpr string_view B = "uid: ";           // setowner
constexpr string_view C = "to uid: ";        // setuid
constexpr string_view D = "to euid: ";       // seteuid
constexpr string_view E = "to egid: ";       // setegid
constexpr string_view F = "euid: ";          // setreuid, before the euid
constexpr string_view G = " ruid: ";         // setreuid, before the ruid
constexpr string_view H = "egid: ";          // setregid
constexpr string_view I = "AUTO UNLOCK";     // authentication by automatic unlock
constexpr string_view J = " found at ";      // xp_malware_detected
constexpr string_view K = " remediated";     // xp_malware_remediated
constexpr string_view L = "from ";           // screensharing_detach
constexpr string_view M = "uid: ";           // openssh_logout
constexpr string_view N = "[failure: ";      // login_login, closed by "]"
constexpr string_view O = " requested ";     // authorization: petitioner, then count
constexpr string_view P = " results ";       // authorization_judgement
constexpr string_view Q = " requested ";     // authorization_petition
constexpr string_view R = " was ";           // Open Directory users and groups
constexpr string_view S = "deleted";         // Open Directory deletions
constexpr string_view T = "delete error ["; // Open Directory deletions
constexpr string_view U = "mod error [";     // Open Directory additions and settings
constexpr string_view V = " attribute ";     // Open Directory attributes
constexpr string_view W = " titled \"";      // profiles, closed by a double quote
constexpr string_view X = "\" as ";          // sudo, closes the quoted command
constexpr string_view Y = "MDM_MANAGED";     // profiles from device management
constexpr string_view Z = "SWITCHED";        // su
constexpr string_view AA = "ANY";            // networkflow local address 0.0.0.0
}  // namespace label

constexpr string_view unknown = "(unknown)";
constexpr std::int64_t udpProtocolNumber = 17;  // compared by number: the C headers define the name as a macro

// Service names of well-known ports, ascending by port.
constexpr std::array<std::pair<std::int64_t, string_view>, 64> portNames{{
    {22, "ssh"}, {25, "smtp-email"}, {53, "dns"}, {80, "http"},
    {88, "kerberos"}, {110, "pop3-email"}, {115, "sftp"}, {118, "sqlserv"},
    {123, "ntp"}, {135, "msrpc"}, {137, "netbios-ns"}, {138, "netbios-ngm"},
    {139, "netbios-ssn"}, {143, "imap-email"}, {156, "sqlserv"}, {161, "snmp"},
    {162, "snmp-trap"}, {194, "irc"}, {220, "imap3-email"}, {389, "ldap"},
    {443, "https"}, {445, "SMB"}, {500, "isakmp-vpn"}, {514, "syslog"},
    {515, "printer"}, {548, "afp"}, {554, "rtsp"}, {587, "mail"},
    {631, "ipp-printer"}, {636, "ldap-ssl"}, {749, "kerberos-adm"}, {993, "imaps-email"},
    {995, "pop3s-email"}, {1900, "bonjour-ssdp"}, {2049, "nfs"}, {2195, "apple-push"},
    {2196, "apple-push"}, {2197, "apple-push"}, {3031, "eppc-apple-event"}, {3283, "apple-RDP"},
    {3284, "classroom"}, {3285, "classroom"}, {3306, "mysql"}, {3389, "RDP-ms"},
    {3689, "daap-airplay"}, {3722, "apple-handoff"}, {4398, "gamecenter"}, {4500, "ik2v2-vpn"},
    {5000, "airplay-receiver-upnp"}, {5060, "sip"}, {5100, "socalia-camera"}, {5223, "apple-push"},
    {5228, "apple-spotlight"}, {5350, "bonjour"}, {5351, "nat-pmp-bonjour"}, {5353, "mdns-bonjour"},
    {5432, "postgresql"}, {5800, "vnc-http"}, {5900, "vnc-apple-RDP"}, {7000, "airplay-receiver"},
    {8000, "http"}, {8080, "http"}, {8443, "https"}, {31337, "BackOrifice"},
}};

static_assert(std::is_sorted(portNames.begin(), portNames.end()));

// The last component of a file path: a trailing "/" ignored, "/" for the root.
string_view name(string_view p) {
    if (p.empty()) return p;
    while (p.size() > 1 && p.back() == '/') p.remove_suffix(1);
    if (p == "/") return p;
    auto pos = p.rfind('/');
    return pos == string_view::npos ? p : p.substr(pos + 1);
}

// The directory that holds a path; "" for a bare name.
string_view parent(string_view p) {
    while (p.size() > 1 && p.back() == '/') p.remove_suffix(1);
    auto pos = p.rfind('/');
    if (pos == string_view::npos) return {};
    p = p.substr(0, pos);
    while (p.size() > 1 && p.back() == '/') p.remove_suffix(1);
    return p.empty() ? string_view("/") : p;
}

// The last non-empty part of s split on c.
string_view lastPart(string_view s, char c) {
    while (!s.empty() && s.back() == c) s.remove_suffix(1);
    auto pos = s.rfind(c);
    return pos == string_view::npos ? s : s.substr(pos + 1);
}

// The non-empty "_"-parts of s from index `from` on, joined with "_".
string partsFrom(string_view s, std::size_t from, bool lower = false) {
    string out;
    std::size_t index = 0;
    while (!s.empty()) {
        auto pos = s.find('_');
        auto part = s.substr(0, pos);
        if (!part.empty()) {
            if (index++ >= from) {
                if (!out.empty()) out += '_';
                out += part;
            }
        }
        if (pos == string_view::npos) break;
        s.remove_prefix(pos + 1);
    }
    if (lower)
        for (char& c : out)
            if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return out;
}

string number(std::int64_t i) { return std::to_string(i); }

// The platform's printed form of a list of texts: ["a", "b"].
void appendQuoted(string& out, string_view s) {
    out += '"';
    for (char c : s) {
        switch (c) {
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\t': out += "\\t"; break;
        default: out += c;
        }
    }
    out += '"';
}

template <class Range, class Text>
string printedList(const Range& items, Text text) {
    string out = "[";
    bool first = true;
    for (const auto& item : items) {
        if (!first) out += ", ";
        first = false;
        appendQuoted(out, text(item));
    }
    out += ']';
    return out;
}

string printedList(const std::vector<string>& items) {
    return printedList(items, [](const string& s) -> string_view { return s; });
}

// Appends every part to out.
template <class... Parts>
void put(string& out, const Parts&... parts) {
    (out.append(string_view(parts)), ...);
}

template <class... Parts>
string cat(const Parts&... parts) {
    string out;
    out.reserve((string_view(parts).size() + ... + 0));
    put(out, parts...);
    return out;
}

string_view orText(const std::optional<string>& v, string_view fallback) { return v ? string_view(*v) : fallback; }

string odStatus(std::int64_t code, string_view ok, string_view errorPrefix) {
    if (code == 0) return string(ok);
    return cat(errorPrefix, number(code), ":", odErrorName(code).value_or(""), "]");
}

// The second "_"-part of an enum value's case name: "TCP" for IPPROTO_TCP.
template <class E>
string protocolWord(E v) {
    auto rest = partsFrom(caseName(v), 1);
    return string(rest.substr(0, rest.find('_')));
}

template <class T, class... U>
concept OneOf = (std::is_same_v<T, U> || ...);

// One rule per case; a case without a rule fails to compile.
struct Summarizer {
    const EventItem& item;
    EventSummary& s;

    string_view prog() const { return lastPathComponent(item); }
    string_view actorPath() const { return item.theEvent().process.executable.path; }
    string_view rowPath() const { return item.theProcess().executable.path; }
    void both(string shortText, string fullText) {
        s.shortText = std::move(shortText);
        s.fullText = std::move(fullText);
    }
    // Short text: the file's name; full text: its path.
    void file(string_view path) { both(string(name(path)), string(path)); }

    void operator()(const ESEvent_exec& e) {
        string args;
        if (e.args && e.args->size() >= 2)
            for (std::size_t i = 1; i < e.args->size(); ++i) {
                if (i > 1) args += ' ';
                args += (*e.args)[i];
            }
        both(cat(name(actorPath()), " -> ", prog(), " ", args), cat(actorPath(), " -> ", rowPath(), " ", args));
    }
    void operator()(const ESEvent_fork&) { both(string(prog()), string(rowPath())); }
    void operator()(const ESEvent_rename& e) {
        string_view destName, dir, filename, destPath;
        if (e.destination_type == ESDestinationType::ES_DESTINATION_TYPE_NEW_PATH) {
            if (const auto& n = e.destination.new_path) {
                dir = n->dir.path;
                filename = n->filename;
            }
            both(cat(name(e.source.path), " -> ", filename), cat(e.source.path, " -> ", dir, "/", filename));
        } else {
            if (const auto& f = e.destination.existing_file) destPath = f->path;
            destName = name(destPath);
            both(cat(name(e.source.path), " -> ", destName), cat(e.source.path, " -> ", destPath));
        }
    }
    void operator()(const ESEvent_open& e) { file(e.file.path); }
    template <class T>
        requires OneOf<T, ESEvent_setmode, ESEvent_access, ESEvent_setattrlist, ESEvent_unlink, ESEvent_truncate,
                       ESEvent_stat, ESEvent_utimes, ESEvent_listextattr, ESEvent_dup, ESEvent_write>
    void operator()(const T& e) {
        file(e.target.path);
    }
    void operator()(const ESEvent_mmap& e) { file(e.source.path); }
    void operator()(const ESEvent_close& e) {
        both(cat(name(e.target.path), " ", e.modified ? "WAS modified" : "was NOT modified"), e.target.path);
    }
    void operator()(const ESEvent_create& e) {
        if (e.destination_type == ESDestinationType::ES_DESTINATION_TYPE_NEW_PATH) {
            string_view dir, filename;
            if (const auto& n = e.destination.new_path) {
                dir = n->dir.path;
                filename = n->filename;
            }
            both(string(filename), cat(dir, "/", filename));
        } else {
            string_view path;
            if (const auto& f = e.destination.existing_file) path = f->path;
            file(path);
        }
    }
    template <class T>
        requires OneOf<T, ESEvent_exchangedata, ESEvent_kextload, ESEvent_kextunload, ESEvent_mprotect,
                       ESEvent_pty_grant, ESEvent_pty_close, ESEvent_settime, ESEvent_cs_invalidated>
    void operator()(const T&) {}
    void operator()(const ESEvent_exit& e) { s.shortText = number(e.stat); }
    template <class T>
        requires OneOf<T, ESEvent_get_task, ESEvent_get_task_name, ESEvent_get_task_read, ESEvent_get_task_inspect>
    void operator()(const T& e) {
        string how = partsFrom(caseName(e.type), 4);
        both(cat(prog(), " -", how, "-> ", name(e.target.executable.path)),
             cat(rowPath(), " -", how, "-> ", e.target.executable.path));
    }
    void operator()(const ESEvent_link& e) {
        both(cat(name(e.source.path), " -> ", e.target_filename),
             cat(e.source.path, " -> ", e.target_dir.path, "/", e.target_filename));
    }
    template <class T>
        requires OneOf<T, ESEvent_mount, ESEvent_unmount, ESEvent_remount>
    void operator()(const T& e) {
        const Statfs& f = e.statfs;
        both(f.f_mntonname, cat(f.f_mntfromname, " -", f.f_fstypename, "-> ", f.f_mntonname));
    }
    void operator()(const ESEvent_iokit_open& e) { s.shortText = e.user_client_class; }
    template <class T>
        requires OneOf<T, ESEvent_setflags, ESEvent_getattrlist, ESEvent_searchfs, ESEvent_chdir, ESEvent_chroot,
                       ESEvent_readdir, ESEvent_fsgetpath>
    void operator()(const T& e) {
        s.shortText = e.target.path;
    }
    void operator()(const ESEvent_setextattr& e) {
        both(cat(e.extattr, label::A, name(e.target.path)), cat(e.extattr, label::A, e.target.path));
    }
    void operator()(const ESEvent_getextattr& e) {
        both(cat(e.extattr, " read from ", name(e.target.path)), cat(e.extattr, " read from ", e.target.path));
    }
    void operator()(const ESEvent_deleteextattr& e) {
        both(cat(e.extattr, " removed from ", name(e.target.path)), cat(e.extattr, " removed from ", e.target.path));
    }
    void operator()(const ESEvent_setowner& e) {
        string ids = cat(label::B, number(e.uid), " gid: ", number(e.gid), " for ");
        both(cat(ids, name(e.target.path)), cat(ids, e.target.path));
    }
    void operator()(const ESEvent_signal& e) {
        string_view sig = caseName(e.sig);
        both(cat(name(actorPath()), " -", sig, "-> ", prog()), cat(actorPath(), " -", sig, "-> ", rowPath()));
    }
    void operator()(const ESEvent_file_provider_materialize& e) {
        both(cat(name(e.source.path), " -> ", name(e.target.path)), cat(e.source.path, " -> ", e.target.path));
    }
    void operator()(const ESEvent_file_provider_update& e) {
        both(cat(name(e.source.path), " -> ", lastPart(e.target_path, '/')), cat(e.source.path, " -> ", e.target_path));
    }
    void operator()(const ESEvent_readlink& e) { s.shortText = e.source.path; }
    void operator()(const ESEvent_lookup& e) {
        both(string(lastPart(e.relative_target, '/')), cat(e.source_dir.path, e.relative_target));
    }
    void operator()(const ESEvent_clone& e) {
        both(cat(name(e.source.path), " -> ", e.target_name),
             cat(e.source.path, " -> ", e.target_dir.path, "/", e.target_name));
    }
    void operator()(const ESEvent_fcntl& e) { both(cat(name(e.target.path), " -> ", number(e.cmd)), e.target.path); }
    void operator()(const ESEvent_uipc_bind& e) { both(e.filename, cat(e.dir.path, "/", e.filename)); }
    void operator()(const ESEvent_uipc_connect& e) {
        s.shortText = cat(caseName(e.domain), " : ", caseName(e.type), " : ", protocolWord(e.proto), " -> ", e.file.path);
    }
    void operator()(const ESEvent_setacl& e) {
        string t = "(path: ";
        appendQuoted(t, parent(e.target.path));
        t += ", filename: ";
        appendQuoted(t, name(e.target.path));
        t += ')';
        both(std::move(t), e.target.path);
    }
    void operator()(const ESEvent_proc_check& e) {
        string_view how = lastPart(caseName(e.type), '_');
        string_view targetPath = e.target ? string_view(e.target->executable.path) : string_view();
        both(cat(prog(), " -", how, "-> ", name(targetPath)), cat(rowPath(), " -", how, "-> ", targetPath));
    }
    void operator()(const ESEvent_proc_suspend_resume& e) {
        string kind = partsFrom(caseName(e.type), 5, true);
        if (e.target)
            both(cat("Resume ", kind, " for ", name(e.target->executable.path)),
                 cat("Resume ", kind, " for ", e.target->executable.path));
        else
            s.shortText = std::move(kind);
    }
    template <class T>
        requires OneOf<T, ESEvent_trace, ESEvent_remote_thread_create>
    void operator()(const T& e) {
        both(cat(prog(), " -> ", name(e.target.executable.path)), cat(rowPath(), " -> ", e.target.executable.path));
    }
    void operator()(const ESEvent_setuid& e) { s.shortText = cat(label::C, number(e.uid)); }
    void operator()(const ESEvent_setgid& e) { s.shortText = cat("to gid: ", number(e.gid)); }
    void operator()(const ESEvent_seteuid& e) { s.shortText = cat(label::D, number(e.euid)); }
    void operator()(const ESEvent_setegid& e) { s.shortText = cat(label::E, number(e.egid)); }
    void operator()(const ESEvent_setreuid& e) {
        s.shortText = cat(label::F, number(e.euid), label::G, number(e.ruid));
    }
    void operator()(const ESEvent_setregid& e) {
        s.shortText = cat(label::H, number(e.egid), " rgid: ", number(e.rgid));
    }
    void operator()(const ESEvent_copyfile& e) {
        both(cat(name(e.source.path), " -> ", e.target_name),
             cat(e.source.path, " -> ", e.targetdir.path, "/", e.target_name));
    }
    void operator()(const ESEvent_authentication& e) {
        auto byInstigator = [this](string_view kind, const auto& record) {
            string_view path = record ? string_view(record->instigator.executable.path) : string_view();
            both(cat(kind, " auth from ", name(path)), cat(kind, " auth from ", path));
        };
        switch (e.type) {
        case ESAuthenticationType::ES_AUTHENTICATION_TYPE_OD: byInstigator("OD", e.data.od); break;
        case ESAuthenticationType::ES_AUTHENTICATION_TYPE_TOUCHID: byInstigator("TOUCH ID", e.data.touchid); break;
        case ESAuthenticationType::ES_AUTHENTICATION_TYPE_TOKEN: byInstigator("TOKEN", e.data.token); break;
        case ESAuthenticationType::ES_AUTHENTICATION_TYPE_AUTO_UNLOCK: {
            string_view user = e.data.auto_unlock ? string_view(e.data.auto_unlock->username) : string_view();
            s.shortText = cat(label::I, " auth from ", user);
            break;
        }
        case ESAuthenticationType::ES_AUTHENTICATION_TYPE_LAST: s.shortText = "None auth from "; break;
        }
    }
    void operator()(const ESEvent_xp_malware_detected& e) {
        both(e.malware_identifier, cat(e.malware_identifier, label::J, e.detected_path));
    }
    void operator()(const ESEvent_xp_malware_remediated& e) {
        string_view done = e.success ? "WAS" : "was NOT";
        both(cat(e.malware_identifier, " ", done, label::K),
             cat(e.malware_identifier, " ", done, " remediated with ", e.action_type, " for ",
                 orText(e.remediated_path, unknown)));
    }
    template <class T>
        requires OneOf<T, ESEvent_lw_session_login, ESEvent_lw_session_logout, ESEvent_lw_session_lock,
                       ESEvent_lw_session_unlock, ESEvent_login_logout>
    void operator()(const T& e) {
        s.shortText = e.username;
    }
    void operator()(const ESEvent_screensharing_attach& e) {
        string_view verdict = e.success ? "ACCEPTED" : "DENIED";
        string_view from = orText(e.source_address, unknown), to = orText(e.session_username, unknown);
        both(cat(verdict, " from ", from, " to username ", to),
             cat(verdict, " from ", from, " viewer appleid ", orText(e.viewer_appleid, unknown), " to username ", to));
    }
    void operator()(const ESEvent_screensharing_detach& e) {
        s.shortText = cat(label::L, orText(e.source_address, unknown), " viewer appleid ", orText(e.viewer_appleid, unknown));
    }
    void operator()(const ESEvent_openssh_login& e) {
        s.shortText = cat(e.success ? "ACCEPTED" : "DENIED", " for ", e.username, " from ", e.source_address);
    }
    void operator()(const ESEvent_openssh_logout& e) {
        s.shortText = cat(label::M, number(e.uid), " for ", e.username, " from ", e.source_address);
    }
    void operator()(const ESEvent_login_login& e) {
        if (e.success) s.shortText = cat("Successful login from: ", e.username, " ");
        else s.shortText = cat("Failed login from: ", e.username, " ", label::N, orText(e.failure_message, "unknown"), "]");
    }
    void operator()(const ESEvent_btm_launch_item_add& e) {
        string_view exeName = e.executable_path ? lastPart(*e.executable_path, '/') : "[]";
        string_view exePath = e.executable_path ? string_view(*e.executable_path) : "[]";
        both(cat(exeName, " -> ", lastPart(e.item.item_url, '/')), cat(exePath, " -> ", e.item.item_url));
    }
    void operator()(const ESEvent_btm_launch_item_remove& e) { s.shortText = e.item.item_url; }

    static string_view petName(const std::optional<ESProcess>& petitioner) {
        return petitioner ? name(petitioner->executable.path) : unknown;
    }
    void operator()(const ESEvent_authorization_judgement& e) {
        std::size_t n = e.results ? e.results->size() : 0;
        std::vector<string> results;
        if (e.results)
            for (const auto& r : *e.results) results.push_back(cat(r.right_name, " [", r.granted ? "YES" : "NO", "]"));
        both(cat(petName(e.petitioner), label::O, number(std::int64_t(n)), "-rights"),
             cat(name(e.instigator.executable.path), " on behalf of ", petName(e.petitioner), label::P,
                 printedList(results)));
    }
    void operator()(const ESEvent_authorization_petition& e) {
        std::size_t n = e.rights ? e.rights->size() : 0;
        string_view first = n > 0 ? string_view(e.rights->front()) : string_view();
        both(cat(petName(e.petitioner), label::O, number(std::int64_t(n)), "-rights first is ", first),
             cat(name(e.instigator.executable.path), " on behalf of ", petName(e.petitioner), label::Q,
                 printedList(e.rights ? *e.rights : std::vector<string>{string(unknown)})));
    }

    // Open Directory.
    template <class T>
    static string_view insName(const T& e) {
        return name(e.instigator.executable.path);
    }
    void operator()(const ESEvent_od_create_user& e) {
        s.shortText = cat("usr:", e.user_name, label::R, odStatus(e.error_code, "created", "create error ["), " by ", insName(e));
    }
    void operator()(const ESEvent_od_delete_user& e) {
        s.shortText = cat(e.user_name, label::R, odStatus(e.error_code, label::S, label::T), " by ", insName(e));
    }
    void operator()(const ESEvent_od_disable_user& e) {
        s.shortText = cat(e.user_name, label::R, odStatus(e.error_code, "disabled", "disable error ["), " by ", insName(e));
    }
    void operator()(const ESEvent_od_enable_user& e) {
        s.shortText = cat(e.user_name, label::R, odStatus(e.error_code, "enabled", "enable error ["), " by ", insName(e));
    }
    void operator()(const ESEvent_od_create_group& e) {
        s.shortText = cat("grp:", e.group_name, label::R, odStatus(e.error_code, "created", "create error ["), " by ", insName(e));
    }
    void operator()(const ESEvent_od_delete_group& e) {
        s.shortText = cat("grp:", e.group_name, label::R, odStatus(e.error_code, label::S, label::T), " by ", insName(e));
    }
    void operator()(const ESEvent_od_group_add& e) {
        string status = odStatus(e.error_code, "added", label::U);
        both(cat("grp:", e.group_name, " ", status, " ", e.member.member_value),
             cat(e.group_name, " ", status, " ", e.member.member_value, " by ", insName(e)));
    }
    void operator()(const ESEvent_od_group_remove& e) {
        string status = odStatus(e.error_code, "removed", "remove error [");
        both(cat("grp:", e.group_name, " ", status, " ", e.member.member_value),
             cat(e.group_name, " ", status, " ", e.member.member_value, " by ", insName(e)));
    }
    void operator()(const ESEvent_od_group_set& e) {
        string status = odStatus(e.error_code, "set", label::U);
        const auto& members = e.members.member_array;
        both(cat("grp:", e.group_name, " ", status, " ", number(std::int64_t(members.size())), "-members"),
             cat(e.group_name, " ", status, " ", printedList(members), " by ", insName(e)));
    }
    void operator()(const ESEvent_od_attribute_set& e) {
        s.shortText = cat("record:", e.record_name, " ", odStatus(e.error_code, "set", label::U), label::V,
                          e.attribute_name, " by ", insName(e));
    }
    void operator()(const ESEvent_od_attribute_value_add& e) {
        s.shortText = cat("record:", e.record_name, " ", odStatus(e.error_code, "added", label::U), label::V,
                          e.attribute_name, " by ", insName(e));
    }
    void operator()(const ESEvent_od_attribute_value_remove& e) {
        s.shortText = cat("record:", e.record_name, " ", odStatus(e.error_code, "removed", "remove error ["),
                          label::V, e.attribute_name, " by ", insName(e));
    }
    void operator()(const ESEvent_od_modify_password& e) {
        s.shortText = cat(e.account_name, " password ", odStatus(e.error_code, "modified", "modify error ["), " by ",
                          insName(e));
    }

    template <class T>
        requires OneOf<T, ESEvent_profile_add, ESEvent_profile_remove>
    void operator()(const T& e) {
        const ESProfile& p = e.profile;
        string_view source =
            p.install_source == ESProfileSource::ES_PROFILE_SOURCE_INSTALL ? string_view("LOCAL_INSTALL") : label::Y;
        both(cat(source, " of \"", p.display_name, "\""),
             cat(insName(e), " - ", source, " of ", p.scope, label::W, p.display_name, "\""));
    }
    void operator()(const ESEvent_su& e) {
        string_view switched = e.success ? label::Z : string_view("DENIED");
        string_view to = orText(e.to_username, unknown);
        both(cat(e.from_username, " -", switched, "-> ", to),
             cat(e.from_username, "[", number(e.from_uid), "] -", switched, "-> ", to, "[", number(e.to_uid.value_or(-1)), "]"));
    }
    void operator()(const ESEvent_sudo& e) {
        string_view ran = e.success ? "EXECUTED" : "DENIED";
        string_view command = orText(e.command, unknown), to = orText(e.to_username, unknown);
        both(cat(ran, " \"", command, label::X, to),
             cat(orText(e.from_username, unknown), "[", number(e.from_uid.value_or(-1)), "] ", ran, " \"", command,
                 label::X, to, "[", number(e.to_uid.value_or(-1)), "]"));
    }
    void operator()(const ESEvent_xpc_connect& e) {
        s.shortText = cat(e.service_name, " [", shortName(e.service_domain_type), "]");
    }
    void operator()(const ESEvent_networkflow& e) {
        string_view lp = orText(e.local_port, "null"), rp = orText(e.remote_port, "null");
        auto portLabel = [](string_view port) {
            return portName(parseDecimal(port).value_or(0)).value_or(port);
        };
        string_view localLabel = portLabel(lp), remoteLabel = portLabel(rp);

        string local;
        if (!e.local_address) local = "null";
        else if (*e.local_address == "0.0.0.0") local = lp == "0" ? string(label::AA) : cat(label::AA, ":", localLabel);
        else local = cat(*e.local_address, ":", localLabel);
        string remote = e.remote_address ? cat(*e.remote_address, ":", remoteLabel) : string("null");

        string proto = protocolWord(e.flow_protocol);
        string dir = e.direction == "outbound" ? cat("-", proto, "->") : cat("<-", proto, "-");

        if (e.remote_port && *e.remote_port == "53" && rawValue(e.flow_protocol) == udpProtocolNumber)
            s.shortText = cat("DNS lookup for ", orText(e.remote_hostname, ""));
        else
            s.shortText = cat(local, " ", dir, " ", remote);
        s.fullText = cat("[", orText(e.url, ""), " ", localLabel, ":", remoteLabel, "] ", orText(e.local_address, "null"),
                         ":", lp, " ", dir, " ", orText(e.remote_address, "null"), ":", rp, " [",
                         orText(e.remote_hostname, ""), "]");
    }
};

}  // namespace

std::optional<std::string_view> portName(std::int64_t port) {
    auto it = std::lower_bound(portNames.begin(), portNames.end(), port,
                               [](const auto& entry, std::int64_t p) { return entry.first < p; });
    if (it == portNames.end() || it->first != port) return std::nullopt;
    return it->second;
}

EventSummary eventSummary(const EventItem& item) {
    EventSummary summary;
    item.theEvent().event.visit(Summarizer{item, summary});
    return summary;
}

}  // namespace qm
