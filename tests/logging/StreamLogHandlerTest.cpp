// The stream handler's line: metadata merging and rendering, the cached handler metadata,
// the timestamp's zone offset, and whole lines from many threads.
#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <regex>
#include <thread>

#include "Capture.h"

using namespace logging;
using logtest::CapturedStream;
using logtest::linesWithoutTimestamp;
using Level = Logger::Level;
using Metadata = Logger::Metadata;
using Value = Logger::MetadataValue;
using Lines = std::vector<std::string>;

namespace {

class StreamLine : public ::testing::Test {
protected:
    // The lines written so far, without timestamps.
    Lines lines() const { return linesWithoutTimestamp(captured.text()); }

    CapturedStream captured;
    StreamLogHandler handler{captured.stream(), "L", std::nullopt};
};

TEST_F(StreamLine, MetadataFromHandlerAndCall) {
    struct Case {
        const char* name;
        Metadata handlerMetadata;
        std::optional<Metadata> call;
        const char* expected;
    };
    const Case cases[] = {
        {"none", {}, std::nullopt, "info L : [S] m"},
        {"empty call metadata", {}, Metadata{}, "info L : [S] m"},
        {"sorted by key", {}, Metadata{{"b", "2"}, {"a", "1"}}, "info L : a=1 b=2 [S] m"},
        {"call wins", {{"k", "h"}}, Metadata{{"k", "c"}}, "info L : k=c [S] m"},
        {"merged", {{"h", "1"}}, Metadata{{"c", "2"}}, "info L : c=2 h=1 [S] m"},
        {"unquoted", {}, Metadata{{"k", "a b=c"}}, "info L : k=a b=c [S] m"},
        {"list",
         {},
         Metadata{{"command", Value::Array{"/bin/x", "-n"}}},
         R"(info L : command=["/bin/x", "-n"] [S] m)"},
    };
    for (const auto& c : cases) {
        CapturedStream out;
        StreamLogHandler h(out.stream(), "L", std::nullopt);
        h.setMetadata(c.handlerMetadata);
        h.log(Level::info, "m", c.call, "S", "f", "g", 1);
        EXPECT_EQ(linesWithoutTimestamp(out.text()), Lines{c.expected}) << c.name;
    }
}

TEST_F(StreamLine, HandlerMetadataStaysInStepWithChanges) {
    handler.setMetadataValue("k", Value("h"));
    handler.log(Level::warning, "one", std::nullopt, "S", "f", "g", 1);
    handler.log(Level::warning, "two", std::nullopt, "S", "f", "g", 1);
    handler.setMetadataValue("k", std::nullopt);
    handler.log(Level::warning, "three", std::nullopt, "S", "f", "g", 1);
    handler.setMetadata({{"z", "1"}, {"y", "2"}});
    handler.log(Level::error, "four", std::nullopt, "S", "f", "g", 1);
    EXPECT_EQ(lines(), (Lines{"warning L : k=h [S] one", "warning L : k=h [S] two",
                              "warning L : [S] three", "error L : y=2 z=1 [S] four"}));
    EXPECT_EQ(handler.metadataValue("y"), Value("2"));
    EXPECT_EQ(handler.metadataValue("k"), std::nullopt);
}

TEST_F(StreamLine, ProviderMetadataSitsBetweenHandlerAndCall) {
    handler.setMetadata({{"k", "h"}, {"h", "1"}});
    handler.setMetadataProvider(Logger::MetadataProvider([] {
        return Metadata{{"k", "p"}, {"p", "1"}};
    }));
    handler.log(Level::info, "a", std::nullopt, "S", "f", "g", 1);
    handler.log(Level::info, "b", Metadata{{"k", "c"}}, "S", "f", "g", 1);
    handler.setMetadataProvider(Logger::MetadataProvider([] { return Metadata{}; }));
    handler.log(Level::info, "c", std::nullopt, "S", "f", "g", 1);
    EXPECT_EQ(lines(), (Lines{"info L : h=1 k=p p=1 [S] a", "info L : h=1 k=c p=1 [S] b",
                              "info L : h=1 k=h [S] c"}));
}

// Sets TZ for one test and puts the old value back.
class ZoneOverride {
public:
    explicit ZoneOverride(const char* zone) {
        if (const char* old = std::getenv("TZ")) saved_ = old;
        setenv("TZ", zone, 1);
        tzset();
    }
    ~ZoneOverride() {
        if (saved_)
            setenv("TZ", saved_->c_str(), 1);
        else
            unsetenv("TZ");
        tzset();
    }

private:
    std::optional<std::string> saved_;
};

TEST(StreamLogHandlerTimestamp, FollowsTheLocalZone) {
    const std::pair<const char*, const char*> zones[] = {
        {"UTC0", "+0000"}, {"XYZ-1", "+0100"}, {"ABC+5:30", "-0530"}};
    const std::regex form(
        R"(^(\d{4})-\d{2}-\d{2}T\d{2}:\d{2}:\d{2}([+-]\d{4}) info L : \[S\] m\n$)");
    for (auto [zone, offset] : zones) {
        ZoneOverride override(zone);
        CapturedStream out;
        StreamLogHandler(out.stream(), "L", std::nullopt)
            .log(Level::info, "m", std::nullopt, "S", "f", "g", 1);
        std::smatch match;
        const std::string text = out.text();
        ASSERT_TRUE(std::regex_match(text, match, form)) << text;
        EXPECT_EQ(match[2].str(), offset) << zone;
    }
}

TEST(StdioOutputStream, LinesFromManyThreadsStayWhole) {
    CapturedStream out;
    const StreamLogHandler shared(out.stream(), "L", std::nullopt);
    constexpr int threads = 8, perThread = 300;
    const std::string payload(200, 'x');
    std::vector<std::thread> writers;
    for (int t = 0; t < threads; ++t)
        writers.emplace_back([&, t] {
            StreamLogHandler own = shared;  // each thread owns its handler value
            for (int i = 0; i < perThread; ++i)
                own.log(Level::info, payload, std::nullopt, std::to_string(t), "f", "g", 1);
        });
    for (auto& w : writers) w.join();

    const Lines written = linesWithoutTimestamp(out.text());
    ASSERT_EQ(written.size(), size_t(threads * perThread));
    std::vector<int> counts(threads);
    const std::regex form(R"(info L : \[(\d)\] x{200})");
    for (const auto& line : written) {
        std::smatch match;
        ASSERT_TRUE(std::regex_match(line, match, form)) << line;
        ++counts[std::stoi(match[1].str())];
    }
    for (int count : counts) EXPECT_EQ(count, perThread);
}

}  // namespace
