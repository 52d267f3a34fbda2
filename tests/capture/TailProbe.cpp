// capture_tail_probe PATH -F|-f: follows PATH with a tail source (by name or by
// descriptor) until it reports errorReadingFromFile or a minute has passed; following
// the descriptor, it then waits for tail to give up and exit. Prints the description of
// each error reported until then, one a line; exits 0 when one was errorReadingFromFile.
// The tail tests run it as another user to meet a file that user may not read.
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "ESLoggerTail.h"

int main(int argc, char** argv) {
    if (argc != 3 || (std::strcmp(argv[2], "-F") != 0 && std::strcmp(argv[2], "-f") != 0)) {
        std::fprintf(stderr, "usage: capture_tail_probe PATH -F|-f\n");
        return 2;
    }
    const bool followFile = std::strcmp(argv[2], "-F") == 0;
    std::mutex mutex;
    std::condition_variable reported;
    std::vector<std::string> reports;
    bool done = false;
    std::optional<es::ESLoggerTail> source;
    source.emplace(
        argv[1], es::ESLogger::EventCallback{},
        [&](const es::ESLogger::Error& error) {
            std::lock_guard lock(mutex);
            reports.push_back(error.description());
            done = done || error.kind() == es::ESLogger::Error::Kind::errorReadingFromFile;
            reported.notify_all();
        },
        logging::Logger::Level::critical, dispatch::QoS::normal, followFile);
    source->start();
    bool found;
    {
        std::unique_lock lock(mutex);
        found = reported.wait_for(lock, std::chrono::minutes(1), [&] { return done; });
    }
    if (found && !followFile)
        while (source->isRunning()) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    source.reset();  // ends tail and reports what it said until then
    std::lock_guard lock(mutex);
    for (const auto& report : reports) std::printf("%s\n", report.c_str());
    return found ? 0 : 1;
}
