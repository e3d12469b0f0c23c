// How the tool fails: documented exit codes, one-line messages that name the
// failing step, and the library's result codes by name.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>

#include <fmt/format.h>

#include "zelvorn.h"

namespace zelvorn::tool {

// Exit codes, as `zelvorn --help` and the README list them.
enum ExitCode : int {
    kExitOk = 0,          // done
    kExitFailed = 1,      // a library call failed; the message names the step and result code
    kExitUsage = 2,       // the command line or an input (hexadecimal, script file) is invalid
    kExitLibrary = 3,     // the library could not be loaded or lacks a function
    kExitIncomplete = 4,  // the dump could not read every sector; the rest was printed
    kExitNotFound = 5,    // no reader, or no card of the kind the command needs
};

// The reader status for "no card of the kind asked for answered".
inline constexpr std::int16_t kReaderNoCard = -1;
// The reader status for "the card refused the key".
inline constexpr std::int16_t kReaderAuthFailed = -4;

// The tool's own result for a read whose outputs the library did not write
// although it reported success: the reader's reply was not as long as the
// command's (tool/written.h). A library failure, next to ERR_FAILURE.
inline constexpr std::int16_t kReplyIncomplete = ERR_FAILURE - 1;

// The text of the exit codes for --help.
std::string ExitCodeHelp();

class ToolError : public std::runtime_error {
public:
    ToolError(int exitCode, const std::string& message)
        : std::runtime_error(message), exitCode_(exitCode) {}
    int ExitCode() const { return exitCode_; }

private:
    int exitCode_;
};

// An input the user typed or wrote that cannot be used.
inline ToolError UsageError(const std::string& message) {
    return ToolError(kExitUsage, message);
}

// The name of a result: RESULT_OK, one of the library's ERR_ codes, or
// "reader status 0xNNNN" for a status word the reader passed through.
std::string ResultName(std::int16_t result);

// "ERR_FAILURE (-1000)", "-4 authentication failed: wrong key, or try -t B",
// "reader status 0xFFE0 (-32)" for a status without a name.
std::string DescribeResult(std::int16_t result);

// True for the library's own failure codes, which tell of a broken link to the
// reader or a wrong call rather than of what a card answered.
bool IsLibraryFailure(std::int16_t result);

// A failed call as an error: "<step>: <result>"; exit code 5 for "no card",
// else 1.
ToolError StepFailed(const std::string& step, std::int16_t result);

// Throws StepFailed unless the result is RESULT_OK.
inline void Check(std::int16_t result, const std::string& step) {
    if (result != RESULT_OK) throw StepFailed(step, result);
}

}  // namespace zelvorn::tool
