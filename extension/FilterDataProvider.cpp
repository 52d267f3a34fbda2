#include "FilterDataProvider.h"

#include <atomic>

#include "IPCConnection.h"

namespace flowspur {

namespace {
std::atomic<std::int64_t> flowCounter{0};
}

std::int64_t nextFlowNumber() { return flowCounter.load(); }

void FilterDataProvider::startFilter(netext::ErrorCompletion completionHandler) {
    applyFilterSettings(std::move(completionHandler));
}

void FilterDataProvider::stopFilter(netext::NEProviderStopReason, std::function<void()> completionHandler) {
    completionHandler();
}

netext::NEFilterNewFlowVerdict FilterDataProvider::handleNewFlow(const netext::NEFilterFlow& flow) {
    return captureFlow(flow);
}

void FilterDataProvider::applyFilterSettings(netext::ErrorCompletion completionHandler) {
    auto everyFlow = [](netext::NETrafficDirection direction) {
        netext::NENetworkRule rule{std::nullopt, 0, std::nullopt, 0, netext::NENetworkRuleProtocol::any, direction};
        return netext::NEFilterRule{rule, netext::NEFilterAction::filterData};
    };
    netext::NEFilterSettings settings{
        {everyFlow(netext::NETrafficDirection::inbound), everyFlow(netext::NETrafficDirection::outbound)},
        netext::NEFilterAction::allow};
    applySettings(settings, [completionHandler = std::move(completionHandler)](std::optional<netext::Error> error) {
        if (error) providerLog().error("Failed to apply filter settings: %{public}s", error->localizedDescription);
        completionHandler(std::move(error));
    });
}

netext::NEFilterNewFlowVerdict FilterDataProvider::captureFlow(const netext::NEFilterFlow& flow) {
    if (auto message = describeFlow(flow)) IPCConnection::shared()->shareFlow(std::move(*message));
    return netext::NEFilterNewFlowVerdict::allowVerdict();
}

std::optional<NFESMessage> FilterDataProvider::describeFlow(const netext::NEFilterFlow& flow) {
    const std::int64_t seq = flowCounter.fetch_add(1);
    const oslog::Logger& log = providerLog();

    const auto* socketFlow = dynamic_cast<const netext::NEFilterSocketFlow*>(&flow);
    if (!socketFlow) {
        log.error("Socket input parameter error, skipping flow: %{public}s", flow.url.value_or("<unknown>"));
        return std::nullopt;
    }
    const auto& remote = socketFlow->remoteEndpoint;
    const auto& local = socketFlow->localEndpoint;

    auto appToken = auditToken(flow.sourceAppAuditToken);
    if (!appToken) {
        log.error("Unable to extract AuditToken (app) from flow skipping flow");
        return std::nullopt;
    }
    auto procToken = auditToken(flow.sourceProcessAuditToken);
    if (!procToken) {
        log.error("Unable to extract AuditToken (process) from flow skipping flow");
        return std::nullopt;
    }

    NFESProcess appProcess = makeProcess(*appToken, flow.sourceProcessRecord);
    bool sameTokens = *flow.sourceAppAuditToken == *flow.sourceProcessAuditToken;

    NFESEvent_networkflow event;
    event.instigator = sameTokens ? appProcess : makeProcess(*procToken, flow.sourceProcessRecord);
    event.remote_hostname = socketFlow->remoteHostname;
    if (remote) {
        event.remote_address = remote->hostname;
        event.remote_port = remote->port;
    }
    if (local) {
        event.local_address = local->hostname;
        event.local_port = local->port;
    }
    event.flow_protocol = socketFlow->socketProtocol;
    event.flow_family = socketFlow->socketFamily;
    event.flow_type = socketFlow->socketType;
    event.direction = flow.direction == netext::NETrafficDirection::outbound ? "outbound" : "inbound";
    event.url = flow.url;
    event.uuid = flow.identifier.uuidString();

    NFESMessage message;
    message.time = flowDateFormatter().format(qm::Instant::now());
    message.seq_num = seq;
    message.global_seq_num = seq;
    message.event.networkflow = std::move(event);
    message.process = std::move(appProcess);
    return message;
}

}  // namespace flowspur
