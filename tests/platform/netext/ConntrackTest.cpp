#include "Conntrack.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <linux/netfilter/nfnetlink.h>
#include <linux/netfilter/nfnetlink_conntrack.h>
#include <linux/netlink.h>
#include <netinet/in.h>

#include <cstring>

namespace {

// Builds netlink attributes and messages the way the kernel lays them out.
std::string attribute(int type, std::string_view body, bool nested = false) {
    nlattr a{};
    a.nla_len = std::uint16_t(NLA_HDRLEN + body.size());
    a.nla_type = std::uint16_t(type | (nested ? NLA_F_NESTED : 0));
    std::string out(reinterpret_cast<char*>(&a), sizeof a);
    out += body;
    out.resize(NLA_ALIGN(out.size()), '\0');
    return out;
}

std::string bytes(int family, const char* address) {
    std::uint8_t raw[16];
    inet_pton(family, address, raw);
    return std::string(reinterpret_cast<char*>(raw), family == AF_INET ? 4 : 16);
}

std::string port(std::uint16_t p) {
    std::uint16_t be = htons(p);
    return std::string(reinterpret_cast<char*>(&be), 2);
}

std::string message(int family, std::string attributes, int subsystem = NFNL_SUBSYS_CTNETLINK,
                    int type = IPCTNL_MSG_CT_NEW) {
    nfgenmsg g{};
    g.nfgen_family = std::uint8_t(family);
    std::string body(reinterpret_cast<char*>(&g), sizeof g);
    body.resize(NLMSG_ALIGN(body.size()), '\0');
    body += attributes;
    nlmsghdr h{};
    h.nlmsg_len = std::uint32_t(NLMSG_HDRLEN + body.size());
    h.nlmsg_type = std::uint16_t(subsystem << 8 | type);
    return std::string(reinterpret_cast<char*>(&h), sizeof h) + body;
}

std::string origTuple(int family, const char* src, const char* dst, int proto, std::uint16_t sport,
                      std::uint16_t dport) {
    bool v4 = family == AF_INET;
    std::string ip = attribute(v4 ? CTA_IP_V4_SRC : CTA_IP_V6_SRC, bytes(family, src)) +
                     attribute(v4 ? CTA_IP_V4_DST : CTA_IP_V6_DST, bytes(family, dst));
    std::string protoBody = attribute(CTA_PROTO_NUM, std::string(1, char(proto))) +
                            attribute(CTA_PROTO_SRC_PORT, port(sport)) + attribute(CTA_PROTO_DST_PORT, port(dport));
    return attribute(CTA_TUPLE_ORIG, attribute(CTA_TUPLE_IP, ip, true) + attribute(CTA_TUPLE_PROTO, protoBody, true),
                     true);
}

TEST(Conntrack, ParsesTheOriginalTupleOfNewConnections) {
    // The reply tuple comes too; only the original one counts.
    std::string reply = attribute(CTA_TUPLE_REPLY, "", true);
    auto v4 = netext::parseConntrackMessage(
        message(AF_INET, origTuple(AF_INET, "127.0.0.1", "127.0.0.2", IPPROTO_TCP, 40000, 80) + reply));
    ASSERT_TRUE(v4);
    EXPECT_EQ(v4->family, AF_INET);
    EXPECT_EQ(v4->protocol, IPPROTO_TCP);
    EXPECT_EQ(v4->sourceAddress, "127.0.0.1");
    EXPECT_EQ(v4->destinationAddress, "127.0.0.2");
    EXPECT_EQ(v4->sourcePort, 40000);
    EXPECT_EQ(v4->destinationPort, 80);

    auto v6 = netext::parseConntrackMessage(message(AF_INET6, origTuple(AF_INET6, "::1", "::1", IPPROTO_UDP, 5353, 53)));
    ASSERT_TRUE(v6);
    EXPECT_EQ(v6->sourceAddress, "::1");
    EXPECT_EQ(v6->protocol, IPPROTO_UDP);
    EXPECT_EQ(v6->destinationPort, 53);
}

TEST(Conntrack, RefusesOtherAndMalformedMessages) {
    std::string good = message(AF_INET, origTuple(AF_INET, "127.0.0.1", "127.0.0.1", IPPROTO_UDP, 1, 2));
    std::string noProtocol = message(
        AF_INET, attribute(CTA_TUPLE_ORIG,
                           attribute(CTA_TUPLE_IP,
                                     attribute(CTA_IP_V4_SRC, bytes(AF_INET, "127.0.0.1")) +
                                         attribute(CTA_IP_V4_DST, bytes(AF_INET, "127.0.0.1")),
                                     true),
                           true));
    std::string overlong = good;
    overlong[sizeof(nlmsghdr) + 4] = char(0xFF);  // first attribute claims more bytes than there are
    const std::pair<const char*, std::string> cases[] = {
        {"another subsystem", message(AF_INET, origTuple(AF_INET, "127.0.0.1", "127.0.0.1", 6, 1, 2), NFNL_SUBSYS_QUEUE)},
        {"a deletion", message(AF_INET, origTuple(AF_INET, "127.0.0.1", "127.0.0.1", 6, 1, 2), NFNL_SUBSYS_CTNETLINK,
                               IPCTNL_MSG_CT_DELETE)},
        {"no protocol", noProtocol},
        {"attribute past the end", overlong},
        {"cut short", good.substr(0, good.size() - 8)},
        {"header only", good.substr(0, NLMSG_HDRLEN)},
    };
    for (const auto& [what, m] : cases) EXPECT_FALSE(netext::parseConntrackMessage(m)) << what;
    EXPECT_TRUE(netext::parseConntrackMessage(good));
}

}  // namespace
