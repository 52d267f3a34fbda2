#include <gtest/gtest.h>

#include "DefaultSettings.h"
#include "EventArena.h"
#include "EventItem.h"
#include "StoreTestSupport.h"

using namespace storetest;
using qm::EventAnnotation;

TEST(EventItem, TheRowIsAboutTheProcessTheEventConcerns) {
    auto actor = process("/bin/actor");
    auto target = process("/bin/target");
    es::ESEvent_exec exec;
    exec.target = target;
    es::ESEvent_fork fork;
    fork.child = target;
    es::ESEvent_signal signal;
    signal.target = target;
    es::ESEvent_proc_suspend_resume withTarget;
    withTarget.target = target;
    es::ESEvent_proc_suspend_resume withoutTarget;
    es::ESEvent_networkflow flow;
    flow.instigator = target;  // a flow row is about the acting process all the same

    struct Case {
        const char* what;
        es::ESEvent event;
        const char* path;
    };
    const Case cases[] = {
        {"exec: the new image", exec, "/bin/target"},
        {"fork: the child", fork, "/bin/target"},
        {"signal: the receiver", signal, "/bin/target"},
        {"suspend/resume with a target", withTarget, "/bin/target"},
        {"suspend/resume without a target", withoutTarget, "/bin/actor"},
        {"open: the actor", openOf("/tmp/x"), "/bin/actor"},
        {"networkflow: the actor", flow, "/bin/actor"},
    };
    for (const auto& c : cases) EXPECT_EQ(item(message(c.event, actor))->theProcess().executable.path, c.path) << c.what;
}

TEST(EventItem, TimestampIsWholeSecondsOrZero) {
    struct Case {
        const char* time;
        std::int64_t seconds;
    };
    const Case cases[] = {
        {"2023-05-01T10:00:00.014113Z", 1682935200},
        {"1969-12-31T23:59:59.500Z", 0},
        {"1969-12-31T23:59:58.500Z", -1},
        {"not a time", 0},
        {"", 0},
    };
    qm::InMemorySettings settings;
    qm::registerDefaultSettings(settings);
    qm::EventAnnotator annotator(settings);
    for (const auto& c : cases) {
        auto root = process("/usr/bin/sudo", {.euid = 0});
        auto it = item(message(openOf("/tmp/x"), root, 1, c.time), annotator);
        EXPECT_EQ(it->timestamp(), c.seconds) << c.time;
        EXPECT_TRUE(it->annotations().contains(EventAnnotation::PRIVILEGED_USER)) << "annotated even without a time";
    }
}

TEST(EventItem, IdentityIsSequenceTimeEventNameAndProgramPath) {
    auto base = [](std::int64_t seq, const char* time, es::EventType type, const char* path, const char* opened) {
        return item(message(openOf(opened), process(path), seq, time, type));
    };
    const auto T1 = "2024-01-01T00:00:00.100Z", T1b = "2024-01-01T00:00:00.900Z", T2 = "2024-01-01T00:00:01.000Z";
    const auto OPEN = es::EventType::ES_EVENT_TYPE_NOTIFY_OPEN, AUTH_OPEN = es::EventType::ES_EVENT_TYPE_AUTH_OPEN,
               EXEC = es::EventType::ES_EVENT_TYPE_NOTIFY_EXEC;
    auto a = base(5, T1, OPEN, "/bin/a", "/tmp/one");
    struct Case {
        const char* what;
        qm::EventItemPtr other;
        bool equal;
    };
    const Case cases[] = {
        {"different payload", base(5, T1, OPEN, "/bin/a", "/tmp/two"), true},
        {"AUTH against NOTIFY", base(5, T1, AUTH_OPEN, "/bin/a", "/tmp/one"), true},
        {"same whole second", base(5, T1b, OPEN, "/bin/a", "/tmp/one"), true},
        {"other sequence number", base(6, T1, OPEN, "/bin/a", "/tmp/one"), false},
        {"other second", base(5, T2, OPEN, "/bin/a", "/tmp/one"), false},
        {"other event name", base(5, T1, EXEC, "/bin/a", "/tmp/one"), false},
        {"path differs in case", base(5, T1, OPEN, "/bin/A", "/tmp/one"), false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(*a == *c.other, c.equal) << c.what;
        if (c.equal) {
            EXPECT_EQ(a->hash(), c.other->hash()) << c.what;
        }
    }
}

TEST(EventItem, AnnotationBadgesAndNames) {
    struct Case {
        std::int64_t raw;
        const char* badges;
        const char* names;
    };
    const Case cases[] = {
        {0, "", ""},
        {2, "\U0001F6E4\uFE0F", "PRIVILEGED_PATH"},
        {6, "\U0001F6E4\uFE0F | \U0001F451", "PRIVILEGED_PATH | PRIVILEGED_USER"},
        {12, "\U0001F451 | \u2623\uFE0F", "PRIVILEGED_USER | QUARANTINE_PATH"},
        {14, "\U0001F6E4\uFE0F | \U0001F451 | \u2623\uFE0F", "PRIVILEGED_PATH | PRIVILEGED_USER | QUARANTINE_PATH"},
        {1, "", ""},  // raw value 1 is no member
    };
    for (const auto& c : cases) {
        EXPECT_EQ(qm::annotationBadges(EventAnnotation(c.raw)), c.badges) << c.raw;
        EXPECT_EQ(qm::annotationNames(EventAnnotation(c.raw)), c.names) << c.raw;
    }
}

// Items made in an arena stay whole when the arena goes first and when they span
// several of its regions; blocks are aligned and refused above the largest size.
TEST(EventArena, ItemsOutliveTheArenaAcrossRegions) {
    std::vector<qm::EventItemPtr> items;
    {
        qm::EventArena arena;
        const std::size_t perRegion = qm::EventArena::regionSize / sizeof(qm::EventItem);
        for (std::size_t i = 0; i < 2 * perRegion + 3; ++i)
            items.push_back(qm::makeEventItem(
                arena, storetest::message(storetest::openOf("/tmp/x"), storetest::process("/bin/p" + std::to_string(i)),
                                          std::int64_t(i)),
                storetest::quietAnnotator()));
        EXPECT_THROW(arena.allocate(qm::EventArena::maxBlock + 1), std::bad_alloc);
    }
    for (std::size_t i = 0; i < items.size(); ++i) {
        ASSERT_EQ(reinterpret_cast<std::uintptr_t>(items[i].get()) % alignof(qm::EventItem), 0u);
        ASSERT_EQ(items[i]->theEvent().global_seq_num, std::int64_t(i));
        ASSERT_EQ(items[i]->theProcess().executable.path, "/bin/p" + std::to_string(i));
    }
    // Freeing the first regions' items leaves the last region's in place.
    const std::size_t total = items.size();
    items.erase(items.begin(), items.begin() + std::ptrdiff_t(total / 2));
    EXPECT_EQ(items.back()->theProcess().executable.path, "/bin/p" + std::to_string(total - 1));
}

TEST(EventItem, ShortTypeNamesAreTheModelsShortNames) {
    for (const es::EnumCase& c : es::EnumInfo<es::EventType>::cases) {
        const auto type = static_cast<es::EventType>(c.raw);
        EXPECT_EQ(qm::shortTypeName(type), es::shortName(type)) << c.name;
    }
    EXPECT_EQ(qm::shortTypeName(static_cast<es::EventType>(-7)), "");
}

struct TypeCountCase {
    const char* what;
    std::vector<es::EventType> types;
    std::vector<std::pair<std::string, std::size_t>> counts;  // in order of first appearance
};

// One entry per short name, whether counted by type or merged from other counts, and
// whatever storage the merged counts' names are held in.
TEST(TypeCounter, OneEntryPerShortName) {
    using T = es::EventType;
    const std::vector<TypeCountCase> cases = {
        {"nothing", {}, {}},
        {"one type", {T::ES_EVENT_TYPE_NOTIFY_OPEN, T::ES_EVENT_TYPE_NOTIFY_OPEN}, {{"open", 2}}},
        {"auth and notify exec are one name", {T::ES_EVENT_TYPE_AUTH_EXEC, T::ES_EVENT_TYPE_NOTIFY_EXEC}, {{"exec", 2}}},
        {"order of first appearance",
         {T::ES_EVENT_TYPE_NOTIFY_OPEN, T::ES_EVENT_TYPE_NOTIFY_EXEC, T::ES_EVENT_TYPE_NOTIFY_OPEN, T::ES_EVENT_TYPE_AUTH_EXEC},
         {{"open", 2}, {"exec", 2}}},
        {"unknown types", {static_cast<T>(-7), static_cast<T>(90211)}, {{"", 2}}},
    };
    auto entries = [](const qm::TypeCounter& counter) {
        std::vector<std::pair<std::string, std::size_t>> out;
        for (const qm::TypeCount& t : counter.counts()) out.emplace_back(std::string(t.name), t.count);
        return out;
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        qm::TypeCounter direct;
        for (T type : c.types) direct.add(type);
        EXPECT_EQ(entries(direct), c.counts);

        // Each event counted apart, then merged twice: once as counted, once with the
        // names copied into storage of their own.
        qm::TypeCounter merged;
        std::vector<std::string> storage;
        storage.reserve(c.types.size());
        for (T type : c.types) {
            qm::TypeCounter one;
            one.add(type);
            merged.add(one.counts());
            auto copied = one.counts();
            for (qm::TypeCount& t : copied) t.name = storage.emplace_back(t.name);
            merged.add(copied);
        }
        auto doubled = c.counts;
        for (auto& [name, count] : doubled) count *= 2;
        EXPECT_EQ(entries(merged), doubled);
    }
}
