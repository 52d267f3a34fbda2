#include "NetworkMonitor.h"

#include <QAction>
#include <QColor>
#include <QPainter>
#include <QPixmap>

#include "AlertPresenter.h"
#include "Symbols.h"
#include "TextForms.h"

namespace qm {

namespace fs = std::filesystem;
using sysext::OSSystemExtensionRequestResult;

// ---- platform ------------------------------------------------------------------------

namespace {

// The FilterManager of the application: one NEFilterManager.
class NEFilterManagerAdapter final : public FilterManager {
public:
    explicit NEFilterManagerAdapter(netext::NEFilterManager& manager) : manager_(manager) {}
    void loadFromPreferences(netext::ErrorCompletion done) override { manager_.loadFromPreferences(std::move(done)); }
    void saveToPreferences(netext::ErrorCompletion done) override { manager_.saveToPreferences(std::move(done)); }
    bool isEnabled() const override { return manager_.isEnabled(); }
    void setEnabled(bool enabled) override { manager_.setEnabled(enabled); }
    std::optional<netext::NEFilterProviderConfiguration> providerConfiguration() const override {
        return manager_.providerConfiguration();
    }
    void setProviderConfiguration(std::optional<netext::NEFilterProviderConfiguration> c) override {
        manager_.setProviderConfiguration(c);
    }
    void setLocalizedDescription(std::optional<std::string> d) override {
        manager_.setLocalizedDescription(std::move(d));
    }
    std::uint64_t addConfigurationObserver(dispatch::DispatchQueue queue, std::function<void()> block) override {
        return manager_.addConfigurationObserver(std::move(queue), std::move(block));
    }
    void removeConfigurationObserver(std::uint64_t token) override { manager_.removeConfigurationObserver(token); }

private:
    netext::NEFilterManager& manager_;
};

}  // namespace

NetworkPlatform NetworkPlatform::standard() {
    NetworkPlatform p;
    p.filterManager = std::make_shared<NEFilterManagerAdapter>(netext::NEFilterManager::shared());
    p.submitRequest = [](std::shared_ptr<sysext::OSSystemExtensionRequest> request) {
        sysext::OSSystemExtensionManager::shared().submitRequest(std::move(request));
    };
    p.connection = flowspur::IPCConnection::shared();
    p.mainBundle = bundle::Bundle::main().bundlePath();
    return p;
}

QIcon networkSymbolIcon(const QColor& color) {
    // A globe: its outline, the equator, two parallels and one meridian, on the
    // 64-point canvas of the other toolbar symbols.
    QPixmap pixmap(64, 64);
    pixmap.fill(Qt::transparent);
    QPainter p(&pixmap);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(QPen(color, 5, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    p.drawEllipse(QPointF(32, 32), 25, 25);
    p.drawEllipse(QPointF(32, 32), 11, 25);
    p.drawLine(7, 32, 57, 32);
    p.drawLine(12, 19, 52, 19);
    p.drawLine(12, 45, 52, 45);
    p.end();
    return QIcon(pixmap);
}

// ---- the monitor ---------------------------------------------------------------------

std::shared_ptr<NetworkMonitor> NetworkMonitor::create(NetworkPlatform platform) {
    return std::make_shared<NetworkMonitor>(Tag{}, std::move(platform));
}

NetworkMonitor::NetworkMonitor(Tag, NetworkPlatform platform)
    : platform_(std::move(platform)), log_("com.quillmark.Vorn", "mwc") {}

void NetworkMonitor::setEventsView(std::shared_ptr<FlowEventsView> view) {
    std::lock_guard lock(eventsViewMutex_);
    eventsView_ = std::move(view);
}

void NetworkMonitor::windowDidLoad() {
    setStatus(Status::indeterminate);
    loadFilterConfiguration([self = shared_from_this()](bool success) { self->filterConfigurationLoaded(success); });
}

void NetworkMonitor::removeNetworkObserver() {
    if (networkObserver_) platform_.filterManager->removeConfigurationObserver(*networkObserver_);
    networkObserver_.reset();
}

void NetworkMonitor::detachWindow() {
    removeNetworkObserver();
    windowGone_ = true;
    monitorNetworkButton_ = nullptr;
    setActivityAnimating_ = nullptr;
    setEventsView(nullptr);
}

void NetworkMonitor::setStatus(Status status) {
    networkStatus_ = status;
    updateNetworkStatusUI();
}

void NetworkMonitor::toggleNetwork() {
    if (networkStatus_ >= Status::running) stopNetworkFlow();
    else startNetworkFlow();
}

bool NetworkMonitor::eventSourceIsRunning() const {
    std::lock_guard lock(eventsViewMutex_);
    if (!eventsView_) return false;
    auto source = eventsView_->eventSource();
    return source && source->isRunning();
}

void NetworkMonitor::updateNetworkStatusUI() {
    auto animate = [this](bool on) {
        if (setActivityAnimating_) setActivityAnimating_(on);
    };
    switch (networkStatus_) {
        case Status::running:
            animate(true);
            setSymbolTint(monitorNetworkButton_, systemBlueColor);
            break;
        case Status::indeterminate:
            setSymbolTint(monitorNetworkButton_, systemGrayColor);
            break;
        case Status::stopped:
            setSymbolTint(monitorNetworkButton_, systemGrayColor);
            // The indicator also shows a running event source; leave it to that one.
            if (!eventSourceIsRunning()) animate(false);
            break;
    }
}

const bundle::Bundle& NetworkMonitor::extensionBundle() {
    if (extensionBundle_) return *extensionBundle_;
    const fs::path directory = platform_.mainBundle / "Contents" / "Library" / "SystemExtensions";
    std::error_code ec;
    std::optional<fs::path> first;
    for (fs::directory_iterator it(directory, ec), end; !ec && it != end; it.increment(ec)) {
        if (it->path().filename().string().starts_with('.')) continue;
        first = it->path();
        break;
    }
    if (ec) {
        flowspur::fatalError("Failed to get the contents of " + bundle::fileURL(directory, fs::is_directory(directory)) +
                             ": " + ec.message());
    }
    if (!first) flowspur::fatalError("Failed to find any system extensions");
    extensionBundle_ = bundle::Bundle::open(*first);
    if (!extensionBundle_) {
        flowspur::fatalError("Failed to create a bundle with URL " + bundle::fileURL(*first, fs::is_directory(*first)));
    }
    return *extensionBundle_;
}

void NetworkMonitor::loadFilterConfiguration(std::function<void(bool success)> completion) {
    platform_.filterManager->loadFromPreferences(
        [self = shared_from_this(), completion = std::move(completion)](std::optional<netext::Error> error) {
            self->mainQueue_.async([self, completion, error] {
                if (error) {
                    self->log_.error("Failed to load the filter configuration: %{public}s",
                                     error->localizedDescription);
                }
                completion(!error);
            });
        });
}

void NetworkMonitor::registerWithProvider() {
    auto self = shared_from_this();
    platform_.connection->registerWithExtension(extensionBundle(), self,
                                                [self](bool success) { self->providerRegistrationCompleted(success); });
}

void NetworkMonitor::providerRegistrationCompleted(bool success) {
    mainQueue_.async([self = shared_from_this(), success] {
        self->setStatus(success ? Status::running : Status::stopped);
    });
}

void NetworkMonitor::filterConfigurationLoaded(bool success) {
    if (windowGone_) return;
    if (!success) {
        setStatus(Status::stopped);
        return;
    }
    if (platform_.filterManager->isEnabled()) registerWithProvider();
    else setStatus(Status::stopped);
    networkObserver_ = platform_.filterManager->addConfigurationObserver(
        mainQueue_, [weak = weak_from_this()] {
            if (auto self = weak.lock()) self->filterConfigurationDidChange();
        });
}

void NetworkMonitor::filterConfigurationDidChange() {
    if (windowGone_) return;
    if (platform_.filterManager->isEnabled()) registerWithProvider();
    else setStatus(Status::stopped);
}

void NetworkMonitor::startNetworkFlow() {
    log_.info("starting network flow");
    setStatus(Status::indeterminate);
    if (platform_.filterManager->isEnabled()) {
        log_.debug("registering with provider to start networkflow");
        registerWithProvider();
        return;
    }
    auto identifier = extensionBundle().bundleIdentifier();
    if (!identifier) {
        log_.error("no extension, setting status to stopped");
        setStatus(Status::stopped);
        return;
    }
    auto request = sysext::OSSystemExtensionRequest::activationRequestForExtension(*identifier, mainQueue_);
    request->setDelegate(weak_from_this());
    log_.debug("sending activation request to extension manager");
    platform_.submitRequest(std::move(request));
}

void NetworkMonitor::stopNetworkFlow() {
    log_.info("stopping network flow");
    setStatus(Status::indeterminate);
    if (!platform_.filterManager->isEnabled()) {
        setStatus(Status::stopped);
        return;
    }
    loadFilterConfiguration([self = shared_from_this()](bool success) {
        if (!success) {
            self->setStatus(Status::running);
            return;
        }
        FilterManager& manager = *self->platform_.filterManager;
        manager.setEnabled(false);
        manager.saveToPreferences([self](std::optional<netext::Error> error) {
            self->mainQueue_.async([self, error] {
                if (error) {
                    self->log_.error("Failed to disable filter configuration: %{public}s", error->localizedDescription);
                    // Nothing was saved: the filter is still on, and the manager says so.
                    self->platform_.filterManager->setEnabled(true);
                }
                self->setStatus(error ? Status::running : Status::stopped);
            });
        });
    });
}

void NetworkMonitor::enableFilterConfiguration() {
    if (platform_.filterManager->isEnabled()) {
        registerWithProvider();
        return;
    }
    loadFilterConfiguration([self = shared_from_this()](bool success) {
        if (!success) {
            self->setStatus(Status::stopped);
            return;
        }
        FilterManager& manager = *self->platform_.filterManager;
        if (!manager.providerConfiguration()) {
            manager.setProviderConfiguration(netext::NEFilterProviderConfiguration{true, false});
            if (auto main = bundle::Bundle::open(self->platform_.mainBundle)) {
                if (auto name = main->objectForInfoDictionaryKey("CFBundleName").string()) {
                    manager.setLocalizedDescription(std::move(name));
                }
            }
        }
        manager.setEnabled(true);
        manager.saveToPreferences([self](std::optional<netext::Error> error) {
            self->mainQueue_.async([self, error] {
                if (!error) {
                    self->registerWithProvider();
                    return;
                }
                self->log_.error("Failed to save the filter configuration: %{public}s", error->localizedDescription);
                // Nothing was saved: the filter is still off, and the manager says so.
                self->platform_.filterManager->setEnabled(false);
                self->setStatus(Status::stopped);
            });
        });
    });
}

void NetworkMonitor::showSystemExtensionError(const sysext::Error& error) {
    Alert alert;
    alert.style = Alert::Style::warning;
    alert.messageText = QStringLiteral("System Extension Error");
    alert.informativeText = QString::fromStdString(error.localizedDescription);
    runAlert(alert);
}

sysext::OSSystemExtensionReplacementAction NetworkMonitor::actionForReplacingExtension(
    sysext::OSSystemExtensionRequest& request, const sysext::OSSystemExtensionProperties& existing,
    const sysext::OSSystemExtensionProperties& replacement) {
    log_.info("Replacing extension %s version %s with version %s", request.identifier(), existing.bundleShortVersion,
              replacement.bundleShortVersion);
    return sysext::OSSystemExtensionReplacementAction::replace;
}

void NetworkMonitor::requestNeedsUserApproval(sysext::OSSystemExtensionRequest& request) {
    log_.info("Extension %s requires user approval", request.identifier());
}

void NetworkMonitor::didFinishWithResult(sysext::OSSystemExtensionRequest&, OSSystemExtensionRequestResult result) {
    if (result == OSSystemExtensionRequestResult::completed) {
        enableFilterConfiguration();
        return;
    }
    log_.error("Unexpected result %ld for system extension request", std::int64_t(result));
    setStatus(Status::stopped);
}

void NetworkMonitor::didFailWithError(sysext::OSSystemExtensionRequest&, const sysext::Error& error) {
    log_.error("System extension request failed: %{public}s", error.localizedDescription);
    setStatus(Status::stopped);
    mainQueue_.async([self = shared_from_this(), error] { self->showSystemExtensionError(error); });
}

// ---- flow intake ---------------------------------------------------------------------

namespace {

std::string describe(const es::DecodeFailure& failure) {
    return std::string(es::kindName(failure.kind)) + " at " + failure.pathText() + " (" + failure.detail +
           "): " + failure.description;
}

}  // namespace

std::string rewriteGlobalSeqNum(std::string_view text, std::int64_t n) {
    // The pattern "global_seq_num":\d+, taken literally: the quoted key, a colon, one
    // or more ASCII digits and a comma, no blanks anywhere.
    static constexpr std::string_view key = "\"global_seq_num\":";
    const std::string replacement = std::string(key) + std::to_string(n) + ",";
    std::string out;
    std::size_t copied = 0;
    for (std::size_t at = text.find(key); at != std::string_view::npos; at = text.find(key, at + 1)) {
        std::size_t end = at + key.size();
        while (end < text.size() && text[end] >= '0' && text[end] <= '9') ++end;
        if (end == at + key.size() || end == text.size() || text[end] != ',') continue;
        out.append(text, copied, at - copied);
        out += replacement;
        copied = end + 1;
        at = end;
    }
    out.append(text, copied);
    return out;
}

std::string NetworkMonitor::resequenceFlow(std::string_view text) const {
    std::shared_ptr<es::ESLogger> source;
    {
        // Held while the view is read, so that the window cannot take it away meanwhile.
        std::lock_guard lock(eventsViewMutex_);
        if (eventsView_) source = eventsView_->eventSource();
    }
    if (!source) return std::string(text);
    return rewriteGlobalSeqNum(text, source->lastGlobalSeqNum());
}

void NetworkMonitor::shareFlowUsingMessageString(std::string message) {
    std::string text = resequenceFlow(message);
    if (!es::isValidUTF8(text)) return;
    auto decoded = es::decodeMessage(text);
    if (!decoded) {
        log_.error("Unable to convert json flow string to flow object");
        log_.debug("%s", message);
        log_.debug("JSON decode error %{public}@", describe(decoded.failure()));
        return;
    }
    if (!decoded->event.get<es::ESEvent_networkflow>()) {
        log_.fault("Expecting only NetworkFlow events, should never get here");
        return;
    }
    auto flow = std::make_shared<es::ESMessage>(std::move(decoded).value());
    mainQueue_.async([self = shared_from_this(), flow] { self->addFlowEvent(std::move(*flow)); });
}

void NetworkMonitor::addFlowEvent(es::ESMessage message) {
    std::shared_ptr<FlowEventsView> view;
    {
        std::lock_guard lock(eventsViewMutex_);
        view = eventsView_;
    }
    if (view) view->addEvent(std::move(message));
}

}  // namespace qm
