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
        watch_ = std::make_unique<Watch>(path_, [weak] {
            if (auto self = weak.lock()) self->queue_.async([self] { self->configurationChanged(); });
        });
        configurationChanged();
    });
}

void FilterHost::stop() {
    queue_.sync([&] {
        watch_.reset();
        stopProvider();
    });
}

void FilterHost::configurationChanged() {
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
    if (provider_) {
        log_.info("stopping the filter");
        provider_->stopFilter(NEProviderStopReason::configurationDisabled, [] {});
        provider_.reset();
    }
    conntrack_.stop();
    {
        std::lock_guard lock(settingsMutex_);
        settings_.reset();
    }
    if (tableInstalled_) {
        if (auto error = runNft(nftRemovalScript())) log_.error("%{public}s", *error);
        tableInstalled_ = false;
    }
}

void FilterHost::applySettings(std::optional<NEFilterSettings> settings, ErrorCompletion completion) {
    auto fail = [&](std::string text) { completion(Error{"NEFilterErrorDomain", 2, std::move(text)}); };
    if (!settings) {
        conntrack_.stop();
        if (auto error = runNft(nftRemovalScript())) return fail(*error);
        tableInstalled_ = false;
        std::lock_guard lock(settingsMutex_);
        settings_.reset();
        return completion(std::nullopt);
    }
    std::string error;
    auto script = nftScript(*settings, error);
    if (!script) return fail(error);
    if (auto nftError = runNft(*script)) return fail(*nftError);
    tableInstalled_ = true;
    {
        std::lock_guard lock(settingsMutex_);
        settings_ = std::make_shared<const NEFilterSettings>(std::move(*settings));
    }
    std::weak_ptr<FilterHost> weak = weak_from_this();
    if (auto subscribeError = conntrack_.start([weak](const ConntrackFlow& flow) {
            if (auto self = weak.lock()) self->newConnection(flow);
        })) {
        return fail(*subscribeError);
    }
    completion(std::nullopt);
}

void FilterHost::newConnection(const ConntrackFlow& connection) {
    std::shared_ptr<const NEFilterSettings> settings;
    {
        std::lock_guard lock(settingsMutex_);
        settings = settings_;
    }
    if (!settings) return;
    // The owner is looked up at once, while its socket surely exists.
    auto flow = std::make_shared<NEFilterSocketFlow>(makeFlow(connection));
    NEFilterAction action = actionFor(*settings, flow->direction, connection.protocol,
                                      flow->localEndpoint->hostname, flow->remoteEndpoint->hostname);
    if (action != NEFilterAction::filterData) return;
    auto self = shared_from_this();
    queue_.async([self, flow] {
        if (self->provider_) self->provider_->handleNewFlow(*flow);
    });
}

NEFilterSocketFlow FilterHost::makeFlow(const ConntrackFlow& c) {
    NEFilterSocketFlow flow;
    bool outbound = isLocalAddress(c.sourceAddress);
    flow.direction = outbound ? NETrafficDirection::outbound : NETrafficDirection::inbound;
    NWHostEndpoint source{c.sourceAddress, std::to_string(c.sourcePort)};
    NWHostEndpoint destination{c.destinationAddress, std::to_string(c.destinationPort)};
    flow.localEndpoint = outbound ? source : destination;
    flow.remoteEndpoint = outbound ? destination : source;
    // Flows carry the family numbers of the platform whose messages they imitate,
    // where IPv6 is 30; IPv4 (2), the socket types and protocol numbers are the same.
    constexpr std::int32_t kMessageFamilyINET6 = 30;
    flow.socketFamily = c.family == AF_INET6 ? kMessageFamilyINET6 : c.family;
    flow.socketProtocol = c.protocol;
    flow.socketType = c.protocol == IPPROTO_TCP ? SOCK_STREAM : c.protocol == IPPROTO_UDP ? SOCK_DGRAM : SOCK_RAW;
    flow.identifier = UUID::random();

    SocketAddress local{flow.localEndpoint->hostname, outbound ? c.sourcePort : c.destinationPort};
    SocketAddress remote{flow.remoteEndpoint->hostname, outbound ? c.destinationPort : c.sourcePort};
    if (auto owner = findSocketOwner(c.family, c.protocol, local, remote)) {
        if (auto token = proc::auditTokenForPid(owner->pid)) {
            auto bytes = proc::tokenBytes(*token);
            flow.sourceAppAuditToken = std::vector<std::uint8_t>(bytes.begin(), bytes.end());
            flow.sourceProcessAuditToken = flow.sourceAppAuditToken;
        }
    }
    return flow;
}

// ---- system-extension mode -----------------------------------------------------------

void NEProvider::startSystemExtensionMode(ProviderFactory factory) {
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);

    // Lives until the process ends.
    static std::shared_ptr<FilterHost>* host =
        new std::shared_ptr<FilterHost>(std::make_shared<FilterHost>(std::move(factory), filterConfigurationPath()));
    (*host)->start();

    std::thread([signals] {
        int sig = 0;
        while (sigwait(&signals, &sig) != 0) {
        }
        (*host)->stop();
        std::fflush(stdout);
        std::fflush(stderr);
        ::_exit(0);
    }).detach();
}

}  // namespace netext
