#include "tool/errors.h"

#include "commands/protocol_table.h"
#include "zelvorn.h"

namespace zelvorn::tool {

std::string ExitCodeHelp() {
    return "Exit codes:\n"
           "  0  success\n"
           "  1  a library call failed (the message names the step and the result code), or the\n"
           "     virtual reader's state file cannot be written\n"
           "  2  invalid command line or input\n"
           "  3  the library could not be loaded\n"
           "  4  the dump could not read every sector (the rest is printed)\n"
           "  5  no reader, or no card of the kind the command needs (also: wait timed out)\n";
}

namespace {

// What the tool adds to a reader status's meaning: what to try.
struct Hint {
    StatusWord word;
    const char* text;
};
constexpr Hint kHints[] = {
    {kStatusFieldOff, "the RF field is off: zelvorn field on"},
    {kStatusAuthFailed, "wrong key"},
};

const char* HintFor(const StatusRow& row) {
    for (const Hint& h : kHints) {
        if (h.word == row.word) return h.text;
    }
    return row.meaning;
}

const StatusRow* FindStatus(std::int16_t result) {
    // 0 is no reader status here: it is RESULT_OK.
    return result == RESULT_OK ? nullptr : ReaderStatus_Find(result);
}

}  // namespace

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
        case kReplyIncomplete:
            return "incomplete reply";
        default:
            if (const StatusRow* s = FindStatus(result)) return s->name;
            return fmt::format("reader status 0x{:04X}", static_cast<std::uint16_t>(result));
    }
}

std::string DescribeResult(std::int16_t result) {
    if (result == kReplyIncomplete) {
        return "the reader reported success, but its reply was not as long as the command's, "
               "so nothing of it is used (check the reader's firmware and cable)";
    }
    if (const StatusRow* s = FindStatus(result)) {
        return fmt::format("{} {}: {}", result, s->name, HintFor(*s));
    }
    return fmt::format("{} ({})", ResultName(result), result);
}

bool IsLibraryFailure(std::int16_t result) {
    switch (result) {
        case ERR_FAILURE:
        case ERR_OPEN_FAILED:
        case ERR_DEVICE_BUSY:
        case ERR_INVALID_HANDLE:
        case ERR_INVALID_PARAMETER:
        case kReplyIncomplete:
            return true;
        default:
            return false;
    }
}

ToolError StepFailed(const std::string& step, std::int16_t result) {
    // A card that is not there is "not found", whichever command noticed it.
    return ToolError(result == kReaderNoCard ? kExitNotFound : kExitFailed,
                     fmt::format("{}: {}", step, DescribeResult(result)));
}

}  // namespace zelvorn::tool
