#include "StreamLogHandler.h"

#include <ctime>

#include "LoggingSystem.h"

namespace logging {

namespace {

// Entries sorted by key as key=value, joined by one blank; nothing for no entries.
std::optional<std::string> prettify(const Logger::Metadata& metadata) {
    if (metadata.empty()) return std::nullopt;
    std::string out;
    for (const auto& [key, value] : metadata) {  // std::map: already in key order
        if (!out.empty()) out += ' ';
        out += key;
        out += '=';
        out += value.description();
    }
    return out;
}

// Current local time in whole seconds, e.g. 2026-12-08T07:15:02+0100.
std::string timestamp() {
    std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    char buffer[255] = {};
    std::strftime(buffer, sizeof buffer, "%Y-%m-%dT%H:%M:%S%z", &local);
    return buffer;
}

}  // namespace

const StdioOutputStream& StdioOutputStream::standardOutput() {
    static const StdioOutputStream stream(stdout, FlushMode::always);
    return stream;
}

const StdioOutputStream& StdioOutputStream::standardError() {
    static const StdioOutputStream stream(stderr, FlushMode::always);
    return stream;
}

void StdioOutputStream::write(std::string_view text) const {
    flockfile(file_);
    std::fwrite(text.data(), 1, text.size(), file_);
    if (flushMode_ == FlushMode::always) std::fflush(file_);
    funlockfile(file_);
}

StreamLogHandler::StreamLogHandler(StdioOutputStream stream, std::string label,
                                   std::optional<MetadataProvider> provider)
    : stream_(stream), label_(std::move(label)), metadataProvider_(std::move(provider)) {}

StreamLogHandler StreamLogHandler::standardOutput(std::string label) {
    return standardOutput(std::move(label), LoggingSystem::metadataProvider());
}

StreamLogHandler StreamLogHandler::standardOutput(std::string label,
                                                  std::optional<MetadataProvider> provider) {
    return {StdioOutputStream::standardOutput(), std::move(label), std::move(provider)};
}

StreamLogHandler StreamLogHandler::standardError(std::string label) {
    return standardError(std::move(label), LoggingSystem::metadataProvider());
}

StreamLogHandler StreamLogHandler::standardError(std::string label,
                                                 std::optional<MetadataProvider> provider) {
    return {StdioOutputStream::standardError(), std::move(label), std::move(provider)};
}

std::unique_ptr<LogHandler> StreamLogHandler::clone() const {
    return std::make_unique<StreamLogHandler>(*this);
}

std::optional<Logger::MetadataValue> StreamLogHandler::metadataValue(const std::string& key) const {
    auto found = metadata_.find(key);
    if (found == metadata_.end()) return std::nullopt;
    return found->second;
}

void StreamLogHandler::setMetadataValue(const std::string& key,
                                        std::optional<MetadataValue> value) {
    if (value)
        metadata_.insert_or_assign(key, std::move(*value));
    else
        metadata_.erase(key);
    prettyMetadata_ = prettify(metadata_);
}

void StreamLogHandler::setMetadata(Metadata metadata) {
    metadata_ = std::move(metadata);
    prettyMetadata_ = prettify(metadata_);
}

void StreamLogHandler::log(Level level, const Message& message,
                           const std::optional<Metadata>& metadata, std::string_view source,
                           std::string_view, std::string_view, unsigned) const {
    Metadata provided = metadataProvider_ ? (*metadataProvider_)() : Metadata{};
    const bool callHasMetadata = metadata && !metadata->empty();

    std::optional<std::string> rendered;
    if (provided.empty() && !callHasMetadata) {
        rendered = prettyMetadata_;
    } else {
        // Handler metadata, then provided, then the call's: later ones win on a key.
        Metadata merged = metadata_;
        for (auto& [key, value] : provided) merged.insert_or_assign(key, std::move(value));
        if (callHasMetadata)
            for (const auto& [key, value] : *metadata) merged.insert_or_assign(key, value);
        rendered = prettify(merged);
    }

    std::string line = timestamp();
    line += ' ';
    line += toString(level);
    line += ' ';
    line += label_;
    line += " :";
    if (rendered) {
        line += ' ';
        line += *rendered;
    }
    line += " [";
    line += source;
    line += "] ";
    line += message.value;
    line += '\n';
    stream_.write(line);
}

}  // namespace logging
