// esfixtures [--shuffled-keys] [--unknown-keys] [--version10] SEED COUNT: writes COUNT
// eslogger-shaped JSON lines to standard output. By default keys stand in
// declaration order; the flags give the shapes of real captures (see LineShape).
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "FixtureGenerator.h"

int main(int argc, char** argv) {
    fixtures::LineShape shape;
    int arg = 1;
    for (; arg < argc && std::string_view(argv[arg]).starts_with("--"); ++arg) {
        std::string_view flag = argv[arg];
        if (flag == "--shuffled-keys") shape.shuffledKeys = true;
        else if (flag == "--unknown-keys") shape.unknownKeys = true;
        else if (flag == "--version10") shape.version10 = true;
        else return std::fprintf(stderr, "esfixtures: unknown flag %s\n", argv[arg]), 2;
    }
    if (argc - arg != 2) {
        std::fprintf(stderr, "usage: esfixtures [--shuffled-keys] [--unknown-keys] [--version10] SEED COUNT\n");
        return 2;
    }
    char* end = nullptr;
    unsigned long long seed = std::strtoull(argv[arg], &end, 10);
    if (*end) return std::fprintf(stderr, "esfixtures: bad seed %s\n", argv[arg]), 2;
    long long count = std::strtoll(argv[arg + 1], &end, 10);
    if (*end || count < 0) return std::fprintf(stderr, "esfixtures: bad count %s\n", argv[arg + 1]), 2;
    const bool shaped = shape.shuffledKeys || shape.reversedKeys || shape.unknownKeys || shape.version10;
    fixtures::FixtureGenerator gen(seed);
    std::string out;
    for (long long i = 0; i < count; ++i) {
        if (shaped) out += gen.nextLine(shape);
        else es::appendMessage(out, gen.next());
        out += '\n';
        if (out.size() > (1 << 20)) {
            std::fwrite(out.data(), 1, out.size(), stdout);
            out.clear();
        }
    }
    std::fwrite(out.data(), 1, out.size(), stdout);
    return std::fflush(stdout) == 0 ? 0 : 1;
}
