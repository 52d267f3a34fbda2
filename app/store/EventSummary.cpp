#include "EventSummary.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <type_traits>
#include <utility>
#include <vector>

#include "ODErrorNames.h"
#include "PerThread.h"
#include "ProgramItem.h"
#include "TextForms.h"
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

// Text pieces. A piece is anything a string_view is made from, or a callable that
// appends its text to a string; the rules write through put and set, so a summary
// written into a reused buffer keeps its capacity and makes no other text.
template <class Part>
void putOne(string& out, const Part& part) {
    if constexpr (std::is_invocable_v<const Part&, string&>) part(out);
    else out.append(string_view(part));
}

// Appends every part to out.
template <class... Parts>
void put(string& out, const Parts&... parts) {
    (putOne(out, parts), ...);
}

// Replaces out's text by the parts.
template <class... Parts>
void set(string& out, const Parts&... parts) {
    out.clear();
    put(out, parts...);
}

// A decimal number, as std::to_string writes it, without a heap block.
class Number {
public:
    explicit Number(std::int64_t i) : size_(std::size_t(std::to_chars(digits_, digits_ + sizeof digits_, i).ptr - digits_)) {}
    operator string_view() const { return {digits_, size_}; }

private:
    char digits_[24];
    std::size_t size_;
};

// The non-empty "_"-parts of s from index `from` on, joined with "_", optionally in
// lower case.
auto partsFrom(string_view s, std::size_t from, bool lower = false) {
    return [=](string& out) {
        std::size_t index = 0;
        bool first = true;
        for (string_view rest = s; !rest.empty();) {
            auto pos = rest.find('_');
            auto part = rest.substr(0, pos);
            if (!part.empty() && index++ >= from) {
                if (!first) out += '_';
                first = false;
                const std::size_t at = out.size();
                out += part;
                if (lower)
                    for (std::size_t i = at; i < out.size(); ++i)
                        if (out[i] >= 'A' && out[i] <= 'Z') out[i] = static_cast<char>(out[i] - 'A' + 'a');
            }
            if (pos == string_view::npos) break;
            rest.remove_prefix(pos + 1);
        }
    };
}

// The non-empty "_"-part of s at index n, or "".
string_view nthPart(string_view s, std::size_t n) {
    std::size_t index = 0;
    while (!s.empty()) {
        auto pos = s.find('_');
        auto part = s.substr(0, pos);
        if (!part.empty() && index++ == n) return part;
        if (pos == string_view::npos) break;
        s.remove_prefix(pos + 1);
    }
    return {};
}

// The platform's printed form of a list of texts: ["a", "b"]. each(out, item)
// appends an item's text escaped.
template <class Range, class Each>
auto printedList(const Range& items, Each each) {
    return [&items, each](string& out) { appendTextList(out, items, each); };
}

template <class Range>
auto printedList(const Range& items) {
    return [&items](string& out) { appendTextList(out, items); };
}

string_view orText(const std::optional<string>& v, string_view fallback) { return v ? string_view(*v) : fallback; }

auto odStatus(std::int64_t code, string_view ok, string_view errorPrefix) {
    return [=](string& out) {
        if (code == 0) out += ok;
        else put(out, errorPrefix, Number(code), ":", odErrorName(code).value_or(""), "]");
    };
}

// The second "_"-part of an enum value's case name: "TCP" for IPPROTO_TCP.
template <class E>
string_view protocolWord(E v) {
    return nthPart(caseName(v), 1);
}

template <class T, class... U>
concept OneOf = (std::is_same_v<T, U> || ...);

// One rule per case; a case without a rule fails to compile. A rule writes the
// texts it gives; the other stays empty. Rules write the full text first, so that
// when only the search text is wanted, a short text that it would not show is not
// written.
struct Summarizer {
    const EventItem& item;
    EventSummary& s;
    bool searchTextOnly = false;

    string_view prog() const { return lastPathComponent(item); }
    string_view actorPath() const { return item.theEvent().process.executable.path; }
    string_view rowPath() const { return item.theProcess().executable.path; }
    template <class... Parts>
    void shortText(const Parts&... parts) {
        if (!searchTextOnly || s.fullText.empty()) set(s.shortText, parts...);
    }
    template <class... Parts>
    void fullText(const Parts&... parts) {
        set(s.fullText, parts...);
    }
    // Short text: the file's name; full text: its path.
    void file(string_view path) {
        fullText(path);
        shortText(name(path));
    }

    void operator()(const ESEvent_exec& e) {
        auto args = [&e](string& out) {
            if (e.args && e.args->size() >= 2)
                for (std::size_t i = 1; i < e.args->size(); ++i) {
                    if (i > 1) out += ' ';
                    out += (*e.args)[i];
                }
        };
        fullText(actorPath(), " -> ", rowPath(), " ", args);
        shortText(name(actorPath()), " -> ", prog(), " ", args);
    }
    void operator()(const ESEvent_fork&) {
        fullText(rowPath());
        shortText(prog());
    }
    void operator()(const ESEvent_rename& e) {
        if (e.destination_type == ESDestinationType::ES_DESTINATION_TYPE_NEW_PATH) {
            string_view dir, filename;
            if (const auto& n = e.destination.new_path) {
                dir = n->dir.path;
                filename = n->filename;
            }
            fullText(e.source.path, " -> ", dir, "/", filename);
            shortText(name(e.source.path), " -> ", filename);
        } else {
            string_view destPath;
            if (const auto& f = e.destination.existing_file) destPath = f->path;
            fullText(e.source.path, " -> ", destPath);
            shortText(name(e.source.path), " -> ", name(destPath));
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
        fullText(e.target.path);
        shortText(name(e.target.path), " ", e.modified ? "WAS modified" : "was NOT modified");
    }
    void operator()(const ESEvent_create& e) {
        if (e.destination_type == ESDestinationType::ES_DESTINATION_TYPE_NEW_PATH) {
            string_view dir, filename;
            if (const auto& n = e.destination.new_path) {
                dir = n->dir.path;
                filename = n->filename;
            }
            fullText(dir, "/", filename);
            shortText(filename);
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
    void operator()(const ESEvent_exit& e) { shortText(Number(e.stat)); }
    template <class T>
        requires OneOf<T, ESEvent_get_task, ESEvent_get_task_name, ESEvent_get_task_read, ESEvent_get_task_inspect>
    void operator()(const T& e) {
        auto how = partsFrom(caseName(e.type), 4);
        fullText(rowPath(), " -", how, "-> ", e.target.executable.path);
        shortText(prog(), " -", how, "-> ", name(e.target.executable.path));
    }
    void operator()(const ESEvent_link& e) {
        fullText(e.source.path, " -> ", e.target_dir.path, "/", e.target_filename);
        shortText(name(e.source.path), " -> ", e.target_filename);
    }
    template <class T>
        requires OneOf<T, ESEvent_mount, ESEvent_unmount, ESEvent_remount>
    void operator()(const T& e) {
        const Statfs& f = e.statfs;
        fullText(f.f_mntfromname, " -", f.f_fstypename, "-> ", f.f_mntonname);
        shortText(f.f_mntonname);
    }
    void operator()(const ESEvent_iokit_open& e) { shortText(e.user_client_class); }
    template <class T>
        requires OneOf<T, ESEvent_setflags, ESEvent_getattrlist, ESEvent_searchfs, ESEvent_chdir, ESEvent_chroot,
                       ESEvent_readdir, ESEvent_fsgetpath>
    void operator()(const T& e) {
        shortText(e.target.path);
    }
    // An extended attribute, how it was used, and the file.
    void attribute(string_view attr, string_view how, string_view path) {
        fullText(attr, how, path);
        shortText(attr, how, name(path));
    }
    void operator()(const ESEvent_setextattr& e) { attribute(e.extattr, label::A, e.target.path); }
    void operator()(const ESEvent_getextattr& e) { attribute(e.extattr, " read from ", e.target.path); }
    void operator()(const ESEvent_deleteextattr& e) { attribute(e.extattr, " removed from ", e.target.path); }
    void operator()(const ESEvent_setowner& e) {
        auto ids = [&e](string& out) { put(out, label::B, Number(e.uid), " gid: ", Number(e.gid), " for "); };
        fullText(ids, e.target.path);
        shortText(ids, name(e.target.path));
    }
    void operator()(const ESEvent_signal& e) {
        string_view sig = caseName(e.sig);
        fullText(actorPath(), " -", sig, "-> ", rowPath());
        shortText(name(actorPath()), " -", sig, "-> ", prog());
    }
    void operator()(const ESEvent_file_provider_materialize& e) {
        fullText(e.source.path, " -> ", e.target.path);
        shortText(name(e.source.path), " -> ", name(e.target.path));
    }
    void operator()(const ESEvent_file_provider_update& e) {
        fullText(e.source.path, " -> ", e.target_path);
        shortText(name(e.source.path), " -> ", lastPart(e.target_path, '/'));
    }
    void operator()(const ESEvent_readlink& e) { shortText(e.source.path); }
    void operator()(const ESEvent_lookup& e) {
        fullText(e.source_dir.path, e.relative_target);
        shortText(lastPart(e.relative_target, '/'));
    }
    void operator()(const ESEvent_clone& e) {
        fullText(e.source.path, " -> ", e.target_dir.path, "/", e.target_name);
        shortText(name(e.source.path), " -> ", e.target_name);
    }
    void operator()(const ESEvent_fcntl& e) {
        fullText(e.target.path);
        shortText(name(e.target.path), " -> ", Number(e.cmd));
    }
    void operator()(const ESEvent_uipc_bind& e) {
        fullText(e.dir.path, "/", e.filename);
        shortText(e.filename);
    }
    void operator()(const ESEvent_uipc_connect& e) {
        shortText(caseName(e.domain), " : ", caseName(e.type), " : ", protocolWord(e.proto), " -> ", e.file.path);
    }
    void operator()(const ESEvent_setacl& e) {
        auto quoted = [](string_view text) { return [text](string& out) { appendQuotedText(out, text); }; };
        fullText(e.target.path);
        shortText("(path: ", quoted(parent(e.target.path)), ", filename: ", quoted(name(e.target.path)), ")");
    }
    void operator()(const ESEvent_proc_check& e) {
        string_view how = lastPart(caseName(e.type), '_');
        string_view targetPath = e.target ? string_view(e.target->executable.path) : string_view();
        fullText(rowPath(), " -", how, "-> ", targetPath);
        shortText(prog(), " -", how, "-> ", name(targetPath));
    }
    void operator()(const ESEvent_proc_suspend_resume& e) {
        auto kind = partsFrom(caseName(e.type), 5, true);
        if (e.target) {
            fullText("Resume ", kind, " for ", e.target->executable.path);
            shortText("Resume ", kind, " for ", name(e.target->executable.path));
        } else {
            shortText(kind);
        }
    }
    template <class T>
        requires OneOf<T, ESEvent_trace, ESEvent_remote_thread_create>
    void operator()(const T& e) {
        fullText(rowPath(), " -> ", e.target.executable.path);
        shortText(prog(), " -> ", name(e.target.executable.path));
    }
    void operator()(const ESEvent_setuid& e) { shortText(label::C, Number(e.uid)); }
    void operator()(const ESEvent_setgid& e) { shortText("to gid: ", Number(e.gid)); }
    void operator()(const ESEvent_seteuid& e) { shortText(label::D, Number(e.euid)); }
    void operator()(const ESEvent_setegid& e) { shortText(label::E, Number(e.egid)); }
    void operator()(const ESEvent_setreuid& e) { shortText(label::F, Number(e.euid), label::G, Number(e.ruid)); }
    void operator()(const ESEvent_setregid& e) { shortText(label::H, Number(e.egid), " rgid: ", Number(e.rgid)); }
    void operator()(const ESEvent_copyfile& e) {
        fullText(e.source.path, " -> ", e.targetdir.path, "/", e.target_name);
        shortText(name(e.source.path), " -> ", e.target_name);
    }
    void operator()(const ESEvent_authentication& e) {
        auto byInstigator = [this](string_view kind, const auto& record) {
            string_view path = record ? string_view(record->instigator.executable.path) : string_view();
            fullText(kind, " auth from ", path);
            shortText(kind, " auth from ", name(path));
        };
        switch (e.type) {
        case ESAuthenticationType::ES_AUTHENTICATION_TYPE_OD: byInstigator("OD", e.data.od); break;
        case ESAuthenticationType::ES_AUTHENTICATION_TYPE_TOUCHID: byInstigator("TOUCH ID", e.data.touchid); break;
        case ESAuthenticationType::ES_AUTHENTICATION_TYPE_TOKEN: byInstigator("TOKEN", e.data.token); break;
        case ESAuthenticationType::ES_AUTHENTICATION_TYPE_AUTO_UNLOCK: {
            string_view user = e.data.auto_unlock ? string_view(e.data.auto_unlock->username) : string_view();
            shortText(label::I, " auth from ", user);
            break;
        }
        case ESAuthenticationType::ES_AUTHENTICATION_TYPE_LAST: shortText("None auth from "); break;
        }
    }
    void operator()(const ESEvent_xp_malware_detected& e) {
        fullText(e.malware_identifier, label::J, e.detected_path);
        shortText(e.malware_identifier);
    }
    void operator()(const ESEvent_xp_malware_remediated& e) {
        string_view done = e.success ? "WAS" : "was NOT";
        fullText(e.malware_identifier, " ", done, " remediated with ", e.action_type, " for ",
                 orText(e.remediated_path, unknown));
        shortText(e.malware_identifier, " ", done, label::K);
    }
    template <class T>
        requires OneOf<T, ESEvent_lw_session_login, ESEvent_lw_session_logout, ESEvent_lw_session_lock,
                       ESEvent_lw_session_unlock, ESEvent_login_logout>
    void operator()(const T& e) {
        shortText(e.username);
    }
    void operator()(const ESEvent_screensharing_attach& e) {
        string_view verdict = e.success ? "ACCEPTED" : "DENIED";
        string_view from = orText(e.source_address, unknown), to = orText(e.session_username, unknown);
        fullText(verdict, " from ", from, " viewer appleid ", orText(e.viewer_appleid, unknown), " to username ", to);
        shortText(verdict, " from ", from, " to username ", to);
    }
    void operator()(const ESEvent_screensharing_detach& e) {
        shortText(label::L, orText(e.source_address, unknown), " viewer appleid ", orText(e.viewer_appleid, unknown));
    }
    void operator()(const ESEvent_openssh_login& e) {
        shortText(e.success ? "ACCEPTED" : "DENIED", " for ", e.username, " from ", e.source_address);
    }
    void operator()(const ESEvent_openssh_logout& e) {
        shortText(label::M, Number(e.uid), " for ", e.username, " from ", e.source_address);
    }
    void operator()(const ESEvent_login_login& e) {
        if (e.success) shortText("Successful login from: ", e.username, " ");
        else shortText("Failed login from: ", e.username, " ", label::N, orText(e.failure_message, "unknown"), "]");
    }
    void operator()(const ESEvent_btm_launch_item_add& e) {
        string_view exeName = e.executable_path ? lastPart(*e.executable_path, '/') : "[]";
        string_view exePath = e.executable_path ? string_view(*e.executable_path) : "[]";
        fullText(exePath, " -> ", e.item.item_url);
        shortText(exeName, " -> ", lastPart(e.item.item_url, '/'));
    }
    void operator()(const ESEvent_btm_launch_item_remove& e) { shortText(e.item.item_url); }

    static string_view petName(const std::optional<ESProcess>& petitioner) {
        return petitioner ? name(petitioner->executable.path) : unknown;
    }
    void operator()(const ESEvent_authorization_judgement& e) {
        std::size_t n = e.results ? e.results->size() : 0;
        shortText(petName(e.petitioner), label::O, Number(std::int64_t(n)), "-rights");
        auto results = [&e](string& out) {
            if (!e.results) {
                out += "[]";
                return;
            }
            put(out, printedList(*e.results, [](string& out, const ESAuthResult& r) {
                    appendEscapedText(out, r.right_name);
                    put(out, " [", r.granted ? "YES" : "NO", "]");
                }));
        };
        fullText(name(e.instigator.executable.path), " on behalf of ", petName(e.petitioner), label::P, results);
    }
    void operator()(const ESEvent_authorization_petition& e) {
        std::size_t n = e.rights ? e.rights->size() : 0;
        string_view first = n > 0 ? string_view(e.rights->front()) : string_view();
        shortText(petName(e.petitioner), label::O, Number(std::int64_t(n)), "-rights first is ", first);
        const std::array<string_view, 1> noRights{unknown};
        auto rights = [&](string& out) {
            if (e.rights) put(out, printedList(*e.rights));
            else put(out, printedList(noRights));
        };
        fullText(name(e.instigator.executable.path), " on behalf of ", petName(e.petitioner), label::Q, rights);
    }

    // Open Directory.
    template <class T>
    static string_view insName(const T& e) {
        return name(e.instigator.executable.path);
    }
    void operator()(const ESEvent_od_create_user& e) {
        shortText("usr:", e.user_name, label::R, odStatus(e.error_code, "created", "create error ["), " by ", insName(e));
    }
    void operator()(const ESEvent_od_delete_user& e) {
        shortText(e.user_name, label::R, odStatus(e.error_code, label::S, label::T), " by ", insName(e));
    }
    void operator()(const ESEvent_od_disable_user& e) {
        shortText(e.user_name, label::R, odStatus(e.error_code, "disabled", "disable error ["), " by ", insName(e));
    }
    void operator()(const ESEvent_od_enable_user& e) {
        shortText(e.user_name, label::R, odStatus(e.error_code, "enabled", "enable error ["), " by ", insName(e));
    }
    void operator()(const ESEvent_od_create_group& e) {
        shortText("grp:", e.group_name, label::R, odStatus(e.error_code, "created", "create error ["), " by ", insName(e));
    }
    void operator()(const ESEvent_od_delete_group& e) {
        shortText("grp:", e.group_name, label::R, odStatus(e.error_code, label::S, label::T), " by ", insName(e));
    }
    // A member added to or removed from a group.
    template <class T>
    void groupChange(const T& e, string_view done, string_view failed) {
        auto status = odStatus(e.error_code, done, failed);
        string_view member = e.member.member_value;
        fullText(e.group_name, " ", status, " ", member, " by ", insName(e));
        shortText("grp:", e.group_name, " ", status, " ", member);
    }
    void operator()(const ESEvent_od_group_add& e) { groupChange(e, "added", label::U); }
    void operator()(const ESEvent_od_group_remove& e) { groupChange(e, "removed", "remove error ["); }
    void operator()(const ESEvent_od_group_set& e) {
        const auto& members = e.members.member_array;
        auto status = odStatus(e.error_code, "set", label::U);
        fullText(e.group_name, " ", status, " ", printedList(members), " by ", insName(e));
        shortText("grp:", e.group_name, " ", status, " ", Number(std::int64_t(members.size())), "-members");
    }
    void operator()(const ESEvent_od_attribute_set& e) {
        shortText("record:", e.record_name, " ", odStatus(e.error_code, "set", label::U), label::V, e.attribute_name,
                  " by ", insName(e));
    }
    void operator()(const ESEvent_od_attribute_value_add& e) {
        shortText("record:", e.record_name, " ", odStatus(e.error_code, "added", label::U), label::V, e.attribute_name,
                  " by ", insName(e));
    }
    void operator()(const ESEvent_od_attribute_value_remove& e) {
        shortText("record:", e.record_name, " ", odStatus(e.error_code, "removed", "remove error ["), label::V,
                  e.attribute_name, " by ", insName(e));
    }
    void operator()(const ESEvent_od_modify_password& e) {
        shortText(e.account_name, " password ", odStatus(e.error_code, "modified", "modify error ["), " by ", insName(e));
    }

    template <class T>
        requires OneOf<T, ESEvent_profile_add, ESEvent_profile_remove>
    void operator()(const T& e) {
        const ESProfile& p = e.profile;
        string_view source =
            p.install_source == ESProfileSource::ES_PROFILE_SOURCE_INSTALL ? string_view("LOCAL_INSTALL") : label::Y;
        fullText(insName(e), " - ", source, " of ", p.scope, label::W, p.display_name, "\"");
        shortText(source, " of \"", p.display_name, "\"");
    }
    void operator()(const ESEvent_su& e) {
        string_view switched = e.success ? label::Z : string_view("DENIED");
        string_view to = orText(e.to_username, unknown);
        fullText(e.from_username, "[", Number(e.from_uid), "] -", switched, "-> ", to, "[", Number(e.to_uid.value_or(-1)),
                 "]");
        shortText(e.from_username, " -", switched, "-> ", to);
    }
    void operator()(const ESEvent_sudo& e) {
        string_view ran = e.success ? "EXECUTED" : "DENIED";
        string_view command = orText(e.command, unknown), to = orText(e.to_username, unknown);
        fullText(orText(e.from_username, unknown), "[", Number(e.from_uid.value_or(-1)), "] ", ran, " \"", command,
                 label::X, to, "[", Number(e.to_uid.value_or(-1)), "]");
        shortText(ran, " \"", command, label::X, to);
    }
    void operator()(const ESEvent_xpc_connect& e) {
        shortText(e.service_name, " [", shortName(e.service_domain_type), "]");
    }
    void operator()(const ESEvent_networkflow& e) {
        string_view lp = orText(e.local_port, "null"), rp = orText(e.remote_port, "null");
        auto portLabel = [](string_view port) {
            return portName(parseDecimal(port).value_or(0)).value_or(port);
        };
        string_view localLabel = portLabel(lp), remoteLabel = portLabel(rp);
        string_view proto = protocolWord(e.flow_protocol);
        const bool outbound = e.direction == "outbound";
        auto dir = [&](string& out) {
            if (outbound) put(out, "-", proto, "->");
            else put(out, "<-", proto, "-");
        };

        fullText("[", orText(e.url, ""), " ", localLabel, ":", remoteLabel, "] ", orText(e.local_address, "null"), ":",
                 lp, " ", dir, " ", orText(e.remote_address, "null"), ":", rp, " [", orText(e.remote_hostname, ""), "]");
        if (e.remote_port && *e.remote_port == "53" && rawValue(e.flow_protocol) == udpProtocolNumber) {
            shortText("DNS lookup for ", orText(e.remote_hostname, ""));
        } else {
            auto local = [&](string& out) {
                if (!e.local_address) out += "null";
                else if (*e.local_address != "0.0.0.0") put(out, *e.local_address, ":", localLabel);
                else if (lp == "0") out += label::AA;
                else put(out, label::AA, ":", localLabel);
            };
            auto remote = [&](string& out) {
                if (e.remote_address) put(out, *e.remote_address, ":", remoteLabel);
                else out += "null";
            };
            shortText(local, " ", dir, " ", remote);
        }
    }
};

// The item's texts written over into's; with searchTextOnly, only what searchText()
// reads is right.
void summarize(const EventItem& item, EventSummary& into, bool searchTextOnly) {
    into.shortText.clear();
    into.fullText.clear();
    item.theEvent().event.visit(Summarizer{item, into, searchTextOnly});
}

// The item's summary in a buffer of the calling thread, valid until its next call.
// The store's passes and the annotator run on several threads at once, and a buffer
// that keeps its capacity makes no heap block per event once it has grown.
const EventSummary& summaryInScratch(const EventItem& item, bool searchTextOnly) {
    EventSummary& scratch = perThread<EventSummary>();
    summarize(item, scratch, searchTextOnly);
    return scratch;
}

}  // namespace

std::optional<std::string_view> portName(std::int64_t port) {
    auto it = std::lower_bound(portNames.begin(), portNames.end(), port,
                               [](const auto& entry, std::int64_t p) { return entry.first < p; });
    if (it == portNames.end() || it->first != port) return std::nullopt;
    return it->second;
}

void eventSummary(const EventItem& item, EventSummary& into) { summarize(item, into, false); }

std::string_view eventSearchText(const EventItem& item) { return summaryInScratch(item, true).searchText(); }

EventSummary eventSummary(const EventItem& item) {
    // Copied out at their final sizes: one heap block at most per text.
    return summaryInScratch(item, false);
}

}  // namespace qm
