// esjson [--pretty]: reads JSON Lines on standard input; for each line writes the
// message encoded again, or "error <kind> <path>" when the line does not decode.
// Lines are repaired to well-formed UTF-8 first, as the capture sources do. Exits 1
// with a message on standard error when standard input cannot be read.
#include <cerrno>
#include <cstring>
#include <iostream>
#include <string>

#include "CaptureText.h"
#include "ESMessage.h"

int main(int argc, char** argv) {
    bool pretty = argc > 1 && std::strcmp(argv[1], "--pretty") == 0;
    std::ios::sync_with_stdio(false);
    std::string line, scratch;
    errno = 0;
    while (std::getline(std::cin, line)) {
        auto decoded = es::decodeMessage(es::capture::repairedUTF8(line, scratch));
        if (decoded.ok()) {
            std::cout << es::encodeMessage(decoded.value(), pretty) << '\n';
        } else {
            const auto& f = decoded.failure();
            std::cout << "error " << es::kindName(f.kind) << ' ' << f.pathText() << '\n';
        }
    }
    if (std::cin.bad()) {
        std::cerr << "esjson: error reading standard input: "
                  << (errno != 0 ? std::strerror(errno) : "read failed") << '\n';
        return 1;
    }
    return 0;
}
