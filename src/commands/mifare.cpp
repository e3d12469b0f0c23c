// MIFARE Classic work: select one card, log in to a sector, read and write
// blocks, value-block arithmetic, and loading keys into the reader. Each
// function is one reader command; the reader does the card work itself, so
// sector, block and key numbers go out unchanged and its refusals come back
// as its status word.
#include <cstring>

#include "commands/command_path.h"
#include "commands/door.h"
#include "mifare/classic.h"
#include "zelvorn.h"

namespace zelvorn {
namespace {

constexpr CommandDescription kSelect = Command_Described(kCmdSelect);
constexpr CommandDescription kLogin = Command_Described(kCmdLogin);
constexpr CommandDescription kRead = Command_Described(kCmdReadBlock);
constexpr CommandDescription kReadValue = Command_Described(kCmdReadValue);
constexpr CommandDescription kWrite = Command_Described(kCmdWriteBlock);
constexpr CommandDescription kWriteValue = Command_Described(kCmdWriteValue);
constexpr CommandDescription kWriteMasterKey = Command_Described(kCmdLoadKey);
constexpr CommandDescription kInc = Command_Described(kCmdIncrement);
constexpr CommandDescription kDec = Command_Described(kCmdDecrement);
constexpr CommandDescription kCopy = Command_Described(kCmdCopyValue);

constexpr std::size_t kKeyBytes = 6;
constexpr std::size_t kValueBytes = 4;

// How a login key type travels. The long form carries the key itself, with
// the key type as its selector; the short forms name a key the reader holds,
// the stored-key types by adding the caller's key number to a base.
struct LoginKeyType {
    std::uint8_t keyType;
    bool keyInRequest;
    std::uint8_t selector;  // the selector byte, or the base of the stored keys
    bool addsStoredKeyNo;
};

constexpr LoginKeyType kLoginKeyTypes[] = {
    {KEYTYPE_A, true, kKeySelectorA, false},
    {KEYTYPE_B, true, kKeySelectorB, false},
    {KEYTYPE_READER_A, false, kKeySelectorA, false},
    {KEYTYPE_READER_B, false, kKeySelectorB, false},
    {KEYTYPE_READER_F, false, kKeySelectorF, false},
    {KEYTYPE_STORED_A, false, kKeySelectorStoredA, true},
    {KEYTYPE_STORED_B, false, kKeySelectorStoredB, true},
};

const LoginKeyType* FindLoginKeyType(std::uint8_t keyType) {
    for (const LoginKeyType& entry : kLoginKeyTypes) {
        if (entry.keyType == keyType) return &entry;
    }
    return nullptr;
}

// A write command whose reply echoes the written bytes (everything sent
// after the block or key number) from the reply data on. The first
// echoLength of them are compared; 0 compares nothing. Not complete when the
// reply has another length: nothing was verified then.
CommandResult RunWrite(const CommandCall& call, const CommandDescription& command,
                       const std::uint8_t* request, std::size_t requestLength,
                       std::size_t echoLength) {
    Reply<kCommandReplyCapacity> reply;
    const CommandResult run = Command_Run(call, command, request, requestLength, reply);
    if (!run.complete) return run;
    if (std::memcmp(reply.Data(), request + 1, echoLength) != 0) return {ERR_FAILURE, false};
    return run;
}

// A value command whose reply data is one value.
CommandResult RunValue(const CommandCall& call, const CommandDescription& command,
                       const std::uint8_t* request, std::size_t requestLength,
                       std::int32_t* value) {
    Reply<kCommandReplyCapacity> reply;
    const CommandResult run = Command_Run(call, command, request, requestLength, reply);
    if (run.complete && value != nullptr) *value = Get32(reply.Data());
    return run;
}

CommandResult RunArithmetic(std::int16_t handle, const CommandDescription& command,
                            std::uint8_t block, std::int32_t amount, std::int32_t* value) {
    std::uint8_t request[1 + kValueBytes] = {block};
    Put32(request + 1, amount);
    return RunValue(Command_Admit(handle), command, request, sizeof request, value);
}

CommandResult Refused(const CommandCall& call) {
    return {call.refusal, false};
}

}  // namespace

// The command functions; the exports below hand on their results.
namespace door {

CommandResult Select(std::int16_t handle, CardEntry& card) {
    Reply<kCommandReplyCapacity> reply;
    const CommandResult run = Command_Run(Command_Admit(handle), kSelect, {}, reply);
    if (run.complete) {
        CardEntry_Deliver(reply, kCardEntryOffset, &card.type, &card.serialLength, card.serial);
    }
    return run;
}

CommandResult Login(std::int16_t handle, std::uint8_t sector, std::uint8_t keyType,
                    std::uint8_t storedKeyNo, const std::uint8_t* key) {
    const LoginKeyType* type = FindLoginKeyType(keyType);
    const CommandCall call =
        Command_Admit(handle, type != nullptr && (!type->keyInRequest || key != nullptr));
    if (call.refusal != RESULT_OK) return Refused(call);

    std::uint8_t request[2 + kKeyBytes] = {sector, type->selector};
    std::size_t requestLength = 2;
    if (type->addsStoredKeyNo) {
        request[1] = static_cast<std::uint8_t>(type->selector + storedKeyNo);
    }
    if (type->keyInRequest) {
        std::memcpy(request + 2, key, kKeyBytes);
        requestLength += kKeyBytes;
    }
    // Only whether the reader authenticated counts; the reply carries
    // nothing, so any length completes it.
    Reply<kCommandReplyCapacity> reply;
    const CommandResult run = Command_Run(call, kLogin, request, requestLength, reply);
    return {run.result, run.result == RESULT_OK};
}

CommandResult ReadBlock(std::int16_t handle, std::uint8_t block, std::uint8_t* data) {
    const CommandCall call = Command_Admit(handle, data != nullptr);
    if (call.refusal != RESULT_OK) return Refused(call);
    Reply<kCommandReplyCapacity> reply;
    const CommandResult run = Command_Run(call, kRead, {block}, reply);
    if (run.complete) std::memcpy(data, reply.Data(), kBlockBytes);
    return run;
}

CommandResult WriteBlock(std::int16_t handle, std::uint8_t block, const std::uint8_t* data) {
    const CommandCall call = Command_Admit(handle, data != nullptr);
    if (call.refusal != RESULT_OK) return Refused(call);
    std::uint8_t request[1 + kBlockBytes] = {block};
    std::memcpy(request + 1, data, kBlockBytes);
    // A sector trailer holds keys and access bits, which the card does not
    // read back as written, so its echo proves nothing.
    return RunWrite(call, kWrite, request, sizeof request,
                    mifare::IsTrailer(block) ? 0 : kBlockBytes);
}

CommandResult Increment(std::int16_t handle, std::uint8_t block, std::int32_t amount,
                        std::int32_t* value) {
    return RunArithmetic(handle, kInc, block, amount, value);
}

CommandResult Decrement(std::int16_t handle, std::uint8_t block, std::int32_t amount,
                        std::int32_t* value) {
    return RunArithmetic(handle, kDec, block, amount, value);
}

CommandResult LoadKey(std::int16_t handle, std::uint8_t keyNo, const std::uint8_t* key) {
    const CommandCall call = Command_Admit(handle, key != nullptr);
    if (call.refusal != RESULT_OK) return Refused(call);
    std::uint8_t request[1 + kKeyBytes] = {keyNo};
    std::memcpy(request + 1, key, kKeyBytes);
    return RunWrite(call, kWriteMasterKey, request, sizeof request, kKeyBytes);
}

}  // namespace door
}  // namespace zelvorn

using namespace zelvorn;

extern "C" ZELVORN_API int16_t Zelvorn_Select(int16_t handle, uint8_t* cardType,
                                              uint8_t* serialLength, uint8_t* serialNumber) {
    door::CardEntry card;
    const CommandResult run = door::Select(handle, card);
    if (!run.Delivered()) return run.result;
    if (cardType != nullptr) *cardType = card.type;
    if (serialLength != nullptr) *serialLength = card.serialLength;
    if (serialNumber != nullptr) std::memcpy(serialNumber, card.serial, kSerialField);
    return RESULT_OK;
}

extern "C" ZELVORN_API int16_t Zelvorn_Login(int16_t handle, uint8_t sector, uint8_t keyType,
                                             uint8_t storedKeyNo, const uint8_t* key) {
    return door::Login(handle, sector, keyType, storedKeyNo, key).result;
}

extern "C" ZELVORN_API int16_t Zelvorn_Read(int16_t handle, uint8_t block, uint8_t* data) {
    return door::ReadBlock(handle, block, data).result;
}

extern "C" ZELVORN_API int16_t Zelvorn_Write(int16_t handle, uint8_t block, const uint8_t* data) {
    return door::WriteBlock(handle, block, data).result;
}

extern "C" ZELVORN_API int16_t Zelvorn_ReadValue(int16_t handle, uint8_t block, int32_t* value) {
    const std::uint8_t request[] = {block};
    return RunValue(Command_Admit(handle), kReadValue, request, sizeof request, value).result;
}

extern "C" ZELVORN_API int16_t Zelvorn_WriteValue(int16_t handle, uint8_t block, int32_t value) {
    std::uint8_t request[1 + kValueBytes] = {block};
    Put32(request + 1, value);
    // Equal bytes in the one big-endian encoding mean equal values.
    return RunWrite(Command_Admit(handle), kWriteValue, request, sizeof request, kValueBytes)
        .result;
}

extern "C" ZELVORN_API int16_t Zelvorn_Inc(int16_t handle, uint8_t block, int32_t amount,
                                           int32_t* value) {
    return door::Increment(handle, block, amount, value).result;
}

extern "C" ZELVORN_API int16_t Zelvorn_Dec(int16_t handle, uint8_t block, int32_t amount,
                                           int32_t* value) {
    return door::Decrement(handle, block, amount, value).result;
}

extern "C" ZELVORN_API int16_t Zelvorn_Copy(int16_t handle, uint8_t sourceBlock,
                                            uint8_t targetBlock, int32_t* value) {
    const std::uint8_t request[] = {sourceBlock, targetBlock};
    return RunValue(Command_Admit(handle), kCopy, request, sizeof request, value).result;
}

extern "C" ZELVORN_API int16_t Zelvorn_WriteMasterKey(int16_t handle, uint8_t keyNo,
                                                      const uint8_t* key) {
    return door::LoadKey(handle, keyNo, key).result;
}
