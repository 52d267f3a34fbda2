// esjson [--pretty]: reads JSON Lines on standard input and cuts them as the file source
// does (a line without its line feed or carriage return and line feed, repaired to
// well-formed UTF-8, split at the other newline characters; empty pieces skipped); for
// each piece writes the message encoded again, or "error <kind> <path>" when it does not
// decode. Exits 1 with a message on standard error when standard input cannot be read.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "CaptureText.h"
#include "ESMessage.h"

int main(int argc, char** argv) {
    const bool pretty = argc > 1 && std::strcmp(argv[1], "--pretty") == 0;
    char* buffer = nullptr;
    std::size_t capacity = 0;
    std::string scratch, out;
    errno = 0;
    for (ssize_t length; (length = ::getline(&buffer, &capacity, stdin)) >= 0;) {
        const auto text = es::capture::lineText({buffer, static_cast<std::size_t>(length)}, scratch);
        es::capture::forEachPiece(text, [&](std::string_view piece) {
            if (piece.empty()) return;
            auto decoded = es::decodeMessage(piece);
            if (decoded.ok()) {
                out += es::encodeMessage(decoded.value(), pretty);
            } else {
                const auto& f = decoded.failure();
                out += "error " + std::string(es::kindName(f.kind)) + ' ' + f.pathText();
            }
            out += '\n';
        });
        if (out.size() > (1 << 16)) {
            std::fwrite(out.data(), 1, out.size(), stdout);
            out.clear();
        }
    }
    const int readError = std::ferror(stdin) ? errno : 0;
    std::free(buffer);
    std::fwrite(out.data(), 1, out.size(), stdout);
    if (readError != 0 || std::ferror(stdin)) {
        std::fprintf(stderr, "esjson: error reading standard input: %s\n",
                     readError != 0 ? std::strerror(readError) : "read failed");
        return 1;
    }
    return std::fflush(stdout) == 0 ? 0 : 1;
}
