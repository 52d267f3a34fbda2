#include "Logger.h"

#include <algorithm>
#include <cstdio>

#include <simdjson.h>

#include "LoggingSystem.h"
#include "TextForms.h"

namespace logging {

namespace {

constexpr std::array<std::string_view, 7> levelNames = {"trace",   "debug", "info",    "notice",
                                                        "warning", "error", "critical"};

}  // namespace

CallSite::CallSite(std::source_location where)
    : function(where.function_name()), line(where.line()) {
    // "folder/file.cpp": the folder stands for the module.
    std::string_view path = where.file_name();
    auto slash = path.rfind('/');
    if (slash != std::string_view::npos && slash > 0) {
        auto previous = path.rfind('/', slash - 1);
        if (previous != std::string_view::npos) path.remove_prefix(previous + 1);
    }
    file = path;
}

std::string_view sourceFromFile(std::string_view file) {
    auto slash = file.find('/');
    return slash == std::string_view::npos ? std::string_view("n/a") : file.substr(0, slash);
}

std::string_view toString(Logger::Level level) {
    return levelNames[static_cast<std::size_t>(level)];
}

std::optional<Logger::Level> levelFromString(std::string_view text) {
    for (auto level : Logger::allLevels)
        if (toString(level) == text) return level;
    return std::nullopt;
}

std::string encodeLevel(Logger::Level level) {
    // The names need no escapes.
    return '"' + std::string(toString(level)) + '"';
}

std::optional<Logger::Level> decodeLevel(std::string_view json) {
    simdjson::dom::parser parser;
    std::string_view text;
    if (parser.parse(simdjson::padded_string(json)).get_string().get(text) != simdjson::SUCCESS)
        return std::nullopt;
    return levelFromString(text);
}

// ---- metadata ---------------------------------------------------------------------------

std::string Logger::MetadataValue::description() const {
    switch (kind()) {
        case Kind::string:
            return std::get<std::string>(value_);
        case Kind::stringConvertible:
            return std::get<StringConvertible>(value_).description();
        case Kind::array: {
            std::string out = "[";
            const char* separator = "";
            for (const auto& element : std::get<Array>(value_)) {
                out += std::exchange(separator, ", ");
                es::appendQuotedText(out, element.description());
            }
            return out + "]";
        }
        case Kind::dictionary: {
            const auto& entries = std::get<Dictionary>(value_);
            if (entries.empty()) return "[:]";
            std::string out = "[";
            const char* separator = "";
            for (const auto& [key, value] : entries) {
                out += std::exchange(separator, ", ");
                es::appendQuotedText(out, key);
                out += ": ";
                es::appendQuotedText(out, value.description());
            }
            return out + "]";
        }
    }
    return {};
}

bool operator==(const Logger::MetadataValue& a, const Logger::MetadataValue& b) {
    using Convertible = Logger::StringConvertible;
    if (a.value_.index() != b.value_.index()) return false;
    if (auto* x = std::get_if<Convertible>(&a.value_))
        return x->description() == std::get<Convertible>(b.value_).description();
    return a.value_ == b.value_;
}

Logger::MetadataProvider Logger::MetadataProvider::multiplex(
    std::vector<MetadataProvider> providers) {
    return MetadataProvider([providers = std::move(providers)] {
        Metadata merged;
        for (const auto& provider : providers)
            for (auto& [key, value] : provider()) merged.insert_or_assign(key, std::move(value));
        return merged;
    });
}

// ---- Logger -----------------------------------------------------------------------------

Logger::Logger(std::string label) : label_(std::move(label)) {
    auto provider = LoggingSystem::metadataProvider();
    handler_ = LoggingSystem::factory()(label_, provider);
}

Logger::Logger(std::string label, std::unique_ptr<LogHandler> handler)
    : handler_(std::move(handler)), label_(std::move(label)) {}

Logger::Logger(const Logger& other) : handler_(other.handler_->clone()), label_(other.label_) {}

Logger& Logger::operator=(const Logger& other) {
    if (this != &other) {
        handler_ = other.handler_->clone();
        label_ = other.label_;
    }
    return *this;
}

Logger::~Logger() = default;

Logger::Level Logger::logLevel() const {
    return handler_->logLevel();
}
void Logger::setLogLevel(Level level) {
    handler_->setLogLevel(level);
}

std::optional<Logger::MetadataValue> Logger::metadataValue(const std::string& key) const {
    return handler_->metadataValue(key);
}

void Logger::setMetadataValue(const std::string& key, std::optional<MetadataValue> value) {
    handler_->setMetadataValue(key, std::move(value));
}

void Logger::log(Level level, Lazy<Message> message, Lazy<std::optional<Metadata>> metadata,
                 Lazy<std::string> source, CallSite site) const {
    if (handler_->logLevel() > level) return;
    // Evaluated in this order, each once, only past the level test.
    Message text = message();
    std::optional<Metadata> callMetadata = metadata ? metadata() : std::nullopt;
    std::string module = source ? source() : std::string(sourceFromFile(site.file));
    handler_->log(level, text, callMetadata, module, site.file, site.function, site.line);
}

}  // namespace logging
