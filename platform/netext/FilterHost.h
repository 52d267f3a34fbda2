#pragma once
// Runs a filter data provider inside a system extension's process. It follows the
// filter configuration: while the configuration is enabled, a provider made by the
// factory runs; its settings become an nftables table, and every new connection that
// connection tracking reports and that a filter-data rule of the settings matches is
// handed to handleNewFlow as an NEFilterSocketFlow, one at a time on the host's queue.
// When the configuration is disabled, or the process is asked to end, the provider is
// stopped and the table removed.

#include <filesystem>
#include <functional>
#include <memory>
#include <optional>

#include "Conntrack.h"
#include "Dispatch.h"
#include "NetworkExtension.h"
#include "OSLog.h"

namespace netext {

using ProviderFactory = std::function<std::shared_ptr<NEFilterDataProvider>()>;

class FilterHost : public std::enable_shared_from_this<FilterHost> {
public:
    FilterHost(ProviderFactory factory, std::filesystem::path configurationPath);
    ~FilterHost();

    // Reads the configuration and follows its changes from now on.
    void start();
    // Stops following it, stops a running provider and removes the table; returns
    // when all that is done.
    void stop();

    // The flow that a new connection stands for (direction, endpoints, owner's audit
    // tokens). Public for tests.
    static NEFilterSocketFlow makeFlow(const ConntrackFlow& connection);

private:
    class Watch;

    void configurationChanged();   // host queue
    void startProvider();          // host queue
    void stopProvider();           // host queue
    void applySettings(std::optional<NEFilterSettings> settings, ErrorCompletion completion);  // host queue
    void newConnection(const ConntrackFlow& connection);  // conntrack thread

    const ProviderFactory factory_;
    const std::filesystem::path path_;
    dispatch::DispatchQueue queue_;
    oslog::Logger log_;

    // Host queue only.
    std::shared_ptr<NEFilterDataProvider> provider_;
    std::unique_ptr<Watch> watch_;
    bool tableInstalled_ = false;
    ConntrackListener conntrack_;
    std::shared_ptr<const NEFilterSettings> settings_;  // read by the conntrack thread under settingsMutex_
    std::mutex settingsMutex_;
};

class NEProvider {
public:
    // Puts the process into system-extension mode: from now on a FilterHost follows
    // the filter configuration with providers made by factory, and SIGTERM, SIGINT or
    // SIGHUP stop the filter (removing its table) and end the process. Call it from
    // the main thread before any other thread starts.
    static void startSystemExtensionMode(ProviderFactory factory);
};

}  // namespace netext
