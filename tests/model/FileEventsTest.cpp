// Payload records of the link/unlink/clone/copy, file content and descriptor,
// file attribute, mount, file-provider and local-socket events.
#include <gtest/gtest.h>

#include <string>
#include <string_view>

#include "Coding.h"
#include "FileEvents.h"

using namespace es;
using Kind = DecodeFailure::Kind;

namespace {

// What decoding a text as one record gave: the re-encoded text, or the failure.
struct Outcome {
    bool ok = false;
    std::string encoded;
    Kind kind{};
    std::string path;
    std::string detail;
};

template <class T>
Outcome run(std::string_view json) {
    auto d = decodeJSON<T>(json);
    if (!d.ok()) return {false, {}, d.failure().kind, d.failure().pathText(), d.failure().detail};
    return {true, encodeJSON(d.value()), {}, {}, {}};
}

using Runner = Outcome (*)(std::string_view);

// Valid records, written in declaration order so that they round-trip exactly.
std::string file(std::string_view path) {
    return R"({"path":")" + std::string(path) +
           R"(","stat":{"st_blocks":8,"st_blksize":4096,"st_rdev":0,"st_dev":16777220,"st_uid":501,)"
           R"("st_gid":20,"st_ino":1234567,"st_birthtimespec":"2024-01-02T03:04:05.000000000Z","st_flags":0,)"
           R"("st_nlink":1,"st_mtimespec":"2024-01-02T03:04:06.000000000Z",)"
           R"("st_ctimespec":"2024-01-02T03:04:07.000000000Z","st_size":1024,"st_gen":0,"st_mode":33188,)"
           R"("st_atimespec":"2024-01-02T03:04:08.000000000Z"},"path_truncated":false})";
}

std::string token(int pid) {
    return R"({"asid":100001,"pidversion":7,"ruid":501,"euid":501,"rgid":20,"auid":501,"egid":20,"pid":)" +
           std::to_string(pid) + "}";
}

std::string process() {
    return R"({"audit_token":)" + token(42) +
           R"(,"ppid":1,"original_ppid":1,"group_id":42,"session_id":42,"codesigning_flags":570522385,)"
           R"("is_platform_binary":true,"is_es_client":false,"cdhash":"00ff","signing_id":"com.example.tool",)"
           R"("team_id":"","executable":)" +
           file("/usr/bin/tool") + R"(,"start_time":"2024-01-02T03:04:00.000000Z","responsible_audit_token":)" +
           token(1) + R"(,"parent_audit_token":)" + token(1) + "}";
}

std::string statfs() {
    return R"({"f_bsize":4096,"f_iosize":1048576,"f_blocks":1000,"f_bfree":500,"f_bavail":400,"f_files":99,)"
           R"("f_ffree":50,"f_fsid":[16777220,26],"f_owner":0,"f_type":26,"f_flags":276828160,"f_fssubtype":1,)"
           R"("f_fstypename":"apfs","f_mntonname":"/Volumes/X","f_mntfromname":"/dev/disk3s1"})";
}

const std::string F = file("/tmp/a.txt");
const std::string D = file("/tmp");
const std::string A = R"({"bitmapcount":5,"commonattr":-2147483648,"volattr":0,"dirattr":1,"fileattr":2,"forkattr":3})";

// text with the first occurrence of `from` replaced by `to`
std::string replaced(std::string text, std::string_view from, std::string_view to) {
    auto at = text.find(from);
    EXPECT_NE(at, std::string::npos) << from;
    if (at != std::string::npos) text.replace(at, from.size(), to);
    return text;
}

struct RoundTripCase {
    const char* name;
    Runner run;
    std::string json;
};

void expectRoundTrips(const std::vector<RoundTripCase>& cases) {
    for (const auto& c : cases) {
        auto o = c.run(c.json);
        ASSERT_TRUE(o.ok) << c.name << ": " << o.path << " " << o.detail;
        EXPECT_EQ(o.encoded, c.json) << c.name;
    }
}

struct FailureCase {
    const char* name;
    Runner run;
    std::string json;
    Kind kind;
    const char* path;
    const char* detail;  // the missing key, or nullptr when not checked
};

void expectFailures(const std::vector<FailureCase>& cases) {
    for (const auto& c : cases) {
        auto o = c.run(c.json);
        ASSERT_FALSE(o.ok) << c.name;
        EXPECT_EQ(o.kind, c.kind) << c.name << ": " << o.path << " " << o.detail;
        EXPECT_EQ(o.path, c.path) << c.name;
        if (c.detail) {
            EXPECT_EQ(o.detail, c.detail) << c.name;
        }
    }
}

struct ReorderCase {
    const char* name;
    Runner run;
    std::string input;
    std::string encoded;
};

// Keys in any order, with unknown keys and null optionals, encode in declaration
// order without the dropped keys.
void expectNormalised(const std::vector<ReorderCase>& cases) {
    for (const auto& c : cases) {
        auto o = c.run(c.input);
        ASSERT_TRUE(o.ok) << c.name << ": " << o.path << " " << o.detail;
        EXPECT_EQ(o.encoded, c.encoded) << c.name;
    }
}

}  // namespace

TEST(LinkEvents, RoundTrip) {
    expectRoundTrips({
        {"link", run<ESEvent_link>, R"({"source":)" + F + R"(,"target_dir":)" + D + R"(,"target_filename":"b"})"},
        {"unlink", run<ESEvent_unlink>, R"({"target":)" + F + R"(,"parent_dir":)" + D + "}"},
        {"clone", run<ESEvent_clone>, R"({"source":)" + F + R"(,"target_dir":)" + D + R"(,"target_name":""})"},
        {"copyfile with target_file", run<ESEvent_copyfile>,
         R"({"source":)" + F + R"(,"target_file":)" + file("/tmp/b") + R"(,"targetdir":)" + D +
             R"(,"target_name":"b","mode":-1,"flags":4})"},
        {"copyfile without target_file", run<ESEvent_copyfile>,
         R"({"source":)" + F + R"(,"targetdir":)" + D + R"(,"target_name":"b","mode":420,"flags":0})"},
    });
}

TEST(LinkEvents, Normalised) {
    expectNormalised({
        {"copyfile null target_file", run<ESEvent_copyfile>,
         R"({"flags":0,"mode":420,"target_name":"b","targetdir":)" + D + R"(,"target_file":null,"source":)" + F +
             "}",
         R"({"source":)" + F + R"(,"targetdir":)" + D + R"(,"target_name":"b","mode":420,"flags":0})"},
        {"unlink extra key", run<ESEvent_unlink>,
         R"({"parent_dir":)" + D + R"(,"new_key":[1,2],"target":)" + F + "}",
         R"({"target":)" + F + R"(,"parent_dir":)" + D + "}"},
    });
}

TEST(LinkEvents, Failures) {
    const std::string copy =
        R"({"source":)" + F + R"(,"targetdir":)" + D + R"(,"target_name":"b","mode":420,"flags":0})";
    expectFailures({
        {"copyfile target_dir for targetdir", run<ESEvent_copyfile>, replaced(copy, "targetdir", "target_dir"),
         Kind::missingKey, "targetdir", "targetdir"},
        {"link target_name for target_filename", run<ESEvent_link>,
         R"({"source":)" + F + R"(,"target_dir":)" + D + R"(,"target_name":"b"})", Kind::missingKey,
         "target_filename", "target_filename"},
        {"clone target_filename for target_name", run<ESEvent_clone>,
         R"({"source":)" + F + R"(,"target_dir":)" + D + R"(,"target_filename":"b"})", Kind::missingKey,
         "target_name", "target_name"},
        {"unlink empty", run<ESEvent_unlink>, "{}", Kind::missingKey, "target", "target"},
        {"copyfile mode text", run<ESEvent_copyfile>, replaced(copy, "420", R"("420")"), Kind::wrongType, "mode",
         nullptr},
        {"copyfile target_file number", run<ESEvent_copyfile>,
         replaced(copy, R"("targetdir")", R"("target_file":7,"targetdir")"), Kind::wrongType, "target_file",
         nullptr},
        {"copyfile flags null", run<ESEvent_copyfile>, replaced(copy, R"("flags":0)", R"("flags":null)"),
         Kind::missingValue, "flags", nullptr},
        {"link fault inside target_dir", run<ESEvent_link>,
         R"({"source":)" + F + R"(,"target_dir":)" + replaced(D, R"("st_uid":501)", R"("st_uid":"501")") + "}",
         Kind::wrongType, "target_dir.stat.st_uid", nullptr},
        {"unlink payload is an array", run<ESEvent_unlink>, "[]", Kind::wrongType, "-", nullptr},
    });
}

TEST(FileContentEvents, RoundTrip) {
    const std::string onlyTarget = R"({"target":)" + F + "}";
    expectRoundTrips({
        // one object decodes alike under every single-file event
        {"write", run<ESEvent_write>, onlyTarget},
        {"truncate", run<ESEvent_truncate>, onlyTarget},
        {"chdir", run<ESEvent_chdir>, onlyTarget},
        {"stat", run<ESEvent_stat>, onlyTarget},
        {"chroot", run<ESEvent_chroot>, onlyTarget},
        {"readdir", run<ESEvent_readdir>, onlyTarget},
        {"fsgetpath", run<ESEvent_fsgetpath>, onlyTarget},
        {"dup", run<ESEvent_dup>, onlyTarget},
        {"readlink", run<ESEvent_readlink>, R"({"source":)" + F + "}"},
        {"lookup", run<ESEvent_lookup>, R"({"source_dir":)" + D + R"(,"relative_target":"../x/y"})"},
        {"lookup empty target", run<ESEvent_lookup>, R"({"source_dir":)" + D + R"(,"relative_target":""})"},
        {"access", run<ESEvent_access>, R"({"mode":-7,"target":)" + F + "}"},
        {"utimes dates", run<ESEvent_utimes>,
         R"({"target":)" + F + R"(,"atime":"2024-01-02T03:04:05.123456789Z","mtime":"1970-01-01T00:00:00Z"})"},
        {"utimes texts that are no dates", run<ESEvent_utimes>,
         R"({"target":)" + F + R"(,"atime":"","mtime":"not a time é"})"},
        {"fcntl", run<ESEvent_fcntl>, R"({"target":)" + F + R"(,"cmd":-9223372036854775808})"},
    });
}

TEST(FileContentEvents, Normalised) {
    expectNormalised({
        {"access", run<ESEvent_access>, R"({"target":)" + F + R"(,"mode":2,"x":1})",
         R"({"mode":2,"target":)" + F + "}"},
        {"fcntl", run<ESEvent_fcntl>, R"({"cmd":3,"target":)" + F + "}", R"({"target":)" + F + R"(,"cmd":3})"},
        {"utimes", run<ESEvent_utimes>, R"({"mtime":"m","atime":"a","target":)" + F + "}",
         R"({"target":)" + F + R"(,"atime":"a","mtime":"m"})"},
        {"lookup", run<ESEvent_lookup>, R"({"relative_target":"r","source_dir":)" + D + "}",
         R"({"source_dir":)" + D + R"(,"relative_target":"r"})"},
        {"write extra key", run<ESEvent_write>, R"({"target":)" + F + R"(,"source":)" + D + "}",
         R"({"target":)" + F + "}"},
    });
}

TEST(FileContentEvents, Failures) {
    expectFailures({
        {"readlink with target only", run<ESEvent_readlink>, R"({"target":)" + F + "}", Kind::missingKey, "source",
         "source"},
        {"write with source only", run<ESEvent_write>, R"({"source":)" + F + "}", Kind::missingKey, "target",
         "target"},
        {"utimes without mtime", run<ESEvent_utimes>, R"({"target":)" + F + R"(,"atime":"a"})", Kind::missingKey,
         "mtime", "mtime"},
        {"utimes without target and atime", run<ESEvent_utimes>, R"({"mtime":"m"})", Kind::missingKey, "target",
         "target"},
        {"access empty", run<ESEvent_access>, "{}", Kind::missingKey, "mode", "mode"},
        {"lookup number target", run<ESEvent_lookup>, R"({"source_dir":)" + D + R"(,"relative_target":1})",
         Kind::wrongType, "relative_target", nullptr},
        {"utimes number atime", run<ESEvent_utimes>, R"({"target":)" + F + R"(,"atime":1,"mtime":"m"})",
         Kind::wrongType, "atime", nullptr},
        {"fcntl text cmd", run<ESEvent_fcntl>, R"({"target":)" + F + R"(,"cmd":"3"})", Kind::wrongType, "cmd",
         nullptr},
        {"access text mode", run<ESEvent_access>, R"({"mode":"r","target":)" + F + "}", Kind::wrongType, "mode",
         nullptr},
        {"stat target text", run<ESEvent_stat>, R"({"target":"/tmp/a"})", Kind::wrongType, "target", nullptr},
        {"chdir target null", run<ESEvent_chdir>, R"({"target":null})", Kind::missingValue, "target", nullptr},
        {"dup fault inside target", run<ESEvent_dup>,
         R"({"target":)" + replaced(F, R"("path_truncated":false)", R"("path_truncated":0)") + "}", Kind::wrongType,
         "target.path_truncated", nullptr},
        {"truncate key missing inside target", run<ESEvent_truncate>,
         R"({"target":)" + replaced(F, R"("st_size":1024,)", "") + "}", Kind::missingKey, "target.stat.st_size",
         "st_size"},
    });
}

TEST(FileAttributeEvents, RoundTrip) {
    const std::string attr = R"({"attrlist":)" + A + R"(,"target":)" + F + "}";
    expectRoundTrips({
        // one object decodes alike under the three attribute-list events
        {"setattrlist", run<ESEvent_setattrlist>, attr},
        {"getattrlist", run<ESEvent_getattrlist>, attr},
        {"searchfs", run<ESEvent_searchfs>, attr},
        {"setextattr", run<ESEvent_setextattr>, R"({"target":)" + F + R"(,"extattr":"com.example.tag"})"},
        {"getextattr empty name", run<ESEvent_getextattr>, R"({"target":)" + F + R"(,"extattr":""})"},
        {"deleteextattr", run<ESEvent_deleteextattr>, R"({"target":)" + F + R"(,"extattr":"x"})"},
        {"listextattr", run<ESEvent_listextattr>, R"({"target":)" + F + "}"},
        {"setmode", run<ESEvent_setmode>, R"({"mode":-420,"target":)" + F + "}"},
        {"setflags", run<ESEvent_setflags>, R"({"flags":-1,"target":)" + F + "}"},
        {"setowner", run<ESEvent_setowner>, R"({"uid":-2,"gid":-1,"target":)" + F + "}"},
        {"setacl set", run<ESEvent_setacl>, R"({"target":)" + F + R"(,"set_or_clear":0,"acl":{"set":-5}})"},
        {"setacl clear", run<ESEvent_setacl>, R"({"target":)" + F + R"(,"set_or_clear":1,"acl":{"set":0}})"},
    });
}

TEST(FileAttributeEvents, Normalised) {
    expectNormalised({
        {"setowner", run<ESEvent_setowner>, R"({"target":)" + F + R"(,"gid":20,"extra":"x","uid":501})",
         R"({"uid":501,"gid":20,"target":)" + F + "}"},
        {"setacl", run<ESEvent_setacl>, R"({"acl":{"other":1,"set":3},"set_or_clear":1,"target":)" + F + "}",
         R"({"target":)" + F + R"(,"set_or_clear":1,"acl":{"set":3}})"},
        {"listextattr extra key", run<ESEvent_listextattr>, R"({"extattr":"x","target":)" + F + "}",
         R"({"target":)" + F + "}"},
    });
}

TEST(FileAttributeEvents, SetaclFields) {
    auto d = decodeJSON<ESEvent_setacl>(R"({"target":)" + F + R"(,"set_or_clear":1,"acl":{"set":-5}})");
    ASSERT_TRUE(d.ok());
    EXPECT_EQ(d->set_or_clear, ESSetOrClear::ES_CLEAR);
    EXPECT_EQ(d->acl.set, -5);
    EXPECT_EQ(d->target.path, "/tmp/a.txt");
}

TEST(FileAttributeEvents, Failures) {
    const std::string acl = R"({"target":)" + F + R"(,"set_or_clear":0,"acl":{"set":1}})";
    expectFailures({
        {"setacl empty acl", run<ESEvent_setacl>, replaced(acl, R"({"set":1})", "{}"), Kind::missingKey, "acl.set",
         "set"},
        {"setacl bare number acl", run<ESEvent_setacl>, replaced(acl, R"({"set":1})", "1"), Kind::wrongType, "acl",
         nullptr},
        {"setacl without acl", run<ESEvent_setacl>, replaced(acl, R"(,"acl":{"set":1})", ""), Kind::missingKey,
         "acl", "acl"},
        {"setacl set_or_clear 2", run<ESEvent_setacl>, replaced(acl, R"("set_or_clear":0)", R"("set_or_clear":2)"),
         Kind::corruptedData, "set_or_clear", nullptr},
        {"setacl set null", run<ESEvent_setacl>, replaced(acl, R"({"set":1})", R"({"set":null})"),
         Kind::missingValue, "acl.set", nullptr},
        {"setmode text mode", run<ESEvent_setmode>, R"({"mode":"644","target":)" + F + "}", Kind::wrongType, "mode",
         nullptr},
        {"setextattr number name", run<ESEvent_setextattr>, R"({"target":)" + F + R"(,"extattr":5})",
         Kind::wrongType, "extattr", nullptr},
        {"setowner without gid", run<ESEvent_setowner>, R"({"uid":1,"target":)" + F + "}", Kind::missingKey, "gid",
         "gid"},
        {"getattrlist fault inside attrlist", run<ESEvent_getattrlist>,
         R"({"attrlist":)" + replaced(A, R"("forkattr":3)", R"("forkattr":true)") + R"(,"target":)" + F + "}",
         Kind::wrongType, "attrlist.forkattr", nullptr},
        // the nested fault is reported before the later missing key
        {"searchfs attrlist fault before missing target", run<ESEvent_searchfs>,
         R"({"attrlist":)" + replaced(A, R"("bitmapcount":5,)", "") + "}", Kind::missingKey, "attrlist.bitmapcount",
         "bitmapcount"},
    });
}

TEST(MountSocketEvents, RoundTrip) {
    const std::string mount = R"({"statfs":)" + statfs() + "}";
    expectRoundTrips({
        // one object decodes alike under the three mount events
        {"mount", run<ESEvent_mount>, mount},
        {"unmount", run<ESEvent_unmount>, mount},
        {"remount", run<ESEvent_remount>, mount},
        {"file_provider_update", run<ESEvent_file_provider_update>,
         R"({"source":)" + F + R"(,"target_path":"/Users/u/Library/CloudStorage/x"})"},
        {"file_provider_materialize", run<ESEvent_file_provider_materialize>,
         R"({"investigator":)" + process() + R"(,"source":)" + F + R"(,"target":)" + file("/tmp/c") + "}"},
        {"uipc_bind", run<ESEvent_uipc_bind>, R"({"dir":)" + D + R"(,"filename":"s.sock","mode":-1})"},
        {"uipc_bind empty filename", run<ESEvent_uipc_bind>, R"({"dir":)" + D + R"(,"filename":"","mode":511})"},
        {"uipc_connect", run<ESEvent_uipc_connect>, R"({"file":)" + F + R"(,"domain":1,"type":5,"protocol":0})"},
        {"uipc_connect tcp over inet6", run<ESEvent_uipc_connect>,
         R"({"file":)" + F + R"(,"domain":30,"type":1,"protocol":6})"},
    });
}

TEST(MountSocketEvents, Normalised) {
    expectNormalised({
        // "proto" is an unknown key: skipped, and never written
        {"uipc_connect with proto and protocol", run<ESEvent_uipc_connect>,
         R"({"proto":17,"protocol":6,"type":2,"domain":2,"file":)" + F + "}",
         R"({"file":)" + F + R"(,"domain":2,"type":2,"protocol":6})"},
        {"mount extra key", run<ESEvent_mount>, R"({"disposition":1,"statfs":)" + statfs() + "}",
         R"({"statfs":)" + statfs() + "}"},
    });
}

TEST(MountSocketEvents, UipcConnectFields) {
    auto d = decodeJSON<ESEvent_uipc_connect>(R"({"file":)" + F + R"(,"domain":30,"type":1,"protocol":17})");
    ASSERT_TRUE(d.ok());
    EXPECT_EQ(d->domain, static_cast<ESSocketDomain>(30));
    EXPECT_EQ(d->type, static_cast<ESSocketType>(1));
    EXPECT_EQ(d->proto, static_cast<ESIPProtocol>(17));
    EXPECT_EQ(d->file.path, "/tmp/a.txt");
}

TEST(MountSocketEvents, Failures) {
    const std::string connect = R"({"file":)" + F + R"(,"domain":1,"type":1,"protocol":0})";
    expectFailures({
        {"mount empty", run<ESEvent_mount>, "{}", Kind::missingKey, "statfs", "statfs"},
        {"unmount fault in fsid", run<ESEvent_unmount>,
         R"({"statfs":)" + replaced(statfs(), "[16777220,26]", R"([16777220,"26"])") + "}", Kind::wrongType,
         "statfs.f_fsid.1", nullptr},
        {"remount statfs null", run<ESEvent_remount>, R"({"statfs":null})", Kind::missingValue, "statfs", nullptr},
        {"uipc_connect proto without protocol", run<ESEvent_uipc_connect>,
         replaced(connect, R"("protocol")", R"("proto")"), Kind::missingKey, "protocol", "protocol"},
        {"uipc_connect Protocol", run<ESEvent_uipc_connect>, replaced(connect, R"("protocol")", R"("Protocol")"),
         Kind::missingKey, "protocol", "protocol"},
        {"uipc_connect type 0", run<ESEvent_uipc_connect>, replaced(connect, R"("type":1)", R"("type":0)"),
         Kind::corruptedData, "type", nullptr},
        {"uipc_connect unknown domain", run<ESEvent_uipc_connect>,
         replaced(connect, R"("domain":1)", R"("domain":42)"), Kind::corruptedData, "domain", nullptr},
        {"uipc_connect unknown protocol", run<ESEvent_uipc_connect>,
         replaced(connect, R"("protocol":0)", R"("protocol":257)"), Kind::corruptedData, "protocol", nullptr},
        {"uipc_connect domain text", run<ESEvent_uipc_connect>,
         replaced(connect, R"("domain":1)", R"("domain":"AF_UNIX")"), Kind::wrongType, "domain", nullptr},
        {"uipc_bind text mode", run<ESEvent_uipc_bind>, R"({"dir":)" + D + R"(,"filename":"s","mode":"777"})",
         Kind::wrongType, "mode", nullptr},
        {"file_provider_update object path", run<ESEvent_file_provider_update>,
         R"({"source":)" + F + R"(,"target_path":{}})", Kind::wrongType, "target_path", nullptr},
        {"file_provider_materialize without investigator", run<ESEvent_file_provider_materialize>,
         R"({"source":)" + F + R"(,"target":)" + F + "}", Kind::missingKey, "investigator", "investigator"},
        {"file_provider_materialize fault in audit token", run<ESEvent_file_provider_materialize>,
         R"({"investigator":)" + replaced(process(), R"(,"pid":42)", "") + R"(,"source":)" + F + R"(,"target":)" +
             F + "}",
         Kind::missingKey, "investigator.audit_token.pid", "pid"},
    });
}
