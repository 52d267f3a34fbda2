// esjson [--pretty]: reads eslogger JSON Lines on standard input through the file source
// itself, so with the application's own line rules (lines and their pieces, UTF-8
// repair, held fragments, gaps, the first "{"), and writes what the application would
// get, in order: each message encoded again, one line each, and each reported error as
// "error " followed by its description (error jsonMissingKey(keyName: "version")).
// Last, it writes the source's counters on standard error: "seen N dropped M".
// Input that cannot be read or does not begin with "{" is the file source's
// invalidDataInFile: its error line, a message on standard error, and exit status 1.
#include <cstdio>
#include <cstring>
#include <string>

#include "ESLoggerFile.h"

namespace {

void write(std::string& out) {
    std::fwrite(out.data(), 1, out.size(), stdout);
    out.clear();
}

}  // namespace

int main(int argc, char** argv) {
    const bool pretty = argc > 1 && std::strcmp(argv[1], "--pretty") == 0;
    std::string out;
    bool unreadable = false;
    es::ESLoggerFile source(
        "/dev/stdin",
        [&](es::ESMessage&& message) {
            out += es::encodeMessage(message, pretty);
            out += '\n';
            if (out.size() > (1 << 16)) write(out);
        },
        [&](const es::ESLogger::Error& error) {
            out += "error " + error.description() + '\n';
            unreadable = unreadable || error.kind() == es::ESLogger::Error::Kind::invalidDataInFile;
        },
        logging::Logger::Level::critical);
    source.start();
    write(out);
    std::fprintf(stderr, "seen %lld dropped %lld\n", static_cast<long long>(source.eventsSeen()),
                 static_cast<long long>(source.eventsDropped()));
    if (unreadable) {
        std::fprintf(stderr, "esjson: standard input cannot be read or does not begin with \"{\"\n");
        return 1;
    }
    return std::fflush(stdout) == 0 ? 0 : 1;
}
