// The file source: the first-byte check, line endings, stopping half-way from the
// callback and from another thread, several sources at once, reading again, a source
// started later on another thread, and a large generated capture replayed in file order.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <chrono>
#include <fstream>
#include <future>
#include <optional>
#include <thread>

#include "CaptureTestSupport.h"
#include "ESLoggerFile.h"

using namespace capturetest;
using es::ESLoggerFile;
using Error = es::ESLogger::Error;

namespace {

TEST(FileSource, FilesThatDoNotStartWithAnObjectGiveInvalidDataInFile) {
    TempDir dir;
    const std::string line = lineWithSequence(1);
    std::filesystem::create_directory(dir / "folder");
    const std::vector<std::pair<const char*, std::filesystem::path>> cases = {
        {"empty", dir.write("empty.jsonl", "")},
        {"leading blank", dir.write("blank.jsonl", " " + line + "\n")},
        {"leading line feed", dir.write("newline.jsonl", "\n" + line + "\n")},
        {"byte-order mark", dir.write("bom.jsonl", "\xEF\xBB\xBF" + line + "\n")},
        {"array", dir.write("array.json", "[" + line + "]\n")},
        {"missing", dir / "missing.jsonl"},
        {"directory", dir / "folder"},
    };
    for (const auto& [name, path] : cases) {
        SCOPED_TRACE(name);
        Collector got;
        ESLoggerFile source(path, got.events(), got.errors(), Level::info);
        source.start();
        EXPECT_EQ(got.errorList(), std::vector<Error>{Error(Error::Kind::invalidDataInFile)});
        EXPECT_TRUE(got.eventList().empty());
        EXPECT_EQ(source.eventsSeen(), 0);
        EXPECT_FALSE(source.isRunning());
    }
}

TEST(FileSource, EveryLineIsReadWhateverItsEnding) {
    TempDir dir;
    auto lines = linesWithSequence({1, 2, 3});
    const std::vector<std::pair<const char*, std::string>> cases = {
        {"line feeds", joinLines(lines)},
        {"no final line feed", lines[0] + "\n" + lines[1] + "\n" + lines[2]},
        {"carriage return and line feed", lines[0] + "\r\n" + lines[1] + "\r\n" + lines[2] + "\r\n"},
    };
    for (const auto& [name, content] : cases) {
        SCOPED_TRACE(name);
        LogRecorder logs;
        Collector got;
        ESLoggerFile source(dir.write("three.jsonl", content), got.events(), got.errors(), Level::trace);
        source.start();
        EXPECT_EQ(got.sequence(), (std::vector<std::int64_t>{1, 2, 3}));
        EXPECT_EQ(got.threads(), std::vector<std::thread::id>(3, std::this_thread::get_id()));
        EXPECT_TRUE(got.errorList().empty());
        EXPECT_EQ(source.eventsSeen(), 3);
        EXPECT_EQ(source.eventsDropped(), 0);
        EXPECT_EQ(logs.count("Skipping empty string"), 0u);
        EXPECT_FALSE(source.isRunning());
    }
}

TEST(FileSource, NamedPipeKeepsItsFirstLine) {
    TempDir dir;
    const auto pipe = dir / "events.pipe";
    ASSERT_EQ(::mkfifo(pipe.c_str(), 0600), 0);
    // A pipe can be read once: the first-byte check must leave the "{" in place.
    std::thread writer([&] { std::ofstream(pipe, std::ios::binary) << joinLines(linesWithSequence({1, 2, 3})); });
    Collector got;
    ESLoggerFile source(pipe, got.events(), got.errors(), Level::info);
    source.start();
    writer.join();
    EXPECT_EQ(got.sequence(), (std::vector<std::int64_t>{1, 2, 3}));
    EXPECT_TRUE(got.errorList().empty());
    EXPECT_EQ(source.eventsDropped(), 0);
}

// True once this process holds the path open (the source has opened the pipe), checked
// every few milliseconds; false when that never happens.
bool waitUntilOpened(const std::filesystem::path& path) {
    struct stat wanted {}, open {};
    if (::stat(path.c_str(), &wanted) != 0) return false;
    const auto giveUp = std::chrono::steady_clock::now() + hangGuard;
    while (std::chrono::steady_clock::now() < giveUp) {
        std::error_code ignored;
        for (const auto& fd : std::filesystem::directory_iterator("/proc/self/fd", ignored))
            if (::stat(fd.path().c_str(), &open) == 0 && open.st_dev == wanted.st_dev && open.st_ino == wanted.st_ino)
                return true;
        std::this_thread::sleep_for(5ms);
    }
    return false;
}

TEST(FileSource, NamedPipeWaitsForItsWriterUntilStopped) {
    // The source opens the pipe before any writer comes; then a writer sends the lines
    // (in two parts), sends nothing, or never comes and the source is stopped.
    const auto lines = joinLines(linesWithSequence({1, 2, 3}));
    struct Case {
        const char* what;
        std::optional<std::string> written;  // none: no writer, stop() instead
        std::vector<std::int64_t> sequence;
        std::vector<Error> errors;
    };
    const Case cases[] = {
        {"writer with lines", lines, {1, 2, 3}, {}},
        {"writer with nothing", "", {}, {Error(Error::Kind::invalidDataInFile)}},
        {"no writer, stopped", std::nullopt, {}, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        TempDir dir;
        const auto pipe = dir / "events.pipe";
        ASSERT_EQ(::mkfifo(pipe.c_str(), 0600), 0);
        Collector got;
        ESLoggerFile source(pipe, got.events(), got.errors(), Level::info);
        auto reading = std::async(std::launch::async, [&] { source.start(); });
        const bool opened = waitUntilOpened(pipe);
        EXPECT_TRUE(opened);
        if (c.written) {
            std::ofstream writer(pipe, std::ios::binary);
            const std::size_t half = c.written->size() / 2;
            writer << c.written->substr(0, half) << std::flush << c.written->substr(half);
        } else {
            source.stop();
        }
        const bool ended = reading.wait_for(hangGuard) == std::future_status::ready;
        EXPECT_TRUE(ended);
        if (!ended) std::ofstream{pipe}.close();  // a writer that comes and goes ends a reader stuck in opening
        reading.get();
        EXPECT_EQ(got.sequence(), c.sequence);
        EXPECT_EQ(got.errorList(), c.errors);
        EXPECT_FALSE(source.isRunning());
    }
}

TEST(FileSource, BadLinesInsideTheFileAreReportedAndTheRestIsRead) {
    TempDir dir;
    auto lines = linesWithSequence({1, 2, 3, 4});
    std::string missingKey = lines[1];
    missingKey.replace(missingKey.find("\"time\":"), 7, "\"tyme\":");
    const std::string content = lines[0] + "\n" + missingKey + "\n" + lines[2].substr(0, 30) + "\n" +
                                lines[3] + "\n" + "\xFF\xFE\n";
    Collector got;
    ESLoggerFile source(dir.write("mixed.jsonl", content), got.events(), got.errors(), Level::info);
    source.start();
    EXPECT_EQ(got.sequence(), (std::vector<std::int64_t>{1, 4}));
    EXPECT_EQ(got.errorList(), std::vector<Error>{Error(Error::Kind::jsonMissingKey, "time")});
    EXPECT_EQ(source.eventsSeen(), 5);
    // The missing key, the cut line discarded by the next object, the gap 1 -> 4 (two);
    // the ill-formed last line is held, as the end of a file never gives it up.
    EXPECT_EQ(source.eventsDropped(), 4);
}

std::filesystem::path writeGenerated(const TempDir& dir, std::size_t count) {
    fixtures::FixtureGenerator generator(11);
    std::string content;
    for (std::size_t i = 0; i < count; ++i) content += generator.nextLine() + "\n";
    return dir.write("generated.jsonl", content);
}

TEST(FileSource, StopFromTheCallbackEndsTheReadAfterThatLine) {
    TempDir dir;
    const auto path = writeGenerated(dir, 200);
    ESLoggerFile* self = nullptr;
    int count = 0;
    ESLoggerFile source(
        path,
        [&](es::ESMessage) {
            if (++count == 50) self->stop();
        },
        {}, Level::info);
    self = &source;
    source.start();
    EXPECT_EQ(count, 50);
    EXPECT_EQ(source.eventsSeen(), 50);
    EXPECT_FALSE(source.isRunning());
}

TEST(FileSource, StopFromAnotherThreadEndsTheReadBeforeTheNextLine) {
    TempDir dir;
    const auto path = writeGenerated(dir, 200);
    std::promise<void> reached, stopped;
    auto stoppedFuture = stopped.get_future().share();
    std::atomic<int> count = 0;
    ESLoggerFile source(
        path,
        [&](es::ESMessage) {
            if (++count != 50) return;
            reached.set_value();
            EXPECT_EQ(stoppedFuture.wait_for(hangGuard), std::future_status::ready);
        },
        {}, Level::info);
    std::thread reader([&] { source.start(); });
    ASSERT_EQ(reached.get_future().wait_for(hangGuard), std::future_status::ready);
    EXPECT_TRUE(source.isRunning());
    source.stop();
    stopped.set_value();
    reader.join();
    EXPECT_EQ(count, 50);
    EXPECT_FALSE(source.isRunning());
}

TEST(FileSource, SeveralSourcesReadAtTheSameTime) {
    TempDir dir;
    std::vector<std::int64_t> first(300), second(300);
    for (int i = 0; i < 300; ++i) {
        first[i] = i + 1;
        second[i] = 1000 + i;
    }
    const auto a = dir.write("a.jsonl", joinLines(linesWithSequence(first)));
    const auto b = dir.write("b.jsonl", joinLines(linesWithSequence(second)));
    Collector gotA, gotB;
    ESLoggerFile sourceA(a, gotA.events(), gotA.errors(), Level::info);
    ESLoggerFile sourceB(b, gotB.events(), gotB.errors(), Level::info);
    std::thread readerA([&] { sourceA.start(); });
    std::thread readerB([&] { sourceB.start(); });
    readerA.join();
    readerB.join();
    EXPECT_EQ(gotA.sequence(), first);
    EXPECT_EQ(gotB.sequence(), second);
}

TEST(FileSource, SecondStartReadsAgainWithoutResettingCounters) {
    TempDir dir;
    Collector got;
    ESLoggerFile source(dir.write("three.jsonl", joinLines(linesWithSequence({1, 2, 3}))), got.events(),
                        got.errors(), Level::info);
    source.start();
    source.start();
    EXPECT_EQ(got.sequence(), (std::vector<std::int64_t>{1, 2, 3, 1, 2, 3}));
    EXPECT_EQ(source.eventsSeen(), 6);
    EXPECT_EQ(source.eventsDropped(), 0);  // 3 -> 1 goes back: no gap
    EXPECT_EQ(source.lastGlobalSeqNum(), 3);
}

TEST(FileSource, SourceToBeStartedLaterCountsAsRunningUntilItsReadEndsOrItIsStopped) {
    // willStart, then start reads the file; willStart, then stop, then start reads nothing.
    for (const bool stopFirst : {false, true}) {
        SCOPED_TRACE(stopFirst ? "stopped before its start" : "started");
        TempDir dir;
        Collector got;
        ESLoggerFile source(dir.write("three.jsonl", joinLines(linesWithSequence({1, 2, 3}))), got.events(),
                            got.errors(), Level::info);
        source.willStart();
        EXPECT_TRUE(source.isRunning());
        if (stopFirst) source.stop();
        EXPECT_EQ(source.isRunning(), !stopFirst);
        source.start();
        EXPECT_FALSE(source.isRunning());
        const std::vector<std::int64_t> read = stopFirst ? std::vector<std::int64_t>{} : std::vector<std::int64_t>{1, 2, 3};
        EXPECT_EQ(got.sequence(), read);
        EXPECT_TRUE(got.errorList().empty());
        // The next start reads as any start does.
        source.start();
        EXPECT_EQ(got.sequence().size(), stopFirst ? 3u : 6u);
    }
}

TEST(FileSource, LargeGeneratedCaptureIsDeliveredWholeInFileOrder) {
    constexpr std::size_t count = 100'000;
    TempDir dir;
    fixtures::FixtureGenerator generator(2024);
    std::vector<std::size_t> hashes;
    hashes.reserve(count);
    {
        std::ofstream out(dir / "large.jsonl", std::ios::binary);
        for (std::size_t i = 0; i < count; ++i) {
            const std::string line = generator.nextLine();
            hashes.push_back(std::hash<std::string>{}(line));
            out << line << '\n';
        }
    }
    std::size_t delivered = 0, mismatches = 0;
    Collector got;
    ESLoggerFile source(
        dir / "large.jsonl",
        [&](es::ESMessage message) {
            const auto hash = std::hash<std::string>{}(es::encodeMessage(message));
            if (delivered >= count || hashes[delivered] != hash) ++mismatches;
            ++delivered;
        },
        got.errors(), Level::info);
    source.start();
    EXPECT_EQ(delivered, count);
    EXPECT_EQ(mismatches, 0u);
    EXPECT_TRUE(got.errorList().empty());
    EXPECT_EQ(source.eventsSeen(), static_cast<std::int64_t>(count));
    EXPECT_EQ(source.eventsDropped(), 0);
}

}  // namespace
