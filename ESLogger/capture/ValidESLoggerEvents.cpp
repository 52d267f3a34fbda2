#include "ValidESLoggerEvents.h"

#include <exception>
#include <source_location>
#include <utility>
#include <vector>

#include "CaptureText.h"
#include "Shell.h"

namespace es {

using Metadata = logging::Logger::Metadata;

namespace {

logging::CallSite at(std::source_location where = std::source_location::current()) {
    return {"ESLogger/ESLogger", "gatherValidEventNames()", where.line()};
}

}  // namespace

ValidESLoggerEvents::ValidESLoggerEvents(logging::Logger::Level logLevel, std::string esloggerPath)
    : log_("com.quillmark.ESLogger.ValidESLoggerEvents"), esloggerPath_(std::move(esloggerPath)) {
    log_.setLogLevel(logLevel);
}

std::optional<ValidESLoggerEvents::Names> ValidESLoggerEvents::events() {
    if (events_.empty()) return gatherValidEventNames();
    return events_;
}

void ValidESLoggerEvents::setEvents(const std::optional<Names>&) {
    events_.clear();
}

std::optional<ValidESLoggerEvents::Names> ValidESLoggerEvents::gatherValidEventNames() {
    const std::vector<std::string> command{esloggerPath_, "--list-events"};
    log_.debug(
        "Locating valid events", [&] { return Metadata{{"command", listDescription(command)}}; },
        {}, at());
    subprocess::Bytes output;
    try {
        output = subprocess::Shell(command).exec(std::nullopt,
                                                 subprocess::Shell::OutputOptions::standardOutput);
    } catch (const std::exception& error) {
        log_.debug(
            "Locating valid events", [&] { return Metadata{{"error", std::string(error.what())}}; }, {},
            at());
        return std::nullopt;
    }
    std::string scratch;
    const std::string_view text = repairedUTF8(output, scratch);
    log_.trace("Output from eslogger", [&] { return Metadata{{"output", std::string(text)}}; }, {}, at());

    Names names;
    capture::forEachPiece(text, [&](std::string_view piece) { names.emplace(piece); });
    if (names.contains("readdir") && names.contains("exec") && names.contains("setgid")) {
        events_ = names;
        return names;
    }
    log_.debug(
        "Invalid reponse from ESLogger",
        [&] { return Metadata{{"ProposedEventNames", listDescription(names)}}; }, {}, at());
    return std::nullopt;
}

}  // namespace es
