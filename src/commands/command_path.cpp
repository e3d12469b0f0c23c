#include "commands/command_path.h"

#include <cstring>

#include "zelvorn.h"

namespace zelvorn {
namespace {

// Steps 3 to 6 of the order in command_path.h, on a request built already.
CommandResult Run(const CommandCall& call, const RequestBlock& request, std::uint8_t expectedLength,
                  ReplyBuffer& reply) {
    if (call.refusal != RESULT_OK) return {call.refusal, false};
    if (call.reader == nullptr) return {ERR_INVALID_HANDLE, false};
    const std::int16_t result = Transport_Exchange(*call.reader, request, reply.LengthSlot(),
                                                   reply.Storage(), reply.Capacity());
    if (result != RESULT_OK) {
        *reply.LengthSlot() = 0;  // nothing of a failed exchange is to be read
        return {result, false};
    }
    const auto status = static_cast<std::int16_t>(reply.ReaderStatus());
    if (status != RESULT_OK) return {status, false};
    const bool complete = expectedLength == kLengthAsDeclared ? reply.LengthAsDeclared()
                                                              : reply.Length() == expectedLength;
    return {RESULT_OK, complete};
}

}  // namespace

CommandCall Command_Admit(std::int16_t handle, bool argumentsValid) {
    if (!Handle_InRange(handle)) return {ERR_INVALID_HANDLE, nullptr};
    if (!argumentsValid) return {ERR_INVALID_PARAMETER, nullptr};
    return {RESULT_OK, ReaderTable_Lookup(handle)};
}

CommandResult Command_Run(const CommandCall& call, const CommandDescription& command,
                          const std::uint8_t* data, std::size_t dataLength, ReplyBuffer& reply) {
    return Run(call, Request_Make(command.code, data, dataLength), command.expectedLength, reply);
}

CommandResult Command_Run(const CommandCall& call, const CommandDescription& command,
                          std::initializer_list<std::uint8_t> data, ReplyBuffer& reply) {
    return Command_Run(call, command, data.begin(), data.size(), reply);
}

CommandResult Command_Run(const CommandCall& call, const RequestBlock& request,
                          ReplyBuffer& reply) {
    return Run(call, request, kLengthAsDeclared, reply);
}

void CardEntry_Deliver(const ReplyBuffer& reply, std::size_t offset, std::uint8_t* cardType,
                       std::uint8_t* serialLength, std::uint8_t* serialNumber) {
    const std::uint8_t* entry = reply.Bytes() + offset;
    if (cardType != nullptr) *cardType = entry[0];
    if (serialLength != nullptr) *serialLength = entry[1];
    if (serialNumber != nullptr) std::memcpy(serialNumber, entry + 2, kSerialField);
}

void Put32(std::uint8_t* out, std::int32_t value) {
    const auto v = static_cast<std::uint32_t>(value);
    out[0] = static_cast<std::uint8_t>(v >> 24);
    out[1] = static_cast<std::uint8_t>(v >> 16);
    out[2] = static_cast<std::uint8_t>(v >> 8);
    out[3] = static_cast<std::uint8_t>(v);
}

std::int32_t Get32(const std::uint8_t* in) {
    return static_cast<std::int32_t>((std::uint32_t{in[0]} << 24) | (std::uint32_t{in[1]} << 16) |
                                     (std::uint32_t{in[2]} << 8) | std::uint32_t{in[3]});
}

}  // namespace zelvorn
