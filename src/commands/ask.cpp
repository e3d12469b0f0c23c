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
static_assert(kSectorRead.expectedLength == kReplyDataOffset + kSectorSize &&
              kSectorMultiRead.expectedLength == kReplyDataOffset + kMultiReadSize);

// Runs one sector command and, on a reply of the expected length, replaces
// the caller's count bytes with the reply's data. Anything else leaves them
// as they were.
std::int16_t SectorExchange(std::int16_t handle, const CommandDescription& command,
                            std::initializer_list<std::uint8_t> data, std::uint8_t* sectorData,
                            std::size_t count) {
    Reply<kCommandReplyCapacity> reply;
    const std::int16_t result = Command_Run(handle, command.code, data, reply);
    if (result != RESULT_OK || !Reply_HasExpectedLength(reply, command)) return result;
    std::memcpy(sectorData, reply.Data(), count);
    return RESULT_OK;
}

// The sector buffer is required; a null one is refused before anything is
// sent rather than written through.
std::int16_t CheckArguments(std::int16_t handle, const std::uint8_t* sectorData) {
    if (!Handle_InRange(handle)) return ERR_INVALID_HANDLE;
    if (sectorData == nullptr) return ERR_INVALID_PARAMETER;
    return RESULT_OK;
}

}  // namespace
}  // namespace zelvorn

using namespace zelvorn;

extern "C" ZELVORN_API int16_t Zelvorn_ASKSectorRead(int16_t handle, uint8_t sector,
                                                     uint8_t* sectorData) {
    if (const std::int16_t refused = CheckArguments(handle, sectorData)) return refused;
    return SectorExchange(handle, kSectorRead, {sector}, sectorData, kSectorSize);
}

extern "C" ZELVORN_API int16_t Zelvorn_ASKSectorMultiRead(int16_t handle, uint8_t sector,
                                                          uint8_t* sectorData) {
    if (const std::int16_t refused = CheckArguments(handle, sectorData)) return refused;
    return SectorExchange(handle, kSectorMultiRead, {sector}, sectorData, kMultiReadSize);
}

extern "C" ZELVORN_API int16_t Zelvorn_ASKSectorWrite(int16_t handle, uint8_t sector,
                                                      uint8_t* sectorData, uint8_t writeMode) {
    if (const std::int16_t refused = CheckArguments(handle, sectorData)) return refused;
    // The reader reports two bytes after the write; they are handed back as
    // they came, not compared with what was written.
    const CommandDescription& command = writeMode == 0 ? kSectorWrite : kSectorWriteOtherMode;
    return SectorExchange(handle, command, {sector, sectorData[0], sectorData[1]}, sectorData,
                          kSectorSize);
}
