// Real children through /bin/sh: what reaches the handlers, in which order and on which
// queue; the termination notice after the exit and the end of every handled stream; kill,
// failed launches, input, and lifetime.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <future>
#include <mutex>
#include <thread>

#include "Subprocess.h"

using namespace subprocess;
using namespace std::chrono_literals;
using Reason = Subprocess::TerminationReason;

namespace {

constexpr auto hangGuard = 60s;  // only stops a broken build from hanging the run

Subprocess shell(const std::string& script) {
    return Subprocess({"/bin/sh", "-c", script});
}

// Records every handler call of one child, in order, and checks each runs on the child's
// queue. Events: "out:<chunk>", "err:<chunk>", "end".
class Recorder {
public:
    explicit Recorder(Subprocess& process) : queue_(process.queue()) {}

    Subprocess::OutputHandler output() { return handler("out:"); }
    Subprocess::OutputHandler error() { return handler("err:"); }
    Subprocess::TerminationHandler termination() {
        return [this](Subprocess&) {
            add("end");
            ended_.set_value();
        };
    }

    // Waits for the termination handler, then returns all events.
    std::vector<std::string> events() {
        EXPECT_EQ(ended_.get_future().wait_for(hangGuard), std::future_status::ready);
        std::lock_guard lock(mutex_);
        return events_;
    }
    // Concatenated chunks of one stream ("out:" or "err:") seen so far.
    std::string stream(const std::string& prefix) {
        std::lock_guard lock(mutex_);
        std::string all;
        for (const auto& e : events_)
            if (e.rfind(prefix, 0) == 0) all += e.substr(prefix.size());
        return all;
    }
    bool allOnQueue() const { return allOnQueue_; }

private:
    Subprocess::OutputHandler handler(std::string prefix) {
        return [this, prefix](const Bytes& chunk) {
            EXPECT_FALSE(chunk.empty());
            add(prefix + chunk);
        };
    }
    void add(std::string event) {
        if (!queue_.isCurrent()) allOnQueue_ = false;
        std::lock_guard lock(mutex_);
        events_.push_back(std::move(event));
    }

    dispatch::DispatchQueue queue_;
    std::mutex mutex_;
    std::vector<std::string> events_;
    std::atomic<bool> allOnQueue_ = true;
    std::promise<void> ended_;
};

using Events = std::vector<std::string>;

TEST(Subprocess, NothingWrittenGivesOnlyTheNotice) {
    struct Case {
        const char* name;
        const char* script;
        bool output, error;
        int exitCode;
    };
    const Case cases[] = {
        {"both handlers, silent child", "exit 0", true, true, 0},
        {"only output handler, child writes to stderr", "echo oops >&2; exit 4", true, false, 4},
        {"no handlers", "echo lost; echo lost >&2; exit 3", false, false, 3},
    };
    for (const auto& c : cases) {
        auto process = shell(c.script);
        EXPECT_EQ(process.queue().label(), "SubprocessQueue");
        EXPECT_FALSE(process.isRunning());
        Recorder recorder(process);
        process.launch(std::nullopt, c.output ? recorder.output() : nullptr,
                       c.error ? recorder.error() : nullptr, recorder.termination());
        EXPECT_GT(process.pid(), 0);
        EXPECT_EQ(recorder.events(), Events{"end"}) << c.name;
        EXPECT_TRUE(recorder.allOnQueue());
        EXPECT_FALSE(process.isRunning());
        EXPECT_EQ(process.exitCode(), c.exitCode) << c.name;
        EXPECT_EQ(process.terminationReason(), Reason::exit);
    }
}

TEST(Subprocess, ChunksArriveInOrderAndTheNoticeComesLast) {
    // Many small writes to both streams, so reads fall at many places.
    auto process = shell("i=0; while [ $i -lt 3000 ]; do echo o$i; echo e$i >&2; i=$((i+1)); done");
    Recorder recorder(process);
    process.launch(std::nullopt, recorder.output(), recorder.error(), recorder.termination());
    const Events events = recorder.events();
    EXPECT_TRUE(recorder.allOnQueue());
    ASSERT_FALSE(events.empty());
    EXPECT_EQ(events.back(), "end");
    EXPECT_EQ(std::count(events.begin(), events.end(), "end"), 1);

    std::string expectedOut, expectedErr;
    for (int i = 0; i < 3000; ++i) {
        expectedOut += "o" + std::to_string(i) + "\n";
        expectedErr += "e" + std::to_string(i) + "\n";
    }
    EXPECT_EQ(recorder.stream("out:"), expectedOut);
    EXPECT_EQ(recorder.stream("err:"), expectedErr);
}

TEST(Subprocess, UnhandledStreamsAndMissingInputAreTheNullDevice) {
    // Standard output is handled; the child reports where its other streams point.
    Subprocess process({"/bin/readlink", "/proc/self/fd/0", "/proc/self/fd/2"});
    Recorder recorder(process);
    process.launch(std::nullopt, recorder.output(), nullptr, recorder.termination());
    recorder.events();
    EXPECT_EQ(recorder.stream("out:"), "/dev/null\n/dev/null\n");
}

TEST(Subprocess, GrandchildHoldingTheOutputDelaysTheNotice) {
    // The child exits at once; its background child writes only when the test says so.
    const auto dir =
        std::filesystem::temp_directory_path() / ("qm-fifo-" + std::to_string(getpid()));
    std::filesystem::create_directories(dir);
    const auto fifo = dir / "go";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);

    auto process = shell("(read x < " + fifo.string() + "; echo late) & echo early");
    Recorder recorder(process);
    process.launch(std::nullopt, recorder.output(), recorder.error(), recorder.termination());
    for (auto start = std::chrono::steady_clock::now();
         process.isRunning() && std::chrono::steady_clock::now() - start < hangGuard;)
        std::this_thread::sleep_for(5ms);
    ASSERT_FALSE(process.isRunning());
    process.queue().sync([] {});  // whatever is queued so far has run
    EXPECT_EQ(recorder.stream("out:"), "early\n");
    { std::ofstream(fifo) << "go\n"; }

    EXPECT_EQ(recorder.events().back(), "end");
    EXPECT_EQ(recorder.stream("out:"), "early\nlate\n");
    std::filesystem::remove_all(dir);
}

TEST(Subprocess, KillDeliversRemainingOutputAndTellsSignalFromExit) {
    struct Case {
        const char* name;
        const char* script;
        std::string output;
        Reason reason;
        int exitCode;
    };
    const Case cases[] = {
        {"default action", "echo ready; exec sleep 100", "ready\n", Reason::uncaughtSignal,
         SIGTERM},
        {"trapped",
         "trap 'echo bye; kill $!; exit 0' TERM; sleep 100 >/dev/null 2>&1 & echo ready; wait",
         "ready\nbye\n", Reason::exit, 0},
    };
    for (const auto& c : cases) {
        auto process = shell(c.script);
        std::promise<void> ready;
        std::string output;  // on the queue
        bool notified = false;
        process.launch(
            std::nullopt,
            [&, first = true](const Bytes& chunk) mutable {
                output += chunk;
                if (std::exchange(first, false)) ready.set_value();
            },
            nullptr, [&](Subprocess&) { notified = true; });
        ASSERT_EQ(ready.get_future().wait_for(hangGuard), std::future_status::ready);
        process.kill();
        process.waitForTermination();
        process.queue().sync([] {});  // the notice may still have been pending
        EXPECT_TRUE(notified) << c.name;
        EXPECT_EQ(output, c.output) << c.name;
        EXPECT_EQ(process.terminationReason(), c.reason) << c.name;
        EXPECT_EQ(process.exitCode(), c.exitCode) << c.name;
        process.kill();  // no longer running: nothing happens
    }
}

TEST(Subprocess, FailedLaunchThrowsAndNeverCallsAHandler) {
    bool called = false;
    const auto mark = [&](const Bytes&) { called = true; };
    {
        Subprocess process({"/nonexistent/program", "x"});
        try {
            process.launch(std::nullopt, mark, mark, [&](Subprocess&) { called = true; });
            FAIL() << "launch did not throw";
        } catch (const std::system_error& e) {
            EXPECT_EQ(e.code(), std::errc::no_such_file_or_directory);
        }
        process.waitForTermination();  // nothing to wait for
        EXPECT_FALSE(process.isRunning());
        EXPECT_EQ(process.pid(), 0);
        EXPECT_THROW(process.exitCode(), std::logic_error);
        process.queue().sync([] {});
    }
    {
        Subprocess process({"/bin/cat"});
        EXPECT_THROW(process.launch(Subprocess::Input::text("café", TextEncoding::ascii), mark),
                     SubprocessError);
        EXPECT_THROW(process.launch(std::nullopt, mark), std::logic_error);  // only once
    }
    EXPECT_THROW(Subprocess({"/bin/cat"}).launch(Subprocess::Input::file("/nonexistent/input")),
                 std::system_error);
    EXPECT_THROW(Subprocess(std::vector<std::string>{}).launch(), std::invalid_argument);
    EXPECT_FALSE(called);
}

TEST(Subprocess, WaitForTerminationFollowsTheLastChunkHandler) {
    auto process = shell("echo one; echo two >&2");
    std::atomic<int> finished = 0;
    const auto slow = [&](const Bytes&) {
        std::this_thread::sleep_for(50ms);  // a handler still busy when the child is gone
        ++finished;
    };
    process.launch(std::nullopt, slow, slow);
    process.waitForTermination();
    EXPECT_EQ(finished, 2);
    EXPECT_FALSE(process.isRunning());
}

TEST(Subprocess, InputReachesTheChild) {
    const auto file =
        std::filesystem::temp_directory_path() / ("qm-input-" + std::to_string(getpid()));
    { std::ofstream(file, std::ios::binary) << "from a file\n"; }
    Bytes large;
    for (int i = 0; large.size() < (1 << 20); ++i) large += std::to_string(i) + '\n';

    const std::pair<Subprocess::Input, Bytes> cases[] = {
        {Subprocess::Input::data(Bytes("raw\0bytes", 9)), Bytes("raw\0bytes", 9)},
        {Subprocess::Input::data(large), large},  // more than a pipe holds
        {Subprocess::Input::data(""), ""},
        {Subprocess::Input::text("café"), "café"},
        {Subprocess::Input::text("café", TextEncoding::isoLatin1), "caf\xE9"},
        {Subprocess::Input::file(file), "from a file\n"},
    };
    for (const auto& [input, expected] : cases) {
        Subprocess process({"/bin/cat"});
        std::promise<std::pair<Bytes, Bytes>> result;
        process.launchCollecting(input, [&](Subprocess&, const Bytes& out, const Bytes& err) {
            result.set_value({out, err});
        });
        auto future = result.get_future();
        ASSERT_EQ(future.wait_for(hangGuard), std::future_status::ready);
        auto [out, err] = future.get();
        EXPECT_EQ(out.size(), expected.size());
        EXPECT_TRUE(out == expected);
        EXPECT_EQ(err, "");
    }
    std::filesystem::remove(file);
}

TEST(Subprocess, ChildThatIgnoresItsInputStillEnds) {
    // The input is larger than a pipe holds and never read.
    auto process = shell("exec 0<&-; echo done");
    std::promise<Bytes> result;
    process.launchCollecting(
        Subprocess::Input::data(Bytes(1 << 20, 'x')),
        [&](Subprocess&, const Bytes& out, const Bytes&) { result.set_value(out); });
    auto future = result.get_future();
    ASSERT_EQ(future.wait_for(hangGuard), std::future_status::ready);
    EXPECT_EQ(future.get(), "done\n");
}

TEST(Subprocess, NoticeRunsAfterEveryHandleIsGone) {
    std::promise<int> code;
    {
        auto process = shell("echo hi; exit 5");
        process.launch(
            std::nullopt, [](const Bytes&) {}, nullptr,
            [&](Subprocess& p) { code.set_value(p.exitCode()); });
    }
    auto future = code.get_future();
    ASSERT_EQ(future.wait_for(hangGuard), std::future_status::ready);
    EXPECT_EQ(future.get(), 5);
}

TEST(Subprocess, SuspendAndResume) {
    // The child runs until the test lets it end, so that it is still there to suspend.
    const std::filesystem::path go =
        std::filesystem::temp_directory_path() / ("qm-go-" + std::to_string(getpid()));
    std::filesystem::remove(go);
    auto process = shell("while [ ! -e '" + go.string() + "' ]; do sleep 0.01; done; read x; echo \"[$x]\"");
    std::promise<Bytes> result;
    process.launchCollecting(
        std::nullopt, [&](Subprocess&, const Bytes& out, const Bytes&) { result.set_value(out); });
    EXPECT_TRUE(process.suspend());
    EXPECT_TRUE(process.resume());
    std::ofstream{go};
    auto future = result.get_future();
    ASSERT_EQ(future.wait_for(hangGuard), std::future_status::ready);
    EXPECT_EQ(future.get(), "[]\n");  // /dev/null as input
    process.waitForTermination();
    std::filesystem::remove(go);
    EXPECT_FALSE(process.suspend());
}

}  // namespace
