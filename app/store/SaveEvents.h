#pragma once
// Saving events as JSON Lines: each event's message in list order, one line each. The
// lines go to a new file beside the target, which replaces the target only once all of
// it is on disk, so a failed save leaves the earlier file as it was.

#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace qm {

class EventItem;
using EventItemPtr = std::shared_ptr<EventItem>;

// How a save ended: saved, or failed by a file operation ("opening": no file could be
// made beside the target, or it could not replace the target; "writing"), or by
// something else, named by its cause ("out of memory", or the failure's text).
struct SaveResult {
    std::string_view failedOperation;
    std::string failedCause;
    bool saved() const { return failedOperation.empty() && failedCause.empty(); }
};

// The cause of the failure being handled (call it in a catch block), as SaveResult
// names it.
std::string failureCause() noexcept;

// Writes the events' messages to url, on the calling thread; throws nothing. A target
// that is a symbolic link is written where it leads, so the link stays; a target that
// exists lends its mode. An event whose message cannot be encoded is left out, and
// encodingFailed is called for it; running out of memory fails the save. A failed save
// leaves no file of its own and no descriptor open. The file being written is locked
// while it exists, so that a save also removes what a save to the same target left
// when its process was killed, and nothing that a running save still writes.
SaveResult writeEvents(const std::filesystem::path& url, const std::vector<EventItemPtr>& events,
                       const std::function<void()>& encodingFailed);

}  // namespace qm
