// Zelvorn_Open and Zelvorn_Close: a reader found by its port number, opened,
// bound and put into the reader table under a handle equal to the port; and
// taken out and released again.
#include <new>

#include "commands/door.h"
#include "commands/protocol_table.h"
#include "readers/reader_table.h"
#include "transport/transport.h"
#include "zelvorn.h"

namespace zelvorn {
namespace {

// Releases what a failed open acquired, the USB binding before the file.
std::int16_t AbandonOpen(const PlatformOps& ops, PlatformFile* file, PlatformUsb* usb,
                         std::int16_t result = ERR_OPEN_FAILED) {
    if (usb != nullptr) ops.releaseInterface(usb);
    ops.closeFile(file);
    return result;
}

// The first interrupt pipe whose address has the IN bit set.
bool FindInterruptIn(const PlatformOps& ops, PlatformUsb* usb, std::uint8_t endpointCount,
                     std::uint8_t* pipeId) {
    for (std::uint8_t i = 0; i < endpointCount; ++i) {
        PipeInfo pipe{};
        if (ops.queryPipe(usb, i, &pipe) && pipe.type == kPipeInterrupt &&
            (pipe.id & kEndpointIn) != 0) {
            *pipeId = pipe.id;
            return true;
        }
    }
    return false;
}

// Opens the reader at a device path into the empty slot of an in-range
// port and resets it. Returns the port; ERR_DEVICE_BUSY when the slot is
// taken or the system refuses access; ERR_OPEN_FAILED otherwise.
std::int16_t OpenPath(std::int16_t port, const PathChar* path) {
    if (!Handle_InRange(port) || path == nullptr) return ERR_OPEN_FAILED;
    if (ReaderTable_Lookup(port) != nullptr) return ERR_DEVICE_BUSY;
    const PlatformOps& ops = Platform_Default();

    PlatformFile* file = nullptr;
    switch (ops.openPath(path, &file)) {
        case OpenOutcome::Ok:
            break;
        case OpenOutcome::AccessDenied:
            return ERR_DEVICE_BUSY;
        default:
            return ERR_OPEN_FAILED;
    }

    PlatformUsb* usb = nullptr;
    switch (ops.bindInterface(file, &usb)) {
        case OpenOutcome::Ok:
            break;
        case OpenOutcome::AccessDenied:
            return AbandonOpen(ops, file, nullptr, ERR_DEVICE_BUSY);
        default:
            return AbandonOpen(ops, file, nullptr);
    }

    std::uint8_t endpointCount = 0;
    if (!ops.queryEndpointCount(usb, &endpointCount) || endpointCount == 0) {
        return AbandonOpen(ops, file, usb);
    }
    std::uint8_t pipeId = 0;
    if (!FindInterruptIn(ops, usb, endpointCount, &pipeId)) return AbandonOpen(ops, file, usb);

    auto* reader = new (std::nothrow) ReaderContext{file, usb, pipeId};
    if (reader == nullptr) return AbandonOpen(ops, file, usb);
    ReaderTable_Store(port, reader);

    // The reader starts every session from its power-on state; whether it
    // answers the reset is not the open's concern.
    std::uint8_t replyLength = 0;
    std::uint8_t reply[kCommandReplyCapacity];
    (void)Transport_Exchange(*reader, Request_Make(kCmdReset, nullptr, 0), &replyLength, reply,
                             sizeof reply);
    return port;
}

}  // namespace
}  // namespace zelvorn

using namespace zelvorn;

extern "C" ZELVORN_API int16_t Zelvorn_Open(int16_t port) {
    if (!Handle_InRange(port)) return ERR_OPEN_FAILED;
    if (ReaderTable_Lookup(port) != nullptr) return port;

    PathChar path[kDevicePathChars] = {};
    if (!Platform_Default().findPath(path, static_cast<std::uint16_t>(port))) {
        return ERR_OPEN_FAILED;
    }
    return OpenPath(port, path);
}

extern "C" ZELVORN_API int16_t Zelvorn_Close(int16_t handle) {
    // The slot is emptied before anything is released so that the table never
    // points at a half-closed reader.
    ReaderContext* reader = ReaderTable_Remove(handle);
    if (reader == nullptr) return ERR_INVALID_HANDLE;
    const PlatformOps& ops = Platform_Default();
    ops.releaseInterface(reader->usb);
    ops.closeFile(reader->file);
    delete reader;
    return RESULT_OK;
}

std::int16_t zelvorn::door::Open(const PathChar* path, std::int16_t slot) {
    if (slot >= 0) return OpenPath(slot, path);
    for (std::int16_t free = 0; free < static_cast<std::int16_t>(kReaderSlots); ++free) {
        if (ReaderTable_Lookup(free) == nullptr) return OpenPath(free, path);
    }
    return ERR_DEVICE_BUSY;
}

void zelvorn::door::Close(std::int16_t handle) {
    (void)Zelvorn_Close(handle);
}
