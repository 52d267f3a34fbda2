// What reading a filter configuration costs for files a user could leave at its path:
// processor time, wall time and growth of the peak resident set of one
// FilterConfiguration::read, each in a child process stopped past 1 GB or 30 s.
// usage: config_read_bench

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>

#include "BenchSupport.h"
#include "ChildCost.h"
#include "DeepPropertyList.h"
#include "FilterManager.h"

namespace fs = std::filesystem;

namespace {

std::string xmlOf(const std::string& body) {
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\">\n" + body + "\n</plist>\n";
}

// Entities that expand into one another, ten times each: if the parser expanded
// them, a kilobyte would stand for 10^8 characters.
std::string entityXML() {
    std::string doctype = "<!DOCTYPE plist [<!ENTITY a0 \"qqqqqqqqqq\">";
    for (int i = 1; i < 9; ++i) {
        doctype += "<!ENTITY a" + std::to_string(i) + " \"";
        for (int j = 0; j < 10; ++j) doctype += "&a" + std::to_string(i - 1) + ";";
        doctype += "\">";
    }
    doctype += "]>\n";
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n" + doctype +
           "<plist version=\"1.0\"><dict><key>LocalizedDescription</key><string>&a8;</string></dict></plist>\n";
}

// One text of length bytes and an array of refs references to it (1-byte references,
// 2-byte offsets).
std::string sharedTextBinary(std::size_t length, std::size_t refs) {
    auto put = [](std::string& s, std::uint64_t v, int bytes) {
        for (int b = bytes - 1; b >= 0; --b) s += char((v >> (8 * b)) & 0xFF);
    };
    std::string out = "bplist00", offsets;
    put(offsets, out.size(), 2);
    out += char(0xAF);
    out += char(0x11);
    put(out, refs, 2);
    out += std::string(refs, char(1));
    put(offsets, out.size(), 2);
    out += char(0x5F);
    out += char(0x11);
    put(out, length, 2);
    out += std::string(length, 'q');
    std::uint64_t table = out.size();
    out += offsets + std::string(6, '\0') + char(2) + char(1);
    put(out, 2, 8);
    put(out, 0, 8);
    put(out, table, 8);
    return out;
}

}  // namespace

int main(int argc, char**) {
    if (argc > 1) {
        std::fprintf(stderr, "usage: config_read_bench\n");
        return 2;
    }
    char tmpl[] = "/tmp/qm-config-bench-XXXXXX";
    const fs::path dir = ::mkdtemp(tmpl);
    const fs::path file = dir / "filter.plist";
    auto writes = [&](std::string bytes) {
        return [&file, bytes] { std::ofstream(file, std::ios::binary) << bytes; };
    };
    std::string manyNodes;
    while (manyNodes.size() < 4000) manyNodes += "<true/>";
    const struct {
        const char* what;
        std::function<void()> make;
    } cases[] = {
        {"binary, shared references, 12 levels of 14", writes(plisttest::sharedReferenceBinaryPropertyList(12, 14))},
        {"binary, shared references, 20 levels of 2", writes(plisttest::sharedReferenceBinaryPropertyList(20, 2))},
        {"binary, shared references, 24 levels of 2", writes(plisttest::sharedReferenceBinaryPropertyList(24, 2))},
        {"binary, one 2,000-byte text referenced 2,000 times", writes(sharedTextBinary(2000, 2000))},
        {"binary, arrays nested to the size limit", writes(plisttest::deepBinaryPropertyList(4000 / 9))},
        {"XML, arrays nested to the size limit", writes(plisttest::deepXMLPropertyList(4000 / 15))},
        {"XML, 570 values in one array", writes(xmlOf("<array>" + manyNodes + "</array>"))},
        {"XML, entities of entities", writes(entityXML())},
        {"a named pipe", [&] { ::mkfifo(file.c_str(), 0600); }},
        {"a symbolic link to /dev/zero", [&] { fs::create_symlink("/dev/zero", file); }},
        {"a folder", [&] { fs::create_directory(file); }},
    };
    std::printf("%-52s %-8s %10s %10s %12s  %s\n", "configuration", "bytes", "cpu ms", "wall ms", "growth MB", "result");
    for (const auto& c : cases) {
        fs::remove_all(file);
        c.make();
        std::error_code ec;
        const auto bytes = fs::is_regular_file(fs::symlink_status(file)) ? fs::file_size(file, ec) : 0;
        auto cost = childcost::measure(
            [&] {
                std::string error;
                auto read = netext::FilterConfiguration::read(file, error);
                return read ? std::string("read") : error.substr(error.rfind(file.string()) + file.string().size());
            },
            1024, 30);
        if (cost.returned) {
            std::printf("%-52s %-8ju %10.3f %10.3f %12.2f  %s  (load %s)\n", c.what, std::uintmax_t(bytes), cost.cpuMs,
                        cost.wallMs, cost.growthMB, cost.result.c_str(), bench::loadAverage().c_str());
        } else {
            std::printf("%-52s %-8ju %10s %10.3f %12s  stopped: %s  (load %s)\n", c.what, std::uintmax_t(bytes), "-",
                        cost.wallMs, "-", cost.why.c_str(), bench::loadAverage().c_str());
        }
        std::fflush(stdout);
    }
    fs::remove_all(dir);
}
