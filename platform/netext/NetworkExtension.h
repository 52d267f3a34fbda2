#pragma once
// The content-filter side of network extensions: flows, rules, settings, verdicts and
// the filter data provider base class that a system extension subclasses. The host
// (FilterHost.h) creates the provider, applies its settings as an nftables table and
// hands it each new connection that connection tracking reports.

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "ProcInfo.h"

namespace netext {

struct Error {
    std::string domain;
    int code = 0;
    std::string localizedDescription;
};

struct UUID {
    std::array<std::uint8_t, 16> bytes{};

    // A new random (version 4) identifier.
    static UUID random();
    // Upper-case, hyphenated: 8-4-4-4-12 hexadecimal digits.
    std::string uuidString() const;
};

// A host name or address and a port, both as text.
struct NWHostEndpoint {
    std::string hostname;
    std::string port;
};

enum class NETrafficDirection : std::int64_t { any = 0, inbound = 1, outbound = 2 };

class NEFilterFlow {
public:
    virtual ~NEFilterFlow() = default;

    std::optional<std::string> url;  // absolute text
    // The raw audit tokens of the source application and process.
    std::optional<std::vector<std::uint8_t>> sourceAppAuditToken;
    std::optional<std::vector<std::uint8_t>> sourceProcessAuditToken;
    // What was recorded of the source process when the flow began, for when it is gone
    // by the time the flow is described.
    std::optional<proc::ProcessRecord> sourceProcessRecord;
    NETrafficDirection direction = NETrafficDirection::any;
    UUID identifier;
};

class NEFilterSocketFlow : public NEFilterFlow {
public:
    std::optional<NWHostEndpoint> remoteEndpoint;
    std::optional<NWHostEndpoint> localEndpoint;
    std::optional<std::string> remoteHostname;
    std::int32_t socketProtocol = 0;  // IPPROTO_*
    std::int32_t socketFamily = 0;    // AF_*
    std::int32_t socketType = 0;      // SOCK_*
};

enum class NENetworkRuleProtocol : std::int64_t { any = 0, TCP = 1, UDP = 2 };

struct NENetworkRule {
    std::optional<NWHostEndpoint> remoteNetwork;
    std::uint32_t remotePrefix = 0;
    std::optional<NWHostEndpoint> localNetwork;
    std::uint32_t localPrefix = 0;
    NENetworkRuleProtocol protocol = NENetworkRuleProtocol::any;
    NETrafficDirection direction = NETrafficDirection::any;
};

enum class NEFilterAction : std::int64_t { invalid = 0, allow = 1, drop = 2, remediate = 3, filterData = 4 };

struct NEFilterRule {
    NENetworkRule networkRule;
    NEFilterAction action = NEFilterAction::invalid;
};

struct NEFilterSettings {
    std::vector<NEFilterRule> rules;
    NEFilterAction defaultAction = NEFilterAction::allow;
};

class NEFilterNewFlowVerdict {
public:
    static NEFilterNewFlowVerdict allowVerdict() { return NEFilterNewFlowVerdict(true); }
    bool allows() const { return allow_; }

private:
    explicit NEFilterNewFlowVerdict(bool allow) : allow_(allow) {}
    bool allow_;
};

enum class NEProviderStopReason : std::int64_t { none = 0, userInitiated = 1, providerFailed = 2, configurationDisabled = 9 };

using ErrorCompletion = std::function<void(std::optional<Error>)>;

class NEFilterDataProvider {
public:
    using SettingsApplier = std::function<void(std::optional<NEFilterSettings>, ErrorCompletion)>;

    virtual ~NEFilterDataProvider() = default;

    virtual void startFilter(ErrorCompletion completionHandler) = 0;
    virtual void stopFilter(NEProviderStopReason reason, std::function<void()> completionHandler) = 0;
    virtual NEFilterNewFlowVerdict handleNewFlow(const NEFilterFlow& flow) = 0;

    // Installs the settings (nothing: removes them); the completion receives the
    // outcome on a queue of the host.
    void applySettings(std::optional<NEFilterSettings> settings, ErrorCompletion completionHandler) const;

    // Set by the host that runs the provider (or by a test).
    void setSettingsApplier(SettingsApplier applier) { applier_ = std::move(applier); }

private:
    SettingsApplier applier_;
};

}  // namespace netext
