// Opening, following, stopping and clearing event sources, and the alerts their
// errors raise.
#include <regex>
#include <set>

#include "ChildProcesses.h"
#include "ESLoggerFile.h"
#include "ESLoggerTail.h"
#include "FixtureGenerator.h"
#include "UiTestSupport.h"

using namespace uitest;
using qm::ViewController;
using Kind = es::ESLogger::Error::Kind;

namespace {

class SourceControlTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { setUpApplication(); }
    void SetUp() override { vc.setDelegate(&delegate); }
    void TearDown() override { vc.setDelegate(nullptr); }

    TempDir dir;
    AlertRecorder alerts;
    CountingDelegate delegate;
    TestViewController vc;
};

std::vector<std::string> generatedLines(std::size_t count, std::uint64_t seed = 8) {
    fixtures::FixtureGenerator generator(seed);
    std::vector<std::string> lines;
    for (std::size_t i = 0; i < count; ++i) lines.push_back(generator.nextLine());
    return lines;
}

std::size_t programCount(const std::vector<std::string>& lines) {
    std::set<std::string> paths;
    for (const std::string& line : lines) {
        auto decoded = es::decodeMessage(line);
        paths.insert(qm::EventItem(std::move(decoded).value(), storetest::quietAnnotator()).theProcess().executable.path);
    }
    return paths.size();
}

TEST_F(SourceControlTest, OpeningAFileShowsItsRowsAndStatusText) {
    const auto lines = generatedLines(150);
    writeLines(dir / "events.jsonl", lines);
    vc.openEventFiles(dir / "events.jsonl");
    ASSERT_TRUE(waitUntil([&] { return delegate.loads == 1 && rows(vc) == 150; }));
    settle();
    EXPECT_EQ(vc.subtitle(), QString("150 of 150-events, %1-programs").arg(programCount(lines)));
    EXPECT_EQ(cell(vc, 0, "EventNumber").toLongLong(), es::decodeMessage(lines[0])->global_seq_num);
    EXPECT_EQ(cell(vc, 149, "EventNumber").toLongLong(), es::decodeMessage(lines[149])->global_seq_num);
    EXPECT_TRUE(alerts.alerts().empty());
    // The file source stays current after its load.
    EXPECT_NE(dynamic_cast<es::ESLoggerFile*>(vc.eslogger().get()), nullptr);

    // While it is current, later events join the store without a redraw.
    vc.addEvent(openEvent("/bin/late", 9, 100000));
    ASSERT_TRUE(waitUntil([&] { return vc.filters.allEvents.size() == 151; }));
    settle();
    EXPECT_EQ(rows(vc), 150);
}

// A line the decoder drops for a missing key, or for a value of the wrong type.
std::string withoutSequenceKey(const std::string& line) {
    return std::regex_replace(line, std::regex("\"global_seq_num\":"), "\"global_seq_nom\":");
}
std::string withTextSequence(const std::string& line) {
    return std::regex_replace(line, std::regex("\"global_seq_num\":([0-9]+)"), "\"global_seq_num\":\"$1\"");
}

std::size_t countLines(const std::string& text, const std::string& line) {
    std::size_t n = 0;
    for (std::size_t at = text.find(line + "\n"); at != std::string::npos; at = text.find(line + "\n", at + 1)) ++n;
    return n;
}

TEST_F(SourceControlTest, LinesDroppedWhileAnAlertIsOpenAreSummedUpByKindWhenItCloses) {
    const auto good = generatedLines(3);
    std::vector<std::string> lines{good[0]};
    for (int i = 0; i < 10000; ++i) lines.push_back(i % 3 == 2 ? withTextSequence(good[1]) : withoutSequenceKey(good[1]));
    lines.push_back(good[2]);
    ASSERT_NE(lines[1], good[1]);
    ASSERT_NE(lines[3], good[1]);
    writeLines(dir / "events.jsonl", lines);

    // The user reads the first alert until the whole file is read.
    alerts.presenter->whileOpen = [&] { waitUntil([&] { return delegate.loads == 1; }); };
    testing::internal::CaptureStdout();
    vc.openEventFiles(dir / "events.jsonl");
    ASSERT_TRUE(waitUntil([&] { return delegate.loads == 1 && alerts.alerts().size() == 2; }));
    settle();
    const std::string out = testing::internal::GetCapturedStdout();
    ASSERT_TRUE(waitUntil([&] { return rows(vc) == 2; }));

    ASSERT_EQ(alerts.alerts().size(), 2u);
    EXPECT_EQ(alerts.presenter->mostOpen, 1);
    const std::string missing =
        "Event was missing JSON key \"global_seq_num\" and therefore is not included in the processed events";
    const std::string invalid =
        "Event has an invalid value for JSON key \"global_seq_num\" and therefore is not included in the processed "
        "events";
    EXPECT_EQ(alerts.alerts()[0].messageText, "Event Processing Error");
    EXPECT_EQ(alerts.alerts()[0].informativeText.toStdString(), missing);
    EXPECT_EQ(alerts.alerts()[1].messageText, "Event Processing Error");
    EXPECT_EQ(alerts.alerts()[1].informativeText,
              "9999 more events were not included in the processed events:\n"
              "6666 \u00d7 missing JSON key \"global_seq_num\"\n"
              "3333 \u00d7 invalid value for JSON key \"global_seq_num\"");
    // Every line of the summary is written out on its own.
    EXPECT_EQ(countLines(out, missing), 6666u);
    EXPECT_EQ(countLines(out, invalid), 3333u);

    // Once the summary has closed, the next dropped line has an alert of its own.
    vc.handleLoggerError(es::ESLogger::Error(Kind::jsonMissingKey, "time"));
    ASSERT_TRUE(waitUntil([&] { return alerts.alerts().size() == 3; }));
    EXPECT_EQ(alerts.alerts()[2].informativeText,
              "Event was missing JSON key \"time\" and therefore is not included in the processed events");
}

TEST_F(SourceControlTest, AlertsOpenOneAtATimeInTheOrderRaised) {
    alerts.presenter->whileOpen = [] { settle(); };
    for (const char* message : {"first", "second", "third"})
        vc.handleLoggerError(es::ESLogger::Error(Kind::errorReadingFromFile, message));
    ASSERT_TRUE(waitUntil([&] { return alerts.alerts().size() == 3; }));
    EXPECT_EQ(alerts.presenter->mostOpen, 1);
    std::vector<std::string> texts;
    for (const qm::Alert& alert : alerts.alerts()) texts.push_back(alert.informativeText.toStdString());
    EXPECT_EQ(texts, (std::vector<std::string>{"first", "second", "third"}));
}

TEST_F(SourceControlTest, AnInvalidFileAlertsAndStillEndsTheLoad) {
    writeLines(dir / "notes.txt", {"hello", "world"});
    vc.openEventFiles(dir / "notes.txt");
    ASSERT_TRUE(waitUntil([&] { return delegate.loads == 1 && !alerts.alerts().empty(); }));
    EXPECT_EQ(alerts.alerts()[0].messageText, "ESLogger JSON file invalid");
    EXPECT_EQ(alerts.alerts()[0].informativeText,
              "Either cannot read from file or the data in the file appears to be invalid and cannot be parsed.");
    ASSERT_TRUE(waitUntil([&] { return vc.subtitle() == "0 of 0-events, 0-programs"; }));
}

TEST_F(SourceControlTest, FilesOpenedOneAfterTheOtherAreEachReadOnce) {
    writeLines(dir / "a.jsonl", generatedLines(30, 1));
    writeLines(dir / "b.jsonl", generatedLines(40, 2));
    vc.openEventFiles(dir / "a.jsonl");
    vc.openEventFiles(dir / "b.jsonl");
    ASSERT_TRUE(waitUntil([&] { return delegate.loads == 2; }));
    ASSERT_TRUE(waitUntil([&] { return rows(vc) == 70; }));
}

TEST_F(SourceControlTest, ErrorAlertsByCase) {
    const std::string missingRoot =
        "When processing events live Quillmark needs to be run as the root user - which is a requirment of ESLogger "
        "(Apple). This can be done using sudo command";
    const std::string missingTCC =
        "When processing events live Quillmark needs to have TCC Full Disk Access - which is a requirement of "
        "ESLogger (Apple). This can be enabled using Settings -> Privacy and Security -> Full Disk Access";
    struct Case {
        Kind kind;
        std::string payload, title, text;
        bool printsUnknown;
    };
    const Case cases[] = {
        {Kind::errorReadingFromFile, "Permission Denied", "ESLogger reading from file failed", "Permission Denied", false},
        {Kind::jsonMissingKey, "time", "Event Processing Error",
         "Event was missing JSON key \"time\" and therefore is not included in the processed events", false},
        {Kind::jsonInvalidValue, "event_type", "Event Processing Error",
         "Event has an invalid value for JSON key \"event_type\" and therefore is not included in the processed events",
         false},
        {Kind::internalError, "tail: boom", "Internal Error", "tail: boom", false},
        {Kind::needRootPermission, "", "ESLogger Error", missingRoot, false},
        {Kind::needTCCFullDiskAccess, "", "ESLogger Error", missingTCC, false},
        {Kind::invalidDataInFile, "", "ESLogger JSON file invalid",
         "Either cannot read from file or the data in the file appears to be invalid and cannot be parsed.", false},
        {Kind::jsonDecodeError, "bad line", "Event Processing Error", "", true},
        {Kind::noValidRequestedEvents, "", "Event Processing Error", "", true},
        {Kind::cannotListESLoggerEvents, "", "Event Processing Error", "", true},
        {Kind::tooManyConnections, "", "Event Processing Error", "", true},
        {Kind::invalidArgument, "", "Event Processing Error", "", true},
        {Kind::needEntitlement, "", "Event Processing Error", "", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(static_cast<int>(c.kind));
        alerts.alerts().clear();
        const es::ESLogger::Error error(c.kind, c.payload);
        testing::internal::CaptureStdout();
        vc.handleLoggerError(error);
        const std::string out = testing::internal::GetCapturedStdout();
        EXPECT_EQ(out, c.printsUnknown ? "unknown error - " + error.description() + "\n" : "");
        ASSERT_TRUE(waitUntil([&] { return alerts.alerts().size() == 1; }));
        EXPECT_EQ(alerts.alerts()[0].style, qm::Alert::Style::warning);
        EXPECT_EQ(alerts.alerts()[0].messageText.toStdString(), c.title);
        EXPECT_EQ(alerts.alerts()[0].informativeText.toStdString(), c.text);
    }
}

TEST_F(SourceControlTest, StopWithoutASourceDoesNothing) {
    vc.stopEvents();
    // A load afterwards reports exactly its own end.
    writeLines(dir / "events.jsonl", generatedLines(5));
    vc.openEventFiles(dir / "events.jsonl");
    ASSERT_TRUE(waitUntil([&] { return delegate.loads == 1; }));
    settle();
    EXPECT_EQ(delegate.loads, 1);
}

TEST_F(SourceControlTest, ClearDropsAFileSourceAndEveryEvent) {
    writeLines(dir / "events.jsonl", generatedLines(20));
    vc.openEventFiles(dir / "events.jsonl");
    ASSERT_TRUE(waitUntil([&] { return delegate.loads == 1 && rows(vc) == 20; }));
    EXPECT_TRUE(vc.filterAppleBinaries());
    vc.clearEvents();
    ASSERT_TRUE(waitUntil([&] { return rows(vc) == 0; }));
    EXPECT_EQ(vc.eslogger(), nullptr);
    EXPECT_FALSE(vc.filters.isFiltering());
    EXPECT_TRUE(vc.filters.allPrograms.empty());
    EXPECT_EQ(vc.subtitle(), "0 of 0-events, 0-programs");
}

TEST_F(SourceControlTest, FollowClearKeepsTheTailAndStopEndsIt) {
    auto lines = generatedLines(12);
    writeLines(dir / "live.jsonl", {lines.begin(), lines.begin() + 5});
    vc.startTail(dir / "live.jsonl");
    ASSERT_TRUE(waitUntil([&] { return rows(vc) == 5; }));
    auto tail = vc.eslogger();
    ASSERT_NE(dynamic_cast<es::ESLoggerTail*>(tail.get()), nullptr);

    // Clearing keeps the tail source: later lines refill the store.
    vc.clearEvents();
    ASSERT_TRUE(waitUntil([&] { return rows(vc) == 0; }));
    EXPECT_EQ(vc.eslogger(), tail);
    {
        std::ofstream out(dir / "live.jsonl", std::ios::app);
        for (std::size_t i = 5; i < lines.size(); ++i) out << lines[i] << '\n';
    }
    ASSERT_TRUE(waitUntil([&] { return rows(vc) == 7; }));

    vc.stopEvents();
    EXPECT_EQ(vc.eslogger(), nullptr);
    ASSERT_TRUE(waitUntil([&] { return delegate.loads == 1; }));
    EXPECT_FALSE(tail->isRunning());
    EXPECT_TRUE(alerts.alerts().empty());
}

TEST_F(SourceControlTest, StopShowsWhatArrivedAndNothingOfItReachesTheNextCapture) {
    const auto lines = generatedLines(20);
    writeLines(dir / "live.jsonl", {lines.begin(), lines.begin() + 5});
    vc.startTail(dir / "live.jsonl");
    ASSERT_TRUE(waitUntil([&] { return rows(vc) == 5; }));
    vc.holdClock();  // from here on the lines wait in the background list
    {
        std::ofstream out(dir / "live.jsonl", std::ios::app);
        for (std::size_t i = 5; i < lines.size(); ++i) out << lines[i] << '\n';
    }
    ASSERT_TRUE(waitUntil([&] { return vc.backgroundEventCount() == 15; })) << vc.backgroundEventCount();

    vc.stopEvents();
    EXPECT_EQ(vc.backgroundEventCount(), 0u);
    ASSERT_TRUE(waitUntil([&] { return delegate.loads == 1 && rows(vc) == 20; })) << rows(vc);

    // Delete Events, then a new file: the store holds that file alone.
    vc.clearEvents();
    writeLines(dir / "next.jsonl", generatedLines(7, 3));
    vc.advance(std::chrono::seconds(3));
    vc.openEventFiles(dir / "next.jsonl");
    ASSERT_TRUE(waitUntil([&] { return delegate.loads == 2 && rows(vc) == 7; })) << rows(vc);
    settle();
    EXPECT_EQ(vc.filters.allEvents.size(), 7u);
}

TEST_F(SourceControlTest, DeleteEventsDropsTheWaitingEvents) {
    vc.addEvent(openEvent("/bin/a", 1, 1001));
    ASSERT_TRUE(waitUntil([&] { return rows(vc) == 1; }));
    vc.holdClock();
    vc.addEvent(openEvent("/bin/a", 1, 1002));
    vc.addEvent(openEvent("/bin/b", 2, 1003));
    ASSERT_EQ(vc.backgroundEventCount(), 2u);

    vc.clearEvents();
    EXPECT_EQ(vc.backgroundEventCount(), 0u);
    vc.advance(std::chrono::seconds(3));  // a refresh now would find the two, had they stayed
    const auto lines = generatedLines(4, 5);
    writeLines(dir / "next.jsonl", lines);
    vc.openEventFiles(dir / "next.jsonl");
    ASSERT_TRUE(waitUntil([&] { return delegate.loads == 1 && rows(vc) == 4; })) << rows(vc);
    settle();
    std::vector<std::int64_t> expected;
    for (const auto& line : lines) expected.push_back(es::decodeMessage(line)->global_seq_num);
    EXPECT_EQ(shownSeqs(vc), expected);
    EXPECT_EQ(vc.filters.allEvents.size(), 4u);
}

TEST_F(SourceControlTest, ANewSourceFirstFilesTheEventsWaitingBeforeIt) {
    vc.addEvent(openEvent("/bin/a", 1, 1001));
    ASSERT_TRUE(waitUntil([&] { return rows(vc) == 1; }));
    vc.holdClock();
    vc.addEvent(openEvent("/bin/a", 1, 1002));
    ASSERT_EQ(vc.backgroundEventCount(), 1u);

    const auto lines = generatedLines(3, 6);
    writeLines(dir / "next.jsonl", lines);
    vc.openEventFiles(dir / "next.jsonl");
    ASSERT_TRUE(waitUntil([&] { return delegate.loads == 1 && rows(vc) == 5; })) << rows(vc);
    std::vector<std::int64_t> expected{1001, 1002};
    for (const auto& line : lines) expected.push_back(es::decodeMessage(line)->global_seq_num);
    EXPECT_EQ(shownSeqs(vc), expected);
}

TEST_F(SourceControlTest, StopRightAfterFollowLeavesNoTailRunning) {
    const auto lines = generatedLines(4);
    writeLines(dir / "live.jsonl", lines);
    vc.startTail(dir / "live.jsonl");
    vc.stopEvents();
    EXPECT_EQ(vc.eslogger(), nullptr);
    ASSERT_TRUE(waitUntil([&] { return delegate.loads == 1; }));
    {
        std::ofstream out(dir / "live.jsonl", std::ios::app);
        out << generatedLines(1, 9)[0] << '\n';
    }
    vc.advance(std::chrono::seconds(3));
    settle();
    EXPECT_EQ(childprocs::running("tail", dir / "live.jsonl"), 0);
    // What tail passed on before the stop reached it may stay (on a loaded machine it
    // can read the whole file first); nothing written after the stop comes in.
    EXPECT_LE(vc.filters.allEvents.size() + vc.backgroundEventCount(), lines.size());
    EXPECT_EQ(delegate.loads, 1);
}

}  // namespace
