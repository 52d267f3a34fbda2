#pragma once
// Filter settings on Linux: the nftables table that stands for them (its rules match
// new connections so that connection tracking reports them) and the matching of a new
// connection against the settings' rules.

#include <optional>
#include <string>

#include "NetworkExtension.h"

namespace netext {

inline constexpr std::string_view kNftTable = "inet flowspur";

// The nft script that replaces the table with one for the settings; an error text for
// settings that this host cannot express (a default other than allow, or a rule
// action other than allow or filter data).
std::optional<std::string> nftScript(const NEFilterSettings& settings, std::string& error);
// The nft script that removes the table (a no-op when it is absent).
std::string nftRemovalScript();

// Runs `nft -f -` with the script; an error text on failure.
std::optional<std::string> runNft(const std::string& script);

// The action of the first rule that matches a new connection (protocol: IPPROTO_*;
// local and remote as numeric address texts), else the default action.
NEFilterAction actionFor(const NEFilterSettings& settings, NETrafficDirection direction, int protocol,
                         const std::string& localAddress, const std::string& remoteAddress);

}  // namespace netext
