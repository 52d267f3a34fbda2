#pragma once
// A virtual X server of 1024x768 with openbox managing it, for a test program whose
// windows must get real frames (the offscreen platform draws none). Both programs end
// with the object. When either cannot start, failure says why and DISPLAY is untouched.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace uitest {

class WindowManagerDisplay {
public:
    WindowManagerDisplay() {
        namespace fs = std::filesystem;
        // Xvfb picks a free display and writes its number to the pipe once it accepts clients.
        int ready[2];
        if (::pipe2(ready, O_CLOEXEC) != 0) {
            failure = "no pipe for Xvfb";
            return;
        }
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, ready[1], 3);  // dup2 clears close-on-exec
        server_ = spawn({"Xvfb", "-displayfd", "3", "-screen", "0", "1024x768x24", "-nolisten", "tcp"}, &actions);
        posix_spawn_file_actions_destroy(&actions);
        ::close(ready[1]);
        if (server_ < 0) {
            ::close(ready[0]);
            failure = "Xvfb is not installed (scripts/deps.sh tests installs it)";
            return;
        }
        std::string number;
        for (char c; readWithin(ready[0], c) && c != '\n';) number += c;
        ::close(ready[0]);
        if (number.empty()) {
            failure = "Xvfb did not start";
            return;
        }
        display = ":" + number;

        // openbox runs its start-up command once it manages the screen.
        const fs::path marker = fs::temp_directory_path() / ("qm-openbox-" + std::to_string(::getpid()));
        ::setenv("DISPLAY", display.c_str(), 1);
        manager_ = spawn({"openbox", "--sm-disable", "--startup", "touch " + marker.string()}, nullptr);
        const bool installed = manager_ >= 0;
        bool managing = false;
        for (const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(60);
             manager_ >= 0 && !managing && std::chrono::steady_clock::now() < giveUp;) {
            if (::waitpid(manager_, nullptr, WNOHANG) == manager_) manager_ = -1;  // it gave up
            else if (!(managing = fs::exists(marker))) std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        std::error_code ec;
        fs::remove(marker, ec);
        if (!managing) {
            failure = !installed ? "openbox is not installed (scripts/deps.sh tests installs it)"
                                   : "openbox did not start";
            ::unsetenv("DISPLAY");
            display.clear();
        }
    }
    ~WindowManagerDisplay() {
        end(manager_);
        end(server_);
    }
    WindowManagerDisplay(const WindowManagerDisplay&) = delete;
    WindowManagerDisplay& operator=(const WindowManagerDisplay&) = delete;

    std::string display;  // ":N" when both run
    std::string failure;  // why not, otherwise empty

private:
    static pid_t spawn(const std::vector<std::string>& words, const posix_spawn_file_actions_t* actions) {
        std::vector<char*> argv;
        for (const std::string& w : words) argv.push_back(const_cast<char*>(w.c_str()));
        argv.push_back(nullptr);
        pid_t pid;
        return ::posix_spawnp(&pid, argv[0], actions, nullptr, argv.data(), environ) == 0 ? pid : -1;
    }
    // One byte within a generous bound (a hang guard); false at the end of the pipe.
    static bool readWithin(int fd, char& c) {
        pollfd waiting{fd, POLLIN, 0};
        return ::poll(&waiting, 1, 60000) > 0 && ::read(fd, &c, 1) == 1;
    }
    static void end(pid_t pid) {
        if (pid < 0) return;
        ::kill(pid, SIGTERM);
        ::waitpid(pid, nullptr, 0);
    }

    pid_t server_ = -1, manager_ = -1;
};

}  // namespace uitest
