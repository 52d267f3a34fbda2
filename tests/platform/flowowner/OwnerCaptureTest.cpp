// The kernel program's records, read after the process that made each flow is gone.

#include "OwnerCapture.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sched.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <functional>

#include "AuditToken.h"
#include "LoopbackNetwork.h"
#include "ProcInfo.h"

namespace {

using flowowner::FlowEnds;
using flowowner::OwnerCapture;

std::array<std::uint8_t, 16> v4(const char* text) {
    std::array<std::uint8_t, 16> a{};
    a[10] = a[11] = 0xFF;
    ::inet_pton(AF_INET, text, a.data() + 12);
    return a;
}

std::array<std::uint8_t, 16> v6(const char* text) {
    std::array<std::uint8_t, 16> a{};
    ::inet_pton(AF_INET6, text, a.data());
    return a;
}

struct Made {
    pid_t pid = 0;
    FlowEnds ends;
};

// Runs make in a child that exits at once; make fills in the ends and returns the
// socket it used (still open, so that its local end can be read).
Made inChild(const std::function<FlowEnds()>& make) {
    int pipe[2];
    if (::pipe(pipe) != 0) return {};
    pid_t child = ::fork();
    if (child == 0) {
        FlowEnds ends = make();
        [[maybe_unused]] ssize_t n = ::write(pipe[1], &ends, sizeof ends);
        ::_exit(0);
    }
    Made made{child, {}};
    if (::read(pipe[0], &made.ends, sizeof made.ends) != ssize_t(sizeof made.ends)) made.pid = 0;
    ::waitpid(child, nullptr, 0);
    ::close(pipe[0]);
    ::close(pipe[1]);
    return made;
}

std::uint16_t portOf(int fd) {
    sockaddr_in6 a{};
    socklen_t len = sizeof a;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    return ntohs(a.sin6_port);
}

class OwnerCaptureTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (::unshare(CLONE_NEWNET) != 0 || !looptest::loopbackUp()) {
            GTEST_SKIP() << "this machine allows no private network namespace: " << std::strerror(errno);
        }
        std::string why;
        capture = OwnerCapture::load(why);
        if (!capture) GTEST_SKIP() << "the kernel refuses the owner-capture program here: " << why;
        listener = ::socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in6 any{};
        any.sin6_family = AF_INET6;
        ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&any), sizeof any), 0);
        ASSERT_EQ(::listen(listener, 64), 0);
        port = portOf(listener);
    }
    void TearDown() override {
        if (listener >= 0) ::close(listener);
    }

    std::unique_ptr<OwnerCapture> capture;
    int listener = -1;
    std::uint16_t port = 0;
    const std::string self = std::filesystem::read_symlink("/proc/self/exe").string();
};

// Flows of processes that are gone by the time they are looked up.
TEST_F(OwnerCaptureTest, RecordsOutliveTheSocketAndTheProcess) {
    struct Case {
        const char* name;
        int family, type;
        bool nonBlocking;  // for TCP; for UDP: connected first
        const char* peer;  // as the socket is given it
        std::array<std::uint8_t, 16> key;
    };
    const Case cases[] = {
        {"blocking TCP", AF_INET, SOCK_STREAM, false, "127.0.0.1", v4("127.0.0.1")},
        {"non-blocking TCP", AF_INET, SOCK_STREAM, true, "127.0.0.1", v4("127.0.0.1")},
        {"TCP over IPv6", AF_INET6, SOCK_STREAM, true, "::1", v6("::1")},
        {"TCP to an IPv4-mapped peer", AF_INET6, SOCK_STREAM, true, "::ffff:127.0.0.1", v4("127.0.0.1")},
        {"UDP", AF_INET, SOCK_DGRAM, false, "127.0.0.1", v4("127.0.0.1")},
        {"UDP over IPv6", AF_INET6, SOCK_DGRAM, false, "::1", v6("::1")},
        {"UDP to an IPv4-mapped peer", AF_INET6, SOCK_DGRAM, false, "::ffff:127.0.0.1", v4("127.0.0.1")},
        {"connected UDP", AF_INET, SOCK_DGRAM, true, "127.0.0.1", v4("127.0.0.1")},
        {"connected UDP over IPv6", AF_INET6, SOCK_DGRAM, true, "::1", v6("::1")},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::uint16_t p = port;
        Made made = inChild([&] {
            FlowEnds ends;
            ends.protocol = c.type == SOCK_STREAM ? IPPROTO_TCP : IPPROTO_UDP;
            ends.remote = c.key;
            ends.remotePort = p;
            bool tcp = c.type == SOCK_STREAM;
            int fd = ::socket(c.family, c.type | SOCK_CLOEXEC | (tcp && c.nonBlocking ? SOCK_NONBLOCK : 0), 0);
            sockaddr_storage to{};
            socklen_t size = 0;
            if (c.family == AF_INET) {
                auto* a = reinterpret_cast<sockaddr_in*>(&to);
                a->sin_family = AF_INET;
                a->sin_port = htons(p);
                ::inet_pton(AF_INET, c.peer, &a->sin_addr);
                size = sizeof *a;
            } else {
                auto* a = reinterpret_cast<sockaddr_in6*>(&to);
                a->sin6_family = AF_INET6;
                a->sin6_port = htons(p);
                ::inet_pton(AF_INET6, c.peer, &a->sin6_addr);
                size = sizeof *a;
            }
            if (tcp || c.nonBlocking) ::connect(fd, reinterpret_cast<sockaddr*>(&to), size);
            if (!tcp && c.nonBlocking) ::send(fd, "x", 1, 0);
            else if (!tcp) ::sendto(fd, "x", 1, 0, reinterpret_cast<sockaddr*>(&to), size);
            ends.localPort = portOf(fd);
            // A connected socket has its local address; an unbound UDP one has none.
            if (tcp || c.nonBlocking) ends.local = c.key;
            ::close(fd);
            return ends;
        });
        ASSERT_GT(made.pid, 0);
        auto owner = capture->find(made.ends);
        ASSERT_TRUE(owner) << "port " << made.ends.localPort;
        EXPECT_EQ(owner->pid, made.pid);
        EXPECT_EQ(owner->ppid, ::getpid());
        EXPECT_EQ(owner->uid, ::getuid());
        EXPECT_EQ(owner->euid, ::geteuid());
        EXPECT_EQ(owner->path, self);
        EXPECT_EQ(owner->family, c.family);
        auto mine = proc::proc_pidbsdinfo(::getpid());
        ASSERT_TRUE(mine);
        EXPECT_GE(owner->startTicks, mine->startTicks);
    }
}

// Inbound flows belong to the listening TCP socket or the bound UDP socket; the
// record has no remote end, and goes with the socket (here with its process), since no
// flow can reach a socket that is gone.
TEST_F(OwnerCaptureTest, ListenersAndBoundSocketsAreRecordedWhileTheyLast) {
    int ends[2], go[2];
    ASSERT_EQ(::pipe(ends), 0);
    ASSERT_EQ(::pipe(go), 0);
    pid_t child = ::fork();
    if (child == 0) {
        ::close(go[1]);
        std::uint16_t ports[2];
        int tcp = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        ::listen(tcp, 4);  // binds a port of the kernel's choice, on the wildcard address
        ports[0] = portOf(tcp);
        int udp = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_in a = looptest::loopback(0);
        ::bind(udp, reinterpret_cast<sockaddr*>(&a), sizeof a);
        ports[1] = portOf(udp);
        [[maybe_unused]] ssize_t n = ::write(ends[1], ports, sizeof ports);
        char c;
        n = ::read(go[0], &c, 1);  // until the test lets it go
        ::_exit(0);
    }
    ::close(go[0]);
    std::uint16_t ports[2] = {};
    ASSERT_EQ(::read(ends[0], ports, sizeof ports), ssize_t(sizeof ports));
    FlowEnds tcp;
    tcp.protocol = IPPROTO_TCP;
    tcp.localPort = ports[0];
    FlowEnds udp;
    udp.protocol = IPPROTO_UDP;
    udp.local = v4("127.0.0.1");
    udp.localPort = ports[1];
    for (const FlowEnds& ends : {tcp, udp}) {
        auto owner = capture->find(ends);
        ASSERT_TRUE(owner) << "protocol " << ends.protocol;
        EXPECT_EQ(owner->pid, child);
        EXPECT_EQ(owner->path, self);
    }
    ::close(go[1]);
    ::waitpid(child, nullptr, 0);
    ::close(ends[0]);
    ::close(ends[1]);
    for (const FlowEnds& ends : {tcp, udp}) EXPECT_FALSE(capture->find(ends)) << "protocol " << ends.protocol;
}

// A listener shut down but still open is reached by no flow: its record goes at once,
// and comes back when it listens again (on a new port: it was bound to port 0).
TEST_F(OwnerCaptureTest, AListenerThatStopsListeningLosesItsRecord) {
    FlowEnds ends;
    ends.protocol = IPPROTO_TCP;
    ends.localPort = port;
    ASSERT_TRUE(capture->find(ends));
    ASSERT_EQ(::shutdown(listener, SHUT_RDWR), 0);
    EXPECT_FALSE(capture->find(ends));
    ASSERT_EQ(::listen(listener, 64), 0);
    ends.localPort = portOf(listener);
    auto owner = capture->find(ends);
    ASSERT_TRUE(owner);
    EXPECT_EQ(owner->pid, ::getpid());
}

}  // namespace
