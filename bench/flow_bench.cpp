// Short-lived flows in a private network namespace, with about a thousand idle
// processes beside them, through the real flowspur. For each kind of flow it prints
// the share reported with the right pid and executable, and how long the connect (or
// send) call takes with flowspur against the same calls without it (p50, p99), with the
// load average beside the figures. Needs root.
// Usage: flow_bench [flows per mode, at most 2,500] [idle processes]

#include "FlowspurHarness.h"

#include <signal.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <future>

#include "BenchSupport.h"
#include "Bundle.h"
#include "FilterManager.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;
using flowharness::PrivateNetwork;
using Flow = flowharness::ShortFlow;

std::string loadAverage() {
    std::ifstream in("/proc/loadavg");
    std::string one, five, fifteen;
    in >> one >> five >> fifteen;
    return one + " " + five + " " + fifteen;
}

bool enableFilter(const fs::path& path) {
    netext::NEFilterManager manager(path);
    manager.setProviderConfiguration(netext::NEFilterProviderConfiguration{true, false});
    manager.setEnabled(true);
    std::promise<bool> saved;
    manager.saveToPreferences([&](std::optional<netext::Error> e) { saved.set_value(!e); });
    return saved.get_future().get();
}

// Idle processes, each holding a few sockets, as a desktop has them.
std::vector<pid_t> idleProcesses(int count) {
    std::vector<pid_t> pids;
    for (int i = 0; i < count; ++i) {
        pid_t p = ::fork();
        if (p == 0) {
            int pair[2];
            ::socketpair(AF_UNIX, SOCK_STREAM, 0, pair);
            ::socket(AF_INET, SOCK_DGRAM, 0);
            ::pause();
            ::_exit(0);
        }
        if (p > 0) pids.push_back(p);
    }
    return pids;
}

double percentile(std::vector<double> v, double q) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    return v[std::min(v.size() - 1, std::size_t(q * double(v.size())))];
}

struct Mode {
    const char* name;
    int family;        // of the socket
    const char* peer;  // the address it is given
    int type;          // SOCK_STREAM or SOCK_DGRAM
    bool nonBlocking;  // connect without waiting for it
    bool processes;    // each flow from a new process that exits after it
};

// count flows of mode m, from 4 threads, or each from a new process.
// UDP flows go to a port of their own each (from firstUDPPort on): UDP has no
// TIME_WAIT, so a local port used again towards the same port would be an old flow
// to connection tracking, not a new one.
std::vector<Flow> run(const Mode& m, int count, std::uint16_t serverPort, std::uint16_t firstUDPPort) {
    std::vector<Flow> flows(static_cast<std::size_t>(count));
    constexpr int kThreads = 4;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int i = t; i < count; i += kThreads) {
                auto make = m.processes ? flowharness::shortFlowOfNewProcess : flowharness::shortFlow;
                std::uint16_t to = m.type == SOCK_STREAM ? serverPort : std::uint16_t(firstUDPPort + i);
                flows[std::size_t(i)] = make(m.family, m.peer, to, m.type, m.nonBlocking);
            }
        });
    }
    for (auto& t : threads) t.join();
    std::erase_if(flows, [](const Flow& f) { return f.port == 0; });
    return flows;
}

std::vector<double> callTimes(const std::vector<Flow>& flows) {
    std::vector<double> v;
    for (const Flow& f : flows) v.push_back(f.callMs);
    return v;
}

}  // namespace

int main(int argc, char** argv) {
    int perMode = std::clamp(argc > 1 ? std::atoi(argv[1]) : 400, 1, 2500);
    int idle = argc > 2 ? std::atoi(argv[2]) : 1000;

    const Mode modes[] = {
        {"blocking TCP (threads)", AF_INET, PrivateNetwork::kPeer, SOCK_STREAM, false, false},
        {"blocking TCP, first connect of a new process", AF_INET, PrivateNetwork::kPeer, SOCK_STREAM, false, true},
        {"non-blocking connect then close (threads)", AF_INET, PrivateNetwork::kPeer, SOCK_STREAM, true, false},
        {"UDP send then close (threads)", AF_INET, PrivateNetwork::kPeer, SOCK_DGRAM, false, false},
        {"UDP send then exit (processes)", AF_INET, PrivateNetwork::kPeer, SOCK_DGRAM, false, true},
        {"blocking TCP over IPv6 (threads)", AF_INET6, PrivateNetwork::kPeer6, SOCK_STREAM, false, false},
        {"blocking TCP, IPv4-mapped (threads)", AF_INET6, "::ffff:10.231.0.2", SOCK_STREAM, false, false},
        {"UDP send then exit over IPv6 (processes)", AF_INET6, PrivateNetwork::kPeer6, SOCK_DGRAM, false, true},
        {"UDP send then exit, IPv4-mapped (processes)", AF_INET6, "::ffff:10.231.0.2", SOCK_DGRAM, false, true},
    };

    PrivateNetwork network;
    if (auto why = network.setUp()) {
        std::fprintf(stderr, "flow_bench: needs a private network namespace with a veth link (run as root): %s\n",
                     why->c_str());
        return 1;
    }
    std::uint16_t port = network.startServer();
    auto extension = bundle::Bundle::open(FLOWSPUR_BUNDLE_DIR);
    if (!port || !extension || !extension->executablePath()) {
        std::fprintf(stderr, "flow_bench: no server or no flowspur bundle at %s\n", FLOWSPUR_BUNDLE_DIR);
        return 1;
    }
    char tmpl[] = "/tmp/qm-flowbench-XXXXXX";
    fs::path dir = ::mkdtemp(tmpl);
    ::setenv("QUILLMARK_XPC_DIR", (dir / "xpc").c_str(), 1);
    ::setenv("OSLOG_LEVEL", "error", 1);
    fs::path config = dir / "filter.plist";
    if (!enableFilter(config)) return 1;
    std::vector<pid_t> idlers = idleProcesses(idle);
    const std::string self = fs::read_symlink("/proc/self/exe").string();

    // The same calls without flowspur first.
    std::vector<std::vector<double>> baseline;
    std::uint16_t udpPorts = 20000;
    for (const Mode& m : modes) {
        baseline.push_back(callTimes(run(m, perMode, port, udpPorts)));
        udpPorts = std::uint16_t(udpPorts + perMode);
    }

    pid_t flowspur = flowharness::spawn(extension->executablePath()->string(),
                                        {std::string(netext::kFilterConfigurationOption), config.string()},
                                        dir / "flowspur.log");
    auto app = std::make_shared<flowspur::IPCConnection>();
    auto receiver = std::make_shared<flowharness::FlowReceiver>();
    bool registered = false;
    for (int i = 0; i < 200 && !registered; ++i) {
        std::promise<bool> answer;
        app->registerWithExtension(*extension, receiver, [&](bool ok) { answer.set_value(ok); });
        auto f = answer.get_future();
        registered = f.wait_for(2s) == std::future_status::ready && f.get();
        if (!registered) std::this_thread::sleep_for(50ms);
    }
    // The table is installed right after the provider starts; one reported probe says it is there.
    std::uint16_t probe = 0;
    for (int i = 0; i < 100 && registered; ++i) {
        probe = flowharness::connectAndClose(PrivateNetwork::kPeer, port);
        if (receiver->waitForPorts({probe}, 100ms)) break;
    }
    if (!registered || receiver->flows(probe).empty()) {
        std::fprintf(stderr, "flow_bench: flowspur did not come up (log in %s)\n", dir.c_str());
        return 1;
    }
    {
        std::ifstream log(dir / "flowspur.log");
        for (std::string line; std::getline(log, line);) {
            if (line.find("looked up in /proc") != std::string::npos) std::printf("flowspur: %s\n", line.c_str());
        }
    }

    std::printf("flow_bench: %d flows per mode, %zu idle processes; call = connect or send, (+) = added by flowspur\n",
                perMode, idlers.size());
    for (std::size_t i = 0; i < std::size(modes); ++i) {
        const Mode& m = modes[i];
        std::vector<Flow> flows = run(m, perMode, port, udpPorts);
        udpPorts = std::uint16_t(udpPorts + perMode);
        std::vector<std::uint16_t> ports;
        for (const Flow& f : flows) ports.push_back(f.port);
        receiver->waitForPorts(ports, 10s);
        const std::int64_t protocol = m.type == SOCK_STREAM ? IPPROTO_TCP : IPPROTO_UDP;
        std::size_t attributed = 0;
        for (const Flow& f : flows) {
            for (const auto& r : receiver->flows(f.port)) {
                const auto* nf = r.message.event.get<es::ESEvent_networkflow>();
                if (nf && es::rawValue(nf->flow_protocol) == protocol && nf->remote_port == std::to_string(f.remotePort) &&
                    r.message.process.audit_token.pid == f.pid &&
                    r.message.process.executable.path == self) {
                    ++attributed;
                    break;
                }
            }
        }
        std::vector<double> calls = callTimes(flows);
        double p50 = percentile(calls, 0.5), p99 = percentile(calls, 0.99);
        double b50 = percentile(baseline[i], 0.5), b99 = percentile(baseline[i], 0.99);
        std::printf("  %-46s attributed %4zu of %4zu (%5.1f%%)  call p50 %6.2f ms (%+6.2f)  p99 %6.2f ms (%+6.2f)"
                    "  load %s\n",
                    m.name, attributed, flows.size(),
                    flows.empty() ? 0.0 : 100.0 * double(attributed) / double(flows.size()), p50, p50 - b50, p99,
                    p99 - b99, loadAverage().c_str());
        std::fflush(stdout);
    }

    ::kill(flowspur, SIGTERM);
    flowharness::waitForExit(flowspur, 10s);
    for (pid_t p : idlers) ::kill(p, SIGKILL);
    for (pid_t p : idlers) ::waitpid(p, nullptr, 0);
    fs::remove_all(dir);
    return 0;
}
