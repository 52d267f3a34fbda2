// annotate_bench [COUNT] [SEED]: makes COUNT generated events (default 1,000,000)
// and prints the time per event of annotating them under the default settings, of
// a fresh summary, and of a summary's search text written into a reused buffer,
// each on 1 thread and on 8 threads at once (every thread its own part of the
// events), with the load average.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <thread>
#include <vector>

#include "BenchSupport.h"
#include "DefaultSettings.h"
#include "EventAnnotator.h"
#include "EventArena.h"
#include "EventSummary.h"
#include "FixtureGenerator.h"

namespace {

using Clock = std::chrono::steady_clock;

// Median of 5 runs of work(begin, end) over the items split into `threads` parts
// that run at once, in nanoseconds per event on one thread.
template <class Work>
double nsPerEvent(std::size_t count, std::size_t threads, Work work) {
    std::vector<double> ns;
    for (int run = 0; run < 5; ++run) {
        auto t = Clock::now();
        std::vector<std::jthread> workers;
        for (std::size_t p = 0; p < threads; ++p)
            workers.emplace_back([&, p] { work(count * p / threads, count * (p + 1) / threads); });
        workers.clear();
        ns.push_back(std::chrono::duration<double, std::nano>(Clock::now() - t).count() * double(threads) /
                     double(count));
    }
    std::sort(ns.begin(), ns.end());
    return ns[ns.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
    const std::size_t count = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 1'000'000;
    const std::uint64_t seed = argc > 2 ? std::strtoull(argv[2], nullptr, 10) : 1;

    qm::InMemorySettings settings;
    qm::registerDefaultSettings(settings);
    qm::EventAnnotator annotator(settings);
    qm::InMemorySettings none;
    qm::EventAnnotator quiet(none);  // marks nothing, so that items are made without the annotator's work
    fixtures::FixtureGenerator generator(seed);
    qm::EventArena arena;
    std::vector<qm::EventItemPtr> items;
    items.reserve(count);
    for (std::size_t i = 0; i < count; ++i) items.push_back(qm::makeEventItem(arena, generator.next(), quiet));

    std::size_t marked = 0;
    for (const auto& item : items) {
        annotator.annotate(*item);
        marked += !item->annotations().isEmpty();
    }
    std::printf("annotate_bench: %zu events (seed %llu), %zu annotated, ns per event on one thread (median of 5)\n",
                count, static_cast<unsigned long long>(seed), marked);

    auto annotate = [&](std::size_t begin, std::size_t end) {
        for (std::size_t i = begin; i < end; ++i) annotator.annotate(*items[i]);
    };
    auto fresh = [&](std::size_t begin, std::size_t end) {
        std::size_t sum = 0;
        for (std::size_t i = begin; i < end; ++i) sum += qm::eventSummary(*items[i]).searchText().size();
        if (sum == 1) std::printf(" ");
    };
    auto reused = [&](std::size_t begin, std::size_t end) {
        std::size_t sum = 0;
        for (std::size_t i = begin; i < end; ++i) sum += qm::eventSearchText(*items[i]).size();
        if (sum == 1) std::printf(" ");
    };
    const std::pair<const char*, std::function<void(std::size_t, std::size_t)>> lines[] = {
        {"annotate (default settings)", annotate},
        {"summary, fresh value", fresh},
        {"summary search text, reused buffer", reused},
    };
    for (const auto& [what, work] : lines)
        for (std::size_t threads : {1, 8})
            std::printf("  %-36s %zu thread%s %8.1f ns/event (load %s)\n", what, threads, threads == 1 ? " " : "s",
                        nsPerEvent(count, threads, work), bench::loadAverage().c_str());
    return 0;
}
