#include "SubprocessDependencyFactory.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <unistd.h>

#include <cerrno>
#include <mutex>
#include <stdexcept>
#include <system_error>

extern char** environ;

namespace subprocess {

namespace {

[[noreturn]] void throwErrno(int error, const std::string& what) {
    throw std::system_error(error, std::generic_category(), what);
}

class SpawnedProcess final : public Process {
public:
    explicit SpawnedProcess(std::vector<std::string> command) : command_(std::move(command)) {}

    pid_t launch(int input, int output, int error) override {
        if (command_.empty()) throw std::invalid_argument("empty command");
        std::vector<char*> argv;
        for (auto& argument : command_) argv.push_back(argument.data());
        argv.push_back(nullptr);

        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, input, 0);
        posix_spawn_file_actions_adddup2(&actions, output, 1);
        posix_spawn_file_actions_adddup2(&actions, error, 2);
        posix_spawnattr_t attributes;
        posix_spawnattr_init(&attributes);
        sigset_t none, all;
        sigemptyset(&none);
        sigfillset(&all);
        posix_spawnattr_setsigmask(&attributes, &none);
        posix_spawnattr_setsigdefault(&attributes, &all);
        posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

        pid_t pid = 0;
        const int result =
            posix_spawn(&pid, command_[0].c_str(), &actions, &attributes, argv.data(), environ);
        posix_spawnattr_destroy(&attributes);
        posix_spawn_file_actions_destroy(&actions);
        if (result != 0) throwErrno(result, "cannot launch " + command_[0]);
        return pid;
    }

private:
    std::vector<std::string> command_;
};

struct SharedFactory {
    std::mutex mutex;
    std::shared_ptr<const SubprocessDependencyFactory> factory =
        std::make_shared<SubprocessDependencyBuilder>();
};

// Kept to the end of the process, so children can still be made while static objects
// are being destroyed.
SharedFactory& sharedBox() {
    static auto* box = new SharedFactory;
    return *box;
}

}  // namespace

void FileHandle::reset() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}

Pipe makePipe() {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) throwErrno(errno, "pipe");
    return {FileHandle(fds[0]), FileHandle(fds[1])};
}

FileHandle openFile(const std::filesystem::path& path, int flags) {
    const int fd = ::open(path.c_str(), flags | O_CLOEXEC);
    if (fd < 0) throwErrno(errno, "cannot open " + path.string());
    return FileHandle(fd);
}

std::unique_ptr<Process> SubprocessDependencyBuilder::makeProcess(
    const std::vector<std::string>& command) const {
    return std::make_unique<SpawnedProcess>(command);
}

FileHandle SubprocessDependencyBuilder::makeFileHandle(const std::filesystem::path& path) const {
    return openFile(path, O_RDONLY);
}

InputPipe SubprocessDependencyBuilder::makeInputPipe(Bytes data) const {
    auto pipe = makePipe();
    return {std::move(pipe.read), std::move(pipe.write), std::move(data)};
}

std::shared_ptr<const SubprocessDependencyFactory> SubprocessDependencyBuilder::sharedFactory() {
    auto& box = sharedBox();
    std::lock_guard lock(box.mutex);
    return box.factory;
}

void SubprocessDependencyBuilder::setSharedFactory(
    std::shared_ptr<const SubprocessDependencyFactory> factory) {
    if (!factory) throw std::invalid_argument("no factory");
    auto& box = sharedBox();
    std::lock_guard lock(box.mutex);
    box.factory.swap(factory);
}  // the factory replaced goes here, outside the lock

}  // namespace subprocess
