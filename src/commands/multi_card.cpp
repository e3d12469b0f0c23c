// Several cards and raw access: listing the cards in the field, selecting one
// by serial number, raw telegrams to the card, caller-built reader commands
// and the ATQB of a type B card.
#include <cstring>

#include "commands/command_path.h"
#include "commands/telegram.h"
#include "zelvorn.h"

namespace zelvorn {
namespace {

// Reply buffers of the six commands.
constexpr std::size_t kListReplyCapacity = 352;
constexpr std::size_t kDirectReplyCapacity = 64;

// The select reply is a tag list with exactly one entry.
constexpr CommandDescription kSelectBySerial{kCmdListOrSelect, kCardEntryOffset + kCardEntrySize};

// The data of a direct packet starts behind its command code and data length.
constexpr std::size_t kDirectPacketHeader = 2;
constexpr std::uint8_t kMaxDirectPacket = ZELVORN_MAX_DIRECT_PACKET;
constexpr std::uint8_t kMaxDirectReceive = ZELVORN_MAX_DIRECT_RECEIVE;
static_assert(kMaxDirectPacket - kDirectPacketHeader <= kMaxRequestData);
static_assert(kMaxDirectReceive <= kMaxRequestData);
static_assert(ZELVORN_MAX_TELEGRAM == kMaxRequestData);

// The ATQB bytes handed back: application data and protocol info, data bytes
// 5..11 of the reply.
constexpr std::size_t kAtqbFirst = 5;
constexpr std::size_t kAtqbBytes = 7;

bool SerialLengthAllowed(std::uint8_t length) {
    return length == 4 || length == 7 || length == 10;
}

// Hands the data of a reply to the caller as the direct commands do. A caller
// that asks for P gets the data only from a reply whose length agrees with P;
// one that does not ask still never gets bytes that were not received.
std::int16_t DeliverDirectData(const ReplyBuffer& reply, std::uint8_t* responseLength,
                               std::uint8_t* response) {
    const std::uint8_t p = reply.DeclaredDataLength();
    if (responseLength != nullptr) {
        *responseLength = p;
        if (reply.Length() != p + 5u) return RESULT_OK;
    } else if (response != nullptr && !reply.DeclaredDataReceived()) {
        return ERR_FAILURE;
    }
    if (response != nullptr && p > 0) std::memcpy(response, reply.Data(), p);
    return RESULT_OK;
}

}  // namespace
}  // namespace zelvorn

using namespace zelvorn;

extern "C" ZELVORN_API int16_t Zelvorn_ListTags(int16_t handle, uint8_t* tagCount,
                                                uint8_t* cardTypes, uint8_t* serialLengths,
                                                uint8_t* serialNumbers) {
    if (!Handle_InRange(handle)) return ERR_INVALID_HANDLE;

    Reply<kListReplyCapacity> reply;
    const std::int16_t result = Command_Run(handle, kCmdListOrSelect, {}, reply);
    if (result != RESULT_OK) return result;
    // A reply without even a count lists nothing, whatever the caller passed.
    if (reply.Length() <= 5) return RESULT_OK;

    const std::uint8_t count = reply.At(5);
    if (count > (reply.Length() - kCardEntryOffset) / kCardEntrySize) return ERR_FAILURE;

    if (tagCount == nullptr) return ERR_INVALID_PARAMETER;
    *tagCount = count;
    if (cardTypes == nullptr || serialLengths == nullptr || serialNumbers == nullptr) {
        return ERR_INVALID_PARAMETER;
    }
    for (std::size_t i = 0; i < count; ++i) {
        const std::uint8_t* entry = reply.Bytes() + kCardEntryOffset + kCardEntrySize * i;
        cardTypes[i] = entry[0];
        serialLengths[i] = entry[1];
        std::memcpy(serialNumbers + kSerialField * i, entry + 2, kSerialField);
    }
    return RESULT_OK;
}

extern "C" ZELVORN_API int16_t Zelvorn_MultiTagSelect(int16_t handle, uint8_t targetSerialLength,
                                                      const uint8_t* targetSerialNumber,
                                                      uint8_t* cardType, uint8_t* serialLength,
                                                      uint8_t* serialNumber) {
    if (!SerialLengthAllowed(targetSerialLength)) return ERR_INVALID_PARAMETER;
    if (!Handle_InRange(handle)) return ERR_INVALID_HANDLE;
    if (targetSerialNumber == nullptr) return ERR_INVALID_PARAMETER;

    std::uint8_t data[1 + kSerialField];
    data[0] = targetSerialLength;
    std::memcpy(data + 1, targetSerialNumber, targetSerialLength);

    Reply<kCommandReplyCapacity> reply;
    const std::int16_t result =
        Command_Run(handle, kSelectBySerial.code, data, 1u + targetSerialLength, reply);
    if (result != RESULT_OK) return result;
    if (!Reply_HasExpectedLength(reply, kSelectBySerial)) return RESULT_OK;

    CardEntry_Deliver(reply, kCardEntryOffset, cardType, serialLength, serialNumber);
    return RESULT_OK;
}

extern "C" ZELVORN_API int16_t Zelvorn_TxDataTelegram(int16_t handle, uint8_t telegramLength,
                                                      const uint8_t* telegram,
                                                      uint8_t* responseLength, uint8_t* response) {
    if (!Handle_InRange(handle)) return ERR_INVALID_HANDLE;
    if (telegramLength > kMaxRequestData) return ERR_INVALID_PARAMETER;
    if (telegram == nullptr && telegramLength > 0) return ERR_INVALID_PARAMETER;

    Reply<kTelegramReplyCapacity> reply;
    const std::int16_t result = Telegram_Exchange(handle, telegram, telegramLength, reply);
    if (result != RESULT_OK) return result;
    if (responseLength == nullptr && response == nullptr) return RESULT_OK;

    // The card's answer is taken only as far as it arrived.
    if (!reply.DeclaredDataReceived()) return ERR_FAILURE;
    const std::uint8_t p = reply.DeclaredDataLength();
    if (responseLength != nullptr) *responseLength = p;
    if (response != nullptr && p > 0) std::memcpy(response, reply.Data(), p);
    return RESULT_OK;
}

extern "C" ZELVORN_API int16_t Zelvorn_DirectSend(int16_t handle, uint8_t packetLength,
                                                  const uint8_t* packet, uint8_t* responseLength,
                                                  uint8_t* response) {
    if (packetLength > kMaxDirectPacket) return ERR_INVALID_PARAMETER;
    if (!Handle_InRange(handle)) return ERR_INVALID_HANDLE;
    // The transport sends as many data bytes as packet byte 1 says; more than
    // the packet holds would send whatever lies behind it.
    if (packet == nullptr || packetLength < kDirectPacketHeader ||
        packet[1] > packetLength - kDirectPacketHeader) {
        return ERR_INVALID_PARAMETER;
    }

    RequestBlock request{};
    request.frameType = kFrameCommand;
    request.length = packetLength;
    request.command = packet[0];
    request.dataLength = packet[1];
    if (packet[1] > 0) std::memcpy(request.data, packet + kDirectPacketHeader, packet[1]);

    Reply<kDirectReplyCapacity> reply;
    const std::int16_t result = Command_Run(handle, request, reply);
    if (result != RESULT_OK) return result;
    return DeliverDirectData(reply, responseLength, response);
}

extern "C" ZELVORN_API int16_t Zelvorn_DirectReceive(int16_t handle, uint8_t receiveLength,
                                                     uint8_t* responseLength, uint8_t* response) {
    if (receiveLength > kMaxDirectReceive) return ERR_INVALID_PARAMETER;
    if (!Handle_InRange(handle)) return ERR_INVALID_HANDLE;

    // The transport sends N data bytes whatever the command, so the receive
    // request carries N zero fillers.
    RequestBlock request{};
    request.frameType = kFrameReceive;
    request.length = 2;
    request.command = 0x00;
    request.dataLength = receiveLength;

    Reply<kDirectReplyCapacity> reply;
    const std::int16_t result = Command_Run(handle, request, reply);
    if (result != RESULT_OK) return result;
    return DeliverDirectData(reply, responseLength, response);
}

extern "C" ZELVORN_API int16_t Zelvorn_ReadATQB(int16_t handle, uint8_t* atqb) {
    if (!Handle_InRange(handle)) return ERR_INVALID_HANDLE;
    if (atqb == nullptr) return ERR_INVALID_PARAMETER;

    Reply<kDirectReplyCapacity> reply;
    const std::int16_t result = Command_Run(handle, kCmdReadAtqb, {}, reply);
    if (result != RESULT_OK) return result;
    const std::uint8_t p = reply.DeclaredDataLength();
    if (reply.Length() != p + 5u) return RESULT_OK;

    // A short ATQB delivers the bytes it has; the rest of the output reads as
    // zero rather than as whatever the caller's buffer held.
    const std::size_t available = p > kAtqbFirst ? p - kAtqbFirst : 0;
    const std::size_t copied = available < kAtqbBytes ? available : kAtqbBytes;
    std::memcpy(atqb, reply.Data() + kAtqbFirst, copied);
    std::memset(atqb + copied, 0, kAtqbBytes - copied);
    return RESULT_OK;
}
