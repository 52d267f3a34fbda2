#include "NetworkExtension.h"

#include <random>

namespace netext {

UUID UUID::random() {
    thread_local std::mt19937_64 engine{std::random_device{}()};
    UUID u;
    for (std::size_t i = 0; i < 16; i += 8) {
        std::uint64_t r = engine();
        for (std::size_t j = 0; j < 8; ++j) u.bytes[i + j] = std::uint8_t(r >> (8 * j));
    }
    u.bytes[6] = std::uint8_t((u.bytes[6] & 0x0F) | 0x40);  // version 4
    u.bytes[8] = std::uint8_t((u.bytes[8] & 0x3F) | 0x80);  // RFC 4122 variant
    return u;
}

std::string UUID::uuidString() const {
    static constexpr char hex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(36);
    for (std::size_t i = 0; i < 16; ++i) {
        if (i == 4 || i == 6 || i == 8 || i == 10) out += '-';
        out += hex[bytes[i] >> 4];
        out += hex[bytes[i] & 15];
    }
    return out;
}

void NEFilterDataProvider::applySettings(std::optional<NEFilterSettings> settings,
                                         ErrorCompletion completionHandler) const {
    if (!applier_) {
        completionHandler(Error{"NEFilterErrorDomain", 1, "The filter is not running in a filter host."});
        return;
    }
    applier_(std::move(settings), std::move(completionHandler));
}

}  // namespace netext
