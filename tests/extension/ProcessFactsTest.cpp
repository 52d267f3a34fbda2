#include "ProcessFacts.h"

#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>

#include "AuditToken.h"
#include "ESLoggerFile.h"
#include "FilterDataProvider.h"
#include "FixtureGenerator.h"
#include "IllFormedUTF8.h"

namespace {

using namespace flowspur;

// A signed world for the lookups, configurable per case.
struct FakeCodeSigning : sec::CodeSigning {
    bool guest = true, staticCode = true, info = true;
    std::optional<std::vector<sec::SecCertificate>> certificates = std::vector<sec::SecCertificate>{{"Developer ID"}};
    std::optional<std::string> identifier = "com.example.tool";

    sec::OSStatus copyGuestWithPid(std::int64_t pid, std::optional<sec::SecCode>& code) const override {
        if (guest) code = sec::SecCode{pid};
        return guest ? 0 : -1;
    }
    sec::OSStatus copyStaticCode(const sec::SecCode& c, std::optional<sec::SecStaticCode>& s) const override {
        if (staticCode) s = sec::SecStaticCode{c.pid};
        return staticCode ? 0 : -2;
    }
    sec::OSStatus copySigningInformation(const sec::SecStaticCode&,
                                         std::optional<sec::SigningInformation>& out) const override {
        if (info) out = sec::SigningInformation{certificates, identifier};
        return info ? 0 : -3;
    }
    std::optional<std::string> copyCommonName(const sec::SecCertificate& c) const override { return c.commonName; }
};

std::optional<std::vector<std::uint8_t>> bytesOf(const proc::audit_token_t& t) {
    auto b = proc::tokenBytes(t);
    return std::vector<std::uint8_t>(b.begin(), b.end());
}

pid_t exitedChild() {
    pid_t child = ::fork();
    if (child == 0) ::_exit(0);
    ::waitpid(child, nullptr, 0);
    return child;
}

TEST(AuditTokenFrom, SizesAndSigns) {
    oslog::LogCapture logs;
    EXPECT_FALSE(auditToken(std::nullopt));
    EXPECT_TRUE(logs.entries().empty());
    EXPECT_FALSE(auditToken(std::vector<std::uint8_t>(31)));
    EXPECT_EQ(logs.messages("FilterDataProvider"), std::vector<std::string>{"audit token is incorrect size"});
    EXPECT_EQ(logs.entries().at(0).level, oslog::Level::debug);

    // auid unset, asid and pidversion negative as 32-bit values.
    proc::audit_token_t raw{{4294967295u, 501, 20, 502, 21, 77, 0xFFFFFFFFu, 0x80000000u}};
    auto t = auditToken(bytesOf(raw));
    ASSERT_TRUE(t);
    EXPECT_EQ(*t, (NFAuditToken{-1, -2147483648LL, 502, 501, 21, 4294967295LL, 20, 77}));
}

TEST(MakeProcess, ExitedProcessGetsEveryFallback) {
    ::setenv("TZ", "UTC", 1);
    ::tzset();
    NFAuditToken token{1, 2, 3, 4, 5, 6, 7, exitedChild()};
    oslog::LogCapture logs;
    NFESProcess p = makeProcess(token);
    EXPECT_EQ(p.executable.path, "<unknown>");
    EXPECT_EQ(p.ppid, -1);
    EXPECT_EQ(p.original_ppid, -1);
    EXPECT_EQ(p.parent_audit_token, token);
    EXPECT_EQ(p.start_time, "1970-01-01T00:00:00.000+0000");
    EXPECT_FALSE(p.signing_id);
    EXPECT_EQ(p.codesigning_flags, 0);
    EXPECT_FALSE(p.is_platform_binary);
    EXPECT_EQ(p.responsible_audit_token, (NFAuditToken{-1, -1, -1, -1, -1, -1, -1, -1}));
    std::string pid = std::to_string(token.pid);
    EXPECT_EQ(logs.messages("FilterDataProvider"),
              (std::vector<std::string>{
                  "unable to get process path from pid, using <unknown> - pid: " + pid,
                  "unable to get details BSD process info from pid, using default fake values - pid: " + pid,
                  "SecCodeCopyGuestWithAttributes secCode invalid: -67065",
                  "unable to get signing details from pid, using fake defaults - pid: " + pid,
              }));
    for (const auto& e : logs.entries()) EXPECT_EQ(e.level, oslog::Level::debug);
}

// A process that made a flow and exited before it was described: what was recorded of
// it stands in for /proc, but only for the process the token names.
TEST(MakeProcess, ExitedProcessFromItsRecord) {
    ::setenv("TZ", "UTC", 1);
    ::tzset();
    pid_t gone = exitedChild();
    proc::proc_bsdinfo info;
    info.pbi_pid = std::uint32_t(gone);
    info.pbi_ppid = std::uint32_t(::getpid());
    info.startTicks = 123456;
    info.pbi_start_tvsec = 1700000000;
    proc::ProcessRecord record{info, "/opt/tool/bin/tool"};
    NFAuditToken token{1, 123456, 3, 4, 5, 6, 7, gone};

    oslog::LogCapture logs;
    NFESProcess p = makeProcess(token, record);
    EXPECT_EQ(p.executable.path, "/opt/tool/bin/tool");
    EXPECT_EQ(p.ppid, ::getpid());
    EXPECT_EQ(p.original_ppid, ::getpid());
    EXPECT_EQ(p.parent_audit_token, (NFAuditToken{0, 0, 0, 0, 0, 0, 0, ::getpid()}));
    EXPECT_EQ(p.start_time, "2023-11-14T22:13:20.000+0000");
    EXPECT_EQ(p.audit_token, token);
    EXPECT_EQ(logs.messages("FilterDataProvider").front(),
              "unable to create audit token from ppid, falling back to generic audit token structure");

    // The record of another start (the pid used again), or of another pid, is not used.
    for (NFAuditToken other : {NFAuditToken{1, 99, 3, 4, 5, 6, 7, gone}, NFAuditToken{1, 123456, 3, 4, 5, 6, 7, 1}}) {
        NFESProcess q = makeProcess(other, record);
        EXPECT_NE(q.executable.path, "/opt/tool/bin/tool");
        EXPECT_NE(q.start_time, "2023-11-14T22:13:20.000+0000");
    }

    // A record of a running process tells what it ran when it made the flow; without a
    // path in it, the path comes from /proc.
    auto own = auditToken(bytesOf(*proc::auditTokenForPid(::getpid())));
    auto mine = proc::proc_pidbsdinfo(::getpid());
    ASSERT_TRUE(own && mine);
    EXPECT_EQ(makeProcess(*own, proc::ProcessRecord{*mine, "/before/exec"}).executable.path, "/before/exec");
    EXPECT_EQ(makeProcess(*own, proc::ProcessRecord{*mine, std::nullopt}).executable.path,
              std::filesystem::read_symlink("/proc/self/exe").string());
}

// A path of bytes that are not UTF-8 reads the same in a flow message and in an event
// that the capture library reads from a file.
TEST(MakeProcess, PathRepairedAsTheCaptureLibraryRepairsIt) {
    pid_t gone = exitedChild();
    proc::proc_bsdinfo info;
    info.pbi_pid = std::uint32_t(gone);
    info.startTicks = 1;
    const NFAuditToken token{1, 1, 3, 4, 5, 6, 7, gone};

    const auto& cases = utf8cases::illFormed();
    fixtures::FixtureGenerator generator(3);
    std::string lines;
    for (std::size_t i = 0; i < cases.size(); ++i) {
        es::ESMessage message = generator.next();
        message.global_seq_num = std::int64_t(i);
        message.process.executable.path = "/opt/@@/tool";
        std::string line = es::encodeMessage(message);
        line.replace(line.find("@@"), 2, cases[i].bytes);
        lines += line + "\n";
    }
    const auto file = std::filesystem::temp_directory_path() / ("flowpaths-" + std::to_string(::getpid()));
    std::ofstream(file, std::ios::binary) << lines;
    std::vector<std::string> eventPaths;
    es::ESLoggerFile source(
        file, [&](es::ESMessage message) { eventPaths.push_back(message.process.executable.path); }, {},
        logging::Logger::Level::info);
    source.start();
    std::filesystem::remove(file);
    ASSERT_EQ(eventPaths.size(), cases.size());

    for (std::size_t i = 0; i < cases.size(); ++i) {
        SCOPED_TRACE(cases[i].name);
        const std::string expected = "/opt/" + cases[i].repaired + "/tool";
        const NFESProcess p = makeProcess(token, proc::ProcessRecord{info, "/opt/" + cases[i].bytes + "/tool"});
        EXPECT_EQ(p.executable.path, expected);
        EXPECT_EQ(eventPaths[i], expected);
    }
}

TEST(MakeProcess, RunningSignedProcess) {
    ::setenv("TZ", "UTC", 1);
    ::tzset();
    auto own = auditToken(bytesOf(*proc::auditTokenForPid(::getpid())));
    ASSERT_TRUE(own);
    oslog::LogCapture logs;
    FakeCodeSigning signing;
    NFESProcess p = makeProcess(*own, signing);
    EXPECT_EQ(p.codesigning_flags, 536870912);
    EXPECT_EQ(p.signing_id, "com.example.tool");
    EXPECT_FALSE(p.is_platform_binary);
    EXPECT_EQ(p.ppid, ::getppid());
    EXPECT_EQ(p.parent_audit_token, (NFAuditToken{0, 0, 0, 0, 0, 0, 0, ::getppid()}));
    EXPECT_EQ(p.executable.path, std::filesystem::read_symlink("/proc/self/exe").string());
    // Started within the last year, in whole seconds.
    auto start = qm::parseInternetDateTime(p.start_time);
    ASSERT_TRUE(start) << p.start_time;
    EXPECT_LE(start->seconds, std::time(nullptr));
    EXPECT_EQ(start->nanoseconds, 0);
    EXPECT_EQ(logs.messages("FilterDataProvider"),
              std::vector<std::string>{
                  "unable to create audit token from ppid, falling back to generic audit token structure"});
}

TEST(CodeSigningInfo, EachMissingPieceEndsTheLookupWithItsLine) {
    struct Case {
        const char* what;
        std::function<void(FakeCodeSigning&)> change;
        std::string line;
    };
    const Case cases[] = {
        {"no guest code", [](auto& s) { s.guest = false; }, "SecCodeCopyGuestWithAttributes secCode invalid: -1"},
        {"no static code", [](auto& s) { s.staticCode = false; }, "SecCodeCopyStaticCode secStaticCode invalid:  -2"},
        {"no signing information", [](auto& s) { s.info = false; },
         "SecCodeCopySigningInformation signingInfo invalid:  -3"},
        {"no certificate chain", [](auto& s) { s.certificates.reset(); }, "signingInfo certificates invalid"},
        {"no identifier", [](auto& s) { s.identifier.reset(); }, "signingInfo codeId invalid"},
    };
    for (const Case& c : cases) {
        FakeCodeSigning signing;
        c.change(signing);
        oslog::LogCapture logs;
        EXPECT_FALSE(codeSigningInfo(1, signing)) << c.what;
        EXPECT_EQ(logs.messages("FilterDataProvider"), std::vector<std::string>{c.line}) << c.what;
    }
}

TEST(CodeSigningInfo, EveryPlatformCertificateIsNoted) {
    FakeCodeSigning signing;
    signing.certificates = std::vector<sec::SecCertificate>{
        {"Apple Code Signing Certification Authority"}, {std::nullopt}, {"apple code signing"}, {"Apple Code Signing"}};
    oslog::LogCapture logs;
    auto facts = codeSigningInfo(1, signing);
    ASSERT_TRUE(facts);
    EXPECT_TRUE(facts->isPlatformBinary);
    EXPECT_EQ(facts->flags, 536870912);
    EXPECT_EQ(logs.messages("FilterDataProvider"),
              (std::vector<std::string>{"found platform binary", "found platform binary"}));
}

}  // namespace
