// Loggers: levels, their text and coding, the locks, the default handler and its level test, deferred
// arguments, sources, copies, metadata text forms, the factory, and the two small handlers.
#include <gtest/gtest.h>

#include <thread>

#include "Capture.h"
#include "LoggingSystem.h"
#include "MultiplexLogHandler.h"
#include "TextForms.h"

using namespace logging;
using logtest::CapturedStdout;
using logtest::CapturedStream;
using logtest::linesWithoutTimestamp;
using Level = Logger::Level;
using Metadata = Logger::Metadata;
using Value = Logger::MetadataValue;
using Lines = std::vector<std::string>;

namespace {

TEST(LoggerLevel, TextFormsOrderAndParsing) {
    const std::pair<Level, const char*> table[] = {
        {Level::trace, "trace"},      {Level::debug, "debug"},     {Level::info, "info"},
        {Level::notice, "notice"},    {Level::warning, "warning"}, {Level::error, "error"},
        {Level::critical, "critical"}};
    ASSERT_EQ(std::size(table), Logger::allLevels.size());
    for (size_t i = 0; i < std::size(table); ++i) {
        auto [level, name] = table[i];
        EXPECT_EQ(Logger::allLevels[i], level);
        EXPECT_EQ(toString(level), name);
        EXPECT_EQ(levelFromString(name), level);
        if (i > 0) {
            EXPECT_LT(table[i - 1].first, level);
        }
    }
    for (const char* text : {"Info", "INFO", "warn", "", " info", "info "})
        EXPECT_EQ(levelFromString(text), std::nullopt) << text;
}

TEST(LoggerLevel, CodesAsItsTextForm) {
    for (auto level : Logger::allLevels) {
        const std::string json = encodeLevel(level);
        EXPECT_EQ(json, '"' + std::string(toString(level)) + '"');
        EXPECT_EQ(decodeLevel(json), level) << json;
    }
    EXPECT_EQ(decodeLevel(" \"notice\" "), Level::notice);
    EXPECT_EQ(decodeLevel("\"\\u0069nfo\""), Level::info);  // escapes are JSON's
    for (const char* json : {"\"Info\"", "\"warn\"", "2", "\"info", "info", "[\"info\"]", "null", ""})
        EXPECT_EQ(decodeLevel(json), std::nullopt) << json;
}

// Both locks keep a plain read-modify-write whole when many threads run it, and hand
// back what the guarded body returns.
TEST(Locks, SectionsExcludeEachOther) {
    constexpr int threads = 8, rounds = 20000;
    Lock lock;
    ReadWriteLock rwlock;
    long counted = 0, rwCounted = 0;
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; ++t)
        workers.emplace_back([&] {
            for (int i = 0; i < rounds; ++i) {
                lock.withLock([&] { counted = counted + 1; });
                rwlock.withWriterLock([&] { rwCounted = rwCounted + 1; });
                rwlock.withReaderLock([&] { return rwCounted; });
            }
        });
    for (auto& worker : workers) worker.join();
    EXPECT_EQ(counted, threads * rounds);
    EXPECT_EQ(rwCounted, threads * rounds);
    EXPECT_EQ(lock.withLock([] { return 7; }), 7);
}

TEST(Logger, DefaultHandlerWritesInfoAndAboveToStandardOutput) {
    Logger log("L");
    EXPECT_EQ(log.label(), "L");
    EXPECT_EQ(log.logLevel(), Level::info);
    ASSERT_NE(dynamic_cast<StreamLogHandler*>(&log.handler()), nullptr);

    CapturedStdout out;
    int evaluated = 0;
    auto message = [&] {
        ++evaluated;
        return Logger::Message("costly");
    };
    auto metadata = [&] {
        ++evaluated;
        return Metadata{{"k", "v"}};
    };
    auto source = [&] {
        ++evaluated;
        return std::string("S");
    };
    log.trace(message, metadata, source);
    log.debug(message, metadata, source);
    EXPECT_EQ(evaluated, 0);
    log.info("hello", {}, "S");
    log.notice(message, metadata, source);
    EXPECT_EQ(evaluated, 3);  // each once
    EXPECT_EQ(linesWithoutTimestamp(out.text()),
              (Lines{"info L : [S] hello", "notice L : k=v [S] costly"}));
}

TEST(Logger, LevelGatesEveryMessage) {
    CapturedStream captured;
    Logger log("L", std::make_unique<StreamLogHandler>(captured.stream(), "L", std::nullopt));
    log.setLogLevel(Level::trace);
    for (auto level : Logger::allLevels) log.log(level, "m", {}, "S");
    log.setLogLevel(Level::critical);
    for (auto level : Logger::allLevels) log.log(level, "m", {}, "S");
    EXPECT_EQ(linesWithoutTimestamp(captured.text()),
              (Lines{"trace L : [S] m", "debug L : [S] m", "info L : [S] m", "notice L : [S] m",
                     "warning L : [S] m", "error L : [S] m", "critical L : [S] m",
                     "critical L : [S] m"}));
}

TEST(Logger, SourceComesFromTheFileIdentifierWhenNotGiven) {
    const std::pair<const char*, const char*> table[] = {{"ESLogger/ESLogger", "ESLogger"},
                                                         {"a/b/c.cpp", "a"},
                                                         {"noslash", "n/a"},
                                                         {"/abs/path.cpp", ""},
                                                         {"", "n/a"}};
    for (auto [file, source] : table) EXPECT_EQ(sourceFromFile(file), source) << file;

    CapturedStream captured;
    Logger log("L", std::make_unique<StreamLogHandler>(captured.stream(), "L", std::nullopt));
    log.info("fixed", {}, {}, CallSite("ESLogger/ESLogger", "start()", 1));
    log.info("here");  // this file's folder and name
    log.handler().log(Level::info, "older form", std::nullopt, "noslash", "f", 2);
    EXPECT_EQ(linesWithoutTimestamp(captured.text()),
              (Lines{"info L : [ESLogger] fixed", "info L : [logging] here",
                     "info L : [n/a] older form"}));
}

TEST(Logger, CopiesHaveTheirOwnHandler) {
    Logger first("L");
    first.setMetadataValue("k", Value("1"));
    Logger copy = first;
    copy.setLogLevel(Level::trace);
    copy.setMetadataValue("k", Value("2"));
    EXPECT_EQ(first.logLevel(), Level::info);
    EXPECT_EQ(first.metadataValue("k"), Value("1"));
    EXPECT_EQ(copy.metadataValue("k"), Value("2"));
    first = copy;
    EXPECT_EQ(first.logLevel(), Level::trace);
}

TEST(MetadataValue, TextForms) {
    using Array = Value::Array;
    using Dictionary = Value::Dictionary;
    const std::pair<Value, const char*> table[] = {
        {Value("a b=c \"q\""), "a b=c \"q\""},
        {Value(Logger::StringConvertible(42)), "42"},
        {Value(Logger::StringConvertible(1.5)), "1.5"},
        {Value(Array{"a", "b"}), R"(["a", "b"])"},
        {Value(Array{}), "[]"},
        {Value(Dictionary{}), "[:]"},
        {Value(Dictionary{{"k", "v"}, {"a", Array{"x"}}}), R"(["a": "[\"x\"]", "k": "v"])"},
        {Value(Array{"say \"hi\"", "back\\slash", "line\nbreak", "\x1b"}),
         R"(["say \"hi\"", "back\\slash", "line\nbreak", "\u{1b}"])"},
    };
    for (const auto& [value, text] : table) EXPECT_EQ(value.description(), text);
}

// Lists in metadata print their texts as the rest of the system prints texts.
TEST(MetadataValue, ControlCharactersPrintAsTextFormsPrintsThem) {
    std::vector<char> controls{0x7F};
    for (char c = 0; c < 0x20; ++c) controls.push_back(c);
    for (char c : controls) {
        SCOPED_TRACE(static_cast<int>(c));
        const std::string text{'a', c, 'b'};
        EXPECT_EQ(Value(Value::Array{text}).description(), es::listDescription(std::vector<std::string>{text}));
        EXPECT_EQ(Value(Value::Dictionary{{text, text}}).description(),
                  "[" + es::quotedText(text) + ": " + es::quotedText(text) + "]");
    }
}

TEST(MetadataValue, Equality) {
    using Convertible = Logger::StringConvertible;
    EXPECT_EQ(Value("1"), Value(std::string("1")));
    EXPECT_EQ(Value(Convertible(1)), Value(Convertible("1")));  // by description
    EXPECT_NE(Value(Convertible(1)), Value("1"));               // kinds differ
    EXPECT_EQ(Value(Value::Array{"a", Convertible(2)}), Value(Value::Array{"a", Convertible(2)}));
    EXPECT_NE(Value(Value::Array{"a"}), Value(Value::Array{"a", "b"}));
    EXPECT_EQ(Value(Metadata{{"k", "v"}}), Value(Metadata{{"k", "v"}}));
    EXPECT_NE(Value(Metadata{{"k", "v"}}), Value(Metadata{{"k", "w"}}));
    EXPECT_NE(Value(Metadata{}), Value(Value::Array{}));
}

TEST(MetadataProvider, MultiplexLaterProviderWins) {
    using Provider = Logger::MetadataProvider;
    auto both = Provider::multiplex({Provider([] {
                                         return Metadata{{"a", "1"}, {"k", "first"}};
                                     }),
                                     Provider([] {
                                         return Metadata{{"k", "second"}};
                                     })});
    EXPECT_EQ(both(), (Metadata{{"a", "1"}, {"k", "second"}}));
}

TEST(LoggingSystem, BootstrapReplacesFactoryAndProvider) {
    const auto original = LoggingSystem::factory();
    const auto originalProvider = LoggingSystem::metadataProvider();
    EXPECT_FALSE(originalProvider.has_value());

    CapturedStream captured;
    std::string seenLabel;
    bool sawProvider = false;
    LoggingSystem::bootstrap(
        [&](const std::string& label, const std::optional<Logger::MetadataProvider>& provider) {
            seenLabel = label;
            sawProvider = provider.has_value();
            auto handler = std::make_unique<StreamLogHandler>(captured.stream(), label, provider);
            handler->setLogLevel(Level::debug);
            return handler;
        },
        Logger::MetadataProvider([] {
            return Metadata{{"p", "1"}};
        }));
    Logger log("boot");
    log.debug("through the new factory", {}, "S");
    LoggingSystem::bootstrap(original, originalProvider);

    EXPECT_EQ(seenLabel, "boot");
    EXPECT_TRUE(sawProvider);
    EXPECT_EQ(linesWithoutTimestamp(captured.text()),
              (Lines{"debug boot : p=1 [S] through the new factory"}));
    EXPECT_EQ(Logger("after").logLevel(), Level::info);
    EXPECT_FALSE(LoggingSystem::metadataProvider().has_value());
}

TEST(MultiplexLogHandler, PassesMessagesToHandlersThatAdmitThem) {
    CapturedStream chatty, quiet;
    auto first = std::make_unique<StreamLogHandler>(chatty.stream(), "L", std::nullopt);
    first->setLogLevel(Level::debug);
    auto second = std::make_unique<StreamLogHandler>(quiet.stream(), "L", std::nullopt);
    second->setLogLevel(Level::error);
    second->setMetadataValue("k", Value("second"));
    std::vector<std::unique_ptr<LogHandler>> handlers;
    handlers.push_back(std::move(first));
    handlers.push_back(std::move(second));
    Logger log("L", std::make_unique<MultiplexLogHandler>(std::move(handlers)));

    EXPECT_EQ(log.logLevel(), Level::debug);
    EXPECT_EQ(log.metadataValue("k"), Value("second"));
    log.trace("t", {}, "S");
    log.info("i", {}, "S");
    log.error("e", {}, "S");
    log.setLogLevel(Level::critical);
    log.error("dropped", {}, "S");
    EXPECT_EQ(linesWithoutTimestamp(chatty.text()), (Lines{"info L : [S] i", "error L : [S] e"}));
    EXPECT_EQ(linesWithoutTimestamp(quiet.text()), (Lines{"error L : k=second [S] e"}));
    EXPECT_THROW(MultiplexLogHandler({}), std::invalid_argument);
}

TEST(NoOpLogHandler, IgnoresEverything) {
    Logger log("L", std::make_unique<NoOpLogHandler>());
    log.setLogLevel(Level::trace);
    log.setMetadataValue("k", Value("v"));
    log.handler().setMetadata({{"a", "b"}});
    EXPECT_EQ(log.logLevel(), Level::critical);
    EXPECT_EQ(log.metadataValue("k"), std::nullopt);
    EXPECT_TRUE(log.handler().metadata().empty());
    CapturedStdout out;
    log.critical("nothing");
    EXPECT_EQ(out.text(), "");
}

}  // namespace
