#pragma once
// What the headers of a queued first packet tell of its flow.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace netext {

// The first packet of a new connection, as far as its headers tell.
struct QueuedPacket {
    bool outbound = false;  // queued on the output hook
    int family = 0;         // AF_INET or AF_INET6
    int protocol = 0;       // IPPROTO_*
    std::string sourceAddress, destinationAddress;
    std::uint16_t sourcePort = 0, destinationPort = 0;  // 0 for protocols without ports
};

// Decodes an IP packet's headers (IPv4, or IPv6 with its extension headers); nothing
// when they are cut short or of another version.
std::optional<QueuedPacket> parsePacket(std::string_view packet, bool outbound);

}  // namespace netext
