// Several cards and raw access: listing the cards in the field, selecting one
// by serial number, raw telegrams to the card, caller-built reader commands
// and the ATQB of a type B card.
#include <cstring>

#include "commands/command_path.h"
#include "commands/door.h"
#include "commands/telegram.h"
#include "zelvorn.h"

namespace zelvorn {
namespace {

// Reply buffers of the six commands.
constexpr std::size_t kListReplyCapacity = 352;
constexpr std::size_t kDirectReplyCapacity = 64;

// The list's reply length follows the count it carries; the select reply is
// a tag list with exactly one entry. The direct commands and the ATQB are
// complete when they are as long as the data they declare.
constexpr CommandDescription kList = Command_Described(kCmdListOrSelect);
constexpr CommandDescription kSelectBySerial{kCmdListOrSelect, kCardEntryOffset + kCardEntrySize};
constexpr CommandDescription kReadAtqb = Command_Described(kCmdReadAtqb);
static_assert(kReadAtqb.expectedLength == kLengthAsDeclared);

// A list reply carries the number of cards as its first data byte.
constexpr std::size_t kListCountAt = reply_block::kData;

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
std::int16_t DeliverDirectData(const ReplyBuffer& reply, const CommandResult& run,
                               std::uint8_t* responseLength, std::uint8_t* response) {
    if (run.result != RESULT_OK) return run.result;
    const std::uint8_t p = reply.DeclaredDataLength();
    if (responseLength != nullptr) {
        *responseLength = p;
        if (!run.complete) return RESULT_OK;
    } else if (response != nullptr && !reply.DeclaredDataReceived()) {
        return ERR_FAILURE;
    }
    if (response != nullptr && p > 0) std::memcpy(response, reply.Data(), p);
    return RESULT_OK;
}

// The list reply as it came, or the refusal: the export hands on the
// entries as the reply has them, the door only a list that is whole.
struct ListRun {
    CommandResult run;
    std::uint8_t count;
};

ListRun RunList(std::int16_t handle, ReplyBuffer& reply) {
    const CommandResult run = Command_Run(Command_Admit(handle), kList, {}, reply);
    if (run.result != RESULT_OK) return {run, 0};
    // A reply without even a count lists nothing.
    if (reply.Length() <= kListCountAt) return {{RESULT_OK, false}, 0};
    const std::uint8_t count = reply.At(kListCountAt);
    if (count > (reply.Length() - kCardEntryOffset) / kCardEntrySize) {
        return {{ERR_FAILURE, false}, 0};
    }
    return {{RESULT_OK, true}, count};
}

}  // namespace

namespace door {

CommandResult ListCards(std::int16_t handle, CardList& list) {
    Reply<kListReplyCapacity> reply;
    const ListRun listed = RunList(handle, reply);
    if (!listed.run.Delivered()) return listed.run;
    if (listed.count > kMaxListedCards) return {ERR_FAILURE, false};
    list.count = listed.count;
    for (std::size_t i = 0; i < listed.count; ++i) {
        CardEntry& card = list.cards[i];
        CardEntry_Deliver(reply, kCardEntryOffset + kCardEntrySize * i, &card.type,
                          &card.serialLength, card.serial);
    }
    return listed.run;
}

CommandResult SelectBySerial(std::int16_t handle, const std::uint8_t* serial,
                             std::uint8_t serialLength, CardEntry* card) {
    if (!SerialLengthAllowed(serialLength)) return {ERR_INVALID_PARAMETER, false};
    const CommandCall call = Command_Admit(handle, serial != nullptr);
    if (call.refusal != RESULT_OK) return {call.refusal, false};

    std::uint8_t data[1 + kSerialField];
    data[0] = serialLength;
    std::memcpy(data + 1, serial, serialLength);

    Reply<kCommandReplyCapacity> reply;
    const CommandResult run = Command_Run(call, kSelectBySerial, data, 1u + serialLength, reply);
    if (run.complete && card != nullptr) {
        CardEntry_Deliver(reply, kCardEntryOffset, &card->type, &card->serialLength, card->serial);
    }
    return run;
}

CommandResult ReadAtqb(std::int16_t handle, std::uint8_t* atqb, std::size_t capacity,
                       std::uint8_t& length) {
    const CommandCall call = Command_Admit(handle, atqb != nullptr);
    if (call.refusal != RESULT_OK) return {call.refusal, false};
    Reply<kDirectReplyCapacity> reply;
    const CommandResult run = Command_Run(call, kReadAtqb, {}, reply);
    if (!run.complete) return run;
    const std::uint8_t p = reply.DeclaredDataLength();
    if (p > capacity) return {ERR_FAILURE, false};
    std::memcpy(atqb, reply.Data(), p);
    length = p;
    return run;
}

}  // namespace door
}  // namespace zelvorn

using namespace zelvorn;

extern "C" ZELVORN_API int16_t Zelvorn_ListTags(int16_t handle, uint8_t* tagCount,
                                                uint8_t* cardTypes, uint8_t* serialLengths,
                                                uint8_t* serialNumbers) {
    Reply<kListReplyCapacity> reply;
    const ListRun listed = RunList(handle, reply);
    // A reply without even a count lists nothing, whatever the caller passed.
    if (!listed.run.Delivered()) return listed.run.result;
    const std::uint8_t count = listed.count;

    // The outputs are tested only now that the reader has answered.
    if (tagCount == nullptr) return ERR_INVALID_PARAMETER;
    *tagCount = count;
    if (cardTypes == nullptr || serialLengths == nullptr || serialNumbers == nullptr) {
        return ERR_INVALID_PARAMETER;
    }
    for (std::size_t i = 0; i < count; ++i) {
        CardEntry_Deliver(reply, kCardEntryOffset + kCardEntrySize * i, cardTypes + i,
                          serialLengths + i, serialNumbers + kSerialField * i);
    }
    return RESULT_OK;
}

extern "C" ZELVORN_API int16_t Zelvorn_MultiTagSelect(int16_t handle, uint8_t targetSerialLength,
                                                      const uint8_t* targetSerialNumber,
                                                      uint8_t* cardType, uint8_t* serialLength,
                                                      uint8_t* serialNumber) {
    door::CardEntry card;
    const CommandResult run =
        door::SelectBySerial(handle, targetSerialNumber, targetSerialLength, &card);
    if (!run.Delivered()) return run.result;
    if (cardType != nullptr) *cardType = card.type;
    if (serialLength != nullptr) *serialLength = card.serialLength;
    if (serialNumber != nullptr) std::memcpy(serialNumber, card.serial, kSerialField);
    return RESULT_OK;
}

extern "C" ZELVORN_API int16_t Zelvorn_TxDataTelegram(int16_t handle, uint8_t telegramLength,
                                                      const uint8_t* telegram,
                                                      uint8_t* responseLength, uint8_t* response) {
    const CommandCall call = Command_Admit(
        handle, telegramLength <= kMaxRequestData && (telegram != nullptr || telegramLength == 0));
    if (call.refusal != RESULT_OK) return call.refusal;

    Reply<kTelegramReplyCapacity> reply;
    const std::int16_t result = Telegram_Exchange(call, telegram, telegramLength, reply);
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
    // The transport sends as many data bytes as packet byte 1 says; more than
    // the packet holds would send whatever lies behind it.
    const CommandCall call =
        Command_Admit(handle, packet != nullptr && packetLength >= kDirectPacketHeader &&
                                  packet[1] <= packetLength - kDirectPacketHeader);
    if (call.refusal != RESULT_OK) return call.refusal;

    RequestBlock request{};
    request.frameType = kFrameCommand;
    request.length = packetLength;
    request.command = packet[0];
    request.dataLength = packet[1];
    if (packet[1] > 0) std::memcpy(request.data, packet + kDirectPacketHeader, packet[1]);

    Reply<kDirectReplyCapacity> reply;
    const CommandResult run = Command_Run(call, request, reply);
    return DeliverDirectData(reply, run, responseLength, response);
}

extern "C" ZELVORN_API int16_t Zelvorn_DirectReceive(int16_t handle, uint8_t receiveLength,
                                                     uint8_t* responseLength, uint8_t* response) {
    if (receiveLength > kMaxDirectReceive) return ERR_INVALID_PARAMETER;

    // The transport sends N data bytes whatever the command, so the receive
    // request carries N zero fillers.
    RequestBlock request{};
    request.frameType = kFrameReceive;
    request.length = 2;
    request.command = kReceiveCommand;
    request.dataLength = receiveLength;

    Reply<kDirectReplyCapacity> reply;
    const CommandResult run = Command_Run(Command_Admit(handle), request, reply);
    return DeliverDirectData(reply, run, responseLength, response);
}

extern "C" ZELVORN_API int16_t Zelvorn_ReadATQB(int16_t handle, uint8_t* atqb) {
    const CommandCall call = Command_Admit(handle, atqb != nullptr);
    if (call.refusal != RESULT_OK) return call.refusal;

    Reply<kDirectReplyCapacity> reply;
    const CommandResult run = Command_Run(call, kReadAtqb, {}, reply);
    if (!run.complete) return run.result;

    // A short ATQB delivers the bytes it has; the rest of the output reads as
    // zero rather than as whatever the caller's buffer held.
    const std::uint8_t p = reply.DeclaredDataLength();
    const std::size_t available = p > kAtqbFirst ? p - kAtqbFirst : 0;
    const std::size_t copied = available < kAtqbBytes ? available : kAtqbBytes;
    std::memcpy(atqb, reply.Data() + kAtqbFirst, copied);
    std::memset(atqb + copied, 0, kAtqbBytes - copied);
    return RESULT_OK;
}
