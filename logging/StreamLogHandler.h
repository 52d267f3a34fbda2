#pragma once
// The handler every logger gets by default: one text line per message, written with a
// single locked (and flushed) write to a C stream:
//     2026-12-08T07:15:02+0100 info L : k=v [S] hello

#include <cstdio>
#include <optional>
#include <string>
#include <string_view>

#include "Logger.h"

namespace logging {

// A text output stream over a C standard-I/O stream.
class StdioOutputStream {
public:
    enum class FlushMode { undefined, always };

    StdioOutputStream(std::FILE* file, FlushMode flushMode) : file_(file), flushMode_(flushMode) {}

    // The process's standard output and standard error, both flushed after every write.
    static const StdioOutputStream& standardOutput();
    static const StdioOutputStream& standardError();

    std::FILE* file() const { return file_; }
    FlushMode flushMode() const { return flushMode_; }

    // Writes text while holding the stream's lock, so writes from several threads never
    // interleave; with FlushMode::always it reaches the stream before the lock goes.
    void write(std::string_view text) const;

private:
    std::FILE* file_;
    FlushMode flushMode_;
};

class StreamLogHandler final : public LogHandler {
public:
    // Level info, no metadata; the metadata provider is the given one or, in the
    // one-argument forms, LoggingSystem's current one.
    StreamLogHandler(StdioOutputStream stream, std::string label,
                     std::optional<MetadataProvider> provider);
    static StreamLogHandler standardOutput(std::string label);
    static StreamLogHandler standardOutput(std::string label,
                                           std::optional<MetadataProvider> provider);
    static StreamLogHandler standardError(std::string label);
    static StreamLogHandler standardError(std::string label,
                                          std::optional<MetadataProvider> provider);

    std::unique_ptr<LogHandler> clone() const override;

    std::optional<MetadataProvider> metadataProvider() const override { return metadataProvider_; }
    void setMetadataProvider(std::optional<MetadataProvider> provider) override {
        metadataProvider_ = std::move(provider);
    }

    using LogHandler::log;
    void log(Level level, const Message& message, const std::optional<Metadata>& metadata,
             std::string_view source, std::string_view file, std::string_view function,
             unsigned line) const override;

    std::optional<MetadataValue> metadataValue(const std::string& key) const override;
    void setMetadataValue(const std::string& key, std::optional<MetadataValue> value) override;
    Metadata metadata() const override { return metadata_; }
    void setMetadata(Metadata metadata) override;
    Level logLevel() const override { return logLevel_; }
    void setLogLevel(Level level) override { logLevel_ = level; }

private:
    StdioOutputStream stream_;
    std::string label_;
    Level logLevel_ = Level::info;
    std::optional<MetadataProvider> metadataProvider_;
    std::optional<std::string> prettyMetadata_;  // rendering of metadata_, kept in step
    Metadata metadata_;
};

}  // namespace logging
