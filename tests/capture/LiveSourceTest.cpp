// The live source and the valid event names, with stand-in eslogger scripts: the answers
// to --list-events, the names passed on, streamed output, stopping, the client errors on
// standard error and a failed launch.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <system_error>
#include <thread>

#include "CaptureTestSupport.h"
#include "ESLogger.h"
#include "ValidESLoggerEvents.h"

using namespace capturetest;
using es::ESLogger;
using es::ValidESLoggerEvents;
using Error = ESLogger::Error;
using Names = ValidESLoggerEvents::Names;

namespace {

std::size_t listRuns(const TempDir& dir) {
    std::ifstream in(dir / "list-runs");
    std::size_t runs = 0;
    for (std::string line; std::getline(in, line);) ++runs;
    return runs;
}

std::string readFile(const std::filesystem::path& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

struct ListCase {
    const char* name;
    std::string listing;
    std::optional<Names> expected;
    const char* logMessage;  // the debug message that explains a refusal
    const char* metadataKey;
};

TEST(ValidEventNames, AnswerIsAcceptedOnlyWhenPlausible) {
    const std::vector<ListCase> cases = {
        {"valid", "printf 'readdir\\nexec\\nsetgid\\n'", Names{"", "exec", "readdir", "setgid"}, nullptr, nullptr},
        {"without readdir", "printf 'exec\\nsetgid\\n'", std::nullopt, "Invalid reponse from ESLogger",
         "ProposedEventNames"},
        {"failing", "echo exec readdir setgid; exit 3", std::nullopt, "Locating valid events", "error"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        LogRecorder logs;
        ValidESLoggerEvents valid(Level::trace, standIn(dir, c.listing));
        EXPECT_EQ(valid.events(), c.expected);
        if (c.logMessage) {
            auto entries = logs.withMessage(c.logMessage);
            ASSERT_FALSE(entries.empty());
            EXPECT_EQ(entries.back().metadata.count(c.metadataKey), 1u);
            EXPECT_EQ(entries.back().label, "com.quillmark.ESLogger.ValidESLoggerEvents");
            EXPECT_EQ(entries.back().function, "gatherValidEventNames()");
        }
        // A refusal caches nothing: the next read asks again.
        valid.events();
        EXPECT_EQ(listRuns(dir), c.expected ? 1u : 2u);
    }
}

TEST(ValidEventNames, ImplausibleAnswerIsLoggedAsATextList) {
    TempDir dir;
    LogRecorder logs;
    ValidESLoggerEvents valid(Level::debug, standIn(dir, "printf 'exec\\nsetgid\\n'"));
    EXPECT_EQ(valid.events(), std::nullopt);
    auto entries = logs.withMessage("Invalid reponse from ESLogger");
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].metadata["ProposedEventNames"], R"(["", "exec", "setgid"])");
}

TEST(ValidEventNames, MissingExecutableGivesNothing) {
    TempDir dir;
    ValidESLoggerEvents valid(Level::info, (dir / "no-eslogger").string());
    EXPECT_EQ(valid.events(), std::nullopt);
}

TEST(ValidEventNames, AnswerIsCachedUntilAWrite) {
    TempDir dir;
    ValidESLoggerEvents valid(Level::info, standIn(dir, validList));
    ASSERT_TRUE(valid.events());
    ASSERT_TRUE(valid.events());
    EXPECT_EQ(listRuns(dir), 1u);
    valid.setEvents(Names{"anything"});
    EXPECT_EQ(valid.events(), (Names{"", "exec", "fork", "readdir", "setgid"}));
    EXPECT_EQ(listRuns(dir), 2u);
}

TEST(LiveSource, InitialiserFailsWithoutListOrValidNames) {
    TempDir dir;
    LogRecorder logs;
    struct Case {
        const char* name;
        std::string listing;
        std::set<std::string> requested;
        Error expected;
    };
    for (const Case& c : {Case{"list fails", "exit 1", {"exec"}, Error(Error::Kind::cannotListESLoggerEvents)},
                          Case{"list implausible", "echo exec", {"exec"}, Error(Error::Kind::cannotListESLoggerEvents)},
                          Case{"nothing valid", validList, {"bogus", "Exec"}, Error(Error::Kind::noValidRequestedEvents)},
                          Case{"nothing requested", validList, {}, Error(Error::Kind::noValidRequestedEvents)}}) {
        SCOPED_TRACE(c.name);
        const auto path = standIn(dir, c.listing);
        try {
            ESLogger source(c.requested, {}, {}, Level::debug, dispatch::QoS::normal, path.string());
            ADD_FAILURE() << "no error thrown";
        } catch (const Error& error) {
            EXPECT_EQ(error, c.expected);
        }
    }
    EXPECT_EQ(logs.count("no valid requested events"), 2u);
}

TEST(LiveSource, StreamsTheChildsOutputUntilStopped) {
    TempDir dir;
    fixtures::FixtureGenerator generator(3);
    std::string content;
    for (int i = 0; i < 500; ++i) content += generator.nextLine() + "\n";  // many pipe chunks
    const auto capture = dir.write("capture.jsonl", content);
    const auto path = standIn(dir, validList, "cat '" + capture.string() + "'\nexec sleep 600");

    LogRecorder logs;
    Collector got;
    ESLogger source({"exec", "bogus", "setgid"}, got.events(), got.errors(), Level::debug,
                    dispatch::QoS::normal, path.string());
    EXPECT_EQ(source.requestedEventNames(), (std::vector<std::string>{"exec", "setgid"}));
    auto command = logs.withMessage("ESLogger command");
    ASSERT_EQ(command.size(), 1u);
    EXPECT_EQ(command[0].metadata["command"], "[\"" + path.string() + "\", \"exec\", \"setgid\"]");
    EXPECT_EQ(command[0].function, "init(forEvents:callHandler:errorHandler:withLogLevel:qos:)");
    EXPECT_FALSE(source.isRunning());

    source.start();
    EXPECT_TRUE(source.isRunning());
    source.start();
    EXPECT_EQ(logs.count("already running, returning without side-effect"), 1u);
    EXPECT_EQ(logs.count("Executing ESLogger"), 1u);
    ASSERT_TRUE(got.waitForEvents(500));
    EXPECT_TRUE(source.isRunning());

    source.stop();
    EXPECT_FALSE(source.isRunning());
    EXPECT_EQ(readFile(dir / "args"), "exec setgid\n");
    std::vector<std::int64_t> expected;
    for (int i = 1; i <= 500; ++i) expected.push_back(i);
    EXPECT_EQ(got.sequence(), expected);
    EXPECT_EQ(source.eventsDropped(), 0);
    EXPECT_GE(source.eventsSeen(), 500);  // a line cut between two chunks counts twice
    EXPECT_TRUE(got.errorList().empty());
    const auto threads = got.threads();
    for (auto id : threads) {
        EXPECT_NE(id, std::this_thread::get_id());
        EXPECT_EQ(id, threads.front());  // one serial queue
    }
}

TEST(LiveSource, ClientErrorsOnStandardErrorAreClassifiedPerLine) {
    using Kind = Error::Kind;
    const auto internal = [](const char* text) { return Error(Kind::internalError, text); };
    const struct {
        std::string body;  // writes the child's standard error
        std::vector<Error> errors;
        std::vector<std::string> logged;
    } cases[] = {
        {"echo 'ERROR: ES_NEW_CLIENT_RESULT_ERR_NOT_PERMITTED'", {Error(Kind::needTCCFullDiskAccess)},
         {"ERROR: ES_NEW_CLIENT_RESULT_ERR_NOT_PERMITTED\n"}},
        {"echo 'es_new_client: ES_NEW_CLIENT_RESULT_ERR_NOT_PRIVILEGED (3)'", {Error(Kind::needRootPermission)},
         {"es_new_client: ES_NEW_CLIENT_RESULT_ERR_NOT_PRIVILEGED (3)\n"}},
        // Text without a final line feed is classified when the child ends.
        {"printf ES_NEW_CLIENT_RESULT_ERR_TOO_MANY_CLIENTS", {Error(Kind::tooManyConnections)},
         {"ES_NEW_CLIENT_RESULT_ERR_TOO_MANY_CLIENTS"}},
        {"echo 'bad: ES_NEW_CLIENT_RESULT_ERR_INVALID_ARGUMENT'", {Error(Kind::invalidArgument)},
         {"bad: ES_NEW_CLIENT_RESULT_ERR_INVALID_ARGUMENT\n"}},
        {"echo ES_NEW_CLIENT_RESULT_ERR_NOT_ENTITLED", {Error(Kind::needEntitlement)},
         {"ES_NEW_CLIENT_RESULT_ERR_NOT_ENTITLED\n"}},
        // One complaint written in pieces is one report.
        {"printf 'eslogger: '; sleep 0.1; printf 'ES_NEW_CLIENT_RESULT'; sleep 0.1; "
         "printf '_ERR_NOT_PRIVILEGED'; sleep 0.1; echo",
         {Error(Kind::needRootPermission)},
         {"eslogger: ES_NEW_CLIENT_RESULT_ERR_NOT_PRIVILEGED\n"}},
        {"printf 'warning: something odd\\nsecond line\\nlast'",
         {internal("warning: something odd\n"), internal("second line\n"), internal("last")},
         {"warning: something odd\n", "second line\n", "last"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.body);
        TempDir dir;
        const auto path = standIn(dir, validList, "{ " + c.body + "; } >&2\nexit 1");
        LogRecorder logs;
        Collector got;
        {
            ESLogger source({"exec"}, got.events(), got.errors(), Level::debug, dispatch::QoS::normal,
                            path.string());
            source.start();
            ASSERT_TRUE(got.waitForErrors(c.errors.size()));
        }  // waits for the child and its handlers
        EXPECT_EQ(got.errorList(), c.errors);
        std::vector<std::string> logged;
        for (const auto& entry : logs.withMessage("ESLogger stderr")) {
            logged.push_back(entry.metadata.at("error"));
            EXPECT_EQ(entry.function, "start()");
        }
        EXPECT_EQ(logged, c.logged);
        EXPECT_EQ(logs.count("ESLogger exiting"), 1u);
        EXPECT_TRUE(got.eventList().empty());
    }
}

TEST(LiveSource, LaunchFailureReachesTheCallerOfStart) {
    // The stand-in lists its names and then takes away its own execute permission.
    TempDir dir;
    const auto path = standIn(dir, validList + "; chmod -x \"$0\"");
    ESLogger source({"exec"}, {}, {}, Level::info, dispatch::QoS::normal, path.string());
    EXPECT_THROW(source.start(), std::system_error);
    EXPECT_FALSE(source.isRunning());
}

}  // namespace
