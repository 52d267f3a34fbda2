// Saving events when it fails: memory running out at any allocation of a save, and a
// save whose process was killed. A failed save leaves the earlier file as it was, no
// file of its own and no descriptor open; the next save removes what a killed one left.
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <string>

#include "FailingAllocation.h"
#include "SaveEvents.h"
#include "StoreTestSupport.h"

namespace {

namespace fs = std::filesystem;

struct TempDir {
    fs::path path;
    TempDir() {
        std::string pattern = (fs::temp_directory_path() / "save-XXXXXX").string();
        path = ::mkdtemp(pattern.data());
    }
    ~TempDir() { fs::remove_all(path); }
    std::set<std::string> names() const {
        std::set<std::string> found;
        for (const auto& entry : fs::directory_iterator(path)) found.insert(entry.path().filename().string());
        return found;
    }
};

std::string contents(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

std::size_t openDescriptors() {
    return std::size_t(std::distance(fs::directory_iterator("/proc/self/fd"), {}));
}

std::vector<qm::EventItemPtr> events(int count) {
    std::vector<qm::EventItemPtr> list;
    for (int i = 1; i <= count; ++i)
        list.push_back(storetest::item(storetest::message(storetest::openOf("/tmp/file" + std::to_string(i)),
                                                          storetest::process("/bin/p" + std::to_string(i % 3)), i)));
    return list;
}

std::string encoded(const std::vector<qm::EventItemPtr>& list) {
    std::string text;
    for (const auto& e : list) text += es::encodeMessage(e->theEvent()) + "\n";
    return text;
}

// The save fails at each of its allocations in turn (once); whichever it is, the save
// ends with the earlier file intact and nothing of its own left, or saves in full.
TEST(SaveEvents, MemoryRunningOutAtAnyPointLeavesNothingBehind) {
    TempDir dir;
    const fs::path target = dir.path / "saved.json";
    const auto list = events(3);
    const std::string earlier = "earlier\n";
    long allocations = 0;
    {
        const failalloc::OnThisThread counting;
        ASSERT_TRUE(qm::writeEvents(target, list, nullptr).saved());
        allocations = counting.made();
    }
    ASSERT_GT(allocations, 0);
    int memoryFailures = 0;
    for (long at = 0; at < allocations; ++at) {
        SCOPED_TRACE("allocation " + std::to_string(at) + " of " + std::to_string(allocations));
        std::ofstream(target, std::ios::binary | std::ios::trunc) << earlier;
        const std::size_t descriptors = openDescriptors();
        qm::SaveResult result;
        bool failed = false;
        {
            const failalloc::OnThisThread failing(at);
            result = qm::writeEvents(target, list, [] { ADD_FAILURE() << "no event fails to encode"; });
            failed = failing.failed();
        }
        EXPECT_TRUE(failed);
        EXPECT_EQ(dir.names(), std::set<std::string>{"saved.json"});
        EXPECT_EQ(openDescriptors(), descriptors);
        if (result.saved()) {
            EXPECT_EQ(contents(target), encoded(list));
            continue;
        }
        EXPECT_EQ(contents(target), earlier);
        if (result.failedCause == "out of memory") ++memoryFailures;
        else EXPECT_EQ(result.failedOperation, "opening") << result.failedCause;
    }
    EXPECT_GT(memoryFailures, 0);
    EXPECT_TRUE(qm::writeEvents(target, list, nullptr).saved());
    EXPECT_EQ(contents(target), encoded(list));
}

// A save whose process is killed in the middle leaves its partial file beside the
// target; the next save to that target removes it, and leaves the file that a running
// save still writes and those of other targets.
TEST(SaveEvents, TheNextSaveRemovesWhatAKilledSaveLeft) {
    TempDir dir;
    const fs::path target = dir.path / "saved.json";
    const auto list = events(400);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        // Killed as kill -9 kills it, at the first write past a small file size.
        ::signal(SIGXFSZ, [](int) { ::raise(SIGKILL); });
        const rlimit small{32 << 10, 32 << 10};
        ::setrlimit(RLIMIT_FSIZE, &small);
        qm::writeEvents(target, list, nullptr);
        ::_exit(0);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << status;
    const auto left = dir.names();
    ASSERT_EQ(left.size(), 1u);
    const std::string killed = *left.begin();
    EXPECT_TRUE(killed.starts_with(".saved.json.") && killed.ends_with(".tmp")) << killed;
    EXPECT_GT(fs::file_size(dir.path / killed), 0u);

    // A file that a running save holds (its lock), and one of another target.
    const std::string running = ".saved.json.12345.tmp", other = ".other.json.7.tmp";
    const int held = ::open((dir.path / running).c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    ASSERT_GE(held, 0);
    ASSERT_EQ(::flock(held, LOCK_EX), 0);
    std::ofstream(dir.path / other) << "partial";

    ASSERT_TRUE(qm::writeEvents(target, events(3), nullptr).saved());
    EXPECT_EQ(dir.names(), (std::set<std::string>{"saved.json", running, other}));
    EXPECT_EQ(contents(target), encoded(events(3)));
    ::close(held);
}

}  // namespace
