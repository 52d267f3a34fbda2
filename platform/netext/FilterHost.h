#pragma once
// Runs a filter data provider inside a system extension's process. It follows the
// filter configuration: while the configuration is enabled, a provider made by the
// factory runs; once it applies its settings, the flow table (FlowQueue.h) holds the
// first packet of every new connection, and each one that a filter-data rule of the
// settings matches is handed to handleNewFlow as an NEFilterSocketFlow, one at a time
// and in the order the packets came; the packet goes on when handleNewFlow returns. When the
// configuration is disabled, or the process is asked to end, the provider is stopped
// and the table removed.

#include <filesystem>
#include <functional>
#include <memory>
#include <optional>

#include "Dispatch.h"
#include "FlowQueue.h"
#include "NetworkExtension.h"
#include "OSLog.h"
#include "SocketOwner.h"

namespace netext {

using ProviderFactory = std::function<std::shared_ptr<NEFilterDataProvider>()>;

class FilterHost : public std::enable_shared_from_this<FilterHost> {
public:
    FilterHost(ProviderFactory factory, std::filesystem::path configurationPath);
    ~FilterHost();

    // Reads the configuration and follows its changes from now on.
    void start();
    // Stops following it, stops a running provider and removes the table; returns
    // when all that is done. A host that has stopped does not start again.
    void stop();

    // The flow that a queued packet stands for (direction, endpoints, owner's audit
    // tokens and what was recorded of the owner). Public for tests.
    static NEFilterSocketFlow makeFlow(const QueuedPacket& packet, FlowOwners& owners);

private:
    class Watch;

    void configurationChanged();   // host queue
    void startProvider();          // host queue
    void stopProvider();           // host queue
    void applySettings(std::optional<NEFilterSettings> settings, ErrorCompletion completion);  // host queue
    FlowQueue::Deliver newFlow(const QueuedPacket& packet);  // a describing thread of the flow queue

    const ProviderFactory factory_;
    const std::filesystem::path path_;
    dispatch::DispatchQueue queue_;
    oslog::Logger log_;

    // Host queue only.
    bool stopped_ = false;  // for good: nothing starts after stop()
    std::shared_ptr<NEFilterDataProvider> provider_;
    std::unique_ptr<Watch> watch_;
    bool tableInstalled_ = false;
    FlowQueue flowQueue_;

    // What the flow queue's thread works with, under flowMutex_.
    std::mutex flowMutex_;
    std::shared_ptr<const NEFilterSettings> settings_;
    std::shared_ptr<NEFilterDataProvider> flowProvider_;

    // Started on the host queue before the flow queue, stopped after it; used on the
    // flow queue's describing threads meanwhile.
    FlowOwners owners_;
};

class NEProvider {
public:
    // Puts the process into system-extension mode: from now on a FilterHost follows
    // the filter configuration at configurationPath with providers made by factory,
    // and SIGTERM, SIGINT or SIGHUP stop the filter (removing its table) and end the
    // process (beforeExit runs once the filter has stopped). Call it from the main
    // thread before any thread that may receive those signals starts.
    static void startSystemExtensionMode(ProviderFactory factory, std::filesystem::path configurationPath,
                                         std::function<void()> beforeExit = {});
    // Blocks those signals in the calling thread and in every thread it starts from now
    // on (startSystemExtensionMode does it too); for a process that starts threads first.
    static void blockStopSignals();
};

}  // namespace netext
