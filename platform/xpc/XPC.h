#pragma once
// XPC between processes of one machine, on Unix domain stream sockets.
//
// A service name maps to a socket in the service directory (/run/quillmark when root,
// $XDG_RUNTIME_DIR otherwise; QUILLMARK_XPC_DIR overrides both). A Listener accepts
// connections on it; Connection::withMachServiceName connects to it. Each side may
// export one object that implements a protocol and calls the other side's exported
// object through a remote object proxy. Only peers of the same user or root (or the
// user who started this process through pkexec) are accepted, on both sides.
//
// Limits: a listener keeps at most kMaxConnectionsPerUser connections of one peer user
// open at a time, and each connection buffers at most kMaxBufferedBytes (received frames
// not yet whole, received calls and replies that have not run yet, and sends not yet
// written); a connection that goes past it is disconnected, and only that one. Refused
// peers are logged at most once a minute per peer process: the first refusal at once,
// the number of the others when the minute ends. A service directory that is not a
// directory of this process's user (or root) or that others may write to is refused.
//
// Connection and listener callbacks (delegate, handlers, exported methods, replies)
// run on the connection's or listener's own serial queue. A peer that sends a frame
// that is malformed or does not fit the exported interface is disconnected.

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "Dispatch.h"
#include "RefusalLog.h"
#include "Wire.h"

namespace xpc {

struct Error {
    int code = 0;
    std::string localizedDescription;
};

inline constexpr std::size_t kMaxConnectionsPerUser = 16;
inline constexpr std::size_t kMaxBufferedBytes = 64u << 20;

inline constexpr int kConnectionInterrupted = 4097;
inline constexpr int kConnectionInvalid = 4099;

// One method of a protocol: its selector, the kinds of its arguments, and the kinds of
// its reply block's arguments (nothing for a one-way method).
struct Method {
    std::string selector;
    std::vector<ValueKind> arguments;
    std::optional<std::vector<ValueKind>> reply;
};

using ReplyBlock = std::function<void(std::vector<Value>)>;

// An incoming call, already checked against the exported interface.
struct Invocation {
    const Method* method = nullptr;
    std::vector<Value> arguments;
    ReplyBlock reply;  // set exactly when the method has a reply; sends at most once
};

class Connection;

// What a remote object proxy sends through.
class ProxySender {
public:
    // Sends one call of the remote interface. The reply handler runs on the
    // connection's queue; when the call cannot be delivered or answered, the proxy's
    // error handler runs there instead.
    void call(std::string_view selector, std::vector<Value> arguments, ReplyBlock replyHandler = {}) const;

private:
    friend class Connection;
    std::shared_ptr<Connection> connection_;
    std::shared_ptr<const std::function<void(const Error&)>> errorHandler_;
};

// Specialised next to each protocol P that crosses XPC:
//   static constexpr std::string_view name;                  the protocol's name
//   static std::vector<Method> methods();
//   static void invoke(P& object, Invocation& invocation);   calls the matching method
//   static std::shared_ptr<P> makeProxy(ProxySender sender); implements P by sending
template <class P>
struct ProtocolTraits;

// The methods of one protocol.
class Interface {
public:
    Interface() = default;

    template <class P>
    static Interface withProtocol() {
        return Interface(std::string(ProtocolTraits<P>::name), ProtocolTraits<P>::methods());
    }

    explicit operator bool() const { return d_ != nullptr; }
    std::string_view protocolName() const;
    const Method* method(std::string_view selector) const;

private:
    struct Description {
        std::string name;
        std::vector<Method> methods;
    };
    Interface(std::string name, std::vector<Method> methods);
    std::shared_ptr<const Description> d_;
};

class Connection : public std::enable_shared_from_this<Connection> {
    struct Tag {};

public:
    // A connection to the named service; it connects when resumed.
    static std::shared_ptr<Connection> withMachServiceName(std::string name, std::uint64_t options = 0);

    Connection(Tag, std::string name, bool client, int fd, pid_t pid, uid_t uid);
    ~Connection();
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    const std::string& serviceName() const { return name_; }
    // The peer's process and user (from its socket credentials); -1 until connected.
    pid_t processIdentifier() const;
    uid_t effectiveUserIdentifier() const;

    void setExportedInterface(Interface interface);
    template <class P>
    void setExportedObject(std::shared_ptr<P> object) {
        Exported e;
        e.protocol = std::string(ProtocolTraits<P>::name);
        e.invoke = [](void* o, Invocation& inv) { ProtocolTraits<P>::invoke(*static_cast<P*>(o), inv); };
        e.object = std::move(object);
        setExported(std::move(e));
    }
    void setRemoteObjectInterface(Interface interface);

    // The interruption handler runs when the peer of a connection made with
    // withMachServiceName goes away; the connection reconnects on the next call.
    // The invalidation handler runs once the connection can no longer be used: after
    // invalidate(), a failed connect, a server-side peer that went away, or a peer
    // that broke the protocol. Both run on the connection's queue; after invalidation
    // the connection lets go of its handlers and exported object.
    void setInterruptionHandler(std::function<void()> handler);
    void setInvalidationHandler(std::function<void()> handler);

    void resume();
    void invalidate();

    // A proxy of the remote object; nothing when the remote interface is not P's.
    template <class P>
    std::shared_ptr<P> remoteObjectProxyWithErrorHandler(std::function<void(const Error&)> handler) {
        if (!remoteProtocolIs(ProtocolTraits<P>::name)) return nullptr;
        return ProtocolTraits<P>::makeProxy(makeSender(std::move(handler)));
    }

private:
    friend class ProxySender;
    friend class Listener;

    struct Exported {
        std::string protocol;
        void (*invoke)(void*, Invocation&) = nullptr;
        std::shared_ptr<void> object;
    };
    using ErrorHandler = std::shared_ptr<const std::function<void(const Error&)>>;
    struct PendingReply {
        const Method* method;
        ReplyBlock handler;
        ErrorHandler errorHandler;
    };
    struct PendingSend {
        std::uint64_t endOffset;
        ErrorHandler errorHandler;
    };
    enum class State { suspended, connecting, open, interrupted, invalidated };
    // overBudget: like violation, but its own line was written already.
    enum class End { peerClosed, broken, violation, overBudget, connectFailed, invalidated };

    void setExported(Exported e);
    bool remoteProtocolIs(std::string_view name) const;
    ProxySender makeSender(std::function<void(const Error&)> handler);
    void send(std::string_view selector, std::vector<Value> arguments, ReplyBlock replyHandler,
              const ErrorHandler& errorHandler);
    void sendReply(std::uint64_t replyId, const Method* method, std::vector<Value> arguments);
    void failLater(const ErrorHandler& handler, int code);
    Error makeError(int code) const;

    // Loop thread only.
    void pump();
    void connectNow();
    void attach(int fd);
    void onEvents(std::uint32_t events);
    void readAvailable();
    bool handleFrame(Frame frame, std::size_t size);
    void end(End why);
    // Bring the count of what this connection buffers up to date.
    void accountIn();   // loop thread
    void accountOut();  // mutex_ held
    bool overBudget() const;

    const std::string name_;
    const bool client_;
    dispatch::DispatchQueue queue_;

    mutable std::mutex mutex_;
    State state_ = State::suspended;
    int pendingFd_ = -1;
    pid_t peerPid_ = -1;
    uid_t peerUid_ = uid_t(-1);
    Interface exportedInterface_;
    Exported exported_;
    Interface remoteInterface_;
    std::function<void()> interruptionHandler_;
    std::function<void()> invalidationHandler_;
    std::string out_;
    std::uint64_t queued_ = 0;
    std::uint64_t written_ = 0;
    std::deque<PendingSend> pendingSends_;
    std::map<std::uint64_t, PendingReply> pendingReplies_;
    std::uint64_t nextReplyId_ = 1;
    bool pumpPosted_ = false;
    std::atomic<std::size_t> outBytes_{0};  // out_'s size
    std::shared_ptr<void> listenerSlot_;   // a server connection's place in its peer user's count

    // Loop thread only.
    std::uint64_t ioId_ = 0;
    int fd_ = -1;
    bool wantWrite_ = false;
    std::string in_;
    std::atomic<std::size_t> inBytes_{0};  // in_'s size
    // The bytes of received frames handed to queue_ that have not run yet; shared with
    // the queued work, which gives its bytes back when it has run.
    std::shared_ptr<std::atomic<std::size_t>> queuedBytes_ = std::make_shared<std::atomic<std::size_t>>(0);
};

class Listener;

class ListenerDelegate {
public:
    virtual ~ListenerDelegate() = default;
    // Returns whether to keep the connection; the delegate configures and resumes it.
    // A refused connection is invalidated.
    virtual bool shouldAcceptNewConnection(Listener& listener, const std::shared_ptr<Connection>& connection) = 0;
};

class Listener : public std::enable_shared_from_this<Listener> {
    struct Tag {};

public:
    // refusalInterval: how often refusals of one peer process are logged at most.
    static std::shared_ptr<Listener> withMachServiceName(std::string name,
                                                         RefusalLog::Clock::duration refusalInterval = std::chrono::minutes(1));
    Listener(Tag, std::string name, RefusalLog::Clock::duration refusalInterval);
    ~Listener();

    const std::string& serviceName() const { return name_; }
    // The delegate is held weakly.
    void setDelegate(std::weak_ptr<ListenerDelegate> delegate);

    // Binds the service socket and starts accepting. Returns false (after an error
    // line in the log) when the socket cannot be bound, for example because another
    // process listens on the same service.
    bool resume();
    // Stops accepting and removes the service socket. Accepted connections go on.
    void invalidate();

private:
    void acceptAvailable(int fd);
    // Loop thread only: counts a refused connection, and writes the refusal lines that
    // are due (the timer calls it without a refusal).
    void noteRefused(pid_t pid, uid_t uid, const char* why);
    void writeRefusals(const std::vector<RefusalLog::Line>& lines);
    void refusalTimerFired();
    void armRefusalTimer();

    const std::string name_;
    dispatch::DispatchQueue queue_;
    std::mutex mutex_;
    std::weak_ptr<ListenerDelegate> delegate_;
    std::uint64_t ioId_ = 0;
    bool bound_ = false;
    int lockFd_ = -1;
    std::filesystem::path path_;
    // Open connections per peer user; shared with the connections' slots.
    struct PeerCounts {
        std::mutex mutex;
        std::map<uid_t, std::size_t> open;
    };
    std::shared_ptr<PeerCounts> peers_ = std::make_shared<PeerCounts>();
    // Loop thread only: refused connections not yet logged, and the timer (a timerfd
    // registered with the loop) that writes their count when their minute ends.
    RefusalLog refusals_;
    std::uint64_t timerId_ = 0;
    int timerFd_ = -1;
};

// Ends the XPC layer's work for a process about to end: what was handed to its thread
// runs, every listener writes the refusals it has not written yet, and the thread
// stops. exit() does it by itself; a process that ends with _exit calls it first.
void finish();

// Why dir cannot serve as a service directory (not a directory, a symbolic link, owned
// by a user other than this process's or root, or writable by group or others);
// nothing when it can.
std::optional<std::string> serviceDirectoryProblem(const std::filesystem::path& dir);

// Where this process listens for a service: the service directory of its user.
std::filesystem::path serviceSocketPath(std::string_view name);

// Where this process connects to a service: the override when set, else the system
// directory when a socket is there (a service run by root), else its user's.
std::filesystem::path serviceConnectPath(std::string_view name);

}  // namespace xpc
