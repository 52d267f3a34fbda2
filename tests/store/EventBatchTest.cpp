// Filing events in batches, one by one or joined first, gives the store exactly
// what filing them one by one gives: every event in order, each program's events in order with its process and
// session ids and per-type counts, the sorted program paths and the type counts.
#include <gtest/gtest.h>

#include <map>
#include <set>

#include "EventFilters.h"
#include "StoreTestSupport.h"

using namespace storetest;
using es::EventType;

namespace {

struct Event {
    std::int64_t seq;
    std::string path;
    std::int64_t pid = 1;
    std::int64_t session = 1;
    EventType type = EventType::ES_EVENT_TYPE_NOTIFY_OPEN;
};
using Batch = std::vector<Event>;

qm::EventItemPtr make(const Event& e) {
    return item(message(openOf("/tmp/f"), process(e.path, {.pid = e.pid, .session = e.session}), e.seq,
                        "2024-01-01T00:00:00.000Z", e.type));
}

// What one program should hold, worked out from the events one by one.
struct Program {
    std::vector<std::int64_t> seqs;
    std::unordered_set<std::int64_t> pids, sessions;
    std::map<std::string, std::size_t, std::less<>> types;
};

std::vector<std::int64_t> seqsOf(const qm::EventList& list) {
    std::vector<std::int64_t> out;
    for (const auto& e : list) out.push_back(e->theEvent().global_seq_num);
    return out;
}

// Events of many programs, interleaved, with repeated pids and sessions.
Batch manyPrograms(std::int64_t firstSeq, int count) {
    Batch batch;
    const EventType types[] = {EventType::ES_EVENT_TYPE_NOTIFY_OPEN, EventType::ES_EVENT_TYPE_NOTIFY_EXEC,
                               EventType::ES_EVENT_TYPE_AUTH_EXEC, EventType::ES_EVENT_TYPE_NOTIFY_NETWORKFLOW};
    for (int i = 0; i < count; ++i)
        batch.push_back({firstSeq + i, "/p/" + std::to_string(i * 7 % 61), i % 5, i % 3, types[i % 4]});
    return batch;
}

TEST(EventBatch, FilingBatchesEqualsFilingEachEventInOrder) {
    const EventType exec = EventType::ES_EVENT_TYPE_NOTIFY_EXEC, authExec = EventType::ES_EVENT_TYPE_AUTH_EXEC;
    struct Case {
        const char* name;
        std::vector<Batch> batches;
    };
    const Case cases[] = {
        {"an empty batch", {{}}},
        {"one program only", {{{1, "/bin/a"}, {2, "/bin/a", 2}, {3, "/bin/a", 1, 2}}}},
        {"new programs inside a later batch",
         {{{1, "/bin/b"}}, {{2, "/bin/b"}, {3, "/bin/a", 5}, {4, "/bin/c"}, {5, "/bin/a", 6, 2}, {6, "/bin/b"}}}},
        {"empty batches between others", {{{1, "/bin/b"}}, {}, {{2, "/bin/B"}, {3, "/bin/b"}}, {}}},
        {"auth and notify exec count as one name",
         {{{1, "/bin/a", 1, 1, exec}, {2, "/bin/a", 1, 1, authExec}}, {{3, "/bin/a", 1, 1, authExec}}}},
        {"many programs over several batches", {manyPrograms(1, 500), manyPrograms(501, 1), manyPrograms(502, 2000)}},
    };
    // Each batch filed as it comes, or the batches first joined into one.
    for (const bool joined : {false, true})
        for (const Case& c : cases) {
            SCOPED_TRACE(std::string(c.name) + (joined ? ", joined" : ""));
            qm::EventFilters store;
            qm::TypeCounter counted;
            qm::EventBatch all;
            std::vector<std::int64_t> seqs;
            std::map<std::string, Program> programs;
            std::map<std::string, std::size_t, std::less<>> types;
            for (const Batch& events : c.batches) {
                qm::EventList items;
                for (const Event& e : events) {
                    items.push_back(make(e));
                    seqs.push_back(e.seq);
                    Program& p = programs[e.path];
                    p.seqs.push_back(e.seq);
                    p.pids.insert(e.pid);
                    p.sessions.insert(e.session);
                    ++p.types[qm::shortTypeName(e.type)];
                    ++types[qm::shortTypeName(e.type)];
                }
                qm::EventBatch batch(std::move(items));
                EXPECT_EQ(batch.size(), events.size());
                if (joined) {
                    all.append(std::move(batch));
                    continue;
                }
                counted.add(batch.typeCounts());
                store.addEvents(std::move(batch));
            }
            if (joined) {
                EXPECT_EQ(all.size(), seqs.size());
                counted.add(all.typeCounts());
                store.addEvents(std::move(all));
            }

            EXPECT_EQ(seqsOf(store.allEvents), seqs);
            std::vector<std::string> paths;
            for (const auto& [path, expected] : programs) {
                paths.push_back(path);
                SCOPED_TRACE(path);
                auto found = store.allPrograms.find(path);
                ASSERT_NE(found, store.allPrograms.end());
                EXPECT_EQ(found->second->programPath(), path);
                found->second->read([&](const qm::ProgramItem::Contents& contents) {
                    EXPECT_EQ(seqsOf(contents.allEvents), expected.seqs);
                    EXPECT_EQ(contents.processPIDs, expected.pids);
                    EXPECT_EQ(contents.sessionIDs, expected.sessions);
                    EXPECT_EQ(contents.eventTypeCount, expected.types);
                });
            }
            EXPECT_EQ(store.allPrograms.size(), programs.size());
            EXPECT_EQ(store.sortedProgramPaths, paths);  // ASCII paths: byte order, as std::map keeps them

            std::map<std::string, std::size_t, std::less<>> countedTypes;
            for (const qm::TypeCount& t : counted.counts()) countedTypes[std::string(t.name)] += t.count;
            EXPECT_EQ(countedTypes, types);
            EXPECT_TRUE(store.filteredEvents.empty());
        }
}

TEST(EventBatch, AProgramIgnoresARunOfAnotherPath) {
    qm::ProgramItem program(make({1, "/bin/tool"}));
    program.addEvents(qm::ProgramRun({make({2, "/bin/TOOL", 9, 9})}));
    program.read([](const qm::ProgramItem::Contents& c) {
        EXPECT_EQ(seqsOf(c.allEvents), std::vector<std::int64_t>{1});
        EXPECT_EQ(c.processPIDs, std::unordered_set<std::int64_t>{1});
    });
}

}  // namespace
