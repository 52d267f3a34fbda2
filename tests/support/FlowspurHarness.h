#pragma once
// What the flowspur end-to-end tests and the flow benchmark share: a private network
// namespace with a veth link to a second one, a TCP server in that second namespace,
// the flowspur process, and a receiver that indexes the flow messages it is sent.

#include <fcntl.h>
#include <netinet/in.h>
#include <sched.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <arpa/inet.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "CommandOutput.h"
#include "ESMessage.h"
#include "IPCConnection.h"
#include "LoopbackNetwork.h"

extern char** environ;

namespace flowharness {

using namespace std::chrono_literals;

// This process in a private network namespace (loopback up) linked by a veth pair to
// a second, named one: here kLocal, there kPeer.
class PrivateNetwork {
public:
    static constexpr const char* kLocal = "10.231.0.1";
    static constexpr const char* kPeer = "10.231.0.2";
    static constexpr const char* kLocal6 = "fd00:231::1";
    static constexpr const char* kPeer6 = "fd00:231::2";
    static constexpr const char* kLocalLink = "02:00:0a:e7:00:01";
    static constexpr const char* kPeerLink = "02:00:0a:e7:00:02";

    // An error text when the machine does not allow it (not root, no namespaces).
    // The link is ready when it returns: both ends know each other's link address (no
    // neighbour discovery or ARP delays a first packet) and no address is tentative.
    std::optional<std::string> setUp() {
        if (::unshare(CLONE_NEWNET) != 0) return std::string("unshare(CLONE_NEWNET): ") + std::strerror(errno);
        if (!looptest::loopbackUp()) return std::string("cannot bring up the loopback interface");
        peer_ = "qm-flow-" + std::to_string(::getpid());
        const std::string there = "ip -n " + peer_ + " ";
        const std::string commands[] = {
            "ip netns add " + peer_,
            "ip link add qmv0 address " + std::string(kLocalLink) + " type veth peer name qmv1 address " +
                kPeerLink + " netns " + peer_,
            // No link-local addresses, so nothing waits for their duplicate detection.
            "ip link set qmv0 addrgenmode none",
            there + "link set qmv1 addrgenmode none",
            "ip addr add " + std::string(kLocal) + "/24 dev qmv0",
            "ip addr add " + std::string(kLocal6) + "/64 dev qmv0 nodad",
            "ip neigh replace " + std::string(kPeer) + " lladdr " + kPeerLink + " dev qmv0 nud permanent",
            "ip neigh replace " + std::string(kPeer6) + " lladdr " + kPeerLink + " dev qmv0 nud permanent",
            "ip link set qmv0 up",
            there + "addr add " + kPeer + "/24 dev qmv1",
            there + "addr add " + kPeer6 + "/64 dev qmv1 nodad",
            there + "neigh replace " + kLocal + " lladdr " + kLocalLink + " dev qmv1 nud permanent",
            there + "neigh replace " + kLocal6 + " lladdr " + kLocalLink + " dev qmv1 nud permanent",
            there + "link set qmv1 up",
            there + "link set lo up",
        };
        for (const std::string& c : commands) {
            if (std::system((c + " 2>&1").c_str()) != 0) return "`" + c + "` failed";
        }
        // An address stays tentative until its link has come up, which the kernel
        // notes in its own time.
        for (int i = 0; !(commandout::run("ip -6 addr show tentative").output.empty() &&
                         commandout::run(there + "-6 addr show tentative").output.empty());
             ++i) {
            if (i == 3000) return std::string("an IPv6 address of the link stayed tentative");
            std::this_thread::sleep_for(10ms);
        }
        return std::nullopt;
    }

    ~PrivateNetwork() {
        stopServer();
        if (!peer_.empty()) [[maybe_unused]] int rc = std::system(("ip netns del " + peer_ + " 2>/dev/null").c_str());
    }

    // A socket of the peer namespace (it stays there when made); -1 on failure.
    int peerSocket(int family, int type, int protocol = 0) const {
        int here = ::open("/proc/self/ns/net", O_RDONLY | O_CLOEXEC);
        int there = ::open(("/run/netns/" + peer_).c_str(), O_RDONLY | O_CLOEXEC);
        int fd = -1;
        if (here >= 0 && there >= 0 && ::setns(there, CLONE_NEWNET) == 0) {
            fd = ::socket(family, type | SOCK_CLOEXEC, protocol);
            ::setns(here, CLONE_NEWNET);
        }
        if (here >= 0) ::close(here);
        if (there >= 0) ::close(there);
        return fd;
    }

    // A TCP server in the peer namespace, on kPeer and kPeer6, that accepts and closes
    // every connection; returns its port (0 on failure).
    std::uint16_t startServer() {
        // Both families on one socket: the wildcard address, IPv4-mapped ones too.
        server_ = peerSocket(AF_INET6, SOCK_STREAM);
        int no = 0;
        ::setsockopt(server_, IPPROTO_IPV6, IPV6_V6ONLY, &no, sizeof no);
        sockaddr_in6 a{};
        a.sin6_family = AF_INET6;
        if (server_ >= 0 && (::bind(server_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(server_, 4096) != 0)) {
            ::close(std::exchange(server_, -1));
        }
        if (server_ < 0) return 0;
        acceptor_ = std::thread([fd = server_] {
            for (;;) {
                int c = ::accept4(fd, nullptr, nullptr, SOCK_CLOEXEC);
                if (c < 0) {
                    if (errno == EINTR || errno == ECONNABORTED) continue;
                    return;
                }
                ::close(c);
            }
        });
        return looptest::localPort(server_);
    }

    void stopServer() {
        if (server_ >= 0) ::shutdown(server_, SHUT_RDWR);
        if (acceptor_.joinable()) acceptor_.join();
        if (server_ >= 0) ::close(std::exchange(server_, -1));
    }

private:
    std::string peer_;
    int server_ = -1;
    std::thread acceptor_;
};

// Connects a TCP socket of family (AF_INET, or AF_INET6 with an IPv4-mapped peer) to
// address:port and closes it at once; returns the local port, 0 on failure.
inline std::uint16_t connectAndClose(const char* address, std::uint16_t port, int family = AF_INET) {
    int fd = ::socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    bool ok = false;
    if (family == AF_INET) {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(port);
        ok = ::inet_pton(AF_INET, address, &a.sin_addr) == 1 &&
             ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    } else {
        sockaddr_in6 a{};
        a.sin6_family = AF_INET6;
        a.sin6_port = htons(port);
        ok = ::inet_pton(AF_INET6, (std::string("::ffff:") + address).c_str(), &a.sin6_addr) == 1 &&
             ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    }
    sockaddr_in6 self{};
    socklen_t len = sizeof self;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&self), &len);
    ::close(fd);
    // sin_port and sin6_port sit at the same place.
    return ok ? ntohs(self.sin6_port) : 0;
}

// A flow that ends at once: a socket of family that connects (TCP; without waiting
// when nonBlocking) or sends one datagram (UDP) to peer:port and is closed. Made by
// pid; port is its local port (0 on failure); callMs is how long connect or send took.
struct ShortFlow {
    std::uint16_t port = 0;
    std::uint16_t remotePort = 0;
    pid_t pid = 0;
    double callMs = 0;
};

inline ShortFlow shortFlow(int family, const char* peer, std::uint16_t port, int type, bool nonBlocking = false) {
    ShortFlow f;
    f.pid = ::getpid();
    f.remotePort = port;
    int fd = ::socket(family, type | SOCK_CLOEXEC | (nonBlocking ? SOCK_NONBLOCK : 0), 0);
    if (fd < 0) return f;
    sockaddr_storage to{};
    socklen_t size = 0;
    if (family == AF_INET) {
        auto* a = reinterpret_cast<sockaddr_in*>(&to);
        a->sin_family = AF_INET;
        a->sin_port = htons(port);
        ::inet_pton(AF_INET, peer, &a->sin_addr);
        size = sizeof *a;
    } else {
        auto* a = reinterpret_cast<sockaddr_in6*>(&to);
        a->sin6_family = AF_INET6;
        a->sin6_port = htons(port);
        ::inet_pton(AF_INET6, peer, &a->sin6_addr);
        size = sizeof *a;
    }
    auto start = std::chrono::steady_clock::now();
    bool ok = type == SOCK_STREAM ? ::connect(fd, reinterpret_cast<sockaddr*>(&to), size) == 0 || errno == EINPROGRESS
                                  : ::sendto(fd, "x", 1, 0, reinterpret_cast<sockaddr*>(&to), size) == 1;
    f.callMs = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    sockaddr_in6 self{};
    socklen_t len = sizeof self;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&self), &len);
    ::close(fd);
    if (ok) f.port = ntohs(self.sin6_port);  // sin_port and sin6_port sit at the same place
    return f;
}

// shortFlow made by a new process that exits right after it.
inline ShortFlow shortFlowOfNewProcess(int family, const char* peer, std::uint16_t port, int type,
                                       bool nonBlocking = false) {
    ShortFlow f;
    int pipe[2];
    if (::pipe2(pipe, O_CLOEXEC) != 0) return f;
    pid_t child = ::fork();
    if (child == 0) {
        ShortFlow made = shortFlow(family, peer, port, type, nonBlocking);
        [[maybe_unused]] ssize_t n = ::write(pipe[1], &made, sizeof made);
        ::_exit(0);
    }
    ::close(pipe[1]);
    if (child > 0 && ::read(pipe[0], &f, sizeof f) != ssize_t(sizeof f)) f = ShortFlow{};
    ::close(pipe[0]);
    if (child > 0) ::waitpid(child, nullptr, 0);
    return f;
}

// count short flows of type from threads threads at once: non-blocking connects closed
// at once (TCP) or one datagram each and closed (UDP), to kPeer. Each goes to a remote
// port of its own, from firstPort on, where nobody listens: a tuple of its own makes
// every flow new to connection tracking, whichever local port it draws.
inline std::vector<ShortFlow> burst(int type, int count, int threads, std::uint16_t firstPort) {
    std::vector<ShortFlow> flows(static_cast<std::size_t>(count));
    std::atomic<int> waiting{threads};
    std::vector<std::thread> running;
    for (int t = 0; t < threads; ++t) {
        running.emplace_back([&, t] {
            --waiting;
            while (waiting.load() > 0) std::this_thread::yield();
            for (int i = t; i < count; i += threads) {
                flows[std::size_t(i)] = shortFlow(AF_INET, PrivateNetwork::kPeer, std::uint16_t(firstPort + i), type, true);
            }
        });
    }
    for (auto& t : running) t.join();
    return flows;
}

// The flows that flowspur's log counts as gone without a message: the counts of its
// lines on flows that went on undescribed and on messages dropped, and one for each
// flow it skipped.
inline std::uint64_t unreportedInLog(const std::filesystem::path& log) {
    std::ifstream in(log);
    std::uint64_t n = 0;
    auto numberBefore = [](const std::string& line, std::size_t at) {
        std::size_t start = at;
        while (start > 0 && std::isdigit(static_cast<unsigned char>(line[start - 1]))) --start;
        return start == at ? 0 : std::stoull(line.substr(start, at - start));
    };
    for (std::string line; std::getline(in, line);) {
        if (auto at = line.find(" flows went on undescribed:"); at != std::string::npos) n += numberBefore(line, at);
        if (auto at = line.find(" flow messages: more than"); at != std::string::npos) n += numberBefore(line, at);
        if (line.find("skipping flow") != std::string::npos) ++n;
    }
    return n;
}

// The flow messages it is sent, decoded and indexed by local port, with the time each
// arrived.
class FlowReceiver : public flowspur::AppCommunication {
public:
    struct Flow {
        es::ESMessage message;
        std::chrono::steady_clock::time_point arrived;
    };

    void shareFlowUsingMessageString(std::string text) override {
        auto now = std::chrono::steady_clock::now();
        auto m = es::decodeMessage(text);
        std::lock_guard lock(mutex_);
        ++received_;
        if (m) {
            if (const auto* flow = m->event.get<es::ESEvent_networkflow>(); flow && flow->local_port) {
                byLocalPort_[*flow->local_port].push_back({std::move(m.value()), now});
            }
        }
        changed_.notify_all();
    }

    std::vector<Flow> flows(std::uint16_t localPort) {
        std::lock_guard lock(mutex_);
        auto it = byLocalPort_.find(std::to_string(localPort));
        return it == byLocalPort_.end() ? std::vector<Flow>{} : it->second;
    }
    // The flows whose process has this pid, once there is one or limit has passed.
    std::vector<Flow> flowsOf(pid_t pid, std::chrono::milliseconds limit = 10s) {
        std::unique_lock lock(mutex_);
        std::vector<Flow> found;
        changed_.wait_for(lock, limit, [&] {
            found.clear();
            for (const auto& [port, flows] : byLocalPort_) {
                for (const Flow& f : flows) {
                    if (f.message.process.audit_token.pid == pid) found.push_back(f);
                }
            }
            return !found.empty();
        });
        return found;
    }
    // Waits until every port has a flow or limit has passed; whether all have.
    bool waitForPorts(const std::vector<std::uint16_t>& ports, std::chrono::milliseconds limit = 10s) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, limit, [&] {
            for (std::uint16_t p : ports) {
                if (!byLocalPort_.count(std::to_string(p))) return false;
            }
            return true;
        });
    }
    // Waits until every flow has a message of its own (by its local and remote port and
    // protocol) that came at since or later, or limit has passed; whether all have. Two
    // flows can draw one local port, so a message for the port alone proves nothing.
    bool waitForFlows(const std::vector<ShortFlow>& flows, std::int64_t protocol,
                      std::chrono::steady_clock::time_point since = {}, std::chrono::milliseconds limit = 10s) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, limit, [&] {
            return std::all_of(flows.begin(), flows.end(), [&](const ShortFlow& f) { return find(f, protocol, since); });
        });
    }
    // The latest message that came for this flow at since or later, if any.
    std::optional<es::ESMessage> messageFor(const ShortFlow& f, std::int64_t protocol,
                                            std::chrono::steady_clock::time_point since = {}) {
        std::lock_guard lock(mutex_);
        const es::ESMessage* m = find(f, protocol, since);
        return m ? std::optional<es::ESMessage>(*m) : std::nullopt;
    }
    std::size_t received() {
        std::lock_guard lock(mutex_);
        return received_;
    }

private:
    // The latest message for f (by its local and remote port and protocol) that came at
    // since or later; the caller holds mutex_.
    const es::ESMessage* find(const ShortFlow& f, std::int64_t protocol, std::chrono::steady_clock::time_point since) const {
        auto it = byLocalPort_.find(std::to_string(f.port));
        if (it == byLocalPort_.end()) return nullptr;
        for (auto m = it->second.rbegin(); m != it->second.rend() && m->arrived >= since; ++m) {
            const auto* nf = m->message.event.get<es::ESEvent_networkflow>();
            if (es::rawValue(nf->flow_protocol) == protocol && nf->remote_port == std::to_string(f.remotePort)) {
                return &m->message;
            }
        }
        return nullptr;
    }

    std::mutex mutex_;
    std::condition_variable changed_;
    std::size_t received_ = 0;
    std::map<std::string, std::vector<Flow>> byLocalPort_;
};

// Finds the flowspur of the build that CTest runs (QM_BUILD_DIR) and sets this
// process's environment up for running it as the tests do: its XPC sockets under dir,
// every log line, its configuration only from its argument (as the application hands
// it). An error text when there is none.
inline std::optional<std::string> prepareFlowspur(const std::filesystem::path& dir,
                                                  std::optional<bundle::Bundle>& extension) {
    const char* build = std::getenv("QM_BUILD_DIR");
    if (!build) return "QM_BUILD_DIR names the build folder (set by CTest)";
    extension = bundle::Bundle::open(std::filesystem::path(build) /
                                     "Quillmark/Contents/Library/SystemExtensions/Flowspur.systemextension");
    if (!extension || !extension->executablePath() || !std::filesystem::exists(*extension->executablePath())) {
        return "flowspur is not built";
    }
    ::setenv("QUILLMARK_XPC_DIR", (dir / "xpc").c_str(), 1);
    ::unsetenv("QUILLMARK_FILTER_CONFIG");
    ::setenv("OSLOG_LEVEL", "debug", 1);
    return std::nullopt;
}

// Starts program with args, its standard error into log; the pid, -1 on failure.
inline pid_t spawn(const std::string& program, std::vector<std::string> args, const std::filesystem::path& log) {
    std::vector<char*> argv{const_cast<char*>(program.c_str())};
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 2, log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    pid_t pid = -1;
    int rc = ::posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    return rc == 0 ? pid : -1;
}

// Waits for pid to end within limit; its wait status, or nothing.
inline std::optional<int> waitForExit(pid_t pid, std::chrono::milliseconds limit) {
    auto end = std::chrono::steady_clock::now() + limit;
    int status = 0;
    while (std::chrono::steady_clock::now() < end) {
        if (::waitpid(pid, &status, WNOHANG) == pid) return status;
        std::this_thread::sleep_for(5ms);
    }
    return std::nullopt;
}

}  // namespace flowharness
