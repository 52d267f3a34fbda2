#pragma once
// Captures what a log handler writes: a temporary C stream for StreamLogHandler, and
// standard output itself for the default factory.

#include <unistd.h>

#include <cstdio>
#include <regex>
#include <string>
#include <vector>

#include "StreamLogHandler.h"

namespace logtest {

// A temporary file behind a StdioOutputStream.
class CapturedStream {
public:
    CapturedStream() : file_(std::tmpfile()) {}
    ~CapturedStream() { std::fclose(file_); }
    CapturedStream(const CapturedStream&) = delete;
    CapturedStream& operator=(const CapturedStream&) = delete;

    logging::StdioOutputStream stream() const {
        return {file_, logging::StdioOutputStream::FlushMode::always};
    }
    std::string text() const { return readAll(file_); }

    static std::string readAll(std::FILE* file) {
        std::fflush(file);
        std::rewind(file);
        std::string text;
        char buffer[4096];
        for (size_t n; (n = std::fread(buffer, 1, sizeof buffer, file)) > 0;)
            text.append(buffer, n);
        return text;
    }

private:
    std::FILE* file_;
};

// Points file descriptor 1 at a temporary file while it exists.
class CapturedStdout {
public:
    CapturedStdout() : file_(std::tmpfile()) {
        std::fflush(stdout);
        saved_ = dup(1);
        dup2(fileno(file_), 1);
    }
    ~CapturedStdout() {
        restore();
        std::fclose(file_);
    }
    std::string text() {
        restore();
        return CapturedStream::readAll(file_);
    }

private:
    void restore() {
        if (saved_ < 0) return;
        std::fflush(stdout);
        dup2(saved_, 1);
        close(saved_);
        saved_ = -1;
    }
    std::FILE* file_;
    int saved_ = -1;
};

// The lines of a text without their timestamps; a line whose timestamp does not have the
// form 2026-12-08T07:15:02+0100 is kept whole, so a comparison shows it.
inline std::vector<std::string> linesWithoutTimestamp(const std::string& text) {
    static const std::regex stamp(R"(^\d{4}-\d{2}-\d{2}T\d{2}:\d{2}:\d{2}[+-]\d{4} )");
    std::vector<std::string> lines;
    size_t start = 0;
    for (size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
        std::string line = text.substr(start, end - start);
        std::smatch match;
        if (std::regex_search(line, match, stamp)) line.erase(0, match.length());
        lines.push_back(line);
    }
    if (start < text.size()) lines.push_back(text.substr(start) + "<no newline>");
    return lines;
}

}  // namespace logtest
