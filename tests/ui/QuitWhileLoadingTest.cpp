// Closing the window while a file loads, then ending the process: no abort, whether the
// close comes at once or later in the load, with one decode thread or several.
#include <gtest/gtest.h>

#include <spawn.h>
#include <sys/wait.h>

#include <fstream>
#include <string>

#include "FixtureGenerator.h"
#include "UiTestSupport.h"

extern char** environ;

namespace {

int runChild(const std::vector<std::string>& args) {
    std::vector<char*> argv;
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    pid_t pid = 0;
    if (posix_spawn(&pid, argv[0], nullptr, nullptr, argv.data(), environ) != 0) return -1;
    int status = 0;
    if (waitpid(pid, &status, 0) != pid) return -1;
    return status;
}

TEST(QuitWhileLoading, ClosingTheWindowMidLoadEndsTheProcessNormally) {
    uitest::TempDir dir;
    {
        fixtures::FixtureGenerator generator(41);
        std::ofstream out(dir / "big.jsonl", std::ios::binary);
        for (int i = 0; i < 60000; ++i) out << generator.nextLine() << '\n';
    }
    for (int closeAfter : {0, 100, 300})
        for (int threads : {1, 8})
            for (int round = 0; round < 3; ++round) {
                const int status = runChild({QM_QUIT_CHILD, (dir / "big.jsonl").string(), std::to_string(closeAfter),
                                             std::to_string(threads)});
                EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
                    << "close after " << closeAfter << " ms, " << threads << " decode threads, round " << round
                    << ": status " << status << (WIFSIGNALED(status) ? " (signal " + std::to_string(WTERMSIG(status)) + ")" : "");
            }
}

}  // namespace
