// Payload records of the authentication, malware, session, screen-sharing,
// OpenSSH, background task, authorization, profile, su and sudo events.
#include <gtest/gtest.h>

#include <string>
#include <string_view>

#include "Coding.h"
#include "SecurityEvents.h"

using namespace es;
using Kind = DecodeFailure::Kind;

namespace {

// A valid process record, written in declaration order so that it round-trips
// exactly; `pid` is spliced in as raw JSON so a case can break the process.
std::string proc(std::string_view pid = "42") {
    const std::string token = R"({"asid":1,"pidversion":2,"ruid":501,"euid":501,"rgid":20,"auid":501,"egid":20,"pid":)";
    const std::string plainToken = token + "1}";
    return R"({"audit_token":)" + token + std::string(pid) +
           R"(},"ppid":1,"original_ppid":1,"group_id":42,"session_id":100,"codesigning_flags":570509313,)"
           R"("is_platform_binary":true,"is_es_client":false,"cdhash":"ab12","signing_id":"com.example.tool",)"
           R"("executable":{"path":"/usr/bin/tool","stat":{"st_blocks":8,"st_blksize":4096,"st_rdev":0,)"
           R"("st_dev":16777220,"st_uid":0,"st_gid":0,"st_ino":1234,"st_birthtimespec":"2024-01-01T00:00:00.000000000Z",)"
           R"("st_flags":0,"st_nlink":1,"st_mtimespec":"2024-01-01T00:00:00.000000000Z",)"
           R"("st_ctimespec":"2024-01-01T00:00:00.000000000Z","st_size":100,"st_gen":0,"st_mode":33261,)"
           R"("st_atimespec":"2024-01-01T00:00:00.000000000Z"},"path_truncated":false},)"
           R"("start_time":"2024-01-01T00:00:00.000000Z","responsible_audit_token":)" +
           plainToken + R"(,"parent_audit_token":)" + plainToken + "}";
}

std::string launchItem(std::string_view itemType = "3") {
    return R"({"item_type":)" + std::string(itemType) +
           R"(,"legacy":false,"managed":true,"uid":501,"item_url":"file:///Library/LaunchAgents/x.plist"})";
}

std::string profile(std::string_view installSource = "1") {
    return R"({"identifier":"com.example.profile","uuid":"not-a-uuid","install_source":)" +
           std::string(installSource) + R"(,"organization":"Example","display_name":"Wi-Fi","scope":"System"})";
}

// Decoding and encoding of one record type behind a plain function pointer, so
// one table can mix record types.
struct Outcome {
    bool ok = false;
    std::string encoded;
    DecodeFailure failure;
};

template <class T>
Outcome run(std::string_view json) {
    auto d = decodeJSON<T>(json);
    if (!d.ok()) return {false, {}, d.failure()};
    return {true, encodeJSON(d.value()), {}};
}

using Runner = Outcome (*)(std::string_view);

// Decodes and encodes to `encoded`; an empty `encoded` means the input itself.
struct EncodeCase {
    Runner decode;
    std::string json;
    std::string encoded;
};

// Fails with `kind` at `path`; a non-empty `detail` is the missing key or the
// type named by the failure.
struct FailCase {
    Runner decode;
    std::string json;
    Kind kind;
    std::string path;
    std::string detail;
};

void expectEncodes(const std::vector<EncodeCase>& cases) {
    for (const auto& c : cases) {
        Outcome o = c.decode(c.json);
        ASSERT_TRUE(o.ok) << c.json << "\n" << o.failure.pathText() << ": " << o.failure.description;
        const std::string& expected = c.encoded.empty() ? c.json : c.encoded;
        EXPECT_EQ(o.encoded, expected) << c.json;
        // what was written reads back to the same text
        Outcome again = c.decode(o.encoded);
        ASSERT_TRUE(again.ok) << o.encoded;
        EXPECT_EQ(again.encoded, expected);
    }
}

void expectFails(const std::vector<FailCase>& cases) {
    for (const auto& c : cases) {
        Outcome o = c.decode(c.json);
        ASSERT_FALSE(o.ok) << c.json;
        EXPECT_EQ(o.failure.kind, c.kind) << c.json << "\n" << o.failure.description;
        EXPECT_EQ(o.failure.pathText(), c.path) << c.json;
        if (!c.detail.empty()) {
            EXPECT_EQ(o.failure.detail, c.detail) << c.json;
        }
    }
}

const std::string P = proc();

}  // namespace

// ---- authentication ----

TEST(AuthenticationEvent, Encodes) {
    auto A = &run<ESEvent_authentication>;
    const std::string od = R"({"instigator":)" + P + R"(,"record_type":"Users","record_name":"alice","node_name":"/Local/Default"})";
    const std::string touchid = R"({"instigator":)" + P + R"(,"touchid_mode":1,"uid":501})";
    const std::string token = R"({"instigator":)" + P + R"(,"pubkey_hash":"h","token_id":"t","kerberos_principle":"k@R"})";
    expectEncodes({
        {A, R"({"success":true,"type":3,"data":{"auto_unlock":{"username":"root","type":1}}})", ""},
        {A, R"({"success":false,"type":0,"data":{}})", ""},
        {A, R"({"success":true,"type":0,"data":{"od":)" + od + "}}", ""},
        // type names touchid but data holds only od: held as given
        {A, R"({"success":true,"type":1,"data":{"od":)" + od + "}}", ""},
        {A, R"({"success":true,"type":1,"data":{"touchid":)" + touchid + "}}", ""},
        {A, R"({"success":true,"type":4,"data":{"od":)" + od + R"(,"touchid":)" + touchid + R"(,"token":)" + token +
                R"(,"auto_unlock":{"username":"u","type":2}}})", ""},
        // token before auto_unlock on output whatever the input order; null and
        // unknown keys dropped; a key differing in case is not touchid
        {A, R"({"data":{"auto_unlock":{"username":"u","type":2},"od":null,"Touchid":)" + touchid +
                R"(,"x":1,"token":)" + token + R"(},"type":2,"success":true})",
         R"({"success":true,"type":2,"data":{"token":)" + token + R"(,"auto_unlock":{"username":"u","type":2}}})"},
    });

    auto d = decodeJSON<ESEvent_authentication>(R"({"success":true,"type":4,"data":{"Touchid":{}}})");
    ASSERT_TRUE(d.ok());
    EXPECT_EQ(d->type, ESAuthenticationType::ES_AUTHENTICATION_TYPE_LAST);
    EXPECT_FALSE(d->data.touchid.has_value());
}

TEST(AuthenticationEvent, Failures) {
    auto A = &run<ESEvent_authentication>;
    expectFails({
        {A, R"({"success":true,"type":0})", Kind::missingKey, "data", "data"},
        {A, R"({"success":true,"type":0,"data":null})", Kind::missingValue, "data", ""},
        {A, R"({"success":true,"type":0,"data":5})", Kind::wrongType, "data", ""},
        {A, R"({"success":1,"type":0,"data":{}})", Kind::wrongType, "success", ""},
        {A, R"({"type":0,"data":{}})", Kind::missingKey, "success", "success"},
        {A, R"({"success":true,"type":null,"data":{}})", Kind::missingValue, "type", ""},
        {A, R"({"success":true,"type":5,"data":{}})", Kind::corruptedData, "type", "ESAuthenticationType"},
        {A, R"({"success":true,"type":-1,"data":{}})", Kind::corruptedData, "type", "ESAuthenticationType"},
        {A, R"({"success":true,"type":"0","data":{}})", Kind::wrongType, "type", ""},
        // a present member of the wrong type is not taken as absent
        {A, R"({"success":true,"type":0,"data":{"od":"x"}})", Kind::wrongType, "data.od", ""},
        // 0 is a valid payload type but no auto-unlock type
        {A, R"({"success":true,"type":3,"data":{"auto_unlock":{"username":"u","type":0}}})", Kind::corruptedData,
         "data.auto_unlock.type", "ESAutoUnlockType"},
        {A, R"({"success":true,"type":1,"data":{"touchid":{"instigator":)" + proc("\"7\"") + R"(,"touchid_mode":0}}})",
         Kind::wrongType, "data.touchid.instigator.audit_token.pid", ""},
        {A, R"({"success":true,"type":1,"data":{"touchid":{"instigator":)" + P + R"(,"touchid_mode":2}}})",
         Kind::corruptedData, "data.touchid.touchid_mode", "ESTouchMode"},
        {A, "[]", Kind::wrongType, "-", ""},
    });
}

// ---- malware ----

TEST(MalwareEvents, Encodes) {
    auto D = &run<ESEvent_xp_malware_detected>;
    auto R = &run<ESEvent_xp_malware_remediated>;
    const std::string head = R"({"signature_version":"5270","malware_identifier":"OSX.X","incident_identifier":"I-1",)";
    expectEncodes({
        {D, head + R"("detected_path":"/tmp/x"})", ""},
        {D, R"({"detected_path":"/tmp/x","extra":true,"incident_identifier":"I-1","malware_identifier":"OSX.X","signature_version":"5270"})",
         head + R"("detected_path":"/tmp/x"})"},
        // both optionals absent: exactly six keys; empty action text kept
        {R, head + R"("action_type":"","success":false,"result_description":"failed"})", ""},
        {R, head + R"("action_type":"path","success":true,"result_description":"ok","remediated_path":null})",
         head + R"("action_type":"path","success":true,"result_description":"ok"})"},
        {R, head + R"("action_type":"process","success":true,"result_description":"ok","remediated_path":"/tmp/x",)"
                   R"("remediated_process_audit_token":{"asid":1,"pidversion":2,"ruid":3,"euid":4,"rgid":5,"auid":6,"egid":7,"pid":8}})",
         ""},
    });
}

TEST(MalwareEvents, Failures) {
    auto D = &run<ESEvent_xp_malware_detected>;
    auto R = &run<ESEvent_xp_malware_remediated>;
    const std::string head = R"({"signature_version":"5270","malware_identifier":"OSX.X","incident_identifier":"I-1",)";
    expectFails({
        {D, R"({"signature_version":"5270","malware_identifier":"OSX.X","detected_path":"/x"})", Kind::missingKey,
         "incident_identifier", "incident_identifier"},
        {D, head + R"("x":"/tmp/x"})", Kind::missingKey, "detected_path", "detected_path"},
        {R, head + R"("action_type":3,"success":true,"result_description":"ok"})", Kind::wrongType, "action_type", ""},
        {R, head + R"("action_type":"a","success":"true","result_description":"ok"})", Kind::wrongType, "success", ""},
        {R, head + R"("action_type":"a","success":true,"result_description":null})", Kind::missingValue,
         "result_description", ""},
        {R, head + R"("action_type":"a","success":true,"result_description":"ok","remediated_process_audit_token":[]})",
         Kind::wrongType, "remediated_process_audit_token", ""},
        {R, head + R"("action_type":"a","success":true,"result_description":"ok","remediated_process_audit_token":{"asid":1}})",
         Kind::missingKey, "remediated_process_audit_token.pidversion", "pidversion"},
    });
}

// ---- login-window sessions, login and logout ----

TEST(SessionEvents, Encodes) {
    const std::string session = R"({"username":"","graphical_session_id":0})";
    const std::string negative = R"({"username":"bob","graphical_session_id":-7})";
    auto LL = &run<ESEvent_login_login>;
    expectEncodes({
        {&run<ESEvent_lw_session_login>, session, ""},
        {&run<ESEvent_lw_session_logout>, session, ""},
        {&run<ESEvent_lw_session_lock>, session, ""},
        {&run<ESEvent_lw_session_unlock>, negative, ""},
        {&run<ESEvent_lw_session_lock>, R"({"graphical_session_id":3,"x":1,"username":"bob"})",
         R"({"username":"bob","graphical_session_id":3})"},
        {&run<ESEvent_login_logout>, R"({"username":"bob","uid":501})", ""},
        {LL, R"({"success":false,"username":"bob"})", ""},
        {LL, R"({"success":true,"failure_message":"none","username":"bob","uid":501})", ""},
        {LL, R"({"uid":null,"username":"bob","failure_message":null,"success":true})",
         R"({"success":true,"username":"bob"})"},
    });
}

TEST(SessionEvents, Failures) {
    auto LO = &run<ESEvent_login_logout>;
    auto LL = &run<ESEvent_login_login>;
    expectFails({
        {&run<ESEvent_lw_session_login>, R"({"username":"bob","uid":501})", Kind::missingKey, "graphical_session_id",
         "graphical_session_id"},
        {&run<ESEvent_lw_session_unlock>, R"({})", Kind::missingKey, "username", "username"},
        {&run<ESEvent_lw_session_logout>, R"({"username":"bob","graphical_session_id":"1"})", Kind::wrongType,
         "graphical_session_id", ""},
        {&run<ESEvent_lw_session_lock>, R"({"username":1,"graphical_session_id":1})", Kind::wrongType, "username", ""},
        {&run<ESEvent_lw_session_lock>, R"("lock")", Kind::wrongType, "-", ""},
        {LO, R"({"username":"bob"})", Kind::missingKey, "uid", "uid"},
        {LO, R"({"username":"bob","uid":null})", Kind::missingValue, "uid", ""},
        {LL, R"({"username":"bob"})", Kind::missingKey, "success", "success"},
        {LL, R"({"success":true,"uid":1})", Kind::missingKey, "username", "username"},
        {LL, R"({"success":"yes","username":"bob"})", Kind::wrongType, "success", ""},
        {LL, R"({"success":true,"username":"bob","uid":"501"})", Kind::wrongType, "uid", ""},
        {LL, R"({"success":true,"failure_message":5,"username":"bob"})", Kind::wrongType, "failure_message", ""},
    });
}

// ---- screen sharing ----

TEST(ScreenSharingEvents, Encodes) {
    auto At = &run<ESEvent_screensharing_attach>;
    auto De = &run<ESEvent_screensharing_detach>;
    expectEncodes({
        {At, R"({"success":true,"source_address_type":1,"source_address":"10.0.0.2","viewer_appleid":"v@example.com",)"
             R"("authentication_type":"password","authentication_username":"alice","session_username":"alice",)"
             R"("existing_session":true,"graphical_session_id":257})",
         ""},
        // all four optional texts null or missing: five keys; empty authentication type kept;
        // a key that differs from viewer_appleid in case is ignored
        {At, R"({"graphical_session_id":1,"existing_session":false,"authentication_type":"","session_username":null,)"
             R"("Viewer_appleid":"x","source_address":null,"source_address_type":0,"success":false})",
         R"({"success":false,"source_address_type":0,"authentication_type":"","existing_session":false,"graphical_session_id":1})"},
        {De, R"({"source_address_type":2,"graphical_session_id":9})", ""},
        // the address is text whatever its type says
        {De, R"({"source_address_type":3,"source_address":"not an address","viewer_appleid":"v","graphical_session_id":9})", ""},
    });
}

TEST(ScreenSharingEvents, Failures) {
    auto At = &run<ESEvent_screensharing_attach>;
    auto De = &run<ESEvent_screensharing_detach>;
    expectFails({
        {De, R"({"source_address_type":4,"graphical_session_id":9})", Kind::corruptedData, "source_address_type",
         "ESAddressType"},
        {De, R"({"source_address_type":1})", Kind::missingKey, "graphical_session_id", "graphical_session_id"},
        {De, R"({"source_address_type":1,"viewer_appleid":5,"graphical_session_id":9})", Kind::wrongType,
         "viewer_appleid", ""},
        {At, R"({"success":true,"source_address_type":1,"authentication_type":null,"existing_session":true,"graphical_session_id":1})",
         Kind::missingValue, "authentication_type", ""},
        {At, R"({"success":true,"source_address_type":1,"existing_session":true,"graphical_session_id":1})",
         Kind::missingKey, "authentication_type", "authentication_type"},
        {At, R"({"success":true,"source_address_type":1,"authentication_type":2,"existing_session":true,"graphical_session_id":1})",
         Kind::wrongType, "authentication_type", ""},
        {At, R"({"success":true,"source_address_type":1,"authentication_type":"p","existing_session":true,"graphical_session_id":"1"})",
         Kind::wrongType, "graphical_session_id", ""},
    });
}

// ---- OpenSSH ----

TEST(OpenSSHEvents, Encodes) {
    auto In = &run<ESEvent_openssh_login>;
    auto Out = &run<ESEvent_openssh_logout>;
    expectEncodes({
        {In, R"({"success":true,"result_type":2,"source_address_type":1,"source_address":"10.0.0.2","username":"bob","uid":0})", ""},
        // success and result type are independent; a null uid is absent
        {In, R"({"uid":null,"username":"bob","source_address":"::1","source_address_type":2,"result_type":4,"success":true})",
         R"({"success":true,"result_type":4,"source_address_type":2,"source_address":"::1","username":"bob"})"},
        {Out, R"({"source_address_type":3,"source_address":"/var/run/sock","username":"bob","uid":501})", ""},
    });

    auto d = decodeJSON<ESEvent_openssh_login>(
        R"({"success":false,"result_type":9,"source_address_type":0,"source_address":"","username":"x","uid":0})");
    ASSERT_TRUE(d.ok());
    EXPECT_EQ(d->result_type, ESOpenSSHLoginResultType::ES_OPENSSH_INVALID_USER);
    EXPECT_EQ(d->uid, std::optional<std::int64_t>(0));
}

TEST(OpenSSHEvents, Failures) {
    auto In = &run<ESEvent_openssh_login>;
    auto Out = &run<ESEvent_openssh_logout>;
    expectFails({
        {In, R"({"success":true,"result_type":10,"source_address_type":1,"source_address":"a","username":"b"})",
         Kind::corruptedData, "result_type", "ESOpenSSHLoginResultType"},
        {In, R"({"success":true,"result_type":2,"source_address_type":-1,"source_address":"a","username":"b"})",
         Kind::corruptedData, "source_address_type", "ESAddressType"},
        {In, R"({"success":true,"result_type":2,"source_address_type":1,"username":"b"})", Kind::missingKey,
         "source_address", "source_address"},
        {In, R"({"success":true,"result_type":2,"source_address_type":1,"source_address":"a","username":"b","uid":"0"})",
         Kind::wrongType, "uid", ""},
        {Out, R"({"source_address_type":1,"source_address":"a","username":"b"})", Kind::missingKey, "uid", "uid"},
        {Out, R"({"source_address_type":1,"source_address":"a","username":"b","uid":null})", Kind::missingValue, "uid", ""},
        {Out, R"({"source_address_type":1,"source_address":"a","username":7,"uid":1})", Kind::wrongType, "username", ""},
    });
}

// ---- background task management ----

TEST(BackgroundTaskEvents, Encodes) {
    auto Add = &run<ESEvent_btm_launch_item_add>;
    auto Rem = &run<ESEvent_btm_launch_item_remove>;
    const std::string item = launchItem();
    const std::string onlyItem = R"({"item":)" + item + "}";
    expectEncodes({
        {Add, onlyItem, ""},
        {Rem, onlyItem, ""},
        {Add, R"({"instigator":)" + P + R"(,"app":)" + P + R"(,"item":)" + item + R"(,"executable_path":""})", ""},
        {Rem, R"({"instigator":)" + P + R"(,"item":)" + item + "}", ""},
        // null processes are absent and not written back
        {Add, R"({"instigator":null,"app":null,"item":)" + item + R"(,"executable_path":"/bin/x"})",
         R"({"item":)" + item + R"(,"executable_path":"/bin/x"})"},
        // the remove record has no executable_path
        {Rem, R"({"app":)" + P + R"(,"item":)" + item + R"(,"executable_path":"/bin/x"})",
         R"({"app":)" + P + R"(,"item":)" + item + "}"},
    });
}

TEST(BackgroundTaskEvents, Failures) {
    auto Add = &run<ESEvent_btm_launch_item_add>;
    auto Rem = &run<ESEvent_btm_launch_item_remove>;
    expectFails({
        {Add, R"({"Item":)" + launchItem() + "}", Kind::missingKey, "item", "item"},
        {Rem, R"({"item":null})", Kind::missingValue, "item", ""},
        {Add, R"({"item":)" + launchItem("5") + "}", Kind::corruptedData, "item.item_type", "ESBTMItemType"},
        {Add, R"({"item":)" + launchItem() + R"(,"executable_path":42})", Kind::wrongType, "executable_path", ""},
        {Rem, R"({"instigator":"p","item":)" + launchItem() + "}", Kind::wrongType, "instigator", ""},
        {Add, R"({"app":)" + proc("null") + R"(,"item":)" + launchItem() + "}", Kind::missingValue,
         "app.audit_token.pid", ""},
    });
}

// ---- authorization ----

TEST(AuthorizationEvents, Encodes) {
    auto J = &run<ESEvent_authorization_judgement>;
    auto Pe = &run<ESEvent_authorization_petition>;
    const std::string result = R"({"right_name":"system.privilege.admin","rule_class":6,"granted":false})";
    expectEncodes({
        // a count without results, and a count that disagrees with them, are kept as given
        {J, R"({"instigator":)" + P + R"(,"return_code":0,"result_count":3})", ""},
        {J, R"({"instigator":)" + P + R"(,"petitioner":)" + P + R"(,"return_code":-60005,"result_count":5,"results":[)" +
                result + "," + result + "]}",
         ""},
        {J, R"({"instigator":)" + P + R"(,"return_code":0,"result_count":0,"results":[]})", ""},
        {Pe, R"({"instigator":)" + P + R"(,"petitioner":null,"flags":3,"rights":[],"x":1})",
         R"({"instigator":)" + P + R"(,"flags":3,"rights":[]})"},
        {Pe, R"({"instigator":)" + P + R"(,"petitioner":)" + P + R"(,"flags":0,"rights":["a","b"]})", ""},
    });
}

TEST(AuthorizationEvents, Failures) {
    auto J = &run<ESEvent_authorization_judgement>;
    auto Pe = &run<ESEvent_authorization_petition>;
    const std::string head = R"({"instigator":)" + P + ",";
    auto withRuleClass = [&](std::string_view rc) {
        return head + R"("return_code":0,"result_count":2,"results":[{"right_name":"a","rule_class":0,"granted":true},)"
                      R"({"right_name":"b","rule_class":)" +
               std::string(rc) + R"(,"granted":true}]})";
    };
    expectFails({
        {J, withRuleClass("7"), Kind::corruptedData, "results.1.rule_class", "ESAuthRuleClass"},
        {J, withRuleClass("-1"), Kind::corruptedData, "results.1.rule_class", "ESAuthRuleClass"},
        {J, head + R"("return_code":0,"result_count":1,"results":[null]})", Kind::missingValue, "results.0", ""},
        {J, head + R"("return_code":0})", Kind::missingKey, "result_count", "result_count"},
        {J, R"({"return_code":0,"result_count":0})", Kind::missingKey, "instigator", "instigator"},
        // the instigator's fault comes before the petitioner's
        {J, R"({"instigator":)" + proc("\"1\"") + R"(,"petitioner":)" + proc("null") + R"(,"return_code":0,"result_count":0})",
         Kind::wrongType, "instigator.audit_token.pid", ""},
        {J, head + R"("petitioner":)" + proc("null") + R"(,"return_code":0,"result_count":0})", Kind::missingValue,
         "petitioner.audit_token.pid", ""},
        {Pe, head + R"("rights":["a"]})", Kind::missingKey, "flags", "flags"},
        {Pe, head + R"("flags":"3"})", Kind::wrongType, "flags", ""},
        {Pe, head + R"("flags":0,"rights":["a",null]})", Kind::missingValue, "rights.1", ""},
        {Pe, head + R"("flags":0,"rights":["a",2]})", Kind::wrongType, "rights.1", ""},
        {Pe, head + R"("flags":0,"rights":{}})", Kind::wrongType, "rights", ""},
        {Pe, "[]", Kind::wrongType, "-", ""},
        {Pe, R"("petition")", Kind::wrongType, "-", ""},
        {Pe, "3", Kind::wrongType, "-", ""},
        {Pe, "null", Kind::missingValue, "-", ""},
    });

    auto d = decodeJSON<ESEvent_authorization_judgement>(withRuleClass("6"));
    ASSERT_TRUE(d.ok());
    ASSERT_TRUE(d->results.has_value());
    EXPECT_EQ((*d->results)[1].rule_class, ESAuthRuleClass::ES_AUTHORIZATION_RULE_CLASS_INVALID);
}

// ---- configuration profiles ----

TEST(ProfileEvents, Encodes) {
    auto Add = &run<ESEvent_profile_add>;
    auto Rem = &run<ESEvent_profile_remove>;
    const std::string pr = profile();
    expectEncodes({
        {Add, R"({"instigator":)" + P + R"(,"is_update":false,"profile":)" + pr + "}", ""},
        {Rem, R"({"instigator":)" + P + R"(,"profile":)" + pr + "}", ""},
        // is_update is no key of the remove record; input order does not matter
        {Rem, R"({"profile":)" + pr + R"(,"is_update":true,"instigator":)" + P + "}",
         R"({"instigator":)" + P + R"(,"profile":)" + pr + "}"},
    });
}

TEST(ProfileEvents, Failures) {
    auto Add = &run<ESEvent_profile_add>;
    auto Rem = &run<ESEvent_profile_remove>;
    expectFails({
        {Add, R"({"instigator":)" + P + R"(,"profile":)" + profile() + "}", Kind::missingKey, "is_update", "is_update"},
        {Rem, R"({"instigator":)" + P + R"(,"profile":)" + profile("2") + "}", Kind::corruptedData,
         "profile.install_source", "ESProfileSource"},
        // both invalid: the instigator's fault is reported
        {Add, R"({"instigator":)" + proc("null") + R"(,"is_update":true,"profile":)" + profile("2") + "}",
         Kind::missingValue, "instigator.audit_token.pid", ""},
        {Add, R"({"instigator":)" + P + R"(,"is_update":"no","profile":)" + profile() + "}", Kind::wrongType,
         "is_update", ""},
        {Rem, R"({"instigator":)" + P + R"(,"profile":null})", Kind::missingValue, "profile", ""},
        {Rem, R"({"instigator":)" + P + R"(,"profile":"p"})", Kind::wrongType, "profile", ""},
    });
}

// ---- su and sudo ----

TEST(SuSudoEvents, Encodes) {
    auto Su = &run<ESEvent_su>;
    auto Sudo = &run<ESEvent_sudo>;
    expectEncodes({
        {Su, R"({"success":true,"from_uid":501,"from_username":"bob","argc":0,"env_count":0})", ""},
        // counts and arrays disagree and are kept as given
        {Su, R"({"success":false,"failure_message":"auth","from_uid":501,"from_username":"bob","to_uid":0,)"
             R"("to_username":"root","shell":"/bin/zsh","argc":3,"argv":["su"],"env_count":0,"env":["A=1","B=2"]})",
         ""},
        {Su, R"({"success":true,"from_uid":1,"from_username":"a","argc":0,"argv":[],"env_count":0,"env":null})",
         R"({"success":true,"from_uid":1,"from_username":"a","argc":0,"argv":[],"env_count":0})"},
        {Sudo, R"({"success":true,"extra":1})", R"({"success":true})"},
        {Sudo, R"({"success":true,"reject_info":null})", R"({"success":true})"},
        {Sudo, R"({"success":true,"reject_info":{"plugin_name":"policy","plugin_type":2,"failure_message":"no"},)"
               R"("from_uid":501,"from_username":"bob","to_uid":0,"to_username":"root","command":"/bin/ls -l"})",
         ""},
    });

    auto d = decodeJSON<ESEvent_sudo>(R"({"success":false,"reject_info":{"plugin_name":"p","plugin_type":2,"failure_message":""}})");
    ASSERT_TRUE(d.ok());
    ASSERT_TRUE(d->reject_info.has_value());
    EXPECT_EQ(d->reject_info->plugin_type, ESSudoPluginType::ES_SUDO_PLUGIN_TYPE_POLICY);
}

TEST(SuSudoEvents, Failures) {
    auto Su = &run<ESEvent_su>;
    auto Sudo = &run<ESEvent_sudo>;
    // removing any one of the five required su keys fails with that key
    const char* required[] = {"success", "from_uid", "from_username", "argc", "env_count"};
    const char* values[] = {"true", "501", "\"bob\"", "0", "0"};
    std::vector<FailCase> cases;
    for (std::size_t skip = 0; skip < 5; ++skip) {
        std::string json = "{";
        for (std::size_t i = 0; i < 5; ++i) {
            if (i == skip) continue;
            if (json.size() > 1) json += ",";
            json += std::string("\"") + required[i] + "\":" + values[i];
        }
        cases.push_back({Su, json + "}", Kind::missingKey, required[skip], required[skip]});
    }
    const std::string su = R"({"success":true,"from_uid":1,"from_username":"a","argc":1,"env_count":0,)";
    cases.insert(cases.end(), {
        {Su, su + R"("argv":["su",3]})", Kind::wrongType, "argv.1", ""},
        {Su, su + R"("env":[null]})", Kind::missingValue, "env.0", ""},
        {Su, su + R"("to_uid":"0"})", Kind::wrongType, "to_uid", ""},
        {Su, R"({"success":true,"from_uid":1,"from_username":"a","argc":null,"env_count":0})", Kind::missingValue,
         "argc", ""},
        {Sudo, R"({"success":true,"reject_info":{"plugin_name":"p","failure_message":"m"}})", Kind::missingKey,
         "reject_info.plugin_type", "plugin_type"},
        {Sudo, R"({"success":true,"reject_info":{"plugin_name":"p","plugin_type":6,"failure_message":"m"}})",
         Kind::corruptedData, "reject_info.plugin_type", "ESSudoPluginType"},
        {Sudo, R"({"success":true,"reject_info":"denied"})", Kind::wrongType, "reject_info", ""},
        {Sudo, R"({"from_uid":0})", Kind::missingKey, "success", "success"},
        {Sudo, R"({"success":true,"command":["ls"]})", Kind::wrongType, "command", ""},
    });
    expectFails(cases);
}
