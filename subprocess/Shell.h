#pragma once
// Runs one command to completion and returns what it wrote.

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "Subprocess.h"
#include "SubprocessError.h"

namespace subprocess {

class Shell {
public:
    // Which of the child's streams to collect.
    struct OutputOptions {
        int rawValue = 0;

        static const OutputOptions standardOutput;
        static const OutputOptions standardError;
        static const OutputOptions both;

        constexpr bool contains(OutputOptions other) const {
            return (rawValue & other.rawValue) == other.rawValue;
        }
        friend constexpr OutputOptions operator|(OutputOptions a, OutputOptions b) {
            return {a.rawValue | b.rawValue};
        }
        friend constexpr OutputOptions operator&(OutputOptions a, OutputOptions b) {
            return {a.rawValue & b.rawValue};
        }
        friend constexpr bool operator==(OutputOptions, OutputOptions) = default;
    };

    // The first element is the executable's path, the rest its arguments.
    explicit Shell(std::vector<std::string> command) : process_(std::move(command)) {}

    Subprocess& process() { return process_; }

    // Runs the command, collects the selected streams (all standard output, then all
    // standard error) and returns transform(process, bytes). Launch errors are thrown
    // unchanged. Blocks until the child has ended.
    template <class Transform>
    auto exec(std::optional<Subprocess::Input> input, OutputOptions options,
              Transform&& transform) {
        Bytes output = collect(std::move(input), options);
        return std::forward<Transform>(transform)(process_, std::move(output));
    }

    // The collected bytes; a non-zero exit status throws exitedWithNonZeroStatus with the
    // bytes as UTF-8 text (empty when they are not valid UTF-8).
    Bytes exec(std::optional<Subprocess::Input> input = std::nullopt,
               OutputOptions options = OutputOptions::standardOutput);

    // The collected output decoded in an encoding (outputStringEncodingError when it does
    // not decode), passed to transform(process, text).
    template <class Transform>
    auto execText(std::optional<Subprocess::Input> input, OutputOptions options,
                  TextEncoding encoding, Transform&& transform) {
        return exec(std::move(input), options, [&](Subprocess& process, Bytes output) {
            auto text = decode(output, encoding);
            if (!text) throw SubprocessError::outputStringEncodingError();
            return std::forward<Transform>(transform)(process, std::move(*text));
        });
    }

    // The decoded output; a non-zero exit status throws exitedWithNonZeroStatus with it.
    std::string execText(std::optional<Subprocess::Input> input = std::nullopt,
                         OutputOptions options = OutputOptions::standardOutput,
                         TextEncoding encoding = TextEncoding::utf8);

private:
    Bytes collect(std::optional<Subprocess::Input> input, OutputOptions options);

    Subprocess process_;
};

inline constexpr Shell::OutputOptions Shell::OutputOptions::standardOutput{1};
inline constexpr Shell::OutputOptions Shell::OutputOptions::standardError{2};
inline constexpr Shell::OutputOptions Shell::OutputOptions::both{3};

}  // namespace subprocess
