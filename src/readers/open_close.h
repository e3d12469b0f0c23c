// Opening a reader the caller names by its device path, for callers that are
// told which device to drive. Zelvorn_Open and Zelvorn_Close themselves are
// in open_close.cpp beside it.
#pragma once

#include <cstdint>

#include "platform/platform.h"

namespace zelvorn {

// Opens the reader at a device path into an empty slot and resets it, as
// Zelvorn_Open does for the port-th reader found (the PC/SC driver gets the
// device node from pcscd). Returns the port; ERR_DEVICE_BUSY when the slot is
// taken or the system refuses access; ERR_OPEN_FAILED otherwise.
std::int16_t Reader_OpenPath(std::int16_t port, const PathChar* path);

}  // namespace zelvorn
