#include "RefusalLog.h"

namespace xpc {

RefusalLog::Line RefusalLog::take(pid_t pid, Entry& e, Clock::time_point now) {
    Line line{pid, e.uid, e.why, e.count};
    e.logged = now;
    e.count = 0;
    return line;
}

std::optional<RefusalLog::Line> RefusalLog::note(pid_t pid, uid_t uid, std::string_view why, Clock::time_point now) {
    if (entries_.size() >= kMaxProcesses && !entries_.count(pid)) {
        std::erase_if(entries_, [&](const auto& entry) {
            return entry.second.count == 0 && now - entry.second.logged >= interval_;
        });
        // Still that many in the last interval: the rest are counted together.
        if (entries_.size() >= kMaxProcesses) pid = -1;
    }
    auto [it, first] = entries_.try_emplace(pid);
    Entry& e = it->second;
    e.uid = uid;
    e.why = std::string(why);
    ++e.count;
    if (!first && now - e.logged < interval_) return std::nullopt;
    return take(pid, e, now);
}

std::vector<RefusalLog::Line> RefusalLog::due(Clock::time_point now) {
    std::vector<Line> lines;
    for (auto it = entries_.begin(); it != entries_.end();) {
        if (now - it->second.logged < interval_) {
            ++it;
        } else if (it->second.count > 0) {
            lines.push_back(take(it->first, it->second, now));
            ++it;
        } else {
            it = entries_.erase(it);  // quiet for a whole interval: its next refusal is written at once
        }
    }
    return lines;
}

std::vector<RefusalLog::Line> RefusalLog::flush() {
    std::vector<Line> lines;
    for (auto& [pid, e] : entries_) {
        if (e.count > 0) lines.push_back(take(pid, e, e.logged));
    }
    entries_.clear();
    return lines;
}

std::optional<RefusalLog::Clock::time_point> RefusalLog::nextDue() const {
    std::optional<Clock::time_point> next;
    for (const auto& [pid, e] : entries_) {
        if (e.count > 0 && (!next || e.logged + interval_ < *next)) next = e.logged + interval_;
    }
    return next;
}

}  // namespace xpc
