#pragma once
// The life of the events view's event sources: which source is current, opening a file
// or following one (the source is made and made current at once, its start runs on a
// global queue), stopping it, the end of a load, Delete Events' drop of a file source,
// and the alerts that the sources' errors raise (the lines dropped while such an alert
// is open are summed up in one alert when it closes).
//
// Threads: every operation may be called from any thread. The owner's hooks run as
// stated at each; none runs once the destructor has returned, and the destructor waits
// for those in progress, so it must not be called from within a hook.
//
// A source's work (its start, and its stop for a source whose stop waits) runs on the
// global queues and holds the source, so it may outlive this object; the end of a load
// or of a stop is told only once that source's start has returned. waitForSourceWork()
// waits for the work of every source at the end of the process.

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>

#include "ESLogger.h"

namespace qm {

class SourceControl {
public:
    // An alert for the user: its style, message text and informative text.
    struct Notice {
        bool warning = true;  // else informational
        std::string messageText;
        std::string informativeText;
        friend bool operator==(const Notice&, const Notice&) = default;
    };

    enum class End {
        loaded,   // a file's start returned: read to its end, stopped, or failed
        stopped,  // a stop has completed: the source's start had returned, and its stop
    };

    struct Hooks {
        // An event of the current source, on the source's thread; none of a file source
        // once it was stopped, none of a tail source once its stop has returned (until
        // then it delivers the line its output ended in).
        std::function<void(es::ESMessage&& message)> event;
        // A global queue's thread, once the source's work has ended.
        std::function<void(End end)> ended;
        // Shows the alert, from any thread; closed, when given, is to run once it has
        // closed (on any thread, before the next alert opens).
        std::function<void(Notice notice, std::function<void()> closed)> alert;
    };

    explicit SourceControl(Hooks hooks);
    // Stops the current source as stop() does, without telling its end.
    ~SourceControl();
    SourceControl(const SourceControl&) = delete;
    SourceControl& operator=(const SourceControl&) = delete;

    // The current source (an ESLoggerFile or an ESLoggerTail), or none.
    std::shared_ptr<es::ESLogger> current() const;

    // Makes a file source for url current and reads it on a global queue; ended(loaded)
    // follows in every case. Files opened one after the other are each read.
    void open(const std::filesystem::path& url);
    // Makes a tail source for url current (following by name or by descriptor) and
    // starts it on a global queue. A start that fails raises "Error starting tail" with
    // the error's description, and the source is stopped.
    void follow(const std::filesystem::path& url, bool followByName);
    // Makes no source current; from now on nothing the source delivers reaches the
    // hooks. The source is told to stop (a file source at once, before its next line; a
    // tail source once its start has returned); then ended(stopped). False, and nothing
    // told, when there was no source.
    bool stop();
    // Delete Events: a current file source is dropped (its load goes on, unseen in
    // current()); a tail source stays.
    void dropFileSource();

    // The alert of a source's error (the error callback of every source).
    void handleError(const es::ESLogger::Error& error);

    // Threads each file source decodes with; 0 (the default) leaves it to the source.
    void setDecodeThreads(unsigned threads);

    // Blocks until the work of every source made so far has ended, also of sources
    // whose owner has gone. For the end of the process, once the windows have closed:
    // a stopped file source ends before its next block of lines, a tail source once
    // its child has ended.
    static void waitForSourceWork();

private:
    struct State;
    std::shared_ptr<State> state_;
};

}  // namespace qm
