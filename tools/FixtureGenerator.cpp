#include "FixtureGenerator.h"

#include "JSONWriter.h"

#include <simdjson.h>

#include <algorithm>
#include <cstdio>
#include <ctime>

namespace fixtures {

using namespace es;

namespace {

const std::vector<FixtureGenerator::Program> programs = {
    {"/sbin/launchd", true, 0},
    {"/usr/libexec/logd", true, 0},
    {"/usr/sbin/mDNSResponder", true, 65},
    {"/usr/libexec/syspolicyd", true, 0},
    {"/System/Library/CoreServices/Finder.app/Contents/MacOS/Finder", true, 501},
    {"/System/Library/CoreServices/Dock.app/Contents/MacOS/Dock", true, 501},
    {"/System/Applications/Utilities/Terminal.app/Contents/MacOS/Terminal", true, 501},
    {"/bin/zsh", true, 501},
    {"/bin/bash", true, 0},
    {"/bin/ls", true, 501},
    {"/usr/bin/sudo", true, 0},
    {"/usr/bin/ssh", true, 501},
    {"/usr/bin/curl", true, 501},
    {"/usr/bin/git", true, 501},
    {"/usr/sbin/cfprefsd", true, 501},
    {"/usr/libexec/xpcproxy", true, 0},
    {"/Applications/Safari.app/Contents/MacOS/Safari", true, 501},
    {"/Applications/Firefox.app/Contents/MacOS/firefox", false, 501},
    {"/Applications/Slack.app/Contents/MacOS/Slack", false, 501},
    {"/Applications/Visual Studio Code.app/Contents/MacOS/Electron", false, 501},
    {"/Applications/Docker.app/Contents/MacOS/com.docker.backend", false, 0},
    {"/usr/local/bin/python3", false, 501},
    {"/opt/homebrew/bin/node", false, 501},
    {"/Users/alice/Downloads/Installer.app/Contents/MacOS/Installer", false, 501},
    {"/Library/Application Support/Agent/agentd", false, 0},
};

const std::vector<std::string> directories = {
    "/Users/alice/Documents", "/Users/alice/Downloads", "/Users/alice/Library/Preferences",
    "/Users/alice/Library/Caches/com.example.app", "/private/var/tmp", "/private/tmp",
    "/Library/LaunchDaemons", "/Library/LaunchAgents", "/System/Library/Frameworks/Security.framework",
    "/usr/lib", "/private/var/db", "/Applications/Slack.app/Contents/Resources", "/etc",
};
const std::vector<std::string> fileNames = {
    "report.pdf", "notes.txt", "com.apple.dock.plist", "cache.db", "index.sqlite-wal", "libz.1.dylib",
    "com.example.agent.plist", "Info.plist", "hosts", "sudoers", "id_ed25519", "photo.heic", "main.js",
};
const std::vector<std::string> words = {
    "alice", "bob", "admin", "staff", "wheel", "com.apple.quarantine", "com.apple.metadata:kMDItemWhereFroms",
    "system.privilege.admin", "Default", "AutoUpdate", "com.example.helper", "Local", "TerminalSession",
};

// Fills a value of any model type; ESProcess and ESFile come from the pools.
template <class T>
struct Fill;

template <class T>
void fill(FixtureGenerator& g, std::string_view key, T& out) {
    Fill<T>::run(g, key, out);
}

bool has(std::string_view key, std::string_view part) { return key.find(part) != std::string_view::npos; }

template <>
struct Fill<std::int64_t> {
    static void run(FixtureGenerator& g, std::string_view key, std::int64_t& out) {
        if (has(key, "uid") || has(key, "gid")) out = g.chance(70) ? 501 : 0;
        else if (has(key, "pid")) out = g.range(1, 99999);
        else if (has(key, "fd")) out = g.range(0, 255);
        else if (has(key, "error_code")) out = g.chance(80) ? 0 : g.range(1000, 5500);
        else if (has(key, "mode")) out = 0100644;
        else out = g.range(0, 4096);
    }
};

template <>
struct Fill<std::string> {
    static void run(FixtureGenerator& g, std::string_view key, std::string& out) {
        if (has(key, "time")) out = g.timeText(-g.range(0, 86400 * 30));
        else if (has(key, "url")) out = "file://" + g.filePath();
        else if (has(key, "path")) out = g.filePath();
        else if (has(key, "uuid") || has(key, "identifier")) out = "6F9619FF-8B86-D011-B42D-00C04FC964FF";
        else if (has(key, "address")) out = g.chance(50) ? "192.168.1." + std::to_string(g.range(2, 254)) : "fe80::1";
        else if (has(key, "port")) out = std::to_string(g.range(1, 65535));
        else if (has(key, "hash") || has(key, "cdhash")) out = "3f2a9c0e1b7d44f6a8e2c5b9d0f1e3a7c6b5d4e2";
        else out = g.pick(words);
    }
};

template <>
struct Fill<CompactString> {
    static void run(FixtureGenerator& g, std::string_view key, CompactString& out) {
        std::string text;
        Fill<std::string>::run(g, key, text);
        out = text;
    }
};

template <>
struct Fill<bool> {
    static void run(FixtureGenerator& g, std::string_view, bool& out) { out = g.chance(50); }
};

template <>
struct Fill<CodeSigningFlags> {
    static void run(FixtureGenerator& g, std::string_view, CodeSigningFlags& out) {
        out = CodeSigningFlags(g.chance(60) ? 0x26000001 : 0x22000005);
    }
};

template <ModelEnum E>
struct Fill<E> {
    static void run(FixtureGenerator& g, std::string_view, E& out) {
        const auto& cases = EnumInfo<E>::cases;
        out = static_cast<E>(cases[std::size_t(g.range(0, std::int64_t(cases.size()) - 1))].raw);
    }
};

template <class T>
struct Fill<std::vector<T>> {
    static void run(FixtureGenerator& g, std::string_view key, std::vector<T>& out) {
        out.resize(std::size_t(g.range(0, 3)));
        for (auto& item : out) fill(g, key, item);
    }
};

template <class T>
struct Fill<std::optional<T>> {
    static void run(FixtureGenerator& g, std::string_view key, std::optional<T>& out) {
        if (g.chance(50)) fill(g, key, out.emplace());
        else out.reset();
    }
};

template <>
struct Fill<ESProcess> {
    static void run(FixtureGenerator& g, std::string_view, ESProcess& out) { out = g.makeProcess(); }
};

template <>
struct Fill<ESFile> {
    static void run(FixtureGenerator& g, std::string_view, ESFile& out) { out = g.makeFile(g.filePath()); }
};

template <>
struct Fill<ESEvent_settime> {
    static void run(FixtureGenerator&, std::string_view, ESEvent_settime&) {}
};
template <>
struct Fill<ESEvent_cs_invalidated> {
    static void run(FixtureGenerator&, std::string_view, ESEvent_cs_invalidated&) {}
};

template <Record R>
struct Fill<R> {
    static void run(FixtureGenerator& g, std::string_view, R& out) {
        std::apply([&](const auto&... f) { (fill(g, f.key, out.*(f.member)), ...); }, R::fields());
    }
};

// The event type of a kind: its NOTIFY case, or its AUTH case for an auth message.
EventType eventTypeFor(std::string_view key, bool auth) {
    for (const auto& c : allEventTypeCases) {
        bool isAuth = c.name.find("_AUTH_") != std::string_view::npos;
        if (isAuth == auth && shortName(EventType(c.raw)) == key) return EventType(c.raw);
    }
    return eventTypeFor(key, false);
}

bool hasAuthCase(std::string_view key) { return eventTypeFor(key, true) != eventTypeFor(key, false); }

template <std::size_t I>
void fillCase(FixtureGenerator& g, ESEvent& e) {
    fill(g, eventKeys[I], e.emplace<I>());
}

using CaseFiller = void (*)(FixtureGenerator&, ESEvent&);
constexpr auto caseFillers = []<std::size_t... I>(std::index_sequence<I...>) {
    return std::array<CaseFiller, sizeof...(I)>{&fillCase<I>...};
}(std::make_index_sequence<ESEvent::caseCount>{});

// Kinds seen most in real captures get extra weight.
const std::vector<std::string_view> commonKinds = {"exec", "fork", "exit", "open", "close", "write", "create",
                                                   "rename", "unlink", "lookup", "stat", "mmap", "signal"};

}  // namespace

FixtureGenerator::FixtureGenerator(std::uint64_t seed)
    : rng_(seed), shapeRng_(seed ^ 0x5EED5EED), seqByType_(ESEvent::caseCount, 0) {
    // A tree of processes: launchd first, then children of earlier processes.
    for (std::size_t i = 0; i < programs.size() * 2; ++i) {
        Process p{};
        p.program = i < programs.size() ? i : std::size_t(range(1, std::int64_t(programs.size()) - 1));
        p.pid = i == 0 ? 1 : nextPid_ += range(1, 40);
        p.ppid = i == 0 ? 0 : processes_[std::size_t(range(0, std::int64_t(processes_.size()) - 1))].pid;
        p.pidversion = range(1000, 90000);
        p.session = programs[p.program].uid == 0 ? 1 : 100 + range(0, 3);
        p.startTime = timeText(-range(60, 3600));
        processes_.push_back(p);
    }
}

std::string FixtureGenerator::timeText(std::int64_t offsetSeconds) const {
    // Captures start at 2023-05-01T10:00:00Z.
    std::int64_t total = 1682935200LL * 1000000 + micros_ + offsetSeconds * 1000000;
    std::time_t secs = std::time_t(total / 1000000);
    std::tm tm{};
    gmtime_r(&secs, &tm);
    char buf[64];
    std::snprintf(buf, sizeof buf, "%04d-%02d-%02dT%02d:%02d:%02d.%06lldZ", tm.tm_year + 1900, tm.tm_mon + 1,
                  tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec, static_cast<long long>(total % 1000000));
    return buf;
}

std::string FixtureGenerator::filePath() {
    if (chance(15)) return programs[std::size_t(range(0, std::int64_t(programs.size()) - 1))].path;
    return pick(directories) + "/" + pick(fileNames);
}

ESFile FixtureGenerator::makeFile(std::string path) {
    ESFile f;
    f.path = std::move(path);
    f.path_truncated = false;
    auto& s = f.stat;
    s.st_blocks = range(0, 4096);
    s.st_blksize = 4096;
    s.st_dev = 16777232;
    s.st_uid = chance(50) ? 0 : 501;
    s.st_gid = chance(50) ? 0 : 20;
    s.st_ino = range(100000, 90000000);
    s.st_birthtimespec = timeText(-range(86400, 86400 * 400));
    s.st_flags = 0;
    s.st_nlink = 1;
    s.st_mtimespec = timeText(-range(0, 86400 * 30));
    s.st_ctimespec = s.st_mtimespec;
    s.st_size = range(0, 50000000);
    s.st_mode = chance(20) ? 0100755 : 0100644;
    s.st_atimespec = timeText(-range(0, 3600));
    return f;
}

ESProcess FixtureGenerator::processRecord(const Process& p) {
    const Program& prog = programs[p.program];
    auto token = [&](std::int64_t pid, std::int64_t version) {
        AuditToken t;
        t.asid = p.session;
        t.pidversion = version;
        t.ruid = t.euid = t.auid = prog.uid;
        t.rgid = t.egid = prog.uid == 0 ? 0 : 20;
        t.pid = pid;
        return t;
    };
    ESProcess r;
    r.audit_token = token(p.pid, p.pidversion);
    r.ppid = p.ppid;
    r.original_ppid = p.ppid;
    r.group_id = p.pid;
    r.session_id = p.session;
    r.codesigning_flags = CodeSigningFlags(prog.platform ? 0x26000001 : 0x22000005);
    r.is_platform_binary = prog.platform;
    r.is_es_client = false;
    r.cdhash = "3f2a9c0e1b7d44f6a8e2c5b9d0f1e3a7c6b5d4e2";
    if (chance(85)) {
        auto slash = prog.path.rfind('/');
        r.signing_id = (prog.platform ? "com.apple." : "com.example.") + prog.path.substr(slash + 1);
    }
    if (!prog.platform && chance(80)) r.team_id = "ABCDE12345";
    r.executable = makeFile(prog.path);
    if (chance(20)) r.tty = makeFile("/dev/ttys00" + std::to_string(range(0, 9)));
    r.start_time = p.startTime;
    r.responsible_audit_token = token(p.ppid, 1000);
    r.parent_audit_token = token(p.ppid, 1001);
    return r;
}

ESProcess FixtureGenerator::makeProcess() {
    return processRecord(processes_[std::size_t(range(0, std::int64_t(processes_.size()) - 1))]);
}

std::size_t FixtureGenerator::pickTag() {
    if (seq_ < std::int64_t(ESEvent::caseCount)) return std::size_t(seq_);
    if (chance(70)) return *eventTagOfKey(commonKinds[std::size_t(range(0, std::int64_t(commonKinds.size()) - 1))]);
    return std::size_t(range(0, std::int64_t(ESEvent::caseCount) - 1));
}

ESMessage FixtureGenerator::next() { return next(pickTag()); }

ESMessage FixtureGenerator::next(std::size_t tag) {
    micros_ += range(50, 20000);
    ESMessage m;
    m.schema_version = 1;
    m.version = 7;
    m.time = timeText();
    m.mach_time = 5000000000LL + micros_ * 24;
    if (chance(70)) m.thread = ESThread{range(1000, 900000)};
    m.seq_num = seqByType_[tag]++;
    m.global_seq_num = ++seq_;
    std::string_view key = eventKeys[tag];
    bool auth = hasAuthCase(key) && chance(20);
    m.action_type = auth ? ActionType::ES_ACTION_TYPE_AUTH : ActionType::ES_ACTION_TYPE_NOTIFY;
    if (auth) {
        m.deadline = m.mach_time + 60000000000LL;
    } else if (chance(80)) {
        ESResult r;
        r.result_type = ESResultType::ES_RESULT_TYPE_AUTH;
        r.result.auth = ESAuthResultType::ES_AUTH_RESULT_ALLOW;
        m.action.result = r;
    }
    m.event_type = eventTypeFor(key, auth);
    caseFillers[tag](*this, m.event);
    m.process = makeProcess();
    return m;
}

namespace {

// Keys that no record of the model has, with values of every JSON kind.
const std::vector<std::string_view> unknownKeyNames = {
    "image_uuid", "launch_kind", "rsr_version", "sandboxed", "origin_id", "extra_flags", "labels", "spare",
};

void writeUnknownValue(JSONWriter& w, std::mt19937_64& rng) {
    switch (rng() % 7) {
        case 0: w.writeInt(std::int64_t(rng() % 100000)); break;
        case 1: w.writeString("6F9619FF-8B86-D011-B42D-00C04FC964FF"); break;
        case 2: w.writeBool(rng() % 2); break;
        case 3: w.writeNull(); break;
        case 4:
            w.beginArray();
            for (int i = 0, n = int(rng() % 4); i < n; ++i) w.writeInt(std::int64_t(rng() % 1000));
            w.endArray();
            break;
        case 5:
            w.beginObject();
            w.key("kind");
            w.writeInt(std::int64_t(rng() % 8));
            w.key("name");
            w.writeString("com.example.extra");
            w.endObject();
            break;
        default: w.writeString(""); break;
    }
}

// The keys of AuditToken in the order of its array form.
const std::array<std::string_view, 8> tokenArrayKeys = [] {
    std::array<std::string_view, 8> keys{};
    constexpr auto order = AuditToken::arrayOrder();
    for (std::size_t i = 0; i < order.size(); ++i)
        std::apply([&](const auto&... f) { ((f.member == order[i] ? (keys[i] = f.key, 0) : 0), ...); },
                   AuditToken::fields());
    return keys;
}();

class Shaper {
public:
    Shaper(const LineShape& shape, std::mt19937_64& rng) : shape_(shape), rng_(rng) {}

    void write(JSONWriter& w, simdjson::dom::element v, std::string_view key, bool top) {
        using T = simdjson::dom::element_type;
        switch (v.type()) {
            case T::OBJECT: writeObject(w, simdjson::dom::object(v), key, top); break;
            case T::ARRAY:
                w.beginArray();
                for (auto item : simdjson::dom::array(v)) write(w, item, {}, false);
                w.endArray();
                break;
            case T::INT64: w.writeInt(v.get_int64().value_unsafe()); break;
            case T::STRING: w.writeString(v.get_string().value_unsafe()); break;
            case T::BOOL: w.writeBool(v.get_bool().value_unsafe()); break;
            case T::NULL_VALUE: w.writeNull(); break;
            default: w.writeNull(); break;  // the encoder writes no other kind
        }
    }

private:
    struct Member {
        std::string_view key;
        simdjson::dom::element value;
        bool made = false;  // a key added here, with a value made up by writeMade
    };

    void writeObject(JSONWriter& w, simdjson::dom::object obj, std::string_view key, bool top) {
        if (shape_.version10 && key.ends_with("audit_token")) {
            w.beginArray();
            for (auto k : tokenArrayKeys) w.writeInt(obj.at_key(k).get_int64().value_unsafe());
            w.endArray();
            return;
        }
        std::vector<Member> members;
        for (auto m : obj) members.push_back({m.key, m.value});
        if (shape_.version10 && obj.at_key("codesigning_flags").error() == simdjson::SUCCESS)
            members.push_back({"cs_validation_category", {}, true});
        if (shape_.shuffledKeys) std::shuffle(members.begin(), members.end(), rng_);
        if (shape_.reversedKeys) std::reverse(members.begin(), members.end());
        if (shape_.unknownKeys) {
            for (int i = 0, n = 1 + int(rng_() % 2); i < n; ++i) {
                auto at = members.begin() + std::ptrdiff_t(rng_() % (members.size() + 1));
                members.insert(at, {unknownKeyNames[rng_() % unknownKeyNames.size()], {}, true});
            }
        }
        w.beginObject();
        for (const auto& m : members) {
            w.key(m.key);
            if (top && shape_.version10 && m.key == "version") w.writeInt(10);
            else if (!m.made) write(w, m.value, m.key, false);
            else if (m.key == "cs_validation_category") w.writeInt(std::int64_t(rng_() % 4) + 1);
            else writeUnknownValue(w, rng_);
        }
        w.endObject();
    }

    const LineShape& shape_;
    std::mt19937_64& rng_;
};

}  // namespace

std::string FixtureGenerator::shapeLine(const std::string& line, const LineShape& shape) {
    thread_local simdjson::dom::parser parser;
    simdjson::dom::element root;
    if (parser.parse(line).get(root) != simdjson::SUCCESS) return line;
    JSONWriter w;
    Shaper(shape, shapeRng_).write(w, root, {}, true);
    return w.take();
}

}  // namespace fixtures
