#include "SocketOwner.h"

#include <gtest/gtest.h>

#include "LoopbackNetwork.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sched.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <utility>

#include "AuditToken.h"
#include "FilterHost.h"

namespace {

using looptest::loopback;
using looptest::loopbackUp;


// Loopback sockets of this process.
struct Fd {
    explicit Fd(int f) : fd(f) {}
    Fd(Fd&& o) noexcept : fd(std::exchange(o.fd, -1)) {}
    ~Fd() {
        if (fd >= 0) ::close(fd);
    }
    std::uint16_t port() const { return looptest::localPort(fd); }
    int fd;
};

// A TCP socket listening on 127.0.0.1; its port is 0 when that failed.
Fd loopbackListener() {
    Fd listener(::socket(AF_INET, SOCK_STREAM, 0));
    sockaddr_in any = loopback(0);
    if (::bind(listener.fd, reinterpret_cast<sockaddr*>(&any), sizeof any) != 0 || ::listen(listener.fd, 1) != 0) {
        ::close(std::exchange(listener.fd, ::socket(AF_INET, SOCK_STREAM, 0)));
    }
    return listener;
}

TEST(SocketOwner, FindsThisProcessForATCPConnectionAndAnUnconnectedUDPSocket) {
    netext::SocketIndex index;
    Fd listener = loopbackListener();
    ASSERT_NE(listener.port(), 0);
    Fd client(::socket(AF_INET, SOCK_STREAM, 0));
    sockaddr_in to = loopback(listener.port());
    ASSERT_EQ(::connect(client.fd, reinterpret_cast<sockaddr*>(&to), sizeof to), 0);
    Fd accepted(::accept(listener.fd, nullptr, nullptr));

    // Sockets that a process known before opened since are not looked for on the
    // lookup's path: the miss starts a rescan in the background, which a later lookup
    // finds.
    std::optional<netext::SocketOwner> tcp;
    for (auto end = std::chrono::steady_clock::now() + std::chrono::seconds(30);
         !tcp && std::chrono::steady_clock::now() < end; ::usleep(10000)) {
        tcp = netext::findSocketOwner(AF_INET, IPPROTO_TCP, {"127.0.0.1", client.port()},
                                      {"127.0.0.1", listener.port()}, index);
    }
    ASSERT_TRUE(tcp);
    EXPECT_EQ(tcp->pid, ::getpid());
    EXPECT_EQ(tcp->uid, ::geteuid());

    // A socket made after the index was filled by a process whose socket was just
    // found: the miss looks at that process again at once.
    Fd sender(::socket(AF_INET, SOCK_DGRAM, 0));
    sockaddr_in dgram = loopback(9);
    ASSERT_EQ(::sendto(sender.fd, "x", 1, 0, reinterpret_cast<sockaddr*>(&dgram), sizeof dgram), 1);
    auto udp = netext::findSocketOwner(AF_INET, IPPROTO_UDP, {"127.0.0.1", sender.port()}, {"127.0.0.1", 9}, index);
    ASSERT_TRUE(udp);
    EXPECT_EQ(udp->pid, ::getpid());

    EXPECT_FALSE(netext::findSocketOwner(AF_INET, IPPROTO_ICMP, {"127.0.0.1", 0}, {"127.0.0.1", 0}, index));
    EXPECT_FALSE(netext::findSocketOwner(AF_INET, IPPROTO_TCP, {"127.0.0.1", 1}, {"127.0.0.1", 1}, index));
}

// An IPv6 socket that talks to an IPv4 peer sends IPv4 packets, but the kernel lists
// it among IPv6 sockets under IPv4-mapped addresses.
TEST(SocketOwner, IPv4FlowOfAnIPv6SocketWithMappedAddresses) {
    Fd listener = loopbackListener();
    ASSERT_NE(listener.port(), 0);
    Fd client(::socket(AF_INET6, SOCK_STREAM, 0));
    sockaddr_in6 to{};
    to.sin6_family = AF_INET6;
    to.sin6_port = htons(listener.port());
    ASSERT_EQ(::inet_pton(AF_INET6, "::ffff:127.0.0.1", &to.sin6_addr), 1);
    ASSERT_EQ(::connect(client.fd, reinterpret_cast<sockaddr*>(&to), sizeof to), 0);
    sockaddr_in6 self{};
    socklen_t len = sizeof self;
    ::getsockname(client.fd, reinterpret_cast<sockaddr*>(&self), &len);

    netext::SocketIndex index;
    auto owner = netext::findSocketOwner(AF_INET, IPPROTO_TCP, {"127.0.0.1", ntohs(self.sin6_port)},
                                         {"127.0.0.1", listener.port()}, index);
    ASSERT_TRUE(owner);
    EXPECT_EQ(owner->pid, ::getpid());
    EXPECT_EQ(owner->family, AF_INET6);
    // Its flow carries the socket's family (the message's IPv6 number), not the packet's.
    netext::QueuedPacket out{true, AF_INET, IPPROTO_TCP, "127.0.0.1", "127.0.0.1", ntohs(self.sin6_port),
                             listener.port()};
    netext::FlowOwners owners;
    owners.start(false);
    EXPECT_EQ(netext::FilterHost::makeFlow(out, owners).socketFamily, 30);
}

// Through sockets and /proc only, as where the kernel program cannot be loaded.
TEST(SocketOwner, FlowOfAQueuedPacket) {
    Fd sender(::socket(AF_INET, SOCK_DGRAM, 0));
    sockaddr_in dgram = loopback(9);
    ASSERT_EQ(::sendto(sender.fd, "x", 1, 0, reinterpret_cast<sockaddr*>(&dgram), sizeof dgram), 1);
    netext::FlowOwners owners;
    EXPECT_EQ(owners.start(false), "not asked for");
    EXPECT_FALSE(owners.hasKernelRecords());

    netext::QueuedPacket out{true, AF_INET, IPPROTO_UDP, "127.0.0.1", "127.0.0.1", sender.port(), 9};
    netext::NEFilterSocketFlow flow = netext::FilterHost::makeFlow(out, owners);
    EXPECT_EQ(flow.direction, netext::NETrafficDirection::outbound);
    EXPECT_EQ(flow.localEndpoint->port, std::to_string(sender.port()));
    EXPECT_EQ(flow.remoteEndpoint->port, "9");
    EXPECT_EQ(flow.socketType, SOCK_DGRAM);
    EXPECT_EQ(flow.socketFamily, AF_INET);
    ASSERT_TRUE(flow.sourceAppAuditToken);
    EXPECT_EQ(flow.sourceAppAuditToken, flow.sourceProcessAuditToken);
    auto token = proc::tokenFromBytes(*flow.sourceAppAuditToken);
    EXPECT_EQ(proc::audit_token_to_pid(*token), ::getpid());

    // Queued on the input hook: inbound, ends swapped, and here no owner.
    netext::QueuedPacket in{false, AF_INET, IPPROTO_TCP, "192.0.2.7", "127.0.0.1", 5555, 1};
    netext::NEFilterSocketFlow inbound = netext::FilterHost::makeFlow(in, owners);
    EXPECT_EQ(inbound.direction, netext::NETrafficDirection::inbound);
    EXPECT_EQ(inbound.remoteEndpoint->hostname, "192.0.2.7");
    EXPECT_EQ(inbound.localEndpoint->port, "1");
    EXPECT_FALSE(inbound.sourceAppAuditToken);
    EXPECT_NE(inbound.identifier.uuidString(), flow.identifier.uuidString());
    EXPECT_EQ(netext::FilterHost::makeFlow({true, AF_INET6, IPPROTO_TCP, "::2", "::1", 1, 2}, owners).socketFamily, 30);
}

// With the kernel's records, the owner of a flow is known after it has exited.
TEST(SocketOwner, KernelRecordsOutliveTheProcess) {
    if (::unshare(CLONE_NEWNET) != 0 || !loopbackUp()) GTEST_SKIP() << "no private network namespace here";
    netext::FlowOwners owners;
    if (auto why = owners.start()) GTEST_SKIP() << "the kernel refuses the owner-capture program here: " << *why;
    ASSERT_TRUE(owners.hasKernelRecords());
    int pipe[2];
    ASSERT_EQ(::pipe(pipe), 0);
    pid_t child = ::fork();
    if (child == 0) {
        Fd sender(::socket(AF_INET, SOCK_DGRAM, 0));
        sockaddr_in dgram = loopback(9);
        ::sendto(sender.fd, "x", 1, 0, reinterpret_cast<sockaddr*>(&dgram), sizeof dgram);
        std::uint16_t port = sender.port();
        [[maybe_unused]] ssize_t n = ::write(pipe[1], &port, sizeof port);
        ::_exit(0);
    }
    std::uint16_t port = 0;
    ASSERT_EQ(::read(pipe[0], &port, sizeof port), ssize_t(sizeof port));
    ::waitpid(child, nullptr, 0);
    ::close(pipe[0]);
    ::close(pipe[1]);

    netext::NEFilterSocketFlow flow =
        netext::FilterHost::makeFlow({true, AF_INET, IPPROTO_UDP, "127.0.0.1", "127.0.0.1", port, 9}, owners);
    ASSERT_TRUE(flow.sourceAppAuditToken);
    auto token = proc::tokenFromBytes(*flow.sourceAppAuditToken);
    EXPECT_EQ(proc::audit_token_to_pid(*token), child);
    EXPECT_EQ(proc::audit_token_to_euid(*token), ::geteuid());
    ASSERT_TRUE(flow.sourceProcessRecord);
    EXPECT_EQ(flow.sourceProcessRecord->path, std::filesystem::read_symlink("/proc/self/exe").string());
    EXPECT_EQ(flow.sourceProcessRecord->info.pbi_ppid, std::uint32_t(::getpid()));
    EXPECT_EQ(std::uint32_t(flow.sourceProcessRecord->info.startTicks), std::uint32_t(proc::audit_token_to_pidversion(*token)));
}

}  // namespace
