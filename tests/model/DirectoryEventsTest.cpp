// Open Directory, XPC connect and network-flow payloads, and the Open Directory
// error names.
#include <gtest/gtest.h>

#include <cstdint>
#include <latch>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "Coding.h"
#include "DirectoryEvents.h"
#include "ODErrorNames.h"

using namespace es;
using Kind = DecodeFailure::Kind;

namespace {

const std::string kToken = R"({"asid":100001,"pidversion":2,"ruid":0,"euid":0,"rgid":0,"auid":501,"egid":0,"pid":812})";

std::string fileJSON(std::string_view path) {
    return R"({"path":")" + std::string(path) +
           R"(","stat":{"st_blocks":272,"st_blksize":4096,"st_rdev":0,"st_dev":16777232,"st_uid":0,"st_gid":0,)"
           R"("st_ino":1152921500312519940,"st_birthtimespec":"2024-02-10T07:47:53.000000000Z","st_flags":524320,)"
           R"("st_nlink":1,"st_mtimespec":"2024-02-10T07:47:53.000000000Z","st_ctimespec":"2024-02-10T07:47:53.000000000Z",)"
           R"("st_size":136624,"st_gen":0,"st_mode":33261,"st_atimespec":"2024-02-10T07:47:53.000000000Z"},)"
           R"("path_truncated":false})";
}

// A valid process, keys in declaration order. Without team_id and tty it is the
// process record that the network-flow extension writes.
std::string processJSON(bool withTeamAndTty = true) {
    std::string p = R"({"audit_token":)" + kToken +
                    R"(,"ppid":1,"original_ppid":1,"group_id":812,"session_id":812,"codesigning_flags":570522385,)"
                    R"("is_platform_binary":true,"is_es_client":false,"cdhash":"9f2c4bd1a0e17c3f5e6d","signing_id":"com.example.dscl",)";
    if (withTeamAndTty) p += R"("team_id":"ABCDE12345",)";
    p += R"("executable":)" + fileJSON("/usr/bin/dscl");
    if (withTeamAndTty) p += R"(,"tty":)" + fileJSON("/dev/ttys001");
    p += R"(,"start_time":"2024-03-01T10:15:02.123456Z","responsible_audit_token":)" + kToken +
         R"(,"parent_audit_token":)" + kToken + "}";
    return p;
}

const std::string kNodeTail = R"("node_name":"/Local/Default","db_path":"/var/db/dslocal/nodes/Default")";

// An Open Directory payload: the shared frame around the record's own keys.
std::string od(std::string_view own, std::string_view errorCode = "0", std::string_view tail = kNodeTail) {
    return R"({"instigator":)" + processJSON() + R"(,"error_code":)" + std::string(errorCode) + "," +
           std::string(own) + "," + std::string(tail) + "}";
}

std::string flow(std::string_view keysAfterInstigator, bool withTeamAndTty = false) {
    return R"({"instigator":)" + processJSON(withTeamAndTty) + "," + std::string(keysAfterInstigator) + "}";
}

std::string describe(const DecodeFailure& f) {
    return std::string(kindName(f.kind)) + " at " + f.pathText() + ": " + f.description;
}

// Decodes json as T and encodes it again; a failure comes back as its description.
template <class T>
std::string reencode(std::string_view json) {
    auto d = decodeJSON<T>(json);
    return d.ok() ? encodeJSON(d.value()) : "FAILED " + describe(d.failure());
}

template <class T>
std::optional<DecodeFailure> failureOf(std::string_view json) {
    auto d = decodeJSON<T>(json);
    if (d.ok()) return std::nullopt;
    return d.failure();
}

using Reencode = std::string (*)(std::string_view);
using FailureOf = std::optional<DecodeFailure> (*)(std::string_view);

const std::string kGroupAdd = R"("group_name":"staff","member":{"member_type":0,"member_value":"alice"})";
const std::string kAttrAdd =
    R"("record_type":0,"record_name":"alice","attribute_name":"dsAttrTypeStandard:RealName","attribute_value":"Alice A.")";
const std::string kFlowRequired =
    R"("flow_protocol":6,"flow_family":2,"flow_type":1,"direction":"outbound","uuid":"2F1A7C1E-5B0D-4C55-9E57-0E3C4B9F11D2")";
const std::string kFlowFull =
    R"("remote_hostname":"example.org","remote_address":"93.184.216.34","remote_port":"443",)"
    R"("local_address":"192.168.1.20","local_port":"51234","flow_protocol":6,"flow_family":2,"flow_type":1,)"
    R"("direction":"outbound","url":"https://example.org/","uuid":"2F1A7C1E-5B0D-4C55-9E57-0E3C4B9F11D2")";

}  // namespace

// ---- Open Directory error names ----

TEST(ODErrorNames, NamesKnownCodesAndNothingElse) {
    struct Case {
        std::int64_t code;
        std::optional<std::string_view> name;
    } cases[] = {
        {0, "kODErrorSuccess"},
        {1000, "kODErrorSessionLocalOnlyDaemonInUse"},
        {1103, "kODErrorSessionProxyUnknownHost"},
        {2200, "kODErrorNodeUnknownHost"},
        {3102, "kODErrorQueryTimeout"},
        {4203, "kODErrorRecordAttributeValueNotFound"},
        {5304, "kODErrorCredentialsAccountTemporarilyLocked"},
        {5501, "kODErrorCredentialsInvalidComputer"},
        {6001, "kODErrorPolicyOutOfRange"},
        {10003, "kODErrorPluginOperationTimeout"},
        // codes between and beyond the listed ones have no name; no neighbour is used
        {1004, std::nullopt},
        {2003, std::nullopt},
        {4105, std::nullopt},
        {7000, std::nullopt},
        {10004, std::nullopt},
        {-1, std::nullopt},
        {INT64_MIN, std::nullopt},
        {INT64_MAX, std::nullopt},
    };
    for (const auto& c : cases) EXPECT_EQ(odErrorName(c.code), c.name) << c.code;
}

TEST(ODErrorNames, TableHoldsSixtyThreeDistinctEntries) {
    const auto& table = odErrorNames();
    EXPECT_EQ(table.size(), 63u);
    std::set<std::string_view> names;
    for (const auto& [code, name] : table) {
        EXPECT_TRUE(name.starts_with("kODError")) << code;
        EXPECT_EQ(odErrorName(code), name);
        names.insert(name);
    }
    EXPECT_EQ(names.size(), 63u);
    EXPECT_EQ(&odErrorNames(), &table);
}

// Each test runs in its own process under CTest, so this is the table's first use.
TEST(ODErrorNames, ConcurrentFirstUseBuildsOneTable) {
    constexpr int kThreads = 8;
    std::latch start(kThreads);
    std::vector<const ODErrorNameTable*> tables(kThreads);
    std::vector<std::optional<std::string_view>> names(kThreads);
    std::vector<std::thread> threads;
    for (int i = 0; i < kThreads; ++i) {
        threads.emplace_back([&, i] {
            start.arrive_and_wait();
            names[i] = odErrorName(5304);
            tables[i] = &odErrorNames();
        });
    }
    for (auto& t : threads) t.join();
    for (int i = 0; i < kThreads; ++i) {
        EXPECT_EQ(names[i], "kODErrorCredentialsAccountTemporarilyLocked");
        EXPECT_EQ(tables[i], tables[0]);
    }
    EXPECT_EQ(tables[0]->size(), 63u);
}

// ---- round trips ----

TEST(DirectoryEvents, FullPayloadsRoundTrip) {
    struct Case {
        const char* what;
        Reencode reencode;
        std::string json;
    } cases[] = {
        {"group add", reencode<ESEvent_od_group_add>, od(kGroupAdd)},
        {"group remove, user uuid", reencode<ESEvent_od_group_remove>,
         od(R"("group_name":"admin","member":{"member_type":1,"member_value":"3F2504E0-4F89-11D3-9A0C-0305E82C3301"})")},
        {"group add, group uuid", reencode<ESEvent_od_group_add>,
         od(R"("group_name":"admin","member":{"member_type":2,"member_value":"ABCDEFAB-CDEF-ABCD-EFAB-CDEFABCDEF00"})")},
        {"group set", reencode<ESEvent_od_group_set>,
         od(R"("group_name":"staff","members":{"member_type":0,"member_array":["alice","bob"]})")},
        {"group set, empty member list", reencode<ESEvent_od_group_set>,
         od(R"("group_name":"staff","members":{"member_type":0,"member_array":[]})")},
        {"modify password, computer", reencode<ESEvent_od_modify_password>,
         od(R"("account_type":1,"account_name":"host$")")},
        {"attribute value add", reencode<ESEvent_od_attribute_value_add>, od(kAttrAdd)},
        {"attribute value remove, group record", reencode<ESEvent_od_attribute_value_remove>,
         od(R"("record_type":1,"record_name":"staff","attribute_name":"dsAttrTypeStandard:Comment","attribute_value":"")")},
        {"attribute set", reencode<ESEvent_od_attribute_set>,
         od(R"("record_type":0,"record_name":"alice","attribute_name":"dsAttrTypeStandard:EMailAddress","attribute_values":["a@example.org","b@example.org"])")},
        {"attribute set, empty values", reencode<ESEvent_od_attribute_set>,
         od(R"("record_type":0,"record_name":"alice","attribute_name":"x","attribute_values":[])")},
        {"attribute set, values absent", reencode<ESEvent_od_attribute_set>,
         od(R"("record_type":0,"record_name":"alice","attribute_name":"x")")},
        {"create user", reencode<ESEvent_od_create_user>, od(R"("user_name":"alice")")},
        {"create user, no db_path", reencode<ESEvent_od_create_user>,
         od(R"("user_name":"alice")", "0", R"("node_name":"/Local/Default")")},
        {"create user, empty name", reencode<ESEvent_od_create_user>, od(R"("user_name":"")")},
        {"delete user, error -1", reencode<ESEvent_od_delete_user>, od(R"("user_name":"alice")", "-1")},
        {"disable user, unnamed error 7000", reencode<ESEvent_od_disable_user>, od(R"("user_name":"alice")", "7000")},
        {"enable user, named error", reencode<ESEvent_od_enable_user>, od(R"("user_name":"alice")", "5301")},
        {"create group", reencode<ESEvent_od_create_group>, od(R"("group_name":"devs")")},
        {"delete group, empty name", reencode<ESEvent_od_delete_group>, od(R"("group_name":"")")},
        {"xpc connect", reencode<ESEvent_xpc_connect>,
         R"({"service_name":"com.example.service","service_domain_type":8})"},
        {"xpc connect, empty service name", reencode<ESEvent_xpc_connect>,
         R"({"service_name":"","service_domain_type":1})"},
        {"networkflow, every key", reencode<ESEvent_networkflow>, flow(kFlowFull, true)},
        // the extension's process record has no team_id and no tty
        {"networkflow, required keys only", reencode<ESEvent_networkflow>, flow(kFlowRequired)},
        {"networkflow, other direction text, empty uuid", reencode<ESEvent_networkflow>,
         flow(R"("flow_protocol":17,"flow_family":30,"flow_type":2,"direction":"","uuid":"")")},
    };
    for (const auto& c : cases) EXPECT_EQ(c.reencode(c.json), c.json) << c.what;
}

TEST(DirectoryEvents, ReencodingDropsNullsAndUnknownKeys) {
    struct Case {
        const char* what;
        Reencode reencode;
        std::string json, encoded;
    } cases[] = {
        {"null db_path", reencode<ESEvent_od_group_add>,
         od(kGroupAdd, "0", R"("node_name":"/Local/Default","db_path":null)"),
         od(kGroupAdd, "0", R"("node_name":"/Local/Default")")},
        {"extra key", reencode<ESEvent_od_modify_password>,
         od(R"("account_type":0,"account_name":"alice","password":"secret")"),
         od(R"("account_type":0,"account_name":"alice")")},
        {"null attribute_values", reencode<ESEvent_od_attribute_set>,
         od(R"("record_type":0,"record_name":"a","attribute_name":"x","attribute_values":null)"),
         od(R"("record_type":0,"record_name":"a","attribute_name":"x")")},
        {"set record ignores the singular key", reencode<ESEvent_od_attribute_set>,
         od(R"("record_type":0,"record_name":"a","attribute_name":"x","attribute_value":"v")"),
         od(R"("record_type":0,"record_name":"a","attribute_name":"x")")},
        {"user record ignores group_name", reencode<ESEvent_od_create_user>,
         od(R"("user_name":"alice","group_name":"staff")"), od(R"("user_name":"alice")")},
        {"group record ignores user_name", reencode<ESEvent_od_create_group>,
         od(R"("user_name":"alice","group_name":"staff")"), od(R"("group_name":"staff")")},
        {"xpc extra key", reencode<ESEvent_xpc_connect>,
         R"({"service_domain_type":3,"pid":5,"service_name":"s"})", R"({"service_name":"s","service_domain_type":3})"},
        {"networkflow null port and extra key", reencode<ESEvent_networkflow>,
         flow(R"("remote_port":null,"bytes":12,)" + kFlowRequired), flow(kFlowRequired)},
    };
    for (const auto& c : cases) EXPECT_EQ(c.reencode(c.json), c.encoded) << c.what;
}

// The event key alone tells these records apart: one text decodes alike as each.
TEST(DirectoryEvents, RecordsOfOneShapeDecodeTheSameText) {
    struct Case {
        std::string json;
        std::vector<Reencode> records;
    } cases[] = {
        {od(kGroupAdd), {reencode<ESEvent_od_group_add>, reencode<ESEvent_od_group_remove>}},
        {od(kAttrAdd), {reencode<ESEvent_od_attribute_value_add>, reencode<ESEvent_od_attribute_value_remove>}},
        {od(R"("user_name":"alice")"),
         {reencode<ESEvent_od_create_user>, reencode<ESEvent_od_delete_user>, reencode<ESEvent_od_disable_user>,
          reencode<ESEvent_od_enable_user>}},
        {od(R"("group_name":"devs")"), {reencode<ESEvent_od_create_group>, reencode<ESEvent_od_delete_group>}},
    };
    for (const auto& c : cases)
        for (auto record : c.records) EXPECT_EQ(record(c.json), c.json);
}

// ---- decoded values ----

TEST(DirectoryEvents, EnumFieldsDecodeToTheirCases) {
    auto member = [](int type) {
        return od(R"("group_name":"g","member":{"member_type":)" + std::to_string(type) + R"(,"member_value":"v"})");
    };
    for (int type = 0; type <= 2; ++type) {
        auto d = decodeJSON<ESEvent_od_group_add>(member(type));
        ASSERT_TRUE(d.ok()) << describe(d.failure());
        EXPECT_EQ(rawValue(d->member.member_type), type);
    }

    auto pw = decodeJSON<ESEvent_od_modify_password>(od(R"("account_type":1,"account_name":"host$")"));
    ASSERT_TRUE(pw.ok());
    EXPECT_EQ(pw->account_type, ESODAccountType::ES_OD_ACCOUNT_TYPE_COMPUTER);
    EXPECT_EQ(pw->account_name, "host$");

    auto attr = decodeJSON<ESEvent_od_attribute_value_remove>(
        od(R"("record_type":1,"record_name":"staff","attribute_name":"n","attribute_value":"v")", "-1",
           R"("node_name":"/Local/Default")"));
    ASSERT_TRUE(attr.ok());
    EXPECT_EQ(attr->record_type, ESODRecordType::ES_OD_RECORD_TYPE_GROUP);
    EXPECT_EQ(attr->error_code, -1);
    EXPECT_FALSE(attr->db_path.has_value());

    struct XPCCase {
        int raw;
        std::string_view name;
    } xpc[] = {{1, "ES_XPC_DOMAIN_TYPE_SYSTEM"}, {3, "ES_XPC_DOMAIN_TYPE_USER_LOGIN"}, {8, "ES_XPC_DOMAIN_TYPE_GUI"}};
    for (const auto& c : xpc) {
        auto d = decodeJSON<ESEvent_xpc_connect>(R"({"service_name":"s","service_domain_type":)" +
                                                 std::to_string(c.raw) + "}");
        ASSERT_TRUE(d.ok()) << c.raw;
        EXPECT_EQ(caseName(d->service_domain_type), c.name);
    }
}

TEST(DirectoryEvents, NetworkflowFields) {
    struct Case {
        int protocol, family, type;
        std::string_view protocolName, familyName, typeName;
    } cases[] = {
        {6, 2, 1, "IPPROTO_TCP", "AF_INET", "SOCK_STREAM"},
        {17, 30, 2, "IPPROTO_UDP", "AF_INET6", "SOCK_DGRAM"},
        {0, 0, 5, "IPPROTO_IP", "AF_UNSPEC", "SOCK_SEQPACKET"},
        {256, 41, 3, "IPPROTO_MAX", "AF_MAX", "SOCK_RAW"},
    };
    for (const auto& c : cases) {
        std::string json = flow(R"("flow_protocol":)" + std::to_string(c.protocol) + R"(,"flow_family":)" +
                                std::to_string(c.family) + R"(,"flow_type":)" + std::to_string(c.type) +
                                R"(,"direction":"inbound","uuid":"u")");
        auto d = decodeJSON<ESEvent_networkflow>(json);
        ASSERT_TRUE(d.ok()) << describe(d.failure());
        EXPECT_EQ(caseName(d->flow_protocol), c.protocolName);
        EXPECT_EQ(caseName(d->flow_family), c.familyName);
        EXPECT_EQ(caseName(d->flow_type), c.typeName);
        // enums are written back as their numbers
        EXPECT_EQ(encodeJSON(d.value()), json);
    }

    auto full = decodeJSON<ESEvent_networkflow>(flow(kFlowFull));
    ASSERT_TRUE(full.ok());
    EXPECT_EQ(full->remote_port, "443");
    EXPECT_EQ(full->url, "https://example.org/");
    EXPECT_FALSE(full->instigator.team_id.has_value());
    EXPECT_FALSE(full->instigator.tty.has_value());

    auto required = decodeJSON<ESEvent_networkflow>(flow(kFlowRequired));
    ASSERT_TRUE(required.ok());
    const auto& r = required.value();
    EXPECT_FALSE(r.remote_hostname || r.remote_address || r.remote_port || r.local_address || r.local_port || r.url);
}

// ---- failures ----

TEST(DirectoryEvents, DecodingFailures) {
    struct Case {
        const char* what;
        FailureOf failureOf;
        std::string json;
        Kind kind;
        const char* path;
        const char* detail;  // nullptr: not checked
    } cases[] = {
        // not an object
        {"array payload", failureOf<ESEvent_od_group_add>, "[]", Kind::wrongType, "-", nullptr},
        {"null payload", failureOf<ESEvent_xpc_connect>, "null", Kind::missingValue, "-", nullptr},
        {"string payload", failureOf<ESEvent_networkflow>, R"("x")", Kind::wrongType, "-", nullptr},

        // group membership and password
        {"member missing", failureOf<ESEvent_od_group_add>, od(R"("group_name":"staff")"), Kind::missingKey, "member",
         "member"},
        {"member_value missing", failureOf<ESEvent_od_group_remove>,
         od(R"("group_name":"staff","member":{"member_type":0})"), Kind::missingKey, "member.member_value",
         "member_value"},
        {"member as array", failureOf<ESEvent_od_group_add>, od(R"("group_name":"staff","member":[])"),
         Kind::wrongType, "member", nullptr},
        {"member_type 3", failureOf<ESEvent_od_group_add>,
         od(R"("group_name":"g","member":{"member_type":3,"member_value":"v"})"), Kind::corruptedData,
         "member.member_type", "ESODMemberType"},
        {"member_type -1", failureOf<ESEvent_od_group_remove>,
         od(R"("group_name":"g","member":{"member_type":-1,"member_value":"v"})"), Kind::corruptedData,
         "member.member_type", "ESODMemberType"},
        {"number in member_array", failureOf<ESEvent_od_group_set>,
         od(R"("group_name":"g","members":{"member_type":0,"member_array":["a",5]})"), Kind::wrongType,
         "members.member_array.1", nullptr},
        {"null in member_array", failureOf<ESEvent_od_group_set>,
         od(R"("group_name":"g","members":{"member_type":0,"member_array":[null]})"), Kind::missingValue,
         "members.member_array.0", nullptr},
        {"account_type 2", failureOf<ESEvent_od_modify_password>, od(R"("account_type":2,"account_name":"a")"),
         Kind::corruptedData, "account_type", "ESODAccountType"},
        {"first faulty key wins", failureOf<ESEvent_od_modify_password>,
         R"({"error_code":0,"account_type":5,"account_name":"a","node_name":"n"})", Kind::missingKey, "instigator",
         "instigator"},
        {"fault inside instigator", failureOf<ESEvent_od_group_set>,
         R"({"instigator":{"audit_token":{"asid":1}},"error_code":0})", Kind::missingKey,
         "instigator.audit_token.pidversion", nullptr},
        {"instigator not an object", failureOf<ESEvent_od_create_user>,
         R"({"instigator":"p","error_code":0,"user_name":"u","node_name":"n"})", Kind::wrongType, "instigator",
         nullptr},
        {"error_code as string", failureOf<ESEvent_od_group_add>, od(kGroupAdd, R"("0")"), Kind::wrongType,
         "error_code", "Int"},
        {"error_code null", failureOf<ESEvent_od_delete_group>, od(R"("group_name":"g")", "null"),
         Kind::missingValue, "error_code", nullptr},
        {"db_path not a string", failureOf<ESEvent_od_group_add>,
         od(kGroupAdd, "0", R"("node_name":"n","db_path":1)"), Kind::wrongType, "db_path", "String"},
        {"node_name missing", failureOf<ESEvent_od_enable_user>, od(R"("user_name":"u")", "0", R"("db_path":"d")"),
         Kind::missingKey, "node_name", "node_name"},

        // attributes
        {"record_type 2", failureOf<ESEvent_od_attribute_value_add>,
         od(R"("record_type":2,"record_name":"a","attribute_name":"n","attribute_value":"v")"), Kind::corruptedData,
         "record_type", "ESODRecordType"},
        {"record_type -1", failureOf<ESEvent_od_attribute_set>,
         od(R"("record_type":-1,"record_name":"a","attribute_name":"n")"), Kind::corruptedData, "record_type",
         "ESODRecordType"},
        {"record_type as string", failureOf<ESEvent_od_attribute_value_remove>,
         od(R"("record_type":"1","record_name":"a","attribute_name":"n","attribute_value":"v")"), Kind::wrongType,
         "record_type", nullptr},
        {"record name key in other case", failureOf<ESEvent_od_attribute_value_add>,
         od(R"("record_type":0,"Record_Name":"a","attribute_name":"n","attribute_value":"v")"), Kind::missingKey,
         "record_name", "record_name"},
        {"remove with the plural key only", failureOf<ESEvent_od_attribute_value_remove>,
         od(R"("record_type":0,"record_name":"a","attribute_name":"n","attribute_values":["v"])"), Kind::missingKey,
         "attribute_value", "attribute_value"},
        {"null element in attribute_values", failureOf<ESEvent_od_attribute_set>,
         od(R"("record_type":0,"record_name":"a","attribute_name":"n","attribute_values":["v",null])"),
         Kind::missingValue, "attribute_values.1", nullptr},
        {"attribute_values not an array", failureOf<ESEvent_od_attribute_set>,
         od(R"("record_type":0,"record_name":"a","attribute_name":"n","attribute_values":"v")"), Kind::wrongType,
         "attribute_values", nullptr},

        // accounts
        {"user payload with group_name", failureOf<ESEvent_od_delete_user>, od(R"("group_name":"g")"),
         Kind::missingKey, "user_name", "user_name"},
        {"group payload with user_name", failureOf<ESEvent_od_create_group>, od(R"("user_name":"u")"),
         Kind::missingKey, "group_name", "group_name"},
        {"user name key in other case", failureOf<ESEvent_od_disable_user>, od(R"("User_name":"u")"),
         Kind::missingKey, "user_name", "user_name"},
        {"user_name as number", failureOf<ESEvent_od_create_user>, od(R"("user_name":501)"), Kind::wrongType,
         "user_name", "String"},

        // xpc connect
        {"domain type 0", failureOf<ESEvent_xpc_connect>, R"({"service_name":"s","service_domain_type":0})",
         Kind::corruptedData, "service_domain_type", "ESXPCDomainType"},
        {"domain type 9", failureOf<ESEvent_xpc_connect>, R"({"service_name":"s","service_domain_type":9})",
         Kind::corruptedData, "service_domain_type", "ESXPCDomainType"},
        {"domain type missing", failureOf<ESEvent_xpc_connect>, R"({"service_name":"s"})", Kind::missingKey,
         "service_domain_type", "service_domain_type"},
        {"both keys missing", failureOf<ESEvent_xpc_connect>, R"({})", Kind::missingKey, "service_name",
         "service_name"},
        {"service_name null", failureOf<ESEvent_xpc_connect>, R"({"service_name":null,"service_domain_type":1})",
         Kind::missingValue, "service_name", nullptr},
        {"domain type as string", failureOf<ESEvent_xpc_connect>, R"({"service_name":"s","service_domain_type":"1"})",
         Kind::wrongType, "service_domain_type", nullptr},

        // network flow
        {"port as number", failureOf<ESEvent_networkflow>, flow(R"("remote_port":443,)" + kFlowRequired),
         Kind::wrongType, "remote_port", "String"},
        {"protocol as string", failureOf<ESEvent_networkflow>,
         flow(R"("flow_protocol":"6","flow_family":2,"flow_type":1,"direction":"outbound","uuid":"u")"),
         Kind::wrongType, "flow_protocol", nullptr},
        {"direction as number", failureOf<ESEvent_networkflow>,
         flow(R"("flow_protocol":6,"flow_family":2,"flow_type":1,"direction":1,"uuid":"u")"), Kind::wrongType,
         "direction", nullptr},
        {"direction null", failureOf<ESEvent_networkflow>,
         flow(R"("flow_protocol":6,"flow_family":2,"flow_type":1,"direction":null,"uuid":"u")"), Kind::missingValue,
         "direction", nullptr},
        {"uuid missing", failureOf<ESEvent_networkflow>,
         flow(R"("flow_protocol":6,"flow_family":2,"flow_type":1,"direction":"inbound")"), Kind::missingKey, "uuid",
         "uuid"},
        {"instigator missing", failureOf<ESEvent_networkflow>, "{" + kFlowRequired + "}", Kind::missingKey,
         "instigator", "instigator"},
        {"flow_family 42", failureOf<ESEvent_networkflow>,
         flow(R"("flow_protocol":6,"flow_family":42,"flow_type":1,"direction":"d","uuid":"u")"), Kind::corruptedData,
         "flow_family", "ESSocketDomain"},
        {"flow_type 0", failureOf<ESEvent_networkflow>,
         flow(R"("flow_protocol":6,"flow_family":2,"flow_type":0,"direction":"d","uuid":"u")"), Kind::corruptedData,
         "flow_type", "ESSocketType"},
        {"flow_type 6", failureOf<ESEvent_networkflow>,
         flow(R"("flow_protocol":6,"flow_family":2,"flow_type":6,"direction":"d","uuid":"u")"), Kind::corruptedData,
         "flow_type", "ESSocketType"},
    };
    for (const auto& c : cases) {
        auto f = c.failureOf(c.json);
        ASSERT_TRUE(f.has_value()) << c.what;
        EXPECT_EQ(f->kind, c.kind) << c.what << ": " << describe(*f);
        EXPECT_EQ(f->pathText(), c.path) << c.what;
        if (c.detail) {
            EXPECT_EQ(f->detail, c.detail) << c.what;
        }
    }
}

TEST(DirectoryEvents, ProtocolNumbersWithoutACaseFail) {
    for (int protocol : {5, 55, 56, 57, 101, 102, 104, 257, -1}) {
        auto f = failureOf<ESEvent_networkflow>(flow(R"("flow_protocol":)" + std::to_string(protocol) +
                                                     R"(,"flow_family":2,"flow_type":1,"direction":"d","uuid":"u")"));
        ASSERT_TRUE(f.has_value()) << protocol;
        EXPECT_EQ(f->kind, Kind::corruptedData) << protocol;
        EXPECT_EQ(f->pathText(), "flow_protocol");
        EXPECT_EQ(f->detail, "ESIPProtocol");
        EXPECT_NE(f->description.find(std::to_string(protocol)), std::string::npos) << f->description;
    }
}
