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

TEST(FilterRules, EveryFlowRulesBecomeCountingRulesOnBothHooks) {
    NEFilterSettings s{{rule(NETrafficDirection::inbound, NEFilterAction::filterData),
                        rule(NETrafficDirection::outbound, NEFilterAction::filterData)},
                       NEFilterAction::allow};
    std::string error;
    auto script = nftScript(s, error);
    ASSERT_TRUE(script) << error;
    EXPECT_EQ(*script,
              "table inet flowspur\n"
              "delete table inet flowspur\n"
              "table inet flowspur {\n"
              "    chain inbound {\n"
              "        type filter hook input priority filter; policy accept;\n"
              "        ct state new counter\n"
              "    }\n"
              "    chain outbound {\n"
              "        type filter hook output priority filter; policy accept;\n"
              "        ct state new counter\n"
              "    }\n"
              "}\n");
}

TEST(FilterRules, NarrowRulesAndWhatCannotBeExpressed) {
    std::string error;
    NEFilterSettings narrow{{rule(NETrafficDirection::outbound, NEFilterAction::allow, NENetworkRuleProtocol::TCP,
                                  NWHostEndpoint{"10.0.0.0", "0"}, 8)},
                            NEFilterAction::allow};
    auto script = nftScript(narrow, error);
    ASSERT_TRUE(script) << error;
    EXPECT_NE(script->find("ct state new meta l4proto tcp ip daddr 10.0.0.0/8 counter accept\n"), std::string::npos)
        << *script;

    const std::pair<const char*, NEFilterSettings> bad[] = {
        {"drop by default", {{}, NEFilterAction::drop}},
        {"a drop rule", {{rule(NETrafficDirection::any, NEFilterAction::drop)}, NEFilterAction::allow}},
        {"a remote network that is no address",
         {{rule(NETrafficDirection::any, NEFilterAction::filterData, NENetworkRuleProtocol::any,
                NWHostEndpoint{"example.com", "0"}, 24)},
          NEFilterAction::allow}},
    };
    for (const auto& [what, settings] : bad) {
        error.clear();
        EXPECT_FALSE(nftScript(settings, error)) << what;
        EXPECT_FALSE(error.empty()) << what;
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
