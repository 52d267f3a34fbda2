// Runs the real flowspur on configuration files that a user could leave at its path:
// it refuses each with one line at little cost, ends on SIGTERM however its start went,
// and makes no folder on the way to the file.

#include <gtest/gtest.h>

#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <fstream>
#include <functional>
#include <iostream>
#include <set>

#include "DeepPropertyList.h"
#include "ExtensionTestSupport.h"
#include "FilterManager.h"
#include "FlowspurHarness.h"
#include "Nft.h"

namespace {

using namespace testsupport;
using flowharness::PrivateNetwork;
namespace fs = std::filesystem;

const std::string kListTable = "list table " + std::string(netext::kNftTable) + "\n";

class FlowspurConfiguration : public ::testing::Test {
protected:
    void SetUp() override {
        if (auto why = network.setUp()) {
            GTEST_SKIP() << "this machine allows no private network namespace with a veth link (" << *why
                         << "), so flowspur cannot be run without touching the machine's own network";
        }
        std::optional<bundle::Bundle> extension;
        if (auto problem = flowharness::prepareFlowspur(dir.path(), extension)) FAIL() << *problem;
        executable = extension->executablePath()->string();
    }

    void TearDown() override {
        if (HasFailure()) {
            for (const auto& entry : fs::directory_iterator(dir.path())) {
                if (entry.path().extension() != ".log") continue;
                std::ifstream log(entry.path());
                std::cerr << entry.path().filename().string() << ":\n" << log.rdbuf();
            }
        }
        netext::runNft(netext::nftRemovalScript());
    }

    pid_t start(const fs::path& configuration, const fs::path& log) {
        return flowharness::spawn(executable, {std::string(netext::kFilterConfigurationOption), configuration.string()},
                                  log);
    }

    static std::size_t linesContaining(const fs::path& log, const std::string& text) {
        std::ifstream in(log);
        std::size_t n = 0;
        for (std::string line; std::getline(in, line);) n += line.find(text) != std::string::npos;
        return n;
    }

    static long residentKB(pid_t pid) {
        std::ifstream in("/proc/" + std::to_string(pid) + "/status");
        for (std::string line; std::getline(in, line);) {
            if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
        }
        return 0;
    }

    // Waits until log holds count lines with text; false when flowspur ended first, or
    // grew past 1 GB (it is killed then: the machine is shared), or the guard passed.
    static bool waitForLines(pid_t pid, const fs::path& log, const std::string& text, std::size_t count) {
        return eventually(
            [&] {
                if (residentKB(pid) > 1024 * 1024) ::kill(pid, SIGKILL);
                siginfo_t ended{};
                ::waitid(P_PID, id_t(pid), &ended, WEXITED | WNOHANG | WNOWAIT);
                return linesContaining(log, text) >= count || ended.si_pid != 0;
            },
            60s) &&
               linesContaining(log, text) >= count;
    }

    struct Exit {
        int status = 0;
        double peakMB = 0;  // its peak resident set
    };
    // Sends SIGTERM and waits for flowspur to end; nothing when it has not within the
    // guard (it is killed then).
    static std::optional<Exit> terminate(pid_t pid) {
        ::kill(pid, SIGTERM);
        Exit exit;
        rusage usage{};
        bool ended = eventually([&] { return ::wait4(pid, &exit.status, WNOHANG, &usage) == pid; }, 60s);
        if (!ended) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, nullptr, 0);
            return std::nullopt;
        }
        exit.peakMB = double(usage.ru_maxrss) / 1024;
        return exit;
    }

    // The inodes of the folders and files that pid's inotify instances watch.
    static std::set<ino_t> watchedInodes(pid_t pid) {
        std::set<ino_t> inodes;
        const fs::path proc = "/proc/" + std::to_string(pid);
        std::error_code ec;
        for (const auto& fd : fs::directory_iterator(proc / "fd", ec)) {
            if (fs::read_symlink(fd.path(), ec).string() != "anon_inode:inotify") continue;
            std::ifstream info(proc / "fdinfo" / fd.path().filename());
            for (std::string line; std::getline(info, line);) {
                auto at = line.find(" ino:");
                if (line.rfind("inotify ", 0) == 0 && at != std::string::npos) {
                    inodes.insert(ino_t(std::stoull(line.substr(at + 5), nullptr, 16)));
                }
            }
        }
        return inodes;
    }

    PrivateNetwork network;
    TempDir dir;
    std::string executable;
};

// Each file is refused with one line, at start and when it replaces the file while
// flowspur runs; flowspur's peak memory stays near that of one that refused a short
// text, and SIGTERM ends it. Binary lists whose objects are shared stand for 14^12 and
// 2^24 values (libplist copies a shared object for every reference); a named pipe
// blocks open until a writer comes; /dev/zero never ends.
TEST_F(FlowspurConfiguration, FilesItMustRefuseCostLittleAndSIGTERMEndsIt) {
    const fs::path file = dir.path() / "filter.plist";
    const std::string unreadable = "filter configuration at " + file.string() + " cannot be read.";
    const std::string notRegular = "filter configuration at " + file.string() + " is not a regular file";
    auto writes = [](std::string bytes) {
        return [bytes](const fs::path& at) { std::ofstream(at, std::ios::binary) << bytes; };
    };
    const auto garbage = writes("not a property list");

    const struct {
        const char* what;
        std::function<void(const fs::path&)> make;
        std::string line;
    } cases[] = {
        {"shared references, 12 levels of 14", writes(plisttest::sharedReferenceBinaryPropertyList(12, 14)), unreadable},
        {"shared references, 24 levels of 2", writes(plisttest::sharedReferenceBinaryPropertyList(24, 2)), unreadable},
        {"a named pipe", [](const fs::path& at) { ::mkfifo(at.c_str(), 0600); }, notRegular},
        {"a symbolic link to /dev/zero", [](const fs::path& at) { fs::create_symlink("/dev/zero", at); }, notRegular},
        {"a folder", [](const fs::path& at) { fs::create_directory(at); }, notRegular},
    };

    // What flowspur takes when it refuses a short text.
    garbage(file);
    pid_t pid = start(file, dir.path() / "baseline.log");
    ASSERT_GT(pid, 0);
    ASSERT_TRUE(waitForLines(pid, dir.path() / "baseline.log", unreadable, 1));
    auto baseline = terminate(pid);
    ASSERT_TRUE(baseline && WIFEXITED(baseline->status) && WEXITSTATUS(baseline->status) == 0);

    for (const auto& c : cases) {
        for (bool whileRunning : {false, true}) {
            SCOPED_TRACE(std::string(c.what) + (whileRunning ? ", replacing the file while flowspur runs" : ", at start"));
            const fs::path log = dir.path() / (std::to_string(&c - cases) + (whileRunning ? "-running.log" : "-start.log"));
            fs::remove_all(file);
            std::size_t lines = 1;
            if (whileRunning) {
                // Flowspur has read the file (and watches it) once it has refused it.
                garbage(file);
                pid = start(file, log);
                ASSERT_GT(pid, 0);
                ASSERT_TRUE(waitForLines(pid, log, unreadable, 1));
                const fs::path made = dir.path() / "made";
                fs::remove_all(made);
                c.make(made);
                if (fs::is_directory(fs::symlink_status(made))) fs::remove(file);  // a folder cannot replace a file
                fs::rename(made, file);
                lines += c.line == unreadable;
            } else {
                c.make(file);
                pid = start(file, log);
                ASSERT_GT(pid, 0);
            }
            EXPECT_TRUE(waitForLines(pid, log, c.line, lines)) << "it was not refused";
            auto exit = terminate(pid);
            ASSERT_TRUE(exit) << "flowspur did not end on SIGTERM";
            EXPECT_TRUE(WIFEXITED(exit->status) && WEXITSTATUS(exit->status) == 0) << exit->status;
            EXPECT_LT(exit->peakMB - baseline->peakMB, 16) << "peak " << exit->peakMB << " MB";
            // One line each time it reads the file; the watcher may hear of the removal
            // and of the folder that took the file's place apart, after both happened.
            EXPECT_GE(linesContaining(log, c.line), lines);
            EXPECT_LE(linesContaining(log, c.line), lines + (whileRunning && c.line == notRegular));
        }
    }
}

// Started on a path through a symbolic link into a folder that is not the user's,
// flowspur makes no folder there: it watches the nearest folder that exists, and picks
// the file up once its folders appear.
TEST_F(FlowspurConfiguration, MakesNoFolderOnThePathAndFindsTheFileWhenItsFoldersAppear) {
    const fs::path rootOnly = dir.path() / "root-only";
    fs::create_directory(rootOnly);
    fs::permissions(rootOnly, fs::perms::owner_all);
    fs::create_directories(dir.path() / "home");
    fs::create_directory_symlink(rootOnly, dir.path() / "home" / ".config");
    const fs::path file = dir.path() / "home" / ".config" / "quillmark" / "deeper" / "filter.plist";

    pid_t pid = start(file, dir.path() / "flowspur.log");
    ASSERT_GT(pid, 0);
    struct stat folder {};
    ASSERT_EQ(::stat(rootOnly.c_str(), &folder), 0);
    EXPECT_TRUE(eventually([&] { return !watchedInodes(pid).empty(); })) << "flowspur watches nothing";
    EXPECT_EQ(watchedInodes(pid), std::set<ino_t>{folder.st_ino}) << "it watches the nearest folder that exists";
    EXPECT_FALSE(fs::exists(rootOnly / "quillmark")) << "it made a folder on the path";

    netext::FilterConfiguration enabled{true, netext::NEFilterProviderConfiguration{true, false}, "Quillmark"};
    ASSERT_FALSE(enabled.write(file));  // makes the folders, then the file
    EXPECT_TRUE(eventually([] { return !netext::runNft(kListTable); }, 60s)) << "flowspur never started the filter";

    auto exit = terminate(pid);
    ASSERT_TRUE(exit) << "flowspur did not end on SIGTERM";
    EXPECT_TRUE(WIFEXITED(exit->status) && WEXITSTATUS(exit->status) == 0) << exit->status;
    EXPECT_TRUE(netext::runNft(kListTable)) << "its table went with it";
}

}  // namespace
