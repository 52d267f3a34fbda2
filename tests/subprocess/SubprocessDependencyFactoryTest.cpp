// The shared factory: a replacement is what the next construction and input preparation
// use, children made before keep what they were made with, and reads racing with
// replacements each get one whole factory.
#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <thread>

#include "Subprocess.h"

using namespace subprocess;
using namespace std::chrono_literals;

namespace {

// Puts the default factory back when a test ends, even a failed one.
struct RestoreSharedFactory {
    std::shared_ptr<const SubprocessDependencyFactory> saved =
        SubprocessDependencyBuilder::sharedFactory();
    ~RestoreSharedFactory() { SubprocessDependencyBuilder::setSharedFactory(saved); }
};

// Runs every command through /bin/echo with a marker in front, and marks input bytes;
// counts what it makes.
class MarkingFactory final : public SubprocessDependencyFactory {
public:
    std::unique_ptr<Process> makeProcess(const std::vector<std::string>& command) const override {
        ++processes;
        std::vector<std::string> echoed{"/bin/echo", "replaced"};
        echoed.insert(echoed.end(), command.begin(), command.end());
        return system_.makeProcess(echoed);
    }
    FileHandle makeFileHandle(const std::filesystem::path&) const override {
        ++files;
        return system_.makeFileHandle("/dev/null");
    }
    InputPipe makeInputPipe(Bytes data) const override { return system_.makeInputPipe(data + "!"); }

    mutable std::atomic<int> processes = 0, files = 0;

private:
    SubprocessDependencyBuilder system_;
};

Bytes collectedOutput(Subprocess& process, std::optional<Subprocess::Input> input = {}) {
    std::promise<Bytes> output;
    process.launchCollecting(std::move(input), [&](Subprocess&, const Bytes& out, const Bytes&) {
        output.set_value(out);
    });
    auto future = output.get_future();
    if (future.wait_for(60s) != std::future_status::ready) return "(no termination)";
    return future.get();
}

TEST(SubprocessDependencyFactory, ReplacementIsUsedByTheNextConstruction) {
    RestoreSharedFactory restore;
    Subprocess before({"/bin/echo", "original"});
    auto factory = std::make_shared<MarkingFactory>();
    SubprocessDependencyBuilder::setSharedFactory(factory);

    Subprocess after({"/bin/echo", "x"});
    EXPECT_EQ(factory->processes, 1);
    EXPECT_EQ(collectedOutput(before), "original\n");
    EXPECT_EQ(collectedOutput(after), "replaced /bin/echo x\n");

    // Input preparation reads the factory at launch: the pipe's bytes and the file are its.
    SubprocessDependencyBuilder::setSharedFactory(std::make_shared<SubprocessDependencyBuilder>());
    Subprocess cat({"/bin/cat"}), catFile({"/bin/cat"});
    SubprocessDependencyBuilder::setSharedFactory(factory);
    EXPECT_EQ(collectedOutput(cat, Subprocess::Input::data("in")), "in!");
    EXPECT_EQ(collectedOutput(catFile, Subprocess::Input::file("/nonexistent/input")), "");
    EXPECT_EQ(factory->files, 1);

    EXPECT_THROW(SubprocessDependencyBuilder::setSharedFactory(nullptr), std::invalid_argument);
    EXPECT_EQ(SubprocessDependencyBuilder::sharedFactory(), factory);
}

TEST(SubprocessDependencyFactory, ReadsAndReplacementsAreSerialised) {
    RestoreSharedFactory restore;
    auto first = std::make_shared<MarkingFactory>();
    auto a = std::make_shared<MarkingFactory>(), b = std::make_shared<MarkingFactory>();
    SubprocessDependencyBuilder::setSharedFactory(first);
    constexpr int readers = 4, reads = 2000, replacements = 2000;
    std::atomic<bool> go = false;
    std::vector<std::thread> threads;
    for (int t = 0; t < readers; ++t)
        threads.emplace_back([&] {
            while (!go) std::this_thread::yield();
            for (int i = 0; i < reads; ++i)
                SubprocessDependencyBuilder::sharedFactory()->makeProcess({"/bin/true"});
        });
    go = true;
    for (int i = 0; i < replacements; ++i)
        SubprocessDependencyBuilder::setSharedFactory(i % 2 ? a : b);
    for (auto& thread : threads) thread.join();
    // Every read got one whole factory that was in force, and kept it while using it.
    EXPECT_EQ(first->processes + a->processes + b->processes, readers * reads);
    EXPECT_EQ(SubprocessDependencyBuilder::sharedFactory(), a);
}

}  // namespace
