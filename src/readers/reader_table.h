// The process-wide table of open readers.
#pragma once

#include <cstdint>

#include "platform/platform.h"

namespace zelvorn {

constexpr std::uint16_t kReaderSlots = 20;

// One open reader: the platform handles and the interrupt pipe its replies
// arrive on. Owned by its slot from Zelvorn_Open to Zelvorn_Close.
struct ReaderContext {
    PlatformFile* file;
    PlatformUsb* usb;
    std::uint8_t pipeId;
};

// Handles are range-checked as unsigned 16-bit numbers so that every negative
// handle falls outside the table too.
inline bool Handle_InRange(std::int16_t handle) {
    return static_cast<std::uint16_t>(handle) < kReaderSlots;
}

// The context in a range-checked slot, or null when the slot is empty.
ReaderContext* ReaderTable_Lookup(std::int16_t handle);

// Opens the reader at a device path into an empty slot and resets it, as
// Zelvorn_Open does for the port-th reader found. For callers that are told
// which device to drive (the PC/SC driver gets the device node from pcscd).
// Returns the port; ERR_DEVICE_BUSY when the slot is taken or the system
// refuses access; ERR_OPEN_FAILED otherwise.
std::int16_t Reader_OpenPath(std::int16_t port, const PathChar* path);

// Empties every slot without releasing anything: what loading the library does.
void ReaderTable_Clear();

}  // namespace zelvorn
