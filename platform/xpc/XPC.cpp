#include "XPC.h"

#include <sys/epoll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/timerfd.h>
#include <sys/un.h>
#include <unistd.h>

#include <fcntl.h>
#include <sys/file.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <set>
#include <utility>

#include "IOLoop.h"
#include "OSLog.h"

namespace xpc {

namespace fs = std::filesystem;

namespace {

const oslog::Logger& xpcLog() {
    // Never destroyed: the loop thread writes with it until it stops at exit.
    static const auto* log = new oslog::Logger("com.quillmark.xpc", "XPC");
    return *log;
}

bool peerAllowed(uid_t uid) {
    if (uid == 0 || uid == ::geteuid()) return true;
    // A process started through pkexec also serves the user who started it.
    if (const char* invoker = std::getenv("PKEXEC_UID")) {
        char* end = nullptr;
        unsigned long v = std::strtoul(invoker, &end, 10);
        if (end != invoker && *end == '\0' && uid == uid_t(v)) return true;
    }
    return false;
}

bool peerCredentials(int fd, pid_t& pid, uid_t& uid) {
    ucred cred{};
    socklen_t len = sizeof cred;
    if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &len) != 0) return false;
    pid = cred.pid;
    uid = cred.uid;
    return true;
}

bool makeAddress(const fs::path& path, sockaddr_un& addr) {
    std::string p = path.string();
    if (p.size() >= sizeof addr.sun_path) return false;
    std::memset(&addr, 0, sizeof addr);
    addr.sun_family = AF_UNIX;
    std::memcpy(addr.sun_path, p.c_str(), p.size() + 1);
    return true;
}

void logOverBudget(pid_t peer, const std::string& name) {
    xpcLog().error("the connection to peer %d of %{public}s buffers more than %ld bytes; disconnecting it", peer, name,
                   std::int64_t(kMaxBufferedBytes));
}

bool kindsMatch(const std::vector<Value>& values, const std::vector<ValueKind>& kinds) {
    if (values.size() != kinds.size()) return false;
    for (std::size_t i = 0; i < kinds.size(); ++i) {
        if (kindOf(values[i]) != kinds[i]) return false;
    }
    return true;
}

}  // namespace

std::optional<std::string> serviceDirectoryProblem(const fs::path& dir) {
    struct stat st {};
    if (::lstat(dir.c_str(), &st) != 0) return dir.string() + ": " + std::strerror(errno);
    if (!S_ISDIR(st.st_mode)) return dir.string() + " is not a directory";
    if (st.st_uid != ::geteuid() && st.st_uid != 0) {
        return dir.string() + " belongs to user " + std::to_string(st.st_uid) + ", not to this process's user";
    }
    if (st.st_mode & (S_IWGRP | S_IWOTH)) return dir.string() + " may be written by other users";
    return std::nullopt;
}

fs::path serviceSocketPath(std::string_view name) {
    fs::path dir;
    if (const char* over = std::getenv("QUILLMARK_XPC_DIR"); over && *over) dir = over;
    else if (::geteuid() == 0) dir = "/run/quillmark";
    else if (const char* runtime = std::getenv("XDG_RUNTIME_DIR"); runtime && *runtime) dir = runtime;
    else dir = "/tmp/quillmark-" + std::to_string(::geteuid());
    return dir / (std::string(name) + ".sock");
}

fs::path serviceConnectPath(std::string_view name) {
    if (const char* over = std::getenv("QUILLMARK_XPC_DIR"); over && *over) return serviceSocketPath(name);
    fs::path system = fs::path("/run/quillmark") / (std::string(name) + ".sock");
    std::error_code ec;
    if (fs::exists(fs::symlink_status(system, ec))) return system;
    return serviceSocketPath(name);
}

// ---- Interface -----------------------------------------------------------------------

Interface::Interface(std::string name, std::vector<Method> methods)
    : d_(std::make_shared<const Description>(Description{std::move(name), std::move(methods)})) {}

std::string_view Interface::protocolName() const { return d_ ? std::string_view(d_->name) : std::string_view(); }

const Method* Interface::method(std::string_view selector) const {
    if (!d_) return nullptr;
    for (const Method& m : d_->methods) {
        if (m.selector == selector) return &m;
    }
    return nullptr;
}

// ---- ProxySender ---------------------------------------------------------------------

void ProxySender::call(std::string_view selector, std::vector<Value> arguments, ReplyBlock replyHandler) const {
    connection_->send(selector, std::move(arguments), std::move(replyHandler), errorHandler_);
}

// ---- Connection ----------------------------------------------------------------------

std::shared_ptr<Connection> Connection::withMachServiceName(std::string name, std::uint64_t) {
    return std::make_shared<Connection>(Tag{}, std::move(name), true, -1, -1, uid_t(-1));
}

Connection::Connection(Tag, std::string name, bool client, int fd, pid_t pid, uid_t uid)
    : name_(std::move(name)),
      client_(client),
      queue_("xpc." + name_),
      pendingFd_(fd),
      peerPid_(pid),
      peerUid_(uid) {}

Connection::~Connection() {
    // Only a server connection that was never resumed still owns its socket here.
    if (pendingFd_ >= 0) ::close(pendingFd_);
    // A connection may go on any thread, also one holding a lock that its handlers take.
    dispatch::releaseWithoutWaiting(queue_);
}

void Connection::accountIn() { inBytes_ = in_.size(); }

void Connection::accountOut() { outBytes_ = out_.size(); }

bool Connection::overBudget() const { return inBytes_ + outBytes_ + *queuedBytes_ > kMaxBufferedBytes; }

pid_t Connection::processIdentifier() const {
    std::lock_guard lock(mutex_);
    return peerPid_;
}

uid_t Connection::effectiveUserIdentifier() const {
    std::lock_guard lock(mutex_);
    return peerUid_;
}

void Connection::setExportedInterface(Interface interface) {
    std::lock_guard lock(mutex_);
    exportedInterface_ = std::move(interface);
}

void Connection::setExported(Exported e) {
    std::lock_guard lock(mutex_);
    exported_ = std::move(e);
}

void Connection::setRemoteObjectInterface(Interface interface) {
    std::lock_guard lock(mutex_);
    remoteInterface_ = std::move(interface);
}

void Connection::setInterruptionHandler(std::function<void()> handler) {
    std::lock_guard lock(mutex_);
    interruptionHandler_ = std::move(handler);
}

void Connection::setInvalidationHandler(std::function<void()> handler) {
    std::lock_guard lock(mutex_);
    invalidationHandler_ = std::move(handler);
}

bool Connection::remoteProtocolIs(std::string_view name) const {
    std::lock_guard lock(mutex_);
    return remoteInterface_ && remoteInterface_.protocolName() == name;
}

ProxySender Connection::makeSender(std::function<void(const Error&)> handler) {
    ProxySender s;
    s.connection_ = shared_from_this();
    s.errorHandler_ = std::make_shared<const std::function<void(const Error&)>>(std::move(handler));
    return s;
}

Error Connection::makeError(int code) const {
    std::string what = code == kConnectionInterrupted ? "interrupted" : "invalidated";
    return {code, "The connection to service named " + name_ + " was " + what + "."};
}

void Connection::failLater(const ErrorHandler& handler, int code) {
    if (!handler || !*handler) return;
    queue_.async([handler, error = makeError(code)] { (*handler)(error); });
}

void Connection::resume() {
    {
        std::lock_guard lock(mutex_);
        if (state_ != State::suspended) return;
        state_ = client_ ? State::connecting : State::open;
    }
    auto self = shared_from_this();
    IOLoop::shared().post([self] {
        if (!self->client_) {
            int fd = -1;
            {
                std::lock_guard lock(self->mutex_);
                fd = std::exchange(self->pendingFd_, -1);
            }
            if (fd >= 0) self->attach(fd);
        }
        self->pump();
    });
}

void Connection::invalidate() {
    auto self = shared_from_this();
    IOLoop::shared().post([self] { self->end(End::invalidated); });
}

void Connection::send(std::string_view selector, std::vector<Value> arguments, ReplyBlock replyHandler,
                      const ErrorHandler& errorHandler) {
    std::unique_lock lock(mutex_);
    const Method* method = remoteInterface_.method(selector);
    if (!method || !kindsMatch(arguments, method->arguments) || method->reply.has_value() != bool(replyHandler)) {
        lock.unlock();
        xpcLog().fault("%{public}s does not fit the remote interface of %{public}s", std::string(selector), name_);
        return;
    }
    if (state_ == State::invalidated) {
        lock.unlock();
        failLater(errorHandler, kConnectionInvalid);
        return;
    }
    Frame frame;
    frame.kind = Frame::Kind::call;
    frame.selector = std::string(selector);
    frame.arguments = std::move(arguments);
    if (replyHandler) {
        frame.replyId = nextReplyId_++;
        pendingReplies_.emplace(frame.replyId, PendingReply{method, std::move(replyHandler), errorHandler});
    }
    std::string bytes = encodeFrame(frame);
    queued_ += bytes.size();
    out_ += bytes;
    accountOut();
    if (!frame.replyId) pendingSends_.push_back({queued_, errorHandler});
    bool reconnect = state_ == State::interrupted;
    if (reconnect) state_ = State::connecting;
    bool post = !pumpPosted_ && state_ != State::suspended;
    if (post) pumpPosted_ = true;
    lock.unlock();
    if (post) {
        auto self = shared_from_this();
        IOLoop::shared().post([self] { self->pump(); });
    }
}

void Connection::sendReply(std::uint64_t replyId, const Method* method, std::vector<Value> arguments) {
    if (!kindsMatch(arguments, *method->reply)) {
        xpcLog().fault("reply to %{public}s does not fit its interface", method->selector);
        return;
    }
    std::unique_lock lock(mutex_);
    if (state_ != State::open) return;
    Frame frame{Frame::Kind::reply, replyId, {}, std::move(arguments)};
    std::string bytes = encodeFrame(frame);
    queued_ += bytes.size();
    out_ += bytes;
    accountOut();
    bool post = !pumpPosted_;
    pumpPosted_ = true;
    lock.unlock();
    if (post) {
        auto self = shared_from_this();
        IOLoop::shared().post([self] { self->pump(); });
    }
}

void Connection::pump() {
    std::unique_lock lock(mutex_);
    pumpPosted_ = false;
    if (state_ == State::connecting && ioId_ == 0) {
        lock.unlock();
        connectNow();
        return;
    }
    if (state_ != State::open || ioId_ == 0) return;
    if (overBudget()) {
        pid_t peer = peerPid_;
        lock.unlock();
        logOverBudget(peer, name_);
        end(End::broken);
        return;
    }
    // The socket is only ever written here, on the loop thread; the lock keeps out_
    // whole while senders append to it.
    std::size_t done = 0;
    bool failed = false;
    while (done < out_.size()) {
        ssize_t n = ::send(fd_, out_.data() + done, out_.size() - done,
                           MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            done += std::size_t(n);
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else {
            failed = !(n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK));
            break;
        }
    }
    out_.erase(0, done);
    if (out_.empty() && out_.capacity() > kMaxFrameBody / 16) std::string().swap(out_);
    accountOut();
    written_ += done;
    while (!pendingSends_.empty() && pendingSends_.front().endOffset <= written_) pendingSends_.pop_front();
    bool want = !out_.empty();
    lock.unlock();
    if (failed) {
        end(End::broken);
        return;
    }
    if (want != wantWrite_) {
        wantWrite_ = want;
        IOLoop::shared().modify(ioId_, EPOLLIN | EPOLLRDHUP | (want ? EPOLLOUT : 0u));
    }
}

void Connection::connectNow() {
    fs::path path = serviceConnectPath(name_);
    std::error_code ec;
    if (fs::exists(path.parent_path(), ec)) {
        if (auto problem = serviceDirectoryProblem(path.parent_path())) {
            xpcLog().error("cannot connect to %{public}s: refusing the service directory: %{public}s", name_, *problem);
            end(End::connectFailed);
            return;
        }
    }
    sockaddr_un addr{};
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    bool ok = fd >= 0 && makeAddress(path, addr) &&
              ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
    pid_t pid = -1;
    uid_t uid = uid_t(-1);
    if (ok && (!peerCredentials(fd, pid, uid) || !peerAllowed(uid))) {
        xpcLog().error("refusing service %{public}s: its process runs as user %u", name_, uid);
        ok = false;
    }
    if (!ok) {
        if (fd >= 0) ::close(fd);
        end(End::connectFailed);
        return;
    }
    {
        std::lock_guard lock(mutex_);
        if (state_ != State::connecting) {  // invalidated meanwhile
            ::close(fd);
            return;
        }
        state_ = State::open;
        peerPid_ = pid;
        peerUid_ = uid;
    }
    attach(fd);
    pump();
}

void Connection::attach(int fd) {
    auto self = shared_from_this();
    fd_ = fd;
    wantWrite_ = false;
    in_.clear();
    accountIn();
    // The registration holds the connection while its socket is open.
    ioId_ = IOLoop::shared().add(fd, EPOLLIN | EPOLLRDHUP, [self](std::uint32_t events) { self->onEvents(events); });
    if (ioId_ == 0) {
        fd_ = -1;
        end(End::broken);
    }
}

void Connection::onEvents(std::uint32_t events) {
    if (events & (EPOLLIN | EPOLLRDHUP | EPOLLHUP | EPOLLERR)) readAvailable();
    if (ioId_ != 0 && (events & EPOLLOUT)) pump();
}

void Connection::readAvailable() {
    char buf[65536];
    for (;;) {
        ssize_t n = ::recv(fd_, buf, sizeof buf, MSG_DONTWAIT);
        if (n > 0) {
            in_.append(buf, std::size_t(n));
            accountIn();
            if (overBudget()) {
                logOverBudget(processIdentifier(), name_);
                end(End::overBudget);
                return;
            }
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        bool closed = n == 0 || !(errno == EAGAIN || errno == EWOULDBLOCK);
        // Frames that arrived before the end are still delivered.
        std::size_t pos = 0;
        while (in_.size() - pos >= 4) {
            std::uint32_t length = 0;
            for (int i = 0; i < 4; ++i) length |= std::uint32_t(std::uint8_t(in_[pos + i])) << (8 * i);
            if (length > kMaxFrameBody) {
                end(End::violation);
                return;
            }
            if (in_.size() - pos - 4 < length) break;
            auto frame = decodeFrameBody(std::string_view(in_).substr(pos + 4, length));
            pos += 4 + length;
            if (!frame || !handleFrame(std::move(*frame), 4 + length)) {
                end(End::violation);
                return;
            }
        }
        in_.erase(0, pos);
        if (in_.empty() && in_.capacity() > kMaxFrameBody / 16) std::string().swap(in_);
        accountIn();
        // Calls wait on the queue while their handlers are slower than the input.
        if (overBudget()) {
            logOverBudget(processIdentifier(), name_);
            end(End::overBudget);
            return;
        }
        if (closed) end(n == 0 ? End::peerClosed : End::broken);
        return;
    }
}

bool Connection::handleFrame(Frame frame, std::size_t size) {
    std::unique_lock lock(mutex_);
    if (frame.kind == Frame::Kind::reply) {
        auto it = pendingReplies_.find(frame.replyId);
        if (it == pendingReplies_.end() || !frame.selector.empty() ||
            !kindsMatch(frame.arguments, *it->second.method->reply)) {
            return false;
        }
        ReplyBlock handler = std::move(it->second.handler);
        pendingReplies_.erase(it);
        lock.unlock();
        *queuedBytes_ += size;
        queue_.async([handler = std::move(handler), args = std::move(frame.arguments), charge = queuedBytes_,
                      size]() mutable {
            handler(std::move(args));
            *charge -= size;
        });
        return true;
    }
    const Method* method = exportedInterface_.method(frame.selector);
    if (!method || !kindsMatch(frame.arguments, method->arguments) ||
        method->reply.has_value() != (frame.replyId != 0)) {
        return false;
    }
    // A call that fits the interface while no object (or one of another protocol) is
    // exported is dropped; the peer did nothing wrong.
    if (!exported_.object || exported_.protocol != exportedInterface_.protocolName()) return true;
    Exported target = exported_;
    lock.unlock();

    Invocation inv;
    inv.method = method;
    inv.arguments = std::move(frame.arguments);
    if (method->reply) {
        std::weak_ptr<Connection> weak = weak_from_this();
        auto sent = std::make_shared<std::once_flag>();
        inv.reply = [weak, sent, method, id = frame.replyId](std::vector<Value> args) {
            std::call_once(*sent, [&] {
                if (auto c = weak.lock()) c->sendReply(id, method, std::move(args));
            });
        };
    }
    *queuedBytes_ += size;
    queue_.async([target = std::move(target), inv = std::move(inv), charge = queuedBytes_, size]() mutable {
        target.invoke(target.object.get(), inv);
        *charge -= size;
    });
    return true;
}

void Connection::end(End why) {
    std::unique_lock lock(mutex_);
    if (state_ == State::invalidated) return;
    bool interrupt = client_ && (why == End::peerClosed || why == End::broken) && state_ == State::open;
    if (ioId_ != 0) {
        IOLoop::shared().close(ioId_);
        ioId_ = 0;
        fd_ = -1;
    }
    if (pendingFd_ >= 0) {
        ::close(pendingFd_);
        pendingFd_ = -1;
    }
    wantWrite_ = false;
    if (why == End::violation) xpcLog().error("peer %d of %{public}s broke the protocol; disconnecting", peerPid_, name_);

    // Every message that was not delivered or answered reports to its proxy, once per
    // proxy.
    std::vector<ErrorHandler> failed;
    std::set<const void*> seen;
    auto note = [&](const ErrorHandler& h) {
        if (h && seen.insert(h.get()).second) failed.push_back(h);
    };
    for (auto& [id, pending] : pendingReplies_) note(pending.errorHandler);
    for (auto& pending : pendingSends_) note(pending.errorHandler);
    pendingReplies_.clear();
    pendingSends_.clear();
    std::string().swap(out_);
    std::string().swap(in_);
    accountOut();
    accountIn();
    queued_ = written_ = 0;
    std::shared_ptr<void> slot = std::move(listenerSlot_);

    std::function<void()> handler;
    Exported released;
    if (interrupt) {
        state_ = State::interrupted;
        handler = interruptionHandler_;
    } else {
        state_ = State::invalidated;
        handler = std::move(invalidationHandler_);
        interruptionHandler_ = nullptr;
        released = std::move(exported_);
        exported_ = {};
    }
    int code = interrupt ? kConnectionInterrupted : kConnectionInvalid;
    lock.unlock();

    for (const ErrorHandler& h : failed) failLater(h, code);
    if (handler) queue_.async(std::move(handler));
    // The exported object is let go on the queue, after the calls already queued.
    if (released.object) queue_.async([released = std::move(released)] {});
}

void finish() { IOLoop::finish(); }

// ---- Listener ------------------------------------------------------------------------

std::shared_ptr<Listener> Listener::withMachServiceName(std::string name, RefusalLog::Clock::duration refusalInterval) {
    return std::make_shared<Listener>(Tag{}, std::move(name), refusalInterval);
}

Listener::Listener(Tag, std::string name, RefusalLog::Clock::duration refusalInterval)
    : name_(std::move(name)), queue_("xpc.listener." + name_), refusals_(refusalInterval) {}

Listener::~Listener() { dispatch::releaseWithoutWaiting(queue_); }

void Listener::setDelegate(std::weak_ptr<ListenerDelegate> delegate) {
    std::lock_guard lock(mutex_);
    delegate_ = std::move(delegate);
}

bool Listener::resume() {
    std::lock_guard lock(mutex_);
    if (bound_) return true;
    fs::path path = serviceSocketPath(name_);
    std::error_code ec;
    bool root = ::geteuid() == 0;
    fs::create_directories(path.parent_path().parent_path(), ec);
    ::mkdir(path.parent_path().c_str(), root ? 0755 : 0700);
    if (auto problem = serviceDirectoryProblem(path.parent_path())) {
        xpcLog().error("cannot listen on %{public}s: refusing the service directory: %{public}s", name_, *problem);
        return false;
    }
    sockaddr_un addr{};
    if (!makeAddress(path, addr)) {
        xpcLog().error("cannot listen on %{public}s: the socket path is too long", name_);
        return false;
    }
    // The lock next to the socket is held while listening: whoever gets it owns the
    // service, and a socket file found then is left over from an earlier run.
    fs::path lockPath = path;
    lockPath += ".lock";
    int lockFd = ::open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (lockFd < 0 || ::flock(lockFd, LOCK_EX | LOCK_NB) != 0) {
        int err = errno;
        if (lockFd >= 0) ::close(lockFd);
        if (err == EWOULDBLOCK) xpcLog().error("cannot listen on %{public}s: another process listens on it", name_);
        else xpcLog().error("cannot listen on %{public}s: %{public}s", name_, std::string(std::strerror(err)));
        return false;
    }
    ::unlink(path.c_str());
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || ::listen(fd, 64) != 0) {
        int err = errno;
        if (fd >= 0) ::close(fd);
        ::close(lockFd);
        xpcLog().error("cannot listen on %{public}s: %{public}s", name_, std::string(std::strerror(err)));
        return false;
    }
    // Anyone may knock; the credentials decide who gets in.
    ::chmod(path.c_str(), root ? 0666 : 0600);
    bound_ = true;
    lockFd_ = lockFd;
    path_ = path;
    auto self = shared_from_this();
    IOLoop::shared().post([self, fd] {
        // A listener still listening when the process ends writes what it counted.
        std::uint64_t id = IOLoop::shared().add(
            fd, EPOLLIN, [self, fd](std::uint32_t) { self->acceptAvailable(fd); },
            [self] { self->writeRefusals(self->refusals_.flush()); });
        int timer = ::timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
        std::uint64_t timerId =
            timer < 0 ? 0 : IOLoop::shared().add(timer, EPOLLIN, [self](std::uint32_t) { self->refusalTimerFired(); });
        std::lock_guard lock(self->mutex_);
        if (!self->bound_) {  // invalidated meanwhile
            IOLoop::shared().close(id);
            if (timerId != 0) IOLoop::shared().close(timerId);
            return;
        }
        self->ioId_ = id;
        self->timerId_ = timerId;
        self->timerFd_ = timerId != 0 ? timer : -1;
    });
    return true;
}

void Listener::invalidate() {
    std::lock_guard lock(mutex_);
    if (!bound_) return;
    bound_ = false;
    ::unlink(path_.c_str());
    ::close(std::exchange(lockFd_, -1));
    auto self = shared_from_this();
    IOLoop::shared().post([self] {
        std::lock_guard lock(self->mutex_);
        if (self->ioId_ != 0) IOLoop::shared().close(std::exchange(self->ioId_, 0));
        if (self->timerId_ != 0) IOLoop::shared().close(std::exchange(self->timerId_, 0));
        self->timerFd_ = -1;
        // Nothing refused is left uncounted.
        self->writeRefusals(self->refusals_.flush());
    });
}

void Listener::writeRefusals(const std::vector<RefusalLog::Line>& lines) {
    for (const RefusalLog::Line& l : lines) {
        xpcLog().error("refusing connections to %{public}s from process %d of user %u (%{public}s): %ld refused since "
                       "the last line about it",
                       name_, l.pid, l.uid, l.why, std::int64_t(l.count));
    }
}

void Listener::noteRefused(pid_t pid, uid_t uid, const char* why) {
    if (auto line = refusals_.note(pid, uid, why, RefusalLog::Clock::now())) writeRefusals({*line});
    armRefusalTimer();
}

void Listener::refusalTimerFired() {
    std::uint64_t expirations = 0;
    [[maybe_unused]] ssize_t n = ::read(timerFd_, &expirations, sizeof expirations);
    writeRefusals(refusals_.due(RefusalLog::Clock::now()));
    armRefusalTimer();
}

void Listener::armRefusalTimer() {
    if (timerFd_ < 0) return;
    // steady_clock is CLOCK_MONOTONIC; a zero time disarms the timer.
    itimerspec when{};
    if (auto next = refusals_.nextDue()) {
        auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(next->time_since_epoch()).count();
        when.it_value.tv_sec = ns / 1000000000;
        when.it_value.tv_nsec = ns % 1000000000;
    }
    ::timerfd_settime(timerFd_, TFD_TIMER_ABSTIME, &when, nullptr);
}

void Listener::acceptAvailable(int listenFd) {
    for (;;) {
        int fd = ::accept4(listenFd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno == EINTR || errno == ECONNABORTED) continue;
            return;
        }
        pid_t pid = -1;
        uid_t uid = uid_t(-1);
        if (!peerCredentials(fd, pid, uid) || !peerAllowed(uid)) {
            ::close(fd);
            noteRefused(pid, uid, "not a user this service serves");
            continue;
        }
        bool room = false;
        {
            std::lock_guard lock(peers_->mutex);
            std::size_t& open = peers_->open[uid];
            room = open < kMaxConnectionsPerUser;
            if (room) ++open;
        }
        if (!room) {
            ::close(fd);
            noteRefused(pid, uid, "its user has the most connections open already");
            continue;
        }
        auto connection = std::make_shared<Connection>(Connection::Tag{}, name_, false, fd, pid, uid);
        connection->listenerSlot_ = std::shared_ptr<void>(nullptr, [peers = peers_, uid](void*) {
            std::lock_guard lock(peers->mutex);
            if (--peers->open[uid] == 0) peers->open.erase(uid);
        });
        auto self = shared_from_this();
        queue_.async([self, connection] {
            std::shared_ptr<ListenerDelegate> delegate;
            {
                std::lock_guard lock(self->mutex_);
                delegate = self->delegate_.lock();
            }
            if (!delegate || !delegate->shouldAcceptNewConnection(*self, connection)) connection->invalidate();
        });
    }
}

}  // namespace xpc
