#include "MultiplexLogHandler.h"

#include <algorithm>
#include <stdexcept>

namespace logging {

MultiplexLogHandler::MultiplexLogHandler(std::vector<std::unique_ptr<LogHandler>> handlers,
                                         std::optional<MetadataProvider> provider)
    : handlers_(std::move(handlers)), metadataProvider_(std::move(provider)) {
    if (handlers_.empty()) throw std::invalid_argument("MultiplexLogHandler needs a handler");
    effectiveLogLevel_ = handlers_.front()->logLevel();
    for (const auto& handler : handlers_)
        effectiveLogLevel_ = std::min(effectiveLogLevel_, handler->logLevel());
}

MultiplexLogHandler::MultiplexLogHandler(const MultiplexLogHandler& other)
    : effectiveLogLevel_(other.effectiveLogLevel_), metadataProvider_(other.metadataProvider_) {
    for (const auto& handler : other.handlers_) handlers_.push_back(handler->clone());
}

std::unique_ptr<LogHandler> MultiplexLogHandler::clone() const {
    return std::make_unique<MultiplexLogHandler>(*this);
}

std::optional<Logger::MetadataProvider> MultiplexLogHandler::metadataProvider() const {
    if (metadataProvider_) return metadataProvider_;
    std::vector<MetadataProvider> providers;
    for (const auto& handler : handlers_)
        if (auto provider = handler->metadataProvider()) providers.push_back(std::move(*provider));
    if (providers.empty()) return std::nullopt;
    if (providers.size() == 1) return providers.front();
    return MetadataProvider::multiplex(std::move(providers));
}

void MultiplexLogHandler::setMetadataProvider(std::optional<MetadataProvider> provider) {
    for (auto& handler : handlers_) handler->setMetadataProvider(provider);
    metadataProvider_ = std::move(provider);
}

void MultiplexLogHandler::log(Level level, const Message& message,
                              const std::optional<Metadata>& metadata, std::string_view source,
                              std::string_view file, std::string_view function,
                              unsigned line) const {
    for (const auto& handler : handlers_)
        if (handler->logLevel() <= level)
            handler->log(level, message, metadata, source, file, function, line);
}

std::optional<Logger::MetadataValue> MultiplexLogHandler::metadataValue(
    const std::string& key) const {
    for (const auto& handler : handlers_)
        if (auto value = handler->metadataValue(key)) return value;
    return std::nullopt;
}

void MultiplexLogHandler::setMetadataValue(const std::string& key,
                                           std::optional<MetadataValue> value) {
    for (auto& handler : handlers_) handler->setMetadataValue(key, value);
}

Logger::Metadata MultiplexLogHandler::metadata() const {
    Metadata merged;
    for (const auto& handler : handlers_) merged.merge(handler->metadata());  // first one wins
    return merged;
}

void MultiplexLogHandler::setMetadata(Metadata metadata) {
    for (auto& handler : handlers_) handler->setMetadata(metadata);
}

void MultiplexLogHandler::setLogLevel(Level level) {
    for (auto& handler : handlers_) handler->setLogLevel(level);
    effectiveLogLevel_ = level;
}

}  // namespace logging
