// Saving events as JSON Lines and showing one event's JSON in the details window,
// also for an event longer than the table shows.
#include <sys/mount.h>
#include <QKeyEvent>

#include "ESLoggerFile.h"
#include "EventDetailsController.h"
#include "PreferencesWindow.h"
#include "UiTestSupport.h"

using namespace uitest;
using qm::ViewController;

namespace {

class SavingTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { setUpApplication(); }
    void SetUp() override { vc.setDelegate(&delegate); }
    void TearDown() override { vc.setDelegate(nullptr); }

    std::vector<es::ESMessage> threeEvents() {
        es::ESMessage platform = openEvent("/usr/bin/true", 1, 1, 0);
        platform.process.is_platform_binary = true;
        return {platform, openEvent("/bin/mine", 2, 2, 1), openEvent("/bin/mine", 3, 3, 2)};
    }

    // Reads a saved file back through the file source.
    static std::vector<std::string> readBack(const std::filesystem::path& file) {
        std::vector<std::string> encoded;
        es::ESLoggerFile source(
            file, [&](es::ESMessage m) { encoded.push_back(es::encodeMessage(m)); },
            [](const es::ESLogger::Error& e) { ADD_FAILURE() << e.description(); }, logging::Logger::Level::error);
        source.start();
        return encoded;
    }

    static std::string contents(const std::filesystem::path& file) {
        std::ifstream in(file, std::ios::binary);
        return {std::istreambuf_iterator<char>(in), {}};
    }

    TempDir dir;
    AlertRecorder alerts;
    CountingDelegate delegate;
    TestViewController vc;
};

TEST_F(SavingTest, SavedEventsReadBackEqual) {
    const auto events = threeEvents();
    addAll(vc, events, 3);
    vc.saveEvents(dir / "saved.json");
    ASSERT_TRUE(waitUntil([&] { return delegate.saves == 1; }));
    const std::string text = contents(dir / "saved.json");
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 3);
    EXPECT_EQ(text.back(), '\n');
    std::vector<std::string> expected;
    for (const auto& m : events) expected.push_back(es::encodeMessage(m));
    EXPECT_EQ(readBack(dir / "saved.json"), expected);
    EXPECT_EQ(readLines(dir / "saved.json"), expected);
    EXPECT_TRUE(alerts.alerts().empty());
}

TEST_F(SavingTest, ASaveThroughASymbolicLinkReplacesTheFileItLeadsTo) {
    const auto events = threeEvents();
    addAll(vc, events, 3);
    std::filesystem::create_directory(dir / "real");
    { std::ofstream(dir / "real" / "capture.json") << "earlier\n"; }
    std::filesystem::create_symlink("real/capture.json", dir / "link.json");
    vc.saveEvents(dir / "link.json");
    ASSERT_TRUE(waitUntil([&] { return delegate.saves == 1; }));
    EXPECT_TRUE(std::filesystem::is_symlink(dir / "link.json"));
    EXPECT_EQ(readLines(dir / "real" / "capture.json").size(), 3u);
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir / "real"), {}), 1) << "no file left beside it";
}

TEST_F(SavingTest, ManyEventsAreWrittenInOrder) {
    std::vector<es::ESMessage> events;
    for (int i = 0; i < 3000; ++i) events.push_back(openEvent("/bin/p" + std::to_string(i % 7), i, i + 1, i % 3600));
    addAll(vc, events, 3000);
    vc.saveEvents(dir / "many.json");
    ASSERT_TRUE(waitUntil([&] { return delegate.saves == 1; }));
    const auto lines = readLines(dir / "many.json");
    ASSERT_EQ(lines.size(), 3000u);
    EXPECT_EQ(lines[2999], es::encodeMessage(events[2999]));
}

TEST_F(SavingTest, ASaveWritesTheShownOrTheGivenEvents) {
    addAll(vc, threeEvents(), 3);
    EXPECT_TRUE(vc.filterAppleBinaries());
    vc.saveEvents(dir / "shown.json");
    ASSERT_TRUE(waitUntil([&] { return delegate.saves == 1; }));
    EXPECT_EQ(readBack(dir / "shown.json").size(), 2u);

    // An explicit list (a program's events) is saved whatever the filter.
    const auto program = vc.filters.allPrograms.at("/usr/bin/true")->read([](const auto& c) { return c.allEvents; });
    vc.saveEvents(dir / "program.json", program);
    ASSERT_TRUE(waitUntil([&] { return delegate.saves == 2; }));
    EXPECT_EQ(readBack(dir / "program.json"), std::vector<std::string>{es::encodeMessage(threeEvents()[0])});

    // An empty list gives an empty file, created or truncated.
    vc.saveEvents(dir / "program.json", qm::EventList{});
    ASSERT_TRUE(waitUntil([&] { return delegate.saves == 3; }));
    EXPECT_TRUE(std::filesystem::exists(dir / "program.json"));
    EXPECT_EQ(contents(dir / "program.json"), "");
}

TEST_F(SavingTest, ATargetThatCannotBeWrittenAlertsAndDoesNotComplete) {
    addAll(vc, threeEvents(), 3);
    std::filesystem::create_directory(dir / "folder");
    // A folder that does not exist, and a target that is a folder.
    const std::vector<std::filesystem::path> targets{dir / "missing" / "saved.json", dir / "folder"};
    for (std::size_t i = 0; i < targets.size(); ++i) {
        SCOPED_TRACE(targets[i]);
        vc.saveEvents(targets[i]);
        ASSERT_TRUE(waitUntil([&] { return delegate.failedSaves == int(i + 1); }));
        ASSERT_TRUE(waitUntil([&] { return alerts.alerts().size() == i + 1; }));
        EXPECT_EQ(alerts.alerts()[i].style, qm::Alert::Style::warning);
        EXPECT_EQ(alerts.alerts()[i].messageText, "File Access Error");
        EXPECT_EQ(alerts.alerts()[i].informativeText, "opening");
    }
    EXPECT_TRUE(std::filesystem::is_empty(dir / "folder"));
    // Nothing is left beside the targets: only the folder itself.
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path), {}), 1);
    // The next save completes.
    vc.saveEvents(dir / "saved.json");
    ASSERT_TRUE(waitUntil([&] { return delegate.saves == 1; }));
    settle();
    EXPECT_EQ(delegate.saves, 1);
    EXPECT_EQ(delegate.failedSaves, 2);
    EXPECT_EQ(alerts.alerts().size(), 2u);
}

// A small filesystem of its own, unmounted at the end.
struct SmallFilesystem {
    std::filesystem::path path;
    bool mounted = false;
    explicit SmallFilesystem(std::filesystem::path at) : path(std::move(at)) {
        std::filesystem::create_directory(path);
        mounted = ::mount("tmpfs", path.c_str(), "tmpfs", 0, "size=64k") == 0;
    }
    ~SmallFilesystem() {
        if (mounted) ::umount(path.c_str());
    }
};

TEST_F(SavingTest, ASaveOntoAFullFilesystemLeavesTheEarlierFile) {
    SmallFilesystem small(dir / "small");
    if (!small.mounted) GTEST_SKIP() << "cannot mount a small tmpfs here (needs root)";
    const auto target = small.path / "QuillmarkEvents.json";
    const std::string earlier(20000, 'e');
    std::ofstream(target, std::ios::binary) << earlier;

    // Far more than 64 KiB of events.
    std::vector<es::ESMessage> events;
    for (int i = 0; i < 2000; ++i) events.push_back(openEvent("/bin/p" + std::to_string(i), i, i + 1, i % 3600));
    addAll(vc, events, 2000);
    vc.saveEvents(target);
    ASSERT_TRUE(waitUntil([&] { return delegate.failedSaves == 1 && alerts.alerts().size() == 1; }));
    EXPECT_EQ(alerts.alerts()[0].messageText, "File Access Error");
    EXPECT_EQ(alerts.alerts()[0].informativeText, "writing");
    settle();
    EXPECT_EQ(delegate.saves, 0);
    EXPECT_EQ(contents(target), earlier);
    // The partly written file is gone.
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(small.path), {}), 1);

    // A save that fits replaces the earlier file.
    vc.saveEvents(target, qm::EventList{});
    ASSERT_TRUE(waitUntil([&] { return delegate.saves == 1; }));
    EXPECT_EQ(contents(target), "");
}

TEST_F(SavingTest, DetailsWindowShowsTheChosenEventAsIndentedJSON) {
    std::ifstream sample(QM_SOURCE_DIR "/samples/events.jsonl");
    std::string line;
    std::getline(sample, line);
    auto exec = es::decodeMessage(line);
    ASSERT_TRUE(exec.ok());
    ASSERT_EQ(exec->event_type, es::EventType::ES_EVENT_TYPE_NOTIFY_EXEC);
    addAll(vc, {exec.value(), openEvent("/bin/mine", 2, 2)}, 2);

    qm::EventDetailsController* details = vc.detailsController();
    doubleClickRow(vc, 0);
    ASSERT_TRUE(waitUntil([&] { return details->isVisible(); }));
    EXPECT_EQ(details->windowTitle(), "exec");
    const QString json = details->eventJSONField->toPlainText();
    EXPECT_EQ(json.toStdString(), es::encodeMessage(exec.value(), true));
    EXPECT_GT(json.count('\n'), 10);
    EXPECT_EQ(details->eventJSONField->font(), qm::jsonDetailsFont());

    // Escape closes (hides) the window; the next event reuses it.
    QTest::keyClick(details->eventJSONField, Qt::Key_Escape);
    EXPECT_FALSE(details->isVisible());
    doubleClickRow(vc, 1);
    ASSERT_TRUE(waitUntil([&] { return details->isVisible(); }));
    EXPECT_EQ(vc.detailsController(), details);
    EXPECT_EQ(details->windowTitle(), "open");
    EXPECT_EQ(details->eventJSONField->toPlainText().toStdString(), es::encodeMessage(openEvent("/bin/mine", 2, 2), true));
}

}  // namespace

namespace {

TEST_F(SavingTest, ALongLineIsCutInItsCellsAndKeptWholeInDetailsAndSaving) {
    // Names of several megabytes, of two-byte characters: the table shows a screen's
    // worth of each, cut before a character; the details window and saving the whole.
    std::string huge;
    for (int i = 0; i < 1 << 20; ++i) huge += "\xC3\xA9";  // U+00E9
    storetest::Ids ids;
    ids.pid = 7;
    const es::ESMessage event = storetest::message(storetest::openOf("/tmp/" + huge), storetest::process("/opt/x" + huge, ids),
                                                   1, "2024-01-01T00:00:00.000Z");
    addAll(vc, {event}, 1);
    const QString start = QStringLiteral("x\u00E9\u00E9");
    for (const auto& [column, role] : {std::pair{"ProcessPath", Qt::DisplayRole}, {"ProcessPath", Qt::ToolTipRole},
                                       {"OtherDetails", Qt::DisplayRole}, {"OtherDetails", Qt::ToolTipRole}}) {
        SCOPED_TRACE(std::string(column) + (role == Qt::DisplayRole ? " text" : " tool tip"));
        const QString text = cell(vc, 0, column, role).toString();
        EXPECT_LT(text.size(), 10000);
        EXPECT_TRUE(text.endsWith(QChar(0x2026)));
        EXPECT_FALSE(text.contains(QChar::ReplacementCharacter));
        EXPECT_TRUE(text.contains(QStringLiteral("\u00E9\u00E9\u00E9")));
    }
    EXPECT_TRUE(cell(vc, 0, "ProcessPath").toString().startsWith(start));

    doubleClickRow(vc, 0);
    ASSERT_TRUE(waitUntil([&] { return vc.detailsController()->isVisible(); }));
    EXPECT_EQ(vc.detailsController()->eventJSONField->toPlainText().toStdString(), es::encodeMessage(event, true));

    vc.saveEvents(dir / "long.json");
    ASSERT_TRUE(waitUntil([&] { return delegate.saves == 1; }));
    EXPECT_EQ(readBack(dir / "long.json"), std::vector<std::string>{es::encodeMessage(event)});
}

}  // namespace
