#pragma once
// What a listener writes about the connections it refuses: at most one line per peer
// process and interval, the first refusal at once and the count of the others when the
// interval ends, also when no further refusal comes. Time is passed in, so that the
// owner decides when to look (a timer at nextDue()).

#include <sys/types.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace xpc {

class RefusalLog {
public:
    using Clock = std::chrono::steady_clock;

    // One line to write: the peer process (-1 for the processes past kMaxProcesses in
    // one interval, counted together), its user, why it was refused (the latest
    // reason) and how many were refused since the last line about it.
    struct Line {
        pid_t pid = -1;
        uid_t uid = 0;
        std::string why;
        std::uint64_t count = 0;
        friend bool operator==(const Line&, const Line&) = default;
    };

    static constexpr std::size_t kMaxProcesses = 256;

    explicit RefusalLog(Clock::duration interval = std::chrono::minutes(1)) : interval_(interval) {}

    Clock::duration interval() const { return interval_; }

    // Counts one refusal; the line to write now, if any.
    std::optional<Line> note(pid_t pid, uid_t uid, std::string_view why, Clock::time_point now);
    // The lines of the intervals that have ended by now with refusals not yet written.
    std::vector<Line> due(Clock::time_point now);
    // The lines of every refusal not yet written (for a listener that stops).
    std::vector<Line> flush();
    // When due() has a line to give next; nothing while every refusal is written.
    std::optional<Clock::time_point> nextDue() const;

private:
    struct Entry {
        Clock::time_point logged;
        std::uint64_t count = 0;
        uid_t uid = 0;
        std::string why;
    };
    Line take(pid_t pid, Entry& e, Clock::time_point now);

    Clock::duration interval_;
    std::unordered_map<pid_t, Entry> entries_;
};

}  // namespace xpc
