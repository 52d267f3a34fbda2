// The file source when memory runs out: in a reader thread, on the delivering thread, or
// anywhere under an address-space limit smaller than the file. The read ends with one
// internalError after the events before the failure, in file order, and nothing ends
// the process.
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <new>
#include <string>

#include "CaptureTestSupport.h"
#include "ESLoggerFile.h"
#include "FailingAllocation.h"

using namespace capturetest;
using es::ESLoggerFile;

namespace {

// What a read gave: the sequence numbers delivered, and the errors.
struct Read {
    std::vector<std::int64_t> sequence;
    std::vector<es::ESLogger::Error> errors;
    bool running = true;

    // The first `count` numbers from `first` on, each once, in file order.
    bool isPrefixFrom(std::int64_t first) const {
        for (std::size_t i = 0; i < sequence.size(); ++i)
            if (sequence[i] != first + std::int64_t(i)) return false;
        return true;
    }
    bool oneMemoryError() const {
        return errors == std::vector{es::ESLogger::Error(Kind::internalError, std::bad_alloc().what())};
    }
};

Read readFile(const std::filesystem::path& file, unsigned threads, std::size_t blockSize) {
    Read read;
    ESLoggerFile source(
        file, [&](es::ESMessage&& m) { read.sequence.push_back(m.global_seq_num); },
        [&](const es::ESLogger::Error& e) { read.errors.push_back(e); }, Level::error);
    source.setDecodeThreads(threads);
    source.setBlockSize(blockSize);
    source.start();
    read.running = source.isRunning();
    return read;
}

// A line too long to be read: a block that holds it cannot be allocated, in a reader
// thread; line by line, its buffer cannot grow.
TEST(FileSourceMemory, ALineThatCannotBeHeldEndsTheReadWithOneError) {
    TempDir dir;
    std::vector<std::int64_t> numbers;
    for (int i = 1; i <= 400; ++i) numbers.push_back(i);
    auto lines = linesWithSequence(numbers);
    lines.insert(lines.begin() + 200, std::string(4 << 20, ' '));
    const auto file = dir.write("long.jsonl", joinLines(lines));
    for (unsigned threads : {1u, 4u}) {
        SCOPED_TRACE(std::to_string(threads) + " threads");
        Read read;
        {
            const failalloc::FromSize noRoom(1 << 20);
            read = readFile(file, threads, 64 << 10);
        }
        EXPECT_TRUE(read.oneMemoryError());
        EXPECT_TRUE(read.isPrefixFrom(1));
        EXPECT_GT(read.sequence.size(), 0u);
        EXPECT_LE(read.sequence.size(), 200u);
        EXPECT_FALSE(read.running);
    }
}

// The current address space in bytes.
std::size_t addressSpace() {
    std::ifstream status("/proc/self/status");
    for (std::string key; status >> key;) {
        std::size_t kib = 0;
        if (key == "VmSize:" && status >> kib) return kib << 10;
        status.ignore(1 << 10, '\n');
    }
    return 0;
}

// In a child: a file larger than the room an address-space limit leaves, read by a
// source that keeps every message. The child reports what it got and exits normally.
[[noreturn]] void readUnderAddressLimit() {
    bool ok = false;
    std::size_t delivered = 0;
    {
        TempDir dir;
        constexpr std::size_t room = std::size_t(128) << 20;
        const auto path = dir / "large.jsonl";
        std::int64_t first = 0;
        {
            std::ofstream out(path, std::ios::binary);
            fixtures::FixtureGenerator generator(11);
            for (std::size_t bytes = 0; bytes < room + (room >> 2);) {
                const es::ESMessage message = generator.next();
                if (first == 0) first = message.global_seq_num;
                const std::string line = es::encodeMessage(message) + "\n";
                out << line;
                bytes += line.size();
            }
        }
        std::vector<es::ESMessage> kept;
        std::vector<es::ESLogger::Error> errors;
        bool running = true;
        {
            const rlimit limit{addressSpace() + room, RLIM_INFINITY};
            if (::setrlimit(RLIMIT_AS, &limit) != 0) std::_Exit(2);
            ESLoggerFile source(
                path, [&](es::ESMessage&& m) { kept.push_back(std::move(m)); },
                [&](const es::ESLogger::Error& e) { errors.push_back(e); }, Level::error);
            source.setDecodeThreads(8);
            source.start();
            running = source.isRunning();
        }
        delivered = kept.size();
        bool inOrder = true;
        for (std::size_t i = 0; i < kept.size(); ++i) inOrder = inOrder && kept[i].global_seq_num == first + std::int64_t(i);
        kept = {};
        const rlimit none{RLIM_INFINITY, RLIM_INFINITY};
        ::setrlimit(RLIMIT_AS, &none);
        ok = !running && inOrder && delivered > 0 &&
             errors == std::vector{es::ESLogger::Error(Kind::internalError, std::bad_alloc().what())};
        if (!ok) {
            std::fprintf(stderr, "in order: %d, running: %d, errors:", int(inOrder), int(running));
            for (const auto& e : errors) std::fprintf(stderr, " %s", e.description().c_str());
            std::fputc('\n', stderr);
        }
    }
    std::fprintf(stderr, "%s after %zu events in file order\n", ok ? "one memory error" : "not as expected", delivered);
    std::exit(ok ? 0 : 1);
}

TEST(FileSourceMemory, UnderAnAddressLimitSmallerThanTheFileTheReadEndsWithOneError) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "a sanitizer reserves its memory at start, so an address limit set later is never reached";
#endif
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(readUnderAddressLimit(), testing::ExitedWithCode(0), "one memory error after [1-9][0-9]* events in file order");
}

}  // namespace
