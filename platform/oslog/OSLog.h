#pragma once
// The unified log: levelled messages with a subsystem and a category.
//
// Messages are format texts in the unified log's style: "%{public}s", "%s", "%ld",
// "%{public}d", "%@" ... Integer arguments are public unless marked {private}; text
// arguments are private unless marked {public}, and private ones are written as
// "<private>". Each message becomes one line on standard error, from the level named
// by the environment variable OSLOG_LEVEL (debug, info, default, error, fault; info
// when unset) up. A LogCapture collects every message, whatever its level, for tests.

#include <cstdint>
#include <initializer_list>
#include <mutex>
#include <string>
#include <string_view>
#include <type_traits>
#include <variant>
#include <vector>

namespace oslog {

enum class Level { debug, info, notice, error, fault };

std::string_view levelName(Level level);

struct Entry {
    Level level;
    std::string subsystem;
    std::string category;
    std::string message;
};

// One format argument: an integer or a text.
class Arg {
public:
    template <class T>
        requires std::is_integral_v<T>
    Arg(T v) {
        if constexpr (std::is_same_v<T, bool>) value_ = std::int64_t(v);
        else if constexpr (std::is_signed_v<T>) value_ = std::int64_t(v);
        else value_ = std::uint64_t(v);
    }
    Arg(std::string_view s) : value_(s) {}
    Arg(const std::string& s) : value_(std::string_view(s)) {}
    Arg(const char* s) : value_(std::string_view(s)) {}

    bool isText() const { return std::holds_alternative<std::string_view>(value_); }
    void appendTo(std::string& out) const;

private:
    std::variant<std::int64_t, std::uint64_t, std::string_view> value_;
};

// Renders a format text with its arguments as the unified log shows it. Missing
// arguments render as "<missing>"; unknown directives are copied as they stand.
std::string render(std::string_view format, std::initializer_list<Arg> args);

class Logger {
public:
    Logger(std::string subsystem, std::string category)
        : subsystem_(std::move(subsystem)), category_(std::move(category)) {}

    const std::string& subsystem() const { return subsystem_; }
    const std::string& category() const { return category_; }

    void log(Level level, std::string_view format, std::initializer_list<Arg> args = {}) const;

    template <class... A>
    void debug(std::string_view format, const A&... args) const { log(Level::debug, format, {Arg(args)...}); }
    template <class... A>
    void info(std::string_view format, const A&... args) const { log(Level::info, format, {Arg(args)...}); }
    template <class... A>
    void notice(std::string_view format, const A&... args) const { log(Level::notice, format, {Arg(args)...}); }
    template <class... A>
    void error(std::string_view format, const A&... args) const { log(Level::error, format, {Arg(args)...}); }
    template <class... A>
    void fault(std::string_view format, const A&... args) const { log(Level::fault, format, {Arg(args)...}); }

private:
    std::string subsystem_;
    std::string category_;
};

// Collects every message logged while it exists (from any thread).
class LogCapture {
public:
    LogCapture();
    ~LogCapture();
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    std::vector<Entry> entries() const;
    // The messages of one category, in order.
    std::vector<std::string> messages(std::string_view category) const;
    void clear();

    void add(const Entry& e);

private:
    mutable std::mutex mutex_;
    std::vector<Entry> entries_;
};

}  // namespace oslog
