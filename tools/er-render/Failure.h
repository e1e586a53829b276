// How er-render ends: every problem the user can cause becomes a Failure with a message that names what is
// wrong and the exit code of its category. main prints it and exits; nothing below main prints errors.
#pragma once

#include <stdexcept>
#include <string>

namespace er_render {

// Exit codes, documented in --help and docs/er-render.md.
enum ExitCode : int {
    EXIT_OK = 0,
    EXIT_INTERNAL = 1,    // a fault of the tool itself (out of memory, an unexpected library answer)
    EXIT_USAGE = 2,       // the command line or the settings: unknown option or pin, bad value, bad range
    EXIT_INPUT = 3,       // the input file: missing, unreadable, unsupported format
    EXIT_OUTPUT = 4,      // the output file: same as the input, cannot be created, written or renamed
    EXIT_MODULE = 5,      // the module library: cannot be loaded, or lacks a pin the render needs
    EXIT_NOT_FINITE = 6,  // the render produced an infinite or not-a-number sample; nothing is written
    EXIT_BATCH = 7,       // --batch: at least one file failed (each with its own message)
};
// A signal (SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGPIPE) removes the partial output and ends the tool by that
// signal, so the shell sees 128 + its number (130 for Ctrl-C).

class Failure : public std::runtime_error {
public:
    Failure(ExitCode code, const std::string& message) : std::runtime_error(message), m_code(code) {}
    ExitCode Code() const { return m_code; }

private:
    ExitCode m_code;
};

}  // namespace er_render
