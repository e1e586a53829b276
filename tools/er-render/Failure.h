// How er-render ends: every problem the user can cause becomes a Failure with a message that names what is
// wrong and the exit code of its category. main prints it and exits; nothing below main prints errors.
#pragma once

#include <stdexcept>
#include <string>

namespace er_render {

// Exit codes, documented in --help and the README.
enum ExitCode : int {
    EXIT_OK = 0,
    EXIT_INTERNAL = 1,      // a fault of the tool itself (out of memory, an unexpected library answer)
    EXIT_USAGE = 2,         // the command line or the settings: unknown option or pin, bad value, bad range
    EXIT_INPUT = 3,         // the input file: missing, unreadable, unsupported format
    EXIT_OUTPUT = 4,        // the output file: same as the input, cannot be created, written or renamed
    EXIT_MODULE = 5,        // the module library: cannot be loaded, or lacks a pin the render needs
    EXIT_INTERRUPTED = 130  // stopped by a signal (Ctrl-C); the partial output is removed
};

class Failure : public std::runtime_error {
public:
    Failure(ExitCode code, const std::string& message) : std::runtime_error(message), m_code(code) {}
    ExitCode Code() const { return m_code; }

private:
    ExitCode m_code;
};

}  // namespace er_render
