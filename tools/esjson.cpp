// esjson [--pretty]: reads JSON Lines on standard input; for each line writes the
// message encoded again, or "error <kind> <path>" when the line does not decode.
#include <cstring>
#include <iostream>
#include <string>

#include "ESMessage.h"

int main(int argc, char** argv) {
    bool pretty = argc > 1 && std::strcmp(argv[1], "--pretty") == 0;
    std::ios::sync_with_stdio(false);
    std::string line;
    while (std::getline(std::cin, line)) {
        auto decoded = es::decodeMessage(line);
        if (decoded.ok()) {
            std::cout << es::encodeMessage(decoded.value(), pretty) << '\n';
        } else {
            const auto& f = decoded.failure();
            std::cout << "error " << es::kindName(f.kind) << ' ' << f.pathText() << '\n';
        }
    }
    return 0;
}
