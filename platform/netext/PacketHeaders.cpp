#include "PacketHeaders.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

namespace netext {

namespace {

std::string addressText(int family, const void* raw) {
    char text[INET6_ADDRSTRLEN] = {};
    ::inet_ntop(family, raw, text, sizeof text);
    return text;
}

std::uint16_t portAt(std::string_view p, std::size_t at) {
    return std::uint16_t((std::uint8_t(p[at]) << 8) | std::uint8_t(p[at + 1]));
}

}  // namespace

std::optional<QueuedPacket> parsePacket(std::string_view p, bool outbound) {
    QueuedPacket q;
    q.outbound = outbound;
    std::size_t transport = 0;
    if (p.size() >= 20 && (std::uint8_t(p[0]) >> 4) == 4) {
        std::size_t headerLength = std::size_t(std::uint8_t(p[0]) & 15) * 4;
        if (headerLength < 20 || p.size() < headerLength) return std::nullopt;
        q.family = AF_INET;
        q.protocol = std::uint8_t(p[9]);
        q.sourceAddress = addressText(AF_INET, p.data() + 12);
        q.destinationAddress = addressText(AF_INET, p.data() + 16);
        // Only the first fragment carries the ports.
        bool laterFragment = ((std::uint8_t(p[6]) & 0x1F) | std::uint8_t(p[7])) != 0;
        transport = laterFragment ? 0 : headerLength;
    } else if (p.size() >= 40 && (std::uint8_t(p[0]) >> 4) == 6) {
        q.family = AF_INET6;
        q.sourceAddress = addressText(AF_INET6, p.data() + 8);
        q.destinationAddress = addressText(AF_INET6, p.data() + 24);
        int next = std::uint8_t(p[6]);
        std::size_t at = 40;
        // Hop-by-hop, routing and destination options come before the transport header.
        while ((next == 0 || next == 43 || next == 60) && p.size() >= at + 8) {
            next = std::uint8_t(p[at]);
            at += (std::size_t(std::uint8_t(p[at + 1])) + 1) * 8;
        }
        q.protocol = next;
        transport = at;
    } else {
        return std::nullopt;
    }
    bool ports = q.protocol == IPPROTO_TCP || q.protocol == IPPROTO_UDP;
    if (ports && transport != 0 && p.size() >= transport + 4) {
        q.sourcePort = portAt(p, transport);
        q.destinationPort = portAt(p, transport + 2);
    }
    return q;
}

}  // namespace netext
