// Output chunks of a child cut anywhere: every event of every kind arrives once and in
// order whatever the cutting, a line cut before a nested "{" is joined, held fragments
// and cut characters give the file source's events and counts on the same bytes, and
// the nesting follower that saves parses tells a whole value from one that can never be.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>

#include "CaptureTestSupport.h"
#include "CaptureText.h"
#include "ESLoggerFile.h"
#include "IllFormedUTF8.h"

using namespace capturetest;
using es::ESLogger;

namespace {

// One line of every event kind in the shapes of real captures, numbered 1, 2, ...,
// and exec lines whose arguments hold JSON text, braces, escapes and characters of
// two, three and four bytes.
std::vector<std::string> everyKindLines() {
    fixtures::FixtureGenerator generator(11);
    const fixtures::LineShape shapes[] = {
        {},
        {.shuffledKeys = true, .unknownKeys = true},
        {.shuffledKeys = true, .unknownKeys = true, .version10 = true},
    };
    std::vector<es::ESMessage> messages;
    for (std::size_t tag = 0; tag < es::ESEvent::caseCount; ++tag) messages.push_back(generator.next(tag));
    for (const auto& args : std::vector<std::vector<std::string>>{
             {"/usr/bin/python3", "-c", R"({"event":{"a":[1,{"b":"}"}]},"c":"\u00e9"})", "{", "}{", "\"{\""},
             {"/bin/echo", "caf\u00e9 \u20ac \U0001F600", "tab\tquote\"backslash\\", "\u2028\u0085", "{\"x\":"}}) {
        auto message = generator.next(*es::eventTagOfKey("exec"));
        auto exec = *message.event.get<es::ESEvent_exec>();
        exec.args = args;
        exec.target.executable.path = "/Applications/Caf\u00e9 \u20ac.app/{odd}";
        message.event = es::ESEvent(std::move(exec));
        messages.push_back(std::move(message));
    }
    std::vector<std::string> lines;
    for (std::size_t i = 0; i < messages.size(); ++i) {
        messages[i].global_seq_num = static_cast<std::int64_t>(i) + 1;
        lines.push_back(generator.shapeLine(es::encodeMessage(messages[i]), shapes[i % std::size(shapes)]));
    }
    return lines;
}

// What a line gives when it is decoded whole, written again.
std::string canonical(const std::string& line) {
    return es::encodeMessage(es::decodeMessage(line).value());
}

TEST(StreamCut, EveryKindCutAtEveryByteIntoTwoChunksArrivesOnce) {
    const auto lines = everyKindLines();
    Collector got;
    ChunkSource source("/nonexistent", got.events(), got.errors(), Level::info);
    std::vector<std::string> expected;
    for (const auto& line : lines) {
        // Cut at every byte: inside keys, strings, escapes and characters, before each
        // nested "{" and right before the line feed.
        for (std::size_t cut = 1; cut <= line.size(); ++cut) {
            source.handleStdout(line.substr(0, cut));
            source.handleStdout(line.substr(cut) + "\n");
            expected.push_back(canonical(line));
        }
    }
    const auto events = got.eventList();
    ASSERT_EQ(events.size(), expected.size());
    for (std::size_t i = 0; i < events.size(); ++i)
        ASSERT_EQ(es::encodeMessage(events[i]), expected[i]) << "event " << i;
    EXPECT_EQ(source.eventsDropped(), 0);
    EXPECT_TRUE(got.errorList().empty());
}

TEST(StreamCut, RandomCuttingsIntoThreeAndManyChunksLoseNothing) {
    const auto lines = everyKindLines();
    const std::string text = joinLines(lines);
    std::vector<std::int64_t> numbers;
    for (std::size_t i = 1; i <= lines.size(); ++i) numbers.push_back(static_cast<std::int64_t>(i));
    std::mt19937 random(26);
    for (int round = 0; round < 60; ++round) {
        // Two cuts (three chunks) or many; the many of every size down to single bytes.
        const std::size_t cuts = round % 2 ? 2 : 1 + random() % (round < 20 ? text.size() / 8 : 400);
        std::vector<std::size_t> at;
        for (std::size_t i = 0; i < cuts; ++i) at.push_back(1 + random() % (text.size() - 1));
        std::sort(at.begin(), at.end());
        at.push_back(text.size());
        SCOPED_TRACE(::testing::Message() << "round " << round << ", " << at.size() << " chunks");

        Collector got;
        ChunkSource source("/nonexistent", got.events(), got.errors(), Level::info);
        std::size_t from = 0;
        for (std::size_t to : at) {
            source.handleStdout(text.substr(from, to - from));
            from = to;
        }
        ASSERT_EQ(got.sequence(), numbers);
        EXPECT_EQ(source.eventsDropped(), 0);
        EXPECT_TRUE(got.errorList().empty());
    }
}

struct ChunksCase {
    const char* name;
    std::vector<std::string> chunks;
    std::vector<std::int64_t> sequence;
    std::int64_t dropped;
};

// Each case also gives what the file source gives on the same bytes: a line is judged
// as a whole once it ends, however its parts came.
TEST(StreamCut, HeldFragmentsAndCutCharactersBetweenChunks) {
    const auto l = linesWithSequence({1, 2, 3});
    const std::string nested = R"({"event":{)";  // where a line is cut before a nested object
    const std::size_t inner = l[1].find(R"("event":{)") + 8;
    ASSERT_GT(inner, 20u);
    const std::string broken = l[0].substr(0, 50);  // a line never finished
    const std::size_t inPath = l[0].find("\"path\":\"") + 10;  // inside a string
    const std::vector<ChunksCase> cases = {
        {"cut right before a nested object", {l[0] + "\n" + l[1].substr(0, inner), l[1].substr(inner) + "\n" + l[2] + "\n"},
         {1, 2, 3}, 0},
        // The unfinished line and the one after it are one line, held and then dropped
        // (and 2 is a gap), whether or not a chunk ended between them.
        {"broken line, then a new line in the next chunk", {l[0] + "\n" + broken, l[1] + "\n" + l[2] + "\n"},
         {1, 3}, 2},
        {"broken line, then a new line spread over the next chunks",
         {l[0] + "\n" + broken, l[1].substr(0, 20), l[1].substr(20, inner - 20), l[1].substr(inner) + "\n"}, {1}, 0},
        {"broken line before a new line in one chunk: one dropped", {broken + "\n", l[1] + "\n"}, {2}, 1},
        {"broken line before a new line cut after its first byte",
         {broken + "\n", l[1].substr(0, 1), l[1].substr(1) + "\n"}, {2}, 1},
        {"broken line that goes on with a broken object: held",
         {broken, nested + "\n", l[2] + "\n"}, {3}, 1},
        {"blanks after a whole line in the next chunk", {l[0] + " ", "  \n" + l[1] + "\n"}, {1, 2}, 0},
        // The replacement character begins the next line, which is held as a fragment.
        {"stray start of a character after a line feed", {l[0] + "\n\xE2\x82", l[1] + "\n" + l[2] + "\n"},
         {1, 3}, 2},
        {"stray start of a character inside a string: replaced there",
         {l[0].substr(0, inPath) + "\xF0\x9F", l[0].substr(inPath) + "\n"}, {1}, 0},
        {"character cut twice", {l[0] + "\n\xF0", "\x9F", "\x98", "\x80\n" + l[1] + "\n"}, {1, 2}, 1},
        {"cut between carriage return and line feed", {l[0] + "\r", "\n" + l[1] + "\r\n"}, {1, 2}, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Collector got;
        ChunkSource source("/nonexistent", got.events(), got.errors(), Level::info);
        for (const auto& chunk : c.chunks) source.handleStdout(chunk);
        EXPECT_EQ(got.sequence(), c.sequence);
        EXPECT_EQ(source.eventsDropped(), c.dropped);
        EXPECT_TRUE(got.errorList().empty());

        std::string bytes;
        for (const auto& chunk : c.chunks) bytes += chunk;
        const Outcome file = fileOutcome(bytes), stream = streamOutcome(c.chunks);
        EXPECT_EQ(stream.events, file.events);
        EXPECT_EQ(stream.dropped, file.dropped);
    }
}

// Lines whose path holds ill-formed UTF-8 of every class, cut into two chunks at every
// byte and into three at every two bytes around the bad ones: the stream gives the
// file source's texts, one U+FFFD per maximal ill-formed subpart.
TEST(StreamCut, IllFormedUTF8CutAnywhereIsRepairedAsTheFileSourceRepairsIt) {
    fixtures::FixtureGenerator generator(5);
    for (const auto& c : utf8cases::illFormed()) {
        SCOPED_TRACE(c.name);
        es::ESMessage message = generator.next();
        message.process.executable.path = "/opt/@@/tool";
        std::string line = es::encodeMessage(message);
        const std::size_t bad = line.find("@@");
        line.replace(bad, 2, c.bytes);
        const std::string text = line + "\n";

        const Outcome file = fileOutcome(text);
        ASSERT_EQ(file.events.size(), 1u);
        EXPECT_EQ(es::decodeMessage(file.events[0]).value().process.executable.path, "/opt/" + c.repaired + "/tool");
        for (std::size_t cut = 1; cut < text.size(); ++cut) {
            const Outcome stream = streamOutcome({text.substr(0, cut), text.substr(cut)});
            ASSERT_EQ(stream.events, file.events) << "cut at " << cut;
        }
        for (std::size_t first = bad - 1; first <= bad + c.bytes.size(); ++first)
            for (std::size_t second = first + 1; second <= bad + c.bytes.size() + 1; ++second) {
                const Outcome stream = streamOutcome(
                    {text.substr(0, first), text.substr(first, second - first), text.substr(second)});
                ASSERT_EQ(stream.events, file.events) << "cut at " << first << " and " << second;
            }
    }
}

// Lines that are not messages (numbers, literals, log text, objects without a key),
// cut between chunks: a line is judged only when it ends, so the errors, the events and
// the events dropped are the file source's on the same bytes. A line that ends the
// output without a line feed is judged at the output's end, as the file source judges
// a last line.
TEST(StreamCut, CutLinesThatAreNotMessagesGiveTheFileSourcesErrorsAndCounts) {
    const auto l = linesWithSequence({1, 2, 3});
    const std::string digits(100000, '7');
    std::vector<std::string> digitChunks{l[0] + "\n"};
    for (std::size_t at = 0; at < digits.size(); at += 4096) digitChunks.push_back(digits.substr(at, 4096));
    digitChunks.push_back("\n" + l[1] + "\n");
    const std::vector<std::pair<const char*, std::vector<std::string>>> cases = {
        {"number cut in two", {l[0] + "\n17338", "50000 host x: started\n" + l[1] + "\n"}},
        {"number cut in three places", {l[0] + "\n12", "3", "4", "5\n" + l[1] + "\n"}},
        {"number cut right before its line feed", {l[0] + "\n12345", "\n" + l[1] + "\n"}},
        {"literal cut", {l[0] + "\ntr", "ue\n" + l[1] + "\n"}},
        {"log text cut", {l[0] + "\n2026-12-10 13:00:01 ", "started\r\n", l[1] + "\n"}},
        {"object without a key cut", {l[0] + "\n{\"schema_version\":", "1}\n" + l[1] + "\n"}},
        {"object with a wrong value cut", {l[0] + "\n{\"schema_version\":\"", "1\"}\n" + l[1] + "\n"}},
        {"line of digits over many chunks", digitChunks},
        {"cut number, then a cut message", {l[0] + "\n1", "2\n" + l[1].substr(0, 30), l[1].substr(30) + "\n"}},
        {"number held as a fragment part, then its line", {"12", "\v34\n" + l[1] + "\n"}},
        {"message at the end without a line feed", {l[0] + "\n" + l[1].substr(0, 40), l[1].substr(40)}},
        {"message, blanks, line feed", {l[0] + "\n" + l[1], "  ", " \n" + l[2] + "\n"}},
    };
    for (const auto& [name, chunks] : cases) {
        SCOPED_TRACE(name);
        std::string bytes;
        for (const auto& chunk : chunks) bytes += chunk;
        if (!bytes.starts_with('{')) bytes.insert(0, l[0] + "\n");  // the file source wants "{" first
        const Outcome file = fileOutcome(bytes);
        std::vector<std::string> streamChunks = chunks;
        if (!chunks.front().starts_with('{')) streamChunks.insert(streamChunks.begin(), l[0] + "\n");
        const Outcome stream = streamOutcome(streamChunks);
        EXPECT_EQ(stream.events, file.events);
        EXPECT_EQ(stream.errors, file.errors);
        EXPECT_EQ(stream.dropped, file.dropped);
    }
}

struct NestingCase {
    const char* name;
    std::vector<std::string> parts;
    std::vector<bool> mayBeWhole;  // what feed says after each part
};

TEST(JSONNesting, TellsAWholeValueFromOneThatCanNeverBe) {
    const std::vector<NestingCase> cases = {
        {"object in parts", {"{\"a\":", "{\"b\":1}", "}", "  ", "x"}, {false, false, true, false, false}},
        {"braces inside strings", {"{\"a\":\"}{\\\"", "\"}"}, {false, true}},
        {"closer too many", {"}", "{}"}, {false, false}},
        {"string at the top", {"\"ab", "c\"", " "}, {false, true, false}},
        {"literal in parts", {"tr", "ue"}, {false, true}},
        {"literal gone wrong", {"tr", "ux", "e"}, {false, false, false}},
        {"number, blank, then text", {"1", " ", "x", "1"}, {true, false, false, false}},
        {"log line", {"2026-12-10 13:00:01 started", " again"}, {false, false}},
        {"number grammar", {"-", "0", ".", "5", "e", "+", "12"}, {false, true, false, true, false, false, true}},
        {"leading zero", {"0", "1"}, {true, false}},
        {"word of letters", {"null", "ish", "null"}, {true, false, false}},
        {"text that no value starts", {"x", "{}"}, {false, false}},
        {"nothing but blanks", {"  ", " "}, {false, false}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        es::capture::JSONNesting nesting;
        std::vector<bool> said;
        for (const auto& part : c.parts) said.push_back(nesting.feed(part));
        EXPECT_EQ(said, c.mayBeWhole);
    }
}

}  // namespace
