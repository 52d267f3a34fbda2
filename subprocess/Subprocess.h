#pragma once
// One child process whose standard output and standard error arrive chunk by chunk on
// the child's own serial queue ("SubprocessQueue"), followed by exactly one termination
// notice on that queue once the child has exited and both handled streams have ended.
//
// Subprocess is a handle: copies refer to the same child. A launched child keeps its
// state alive until the termination notice has run, even when every handle is gone.

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "Dispatch.h"
#include "SubprocessDependencyFactory.h"
#include "SubprocessError.h"

namespace subprocess {

class Subprocess {
public:
    // What the child reads on standard input.
    struct Input {
        struct Text {
            std::string text;  // UTF-8
            TextEncoding encoding;
        };
        using Value = std::variant<Bytes, Text, std::filesystem::path>;

        static Input data(Bytes bytes) { return {std::move(bytes)}; }
        static Input text(std::string text, TextEncoding encoding = TextEncoding::utf8) {
            return {Text{std::move(text), encoding}};
        }
        static Input file(std::filesystem::path path) { return {std::move(path)}; }

        Value value;
    };

    enum class TerminationReason { exit, uncaughtSignal };

    using OutputHandler = std::function<void(const Bytes& chunk)>;
    using TerminationHandler = std::function<void(Subprocess& process)>;
    using CollectedHandler =
        std::function<void(Subprocess& process, const Bytes& output, const Bytes& error)>;

    // The command's first element is the executable's path (a relative one is relative
    // to the current directory), the rest its arguments. The process is made by the
    // shared factory in force now (SubprocessDependencyBuilder::sharedFactory), and so are
    // an input file or pipe at launch. Launches nothing.
    explicit Subprocess(std::vector<std::string> command,
                        dispatch::QoS qos = dispatch::QoS::normal);

    // The child's process id; 0 before launch.
    std::int32_t pid() const;
    // The exit status, or the signal number for a child ended by a signal. Throws
    // std::logic_error while the child has not ended.
    std::int32_t exitCode() const;
    TerminationReason terminationReason() const;  // likewise
    // Launched and not yet exited.
    bool isRunning() const;

    // Starts the child. Chunks of standard output and standard error go to their handlers
    // in the order they were read; a stream without a handler goes to /dev/null, as does
    // standard input without an input. terminationHandler runs after every chunk of both
    // handled streams and the exit. All handler calls run on the child's serial queue.
    // Throws SubprocessError (text input the encoding cannot hold) or std::system_error
    // (an input file that cannot be opened, a launch the system refuses, e.g. a missing
    // executable) and then never calls a handler; std::invalid_argument for an empty
    // command; std::logic_error when called a second time.
    void launch(std::optional<Input> input = std::nullopt, OutputHandler outputHandler = {},
                OutputHandler errorHandler = {}, TerminationHandler terminationHandler = {});

    // Launches collecting each stream in full; the handler gets both at termination.
    void launchCollecting(std::optional<Input> input, CollectedHandler terminationHandler);

    // Stop and continue the child (SIGSTOP, SIGCONT); false when it is not running.
    bool suspend();
    bool resume();

    // Asks a running child to terminate (SIGTERM) and returns at once; the rest of its
    // output and the termination notice follow as usual.
    void kill();

    // Blocks until the child has exited and both handled streams have ended and had their
    // last chunk handled (the termination handler may still be pending). Returns at once
    // before launch. Never call it on the child's own queue.
    void waitForTermination() const;

    // The serial queue that every handler runs on.
    const dispatch::DispatchQueue& queue() const;

    struct State;

private:
    explicit Subprocess(std::shared_ptr<State> state) : state_(std::move(state)) {}
    std::shared_ptr<State> state_;
};

}  // namespace subprocess
