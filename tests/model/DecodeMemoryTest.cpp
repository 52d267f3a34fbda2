// Decoding a line when memory runs out at any one allocation: the decode either gives
// the message or throws std::bad_alloc (never a false "not valid JSON"), and the same
// thread then decodes the line again in full.
#include <gtest/gtest.h>

#include <new>
#include <string>
#include <thread>

#include "ESMessage.h"
#include "FailingAllocation.h"
#include "FixtureGenerator.h"

namespace {

struct Outcome {
    bool failed = false;  // the armed allocation was reached
    std::string wrong;    // what went wrong, empty when nothing did
};

// On a thread of its own, so that its parsers start with no memory, as a reader's do.
Outcome decodeFailingAt(const std::string& line, std::int64_t seq, long succeeding) {
    Outcome outcome;
    std::thread([&] {
        {
            const failalloc::OnThisThread failing(succeeding);
            try {
                const es::Decoded<es::ESMessage> decoded = es::decodeMessage(line);
                if (!decoded) outcome.wrong = "failed as " + decoded.failure().description;
                else if (decoded->global_seq_num != seq) outcome.wrong = "decoded the wrong number";
            } catch (const std::bad_alloc&) {
            }
            outcome.failed = failing.failed();
        }
        const es::Decoded<es::ESMessage> again = es::decodeMessage(line);
        if (!again || again->global_seq_num != seq) outcome.wrong += " / not decoded again";
    }).join();
    return outcome;
}

TEST(DecodeMemory, EveryAllocationOfADecodeFailsCleanly) {
    fixtures::FixtureGenerator generator(5);
    const es::ESMessage message = generator.next();
    const std::string compact = es::encodeMessage(message);
    struct Case {
        const char* shape;
        std::string line;
    };
    // An escaped key is left to the tree parser; the rest is read straight from the text.
    std::string escaped = compact;
    const std::size_t key = escaped.find("\"seq_num\"");
    ASSERT_NE(key, std::string::npos);
    escaped.replace(key, 9, "\"seq_n\\u0075m\"");
    const Case cases[] = {
        {"read from the text", generator.shapeLine(compact, {.shuffledKeys = true, .unknownKeys = true})},
        {"parsed as a tree", escaped},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.shape);
        long succeeding = 0;
        for (Outcome outcome; (outcome = decodeFailingAt(c.line, message.global_seq_num, succeeding)).failed; ++succeeding)
            ASSERT_EQ(outcome.wrong, "") << "allocation " << succeeding;
        EXPECT_GT(succeeding, 2);  // the sweep reached the parsers' own buffers
    }
}

}  // namespace
