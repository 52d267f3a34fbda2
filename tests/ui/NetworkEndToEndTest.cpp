// Quillmark's main window switches network monitoring on inside a private network
// namespace: the bundled flowspur is activated, the filter configuration enabled and
// the window registered; a TCP connection on loopback then shows up in the events
// view as a networkflow event that carries the current source's last global sequence
// number. Switching off disables the configuration and the status turns stopped.

#include <gtest/gtest.h>

#include "LoopbackNetwork.h"

#include <QAction>
#include <QApplication>
#include <QThread>

#include <arpa/inet.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sched.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <fstream>
#include <iostream>

#include "FilterManager.h"
#include "Nft.h"
#include "MainWindowController.h"
#include "Symbols.h"
#include "UiTestSupport.h"
#include "ViewController.h"

namespace {

using looptest::loopback;
using looptest::loopbackUp;


using namespace std::chrono_literals;
namespace fs = std::filesystem;
using qm::NetworkStatus;

// The namespace is made before main() runs, while the process has its one thread, so
// that every later thread, and flowspur started from one of them, lives in it.
const int privateNetworkError = ::unshare(CLONE_NEWNET) == 0 ? 0 : errno;

constexpr const char* kIdentifier = "com.quillmark.Flowspur";

// Processes GUI events until cond holds or limit has passed; returns cond().
bool waitFor(const std::function<bool()>& cond, std::chrono::milliseconds limit = 30s) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (!cond()) {
        if (std::chrono::steady_clock::now() > end) return cond();
        QApplication::processEvents(QEventLoop::AllEvents, 5);
        QThread::msleep(2);
    }
    return true;
}

std::string netnsOf(const std::string& proc) {
    std::error_code ec;
    return fs::read_symlink("/proc/" + proc + "/ns/net", ec).string();
}

// Gone, or a zombie nobody reaps (flowspur is no child of ours).
bool ended(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    if (!std::getline(stat, line)) return true;
    auto close = line.rfind(')');
    return close == std::string::npos || line.substr(close + 2, 1) == "Z";
}

// A TCP connection on 127.0.0.1, open as long as the object lives.
struct LoopbackConnection {
    int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int client = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int accepted = -1;
    std::uint16_t listenerPort = 0, clientPort = 0;

    LoopbackConnection() {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        if (::bind(listener, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(listener, 1) != 0) return;
        ::getsockname(listener, reinterpret_cast<sockaddr*>(&a), &len);
        listenerPort = ntohs(a.sin_port);
        if (::connect(client, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) return;
        accepted = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
        ::getsockname(client, reinterpret_cast<sockaddr*>(&a), &len);
        clientPort = ntohs(a.sin_port);
    }
    ~LoopbackConnection() {
        for (int fd : {listener, client, accepted}) {
            if (fd >= 0) ::close(fd);
        }
    }
    LoopbackConnection(const LoopbackConnection&) = delete;
    LoopbackConnection& operator=(const LoopbackConnection&) = delete;
};

class NetworkEndToEnd : public ::testing::Test {
protected:
    void SetUp() override {
        if (privateNetworkError != 0) {
            GTEST_SKIP() << "this machine allows no private network namespace (unshare: "
                         << std::strerror(privateNetworkError)
                         << "), so flowspur cannot run without touching the machine's own network";
        }
        ASSERT_TRUE(loopbackUp()) << std::strerror(errno);
        const char* build = std::getenv("QM_BUILD_DIR");
        ASSERT_TRUE(build) << "QM_BUILD_DIR names the build folder (set by CTest)";
        app = fs::path(build) / "Quillmark";
        auto extension = bundle::Bundle::open(app / "Contents/Library/SystemExtensions/Flowspur.systemextension");
        ASSERT_TRUE(extension && extension->executablePath() && fs::exists(*extension->executablePath()))
            << "flowspur is not built";
        char tmpl[] = "/tmp/qm-netui-XXXXXX";
        dir = ::mkdtemp(tmpl);
        // Read when the platform is first used: the window's XPC link, its filter
        // configuration and flowspur (which inherits them) meet here.
        ::setenv("QUILLMARK_XPC_DIR", (dir / "xpc").c_str(), 1);
        ::setenv("QUILLMARK_FILTER_CONFIG", (dir / "filter.plist").c_str(), 1);
        uitest::setUpApplication();
        manager.emplace(app / "Contents/Library/SystemExtensions", dir / "extensions");
    }

    void TearDown() override {
        // Skipped: nothing ran, and nftables here would be the machine's own.
        if (privateNetworkError != 0) return;
        window.reset();
        if (manager) {
            if (auto running = manager->runningExtension(kIdentifier)) {
                ::kill(running->pid, SIGTERM);
                if (!waitFor([&] { return ended(running->pid); }, 10s)) {
                    ADD_FAILURE() << "flowspur did not end on SIGTERM";
                    ::kill(running->pid, SIGKILL);
                }
            }
        }
        netext::runNft(netext::nftRemovalScript());
        if (HasFailure() && !dir.empty()) {
            std::ifstream log(dir / "extensions" / (std::string(kIdentifier) + ".log"));
            std::cerr << "flowspur's log:\n" << log.rdbuf();
        }
        if (!dir.empty()) fs::remove_all(dir);
    }

    bool tableInstalled() const {
        return !netext::runNft("list table " + std::string(netext::kNftTable) + "\n").has_value();
    }

    NetworkStatus status() const { return window->networkStatus(); }

    // The networkflow event of this connection in the events view, once there.
    qm::EventItemPtr flowEvent(const LoopbackConnection& c) const {
        for (const auto& item : window->eventsViewController->filters.allEvents) {
            const auto* flow = item->theEvent().event.get<es::ESEvent_networkflow>();
            if (flow && flow->local_port == std::to_string(c.clientPort) &&
                flow->remote_port == std::to_string(c.listenerPort)) {
                return item;
            }
        }
        return nullptr;
    }

    fs::path app, dir;
    std::optional<sysext::OSSystemExtensionManager> manager;
    uitest::AlertRecorder alerts;
    std::unique_ptr<qm::MainWindowController> window;
};

TEST_F(NetworkEndToEnd, SwitchingOnBringsLoopbackFlowsIntoTheEventsViewAndSwitchingOffStops) {
    const std::string ownNetns = netnsOf("self");
    ASSERT_NE(ownNetns, netnsOf("1")) << "the test must not run in the machine's namespace";
    for (const auto& task : fs::directory_iterator("/proc/self/task")) {
        ASSERT_EQ(netnsOf("self/task/" + task.path().filename().string()), ownNetns);
    }

    qm::NetworkPlatform platform = qm::NetworkPlatform::standard();
    platform.mainBundle = app;
    platform.submitRequest = [this](std::shared_ptr<sysext::OSSystemExtensionRequest> request) {
        manager->submitRequest(std::move(request));
    };
    window = std::make_unique<qm::MainWindowController>(qm::standardSettings(), nullptr, platform);
    ASSERT_TRUE(window->monitorNetworkButton);
    ASSERT_TRUE(waitFor([&] { return status() == NetworkStatus::stopped; }))
        << "window loading did not settle on the missing configuration";

    // Events from a file first: flows then take its last global sequence number.
    window->openEventFile(fs::path(QM_SOURCE_DIR) / "samples/events.jsonl");
    qm::ViewController& view = *window->eventsViewController;
    ASSERT_TRUE(waitFor([&] {
        auto source = view.eslogger();
        return source && !source->isRunning() && view.filters.allEvents.size() == 3000;
    }));
    const std::int64_t lastSeq = view.eslogger()->lastGlobalSeqNum();
    ASSERT_EQ(lastSeq, 3000);

    // On: activation starts the bundled flowspur, the configuration is enabled and
    // the window registers.
    window->monitorNetworkButton->trigger();
    EXPECT_EQ(status(), NetworkStatus::indeterminate);
    ASSERT_TRUE(waitFor([&] { return status() != NetworkStatus::indeterminate; }));
    ASSERT_EQ(status(), NetworkStatus::running) << (alerts.alerts().empty()
                                                       ? std::string("no alert")
                                                       : alerts.alerts()[0].informativeText.toStdString());
    EXPECT_EQ(qm::symbolTint(window->monitorNetworkButton), qm::systemBlueColor);
    EXPECT_TRUE(window->isActivityAnimating());
    auto flowspur = manager->runningExtension(kIdentifier);
    ASSERT_TRUE(flowspur) << "no flowspur was started";
    ASSERT_EQ(netnsOf(std::to_string(flowspur->pid)), ownNetns) << "flowspur must run in the private namespace";
    std::string error;
    auto saved = netext::FilterConfiguration::read(dir / "filter.plist", error);
    ASSERT_TRUE(saved) << error;
    EXPECT_TRUE(saved->enabled);
    EXPECT_EQ(saved->providerConfiguration, (netext::NEFilterProviderConfiguration{true, false}));
    EXPECT_EQ(saved->localizedDescription, "Quillmark");
    ASSERT_TRUE(waitFor([&] { return tableInstalled(); })) << "flowspur never installed its table";

    // Flowspur subscribes to connection news just after installing its table; a
    // connection made in between goes unseen, so connections repeat until one is seen.
    std::vector<std::unique_ptr<LoopbackConnection>> connections;
    qm::EventItemPtr event;
    for (int round = 0; round < 5 && !event; ++round) {
        const auto& c = *connections.emplace_back(std::make_unique<LoopbackConnection>());
        ASSERT_GT(c.clientPort, 0) << std::strerror(errno);
        waitFor(
            [&] {
                view.flushBackgroundEvents();
                return (event = flowEvent(c)) != nullptr;
            },
            3s);
    }
    ASSERT_TRUE(event) << "no networkflow event for the loopback connection";
    const es::ESMessage& m = event->theEvent();
    EXPECT_EQ(m.global_seq_num, lastSeq);
    EXPECT_EQ(es::rawValue(m.event_type), 90210);
    EXPECT_EQ(m.process.audit_token.pid, ::getpid());
    const auto* flow = m.event.get<es::ESEvent_networkflow>();
    EXPECT_EQ(es::rawValue(flow->flow_protocol), IPPROTO_TCP);
    EXPECT_EQ(flow->remote_address, "127.0.0.1");
    EXPECT_EQ(flow->direction, "outbound");
    view.reloadEvents();
    EXPECT_NE(std::find(view.shownEvents().begin(), view.shownEvents().end(), event), view.shownEvents().end());

    // Off: the configuration is disabled and flowspur takes its table away.
    window->monitorNetworkButton->trigger();
    ASSERT_TRUE(waitFor([&] { return status() == NetworkStatus::stopped; }));
    saved = netext::FilterConfiguration::read(dir / "filter.plist", error);
    ASSERT_TRUE(saved) << error;
    EXPECT_FALSE(saved->enabled);
    EXPECT_EQ(qm::symbolTint(window->monitorNetworkButton), qm::systemGrayColor);
    EXPECT_TRUE(waitFor([&] { return !tableInstalled(); })) << "the table is still there";
    EXPECT_TRUE(alerts.alerts().empty());
}

}  // namespace
