// Short-lived flows in a private network namespace, with about a thousand idle
// processes beside them, through the real flowspur. Rounds with and without flowspur (its
// filter enabled, or disabled: no table and no kernel program) alternate in pairs, so
// that a change of the machine's load meets both. For each kind of flow it prints the
// share reported with the right pid and executable, and how long the connect (or send)
// call takes with flowspur and how much of that flowspur adds (p50, p99), and for TCP
// the SYNs sent again and how many of those found their SYN still held inside the
// machine (a connect a retransmit timeout late names itself). Then a burst
// line per protocol: flows made from 8 threads at once, the share reported, and whether
// every unreported one is counted in flowspur's log. The load average is printed beside
// the figures. Needs root.
// Usage: flow_bench [flows per mode, 1 to 2,500] [idle processes, 0 to 10,000] [burst flows, 0 to 30,000]

#include "FlowspurHarness.h"

#include <signal.h>

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <fstream>
#include <future>
#include <sstream>
#include <string>

#include "BenchSupport.h"
#include "Bundle.h"
#include "FilterManager.h"
#include "FlowQueue.h"
#include "FlowTable.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;
using flowharness::PrivateNetwork;
using Flow = flowharness::ShortFlow;
using bench::loadAverage;

bool saveFilter(const fs::path& path, bool enabled) {
    netext::NEFilterManager manager(path);
    manager.setProviderConfiguration(netext::NEFilterProviderConfiguration{true, false});
    manager.setEnabled(enabled);
    std::promise<bool> saved;
    manager.saveToPreferences([&](std::optional<netext::Error> e) { saved.set_value(!e); });
    return saved.get_future().get();
}

// Whether a process of this network namespace listens on flowspur's packet queue.
bool queueBound() { return netext::kernelQueueSequence(netext::kFlowQueueNumber).has_value(); }

// The whole-number argument at index (fallback when absent); nothing when it is not a
// number from low to high.
std::optional<int> argument(int argc, char** argv, int index, int fallback, int low, int high) {
    if (argc <= index) return fallback;
    std::string_view text(argv[index]);
    int value = 0;
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size() || value < low || value > high) return std::nullopt;
    return value;
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
    const char* goal = nullptr;
};

// Remote ports for UDP flows, one each: UDP has no TIME_WAIT, so a local port used
// again towards the same port would be an old flow to connection tracking, not a new one.
class Ports {
public:
    std::uint16_t take(int count) {
        if (next_ + count > 65535) next_ = 1024;
        std::uint16_t first = std::uint16_t(next_);
        next_ += count;
        return first;
    }

private:
    int next_ = 1024;
};

// count flows of mode m, from 4 threads, or each from a new process.
std::vector<Flow> run(const Mode& m, int count, std::uint16_t serverPort, Ports& udpPorts) {
    std::vector<Flow> flows(static_cast<std::size_t>(count));
    const std::uint16_t firstUDPPort = udpPorts.take(count);
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

std::int64_t protocolOf(int type) { return type == SOCK_STREAM ? IPPROTO_TCP : IPPROTO_UDP; }

// This network namespace's count of SYNs sent again, and of retransmits that found
// their packet still inside the machine (held in a queue, or for a neighbour): a
// connect that took a retransmit timeout longer says why.
struct Retransmits {
    std::uint64_t syn = 0, held = 0;
};

Retransmits retransmits() {
    Retransmits r;
    std::ifstream in("/proc/net/netstat");
    for (std::string names, values; std::getline(in, names) && std::getline(in, values);) {
        if (names.rfind("TcpExt:", 0) != 0) continue;
        std::istringstream n(names), v(values);
        for (std::string name, value; n >> name && v >> value;) {
            if (name == "TCPSynRetrans") r.syn = std::stoull(value);
            if (name == "TCPSpuriousRtxHostQueues") r.held = std::stoull(value);
        }
    }
    return r;
}

}  // namespace

int main(int argc, char** argv) {
    auto perModeArg = argument(argc, argv, 1, 400, 1, 2500);
    auto idleArg = argument(argc, argv, 2, 1000, 0, 10000);
    auto burstArg = argument(argc, argv, 3, 20000, 0, 30000);
    if (argc > 4 || !perModeArg || !idleArg || !burstArg) {
        std::fprintf(stderr, "usage: flow_bench [flows per mode, 1 to 2500: 400] [idle processes, 0 to 10000: 1000] "
                             "[burst flows, 0 to 30000: 20000]\n");
        return 2;
    }
    const int perMode = *perModeArg, idle = *idleArg, burstFlows = *burstArg;
    constexpr int kPairs = 4;
    const int perRound = std::max(1, perMode / kPairs);

    const Mode modes[] = {
        {"blocking TCP (threads)", AF_INET, PrivateNetwork::kPeer, SOCK_STREAM, false, false},
        {"blocking TCP, first connect of a new process", AF_INET, PrivateNetwork::kPeer, SOCK_STREAM, false, true,
         "goal +1 ms p50, +5 ms p99"},
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
    const fs::path config = dir / "filter.plist";
    const fs::path flowspurLog = dir / "flowspur.log";
    if (!saveFilter(config, true)) return 1;
    std::vector<pid_t> idlers = idleProcesses(idle);
    const std::string self = fs::read_symlink("/proc/self/exe").string();

    pid_t flowspur = flowharness::spawn(extension->executablePath()->string(),
                                        {std::string(netext::kFilterConfigurationOption), config.string()},
                                        flowspurLog);
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
    // Switches the filter and waits until flowspur follows: the table is installed right
    // after the provider starts, so one reported probe says it is there; when it stops,
    // the queue is unbound last.
    auto filter = [&](bool on) {
        if (!saveFilter(config, on)) return false;
        for (int i = 0; i < 200; ++i) {
            if (!on && !queueBound()) return true;
            const auto since = Clock::now();
            Flow probe = on ? flowharness::shortFlow(AF_INET, PrivateNetwork::kPeer, port, SOCK_STREAM) : Flow{};
            for (int wait = 0; wait < 10; ++wait) {
                std::this_thread::sleep_for(10ms);
                if (on && receiver->messageFor(probe, IPPROTO_TCP, since)) return true;
            }
        }
        return false;
    };
    if (!registered || !filter(true)) {
        std::fprintf(stderr, "flow_bench: flowspur did not come up (log in %s)\n", dir.c_str());
        return 1;
    }
    {
        std::ifstream log(flowspurLog);
        for (std::string line; std::getline(log, line);) {
            if (line.find("looked up in /proc") != std::string::npos) std::printf("flowspur: %s\n", line.c_str());
        }
    }

    // Rounds with (on) and without flowspur in pairs, the order turned in every other pair.
    struct Figures {
        std::vector<double> on, off;  // call times
        std::size_t attributed = 0, flows = 0;
        Retransmits resent[2];  // off, on
    };
    std::vector<Figures> figures(std::size(modes));
    Ports udpPorts;
    for (int pair = 0; pair < kPairs; ++pair) {
        for (bool on : {pair % 2 == 0, pair % 2 != 0}) {
            if (!filter(on)) {
                std::fprintf(stderr, "flow_bench: flowspur did not follow its configuration (log in %s)\n", dir.c_str());
                return 1;
            }
            for (std::size_t i = 0; i < std::size(modes); ++i) {
                const Mode& m = modes[i];
                const auto start = Clock::now();
                const Retransmits before = retransmits();
                std::vector<Flow> flows = run(m, perRound, port, udpPorts);
                const Retransmits after = retransmits();
                figures[i].resent[on].syn += after.syn - before.syn;
                figures[i].resent[on].held += after.held - before.held;
                for (const Flow& f : flows) (on ? figures[i].on : figures[i].off).push_back(f.callMs);
                if (!on) continue;
                receiver->waitForFlows(flows, protocolOf(m.type), start, 10s);
                figures[i].flows += flows.size();
                for (const Flow& f : flows) {
                    auto message = receiver->messageFor(f, protocolOf(m.type), start);
                    figures[i].attributed += message && message->process.audit_token.pid == f.pid &&
                                             message->process.executable.path == self;
                }
            }
        }
    }

    std::printf("flow_bench: %d flows per mode in %d pairs of rounds with and without flowspur, %zu idle processes; "
                "call = connect or send, (+) = added by flowspur\n",
                perRound * kPairs, kPairs, idlers.size());
    for (std::size_t i = 0; i < std::size(modes); ++i) {
        const Figures& f = figures[i];
        double p50 = percentile(f.on, 0.5), p99 = percentile(f.on, 0.99);
        double b50 = percentile(f.off, 0.5), b99 = percentile(f.off, 0.99);
        char resent[96] = "";
        if (modes[i].type == SOCK_STREAM) {
            std::snprintf(resent, sizeof resent, "  SYNs resent %llu/%llu on/off, still held %llu/%llu",
                          static_cast<unsigned long long>(f.resent[1].syn),
                          static_cast<unsigned long long>(f.resent[0].syn),
                          static_cast<unsigned long long>(f.resent[1].held),
                          static_cast<unsigned long long>(f.resent[0].held));
        }
        std::printf("  %-46s attributed %4zu of %4zu (%5.1f%%)  call p50 %6.2f ms (%+6.2f)  p99 %6.2f ms (%+6.2f)"
                    "%s%s%s  load %s\n",
                    modes[i].name, f.attributed, f.flows,
                    f.flows == 0 ? 0.0 : 100.0 * double(f.attributed) / double(f.flows), p50, p50 - b50, p99,
                    p99 - b99, modes[i].goal ? "  " : "", modes[i].goal ? modes[i].goal : "", resent,
                    loadAverage().c_str());
    }
    std::fflush(stdout);

    // Bursts: every flow is reported or counted in flowspur's log. The counts of what
    // went undescribed are written within 10 s, and when flowspur stops.
    struct Burst {
        const char* name;
        int type;
        std::vector<Flow> flows;
        std::size_t reported = 0;
        double seconds = 0;
    };
    Burst bursts[] = {{"non-blocking connect then close", SOCK_STREAM, {}}, {"UDP send then close", SOCK_DGRAM, {}}};
    Ports tcpPorts;
    for (Burst& b : bursts) {
        if (burstFlows == 0) break;
        std::uint16_t first = (b.type == SOCK_STREAM ? tcpPorts : udpPorts).take(burstFlows);
        // The server's port is not among them: it listens.
        if (b.type == SOCK_STREAM && port >= first && port < first + burstFlows) first = tcpPorts.take(burstFlows);
        auto start = Clock::now();
        b.flows = flowharness::burst(b.type, burstFlows, 8, first);
        b.seconds = bench::seconds(start);
        std::erase_if(b.flows, [](const Flow& f) { return f.port == 0; });
        // Until every flow is reported, or nothing more came for 3 s.
        std::size_t seen = receiver->received();
        for (auto quiet = Clock::now(); Clock::now() - quiet < 3s;) {
            std::this_thread::sleep_for(100ms);
            if (receiver->received() != seen) seen = receiver->received(), quiet = Clock::now();
            b.reported = 0;
            for (const Flow& f : b.flows) b.reported += receiver->messageFor(f, protocolOf(b.type)).has_value();
            if (b.reported == b.flows.size()) break;
        }
    }
    ::kill(flowspur, SIGTERM);
    flowharness::waitForExit(flowspur, 10s);
    if (burstFlows != 0) {
        std::size_t unreported = 0;
        for (const Burst& b : bursts) unreported += b.flows.size() - b.reported;
        std::uint64_t counted = flowharness::unreportedInLog(flowspurLog);
        for (const Burst& b : bursts) {
            std::printf("  burst of %zu %s flows from 8 threads at once (made in %.2f s): reported %zu (%5.2f%%)  "
                        "load %s\n",
                        b.flows.size(), b.name, b.seconds, b.reported,
                        b.flows.empty() ? 0.0 : 100.0 * double(b.reported) / double(b.flows.size()),
                        loadAverage().c_str());
        }
        std::printf("  bursts: %zu flows unreported, %llu counted in flowspur's log as gone without a message (%s)\n",
                    unreported, static_cast<unsigned long long>(counted),
                    counted == unreported ? "every one" : "counts differ");
        std::ifstream log(flowspurLog);
        for (std::string line; std::getline(log, line);) {
            if (line.find("undescribed") != std::string::npos || line.find("went on after") != std::string::npos ||
                line.find("Dropped") != std::string::npos) {
                std::printf("    flowspur: %s\n", line.c_str());
            }
        }
    }

    for (pid_t p : idlers) ::kill(p, SIGKILL);
    for (pid_t p : idlers) ::waitpid(p, nullptr, 0);
    fs::remove_all(dir);
    return 0;
}
