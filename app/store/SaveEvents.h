#pragma once
// Saving events as JSON Lines: each event's message in list order, one line each. The
// lines go to a new file beside the target, which replaces the target only once all of
// it is on disk, so a failed save leaves the earlier file as it was.

#include <filesystem>
#include <functional>
#include <string_view>
#include <vector>

#include "EventItem.h"

namespace qm {

// Writes the events' messages to url, on the calling thread. A target that is a
// symbolic link is written where it leads, so the link stays; a target that exists
// lends its mode. An event whose message cannot be encoded is left out, and
// encodingFailed is called for it. Returns "" when the file was saved, else the
// operation that failed: "opening" (no file could be made beside the target, or it
// could not replace the target) or "writing".
std::string_view writeEvents(const std::filesystem::path& url, const std::vector<EventItemPtr>& events,
                             const std::function<void()>& encodingFailed);

}  // namespace qm
