#pragma once
// Labelled loggers. A Logger pairs a label with its own copy of a handler; the handler
// decides whether a message passes (its level) and where it goes. Loggers made from a
// label get their handler from LoggingSystem's factory: by default a StreamLogHandler
// on standard output at level info.
//
// The message, metadata and source of a call are evaluated only when the level passes.
// Pass a value for something cheap, or a callable for something that costs to build:
//     log.debug("Tail command", [&] { return Logger::Metadata{{"command", describe(cmd)}}; });

#include <array>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <source_location>
#include <sstream>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

namespace logging {

class LogHandler;

// A deferred argument: nothing (default), a value, or a callable that yields one. It
// refers to the caller's argument, so it lives only as long as the call it is passed to.
template <class T>
class Lazy {
public:
    Lazy() = default;
    Lazy(const T& value) : source_(&value), make_(&fromValue<T>) {}

    template <class U>
    requires(!std::is_same_v<std::remove_cvref_t<U>, T> &&
             !std::is_same_v<std::remove_cvref_t<U>, Lazy> &&
             std::is_invocable_v<std::remove_reference_t<U>&> &&
             std::is_convertible_v<std::invoke_result_t<std::remove_reference_t<U>&>, T>)
        Lazy(U&& callable)
        : source_(std::addressof(callable)), make_(&fromCallable<std::remove_reference_t<U>>) {}

    template <class U>
    requires(!std::is_same_v<std::remove_cvref_t<U>, T> &&
             !std::is_same_v<std::remove_cvref_t<U>, Lazy> && !std::is_invocable_v<const U&> &&
             std::is_constructible_v<T, const U&>) Lazy(const U& value)
        : source_(std::addressof(value)), make_(&fromValue<U>) {}

    explicit operator bool() const { return make_ != nullptr; }
    // Evaluates the argument; call it once.
    T operator()() const { return make_(source_); }

private:
    template <class U>
    static T fromValue(const void* p) {
        return T(*static_cast<const U*>(p));
    }
    template <class F>
    static T fromCallable(const void* p) {
        return (*static_cast<F*>(const_cast<void*>(p)))();
    }

    const void* source_ = nullptr;
    T (*make_)(const void*) = nullptr;
};

// Where a call was made: the file identifier ("Module/File", here the source file's
// folder and name), the function and the line. Made from std::source_location by
// default; callers with fixed identifiers pass them directly.
struct CallSite {
    CallSite(std::string_view file, std::string_view function, unsigned line)
        : file(file), function(function), line(line) {}
    CallSite(std::source_location where = std::source_location::current());

    std::string_view file;
    std::string_view function;
    unsigned line = 0;
};

// The source module of a file identifier: the text before its first "/", or "n/a" when
// it has none.
std::string_view sourceFromFile(std::string_view file);

class Logger {
public:
    enum class Level { trace, debug, info, notice, warning, error, critical };
    static constexpr std::array<Level, 7> allLevels = {Level::trace,   Level::debug,   Level::info,
                                                       Level::notice,  Level::warning, Level::error,
                                                       Level::critical};

    struct Message {
        Message(std::string value) : value(std::move(value)) {}
        Message(const char* value) : value(value) {}
        const std::string& description() const { return value; }
        friend bool operator==(const Message&, const Message&) = default;

        std::string value;
    };

    // A value of any type with a text description (its operator<<), kept as the value
    // and turned into text only when printed.
    class StringConvertible {
    public:
        template <class T>
        explicit StringConvertible(T value)
            : box_(std::make_shared<const Box<T>>(std::move(value))) {}
        std::string description() const { return box_->description(); }

    private:
        struct Base {
            virtual ~Base() = default;
            virtual std::string description() const = 0;
        };
        template <class T>
        struct Box final : Base {
            explicit Box(T value) : value(std::move(value)) {}
            std::string description() const override {
                std::ostringstream out;
                out << value;
                return out.str();
            }
            T value;
        };
        std::shared_ptr<const Base> box_;
    };

    class MetadataValue {
    public:
        using Dictionary = std::map<std::string, MetadataValue>;
        using Array = std::vector<MetadataValue>;
        enum class Kind { string, stringConvertible, dictionary, array };

        MetadataValue(std::string text) : value_(std::move(text)) {}
        MetadataValue(const char* text) : value_(std::string(text)) {}
        MetadataValue(StringConvertible value) : value_(std::move(value)) {}
        MetadataValue(Dictionary dictionary) : value_(std::move(dictionary)) {}
        MetadataValue(Array array) : value_(std::move(array)) {}

        Kind kind() const { return static_cast<Kind>(value_.index()); }
        const std::string* string() const { return std::get_if<std::string>(&value_); }
        const Dictionary* dictionary() const { return std::get_if<Dictionary>(&value_); }
        const Array* array() const { return std::get_if<Array>(&value_); }

        // The text form: strings as they are; arrays and dictionaries as ["a", "b"] and
        // ["k": "v"] (empty: [] and [:]) with each element's text form quoted.
        std::string description() const;

        // Same kind and equal content; convertible values compare by description.
        friend bool operator==(const MetadataValue& a, const MetadataValue& b);

    private:
        std::variant<std::string, StringConvertible, Dictionary, Array> value_;
    };

    using Metadata = MetadataValue::Dictionary;

    // Yields metadata for every message of a handler that holds it.
    class MetadataProvider {
    public:
        explicit MetadataProvider(std::function<Metadata()> provide)
            : provide_(std::move(provide)) {}
        Metadata operator()() const { return provide_(); }
        // Calls each provider in order; a later one wins on an equal key.
        static MetadataProvider multiplex(std::vector<MetadataProvider> providers);

    private:
        std::function<Metadata()> provide_;
    };

    // A logger with a handler from LoggingSystem's factory.
    explicit Logger(std::string label);
    Logger(std::string label, std::unique_ptr<LogHandler> handler);
    // Copies copy the handler: a copy's level and metadata are its own.
    Logger(const Logger& other);
    Logger& operator=(const Logger& other);
    Logger(Logger&&) noexcept = default;
    Logger& operator=(Logger&&) noexcept = default;
    ~Logger();

    const std::string& label() const { return label_; }
    LogHandler& handler() { return *handler_; }
    const LogHandler& handler() const { return *handler_; }

    Level logLevel() const;
    void setLogLevel(Level level);
    // One metadata entry of the handler; setting nothing removes it.
    std::optional<MetadataValue> metadataValue(const std::string& key) const;
    void setMetadataValue(const std::string& key, std::optional<MetadataValue> value);

    // Passes the message to the handler when its level admits `level`. Without a source,
    // the source is derived from the call site's file identifier.
    void log(Level level, Lazy<Message> message, Lazy<std::optional<Metadata>> metadata = {},
             Lazy<std::string> source = {}, CallSite site = {}) const;

    void trace(Lazy<Message> message, Lazy<std::optional<Metadata>> metadata = {},
               Lazy<std::string> source = {}, CallSite site = {}) const {
        log(Level::trace, message, metadata, source, site);
    }
    void debug(Lazy<Message> message, Lazy<std::optional<Metadata>> metadata = {},
               Lazy<std::string> source = {}, CallSite site = {}) const {
        log(Level::debug, message, metadata, source, site);
    }
    void info(Lazy<Message> message, Lazy<std::optional<Metadata>> metadata = {},
              Lazy<std::string> source = {}, CallSite site = {}) const {
        log(Level::info, message, metadata, source, site);
    }
    void notice(Lazy<Message> message, Lazy<std::optional<Metadata>> metadata = {},
                Lazy<std::string> source = {}, CallSite site = {}) const {
        log(Level::notice, message, metadata, source, site);
    }
    void warning(Lazy<Message> message, Lazy<std::optional<Metadata>> metadata = {},
                 Lazy<std::string> source = {}, CallSite site = {}) const {
        log(Level::warning, message, metadata, source, site);
    }
    void error(Lazy<Message> message, Lazy<std::optional<Metadata>> metadata = {},
               Lazy<std::string> source = {}, CallSite site = {}) const {
        log(Level::error, message, metadata, source, site);
    }
    void critical(Lazy<Message> message, Lazy<std::optional<Metadata>> metadata = {},
                  Lazy<std::string> source = {}, CallSite site = {}) const {
        log(Level::critical, message, metadata, source, site);
    }

private:
    std::unique_ptr<LogHandler> handler_;
    std::string label_;
};

// A level's text form ("trace" ... "critical") and back; only those exact words make a
// level.
std::string_view toString(Logger::Level level);
std::optional<Logger::Level> levelFromString(std::string_view text);

// The coding of a level: a JSON string holding its text form. Decoding yields nothing for
// any other JSON value, for a string that is not one of the seven words, and for text
// that is not JSON.
std::string encodeLevel(Logger::Level level);
std::optional<Logger::Level> decodeLevel(std::string_view json);

// What every handler offers. Handlers are values inside their Logger (copied by clone);
// log runs on the caller's thread.
class LogHandler {
public:
    using Level = Logger::Level;
    using Message = Logger::Message;
    using Metadata = Logger::Metadata;
    using MetadataValue = Logger::MetadataValue;
    using MetadataProvider = Logger::MetadataProvider;

    virtual ~LogHandler() = default;
    virtual std::unique_ptr<LogHandler> clone() const = 0;

    virtual std::optional<MetadataProvider> metadataProvider() const = 0;
    virtual void setMetadataProvider(std::optional<MetadataProvider> provider) = 0;

    // Handles one message that has passed the level test.
    virtual void log(Level level, const Message& message, const std::optional<Metadata>& metadata,
                     std::string_view source, std::string_view file, std::string_view function,
                     unsigned line) const = 0;
    // The form without a source: derives it from file.
    void log(Level level, const Message& message, const std::optional<Metadata>& metadata,
             std::string_view file, std::string_view function, unsigned line) const {
        log(level, message, metadata, sourceFromFile(file), file, function, line);
    }

    virtual std::optional<MetadataValue> metadataValue(const std::string& key) const = 0;
    virtual void setMetadataValue(const std::string& key, std::optional<MetadataValue> value) = 0;
    virtual Metadata metadata() const = 0;
    virtual void setMetadata(Metadata metadata) = 0;
    virtual Level logLevel() const = 0;
    virtual void setLogLevel(Level level) = 0;
};

}  // namespace logging
