#include <gtest/gtest.h>

#include "ProgramItem.h"
#include "StoreTestSupport.h"

using namespace storetest;

TEST(ProgramItem, BundlePath) {
    struct Case {
        const char* path;
        const char* bundle;
    };
    const Case cases[] = {
        {"/Applications/Tool.app/Contents/MacOS/Tool", "/Applications/Tool.app/"},
        {"/System/Library/Frameworks/Kit.framework/Versions/A/Kit", "/System/Library/Frameworks/Kit.framework/"},
        {"/usr/bin/ls", "/usr/bin/ls"},
        {"/A.app/Contents/B.app/Contents/MacOS/B", "/A.app/"},
        {"/A.framework/Helpers/B.app/Contents/MacOS/B", "/A.framework/Helpers/B.app/"},  // ".app/" comes first
        {"/Applications/Tool.app", "/Applications/Tool.app"},
        {"", ""},
    };
    for (const auto& c : cases) EXPECT_EQ(qm::bundlePath(c.path), c.bundle) << c.path;
}

TEST(ProgramItem, LastPathComponent) {
    struct Case {
        const char* path;
        const char* name;
    };
    const Case cases[] = {{"/usr/bin/ls", "ls"}, {"/usr/bin/", "bin"}, {"", ""}, {"/", ""}, {"tool", "tool"}, {"//a//", "a"}};
    for (const auto& c : cases)
        EXPECT_EQ(qm::lastPathComponent(*item(message(openOf("/x"), process(c.path)))), c.name) << c.path;
}

TEST(ProgramItem, CountsProcessesSessionsAndEventNames) {
    auto first = item(message(openOf("/x"), process("/bin/tool", {.pid = 10, .session = 1}), 1, "2024-01-01T00:00:00Z",
                              es::EventType::ES_EVENT_TYPE_AUTH_EXEC));
    qm::ProgramItem program(first);
    program.addEvent(item(message(openOf("/y"), process("/bin/tool", {.pid = 10, .session = 1}), 2,
                                  "2024-01-01T00:00:00Z", es::EventType::ES_EVENT_TYPE_NOTIFY_EXEC)));
    program.addEvent(item(message(openOf("/y"), process("/bin/tool", {.pid = 11, .session = 2}), 3)));
    program.addEvent(item(message(openOf("/y"), process("/bin/other", {.pid = 12, .session = 3}), 4)));  // ignored
    program.addEvent(item(message(openOf("/y"), process("/bin/TOOL", {.pid = 13, .session = 4}), 5)));   // ignored

    EXPECT_EQ(program.programPath(), "/bin/tool");
    EXPECT_FALSE(program.icon());
    program.read([](const qm::ProgramItem::Contents& c) {
        EXPECT_EQ(c.allEvents.size(), 3u);
        EXPECT_EQ(c.allEvents[2]->theEvent().global_seq_num, 3);
        EXPECT_EQ(c.processPIDs, (std::unordered_set<std::int64_t>{10, 11}));
        EXPECT_EQ(c.sessionIDs, (std::unordered_set<std::int64_t>{1, 2}));
        EXPECT_EQ(c.eventTypeCount, (decltype(c.eventTypeCount){{"exec", 2}, {"open", 1}}));
    });
}

TEST(ProgramItem, IconComesFromTheProviderForTheBundlePath) {
    struct Icon : qm::ProgramIcon {
        std::string of;
    };
    std::vector<std::string> asked;
    qm::ProgramIconProvider provider = [&](const std::string& bundle) {
        asked.push_back(bundle);
        auto icon = std::make_shared<Icon>();
        icon->of = bundle;
        return icon;
    };
    qm::ProgramItem program(item(message(openOf("/x"), process("/Applications/Tool.app/Contents/MacOS/Tool"))), provider);
    EXPECT_EQ(asked, std::vector<std::string>{"/Applications/Tool.app/"});
    ASSERT_TRUE(program.icon());
    EXPECT_EQ(dynamic_cast<const Icon&>(*program.icon()).of, "/Applications/Tool.app/");
}
