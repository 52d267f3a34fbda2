// Payloads of the process lifecycle, task-port, process-control, kernel,
// credential, terminal and file open/close/create/rename events: round trips,
// optional members, failure kinds and paths.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "Coding.h"
#include "EventCoding.h"
#include "ProcessEvents.h"

using namespace es;
using Kind = DecodeFailure::Kind;

namespace {

// A valid file object, keys in declaration order.
std::string file(const std::string& path, const std::string& size = "10") {
    return R"({"path":")" + path +
           R"(","stat":{"st_blocks":8,"st_blksize":4096,"st_rdev":0,"st_dev":16777220,"st_uid":501,)"
           R"("st_gid":20,"st_ino":1234,"st_birthtimespec":"2024-01-01T00:00:00.000000000Z","st_flags":0,)"
           R"("st_nlink":1,"st_mtimespec":"2024-01-02T00:00:00.000000000Z",)"
           R"("st_ctimespec":"2024-01-03T00:00:00.000000000Z","st_size":)" +
           size +
           R"(,"st_gen":0,"st_mode":33188,"st_atimespec":"2024-01-04T00:00:00.000000000Z"},)"
           R"("path_truncated":false})";
}

std::string token(const std::string& pid) {
    return R"({"asid":100001,"pidversion":7,"ruid":501,"euid":501,"rgid":20,"auid":501,"egid":20,"pid":)" + pid +
           "}";
}

// A valid process object, keys in declaration order; pid is the JSON text of the
// first audit token's pid.
std::string process(const std::string& pid = "501") {
    return R"({"audit_token":)" + token(pid) +
           R"(,"ppid":1,"original_ppid":1,"group_id":501,"session_id":100,"codesigning_flags":570522385,)"
           R"("is_platform_binary":true,"is_es_client":false,"cdhash":"ab12","signing_id":"com.example.tool",)"
           R"("executable":)" +
           file("/usr/bin/tool") + R"(,"start_time":"2024-01-01T00:00:00.000000Z","responsible_audit_token":)" +
           token("1") + R"(,"parent_audit_token":)" + token("1") + "}";
}

struct Outcome {
    bool ok = false;
    Kind kind{};
    std::string path;
    std::string encoded;  // the re-encoded text when ok, the description otherwise
};

template <class T>
Outcome run(const std::string& json) {
    auto d = decodeJSON<T>(json);
    if (!d.ok()) return {false, d.failure().kind, d.failure().pathText(), d.failure().description};
    return {true, {}, "", encodeJSON(d.value())};
}

using Runner = Outcome (*)(const std::string&);

struct RoundTrip {
    RoundTrip(Runner r, std::string j, std::string e = {}) : run(r), json(std::move(j)), expected(std::move(e)) {}
    Runner run;
    std::string json;
    std::string expected;  // empty: the input itself
};

struct Failure {
    Runner run;
    std::string json;
    Kind kind;
    std::string path;
};

void check(const std::vector<RoundTrip>& cases) {
    for (const auto& c : cases) {
        Outcome o = c.run(c.json);
        ASSERT_TRUE(o.ok) << c.json << "\n" << o.encoded;
        const std::string& expected = c.expected.empty() ? c.json : c.expected;
        EXPECT_EQ(o.encoded, expected) << c.json;
        // what was written decodes to the same record again
        Outcome again = c.run(o.encoded);
        ASSERT_TRUE(again.ok) << o.encoded;
        EXPECT_EQ(again.encoded, expected);
    }
}

void check(const std::vector<Failure>& cases) {
    for (const auto& c : cases) {
        Outcome o = c.run(c.json);
        ASSERT_FALSE(o.ok) << c.json;
        EXPECT_EQ(o.kind, c.kind) << c.json << "\n" << o.encoded;
        EXPECT_EQ(o.path, c.path) << c.json;
    }
}

const std::string P = process();
const std::string F = file("/tmp/a");
const std::string G = file("/tmp/b");

}  // namespace

// Process lifecycle

TEST(ProcessLifecycleEvents, RoundTrips) {
    const std::string execCore = R"({"target":)" + P + R"(,"cwd":)" + F +
                                 R"(,"last_fd":3,"image_cputype":16777228,"image_cpusubtype":-2147483646)";
    check({
        // every field present
        {run<ESEvent_exec>,
         R"({"target":)" + P + R"(,"script":)" + G + R"(,"cwd":)" + F +
             R"(,"last_fd":3,"image_cputype":16777228,"image_cpusubtype":2,"env":["A=1","B="],)"
             R"("args":["sh","-c","x y"],"fds":[{"fd":0,"fdtype":1},{"fd":3,"fdtype":6,"pipe":{"pipe_id":77}}]})"},
        // only the required fields: none of the optional keys is written
        {run<ESEvent_exec>, execCore + "}"},
        // empty arrays stay present
        {run<ESEvent_exec>, execCore + R"(,"env":[],"args":[],"fds":[]})"},
        // null script is absent; keys in another order; extra keys dropped
        {run<ESEvent_exec>,
         R"({"image_cpusubtype":-2147483646,"script":null,"x":[1],"cwd":)" + F +
             R"(,"image_cputype":16777228,"last_fd":3,"target":)" + P + "}",
         execCore + "}"},
        {run<ESEvent_fork>, R"({"child":)" + P + "}"},
        {run<ESEvent_trace>, R"({"target":)" + P + "}"},
        {run<ESEvent_signal>, R"({"sig":0,"target":)" + P + "}"},
        {run<ESEvent_signal>, R"({"sig":31,"target":)" + P + "}"},
        {run<ESEvent_remote_thread_create>, R"({"target":)" + P + "}"},
        {run<ESEvent_remote_thread_create>, R"({"target":)" + P + R"(,"thread_state":{"flavor":4}})"},
        {run<ESEvent_remote_thread_create>, R"({"target":)" + P + R"(,"thread_state":null,"zz":1})",
         R"({"target":)" + P + "}"},
        {run<ESEvent_exit>, R"({"stat":0})"},
        {run<ESEvent_exit>, R"({"other":true,"stat":-256})", R"({"stat":-256})"},
    });
}

TEST(ProcessLifecycleEvents, FieldReads) {
    auto exec = decodeJSON<ESEvent_exec>(R"({"target":)" + P + R"(,"cwd":)" + F +
                                         R"(,"last_fd":9,"image_cputype":7,"image_cpusubtype":3,)"
                                         R"("args":["b","a",""],"fds":[{"fd":5,"fdtype":1}]})");
    ASSERT_TRUE(exec.ok()) << exec.failure().description;
    EXPECT_EQ(exec->target.audit_token.pid, 501);
    EXPECT_EQ(exec->cwd.path, "/tmp/a");
    EXPECT_FALSE(exec->script.has_value());
    EXPECT_FALSE(exec->env.has_value());
    EXPECT_EQ(exec->args, (std::vector<std::string>{"b", "a", ""}));
    ASSERT_TRUE(exec->fds.has_value());
    ASSERT_EQ(exec->fds->size(), 1u);
    EXPECT_EQ((*exec->fds)[0].fd, 5);
    EXPECT_EQ(exec->last_fd, 9);
    EXPECT_EQ(exec->image_cputype, 7);
    EXPECT_EQ(exec->image_cpusubtype, 3);

    auto sig = decodeJSON<ESEvent_signal>(R"({"target":)" + P + R"(,"sig":9})");
    ASSERT_TRUE(sig.ok());
    EXPECT_EQ(sig->sig, static_cast<SignalType>(9));

    auto rtc = decodeJSON<ESEvent_remote_thread_create>(R"({"target":)" + P + R"(,"thread_state":{"flavor":4}})");
    ASSERT_TRUE(rtc.ok());
    ASSERT_TRUE(rtc->thread_state.has_value());
    EXPECT_EQ(rtc->thread_state->flavor, 4);
}

TEST(ProcessLifecycleEvents, Failures) {
    const std::string numbers = R"(,"last_fd":3,"image_cputype":1,"image_cpusubtype":2)";
    check({
        {run<ESEvent_exec>, R"({"target":)" + P + numbers + "}", Kind::missingKey, "cwd"},
        {run<ESEvent_exec>, R"({)" + numbers.substr(1) + "}", Kind::missingKey, "target"},
        {run<ESEvent_exec>, R"({"target":)" + process(R"("501")") + R"(,"cwd":)" + F + numbers + "}",
         Kind::wrongType, "target.audit_token.pid"},
        {run<ESEvent_exec>, R"({"target":)" + P + R"(,"script":5,"cwd":)" + F + numbers + "}", Kind::wrongType,
         "script"},
        {run<ESEvent_exec>, R"({"target":)" + P + R"(,"cwd":)" + F + numbers + R"(,"env":["a",null]})",
         Kind::missingValue, "env.1"},
        {run<ESEvent_exec>, R"({"target":)" + P + R"(,"cwd":)" + F + numbers + R"(,"args":[5]})", Kind::wrongType,
         "args.0"},
        {run<ESEvent_exec>, R"({"target":)" + P + R"(,"cwd":)" + F + numbers + R"(,"args":"a b"})",
         Kind::wrongType, "args"},
        {run<ESEvent_exec>, R"({"target":)" + P + R"(,"cwd":)" + F + numbers + R"(,"fds":[{"fd":1,"fdtype":1},{"fd":2}]})",
         Kind::missingKey, "fds.1.fdtype"},
        {run<ESEvent_exec>, "null", Kind::missingValue, "-"},
        {run<ESEvent_exec>, "[]", Kind::wrongType, "-"},
        // each of the one-process records takes its process only under its own key
        {run<ESEvent_fork>, R"({"target":)" + P + "}", Kind::missingKey, "child"},
        {run<ESEvent_trace>, R"({"child":)" + P + "}", Kind::missingKey, "target"},
        {run<ESEvent_signal>, R"({"sig":32,"target":)" + P + "}", Kind::corruptedData, "sig"},
        {run<ESEvent_signal>, R"({"sig":-1,"target":)" + P + "}", Kind::corruptedData, "sig"},
        {run<ESEvent_signal>, R"({"sig":"9","target":)" + P + "}", Kind::wrongType, "sig"},
        // sig is checked before target
        {run<ESEvent_signal>, R"({"sig":99})", Kind::corruptedData, "sig"},
        // an optional member, once present, must decode in full
        {run<ESEvent_remote_thread_create>, R"({"target":)" + P + R"(,"thread_state":{}})", Kind::missingKey,
         "thread_state.flavor"},
        {run<ESEvent_remote_thread_create>, R"({"target":)" + P + R"(,"thread_state":4})", Kind::wrongType,
         "thread_state"},
        {run<ESEvent_exit>, R"({})", Kind::missingKey, "stat"},
        {run<ESEvent_exit>, R"({"stat":null})", Kind::missingValue, "stat"},
    });
}

TEST(ProcessLifecycleEvents, PayloadsWithoutFieldsAcceptAnyValue) {
    for (const char* json : {"{}", R"({"a":1,"b":[null]})", "[]", "[1,2]", R"("text")", "0", "-3.5", "true",
                             "false", "null"}) {
        Outcome s = run<ESEvent_settime>(json);
        ASSERT_TRUE(s.ok) << json;
        EXPECT_EQ(s.encoded, "{}") << json;
        Outcome c = run<ESEvent_cs_invalidated>(json);
        ASSERT_TRUE(c.ok) << json;
        EXPECT_EQ(c.encoded, "{}") << json;
    }
    // text that is not JSON still fails before any record is involved
    EXPECT_EQ(run<ESEvent_settime>(R"({"a":)").kind, Kind::corruptedData);
}

// Task ports, process control and kernel

TEST(TaskPortAndKernelEvents, RoundTrips) {
    const std::string task = R"({"target":)" + P + R"(,"type":2})";
    check({
        {run<ESEvent_get_task>, R"({"target":)" + P + R"(,"type":0})"},
        {run<ESEvent_get_task_read>, R"({"target":)" + P + R"(,"type":1})"},
        {run<ESEvent_get_task_inspect>, task},
        {run<ESEvent_get_task_name>, task},
        // keys in another order, extra keys dropped
        {run<ESEvent_get_task_name>, R"({"type":2,"extra":"x","target":)" + P + "}", task},
        {run<ESEvent_proc_check>, R"({"target":)" + P + R"(,"type":14,"flavor":-1})"},
        {run<ESEvent_proc_check>, R"({"type":1,"flavor":0})"},
        {run<ESEvent_proc_check>, R"({"target":null,"type":1,"flavor":0})", R"({"type":1,"flavor":0})"},
        {run<ESEvent_proc_suspend_resume>, R"({"target":)" + P + R"(,"type":3})"},
        {run<ESEvent_proc_suspend_resume>, R"({"type":0})"},
        {run<ESEvent_proc_suspend_resume>, R"({"type":1})"},
        {run<ESEvent_proc_suspend_resume>, R"({"type":3,"target":null})", R"({"type":3})"},
        {run<ESEvent_iokit_open>, R"({"user_client_type":0,"user_client_class":"IOHIDParamUserClient"})"},
        {run<ESEvent_kextload>, R"({"identifier":"com.example.driver"})"},
        {run<ESEvent_kextload>, R"({"identifier":""})"},
        {run<ESEvent_kextunload>, R"({"identifier":"com.example.driver","version":"1"})",
         R"({"identifier":"com.example.driver"})"},
        {run<ESEvent_mmap>, R"({"protection":0,"max_protection":7,"flags":-2147483648,"file_pos":0,"source":)" + F +
                                "}"},
        {run<ESEvent_mmap>, R"({"protection":-1,"max_protection":9223372036854775807,"flags":4098,"file_pos":4096,)"
                            R"("source":)" + F + "}"},
        {run<ESEvent_mprotect>, R"({"protection":3,"address":-9223372036854775808,"size":9223372036854775807})"},
    });
}

TEST(TaskPortAndKernelEvents, TaskPortRecordsShareOneShape) {
    const std::string json = R"({"target":)" + P + R"(,"type":1})";
    auto a = decodeJSON<ESEvent_get_task>(json);
    auto b = decodeJSON<ESEvent_get_task_inspect>(json);
    ASSERT_TRUE(a.ok());
    ASSERT_TRUE(b.ok());
    EXPECT_EQ(a->type, ESGetTaskType::ES_GET_TASK_TYPE_EXPOSE_TASK);
    EXPECT_EQ(b->type, a->type);
    EXPECT_EQ(b->target.audit_token.pid, a->target.audit_token.pid);

    auto check = decodeJSON<ESEvent_proc_check>(R"({"type":2,"flavor":5})");
    ASSERT_TRUE(check.ok());
    EXPECT_FALSE(check->target.has_value());
    EXPECT_EQ(check->type, ESProcCheckType::ES_PROC_CHECK_TYPE_PIDINFO);
}

TEST(TaskPortAndKernelEvents, Failures) {
    check({
        {run<ESEvent_get_task_name>, R"({"type":0})", Kind::missingKey, "target"},
        {run<ESEvent_get_task_name>, R"({"target":null,"type":0})", Kind::missingValue, "target"},
        {run<ESEvent_get_task>, R"({"target":)" + P + R"(,"type":3})", Kind::corruptedData, "type"},
        {run<ESEvent_get_task_read>, R"({"target":)" + P + "}", Kind::missingKey, "type"},
        // a present target that does not decode fails the record; it never becomes absent
        {run<ESEvent_proc_check>, R"({"target":{"ppid":1},"type":1,"flavor":0})", Kind::missingKey,
         "target.audit_token"},
        {run<ESEvent_proc_suspend_resume>, R"({"target":)" + process("null") + R"(,"type":0})",
         Kind::missingValue, "target.audit_token.pid"},
        {run<ESEvent_proc_suspend_resume>, R"({"type":2})", Kind::corruptedData, "type"},
        {run<ESEvent_proc_check>, R"({"type":0,"flavor":0})", Kind::corruptedData, "type"},
        {run<ESEvent_proc_check>, R"({"type":1,"flavor":"2"})", Kind::wrongType, "flavor"},
        {run<ESEvent_proc_check>, R"({"type":1})", Kind::missingKey, "flavor"},
        {run<ESEvent_iokit_open>, R"({"user_client_type":1,"user_client_class":3})", Kind::wrongType,
         "user_client_class"},
        {run<ESEvent_kextload>, R"({"identifier":7})", Kind::wrongType, "identifier"},
        {run<ESEvent_kextunload>, R"({})", Kind::missingKey, "identifier"},
        {run<ESEvent_mmap>, R"({"protection":1,"max_protection":1,"flags":1,"file_pos":0})", Kind::missingKey,
         "source"},
        {run<ESEvent_mmap>, R"({"protection":1,"max_protection":1,"flags":1,"file_pos":0,"source":[]})",
         Kind::wrongType, "source"},
        {run<ESEvent_mmap>,
         R"({"protection":1,"max_protection":1,"flags":1,"file_pos":0,"source":)" + file("/x", "true") + "}",
         Kind::wrongType, "source.stat.st_size"},
        {run<ESEvent_mprotect>, R"({"protection":1,"address":9223372036854775808,"size":1})", Kind::wrongType,
         "address"},
        {run<ESEvent_mprotect>, R"({"protection":1,"address":1})", Kind::missingKey, "size"},
    });
}

// Credentials and pseudo-terminals

TEST(CredentialEvents, RoundTrips) {
    check({
        {run<ESEvent_setuid>, R"({"uid":501})"},
        {run<ESEvent_setuid>, R"({"uid":-1})"},
        {run<ESEvent_setuid>, R"({"uid":4294967295})"},
        {run<ESEvent_setgid>, R"({"gid":20})"},
        {run<ESEvent_seteuid>, R"({"euid":0})"},
        {run<ESEvent_setegid>, R"({"egid":20})"},
        {run<ESEvent_setegid>, R"({"egid":20,"gid":5})", R"({"egid":20})"},
        {run<ESEvent_setreuid>, R"({"ruid":-9223372036854775808,"euid":9223372036854775807})"},
        {run<ESEvent_setreuid>, R"({"euid":2,"ruid":1})", R"({"ruid":1,"euid":2})"},
        {run<ESEvent_setregid>, R"({"rgid":20,"egid":80})"},
        {run<ESEvent_pty_grant>, R"({"dev":268435460})"},
        {run<ESEvent_pty_close>, R"({"dev":268435460,"extra":null})", R"({"dev":268435460})"},
    });
    auto d = decodeJSON<ESEvent_setreuid>(R"({"ruid":501,"euid":0})");
    ASSERT_TRUE(d.ok());
    EXPECT_EQ(d->ruid, 501);
    EXPECT_EQ(d->euid, 0);
}

TEST(CredentialEvents, Failures) {
    check({
        {run<ESEvent_setuid>, R"({"uid":"501"})", Kind::wrongType, "uid"},
        {run<ESEvent_setuid>, R"({})", Kind::missingKey, "uid"},
        {run<ESEvent_setuid>, R"({"uid":null})", Kind::missingValue, "uid"},
        {run<ESEvent_setuid>, R"({"uid":1.5})", Kind::wrongType, "uid"},
        {run<ESEvent_setuid>, R"(501)", Kind::wrongType, "-"},
        {run<ESEvent_setgid>, R"({"uid":20})", Kind::missingKey, "gid"},
        {run<ESEvent_seteuid>, R"({"uid":0})", Kind::missingKey, "euid"},
        {run<ESEvent_setegid>, R"({"gid":0})", Kind::missingKey, "egid"},
        {run<ESEvent_setreuid>, R"({})", Kind::missingKey, "ruid"},
        {run<ESEvent_setreuid>, R"({"ruid":1})", Kind::missingKey, "euid"},
        {run<ESEvent_setregid>, R"({"rgid":1,"egid":true})", Kind::wrongType, "egid"},
        {run<ESEvent_pty_grant>, R"({"dev":[1]})", Kind::wrongType, "dev"},
        {run<ESEvent_pty_close>, R"(null)", Kind::missingValue, "-"},
    });
}

// File open, close, create and rename

TEST(FileOpenCloseCreateRenameEvents, RoundTrips) {
    const std::string newPathC = R"({"dir":)" + F + R"(,"filename":"new.txt","mode":420})";
    const std::string newPathR = R"({"dir":)" + F + R"(,"filename":"new.txt"})";
    check({
        {run<ESEvent_open>, R"({"fflag":-2147483647,"file":)" + F + "}"},
        {run<ESEvent_close>, R"({"modified":true,"target":)" + F + "}"},
        {run<ESEvent_close>, R"({"modified":false,"target":)" + F + R"(,"was_mapped_writable":false})"},
        {run<ESEvent_close>, R"({"modified":false,"target":)" + F + R"(,"was_mapped_writable":true})"},
        {run<ESEvent_close>, R"({"modified":false,"target":)" + F + R"(,"was_mapped_writable":null})",
         R"({"modified":false,"target":)" + F + "}"},
        // destination members are kept as read, whatever destination_type says
        {run<ESEvent_create>, R"({"destination_type":0,"destination":{}})"},
        {run<ESEvent_create>, R"({"destination_type":1,"destination":{"existing_file":)" + G + "}}"},
        {run<ESEvent_create>, R"({"destination_type":0,"destination":{"new_path":)" + newPathC + "}}"},
        {run<ESEvent_create>,
         R"({"destination_type":1,"destination":{"new_path":)" + newPathC + R"(,"existing_file":)" + G + "}}",
         R"({"destination_type":1,"destination":{"existing_file":)" + G + R"(,"new_path":)" + newPathC + "}}"},
        {run<ESEvent_create>,
         R"({"destination_type":0,"destination":{"existing_file":null,"new_path":null,"other":1}})",
         R"({"destination_type":0,"destination":{}})"},
        {run<ESEvent_rename>, R"({"source":)" + F + R"(,"destination_type":0,"destination":{}})"},
        {run<ESEvent_rename>, R"({"source":)" + F + R"(,"destination_type":0,"destination":{"existing_file":)" + G +
                                  "}}"},
        {run<ESEvent_rename>, R"({"source":)" + F + R"(,"destination_type":0,"destination":{"new_path":)" +
                                  newPathR + "}}"},
        {run<ESEvent_rename>, R"({"source":)" + F + R"(,"destination_type":1,"destination":{"existing_file":)" + G +
                                  R"(,"new_path":)" + newPathR + "}}"},
        // a mode inside a rename's new path is not one of its keys
        {run<ESEvent_rename>,
         R"({"source":)" + F + R"(,"destination_type":1,"destination":{"new_path":)" + newPathC + "}}",
         R"({"source":)" + F + R"(,"destination_type":1,"destination":{"new_path":)" + newPathR + "}}"},
        {run<ESEvent_exchangedata>, R"({"file1":)" + F + R"(,"file2":)" + G + "}"},
    });
}

TEST(FileOpenCloseCreateRenameEvents, FieldReads) {
    auto closeAbsent = decodeJSON<ESEvent_close>(R"({"modified":true,"target":)" + F + "}");
    auto closeFalse = decodeJSON<ESEvent_close>(R"({"modified":true,"target":)" + F + R"(,"was_mapped_writable":false})");
    ASSERT_TRUE(closeAbsent.ok());
    ASSERT_TRUE(closeFalse.ok());
    EXPECT_EQ(closeAbsent->was_mapped_writable, std::nullopt);
    EXPECT_EQ(closeFalse->was_mapped_writable, std::optional<bool>(false));
    EXPECT_TRUE(closeFalse->modified);

    auto create = decodeJSON<ESEvent_create>(R"({"destination_type":1,"destination":{"new_path":{"dir":)" + F +
                                             R"(,"filename":"n","mode":493}}})");
    ASSERT_TRUE(create.ok()) << create.failure().description;
    EXPECT_EQ(create->destination_type, ESDestinationType::ES_DESTINATION_TYPE_NEW_PATH);
    EXPECT_FALSE(create->destination.existing_file.has_value());
    ASSERT_TRUE(create->destination.new_path.has_value());
    EXPECT_EQ(create->destination.new_path->dir.path, "/tmp/a");
    EXPECT_EQ(create->destination.new_path->filename, "n");
    EXPECT_EQ(create->destination.new_path->mode, 493);
}

TEST(FileOpenCloseCreateRenameEvents, Failures) {
    check({
        {run<ESEvent_open>, R"({"fflag":"1","file":)" + F + "}", Kind::wrongType, "fflag"},
        {run<ESEvent_open>, R"({"fflag":1,"file":)" + file("/x", "null") + "}", Kind::missingValue,
         "file.stat.st_size"},
        {run<ESEvent_close>, R"({})", Kind::missingKey, "modified"},
        {run<ESEvent_close>, R"({"modified":1,"target":)" + F + "}", Kind::wrongType, "modified"},
        {run<ESEvent_close>, R"({"modified":true,"target":)" + F + R"(,"was_mapped_writable":"no"})",
         Kind::wrongType, "was_mapped_writable"},
        {run<ESEvent_create>, R"({"destination_type":0})", Kind::missingKey, "destination"},
        {run<ESEvent_create>, R"({"destination_type":0,"destination":null})", Kind::missingValue, "destination"},
        {run<ESEvent_create>, R"({"destination_type":2,"destination":{}})", Kind::corruptedData,
         "destination_type"},
        {run<ESEvent_create>, R"({"destination_type":1,"destination":{"new_path":{"dir":)" + F +
                                  R"(,"filename":"n"}}})",
         Kind::missingKey, "destination.new_path.mode"},
        {run<ESEvent_create>, R"({"destination_type":0,"destination":{"existing_file":{"path":"/p"}}})",
         Kind::missingKey, "destination.existing_file.stat"},
        {run<ESEvent_rename>, R"({"source":)" + F + R"(,"destination_type":2,"destination":{}})",
         Kind::corruptedData, "destination_type"},
        {run<ESEvent_rename>, R"({"destination_type":0,"destination":{}})", Kind::missingKey, "source"},
        {run<ESEvent_rename>, R"({"source":)" + F + R"(,"destination_type":1,"destination":{"new_path":{"dir":)" + F +
                                  R"(,"filename":3}}})",
         Kind::wrongType, "destination.new_path.filename"},
        {run<ESEvent_exchangedata>, R"({"file1":)" + F + "}", Kind::missingKey, "file2"},
    });
}
