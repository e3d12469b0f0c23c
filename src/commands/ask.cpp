// Sector access on ASK tickets. Sector contents are raw bytes that keep the
// order in which they travel; the library forms no integers from them.
#include <cstring>

#include "commands/command_path.h"
#include "zelvorn.h"

namespace zelvorn {
namespace {

constexpr std::size_t kSectorSize = 2;
constexpr std::size_t kMultiReadSize = 8;

// A reply of the expected length carries exactly the sector bytes as data.
constexpr CommandDescription kSectorRead = Command_Described(kCmdAskRead);
constexpr CommandDescription kSectorMultiRead = Command_Described(kCmdAskMultiRead);
// The two write commands differ only inside the reader and the ticket.
constexpr CommandDescription kSectorWrite = Command_Described(kCmdAskWrite);
constexpr CommandDescription kSectorWriteOtherMode = Command_Described(kCmdAskWriteOtherMode);
static_assert(kSectorRead.expectedLength == reply_block::kData + kSectorSize &&
              kSectorMultiRead.expectedLength == reply_block::kData + kMultiReadSize);

// Runs one sector command and, on a reply of the expected length, replaces
// the caller's count bytes with the reply's data. Anything else leaves them
// as they were.
std::int16_t SectorExchange(const CommandCall& call, const CommandDescription& command,
                            std::initializer_list<std::uint8_t> data, std::uint8_t* sectorData,
                            std::size_t count) {
    Reply<kCommandReplyCapacity> reply;
    const CommandResult run = Command_Run(call, command, data, reply);
    if (!run.complete) return run.result;
    std::memcpy(sectorData, reply.Data(), count);
    return RESULT_OK;
}

}  // namespace
}  // namespace zelvorn

using namespace zelvorn;

// The sector buffer of all three is required; a null one is refused before
// anything is sent rather than written through.
extern "C" ZELVORN_API int16_t Zelvorn_ASKSectorRead(int16_t handle, uint8_t sector,
                                                     uint8_t* sectorData) {
    const CommandCall call = Command_Admit(handle, sectorData != nullptr);
    if (call.refusal != RESULT_OK) return call.refusal;
    return SectorExchange(call, kSectorRead, {sector}, sectorData, kSectorSize);
}

extern "C" ZELVORN_API int16_t Zelvorn_ASKSectorMultiRead(int16_t handle, uint8_t sector,
                                                          uint8_t* sectorData) {
    const CommandCall call = Command_Admit(handle, sectorData != nullptr);
    if (call.refusal != RESULT_OK) return call.refusal;
    return SectorExchange(call, kSectorMultiRead, {sector}, sectorData, kMultiReadSize);
}

extern "C" ZELVORN_API int16_t Zelvorn_ASKSectorWrite(int16_t handle, uint8_t sector,
                                                      uint8_t* sectorData, uint8_t writeMode) {
    const CommandCall call = Command_Admit(handle, sectorData != nullptr);
    if (call.refusal != RESULT_OK) return call.refusal;
    // The reader reports two bytes after the write; they are handed back as
    // they came, not compared with what was written.
    const CommandDescription& command = writeMode == 0 ? kSectorWrite : kSectorWriteOtherMode;
    return SectorExchange(call, command, {sector, sectorData[0], sectorData[1]}, sectorData,
                          kSectorSize);
}
