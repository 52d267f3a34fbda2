// Text descriptions: every field of a message with its value, one message of each group
// of events, the code-signing flags by name, and the small forms (text, nil, lists).
#include <gtest/gtest.h>

#include <regex>
#include <set>

#include "Coding.h"
#include "Description.h"
#include "ESMessage.h"
#include "FixtureGenerator.h"
#include "ModelFixtures.h"

using namespace es;

namespace {

// Every key of the value's JSON, at any depth.
std::set<std::string> jsonKeys(const std::string& json) {
    std::set<std::string> keys;
    const std::regex key(R"re("([a-z_0-9]+)":)re");
    for (auto it = std::sregex_iterator(json.begin(), json.end(), key); it != std::sregex_iterator(); ++it)
        keys.insert((*it)[1]);
    return keys;
}

TEST(Description, SmallRecordsShowEveryFieldWithItsValue) {
    auto file = decodeJSON<ESFile>(R"({"path":"/tmp/a \"b\"","stat":)" + fixtures::stat() +
                                   R"(,"path_truncated":false})");
    ASSERT_TRUE(file.ok());
    const std::string text = description(file.value());
    EXPECT_EQ(text.rfind(R"(ESFile(path: "/tmp/a \"b\"", stat: Stat(st_blocks: 8, )", 0), 0u) << text;
    EXPECT_NE(text.find("st_mode: 33261"), std::string::npos) << text;
    EXPECT_TRUE(text.ends_with("), path_truncated: false)")) << text;

    auto token = decodeJSON<AuditToken>(fixtures::token(7));
    ASSERT_TRUE(token.ok());
    EXPECT_EQ(description(token.value()),
              "AuditToken(asid: 100001, pidversion: 1234, ruid: 501, euid: 501, rgid: 20, auid: 501, "
              "egid: 20, pid: 7)");

    auto process = decodeJSON<ESProcess>(fixtures::process(42, "/bin/zsh", ""));
    ASSERT_TRUE(process.ok());
    const std::string p = description(process.value());
    EXPECT_NE(p.find("signing_id: nil, team_id: nil"), std::string::npos) << p;
    EXPECT_NE(p.find("tty: nil"), std::string::npos) << p;
}

TEST(Description, FlagsByNameNeverAsTheNumber) {
    ESProcess process;
    process.codesigning_flags = CodeSigningFlags(CodeSigningFlags::CS_VALID | CodeSigningFlags::CS_PLATFORM_BINARY);
    const std::string text = description(process);
    EXPECT_NE(text.find("codesigning_flags: CS_VALID | CS_PLATFORM_BINARY, "), std::string::npos) << text;
    EXPECT_EQ(text.find(std::to_string(process.codesigning_flags.rawValue)), std::string::npos) << text;
}

// One message of each group: every key of its JSON appears as a field, the envelope's
// enumerations by case name, the event by its key and payload type.
TEST(Description, OneMessageOfEachGroup) {
    const std::pair<const char*, const char*> kinds[] = {
        {"exec", "ESEvent_exec("},
        {"open", "ESEvent_open("},
        {"authentication", "ESEvent_authentication("},
        {"od_create_user", "ESEvent_od_create_user("},
        {"btm_launch_item_add", "ESEvent_btm_launch_item_add("},
        {"networkflow", "ESEvent_networkflow("},
        {"settime", "settime()"},
    };
    fixtures::FixtureGenerator generator(3);
    for (const auto& [key, payload] : kinds) {
        const ESMessage message = generator.next(*eventTagOfKey(key));
        const std::string text = description(message);
        EXPECT_EQ(text.rfind("ESMessage(schema_version: ", 0), 0u) << key;
        EXPECT_NE(text.find(std::string("event: ") + key + "("), std::string::npos) << key;
        EXPECT_NE(text.find(payload), std::string::npos) << key;
        EXPECT_NE(text.find("event_type: ES_EVENT_TYPE_"), std::string::npos) << key;
        EXPECT_NE(text.find("action_type: ES_ACTION_TYPE_"), std::string::npos) << key;
        EXPECT_NE(text.find("codesigning_flags: " + message.process.codesigning_flags.description() + ", "),
                  std::string::npos)
            << key;
        for (const auto& field : jsonKeys(encodeMessage(message))) {
            if (field == key) continue;  // the event's key, shown as key(payload)
            EXPECT_NE(text.find(field + ": "), std::string::npos) << key << ": " << field;
        }
    }
}

}  // namespace
