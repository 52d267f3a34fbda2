#pragma once
// The platform objects a Subprocess is made of (the process, an input file, an input
// pipe) and the replaceable factory that makes them.

#include <sys/types.h>

#include <filesystem>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "SubprocessError.h"

namespace subprocess {

// Owns one file descriptor (or none).
class FileHandle {
public:
    FileHandle() = default;
    explicit FileHandle(int fd) : fd_(fd) {}
    FileHandle(FileHandle&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    FileHandle& operator=(FileHandle&& other) noexcept {
        if (this != &other) {
            reset();
            fd_ = std::exchange(other.fd_, -1);
        }
        return *this;
    }
    ~FileHandle() { reset(); }

    int get() const { return fd_; }
    explicit operator bool() const { return fd_ >= 0; }
    void reset();

private:
    int fd_ = -1;
};

// Every descriptor made here is close-on-exec, so no other child inherits a pipe end and
// holds a stream open; a child gets its three standard streams duplicated onto 0, 1 and 2.
struct Pipe {
    FileHandle read, write;
};
// Both throw std::system_error.
Pipe makePipe();
FileHandle openFile(const std::filesystem::path& path, int flags);

// A pipe for a child's standard input: the child reads `read`; `data` is written to
// `write` once it is writable, and `write` is then closed (a reader that has gone away
// ends the writing early).
struct InputPipe {
    FileHandle read, write;
    Bytes data;
};

// A child process made ready but not started.
class Process {
public:
    virtual ~Process() = default;
    // Starts the child with the three descriptors as its standard input, output and error,
    // with default signal handling and no blocked signals, and returns its process id.
    // Throws std::system_error when the system refuses (e.g. a missing executable).
    virtual pid_t launch(int input, int output, int error) = 0;
};

// What a Subprocess makes its platform objects with.
class SubprocessDependencyFactory {
public:
    virtual ~SubprocessDependencyFactory() = default;
    // A process whose executable is command[0] taken as a path (a relative one is relative
    // to the current directory) and whose arguments are the rest, in order.
    virtual std::unique_ptr<Process> makeProcess(const std::vector<std::string>& command) const = 0;
    // The file opened for reading; throws std::system_error.
    virtual FileHandle makeFileHandle(const std::filesystem::path& path) const = 0;
    virtual InputPipe makeInputPipe(Bytes data) const = 0;
};

// The factory over the system's processes, files and pipes.
class SubprocessDependencyBuilder final : public SubprocessDependencyFactory {
public:
    std::unique_ptr<Process> makeProcess(const std::vector<std::string>& command) const override;
    FileHandle makeFileHandle(const std::filesystem::path& path) const override;
    InputPipe makeInputPipe(Bytes data) const override;

    // The factory that every Subprocess construction and every input preparation reads;
    // a SubprocessDependencyBuilder until replaced. Reads and replacements are serialised,
    // and a replaced factory lives on for whoever still holds it. Replacing it with
    // nothing throws std::invalid_argument.
    static std::shared_ptr<const SubprocessDependencyFactory> sharedFactory();
    static void setSharedFactory(std::shared_ptr<const SubprocessDependencyFactory> factory);
};

}  // namespace subprocess
