#include "Subprocess.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <stdexcept>
#include <system_error>
#include <thread>
#include <utility>

namespace subprocess {

namespace {

[[noreturn]] void throwErrno(int error, const std::string& what) {
    throw std::system_error(error, std::generic_category(), what);
}

struct Handlers {
    Subprocess::OutputHandler output, error;
};

}  // namespace

struct Subprocess::State {
    State(std::vector<std::string> command, dispatch::QoS qos)
        : command(std::move(command)),
          process(SubprocessDependencyBuilder::sharedFactory()->makeProcess(this->command)),
          queue("SubprocessQueue", qos) {}

    ~State() {
        // By now the notice has run, so the reader has left its loop.
        if (!reader.joinable()) return;
        if (reader.get_id() == std::this_thread::get_id())
            reader.detach();
        else
            reader.join();
    }

    const std::vector<std::string> command;
    const std::unique_ptr<Process> process;
    const dispatch::DispatchGroup group;
    const dispatch::DispatchQueue queue;

    // Guards the fields below. The child is reaped only under it, so a signal sent while
    // `ended` is false cannot reach a recycled process id.
    mutable std::mutex mutex;
    bool launchStarted = false;
    bool launched = false;
    bool ended = false;
    pid_t pid = 0;
    int status = 0;  // from waitpid, once ended
    std::thread reader;
};

namespace {

// Everything the child's reader thread works with. It watches the child's exit (through
// a pidfd), reads the handled streams and feeds standard input, all with one poll.
struct ReaderJob {
    std::weak_ptr<Subprocess::State> owner;
    pid_t pid = 0;
    FileHandle pidfd;
    FileHandle output, error;  // read ends of handled streams
    FileHandle input;          // write end of the input pipe
    Bytes inputBytes;
    std::shared_ptr<const Handlers> handlers;
    dispatch::DispatchQueue queue;
    dispatch::DispatchGroup group;
    std::vector<char> buffer = std::vector<char>(64 * 1024);  // made on the launching thread
};

// Hands work to the child's queue, however long memory takes to come back (the child
// waits on a full pipe meanwhile), so that nothing the child wrote is lost.
template <class Make>
void handOver(const ReaderJob& job, Make make) {
    for (;;) {
        try {
            job.queue.async(make());
            return;
        } catch (...) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }
}

[[noreturn]] void fatal(const char* what) {
    std::fprintf(stderr, "subprocess: %s: %s\n", what, std::strerror(errno));
    std::abort();
}

void reap(ReaderJob& job) {
    const auto wait = [&] {
        int status = 0;
        while (waitpid(job.pid, &status, 0) < 0 && errno == EINTR) {
        }
        return status;
    };
    if (auto state = job.owner.lock()) {
        std::lock_guard lock(state->mutex);
        state->status = wait();
        state->ended = true;
    } else {
        wait();
    }
}

// Reads what one stream has: a chunk goes to its handler on the queue; end of file puts
// the stream's group leave on the queue behind its last chunk.
void readStream(ReaderJob& job, FileHandle& stream, Subprocess::OutputHandler Handlers::*handler,
                std::vector<char>& buffer) {
    ssize_t count = ::read(stream.get(), buffer.data(), buffer.size());
    if (count < 0 && (errno == EINTR || errno == EAGAIN)) return;
    if (count > 0) {
        handOver(job, [&] {
            return [handlers = job.handlers, handler, chunk = Bytes(buffer.data(), std::size_t(count))] {
                ((*handlers).*handler)(chunk);
            };
        });
        return;
    }
    // End of file: the child and everything that inherited the write end have closed it.
    // A read error ends the stream the same way.
    handOver(job, [&] { return [group = job.group] { group.leave(); }; });
    stream.reset();
}

void writeInput(ReaderJob& job, std::size_t& written, const sigset_t& pipeSignal) {
    ssize_t count =
        ::write(job.input.get(), job.inputBytes.data() + written, job.inputBytes.size() - written);
    if (count < 0 && (errno == EINTR || errno == EAGAIN)) return;
    if (count < 0) {
        // The reader is gone (EPIPE): drop the SIGPIPE this thread has pending.
        const timespec now{};
        sigtimedwait(&pipeSignal, nullptr, &now);
        job.input.reset();
        return;
    }
    written += static_cast<std::size_t>(count);
    if (written == job.inputBytes.size()) job.input.reset();
}

void runReader(ReaderJob job) {
    // A write to a closed input pipe must fail with EPIPE, not end the process.
    sigset_t pipeSignal;
    sigemptyset(&pipeSignal);
    sigaddset(&pipeSignal, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipeSignal, nullptr);
    if (job.input) {
        if (job.inputBytes.empty())
            job.input.reset();
        else
            fcntl(job.input.get(), F_SETFL, fcntl(job.input.get(), F_GETFL) | O_NONBLOCK);
    }
    std::vector<char>& buffer = job.buffer;
    std::size_t written = 0;

    // Input still pending when the child has ended and its streams are closed is dropped.
    while (job.pidfd || job.output || job.error) {
        enum Role { exitWatch, output, error, input };
        pollfd fds[4];
        Role roles[4];
        nfds_t count = 0;
        const auto watch = [&](const FileHandle& fd, short events, Role role) {
            if (!fd) return;
            fds[count] = {fd.get(), events, 0};
            roles[count++] = role;
        };
        watch(job.pidfd, POLLIN, exitWatch);
        watch(job.output, POLLIN, output);
        watch(job.error, POLLIN, error);
        watch(job.input, POLLOUT, input);
        if (poll(fds, count, -1) < 0) {
            if (errno == EINTR || errno == EAGAIN) continue;
            fatal("poll");
        }
        for (nfds_t i = 0; i < count; ++i) {
            if (fds[i].revents == 0) continue;
            switch (roles[i]) {
                case exitWatch:
                    reap(job);
                    job.pidfd.reset();
                    job.group.leave();
                    break;
                case output:
                    readStream(job, job.output, &Handlers::output, buffer);
                    break;
                case error:
                    readStream(job, job.error, &Handlers::error, buffer);
                    break;
                case input:
                    writeInput(job, written, pipeSignal);
                    break;
            }
        }
    }
}

}  // namespace

Subprocess::Subprocess(std::vector<std::string> command, dispatch::QoS qos)
    : state_(std::make_shared<State>(std::move(command), qos)) {}

std::int32_t Subprocess::pid() const {
    std::lock_guard lock(state_->mutex);
    return state_->pid;
}

std::int32_t Subprocess::exitCode() const {
    std::lock_guard lock(state_->mutex);
    if (!state_->ended) throw std::logic_error("the child has not ended");
    const int status = state_->status;
    return WIFSIGNALED(status) ? WTERMSIG(status) : WEXITSTATUS(status);
}

Subprocess::TerminationReason Subprocess::terminationReason() const {
    std::lock_guard lock(state_->mutex);
    if (!state_->ended) throw std::logic_error("the child has not ended");
    return WIFSIGNALED(state_->status) ? TerminationReason::uncaughtSignal
                                       : TerminationReason::exit;
}

bool Subprocess::isRunning() const {
    std::lock_guard lock(state_->mutex);
    return state_->launched && !state_->ended;
}

void Subprocess::launch(std::optional<Input> input, OutputHandler outputHandler,
                        OutputHandler errorHandler, TerminationHandler terminationHandler) {
    State& state = *state_;
    {
        std::lock_guard lock(state.mutex);
        if (state.launchStarted) throw std::logic_error("a Subprocess is launched only once");
        state.launchStarted = true;
    }

    // Standard input: a pipe fed with the input's bytes, the input file, or /dev/null.
    FileHandle childInput, inputWrite;
    Bytes inputBytes;
    if (input) {
        std::optional<Bytes> bytes;
        if (auto* data = std::get_if<Bytes>(&input->value)) bytes = std::move(*data);
        if (auto* text = std::get_if<Input::Text>(&input->value)) {
            bytes = encode(text->text, text->encoding);
            if (!bytes) throw SubprocessError::inputStringEncodingError();
        }
        const auto factory = SubprocessDependencyBuilder::sharedFactory();
        if (auto* path = std::get_if<std::filesystem::path>(&input->value)) {
            childInput = factory->makeFileHandle(*path);
        } else {
            auto pipe = factory->makeInputPipe(std::move(*bytes));
            childInput = std::move(pipe.read);
            inputWrite = std::move(pipe.write);
            inputBytes = std::move(pipe.data);
        }
    } else {
        childInput = openFile("/dev/null", O_RDONLY);
    }

    // Standard output and error: a pipe for a handled stream, else /dev/null.
    const auto outputFor = [](const OutputHandler& handler, FileHandle& readEnd) {
        if (!handler) return openFile("/dev/null", O_WRONLY);
        auto pipe = makePipe();
        readEnd = std::move(pipe.read);
        return std::move(pipe.write);
    };
    FileHandle outputRead, errorRead;
    FileHandle childOutput = outputFor(outputHandler, outputRead);
    FileHandle childError = outputFor(errorHandler, errorRead);

    const pid_t pid = state.process->launch(childInput.get(), childOutput.get(), childError.get());
    // The child has its own copies; ours would keep its streams from ending.
    childInput.reset();
    childOutput.reset();
    childError.reset();
    FileHandle pidfd(static_cast<int>(
        syscall(SYS_pidfd_open, pid, 0)));  // glibc 2.36 lacks C linkage for its wrapper
    if (!pidfd) {
        const int error = errno;
        ::kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
        throwErrno(error, "cannot watch " + state.command[0]);
    }

    // One group entry for the exit and one per handled stream; the notice, which keeps
    // this state alive until it runs, is queued once all have left.
    state.group.enter();
    if (outputRead) state.group.enter();
    if (errorRead) state.group.enter();
    state.group.notify(state.queue, [owner = state_, handler = std::move(terminationHandler)] {
        if (!handler) return;
        Subprocess process(owner);
        handler(process);
    });

    std::lock_guard lock(state.mutex);
    state.pid = pid;
    state.launched = true;
    state.reader = std::thread(
        runReader, ReaderJob{state_, pid, std::move(pidfd), std::move(outputRead),
                             std::move(errorRead), std::move(inputWrite), std::move(inputBytes),
                             std::make_shared<const Handlers>(
                                 Handlers{std::move(outputHandler), std::move(errorHandler)}),
                             state.queue, state.group});
}

void Subprocess::launchCollecting(std::optional<Input> input, CollectedHandler terminationHandler) {
    auto buffers = std::make_shared<std::pair<Bytes, Bytes>>();  // appended on the queue
    launch(
        std::move(input), [buffers](const Bytes& chunk) { buffers->first += chunk; },
        [buffers](const Bytes& chunk) { buffers->second += chunk; },
        [buffers, handler = std::move(terminationHandler)](Subprocess& process) {
            if (handler) handler(process, buffers->first, buffers->second);
        });
}

namespace {

bool signalRunning(Subprocess::State& state, int signal) {
    std::lock_guard lock(state.mutex);
    return state.launched && !state.ended && ::kill(state.pid, signal) == 0;
}

}  // namespace

bool Subprocess::suspend() {
    return signalRunning(*state_, SIGSTOP);
}
bool Subprocess::resume() {
    return signalRunning(*state_, SIGCONT);
}
void Subprocess::kill() {
    signalRunning(*state_, SIGTERM);
}

void Subprocess::waitForTermination() const {
    state_->group.wait();
}

const dispatch::DispatchQueue& Subprocess::queue() const {
    return state_->queue;
}

}  // namespace subprocess
