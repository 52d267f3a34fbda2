#include "FlowMessage.h"

#include "ESMessage.h"

#include <gtest/gtest.h>

#include <simdjson.h>

namespace {

using namespace flowspur;

NFAuditToken token(std::int64_t pid) { return {1, 2, 3, 4, 5, 4294967295, 7, pid}; }

NFESProcess process(std::optional<std::string> signingId) {
    NFESProcess p;
    p.audit_token = token(42);
    p.ppid = 1;
    p.original_ppid = 1;
    p.codesigning_flags = 536870912;
    p.is_platform_binary = false;
    p.signing_id = std::move(signingId);
    p.executable.path = "/usr/bin/curl";
    p.start_time = "1970-01-01T00:00:00.000+0000";
    p.responsible_audit_token = {-1, -1, -1, -1, -1, -1, -1, -1};
    p.parent_audit_token = {0, 0, 0, 0, 0, 0, 0, 1};
    return p;
}

NFESMessage message(NFESEvent_networkflow flow) {
    NFESMessage m;
    m.time = "2024-01-02T03:04:05.678+0000";
    m.seq_num = 3;
    m.global_seq_num = 3;
    m.event.networkflow = std::move(flow);
    m.process = process("com.example.curl");
    return m;
}

NFESEvent_networkflow bareFlow() {
    NFESEvent_networkflow f;
    f.instigator = process(std::nullopt);
    f.flow_protocol = 6;
    f.flow_family = 2;
    f.flow_type = 1;
    f.direction = "outbound";
    f.uuid = "6F9619FF-8B86-D011-B42D-00C04FC964FF";
    return f;
}

// Keys of the object found at path (a chain of keys) in text, in their written order.
std::vector<std::string> keysAt(const std::string& text, std::vector<std::string_view> path) {
    simdjson::dom::parser parser;
    simdjson::dom::element e = parser.parse(text);
    for (auto k : path) e = e[k];
    std::vector<std::string> keys;
    for (auto field : simdjson::dom::object(e)) keys.emplace_back(field.key);
    return keys;
}

const std::string kStat =
    R"({"st_blocks":0,"st_blksize":0,"st_rdev":0,"st_dev":0,"st_uid":0,"st_gid":0,"st_ino":0,)"
    R"("st_birthtimespec":"","st_flags":0,"st_nlink":0,"st_mtimespec":"","st_ctimespec":"",)"
    R"("st_size":0,"st_gen":0,"st_mode":0,"st_atimespec":""})";

TEST(FlowMessageEncoding, WholeMessageIsCompactWithFixedValuesInOrder) {
    NFESEvent_networkflow f = bareFlow();
    f.remote_address = "127.0.0.1";
    f.remote_port = "443";
    NFESMessage m = message(f);
    m.process.executable.path = "/bin/a";
    std::string text = es::encodeJSON(m);

    std::string file = R"({"path":"/bin/a","stat":)" + kStat + R"(,"path_truncated":false})";
    EXPECT_NE(text.find(R"("executable":)" + file), std::string::npos) << text;
    EXPECT_EQ(text.rfind(R"({"schema_version":1,"version":42,"time":"2024-01-02T03:04:05.678+0000","mach_time":0,)"
                         R"("seq_num":3,"global_seq_num":3,"action_type":1,"action":{},"event_type":90210,)"
                         R"("event":{"networkflow":{"instigator":{"audit_token":{"asid":1,"pidversion":2,)"
                         R"("ruid":3,"euid":4,"rgid":5,"auid":4294967295,"egid":7,"pid":42},"ppid":1,)"
                         R"("original_ppid":1,"group_id":0,"session_id":0,"codesigning_flags":536870912,)"
                         R"("is_platform_binary":false,"is_es_client":false,"cdhash":"","executable":)",
                         0),
              0u)
        << text;
    EXPECT_NE(text.find(R"("remote_address":"127.0.0.1","remote_port":"443","flow_protocol":6,)"
                        R"("flow_family":2,"flow_type":1,"direction":"outbound","uuid":)"),
              std::string::npos)
        << text;
    EXPECT_EQ(text.find(' '), std::string::npos);
    EXPECT_EQ(keysAt(text, {}),
              (std::vector<std::string>{"schema_version", "version", "time", "mach_time", "seq_num", "global_seq_num",
                                        "action_type", "action", "event_type", "event", "process"}));
}

TEST(FlowMessageEncoding, AbsentOptionalsLeaveNoKeys) {
    std::string text = es::encodeJSON(message(bareFlow()));
    EXPECT_EQ(keysAt(text, {"event", "networkflow"}),
              (std::vector<std::string>{"instigator", "flow_protocol", "flow_family", "flow_type", "direction", "uuid"}));
    EXPECT_EQ(keysAt(text, {"event", "networkflow", "instigator"}).size(), 13u);
    EXPECT_EQ(keysAt(text, {"process"}).size(), 14u);
    EXPECT_EQ(keysAt(text, {"action"}).size(), 0u);
    EXPECT_EQ(text.find("null"), std::string::npos);
}

TEST(FlowMessageEncoding, EveryFileCarriesTheSameFixedStat) {
    std::string text = es::encodeJSON(message(bareFlow()));
    std::string fileTail = R"("stat":)" + kStat + R"(,"path_truncated":false})";
    std::size_t first = text.find(fileTail);
    ASSERT_NE(first, std::string::npos);
    EXPECT_NE(text.find(fileTail, first + 1), std::string::npos);
}

TEST(FlowMessageDecoding, FixedKeysAreNeverRead) {
    // Fixed keys may be missing, carry other values or even other types.
    const char* text =
        R"({"schema_version":7,"version":"x","time":"t","seq_num":5,"global_seq_num":6,"action":{"result":"r"},)"
        R"("event":{"networkflow":{"instigator":{"audit_token":{"asid":1,"pidversion":2,"ruid":3,"euid":4,)"
        R"("rgid":5,"auid":6,"egid":7,"pid":8},"ppid":1,"original_ppid":1,"codesigning_flags":0,)"
        R"("is_platform_binary":true,"executable":{"path":"/p","stat":"nope"},"start_time":"s",)"
        R"("responsible_audit_token":{"asid":1,"pidversion":2,"ruid":3,"euid":4,"rgid":5,"auid":6,"egid":7,"pid":8},)"
        R"("parent_audit_token":{"asid":1,"pidversion":2,"ruid":3,"euid":4,"rgid":5,"auid":6,"egid":7,"pid":8}},)"
        R"("flow_protocol":17,"flow_family":2,"flow_type":2,"direction":"inbound","uuid":"U","extra":1}},)"
        R"("process":{"audit_token":{"asid":1,"pidversion":2,"ruid":3,"euid":4,"rgid":5,"auid":6,"egid":7,"pid":9},)"
        R"("ppid":1,"original_ppid":1,"codesigning_flags":0,"is_platform_binary":false,"signing_id":"id",)"
        R"("executable":{"path":"/q"},"start_time":"s",)"
        R"("responsible_audit_token":{"asid":1,"pidversion":2,"ruid":3,"euid":4,"rgid":5,"auid":6,"egid":7,"pid":8},)"
        R"("parent_audit_token":{"asid":1,"pidversion":2,"ruid":3,"euid":4,"rgid":5,"auid":6,"egid":7,"pid":8}}})";
    auto decoded = es::decodeJSON<NFESMessage>(text);
    ASSERT_TRUE(decoded.ok()) << decoded.failure().description;
    const NFESMessage& m = decoded.value();
    EXPECT_EQ(m.schema_version, 1);
    EXPECT_EQ(m.action.result, "r");
    EXPECT_EQ(m.event.networkflow.direction, "inbound");
    EXPECT_FALSE(m.event.networkflow.url);
    EXPECT_EQ(m.process.signing_id, "id");
    EXPECT_EQ(m.process.audit_token.pid, 9);
}

TEST(FlowMessageDecoding, RequiredAndOptionalPayloadKeys) {
    NFESEvent_networkflow f = bareFlow();
    f.url = "https://example.com/";
    std::string full = es::encodeJSON(f);
    auto without = [&](std::string_view fragment) {
        std::string t = full;
        t.erase(t.find(fragment), fragment.size());
        return t;
    };
    struct Case {
        std::string_view fragment;
        bool ok;
    };
    const Case cases[] = {
        {R"(,"url":"https://example.com/")", true},
        {R"(,"uuid":"6F9619FF-8B86-D011-B42D-00C04FC964FF")", false},
        {R"(,"direction":"outbound")", false},
    };
    for (const Case& c : cases) {
        auto decoded = es::decodeJSON<NFESEvent_networkflow>(without(c.fragment));
        EXPECT_EQ(decoded.ok(), c.ok) << c.fragment;
    }
    EXPECT_FALSE(es::decodeJSON<NFESEvent_networkflow>(without(R"(,"url":"https://example.com/")")).value().url);
}

TEST(FlowMessageDecoding, StatAndEventShapes) {
    EXPECT_TRUE(es::decodeJSON<NFStat>("{}").ok());
    std::string payload = es::encodeJSON(bareFlow());
    auto both = es::decodeJSON<NFESEvent>(R"({"other":{"a":1},"networkflow":)" + payload + "}");
    ASSERT_TRUE(both.ok());
    EXPECT_EQ(both.value().networkflow.uuid, "6F9619FF-8B86-D011-B42D-00C04FC964FF");
    EXPECT_FALSE(es::decodeJSON<NFESEvent>(R"({"other":{"a":1}})").ok());
}

TEST(FlowMessageReading, AFlowMessageReadsAsANetworkflowEvent) {
    NFESEvent_networkflow f = bareFlow();
    f.remote_port = "443";
    auto m = es::decodeMessage(es::encodeJSON(message(f)));
    ASSERT_TRUE(m.ok()) << m.failure().description;
    const auto* flow = m->event.get<es::ESEvent_networkflow>();
    ASSERT_TRUE(flow);
    EXPECT_EQ(flow->remote_port, "443");
    EXPECT_EQ(es::rawValue(flow->flow_protocol), 6);
    EXPECT_EQ(m->process.signing_id, "com.example.curl");
    EXPECT_FALSE(m->process.team_id);

    // A protocol number outside the reader's enumeration is written all the same, and
    // the reader refuses the whole message.
    f.flow_protocol = 9999;
    std::string text = es::encodeJSON(message(f));
    EXPECT_NE(text.find(R"("flow_protocol":9999)"), std::string::npos);
    EXPECT_FALSE(es::decodeMessage(text).ok());
}

}  // namespace
