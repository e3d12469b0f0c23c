// The process-wide table of open readers: a handle is the number of a slot.
#pragma once

#include <cstdint>

#include "readers/reader_context.h"

namespace zelvorn {

constexpr std::uint16_t kReaderSlots = 20;

// Handles are range-checked as unsigned 16-bit numbers so that every negative
// handle falls outside the table too.
inline bool Handle_InRange(std::int16_t handle) {
    return static_cast<std::uint16_t>(handle) < kReaderSlots;
}

// The reader in a handle's slot; null for an empty slot or a handle out of
// range.
ReaderContext* ReaderTable_Lookup(std::int16_t handle);

// Puts an opened reader into the empty slot of an in-range handle.
void ReaderTable_Store(std::int16_t handle, ReaderContext* reader);

// Empties a handle's slot and hands back the reader it held, or null.
ReaderContext* ReaderTable_Remove(std::int16_t handle);

}  // namespace zelvorn
