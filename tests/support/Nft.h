#pragma once
// nftables for the tests: they look at flowspur's table and remove one that a test left
// behind, through `nft -f -`.

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <optional>
#include <string>

#include "FlowTable.h"

extern char** environ;

namespace netext {

// The nft script that removes the flow table (a no-op when it is absent).
inline std::string nftRemovalScript() {
    std::string table(kNftTable);
    return "table " + table + "\ndelete table " + table + "\n";
}

// Runs `nft -f -` with the script; an error text on failure.
inline std::optional<std::string> runNft(const std::string& script) {
    int in[2], err[2];
    if (::pipe2(in, O_CLOEXEC) != 0) return std::string("pipe: ") + std::strerror(errno);
    if (::pipe2(err, O_CLOEXEC) != 0) {
        ::close(in[0]);
        ::close(in[1]);
        return std::string("pipe: ") + std::strerror(errno);
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], 0);
    posix_spawn_file_actions_adddup2(&actions, err[1], 1);
    posix_spawn_file_actions_adddup2(&actions, err[1], 2);
    pid_t pid = -1;
    int rc = ENOENT;
    for (const char* path : {"/usr/sbin/nft", "/sbin/nft"}) {
        char* argv[] = {const_cast<char*>(path), const_cast<char*>("-f"), const_cast<char*>("-"), nullptr};
        rc = ::posix_spawn(&pid, path, &actions, nullptr, argv, environ);
        if (rc == 0) break;
    }
    posix_spawn_file_actions_destroy(&actions);
    ::close(in[0]);
    ::close(err[1]);
    if (rc != 0) {
        ::close(in[1]);
        ::close(err[0]);
        return std::string("cannot run nft: ") + std::strerror(rc);
    }
    std::size_t done = 0;
    while (done < script.size()) {
        ssize_t n = ::write(in[1], script.data() + done, script.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        done += std::size_t(n);
    }
    ::close(in[1]);
    std::string output;
    char buf[4096];
    for (;;) {
        ssize_t n = ::read(err[0], buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        output.append(buf, std::size_t(n));
    }
    ::close(err[0]);
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (WIFEXITED(status) && WEXITSTATUS(status) == 0) return std::nullopt;
    while (!output.empty() && (output.back() == '\n' || output.back() == ' ')) output.pop_back();
    return "nft failed: " + (output.empty() ? std::string("exit status ") + std::to_string(status) : output);
}

}  // namespace netext
