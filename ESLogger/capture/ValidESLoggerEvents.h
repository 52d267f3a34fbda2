#pragma once
// The event names that eslogger accepts, from "eslogger --list-events", gathered on the
// first read and kept until the next write. One object is used by one thread.

#include <optional>
#include <set>
#include <string>

#include "ESLogger.h"
#include "Logger.h"

namespace es {

class ValidESLoggerEvents {
public:
    using Names = std::set<std::string>;

    explicit ValidESLoggerEvents(logging::Logger::Level logLevel,
                                 std::string esloggerPath = std::string(ESLogger::defaultESLoggerPath));
    virtual ~ValidESLoggerEvents() = default;

    // The cached names, gathered first when there are none; nothing when eslogger cannot
    // be run or its answer is implausible.
    virtual std::optional<Names> events();
    // Any write empties the cache, so the next read gathers again.
    virtual void setEvents(const std::optional<Names>& value);

    // Runs eslogger --list-events to completion: one name per output line (the empty
    // text among them when the output ends with a newline), accepted only when readdir,
    // exec and setgid are all present, and then cached.
    virtual std::optional<Names> gatherValidEventNames();

private:
    logging::Logger log_;
    Names events_;
    std::string esloggerPath_;
};

}  // namespace es
