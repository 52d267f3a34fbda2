// decode_throughput FILE: decodes every line of FILE into messages on one thread,
// parses the same lines with the JSON parser alone (no records built), and encodes
// the decoded messages again; prints the throughput of each in MB/s.
// Inputs of the three shapes of real captures (about 200 MB each):
//   esfixtures 7 96000 > declared.jsonl
//   esfixtures --shuffled-keys 7 96000 > shuffled.jsonl
//   esfixtures --unknown-keys 7 73000 > unknown.jsonl
#include <simdjson.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "BenchSupport.h"
#include "ESMessage.h"

using bench::seconds;

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: decode_throughput FILE\n");
        return 2;
    }
    auto input = bench::readLines("decode_throughput", argv[1]);
    if (!input) return 1;
    const auto& lines = input->lines;
    const double mb = double(input->bytes) / 1e6;

    // Each phase runs three times, alternating, and the best time counts, so that
    // other load on the machine disturbs the ratio less.
    simdjson::dom::parser parser;
    std::string buffer;
    std::size_t parsed = 0, failed = 0;
    double parseSecs = 1e300, decodeSecs = 1e300;
    for (int round = 0; round < 3; ++round) {
        // Parse only: the same padded copy per line that decoding makes.
        parsed = 0;
        auto t0 = std::chrono::steady_clock::now();
        for (const auto& line : lines) {
            buffer.reserve(line.size() + simdjson::SIMDJSON_PADDING);
            buffer.assign(line);
            if (!parser.parse(buffer.data(), buffer.size(), false).error()) ++parsed;
        }
        parseSecs = std::min(parseSecs, seconds(t0));

        // Decoding alone: each message is built and dropped, as a reader that hands
        // messages on would do.
        failed = 0;
        t0 = std::chrono::steady_clock::now();
        for (const auto& line : lines) {
            if (!es::decodeMessage(line).ok()) ++failed;
        }
        decodeSecs = std::min(decodeSecs, seconds(t0));
    }

    std::vector<es::ESMessage> messages;
    messages.reserve(lines.size());
    for (const auto& line : lines) {
        auto d = es::decodeMessage(line);
        if (d.ok()) messages.push_back(std::move(d).value());
    }

    std::string out;
    std::size_t written = 0;
    auto t0 = std::chrono::steady_clock::now();
    for (const auto& m : messages) {
        out.clear();
        es::appendMessage(out, m);
        written += out.size() + 1;
    }
    double encodeSecs = seconds(t0);

    double decodeMBps = mb / decodeSecs, parseMBps = mb / parseSecs;
    std::printf("decode_MBps=%.1f parse_only_MBps=%.1f ratio=%.3f encode_MBps=%.1f events=%zu\n", decodeMBps,
                parseMBps, decodeMBps / parseMBps, double(written) / 1e6 / encodeSecs, messages.size());
    if (failed || parsed != lines.size())
        std::fprintf(stderr, "decode_throughput: %zu lines failed to decode, %zu to parse\n", failed,
                     lines.size() - parsed);
    return 0;
}
