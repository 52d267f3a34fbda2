// file_source_memory: the peak resident size of a process that replays, through the file
// event source, files whose lines are many and short: a 1 MB file of "{}" and a million
// blank lines, and a 28.5 MB capture written pretty-printed (one message over many
// lines). Each file is replayed in a process of its own (this program run again with
// --replay FILE), so that each peak is that replay's alone.
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>

#include "BenchSupport.h"
#include "ESLoggerFile.h"
#include "FixtureGenerator.h"

namespace {

int replay(const char* path) {
    std::size_t events = 0, errors = 0;
    es::ESLoggerFile source(
        path, [&](es::ESMessage) { ++events; }, [&](const es::ESLogger::Error&) { ++errors; },
        logging::Logger::Level::info);
    source.start();
    std::printf("  events=%zu errors=%zu seen=%lld peak_rss_MB=%.1f load=%s\n", events, errors,
                static_cast<long long>(source.eventsSeen()), bench::peakRSSMB(), bench::loadAverage().c_str());
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 3 && std::strcmp(argv[1], "--replay") == 0) return replay(argv[2]);

    const auto dir = std::filesystem::temp_directory_path() / ("file_source_memory." + std::to_string(::getpid()));
    std::filesystem::create_directories(dir);
    const auto blank = dir / "blank.jsonl", pretty = dir / "pretty.json";
    {
        std::ofstream out(blank, std::ios::binary);
        out << "{}\n" << std::string(1'000'000, '\n');
    }
    {
        std::ofstream out(pretty, std::ios::binary);
        fixtures::FixtureGenerator gen(28);
        for (std::size_t written = 0; written < 28'500'000;) {
            const std::string text = es::encodeMessage(gen.next(), true) + "\n";
            out << text;
            written += text.size();
        }
    }
    for (const auto& file : {blank, pretty}) {
        std::printf("%s (%.1f MB):\n", file.filename().c_str(), double(std::filesystem::file_size(file)) / 1e6);
        std::fflush(stdout);
        if (const pid_t child = ::fork(); child == 0) {
            ::execl("/proc/self/exe", argv[0], "--replay", file.c_str(), static_cast<char*>(nullptr));
            _exit(127);
        } else {
            int status = 0;
            ::waitpid(child, &status, 0);
        }
    }
    std::filesystem::remove_all(dir);
    return 0;
}
