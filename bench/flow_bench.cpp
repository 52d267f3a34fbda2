// Bursts of short TCP connections in a private network namespace, with about a
// thousand idle processes beside them, through the real flowspur: prints the share of
// connections that were reported and the delay from connect to message (p50, p99).
// Needs root. Usage: flow_bench [bursts] [connections per burst] [idle processes]

#include "FlowspurHarness.h"

#include <signal.h>

#include <algorithm>
#include <cstdio>
#include <future>

#include "BenchSupport.h"
#include "Bundle.h"
#include "FilterManager.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

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

}  // namespace

int main(int argc, char** argv) {
    int bursts = argc > 1 ? std::atoi(argv[1]) : 10;
    int perBurst = argc > 2 ? std::atoi(argv[2]) : 100;
    int idle = argc > 3 ? std::atoi(argv[3]) : 1000;

    flowharness::PrivateNetwork network;
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
        probe = flowharness::connectAndClose(flowharness::PrivateNetwork::kPeer, port);
        if (receiver->waitForPorts({probe}, 100ms)) break;
    }
    if (!registered || receiver->flows(probe).empty()) {
        std::fprintf(stderr, "flow_bench: flowspur did not come up (log in %s)\n", dir.c_str());
        return 1;
    }

    struct Sample {
        std::uint16_t port;
        Clock::time_point start;
        double connectMs;  // connect and close, the flow held meanwhile
    };
    std::vector<Sample> samples;
    constexpr int kThreads = 4;
    auto began = Clock::now();
    for (int b = 0; b < bursts; ++b) {
        std::vector<std::vector<Sample>> parts(kThreads);
        std::vector<std::thread> threads;
        for (int t = 0; t < kThreads; ++t) {
            threads.emplace_back([&, t] {
                for (int i = t; i < perBurst; i += kThreads) {
                    auto start = Clock::now();
                    std::uint16_t p = flowharness::connectAndClose(flowharness::PrivateNetwork::kPeer, port);
                    double ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
                    if (p) parts[t].push_back({p, start, ms});
                }
            });
        }
        for (auto& t : threads) t.join();
        for (auto& p : parts) samples.insert(samples.end(), p.begin(), p.end());
        std::this_thread::sleep_for(200ms);  // between bursts
    }
    double burstSeconds = bench::seconds(began);
    std::vector<std::uint16_t> ports;
    for (const Sample& s : samples) ports.push_back(s.port);
    receiver->waitForPorts(ports, 10s);

    std::vector<double> delays, connects;
    for (const Sample& s : samples) {
        connects.push_back(s.connectMs);
        auto flows = receiver->flows(s.port);
        if (flows.empty()) continue;
        delays.push_back(std::chrono::duration<double, std::milli>(flows.front().arrived - s.start).count());
    }
    std::printf("flow_bench: %d bursts of %d connections, %zu idle processes, %.2f s\n", bursts, perBurst,
                idlers.size(), burstSeconds);
    std::printf("  reported    %zu of %zu (%.1f%%)\n", delays.size(), samples.size(),
                samples.empty() ? 0.0 : 100.0 * double(delays.size()) / double(samples.size()));
    std::printf("  connect to message  p50 %.2f ms   p99 %.2f ms   max %.2f ms\n", percentile(delays, 0.5),
                percentile(delays, 0.99), percentile(delays, 1.0));

    std::printf("  connect and close   p50 %.2f ms   p99 %.2f ms\n", percentile(connects, 0.5),
                percentile(connects, 0.99));

    ::kill(flowspur, SIGTERM);
    flowharness::waitForExit(flowspur, 10s);
    for (pid_t p : idlers) ::kill(p, SIGKILL);
    for (pid_t p : idlers) ::waitpid(p, nullptr, 0);
    fs::remove_all(dir);
    return 0;
}
