#pragma once
// Follows a growing eslogger JSON Lines file by running
// "/usr/bin/tail -n +0 -F|-f PATH": the whole file from its first line, then each line
// as it is appended. Callbacks run on the tail child's serial queue; stop() ends tail
// and waits for it.

#include <filesystem>

#include "ESLogger.h"

namespace es {

class ESLoggerTail : public ESLogger {
public:
    // followFile: follow the file by name, so a replaced or recreated file is picked up
    // again ("-F"); otherwise follow the file opened at start ("-f"). A relative path is
    // made absolute; any path is accepted (tail reports one it cannot read). Creates the
    // child without launching it.
    ESLoggerTail(const std::filesystem::path& withFileURL, EventCallback callHandler,
                 ErrorCallback errorHandler, logging::Logger::Level withLogLevel,
                 dispatch::QoS qos, bool followFile);

    // Launches tail unless it is running. tail's complaints become errorReadingFromFile
    // ("Permission Denied", "reading from directory not a file") or internalError.
    void start() override;
};

}  // namespace es
