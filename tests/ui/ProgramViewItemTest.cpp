// Filling a programs pane entry from the store: name, key, counts and badge.

#include <QLabel>

#include "EventFilters.h"
#include "ProgramViewItem.h"
#include "UiTestSupport.h"

namespace {

struct Event {
    const char* path;
    std::int64_t pid;
    bool platform;
};

qm::EventFilters storeOf(const std::vector<Event>& events) {
    qm::EventFilters filters;
    filters.iconProvider = qm::programIconProvider();
    std::int64_t seq = 0;
    for (const auto& e : events) {
        storetest::Ids ids;
        ids.pid = e.pid;
        filters.addEvent(storetest::item(
            storetest::message(storetest::openOf("/tmp/f"), storetest::process(e.path, ids, e.platform), ++seq)));
    }
    return filters;
}

TEST(ProgramViewItemTest, FillsNameKeyCountsAndBadgeFromTheStore) {
    const struct {
        std::vector<Event> events;
        std::string name, subtitle;
        bool badgeShown;
    } cases[] = {
        {{{"/usr/bin/ssh", 300, false}, {"/usr/bin/ssh", 301, false}, {"/usr/bin/ssh", 300, false}},
         "ssh", "2-pids / 3-events", true},
        // The last non-empty piece; the first event decides the badge.
        {{{"/opt/tools/sshd/", 7, true}, {"/opt/tools/sshd/", 7, false}}, "sshd", "1-pids / 2-events", false},
        {{{"/", 1, false}}, "", "1-pids / 1-events", true},
    };
    for (const auto& c : cases) {
        const auto filters = storeOf(c.events);
        qm::ProgramViewItem entry;
        ASSERT_TRUE(entry.fill(filters, 0));
        EXPECT_EQ(entry.programName->text().toStdString(), c.name);
        EXPECT_EQ(entry.programName->toolTip().toStdString(), c.events[0].path);
        EXPECT_EQ(entry.programSubtitle->text().toStdString(), c.subtitle);
        EXPECT_EQ(!entry.programIsApple->isHidden(), c.badgeShown) << c.name;
        EXPECT_FALSE(entry.appIcon->pixmap().isNull());
    }
}

TEST(ProgramViewItemTest, AnIndexWithoutAProgramLeavesTheEntryUnfilled) {
    auto filters = storeOf({{"/bin/ls", 1, false}});
    qm::ProgramViewItem entry;
    EXPECT_FALSE(entry.fill(filters, 1));
    filters.allPrograms.clear();  // listed but gone from the map
    EXPECT_FALSE(entry.fill(filters, 0));
    EXPECT_TRUE(entry.programName->text().isEmpty());
    EXPECT_TRUE(entry.programName->toolTip().isEmpty());
}

}  // namespace
