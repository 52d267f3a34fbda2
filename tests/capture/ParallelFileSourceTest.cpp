// The file source decoding on several threads gives exactly what reading line by line
// on one thread gives: the same events in the same order, the same errors, counters and
// log entries, over files with bad lines, fragments that cross block borders, gaps and a
// missing last line feed, with blocks small enough that every border is crossed.
#include <gtest/gtest.h>

#include <atomic>
#include <new>

#include "CaptureTestSupport.h"
#include "ESLoggerFile.h"

using namespace capturetest;
using es::ESLoggerFile;

namespace {

struct Replay {
    std::vector<std::string> events;  // each message re-encoded
    std::vector<es::ESLogger::Error> errors;
    std::vector<std::string> logs;  // message and metadata of every entry
    std::int64_t seen, dropped, last;
    std::vector<std::thread::id> threads;
};

Replay replay(const std::filesystem::path& file, unsigned threads, std::size_t blockSize,
              ESLoggerFile::Decoder decoder = es::decodeMessage) {
    LogRecorder recorder;
    Collector got;
    ESLoggerFile source(file, got.events(), got.errors(), Level::trace);
    source.setDecodeThreads(threads);
    source.setBlockSize(blockSize);
    source.setAheadDecoder(decoder);
    source.start();
    Replay run{{}, got.errorList(), {}, source.eventsSeen(), source.eventsDropped(), source.lastGlobalSeqNum(),
            got.threads()};
    for (const auto& m : got.eventList()) run.events.push_back(es::encodeMessage(m));
    for (const auto& e : recorder.entries()) {
        std::string text = e.message;
        for (const auto& [key, value] : e.metadata) text += " " + key + "=" + value;
        run.logs.push_back(std::move(text));
    }
    return run;
}

void expectSameReplay(const Replay& got, const Replay& expected) {
    EXPECT_EQ(got.events, expected.events);
    EXPECT_EQ(got.errors, expected.errors);
    EXPECT_EQ(got.logs, expected.logs);
    EXPECT_EQ(got.seen, expected.seen);
    EXPECT_EQ(got.dropped, expected.dropped);
    EXPECT_EQ(got.last, expected.last);
    EXPECT_EQ(got.threads, std::vector<std::thread::id>(got.events.size(), std::this_thread::get_id()));
}

// Files with bad lines, fragments, gaps and every kind of line end.
std::vector<std::pair<const char*, std::string>> captureFiles() {
    const auto l = linesWithSequence({1, 2, 3, 7, 8, 4, 5, 20, 21, 22, 23, 24});
    std::string missingKey = l[2];
    missingKey.replace(missingKey.find("\"time\":"), 7, "\"tyme\":");
    std::string wrongType = l[3];
    wrongType.replace(wrongType.find("\"global_seq_num\":"), 17, "\"global_seq_num\":\"7\",\"x\":");
    std::string badEnum = l[4];
    badEnum.replace(badEnum.find("\"action_type\":") + 14, 1, "9");
    auto cut = [](const std::string& line, std::size_t parts) {
        std::string out;
        const std::size_t step = line.size() / parts + 1;
        for (std::size_t i = 0; i < line.size(); i += step) out += line.substr(i, step) + "\n";
        return out;
    };

    return {
        {"valid lines, gaps and a number that goes back", joinLines(l)},
        {"bad lines", l[0] + "\n" + missingKey + "\n" + wrongType + "\n" + badEnum + "\n" + l[5] + "\n\n\n" +
                          "\xFF\xFE" + l[6] + "\n" + "{\"half\": \xC3\n" + l[7] + "\n"},
        {"line endings", l[0] + "\r\n" + l[1] + "\r\r\n" + l[2] + "\v" + l[3] + "\f\n" + l[4] + "\r" + l[5] +
                             "\n\r\n" + l[6]},
        {"a line cut in two and in five", l[0] + "\n" + cut(l[1], 2) + cut(l[2], 5) + l[3] + "\n"},
        {"a fragment discarded by the next object", l[0] + "\n" + l[1].substr(0, 900) + "\n" + l[2] + "\n" +
                                                        l[3].substr(0, 40) + "\n" + l[4].substr(40) + "x\n" +
                                                        l[5] + "\n"},
        {"a fragment that grows over many lines", l[0] + "\n" + cut(l[1], 40) + l[2] + "\n"},
        {"a fragment held at the end", joinLines({l[0], l[1]}) + l[2].substr(0, 1200) + "\n"},
        {"no last line feed", joinLines({l[0], l[1], l[2]}) + l[3]},
        {"a cut last line without line feed", joinLines({l[0], l[1]}) + l[2].substr(0, 700) + "\n" +
                                                  l[2].substr(700)},
        {"a last carriage return without line feed", joinLines({l[0], l[1]}) + l[2] + "\r"},
        {"one line", l[0]},
    };
}

TEST(ParallelFileSource, GivesWhatTheLineByLineReadGives) {
    TempDir dir;
    for (const auto& [name, content] : captureFiles()) {
        const auto file = dir.write("capture.jsonl", content);
        const Replay expected = replay(file, 1, 1 << 20);
        for (unsigned threads : {2u, 5u}) {
            for (std::size_t blockSize : {std::size_t(1), std::size_t(333), std::size_t(2500), std::size_t(1) << 20}) {
                SCOPED_TRACE(std::string(name) + ", threads " + std::to_string(threads) + ", block " +
                             std::to_string(blockSize));
                expectSameReplay(replay(file, threads, blockSize), expected);
            }
        }
    }
}

// Decodes ahead that throw, as when memory runs out: every one, or every third.
es::Decoded<es::ESMessage> throwingDecode(std::string_view) { throw std::bad_alloc(); }
es::Decoded<es::ESMessage> everyThirdThrows(std::string_view text) {
    static std::atomic<unsigned> calls{0};
    if (++calls % 3 == 0) throw std::bad_alloc();
    return es::decodeMessage(text);
}

TEST(ParallelFileSource, ADecodeAheadThatThrowsLosesNoLine) {
    TempDir dir;
    for (const auto& [name, content] : captureFiles()) {
        const auto file = dir.write("capture.jsonl", content);
        const Replay expected = replay(file, 1, 1 << 20);
        for (auto decoder : {throwingDecode, everyThirdThrows}) {
            for (std::size_t blockSize : {std::size_t(1), std::size_t(2500), std::size_t(1) << 20}) {
                SCOPED_TRACE(std::string(name) + ", block " + std::to_string(blockSize) +
                             (decoder == throwingDecode ? ", every decode throws" : ", every third throws"));
                expectSameReplay(replay(file, 3, blockSize, decoder), expected);
            }
        }
    }
}

TEST(ParallelFileSource, StopFromTheCallbackEndsTheReadAfterThatLine) {
    TempDir dir;
    const auto file = dir.write("many.jsonl", joinLines(linesWithSequence({1, 2, 3, 4, 5, 6, 7, 8})));
    std::vector<std::int64_t> got;
    std::unique_ptr<ESLoggerFile> source;
    source = std::make_unique<ESLoggerFile>(
        file,
        [&](es::ESMessage m) {
            got.push_back(m.global_seq_num);
            if (got.size() == 3) source->stop();
        },
        [](const es::ESLogger::Error&) {}, Level::info);
    source->setDecodeThreads(4);
    source->setBlockSize(100);
    source->start();
    EXPECT_EQ(got, (std::vector<std::int64_t>{1, 2, 3}));
    EXPECT_EQ(source->eventsSeen(), 3);
    EXPECT_FALSE(source->isRunning());
}

}  // namespace
