// follow_bench [EVENTS] [RATE]: the two stream sources following a live stream.
//  - tail: follows an empty file (the real tail source and /usr/bin/tail) while EVENTS
//    (default 100,000) events are appended at RATE per second (default 10,000), written
//    as a buffered writer does, in 4 KiB blocks that cut lines anywhere;
//  - live: the live source runs a stand-in eslogger (a script that runs this program
//    with --emit) that writes the same stream in 64 KiB chunks at the same rate.
// For each it prints events received, lost (appended and never received) and
// eventsDropped. Then it times following 20,000 and 80,000 lines of non-JSON text (log
// lines, and "1 x") and one event after them, through the tail source and the file
// source (both of its readers), and prints the seconds (best of five) and the ratio of
// the two counts. Lines are shaped like
// real ones (shuffled keys, unknown keys, version 10). Every figure comes with the load
// average.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include "BenchSupport.h"
#include "ESLoggerFile.h"
#include "ESLoggerTail.h"
#include "FixtureGenerator.h"

using bench::seconds;
using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;

namespace {

// EVENTS lines of events numbered 1, 2, ...: the text and where each line ends.
struct Stream {
    std::string text;
    std::vector<std::size_t> lineEnds;
};

Stream makeStream(std::size_t events) {
    fixtures::FixtureGenerator generator(26);
    const fixtures::LineShape shape{.shuffledKeys = true, .unknownKeys = true, .version10 = true};
    Stream stream;
    for (std::size_t i = 1; i <= events; ++i) {
        es::ESMessage message = generator.next();
        message.global_seq_num = static_cast<std::int64_t>(i);
        stream.text += generator.shapeLine(es::encodeMessage(message), shape) + '\n';
        stream.lineEnds.push_back(stream.text.size());
    }
    return stream;
}

bool writeAll(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        const ssize_t n = ::write(fd, bytes.data(), bytes.size());
        if (n < 0) return false;
        bytes.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

// Writes stream to fd at rate events per second: each write ends at the last block
// boundary (block bytes) before the end of the events due by now, and the last write at
// the end. block 0: the bytes due, whole lines.
void pacedWrite(int fd, const Stream& stream, double rate, std::size_t block) {
    const auto start = Clock::now();
    std::size_t written = 0;
    const std::size_t events = stream.lineEnds.size();
    while (written < stream.text.size()) {
        const auto due = std::min(events, static_cast<std::size_t>(seconds(start) * rate));
        std::size_t end = due == 0 ? 0 : stream.lineEnds[due - 1];
        if (due < events && block > 0) end -= end % block;
        if (end > written) {
            if (!writeAll(fd, std::string_view(stream.text).substr(written, end - written))) return;
            written = end;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

struct Counts {
    std::atomic<std::size_t> received = 0;
    std::atomic<std::int64_t> lastNumber = 0;
    std::atomic<std::size_t> outOfOrder = 0;
    std::atomic<std::size_t> errors = 0;

    es::ESLogger::EventCallback events() {
        return [this](es::ESMessage message) {
            if (message.global_seq_num != lastNumber.load() + 1) ++outOfOrder;
            lastNumber = message.global_seq_num;
            ++received;
        };
    }
    es::ESLogger::ErrorCallback errorCallback() {
        return [this](const es::ESLogger::Error&) { ++errors; };
    }
    // Waits until every event has arrived or none has for 10 s.
    void waitFor(std::size_t events) const {
        std::size_t seen = received.load();
        auto progress = Clock::now();
        while (received.load() < events && seconds(progress) < 10) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
            if (received.load() != seen) {
                seen = received.load();
                progress = Clock::now();
            }
        }
    }
};

void printFollow(const char* name, std::size_t events, const Counts& counts, const es::ESLogger& source,
                 double secs) {
    std::printf("%s: events=%zu received=%zu lost=%zu eventsDropped=%lld out_of_order=%zu errors=%zu s=%.2f load=%s\n",
                name, events, counts.received.load(), events - std::min(events, counts.received.load()),
                static_cast<long long>(source.eventsDropped()), counts.outOfOrder.load(), counts.errors.load(), secs,
                bench::loadAverage().c_str());
}

void followTail(const fs::path& dir, const Stream& stream, double rate) {
    const fs::path path = dir / "growing.jsonl";
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return std::perror("follow_bench: open");
    Counts counts;
    es::ESLoggerTail source(path, counts.events(), counts.errorCallback(), logging::Logger::Level::info,
                            dispatch::QoS::normal, true);
    const auto start = Clock::now();
    source.start();
    pacedWrite(fd, stream, rate, 4096);
    ::close(fd);
    counts.waitFor(stream.lineEnds.size());
    const double secs = seconds(start);
    source.stop();
    printFollow("tail_follow", stream.lineEnds.size(), counts, source, secs);
}

void followLive(const fs::path& dir, const Stream& stream, double rate) {
    const fs::path capture = dir / "capture.jsonl";
    std::ofstream(capture, std::ios::binary) << stream.text;
    const fs::path self = fs::read_symlink("/proc/self/exe");
    const fs::path standIn = dir / "eslogger";
    std::ofstream(standIn) << "#!/bin/sh\n"
                              "if [ \"$1\" = --list-events ]; then printf 'readdir\\nexec\\nsetgid\\nopen\\nclose\\n'; exit 0; fi\n"
                              "exec '"
                           << self.string() << "' --emit '" << capture.string() << "' " << stream.lineEnds.size()
                           << " " << rate << "\n";
    fs::permissions(standIn, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec);
    Counts counts;
    es::ESLogger source({"exec", "open", "close"}, counts.events(), counts.errorCallback(),
                        logging::Logger::Level::info, dispatch::QoS::normal, standIn.string());
    const auto start = Clock::now();
    source.start();
    counts.waitFor(stream.lineEnds.size());
    const double secs = seconds(start);
    source.stop();
    printFollow("live_follow_64KiB_chunks", stream.lineEnds.size(), counts, source, secs);
}

// The stand-in eslogger: writes the capture's events to standard output in 64 KiB chunks
// at the rate, then waits to be stopped.
int emit(const char* capture, std::size_t events, double rate) {
    std::ifstream in(capture, std::ios::binary);
    Stream stream;
    for (std::string line; std::getline(in, line);) {
        stream.text += line + '\n';
        stream.lineEnds.push_back(stream.text.size());
    }
    if (stream.lineEnds.size() != events) return 1;
    pacedWrite(STDOUT_FILENO, stream, rate, 64 * 1024);
    ::pause();
    return 0;
}

struct TextSeconds {
    double tail = 1e9, file = 1e9, fileLines = 1e9;  // the best of the runs
};

// Seconds until the one event after lines of text has arrived through each source, the
// best of five runs (the machine is noisy). numbered: each line ends in its number. The
// file source reads only a file that begins with "{": its copy has a line "{" first.
TextSeconds timeText(const fs::path& dir, const char* name, const std::string& line, bool numbered,
                     std::size_t lines) {
    const fs::path path = dir / "text.log", filePath = dir / "text-for-file-source.log";
    {
        std::string text;
        for (std::size_t i = 0; i < lines; ++i) text += (numbered ? line + std::to_string(i) : line) + '\n';
        fixtures::FixtureGenerator generator(5);
        text += generator.nextLine() + '\n';
        std::ofstream(path, std::ios::binary) << text;
        std::ofstream(filePath, std::ios::binary) << "{\n" << text;
    }
    TextSeconds best;
    bool allArrived = true;
    for (int run = 0; run < 5; ++run) {
        Counts tailCounts;
        es::ESLoggerTail tail(path, tailCounts.events(), {}, logging::Logger::Level::info, dispatch::QoS::normal,
                              false);
        auto start = Clock::now();
        tail.start();
        while (tailCounts.received.load() == 0 && seconds(start) < 600)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        best.tail = std::min(best.tail, seconds(start));
        tail.stop();
        allArrived = allArrived && tailCounts.received.load() == 1;

        // As the application runs it (blocks decoded ahead), and line by line on one thread.
        for (unsigned threads : {0u, 1u}) {
            Counts fileCounts;
            es::ESLoggerFile file(filePath, fileCounts.events(), {}, logging::Logger::Level::info);
            file.setDecodeThreads(threads);
            start = Clock::now();
            file.start();
            double& slot = threads == 0 ? best.file : best.fileLines;
            slot = std::min(slot, seconds(start));
            allArrived = allArrived && fileCounts.received.load() == 1;
        }
    }
    std::printf("text_%s_%zu_lines: tail_s=%.3f file_source_s=%.3f file_source_line_by_line_s=%.3f%s load=%s\n", name,
                lines, best.tail, best.file, best.fileLines, allArrived ? "" : " (an event did not arrive)",
                bench::loadAverage().c_str());
    std::fflush(stdout);
    return best;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 5 && std::strcmp(argv[1], "--emit") == 0)
        return emit(argv[2], std::strtoul(argv[3], nullptr, 10), std::strtod(argv[4], nullptr));
    const std::size_t events = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 100'000;
    const double rate = argc > 2 ? std::strtod(argv[2], nullptr) : 10'000;

    std::string pattern = (fs::temp_directory_path() / "follow-bench-XXXXXX").string();
    if (!::mkdtemp(pattern.data())) {
        std::perror("follow_bench: mkdtemp");
        return 1;
    }
    const fs::path dir = pattern;
    ::chmod(dir.c_str(), 0755);
    const Stream stream = makeStream(events);
    std::printf("stream: %zu events, %.1f MB, %.0f events/s\n", events, double(stream.text.size()) / 1e6, rate);
    std::fflush(stdout);
    followTail(dir, stream, rate);
    std::fflush(stdout);
    followLive(dir, stream, rate);
    std::fflush(stdout);
    struct Text {
        const char* name;
        const char* line;
        bool numbered;
    };
    for (const Text& t : {Text{"log", "2026-12-10 13:00:00.125 worker[412] finished step ", true},
                          Text{"one_x", "1 x", false}}) {
        const TextSeconds small = timeText(dir, t.name, t.line, t.numbered, 20'000);
        const TextSeconds large = timeText(dir, t.name, t.line, t.numbered, 80'000);
        std::printf("text_%s ratio_80k_to_20k: tail=%.2f file_source=%.2f file_source_line_by_line=%.2f (at most 5) "
                    "load=%s\n",
                    t.name, large.tail / small.tail, large.file / small.file, large.fileLines / small.fileLines,
                    bench::loadAverage().c_str());
    }
    fs::remove_all(dir);
    return 0;
}
