// Runs the real flowspur in a private network namespace (linked by veth to a second
// one), registers with it through IPCConnection, makes connections and checks the
// flow messages that arrive.

#include <gtest/gtest.h>

#include "FlowspurHarness.h"

#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>

#include <atomic>
#include <fstream>
#include <future>
#include <iostream>

#include "DeepPropertyList.h"
#include "ExtensionTestSupport.h"
#include "FilterManager.h"
#include "FlowQueue.h"
#include "Nft.h"
#include "OwnerCapture.h"

namespace {

using namespace testsupport;
using flowharness::PrivateNetwork;
namespace fs = std::filesystem;

const std::string kListTable = "list table " + std::string(netext::kNftTable) + "\n";

class FlowspurEndToEnd : public ::testing::Test {
protected:
    void SetUp() override {
        if (auto why = network.setUp()) {
            GTEST_SKIP() << "this machine allows no private network namespace with a veth link (" << *why
                         << "), so flowspur cannot be run without touching the machine's own network";
        }
        if (auto problem = flowharness::prepareFlowspur(dir.path(), extension)) FAIL() << *problem;
        port = network.startServer();
        ASSERT_NE(port, 0) << std::strerror(errno);
    }

    void TearDown() override {
        if (flowspur > 0) {
            ::kill(flowspur, SIGTERM);
            auto status = flowharness::waitForExit(flowspur, 10s);
            if (!status) {
                ::kill(flowspur, SIGKILL);
                ::waitpid(flowspur, nullptr, 0);
            }
            EXPECT_TRUE(status) << "flowspur did not end on SIGTERM";
            EXPECT_TRUE(status && WIFEXITED(*status) && WEXITSTATUS(*status) == 0) << status.value_or(-1);
            EXPECT_TRUE(netext::runNft(kListTable)) << "its table went with it";
            netext::runNft(netext::nftRemovalScript());
        }
        if (HasFailure()) {
            std::ifstream log(dir.path() / "flowspur.log");
            std::cerr << "flowspur's log:\n" << log.rdbuf();
        }
    }

    fs::path configuration() const { return dir.path() / "filter.plist"; }

    void enableFilter(bool enabled = true) {
        netext::NEFilterManager manager(configuration());
        manager.setProviderConfiguration(netext::NEFilterProviderConfiguration{true, false});
        manager.setLocalizedDescription("Quillmark");
        manager.setEnabled(enabled);
        std::promise<std::optional<netext::Error>> saved;
        manager.saveToPreferences([&](std::optional<netext::Error> e) { saved.set_value(e); });
        auto error = saved.get_future().get();
        ASSERT_FALSE(error) << error->localizedDescription;
    }

    pid_t startFlowspur(const std::string& logName = "flowspur.log") {
        return flowharness::spawn(extension->executablePath()->string(),
                                  {std::string(netext::kFilterConfigurationOption), configuration().string()},
                                  dir.path() / logName);
    }

    // Enables the filter, starts flowspur, registers as the application does and waits
    // for the table.
    void startAndRegister() {
        enableFilter();
        flowspur = startFlowspur();
        ASSERT_GT(flowspur, 0);
        bool registered = eventually([&] {
            Outcome outcome;
            app->registerWithExtension(*extension, receiver, outcome.handler());
            auto answers = outcome.waitForCount(1);
            return !answers.empty() && answers[0];
        });
        ASSERT_TRUE(registered) << "flowspur never answered register:";
        ASSERT_TRUE(eventually([] { return !netext::runNft(kListTable); })) << "flowspur never installed its table";
    }

    // The line that says the kernel records no owners, if flowspur wrote it.
    std::optional<std::string> withoutKernelRecords() {
        std::ifstream log(dir.path() / "flowspur.log");
        for (std::string line; std::getline(log, line);) {
            if (line.find("looked up in /proc") != std::string::npos) return line;
        }
        return std::nullopt;
    }

    // Each of processes new processes makes one flow of type (UDP: sends one datagram;
    // TCP: connects without waiting) and exits at once; each flow must name its process.
    // Each talks to a remote port of its own, from firstPort on: two processes that drew
    // the same local port would otherwise make one tuple, which conntrack sees as one flow.
    void expectFlowsOfExitedProcessesNamed(const char* what, int type, std::uint16_t firstPort, int processes) {
        std::vector<flowharness::ShortFlow> flows(processes);
        std::vector<std::thread> threads;
        for (int t = 0; t < 5; ++t) {
            threads.emplace_back([&, t] {
                for (int i = t; i < processes; i += 5) {
                    flows[i] = flowharness::shortFlowOfNewProcess(AF_INET, PrivateNetwork::kPeer,
                                                                  std::uint16_t(firstPort + i), type, true);
                }
            });
        }
        for (auto& t : threads) t.join();
        ASSERT_EQ(std::count_if(flows.begin(), flows.end(), [](const auto& f) { return f.port == 0; }), 0)
            << what << ": every flow was made";
        const std::int64_t protocol = type == SOCK_STREAM ? IPPROTO_TCP : IPPROTO_UDP;
        EXPECT_TRUE(receiver->waitForFlows(flows, protocol)) << what << ": messages are missing";
        for (const auto& f : flows) {
            auto same = receiver->messageFor(f, protocol);
            ASSERT_TRUE(same) << what << ", port " << f.port;
            EXPECT_EQ(same->process.audit_token.pid, f.pid) << what;
            EXPECT_EQ(same->process.executable.path, self) << what;
            EXPECT_EQ(same->process.ppid, ::getpid()) << what;
        }
    }

    // The one flow message of a connection from this port, checked against its process.
    void expectOneFlow(std::uint16_t localPort, pid_t pid, const std::string& executable) {
        auto flows = receiver->flows(localPort);
        ASSERT_EQ(flows.size(), 1u) << "port " << localPort;
        const es::ESMessage& m = flows[0].message;
        const auto* flow = m.event.get<es::ESEvent_networkflow>();
        EXPECT_EQ(m.process.audit_token.pid, pid) << "port " << localPort;
        EXPECT_EQ(m.process.executable.path, executable) << "port " << localPort;
        EXPECT_EQ(flow->instigator.audit_token.pid, pid);
        EXPECT_EQ(flow->direction, "outbound");
        EXPECT_EQ(flow->remote_address, PrivateNetwork::kPeer);
        EXPECT_EQ(flow->remote_port, std::to_string(port));
        EXPECT_EQ(es::rawValue(flow->flow_protocol), IPPROTO_TCP);
    }

    PrivateNetwork network;
    TempDir dir;
    std::optional<bundle::Bundle> extension;
    std::uint16_t port = 0;
    pid_t flowspur = -1;
    std::shared_ptr<flowspur::IPCConnection> app = std::make_shared<flowspur::IPCConnection>();
    std::shared_ptr<flowharness::FlowReceiver> receiver = std::make_shared<flowharness::FlowReceiver>();
    const std::string self = fs::read_symlink("/proc/self/exe").string();
};

TEST_F(FlowspurEndToEnd, LoopbackTCPAndUDPFlowsAndSwitchingTheFilter) {
    startAndRegister();
    int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in any = looptest::loopback(0);
    ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&any), sizeof any), 0);
    ASSERT_EQ(::listen(listener, 4), 0);
    std::uint16_t tcp = flowharness::connectAndClose("127.0.0.1", looptest::localPort(listener));
    int sender = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in dgram = looptest::loopback(9);
    ASSERT_EQ(::sendto(sender, "x", 1, 0, reinterpret_cast<sockaddr*>(&dgram), sizeof dgram), 1);
    std::uint16_t udp = looptest::localPort(sender);
    ASSERT_TRUE(receiver->waitForFlows({{tcp, looptest::localPort(listener)}}, IPPROTO_TCP) &&
                receiver->waitForFlows({{udp, 9}}, IPPROTO_UDP))
        << "no flow message for the TCP connection or UDP datagram";

    // A TCP and a UDP socket can hold one port number, so each protocol's messages are
    // counted apart.
    const std::pair<std::uint16_t, std::int64_t> expected[] = {{tcp, IPPROTO_TCP}, {udp, IPPROTO_UDP}};
    for (const auto& [localPort, protocol] : expected) {
        auto flows = receiver->flows(localPort);
        std::erase_if(flows, [protocol](const flowharness::FlowReceiver::Flow& f) {
            return es::rawValue(f.message.event.get<es::ESEvent_networkflow>()->flow_protocol) != protocol;
        });
        ASSERT_EQ(flows.size(), 1u) << "one message for a loopback flow";
        const es::ESMessage& m = flows[0].message;
        const auto* flow = m.event.get<es::ESEvent_networkflow>();
        EXPECT_EQ(es::rawValue(flow->flow_protocol), protocol);
        EXPECT_EQ(es::rawValue(flow->flow_family), AF_INET);
        EXPECT_EQ(es::rawValue(flow->flow_type), protocol == IPPROTO_TCP ? SOCK_STREAM : SOCK_DGRAM);
        EXPECT_EQ(flow->local_address, "127.0.0.1");
        EXPECT_EQ(flow->remote_address, "127.0.0.1");
        EXPECT_EQ(flow->direction, "outbound");
        EXPECT_EQ(es::rawValue(m.event_type), 90210);
        EXPECT_EQ(m.process.audit_token.pid, ::getpid());
        EXPECT_EQ(m.process.executable.path, self);
        EXPECT_EQ(m.process.ppid, ::getppid());
        EXPECT_EQ(flow->uuid.size(), 36u);
    }
    ::close(sender);
    ::close(listener);

    // Disabling the configuration stops the filter and removes its table; enabling it
    // again brings both back.
    enableFilter(false);
    EXPECT_TRUE(eventually([&] { return netext::runNft(kListTable).has_value(); })) << "table still there";
    enableFilter(true);
    EXPECT_TRUE(eventually([&] { return !netext::runNft(kListTable); })) << "table not back";
}

// Connections that close as soon as they are made are held until they are described.
TEST_F(FlowspurEndToEnd, TwoHundredConnectionsThatCloseAtOnceGiveOneMessageEach) {
    startAndRegister();
    constexpr int kThreads = 8, kEach = 25;
    std::vector<std::uint16_t> ports(kThreads * kEach);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < kEach; ++i) ports[t * kEach + i] = flowharness::connectAndClose(PrivateNetwork::kPeer, port);
        });
    }
    for (auto& t : threads) t.join();
    ASSERT_EQ(std::count(ports.begin(), ports.end(), 0), 0) << "every connection was made";
    EXPECT_TRUE(receiver->waitForPorts(ports)) << "messages are missing";
    for (std::uint16_t p : ports) expectOneFlow(p, ::getpid(), self);
}

// Flows of processes that are gone before their first packet is looked at, which only
// the kernel's records of owners can name.
TEST_F(FlowspurEndToEnd, FlowsOfProcessesThatExitAtOnceAreAllAttributed) {
    startAndRegister();
    if (auto line = withoutKernelRecords()) GTEST_SKIP() << *line;
    expectFlowsOfExitedProcessesNamed("UDP send then exit", SOCK_DGRAM, 20000, 50);
    expectFlowsOfExitedProcessesNamed("non-blocking connect then close", SOCK_STREAM, 21000, 50);
}

std::vector<std::string> cgroup2Mounts(const std::string& process = "self") {
    std::ifstream mounts("/proc/" + process + "/mounts");
    std::vector<std::string> points;
    for (std::string device, point, type, rest; mounts >> device >> point >> type && std::getline(mounts, rest);) {
        if (type == "cgroup2") points.push_back(point);
    }
    return points;
}

// A mount namespace that shows no cgroup2 hierarchy (as `ip netns exec` makes, with a
// fresh /sys) hides no flow: flowspur mounts the hierarchy for a moment to attach to it.
TEST_F(FlowspurEndToEnd, WithNoCgroup2MountInSightTheKernelStillRecordsOwners) {
    std::string why;
    if (!flowowner::OwnerCapture::load(why)) GTEST_SKIP() << "the kernel refuses the owner-capture program here: " << why;
    // This thread's mount namespace, which flowspur inherits; the machine's stays as it is.
    ASSERT_EQ(::unshare(CLONE_NEWNS), 0) << std::strerror(errno);
    ASSERT_EQ(::mount(nullptr, "/", nullptr, MS_REC | MS_SLAVE, nullptr), 0) << std::strerror(errno);
    for (const std::string& point : cgroup2Mounts()) {
        ASSERT_EQ(::umount2(point.c_str(), MNT_DETACH), 0) << point << ": " << std::strerror(errno);
    }
    ASSERT_TRUE(cgroup2Mounts().empty());

    startAndRegister();
    EXPECT_FALSE(withoutKernelRecords()) << *withoutKernelRecords();
    expectFlowsOfExitedProcessesNamed("UDP send then exit", SOCK_DGRAM, 20000, 50);
    EXPECT_TRUE(cgroup2Mounts(std::to_string(flowspur)).empty()) << "flowspur left its mount in place";
}

// A new process that binds kLocal:localPort (0: any) with SO_REUSEADDR, connects to
// the peer and closes at once with a reset (linger 0), so that no time-wait holds the
// tuple; the local port, 0 on failure.
flowharness::ShortFlow resetConnectionOfNewProcess(std::uint16_t localPort, std::uint16_t port) {
    flowharness::ShortFlow f;
    int pipe[2];
    if (::pipe2(pipe, O_CLOEXEC) != 0) return f;
    pid_t child = ::fork();
    if (child == 0) {
        int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        int yes = 1;
        ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
        sockaddr_in self{};
        self.sin_family = AF_INET;
        self.sin_port = htons(localPort);
        ::inet_pton(AF_INET, PrivateNetwork::kLocal, &self.sin_addr);
        sockaddr_in to = self;
        to.sin_port = htons(port);
        ::inet_pton(AF_INET, PrivateNetwork::kPeer, &to.sin_addr);
        std::uint16_t made = 0;
        if (::bind(fd, reinterpret_cast<sockaddr*>(&self), sizeof self) == 0 &&
            ::connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) == 0) {
            made = looptest::localPort(fd);
        }
        linger reset{1, 0};
        ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
        ::close(fd);
        [[maybe_unused]] ssize_t n = ::write(pipe[1], &made, sizeof made);
        ::_exit(0);
    }
    ::close(pipe[1]);
    if (child > 0 && ::read(pipe[0], &f.port, sizeof f.port) == ssize_t(sizeof f.port)) f.pid = child;
    ::close(pipe[0]);
    if (child > 0) ::waitpid(child, nullptr, 0);
    return f;
}

// What connection tracking holds of the tuples from localPort, and how many packets
// the kernel has queued: which tells a flow that was never queued (a SYN that tracking
// took for the old connection) from one that flowspur lost.
std::string trackedConnections(std::uint16_t localPort) {
    std::ifstream table("/proc/net/nf_conntrack");
    std::string text = "packets the kernel queued: " + std::to_string(netext::kernelQueueSequence().value_or(0)) +
                       "\ntracked connections of port " + std::to_string(localPort) + ":\n";
    const std::string key = "sport=" + std::to_string(localPort) + " ";
    for (std::string line; std::getline(table, line);) {
        if (line.find(key) != std::string::npos) text += line + "\n";
    }
    return text;
}

// TCP has no time-wait after a reset: the same tuple may be connected again by another
// process at once, and each connection is its own process's.
TEST_F(FlowspurEndToEnd, ATCPTupleConnectedAgainByAnotherProcessNamesEachProcess) {
    startAndRegister();
    if (auto line = withoutKernelRecords()) GTEST_SKIP() << *line;
    auto firstMade = std::chrono::steady_clock::now();
    flowharness::ShortFlow first = resetConnectionOfNewProcess(0, port);
    ASSERT_NE(first.port, 0) << std::strerror(errno);
    // Its flow is described before the tuple is used again, which would change its owner.
    auto firstFlows = receiver->flowsOf(first.pid);
    ASSERT_EQ(firstFlows.size(), 1u);
    EXPECT_EQ(firstFlows[0].message.event.get<es::ESEvent_networkflow>()->local_port, std::to_string(first.port));
    // Well within the time for which a UDP tuple keeps its first owner.
    std::this_thread::sleep_until(firstMade + 200ms);
    flowharness::ShortFlow second = resetConnectionOfNewProcess(first.port, port);
    ASSERT_EQ(second.port, first.port) << std::strerror(errno);
    auto secondFlows = receiver->flowsOf(second.pid);
    ASSERT_EQ(secondFlows.size(), 1u) << "the second connection was not reported as its own process's\n"
                                      << trackedConnections(first.port);
    EXPECT_EQ(secondFlows[0].message.event.get<es::ESEvent_networkflow>()->local_port, std::to_string(first.port));
    EXPECT_EQ(receiver->flows(first.port).size(), 2u);
}

// Connects a socket of the peer namespace to kLocal:localPort; whether it connected.
bool connectFromPeer(const PrivateNetwork& network, std::uint16_t localPort) {
    int fd = network.peerSocket(AF_INET, SOCK_STREAM);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(localPort);
    ::inet_pton(AF_INET, PrivateNetwork::kLocal, &to.sin_addr);
    bool ok = fd >= 0 && ::connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) == 0;
    if (fd >= 0) ::close(fd);
    return ok;
}

// An inbound connection belongs to the listener; once the listener is gone, a connection
// refused on its port belongs to no one.
TEST_F(FlowspurEndToEnd, ARefusedConnectionToAnExitedListenersPortNamesNoProcess) {
    startAndRegister();
    int toChild[2], fromChild[2];
    ASSERT_EQ(::pipe(toChild), 0);
    ASSERT_EQ(::pipe(fromChild), 0);
    pid_t child = ::fork();
    if (child == 0) {
        ::close(toChild[1]);
        int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in any{};
        any.sin_family = AF_INET;
        std::uint16_t p = 0;
        if (::bind(listener, reinterpret_cast<sockaddr*>(&any), sizeof any) == 0 && ::listen(listener, 4) == 0) {
            p = looptest::localPort(listener);
        }
        [[maybe_unused]] ssize_t n = ::write(fromChild[1], &p, sizeof p);
        char c;
        n = ::read(toChild[0], &c, 1);  // until told to go
        ::_exit(0);
    }
    ::close(toChild[0]);
    ::close(fromChild[1]);
    std::uint16_t listened = 0;
    ASSERT_EQ(::read(fromChild[0], &listened, sizeof listened), ssize_t(sizeof listened));
    ::close(fromChild[0]);
    ASSERT_NE(listened, 0);

    ASSERT_TRUE(connectFromPeer(network, listened)) << std::strerror(errno);
    auto whileListening = receiver->flowsOf(child);
    ASSERT_EQ(whileListening.size(), 1u) << "the listener's connection was not reported as its process's";
    EXPECT_EQ(whileListening[0].message.event.get<es::ESEvent_networkflow>()->direction, "inbound");

    ::close(toChild[1]);
    ::waitpid(child, nullptr, 0);
    EXPECT_FALSE(connectFromPeer(network, listened)) << "something listens on the port again";
    // A later inbound connection to a listener of ours, described after the refused one.
    int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in any{};
    any.sin_family = AF_INET;
    ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&any), sizeof any), 0);
    ASSERT_EQ(::listen(listener, 4), 0);
    ASSERT_TRUE(connectFromPeer(network, looptest::localPort(listener)));
    ASSERT_TRUE(receiver->waitForPorts({looptest::localPort(listener)}));
    EXPECT_EQ(receiver->flows(looptest::localPort(listener))[0].message.process.audit_token.pid, ::getpid());
    auto flows = receiver->flows(listened);
    EXPECT_EQ(flows.size(), 1u) << "the refused connection was reported";
    for (const auto& f : flows) EXPECT_EQ(f.message.process.audit_token.pid, child);
    ::close(listener);
}

std::size_t linesContaining(const fs::path& log, const std::string& text) {
    std::ifstream in(log);
    std::size_t n = 0;
    for (std::string line; std::getline(in, line);) n += line.find(text) != std::string::npos;
    return n;
}

// Sends one ICMP echo request (ICMPv6 for AF_INET6) from fd, a raw socket, to address.
bool sendEcho(int fd, int family, const char* address) {
    // type, code, checksum, identifier, sequence: an IPv4 echo's checksum is ours to
    // give, an ICMPv6 one the kernel's.
    std::uint8_t echo[8] = {std::uint8_t(family == AF_INET ? 8 : 128), 0, 0, 0, 0x12, 0x34, 0, 1};
    if (family == AF_INET) {
        std::uint32_t sum = 0;
        for (int i = 0; i < 8; i += 2) sum += std::uint32_t(echo[i] << 8 | echo[i + 1]);
        sum = (sum & 0xFFFF) + (sum >> 16);
        std::uint16_t check = std::uint16_t(~sum);
        echo[2] = std::uint8_t(check >> 8);
        echo[3] = std::uint8_t(check & 0xFF);
    }
    sockaddr_storage to{};
    socklen_t size = 0;
    if (family == AF_INET) {
        auto* a = reinterpret_cast<sockaddr_in*>(&to);
        a->sin_family = AF_INET;
        ::inet_pton(AF_INET, address, &a->sin_addr);
        size = sizeof *a;
    } else {
        auto* a = reinterpret_cast<sockaddr_in6*>(&to);
        a->sin6_family = AF_INET6;
        ::inet_pton(AF_INET6, address, &a->sin6_addr);
        size = sizeof *a;
    }
    return fd >= 0 && ::sendto(fd, echo, sizeof echo, 0, reinterpret_cast<sockaddr*>(&to), size) == ssize_t(sizeof echo);
}

// Only socket flows, TCP and UDP, are described: pings either way give neither a flow
// message nor a log line.
TEST_F(FlowspurEndToEnd, PingsAreNeitherQueuedNorLogged) {
    startAndRegister();
    struct Case {
        const char* what;
        int fd;
        int family;
        const char* to;
    };
    const Case cases[] = {
        {"IPv4 echo out", ::socket(AF_INET, SOCK_RAW | SOCK_CLOEXEC, IPPROTO_ICMP), AF_INET, PrivateNetwork::kPeer},
        {"IPv6 echo out", ::socket(AF_INET6, SOCK_RAW | SOCK_CLOEXEC, IPPROTO_ICMPV6), AF_INET6, PrivateNetwork::kPeer6},
        {"IPv4 echo in", network.peerSocket(AF_INET, SOCK_RAW, IPPROTO_ICMP), AF_INET, PrivateNetwork::kLocal},
        {"IPv6 echo in", network.peerSocket(AF_INET6, SOCK_RAW, IPPROTO_ICMPV6), AF_INET6, PrivateNetwork::kLocal6},
    };
    for (const Case& c : cases) {
        EXPECT_TRUE(sendEcho(c.fd, c.family, c.to)) << c.what << ": " << std::strerror(errno);
        ::close(c.fd);
    }
    // A flow after them: once its message is here, the pings were looked at, if ever.
    flowharness::ShortFlow after = flowharness::shortFlow(AF_INET, PrivateNetwork::kPeer, 9, SOCK_DGRAM);
    ASSERT_TRUE(receiver->waitForFlows({after}, IPPROTO_UDP));
    EXPECT_EQ(receiver->received(), 1u) << "only the UDP flow was reported";
    EXPECT_EQ(linesContaining(dir.path() / "flowspur.log", "skipping flow"), 0u);
}

// A process that hands on a listening socket and exits: the child that inherits it
// (listen, fork, exit, as daemons start) or the process it was sent to (SCM_RIGHTS).
// The holder waits until the write end of toHolder is closed; the listening port and
// the holder's pid.
struct HandedOnListener {
    std::uint16_t port = 0;
    pid_t holder = -1;
};

// One byte with room for one file descriptor (SCM_RIGHTS), to send or receive.
struct FdMessage {
    FdMessage() {
        m.msg_iov = &data;
        m.msg_iovlen = 1;
        m.msg_control = control;
        m.msg_controllen = sizeof control;
    }
    FdMessage(const FdMessage&) = delete;
    char byte = 0;
    iovec data{&byte, 1};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
    msghdr m{};
};

HandedOnListener handOnListener(bool sendIt, const int toHolder[2]) {
    HandedOnListener result;
    int fromChild[2], passing[2];
    if (::pipe(fromChild) != 0 || ::socketpair(AF_UNIX, SOCK_STREAM, 0, passing) != 0) return result;
    auto listenOnAnyPort = [] {
        int fd = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in any{};
        any.sin_family = AF_INET;
        if (::bind(fd, reinterpret_cast<sockaddr*>(&any), sizeof any) != 0 || ::listen(fd, 16) != 0) return -1;
        return fd;
    };
    auto report = [&](int listener) {
        HandedOnListener r{looptest::localPort(listener), ::getpid()};
        [[maybe_unused]] ssize_t n = ::write(fromChild[1], &r, sizeof r);
    };
    pid_t maker = ::fork();
    if (maker == 0) {
        ::close(toHolder[1]);
        int listener = listenOnAnyPort();
        if (listener < 0) ::_exit(1);
        if (sendIt) {
            FdMessage sent;
            cmsghdr* c = CMSG_FIRSTHDR(&sent.m);
            c->cmsg_level = SOL_SOCKET;
            c->cmsg_type = SCM_RIGHTS;
            c->cmsg_len = CMSG_LEN(sizeof(int));
            std::memcpy(CMSG_DATA(c), &listener, sizeof listener);
            ::_exit(::sendmsg(passing[0], &sent.m, 0) == 1 ? 0 : 2);
        }
        if (::fork() == 0) {
            report(listener);
            char c;
            [[maybe_unused]] ssize_t n = ::read(toHolder[0], &c, 1);
            ::_exit(0);
        }
        ::_exit(0);
    }
    if (sendIt && ::fork() == 0) {
        ::close(toHolder[1]);
        FdMessage received;
        if (::recvmsg(passing[1], &received.m, 0) != 1 || !CMSG_FIRSTHDR(&received.m)) ::_exit(1);
        int listener = -1;
        std::memcpy(&listener, CMSG_DATA(CMSG_FIRSTHDR(&received.m)), sizeof listener);
        report(listener);
        char c;
        [[maybe_unused]] ssize_t n = ::read(toHolder[0], &c, 1);
        ::_exit(0);
    }
    ::close(fromChild[1]);
    ::close(passing[0]);
    ::close(passing[1]);
    if (::read(fromChild[0], &result, sizeof result) != ssize_t(sizeof result)) result = {};
    ::close(fromChild[0]);
    ::waitpid(maker, nullptr, 0);  // the maker has exited: only the holder has the socket
    return result;
}

// An inbound connection to a listener whose maker has exited names the process that
// holds the listener now, not the one that made it.
TEST_F(FlowspurEndToEnd, InboundFlowsToAHandedOnListenerNameItsHolder) {
    startAndRegister();
    for (bool sendIt : {false, true}) {
        SCOPED_TRACE(sendIt ? "sent with SCM_RIGHTS" : "inherited by a child");
        int toHolder[2];
        ASSERT_EQ(::pipe(toHolder), 0);
        HandedOnListener l = handOnListener(sendIt, toHolder);
        ::close(toHolder[0]);
        ASSERT_NE(l.port, 0);
        ASSERT_TRUE(connectFromPeer(network, l.port)) << std::strerror(errno);
        ASSERT_TRUE(receiver->waitForPorts({l.port}));
        auto flows = receiver->flows(l.port);
        ASSERT_EQ(flows.size(), 1u);
        EXPECT_EQ(flows[0].message.event.get<es::ESEvent_networkflow>()->direction, "inbound");
        EXPECT_EQ(flows[0].message.process.audit_token.pid, l.holder);
        ::close(toHolder[1]);
        if (sendIt) ::waitpid(l.holder, nullptr, 0);  // a child of ours; the inheritor is not
    }
}

// Executables deep in folders are reported with their whole path: one within the
// kernel's record, which outlives the process, and one too long for it, read while the
// process runs.
TEST_F(FlowspurEndToEnd, DeepExecutablesAreReportedWithTheirFullPath) {
    startAndRegister();
    struct Case {
        int depth;
        bool exits;  // at once after connecting; else it waits to be killed
    };
    for (const Case& c : {Case{70, true}, Case{600, false}}) {
        SCOPED_TRACE(c.depth);
        fs::path folder = dir.path() / std::to_string(c.depth);
        for (int i = 0; i < c.depth; ++i) folder /= "d";
        fs::create_directories(folder);
        fs::path program = folder / "burst";
        fs::copy_file("/bin/bash", program);
        fs::path fifo = dir.path() / ("wait" + std::to_string(c.depth));
        ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
        std::string script = "exec 3<>/dev/tcp/" + std::string(PrivateNetwork::kPeer) + "/" + std::to_string(port);
        if (!c.exits) script = "exec 4<>" + fifo.string() + " && " + script + " && read -r -u 4 line";
        pid_t bash = flowharness::spawn(program.string(), {"-c", script}, dir.path() / "bash.log");
        ASSERT_GT(bash, 0);
        auto flows = receiver->flowsOf(bash);
        if (!c.exits) ::kill(bash, SIGKILL);
        auto status = flowharness::waitForExit(bash, 10s);
        ASSERT_TRUE(status);
        if (c.exits) {
            EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0);
        }
        ASSERT_EQ(flows.size(), 1u);
        EXPECT_EQ(flows[0].message.process.executable.path, program.string());
    }
}

// A burst of short flows from several threads at once: every flow is either reported or
// counted in flowspur's log, and the flows of one thread are numbered in the order it
// made them.
TEST_F(FlowspurEndToEnd, EveryFlowOfABurstIsReportedOrCountedAndNumberedInOrder) {
    startAndRegister();
    constexpr int kEach = 5000, kThreads = 8;
    struct Burst {
        std::int64_t protocol;
        std::vector<flowharness::ShortFlow> flows;
    };
    Burst bursts[] = {{IPPROTO_TCP, flowharness::burst(SOCK_STREAM, kEach, kThreads, 30000)},
                      {IPPROTO_UDP, flowharness::burst(SOCK_DGRAM, kEach, kThreads, 30000)}};
    for (const Burst& b : bursts) {
        ASSERT_EQ(std::count_if(b.flows.begin(), b.flows.end(), [](const auto& f) { return f.port == 0; }), 0)
            << "every flow was made";
    }
    std::size_t reported = 0, counted = 0;
    // The counts of what went undescribed are written within 10 s.
    bool accounted = eventually(
        [&] {
            reported = 0;
            for (const Burst& b : bursts) {
                for (const auto& f : b.flows) reported += receiver->messageFor(f, b.protocol).has_value();
            }
            counted = flowharness::unreportedInLog(dir.path() / "flowspur.log");
            return reported + counted == 2 * kEach;
        },
        120s);
    EXPECT_TRUE(accounted) << reported << " flows reported and " << counted << " counted in the log, of " << 2 * kEach;
    for (const Burst& b : bursts) {
        for (int t = 0; t < kThreads; ++t) {
            std::int64_t last = -1;
            for (std::size_t i = std::size_t(t); i < b.flows.size(); i += kThreads) {
                auto m = receiver->messageFor(b.flows[i], b.protocol);
                if (!m) continue;
                EXPECT_GT(m->seq_num, last) << "protocol " << b.protocol << ", flow " << i;
                last = m->seq_num;
            }
        }
    }
}

// The number in flowspur's log lines on flows the kernel let through unread.
std::uint64_t unreadInLog(const fs::path& log) {
    std::ifstream in(log);
    std::uint64_t n = 0;
    const std::string marker = " let through by the kernel unread";
    for (std::string line; std::getline(in, line);) {
        auto at = line.find(marker);
        if (at == std::string::npos) continue;
        auto start = line.rfind(", ", at);
        if (start != std::string::npos) n += std::stoull(line.substr(start + 2, at - start - 2));
    }
    return n;
}

class FlowspurBurstPastItsBuffer : public FlowspurEndToEnd {
protected:
    // count UDP flows (one datagram each, then closed) from 8 threads while flowspur is
    // stopped (SIGSTOP), more than its queue's socket buffer may hold when count is large;
    // flowspur is left stopped. The kernel's number of the last packet it queued.
    std::uint32_t burstWhileStopped(int count) {
        EXPECT_EQ(::kill(flowspur, SIGSTOP), 0);
        int status = 0;
        EXPECT_EQ(::waitpid(flowspur, &status, WUNTRACED), flowspur);
        EXPECT_TRUE(WIFSTOPPED(status));
        constexpr int kThreads = 8;
        std::atomic<int> failed{0};
        std::vector<std::thread> threads;
        for (int t = 0; t < kThreads; ++t) {
            threads.emplace_back([&, t] {
                for (int i = t; i < count; i += kThreads) {
                    auto port = std::uint16_t(1 + i % 60000);
                    failed += flowharness::shortFlow(AF_INET, PrivateNetwork::kPeer, port, SOCK_DGRAM).port == 0;
                }
            });
        }
        for (auto& t : threads) t.join();
        EXPECT_EQ(failed.load(), 0);
        auto sequence = netext::kernelQueueSequence();
        EXPECT_TRUE(sequence) << "no line for the flow queue in /proc/net/netfilter/nfnetlink_queue";
        return sequence.value_or(0);
    }

    // Whether every flow the kernel queued is reported (a message, or a line of its own
    // for a flow without an owner) or counted in flowspur's log, waiting for it while
    // that may come; the figures go to the test's output.
    bool everyFlowAccounted(std::uint32_t queued, std::chrono::seconds limit) {
        std::size_t received = 0;
        std::uint64_t counted = 0;
        bool all = eventually(
            [&] {
                received = receiver->received();
                counted = flowharness::unreportedInLog(dir.path() / "flowspur.log");
                return received + counted == queued;
            },
            limit);
        std::cout << queued << " flows queued by the kernel: " << received << " messages, " << counted
                  << " counted in the log or skipped with a line (" << unreadInLog(dir.path() / "flowspur.log")
                  << " let through unread)\n";
        return all;
    }
};

// The flows that the kernel lets through because their news did not fit the queue's
// socket buffer are counted within the log line's interval, with no later packet to
// show the gap in the kernel's numbers.
TEST_F(FlowspurBurstPastItsBuffer, FlowsLetThroughUnreadAreCountedWithoutALaterPacket) {
    startAndRegister();
    std::uint32_t queued = burstWhileStopped(70000);
    ASSERT_EQ(::kill(flowspur, SIGCONT), 0);
    // 10 s for the line and the time to describe the rest; the limit is a hang guard.
    EXPECT_TRUE(everyFlowAccounted(queued, 300s));
    EXPECT_GT(unreadInLog(dir.path() / "flowspur.log"), 0u) << "the burst did not go past the buffer";
}

// Flows still in the queue's socket buffer, waiting or being described when flowspur
// stops are counted as it stops, as are those the kernel let through unread.
TEST_F(FlowspurBurstPastItsBuffer, FlowsLeftWhenItStopsAreCounted) {
    startAndRegister();
    std::uint32_t queued = burstWhileStopped(30000);
    ASSERT_EQ(::kill(flowspur, SIGTERM), 0);
    ASSERT_EQ(::kill(flowspur, SIGCONT), 0);
    const pid_t stopped = std::exchange(flowspur, -1);
    auto status = flowharness::waitForExit(stopped, 60s);
    if (!status) ::kill(stopped, SIGKILL), ::waitpid(stopped, nullptr, 0);
    ASSERT_TRUE(status && WIFEXITED(*status) && WEXITSTATUS(*status) == 0) << status.value_or(-1);
    EXPECT_TRUE(netext::runNft(kListTable)) << "its table went with it";
    // What it sent before it ended may still be on its way here.
    EXPECT_TRUE(everyFlowAccounted(queued, 60s));
}

// Neither a process name or executable that breaks the stat line nor an IPv6 socket on
// an IPv4 peer hides a flow.
TEST_F(FlowspurEndToEnd, ANameWithALineBreakAndAnIPv4MappedConnectionAreReported) {
    startAndRegister();
    int pipe[2];
    ASSERT_EQ(::pipe(pipe), 0);
    pid_t child = ::fork();
    if (child == 0) {
        ::prctl(PR_SET_NAME, "a\nb");
        std::uint16_t p = flowharness::connectAndClose(PrivateNetwork::kPeer, port);
        [[maybe_unused]] ssize_t n = ::write(pipe[1], &p, sizeof p);
        ::_exit(0);
    }
    std::uint16_t childPort = 0;
    ASSERT_EQ(::read(pipe[0], &childPort, sizeof childPort), ssize_t(sizeof childPort));
    ::waitpid(child, nullptr, 0);
    ASSERT_NE(childPort, 0);

    // An executable whose file name holds a line break (a copy of bash, which connects
    // through its /dev/tcp path).
    fs::path odd = dir.path() / "x\ny";
    fs::copy_file("/bin/bash", odd);
    std::string connect = "exec 3<>/dev/tcp/" + std::string(PrivateNetwork::kPeer) + "/" + std::to_string(port);
    pid_t bash = flowharness::spawn(odd.string(), {"-c", connect}, dir.path() / "bash.log");
    ASSERT_GT(bash, 0);
    auto bashStatus = flowharness::waitForExit(bash, 10s);
    ASSERT_TRUE(bashStatus && WIFEXITED(*bashStatus) && WEXITSTATUS(*bashStatus) == 0);
    auto bashFlows = receiver->flowsOf(bash);
    ASSERT_EQ(bashFlows.size(), 1u);
    EXPECT_EQ(bashFlows[0].message.process.executable.path, odd.string());

    std::uint16_t mapped = flowharness::connectAndClose(PrivateNetwork::kPeer, port, AF_INET6);
    ASSERT_NE(mapped, 0) << std::strerror(errno);
    ASSERT_TRUE(receiver->waitForPorts({childPort, mapped}));
    expectOneFlow(childPort, child, self);
    expectOneFlow(mapped, ::getpid(), self);
    // The family of the socket, an IPv6 one (30 in the message's numbering).
    EXPECT_EQ(es::rawValue(receiver->flows(mapped)[0].message.event.get<es::ESEvent_networkflow>()->flow_family), 30);
    ::close(pipe[0]);
    ::close(pipe[1]);
}

// A second flowspur stops at once and leaves the first one's filter alone.
TEST_F(FlowspurEndToEnd, ASecondFlowspurExitsAndTheFirstKeepsReporting) {
    startAndRegister();
    pid_t second = startFlowspur("second.log");
    ASSERT_GT(second, 0);
    auto status = flowharness::waitForExit(second, 10s);
    if (!status) ::kill(second, SIGKILL), ::waitpid(second, nullptr, 0);
    ASSERT_TRUE(status) << "the second flowspur keeps running";
    EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 1) << *status;
    std::ifstream log(dir.path() / "second.log");
    std::string text((std::istreambuf_iterator<char>(log)), std::istreambuf_iterator<char>());
    EXPECT_NE(text.find("another process listens on it"), std::string::npos) << text;

    EXPECT_FALSE(netext::runNft(kListTable)) << "the first one's table is still there";
    std::vector<std::uint16_t> later;
    for (int i = 0; i < 4; ++i) later.push_back(flowharness::connectAndClose(PrivateNetwork::kPeer, port));
    EXPECT_TRUE(receiver->waitForPorts(later)) << "the first flowspur stopped reporting";
}

// Its service socket, for raw clients.
sockaddr_un serviceAddress(const bundle::Bundle& extension) {
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    std::strcpy(a.sun_path, xpc::serviceSocketPath(flowspur::IPCConnection::machServiceName(extension)).c_str());
    return a;
}

// Whether a new application link is answered, soon: retried while the listener may still
// count connections of a storm that just ended against this user's limit.
bool registerAnswered(const bundle::Bundle& extension, const std::shared_ptr<flowharness::FlowReceiver>& receiver) {
    return eventually(
        [&] {
            auto app = newRegistration(extension, receiver);
            if (app && app->currentConnection()) app->currentConnection()->invalidate();
            return app != nullptr;
        },
        60s);
}

// Clients that send malformed frames and reconnect at once make flowspur drop and replace
// its application link over and over; no connection of the machine may wait on that.
TEST_F(FlowspurEndToEnd, AClientThatBreaksTheProtocolAndReconnectsStallsNoConnection) {
    startAndRegister();
    ProtocolBreakers breakers(flowspur::IPCConnection::machServiceName(*extension), 2);
    // Connections made meanwhile, each timed, until the malformed clients have broken in
    // a few hundred times. A packet goes on after 2 s at most, whatever flowspur does:
    // no connect may take longer.
    constexpr auto kLongestConnect = 2s;
    std::chrono::steady_clock::duration longest{};
    int connects = 0, failed = 0;
    const auto giveUp = std::chrono::steady_clock::now() + 120s;  // a hang guard
    while ((connects < 50 || breakers.rounds() <= 300) && std::chrono::steady_clock::now() < giveUp) {
        auto before = std::chrono::steady_clock::now();
        failed += flowharness::connectAndClose(PrivateNetwork::kPeer, port) == 0;
        longest = std::max(longest, std::chrono::steady_clock::now() - before);
        ++connects;
    }
    EXPECT_GT(breakers.stop(), 300) << "the malformed clients hardly ran";
    EXPECT_EQ(failed, 0);
    EXPECT_LE(longest, kLongestConnect) << "the slowest of " << connects << " connects took "
                                        << std::chrono::duration_cast<std::chrono::milliseconds>(longest).count()
                                        << " ms";
    EXPECT_TRUE(registerAnswered(*extension, receiver)) << "register: is no longer answered";
}

// A user the service does not serve, knocking as fast as it can, gets a line in the log
// once a minute, not one per knock.
TEST_F(FlowspurEndToEnd, AnUnprivilegedConnectFloodWritesABoundedNumberOfLogLines) {
    startAndRegister();
    ASSERT_EQ(::chmod(dir.path().c_str(), 0711), 0);  // so that user nobody reaches the socket
    const sockaddr_un service = serviceAddress(*extension);
    pid_t child = ::fork();
    if (child == 0) {
        if (::setgid(65534) != 0 || ::setuid(65534) != 0) ::_exit(2);
        int refused = 0;
        for (auto end = std::chrono::steady_clock::now() + 3s; std::chrono::steady_clock::now() < end;) {
            int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
            if (::connect(fd, reinterpret_cast<const sockaddr*>(&service), sizeof service) != 0) ::_exit(3);
            char c;
            if (::read(fd, &c, 1) == 0) ++refused;
            ::close(fd);
        }
        ::_exit(refused > 100 ? 0 : 4);
    }
    auto status = flowharness::waitForExit(child, 60s);
    ASSERT_TRUE(status && WIFEXITED(*status)) << "the flooding child did not end";
    ASSERT_EQ(WEXITSTATUS(*status), 0) << "2: no user nobody, 3: cannot connect, 4: hardly refused";
    EXPECT_TRUE(registerAnswered(*extension, receiver));
    EXPECT_EQ(linesContaining(dir.path() / "flowspur.log", "refusing connections"), 1u);
}

// A configuration of 200,000 nested arrays, which the user who starts flowspur may write,
// is refused with one line, and flowspur goes on and ends as it should.
TEST_F(FlowspurEndToEnd, ADeeplyNestedConfigurationIsRefusedWithOneLine) {
    const std::pair<const char*, std::string> cases[] = {
        {"XML", plisttest::deepXMLPropertyList(200000)},
        {"binary", plisttest::deepBinaryPropertyList(200000)},
    };
    const std::string refused = "filter configuration at " + configuration().string() + " is larger than";
    for (const auto& [what, bytes] : cases) {
        std::ofstream(configuration(), std::ios::binary | std::ios::trunc) << bytes;
        const fs::path log = dir.path() / (std::string(what) + ".log");
        pid_t pid = startFlowspur(log.filename());
        ASSERT_GT(pid, 0);
        EXPECT_TRUE(eventually([&] { return linesContaining(log, refused) > 0; })) << what;
        EXPECT_EQ(::waitpid(pid, nullptr, WNOHANG), 0) << what << ": flowspur ended";
        ::kill(pid, SIGTERM);
        auto status = flowharness::waitForExit(pid, 10s);
        if (!status) ::kill(pid, SIGKILL), ::waitpid(pid, nullptr, 0);
        EXPECT_TRUE(status && WIFEXITED(*status) && WEXITSTATUS(*status) == 0) << what << ": " << status.value_or(-1);
        EXPECT_EQ(linesContaining(log, refused), 1u) << what;
    }
}

}  // namespace
