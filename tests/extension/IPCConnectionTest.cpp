#include "IPCConnection.h"

#include <gtest/gtest.h>

#include "ExtensionTestSupport.h"
#include "OutgoingFlows.h"

namespace {

using namespace testsupport;
using flowspur::IPCConnection;

flowspur::NFESMessage sampleMessage(std::int64_t seq) {
    flowspur::NFESMessage m;
    m.time = "t";
    m.seq_num = seq;
    m.global_seq_num = seq;
    m.event.networkflow.direction = "outbound";
    m.event.networkflow.uuid = "U";
    return m;
}

std::string seqText(std::int64_t seq) { return "\"seq_num\":" + std::to_string(seq) + ","; }

class IPCConnectionTest : public ::testing::Test {
protected:
    void SetUp() override {
        ::setenv("QUILLMARK_XPC_DIR", dir.path().c_str(), 1);
        ext->startListener(bundle);
    }
    void TearDown() override {
        ext->listener()->invalidate();
        for (auto& app : apps) {
            if (auto c = app->currentConnection()) c->invalidate();
        }
        if (auto c = ext->currentConnection()) c->invalidate();
        eventually([&] { return !ext->currentConnection(); });
    }

    // An application-side link, registered or not.
    std::shared_ptr<IPCConnection> registeredApp(const std::shared_ptr<Receiver>& receiver) {
        auto app = std::make_shared<IPCConnection>();
        apps.push_back(app);
        Outcome outcome;
        app->registerWithExtension(bundle, receiver, outcome.handler());
        EXPECT_EQ(outcome.waitForCount(1), std::vector<bool>{true});
        return app;
    }

    TempDir dir;
    std::string service = "com.quillmark.test.flowspur." + std::to_string(::getpid());
    bundle::Bundle bundle = makeBundle(dir.path() / "Ext.systemextension", serviceEntry(service));
    std::shared_ptr<IPCConnection> ext = std::make_shared<IPCConnection>();
    std::vector<std::shared_ptr<IPCConnection>> apps;
};

TEST_F(IPCConnectionTest, FlowsBeforeAnyApplicationAreDropped) {
    oslog::LogCapture logs;
    ext->shareFlow(sampleMessage(0));
    ASSERT_TRUE(eventually([&] { return !logs.messages("IPCConnection").empty(); }));
    EXPECT_EQ(logs.messages("IPCConnection"),
              (std::vector<std::string>{"Cannot share new flow because the app isn't registered"}));
    EXPECT_EQ(logs.entries().at(0).level, oslog::Level::info);
    EXPECT_EQ(logs.entries().at(0).subsystem, flowspur::kExtensionBundleIdentifier);
}

TEST_F(IPCConnectionTest, RegisteredApplicationReceivesEveryFlowAsCompactJSON) {
    oslog::LogCapture logs;
    auto receiver = std::make_shared<Receiver>();
    registeredApp(receiver);
    ASSERT_TRUE(eventually([&] { return ext->currentConnection() != nullptr; }));
    for (int i = 0; i < 3; ++i) ext->shareFlow(sampleMessage(i));
    ASSERT_TRUE(receiver->waitForCount(3));
    auto texts = receiver->texts();
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(texts[i], es::encodeJSON(sampleMessage(i)));
        EXPECT_NE(texts[i].find(seqText(i)), std::string::npos);
    }
    auto lines = logs.messages("IPCConnection");
    EXPECT_NE(std::find(lines.begin(), lines.end(), "App registered"), lines.end());
}

TEST_F(IPCConnectionTest, ApplicationThatNeverRegistersStillReceivesFlows) {
    auto receiver = std::make_shared<Receiver>();
    auto c = xpc::Connection::withMachServiceName(service);
    c->setExportedInterface(xpc::Interface::withProtocol<flowspur::AppCommunication>());
    c->setExportedObject<flowspur::AppCommunication>(receiver);
    c->resume();
    ASSERT_TRUE(eventually([&] { return ext->currentConnection() != nullptr; }));
    ext->shareFlow(sampleMessage(7));
    EXPECT_TRUE(receiver->waitForCount(1));
    c->invalidate();
}

TEST_F(IPCConnectionTest, RegisterIsAnsweredTrueEveryTime) {
    auto c = xpc::Connection::withMachServiceName(service);
    c->setRemoteObjectInterface(xpc::Interface::withProtocol<flowspur::ProviderCommunication>());
    c->resume();
    auto provider = c->remoteObjectProxyWithErrorHandler<flowspur::ProviderCommunication>([](const xpc::Error&) {});
    Outcome outcome;
    for (int i = 0; i < 3; ++i) provider->register_(outcome.handler());
    EXPECT_EQ(outcome.waitForCount(3), (std::vector<bool>{true, true, true}));
    c->invalidate();
}

TEST_F(IPCConnectionTest, NewerConnectionReplacesTheCurrentOneAndAnOlderEndClearsTheLink) {
    oslog::LogCapture logs;
    auto first = std::make_shared<Receiver>();
    auto second = std::make_shared<Receiver>();
    auto app1 = registeredApp(first);
    ASSERT_TRUE(eventually([&] { return ext->currentConnection() != nullptr; }));
    auto link1 = ext->currentConnection();
    auto app2 = registeredApp(second);
    ASSERT_TRUE(eventually([&] { return ext->currentConnection() != link1; }));

    ext->shareFlow(sampleMessage(1));
    ASSERT_TRUE(second->waitForCount(1));
    EXPECT_TRUE(first->texts().empty());

    // The first application goes away: its end clears the link although the second
    // connection was current.
    app1->currentConnection()->invalidate();
    ASSERT_TRUE(eventually([&] { return ext->currentConnection() == nullptr; }));
    // The line comes after the link is cleared.
    EXPECT_TRUE(eventually([&] {
        auto lines = logs.messages("IPCConnection");
        return std::find(lines.begin(), lines.end(), "App disconnected.") != lines.end();
    }));
    logs.clear();
    ext->shareFlow(sampleMessage(2));
    ASSERT_TRUE(eventually([&] { return !logs.messages("IPCConnection").empty(); }));
    EXPECT_EQ(logs.messages("IPCConnection"),
              (std::vector<std::string>{"Cannot share new flow because the app isn't registered"}));
    EXPECT_EQ(second->texts().size(), 1u);
}

TEST_F(IPCConnectionTest, SecondRegistrationAnswersAtOnceWithoutANewConnection) {
    oslog::LogCapture logs;
    auto receiver = std::make_shared<Receiver>();
    auto app = registeredApp(receiver);
    auto link = app->currentConnection();
    Outcome outcome;
    app->registerWithExtension(bundle, receiver, outcome.handler());
    EXPECT_EQ(outcome.waitForCount(1, 0ms), std::vector<bool>{true});  // answered on the calling thread
    EXPECT_EQ(app->currentConnection(), link);
    auto lines = logs.messages("IPCConnection");
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "Already registered with the provider"), 1);
}

TEST_F(IPCConnectionTest, RegistrationWithoutARunningExtensionFailsAndCanBeRetried) {
    oslog::LogCapture logs;
    ext->listener()->invalidate();
    auto app = std::make_shared<IPCConnection>();
    Outcome outcome;
    app->registerWithExtension(bundle, std::make_shared<Receiver>(), outcome.handler());
    EXPECT_EQ(outcome.waitForCount(1), std::vector<bool>{false});
    EXPECT_FALSE(app->currentConnection());
    auto lines = logs.messages("IPCConnection");
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back().rfind("Failed to register with the provider: ", 0), 0u) << lines.back();

    ext->listener()->resume();
    Outcome again;
    app->registerWithExtension(bundle, std::make_shared<Receiver>(), again.handler());
    EXPECT_EQ(again.waitForCount(1), std::vector<bool>{true});
    apps.push_back(app);
}

// Peers that break the protocol and come back at once: each one's end races with the
// next one's acceptance. Neither may stall the listener or the sending of flows.
TEST_F(IPCConnectionTest, PeersThatBreakTheProtocolAndReconnectStallNothing) {
    ProtocolBreakers peers(service, 4);
    // Flows keep being handed over while the peers break in a few hundred times; the
    // call never waits for the link.
    EXPECT_TRUE(eventually(
        [&] {
            ext->shareFlow(sampleMessage(0));
            return peers.rounds() > 300;
        },
        120s))
        << "the peers hardly ran: " << peers.rounds();
    peers.stop();

    // The listener still accepts and answers, and flows reach the application. Retried:
    // while the listener still counts the peers' last connections, a new one may be
    // refused, and a late send error from a peer that went away clears the link.
    ASSERT_TRUE(eventually(
        [&] {
            auto receiver = std::make_shared<Receiver>();
            auto app = newRegistration(bundle, receiver);
            if (!app) return false;
            apps.push_back(app);
            ext->shareFlow(sampleMessage(1));
            return receiver->waitForCount(1, 1s);
        },
        60s));
}

TEST(OutgoingFlows, AFullQueueDropsTheOldestAndReportsTheCountOnce) {
    std::mutex mutex;
    std::condition_variable changed;
    bool sending = false, release = false;
    std::vector<std::int64_t> sent;
    std::vector<std::uint64_t> reports;
    flowspur::OutgoingFlows outgoing(
        "test.outgoing", 3,
        [&](flowspur::NFESMessage m) {
            std::unique_lock lock(mutex);
            sending = true;
            changed.notify_all();
            changed.wait(lock, [&] { return release; });
            sent.push_back(m.seq_num);
            changed.notify_all();
        },
        [&](std::uint64_t dropped) {
            std::lock_guard lock(mutex);
            reports.push_back(dropped);
            changed.notify_all();
        });
    outgoing.push(sampleMessage(0));
    {
        std::unique_lock lock(mutex);
        ASSERT_TRUE(changed.wait_for(lock, 10s, [&] { return sending; }));
    }
    // The sender is stuck on message 0: pushing never waits, and only the newest three
    // of the rest stay.
    for (int i = 1; i <= 6; ++i) outgoing.push(sampleMessage(i));
    std::unique_lock lock(mutex);
    release = true;
    changed.notify_all();
    ASSERT_TRUE(changed.wait_for(lock, 10s, [&] { return !reports.empty(); }));
    EXPECT_EQ(sent, (std::vector<std::int64_t>{0, 4, 5, 6}));
    EXPECT_EQ(reports, std::vector<std::uint64_t>{3});
}

TEST(IPCConnectionDeathTest, MissingMachServiceNameStopsTheProcess) {
    TempDir dir;
    const std::pair<const char*, std::string> cases[] = {
        {"no NetworkExtension", ""},
        {"NetworkExtension is a text", "<key>NetworkExtension</key><string>x</string>"},
        {"NEMachServiceName is a number",
         "<key>NetworkExtension</key><dict><key>NEMachServiceName</key><integer>3</integer></dict>"},
    };
    int i = 0;
    for (const auto& [what, body] : cases) {
        auto b = makeBundle(dir.path() / std::to_string(i++), body);
        EXPECT_DEATH(IPCConnection::machServiceName(b), "Mach service name is missing from the Info.plist") << what;
    }
}

TEST(IPCConnectionShared, OneInstanceAlsoWhenFirstTouchedFromTwoThreads) {
    std::shared_ptr<IPCConnection> a, b;
    std::thread t1([&] { a = IPCConnection::shared(); });
    std::thread t2([&] { b = IPCConnection::shared(); });
    t1.join();
    t2.join();
    EXPECT_EQ(a, b);
    EXPECT_FALSE(a->currentConnection());
    EXPECT_FALSE(a->listener());
}

}  // namespace
