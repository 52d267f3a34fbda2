// Network monitoring with its platform replaced: a filter configuration in memory, an
// XPC link that answers registrations as told, activation requests that the tests
// answer for the system, and an events view that records what it is given.

#include "NetworkMonitor.h"

#include <gtest/gtest.h>

#include <QAction>

#include <fstream>

#include "AlertPresenter.h"
#include "ESLoggerFile.h"
#include "FlowMessage.h"
#include "Symbols.h"

namespace {

using namespace qm;
namespace fs = std::filesystem;
using Status = NetworkStatus;
using sysext::OSSystemExtensionRequestResult;

// ---- doubles -------------------------------------------------------------------------

// A saved configuration and the manager's copy of it; completions run at once, on the
// caller's thread. A load or save fails with the error set for it.
class FakeFilterManager final : public FilterManager {
public:
    netext::FilterConfiguration saved, current;
    std::optional<netext::Error> loadError, saveError;
    int loads = 0, saves = 0;
    std::map<std::uint64_t, std::pair<dispatch::DispatchQueue, std::function<void()>>> observers;

    void loadFromPreferences(netext::ErrorCompletion done) override {
        ++loads;
        if (!loadError) current = saved;
        done(loadError);
    }
    void saveToPreferences(netext::ErrorCompletion done) override {
        ++saves;
        if (!saveError) saved = current;
        done(saveError);
    }
    bool isEnabled() const override { return current.enabled; }
    void setEnabled(bool on) override { current.enabled = on; }
    std::optional<netext::NEFilterProviderConfiguration> providerConfiguration() const override {
        return current.providerConfiguration;
    }
    void setProviderConfiguration(std::optional<netext::NEFilterProviderConfiguration> c) override {
        current.providerConfiguration = c;
    }
    void setLocalizedDescription(std::optional<std::string> d) override { current.localizedDescription = d; }
    std::uint64_t addConfigurationObserver(dispatch::DispatchQueue queue, std::function<void()> block) override {
        observers.emplace(++lastToken, std::make_pair(std::move(queue), std::move(block)));
        return lastToken;
    }
    void removeConfigurationObserver(std::uint64_t token) override { observers.erase(token); }

    // Another process saved the configuration.
    void changeSaved(bool enabled) {
        saved.enabled = enabled;
        current.enabled = enabled;
        for (auto& [token, observer] : observers) observer.first.async(observer.second);
    }

private:
    std::uint64_t lastToken = 0;
};

// Answers every registration with `answer`, or keeps it pending when unset.
class FakeConnection final : public flowspur::IPCConnection {
public:
    std::optional<bool> answer = true;
    std::vector<std::function<void(bool)>> pending;
    std::vector<fs::path> bundles;
    std::weak_ptr<flowspur::AppCommunication> exported;

    void registerWithExtension(const bundle::Bundle& bundle, std::shared_ptr<flowspur::AppCommunication> delegate,
                               std::function<void(bool)> completion) override {
        bundles.push_back(bundle.bundlePath());
        exported = std::move(delegate);
        if (answer) completion(*answer);
        else pending.push_back(std::move(completion));
    }
};

// An event source with a settable running state.
class FakeSource final : public es::ESLoggerFile {
public:
    FakeSource() : ESLoggerFile("/nonexistent", {}, {}, logging::Logger::Level::info) {}
    bool running = false;
    bool isRunning() const override { return running; }
};

class FakeEventsView final : public FlowEventsView {
public:
    std::shared_ptr<es::ESLogger> source;
    std::vector<es::ESMessage> added;
    std::shared_ptr<es::ESLogger> eventSource() const override { return source; }
    void addEvent(es::ESMessage message) override { added.push_back(std::move(message)); }
};

class RecordingPresenter final : public AlertPresenter {
public:
    std::vector<Alert> shown;
    AlertResponse runModal(const Alert& alert) override {
        shown.push_back(alert);
        return {};
    }
};

void writePlist(const fs::path& bundle, const std::string& dictBody) {
    fs::create_directories(bundle / "Contents");
    std::ofstream(bundle / "Contents" / "Info.plist")
        << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>" << dictBody
        << "</dict></plist>\n";
}

const std::string kExtensionInfo =
    "<key>CFBundleIdentifier</key><string>com.quillmark.Flowspur</string>"
    "<key>NetworkExtension</key><dict><key>NEMachServiceName</key><string>test.flowspur</string></dict>";

// ---- fixture -------------------------------------------------------------------------

class NetworkMonitorTest : public ::testing::Test {
public:
    void SetUp() override {
        char tmpl[] = "/tmp/qm-net-XXXXXX";
        root = ::mkdtemp(tmpl);
        writePlist(root / "Quillmark", "<key>CFBundleName</key><string>Quillmark</string>");
        writePlist(extensionPath(), kExtensionInfo);
        button.setIcon(networkSymbolIcon(systemGrayColor));
        previousPresenter = setAlertPresenter(alerts);
        view->source = std::make_shared<FakeSource>();
        makeMonitor();
    }
    void TearDown() override {
        if (monitor) monitor->detachWindow();
        settle();
        // Registrations left unanswered hold the monitor, which holds the link.
        connection->pending.clear();
        setAlertPresenter(previousPresenter);
        fs::remove_all(root);
    }

    fs::path extensionPath() const {
        return root / "Quillmark/Contents/Library/SystemExtensions/Flowspur.systemextension";
    }

    void makeMonitor() {
        NetworkPlatform platform;
        platform.filterManager = filter;
        platform.connection = connection;
        platform.submitRequest = [this](std::shared_ptr<sysext::OSSystemExtensionRequest> r) {
            requests.push_back(std::move(r));
        };
        platform.mainBundle = root / "Quillmark";
        monitor = NetworkMonitor::create(platform);
        monitor->setMonitorNetworkButton(&button);
        monitor->setActivityIndicator([this](bool on) { animations.push_back(on); });
        monitor->setEventsView(view);
    }

    static void settle() { dispatch::drainMainQueue(); }

    // A saved, enabled configuration as an earlier run leaves it.
    void savedEnabled() {
        filter->saved.enabled = true;
        filter->saved.providerConfiguration = netext::NEFilterProviderConfiguration{true, false};
    }

    // Brings the monitor to running through window loading with an enabled filter.
    void bringToRunning() {
        savedEnabled();
        monitor->windowDidLoad();
        settle();
        ASSERT_EQ(monitor->networkStatus(), Status::running);
    }

    // Starts from stopped and leaves the activation request unanswered.
    sysext::OSSystemExtensionRequest& startUntilRequest() {
        monitor->toggleNetwork();
        settle();
        EXPECT_EQ(monitor->networkStatus(), Status::indeterminate);
        EXPECT_EQ(requests.size(), 1u);
        return *requests.back();
    }

    std::vector<std::string> mwcLog() const { return logs.messages("mwc"); }
    // The window's log lines with their levels; all of them under the window's subsystem.
    std::vector<std::pair<oslog::Level, std::string>> mwcEntries() const {
        std::vector<std::pair<oslog::Level, std::string>> seen;
        for (const auto& e : logs.entries()) {
            if (e.category != "mwc") continue;
            EXPECT_EQ(e.subsystem, "com.quillmark.Vorn");
            seen.emplace_back(e.level, e.message);
        }
        return seen;
    }
    bool logged(std::string_view text) const {
        for (const auto& m : mwcLog()) {
            if (m == text) return true;
        }
        return false;
    }

    fs::path root;
    std::shared_ptr<FakeFilterManager> filter = std::make_shared<FakeFilterManager>();
    std::shared_ptr<FakeConnection> connection = std::make_shared<FakeConnection>();
    std::vector<std::shared_ptr<sysext::OSSystemExtensionRequest>> requests;
    QAction button;
    std::vector<bool> animations;
    std::shared_ptr<FakeEventsView> view = std::make_shared<FakeEventsView>();
    std::shared_ptr<RecordingPresenter> alerts = std::make_shared<RecordingPresenter>();
    std::shared_ptr<AlertPresenter> previousPresenter;
    std::shared_ptr<NetworkMonitor> monitor;
    oslog::LogCapture logs;
};

// ---- status transitions --------------------------------------------------------------

struct Transition {
    const char* name;
    std::function<void(NetworkMonitorTest&)> run;  // arranges, triggers and settles
    Status expected;
};

void PrintTo(const Transition& t, std::ostream* os) { *os << t.name; }

const netext::Error kError{"NEFilterErrorDomain", 5, "The disk is gone."};

class NetworkTransitions : public NetworkMonitorTest, public ::testing::WithParamInterface<Transition> {};

TEST_P(NetworkTransitions, EndInTheirStatus) {
    GetParam().run(*this);
    settle();
    EXPECT_EQ(monitor->networkStatus(), GetParam().expected);
    EXPECT_EQ(symbolTint(&button), GetParam().expected == Status::running ? systemBlueColor : systemGrayColor);
}

const Transition kTransitions[] = {
    {"WindowLoadWithUnreadableConfiguration",
     [](NetworkMonitorTest& t) {
         t.filter->loadError = kError;
         t.monitor->windowDidLoad();
     },
     Status::stopped},
    {"WindowLoadWithDisabledConfiguration", [](NetworkMonitorTest& t) { t.monitor->windowDidLoad(); }, Status::stopped},
    {"WindowLoadWithEnabledConfigurationRegistered",
     [](NetworkMonitorTest& t) {
         t.savedEnabled();
         t.monitor->windowDidLoad();
     },
     Status::running},
    {"WindowLoadWithEnabledConfigurationRefused",
     [](NetworkMonitorTest& t) {
         t.savedEnabled();
         t.connection->answer = false;
         t.monitor->windowDidLoad();
     },
     Status::stopped},
    {"ChangeNotificationDisabledWhileRunning",
     [](NetworkMonitorTest& t) {
         t.bringToRunning();
         t.filter->changeSaved(false);
     },
     Status::stopped},
    {"ChangeNotificationEnabledWhileStopped",
     [](NetworkMonitorTest& t) {
         t.monitor->windowDidLoad();
         t.settle();
         t.filter->saved.providerConfiguration = netext::NEFilterProviderConfiguration{true, false};
         t.filter->changeSaved(true);
     },
     Status::running},
    {"StartWithFilterEnabledRegistered",
     [](NetworkMonitorTest& t) {
         t.filter->current.enabled = true;
         t.monitor->toggleNetwork();
     },
     Status::running},
    {"StartWithFilterEnabledRefused",
     [](NetworkMonitorTest& t) {
         t.filter->current.enabled = true;
         t.connection->answer = false;
         t.monitor->toggleNetwork();
     },
     Status::stopped},
    {"StartWithoutExtensionIdentifier",
     [](NetworkMonitorTest& t) {
         writePlist(t.extensionPath(), "<key>CFBundleName</key><string>Flowspur</string>");
         t.monitor->toggleNetwork();
     },
     Status::stopped},
    {"RequestCompletedThenLoadSaveAndRegistration",
     [](NetworkMonitorTest& t) { t.startUntilRequest().delegate()->didFinishWithResult(*t.requests[0], {}); },
     Status::running},
    {"RequestCompletedThenRegistrationRefused",
     [](NetworkMonitorTest& t) {
         t.connection->answer = false;
         t.startUntilRequest().delegate()->didFinishWithResult(*t.requests[0], {});
     },
     Status::stopped},
    {"RequestCompletedThenLoadFails",
     [](NetworkMonitorTest& t) {
         auto& r = t.startUntilRequest();
         t.filter->loadError = kError;
         r.delegate()->didFinishWithResult(r, OSSystemExtensionRequestResult::completed);
     },
     Status::stopped},
    {"RequestCompletedThenSaveFails",
     [](NetworkMonitorTest& t) {
         auto& r = t.startUntilRequest();
         t.filter->saveError = kError;
         r.delegate()->didFinishWithResult(r, OSSystemExtensionRequestResult::completed);
     },
     Status::stopped},
    {"RequestCompletesAfterReboot",
     [](NetworkMonitorTest& t) {
         auto& r = t.startUntilRequest();
         r.delegate()->didFinishWithResult(r, OSSystemExtensionRequestResult::willCompleteAfterReboot);
     },
     Status::stopped},
    {"RequestFails",
     [](NetworkMonitorTest& t) {
         auto& r = t.startUntilRequest();
         r.delegate()->didFailWithError(r, {"OSSystemExtensionErrorDomain", 13, "Needs root."});
     },
     Status::stopped},
    {"RequestNeedsUserApproval",
     [](NetworkMonitorTest& t) {
         auto& r = t.startUntilRequest();
         r.delegate()->requestNeedsUserApproval(r);
     },
     Status::indeterminate},
    {"StopWithFilterNotEnabled",
     [](NetworkMonitorTest& t) {
         t.bringToRunning();
         t.filter->current.enabled = false;
         t.monitor->toggleNetwork();
     },
     Status::stopped},
    {"StopWhenLoadFails",
     [](NetworkMonitorTest& t) {
         t.bringToRunning();
         t.filter->loadError = kError;
         t.monitor->toggleNetwork();
     },
     Status::running},
    {"StopWhenSaveFails",
     [](NetworkMonitorTest& t) {
         t.bringToRunning();
         t.filter->saveError = kError;
         t.monitor->toggleNetwork();
     },
     Status::running},
    {"StopSaved",
     [](NetworkMonitorTest& t) {
         t.bringToRunning();
         t.monitor->toggleNetwork();
     },
     Status::stopped},
};

INSTANTIATE_TEST_SUITE_P(Table, NetworkTransitions, ::testing::ValuesIn(kTransitions),
                         [](const auto& info) { return std::string(info.param.name); });

// ---- the steps behind the table ------------------------------------------------------

TEST_F(NetworkMonitorTest, WindowLoadIsIndeterminateUntilTheConfigurationIsLoadedAndThenFollowsIt) {
    connection->answer.reset();
    savedEnabled();
    monitor->windowDidLoad();
    EXPECT_EQ(monitor->networkStatus(), Status::indeterminate);
    settle();
    EXPECT_EQ(monitor->networkStatus(), Status::indeterminate) << "waits for the registration";
    ASSERT_EQ(connection->pending.size(), 1u);
    EXPECT_EQ(connection->bundles[0], extensionPath());
    EXPECT_EQ(connection->exported.lock(), monitor) << "the monitor receives the flows";
    connection->pending[0](true);
    settle();
    EXPECT_EQ(monitor->networkStatus(), Status::running);
    EXPECT_EQ(filter->observers.size(), 1u);

    monitor->removeNetworkObserver();
    EXPECT_TRUE(filter->observers.empty());
}

TEST_F(NetworkMonitorTest, NoObserverWhenTheConfigurationCannotBeLoaded) {
    filter->loadError = kError;
    monitor->windowDidLoad();
    settle();
    EXPECT_TRUE(filter->observers.empty());
    EXPECT_TRUE(logged("Failed to load the filter configuration: The disk is gone."));
}

TEST_F(NetworkMonitorTest, ToggleWhileIndeterminateStartsAgain) {
    filter->current.enabled = true;
    connection->answer.reset();
    monitor->toggleNetwork();
    settle();
    ASSERT_EQ(monitor->networkStatus(), Status::indeterminate);
    monitor->toggleNetwork();
    settle();
    EXPECT_EQ(connection->pending.size(), 2u) << "a second start, not a stop";
    EXPECT_EQ(filter->saves, 0);
    EXPECT_EQ((std::vector<std::string>{"starting network flow", "registering with provider to start networkflow",
                                        "starting network flow", "registering with provider to start networkflow"}),
              mwcLog());
}

TEST_F(NetworkMonitorTest, StartWithTheFilterEnabledOnlyRegisters) {
    filter->current.enabled = true;
    monitor->toggleNetwork();
    settle();
    EXPECT_EQ(monitor->networkStatus(), Status::running);
    EXPECT_TRUE(requests.empty());
    EXPECT_EQ(filter->loads + filter->saves, 0);
}

TEST_F(NetworkMonitorTest, ActivationRequestIsForTheExtensionOnTheMainQueueWithTheMonitorAsDelegate) {
    auto& r = startUntilRequest();
    EXPECT_EQ(r.identifier(), "com.quillmark.Flowspur");
    EXPECT_EQ(r.queue(), dispatch::DispatchQueue::main());
    EXPECT_EQ(r.delegate(), monitor);
    EXPECT_EQ((std::vector<std::string>{"starting network flow", "sending activation request to extension manager"}),
              mwcLog());
}

TEST_F(NetworkMonitorTest, CompletedActivationCreatesTheConfigurationWithTheApplicationsName) {
    auto& r = startUntilRequest();
    r.delegate()->didFinishWithResult(r, OSSystemExtensionRequestResult::completed);
    settle();
    EXPECT_TRUE(filter->saved.enabled);
    EXPECT_EQ(filter->saved.providerConfiguration, (netext::NEFilterProviderConfiguration{true, false}));
    EXPECT_EQ(filter->saved.localizedDescription, "Quillmark");
    EXPECT_EQ(connection->bundles.size(), 1u);
}

TEST_F(NetworkMonitorTest, AnExistingConfigurationKeepsItsDescription) {
    filter->saved.providerConfiguration = netext::NEFilterProviderConfiguration{true, true};
    filter->saved.localizedDescription = "Named elsewhere";
    auto& r = startUntilRequest();
    r.delegate()->didFinishWithResult(r, OSSystemExtensionRequestResult::completed);
    settle();
    EXPECT_TRUE(filter->saved.enabled);
    EXPECT_EQ(filter->saved.providerConfiguration, (netext::NEFilterProviderConfiguration{true, true}));
    EXPECT_EQ(filter->saved.localizedDescription, "Named elsewhere");
}

TEST_F(NetworkMonitorTest, CompletedActivationWithTheFilterEnabledMeanwhileOnlyRegisters) {
    auto& r = startUntilRequest();
    filter->current.enabled = true;
    r.delegate()->didFinishWithResult(r, OSSystemExtensionRequestResult::completed);
    settle();
    EXPECT_EQ(monitor->networkStatus(), Status::running);
    EXPECT_EQ(filter->loads + filter->saves, 0);
}

TEST_F(NetworkMonitorTest, FailedSavesLeaveTheManagerAsSaved) {
    // Enabling.
    auto& r = startUntilRequest();
    filter->saveError = kError;
    r.delegate()->didFinishWithResult(r, OSSystemExtensionRequestResult::completed);
    settle();
    EXPECT_TRUE(logged("Failed to save the filter configuration: The disk is gone."));
    EXPECT_FALSE(filter->saved.enabled);
    EXPECT_FALSE(filter->isEnabled()) << "a later start must activate and save again";
    EXPECT_TRUE(connection->bundles.empty());

    // Disabling: monitoring goes on and the filter stays enabled.
    filter->saveError.reset();
    monitor->toggleNetwork();
    settle();
    ASSERT_EQ(requests.size(), 2u);
    requests[1]->delegate()->didFinishWithResult(*requests[1], OSSystemExtensionRequestResult::completed);
    settle();
    ASSERT_EQ(monitor->networkStatus(), Status::running);
    filter->saveError = kError;
    monitor->toggleNetwork();
    settle();
    EXPECT_EQ(monitor->networkStatus(), Status::running);
    EXPECT_TRUE(logged("Failed to disable filter configuration: The disk is gone."));
    EXPECT_TRUE(filter->saved.enabled);
    EXPECT_TRUE(filter->isEnabled()) << "a later stop must disable and save again";
}

TEST_F(NetworkMonitorTest, ActivationOutcomesAreLoggedAndAFailureIsShown) {
    auto& r = startUntilRequest();
    sysext::OSSystemExtensionProperties old{"com.quillmark.Flowspur", "1", "0.9", "/old"};
    sysext::OSSystemExtensionProperties next{"com.quillmark.Flowspur", "2", "1.0", "/new"};
    EXPECT_EQ(r.delegate()->actionForReplacingExtension(r, old, next),
              sysext::OSSystemExtensionReplacementAction::replace);
    r.delegate()->requestNeedsUserApproval(r);
    EXPECT_EQ(monitor->networkStatus(), Status::indeterminate);
    EXPECT_EQ(symbolTint(&button), systemGrayColor);
    r.delegate()->didFinishWithResult(r, OSSystemExtensionRequestResult::willCompleteAfterReboot);
    r.delegate()->didFailWithError(r, {"OSSystemExtensionErrorDomain", 13, "Needs root."});
    EXPECT_TRUE(alerts->shown.empty()) << "the alert comes later, on the main queue";
    settle();

    const std::vector<std::pair<oslog::Level, std::string>> expected = {
        {oslog::Level::info, "starting network flow"},
        {oslog::Level::debug, "sending activation request to extension manager"},
        {oslog::Level::info, "Replacing extension <private> version <private> with version <private>"},
        {oslog::Level::info, "Extension <private> requires user approval"},
        {oslog::Level::error, "Unexpected result 1 for system extension request"},
        {oslog::Level::error, "System extension request failed: Needs root."},
    };
    EXPECT_EQ(mwcEntries(), expected);
    ASSERT_EQ(alerts->shown.size(), 1u);
    EXPECT_EQ(alerts->shown[0].messageText, "System Extension Error");
    EXPECT_EQ(alerts->shown[0].informativeText, "Needs root.");
    EXPECT_EQ(alerts->shown[0].style, Alert::Style::warning);
    EXPECT_TRUE(alerts->shown[0].buttons.isEmpty());
}

TEST_F(NetworkMonitorTest, OwnSavesAreFollowedByTheSameTest) {
    monitor->windowDidLoad();
    settle();
    auto& r = startUntilRequest();
    r.delegate()->didFinishWithResult(r, OSSystemExtensionRequestResult::completed);
    settle();
    // The notification of the own save: registers again and stays running.
    filter->changeSaved(true);
    settle();
    EXPECT_EQ(connection->bundles.size(), 2u);
    EXPECT_EQ(monitor->networkStatus(), Status::running);

    monitor->toggleNetwork();
    settle();
    filter->changeSaved(false);
    settle();
    EXPECT_EQ(monitor->networkStatus(), Status::stopped);
    EXPECT_EQ(connection->bundles.size(), 2u);
}

TEST_F(NetworkMonitorTest, ALoadThatEndsAfterTheWindowWentInstallsNoObserver) {
    monitor->windowDidLoad();
    monitor->detachWindow();
    settle();
    EXPECT_TRUE(filter->observers.empty());
}

TEST_F(NetworkMonitorTest, NotificationsAfterTheWindowWentChangeNothing) {
    monitor->windowDidLoad();
    settle();
    filter->saved.providerConfiguration = netext::NEFilterProviderConfiguration{true, false};
    auto observers = filter->observers;
    monitor->detachWindow();
    for (auto& [token, observer] : observers) observer.second();
    settle();
    EXPECT_TRUE(connection->bundles.empty());
    EXPECT_TRUE(filter->observers.empty());
}

// ---- the progress indicator ----------------------------------------------------------

TEST_F(NetworkMonitorTest, ProgressIndicatorRules) {
    auto source = std::static_pointer_cast<FakeSource>(view->source);

    bringToRunning();
    EXPECT_EQ(animations, (std::vector<bool>{true})) << "indeterminate leaves it alone, running starts it";

    // Stopped while a source runs: the source's animation goes on.
    source->running = true;
    filter->changeSaved(false);
    settle();
    EXPECT_EQ(animations, (std::vector<bool>{true}));

    // Stopped with a source that is not running, and with no source at all.
    source->running = false;
    filter->changeSaved(false);
    settle();
    EXPECT_EQ(animations, (std::vector<bool>{true, false}));
    view->source.reset();
    filter->changeSaved(false);
    settle();
    EXPECT_EQ(animations, (std::vector<bool>{true, false, false}));
}

// ---- the extension bundle ------------------------------------------------------------

TEST_F(NetworkMonitorTest, ExtensionBundleIsTheFirstVisibleEntryAndIsKept) {
    writePlist(root / "Quillmark/Contents/Library/SystemExtensions/.hidden", kExtensionInfo);
    EXPECT_EQ(monitor->extensionBundle().bundlePath(), extensionPath());
    fs::remove_all(extensionPath());
    EXPECT_EQ(monitor->extensionBundle().bundlePath(), extensionPath());
}

using NetworkMonitorDeathTest = NetworkMonitorTest;

TEST_F(NetworkMonitorDeathTest, ABrokenApplicationBundleStopsTheProcess) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    const fs::path extensions = root / "Quillmark/Contents/Library/SystemExtensions";
    fs::remove_all(extensions);
    EXPECT_DEATH(monitor->extensionBundle(), "Failed to get the contents of file://.*/SystemExtensions: ");
    fs::create_directories(extensions);
    EXPECT_DEATH(monitor->extensionBundle(), "Failed to find any system extensions");
    std::ofstream(extensions / "Flowspur.systemextension") << "not a folder";
    EXPECT_DEATH(monitor->extensionBundle(),
                 "Failed to create a bundle with URL file://.*/Flowspur.systemextension");
}

// ---- flow intake ---------------------------------------------------------------------

// A flow message as the extension writes it, with the given sequence number.
std::string flowText(std::int64_t seq, std::int64_t protocol = 6) {
    flowspur::NFESMessage m;
    m.time = "2024-01-02T03:04:05.678+0000";
    m.seq_num = seq;
    m.global_seq_num = seq;
    auto& f = m.event.networkflow;
    f.instigator.executable.path = "/usr/bin/curl";
    f.remote_address = "127.0.0.1";
    f.remote_port = "8080";
    f.local_address = "127.0.0.1";
    f.local_port = "50000";
    f.flow_protocol = protocol;
    f.flow_family = 2;
    f.flow_type = 1;
    f.direction = "outbound";
    f.uuid = "6F9619FF-8B86-D011-B42D-00C04FC964FF";
    m.process.executable.path = "/usr/bin/curl";
    return es::encodeJSON(m);
}

// The first event of the sample file (an exec event).
std::string sampleLine() {
    std::ifstream in(std::string(QM_SOURCE_DIR) + "/samples/events.jsonl");
    std::string line;
    std::getline(in, line);
    return line;
}

// A source whose last decoded message had this global sequence number.
std::shared_ptr<es::ESLogger> sourceAt(std::int64_t n) {
    auto source = std::make_shared<FakeSource>();
    source->processEvent(rewriteGlobalSeqNum(sampleLine(), n));
    EXPECT_EQ(source->lastGlobalSeqNum(), n);
    return source;
}

TEST(ResequenceFlow, RewritesOnlyWhatThePatternMatches) {
    struct Case {
        const char* name;
        std::string text;
        std::int64_t n;
        std::string expected;
    };
    const Case cases[] = {
        {"one", R"({"seq_num":7,"global_seq_num":7,"x":1})", 42, R"({"seq_num":7,"global_seq_num":42,"x":1})"},
        {"negative number", R"({"global_seq_num":7,"x":1})", -1, R"({"global_seq_num":-1,"x":1})"},
        {"twice", R"({"global_seq_num":1,"a":{"global_seq_num":22,"b":0}})", 5,
         R"({"global_seq_num":5,"a":{"global_seq_num":5,"b":0}})"},
        {"last key", R"({"a":1,"global_seq_num":7})", 5, R"({"a":1,"global_seq_num":7})"},
        {"blank after colon", R"({"global_seq_num": 7,"a":1})", 5, R"({"global_seq_num": 7,"a":1})"},
        {"blank before comma", R"({"global_seq_num":7 ,"a":1})", 5, R"({"global_seq_num":7 ,"a":1})"},
        {"no digits", R"({"global_seq_num":,"a":1})", 5, R"({"global_seq_num":,"a":1})"},
        {"text value", R"({"global_seq_num":"7","a":1})", 5, R"({"global_seq_num":"7","a":1})"},
        {"signed value", R"({"global_seq_num":-7,"a":1})", 5, R"({"global_seq_num":-7,"a":1})"},
        {"longer key", R"({"my_global_seq_num":7,"a":1})", 5, R"({"my_global_seq_num":7,"a":1})"},
        {"unmatched then matched", R"({"global_seq_num":7}{"global_seq_num":8,})", 5,
         R"({"global_seq_num":7}{"global_seq_num":5,})"},
        {"at the end of the text", R"("global_seq_num":12)", 5, R"("global_seq_num":12)"},
        {"nothing", "", 5, ""},
    };
    for (const Case& c : cases) EXPECT_EQ(rewriteGlobalSeqNum(c.text, c.n), c.expected) << c.name;
}

TEST_F(NetworkMonitorTest, FlowsTakeTheLastGlobalSequenceNumberOfTheCurrentSource) {
    const std::string text = flowText(3);
    view->source.reset();
    EXPECT_EQ(monitor->resequenceFlow(text), text) << "no source: the extension's own number";
    view->source = std::make_shared<FakeSource>();
    EXPECT_NE(monitor->resequenceFlow(text).find("\"global_seq_num\":-1,"), std::string::npos)
        << "a source before its first event";
    view->source = sourceAt(2999);
    monitor->shareFlowUsingMessageString(text);
    EXPECT_TRUE(view->added.empty()) << "added on the main queue";
    settle();
    ASSERT_EQ(view->added.size(), 1u);
    EXPECT_EQ(view->added[0].global_seq_num, 2999);
    EXPECT_EQ(view->added[0].seq_num, 3);
    ASSERT_TRUE(view->added[0].event.get<es::ESEvent_networkflow>());
    EXPECT_EQ(view->added[0].event.get<es::ESEvent_networkflow>()->local_port, "50000");
    EXPECT_TRUE(mwcLog().empty());
}

TEST_F(NetworkMonitorTest, UnreadableAndForeignMessagesAreDropped) {
    struct Case {
        const char* name;
        std::string text;
        std::vector<std::pair<oslog::Level, std::string>> log;
    };
    std::string notUTF8 = flowText(3);
    notUTF8.replace(notUTF8.find("curl"), 4, "cu\xC0\xAF");
    const Case cases[] = {
        {"protocol outside the enumeration", flowText(3, 1234),
         {{oslog::Level::error, "Unable to convert json flow string to flow object"},
          {oslog::Level::debug, "<private>"}}},
        {"not JSON", "{\"global_seq_num\":3,",
         {{oslog::Level::error, "Unable to convert json flow string to flow object"},
          {oslog::Level::debug, "<private>"}}},
        {"another event kind", sampleLine(), {{oslog::Level::fault, "Expecting only NetworkFlow events, should never get here"}}},
        {"not UTF-8", notUTF8, {}},
    };
    for (const Case& c : cases) {
        logs.clear();
        monitor->shareFlowUsingMessageString(c.text);
        settle();
        EXPECT_TRUE(view->added.empty()) << c.name;
        auto seen = mwcEntries();
        // The decoding error's own text follows as a third line.
        if (seen.size() == 3 && c.log.size() == 2) {
            EXPECT_EQ(seen[2].first, oslog::Level::debug) << c.name;
            EXPECT_TRUE(seen[2].second.starts_with("JSON decode error ")) << c.name << ": " << seen[2].second;
            seen.pop_back();
        }
        EXPECT_EQ(seen, c.log) << c.name;
    }
}

TEST_F(NetworkMonitorTest, FlowsAfterTheWindowWentAreDecodedAndDropped) {
    monitor->detachWindow();
    monitor->shareFlowUsingMessageString(flowText(3));
    settle();
    EXPECT_TRUE(view->added.empty());
    EXPECT_TRUE(mwcLog().empty());
}

}  // namespace
