// chunked_line_bench [MB]: times two awkward inputs through the tail source (a tail
// child whose output arrives in pipe-sized chunks) and through the file source (one
// line at a time): one exec event of about MB megabytes (default 100) on a single line,
// and "{" followed by 80,000 lines "\"x\": 1," (a fragment that never closes) then one
// valid line. Prints the seconds of each source, the tail source's share of the file
// source's time, and how long stopping the tail source took, with the load average.
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
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

namespace {

// An exec event whose arguments (options and paths of varying length) fill about bytes.
std::string longExecLine(std::size_t bytes) {
    fixtures::FixtureGenerator generator(3);
    es::ESMessage message = generator.next(*es::eventTagOfKey("exec"));
    es::ESEvent_exec exec = *message.event.get<es::ESEvent_exec>();
    std::vector<std::string> args{"/usr/bin/clang"};
    for (std::size_t size = 0, i = 0; size < bytes; ++i) {
        std::string arg = i % 3 ? "-I" + generator.filePath() : "--option-" + std::to_string(i) + "=\"q[" +
                                                                     std::to_string(generator.range(0, 1 << 30)) + "]\"";
        size += arg.size() + 3;
        args.push_back(std::move(arg));
    }
    exec.args = std::move(args);
    message.event = es::ESEvent(std::move(exec));
    return es::encodeMessage(message);
}

struct Figures {
    double fileSecs = 0, tailSecs = 0, stopSecs = 0;
    bool tailDone = false;
};

// Both sources read path until its one decodable event has arrived.
Figures timeSources(const std::filesystem::path& path) {
    Figures f;
    std::size_t events = 0;
    es::ESLoggerFile file(path, [&](es::ESMessage) { ++events; }, {}, logging::Logger::Level::info);
    auto t0 = Clock::now();
    file.start();
    f.fileSecs = seconds(t0);
    if (events != 1) std::fprintf(stderr, "chunked_line_bench: file source gave %zu events\n", events);

    std::atomic<int> tailEvents = 0;
    es::ESLoggerTail tail(path, [&](es::ESMessage) { ++tailEvents; }, {}, logging::Logger::Level::info,
                          dispatch::QoS::normal, false);
    t0 = Clock::now();
    tail.start();
    while (tailEvents.load() == 0 && seconds(t0) < 60) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    f.tailSecs = seconds(t0);
    f.tailDone = tailEvents.load() == 1;
    t0 = Clock::now();
    tail.stop();
    f.stopSecs = seconds(t0);
    return f;
}

void print(const char* name, const Figures& f) {
    std::printf("%s: file_source_s=%.3f chunked_s=%.3f%s ratio=%.2f stop_s=%.3f load=%s\n", name, f.fileSecs,
                f.tailSecs, f.tailDone ? "" : "(no event: gave up)", f.tailSecs / f.fileSecs, f.stopSecs,
                bench::loadAverage().c_str());
}

}  // namespace

int main(int argc, char** argv) {
    const std::size_t mb = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 100;
    std::string pattern = (std::filesystem::temp_directory_path() / "chunked-bench-XXXXXX").string();
    if (!::mkdtemp(pattern.data())) {
        std::perror("chunked_line_bench: mkdtemp");
        return 1;
    }
    const std::filesystem::path dir = pattern;

    const std::string line = longExecLine(mb * 1000 * 1000);
    std::ofstream(dir / "long.jsonl", std::ios::binary) << line << '\n';
    {
        std::ofstream out(dir / "fragment.jsonl", std::ios::binary);
        out << "{\n";
        for (int i = 0; i < 80'000; ++i) out << "\"x\": 1,\n";
        fixtures::FixtureGenerator generator(5);
        out << generator.nextLine() << '\n';
    }
    std::printf("long line: %.1f MB\n", double(line.size()) / 1e6);
    print("one_long_line", timeSources(dir / "long.jsonl"));
    print("brace_then_80k_lines", timeSources(dir / "fragment.jsonl"));
    std::filesystem::remove_all(dir);
    return 0;
}
