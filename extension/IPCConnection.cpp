#include "IPCConnection.h"

#include <cstdio>
#include <cstdlib>

#include "TextForms.h"

namespace flowspur {

void fatalError(std::string_view message) {
    std::fprintf(stderr, "Fatal error: %.*s\n", int(message.size()), message.data());
    std::fflush(stderr);
    std::abort();
}

std::shared_ptr<IPCConnection> IPCConnection::shared() {
    // Never destroyed: XPC queues may call it while the process exits.
    static auto* instance = new std::shared_ptr<IPCConnection>(std::make_shared<IPCConnection>());
    return *instance;
}

IPCConnection::IPCConnection()
    : log_(std::string(kExtensionBundleIdentifier), "IPCConnection"),
      outgoing_(
          "flowspur.outgoing", kMaxWaitingFlows, [this](NFESMessage message) { send(std::move(message)); },
          [this](std::uint64_t dropped) {
              log_.error("Dropped %ld flow messages: more than %ld were waiting to be sent to the app",
                         std::int64_t(dropped), std::int64_t(kMaxWaitingFlows));
          }) {}

std::string IPCConnection::machServiceName(const bundle::Bundle& bundle) {
    auto name = bundle.objectForInfoDictionaryKey("NetworkExtension")["NEMachServiceName"].string();
    if (!name) fatalError("Mach service name is missing from the Info.plist");
    return *name;
}

bool IPCConnection::startListener(const bundle::Bundle& bundle) {
    std::string name = machServiceName(bundle);
    log_.info("Starting XPC listener for mach service %{public}s", name);
    auto listener = xpc::Listener::withMachServiceName(name);
    listener->setDelegate(weak_from_this());
    bool listening = listener->resume();
    {
        std::lock_guard lock(mutex_);
        std::swap(listener_, listener);
    }
    // An earlier listener goes here, with no lock held.
    return listening;
}

bool IPCConnection::shouldAcceptNewConnection(xpc::Listener&, const std::shared_ptr<xpc::Connection>& connection) {
    auto self = shared_from_this();
    connection->setExportedInterface(xpc::Interface::withProtocol<ProviderCommunication>());
    connection->setExportedObject<ProviderCommunication>(self);
    connection->setRemoteObjectInterface(xpc::Interface::withProtocol<AppCommunication>());
    // Both handlers clear whichever connection is current when they run.
    connection->setInvalidationHandler([self] {
        self->setCurrentConnection(nullptr);
        self->log_.info("App disconnected.");
    });
    connection->setInterruptionHandler([self] { self->setCurrentConnection(nullptr); });
    setCurrentConnection(connection);
    connection->resume();
    return true;
}

void IPCConnection::register_(std::function<void(bool)> reply) {
    log_.info("App registered");
    reply(true);
}

void IPCConnection::registerWithExtension(const bundle::Bundle& bundle, std::shared_ptr<AppCommunication> delegate,
                                          std::function<void(bool)> completionHandler) {
    bool registered = false;
    {
        std::lock_guard lock(mutex_);
        delegate_ = delegate;
        registered = currentConnection_ != nullptr;
    }
    if (registered) {
        log_.info("Already registered with the provider");
        completionHandler(true);
        return;
    }
    std::string name = machServiceName(bundle);
    auto connection = xpc::Connection::withMachServiceName(name);
    connection->setExportedInterface(xpc::Interface::withProtocol<AppCommunication>());
    if (delegate) connection->setExportedObject<AppCommunication>(delegate);
    connection->setRemoteObjectInterface(xpc::Interface::withProtocol<ProviderCommunication>());
    setCurrentConnection(connection);
    connection->resume();

    auto self = shared_from_this();
    auto provider = connection->remoteObjectProxyWithErrorHandler<ProviderCommunication>(
        [self, completionHandler](const xpc::Error& error) { self->registrationFailed(error, completionHandler); });
    if (!provider) fatalError("Failed to create a remote object proxy for the provider");
    provider->register_(completionHandler);
}

void IPCConnection::registrationFailed(const xpc::Error& error, const std::function<void(bool)>& completionHandler) {
    log_.error("Failed to register with the provider: %{public}s", error.localizedDescription);
    std::shared_ptr<xpc::Connection> connection;
    {
        std::lock_guard lock(mutex_);
        connection = std::move(currentConnection_);
        currentConnection_ = nullptr;
    }
    if (connection) connection->invalidate();
    completionHandler(false);
}

void IPCConnection::shareFlow(NFESMessage message) {
    outgoing_.push(std::move(message));
}

void IPCConnection::finishSharing() { outgoing_.flush(); }

void IPCConnection::send(NFESMessage message) {
    std::shared_ptr<xpc::Connection> connection = currentConnection();
    if (!connection) {
        log_.info("Cannot share new flow because the app isn't registered");
        return;
    }
    std::string text = es::encodeJSON(message);
    if (!es::isValidUTF8(text)) {
        log_.error("Cannot JSONify the flow structure");
        return;
    }
    auto self = shared_from_this();
    auto app = connection->remoteObjectProxyWithErrorHandler<AppCommunication>([self](const xpc::Error& error) {
        self->log_.error("Failed to share flow: %{public}s", error.localizedDescription);
        self->setCurrentConnection(nullptr);
    });
    if (!app) fatalError("Failed to create a remote object proxy for the app");
    app->shareFlowUsingMessageString(std::move(text));
}

std::shared_ptr<xpc::Listener> IPCConnection::listener() const {
    std::lock_guard lock(mutex_);
    return listener_;
}

std::shared_ptr<xpc::Connection> IPCConnection::currentConnection() const {
    std::lock_guard lock(mutex_);
    return currentConnection_;
}

std::shared_ptr<AppCommunication> IPCConnection::delegate() const {
    std::lock_guard lock(mutex_);
    return delegate_.lock();
}

void IPCConnection::setCurrentConnection(std::shared_ptr<xpc::Connection> connection) {
    {
        std::lock_guard lock(mutex_);
        std::swap(currentConnection_, connection);
    }
    // The connection replaced may have had its last reference here: it goes with no lock
    // held, since its end waits for its queue, whose handlers take this lock.
}

}  // namespace flowspur

// ---- the two protocols on the wire ---------------------------------------------------

using flowspur::AppCommunication;
using flowspur::ProviderCommunication;

std::vector<xpc::Method> xpc::ProtocolTraits<ProviderCommunication>::methods() {
    return {{"register:", {}, std::vector{ValueKind::boolean}}};
}

void xpc::ProtocolTraits<ProviderCommunication>::invoke(ProviderCommunication& object, Invocation& invocation) {
    object.register_([reply = invocation.reply](bool ok) { reply({ok}); });
}

std::shared_ptr<ProviderCommunication> xpc::ProtocolTraits<ProviderCommunication>::makeProxy(ProxySender sender) {
    struct Proxy final : ProviderCommunication {
        explicit Proxy(ProxySender s) : sender(std::move(s)) {}
        void register_(std::function<void(bool)> reply) override {
            sender.call("register:", {}, [reply = std::move(reply)](std::vector<Value> v) {
                reply(std::get<bool>(v.at(0)));
            });
        }
        ProxySender sender;
    };
    return std::make_shared<Proxy>(std::move(sender));
}

std::vector<xpc::Method> xpc::ProtocolTraits<AppCommunication>::methods() {
    return {{"shareFlowUsingMessageString:", {ValueKind::string}, std::nullopt}};
}

void xpc::ProtocolTraits<AppCommunication>::invoke(AppCommunication& object, Invocation& invocation) {
    object.shareFlowUsingMessageString(std::get<std::string>(std::move(invocation.arguments.at(0))));
}

std::shared_ptr<AppCommunication> xpc::ProtocolTraits<AppCommunication>::makeProxy(ProxySender sender) {
    struct Proxy final : AppCommunication {
        explicit Proxy(ProxySender s) : sender(std::move(s)) {}
        void shareFlowUsingMessageString(std::string message) override {
            sender.call("shareFlowUsingMessageString:", {std::move(message)});
        }
        ProxySender sender;
    };
    return std::make_shared<Proxy>(std::move(sender));
}
