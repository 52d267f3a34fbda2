// Process, file, status, statistics, result, descriptor, attribute-list and
// security records: round trips and the failures that matter.
#include <gtest/gtest.h>

#include "Coding.h"
#include "CoreRecords.h"
#include "ModelFixtures.h"
#include "SecurityRecords.h"

using namespace es;
using Kind = DecodeFailure::Kind;

namespace {

template <class T>
void expectRoundTrip(const std::string& json) {
    auto d = decodeJSON<T>(json);
    ASSERT_TRUE(d.ok()) << json << "\n" << d.failure().pathText() << ": " << d.failure().description;
    EXPECT_EQ(encodeJSON(d.value()), json);
}

struct Failure {
    std::string json;
    Kind kind;
    std::string path;
};

template <class T>
void expectFailures(const std::vector<Failure>& cases) {
    for (const auto& c : cases) {
        auto d = decodeJSON<T>(c.json);
        ASSERT_FALSE(d.ok()) << c.json;
        EXPECT_EQ(d.failure().kind, c.kind) << c.json << ": " << d.failure().description;
        EXPECT_EQ(d.failure().pathText(), c.path) << c.json;
    }
}

std::string replace(std::string s, const std::string& from, const std::string& to) {
    auto at = s.find(from);
    EXPECT_NE(at, std::string::npos) << from;
    if (at != std::string::npos) s.replace(at, from.size(), to);
    return s;
}

}  // namespace

TEST(CoreRecords, RoundTrips) {
    using fixtures::process;
    expectRoundTrip<ESProcess>(process());
    // as the flow extension writes it: no signing_id, team_id or tty
    expectRoundTrip<ESProcess>(process(7, "/usr/bin/curl", ""));
    expectRoundTrip<ESProcess>(process(7, "/bin/zsh", R"(,"signing_id":"","team_id":"")", R"(,"tty":)" + fixtures::file("/dev/ttys001")));
    expectRoundTrip<ESFile>(R"({"path":"/very/long/pa","stat":)" + fixtures::stat() + R"(,"path_truncated":true})");
    expectRoundTrip<Stat>(replace(fixtures::stat(), R"("st_atimespec":"2023-01-01T00:00:00.000000000Z")", R"("st_atimespec":"")"));
    expectRoundTrip<AuditToken>(fixtures::token(-1));
    const std::string statfs =
        R"({"f_bsize":4096,"f_iosize":1048576,"f_blocks":1,"f_bfree":2,"f_bavail":3,"f_files":4,"f_ffree":5,"f_fsid":FSID,)"
        R"("f_owner":0,"f_type":26,"f_flags":1,"f_fssubtype":1,"f_fstypename":"apfs","f_mntonname":"/Volumes/X",)"
        R"("f_mntfromname":"/dev/disk4s1"})";
    expectRoundTrip<Statfs>(replace(statfs, "FSID", "[]"));
    expectRoundTrip<Statfs>(replace(statfs, "FSID", "[16777232,-26]"));
    expectRoundTrip<ESResult>(R"({"result_type":0,"result":{}})");
    expectRoundTrip<ESResult>(R"({"result_type":1,"result":{"auth":1}})");
    expectRoundTrip<ESResult>(R"({"result_type":0,"result":{"auth":0,"flags":-7}})");
    expectRoundTrip<ESFD>(R"({"fd":3,"fdtype":-2})");
    expectRoundTrip<ESFD>(R"({"fd":3,"fdtype":1,"pipe":{"pipe_id":77}})");
    expectRoundTrip<AttrList>(R"({"bitmapcount":5,"commonattr":1,"volattr":2,"dirattr":3,"fileattr":4,"forkattr":5})");
}

TEST(CoreRecords, NullOptionalsAreLeftOut) {
    auto d = decodeJSON<ESProcess>(fixtures::process(7, "/bin/ls", R"(,"signing_id":null,"team_id":null,"tty":null)"));
    ASSERT_TRUE(d.ok());
    EXPECT_EQ(encodeJSON(d.value()), fixtures::process(7, "/bin/ls", ""));

    auto fd = decodeJSON<ESFD>(R"({"fd":1,"fdtype":1,"pipe":null})");
    ASSERT_TRUE(fd.ok());
    EXPECT_EQ(encodeJSON(fd.value()), R"({"fd":1,"fdtype":1})");

    auto ts = decodeJSON<ESThreadState>(R"({"flavor":7,"other":[1,2]})");
    ASSERT_TRUE(ts.ok());
    EXPECT_EQ(encodeJSON(ts.value()), R"({"flavor":7})");
}

TEST(CoreRecords, ProcessFailures) {
    using fixtures::process;
    const std::string p = process();
    expectFailures<ESProcess>({
        {replace(p, R"("is_es_client":false,)", ""), Kind::missingKey, "is_es_client"},
        {replace(p, R"("ppid":1,)", R"("ppid":"1",)"), Kind::wrongType, "ppid"},
        {replace(p, R"("team_id":"ABCDE12345")", R"("team_id":5)"), Kind::wrongType, "team_id"},
        {replace(p, R"("is_platform_binary":true)", R"("is_platform_binary":1)"), Kind::wrongType, "is_platform_binary"},
        {replace(p, R"("pid":42})", R"("pid":null})"), Kind::missingValue, "audit_token.pid"},
        {replace(p, R"("executable":)", R"("executablx":)"), Kind::missingKey, "executable"},
        // an optional tty that is present must be complete
        {process(7, "/bin/zsh", "", R"(,"tty":{"path":"/dev/ttys001","path_truncated":false})"), Kind::missingKey, "tty.stat"},
        {process(7, "/bin/zsh", "", R"(,"tty":)" + replace(fixtures::file("/dev/tty"), R"("st_gen":0,)", "")), Kind::missingKey,
         "tty.stat.st_gen"},
        // the nested fault comes before the later missing key
        {replace(replace(p, R"("st_mode":33261,)", ""), R"("start_time")", R"("start_timx")"), Kind::missingKey,
         "executable.stat.st_mode"},
        {p.substr(0, p.find(R"(,"parent_audit_token")")) + "}", Kind::missingKey, "parent_audit_token"},
    });
}

TEST(CoreRecords, SmallRecordFailures) {
    expectFailures<ESResult>({
        {R"({"result_type":0})", Kind::missingKey, "result"},
        {R"({"result_type":2,"result":{}})", Kind::corruptedData, "result_type"},
        {R"({"result_type":0,"result":{"auth":2}})", Kind::corruptedData, "result.auth"},
        {R"({"result_type":0,"result":{"flags":"x"}})", Kind::wrongType, "result.flags"},
    });
    expectFailures<ESFD>({
        {R"({"fd":1})", Kind::missingKey, "fdtype"},
        {R"({"fd":1,"fdtype":1,"pipe":{}})", Kind::missingKey, "pipe.pipe_id"},
    });
    expectFailures<AttrList>({
        {R"({"bitmapcount":5,"commonattr":1,"volattr":2,"dirattr":3,"fileattr":4})", Kind::missingKey, "forkattr"},
    });
    expectFailures<Statfs>({
        {R"({"f_bsize":1,"f_iosize":1,"f_blocks":1,"f_bfree":1,"f_bavail":1,"f_files":1,"f_ffree":1,"f_fsid":[1,"2"]})",
         Kind::wrongType, "f_fsid.1"},
    });
}

TEST(SecurityRecords, RoundTripsAndFailures) {
    const std::string p = fixtures::process();
    expectRoundTrip<ESAuthenticationOd>(R"({"instigator":)" + p +
                                        R"(,"record_type":"anything","record_name":"alice","node_name":"/Local/Default"})");
    expectRoundTrip<ESAuthenticationTouchId>(R"({"instigator":)" + p + R"(,"touchid_mode":1,"uid":501})");
    expectRoundTrip<ESAuthenticationToken>(R"({"instigator":)" + p + R"(,"pubkey_hash":"ab","token_id":"t1"})");
    expectRoundTrip<ESAuthenticationAutoUnlock>(R"({"username":"alice","type":1})");
    expectRoundTrip<ESBTMLaunchItem>(R"({"item_type":4,"legacy":false,"managed":true,"uid":0,"item_url":"file:///L/x.plist"})");
    expectRoundTrip<ESAuthResult>(R"({"right_name":"system.privilege.admin","rule_class":6,"granted":true})");
    expectRoundTrip<ESProfile>(
        R"({"identifier":"com.example.p","uuid":"not-a-uuid","install_source":1,"organization":"Ex","display_name":"P","scope":"System"})");
    expectRoundTrip<ESSudoRejectInfo>(R"({"plugin_name":"sudoers","plugin_type":2,"failure_message":"no"})");
    expectRoundTrip<ESODMemberID>(R"({"member_type":0,"member_value":"bob"})");
    expectRoundTrip<ESODMemberIDArray>(R"({"member_type":2,"member_array":[]})");
    expectRoundTrip<ESODMemberIDArray>(R"({"member_type":1,"member_array":["a","b"]})");

    auto touch = decodeJSON<ESAuthenticationTouchId>(R"({"instigator":)" + p + R"(,"touchid_mode":0,"uid":null})");
    ASSERT_TRUE(touch.ok());
    EXPECT_FALSE(touch.value().uid.has_value());

    expectFailures<ESBTMLaunchItem>({{R"({"item_type":4,"legacy":false,"managed":true,"item_url":"u"})", Kind::missingKey, "uid"}});
    expectFailures<ESAuthenticationAutoUnlock>({{R"({"username":"a","type":0})", Kind::corruptedData, "type"}});
    expectFailures<ESAuthResult>({
        {R"({"right_name":"r","rule_class":7,"granted":true})", Kind::corruptedData, "rule_class"},
        {R"({"right_name":"r","rule_class":-1,"granted":true})", Kind::corruptedData, "rule_class"},
    });
    expectFailures<ESODMemberIDArray>({
        {R"({"member_type":1})", Kind::missingKey, "member_array"},
        {R"({"member_type":1,"member_array":["a",null]})", Kind::missingValue, "member_array.1"},
        {R"({"member_type":1,"member_array":[3]})", Kind::wrongType, "member_array.0"},
    });
    expectFailures<ESAuthenticationToken>({
        {R"({"instigator":)" + replace(p, R"("cdhash")", R"("cdhasx")") + R"(,"pubkey_hash":"ab","token_id":"t1"})",
         Kind::missingKey, "instigator.cdhash"},
    });
    expectFailures<ESAuthenticationTouchId>({
        {R"({"instigator":)" + p + R"(,"touchid_mode":0,"uid":"501"})", Kind::wrongType, "uid"},
    });
}

// Newer eslogger writes audit tokens as arrays of eight integers in the kernel's
// order: auid, euid, egid, ruid, rgid, pid, asid, pidversion.
TEST(CoreRecords, AuditTokenArrayForm) {
    auto d = decodeJSON<AuditToken>("[4294967295,501,20,502,21,1,100012,1029]");
    ASSERT_TRUE(d.ok()) << d.failure().description;
    const AuditToken& t = d.value();
    EXPECT_EQ(t.auid, 4294967295);
    EXPECT_EQ(t.euid, 501);
    EXPECT_EQ(t.egid, 20);
    EXPECT_EQ(t.ruid, 502);
    EXPECT_EQ(t.rgid, 21);
    EXPECT_EQ(t.pid, 1);
    EXPECT_EQ(t.asid, 100012);
    EXPECT_EQ(t.pidversion, 1029);
    // written in the object form
    EXPECT_EQ(encodeJSON(t),
              R"({"asid":100012,"pidversion":1029,"ruid":502,"euid":501,"rgid":21,"auid":4294967295,"egid":20,"pid":1})");

    const std::string p = fixtures::process();
    const std::string token = fixtures::token(42);
    expectFailures<ESProcess>({
        {replace(p, token, "[1,2,3,4,5,6,7]"), Kind::wrongType, "audit_token"},
        {replace(p, token, "[1,2,3,4,5,6,7,8,9]"), Kind::wrongType, "audit_token"},
        {replace(p, token, "[]"), Kind::wrongType, "audit_token"},
        {replace(p, token, R"([1,2,3,4,5,6,7,"8"])"), Kind::wrongType, "audit_token.7"},
        {replace(p, token, "[1,2,3.5,4,5,6,7,8]"), Kind::wrongType, "audit_token.2"},
        {replace(p, token, "[1,2,3,4,5,6,7,99999999999999999999]"), Kind::wrongType, "audit_token.7"},
        {replace(p, token, "[1,[2],3,4,5,6,7,8]"), Kind::wrongType, "audit_token.1"},
        // a null element is a missing value, as in every array of the model
        {replace(p, token, "[1,2,3,4,null,6,7,8]"), Kind::missingValue, "audit_token.4"},
        {replace(p, token, "null"), Kind::missingValue, "audit_token"},
        {replace(p, token, "7"), Kind::wrongType, "audit_token"},
    });
}
