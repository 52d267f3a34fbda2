#include "OSLog.h"

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <sys/time.h>

namespace oslog {

namespace {

struct Sinks {
    std::mutex mutex;
    std::vector<LogCapture*> captures;
};

Sinks& sinks() {
    // Never destroyed: threads may log while the process exits.
    static Sinks* s = new Sinks;
    return *s;
}

Level minimumLevel() {
    static const Level level = [] {
        const char* env = std::getenv("OSLOG_LEVEL");
        if (env) {
            for (Level l : {Level::debug, Level::info, Level::notice, Level::error, Level::fault}) {
                if (levelName(l) == env) return l;
            }
            if (std::string_view(env) == "default") return Level::notice;
        }
        return Level::info;
    }();
    return level;
}

bool isLengthModifier(char c) { return c == 'l' || c == 'h' || c == 'z' || c == 'j' || c == 'q' || c == 't'; }

}  // namespace

std::string_view levelName(Level level) {
    switch (level) {
        case Level::debug: return "debug";
        case Level::info: return "info";
        case Level::notice: return "notice";
        case Level::error: return "error";
        case Level::fault: return "fault";
    }
    return "notice";
}

void Arg::appendTo(std::string& out) const {
    if (auto* s = std::get_if<std::string_view>(&value_)) out += *s;
    else if (auto* i = std::get_if<std::int64_t>(&value_)) out += std::to_string(*i);
    else out += std::to_string(std::get<std::uint64_t>(value_));
}

std::string render(std::string_view format, std::initializer_list<Arg> args) {
    std::string out;
    out.reserve(format.size() + 32);
    auto next = args.begin();
    std::size_t i = 0;
    while (i < format.size()) {
        char c = format[i];
        if (c != '%') {
            out += c;
            ++i;
            continue;
        }
        if (i + 1 < format.size() && format[i + 1] == '%') {
            out += '%';
            i += 2;
            continue;
        }
        std::size_t j = i + 1;
        std::string_view privacy;
        if (j < format.size() && format[j] == '{') {
            std::size_t close = format.find('}', j);
            if (close == std::string_view::npos) break;
            privacy = format.substr(j + 1, close - j - 1);
            j = close + 1;
        }
        while (j < format.size() && isLengthModifier(format[j])) ++j;
        if (j >= format.size()) {
            out += format.substr(i);
            break;
        }
        char conv = format[j];
        if (std::string_view("sdiuxX@c").find(conv) == std::string_view::npos) {
            out += format.substr(i, j + 1 - i);
            i = j + 1;
            continue;
        }
        if (next == args.end()) {
            out += "<missing>";
        } else {
            bool isPublic = privacy.find("public") != std::string_view::npos;
            bool isPrivate = privacy.find("private") != std::string_view::npos;
            if (isPrivate || (next->isText() && !isPublic)) out += "<private>";
            else next->appendTo(out);
            ++next;
        }
        i = j + 1;
    }
    return out;
}

void Logger::log(Level level, std::string_view format, std::initializer_list<Arg> args) const {
    Entry entry{level, subsystem_, category_, render(format, args)};
    {
        Sinks& s = sinks();
        std::lock_guard lock(s.mutex);
        for (LogCapture* c : s.captures) c->add(entry);
    }
    if (level < minimumLevel()) return;

    timeval tv{};
    gettimeofday(&tv, nullptr);
    tm local{};
    localtime_r(&tv.tv_sec, &local);
    char stamp[64];
    std::size_t n = std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &local);
    std::snprintf(stamp + n, sizeof stamp - n, ".%06ld", long(tv.tv_usec));

    std::string line;
    line.reserve(entry.message.size() + 96);
    line += stamp;
    line += " [";
    line += std::to_string(getpid());
    line += "] <";
    line += levelName(level);
    line += "> [";
    line += subsystem_;
    line += ':';
    line += category_;
    line += "] ";
    line += entry.message;
    line += '\n';
    // One write per line keeps lines whole when several threads log at once.
    [[maybe_unused]] ssize_t written = ::write(STDERR_FILENO, line.data(), line.size());
}

LogCapture::LogCapture() {
    Sinks& s = sinks();
    std::lock_guard lock(s.mutex);
    s.captures.push_back(this);
}

LogCapture::~LogCapture() {
    Sinks& s = sinks();
    std::lock_guard lock(s.mutex);
    s.captures.erase(std::remove(s.captures.begin(), s.captures.end(), this), s.captures.end());
}

void LogCapture::add(const Entry& e) {
    std::lock_guard lock(mutex_);
    entries_.push_back(e);
}

std::vector<Entry> LogCapture::entries() const {
    std::lock_guard lock(mutex_);
    return entries_;
}

std::vector<std::string> LogCapture::messages(std::string_view category) const {
    std::lock_guard lock(mutex_);
    std::vector<std::string> out;
    for (const Entry& e : entries_) {
        if (e.category == category) out.push_back(e.message);
    }
    return out;
}

void LogCapture::clear() {
    std::lock_guard lock(mutex_);
    entries_.clear();
}

}  // namespace oslog
