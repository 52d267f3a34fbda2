// store_bench [COUNT] [SEED]: fills an event store with COUNT generated events
// (default 1,000,000) and prints the time of each refilter pass on its own, of a
// "Details" search, of setPIDChain and of setTimeWindow, and the resident memory
// per stored event.
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "BenchSupport.h"
#include "DefaultSettings.h"
#include "EventAnnotator.h"
#include "EventArena.h"
#include "EventFilters.h"
#include "FixtureGenerator.h"

namespace {

using Clock = std::chrono::steady_clock;

double msSince(Clock::time_point t) { return std::chrono::duration<double, std::milli>(Clock::now() - t).count(); }

// Resident set size of this process, in bytes.
std::size_t residentBytes() {
    std::ifstream statm("/proc/self/statm");
    std::size_t pages = 0, resident = 0;
    statm >> pages >> resident;
    return resident * static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
}

// Median of a few runs of f, in milliseconds, each after an untimed prepare();
// the result size of the last run.
template <class F, class Prepare>
std::pair<double, std::size_t> timeIt(F&& f, Prepare&& prepare, int runs = 5) {
    std::vector<double> ms;
    std::size_t size = 0;
    for (int i = 0; i < runs; ++i) {
        prepare();
        auto t = Clock::now();
        size = f();
        ms.push_back(msSince(t));
    }
    std::sort(ms.begin(), ms.end());
    return {ms[ms.size() / 2], size};
}

template <class F>
std::pair<double, std::size_t> timeIt(F&& f) {
    return timeIt(f, [] {});
}

void report(const char* what, std::pair<double, std::size_t> r, std::size_t total) {
    std::printf("  %-34s %9.1f ms  %7.1f ns/event  kept %-8zu (load %s)\n", what, r.first, r.first * 1e6 / double(total),
                r.second, bench::loadAverage().c_str());
}

}  // namespace

int main(int argc, char** argv) {
    const std::size_t count = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 1'000'000;
    const std::uint64_t seed = argc > 2 ? std::strtoull(argv[2], nullptr, 10) : 1;

    qm::InMemorySettings settings;
    qm::registerDefaultSettings(settings);
    qm::EventAnnotator annotator(settings);
    fixtures::FixtureGenerator generator(seed);
    qm::EventArena arena;  // as the events view makes its items
    qm::EventFilters store;

    // Messages are generated a batch at a time outside the timed part, so that the
    // add line times building, annotating and adding alone.
    constexpr std::size_t batchSize = 4096;
    std::vector<es::ESMessage> batch;
    batch.reserve(batchSize);
    double buildMs = 0;
    const std::size_t before = residentBytes();
    for (std::size_t done = 0; done < count; done += batch.size()) {
        batch.clear();
        for (std::size_t i = done; i < count && batch.size() < batchSize; ++i) batch.push_back(generator.next());
        auto t = Clock::now();
        for (auto& m : batch) store.addEvent(qm::makeEventItem(arena, std::move(m), annotator));
        buildMs += msSince(t);
    }
    batch = {};
    const std::size_t after = residentBytes();

    std::printf("store_bench: %zu events (seed %llu), %zu programs\n", count, static_cast<unsigned long long>(seed),
                store.allPrograms.size());
    std::printf("  build + annotate + add: %.0f ms (%.0f events/s) (load %s)\n", buildMs, double(count) / buildMs * 1e3,
                bench::loadAverage().c_str());
    std::printf("  resident memory: %.0f MB for the store, %.0f bytes per event\n", double(after - before) / 1e6,
                double(after - before) / double(count));

    // Values that pick a part of the data for each filter.
    const auto& middle = *store.allEvents[count / 2];
    const std::int64_t pid = middle.theProcess().audit_token.pid;
    const std::string path = middle.theProcess().executable.path;
    const std::int64_t midTime = middle.timestamp();

    // As the events view does: the result replaces the shown list, and the list it
    // replaces is let go.
    auto refilter = [&] {
        store.setFilteredEvents(store.refilter(store.allEvents, -1));
        return store.filteredEvents.size();
    };
    using Setup = std::function<void(qm::EventFilters&)>;
    const std::pair<const char*, Setup> passes[] = {
        {"refilter, platform binaries", [](auto& f) { f.appleBinaryFilter = true; }},
        {"refilter, annotated only", [](auto& f) { f.annotateFilter = true; }},
        {"refilter, time window (300 s)", [&](auto& f) { f.timeWindowStart = midTime - 150, f.timeWindowEnd = midTime + 150; }},
        {"refilter, process chain", [&](auto& f) { f.selectedPIDChain.pid = {pid}, f.selectedPIDChain.ppid = {pid}; }},
        {"refilter, selected types", [](auto& f) {
             f.selectedEventTypes = {es::EventType::ES_EVENT_TYPE_NOTIFY_EXEC, es::EventType::ES_EVENT_TYPE_NOTIFY_OPEN};
         }},
        {"refilter, hidden types", [](auto& f) { f.deselectedEventTypes = {es::EventType::ES_EVENT_TYPE_NOTIFY_OPEN}; }},
        {"refilter, selected program", [&](auto& f) { f.selectedPrograms = {path}; }},
        {"refilter, hidden program", [&](auto& f) { f.deselectedPrograms = {path}; }},
        {"refilter, search \"Program\"", [](auto& f) { f.searchCategory = "Program", f.searchString = "bin/"; }},
        {"refilter, search \"PID\"", [&](auto& f) { f.searchCategory = "PID", f.searchString = std::to_string(pid); }},
        {"refilter, search \"Annotations\"", [](auto& f) { f.searchCategory = "Annotations", f.searchString = "privileged_user"; }},
        {"refilter, search \"Details\"", [](auto& f) { f.searchCategory = "Details", f.searchString = "/Library/"; }},
    };
    std::printf("filters over %zu events (median of 5 runs):\n", count);
    for (const auto& [what, setup] : passes) {
        store.clearAll();
        setup(store);
        report(what, timeIt(refilter), count);
    }

    store.clearAll();
    report("setPIDChain (one pid)", timeIt([&] {
               store.setPIDChain({pid});
               return store.filteredEvents.size();
           }),
           count);
    store.clearAll();
    report("setTimeWindow (300 s, no filter)", timeIt(
               [&] {
                   store.setTimeWindow(midTime, 300, -1);
                   return store.filteredEvents.size();
               },
               [&] { store.timeWindowStart = store.timeWindowEnd = 0; }),
           count);
    store.clearAll();
    store.selectedPrograms = {path};
    store.filteredEvents = store.refilter(store.allEvents, -1);
    const auto shown = store.filteredEvents;
    // The shown list is put back before each run, untimed; the run includes letting
    // go of it when the narrowed list replaces it.
    report("setTimeWindow (first, narrowing)", timeIt(
               [&] {
                   store.setTimeWindow(midTime, 300, static_cast<std::int64_t>(shown.size() / 2));
                   return store.filteredEvents.size();
               },
               [&] {
                   store.timeWindowStart = store.timeWindowEnd = 0;
                   store.filteredEvents = shown;
               }),
           count);
    return 0;
}
