#include "FilterRules.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <algorithm>

namespace netext {

namespace {

bool isAddress(const std::string& address) {
    std::uint8_t buf[16];
    return inet_pton(AF_INET, address.c_str(), buf) == 1 || inet_pton(AF_INET6, address.c_str(), buf) == 1;
}

bool networkMatches(const std::optional<NWHostEndpoint>& network, std::uint32_t prefix, const std::string& address) {
    if (!network || prefix == 0) return true;
    std::uint8_t net[16] = {}, addr[16] = {};
    int family = AF_INET;
    if (inet_pton(AF_INET, network->hostname.c_str(), net) != 1) {
        family = AF_INET6;
        if (inet_pton(AF_INET6, network->hostname.c_str(), net) != 1) return false;
    }
    if (inet_pton(family, address.c_str(), addr) != 1) return false;
    std::uint32_t bits = std::min<std::uint32_t>(prefix, family == AF_INET ? 32 : 128);
    for (std::uint32_t i = 0; i < bits; ++i) {
        std::uint8_t mask = std::uint8_t(0x80 >> (i % 8));
        if ((net[i / 8] & mask) != (addr[i / 8] & mask)) return false;
    }
    return true;
}

}  // namespace

std::optional<std::string> settingsError(const NEFilterSettings& settings) {
    if (settings.defaultAction != NEFilterAction::allow) return "only allow is supported as the default action";
    for (const NEFilterRule& rule : settings.rules) {
        if (rule.action != NEFilterAction::filterData && rule.action != NEFilterAction::allow) {
            return "only allow and filter-data rules are supported";
        }
        const NENetworkRule& r = rule.networkRule;
        for (const auto& [network, prefix] : {std::pair(&r.remoteNetwork, r.remotePrefix),
                                              std::pair(&r.localNetwork, r.localPrefix)}) {
            if (*network && prefix != 0 && !isAddress((*network)->hostname)) {
                return "not a network address: " + (*network)->hostname;
            }
        }
    }
    return std::nullopt;
}

NEFilterAction actionFor(const NEFilterSettings& settings, NETrafficDirection direction, int protocol,
                         const std::string& localAddress, const std::string& remoteAddress) {
    for (const NEFilterRule& rule : settings.rules) {
        const NENetworkRule& r = rule.networkRule;
        if (r.direction != NETrafficDirection::any && r.direction != direction) continue;
        if (r.protocol == NENetworkRuleProtocol::TCP && protocol != IPPROTO_TCP) continue;
        if (r.protocol == NENetworkRuleProtocol::UDP && protocol != IPPROTO_UDP) continue;
        if (!networkMatches(r.remoteNetwork, r.remotePrefix, remoteAddress)) continue;
        if (!networkMatches(r.localNetwork, r.localPrefix, localAddress)) continue;
        return rule.action;
    }
    return settings.defaultAction;
}

}  // namespace netext
