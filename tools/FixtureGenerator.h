#pragma once
// Writes valid eslogger-shaped messages with plausible values: every event kind,
// processes with parents and audit tokens, increasing global_seq_num and time,
// optional keys sometimes present and sometimes not. Deterministic for a seed.

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "ESMessage.h"

namespace fixtures {

// How lines are written. The encoder writes keys in declaration order; eslogger
// writes each object's keys in an order of its own, adds keys the model does not
// read, and from version 10 on writes audit tokens as arrays.
struct LineShape {
    bool shuffledKeys = false;  // every object's keys in a random order
    bool reversedKeys = false;  // every object's keys in reverse order
    bool unknownKeys = false;   // one or two keys the model does not know in every object, at random places
    bool version10 = false;     // "version":10, audit tokens as arrays in the kernel's order, processes
                                // with cs_validation_category
};

class FixtureGenerator {
public:
    explicit FixtureGenerator(std::uint64_t seed);

    // The next message. The first 103 messages cover every event kind in tag order;
    // later ones pick kinds at random, common file and process events more often.
    es::ESMessage next();
    // The next message of the event kind with the given tag.
    es::ESMessage next(std::size_t tag);
    // The next message as one compact JSON line (without the line feed).
    std::string nextLine() { return es::encodeMessage(next()); }
    // The same in the given shape. A generator with the same seed gives the same
    // messages in every shape.
    std::string nextLine(const LineShape& shape) { return shapeLine(nextLine(), shape); }
    // A compact line written by the encoder, rewritten in the given shape.
    std::string shapeLine(const std::string& line, const LineShape& shape);

    struct Program {
        std::string path;
        bool platform;
        std::int64_t uid;
    };
    struct Process {
        std::size_t program;
        std::int64_t pid, ppid, pidversion, session;
        std::string startTime;
    };

    // Used by the generic value filler.
    std::mt19937_64& rng() { return rng_; }
    bool chance(int percent) { return std::uniform_int_distribution<int>(0, 99)(rng_) < percent; }
    std::int64_t range(std::int64_t lo, std::int64_t hi) { return std::uniform_int_distribution<std::int64_t>(lo, hi)(rng_); }
    const std::string& pick(const std::vector<std::string>& v) { return v[std::size_t(range(0, std::int64_t(v.size()) - 1))]; }
    es::ESProcess makeProcess();
    es::ESFile makeFile(std::string path);
    std::string filePath();
    std::string timeText(std::int64_t offsetSeconds = 0) const;

private:
    std::size_t pickTag();
    es::ESProcess processRecord(const Process& p);

    std::mt19937_64 rng_;
    std::mt19937_64 shapeRng_;  // apart from rng_, so that shapes leave the messages alone
    std::vector<Process> processes_;
    std::int64_t seq_ = 0;
    std::int64_t micros_ = 0;  // time since the start of the capture
    std::int64_t nextPid_ = 300;
    std::vector<std::int64_t> seqByType_;
};

}  // namespace fixtures
