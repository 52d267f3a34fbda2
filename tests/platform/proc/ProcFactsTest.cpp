#include "AuditToken.h"
#include "CodeSigning.h"
#include "ProcInfo.h"

#include <gtest/gtest.h>

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

TEST(CodeSigning, SystemLookupFindsNoGuestCode) {
    std::optional<sec::SecCode> code;
    EXPECT_EQ(sec::systemCodeSigning().copyGuestWithPid(::getpid(), code), sec::errSecCSNoSuchCode);
    EXPECT_FALSE(code);
}

}  // namespace
