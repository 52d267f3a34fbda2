#pragma once
// One row of the event store: a decoded message, the process the row is about,
// the event time in whole seconds and the row's annotation set. Items are shared
// by the store's lists, the programs and the views. Also TypeCounter (events per type).

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "ESMessage.h"

namespace qm {

class EventAnnotator;
class EventArena;

// The annotation bits of an event: an option set over a signed 64-bit raw value.
class EventAnnotation {
public:
    static const EventAnnotation PRIVILEGED_PATH;
    static const EventAnnotation PRIVILEGED_USER;
    static const EventAnnotation QUARANTINE_PATH;

    constexpr EventAnnotation() = default;
    constexpr explicit EventAnnotation(std::int64_t raw) : raw_(raw) {}

    constexpr std::int64_t rawValue() const { return raw_; }
    constexpr bool isEmpty() const { return raw_ == 0; }
    constexpr bool contains(EventAnnotation other) const { return (raw_ & other.raw_) == other.raw_; }
    constexpr EventAnnotation operator|(EventAnnotation other) const { return EventAnnotation(raw_ | other.raw_); }
    constexpr EventAnnotation& operator|=(EventAnnotation other) { raw_ |= other.raw_; return *this; }
    friend constexpr bool operator==(EventAnnotation, EventAnnotation) = default;

private:
    std::int64_t raw_ = 0;
};

inline constexpr EventAnnotation EventAnnotation::PRIVILEGED_PATH{2};
inline constexpr EventAnnotation EventAnnotation::PRIVILEGED_USER{4};
inline constexpr EventAnnotation EventAnnotation::QUARANTINE_PATH{8};

// The badges (Annotations column) or the names (tooltip, search) of the members,
// in raw-value order, joined with " | "; "" for the empty set.
std::string annotationBadges(EventAnnotation annotations);
std::string annotationNames(EventAnnotation annotations);

// The member whose name is the text, exactly; empty when none is.
EventAnnotation annotationNamed(std::string_view name);

class EventItem {
public:
    // Builds the item from the message, which it takes over, and has the shared
    // annotator (or the given one) mark it. Never fails.
    explicit EventItem(es::ESMessage&& message);
    EventItem(es::ESMessage&& message, const EventAnnotator& annotator);
    // Builds the item without marking it: its annotations are added before it is
    // shared (EventAnnotator::annotate), possibly on another thread.
    struct Unmarked {};
    EventItem(es::ESMessage&& message, Unmarked);

    EventItem(const EventItem&) = delete;
    EventItem& operator=(const EventItem&) = delete;

    const es::ESMessage& theEvent() const { return theEvent_; }
    // exec: the new image; fork: the child; signal: the receiver;
    // proc_suspend_resume: its target when present; otherwise the acting process.
    const es::ESProcess& theProcess() const { return *theProcess_; }
    // Seconds since 1970 of the message's time, truncated toward zero; 0 when the
    // time text does not parse.
    std::int64_t timestamp() const { return timestamp_; }

    EventAnnotation annotations() const { return EventAnnotation(annote_.load(std::memory_order_acquire)); }
    void addAnnotations(EventAnnotation bits) { annote_.fetch_or(bits.rawValue(), std::memory_order_acq_rel); }

    // Identity: sequence number, timestamp, event name (AUTH and NOTIFY alike) and
    // the row process's executable path.
    friend bool operator==(const EventItem& a, const EventItem& b);
    std::size_t hash() const;

private:
    // The small fields come first, next to the shared pointer's control block, so
    // that filter passes over them touch one cache line per item.
    std::int64_t timestamp_;
    // The annotation set: one word, so an atomic serves as the item's lock.
    std::atomic<std::int64_t> annote_{0};
    const es::ESProcess* theProcess_ = nullptr;  // points into theEvent_, which never changes
    es::ESMessage theEvent_;
};

using EventItemPtr = std::shared_ptr<EventItem>;

// An item (with its shared count) in one block of the arena, marked by the
// annotator; the block is freed into the arena when the last holder lets go.
EventItemPtr makeEventItem(EventArena& arena, es::ESMessage&& message, const EventAnnotator& annotator);
// The same item, not yet marked.
EventItemPtr makeEventItem(EventArena& arena, es::ESMessage&& message);

// Moves the items of later to the end of list. When later is the longer list and has
// room for list's items in front of its own, those move instead, so that a long list
// is neither copied nor given fresh memory to fill.
void appendEvents(std::vector<EventItemPtr>& list, std::vector<EventItemPtr>&& later);
// Takes the memory that appendEvents(list, later) needs (or throws, leaving list as it
// was), so that the append then takes none and cannot fail.
void reserveToAppend(std::vector<EventItemPtr>& list, const std::vector<EventItemPtr>& later);
// Room in a list for `more` further items (or throws, leaving it as it was), growing by
// doubling so that appends stay linear.
template <typename T>
void reserveMore(std::vector<T>& list, std::size_t more) {
    if (list.capacity() - list.size() >= more) return;
    list.reserve(std::max(list.size() + more, 2 * list.capacity()));
}
// Room in a hashed set or map for `more` further entries, so that inserting them neither
// rehashes nor allocates buckets. Only grows: reserving what a table already holds would
// rehash it to fewer buckets, once per call. A table that has never been given buckets
// (new, or moved from) has one built in and allocates at its first insert whatever its
// load.
template <typename Table>
void reserveToInsert(Table& table, std::size_t more) {
    if (more == 0) return;
    if (table.bucket_count() == 1 ||
        double(table.size() + more) > double(table.bucket_count()) * double(table.max_load_factor()))
        table.reserve(table.size() + more);
}

// Hashing and equality of shared items by item identity, for sets of items.
struct EventItemIdentityHash {
    std::size_t operator()(const EventItemPtr& item) const { return item->hash(); }
};
struct EventItemIdentityEqual {
    bool operator()(const EventItemPtr& a, const EventItemPtr& b) const { return *a == *b; }
};

// The type's short name ("exec" for both exec types; "" for an unknown type), from
// a table made once, so that counting events by type makes no text. Types of one
// short name share its text.
const std::string& shortTypeName(es::EventType type);

// A number of events of one short type name. The name views the table of
// shortTypeName, which lives as long as the program; type is one of the types that
// have that name.
struct TypeCount {
    std::string_view name;
    std::size_t count = 0;
    es::EventType type{};
    friend bool operator==(const TypeCount&, const TypeCount&) = default;
};

// Sums events per short type name, in order of first appearance.
class TypeCounter {
public:
    // Counts events of the type under its short name: a look-up in a table by type,
    // not by text.
    void add(es::EventType type, std::size_t count = 1);
    void add(const std::vector<TypeCount>& counts);
    const std::vector<TypeCount>& counts() const { return counts_; }

private:
    std::vector<std::uint32_t> byName_;  // a short name's place -> its entry in counts_ + 1
    std::vector<TypeCount> counts_;
};

// The event name part of a type's case name: "EXEC" for both
// ES_EVENT_TYPE_AUTH_EXEC and ES_EVENT_TYPE_NOTIFY_EXEC (upper case, no copy).
std::string_view eventTypeNamePart(es::EventType type);

}  // namespace qm
