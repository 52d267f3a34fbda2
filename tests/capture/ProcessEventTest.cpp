// Line decoding of every event source: pieces between newline characters, held
// fragments, the failure groups, gaps in global_seq_num, raw logging, output chunks cut
// inside a character, and the text form of the errors.
#include <gtest/gtest.h>

#include <limits>
#include <random>

#include "CaptureTestSupport.h"
#include "CaptureText.h"
#include "Description.h"
#include "ESLoggerFile.h"

using namespace capturetest;
using es::ESLogger;
using Error = ESLogger::Error;

namespace {

class ProcessEvent : public ::testing::Test {
protected:
    LogRecorder logs;  // before the source, whose logger it records
    Collector got;
    ChunkSource source{"/nonexistent", got.events(), got.errors(), Level::trace};
};

std::string replaced(std::string text, const std::string& from, const std::string& to) {
    auto at = text.find(from);
    EXPECT_NE(at, std::string::npos) << from;
    if (at != std::string::npos) text.replace(at, from.size(), to);
    return text;
}

TEST_F(ProcessEvent, TwoLinesInOneChunkGiveTwoEventsAndOneSkippedEmptyPiece) {
    auto lines = linesWithSequence({1, 2});
    const std::string text = joinLines(lines);
    source.processEvent(text);

    EXPECT_EQ(got.sequence(), (std::vector<std::int64_t>{1, 2}));
    EXPECT_EQ(source.eventsSeen(), 2);
    EXPECT_EQ(source.eventsDropped(), 0);
    EXPECT_EQ(source.lastGlobalSeqNum(), 2);
    EXPECT_TRUE(got.errorList().empty());
    EXPECT_EQ(logs.count("Skipping empty string"), 1u);

    auto input = logs.withMessage("ESLogger input");
    ASSERT_EQ(input.size(), 1u);
    EXPECT_EQ(input[0].level, Level::trace);
    EXPECT_EQ(input[0].metadata["data"], text);
    auto raw = logs.withMessage("Event from ESLogger");
    ASSERT_EQ(raw.size(), 2u);
    EXPECT_EQ(raw[1].level, Level::debug);
    EXPECT_EQ(raw[1].metadata["string"], lines[1]);
    auto decoded = logs.withMessage("Decoded event");
    ASSERT_EQ(decoded.size(), 2u);
    EXPECT_EQ(decoded[0].metadata["event"], es::description(es::decodeMessage(lines[0]).value()));

    for (const auto& entry : logs.entries()) {
        EXPECT_EQ(entry.label, "com.quillmark.ESLogger.ESLogger");
        EXPECT_EQ(entry.source, "ESLogger");
        EXPECT_EQ(entry.file, "ESLogger/ESLogger");
        EXPECT_EQ(entry.function, "processEvent(fromString:)");
    }
}

TEST_F(ProcessEvent, LineSeparatorsInsideAStringStayInTheEvent) {
    auto message = fixtures::FixtureGenerator(5).next(*es::eventTagOfKey("close"));
    message.process.executable.path = "/Users/alice/odd\u2028name\u0085x";
    const std::string line = es::encodeMessage(message);
    Collector got;
    ChunkSource source("/nonexistent", got.events(), got.errors(), Level::info);
    source.processEvent(line + "\n");
    ASSERT_EQ(got.eventList().size(), 1u);
    EXPECT_EQ(got.eventList()[0].process.executable.path, message.process.executable.path);
    EXPECT_TRUE(got.errorList().empty());
}

TEST_F(ProcessEvent, LineSplitAcrossTwoChunksIsJoinedIntoOneEvent) {
    const std::string line = lineWithSequence(42);
    for (std::size_t cut : {std::size_t{1}, line.size() / 2, line.size() - 1}) {
        SCOPED_TRACE(cut);
        Collector chunks;
        LogRecorder chunkLogs;
        ChunkSource split("/nonexistent", chunks.events(), chunks.errors(), Level::trace);
        split.processEvent(line.substr(0, cut));
        EXPECT_TRUE(chunks.eventList().empty());
        split.processEvent(line.substr(cut) + "\n");

        ASSERT_EQ(chunks.sequence(), std::vector<std::int64_t>{42});
        EXPECT_EQ(es::encodeMessage(chunks.eventList()[0]), line);
        EXPECT_TRUE(chunks.errorList().empty());
        EXPECT_EQ(split.eventsSeen(), 2);
        EXPECT_EQ(split.eventsDropped(), 0);
        auto combining = chunkLogs.withMessage("Combining events due to previous decode error - appending");
        ASSERT_EQ(combining.size(), 1u);
        EXPECT_EQ(combining[0].metadata["newstring"], line.substr(cut));
    }
}

TEST_F(ProcessEvent, FragmentGrowsUntilTheLineIsWhole) {
    const std::string line = lineWithSequence(5);
    const std::size_t third = line.size() / 3;
    source.processEvent(line.substr(0, third));
    source.processEvent(line.substr(third, third));
    source.processEvent(line.substr(2 * third));

    EXPECT_EQ(got.sequence(), std::vector<std::int64_t>{5});
    EXPECT_EQ(source.eventsSeen(), 3);
    EXPECT_EQ(source.eventsDropped(), 0);
    EXPECT_EQ(logs.count("JSON decode error"), 2u);
}

TEST_F(ProcessEvent, FragmentFollowedByAnObjectIsDiscardedAndCounted) {
    auto lines = linesWithSequence({1, 2});
    source.processEvent(lines[0].substr(0, 40));
    source.processEvent(lines[1] + "\n");

    EXPECT_EQ(got.sequence(), std::vector<std::int64_t>{2});
    EXPECT_EQ(source.eventsDropped(), 1);
    EXPECT_EQ(source.eventsSeen(), 2);
    EXPECT_TRUE(got.errorList().empty());
    EXPECT_EQ(logs.count("Combining events due to previous decode error - appending"), 0u);
}

TEST_F(ProcessEvent, FragmentBeforeALeadingBlankIsJoinedNotDiscarded) {
    // Only a piece whose very first character is "{" ends a held fragment.
    const std::string line = lineWithSequence(9);
    source.processEvent(line.substr(0, 20));
    source.processEvent(" " + lineWithSequence(10));
    EXPECT_TRUE(got.eventList().empty());
    EXPECT_EQ(source.eventsDropped(), 0);
    EXPECT_EQ(logs.count("JSON decode error"), 2u);
}

struct FailureCase {
    const char* name;
    std::string line;
    const char* logMessage;
    std::optional<Error> error;  // none: held as a fragment
    std::map<std::string, std::string> metadata;
};

TEST(ProcessEventFailures, EachGroupIsDroppedAndReportedOrHeld) {
    const std::string valid = lineWithSequence(77);
    const std::vector<FailureCase> cases = {
        {"missing key", replaced(valid, "\"global_seq_num\":", "\"global_seq_nom\":"),
         "Dropping event, JSON missing key", Error(Kind::jsonMissingKey, "global_seq_num"),
         {{"key", "global_seq_num"}}},
        {"wrong type", replaced(valid, "\"global_seq_num\":77", "\"global_seq_num\":\"77\""),
         "Dropping event, JSON invalid value type", Error(Kind::jsonInvalidValue, "global_seq_num"),
         {{"expectedType", "Int"}}},
        {"null value", replaced(valid, "\"global_seq_num\":77", "\"global_seq_num\":null"),
         "Dropping event, JSON invalid value", Error(Kind::jsonInvalidValue, "global_seq_num"),
         {{"expectedType", "Int"}}},
        {"top-level array", "[1,2]", "Dropping event, JSON invalid value type",
         Error(Kind::jsonInvalidValue, ""), {}},
        {"top-level null", "null", "Dropping event, JSON invalid value", Error(Kind::jsonInvalidValue, ""), {}},
        {"not JSON", "eslogger: some warning", "JSON decode error", std::nullopt, {}},
        {"enum number without a case", replaced(valid, "\"action_type\":", "\"action_type\":9") , "JSON decode error",
         std::nullopt, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        LogRecorder logs;
        Collector got;
        es::ESLoggerFile source("/nonexistent", got.events(), got.errors(), Level::trace);
        source.processEvent(c.line + "\n");

        EXPECT_TRUE(got.eventList().empty());
        EXPECT_EQ(source.eventsDropped(), c.error ? 1 : 0);
        auto entries = logs.withMessage(c.logMessage);
        ASSERT_EQ(entries.size(), 1u);
        EXPECT_EQ(entries[0].level, Level::debug);
        for (const auto& [key, value] : c.metadata) EXPECT_EQ(entries[0].metadata[key], value) << key;
        if (c.error) {
            EXPECT_EQ(got.errorList(), std::vector<Error>{*c.error});
        } else {
            EXPECT_TRUE(got.errorList().empty());
        }

        // The next object is decoded on its own; a held line is now counted as dropped.
        source.processEvent(valid);
        EXPECT_EQ(got.sequence(), std::vector<std::int64_t>{77});
        EXPECT_EQ(source.eventsDropped(), 1);
        EXPECT_EQ(source.eventsSeen(), 2);
        EXPECT_EQ(got.errorList().size(), c.error ? 1u : 0u);
    }
}

TEST(ProcessEventFailures, InvalidValueNamesTheKeyAndDescribesTheContext) {
    LogRecorder logs;
    Collector got;
    es::ESLoggerFile source("/nonexistent", got.events(), got.errors(), Level::debug);
    source.processEvent(replaced(lineWithSequence(3), "\"pid\":", "\"pid\":true,\"x\":"));
    ASSERT_EQ(got.errorList().size(), 1u);
    EXPECT_EQ(got.errorList()[0], Error(Kind::jsonInvalidValue, "pid"));
    auto entries = logs.withMessage("Dropping event, JSON invalid value type");
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_NE(entries[0].metadata["context"].find("audit_token.pid"), std::string::npos)
        << entries[0].metadata["context"];
}

struct GapCase {
    std::vector<std::int64_t> numbers;
    std::int64_t dropped;
    std::vector<std::string> gapMessages;
};

TEST(ProcessEventGaps, GapsAreCountedAgainstThePreviousMessage) {
    constexpr auto max = std::numeric_limits<std::int64_t>::max();
    constexpr auto min = std::numeric_limits<std::int64_t>::min();
    const std::vector<GapCase> cases = {
        {{10, 11, 15}, 3, {"kernel dropped events for us - event: 15 last: 11"}},
        {{10, 4}, 0, {}},
        {{10, 4, 6}, 1, {"kernel dropped events for us - event: 6 last: 4"}},
        {{1000}, 0, {}},
        {{7, 7}, 0, {}},
        // Absurd numbers: the count stops at the largest value instead of overflowing.
        {{min, max}, max, {"kernel dropped events for us - event: 9223372036854775807 last: -9223372036854775808"}},
        {{max, max}, 0, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.numbers));
        LogRecorder logs;
        Collector got;
        es::ESLoggerFile source("/nonexistent", got.events(), got.errors(), Level::debug);
        EXPECT_EQ(source.lastGlobalSeqNum(), -1);
        source.processEvent(joinLines(linesWithSequence(c.numbers)));

        EXPECT_EQ(got.sequence(), c.numbers);
        EXPECT_EQ(source.eventsDropped(), c.dropped);
        EXPECT_EQ(source.lastGlobalSeqNum(), c.numbers.back());
        std::vector<std::string> gaps;
        for (const auto& e : logs.entries())
            if (e.message.starts_with("kernel dropped")) gaps.push_back(e.message);
        EXPECT_EQ(gaps, c.gapMessages);
    }
}

TEST(ProcessEventGaps, DroppedCountStaysAtTheLargestValue) {
    constexpr auto max = std::numeric_limits<std::int64_t>::max();
    Collector got;
    es::ESLoggerFile source("/nonexistent", got.events(), got.errors(), Level::info);
    source.processEvent(joinLines(linesWithSequence({-5, max})));
    ASSERT_EQ(source.eventsDropped(), max);
    source.processEvent("{\"broken\":");  // held
    source.processEvent("{\"schema_version\":1}");  // discards the fragment, then misses a key
    EXPECT_EQ(source.eventsDropped(), max);
    EXPECT_EQ(source.eventsSeen(), 4);
}

struct PieceCase {
    const char* name;
    std::string text;
    std::vector<std::string> pieces;
    std::size_t skipped;
};

TEST(ProcessEventPieces, EveryNewlineCharacterEndsAPiece) {
    const std::vector<PieceCase> cases = {
        {"crlf", "a\r\nb", {"a", "b"}, 1},
        {"trailing line feed", "a\n", {"a"}, 1},
        {"vertical tab and form feed", "a\vb\fc", {"a", "b", "c"}, 0},
        // JSON strings may hold these unescaped: they stay in the line
        {"next line, line and paragraph separators", "a\u0085b\u2028c\u2029d", {"a\u0085b\u2028c\u2029d"}, 0},
        {"other characters stay", "\u00e9\u2027\u20ac", {"\u00e9\u2027\u20ac"}, 0},
        {"empty text", "", {}, 1},
        {"only newlines", "\n\n", {}, 3},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        LogRecorder logs;
        Collector got;
        es::ESLoggerFile source("/nonexistent", got.events(), got.errors(), Level::trace);
        source.setPrintJSON(true);  // onlyJSON is on by default: log each piece, decode none
        source.processEvent(c.text);

        std::vector<std::string> pieces;
        for (auto& e : logs.withMessage("Event received")) {
            EXPECT_EQ(e.level, Level::info);
            pieces.push_back(e.metadata["EventAsString"]);
        }
        EXPECT_EQ(pieces, c.pieces);
        EXPECT_EQ(logs.count("Skipping empty string"), c.skipped);
        EXPECT_EQ(source.eventsSeen(), static_cast<std::int64_t>(c.pieces.size()));
        EXPECT_EQ(logs.count("Event from ESLogger"), 0u);
    }
}

TEST(ProcessEventRawLogging, OnlyJSONDecidesWhetherLoggedLinesAreDecoded) {
    for (bool only : {true, false}) {
        SCOPED_TRACE(only);
        LogRecorder logs;
        Collector got;
        es::ESLoggerFile source("/nonexistent", got.events(), got.errors(), Level::info);
        source.setPrintJSON(true);
        source.setOnlyJSON(only);
        const std::string line = lineWithSequence(1);
        source.processEvent(line + "\n" + "not json\n");

        EXPECT_EQ(got.eventList().size(), only ? 0u : 1u);
        EXPECT_EQ(source.eventsSeen(), 2);
        EXPECT_EQ(source.lastGlobalSeqNum(), only ? -1 : 1);
        auto received = logs.withMessage("Event received");
        ASSERT_EQ(received.size(), 2u);
        EXPECT_EQ(received[0].metadata["EventAsString"], line);
        // At level info nothing below it reaches the handler.
        for (const auto& e : logs.entries()) EXPECT_GE(e.level, Level::info);
    }
}

TEST_F(ProcessEvent, CharacterCutBetweenOutputChunksIsKeptWhole) {
    const std::string special = "\u00e9\u20ac\U0001F600";  // 2, 3 and 4 bytes
    const std::string line = replaced(lineWithSequence(8), "\"cdhash\":\"", "\"cdhash\":\"" + special);
    const std::size_t start = line.find(special);
    for (std::size_t cut = start + 1; cut < start + special.size(); ++cut) {
        SCOPED_TRACE(cut);
        Collector chunks;
        ChunkSource split("/nonexistent", chunks.events(), chunks.errors(), Level::info);
        split.handleStdout(line.substr(0, cut));
        split.handleStdout(line.substr(cut) + "\n");
        ASSERT_EQ(chunks.eventList().size(), 1u);
        EXPECT_EQ(es::encodeMessage(chunks.eventList()[0]), line);
    }
}

TEST_F(ProcessEvent, IllFormedOutputBytesBecomeReplacementCharacters) {
    const std::string line = replaced(lineWithSequence(8), "\"cdhash\":\"", "\"cdhash\":\"\xFF\xC3(");
    source.handleStdout(line + "\n");
    ASSERT_EQ(got.eventList().size(), 1u);
    EXPECT_NE(es::encodeMessage(got.eventList()[0]).find("\"cdhash\":\"\uFFFD\uFFFD("), std::string::npos);
}

// Decodes every line of output chunks, joined with any held fragment, exactly by the
// rules: what the source must give however it avoids parses that cannot succeed. A line
// cut between chunks is judged when it ends, or at the output's end.
struct EveryJoinDecoded {
    std::vector<std::int64_t> sequence;
    std::vector<Error> errors;
    std::int64_t seen = 0, dropped = 0, last = -1;
    std::string held;
    std::string cut;  // the line the last chunk ended in, not judged

    void judge(std::string line) {
        if (!held.empty()) {
            if (line.front() == '{') ++dropped;
            else line = held + line;
            held.clear();
        }
        auto decoded = es::decodeMessage(line);
        if (decoded.ok()) {
            const std::int64_t n = decoded.value().global_seq_num;
            if (last != -1 && last + 1 < n) dropped += n - 1 - last;
            last = n;
            sequence.push_back(n);
            return;
        }
        const auto& f = decoded.failure();
        switch (f.kind) {
            case es::DecodeFailure::Kind::missingKey:
                ++dropped;
                errors.emplace_back(Kind::jsonMissingKey, f.detail);
                break;
            case es::DecodeFailure::Kind::wrongType:
            case es::DecodeFailure::Kind::missingValue:
                ++dropped;
                errors.emplace_back(Kind::jsonInvalidValue, f.path.empty() ? "" : std::get<std::string>(f.path.back()));
                break;
            case es::DecodeFailure::Kind::corruptedData:
                held = line;
                break;
        }
    }

    void chunk(std::string_view text) {
        if (text.empty()) return;
        es::capture::forEachPiece(text, [&](std::string_view piece) {
            seen += !piece.empty();
            cut += piece;
            if (piece.data() + piece.size() != text.data() + text.size() && !cut.empty())
                judge(std::exchange(cut, {}));
        });
    }
    void end() {
        if (!cut.empty()) judge(std::exchange(cut, {}));
    }
};

TEST(ProcessEventChunks, AnyCuttingGivesWhatDecodingEveryJoinGives) {
    const std::string valid = lineWithSequence(1);
    const std::string badEnum = replaced(valid, "\"action_type\":", "\"action_type\":9");
    // Lines that decode, drop, hold, join and break in every way, several with braces,
    // quotes and escapes where a count of nesting could go wrong.
    const std::vector<std::string> kinds = {
        "",  // a valid line with the next sequence number
        valid + "   ",
        badEnum,
        "   ",
        "{",
        "\"x\": 1,",
        "}",
        "\"ab{[\\\"c\"",
        "{\"a\":\"}\\\\\"",
        "\"x\": \"\\\"}\"}",
        "tru",
        "e",
        "[1,{\"b\":[]}]",
        "eslogger: some warning",
        replaced(valid, "\"time\":", "\"tyme\":"),
        valid.substr(0, valid.size() / 2),
        valid.substr(valid.size() / 2),
        "} {",
    };
    std::mt19937 random(17);
    for (int round = 0; round < 40; ++round) {
        SCOPED_TRACE(round);
        std::string text;
        std::int64_t next = 1;
        for (int i = 0; i < 60; ++i) {
            const std::string& kind = kinds[random() % kinds.size()];
            text += (kind.empty() ? lineWithSequence(next++) : kind) + (random() % 8 ? "\n" : "\r\n");
        }
        Collector got;
        ChunkSource source("/nonexistent", got.events(), got.errors(), Level::info);
        EveryJoinDecoded expected;
        for (std::size_t at = 0; at < text.size();) {
            const std::size_t size = 1 + random() % (round % 2 ? 40 : 700);
            const std::string chunk = text.substr(at, size);
            source.handleStdout(chunk);
            expected.chunk(chunk);
            at += size;
        }
        source.handleStdoutEnd();
        expected.end();
        EXPECT_EQ(got.sequence(), expected.sequence);
        EXPECT_EQ(got.errorList(), expected.errors);
        EXPECT_EQ(source.eventsSeen(), expected.seen);
        EXPECT_EQ(source.eventsDropped(), expected.dropped);
    }
}

TEST(ESLoggerError, DescriptionNamesTheCaseAndItsPayload) {
    const std::vector<std::pair<Error, std::string>> cases = {
        {Error(Kind::errorReadingFromFile, "Permission Denied"), R"(errorReadingFromFile(message: "Permission Denied"))"},
        {Error(Kind::jsonMissingKey, "event"), R"(jsonMissingKey(keyName: "event"))"},
        {Error(Kind::jsonInvalidValue, ""), R"(jsonInvalidValue(valueName: ""))"},
        {Error(Kind::jsonDecodeError, "x"), R"(jsonDecodeError(message: "x"))"},
        {Error(Kind::internalError, "line 1\nsaid \"no\"\\"), R"(internalError(message: "line 1\nsaid \"no\"\\"))"},
        {Error(Kind::noValidRequestedEvents), "noValidRequestedEvents"},
        {Error(Kind::cannotListESLoggerEvents), "cannotListESLoggerEvents"},
        {Error(Kind::needRootPermission), "needRootPermission"},
        {Error(Kind::needTCCFullDiskAccess), "needTCCFullDiskAccess"},
        {Error(Kind::tooManyConnections), "tooManyConnections"},
        {Error(Kind::invalidArgument), "invalidArgument"},
        {Error(Kind::needEntitlement), "needEntitlement"},
        {Error(Kind::invalidDataInFile, "ignored"), "invalidDataInFile"},
    };
    for (const auto& [error, text] : cases) {
        EXPECT_EQ(error.description(), text);
        EXPECT_STREQ(error.what(), text.c_str());
    }
    EXPECT_EQ(Error(Kind::invalidDataInFile, "ignored"), Error(Kind::invalidDataInFile));
    EXPECT_EQ(Error(Kind::internalError, "a\nb").payload(), "a\nb");
    EXPECT_FALSE(Error(Kind::internalError, "a") == Error(Kind::internalError, "b"));
}

}  // namespace
