#include "tool/errors.h"

#include "zelvorn.h"

namespace zelvorn::tool {

std::string ExitCodeHelp() {
    return "Exit codes:\n"
           "  0  success\n"
           "  1  a library call failed (the message names the step and the result code)\n"
           "  2  invalid command line or input\n"
           "  3  the library could not be loaded\n"
           "  4  the dump could not read every sector (the rest is printed)\n"
           "  5  no reader, or no card of the kind the command needs\n";
}

std::string ResultName(std::int16_t result) {
    switch (result) {
        case RESULT_OK:
            return "RESULT_OK";
        case ERR_FAILURE:
            return "ERR_FAILURE";
        case ERR_OPEN_FAILED:
            return "ERR_OPEN_FAILED";
        case ERR_DEVICE_BUSY:
            return "ERR_DEVICE_BUSY";
        case ERR_INVALID_HANDLE:
            return "ERR_INVALID_HANDLE";
        case ERR_INVALID_PARAMETER:
            return "ERR_INVALID_PARAMETER";
        default:
            return fmt::format("reader status 0x{:04X}", static_cast<std::uint16_t>(result));
    }
}

std::string DescribeResult(std::int16_t result) {
    return fmt::format("{} ({})", ResultName(result), result);
}

bool IsLibraryFailure(std::int16_t result) {
    switch (result) {
        case ERR_FAILURE:
        case ERR_OPEN_FAILED:
        case ERR_DEVICE_BUSY:
        case ERR_INVALID_HANDLE:
        case ERR_INVALID_PARAMETER:
            return true;
        default:
            return false;
    }
}

ToolError StepFailed(const std::string& step, std::int16_t result) {
    return ToolError(kExitFailed, fmt::format("{}: {}", step, DescribeResult(result)));
}

}  // namespace zelvorn::tool
