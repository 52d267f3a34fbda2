#include "XPC.h"

#include <gtest/gtest.h>

#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <fstream>
#include <functional>
#include <thread>
#include <sys/stat.h>

#include "CommandOutput.h"
#include "OSLog.h"

namespace {

using namespace std::chrono_literals;

// A small protocol for the tests: a call with a reply and a one-way call.
class Echo {
public:
    virtual ~Echo() = default;
    virtual void echo(std::string text, std::function<void(std::string)> reply) = 0;
    virtual void note(std::int64_t n) = 0;
};

class Other {
public:
    virtual ~Other() = default;
};

}  // namespace

template <>
struct xpc::ProtocolTraits<Echo> {
    static constexpr std::string_view name = "Echo";
    static std::vector<Method> methods() {
        return {{"echo:reply:", {ValueKind::string}, std::vector{ValueKind::string}},
                {"note:", {ValueKind::integer}, std::nullopt}};
    }
    static void invoke(Echo& object, Invocation& inv) {
        if (inv.method->selector == "echo:reply:") {
            object.echo(std::get<std::string>(inv.arguments[0]),
                        [reply = inv.reply](std::string s) { reply({std::move(s)}); });
        } else {
            object.note(std::get<std::int64_t>(inv.arguments[0]));
        }
    }
    struct Proxy : Echo {
        explicit Proxy(ProxySender s) : sender(std::move(s)) {}
        void echo(std::string text, std::function<void(std::string)> reply) override {
            sender.call("echo:reply:", {std::move(text)},
                        [reply](std::vector<Value> v) { reply(std::get<std::string>(v[0])); });
        }
        void note(std::int64_t n) override { sender.call("note:", {n}); }
        ProxySender sender;
    };
    static std::shared_ptr<Echo> makeProxy(ProxySender s) { return std::make_shared<Proxy>(std::move(s)); }
};

template <>
struct xpc::ProtocolTraits<Other> {
    static constexpr std::string_view name = "Other";
    static std::vector<Method> methods() { return {}; }
    static void invoke(Other&, Invocation&) {}
    static std::shared_ptr<Other> makeProxy(ProxySender) { return std::make_shared<Other>(); }
};

namespace {

// Records what happens, for waiting on from the test thread.
class Events {
public:
    void add(std::string e) {
        std::lock_guard lock(mutex_);
        events_.push_back(std::move(e));
        changed_.notify_all();
    }
    bool waitFor(const std::string& e, std::chrono::seconds limit = 10s) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, limit, [&] { return std::find(events_.begin(), events_.end(), e) != events_.end(); });
    }
    bool waitForCount(const std::string& e, std::size_t n, std::chrono::seconds limit = 10s) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, limit,
                                 [&] { return std::size_t(std::count(events_.begin(), events_.end(), e)) >= n; });
    }
    bool has(const std::string& e) {
        std::lock_guard lock(mutex_);
        return std::find(events_.begin(), events_.end(), e) != events_.end();
    }
    std::vector<std::string> all() {
        std::lock_guard lock(mutex_);
        return events_;
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<std::string> events_;
};

class Server : public Echo, public xpc::ListenerDelegate, public std::enable_shared_from_this<Server> {
public:
    explicit Server(Events& e) : events(e) {}
    void echo(std::string text, std::function<void(std::string)> reply) override {
        {
            std::unique_lock lock(holdMutex);
            released.wait(lock, [&] { return !held; });
        }
        events.add("echo " + text.substr(0, 16));
        reply("re:" + text);
    }
    // While held, echo calls wait: handlers slower than any input.
    void hold(bool on) {
        std::lock_guard lock(holdMutex);
        held = on;
        released.notify_all();
    }
    void note(std::int64_t n) override { events.add("note " + std::to_string(n)); }
    bool shouldAcceptNewConnection(xpc::Listener&, const std::shared_ptr<xpc::Connection>& c) override {
        std::shared_ptr<Server> self = shared_from_this();
        c->setExportedInterface(xpc::Interface::withProtocol<Echo>());
        c->setExportedObject<Echo>(self);
        c->setRemoteObjectInterface(xpc::Interface::withProtocol<Echo>());
        c->setInvalidationHandler([self] { self->events.add("server invalidated"); });
        {
            std::lock_guard lock(mutex);
            connections.push_back(c);
        }
        events.add("accepted " + std::to_string(connections.size()));
        c->resume();
        return true;
    }
    std::shared_ptr<xpc::Connection> connection(std::size_t i) {
        std::lock_guard lock(mutex);
        return connections.at(i);
    }

    Events& events;
    std::mutex mutex;
    std::vector<std::shared_ptr<xpc::Connection>> connections;
    std::mutex holdMutex;
    std::condition_variable released;
    bool held = false;
};

class XPCTest : public ::testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/qm-xpc-XXXXXX";
        dir = ::mkdtemp(tmpl);
        ::setenv("QUILLMARK_XPC_DIR", dir.c_str(), 1);
        server = std::make_shared<Server>(events);
        listener = xpc::Listener::withMachServiceName(name);
        listener->setDelegate(server);
        ASSERT_TRUE(listener->resume());
    }
    // Ends every connection and waits for its handlers, which refer to the fixture.
    void TearDown() override {
        listener->invalidate();
        std::vector<std::shared_ptr<xpc::Connection>> serverSide;
        {
            std::lock_guard lock(server->mutex);
            serverSide.swap(server->connections);
        }
        for (auto& c : serverSide) c->invalidate();
        for (auto& c : clients) c->invalidate();
        EXPECT_TRUE(events.waitForCount("server invalidated", serverSide.size()));
        EXPECT_TRUE(client.waitForCount("invalidated", clients.size()));
        std::filesystem::remove_all(dir);
    }

    std::shared_ptr<xpc::Connection> connect(std::string service = {}) {
        auto c = xpc::Connection::withMachServiceName(service.empty() ? name : service);
        c->setRemoteObjectInterface(xpc::Interface::withProtocol<Echo>());
        c->setInvalidationHandler([this] { client.add("invalidated"); });
        c->setInterruptionHandler([this] { client.add("interrupted"); });
        c->resume();
        clients.push_back(c);
        return c;
    }

    std::shared_ptr<Echo> proxy(const std::shared_ptr<xpc::Connection>& c) {
        return c->remoteObjectProxyWithErrorHandler<Echo>(
            [this](const xpc::Error& e) { client.add("error " + std::to_string(e.code)); });
    }

    std::filesystem::path dir;
    std::string name = "com.example.test." + std::to_string(::getpid());
    Events events;   // the server's
    Events client;   // the clients'
    std::vector<std::shared_ptr<xpc::Connection>> clients;
    std::shared_ptr<Server> server;
    std::shared_ptr<xpc::Listener> listener;
};

TEST_F(XPCTest, CallsRepliesAndOneWayMessagesBothWays) {
    auto c = connect();
    auto p = proxy(c);
    ASSERT_TRUE(p);
    p->note(5);
    p->echo("hi", [this](std::string s) { client.add(s); });
    EXPECT_TRUE(client.waitFor("re:hi"));
    EXPECT_TRUE(events.has("note 5"));  // one-way calls arrive in order, before the call answered after them
    EXPECT_EQ(server->connection(0)->processIdentifier(), ::getpid());

    // The server calls the client's exported object over the same connection.
    class ClientSide : public Echo {
    public:
        explicit ClientSide(Events& e) : events(e) {}
        void echo(std::string, std::function<void(std::string)>) override {}
        void note(std::int64_t n) override { events.add("client note " + std::to_string(n)); }
        Events& events;
    };
    auto c2 = connect();
    c2->setExportedInterface(xpc::Interface::withProtocol<Echo>());
    c2->setExportedObject<Echo>(std::make_shared<ClientSide>(client));
    proxy(c2)->note(0);  // connects
    ASSERT_TRUE(events.waitFor("accepted 2"));
    auto back = server->connection(1)->remoteObjectProxyWithErrorHandler<Echo>([](const xpc::Error&) {});
    ASSERT_TRUE(back);
    back->note(9);
    EXPECT_TRUE(client.waitFor("client note 9"));
    EXPECT_FALSE(server->connection(1)->remoteObjectProxyWithErrorHandler<Other>([](const xpc::Error&) {}));
}

TEST_F(XPCTest, NoServiceFailsTheCallAndInvalidates) {
    auto c = connect(name + ".none");
    proxy(c)->echo("x", [this](std::string) { client.add("replied"); });
    // The connection tries the service when it is resumed, so the call may fail before
    // or after the connection is invalidated: both are reported, in either order.
    EXPECT_TRUE(client.waitFor("invalidated"));
    EXPECT_TRUE(client.waitForCount("error 4099", 1));
    auto seen = client.all();
    std::sort(seen.begin(), seen.end());
    EXPECT_EQ(seen, (std::vector<std::string>{"error 4099", "invalidated"}));
    // Later calls on the dead connection fail the same way.
    proxy(c)->note(1);
    EXPECT_TRUE(client.waitForCount("error 4099", 2));
    EXPECT_FALSE(client.has("replied"));
}

TEST_F(XPCTest, ServerSideEndInterruptsTheClientWhichReconnects) {
    auto c = connect();
    auto p = proxy(c);
    p->echo("a", [this](std::string s) { client.add(s); });
    ASSERT_TRUE(client.waitFor("re:a"));
    server->connection(0)->invalidate();
    ASSERT_TRUE(events.waitFor("server invalidated"));
    ASSERT_TRUE(client.waitFor("interrupted"));
    EXPECT_FALSE(client.has("invalidated"));
    p->echo("b", [this](std::string s) { client.add(s); });
    EXPECT_TRUE(client.waitFor("re:b"));
    EXPECT_TRUE(events.has("accepted 2"));
}

sockaddr_un serviceAddress(const std::string& name) {
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strcpy(addr.sun_path, xpc::serviceSocketPath(name).c_str());
    return addr;
}

// Connects a raw socket to the service (system calls only: also usable after fork).
int rawConnect(const sockaddr_un& addr) {
    int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

TEST_F(XPCTest, MalformedFramesDisconnectOnlyThatPeer) {
    std::string good = xpc::encodeFrame({xpc::Frame::Kind::call, 0, "note:", {std::int64_t(3)}});
    const std::pair<std::string, std::string> cases[] = {
        {"garbage body", std::string("\x05\0\0\0\x09xxxx", 9)},
        {"frame over the size limit", std::string("\xFF\xFF\xFF\x7F", 4)},
        {"selector not in the interface", xpc::encodeFrame({xpc::Frame::Kind::call, 0, "nope:", {}})},
        {"wrong argument kind", xpc::encodeFrame({xpc::Frame::Kind::call, 0, "note:", {std::string("3")}})},
        {"reply block missing", xpc::encodeFrame({xpc::Frame::Kind::call, 0, "echo:reply:", {std::string("x")}})},
        {"reply nobody asked for", xpc::encodeFrame({xpc::Frame::Kind::reply, 77, "", {}})},
    };
    std::size_t accepted = 0;
    for (const auto& [what, bytes] : cases) {
        int fd = rawConnect(serviceAddress(name));
        ASSERT_GE(fd, 0);
        ASSERT_TRUE(events.waitFor("accepted " + std::to_string(++accepted))) << what;
        std::string all = good + bytes;  // a good frame first: it is still delivered
        ASSERT_EQ(::write(fd, all.data(), all.size()), ssize_t(all.size()));
        char c;
        EXPECT_EQ(::read(fd, &c, 1), 0) << what;  // the server hangs up
        ::close(fd);
    }
    // Delivered on the service's queue, which need not have run it before the hang-up.
    EXPECT_TRUE(events.waitFor("note 3"));
    // The listener still serves well-behaved peers.
    proxy(connect())->echo("ok", [this](std::string s) { client.add(s); });
    EXPECT_TRUE(client.waitFor("re:ok"));
    EXPECT_TRUE(events.waitForCount("server invalidated", std::size(cases)));
}

std::vector<std::string> refusalLines(const oslog::LogCapture& logs) {
    std::vector<std::string> lines;
    for (const std::string& m : logs.messages("XPC")) {
        if (m.rfind("refusing connections", 0) == 0) lines.push_back(m);
    }
    return lines;
}

// Refused peers are logged once a minute per process, with a count, however often
// they knock.
TEST_F(XPCTest, PeersOfAnotherUserAreRefused) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to run a peer as another user";
    oslog::LogCapture logs;
    ::chmod(dir.c_str(), 0755);
    const sockaddr_un addr = serviceAddress(name);
    pid_t child = ::fork();
    if (child == 0) {
        if (::setgid(65534) != 0 || ::setuid(65534) != 0) ::_exit(2);
        for (int i = 0; i < 200; ++i) {
            int fd = rawConnect(addr);
            if (fd < 0) ::_exit(3);
            char c;
            if (::read(fd, &c, 1) != 0) ::_exit(4);  // refused: closed without a word
            ::close(fd);
        }
        ::_exit(0);
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_FALSE(events.has("accepted 1"));
    auto lines = refusalLines(logs);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_NE(lines[0].find("from process " + std::to_string(child) + " of user 65534"), std::string::npos) << lines[0];
}

TEST_F(XPCTest, OneListenerPerServiceAndLeftoverSocketsAreReplaced) {
    auto second = xpc::Listener::withMachServiceName(name);
    EXPECT_FALSE(second->resume());
    listener->invalidate();
    EXPECT_FALSE(std::filesystem::exists(xpc::serviceSocketPath(name)));

    // A socket file nobody listens on, as a crashed process leaves it.
    int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strcpy(addr.sun_path, xpc::serviceSocketPath(name).c_str());
    ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    ::close(fd);
    EXPECT_TRUE(second->resume());
    second->setDelegate(server);
    proxy(connect())->echo("again", [this](std::string s) { client.add(s); });
    EXPECT_TRUE(client.waitFor("re:again"));
    second->invalidate();
}

TEST_F(XPCTest, ServiceDirectoriesOthersCouldTamperWithAreRefused) {
    namespace fs = std::filesystem;
    struct Case {
        const char* what;
        std::function<void(const fs::path&)> make;
        bool refused;
    };
    const Case cases[] = {
        {"private directory", [](const fs::path& p) { fs::create_directory(p), ::chmod(p.c_str(), 0700); }, false},
        {"writable by everyone", [](const fs::path& p) { fs::create_directory(p), ::chmod(p.c_str(), 01777); }, true},
        {"writable by its group", [](const fs::path& p) { fs::create_directory(p), ::chmod(p.c_str(), 0770); }, true},
        {"a symbolic link", [this](const fs::path& p) { fs::create_directory_symlink(dir, p); }, true},
        {"a file", [](const fs::path& p) { std::ofstream(p) << "x"; }, true},
    };
    for (const Case& c : cases) {
        fs::path p = dir / "services";
        fs::remove_all(p);
        c.make(p);
        EXPECT_EQ(xpc::serviceDirectoryProblem(p).has_value(), c.refused) << c.what;
        ::setenv("QUILLMARK_XPC_DIR", p.c_str(), 1);
        auto l = xpc::Listener::withMachServiceName("com.example.dir");
        EXPECT_EQ(l->resume(), !c.refused) << c.what;
        l->invalidate();
        ::setenv("QUILLMARK_XPC_DIR", dir.c_str(), 1);
    }
    if (::geteuid() == 0) {
        fs::path p = dir / "theirs";
        fs::create_directory(p);
        ASSERT_EQ(::chown(p.c_str(), 65534, 65534), 0);
        auto problem = xpc::serviceDirectoryProblem(p);
        EXPECT_TRUE(problem && problem->find("belongs to user 65534") != std::string::npos);
    }
}

TEST_F(XPCTest, OpenConnectionsPerUserAreLimited) {
    oslog::LogCapture logs;
    std::vector<int> fds;
    for (std::size_t i = 0; i < xpc::kMaxConnectionsPerUser; ++i) {
        fds.push_back(rawConnect(serviceAddress(name)));
        ASSERT_TRUE(events.waitFor("accepted " + std::to_string(i + 1)));
    }
    for (int i = 0; i < 20; ++i) {
        int extra = rawConnect(serviceAddress(name));
        char c;
        EXPECT_EQ(::read(extra, &c, 1), 0) << "refused: closed without a word";
        ::close(extra);
    }
    EXPECT_EQ(refusalLines(logs).size(), 1u);
    // Once one goes, another may come.
    ::close(fds.back());
    fds.pop_back();
    ASSERT_TRUE(events.waitForCount("server invalidated", 1));
    fds.push_back(rawConnect(serviceAddress(name)));
    EXPECT_TRUE(events.waitFor("accepted " + std::to_string(xpc::kMaxConnectionsPerUser + 1)));
    for (int fd : fds) ::close(fd);
    EXPECT_TRUE(events.waitForCount("server invalidated", xpc::kMaxConnectionsPerUser + 1));
}

// The refusals of a flood shorter than the interval are all counted once it ends,
// without a further refusal to bring the line.
TEST_F(XPCTest, RefusalsAreCountedInFullWhenTheirIntervalEnds) {
    oslog::LogCapture logs;
    const std::string quick = name + ".quick";
    auto l = xpc::Listener::withMachServiceName(quick, 100ms);
    l->setDelegate(server);
    ASSERT_TRUE(l->resume());
    std::vector<int> fds;
    for (std::size_t i = 0; i < xpc::kMaxConnectionsPerUser; ++i) {
        fds.push_back(rawConnect(serviceAddress(quick)));
        ASSERT_TRUE(events.waitFor("accepted " + std::to_string(i + 1)));
    }
    constexpr std::uint64_t kRefused = 20;
    for (std::uint64_t i = 0; i < kRefused; ++i) {
        int extra = rawConnect(serviceAddress(quick));
        char c;
        EXPECT_EQ(::read(extra, &c, 1), 0);
        ::close(extra);
    }
    auto counted = [&] {
        std::uint64_t sum = 0;
        for (const std::string& line : refusalLines(logs)) {
            auto at = line.rfind("): ");
            if (at != std::string::npos) sum += std::stoull(line.substr(at + 3));
        }
        return sum;
    };
    auto limit = std::chrono::steady_clock::now() + 30s;
    while (counted() < kRefused && std::chrono::steady_clock::now() < limit) std::this_thread::sleep_for(5ms);
    EXPECT_EQ(counted(), kRefused);
    auto lines = refusalLines(logs);
    ASSERT_FALSE(lines.empty());
    EXPECT_NE(lines[0].find(": 1 refused since the last line"), std::string::npos) << lines[0];
    l->invalidate();
    for (int fd : fds) ::close(fd);
    EXPECT_TRUE(events.waitForCount("server invalidated", fds.size()));
}

// A process that ends while its listener has refusals not yet written writes them
// first, whether the listener was invalidated just before main returned or still
// listens; nothing of the XPC layer runs on into the exit's teardown.
TEST(XPCExit, RefusalsCountedBeforeMainReturnsAreWritten) {
    for (const char* mode : {"invalidate", "listening"}) {
        char tmpl[] = "/tmp/qm-xpc-exit-XXXXXX";
        std::string dir = ::mkdtemp(tmpl);
        std::string command = std::string(LISTENER_AT_EXIT) + " " + dir + " " + mode + " 2>&1";
        const auto [text, status] = commandout::run(command);
        ASSERT_NE(status, -1);
        std::filesystem::remove_all(dir);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << mode << ": " << status << "\n" << text;
        EXPECT_NE(text.find(": 1 refused since the last line about it"), std::string::npos) << mode << "\n" << text;
        EXPECT_NE(text.find(": 2 refused since the last line about it"), std::string::npos) << mode << "\n" << text;
        EXPECT_EQ(text.find("Sanitizer"), std::string::npos) << mode << "\n" << text;
    }
}

TEST_F(XPCTest, BytesBufferedAreChargedToEachConnectionAlone) {
    oslog::LogCapture logs;
    auto good = connect();
    proxy(good)->echo("before", [this](std::string s) { client.add(s); });
    ASSERT_TRUE(client.waitFor("re:before"));

    // Peers that each announce a frame just under the size limit and send all but its
    // end buffer more together than one connection may, but each stays within its own.
    const std::size_t body = xpc::kMaxFrameBody - 1;
    std::string head(4, '\0');
    for (int i = 0; i < 4; ++i) head[i] = char((body >> (8 * i)) & 0xFF);
    std::string chunk(1 << 20, 'x');
    std::vector<int> fds;
    for (std::size_t peer = 0; peer * (body - chunk.size()) <= xpc::kMaxBufferedBytes + body; ++peer) {
        int fd = rawConnect(serviceAddress(name));
        fds.push_back(fd);
        ASSERT_TRUE(events.waitFor("accepted " + std::to_string(peer + 2)));
        ASSERT_EQ(::send(fd, head.data(), head.size(), MSG_NOSIGNAL), ssize_t(head.size()));
        for (std::size_t sent = 0; sent + chunk.size() < body; sent += chunk.size()) {
            ASSERT_EQ(::send(fd, chunk.data(), chunk.size(), MSG_NOSIGNAL), ssize_t(chunk.size())) << "peer " << peer;
        }
    }
    // Bounds for the waits below, where a loaded machine moves a few hundred MiB.
    constexpr auto kLimit = 120s;
    proxy(good)->echo("during", [this](std::string s) { client.add(s); });
    EXPECT_TRUE(client.waitFor("re:during", kLimit));

    // A peer that never reads the answers to its calls is cut off once they pass its
    // own budget, also while its calls wait for a handler; the others go on.
    int greedy = rawConnect(serviceAddress(name));
    ASSERT_TRUE(events.waitFor("accepted " + std::to_string(fds.size() + 2)));
    std::string call = xpc::encodeFrame({xpc::Frame::Kind::call, 1, "echo:reply:", {std::string(1 << 20, 'y')}});
    bool hungUp = false;
    {
        server->hold(true);
        struct Release {
            Server& s;
            ~Release() { s.hold(false); }
        } release{*server};
        for (std::size_t sent = 0; sent <= 2 * xpc::kMaxBufferedBytes && !hungUp; sent += call.size()) {
            hungUp = ::send(greedy, call.data(), call.size(), MSG_NOSIGNAL) < 0;
        }
    }
    EXPECT_TRUE(hungUp) << "the greedy peer was not disconnected";
    ::close(greedy);
    ASSERT_TRUE(events.waitForCount("server invalidated", 1, kLimit));
    proxy(good)->echo("after", [this](std::string s) { client.add(s); });
    EXPECT_TRUE(client.waitFor("re:after", kLimit));
    EXPECT_FALSE(client.has("interrupted"));
    auto seen = events.all();
    EXPECT_EQ(std::count(seen.begin(), seen.end(), "server invalidated"), 1) << "only the greedy peer was cut off";
    for (int fd : fds) ::close(fd);
    // Each cut-off says why, once: over its budget, which breaks no protocol.
    auto lines = logs.messages("XPC");
    auto count = [&](const std::string& text) {
        return std::count_if(lines.begin(), lines.end(), [&](const std::string& l) { return l.find(text) != std::string::npos; });
    };
    EXPECT_GE(count("buffers more than"), 1);
    EXPECT_EQ(count("broke the protocol"), 0);
}

}  // namespace
