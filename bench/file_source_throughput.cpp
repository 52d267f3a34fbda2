// file_source_throughput FILE: replays FILE through the file event source (reading,
// line splitting, decoding, counting, one callback per event) and, beside it, decodes
// the same lines held in memory as decode_throughput does; prints both in MB/s and the
// source's share of the bare decoding speed.
#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "BenchSupport.h"
#include "ESLoggerFile.h"
#include "ESMessage.h"

using bench::seconds;

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: file_source_throughput FILE\n");
        return 2;
    }
    // Reading also brings the file into the page cache, so both passes read from memory.
    auto input = bench::readLines("file_source_throughput", argv[1]);
    if (!input) return 1;
    const auto& lines = input->lines;
    const double mb = double(input->bytes) / 1e6;

    std::size_t decoded = 0;
    auto t0 = std::chrono::steady_clock::now();
    for (const auto& line : lines) {
        if (es::decodeMessage(line).ok()) ++decoded;
    }
    const double decodeSecs = seconds(t0);

    // The application's settings: log level info, each event handed on by value.
    std::size_t events = 0, errors = 0;
    es::ESLoggerFile source(
        argv[1], [&](es::ESMessage) { ++events; }, [&](const es::ESLogger::Error&) { ++errors; },
        logging::Logger::Level::info);
    t0 = std::chrono::steady_clock::now();
    source.start();
    const double sourceSecs = seconds(t0);

    const double sourceMBps = mb / sourceSecs, decodeMBps = mb / decodeSecs;
    std::printf("file_source_MBps=%.1f decode_MBps=%.1f ratio=%.3f events=%zu MB=%.1f\n", sourceMBps,
                decodeMBps, sourceMBps / decodeMBps, events, mb);
    if (errors || events != decoded || source.eventsDropped() != 0)
        std::fprintf(stderr,
                     "file_source_throughput: %zu errors, %zu events of %zu decodable lines, %lld dropped\n",
                     errors, events, decoded, static_cast<long long>(source.eventsDropped()));
    return 0;
}
