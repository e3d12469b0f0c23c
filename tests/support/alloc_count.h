// Counts every heap allocation and release the program makes: malloc and its
// relatives, and operator new and delete in all their forms. Linked into the
// programs that prove the exchange path allocates nothing (glibc only).
#pragma once

#include <cstdint>

namespace zelvorn::heap {

// Allocations since the program started, from any source.
std::uint64_t Allocations();
// Releases of memory (null pointers not counted) since the program started.
std::uint64_t Frees();

}  // namespace zelvorn::heap
