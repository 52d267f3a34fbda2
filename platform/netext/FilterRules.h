#pragma once
// Filter settings on Linux: which settings the flow table can serve, and the matching
// of a new flow against the settings' rules (done in user space for each queued flow).

#include <optional>
#include <string>

#include "NetworkExtension.h"

namespace netext {

// Why this host cannot serve the settings (a default other than allow, a rule action
// other than allow or filter data, a network that is no address); nothing when it can.
std::optional<std::string> settingsError(const NEFilterSettings& settings);
// The action of the first rule that matches a new connection (protocol: IPPROTO_*;
// local and remote as numeric address texts), else the default action.
NEFilterAction actionFor(const NEFilterSettings& settings, NETrafficDirection direction, int protocol,
                         const std::string& localAddress, const std::string& remoteAddress);

}  // namespace netext
