#include "FilterDataProvider.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>

#include "AuditToken.h"
#include "ExtensionTestSupport.h"
#include "IPCConnection.h"

namespace {

using namespace flowspur;
using netext::NEFilterSocketFlow;

std::vector<std::uint8_t> tokenOf(pid_t pid) {
    auto t = proc::auditTokenForPid(pid);
    EXPECT_TRUE(t) << pid;
    auto bytes = proc::tokenBytes(t.value_or(proc::audit_token_t{}));
    return {bytes.begin(), bytes.end()};
}

NEFilterSocketFlow socketFlow() {
    NEFilterSocketFlow f;
    f.sourceAppAuditToken = tokenOf(::getpid());
    f.sourceProcessAuditToken = f.sourceAppAuditToken;
    f.remoteEndpoint = netext::NWHostEndpoint{"127.0.0.1", "443"};
    f.localEndpoint = netext::NWHostEndpoint{"127.0.0.1", "50000"};
    f.socketProtocol = 6;
    f.socketFamily = 2;
    f.socketType = 1;
    f.direction = netext::NETrafficDirection::outbound;
    f.identifier = netext::UUID::random();
    return f;
}

std::vector<std::string> errorLines(const oslog::LogCapture& logs) {
    std::vector<std::string> out;
    for (const auto& e : logs.entries()) {
        if (e.level == oslog::Level::error) out.push_back(e.message);
    }
    return out;
}

// Runs first in this program: the process has captured no flow yet.
TEST(FilterDataProviderNumbering, FirstFlowIsZeroAndSkippedFlowsUseUpNumbers) {
    oslog::LogCapture logs;
    ASSERT_EQ(nextFlowNumber(), 0) << "another flow was captured first in this process";
    netext::NEFilterFlow notSocket;
    notSocket.url = "https://example.com/a";
    EXPECT_FALSE(FilterDataProvider::describeFlow(notSocket));
    netext::NEFilterFlow noURL;
    EXPECT_FALSE(FilterDataProvider::describeFlow(noURL));
    auto m = FilterDataProvider::describeFlow(socketFlow());
    ASSERT_TRUE(m);
    EXPECT_EQ(m->seq_num, 2);
    EXPECT_EQ(m->global_seq_num, 2);
    EXPECT_EQ(errorLines(logs), (std::vector<std::string>{
                                    "Socket input parameter error, skipping flow: https://example.com/a",
                                    "Socket input parameter error, skipping flow: <unknown>"}));
}

TEST(FilterDataProvider, MessageFieldsOfASocketFlow) {
    NEFilterSocketFlow f = socketFlow();
    f.url = "https://example.com/";
    auto m = FilterDataProvider::describeFlow(f);
    ASSERT_TRUE(m);
    const auto& e = m->event.networkflow;
    EXPECT_EQ(e.remote_address, "127.0.0.1");
    EXPECT_EQ(e.remote_port, "443");
    EXPECT_EQ(e.local_port, "50000");
    EXPECT_FALSE(e.remote_hostname);
    EXPECT_EQ(e.flow_protocol, 6);
    EXPECT_EQ(e.flow_family, 2);
    EXPECT_EQ(e.flow_type, 1);
    EXPECT_EQ(e.url, "https://example.com/");
    EXPECT_EQ(e.uuid, f.identifier.uuidString());
    EXPECT_EQ(m->process.audit_token.pid, ::getpid());
    EXPECT_EQ(m->process.executable.path, std::filesystem::read_symlink("/proc/self/exe").string());
    EXPECT_FALSE(m->action.result);
    EXPECT_EQ(m->time.size(), std::string("2024-01-02T03:04:05.678+0000").size()) << m->time;
}

TEST(FilterDataProvider, SameTokensGiveTheProcessAsInstigator) {
    NEFilterSocketFlow same = socketFlow();
    auto m = FilterDataProvider::describeFlow(same);
    ASSERT_TRUE(m);
    EXPECT_EQ(es::encodeJSON(m->event.networkflow.instigator), es::encodeJSON(m->process));

    NEFilterSocketFlow different = socketFlow();
    different.sourceProcessAuditToken = tokenOf(::getppid());
    auto d = FilterDataProvider::describeFlow(different);
    ASSERT_TRUE(d);
    EXPECT_EQ(d->process.audit_token.pid, ::getpid());
    EXPECT_EQ(d->event.networkflow.instigator.audit_token.pid, ::getppid());
}

TEST(FilterDataProvider, DirectionIsOutboundOnlyForOutbound) {
    const std::pair<netext::NETrafficDirection, const char*> cases[] = {
        {netext::NETrafficDirection::any, "inbound"},
        {netext::NETrafficDirection::inbound, "inbound"},
        {netext::NETrafficDirection::outbound, "outbound"},
    };
    for (const auto& [direction, text] : cases) {
        NEFilterSocketFlow f = socketFlow();
        f.direction = direction;
        EXPECT_EQ(FilterDataProvider::describeFlow(f)->event.networkflow.direction, text);
    }
}

TEST(FilterDataProvider, FlowWithoutEndpointsHasNoAddressKeys) {
    NEFilterSocketFlow f = socketFlow();
    f.remoteEndpoint.reset();
    f.localEndpoint.reset();
    std::string text = es::encodeJSON(*FilterDataProvider::describeFlow(f));
    for (const char* key : {"remote_hostname", "remote_address", "remote_port", "local_address", "local_port", "url"}) {
        EXPECT_EQ(text.find(std::string("\"") + key + "\""), std::string::npos) << key;
    }
}

TEST(FilterDataProvider, BadTokensSkipTheFlowAndStillAllowIt) {
    struct Case {
        const char* what;
        std::function<void(NEFilterSocketFlow&)> change;
        std::vector<std::string> lines;  // every line, in order
    };
    const std::string sizeLine = "audit token is incorrect size";
    const std::string appLine = "Unable to extract AuditToken (app) from flow skipping flow";
    const std::string procLine = "Unable to extract AuditToken (process) from flow skipping flow";
    const Case cases[] = {
        {"20-byte app token", [](auto& f) { f.sourceAppAuditToken->resize(20); }, {sizeLine, appLine}},
        {"20-byte process token", [](auto& f) { f.sourceProcessAuditToken->resize(20); }, {sizeLine, procLine}},
        {"no app token", [](auto& f) { f.sourceAppAuditToken.reset(); }, {appLine}},
        {"no process token", [](auto& f) { f.sourceProcessAuditToken.reset(); }, {procLine}},
    };
    FilterDataProvider provider;
    for (const Case& c : cases) {
        NEFilterSocketFlow f = socketFlow();
        c.change(f);
        oslog::LogCapture logs;
        std::int64_t before = nextFlowNumber();
        EXPECT_TRUE(provider.handleNewFlow(f).allows()) << c.what;
        EXPECT_EQ(nextFlowNumber(), before + 1) << c.what;
        EXPECT_EQ(logs.messages("FilterDataProvider"), c.lines) << c.what;
    }
}

TEST(FilterDataProvider, WithoutAnApplicationEveryFlowIsDescribedThenDropped) {
    oslog::LogCapture logs;
    FilterDataProvider provider;
    EXPECT_TRUE(provider.handleNewFlow(socketFlow()).allows());
    auto facts = logs.messages("FilterDataProvider");
    EXPECT_EQ(facts.back(), "unable to get signing details from pid, using fake defaults - pid: " +
                                std::to_string(::getpid()));
    // Dropped by the queue that sends flows, just after.
    ASSERT_TRUE(testsupport::eventually([&] { return !logs.messages("IPCConnection").empty(); }));
    EXPECT_EQ(logs.messages("IPCConnection"),
              (std::vector<std::string>{"Cannot share new flow because the app isn't registered"}));
}

TEST(FilterDataProvider, StartAppliesTwoRulesForEveryFlowWithAllowAsDefault) {
    FilterDataProvider provider;
    std::optional<netext::NEFilterSettings> applied;
    provider.setSettingsApplier([&](std::optional<netext::NEFilterSettings> s, netext::ErrorCompletion done) {
        applied = std::move(s);
        done(std::nullopt);
    });
    int calls = 0;
    provider.startFilter([&](std::optional<netext::Error> error) {
        ++calls;
        EXPECT_FALSE(error);
    });
    EXPECT_EQ(calls, 1);
    ASSERT_TRUE(applied);
    EXPECT_EQ(applied->defaultAction, netext::NEFilterAction::allow);
    ASSERT_EQ(applied->rules.size(), 2u);
    const netext::NETrafficDirection directions[] = {netext::NETrafficDirection::inbound,
                                                     netext::NETrafficDirection::outbound};
    for (std::size_t i = 0; i < 2; ++i) {
        const auto& r = applied->rules[i];
        EXPECT_EQ(r.action, netext::NEFilterAction::filterData);
        EXPECT_EQ(r.networkRule.direction, directions[i]);
        EXPECT_EQ(r.networkRule.protocol, netext::NENetworkRuleProtocol::any);
        EXPECT_FALSE(r.networkRule.remoteNetwork);
        EXPECT_FALSE(r.networkRule.localNetwork);
        EXPECT_EQ(r.networkRule.remotePrefix, 0u);
        EXPECT_EQ(r.networkRule.localPrefix, 0u);
    }
}

TEST(FilterDataProvider, FailedSettingsAreLoggedAndPassedOn) {
    oslog::LogCapture logs;
    FilterDataProvider provider;
    provider.setSettingsApplier([](std::optional<netext::NEFilterSettings>, netext::ErrorCompletion done) {
        done(netext::Error{"test", 5, "nft failed"});
    });
    std::optional<netext::Error> got;
    provider.startFilter([&](std::optional<netext::Error> error) { got = error; });
    ASSERT_TRUE(got);
    EXPECT_EQ(got->code, 5);
    EXPECT_EQ(errorLines(logs), std::vector<std::string>{"Failed to apply filter settings: nft failed"});

    bool stopped = false;
    provider.stopFilter(netext::NEProviderStopReason::userInitiated, [&] { stopped = true; });
    EXPECT_TRUE(stopped);
}

}  // namespace
