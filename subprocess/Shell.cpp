#include "Shell.h"

#include <memory>

namespace subprocess {

Bytes Shell::collect(std::optional<Subprocess::Input> input, OutputOptions options) {
    // Filled on the process's queue; read only after waitForTermination, which returns
    // after the last append.
    auto buffers = std::make_shared<std::pair<Bytes, Bytes>>();
    Subprocess::OutputHandler output, error;
    if (options.contains(OutputOptions::standardOutput))
        output = [buffers](const Bytes& chunk) { buffers->first += chunk; };
    if (options.contains(OutputOptions::standardError))
        error = [buffers](const Bytes& chunk) { buffers->second += chunk; };
    process_.launch(std::move(input), std::move(output), std::move(error));
    process_.waitForTermination();
    return std::move(buffers->first) + buffers->second;
}

Bytes Shell::exec(std::optional<Subprocess::Input> input, OutputOptions options) {
    return exec(std::move(input), options, [](Subprocess& process, Bytes output) {
        if (const auto status = process.exitCode(); status != 0)
            throw SubprocessError::exitedWithNonZeroStatus(
                status, decode(output, TextEncoding::utf8).value_or(std::string()));
        return output;
    });
}

std::string Shell::execText(std::optional<Subprocess::Input> input, OutputOptions options,
                            TextEncoding encoding) {
    return execText(std::move(input), options, encoding, [](Subprocess& process, std::string text) {
        if (const auto status = process.exitCode(); status != 0)
            throw SubprocessError::exitedWithNonZeroStatus(status, std::move(text));
        return text;
    });
}

}  // namespace subprocess
