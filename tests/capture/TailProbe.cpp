// capture_tail_probe PATH: follows PATH with a tail source and prints the description of
// each error it reports, one a line, until one of them is errorReadingFromFile (exit 0) or
// a minute has passed (exit 1). tail may write one complaint in several pieces, each of
// which is reported. The tail tests run it as another user to meet a file that user may
// not read.
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

#include "ESLoggerTail.h"

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: capture_tail_probe PATH\n");
        return 2;
    }
    std::mutex mutex;
    std::condition_variable reported;
    std::vector<std::string> reports;
    bool done = false;
    es::ESLoggerTail source(
        argv[1], {},
        [&](const es::ESLogger::Error& error) {
            std::lock_guard lock(mutex);
            reports.push_back(error.description());
            done = done || error.kind() == es::ESLogger::Error::Kind::errorReadingFromFile;
            reported.notify_all();
        },
        logging::Logger::Level::critical, dispatch::QoS::normal, true);
    source.start();
    std::unique_lock lock(mutex);
    const bool found = reported.wait_for(lock, std::chrono::minutes(1), [&] { return done; });
    for (const auto& report : reports) std::printf("%s\n", report.c_str());
    return found ? 0 : 1;
}
