// app_load FILE: opens FILE in the events view as the application does (offscreen),
// through the file source, the add-event path, the store and the table, and prints the
// time until the last event is in the table and the process's peak resident size; beside
// it, in the same run and first, the file source alone with a callback that only counts.
#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include <QApplication>

#include "BenchSupport.h"
#include "DefaultSettings.h"
#include "Dispatch.h"
#include "ESLoggerFile.h"
#include "EventViewDelegate.h"
#include "MainQueueHook.h"
#include "SourceControl.h"
#include "ViewController.h"

using bench::seconds;

namespace {
// Minor page faults of this process so far.
long minorFaults() {
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    return usage.ru_minflt;
}
}  // namespace

namespace {

// Quits the event loop once everything the load queued on the main queue has run.
class LoadWatcher final : public qm::EventViewDelegate {
public:
    void eventsDidLoad() override {
        // The load's last batch and reload were queued before this call.
        dispatch::DispatchQueue::main().async([] { QCoreApplication::quit(); });
    }
    void saveDidComplete() override {}
};

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: app_load FILE\n");
        return 2;
    }
    const std::filesystem::path file = argv[1];
    std::error_code error;
    const double mb = double(std::filesystem::file_size(file, error)) / 1e6;
    if (error) {
        std::fprintf(stderr, "app_load: cannot read %s\n", argv[1]);
        return 1;
    }

    // The file source alone, as the application makes it (log level info).
    std::size_t counted = 0;
    es::ESLoggerFile alone(
        file, [&](es::ESMessage) { ++counted; }, [](const es::ESLogger::Error&) {}, logging::Logger::Level::info);
    long faults0 = minorFaults();
    auto t0 = std::chrono::steady_clock::now();
    alone.start();
    const double aloneSecs = seconds(t0);
    const double aloneRSS = bench::peakRSSMB();
    const std::string aloneLoad = bench::loadAverage();
    const long aloneFaults = minorFaults() - faults0;

    ::setenv("QT_QPA_PLATFORM", "offscreen", 0);
    QApplication app(argc, argv);
    const qm::MainQueueHook mainQueue;
    qm::registerDefaultSettings();
    double appSecs = 0;
    long appFaults = 0;
    std::string appLoad;
    std::size_t rows = 0, all = 0;
    {
        qm::ViewController view;
        LoadWatcher watcher;
        view.setDelegate(&watcher);
        view.resize(1200, 800);
        view.show();
        faults0 = minorFaults();
        t0 = std::chrono::steady_clock::now();
        view.openEventFiles(file);
        app.exec();
        appSecs = seconds(t0);
        appFaults = minorFaults() - faults0;
        appLoad = bench::loadAverage();
        rows = std::size_t(view.shownEvents().size());
        all = view.filters.allEvents.size();
        view.setDelegate(nullptr);
    }
    qm::SourceControl::waitForSourceWork();
    const double rss = bench::peakRSSMB();

    // A load that stopped early (an alert, memory running out) is no figure of speed.
    if (all != counted) {
        std::printf("app: the load stopped after %zu of the %zu events the file source alone counted, %.3f s"
                    " (load %s); no figure\n",
                    all, counted, appSecs, appLoad.c_str());
        return 1;
    }
    std::printf("app: %.3f s to the last of %zu events in the table (%zu rows), %.1f MB/s, peak RSS %.1f MB = %.3f x file,"
                " %ld minor page faults (load %s)\n",
                appSecs, all, rows, mb / appSecs, rss, rss / mb, appFaults, appLoad.c_str());
    std::printf("file source alone: %.3f s for %zu events, %.1f MB/s, peak RSS after it %.1f MB, %ld minor page faults"
                " (load %s)\n",
                aloneSecs, counted, mb / aloneSecs, aloneRSS, aloneFaults, aloneLoad.c_str());
    std::printf("file %.1f MB; app / file source alone %.2f\n", mb, appSecs / aloneSecs);
    return 0;
}
