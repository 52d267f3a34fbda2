#pragma once
// Two small handlers: one that fans each message out to several handlers, and one that
// discards everything.

#include <memory>
#include <optional>
#include <vector>

#include "Logger.h"

namespace logging {

// Passes each message to every handler whose own level admits it. Its level reads as the
// lowest of the handlers'; setting level, metadata or provider sets them on every
// handler. Metadata reads from the first handler that has the key.
class MultiplexLogHandler final : public LogHandler {
public:
    // handlers must not be empty.
    explicit MultiplexLogHandler(std::vector<std::unique_ptr<LogHandler>> handlers,
                                 std::optional<MetadataProvider> provider = std::nullopt);
    MultiplexLogHandler(const MultiplexLogHandler& other);

    std::unique_ptr<LogHandler> clone() const override;

    // The provider set on this handler, else the handlers' providers combined.
    std::optional<MetadataProvider> metadataProvider() const override;
    void setMetadataProvider(std::optional<MetadataProvider> provider) override;

    using LogHandler::log;
    void log(Level level, const Message& message, const std::optional<Metadata>& metadata,
             std::string_view source, std::string_view file, std::string_view function,
             unsigned line) const override;

    std::optional<MetadataValue> metadataValue(const std::string& key) const override;
    void setMetadataValue(const std::string& key, std::optional<MetadataValue> value) override;
    Metadata metadata() const override;
    void setMetadata(Metadata metadata) override;
    Level logLevel() const override { return effectiveLogLevel_; }
    void setLogLevel(Level level) override;

private:
    std::vector<std::unique_ptr<LogHandler>> handlers_;
    Level effectiveLogLevel_;
    std::optional<MetadataProvider> metadataProvider_;
};

// Discards every message; its level always reads critical and its metadata empty, and
// setting anything has no effect.
class NoOpLogHandler final : public LogHandler {
public:
    std::unique_ptr<LogHandler> clone() const override {
        return std::make_unique<NoOpLogHandler>();
    }
    std::optional<MetadataProvider> metadataProvider() const override { return std::nullopt; }
    void setMetadataProvider(std::optional<MetadataProvider>) override {}
    using LogHandler::log;
    void log(Level, const Message&, const std::optional<Metadata>&, std::string_view,
             std::string_view, std::string_view, unsigned) const override {}
    std::optional<MetadataValue> metadataValue(const std::string&) const override {
        return std::nullopt;
    }
    void setMetadataValue(const std::string&, std::optional<MetadataValue>) override {}
    Metadata metadata() const override { return {}; }
    void setMetadata(Metadata) override {}
    Level logLevel() const override { return Level::critical; }
    void setLogLevel(Level) override {}
};

}  // namespace logging
