// Whole messages: the envelope's keys, the event object's coding, and a round trip
// of every event kind made by the fixture generator.
#include <gtest/gtest.h>

#include <random>
#include <set>

#include "ESMessage.h"
#include "EventCoding.h"
#include "FixtureGenerator.h"
#include "ModelFixtures.h"

using namespace es;
using Kind = DecodeFailure::Kind;

namespace {

// A message in declaration order; the parts are replaced by the cases below.
struct Parts {
    std::string head = R"("schema_version":1,"version":7,"time":"2023-05-01T10:00:00.123456Z","mach_time":99)";
    std::string thread = R"(,"thread":{"thread_id":5})";
    std::string seq = R"(,"seq_num":3,"global_seq_num":10)";
    std::string action = R"(,"action_type":1,"action":{"result":{"result_type":0,"result":{"auth":0}}})";
    std::string deadline = R"(,"deadline":7)";
    std::string type = R"(,"event_type":15)";
    std::string event = R"(,"event":{"exit":{"stat":0}})";
    std::string process = R"(,"process":)" + fixtures::process();

    std::string text() const { return "{" + head + thread + seq + action + deadline + type + event + process + "}"; }
};

Parts with(void (*edit)(Parts&)) {
    Parts p;
    edit(p);
    return p;
}

}  // namespace

TEST(Message, RoundTripsTheFullForm) {
    std::string text = Parts{}.text();
    auto d = decodeMessage(text);
    ASSERT_TRUE(d.ok()) << d.failure().pathText() << ": " << d.failure().description;
    EXPECT_EQ(encodeMessage(d.value()), text);
    EXPECT_EQ(d.value().event.key(), "exit");
    EXPECT_EQ(d.value().global_seq_num, 10);
}

TEST(Message, Decodes) {
    struct Case {
        const char* name;
        std::string text;
        std::string encoded;  // empty: same as text
    } cases[] = {
        {"without thread and deadline", with([](Parts& p) { p.thread = p.deadline = ""; }).text(), ""},
        {"thread and deadline null",
         with([](Parts& p) { p.thread = R"(,"thread":null)"; p.deadline = R"(,"deadline":null)"; }).text(),
         with([](Parts& p) { p.thread = p.deadline = ""; }).text()},
        {"empty action", with([](Parts& p) { p.action = R"(,"action_type":0,"action":{})"; }).text(), ""},
        {"action with other keys only", with([](Parts& p) { p.action = R"(,"action_type":0,"action":{"x":1})"; }).text(),
         with([](Parts& p) { p.action = R"(,"action_type":0,"action":{})"; }).text()},
        {"event type and event disagree", with([](Parts& p) { p.type = R"(,"event_type":9)"; }).text(), ""},
        {"last event type", with([](Parts& p) { p.type = R"(,"event_type":146)"; }).text(), ""},
        {"unknown keys at top and in event",
         with([](Parts& p) { p.head = R"("zzz":[1,{"a":null}],)" + p.head; p.event = R"(,"event":{"x":1,"exit":{"stat":0}})"; }).text(),
         Parts{}.text()},
        {"settime takes null", with([](Parts& p) { p.event = R"(,"event":{"settime":null})"; }).text(),
         with([](Parts& p) { p.event = R"(,"event":{"settime":{}})"; }).text()},
        {"settime takes a number", with([](Parts& p) { p.event = R"(,"event":{"settime":5})"; }).text(),
         with([](Parts& p) { p.event = R"(,"event":{"settime":{}})"; }).text()},
        {"cs_invalidated takes an object", with([](Parts& p) { p.event = R"(,"event":{"cs_invalidated":{"x":1}})"; }).text(),
         with([](Parts& p) { p.event = R"(,"event":{"cs_invalidated":{}})"; }).text()},
        {"flow message",
         with([](Parts& p) {
             p.thread = p.deadline = "";
             p.type = R"(,"event_type":90210)";
             p.process = R"(,"process":)" + fixtures::process(9, "/usr/bin/curl", R"(,"signing_id":"com.apple.curl")");
         }).text(),
         ""},
    };
    for (const auto& c : cases) {
        auto d = decodeMessage(c.text);
        ASSERT_TRUE(d.ok()) << c.name << ": " << d.failure().pathText() << " " << d.failure().description;
        EXPECT_EQ(encodeMessage(d.value()), c.encoded.empty() ? c.text : c.encoded) << c.name;
    }
}

TEST(Message, EventTypeIsNotComparedWithTheEvent) {
    auto d = decodeMessage(with([](Parts& p) { p.type = R"(,"event_type":9)"; }).text());
    ASSERT_TRUE(d.ok());
    EXPECT_EQ(d.value().event_type, EventType::ES_EVENT_TYPE_NOTIFY_EXEC);
    EXPECT_EQ(d.value().event.key(), "exit");
    EXPECT_EQ(d.value().event.tag(), 7u);
}

TEST(Message, Failures) {
    struct Case {
        std::string text;
        Kind kind;
        std::string path;
    } cases[] = {
        {with([](Parts& p) { p.action = R"(,"action_type":1)"; }).text(), Kind::missingKey, "action"},
        {with([](Parts& p) { p.action = R"(,"action_type":1,"action":null)"; }).text(), Kind::missingValue, "action"},
        {with([](Parts& p) { p.action = R"(,"action_type":2,"action":{})"; }).text(), Kind::corruptedData, "action_type"},
        {with([](Parts& p) { p.type = R"(,"event_type":147)"; }).text(), Kind::corruptedData, "event_type"},
        // a bad event type stops the decode before the event is read
        {with([](Parts& p) { p.type = R"(,"event_type":-1)"; p.event = R"(,"event":{})"; }).text(), Kind::corruptedData, "event_type"},
        {with([](Parts& p) { p.head = R"("schema_version":1,"version":7,"mach_time":99)"; p.process = ""; }).text(),
         Kind::missingKey, "time"},
        {with([](Parts& p) { p.thread = R"(,"thread":{})"; p.seq = R"(,"global_seq_num":10)"; }).text(), Kind::missingKey,
         "thread.thread_id"},
        {with([](Parts& p) { p.event = ""; }).text(), Kind::missingKey, "event"},
        {with([](Parts& p) { p.event = R"(,"event":{})"; }).text(), Kind::missingKey, "event"},
        {with([](Parts& p) { p.event = R"(,"event":{"x":{}})"; }).text(), Kind::missingKey, "event"},
        {with([](Parts& p) { p.event = R"(,"event":{"EXIT":{"stat":0}})"; }).text(), Kind::missingKey, "event"},
        {with([](Parts& p) { p.event = R"(,"event":[])"; }).text(), Kind::wrongType, "event"},
        {with([](Parts& p) { p.event = R"(,"event":{"exec":null})"; }).text(), Kind::missingValue, "event.exec"},
        {with([](Parts& p) { p.event = R"(,"event":{"exit":{}})"; }).text(), Kind::missingKey, "event.exit.stat"},
        {with([](Parts& p) { p.process = R"(,"process":{"audit_token":{"asid":1}})"; }).text(), Kind::missingKey,
         "process.audit_token.pidversion"},
        {"null", Kind::missingValue, "-"},
        {"[]", Kind::wrongType, "-"},
        {Parts{}.text().substr(0, 200), Kind::corruptedData, "-"},
    };
    for (const auto& c : cases) {
        auto d = decodeMessage(c.text);
        ASSERT_FALSE(d.ok()) << c.text;
        EXPECT_EQ(d.failure().kind, c.kind) << c.text << "\n" << d.failure().description;
        EXPECT_EQ(d.failure().pathText(), c.path) << c.text;
    }
}

TEST(Message, EveryEventKindFromTheGeneratorRoundTrips) {
    fixtures::FixtureGenerator gen(11);
    std::set<std::string> keys;
    for (int i = 0; i < 2000; ++i) {
        std::string line = gen.nextLine();
        auto d = decodeMessage(line);
        ASSERT_TRUE(d.ok()) << line << "\n" << d.failure().pathText() << ": " << d.failure().description;
        ASSERT_EQ(encodeMessage(d.value()), line);
        keys.insert(std::string(d.value().event.key()));
        // the generator writes the type that belongs to the event
        EXPECT_EQ(shortName(d.value().event_type), d.value().event.key());
    }
    EXPECT_EQ(keys.size(), ESEvent::caseCount);
}

// Lines are first read straight from their text; whatever that read accepts must
// decode to what the full parse gives, and whatever it refuses must still decode.
namespace {
void expectSameAsFullParse(const std::string& text) {
    auto quick = decodeMessage(text);
    auto full = decodeParsedJSON<ESMessage>(text);
    ASSERT_EQ(quick.ok(), full.ok()) << text;
    if (quick.ok()) {
        EXPECT_EQ(encodeMessage(quick.value()), encodeMessage(full.value())) << text;
    } else {
        EXPECT_EQ(quick.failure().kind, full.failure().kind) << text;
        EXPECT_EQ(quick.failure().pathText(), full.failure().pathText()) << text;
    }
}
}  // namespace

TEST(Message, ReadingStraightFromTheTextAgreesWithTheFullParse) {
    auto edit = [](std::string from, std::string to) {
        std::string text = Parts{}.text();
        auto at = text.find(from);
        EXPECT_NE(at, std::string::npos) << from;
        return text.replace(at, from.size(), to);
    };
    const std::string cases[] = {
        Parts{}.text(),
        encodeMessage(decodeMessage(Parts{}.text()).value(), true),  // indented
        edit(R"("thread_id":5)", R"("thread\u005fid":5)"),          // escaped spelling of a key
        edit(R"("exit":)", R"("ex\u0069t":)"),                      // ... and of the event key
        edit(R"("seq_num":3)", R"("seq_num":3,"seq_num":4)"),        // repeated key: the first counts
        edit(R"("exit":{"stat":0})", R"("exit":{"stat":0},"exec":{})"),
        edit(R"("mach_time":99)", R"("mach_time":99,"mach_timer":1,"mach":2)"),
        edit(R"("mach_time":99)", R"("mach_time":-0)"),
        edit(R"("mach_time":99)", R"("mach_time":99.0)"),
        edit(R"("mach_time":99)", R"("mach_time":1e2)"),
        edit(R"("mach_time":99)", R"("mach_time":99999999999999999999)"),
        edit(R"("mach_time":99)", R"("mach_time":"99")"),
        edit(R"("deadline":7)", R"("deadline":null)"),
        edit(R"("event_type":15)", R"("event_type":null)"),
        edit(R"("event_type":15)", R"("event_type":200)"),
        edit(R"("2023-05-01T10:00:00.123456Z")", R"("2023\"05\u00e9\ud800")"),
        edit(R"({"exit":{"stat":0}})", R"({"settime":null})"),
        edit(R"({"exit":{"stat":0}})", R"({"settime":{"a":1}})"),
        // members the model does not read, at every level and of every kind
        edit(R"("mach_time":99)", R"("mach_time":99,"zz":[1,{"a":[null,true,false,"x\u00e9",-1.5e3]}])"),
        edit(R"("thread_id":5)", R"("zz":{},"thread_id":5,"zz":[])"),
        edit(R"({"exit":{"stat":0}})", R"({"x":1,"exit":{"zz":"a","stat":0},"exec":null})"),
        edit(R"({"exit":{"stat":0}})", R"({"settime":[1,{"a":2}]})"),
        edit(R"({"exit":{"stat":0}})", R"({"cs_invalidated":"x"})"),
        edit(R"("mach_time":99)", R"("mach_time":99,"zz":)" + std::string(40, '[') + std::string(40, ']')),
        // ... and malformed ones, which the full parse refuses
        edit(R"("mach_time":99)", R"("mach_time":99,"zz":[1,,2])"),
        edit(R"("mach_time":99)", R"("mach_time":99,"zz":[1,2,])"),
        edit(R"("mach_time":99)", R"("mach_time":99,"zz":{"a":1,})"),
        edit(R"("mach_time":99)", R"("mach_time":99,"zz":{"a"})"),
        edit(R"("mach_time":99)", R"("mach_time":99,"zz":{"a":1 "b":2})"),
        edit(R"("mach_time":99)", R"("mach_time":99,"zz":tru)"),
        edit(R"("mach_time":99)", R"("mach_time":99,"zz":nul)"),
        edit(R"("mach_time":99)", R"("mach_time":99,"zz":falsey)"),
        edit(R"("mach_time":99)", R"("mach_time":99,"zz":"\x")"),
        edit(R"("mach_time":99)", R"("mach_time":99,"zz":{"\q":1})"),
        edit(R"("mach_time":99)", "\"mach_time\":99,\"zz\":\"a\x01\""),
        edit(R"("mach_time":99)", "\"mach_time\":99,\"z\x01\":1"),
        edit(R"("mach_time":99)", R"("mach_time":99,"zz":01)"),
        edit(R"("mach_time":99)", R"("mach_time":99,"zz":-)"),
        edit(R"("mach_time":99)", R"("mach_time":99,"zz":1e400)"),
        edit(R"("mach_time":99)", R"("mach_time":99,"zz":18446744073709551616)"),
        edit(R"("mach_time":99)", R"("mach_time":99,"zz":)" + std::string(5000, '[') + std::string(5000, ']')),
        edit(R"({"exit":{"stat":0}})", R"({"settime":[1,]})"),
        edit(R"({"exit":{"stat":0}})", R"({"exit":{"stat":0,"zz":[}})"),
        // audit tokens as arrays, well-formed or not
        edit(fixtures::token(42), "[501,501,20,501,20,42,100001,1234]"),
        edit(fixtures::token(42), "[501,501,20,501,20,42,100001]"),
        edit(fixtures::token(42), "[501,501,20,501,20,42,100001,1234,5]"),
        edit(fixtures::token(42), "[501,501,20,501,20,42,100001,null]"),
        edit(fixtures::token(42), "[501,501,20,501,20,42,100001,1.0]"),
        edit(fixtures::token(42), "[501,501,20,501,20,42,100001,]"),
        Parts{}.text() + " x",
        Parts{}.text() + "}",
        Parts{}.text() + " \n ",
        " " + Parts{}.text(),
    };
    for (const auto& text : cases) expectSameAsFullParse(text);

    // Lines of every shape, and damaged copies of them, one of every event kind.
    const fixtures::LineShape shapes[] = {
        {},
        {.shuffledKeys = true},
        {.reversedKeys = true},
        {.unknownKeys = true},
        {.shuffledKeys = true, .unknownKeys = true, .version10 = true},
    };
    std::mt19937 random(5);
    const std::string inserts = "{}[],:\"\\ 0-.etn\x01\xc3";
    for (std::size_t shape = 0; shape < std::size(shapes); ++shape) {
        fixtures::FixtureGenerator gen(5 + shape);
        for (std::size_t tag = 0; tag < ESEvent::caseCount; ++tag) {
            const std::string line = gen.nextLine(shapes[shape]);
            expectSameAsFullParse(line);
            for (int i = 0; i < 40; ++i) {
                std::string text = line;
                std::size_t at = random() % text.size();
                switch (i % 4) {
                    case 0: text.erase(at, 1); break;
                    case 1: text.insert(at, 1, inserts[random() % inserts.size()]); break;
                    case 2: text[at] = inserts[random() % inserts.size()]; break;
                    case 3: if (at + 1 < text.size()) std::swap(text[at], text[at + 1]); break;
                }
                expectSameAsFullParse(text);
            }
        }
    }
}

// Lines as eslogger writes them: keys in orders of their own, keys the model does
// not read, and (version 10) audit tokens as arrays. Each decodes to what its twin
// in declaration order decodes to, and encodes as that twin.
TEST(Message, LinesOfEveryShapeDecodeAsTheirDeclarationOrderTwin) {
    const fixtures::LineShape shapes[] = {
        {.shuffledKeys = true},
        {.reversedKeys = true},
        {.unknownKeys = true},
        {.version10 = true},
        {.shuffledKeys = true, .unknownKeys = true, .version10 = true},
    };
    for (const auto& shape : shapes) {
        fixtures::FixtureGenerator plain(21), shaped(21);
        for (int i = 0; i < 300; ++i) {  // every event kind, then common ones
            const std::string twin = plain.nextLine();
            const std::string line = shaped.nextLine(shape);
            auto d = decodeMessage(line);
            ASSERT_TRUE(d.ok()) << line << "\n" << d.failure().pathText() << ": " << d.failure().description;
            if (shape.version10) {
                EXPECT_EQ(d.value().version, 10);
                EXPECT_NE(line.find(R"("audit_token":[)"), std::string::npos);
                d.value().version = 7;
            }
            ASSERT_EQ(encodeMessage(d.value()), twin) << line;
        }
    }
}

TEST(EventSumType, TagsAndKeys) {
    EXPECT_EQ(ESEvent::caseCount, 103u);
    EXPECT_EQ(eventKeys.front(), "exec");
    EXPECT_EQ(eventKeys[52], "get_task_name");
    EXPECT_EQ(eventKeys[100], "networkflow");
    EXPECT_EQ(eventKeys.back(), "cs_invalidated");
    EXPECT_EQ(eventTagOfKey("get_task"), 8u);
    EXPECT_FALSE(eventTagOfKey("Exec").has_value());
    // same shape, different case
    ESEvent named{ESEvent_get_task_name{}};
    EXPECT_EQ(named.tag(), 52u);
    EXPECT_EQ(named.get<ESEvent_get_task>(), nullptr);
    ESEvent invalidated{ESEvent_cs_invalidated{}};
    ESEvent copy = invalidated;
    EXPECT_EQ(copy.key(), "cs_invalidated");
    // every event key is the short name of at least one event type
    std::set<std::string> shortNames;
    for (const auto& c : allEventTypeCases) shortNames.insert(shortName(EventType(c.raw)));
    for (auto key : eventKeys) EXPECT_TRUE(shortNames.count(std::string(key))) << key;
}
