// esfixtures SEED COUNT: writes COUNT eslogger-shaped JSON lines to standard output.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "FixtureGenerator.h"

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: esfixtures SEED COUNT\n");
        return 2;
    }
    char* end = nullptr;
    unsigned long long seed = std::strtoull(argv[1], &end, 10);
    if (*end) return std::fprintf(stderr, "esfixtures: bad seed %s\n", argv[1]), 2;
    long long count = std::strtoll(argv[2], &end, 10);
    if (*end || count < 0) return std::fprintf(stderr, "esfixtures: bad count %s\n", argv[2]), 2;
    fixtures::FixtureGenerator gen(seed);
    std::string out;
    for (long long i = 0; i < count; ++i) {
        es::appendMessage(out, gen.next());
        out += '\n';
        if (out.size() > (1 << 20)) {
            std::fwrite(out.data(), 1, out.size(), stdout);
            out.clear();
        }
    }
    std::fwrite(out.data(), 1, out.size(), stdout);
    return std::fflush(stdout) == 0 ? 0 : 1;
}
