#pragma once
// The event source: runs eslogger as a child process (or, in its subclasses, reads a
// saved file or follows one with tail), cuts what arrives into lines, decodes each line
// into an ESMessage and hands it to the event callback; failures reach the error
// callback as ESLogger::Error values.
//
// With a child, both callbacks run on the child's serial queue ("SubprocessQueue"), one
// at a time, in the order of the output. isRunning, the counters and lastGlobalSeqNum may
// be read from any thread.

#include <atomic>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "CaptureText.h"
#include "Dispatch.h"
#include "ESMessage.h"
#include "Logger.h"
#include "Subprocess.h"

namespace es {

class ESLogger {
public:
    // Every failure an event source reports, thrown by the live constructor or passed to
    // the error callback. The first five kinds carry one text.
    class Error : public std::exception {
    public:
        enum class Kind {
            errorReadingFromFile,  // message
            jsonMissingKey,        // keyName
            jsonInvalidValue,      // valueName
            jsonDecodeError,       // message
            internalError,         // message
            noValidRequestedEvents,
            cannotListESLoggerEvents,
            needRootPermission,
            needTCCFullDiskAccess,
            tooManyConnections,
            invalidArgument,
            needEntitlement,
            invalidDataInFile,
        };

        // The payload is kept for the first five kinds and ignored for the others.
        explicit Error(Kind kind, std::string payload = {});

        Kind kind() const { return kind_; }
        // The message, key name or value name; empty for kinds without one.
        const std::string& payload() const { return payload_; }
        // The case and its payload: errorReadingFromFile(message: "Permission Denied"),
        // needRootPermission.
        const std::string& description() const { return description_; }
        const char* what() const noexcept override { return description_.c_str(); }

        friend bool operator==(const Error& a, const Error& b) {
            return a.kind_ == b.kind_ && a.payload_ == b.payload_;
        }

    private:
        Kind kind_;
        std::string payload_;
        std::string description_;
    };

    // One piece of a text, cut ahead of time, and the position of its message when it
    // was decoded ahead (possibly on another thread); notDecoded for an empty piece, a
    // piece that was not decoded ahead or one whose decode failed (decoded when needed).
    struct DecodedPiece {
        static constexpr std::uint32_t notDecoded = ~std::uint32_t(0);
        std::string_view text;
        std::uint32_t message = notDecoded;
    };

    // The message is handed over: a callback that takes it by value (or by rvalue
    // reference) moves it once.
    using EventCallback = std::function<void(ESMessage&& message)>;
    using ErrorCallback = std::function<void(const Error& error)>;

    static constexpr std::string_view defaultESLoggerPath = "/usr/bin/eslogger";

    // The live source for the requested event names that eslogger --list-events accepts.
    // Creates the child without launching it. Throws Error cannotListESLoggerEvents when
    // the valid names cannot be obtained, noValidRequestedEvents when none is requested.
    ESLogger(const std::set<std::string>& forEvents, EventCallback callHandler,
             ErrorCallback errorHandler, logging::Logger::Level withLogLevel,
             dispatch::QoS qos = dispatch::QoS::normal,
             std::string esloggerPath = std::string(defaultESLoggerPath));

    ESLogger(const ESLogger&) = delete;
    ESLogger& operator=(const ESLogger&) = delete;
    // Ends a running child and waits for its handlers (unless called from one of them).
    virtual ~ESLogger();

    // global_seq_num of the last decoded message; -1 until the first.
    std::int64_t lastGlobalSeqNum() const { return lastGlobalSeqNum_.load(std::memory_order_acquire); }
    // The valid requested names passed to eslogger (empty for the file and tail sources).
    const std::vector<std::string>& requestedEventNames() const { return requestedEventNames_; }
    // Events lost: dropped lines, discarded fragments and gaps in global_seq_num.
    // Both counters stop at the largest 64-bit value.
    std::int64_t eventsDropped() const { return eventsDropped_.load(std::memory_order_acquire); }
    // Non-empty lines seen.
    std::int64_t eventsSeen() const { return eventsSeen_.load(std::memory_order_acquire); }

    // Whether the source is producing events: here, whether the child is running.
    virtual bool isRunning() const;

    // Log each line at info; with onlyJSON (the default) only log it, do not decode it.
    bool printJSON() const { return printJSON_.load(std::memory_order_relaxed); }
    void setPrintJSON(bool on) { printJSON_.store(on, std::memory_order_relaxed); }
    bool onlyJSON() const { return onlyJSON_.load(std::memory_order_relaxed); }
    void setOnlyJSON(bool on) { onlyJSON_.store(on, std::memory_order_relaxed); }

    // Launches the child unless it is running; launch failures are thrown unchanged
    // (std::system_error for a missing executable, std::logic_error for a second launch).
    virtual void start();
    // Terminates a running child and blocks until it has ended and its output and its
    // end have been handled (the line it ended in judged). Called from the child's own
    // queue it only terminates.
    virtual void stop();

    // Decodes one text of one or more lines: pieces between newline characters, a held
    // fragment joined with the next piece, gaps in global_seq_num counted, one callback
    // per decoded message or dropped line.
    void processEvent(std::string_view fromString);

protected:
    struct BaseInit {};
    // Callbacks and log level only: no child, no check of event names.
    ESLogger(BaseInit, EventCallback callHandler, ErrorCallback errorHandler,
             logging::Logger::Level withLogLevel);

    // What a child source says about its child, and how it reads its standard error: for
    // each report the first rule whose needle occurs in its text gives the error,
    // otherwise internalError with the whole text. A report is one line (text left
    // without a line feed when the child ends is one too); with groupsLines, it is every
    // line that came before the stream was quiet for a moment or the child ended, so that
    // one failure told in several lines ("cannot open ...", "no files remaining") is one
    // report. A text of consequences only (what an earlier complaint led to) that comes
    // after a report was made is logged and not reported again.
    struct StderrRule {
        std::string_view needle;
        Error::Kind kind;
        std::string_view message;
    };
    struct ChildProfile {
        std::string_view executing;      // logged before the launch
        std::string_view stderrMessage;  // logged with each report's text
        std::string_view exiting;        // logged at the child's termination
        std::span<const StderrRule> rules;
        bool groupsLines = false;
        std::span<const std::string_view> consequences = {};  // needles of consequence lines
    };

    // Launches process with the profile's handlers (the profile must outlive the child).
    void startChild(const ChildProfile& profile);
    // One chunk of the child's standard output: UTF-8 text decoded like processEvent's,
    // with the line rules of the file source on the same bytes. A stream cannot know that
    // a line without its newline is finished, so the part of a line that a chunk ends in
    // is held, not judged, until its line ends or the output ends (each part counts as a
    // piece seen). A character cut at the end of a chunk is joined with the next chunk
    // when that chunk's first byte goes on with it, and repaired where it stood
    // otherwise: the repair is the file source's.
    void handleStdout(const subprocess::Bytes& chunk);
    // The end of the child's standard output (the termination handler calls it, after the
    // last chunk of both streams): the line the output ended in is judged as the file
    // source judges a file's last line. Like any fragment still held at the end, one that
    // it leaves held is neither reported nor counted.
    void handleStdoutEnd();
    void reportError(const Error& error) const;

    // processEvent(fromString: text) for a text whose pieces, in order, are given with
    // the messages decoded ahead: the same rules, logs and callbacks. A piece without
    // a message, or joined with a held fragment (only the joined text counts), is
    // decoded here. Messages handed to the callback are moved out of messages.
    void processDecodedPieces(std::string_view text, std::span<const DecodedPiece> pieces,
                              std::span<ESMessage> messages);

    logging::Logger log_;
    std::optional<subprocess::Subprocess> process_;

private:
    struct Link;

    // processEvent's work; a pipe chunk's first piece may continue the line the last
    // chunk ended in, and its last piece may go on in the next chunk.
    void processText(std::string_view text, bool pipeChunk);
    // Counts a piece (an empty one is only logged) and judges it; false when empty.
    bool countPiece(std::string_view piece);
    void processPiece(std::string_view piece, ESMessage* ready) {
        if (countPiece(piece)) judgeLine(piece, ready);
    }
    // The rules for one whole line (or piece of one) that was counted: joined with a
    // held fragment, decoded, delivered, dropped or held.
    void judgeLine(std::string_view line, ESMessage* ready);
    void deliver(ESMessage& message);
    // Runs one of the child's handlers (on its queue). A failure in one (memory running
    // out) ends the source: one internalError, the child terminated, and what comes
    // after it dropped.
    template <class Handle>
    void guarded(Handle&& handle) noexcept;
    void handleStderr(const subprocess::Bytes& chunk, const ChildProfile& profile);
    void handleTermination(const ChildProfile& profile);
    // Grouped standard error: a moment after a line has come, its complete lines held so
    // far are one report.
    void armStderrFlush(const ChildProfile& profile);
    void flushStderr(const ChildProfile& profile);
    // One report's text of standard error: one error report (or, for consequences
    // only after an earlier report, a log entry).
    void classifyStderr(std::string_view bytes, const ChildProfile& profile);

    EventCallback callback_;
    ErrorCallback errCallback_;
    std::atomic<std::int64_t> lastGlobalSeqNum_{-1};
    std::string previousEventJSONDecodeError_;  // the held fragment
    capture::JSONNesting heldNesting_;          // how far the held fragment's JSON has come
    std::vector<std::string> requestedEventNames_;
    std::atomic<std::int64_t> eventsDropped_{0};
    std::atomic<std::int64_t> eventsSeen_{0};
    std::atomic<bool> printJSON_{false};
    std::atomic<bool> onlyJSON_{true};
    std::string utf8Carry_;    // a character cut at the end of the last output chunk
    std::string utf8Scratch_;  // reused by handleStdout
    std::string cutLine_;  // the line the last output chunk ended in, not judged yet
    std::string stderrCarry_;  // standard error not yet reported
    bool stderrFlushArmed_ = false;
    bool stderrReported_ = false;  // a report of standard error was made
    bool childFailed_ = false;     // a handler failed: the source has ended
    std::shared_ptr<Link> link_;  // how the child's handlers reach this source
};

}  // namespace es
