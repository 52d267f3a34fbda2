#pragma once
// The content filter of Flowspur: it asks to see every inbound and outbound flow,
// allows every one, and describes each new socket flow as a flow message that it
// hands to IPCConnection.

#include <cstdint>
#include <optional>

#include "FlowMessage.h"
#include "NetworkExtension.h"
#include "ProcessFacts.h"

namespace flowspur {

// The number the next flow will get (0 at process start).
std::int64_t nextFlowNumber();

class FilterDataProvider : public netext::NEFilterDataProvider {
public:
    void startFilter(netext::ErrorCompletion completionHandler) override;
    void stopFilter(netext::NEProviderStopReason reason, std::function<void()> completionHandler) override;
    netext::NEFilterNewFlowVerdict handleNewFlow(const netext::NEFilterFlow& flow) override;

    // Two rules that ask for every inbound and every outbound flow; the default is allow.
    void applyFilterSettings(netext::ErrorCompletion completionHandler);

    // Describes the flow, hands the message to IPCConnection.shared, and allows it.
    netext::NEFilterNewFlowVerdict captureFlow(const netext::NEFilterFlow& flow);

    // The message of a flow (taking the next flow number); nothing for a flow that is
    // skipped.
    static std::optional<NFESMessage> describeFlow(const netext::NEFilterFlow& flow);
};

}  // namespace flowspur
