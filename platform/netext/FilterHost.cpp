#include "FilterHost.h"

#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>

#include "AuditToken.h"
#include "FilterManager.h"
#include "FilterRules.h"
#include "SocketOwner.h"

namespace netext {

namespace fs = std::filesystem;

class FilterHost::Watch {
public:
    Watch(const fs::path& path, std::function<void()> changed) : watcher(path, std::move(changed)) {}
    FileWatcher watcher;
};

FilterHost::FilterHost(ProviderFactory factory, fs::path configurationPath)
    : factory_(std::move(factory)),
      path_(std::move(configurationPath)),
      queue_("flowspur.filter"),
      log_("com.quillmark.netext", "FilterHost") {}

FilterHost::~FilterHost() = default;

void FilterHost::start() {
    std::weak_ptr<FilterHost> weak = weak_from_this();
    queue_.sync([&] {
        if (stopped_) return;
        watch_ = std::make_unique<Watch>(path_, [weak] {
            if (auto self = weak.lock()) self->queue_.async([self] { self->configurationChanged(); });
        });
        configurationChanged();
    });
}

void FilterHost::stop() {
    queue_.sync([&] {
        stopped_ = true;
        watch_.reset();
        stopProvider();
    });
}

void FilterHost::configurationChanged() {
    if (stopped_) return;
    std::string error;
    auto c = FilterConfiguration::read(path_, error);
    if (!c) {
        log_.error("%{public}s", error);
        return;
    }
    bool wanted = c->enabled && c->providerConfiguration && c->providerConfiguration->filterSockets;
    if (wanted && !provider_) startProvider();
    else if (!wanted && provider_) stopProvider();
}

void FilterHost::startProvider() {
    log_.info("starting the filter");
    provider_ = factory_();
    std::weak_ptr<FilterHost> weak = weak_from_this();
    provider_->setSettingsApplier([weak](std::optional<NEFilterSettings> settings, ErrorCompletion completion) {
        auto self = weak.lock();
        if (!self) {
            completion(Error{"NEFilterErrorDomain", 1, "The filter host is gone."});
            return;
        }
        // Settings may be applied from any queue; the host's queue does the work.
        self->queue_.async([self, settings = std::move(settings), completion = std::move(completion)]() mutable {
            self->applySettings(std::move(settings), std::move(completion));
        });
    });
    provider_->startFilter([this](std::optional<Error> error) {
        if (error) log_.error("the filter did not start: %{public}s", error->localizedDescription);
    });
}

void FilterHost::stopProvider() {
    if (provider_) log_.info("stopping the filter");
    // The table goes first, so that the queue's last packets are let through as it stops;
    // the provider keeps getting flows until then, so that each flow the queue took is
    // either handed on or counted.
    if (tableInstalled_) {
        if (auto error = removeFlowTable()) log_.error("%{public}s", *error);
        tableInstalled_ = false;
    }
    flowQueue_.stop();
    {
        std::lock_guard lock(flowMutex_);
        settings_.reset();
        flowProvider_.reset();
    }
    owners_.stop();
    if (provider_) {
        provider_->stopFilter(NEProviderStopReason::configurationDisabled, [] {});
        provider_.reset();
    }
}

void FilterHost::applySettings(std::optional<NEFilterSettings> settings, ErrorCompletion completion) {
    auto fail = [&](std::string text) { completion(Error{"NEFilterErrorDomain", 2, std::move(text)}); };
    if (stopped_) return fail("The filter host has stopped.");
    if (!settings) {
        if (auto error = removeFlowTable()) return fail(*error);
        tableInstalled_ = false;
        flowQueue_.stop();
        {
            std::lock_guard lock(flowMutex_);
            settings_.reset();
        }
        owners_.stop();
        return completion(std::nullopt);
    }
    if (auto error = settingsError(*settings)) return fail(*error);
    {
        std::lock_guard lock(flowMutex_);
        settings_ = std::make_shared<const NEFilterSettings>(std::move(*settings));
        flowProvider_ = provider_;
    }
    // Owners are recorded from before the first flow is queued.
    if (!flowQueue_.running()) {
        if (auto why = owners_.start()) {
            log_.error("the kernel does not record the owners of flows, so they are looked up in /proc: %{public}s",
                       *why);
        }
    }
    // The queue listens before the table sends it anything.
    std::weak_ptr<FilterHost> weak = weak_from_this();
    if (auto error = flowQueue_.start([weak](const QueuedPacket& packet) -> FlowQueue::Deliver {
            if (auto self = weak.lock()) return self->newFlow(packet);
            return {};
        })) {
        return fail(*error);
    }
    if (auto error = installFlowTable()) {
        flowQueue_.stop();
        return fail(*error);
    }
    tableInstalled_ = true;
    completion(std::nullopt);
}

FlowQueue::Deliver FilterHost::newFlow(const QueuedPacket& packet) {
    std::shared_ptr<const NEFilterSettings> settings;
    std::shared_ptr<NEFilterDataProvider> provider;
    {
        std::lock_guard lock(flowMutex_);
        settings = settings_;
        provider = flowProvider_;
    }
    if (!settings || !provider) return {};
    NETrafficDirection direction = packet.outbound ? NETrafficDirection::outbound : NETrafficDirection::inbound;
    const std::string& local = packet.outbound ? packet.sourceAddress : packet.destinationAddress;
    const std::string& remote = packet.outbound ? packet.destinationAddress : packet.sourceAddress;
    if (actionFor(*settings, direction, packet.protocol, local, remote) != NEFilterAction::filterData) return {};
    // The packet waits in the queue meanwhile: its socket, and its owner, are still there.
    // Owners are found on several threads at once; handleNewFlow sees the flows one at a
    // time, in the order they came.
    return [provider = std::move(provider), flow = makeFlow(packet, owners_)] { provider->handleNewFlow(flow); };
}

NEFilterSocketFlow FilterHost::makeFlow(const QueuedPacket& p, FlowOwners& owners) {
    NEFilterSocketFlow flow;
    flow.direction = p.outbound ? NETrafficDirection::outbound : NETrafficDirection::inbound;
    NWHostEndpoint source{p.sourceAddress, std::to_string(p.sourcePort)};
    NWHostEndpoint destination{p.destinationAddress, std::to_string(p.destinationPort)};
    flow.localEndpoint = p.outbound ? source : destination;
    flow.remoteEndpoint = p.outbound ? destination : source;
    flow.socketProtocol = p.protocol;
    flow.socketType = p.protocol == IPPROTO_TCP ? SOCK_STREAM : p.protocol == IPPROTO_UDP ? SOCK_DGRAM : SOCK_RAW;
    flow.identifier = UUID::random();

    // The socket's own family when its owner tells it: an IPv6 socket that talks to an
    // IPv4-mapped address sends IPv4 packets.
    int family = p.family;
    if (auto owner = owners.ownerOf(p)) {
        if (owner->family != 0) family = owner->family;
        auto bytes = proc::tokenBytes(owner->token);
        flow.sourceAppAuditToken = std::vector<std::uint8_t>(bytes.begin(), bytes.end());
        flow.sourceProcessAuditToken = flow.sourceAppAuditToken;
        // Found through its socket: the process's facts are read here, once, so that
        // describing the flow reads nothing more.
        if (!owner->record) {
            pid_t pid = proc::audit_token_to_pid(owner->token);
            if (auto info = proc::proc_pidbsdinfo(pid)) owner->record = proc::ProcessRecord{*info, proc::proc_pidpath(pid)};
        }
        flow.sourceProcessRecord = std::move(owner->record);
    }
    // Flows carry the family numbers of the platform whose messages they imitate,
    // where IPv6 is 30; IPv4 (2), the socket types and protocol numbers are the same.
    constexpr std::int32_t kMessageFamilyINET6 = 30;
    flow.socketFamily = family == AF_INET6 ? kMessageFamilyINET6 : family;
    return flow;
}

// ---- system-extension mode -----------------------------------------------------------

namespace {

sigset_t stopSignals() {
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGHUP);
    return signals;
}

}  // namespace

void NEProvider::blockStopSignals() {
    sigset_t signals = stopSignals();
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
}

void NEProvider::startSystemExtensionMode(ProviderFactory factory, fs::path configurationPath,
                                          std::function<void()> beforeExit) {
    blockStopSignals();
    sigset_t signals = stopSignals();

    // Lives until the process ends.
    static std::shared_ptr<FilterHost>* host =
        new std::shared_ptr<FilterHost>(std::make_shared<FilterHost>(std::move(factory), std::move(configurationPath)));

    // The signals are heard before the filter starts, so that a stop at any moment of
    // the start ends the process: whatever start has done then is undone, and what it
    // has not done yet is not done.
    std::thread([signals, beforeExit = std::move(beforeExit)] {
        int sig = 0;
        while (sigwait(&signals, &sig) != 0) {
        }
        (*host)->stop();
        if (beforeExit) beforeExit();
        std::fflush(stdout);
        std::fflush(stderr);
        ::_exit(0);
    }).detach();
    (*host)->start();
}

}  // namespace netext
