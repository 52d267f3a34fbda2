#include "FlowQueue.h"

#include <gtest/gtest.h>

#include "LoopbackNetwork.h"

#include <netinet/in.h>
#include <sched.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <vector>

#include "OSLog.h"

#include "Nft.h"

namespace {

using namespace std::chrono_literals;
using Bytes = std::string;

Bytes ipv4(std::uint8_t protocol, std::uint16_t fragment = 0, std::size_t options = 0) {
    Bytes p(20 + options, '\0');
    p[0] = char(0x40 | ((20 + options) / 4));
    p[6] = char(fragment >> 8);
    p[7] = char(fragment & 0xFF);
    p[9] = char(protocol);
    const char src[] = {10, 0, 0, 1}, dst[] = {10, 0, 0, 2};
    p.replace(12, 4, src, 4);
    p.replace(16, 4, dst, 4);
    return p + Bytes("\x30\x39\x00\x50", 4);  // ports 12345 -> 80
}

Bytes ipv6(std::uint8_t next, Bytes extensions = {}) {
    Bytes p(40, '\0');
    p[0] = 0x60;
    p[6] = char(next);
    p[23] = 1;  // ::1
    p[39] = 2;  // ::2
    return p + extensions + Bytes("\x00\x35\x04\xD2", 4);  // ports 53 -> 1234
}

TEST(FlowQueue, PacketHeaders) {
    Bytes hopByHop("\x11\x00\0\0\0\0\0\0", 8);  // next: UDP, 8 bytes
    struct Case {
        const char* what;
        Bytes packet;
        std::optional<netext::QueuedPacket> expected;
    };
    const Case cases[] = {
        {"IPv4 TCP", ipv4(IPPROTO_TCP), netext::QueuedPacket{true, AF_INET, IPPROTO_TCP, "10.0.0.1", "10.0.0.2", 12345, 80}},
        {"IPv4 with options", ipv4(IPPROTO_UDP, 0, 8),
         netext::QueuedPacket{true, AF_INET, IPPROTO_UDP, "10.0.0.1", "10.0.0.2", 12345, 80}},
        {"a later IPv4 fragment has no ports", ipv4(IPPROTO_UDP, 0x0010),
         netext::QueuedPacket{true, AF_INET, IPPROTO_UDP, "10.0.0.1", "10.0.0.2", 0, 0}},
        {"ICMP has no ports", ipv4(IPPROTO_ICMP), netext::QueuedPacket{true, AF_INET, IPPROTO_ICMP, "10.0.0.1", "10.0.0.2", 0, 0}},
        {"IPv6 UDP after a hop-by-hop header", ipv6(0, hopByHop),
         netext::QueuedPacket{true, AF_INET6, IPPROTO_UDP, "::1", "::2", 53, 1234}},
        {"IPv6 TCP", ipv6(IPPROTO_TCP), netext::QueuedPacket{true, AF_INET6, IPPROTO_TCP, "::1", "::2", 53, 1234}},
        {"cut short", ipv4(IPPROTO_TCP).substr(0, 19), std::nullopt},
        {"header length past the end", Bytes("\x4F") + Bytes(30, '\0'), std::nullopt},
        {"another version", Bytes("\x50") + Bytes(40, '\0'), std::nullopt},
    };
    for (const Case& c : cases) {
        auto got = netext::parsePacket(c.packet, true);
        ASSERT_EQ(got.has_value(), c.expected.has_value()) << c.what;
        if (!got) continue;
        EXPECT_EQ(got->family, c.expected->family) << c.what;
        EXPECT_EQ(got->protocol, c.expected->protocol) << c.what;
        EXPECT_EQ(got->sourceAddress, c.expected->sourceAddress) << c.what;
        EXPECT_EQ(got->destinationAddress, c.expected->destinationAddress) << c.what;
        EXPECT_EQ(got->sourcePort, c.expected->sourcePort) << c.what;
        EXPECT_EQ(got->destinationPort, c.expected->destinationPort) << c.what;
    }
}

// In a private network namespace: the table holds new connections for the queue, and
// lets them pass when nobody listens on it.
TEST(FlowQueue, TableQueuesNewConnectionsAndBypassesWithoutAListener) {
    if (::unshare(CLONE_NEWNET) != 0) {
        GTEST_SKIP() << "this machine allows no private network namespace (unshare: " << std::strerror(errno) << ")";
    }
    ASSERT_TRUE(looptest::loopbackUp());
    ASSERT_FALSE(netext::removeFlowTable()) << "removing an absent table is no error";
    ASSERT_FALSE(netext::installFlowTable());
    ASSERT_FALSE(netext::installFlowTable()) << "installing replaces";
    EXPECT_FALSE(netext::runNft("list table " + std::string(netext::kNftTable) + "\n"));

    int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in any = looptest::loopback(0);
    ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&any), sizeof any), 0);
    ASSERT_EQ(::listen(listener, 8), 0);
    sockaddr_in to = looptest::loopback(looptest::localPort(listener));
    auto connectOnce = [&] {
        int c = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        bool ok = ::connect(c, reinterpret_cast<sockaddr*>(&to), sizeof to) == 0;
        std::uint16_t port = looptest::localPort(c);
        ::close(c);
        return ok ? port : 0;
    };
    EXPECT_NE(connectOnce(), 0) << "no listener on the queue: bypassed";

    std::atomic<int> seen{0};
    std::atomic<std::uint16_t> lastPort{0};
    netext::FlowQueue queue;
    ASSERT_FALSE(queue.start([&](const netext::QueuedPacket& p) -> netext::FlowQueue::Deliver {
        if (p.outbound && p.protocol == IPPROTO_TCP) lastPort = p.sourcePort;
        ++seen;
        return {};
    }));
    netext::FlowQueue second;
    EXPECT_TRUE(second.start([](const netext::QueuedPacket&) { return netext::FlowQueue::Deliver{}; }))
        << "one listener per queue";
    std::uint16_t port = connectOnce();
    EXPECT_NE(port, 0);
    EXPECT_EQ(seen.load(), 1) << "one packet per loopback connection: the inbound copy is not queued";
    EXPECT_EQ(lastPort.load(), port);
    queue.stop();
    EXPECT_NE(connectOnce(), 0);
    EXPECT_EQ(seen.load(), 1);
    EXPECT_FALSE(netext::removeFlowTable());
    EXPECT_TRUE(netext::runNft("list table " + std::string(netext::kNftTable) + "\n"));
    ::close(listener);
}

// Packets are described on several threads at once, and their Delivers still run in the
// order the packets came: whichever description begins first waits until the other has
// begun, and a Deliver waits for those of the packets before it.
TEST(FlowQueue, DescriptionsRunAtOnceAndDeliversInArrivalOrder) {
    if (::unshare(CLONE_NEWNET) != 0) {
        GTEST_SKIP() << "this machine allows no private network namespace (unshare: " << std::strerror(errno) << ")";
    }
    ASSERT_TRUE(looptest::loopbackUp());
    ASSERT_FALSE(netext::installFlowTable());
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<std::uint16_t> begun, delivered;
    bool overlapped = false;
    netext::FlowQueue queue;
    ASSERT_FALSE(queue.start([&](const netext::QueuedPacket& p) -> netext::FlowQueue::Deliver {
        if (p.protocol != IPPROTO_UDP) return {};
        std::unique_lock lock(mutex);
        begun.push_back(p.sourcePort);
        changed.notify_all();
        // The limit only keeps a broken build from hanging.
        if (begun.size() == 1) overlapped = changed.wait_for(lock, 60s, [&] { return begun.size() == 2; });
        return [&, port = p.sourcePort] {
            std::lock_guard deliverLock(mutex);
            delivered.push_back(port);
            changed.notify_all();
        };
    }));
    std::vector<std::uint16_t> sent;
    for (int i = 0; i < 2; ++i) {
        int s = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_in to = looptest::loopback(9);
        ASSERT_EQ(::sendto(s, "x", 1, 0, reinterpret_cast<sockaddr*>(&to), sizeof to), 1);
        sent.push_back(looptest::localPort(s));
        ::close(s);
    }
    {
        std::unique_lock lock(mutex);
        changed.wait(lock, [&] { return delivered.size() == 2; });
        EXPECT_TRUE(overlapped) << "the second description began while the first was under way";
        // The describing threads may begin in either order; the Delivers keep the packets'.
        EXPECT_TRUE(std::is_permutation(begun.begin(), begun.end(), sent.begin(), sent.end()));
        EXPECT_EQ(delivered, sent);
    }
    queue.stop();
    EXPECT_FALSE(netext::removeFlowTable());
}

// A callback that never returns holds no connection longer than the bound, neither its
// own packet's nor those queued behind it.
TEST(FlowQueue, PacketsGoOnAfterTheBoundWhenTheirDescriptionStalls) {
    if (::unshare(CLONE_NEWNET) != 0) {
        GTEST_SKIP() << "this machine allows no private network namespace (unshare: " << std::strerror(errno) << ")";
    }
    ASSERT_TRUE(looptest::loopbackUp());
    ASSERT_FALSE(netext::installFlowTable());
    int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in any = looptest::loopback(0);
    ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&any), sizeof any), 0);
    ASSERT_EQ(::listen(listener, 8), 0);
    sockaddr_in to = looptest::loopback(looptest::localPort(listener));

    std::mutex mutex;
    std::condition_variable changed;
    int entered = 0;
    bool release = false;
    oslog::LogCapture logs;
    netext::FlowQueue queue;
    ASSERT_FALSE(queue.start(
        [&](const netext::QueuedPacket&) {
            std::unique_lock lock(mutex);
            ++entered;
            changed.notify_all();
            changed.wait(lock, [&] { return release; });
            return netext::FlowQueue::Deliver{};
        },
        netext::kFlowQueueNumber, 200ms));
    // Without the bound these would wait for TCP to give up (minutes); the socket's own
    // limit only keeps a broken build from hanging.
    for (int i = 0; i < 3; ++i) {
        int c = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        timeval limit{60, 0};
        ::setsockopt(c, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
        EXPECT_EQ(::connect(c, reinterpret_cast<sockaddr*>(&to), sizeof to), 0) << i << ": " << std::strerror(errno);
        ::close(c);
    }
    {
        std::unique_lock lock(mutex);
        EXPECT_GE(entered, 1) << "the first description is still under way";
        release = true;
        changed.notify_all();
    }
    queue.stop();
    // Counted in a line at the first, the rest when the queue stops (beside the count of
    // descriptions that the stop cut short, if any).
    auto lines = logs.messages("FlowQueue");
    std::erase_if(lines, [](const std::string& l) { return l.find("as the queue stopped") != std::string::npos; });
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0], "1 packets went on after waiting 200 ms for their flow to be described");
    EXPECT_NE(lines[1].find(" packets went on after waiting 200 ms"), std::string::npos) << lines[1];
    EXPECT_FALSE(netext::removeFlowTable());
    ::close(listener);
}

}  // namespace
