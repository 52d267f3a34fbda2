// Runs the real flowspur in a private network namespace, registers with it through
// IPCConnection, makes a TCP connection and sends a UDP datagram on loopback, and
// checks the flow messages that arrive.

#include <gtest/gtest.h>

#include "LoopbackNetwork.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sched.h>
#include <signal.h>
#include <spawn.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <future>
#include <iostream>

#include "ESMessage.h"
#include "ExtensionTestSupport.h"
#include "FilterManager.h"
#include "FilterRules.h"

extern char** environ;

namespace {

using looptest::loopback;
using looptest::loopbackUp;


using namespace testsupport;
namespace fs = std::filesystem;

// A socket bound to 127.0.0.1 on a free port.
struct Socket {
    explicit Socket(int type) : fd(::socket(AF_INET, type | SOCK_CLOEXEC, 0)) {}
    ~Socket() {
        if (fd >= 0) ::close(fd);
    }
    Socket(Socket&& o) noexcept : fd(std::exchange(o.fd, -1)) {}
    bool bindLoopback() {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        return ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    }
    std::uint16_t port() const { return looptest::localPort(fd); }
    int fd;
};

// One round of traffic: a TCP connection and a UDP datagram, kept open until the
// round is dropped.
struct Traffic {
    Socket listener{SOCK_STREAM}, client{SOCK_STREAM}, accepted{-1};
    Socket receiver{SOCK_DGRAM}, sender{SOCK_DGRAM};

    bool make() {
        if (!listener.bindLoopback() || ::listen(listener.fd, 4) != 0) return false;
        sockaddr_in to = loopback(listener.port());
        if (::connect(client.fd, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0) return false;
        accepted.fd = ::accept4(listener.fd, nullptr, nullptr, SOCK_CLOEXEC);
        if (!receiver.bindLoopback()) return false;
        sockaddr_in dgram = loopback(receiver.port());
        return ::sendto(sender.fd, "x", 1, 0, reinterpret_cast<sockaddr*>(&dgram), sizeof dgram) == 1;
    }
};

class FlowspurEndToEnd : public ::testing::Test {
protected:
    void SetUp() override {
        if (::unshare(CLONE_NEWNET) != 0) {
            GTEST_SKIP() << "this machine allows no private network namespace (unshare: " << std::strerror(errno)
                         << "), so flowspur cannot be run without touching the machine's own network";
        }
        ASSERT_TRUE(loopbackUp()) << std::strerror(errno);
        const char* build = std::getenv("QM_BUILD_DIR");
        ASSERT_TRUE(build) << "QM_BUILD_DIR names the build folder (set by CTest)";
        auto b = bundle::Bundle::open(fs::path(build) / "Quillmark/Contents/Library/SystemExtensions/Flowspur.systemextension");
        ASSERT_TRUE(b && b->executablePath() && fs::exists(*b->executablePath())) << "flowspur is not built";
        extension = *b;
        ::setenv("QUILLMARK_XPC_DIR", (dir.path() / "xpc").c_str(), 1);
        ::setenv("QUILLMARK_FILTER_CONFIG", (dir.path() / "filter.plist").c_str(), 1);
        ::setenv("OSLOG_LEVEL", "debug", 1);
    }

    void TearDown() override {
        if (flowspur > 0) {
            ::kill(flowspur, SIGTERM);
            int status = 0;
            bool ended = eventually([&] { return ::waitpid(flowspur, &status, WNOHANG) == flowspur; });
            if (!ended) {
                ::kill(flowspur, SIGKILL);
                ::waitpid(flowspur, &status, 0);
            }
            EXPECT_TRUE(ended) << "flowspur did not end on SIGTERM";
            EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
            // Its table went with it.
            EXPECT_TRUE(netext::runNft("list table " + std::string(netext::kNftTable) + "\n"));
            netext::runNft(netext::nftRemovalScript());
        }
        if (HasFailure()) {
            std::ifstream log(dir.path() / "flowspur.log");
            std::cerr << "flowspur's log:\n" << log.rdbuf();
        }
    }

    void enableFilter(bool enabled = true) {
        netext::NEFilterManager manager(dir.path() / "filter.plist");
        manager.setProviderConfiguration(netext::NEFilterProviderConfiguration{true, false});
        manager.setLocalizedDescription("Quillmark");
        manager.setEnabled(enabled);
        std::promise<std::optional<netext::Error>> saved;
        manager.saveToPreferences([&](std::optional<netext::Error> e) { saved.set_value(e); });
        auto error = saved.get_future().get();
        ASSERT_FALSE(error) << error->localizedDescription;
    }

    void startFlowspur() {
        std::string exe = extension->executablePath()->string();
        std::string log = (dir.path() / "flowspur.log").string();
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 2, log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        char* argv[] = {exe.data(), nullptr};
        int rc = ::posix_spawn(&flowspur, exe.c_str(), &actions, nullptr, argv, environ);
        posix_spawn_file_actions_destroy(&actions);
        ASSERT_EQ(rc, 0) << std::strerror(rc);
    }

    TempDir dir;
    std::optional<bundle::Bundle> extension;
    pid_t flowspur = -1;
};

// The received messages that describe a flow with these local and remote ports.
std::optional<es::ESMessage> findFlow(Receiver& receiver, std::uint16_t local, std::uint16_t remote) {
    for (const std::string& text : receiver.texts()) {
        auto m = es::decodeMessage(text);
        if (!m) continue;
        const auto* flow = m->event.get<es::ESEvent_networkflow>();
        if (flow && flow->local_port == std::to_string(local) && flow->remote_port == std::to_string(remote)) {
            return m.value();
        }
    }
    return std::nullopt;
}

TEST_F(FlowspurEndToEnd, LoopbackTCPAndUDPFlowsReachARegisteredClient) {
    enableFilter();
    startFlowspur();

    // Register as the application does, retrying while flowspur starts up.
    auto app = std::make_shared<flowspur::IPCConnection>();
    auto receiver = std::make_shared<Receiver>();
    bool registered = eventually([&] {
        Outcome outcome;
        app->registerWithExtension(*extension, receiver, outcome.handler());
        auto answers = outcome.waitForCount(1);
        return !answers.empty() && answers[0];
    });
    ASSERT_TRUE(registered) << "flowspur never answered register:";
    ASSERT_TRUE(eventually([] { return !netext::runNft("list table " + std::string(netext::kNftTable) + "\n"); }))
        << "flowspur never installed its table";

    // The filter subscribes to connection news just after installing its table: a
    // round of traffic made in between goes unseen, so rounds repeat until one is seen.
    std::optional<es::ESMessage> tcp, udp;
    std::vector<Traffic> rounds;
    for (int round = 0; round < 5 && !(tcp && udp); ++round) {
        Traffic& t = rounds.emplace_back();
        ASSERT_TRUE(t.make()) << std::strerror(errno);
        eventually([&] {
            tcp = findFlow(*receiver, t.client.port(), t.listener.port());
            udp = findFlow(*receiver, t.sender.port(), t.receiver.port());
            return tcp && udp;
        }, 3s);
    }
    ASSERT_TRUE(tcp) << "no flow message for the TCP connection";
    ASSERT_TRUE(udp) << "no flow message for the UDP datagram";

    const std::string exe = fs::read_symlink("/proc/self/exe").string();
    const std::pair<const es::ESMessage*, std::int64_t> expected[] = {{&*tcp, IPPROTO_TCP}, {&*udp, IPPROTO_UDP}};
    for (const auto& [m, protocol] : expected) {
        const auto* flow = m->event.get<es::ESEvent_networkflow>();
        ASSERT_TRUE(flow);
        EXPECT_EQ(es::rawValue(flow->flow_protocol), protocol);
        EXPECT_EQ(es::rawValue(flow->flow_family), AF_INET);
        EXPECT_EQ(es::rawValue(flow->flow_type), protocol == IPPROTO_TCP ? SOCK_STREAM : SOCK_DGRAM);
        EXPECT_EQ(flow->local_address, "127.0.0.1");
        EXPECT_EQ(flow->remote_address, "127.0.0.1");
        EXPECT_EQ(flow->direction, "outbound");
        EXPECT_EQ(es::rawValue(m->event_type), 90210);
        EXPECT_EQ(m->process.audit_token.pid, ::getpid());
        EXPECT_EQ(m->process.executable.path, exe);
        EXPECT_EQ(m->process.ppid, ::getppid());
        EXPECT_EQ(flow->instigator.audit_token.pid, ::getpid());
        EXPECT_EQ(flow->uuid.size(), 36u);
    }
    EXPECT_NE(tcp->event.get<es::ESEvent_networkflow>()->uuid, udp->event.get<es::ESEvent_networkflow>()->uuid);
    EXPECT_NE(tcp->seq_num, udp->seq_num);

    // Disabling the configuration stops the filter and removes its table; enabling it
    // again brings both back.
    const std::string listTable = "list table " + std::string(netext::kNftTable) + "\n";
    enableFilter(false);
    EXPECT_TRUE(eventually([&] { return netext::runNft(listTable).has_value(); })) << "table still there";
    enableFilter(true);
    EXPECT_TRUE(eventually([&] { return !netext::runNft(listTable); })) << "table not back";
}

}  // namespace
