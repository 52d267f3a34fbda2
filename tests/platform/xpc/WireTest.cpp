#include "Wire.h"

#include <gtest/gtest.h>

namespace {

using xpc::Frame;

std::string body(const Frame& f) { return xpc::encodeFrame(f).substr(4); }

TEST(Wire, FramesRoundTrip) {
    const Frame frames[] = {
        {Frame::Kind::call, 7, "register:", {}},
        {Frame::Kind::call, 0, "shareFlowUsingMessageString:", {std::string("{\"a\":1}\n\0x", 10)}},
        {Frame::Kind::reply, 7, "", {true, std::int64_t(-9), std::string()}},
    };
    for (const Frame& f : frames) {
        std::string bytes = xpc::encodeFrame(f);
        std::uint32_t length = std::uint8_t(bytes[0]) | std::uint8_t(bytes[1]) << 8 | std::uint8_t(bytes[2]) << 16 |
                               std::uint32_t(std::uint8_t(bytes[3])) << 24;
        EXPECT_EQ(length, bytes.size() - 4);
        auto back = xpc::decodeFrameBody(std::string_view(bytes).substr(4));
        ASSERT_TRUE(back);
        EXPECT_EQ(*back, f);
    }
}

TEST(Wire, MalformedBodiesAreRefused) {
    std::string good = body({Frame::Kind::call, 1, "sel:", {true, std::string("text")}});
    auto withByte = [&](std::size_t at, char value) {
        std::string s = good;
        s[at] = value;
        return s;
    };
    const std::pair<std::string, std::string> cases[] = {
        {"empty", ""},
        {"unknown frame kind", withByte(0, 3)},
        {"truncated", good.substr(0, good.size() - 1)},
        {"bytes left over", good + "x"},
        {"selector longer than the frame", withByte(9, 100)},
        {"Bool other than 0 or 1", withByte(1 + 8 + 2 + 4 + 2 + 1, 2)},
        {"unknown argument kind", withByte(1 + 8 + 2 + 4 + 2, 9)},
        {"text longer than the frame", withByte(good.size() - 4 - 4 + 3, 0x7F)},
    };
    for (const auto& [what, bytes] : cases) EXPECT_FALSE(xpc::decodeFrameBody(bytes)) << what;
    EXPECT_TRUE(xpc::decodeFrameBody(good));
}

}  // namespace
