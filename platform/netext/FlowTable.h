#pragma once
// The flow table: an nftables table of ours ("inet flowspur") whose two chains queue
// the first packet of every new TCP or UDP connection (connection-tracking state "new";
// other protocols, such as ICMP, pass unqueued) to a netfilter packet queue: outbound ones on the output hook (chain "outbound"), inbound
// ones on the input hook (chain "inbound"; packets from the loopback interface are
// skipped there: they were seen going out). The rules use the xtables NFQUEUE target
// through nftables' compatibility layer, with the bypass flag: while no process listens
// on the queue, packets pass unqueued. Written as nf_tables netlink messages.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace netext {

inline constexpr std::string_view kNftTable = "inet flowspur";
// The queue number of the flow table (per network namespace).
inline constexpr std::uint16_t kFlowQueueNumber = 7291;

// Replaces the flow table (any earlier one goes in the same step); an error text on failure.
std::optional<std::string> installFlowTable(std::uint16_t queue = kFlowQueueNumber);
// Removes it; no error when it is absent.
std::optional<std::string> removeFlowTable();

}  // namespace netext
