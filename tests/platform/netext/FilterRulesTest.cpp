#include "FilterRules.h"

#include <gtest/gtest.h>

#include <netinet/in.h>

namespace {

using namespace netext;

NEFilterRule rule(NETrafficDirection direction, NEFilterAction action,
                  NENetworkRuleProtocol protocol = NENetworkRuleProtocol::any,
                  std::optional<NWHostEndpoint> remote = std::nullopt, std::uint32_t prefix = 0) {
    return {{std::move(remote), prefix, std::nullopt, 0, protocol, direction}, action};
}

TEST(FilterRules, SettingsTheFlowTableCannotServe) {
    const std::pair<const char*, NEFilterSettings> good[] = {
        {"every flow", {{rule(NETrafficDirection::inbound, NEFilterAction::filterData),
                         rule(NETrafficDirection::outbound, NEFilterAction::filterData)},
                        NEFilterAction::allow}},
        {"a narrow allow rule", {{rule(NETrafficDirection::outbound, NEFilterAction::allow, NENetworkRuleProtocol::TCP,
                                       NWHostEndpoint{"10.0.0.0", "0"}, 8)},
                                 NEFilterAction::allow}},
    };
    for (const auto& [what, settings] : good) EXPECT_FALSE(settingsError(settings)) << what;

    const std::pair<const char*, NEFilterSettings> bad[] = {
        {"drop by default", {{}, NEFilterAction::drop}},
        {"a drop rule", {{rule(NETrafficDirection::any, NEFilterAction::drop)}, NEFilterAction::allow}},
        {"a remote network that is no address",
         {{rule(NETrafficDirection::any, NEFilterAction::filterData, NENetworkRuleProtocol::any,
                NWHostEndpoint{"example.com", "0"}, 24)},
          NEFilterAction::allow}},
    };
    for (const auto& [what, settings] : bad) {
        auto error = settingsError(settings);
        EXPECT_TRUE(error && !error->empty()) << what;
    }
}

TEST(FilterRules, FirstMatchingRuleDecides) {
    NEFilterSettings s{{rule(NETrafficDirection::outbound, NEFilterAction::allow, NENetworkRuleProtocol::UDP),
                        rule(NETrafficDirection::any, NEFilterAction::filterData, NENetworkRuleProtocol::any,
                             NWHostEndpoint{"127.0.0.0", "0"}, 8)},
                       NEFilterAction::allow};
    struct Case {
        NETrafficDirection direction;
        int protocol;
        const char* remote;
        NEFilterAction expected;
    };
    const Case cases[] = {
        {NETrafficDirection::outbound, IPPROTO_UDP, "127.0.0.1", NEFilterAction::allow},
        {NETrafficDirection::inbound, IPPROTO_UDP, "127.0.0.1", NEFilterAction::filterData},
        {NETrafficDirection::outbound, IPPROTO_TCP, "127.255.0.9", NEFilterAction::filterData},
        {NETrafficDirection::outbound, IPPROTO_TCP, "128.0.0.1", NEFilterAction::allow},  // default
        {NETrafficDirection::outbound, IPPROTO_TCP, "::1", NEFilterAction::allow},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(actionFor(s, c.direction, c.protocol, "127.0.0.1", c.remote), c.expected) << c.remote;
    }
}

}  // namespace
