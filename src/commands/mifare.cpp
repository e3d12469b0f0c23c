// MIFARE Classic work: select one card, log in to a sector, read and write
// blocks, value-block arithmetic, and loading keys into the reader. Each
// function is one reader command; the reader does the card work itself, so
// sector, block and key numbers go out unchanged and its refusals come back
// as its status word.
#include <cstring>

#include "commands/command_path.h"
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

constexpr std::size_t kBlockBytes = 16;
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
    {KEYTYPE_A, true, 0xAA, false},         {KEYTYPE_B, true, 0xBB, false},
    {KEYTYPE_READER_A, false, 0xAA, false}, {KEYTYPE_READER_B, false, 0xBB, false},
    {KEYTYPE_READER_F, false, 0xFF, false}, {KEYTYPE_STORED_A, false, 0x10, true},
    {KEYTYPE_STORED_B, false, 0x30, true},
};

const LoginKeyType* FindLoginKeyType(std::uint8_t keyType) {
    for (const LoginKeyType& entry : kLoginKeyTypes) {
        if (entry.keyType == keyType) return &entry;
    }
    return nullptr;
}

// The last block of each sector holds its keys and access bits, which the
// card does not read back as written, so its echo proves nothing. Sectors
// have 4 blocks below block 128 and 16 from there on.
bool IsSectorTrailer(std::uint8_t block) {
    return block < 128 ? (block & 0x03) == 0x03 : (block & 0x0F) == 0x0F;
}

// A write command whose reply echoes the written bytes (everything sent
// after the block or key number) from reply byte 5 on. The first echoLength
// of them are compared; 0 compares nothing.
std::int16_t RunWrite(std::int16_t handle, const CommandDescription& command,
                      const std::uint8_t* request, std::size_t requestLength,
                      std::size_t echoLength) {
    Reply<kCommandReplyCapacity> reply;
    const std::int16_t result = Command_Run(handle, command.code, request, requestLength, reply);
    if (result != RESULT_OK || !Reply_HasExpectedLength(reply, command)) return result;
    if (std::memcmp(reply.Data(), request + 1, echoLength) != 0) return ERR_FAILURE;
    return RESULT_OK;
}

// A value command whose reply carries one value at reply byte 5.
std::int16_t RunValue(std::int16_t handle, const CommandDescription& command,
                      const std::uint8_t* request, std::size_t requestLength, std::int32_t* value) {
    Reply<kCommandReplyCapacity> reply;
    const std::int16_t result = Command_Run(handle, command.code, request, requestLength, reply);
    if (result != RESULT_OK || !Reply_HasExpectedLength(reply, command)) return result;
    if (value != nullptr) *value = Get32(reply.Data());
    return RESULT_OK;
}

std::int16_t RunArithmetic(std::int16_t handle, const CommandDescription& command,
                           std::uint8_t block, std::int32_t amount, std::int32_t* value) {
    if (!Handle_InRange(handle)) return ERR_INVALID_HANDLE;
    std::uint8_t request[1 + kValueBytes] = {block};
    Put32(request + 1, amount);
    return RunValue(handle, command, request, sizeof request, value);
}

}  // namespace
}  // namespace zelvorn

using namespace zelvorn;

extern "C" ZELVORN_API int16_t Zelvorn_Select(int16_t handle, uint8_t* cardType,
                                              uint8_t* serialLength, uint8_t* serialNumber) {
    if (!Handle_InRange(handle)) return ERR_INVALID_HANDLE;
    Reply<kCommandReplyCapacity> reply;
    const std::int16_t result = Command_Run(handle, kSelect.code, nullptr, 0, reply);
    if (result != RESULT_OK || !Reply_HasExpectedLength(reply, kSelect)) return result;
    CardEntry_Deliver(reply, kCardEntryOffset, cardType, serialLength, serialNumber);
    return RESULT_OK;
}

extern "C" ZELVORN_API int16_t Zelvorn_Login(int16_t handle, uint8_t sector, uint8_t keyType,
                                             uint8_t storedKeyNo, const uint8_t* key) {
    if (!Handle_InRange(handle)) return ERR_INVALID_HANDLE;
    const LoginKeyType* type = FindLoginKeyType(keyType);
    if (type == nullptr) return ERR_INVALID_PARAMETER;
    if (type->keyInRequest && key == nullptr) return ERR_INVALID_PARAMETER;

    std::uint8_t request[2 + kKeyBytes] = {sector, type->selector};
    std::size_t requestLength = 2;
    if (type->addsStoredKeyNo) {
        request[1] = static_cast<std::uint8_t>(type->selector + storedKeyNo);
    }
    if (type->keyInRequest) {
        std::memcpy(request + 2, key, kKeyBytes);
        requestLength += kKeyBytes;
    }
    // Only whether the reader authenticated counts; the reply carries nothing.
    Reply<kCommandReplyCapacity> reply;
    return Command_Run(handle, kLogin.code, request, requestLength, reply);
}

extern "C" ZELVORN_API int16_t Zelvorn_Read(int16_t handle, uint8_t block, uint8_t* data) {
    if (!Handle_InRange(handle)) return ERR_INVALID_HANDLE;
    if (data == nullptr) return ERR_INVALID_PARAMETER;
    Reply<kCommandReplyCapacity> reply;
    const std::int16_t result = Command_Run(handle, kRead.code, {block}, reply);
    if (result != RESULT_OK || !Reply_HasExpectedLength(reply, kRead)) return result;
    std::memcpy(data, reply.Data(), kBlockBytes);
    return RESULT_OK;
}

extern "C" ZELVORN_API int16_t Zelvorn_Write(int16_t handle, uint8_t block, const uint8_t* data) {
    if (!Handle_InRange(handle)) return ERR_INVALID_HANDLE;
    if (data == nullptr) return ERR_INVALID_PARAMETER;
    std::uint8_t request[1 + kBlockBytes] = {block};
    std::memcpy(request + 1, data, kBlockBytes);
    return RunWrite(handle, kWrite, request, sizeof request,
                    IsSectorTrailer(block) ? 0 : kBlockBytes);
}

extern "C" ZELVORN_API int16_t Zelvorn_ReadValue(int16_t handle, uint8_t block, int32_t* value) {
    if (!Handle_InRange(handle)) return ERR_INVALID_HANDLE;
    const std::uint8_t request[] = {block};
    return RunValue(handle, kReadValue, request, sizeof request, value);
}

extern "C" ZELVORN_API int16_t Zelvorn_WriteValue(int16_t handle, uint8_t block, int32_t value) {
    if (!Handle_InRange(handle)) return ERR_INVALID_HANDLE;
    std::uint8_t request[1 + kValueBytes] = {block};
    Put32(request + 1, value);
    // Equal bytes in the one big-endian encoding mean equal values.
    return RunWrite(handle, kWriteValue, request, sizeof request, kValueBytes);
}

extern "C" ZELVORN_API int16_t Zelvorn_Inc(int16_t handle, uint8_t block, int32_t amount,
                                           int32_t* value) {
    return RunArithmetic(handle, kInc, block, amount, value);
}

extern "C" ZELVORN_API int16_t Zelvorn_Dec(int16_t handle, uint8_t block, int32_t amount,
                                           int32_t* value) {
    return RunArithmetic(handle, kDec, block, amount, value);
}

extern "C" ZELVORN_API int16_t Zelvorn_Copy(int16_t handle, uint8_t sourceBlock,
                                            uint8_t targetBlock, int32_t* value) {
    if (!Handle_InRange(handle)) return ERR_INVALID_HANDLE;
    const std::uint8_t request[] = {sourceBlock, targetBlock};
    return RunValue(handle, kCopy, request, sizeof request, value);
}

extern "C" ZELVORN_API int16_t Zelvorn_WriteMasterKey(int16_t handle, uint8_t keyNo,
                                                      const uint8_t* key) {
    if (!Handle_InRange(handle)) return ERR_INVALID_HANDLE;
    if (key == nullptr) return ERR_INVALID_PARAMETER;
    std::uint8_t request[1 + kKeyBytes] = {keyNo};
    std::memcpy(request + 1, key, kKeyBytes);
    return RunWrite(handle, kWriteMasterKey, request, sizeof request, kKeyBytes);
}
