// file_source_throughput FILE [THREADS...]: replays FILE through the file event source
// (reading, line splitting, decoding, counting, one callback per event) with each number
// of decode threads given (default 1 and 8), and, beside it, decodes the same lines held
// in memory as decode_throughput does; prints each in MB/s, the source's share of the
// bare decoding speed, each run's processor time (all threads) and speed-up over the first.
//   esfixtures 20 473500 > cap1g.jsonl   (1 GB)
#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "BenchSupport.h"
#include "ESLoggerFile.h"
#include "ESMessage.h"

using bench::seconds;

namespace {

// Processor time of the process so far, all threads, user and system.
double cpuSeconds() {
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    auto secs = [](timeval t) { return double(t.tv_sec) + double(t.tv_usec) / 1e6; };
    return secs(usage.ru_utime) + secs(usage.ru_stime);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: file_source_throughput FILE [THREADS...]\n");
        return 2;
    }
    std::vector<unsigned> threadCounts;
    for (int i = 2; i < argc; ++i) threadCounts.push_back(unsigned(std::strtoul(argv[i], nullptr, 10)));
    if (threadCounts.empty()) threadCounts = {1, 8};

    std::size_t decoded = 0;
    double mb = 0, decodeSecs = 0;
    {
        // Reading also brings the file into the page cache, so every pass reads from memory.
        auto input = bench::readLines("file_source_throughput", argv[1]);
        if (!input) return 1;
        mb = double(input->bytes) / 1e6;
        const auto t0 = std::chrono::steady_clock::now();
        for (const auto& line : input->lines) {
            if (es::decodeMessage(line).ok()) ++decoded;
        }
        decodeSecs = seconds(t0);
    }
    const double decodeMBps = mb / decodeSecs;
    std::printf("decode_MBps=%.1f MB=%.1f load=%s\n", decodeMBps, mb, bench::loadAverage().c_str());

    double firstSecs = 0;
    for (unsigned threads : threadCounts) {
        // The application's settings: log level info, each event handed on and kept, as the
        // application keeps every event; the messages are freed after the clock stops.
        std::size_t errors = 0;
        std::vector<es::ESMessage> kept;
        kept.reserve(decoded);
        es::ESLoggerFile source(
            argv[1], [&](es::ESMessage&& message) { kept.push_back(std::move(message)); },
            [&](const es::ESLogger::Error&) { ++errors; }, logging::Logger::Level::info);
        source.setDecodeThreads(threads);
        const double cpu0 = cpuSeconds();
        const auto t0 = std::chrono::steady_clock::now();
        source.start();
        const double secs = seconds(t0), cpu = cpuSeconds() - cpu0;
        const std::size_t events = kept.size();
        if (firstSecs == 0) firstSecs = secs;
        std::printf("threads=%u secs=%.3f cpu_secs=%.3f file_source_MBps=%.1f ratio=%.3f speedup=%.2f events=%zu "
                    "load=%s\n",
                    threads, secs, cpu, mb / secs, mb / secs / decodeMBps, firstSecs / secs, events,
                    bench::loadAverage().c_str());
        if (errors || events != decoded || source.eventsDropped() != 0)
            std::fprintf(stderr,
                         "file_source_throughput: %zu errors, %zu events of %zu decodable lines, %lld dropped\n",
                         errors, events, decoded, static_cast<long long>(source.eventsDropped()));
    }
    return 0;
}
