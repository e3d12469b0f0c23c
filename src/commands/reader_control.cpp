// Commands that work on the reader itself: reset, status report, RF field,
// front-end registers, EEPROM, user port, and the library's version text.
#include <cstring>

#include "commands/command_path.h"
#include "commands/door.h"
#include "zelvorn.h"
#include "zelvorn_version.h"

namespace zelvorn {
namespace {

// Every reply of this family carries at most one data byte, except the
// status report with its 20-byte status block and 10-byte record.
constexpr CommandDescription kReset = Command_Described(kCmdReset);
constexpr CommandDescription kStatus = Command_Described(kCmdStatus);
constexpr CommandDescription kFieldOff = Command_Described(kCmdFieldOff);
constexpr CommandDescription kFieldOn = Command_Described(kCmdFieldOn);
constexpr CommandDescription kReadEeprom = Command_Described(kCmdReadEeprom);
constexpr CommandDescription kWriteEeprom = Command_Described(kCmdWriteEeprom);
constexpr CommandDescription kReadUserPort = Command_Described(kCmdReadUserPort);
constexpr CommandDescription kWriteUserPort = Command_Described(kCmdWriteUserPort);
constexpr CommandDescription kReadRegister = Command_Described(kCmdReadRegister);
constexpr CommandDescription kWriteRegister = Command_Described(kCmdWriteRegister);

constexpr std::size_t kStatusReplyCapacity = 40;
constexpr std::size_t kStatusBlockSize = 20;
constexpr std::size_t kStatusBlockAt = reply_block::kData;
constexpr std::size_t kStatusRecordAt = kStatusBlockAt + kStatusBlockSize;
// The byte that a one-byte read delivers and a one-byte write echoes.
constexpr std::size_t kValueAt = reply_block::kData;

constexpr char kVersionText[] = "Zelvorn DLL " ZELVORN_VERSION_STRING;
// Callers provide 20 bytes for the text, its terminating zero included.
constexpr std::size_t kVersionTextSize = 20;
static_assert(sizeof kVersionText == kVersionTextSize,
              "the version text must fill exactly the caller's 20 bytes");

// One byte read from the reader into an optional output.
std::int16_t ReadByte(const CommandCall& call, const CommandDescription& command,
                      std::initializer_list<std::uint8_t> data, std::uint8_t* value) {
    Reply<kCommandReplyCapacity> reply;
    const CommandResult run = Command_Run(call, command, data, reply);
    if (!run.complete) return run.result;
    if (value != nullptr) *value = reply.At(kValueAt);
    return RESULT_OK;
}

// One value written; the reader must echo it back. A reply of another length
// carries no echo and is taken as done.
std::int16_t WriteByte(const CommandCall& call, const CommandDescription& command,
                       std::initializer_list<std::uint8_t> data, std::uint8_t echo) {
    Reply<kCommandReplyCapacity> reply;
    const CommandResult run = Command_Run(call, command, data, reply);
    if (!run.complete) return run.result;
    return reply.At(kValueAt) == echo ? RESULT_OK : ERR_FAILURE;
}

// The record's wide fields arrive big-endian and are stored in host order.
// They are assembled by value, so the host's byte order never enters; the
// packed fields are assigned whole, which the compiler does unaligned.
ReaderStatusRecord StatusRecordOf(const ReplyBuffer& reply) {
    const std::uint8_t* in = reply.Bytes() + kStatusRecordAt;
    ReaderStatusRecord record{};
    record.statusA = in[0];
    record.statusB = static_cast<std::uint32_t>(Get32(in + 1));
    record.statusC = in[5];
    record.statusD = in[6];
    record.statusE = in[7];
    record.statusF = static_cast<std::uint16_t>((in[8] << 8) | in[9]);
    return record;
}

}  // namespace

CommandResult door::Field(std::int16_t handle, bool on) {
    Reply<kCommandReplyCapacity> reply;
    const CommandResult run =
        Command_Run(Command_Admit(handle), on ? kFieldOn : kFieldOff, {}, reply);
    if (run.complete && reply.At(kValueAt) != (on ? 1 : 0)) return {ERR_FAILURE, false};
    return run;
}

bool door::LinkLost(std::int16_t handle) {
    const ReaderContext* reader = ReaderTable_Lookup(handle);
    return reader == nullptr || reader->linkFailed;
}

}  // namespace zelvorn

using namespace zelvorn;

extern "C" ZELVORN_API int16_t Zelvorn_Reset(int16_t handle) {
    // The reset answers with whatever the firmware has to say after a
    // restart, so only its status counts.
    Reply<kCommandReplyCapacity> reply;
    return Command_Run(Command_Admit(handle), kReset, {}, reply).result;
}

extern "C" ZELVORN_API int16_t Zelvorn_Status(int16_t handle, uint8_t* statusBlock,
                                              ReaderStatusRecord* statusRecord) {
    Reply<kStatusReplyCapacity> reply;
    const CommandResult run = Command_Run(Command_Admit(handle), kStatus, {}, reply);
    if (!run.complete) return run.result;
    if (statusBlock != nullptr) {
        std::memcpy(statusBlock, reply.Bytes() + kStatusBlockAt, kStatusBlockSize);
    }
    if (statusRecord != nullptr) {
        const ReaderStatusRecord record = StatusRecordOf(reply);
        std::memcpy(statusRecord, &record, sizeof record);
    }
    return RESULT_OK;
}

extern "C" ZELVORN_API int16_t Zelvorn_Power(int16_t handle, int8_t state) {
    const CommandCall call = Command_Admit(handle, state == 0 || state == 1);
    if (call.refusal != RESULT_OK) return call.refusal;
    return WriteByte(call, state == 0 ? kFieldOff : kFieldOn, {}, static_cast<std::uint8_t>(state));
}

extern "C" ZELVORN_API int16_t Zelvorn_ReadRC500Reg(int16_t handle, uint8_t regNo, uint8_t* value) {
    return ReadByte(Command_Admit(handle), kReadRegister, {regNo}, value);
}

extern "C" ZELVORN_API int16_t Zelvorn_WriteRC500Reg(int16_t handle, uint8_t regNo, uint8_t value) {
    return WriteByte(Command_Admit(handle), kWriteRegister, {regNo, value}, value);
}

extern "C" ZELVORN_API int16_t Zelvorn_ReadEEPROM(int16_t handle, uint8_t address, uint8_t* value) {
    return ReadByte(Command_Admit(handle), kReadEeprom, {address}, value);
}

extern "C" ZELVORN_API int16_t Zelvorn_WriteEEPROM(int16_t handle, uint8_t address, uint8_t value) {
    return WriteByte(Command_Admit(handle), kWriteEeprom, {address, value}, value);
}

extern "C" ZELVORN_API int16_t Zelvorn_ReadUserPort(int16_t handle, uint8_t* portState) {
    return ReadByte(Command_Admit(handle), kReadUserPort, {}, portState);
}

extern "C" ZELVORN_API int16_t Zelvorn_WriteUserPort(int16_t handle, uint8_t portState) {
    // Only the output bits are the caller's to set; the reader echoes what it
    // was sent, so the echo is compared with the masked byte.
    const auto masked = static_cast<std::uint8_t>(portState & kUserPortOutputs);
    return WriteByte(Command_Admit(handle), kWriteUserPort, {masked}, masked);
}

extern "C" ZELVORN_API int16_t Zelvorn_RequestDLLVersion(uint8_t* versionLength,
                                                         char* versionText) {
    if (versionLength != nullptr) *versionLength = static_cast<std::uint8_t>(kVersionTextSize);
    if (versionText != nullptr) std::memcpy(versionText, kVersionText, kVersionTextSize);
    return RESULT_OK;
}
