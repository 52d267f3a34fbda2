#pragma once
// The one-line description of an event: a short text for the events table and a
// full text (full paths, extra facts) for its tool tip. Computed on demand, into a
// new value or over a reused one.

#include <optional>
#include <string>
#include <string_view>

#include "EventItem.h"

namespace qm {

struct EventSummary {
    std::string shortText;
    std::string fullText;

    // What the privileged-path rule and the "Details" search read: the full text
    // when it is not empty, else the short text.
    const std::string& searchText() const { return fullText.empty() ? shortText : fullText; }
};

// Pure: reads the item's immutable records, takes no lock, never fails.
EventSummary eventSummary(const EventItem& item);
// The same texts written over into's, which keep their capacity.
void eventSummary(const EventItem& item, EventSummary& into);

// The summary's searchText(), written into a buffer of the calling thread: valid
// until the thread's next call.
std::string_view eventSearchText(const EventItem& item);

// The service name of a well-known port, or nothing.
std::optional<std::string_view> portName(std::int64_t port);

}  // namespace qm
