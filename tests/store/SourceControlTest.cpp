// The life of event sources without a window: what is current, when a load's end is
// told, that a stop right after Follow leaves no tail, and that nothing of a source
// reaches its owner once the owner has gone.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <mutex>
#include <thread>

#include "ChildProcesses.h"
#include "ESLoggerFile.h"
#include "ESLoggerTail.h"
#include "FixtureGenerator.h"
#include "SourceControl.h"
#include "StoreTestSupport.h"

using qm::SourceControl;
using End = SourceControl::End;
using storetest::eventually;

namespace {

// What the owner's hooks saw, and whether any ran once the owner had gone. Held by the
// hooks, so it outlives the work that may call them.
struct Seen {
    std::mutex mutex;
    std::atomic<int> events{0};
    std::atomic<int> eventsAtEnd{-1};  // events when the last end was told
    std::vector<End> ends;
    std::vector<SourceControl::Notice> notices;
    std::atomic<bool> ownerGone{false};
    std::atomic<int> afterOwner{0};

    void hook() {
        if (ownerGone) ++afterOwner;
    }
    std::vector<End> endsSoFar() {
        std::lock_guard lock(mutex);
        return ends;
    }
};

SourceControl::Hooks hooksFor(const std::shared_ptr<Seen>& seen) {
    return {.event = [seen](es::ESMessage&&) { seen->hook(), ++seen->events; },
            .ended =
                [seen](End end) {
                    seen->hook();
                    seen->eventsAtEnd = seen->events.load();
                    std::lock_guard lock(seen->mutex);
                    seen->ends.push_back(end);
                },
            .alert =
                [seen](SourceControl::Notice notice, std::function<void()> closed) {
                    seen->hook();
                    {
                        std::lock_guard lock(seen->mutex);
                        seen->notices.push_back(std::move(notice));
                    }
                    if (closed) closed();
                }};
}

struct TempFile {
    std::filesystem::path path;
    explicit TempFile(std::size_t lines, const char* name = "events.jsonl") {
        std::string pattern = (std::filesystem::temp_directory_path() / "qm-sources-XXXXXX").string();
        path = std::filesystem::path(mkdtemp(pattern.data())) / name;
        fixtures::FixtureGenerator generator(4);
        std::ofstream out(path, std::ios::binary);
        for (std::size_t i = 0; i < lines; ++i) out << generator.nextLine() << '\n';
    }
    ~TempFile() { std::filesystem::remove_all(path.parent_path()); }
};

TEST(SourceControl, ALoadEndsOnceAndStaysCurrent) {
    const TempFile file(200);
    auto seen = std::make_shared<Seen>();
    SourceControl sources(hooksFor(seen));
    EXPECT_FALSE(sources.stop());  // no source: nothing told
    sources.open(file.path);
    ASSERT_NE(dynamic_cast<es::ESLoggerFile*>(sources.current().get()), nullptr);  // current at once
    ASSERT_TRUE(eventually([&] { return seen->endsSoFar().size() == 1; }));
    EXPECT_EQ(seen->endsSoFar(), std::vector<End>{End::loaded});
    EXPECT_EQ(seen->events, 200);
    EXPECT_NE(sources.current(), nullptr);
    sources.dropFileSource();
    EXPECT_EQ(sources.current(), nullptr);
}

TEST(SourceControl, AStoppedLoadIsToldEndedOnlyOnceItsSourceHasEnded) {
    const TempFile file(30000);
    for (unsigned threads : {1u, 8u}) {
        SCOPED_TRACE(threads);
        auto seen = std::make_shared<Seen>();
        SourceControl sources(hooksFor(seen));
        sources.setDecodeThreads(threads);
        sources.open(file.path);
        std::weak_ptr<es::ESLogger> source = sources.current();
        ASSERT_TRUE(eventually([&] { return seen->events > 0; }));
        EXPECT_TRUE(sources.stop());
        EXPECT_EQ(sources.current(), nullptr);
        ASSERT_TRUE(eventually([&] { return seen->endsSoFar().size() == 2; }));
        // The load's own end first (its start returned), then the stop's.
        EXPECT_EQ(seen->endsSoFar(), (std::vector<End>{End::loaded, End::stopped}));
        ASSERT_TRUE(eventually([&] { return source.expired(); }));  // no work holds it any more
    }
}

TEST(SourceControl, StopRightAfterFollowLeavesNoTailRunning) {
    const TempFile file(3, "live.jsonl");
    for (int round = 0; round < 5; ++round) {
        SCOPED_TRACE(round);
        auto seen = std::make_shared<Seen>();
        SourceControl sources(hooksFor(seen));
        sources.follow(file.path, true);
        ASSERT_NE(dynamic_cast<es::ESLoggerTail*>(sources.current().get()), nullptr);
        std::weak_ptr<es::ESLogger> source = sources.current();
        EXPECT_TRUE(sources.stop());
        ASSERT_TRUE(eventually([&] { return seen->endsSoFar() == std::vector<End>{End::stopped}; }));
        ASSERT_TRUE(eventually([&] { return source.expired(); }));
        EXPECT_EQ(childprocs::running("tail", file.path), 0);
        EXPECT_LE(seen->events, 3);  // what tail passed on before it was stopped
    }
}

TEST(SourceControl, AFollowedLineWithoutItsLineFeedReachesTheOwnerAtStop) {
    const TempFile file(2, "live.jsonl");
    const std::string last = fixtures::FixtureGenerator(9).nextLine();
    std::ofstream(file.path, std::ios::app | std::ios::binary) << last;  // no line feed
    const std::size_t size = std::filesystem::file_size(file.path);
    auto seen = std::make_shared<Seen>();
    SourceControl sources(hooksFor(seen));
    sources.follow(file.path, false);
    // Once tail has written the whole file, all of it reaches the source before tail ends.
    ASSERT_TRUE(eventually([&] { return childprocs::written("tail", file.path) >= size; }));
    ASSERT_TRUE(eventually([&] { return seen->events == 2; }));  // the last line waits for its line feed
    EXPECT_TRUE(sources.stop());
    ASSERT_TRUE(eventually([&] { return seen->endsSoFar() == std::vector<End>{End::stopped}; }));
    EXPECT_EQ(seen->eventsAtEnd.load(), 3);  // before the stop's end was told
}

TEST(SourceControl, NothingReachesTheOwnerOnceItHasGoneAndTheWorkEnds) {
    const TempFile file(30000);
    for (bool tail : {false, true}) {
        SCOPED_TRACE(tail);
        auto seen = std::make_shared<Seen>();
        auto sources = std::make_unique<SourceControl>(hooksFor(seen));
        if (tail) sources->follow(file.path, false);
        else sources->open(file.path);
        std::weak_ptr<es::ESLogger> source = sources->current();
        ASSERT_TRUE(eventually([&] { return seen->events > 0; }));
        sources.reset();
        seen->ownerGone = true;
        SourceControl::waitForSourceWork();
        EXPECT_TRUE(source.expired());
        EXPECT_EQ(childprocs::running("tail", file.path), 0);
        EXPECT_EQ(seen->afterOwner, 0);
    }
}

}  // namespace
