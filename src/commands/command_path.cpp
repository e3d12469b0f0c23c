#include "commands/command_path.h"

#include <cstring>

#include "zelvorn.h"

namespace zelvorn {

std::int16_t Command_Run(std::int16_t handle, const RequestBlock& request, ReplyBuffer& reply) {
    const std::int16_t result =
        Transport_Exchange(handle, request, reply.LengthSlot(), reply.Storage(), reply.Capacity());
    if (result != RESULT_OK) {
        *reply.LengthSlot() = 0;  // nothing of a failed exchange is to be read
        return result;
    }
    return static_cast<std::int16_t>(reply.ReaderStatus());
}

std::int16_t Command_Run(std::int16_t handle, std::uint8_t code, const std::uint8_t* data,
                         std::size_t dataLength, ReplyBuffer& reply) {
    return Command_Run(handle, Request_Make(code, data, dataLength), reply);
}

std::int16_t Command_Run(std::int16_t handle, std::uint8_t code,
                         std::initializer_list<std::uint8_t> data, ReplyBuffer& reply) {
    return Command_Run(handle, code, data.begin(), data.size(), reply);
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
