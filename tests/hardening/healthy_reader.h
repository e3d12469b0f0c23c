// A reader and card that answer every command as they should, on the
// allocation-free stand-in: what the soak and the allocation count drive.
#pragma once

#include <cstddef>
#include <cstdint>

namespace zelvorn::hardening {

// Installs the healthy reader on the stand-in (one reader at port 0).
void HealthyReader_Install();

// One command of a mixed workload, chosen by index (any number; it wraps).
// Returns the call's result, which is 0 for every command of the mix.
std::int16_t MixedCommand(std::size_t index);

// How many different commands the mix cycles through.
std::size_t MixedCommandCount();

}  // namespace zelvorn::hardening
