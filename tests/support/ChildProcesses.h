#pragma once
// The processes of this machine that run a program on a file: for checking that no child
// was left running.

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace childprocs {

// Calls each(process folder) for the processes that run program (the last part of their
// first argument) with file as their last argument.
template <class F>
void forEachRunning(const std::string& program, const std::filesystem::path& file, F&& each) {
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator("/proc", ec)) {
        std::string all;
        try {
            std::ifstream in(entry.path() / "cmdline", std::ios::binary);
            all.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
        } catch (const std::ios_base::failure&) {  // the process ended as it was read
            continue;
        }
        std::vector<std::string> args;
        for (std::size_t at = 0; at < all.size();) {
            const std::size_t end = all.find('\0', at);
            args.push_back(all.substr(at, end == std::string::npos ? std::string::npos : end - at));
            at = end == std::string::npos ? all.size() : end + 1;
        }
        if (args.size() >= 2 && std::filesystem::path(args.front()).filename() == program && args.back() == file.string())
            each(entry.path());
    }
}

// How many processes run program with file as their last argument.
inline int running(const std::string& program, const std::filesystem::path& file) {
    int count = 0;
    forEachRunning(program, file, [&](const std::filesystem::path&) { ++count; });
    return count;
}

// The bytes that such processes have written, together (their write counts).
inline std::size_t written(const std::string& program, const std::filesystem::path& file) {
    std::size_t total = 0;
    forEachRunning(program, file, [&](const std::filesystem::path& process) {
        std::ifstream io(process / "io");
        for (std::string key; io >> key;) {
            std::size_t value = 0;
            io >> value;
            if (key == "wchar:") total += value;
        }
    });
    return total;
}

}  // namespace childprocs
