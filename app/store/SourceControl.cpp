#include "SourceControl.h"

#include <atomic>
#include <cstdio>
#include <mutex>
#include <utility>
#include <vector>

#include "Dispatch.h"
#include "ESLoggerFile.h"
#include "ESLoggerTail.h"
#include "HookGate.h"

namespace qm {

namespace {

using dispatch::DispatchGroup;
using dispatch::DispatchQueue;
using dispatch::QoS;
using Kind = es::ESLogger::Error::Kind;

constexpr auto sourceLogLevel = logging::Logger::Level::info;

// The work of every source, of every owner: what the end of the process waits for.
const DispatchGroup& sourceWork() {
    static const DispatchGroup* group = new DispatchGroup;  // never destroyed: work may outlive static teardown
    return *group;
}

// Ends a piece of source work when it goes: declared first in the work, it goes last.
struct LeaveSourceWork {
    ~LeaveSourceWork() { sourceWork().leave(); }
};

// The informative text of an event-processing alert about one key.
std::string keyProblem(const char* lead, const std::string& key) {
    return lead + ('"' + key) + "\" and therefore is not included in the processed events";
}

}  // namespace

// Whether a source's callbacks still reach the owner: made before the source, which
// its callbacks hold.
using Heard = std::shared_ptr<std::atomic<bool>>;

// One source made current, and its work: the start, then the stop, on a global queue.
struct Run {
    Run(std::shared_ptr<es::ESLogger> s, Heard h) : source(std::move(s)), heard(std::move(h)) {}
    const std::shared_ptr<es::ESLogger> source;
    const Heard heard;
    const DispatchGroup work;
    std::atomic<bool> stopped{false};
};

// The event-processing errors raised while one of their alerts is queued or open,
// counted by reason in the order first seen.
struct DroppedLines {
    bool alertOpen = false;
    std::size_t total = 0;
    std::vector<std::pair<std::string, std::size_t>> reasons;

    void add(std::string reason) {
        ++total;
        for (auto& [known, count] : reasons)
            if (known == reason) return void(++count);
        reasons.emplace_back(std::move(reason), 1);
    }
};

struct SourceControl::State : std::enable_shared_from_this<State> {
    explicit State(Hooks h) : hooks(std::move(h)) {}

    const Hooks hooks;
    HookGate gate;
    std::atomic<unsigned> decodeThreads{0};

    mutable std::mutex mutex;  // guards the fields below
    std::shared_ptr<Run> current;
    DroppedLines dropped;

    es::ESLogger::EventCallback eventCallback(const Heard& heard) {
        return [state = shared_from_this(), heard](es::ESMessage&& message) {
            state->gate.run([&] {
                if (*heard) state->hooks.event(std::move(message));
            });
        };
    }
    es::ESLogger::ErrorCallback errorCallback(const Heard& heard) {
        return [state = shared_from_this(), heard](const es::ESLogger::Error& error) {
            state->gate.run([&] {
                if (*heard) state->handleError(error);
            });
        };
    }

    void makeCurrent(std::shared_ptr<Run> run) {
        std::lock_guard lock(mutex);
        current = std::move(run);
    }

    // Runs work on a global queue as part of the run's work and of all sources' work.
    // What the work holds (the source among it) goes before it counts as ended.
    void queue(const std::shared_ptr<Run>& run, std::function<void()> work) {
        sourceWork().enter();
        run->work.async(DispatchQueue::global(QoS::normal), [work = std::move(work)]() mutable {
            const LeaveSourceWork leave;
            std::exchange(work, nullptr)();
        });
    }

    void tell(End end) {
        gate.run([&] { hooks.ended(end); });
    }

    bool stop(const std::shared_ptr<Run>& only = nullptr) {
        std::shared_ptr<Run> run;
        {
            std::lock_guard lock(mutex);
            if (!current || (only && current != only)) return false;
            run = std::move(current);
            current.reset();
        }
        run->stopped = true;
        // A file source's stop only ends its reading, before the next line: at once, so
        // that its start returns soon, and nothing it delivers from now on is heard. A
        // tail source's waits for its child: there, after the start; what it delivers
        // until then (the line its output ended in, judged at the child's end) is heard.
        if (auto* file = dynamic_cast<es::ESLoggerFile*>(run->source.get())) {
            *run->heard = false;
            file->stop();
        }
        sourceWork().enter();
        run->work.notify(DispatchQueue::global(QoS::normal), [state = shared_from_this(), run]() mutable {
            const LeaveSourceWork leave;
            const auto held = std::exchange(run, nullptr);
            const auto owner = std::exchange(state, nullptr);
            held->source->stop();
            *held->heard = false;
            owner->tell(End::stopped);
        });
        return true;
    }

    void handleError(const es::ESLogger::Error& error);
    void alertClosed();
    void alert(Notice notice, bool summing) {
        if (!summing) return hooks.alert(std::move(notice), {});
        hooks.alert(std::move(notice), [state = shared_from_this()] { state->gate.run([&] { state->alertClosed(); }); });
    }
};

void SourceControl::State::handleError(const es::ESLogger::Error& error) {
    Notice notice{true, "Event Processing Error", {}};
    // Set for the errors about one dropped line: how a summary names it.
    std::string reason;
    switch (error.kind()) {
        case Kind::errorReadingFromFile:
            notice.messageText = "ESLogger reading from file failed";
            notice.informativeText = error.payload();
            break;
        case Kind::jsonMissingKey:
            notice.informativeText = keyProblem("Event was missing JSON key ", error.payload());
            reason = "missing JSON key \"" + error.payload() + '"';
            break;
        case Kind::jsonInvalidValue:
            notice.informativeText = keyProblem("Event has an invalid value for JSON key ", error.payload());
            reason = "invalid value for JSON key \"" + error.payload() + '"';
            break;
        case Kind::internalError:
            notice.messageText = "Internal Error";
            notice.informativeText = error.payload();
            break;
        case Kind::needRootPermission:
            notice.messageText = "ESLogger Error";
            notice.informativeText =
                "When processing events live Quillmark needs to be run as the root user - which is a requirment of "
                "ESLogger (Apple). This can be done using sudo command";
            break;
        case Kind::needTCCFullDiskAccess:
            notice.messageText = "ESLogger Error";
            notice.informativeText =
                "When processing events live Quillmark needs to have TCC Full Disk Access - which is a requirement of "
                "ESLogger (Apple). This can be enabled using Settings -> Privacy and Security -> Full Disk Access";
            break;
        case Kind::invalidDataInFile:
            notice.messageText = "ESLogger JSON file invalid";
            notice.informativeText =
                "Either cannot read from file or the data in the file appears to be invalid and cannot be parsed.";
            break;
        case Kind::jsonDecodeError:
        case Kind::noValidRequestedEvents:
        case Kind::cannotListESLoggerEvents:
        case Kind::tooManyConnections:
        case Kind::invalidArgument:
        case Kind::needEntitlement: {
            const std::string line = "unknown error - " + error.description() + "\n";
            std::fputs(line.c_str(), stdout);
            std::fflush(stdout);
            const std::string& d = error.description();
            reason = "unknown error - " + d.substr(0, d.find('('));
            break;
        }
    }
    if (reason.empty()) return alert(std::move(notice), false);
    {
        std::lock_guard lock(mutex);
        if (dropped.alertOpen) {
            // Counted for the summary; the line itself goes to standard output.
            if (error.kind() == Kind::jsonMissingKey || error.kind() == Kind::jsonInvalidValue) {
                const std::string line = notice.informativeText + "\n";
                std::fputs(line.c_str(), stdout);
            }
            dropped.add(std::move(reason));
            return;
        }
        dropped.alertOpen = true;
    }
    alert(std::move(notice), true);
}

// An event-processing alert closed: the lines dropped meanwhile get one alert of their
// own, else the next error opens an alert again.
void SourceControl::State::alertClosed() {
    Notice summary{true, "Event Processing Error", {}};
    {
        std::lock_guard lock(mutex);
        if (dropped.total == 0) {
            dropped.alertOpen = false;
            return;
        }
        summary.informativeText = dropped.total == 1 ? std::string("1 more event was not included in the processed events:")
                                                     : std::to_string(dropped.total) +
                                                           " more events were not included in the processed events:";
        for (const auto& [reason, count] : dropped.reasons)
            summary.informativeText += "\n" + std::to_string(count) + " \u00d7 " + reason;
        dropped.total = 0;
        dropped.reasons.clear();
    }
    alert(std::move(summary), true);
}

SourceControl::SourceControl(Hooks hooks) : state_(std::make_shared<State>(std::move(hooks))) {}

SourceControl::~SourceControl() {
    state_->gate.close();
    state_->stop();
}

std::shared_ptr<es::ESLogger> SourceControl::current() const {
    std::lock_guard lock(state_->mutex);
    return state_->current ? state_->current->source : nullptr;
}

void SourceControl::open(const std::filesystem::path& url) {
    auto heard = std::make_shared<std::atomic<bool>>(true);
    auto source = std::make_shared<es::ESLoggerFile>(url, state_->eventCallback(heard), state_->errorCallback(heard),
                                                     sourceLogLevel);
    source->setDecodeThreads(state_->decodeThreads);
    // Running from the moment it is current, not only once the global queue starts it.
    source->willStart();
    auto run = std::make_shared<Run>(std::move(source), std::move(heard));
    state_->makeCurrent(run);
    state_->queue(run, [state = state_, run] {
        try {
            run->source->start();
        } catch (const std::exception& e) {
            state->gate.run([&] { state->handleError(es::ESLogger::Error(Kind::internalError, e.what())); });
        }
        state->tell(End::loaded);
    });
}

void SourceControl::follow(const std::filesystem::path& url, bool followByName) {
    // Raises "Error starting tail" and stops the source (or, when none could be made,
    // the one that is current).
    auto failed = [state = state_](const std::exception& e, const std::shared_ptr<Run>& run) {
        const auto* error = dynamic_cast<const es::ESLogger::Error*>(&e);
        state->gate.run([&] {
            state->hooks.alert({true, "Error starting tail", error ? error->description() : std::string(e.what())}, {});
        });
        state->stop(run);
    };
    std::shared_ptr<Run> run;
    try {
        auto heard = std::make_shared<std::atomic<bool>>(true);
        run = std::make_shared<Run>(std::make_shared<es::ESLoggerTail>(url, state_->eventCallback(heard),
                                                                       state_->errorCallback(heard), sourceLogLevel,
                                                                       QoS::normal, followByName),
                                    heard);
    } catch (const std::exception& e) {
        return failed(e, nullptr);
    }
    state_->makeCurrent(run);
    state_->queue(run, [run, failed] {
        // A stop that came first leaves the child unlaunched; one that comes later
        // waits for this start.
        if (run->stopped) return;
        try {
            run->source->start();
        } catch (const std::exception& e) {
            failed(e, run);
        }
    });
}

bool SourceControl::stop() { return state_->stop(); }

void SourceControl::dropFileSource() {
    std::lock_guard lock(state_->mutex);
    if (state_->current && dynamic_cast<const es::ESLoggerFile*>(state_->current->source.get())) state_->current.reset();
}

void SourceControl::handleError(const es::ESLogger::Error& error) { state_->handleError(error); }

void SourceControl::setDecodeThreads(unsigned threads) { state_->decodeThreads = threads; }

void SourceControl::waitForSourceWork() { sourceWork().wait(); }

}  // namespace qm
