#pragma once
// The one XPC link between Flowspur and Quillmark, the same code in both: the
// extension listens, answers registrations and sends one JSON text per flow; the
// application registers and receives the texts through its AppCommunication object.

#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "Bundle.h"
#include "FlowMessage.h"
#include "OSLog.h"
#include "OutgoingFlows.h"
#include "XPC.h"

namespace flowspur {

// Exported by Flowspur. Selector "register:"; the reply is called once.
class ProviderCommunication {
public:
    virtual ~ProviderCommunication() = default;
    virtual void register_(std::function<void(bool)> reply) = 0;
};

// Exported by Quillmark. Selector "shareFlowUsingMessageString:"; one-way.
class AppCommunication {
public:
    virtual ~AppCommunication() = default;
    virtual void shareFlowUsingMessageString(std::string message) = 0;
};

// Stops the process with the message, as an unrecoverable packaging or
// programming error.
[[noreturn]] void fatalError(std::string_view message);

class IPCConnection : public ProviderCommunication,
                      public xpc::ListenerDelegate,
                      public std::enable_shared_from_this<IPCConnection> {
public:
    // The one instance of the process, created on first use; it lives until the
    // process ends.
    static std::shared_ptr<IPCConnection> shared();

    // The text of "NEMachServiceName" in the bundle's Info.plist dictionary
    // "NetworkExtension"; stops the process when it is missing.
    static std::string machServiceName(const bundle::Bundle& bundle);

    IPCConnection();
    virtual ~IPCConnection() = default;

    // Extension side: listens on the Mach service of the bundle (the main bundle).
    // Returns whether it listens: false when the service's socket cannot be had, for
    // example because another process listens on it.
    virtual bool startListener(const bundle::Bundle& bundle = bundle::Bundle::main());

    // Application side: connects to the extension of the bundle, exports delegate,
    // and calls register: on the extension. The completion receives the answer on an
    // XPC queue (true at once, on the calling thread, when already registered).
    virtual void registerWithExtension(const bundle::Bundle& bundle, std::shared_ptr<AppCommunication> delegate,
                                       std::function<void(bool)> completionHandler);

    // Extension side: queues the message for the connected application and returns at
    // once; a queue of its own sends it, or drops it when no application is connected.
    // When kMaxWaitingFlows wait already, the oldest of them is dropped: enough for a
    // burst of new flows, which are described faster than they are encoded and sent.
    virtual void shareFlow(NFESMessage message);
    static constexpr std::size_t kMaxWaitingFlows = 32768;
    // Extension side: waits until every message shared so far has been handed to the
    // connection (or dropped), for a process about to end.
    void finishSharing();

    bool shouldAcceptNewConnection(xpc::Listener& listener, const std::shared_ptr<xpc::Connection>& connection) override;
    void register_(std::function<void(bool)> reply) override;

    std::shared_ptr<xpc::Listener> listener() const;
    std::shared_ptr<xpc::Connection> currentConnection() const;
    std::shared_ptr<AppCommunication> delegate() const;
    const oslog::Logger& log() const { return log_; }

private:
    void setCurrentConnection(std::shared_ptr<xpc::Connection> connection);
    void registrationFailed(const xpc::Error& error, const std::function<void(bool)>& completionHandler);
    void send(NFESMessage message);  // on the outgoing queue

    // Guards the three links; nothing is destroyed or called while it is held.
    mutable std::mutex mutex_;
    std::shared_ptr<xpc::Listener> listener_;
    std::shared_ptr<xpc::Connection> currentConnection_;
    std::weak_ptr<AppCommunication> delegate_;
    oslog::Logger log_;
    // Last: it goes first, waiting for a send under way, which uses the rest.
    OutgoingFlows outgoing_;
};

}  // namespace flowspur

template <>
struct xpc::ProtocolTraits<flowspur::ProviderCommunication> {
    static constexpr std::string_view name = "ProviderCommunication";
    static std::vector<Method> methods();
    static void invoke(flowspur::ProviderCommunication& object, Invocation& invocation);
    static std::shared_ptr<flowspur::ProviderCommunication> makeProxy(ProxySender sender);
};

template <>
struct xpc::ProtocolTraits<flowspur::AppCommunication> {
    static constexpr std::string_view name = "AppCommunication";
    static std::vector<Method> methods();
    static void invoke(flowspur::AppCommunication& object, Invocation& invocation);
    static std::shared_ptr<flowspur::AppCommunication> makeProxy(ProxySender sender);
};
