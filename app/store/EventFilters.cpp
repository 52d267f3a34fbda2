#include "EventFilters.h"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <iterator>
#include <limits>
#include <optional>
#include <thread>

#include "Dispatch.h"
#include "EventArena.h"
#include "EventSummary.h"
#include "TextRules.h"

namespace qm {

namespace {

// How many parts a scan of count items is split into: one per core, none smaller
// than 32768 items.
std::size_t partCount(std::size_t count) {
    const std::size_t cores = std::max(1u, std::thread::hardware_concurrency());
    return std::clamp<std::size_t>(count / (1 << 15), 1, cores);
}

// Where part p of [0, count) begins (p == parts: count). Parts begin at multiples
// of 64, so that each part has whole words of a bit set to itself.
std::size_t partBegin(std::size_t count, std::size_t parts, std::size_t p) {
    return p == parts ? count : (count * p / parts) & ~std::size_t(63);
}

// Calls run(begin, end, part) for each of the consecutive parts of [0, count), on the
// calling thread and the global queues' pool at once. The passes read only immutable
// item fields and filter state that nothing changes meanwhile.
template <class Run>
void inParts(std::size_t count, std::size_t parts, Run&& run) {
    dispatch::concurrentPerform(parts, [&run, count, parts](std::size_t p) {
        run(partBegin(count, parts, p), partBegin(count, parts, p + 1), p);
    });
}

// How many items ahead of a scan their memory is asked for: enough to cover a
// round trip to memory at a few nanoseconds of work per item. Items lie far
// apart, so without it each one is a cache miss that the scan waits for.
constexpr std::size_t ahead = 16;

void prefetch(const void* p) { __builtin_prefetch(p, 0, 3); }
void prefetchForChange(const void* p) { __builtin_prefetch(p, 1, 3); }

// The first line of an item, which holds its small fields and, for items of the
// arena, its shared count.
void prefetchItem(const EventItemPtr& item) { prefetchForChange(item.get()); }

struct Nothing {
    void operator()(const EventItem&) const {}
};

// What a scan does to ask for what it reads of the items ahead, in steps that each
// follow pointers the step before has fetched: the item's first line, then the
// lines of its fields (fields(item)), then what those fields point to
// (pointees(item)).
template <class Fields, class Pointees = Nothing>
void prefetchAhead(const EventList& list, std::size_t i, std::size_t end, Fields&& fields, Pointees&& pointees = {}) {
    if (i + 3 * ahead < end) prefetchItem(list[i + 3 * ahead]);
    if (i + 2 * ahead < end) fields(*list[i + 2 * ahead]);
    if (i + ahead < end) pointees(*list[i + ahead]);
}

// The lines of a process's own, parent and responsible pids.
void prefetchPIDs(const es::ESProcess& p) {
    prefetch(&p.audit_token.pid);
    prefetch(&p.parent_audit_token.pid);
    prefetch(&p.responsible_audit_token.pid);
}

// The positions of the set bits of words [first, last) of a bit set, in order.
class SetBits {
public:
    static constexpr std::size_t none = std::numeric_limits<std::size_t>::max();
    SetBits(const std::vector<std::uint64_t>& words, std::size_t first, std::size_t last)
        : words_(words.data()), word_(first), last_(last), bits_(first < last ? words[first] : 0) {}
    std::size_t next() {
        while (bits_ == 0) {
            if (word_ + 1 >= last_) return none;
            bits_ = words_[++word_];
        }
        const std::size_t at = word_ * 64 + std::size_t(std::countr_zero(bits_));
        bits_ &= bits_ - 1;
        return at;
    }

private:
    const std::uint64_t* words_;
    std::size_t word_, last_;
    std::uint64_t bits_;
};

// Membership in a set of a filter, as a pass asks it for every item. The sets a
// user makes hold a few members, which are compared one by one at less cost than
// hashing the item's value (a string compares its length first); a larger set is
// looked up. The set must outlive this and stay unchanged.
template <class T>
class Members {
public:
    explicit Members(const std::unordered_set<T>& set) : set_(&set) {
        if (set.size() <= few) few_.assign(set.begin(), set.end());
    }
    bool empty() const { return set_->empty(); }
    bool contains(const T& value) const {
        if (set_->size() > few) return set_->contains(value);
        return std::find(few_.begin(), few_.end(), value) != few_.end();
    }

private:
    static constexpr std::size_t few = 8;
    const std::unordered_set<T>* set_;
    std::vector<T> few_;
};

// A list of count empty pointers. A long list's memory is fresh from the system,
// and its first touch costs a page fault a page: the pages are touched in parallel
// parts before the list is filled on this thread.
EventList emptyList(std::size_t count) {
    EventList list;
    list.reserve(count);
    auto* memory = reinterpret_cast<volatile unsigned char*>(list.data());
    constexpr std::size_t page = 4096;
    inParts(count, partCount(count), [memory](std::size_t begin, std::size_t end, std::size_t) {
        for (std::size_t at = begin * sizeof(EventItemPtr); at < end * sizeof(EventItemPtr); at += page) memory[at] = 0;
    });
    list.resize(count);
    return list;
}

// The items keep() accepts, in list order, in one list allocated once: each part
// marks what it keeps in a bit set and counts it; then each part copies its kept
// items to their place in the result. fields(item) and pointees(item) ask ahead
// for the lines keep() reads beyond the item's first line (see prefetchAhead).
template <class Keep, class Fields = Nothing, class Pointees = Nothing>
EventList keepIf(const EventList& events, Keep&& keep, Fields&& fields = {}, Pointees&& pointees = {}) {
    const std::size_t count = events.size();
    const std::size_t parts = partCount(count);
    std::vector<std::uint64_t> marks((count + 63) / 64);
    std::vector<std::size_t> offsets(parts + 1);  // kept counts, then where each part's items go
    inParts(count, parts, [&](std::size_t begin, std::size_t end, std::size_t part) {
        std::size_t kept = 0;
        for (std::size_t i = begin; i < end; ++i) {
            prefetchAhead(events, i, end, fields, pointees);
            if (!keep(*events[i])) continue;
            marks[i / 64] |= std::uint64_t(1) << (i % 64);
            ++kept;
        }
        offsets[part + 1] = kept;
    });
    for (std::size_t p = 0; p < parts; ++p) offsets[p + 1] += offsets[p];
    EventList out = emptyList(offsets[parts]);
    // Each copy changes the item's shared count: the kept items ahead are asked for.
    auto copy = [&](std::size_t begin, std::size_t end, std::size_t part) {
        SetBits kept(marks, begin / 64, (end + 63) / 64);
        SetBits further = kept;
        for (std::size_t k = 0; k < ahead; ++k)
            if (auto j = further.next(); j != SetBits::none) prefetchItem(events[j]);
        std::size_t to = offsets[part];
        for (std::size_t i; (i = kept.next()) != SetBits::none;) {
            if (auto j = further.next(); j != SetBits::none) prefetchItem(events[j]);
            out[to++] = events[i];
        }
    };
    if (offsets[parts] < (1 << 15)) copy(0, count, 0);
    else inParts(count, parts, copy);
    return out;
}

// Lets go of the list's items and empties it. Each release changes the shared
// count on the item's own line, a cache miss each in a long list: the parts run in
// parallel and ask for the items ahead.
void releaseItems(EventList& list) {
    const std::size_t count = list.size();
    inParts(count, partCount(count), [&list](std::size_t begin, std::size_t end, std::size_t) {
        for (std::size_t i = begin; i < end; ++i) {
            if (i + ahead < end) prefetchItem(list[i + ahead]);
            list[i].reset();
        }
    });
    list = EventList();
}

// The sequence numbers of the list's items, in list order.
std::vector<std::int64_t> sequenceNumbers(const EventList& events) {
    std::vector<std::int64_t> seqs(events.size());
    for (std::size_t i = 0; i < events.size(); ++i) {
        prefetchAhead(events, i, events.size(), [](const EventItem& e) { prefetch(&e.theEvent().global_seq_num); });
        seqs[i] = events[i]->theEvent().global_seq_num;
    }
    return seqs;
}

// One item of each set of equal items (by item identity) of a list in sequence
// order, in that order: the one of least rank(item), the first of them on a tie.
// seqs are the items' sequence numbers. The identity includes the sequence number,
// so equal items lie within one run of equal numbers: runs are compared among
// themselves, and only a long run (a capture whose numbers repeat) needs a map.
template <class Rank>
EventList oneOfEachItem(EventList events, const std::vector<std::int64_t>& seqs, Rank&& rank) {
    constexpr std::size_t shortRun = 16;
    std::unordered_map<EventItemPtr, std::size_t, EventItemIdentityHash, EventItemIdentityEqual> seen;
    std::size_t kept = 0;
    for (std::size_t begin = 0; begin < events.size();) {
        std::size_t end = begin + 1;
        while (end < events.size() && seqs[end] == seqs[begin]) ++end;
        const std::size_t runStart = kept;
        seen.clear();
        for (std::size_t i = begin; i < end; ++i) {
            std::size_t equal = kept;  // the kept item equal to this one, if any
            if (end - begin <= shortRun) {
                for (std::size_t j = runStart; j < kept && equal == kept; ++j)
                    if (*events[j] == *events[i]) equal = j;
            } else if (auto [it, added] = seen.emplace(events[i], kept); !added) {
                equal = it->second;
            }
            if (equal == kept) {
                if (kept != i) events[kept] = std::move(events[i]);
                ++kept;
            } else if (rank(*events[i]) < rank(*events[equal])) {
                events[equal] = std::move(events[i]);
            }
        }
        begin = end;
    }
    events.resize(kept);
    return events;
}

// Terms of a search text: split on ",", empty pieces dropped, nothing trimmed.
std::vector<std::string_view> searchTerms(std::string_view text) {
    std::vector<std::string_view> terms;
    while (!text.empty()) {
        auto pos = text.find(',');
        auto piece = text.substr(0, pos);
        if (!piece.empty()) terms.push_back(piece);
        if (pos == std::string_view::npos) break;
        text.remove_prefix(pos + 1);
    }
    return terms;
}

// The search pass, prepared once for a text and a category.
class SearchPass {
public:
    SearchPass(const SearchPass&) = delete;  // members_ refers to numbers_
    SearchPass& operator=(const SearchPass&) = delete;
    SearchPass(std::string_view text, std::string_view category) {
        static constexpr std::pair<std::string_view, Mode> numeric[] = {
            {"PID", Mode::pid}, {"PPID", Mode::ppid}, {"RPID", Mode::rpid}, {"UID", Mode::uid}, {"AnyPID", Mode::anyPID}};
        for (auto [name, mode] : numeric) {
            if (category != name) continue;
            numbers_ = searchNumbers(text);
            members_ = Members(numbers_);
            mode_ = numbers_.empty() ? Mode::keepAll : mode;
            return;
        }
        if (category == "Annotations") {
            upper_ = upperCased(text);
            for (auto t : searchTerms(upper_)) wanted_ |= annotationNamed(t);
            mode_ = wanted_.isEmpty() ? Mode::keepAll : Mode::annotations;
            return;
        }
        // Found in one scan of each text, however many terms there are.
        terms_ = FragmentSet(searchTerms(text));
        mode_ = category == "Details" ? Mode::details : Mode::program;
    }

    bool keepsAll() const { return mode_ == Mode::keepAll; }

    // Ask for the lines operator() reads beyond the item's first line (see
    // prefetchAhead).
    void prefetchFields(const EventItem& e) const {
        const es::ESProcess& p = e.theProcess();
        switch (mode_) {
        case Mode::pid: qm::prefetch(&p.audit_token.pid); break;
        case Mode::ppid: qm::prefetch(&p.parent_audit_token.pid); break;
        case Mode::rpid: qm::prefetch(&p.responsible_audit_token.pid); break;
        case Mode::uid: qm::prefetch(&p.audit_token.euid); break;
        case Mode::anyPID: prefetchPIDs(p); break;
        case Mode::program: qm::prefetch(&p.executable.path); break;
        case Mode::details:
            qm::prefetch(&e.theEvent().event);
            qm::prefetch(&p.executable.path);
            break;
        case Mode::keepAll:
        case Mode::annotations: break;
        }
    }
    void prefetchPointees(const EventItem& e) const {
        if (mode_ == Mode::program) qm::prefetch(e.theProcess().executable.path.data());
        if (mode_ == Mode::details) {
            qm::prefetch(e.theProcess().executable.path.data());
            e.theEvent().event.visit([](const auto& payload) {
                qm::prefetch(&payload);
                qm::prefetch(reinterpret_cast<const char*>(&payload) + 64);
            });
        }
    }

    bool operator()(const EventItem& e) const {
        const es::ESProcess& p = e.theProcess();
        switch (mode_) {
        case Mode::keepAll: return true;
        case Mode::pid: return members_.contains(p.audit_token.pid);
        case Mode::ppid: return members_.contains(p.parent_audit_token.pid);
        case Mode::rpid: return members_.contains(p.responsible_audit_token.pid);
        case Mode::uid: return members_.contains(p.audit_token.euid);
        case Mode::anyPID:
            return members_.contains(p.audit_token.pid) || members_.contains(p.parent_audit_token.pid) ||
                   members_.contains(p.responsible_audit_token.pid);
        case Mode::annotations: return e.annotations().contains(wanted_);
        case Mode::details: return !terms_.empty() && terms_.foundIn(eventSearchText(e));
        case Mode::program: return !terms_.empty() && terms_.foundIn(p.executable.path);
        }
        return false;
    }

private:
    enum class Mode { keepAll, pid, ppid, rpid, uid, anyPID, annotations, details, program };
    Mode mode_ = Mode::keepAll;
    std::unordered_set<std::int64_t> numbers_;
    Members<std::int64_t> members_{numbers_};  // made again once numbers_ is set
    std::string upper_;
    EventAnnotation wanted_;
    FragmentSet terms_;  // of a "Details" or "Program" search
};

template <class Map>
std::vector<std::pair<typename Map::key_type, typename Map::mapped_type>> sorted(const Map& map) {
    std::vector<std::pair<typename Map::key_type, typename Map::mapped_type>> entries(map.begin(), map.end());
    std::sort(entries.begin(), entries.end());
    return entries;
}

std::int64_t saturatingAdd(std::int64_t a, std::int64_t b) {
    std::int64_t r;
    if (__builtin_add_overflow(a, b, &r)) return b > 0 ? std::numeric_limits<std::int64_t>::max() : std::numeric_limits<std::int64_t>::min();
    return r;
}

}  // namespace

std::unordered_set<std::int64_t> searchNumbers(std::string_view text) {
    std::unordered_set<std::int64_t> numbers;
    for (auto t : searchTerms(text))
        if (auto n = parseDecimal(t)) numbers.insert(*n);
    return numbers;
}

void EventFilters::setFilteredEvents(EventList events) {
    filteredEvents.swap(events);
    releaseItems(events);
}

bool EventFilters::isFiltering() const {
    return appleBinaryFilter || !searchString.empty() || !selectedPrograms.empty() || !selectedEventTypes.empty() ||
           !selectedPIDChain.pid.empty() || annotateFilter || timeWindowEnd >= 1 || !deselectedPrograms.empty() ||
           !deselectedEventTypes.empty();
}

void EventFilters::clearAll() {
    releaseItems(filteredEvents);
    selectedPrograms.clear();
    deselectedPrograms.clear();
    selectedEventTypes.clear();
    deselectedEventTypes.clear();
    appleBinaryFilter = false;
    searchString.clear();
    searchCategory.clear();
    selectedPIDChain.pid.clear();
    selectedPIDChain.ppid.clear();
    annotateFilter = false;
    timeWindowStart = timeWindowEnd = 0;
}

void EventFilters::removeAll() {
    // The programs hold the same items, so they go with them; members go in reverse
    // order, the list in arrival order last.
    struct Removed {
        EventList events;
        decltype(allPrograms) programs;
        EventList shown;
    };
    releaseLater(Removed{std::exchange(allEvents, {}), std::exchange(allPrograms, {}), std::exchange(filteredEvents, {})});
    sortedProgramPaths.clear();
    clearAll();
}

void EventFilters::addEvent(const EventItemPtr& event) {
    // An event of a known program takes no batch: its program adds it whole or not at
    // all, and the store's list has room for it first.
    const auto program = allPrograms.find(event->theProcess().executable.path);
    if (program == allPrograms.end()) return addEvents(EventBatch({event}));
    reserveMore(allEvents, 1);
    program->second->addEvent(event);
    allEvents.push_back(event);
}

void EventFilters::addEvents(EventBatch&& batch) {
    // All the memory the batch takes is taken first: when it runs out, the store is
    // left as it was. What follows takes none.
    reserveToAppend(allEvents, batch.events_);
    std::vector<std::pair<ProgramItem*, ProgramItem::Addition>> additions;
    std::unordered_map<std::string, std::shared_ptr<ProgramItem>> newPrograms;
    std::vector<std::string> newPaths;
    additions.reserve(batch.programs_.size());
    for (ProgramRun& run : batch.programs_) {
        if (auto it = allPrograms.find(run.path()); it != allPrograms.end()) {
            additions.emplace_back(it->second.get(), it->second->prepare(std::move(run)));
            continue;
        }
        newPaths.push_back(run.path());
        auto program = std::make_shared<ProgramItem>(std::move(run), iconProvider);
        newPrograms.emplace(newPaths.back(), std::move(program));
    }
    reserveMore(sortedProgramPaths, newPaths.size());
    reserveToInsert(allPrograms, newPaths.size());

    appendEvents(allEvents, std::move(batch.events_));
    for (auto& [program, addition] : additions) program->add(std::move(addition));
    for (std::string& path : newPaths) {
        // Inserting at the sorted position keeps the list as a full re-sort would.
        auto at = std::lower_bound(sortedProgramPaths.begin(), sortedProgramPaths.end(), path, canonicalLess);
        sortedProgramPaths.insert(at, std::move(path));
    }
    allPrograms.merge(newPrograms);
    batch = {};
}

EventList EventFilters::refilter(const EventList& events, std::int64_t anchor) const {
    std::optional<SearchPass> search;
    if (!searchString.empty()) search.emplace(searchString, searchCategory);
    if (search && search->keepsAll()) search.reset();

    // Passes 1 and 2.
    auto early = [this](const EventItem& e) {
        if (appleBinaryFilter && e.theProcess().is_platform_binary) return false;
        if (annotateFilter && e.annotations().isEmpty()) return false;
        return true;
    };
    // Passes 4 to 9.
    const bool chain = !selectedPIDChain.pid.empty();
    const Members chainPIDs(selectedPIDChain.pid), chainParents(selectedPIDChain.ppid);
    const Members types(selectedEventTypes), hiddenTypes(deselectedEventTypes);
    const Members programs(selectedPrograms), hiddenPrograms(deselectedPrograms);
    auto late = [&](const EventItem& e) {
        const es::ESProcess& p = e.theProcess();
        if (chain && !chainPIDs.contains(p.audit_token.pid) && !chainParents.contains(p.parent_audit_token.pid) &&
            !chainParents.contains(p.responsible_audit_token.pid))
            return false;
        es::EventType type = e.theEvent().event_type;
        if (!types.empty() && !types.contains(type)) return false;
        if (!hiddenTypes.empty() && hiddenTypes.contains(type)) return false;
        if (!programs.empty() && !programs.contains(p.executable.path)) return false;
        if (!hiddenPrograms.empty() && hiddenPrograms.contains(p.executable.path)) return false;
        return !search || (*search)(e);
    };

    // The lines the passes in force read beyond an item's first line.
    const bool byProgram = !programs.empty() || !hiddenPrograms.empty();
    auto fields = [&, this](const EventItem& e) {
        const es::ESProcess& p = e.theProcess();
        if (appleBinaryFilter) prefetch(&p.is_platform_binary);
        if (chain) prefetchPIDs(p);
        if (!types.empty() || !hiddenTypes.empty()) prefetch(&e.theEvent().event_type);
        if (byProgram) prefetch(&p.executable.path);
        if (search) search->prefetchFields(e);
    };
    auto pointees = [&](const EventItem& e) {
        if (byProgram) prefetch(e.theProcess().executable.path.data());
        if (search) search->prefetchPointees(e);
    };

    const bool window = timeWindowEnd > 0;
    // With an anchor the window pass depends on positions in its input, so it runs
    // on its own; otherwise every pass is a test of one event and they run as one scan.
    if (window && anchor >= 0)
        return keepIf(filterByTimeWindow(keepIf(events, early, fields), anchor), late, fields, pointees);
    return keepIf(
        events,
        [&, this](const EventItem& e) {
            if (!early(e)) return false;
            if (window && (e.timestamp() < timeWindowStart || e.timestamp() > timeWindowEnd)) return false;
            return late(e);
        },
        fields, pointees);
}

void EventFilters::ignoreProgram(const std::string& path) {
    const EventList& source = isFiltering() ? filteredEvents : allEvents;
    deselectedPrograms.insert(path);
    const Members hidden(deselectedPrograms);
    setFilteredEvents(keepIf(
        source, [&hidden](const EventItem& e) { return !hidden.contains(e.theProcess().executable.path); },
        [](const EventItem& e) { prefetch(&e.theProcess().executable.path); },
        [](const EventItem& e) { prefetch(e.theProcess().executable.path.data()); }));
}

void EventFilters::ignoreEventType(const std::vector<es::EventType>& types) {
    const EventList& source = isFiltering() ? filteredEvents : allEvents;
    deselectedEventTypes.insert(types.begin(), types.end());
    const Members hidden(deselectedEventTypes);
    setFilteredEvents(keepIf(
        source, [&hidden](const EventItem& e) { return !hidden.contains(e.theEvent().event_type); },
        [](const EventItem& e) { prefetch(&e.theEvent().event_type); }));
}

void EventFilters::selectEventTypes(const std::vector<es::EventType>& types) {
    selectedEventTypes.insert(types.begin(), types.end());
    setFilteredEvents(refilter(allEvents, -1));
}

void EventFilters::deselectEventTypes(const std::vector<es::EventType>& types) {
    if (!selectedEventTypes.empty())
        for (auto t : types) selectedEventTypes.erase(t);
    if (isFiltering()) setFilteredEvents(refilter(allEvents, -1));
    else releaseItems(filteredEvents);
}

void EventFilters::enableAppleBinaryFilter() {
    const bool wasFiltering = isFiltering();
    appleBinaryFilter = true;
    if (!wasFiltering) {
        setFilteredEvents(refilter(allEvents, -1));
        return;
    }
    std::erase_if(filteredEvents, [](const EventItemPtr& e) { return e->theProcess().is_platform_binary; });
}

void EventFilters::setSearchString(std::string text) {
    searchString = std::move(text);
    if (searchString.empty() && !isFiltering()) releaseItems(filteredEvents);
    else setFilteredEvents(refilter(allEvents, -1));
}

EventList EventFilters::applySearch(const EventList& events) const {
    SearchPass search(searchString, searchCategory);
    if (search.keepsAll()) return events;
    return keepIf(
        events, search, [&search](const EventItem& e) { search.prefetchFields(e); },
        [&search](const EventItem& e) { search.prefetchPointees(e); });
}

void EventFilters::setPIDChain(const std::vector<std::int64_t>& pids) {
    clearAll();

    // The first event of each requested pid gives its parent and responsible pids;
    // each part of the list finds its own first ones and the earliest part wins.
    std::unordered_map<std::int64_t, const EventItem*> first;
    for (auto pid : pids) first.emplace(pid, nullptr);
    const std::size_t parts = partCount(allEvents.size());
    std::vector<std::unordered_map<std::int64_t, const EventItem*>> firstInPart(parts);
    inParts(allEvents.size(), parts, [&](std::size_t begin, std::size_t end, std::size_t part) {
        auto& found = firstInPart[part];
        for (std::size_t i = begin; i < end && found.size() < first.size(); ++i) {
            prefetchAhead(allEvents, i, end, [](const EventItem& e) { prefetch(&e.theProcess().audit_token.pid); });
            const EventItem* e = allEvents[i].get();
            if (first.contains(e->theProcess().audit_token.pid)) found.emplace(e->theProcess().audit_token.pid, e);
        }
    });
    for (auto& [pid, item] : first)
        for (const auto& found : firstInPart)
            if (auto it = found.find(pid); !item && it != found.end()) item = it->second;

    // The chain is a set of items by item identity: of equal items it holds the one
    // brought in first, step by step for each pid in turn: the pid's own events, its
    // parent's, its responsible process's, then its children's. Each pid maps to the
    // first step that brings in its own events (own) or its children's (children).
    std::unordered_map<std::int64_t, std::size_t> own;
    std::unordered_map<std::int64_t, std::size_t> children;
    std::size_t step = 0;
    for (auto pid : pids) {
        selectedPIDChain.pid.insert(pid);
        selectedPIDChain.ppid.insert(pid);
        const EventItem* f = first[pid];
        if (!f) continue;
        own.emplace(pid, step++);
        // One level up; pid 1 is never followed.
        for (auto up : {f->theProcess().parent_audit_token.pid, f->theProcess().responsible_audit_token.pid}) {
            if (up == 1) continue;
            selectedPIDChain.pid.insert(up);
            own.emplace(up, step++);
        }
        children.emplace(pid, step++);
    }
    if (own.empty()) return;

    // Asked for every item: sorted lists, searched without hashing.
    using Steps = std::vector<std::pair<std::int64_t, std::size_t>>;
    const Steps ownSteps = sorted(own), childSteps = sorted(children);
    constexpr std::size_t never = std::numeric_limits<std::size_t>::max();
    auto stepOf = [](const Steps& steps, std::int64_t pid) {
        auto it = std::lower_bound(steps.begin(), steps.end(), pid, [](const auto& s, std::int64_t p) { return s.first < p; });
        return it == steps.end() || it->first != pid ? never : it->second;
    };
    auto rank = [&](const EventItem& e) {
        const es::ESProcess& p = e.theProcess();
        return std::min({stepOf(ownSteps, p.audit_token.pid), stepOf(childSteps, p.parent_audit_token.pid),
                         stepOf(childSteps, p.responsible_audit_token.pid)});
    };
    EventList matches = keepIf(
        allEvents, [&](const EventItem& e) { return rank(e) != never; },
        [](const EventItem& e) { prefetchPIDs(e.theProcess()); });
    std::vector<std::int64_t> seqs = sequenceNumbers(matches);
    if (!std::is_sorted(seqs.begin(), seqs.end())) {
        std::stable_sort(matches.begin(), matches.end(), [](const EventItemPtr& a, const EventItemPtr& b) {
            return a->theEvent().global_seq_num < b->theEvent().global_seq_num;
        });
        seqs = sequenceNumbers(matches);
    }
    setFilteredEvents(oneOfEachItem(std::move(matches), seqs, rank));
}

void EventFilters::setTimeWindow(std::int64_t time, std::int64_t span, std::int64_t anchor) {
    if (time < 1 || span < 1) return;
    const std::int64_t half = span / 2 + span % 2;  // an odd span grows by one
    const bool wasFiltering = isFiltering();
    const bool hadWindow = timeWindowEnd != 0;
    timeWindowStart = time - half;
    timeWindowEnd = saturatingAdd(time, half);
    // The first window narrows what is shown around the chosen row; later ones rescan.
    if (wasFiltering && !hadWindow) setFilteredEvents(filterByTimeWindow(filteredEvents, anchor));
    else setFilteredEvents(refilter(allEvents, -1));
}

void EventFilters::clearTimeWindow() {
    timeWindowStart = timeWindowEnd = 0;
    if (isFiltering()) setFilteredEvents(refilter(allEvents, -1));
    else releaseItems(filteredEvents);
}

EventList EventFilters::filterByTimeWindow(const EventList& events, std::int64_t anchor) const {
    auto inside = [this](const EventItem& e) { return timeWindowStart <= e.timestamp() && e.timestamp() <= timeWindowEnd; };
    if (anchor < 0) return keepIf(events, inside);
    // An anchor past the end is taken as the end.
    const auto a = std::min(static_cast<std::size_t>(anchor), events.size());
    std::size_t begin = a;
    while (begin > 0 && inside(*events[begin - 1])) --begin;
    std::size_t end = a;
    while (end < events.size() && inside(*events[end])) ++end;
    return EventList(events.begin() + static_cast<std::ptrdiff_t>(begin), events.begin() + static_cast<std::ptrdiff_t>(end));
}

}  // namespace qm
