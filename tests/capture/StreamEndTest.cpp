// A line that a stream has not ended yet: the tail and live sources judge it when its
// line ends or when the stream ends (stop, the child's end), never before, so a followed
// file and a live capture give the file source's events, errors and counts on the same
// bytes, whatever the timing of the reads.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <functional>
#include <random>
#include <set>
#include <thread>

#include "CaptureTestSupport.h"
#include "ESLoggerTail.h"

using namespace capturetest;
using es::ESLogger;
using es::ESLoggerTail;

namespace {

// Waits until done() holds; false when it never did.
template <class F>
bool pollUntil(F&& done) {
    const auto start = std::chrono::steady_clock::now();
    while (!done()) {
        if (std::chrono::steady_clock::now() - start > hangGuard) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

// The global_seq_num of each event an outcome holds.
std::vector<std::int64_t> numbers(const Outcome& outcome) {
    std::vector<std::int64_t> out;
    for (const auto& event : outcome.events) out.push_back(es::decodeMessage(event).value().global_seq_num);
    return out;
}

// A tail source that tells how many bytes its tail child has written: once tail has
// written a whole file, what it wrote reaches the source before tail's end, so stop()
// then loses none of it however the pipe cut it.
class CountedTail : public ESLoggerTail {
public:
    using ESLoggerTail::ESLoggerTail;
    std::size_t written() const {
        std::ifstream io("/proc/" + std::to_string(process_->pid()) + "/io");
        for (std::string key; io >> key;) {
            std::size_t value = 0;
            io >> value;
            if (key == "wchar:") return value;
        }
        return 0;
    }
};

void expectOneSerialQueue(Collector& got) {
    const auto threads = got.threads();
    for (auto id : threads) {
        EXPECT_NE(id, std::this_thread::get_id());
        EXPECT_EQ(id, threads.front());
    }
}

struct LastLineCase {
    const char* name;
    std::string last;  // the file's last line, without a line feed
};

// "L1\n" and a last line without a line feed: the tail source, stopped once tail has
// written the whole file, and the live source, whose child writes the bytes and exits, give the
// file source's events and errors.
TEST(StreamEnd, UnterminatedLastLineGivesTheFileSourcesEventsAndErrors) {
    const auto l = linesWithSequence({1, 2});
    const std::string& v = l[1];
    const std::size_t middle = v.find(",\"") + 1;  // a fold before a key, not before "{"
    const auto folded = [&](char by) { return v.substr(0, middle) + by + v.substr(middle); };
    const std::vector<LastLineCase> cases = {
        {"message", v},
        {"blank, message", " " + v},
        {"tab, message", "\t" + v},
        {"message folded by a carriage return", folded('\r')},
        {"message folded by a vertical tab", folded('\v')},
        {"message folded by a form feed", folded('\f')},
        {"number", "12345"},
        {"object without a key", R"({"schema_version":1})"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string bytes = l[0] + "\n" + c.last;
        const Outcome file = fileOutcome(bytes);
        ASSERT_FALSE(file.events.empty());
        TempDir dir;
        const auto path = dir.write("capture.jsonl", bytes);

        Collector tailGot;
        CountedTail tail(path, tailGot.events(), tailGot.errors(), Level::info, dispatch::QoS::normal, false);
        tail.start();
        ASSERT_TRUE(pollUntil([&] { return tail.written() >= bytes.size(); }));
        tail.stop();  // the last line is judged before stop returns
        const Outcome fromTail = outcomeOf(tailGot, tail);
        EXPECT_EQ(numbers(fromTail), numbers(file));
        EXPECT_EQ(fromTail.errors, file.errors);
        EXPECT_EQ(fromTail.dropped, file.dropped);
        expectOneSerialQueue(tailGot);

        Collector liveGot;
        ESLogger live({"exec"}, liveGot.events(), liveGot.errors(), Level::info, dispatch::QoS::normal,
                      standIn(dir, validList, "cat '" + path.string() + "'").string());
        live.start();
        ASSERT_TRUE(pollUntil([&] { return !live.isRunning(); }));
        live.stop();  // returns once the child's end has been handled
        const Outcome fromLive = outcomeOf(liveGot, live);
        EXPECT_EQ(numbers(fromLive), numbers(file));
        EXPECT_EQ(fromLive.errors, file.errors);
        EXPECT_EQ(fromLive.dropped, file.dropped);
        expectOneSerialQueue(liveGot);
    }
}

bool noneTwice(std::vector<std::int64_t> numbers) {
    std::sort(numbers.begin(), numbers.end());
    return std::adjacent_find(numbers.begin(), numbers.end()) == numbers.end();
}

struct TwoPartsCase {
    const char* name;
    std::string first, rest;  // written after "L1\n", and before "\nL3\n"
};

// A line written in two parts with a pause between: each part arrives in a chunk of its
// own, and the line gives what the file source gives once the line is whole. Events 1,
// 2 and 3 (A is 2), so a lost A is also a gap.
TEST(StreamEnd, LineWrittenInTwoPartsGivesTheFileSourcesEventsAndDropped) {
    const auto l = linesWithSequence({1, 2, 3});
    const std::string& a = l[1];
    const std::vector<TwoPartsCase> cases = {
        {"A, then A again", a, a},
        {"A, then text", a, "xyz"},
        {"text, then A", "abc", a},
        {"line separator, then A", "\u2028", a},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string head = l[0] + "\n" + c.first, tail = c.rest + "\n" + l[2] + "\n";
        const Outcome file = fileOutcome(head + tail);
        const Outcome stream = streamOutcome({head, tail});
        EXPECT_EQ(numbers(stream), numbers(file));
        EXPECT_EQ(stream.dropped, file.dropped);
        EXPECT_TRUE(stream.errors.empty());
        EXPECT_TRUE(noneTwice(numbers(stream)));
    }
}

// Lines that hold, join, drop and fail in every way (a raw 0x85 after an object, text
// or U+2028 before one, two objects on one line, a leading blank, a fold, a number, a
// missing key), the last without a line feed, cut into chunks at random: every cutting
// gives the file source's events, errors and eventsDropped on the same bytes.
TEST(StreamEnd, AnyChunkingGivesTheFileSourcesOutcome) {
    std::vector<std::int64_t> sequence;
    for (std::int64_t n = 1; n <= 40; ++n) sequence.push_back(n);
    const auto l = linesWithSequence(sequence);
    const std::size_t middle = l[0].find(",\"") + 1;
    const std::vector<std::function<std::string(const std::string&)>> kinds = {
        [](const std::string& v) { return v; },
        [](const std::string& v) { return v + "\x85"; },
        [](const std::string& v) { return "abc" + v; },
        [](const std::string& v) { return "\u2028" + v; },
        [](const std::string& v) { return v + v; },
        [](const std::string& v) { return " " + v; },
        [&](const std::string& v) { return v.substr(0, middle) + "\r" + v.substr(middle); },
        [](const std::string&) { return std::string("12345"); },
        [](const std::string&) { return std::string(R"({"schema_version":1})"); },
    };
    std::mt19937 random(42);
    for (int round = 0; round < 40; ++round) {
        SCOPED_TRACE(round);
        std::string text = l[0] + "\n";
        for (std::size_t i = 1; i < l.size(); ++i) text += kinds[random() % kinds.size()](l[i]) + "\n";
        if (round % 2) text.pop_back();  // the last line without its line feed
        std::vector<std::string> chunks;
        for (std::size_t at = 0; at < text.size();) {
            const std::size_t size = 1 + random() % (round % 4 < 2 ? 64 : 3000);
            chunks.push_back(text.substr(at, size));
            at += size;
        }
        const Outcome file = fileOutcome(text), stream = streamOutcome(chunks);
        ASSERT_EQ(numbers(stream), numbers(file));
        EXPECT_EQ(stream.events, file.events);
        EXPECT_EQ(stream.errors, file.errors);
        EXPECT_EQ(stream.dropped, file.dropped);
    }
}

// The same through the real tail: the rest is appended once tail has passed the first
// part on, and tail is stopped once the line after it has arrived.
TEST(StreamEnd, RealTailJoinsALineWrittenInTwoParts) {
    const auto l = linesWithSequence({1, 2, 3});
    const std::string head = l[0] + "\n" + l[1], rest = l[1] + "\n" + l[2] + "\n";
    const Outcome file = fileOutcome(head + rest);
    ASSERT_EQ(numbers(file), (std::vector<std::int64_t>{1, 3}));
    ASSERT_EQ(file.dropped, 2);

    TempDir dir;
    const auto path = dir.write("growing.jsonl", head);
    Collector got;
    ESLoggerTail tail(path, got.events(), got.errors(), Level::info, dispatch::QoS::normal, true);
    tail.start();
    ASSERT_TRUE(pollUntil([&] { return tail.eventsSeen() >= 2; }));  // L1 and the first part
    std::ofstream(path, std::ios::app | std::ios::binary) << rest << std::flush;
    ASSERT_TRUE(got.waitUntil([](const auto& events, const auto&) {
        return std::any_of(events.begin(), events.end(), [](const auto& m) { return m.global_seq_num == 3; });
    }));
    tail.stop();
    EXPECT_EQ(got.sequence(), (std::vector<std::int64_t>{1, 3}));
    EXPECT_EQ(tail.eventsDropped(), file.dropped);
    EXPECT_TRUE(got.errorList().empty());
}

}  // namespace
