#include "AuditToken.h"
#include "CodeSigning.h"
#include "ProcInfo.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <ctime>
#include <filesystem>

namespace {

pid_t exitedChild() {
    pid_t child = ::fork();
    if (child == 0) ::_exit(0);
    int status = 0;
    ::waitpid(child, &status, 0);
    return child;
}

TEST(AuditToken, OwnTokenFromProc) {
    auto t = proc::auditTokenForPid(::getpid());
    ASSERT_TRUE(t);
    EXPECT_EQ(proc::audit_token_to_pid(*t), ::getpid());
    EXPECT_EQ(proc::audit_token_to_euid(*t), ::geteuid());
    EXPECT_EQ(proc::audit_token_to_ruid(*t), ::getuid());
    EXPECT_EQ(proc::audit_token_to_egid(*t), ::getegid());
    EXPECT_EQ(proc::audit_token_to_rgid(*t), ::getgid());
    // Same process, same start time: the same token every time.
    EXPECT_EQ(proc::auditTokenForPid(::getpid()), t);
    EXPECT_FALSE(proc::auditTokenForPid(exitedChild()));
}

TEST(AuditToken, BytesRoundTripInKernelOrder) {
    proc::audit_token_t t{{4294967295u, 1, 2, 3, 4, 5, 0xFFFFFFFEu, 7}};
    auto bytes = proc::tokenBytes(t);
    auto back = proc::tokenFromBytes(bytes);
    ASSERT_TRUE(back);
    EXPECT_EQ(*back, t);
    EXPECT_EQ(proc::audit_token_to_auid(t), 4294967295u);
    EXPECT_EQ(proc::audit_token_to_asid(t), -2);  // signed
    EXPECT_EQ(proc::audit_token_to_pid(t), 5);
    EXPECT_FALSE(proc::tokenFromBytes(std::span(bytes).first(20)));
}

TEST(ProcInfo, RunningAndExitedProcesses) {
    EXPECT_EQ(proc::proc_pidpath(::getpid()), std::filesystem::read_symlink("/proc/self/exe").string());
    auto info = proc::proc_pidbsdinfo(::getpid());
    ASSERT_TRUE(info);
    EXPECT_EQ(info->pbi_ppid, std::uint32_t(::getppid()));
    auto now = std::uint64_t(std::time(nullptr));
    EXPECT_LE(info->pbi_start_tvsec, now);
    EXPECT_GT(info->pbi_start_tvsec, now - 24 * 3600 * 365);

    pid_t gone = exitedChild();
    EXPECT_FALSE(proc::proc_pidpath(gone));
    EXPECT_FALSE(proc::proc_pidbsdinfo(gone));
}

// A process may name itself anything: the stat fields after the name still read.
TEST(ProcInfo, NamesWithLineBreaksAndParentheses) {
    for (const char* name : {"a\nb", "x) 1 2 (y", ")", "\n\n"}) {
        int ready[2];
        ASSERT_EQ(::pipe(ready), 0);
        pid_t child = ::fork();
        if (child == 0) {
            ::prctl(PR_SET_NAME, name);
            [[maybe_unused]] ssize_t n = ::write(ready[1], "x", 1);
            ::pause();
            ::_exit(0);
        }
        char c;
        ASSERT_EQ(::read(ready[0], &c, 1), 1);
        auto info = proc::proc_pidbsdinfo(child);
        EXPECT_TRUE(info && info->pbi_ppid == std::uint32_t(::getpid())) << name;
        auto token = proc::auditTokenForPid(child);
        EXPECT_TRUE(token && proc::audit_token_to_pid(*token) == child) << name;
        ::kill(child, SIGKILL);
        ::waitpid(child, nullptr, 0);
        ::close(ready[0]);
        ::close(ready[1]);
    }
}

// The kernel marks the link of an executable removed since with " (deleted)"; the path
// is the file's without it, and a file really named so keeps its name.
TEST(ProcInfo, PathOfADeletedExecutable) {
    char tmpl[] = "/tmp/qm-procinfo-XXXXXX";
    ASSERT_TRUE(::mkdtemp(tmpl));
    std::filesystem::path dir = tmpl;
    for (std::string name : {"sleeper", "sleeper (deleted)"}) {
        std::filesystem::path exe = dir / name;
        std::filesystem::copy_file("/bin/sleep", exe);
        pid_t child = ::fork();
        if (child == 0) {
            ::execl(exe.c_str(), "sleep", "30", nullptr);
            ::_exit(127);
        }
        // Waits for the exec to be done before the file goes.
        while (proc::proc_pidpath(child) != exe.string()) ::usleep(1000);
        EXPECT_EQ(proc::proc_pidpath(child), exe.string()) << name;
        std::filesystem::remove(exe);
        EXPECT_EQ(proc::proc_pidpath(child), exe.string()) << name << ", removed";
        ::kill(child, SIGKILL);
        ::waitpid(child, nullptr, 0);
    }
    std::filesystem::remove_all(dir);
}

TEST(CodeSigning, SystemLookupFindsNoGuestCode) {
    std::optional<sec::SecCode> code;
    EXPECT_EQ(sec::systemCodeSigning().copyGuestWithPid(::getpid(), code), sec::errSecCSNoSuchCode);
    EXPECT_FALSE(code);
}

}  // namespace
