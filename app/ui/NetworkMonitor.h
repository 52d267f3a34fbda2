#pragma once
// Network monitoring, the network half of the main window. Switching on activates
// the Flowspur system extension that ships inside the application's bundle, makes
// sure its content-filter configuration exists and is enabled, and registers with
// the running extension over XPC; from then on every flow message the extension
// sends becomes an event of the events view. Switching off only disables the
// configuration; the registration stays. The state is one three-valued status,
// shown by the colour of the toolbar button and by the window's progress indicator.
//
// Threads: the status, the outlets and every operation belong to the main queue,
// except shareFlowUsingMessageString and resequenceFlow, which run on an XPC queue.
// Platform completions hop to the main queue before they touch the status.

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include <QIcon>
#include <QPointer>

#include "Bundle.h"
#include "ESLogger.h"
#include "FilterManager.h"
#include "IPCConnection.h"
#include "OSLog.h"
#include "SystemExtensions.h"

class QAction;
class QColor;

namespace qm {

// Ordered: running or above means monitoring is on. Indeterminate while a start or
// a stop is in progress.
enum class NetworkStatus { stopped = 0, indeterminate = 1, running = 2 };

// The content-filter configuration as monitoring uses it (NEFilterManager's shared
// manager in the application; tests replace it). Completions may run on any thread.
class FilterManager {
public:
    virtual ~FilterManager() = default;
    virtual void loadFromPreferences(netext::ErrorCompletion completionHandler) = 0;
    virtual void saveToPreferences(netext::ErrorCompletion completionHandler) = 0;
    virtual bool isEnabled() const = 0;
    virtual void setEnabled(bool enabled) = 0;
    virtual std::optional<netext::NEFilterProviderConfiguration> providerConfiguration() const = 0;
    virtual void setProviderConfiguration(std::optional<netext::NEFilterProviderConfiguration> configuration) = 0;
    virtual void setLocalizedDescription(std::optional<std::string> description) = 0;
    // The configuration-changed notification: block runs on queue after every change.
    virtual std::uint64_t addConfigurationObserver(dispatch::DispatchQueue queue, std::function<void()> block) = 0;
    virtual void removeConfigurationObserver(std::uint64_t token) = 0;
};

// What monitoring needs of the events view.
class FlowEventsView {
public:
    virtual ~FlowEventsView() = default;
    // The current event source, or none. Any thread.
    virtual std::shared_ptr<es::ESLogger> eventSource() const = 0;
    // The add-event path of every event. Called on the main queue.
    virtual void addEvent(es::ESMessage message) = 0;
};

// The platform services monitoring stands on.
struct NetworkPlatform {
    std::shared_ptr<FilterManager> filterManager;
    // Hands an activation request to the system-extension manager.
    std::function<void(std::shared_ptr<sysext::OSSystemExtensionRequest>)> submitRequest;
    std::shared_ptr<flowspur::IPCConnection> connection;
    // The application's bundle: its extensions folder and its "CFBundleName".
    std::filesystem::path mainBundle;

    // The process's own: NEFilterManager's shared manager, the shared system-extension
    // manager, the shared XPC link and the main bundle.
    static NetworkPlatform standard();
};

class ViewController;

// The events view of the main window as monitoring sees it; the view must outlive
// the result or be detached from the monitor first.
std::shared_ptr<FlowEventsView> flowEventsView(ViewController& view);

// The toolbar symbol of network monitoring, drawn in one colour.
QIcon networkSymbolIcon(const QColor& color);

class NetworkMonitor final : public flowspur::AppCommunication,
                             public sysext::OSSystemExtensionRequestDelegate,
                             public std::enable_shared_from_this<NetworkMonitor> {
    struct Tag {};

public:
    using Status = NetworkStatus;

    // Shared: the XPC link exports it and pending platform completions hold it, so it
    // may outlive its window (see detachWindow).
    static std::shared_ptr<NetworkMonitor> create(NetworkPlatform platform = NetworkPlatform::standard());
    NetworkMonitor(Tag, NetworkPlatform platform);

    // Outlets: the toolbar button whose colour shows the status, the window's progress
    // indicator (started and stopped through the function) and the events view.
    void setMonitorNetworkButton(QAction* button) { monitorNetworkButton_ = button; }
    void setActivityIndicator(std::function<void(bool animating)> setAnimating) {
        setActivityAnimating_ = std::move(setAnimating);
    }
    void setEventsView(std::shared_ptr<FlowEventsView> view);

    Status networkStatus() const { return networkStatus_; }

    // The end of window loading: indeterminate, then the saved configuration is loaded
    // and followed.
    void windowDidLoad();
    // The window is closing: stop following configuration changes.
    void removeNetworkObserver();
    // The window is gone: drops the outlets and the events view; later flows are
    // decoded and dropped, later completions change nothing on screen.
    void detachWindow();

    // The toolbar action: stops when running, starts otherwise.
    void toggleNetwork();
    void updateNetworkStatusUI();
    // The first entry of the main bundle's Contents/Library/SystemExtensions, found on
    // first use and kept; a broken bundle stops the process.
    const bundle::Bundle& extensionBundle();
    void loadFilterConfiguration(std::function<void(bool success)> completion);
    void registerWithProvider();
    void providerRegistrationCompleted(bool success);
    void filterConfigurationLoaded(bool success);
    void filterConfigurationDidChange();
    void startNetworkFlow();
    void stopNetworkFlow();
    void enableFilterConfiguration();
    void showSystemExtensionError(const sysext::Error& error);

    // OSSystemExtensionRequestDelegate (on the main queue, the request's queue).
    sysext::OSSystemExtensionReplacementAction actionForReplacingExtension(
        sysext::OSSystemExtensionRequest& request, const sysext::OSSystemExtensionProperties& existing,
        const sysext::OSSystemExtensionProperties& replacement) override;
    void requestNeedsUserApproval(sysext::OSSystemExtensionRequest& request) override;
    void didFinishWithResult(sysext::OSSystemExtensionRequest& request,
                             sysext::OSSystemExtensionRequestResult result) override;
    void didFailWithError(sysext::OSSystemExtensionRequest& request, const sysext::Error& error) override;

    // AppCommunication: one flow message from the extension, on the XPC queue.
    void shareFlowUsingMessageString(std::string message) override;
    // The flow text with every "global_seq_num":<digits>, rewritten to the current
    // event source's last global sequence number; unchanged without a source.
    std::string resequenceFlow(std::string_view text) const;

private:
    void setStatus(Status status);
    void addFlowEvent(es::ESMessage message);
    bool eventSourceIsRunning() const;

    const NetworkPlatform platform_;
    const oslog::Logger log_;
    const dispatch::DispatchQueue mainQueue_ = dispatch::DispatchQueue::main();

    Status networkStatus_ = Status::stopped;
    std::optional<std::uint64_t> networkObserver_;
    std::optional<bundle::Bundle> extensionBundle_;
    bool windowGone_ = false;
    QPointer<QAction> monitorNetworkButton_;
    std::function<void(bool)> setActivityAnimating_;

    // Read on the XPC queue while the main queue replaces it.
    mutable std::mutex eventsViewMutex_;
    std::shared_ptr<FlowEventsView> eventsView_;
};

// text with every match of "global_seq_num":[0-9]+, (no blanks) replaced by
// "global_seq_num":<n>, .
std::string rewriteGlobalSeqNum(std::string_view text, std::int64_t n);

}  // namespace qm
