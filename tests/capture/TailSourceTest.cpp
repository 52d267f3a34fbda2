// The tail source with the real /usr/bin/tail: a growing file followed by name and by
// descriptor, and tail's complaints about a directory, a missing file and a file it may
// not read.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <new>
#include <optional>
#include <thread>

#include "CaptureTestSupport.h"
#include "ESLoggerTail.h"
#include "Shell.h"

using namespace capturetest;
using es::ESLoggerTail;
using Error = es::ESLogger::Error;

namespace {

bool hasError(const std::vector<Error>& errors, const Error& wanted) {
    return std::find(errors.begin(), errors.end(), wanted) != errors.end();
}

TEST(TailSource, FollowsAGrowingFile) {
    for (bool followFile : {true, false}) {
        SCOPED_TRACE(followFile);
        TempDir dir;
        auto lines = linesWithSequence({1, 2, 3, 4, 5});
        const auto path = dir.write("growing.jsonl", lines[0] + "\n" + lines[1] + "\n");
        LogRecorder logs;
        Collector got;
        ESLoggerTail source(path, got.events(), got.errors(), Level::debug, dispatch::QoS::normal,
                            followFile);
        EXPECT_FALSE(source.isRunning());
        auto command = logs.withMessage("Tail command");
        ASSERT_EQ(command.size(), 1u);
        EXPECT_EQ(command[0].metadata["command"], std::string("[\"/usr/bin/tail\", \"-n\", \"+0\", \"") +
                                                      (followFile ? "-F" : "-f") + "\", \"" +
                                                      path.string() + "\"]");
        EXPECT_EQ(command[0].function, "init(withFileURL:callHandler:errorHandler:withLogLevel:qos:followFile:)");

        source.start();
        EXPECT_TRUE(source.isRunning());
        ASSERT_TRUE(got.waitForEvents(2));
        source.start();
        EXPECT_EQ(logs.count("already running, returning without side-effect"), 1u);

        {
            std::ofstream out(path, std::ios::app | std::ios::binary);
            out << lines[2] << "\n" << lines[3].substr(0, 100) << std::flush;
            out << lines[3].substr(100) << "\n" << lines[4] << "\n";
        }
        ASSERT_TRUE(got.waitForEvents(5));
        source.stop();
        EXPECT_FALSE(source.isRunning());

        EXPECT_EQ(got.sequence(), (std::vector<std::int64_t>{1, 2, 3, 4, 5}));
        EXPECT_TRUE(got.errorList().empty());
        EXPECT_EQ(source.eventsDropped(), 0);
        for (auto id : got.threads()) EXPECT_NE(id, std::this_thread::get_id());
        EXPECT_EQ(logs.count("Executing tail"), 1u);
    }
}

TEST(TailSource, DirectoryIsReportedAsNotAFileOnce) {
    for (bool followFile : {true, false}) {
        SCOPED_TRACE(followFile);
        TempDir dir;
        Collector got;
        ESLoggerTail source(dir.path(), got.events(), got.errors(), Level::info, dispatch::QoS::normal,
                            followFile);
        source.start();
        const Error wanted(Error::Kind::errorReadingFromFile, "reading from directory not a file");
        EXPECT_TRUE(got.waitUntil([&](const auto&, const auto& errors) { return hasError(errors, wanted); }));
        // tail writes its complaint in several writes and then exits: one report.
        while (source.isRunning()) std::this_thread::sleep_for(std::chrono::milliseconds(5));
        source.stop();
        EXPECT_EQ(got.errorList(), std::vector<Error>{wanted});
        EXPECT_TRUE(got.eventList().empty());
    }
}

TEST(TailSource, MissingFileIsOneReportOfTailsOwnText) {
    // A path that does not exist cannot be read by anyone: tail's text matches no rule.
    // Following by name, tail waits for the file; following the descriptor, it adds "no
    // files remaining" and exits. Either way the failure is one report of tail's text,
    // however tail writes it.
    for (bool followFile : {true, false}) {
        SCOPED_TRACE(followFile);
        TempDir dir;
        LogRecorder logs;
        Collector got;
        {
            ESLoggerTail source(dir / "missing.jsonl", got.events(), got.errors(), Level::debug,
                                dispatch::QoS::normal, followFile);
            source.start();
            ASSERT_TRUE(got.waitForErrors(1));
            if (!followFile)
                while (source.isRunning()) std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }  // ends tail and waits for its handlers
        ASSERT_EQ(got.errorList().size(), 1u);
        const Error first = got.errorList().front();
        EXPECT_EQ(first.kind(), Error::Kind::internalError);
        EXPECT_NE(first.payload().find("tail: cannot open"), std::string::npos) << first.payload();
        EXPECT_NE(first.payload().find("No such file or directory\n"), std::string::npos) << first.payload();
        std::string told;
        for (const auto& entry : logs.withMessage("tail stderr")) told += entry.metadata.at("error");
        EXPECT_TRUE(told.starts_with(first.payload())) << told;
        EXPECT_EQ(told.find("no files remaining") != std::string::npos, !followFile) << told;
    }
}

TEST(TailSource, EmptyPathFailsThroughTheErrorCallback) {
    Collector got;
    std::optional<ESLoggerTail> source;
    ASSERT_NO_THROW(source.emplace("", got.events(), got.errors(), Level::info, dispatch::QoS::normal, false));
    source->start();
    ASSERT_TRUE(got.waitForErrors(1));
    source->stop();
    EXPECT_EQ(got.errorList().front().kind(), Error::Kind::internalError);
    EXPECT_TRUE(got.eventList().empty());
}

TEST(TailSource, UnreadableFileIsOneReportOfPermissionDenied) {
    // Root reads every file, so the source runs in a probe process as user nobody; tail,
    // its child, then meets the file's mode 000 as that user.
    TempDir dir;
    ::chmod(dir.path().c_str(), 0755);
    const auto path = dir.write("secret.jsonl", lineWithSequence(1) + "\n");
    ::chmod(path.c_str(), 0);
    const auto probe = std::filesystem::read_symlink("/proc/self/exe").parent_path() / "capture_tail_probe";
    for (const char* follow : {"-F", "-f"}) {
        SCOPED_TRACE(follow);
        std::vector<std::string> command{probe.string(), path.string(), follow};
        if (::geteuid() == 0)
            command.insert(command.begin(), {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"});
        const std::string output = subprocess::Shell(command).execText();
        EXPECT_EQ(output, "errorReadingFromFile(message: \"Permission Denied\")\n");
    }
}

// A failure while the child's output is handled (memory running out in the callback)
// ends the source: one internalError, the child terminated, nothing after it delivered.
TEST(TailSource, AFailureInTheCallbackEndsTheSourceWithOneError) {
    TempDir dir;
    const auto path = dir.write("capture.jsonl", joinLines(linesWithSequence({1, 2, 3, 4})));
    Collector got;
    auto events = got.events();
    ESLoggerTail source(
        path,
        [&](es::ESMessage&& m) {
            if (m.global_seq_num == 2) throw std::bad_alloc();
            events(std::move(m));
        },
        got.errors(), Level::error, dispatch::QoS::normal, true);
    source.start();
    ASSERT_TRUE(got.waitForErrors(1));
    for (auto start = std::chrono::steady_clock::now(); source.isRunning() && std::chrono::steady_clock::now() - start < hangGuard;)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    EXPECT_FALSE(source.isRunning());
    EXPECT_EQ(got.errorList(), std::vector{Error(Kind::internalError, std::bad_alloc().what())});
    ASSERT_EQ(got.eventList().size(), 1u);
    EXPECT_EQ(got.eventList()[0].global_seq_num, 1);
}

}  // namespace
