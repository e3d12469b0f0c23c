#include "tool/errors.h"

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

// The reader's status words as the virtual reader documents them, with what
// to try. A real reader's firmware may answer others; those stay numeric.
struct ReaderStatus {
    std::int16_t code;
    const char* name;
    const char* hint;
};
constexpr ReaderStatus kReaderStatuses[] = {
    {-1, "no card", "no card of the kind asked for answered"},
    {-2, "not selected", "the command needs a selected card"},
    {-3, "field off", "the RF field is off: zelvorn field on"},
    {-4, "authentication failed", "wrong key, or try -t B"},
    {-5, "not authenticated", "the block lies outside the sector logged in to"},
    {-6, "access denied", "the sector's access bits forbid this with the key used"},
    {-7, "not a value block", "the block does not hold a well-formed value"},
    {-8, "value overflow", "the result would not fit 32 bits"},
    {-9, "out of range", "no such block, sector, key number or address on this reader or card"},
    {-10, "not supported", "the selected card has no such command"},
    {-11, "no answer", "the card did not answer"},
    {-12, "unknown command", "the reader does not know the command"},
    {-13, "malformed command", "the command's data does not fit it"},
    {-14, "read only", "the block or sector cannot be written"},
    {-15, "bad access bits", "the access bits do not match their inverted copy"},
};

const ReaderStatus* FindStatus(std::int16_t result) {
    for (const ReaderStatus& s : kReaderStatuses) {
        if (s.code == result) return &s;
    }
    return nullptr;
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
        default:
            if (const ReaderStatus* s = FindStatus(result)) return s->name;
            return fmt::format("reader status 0x{:04X}", static_cast<std::uint16_t>(result));
    }
}

std::string DescribeResult(std::int16_t result) {
    if (const ReaderStatus* s = FindStatus(result)) {
        return fmt::format("{} {}: {}", result, s->name, s->hint);
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
