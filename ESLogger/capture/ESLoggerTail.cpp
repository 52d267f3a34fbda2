#include "ESLoggerTail.h"

#include <string>
#include <vector>

#include "TextForms.h"

namespace es {

ESLoggerTail::ESLoggerTail(const std::filesystem::path& withFileURL, EventCallback callHandler,
                           ErrorCallback errorHandler, logging::Logger::Level withLogLevel,
                           dispatch::QoS qos, bool followFile)
    : ESLogger(BaseInit{}, std::move(callHandler), std::move(errorHandler), withLogLevel) {
    // An absolute path never reads as one of tail's options. A path that cannot be made
    // absolute (an empty one) is passed as it is: tail's complaint reports it.
    std::error_code failed;
    std::filesystem::path path = std::filesystem::absolute(withFileURL, failed);
    if (failed) path = withFileURL;
    std::vector<std::string> command{"/usr/bin/tail", "-n", "+0", followFile ? "-F" : "-f", path.string()};
    log_.debug(
        "Tail command",
        [&] { return logging::Logger::Metadata{{"command", listDescription(command)}}; }, {},
        logging::CallSite("ESLogger/ESLogger",
                          "init(withFileURL:callHandler:errorHandler:withLogLevel:qos:followFile:)",
                          __LINE__));
    process_.emplace(std::move(command), qos);
}

void ESLoggerTail::start() {
    static constexpr StderrRule rules[] = {
        {"Permission", Error::Kind::errorReadingFromFile, "Permission Denied"},
        {"Is a directory", Error::Kind::errorReadingFromFile, "reading from directory not a file"},
    };
    // tail tells a failure in a complaint and then, when it has nothing left to follow,
    // its consequence: one report.
    static constexpr std::string_view consequences[] = {"no files remaining"};
    static constexpr ChildProfile profile{"Executing tail", "tail stderr", "tail exiting", rules, true,
                                          consequences};
    startChild(profile);
}

}  // namespace es
