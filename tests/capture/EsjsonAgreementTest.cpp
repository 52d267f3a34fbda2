// esjson reads a file as the file source does: on seeded random files of valid, broken,
// truncated and folded lines, numbers, log text and ill-formed UTF-8, ended by LF, CRLF,
// CR, VT, FF or nothing, with empty lines, both give the same events and errors in the
// same order and the same counters, with either reader of the file source.
#include <gtest/gtest.h>

#include <fstream>
#include <random>

#include "CaptureTestSupport.h"
#include "ESLoggerFile.h"
#include "Shell.h"

using namespace capturetest;
using Error = es::ESLogger::Error;

namespace {

// Messages and errors in the order they came, and the counters as esjson writes them.
struct Replay {
    std::vector<std::string> lines;
    std::string counts;
    friend bool operator==(const Replay&, const Replay&) = default;
};

std::ostream& operator<<(std::ostream& out, const Replay& run) {
    for (const auto& line : run.lines) out << line << "\n";
    return out << run.counts;
}

Replay esjsonRun(const std::filesystem::path& file, const TempDir& dir) {
    const auto counts = dir / "counts";
    const subprocess::Bytes output =
        subprocess::Shell({"/bin/sh", "-c",
                           std::string("'") + ESJSON_PATH + "' < '" + file.string() + "' 2> '" + counts.string() +
                               "'; exit 0"})
            .exec();
    Replay run;
    for (std::size_t start = 0, end; (end = output.find('\n', start)) != std::string::npos; start = end + 1)
        run.lines.push_back(output.substr(start, end - start));
    std::ifstream in(counts);
    std::getline(in, run.counts);
    return run;
}

Replay sourceRun(const std::filesystem::path& file, unsigned threads) {
    Replay run;
    es::ESLoggerFile source(
        file, [&](es::ESMessage message) { run.lines.push_back(es::encodeMessage(message)); },
        [&](const Error& error) { run.lines.push_back("error " + error.description()); }, Level::info);
    source.setDecodeThreads(threads);
    source.setBlockSize(256);  // every few lines cross a block border
    source.start();
    run.counts = "seen " + std::to_string(source.eventsSeen()) + " dropped " + std::to_string(source.eventsDropped());
    return run;
}

std::string replaced(std::string text, const std::string& from, const std::string& to) {
    const auto at = text.find(from);
    if (at != std::string::npos) text.replace(at, from.size(), to);
    return text;
}

// One random file: mostly valid lines, and every kind of bad one between them.
std::string randomFile(std::mt19937& random, const std::vector<std::string>& valid) {
    auto pick = [&](std::size_t n) { return std::size_t(random() % n); };
    auto line = [&] { return valid[pick(valid.size())]; };
    const std::string ends[] = {"\n", "\r\n", "\r", "\v", "\f", "\n\n", "\r\n\r\n"};
    std::string text;
    const std::size_t count = 1 + pick(25);
    for (std::size_t i = 0; i < count; ++i) {
        std::string piece;
        switch (i == 0 && pick(10) != 0 ? 0 : pick(11)) {
            case 0:
            case 1:
            case 2: piece = line(); break;
            case 3: piece = line().substr(0, 1 + pick(200)); break;  // truncated
            case 4: piece = replaced(line(), "\"time\":", "\"tyme\":"); break;  // missing key
            case 5: piece = replaced(line(), "\"global_seq_num\":", "\"global_seq_num\":\"x\",\"y\":"); break;
            case 6: piece = std::to_string(random()); break;
            case 7: piece = "2026-12-10 13:00:01 host x: started"; break;
            case 8: piece = replaced(line(), "\"path\":\"/", "\"path\":\"/\xE2\x82\xF0\x9F\xFF"); break;
            case 9: {  // folded at a random byte
                const std::string whole = line();
                const std::size_t at = 1 + pick(whole.size() - 1);
                piece = whole.substr(0, at) + ends[pick(std::size(ends))] + whole.substr(at);
                break;
            }
            default: break;  // an empty line
        }
        text += piece;
        if (i + 1 < count || pick(3) != 0) text += ends[pick(std::size(ends))];
    }
    return text;
}

TEST(EsjsonAgreement, SameEventsErrorsAndCountsAsTheFileSourceOnRandomFiles) {
    std::vector<std::int64_t> numbers;
    for (std::int64_t n = 1; n <= 40; ++n) numbers.push_back(n * (n % 7 == 0 ? 3 : 1));
    const auto valid = linesWithSequence(numbers);
    std::mt19937 random(35);
    TempDir dir;
    std::size_t withErrors = 0, withoutFirstObject = 0;
    for (int i = 0; i < 300; ++i) {
        const std::string content = randomFile(random, valid);
        const auto file = dir.write("random.jsonl", content);
        const Replay esjson = esjsonRun(file, dir);
        const unsigned threads = i % 2 ? 4 : 1;
        ASSERT_EQ(sourceRun(file, threads), esjson) << "file " << i << ", " << threads << " threads:\n" << content;
        for (const auto& line : esjson.lines) withErrors += line.starts_with("error ");
        withoutFirstObject += !content.starts_with('{');
    }
    // The files did hold what they are meant to.
    EXPECT_GT(withErrors, 100u);
    EXPECT_GT(withoutFirstObject, 10u);
}

}  // namespace
