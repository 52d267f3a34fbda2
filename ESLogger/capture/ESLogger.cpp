#include "ESLogger.h"

#include <algorithm>
#include <iterator>
#include <limits>
#include <source_location>
#include <utility>
#include <variant>

#include "CaptureText.h"
#include "Description.h"
#include "ValidESLoggerEvents.h"

namespace es {

using logging::Logger;
using Metadata = Logger::Metadata;
using Kind = ESLogger::Error::Kind;

namespace {

constexpr std::string_view initFunction = "init(forEvents:callHandler:errorHandler:withLogLevel:qos:)";
constexpr std::string_view startFunction = "start()";
constexpr std::string_view processFunction = "processEvent(fromString:)";

// How long grouped standard error waits for the rest of a failure's lines: a child
// writes them one right after the other, and then goes on or exits.
constexpr auto stderrGroupWait = std::chrono::milliseconds(200);

logging::CallSite at(std::string_view function,
                     std::source_location where = std::source_location::current()) {
    return {"ESLogger/ESLogger", function, where.line()};
}

// counter += amount, stopping at the largest value. Only one thread writes a counter.
void addSaturating(std::atomic<std::int64_t>& counter, std::uint64_t amount) {
    constexpr auto max = std::numeric_limits<std::int64_t>::max();
    const std::int64_t current = counter.load(std::memory_order_relaxed);
    const auto room = static_cast<std::uint64_t>(max - current);
    counter.store(amount >= room ? max : current + static_cast<std::int64_t>(amount),
                  std::memory_order_release);
}

// The name of the last key of a failure's coding path; "" when the path is empty.
std::string lastKeyName(const DecodeFailure& failure) {
    if (failure.path.empty()) return {};
    const CodingKey& key = failure.path.back();
    if (const auto* name = std::get_if<std::string>(&key)) return *name;
    return "Index " + std::to_string(std::get<std::size_t>(key));
}

std::string contextDescription(const DecodeFailure& failure) {
    return "codingPath: " + failure.pathText() + ", debugDescription: " + failure.description;
}

// Whether every line of text contains one of the needles.
bool onlyConsequences(std::string_view text, std::span<const std::string_view> needles) {
    bool any = false;
    for (std::size_t start = 0; start < text.size();) {
        std::size_t end = text.find('\n', start);
        if (end == std::string_view::npos) end = text.size();
        const std::string_view line = text.substr(start, end - start);
        start = end + 1;
        if (line.empty()) continue;
        if (std::none_of(needles.begin(), needles.end(),
                         [&](std::string_view needle) { return line.find(needle) != std::string_view::npos; }))
            return false;
        any = true;
    }
    return any;
}

}  // namespace

struct ESLogger::Link {
    ESLogger* source;
};

ESLogger::ESLogger(BaseInit, EventCallback callHandler, ErrorCallback errorHandler,
                   Logger::Level withLogLevel)
    : log_("com.quillmark.ESLogger.ESLogger"),
      callback_(std::move(callHandler)),
      errCallback_(std::move(errorHandler)),
      link_(std::make_shared<Link>(Link{this})) {
    log_.setLogLevel(withLogLevel);
}

ESLogger::ESLogger(const std::set<std::string>& forEvents, EventCallback callHandler,
                   ErrorCallback errorHandler, Logger::Level withLogLevel, dispatch::QoS qos,
                   std::string esloggerPath)
    : ESLogger(BaseInit{}, std::move(callHandler), std::move(errorHandler), withLogLevel) {
    const auto valid = ValidESLoggerEvents(withLogLevel, esloggerPath).events();
    if (!valid) throw Error(Kind::cannotListESLoggerEvents);
    std::set_intersection(forEvents.begin(), forEvents.end(), valid->begin(), valid->end(),
                          std::back_inserter(requestedEventNames_));
    if (requestedEventNames_.empty()) {
        log_.debug("no valid requested events", {}, {}, at(initFunction));
        throw Error(Kind::noValidRequestedEvents);
    }
    std::vector<std::string> command{std::move(esloggerPath)};
    command.insert(command.end(), requestedEventNames_.begin(), requestedEventNames_.end());
    log_.debug(
        "ESLogger command",
        [&] { return Metadata{{"command", listDescription(command)}}; }, {},
        at(initFunction));
    process_.emplace(std::move(command), qos);
}

ESLogger::~ESLogger() {
    if (!process_) return;
    process_->kill();
    if (process_->queue().isCurrent()) {
        // Destroyed by one of its own handlers: the later ones must not reach it.
        link_->source = nullptr;
        return;
    }
    process_->waitForTermination();
    // The termination notice is queued by now; a flush of standard error posted later
    // finds no source.
    process_->queue().sync([this] { link_->source = nullptr; });
}

bool ESLogger::isRunning() const {
    return process_ && process_->isRunning();
}

void ESLogger::start() {
    static constexpr StderrRule rules[] = {
        {"ES_NEW_CLIENT_RESULT_ERR_NOT_PERMITTED", Kind::needTCCFullDiskAccess, {}},
        {"ES_NEW_CLIENT_RESULT_ERR_NOT_PRIVILEGED", Kind::needRootPermission, {}},
        {"ES_NEW_CLIENT_RESULT_ERR_TOO_MANY_CLIENTS", Kind::tooManyConnections, {}},
        {"ES_NEW_CLIENT_RESULT_ERR_INVALID_ARGUMENT", Kind::invalidArgument, {}},
        {"ES_NEW_CLIENT_RESULT_ERR_NOT_ENTITLED", Kind::needEntitlement, {}},
    };
    static constexpr ChildProfile profile{"Executing ESLogger", "ESLogger stderr", "ESLogger exiting",
                                          rules};
    startChild(profile);
}

template <class Handle>
void ESLogger::guarded(Handle&& handle) noexcept {
    if (childFailed_) return;
    try {
        handle();
    } catch (...) {
        childFailed_ = true;
        try {
            reportError(Error(Kind::internalError, dispatch::exceptionText()));
        } catch (...) {  // the report failed as well: the source ends all the same
        }
        process_->kill();
    }
}

void ESLogger::startChild(const ChildProfile& profile) {
    if (isRunning()) {
        log_.debug("already running, returning without side-effect", {}, {}, at(startFunction));
        return;
    }
    log_.debug(Logger::Message(std::string(profile.executing)), {}, {}, at(startFunction));
    if (!process_) return;
    process_->launch(
        std::nullopt,
        [link = link_](const subprocess::Bytes& chunk) {
            if (ESLogger* source = link->source) source->guarded([&] { source->handleStdout(chunk); });
        },
        [link = link_, &profile](const subprocess::Bytes& chunk) {
            if (ESLogger* source = link->source) source->guarded([&] { source->handleStderr(chunk, profile); });
        },
        [link = link_, &profile](subprocess::Subprocess&) {
            if (ESLogger* source = link->source) source->guarded([&] { source->handleTermination(profile); });
        });
}


void ESLogger::stop() {
    log_.trace("stopping ESLogger", {}, {}, at("stop()"));
    if (!process_) return;
    process_->kill();
    if (process_->queue().isCurrent()) return;
    // Also for a child that has ended on its own: the termination handler, which judges
    // the line the output ended in, has run when stop returns.
    process_->waitForTermination();
    process_->queue().sync([] {});
}

void ESLogger::handleStdout(const subprocess::Bytes& chunk) {
    if (chunk.empty()) return;
    std::string_view bytes = chunk;
    std::string joined;
    if (!utf8Carry_.empty()) {
        if (continuesUTF8(utf8Carry_, chunk)) {
            joined = std::move(utf8Carry_);
            joined += chunk;
            bytes = joined;
        } else {
            // Not the rest of that character: repaired where it stood, so that it does not
            // hide how the next line begins.
            processText(repairedUTF8(utf8Carry_, utf8Scratch_), true);
        }
        utf8Carry_.clear();
    }
    const std::size_t cut = incompleteUTF8Tail(bytes);
    utf8Carry_.assign(bytes.substr(bytes.size() - cut));
    bytes.remove_suffix(cut);
    if (!bytes.empty()) processText(repairedUTF8(bytes, utf8Scratch_), true);
}

void ESLogger::handleStderr(const subprocess::Bytes& chunk, const ChildProfile& profile) {
    // A complaint may come in several writes: complete lines only are reported.
    stderrCarry_ += chunk;
    if (profile.groupsLines) {
        if (chunk.find('\n') != std::string::npos) armStderrFlush(profile);
        return;
    }
    std::size_t start = 0;
    for (std::size_t end; (end = stderrCarry_.find('\n', start)) != std::string::npos; start = end + 1)
        classifyStderr(std::string_view(stderrCarry_).substr(start, end + 1 - start), profile);
    stderrCarry_.erase(0, start);
}

void ESLogger::armStderrFlush(const ChildProfile& profile) {
    if (stderrFlushArmed_ || !process_) return;
    stderrFlushArmed_ = true;
    process_->queue().asyncAfter(stderrGroupWait, [link = link_, &profile] {
        if (ESLogger* source = link->source) source->guarded([&] { source->flushStderr(profile); });
    });
}

void ESLogger::flushStderr(const ChildProfile& profile) {
    stderrFlushArmed_ = false;
    const std::size_t end = stderrCarry_.rfind('\n');
    if (end == std::string::npos) return;  // reported at the termination already
    const std::string text = stderrCarry_.substr(0, end + 1);
    stderrCarry_.erase(0, end + 1);
    classifyStderr(text, profile);
}

void ESLogger::handleTermination(const ChildProfile& profile) {
    handleStdoutEnd();
    // Text still held (without a final line feed, or a group not yet reported) is
    // reported when the child has ended.
    if (!stderrCarry_.empty()) classifyStderr(std::exchange(stderrCarry_, {}), profile);
    log_.debug(Logger::Message(std::string(profile.exiting)), {}, {}, at(startFunction));
}

void ESLogger::classifyStderr(std::string_view bytes, const ChildProfile& profile) {
    std::string scratch;
    const std::string text(repairedUTF8(bytes, scratch));
    log_.debug(
        Logger::Message(std::string(profile.stderrMessage)),
        [&] { return Metadata{{"error", text}}; }, {}, at(startFunction));
    // What an earlier complaint led to, come after its report: the same failure.
    if (stderrReported_ && onlyConsequences(text, profile.consequences)) return;
    stderrReported_ = true;
    for (const auto& rule : profile.rules) {
        if (text.find(rule.needle) != std::string::npos) {
            reportError(Error(rule.kind, std::string(rule.message)));
            return;
        }
    }
    reportError(Error(Kind::internalError, text));
}

void ESLogger::reportError(const Error& error) const {
    if (errCallback_) errCallback_(error);
}

void ESLogger::processEvent(std::string_view fromString) {
    processText(fromString, false);
}

void ESLogger::processText(std::string_view text, bool pipeChunk) {
    log_.trace(
        "ESLogger input", [&] { return Metadata{{"data", std::string(text)}}; }, {}, at(processFunction));
    if (!pipeChunk) {
        capture::forEachPiece(text, [&](std::string_view piece) { processPiece(piece, nullptr); });
        return;
    }
    const char* const end = text.data() + text.size();
    capture::forEachPiece(text, [&](std::string_view piece) {
        if (piece.data() + piece.size() == end) {
            // No newline after it (yet): the line may go on in the next chunk.
            if (countPiece(piece)) cutLine_ += piece;
        } else if (cutLine_.empty()) {
            processPiece(piece, nullptr);
        } else {
            countPiece(piece);
            std::string line = std::exchange(cutLine_, {});
            line += piece;
            judgeLine(line, nullptr);
        }
    });
}

void ESLogger::handleStdoutEnd() {
    if (!utf8Carry_.empty()) {
        std::string scratch;
        processText(repairedUTF8(std::exchange(utf8Carry_, {}), scratch), true);
    }
    if (!cutLine_.empty()) judgeLine(std::exchange(cutLine_, {}), nullptr);
}

bool ESLogger::countPiece(std::string_view piece) {
    if (piece.empty()) {
        log_.trace("Skipping empty string", {}, {}, at(processFunction));
        return false;
    }
    addSaturating(eventsSeen_, 1);
    return true;
}

void ESLogger::processDecodedPieces(std::string_view text, std::span<const DecodedPiece> pieces,
                                    std::span<ESMessage> messages) {
    log_.trace(
        "ESLogger input", [&] { return Metadata{{"data", std::string(text)}}; }, {}, at(processFunction));
    for (const DecodedPiece& piece : pieces)
        processPiece(piece.text, piece.message == DecodedPiece::notDecoded ? nullptr : &messages[piece.message]);
}

void ESLogger::judgeLine(std::string_view piece, ESMessage* ready) {
    // A held fragment is joined with this piece, unless the piece starts a new line with
    // an object. A joined text that cannot have become one whole value since the last
    // try fails to decode as that try did, and is held again without a parse.
    std::string joined;
    bool worthDecoding = true;
    if (!previousEventJSONDecodeError_.empty()) {
        if (piece.front() == '{') {
            addSaturating(eventsDropped_, 1);
        } else {
            log_.debug(
                "Combining events due to previous decode error - appending",
                [&] { return Metadata{{"newstring", std::string(piece)}}; }, {},
                at(processFunction));
            worthDecoding = heldNesting_.feed(piece);
            joined = std::move(previousEventJSONDecodeError_);
            joined += piece;
            piece = joined;
            ready = nullptr;  // decoded alone, the piece says nothing about the joined text
        }
        previousEventJSONDecodeError_.clear();
    }

    if (printJSON()) {
        log_.info(
            "Event received", [&] { return Metadata{{"EventAsString", std::string(piece)}}; }, {},
            at(processFunction));
        if (onlyJSON()) return;
    } else {
        log_.debug(
            "Event from ESLogger", [&] { return Metadata{{"string", std::string(piece)}}; }, {},
            at(processFunction));
    }

    // Possibly the first part of a line cut between two reads: kept for the next piece.
    auto hold = [&](auto&& describe) {
        log_.debug(
            "JSON decode error", [&] { return Metadata{{"error", describe()}}; }, {}, at(processFunction));
        if (joined.empty()) {
            previousEventJSONDecodeError_.assign(piece);
            heldNesting_ = {};
            heldNesting_.feed(piece);
        } else {
            previousEventJSONDecodeError_ = std::move(joined);
        }
    };
    if (!worthDecoding) {
        // The log names the failure a parse would give (only parsed when it is logged).
        hold([&] {
            auto decoded = decodeMessage(piece);
            return decoded.ok() ? std::string() : decoded.failure().description;
        });
        return;
    }

    std::optional<Decoded<ESMessage>> decoded;
    if (!ready) {
        decoded.emplace(decodeMessage(piece));
        if (decoded->ok()) ready = &decoded->value();
    }
    if (ready) {
        deliver(*ready);
        return;
    }

    const DecodeFailure& failure = decoded->failure();
    switch (failure.kind) {
        case DecodeFailure::Kind::missingKey:
            log_.debug(
                "Dropping event, JSON missing key", [&] { return Metadata{{"key", failure.detail}}; },
                {}, at(processFunction));
            addSaturating(eventsDropped_, 1);
            reportError(Error(Kind::jsonMissingKey, failure.detail));
            return;
        case DecodeFailure::Kind::wrongType:
        case DecodeFailure::Kind::missingValue:
            log_.debug(
                failure.kind == DecodeFailure::Kind::wrongType ? "Dropping event, JSON invalid value type"
                                                               : "Dropping event, JSON invalid value",
                [&] {
                    return Metadata{{"expectedType", failure.detail},
                                    {"context", contextDescription(failure)}};
                },
                {}, at(processFunction));
            addSaturating(eventsDropped_, 1);
            reportError(Error(Kind::jsonInvalidValue, lastKeyName(failure)));
            return;
        case DecodeFailure::Kind::corruptedData:
            hold([&] { return failure.description; });
            return;
    }
}

void ESLogger::deliver(ESMessage& message) {
    log_.trace(
        "Decoded event", [&] { return Metadata{{"event", description(message)}}; }, {}, at(processFunction));
    // A gap is counted against the message decoded just before; a number that goes
    // back (two captures in one file) is taken as the new base.
    const std::int64_t n = message.global_seq_num;
    const std::int64_t last = lastGlobalSeqNum_.load(std::memory_order_relaxed);
    // n - 1 - last, exact in unsigned arithmetic since last < n.
    const std::uint64_t missed =
        last != -1 && last < n ? static_cast<std::uint64_t>(n) - static_cast<std::uint64_t>(last) - 1 : 0;
    if (missed > 0) {
        log_.debug(
            [&] {
                return "kernel dropped events for us - event: " + std::to_string(n) + " last: " + std::to_string(last);
            },
            {}, {}, at(processFunction));
        addSaturating(eventsDropped_, missed);
    }
    lastGlobalSeqNum_.store(n, std::memory_order_release);
    if (callback_) callback_(std::move(message));
}

}  // namespace es
