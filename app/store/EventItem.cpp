#include "EventItem.h"

#include <algorithm>
#include <array>
#include <functional>
#include <iterator>

#include "DateTime.h"
#include "EventAnnotator.h"
#include "EventArena.h"

namespace qm {

namespace {

struct AnnotationText {
    EventAnnotation member;
    std::string_view badge;
    std::string_view name;
};

constexpr std::array<AnnotationText, 3> annotationTexts{{
    {EventAnnotation::PRIVILEGED_PATH, "\U0001F6E4\uFE0F", "PRIVILEGED_PATH"},
    {EventAnnotation::PRIVILEGED_USER, "\U0001F451", "PRIVILEGED_USER"},
    {EventAnnotation::QUARANTINE_PATH, "\u2623\uFE0F", "QUARANTINE_PATH"},
}};

std::string joinAnnotations(EventAnnotation set, std::string_view AnnotationText::*text) {
    std::string out;
    for (const auto& a : annotationTexts) {
        if (!set.contains(a.member)) continue;
        if (!out.empty()) out += " | ";
        out += a.*text;
    }
    return out;
}

const es::ESProcess& rowProcess(const es::ESMessage& m) {
    if (auto e = m.event.get<es::ESEvent_exec>()) return e->target;
    if (auto e = m.event.get<es::ESEvent_fork>()) return e->child;
    if (auto e = m.event.get<es::ESEvent_signal>()) return e->target;
    if (auto e = m.event.get<es::ESEvent_proc_suspend_resume>(); e && e->target) return *e->target;
    return m.process;
}

}  // namespace

std::string annotationBadges(EventAnnotation annotations) {
    return joinAnnotations(annotations, &AnnotationText::badge);
}

std::string annotationNames(EventAnnotation annotations) {
    return joinAnnotations(annotations, &AnnotationText::name);
}

EventAnnotation annotationNamed(std::string_view name) {
    for (const auto& a : annotationTexts)
        if (a.name == name) return a.member;
    return {};
}

namespace {

// The place of the type among the cases of EventType; the number of cases for a type
// that is none of them.
std::size_t typePlace(es::EventType type) {
    constexpr const auto& cases = es::EnumInfo<es::EventType>::cases;
    const auto raw = static_cast<std::int64_t>(type);
    if (raw >= 0 && raw < std::int64_t(cases.size()) && cases[std::size_t(raw)].raw == raw) return std::size_t(raw);
    const es::EnumCase* found = es::enumCase<es::EventType>(raw);
    return found ? std::size_t(found - cases.data()) : cases.size();
}

// The short names of the types, one text per name, and the name of each place among
// the types (the last place: an unknown type, whose name is "").
struct ShortNames {
    std::vector<std::string> names;
    std::vector<std::uint32_t> ofPlace;
};

const ShortNames& shortNames() {
    static const ShortNames table = [] {
        ShortNames t;
        auto place = [&t](std::string name) {
            auto found = std::find(t.names.begin(), t.names.end(), name);
            if (found == t.names.end()) found = t.names.insert(found, std::move(name));
            t.ofPlace.push_back(std::uint32_t(found - t.names.begin()));
        };
        for (const es::EnumCase& c : es::EnumInfo<es::EventType>::cases)
            place(es::shortName(static_cast<es::EventType>(c.raw)));
        place({});
        return t;
    }();
    return table;
}

}  // namespace

const std::string& shortTypeName(es::EventType type) {
    const ShortNames& table = shortNames();
    return table.names[table.ofPlace[typePlace(type)]];
}

void TypeCounter::add(es::EventType type, std::size_t count) {
    const ShortNames& table = shortNames();
    if (byName_.empty()) byName_.resize(table.names.size());
    std::uint32_t& known = byName_[table.ofPlace[typePlace(type)]];
    if (known == 0) {
        counts_.push_back({shortTypeName(type), 0, type});
        known = std::uint32_t(counts_.size());
    }
    counts_[known - 1].count += count;
}

void TypeCounter::add(const std::vector<TypeCount>& counts) {
    for (const TypeCount& type : counts) add(type.type, type.count);
}

std::string_view eventTypeNamePart(es::EventType type) {
    std::string_view name = es::caseName(type);
    // Drop the first four "_"-separated parts ("ES", "EVENT", "TYPE", "AUTH"/"NOTIFY").
    for (int i = 0; i < 4; ++i) {
        auto pos = name.find('_');
        if (pos == std::string_view::npos) return {};
        name.remove_prefix(pos + 1);
    }
    return name;
}

EventItem::EventItem(es::ESMessage&& message) : EventItem(std::move(message), EventAnnotator::shared()) {}

EventItem::EventItem(es::ESMessage&& message, const EventAnnotator& annotator)
    : EventItem(std::move(message), Unmarked{}) {
    annotator.annotate(*this);
}

EventItem::EventItem(es::ESMessage&& message, Unmarked)
    : timestamp_(internetDateTimeSeconds(message.time)), theEvent_(std::move(message)) {
    theProcess_ = &rowProcess(theEvent_);
}

EventItemPtr makeEventItem(EventArena& arena, es::ESMessage&& message, const EventAnnotator& annotator) {
    return std::allocate_shared<EventItem>(ArenaAllocator<EventItem>(arena), std::move(message), annotator);
}

EventItemPtr makeEventItem(EventArena& arena, es::ESMessage&& message) {
    return std::allocate_shared<EventItem>(ArenaAllocator<EventItem>(arena), std::move(message), EventItem::Unmarked{});
}

namespace {

// Whether appendEvents moves list's items in front of later's, in later's memory.
bool appendsInFront(const std::vector<EventItemPtr>& list, const std::vector<EventItemPtr>& later) {
    return later.size() > list.size() && later.capacity() - later.size() >= list.size();
}

}  // namespace

void reserveToAppend(std::vector<EventItemPtr>& list, const std::vector<EventItemPtr>& later) {
    if (!appendsInFront(list, later)) reserveMore(list, later.size());
}

void appendEvents(std::vector<EventItemPtr>& list, std::vector<EventItemPtr>&& later) {
    if (appendsInFront(list, later)) {
        later.insert(later.begin(), std::make_move_iterator(list.begin()), std::make_move_iterator(list.end()));
        list = std::move(later);
    } else {
        list.insert(list.end(), std::make_move_iterator(later.begin()), std::make_move_iterator(later.end()));
    }
    later.clear();
}

bool operator==(const EventItem& a, const EventItem& b) {
    return a.theEvent_.global_seq_num == b.theEvent_.global_seq_num && a.timestamp_ == b.timestamp_ &&
           eventTypeNamePart(a.theEvent_.event_type) == eventTypeNamePart(b.theEvent_.event_type) &&
           a.theProcess_->executable.path == b.theProcess_->executable.path;
}

std::size_t EventItem::hash() const {
    std::size_t h = std::hash<std::int64_t>{}(theEvent_.global_seq_num);
    auto mix = [&h](std::size_t v) { h ^= v + 0x9e3779b97f4a7c15ULL + (h << 6) + (h >> 2); };
    mix(std::hash<std::int64_t>{}(timestamp_));
    mix(std::hash<std::string_view>{}(eventTypeNamePart(theEvent_.event_type)));
    mix(std::hash<std::string_view>{}(theProcess_->executable.path));
    return h;
}

}  // namespace qm
