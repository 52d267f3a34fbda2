#include "RefusalLog.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace {

using namespace std::chrono_literals;
using xpc::RefusalLog;
using Line = RefusalLog::Line;

const RefusalLog::Clock::time_point t0 = RefusalLog::Clock::time_point{} + 1h;

TEST(RefusalLog, TheFirstRefusalAtOnceTheRestWhenTheMinuteEnds) {
    RefusalLog log;
    EXPECT_EQ(log.note(7, 1000, "why", t0), (Line{7, 1000, "why", 1}));
    EXPECT_FALSE(log.nextDue()) << "nothing waits";
    for (int i = 1; i < 200; ++i) EXPECT_FALSE(log.note(7, 1000, "why", t0 + i * 10ms));
    EXPECT_EQ(log.nextDue(), t0 + 1min);
    EXPECT_TRUE(log.due(t0 + 59s).empty());
    // The count of the flood, although no refusal came after the minute.
    EXPECT_EQ(log.due(t0 + 1min), (std::vector<Line>{{7, 1000, "why", 199}}));
    EXPECT_FALSE(log.nextDue());

    // Refusals right after a line wait for the end of the next minute.
    EXPECT_FALSE(log.note(7, 1000, "other", t0 + 61s));
    EXPECT_EQ(log.nextDue(), t0 + 2min);
    // A refusal after the minute, before the timer ran, is written with the waiting ones.
    EXPECT_EQ(log.note(7, 1000, "other", t0 + 2min + 1s), (Line{7, 1000, "other", 2}));
    EXPECT_TRUE(log.due(t0 + 3min + 1s).empty());

    // Quiet for a minute: the next refusal is written at once again.
    EXPECT_EQ(log.note(7, 1000, "why", t0 + 4min), (Line{7, 1000, "why", 1}));
}

TEST(RefusalLog, ProcessesPastTheLimitAreCountedTogetherAndNothingIsLostAtTheEnd) {
    RefusalLog log;
    for (pid_t pid = 1; pid <= pid_t(RefusalLog::kMaxProcesses); ++pid) EXPECT_TRUE(log.note(pid, 1, "w", t0));
    EXPECT_EQ(log.note(5000, 1, "w", t0 + 1s), (Line{-1, 1, "w", 1}));
    EXPECT_FALSE(log.note(5001, 1, "w", t0 + 2s));
    EXPECT_FALSE(log.note(3, 1, "w", t0 + 3s));
    // Once their minute is over, quiet processes make room for new ones.
    EXPECT_EQ(log.note(6000, 2, "w", t0 + 2min), (Line{6000, 2, "w", 1}));

    auto rest = log.flush();
    std::sort(rest.begin(), rest.end(), [](const Line& a, const Line& b) { return a.pid < b.pid; });
    EXPECT_EQ(rest, (std::vector<Line>{{-1, 1, "w", 1}, {3, 1, "w", 1}}));
    EXPECT_FALSE(log.nextDue());
}

}  // namespace
