// Counts every heap allocation the program makes: malloc and its relatives,
// and operator new in all its forms. Linked into the benchmark programs.
#pragma once

#include <cstdint>

namespace zelvorn::bench {

// Allocations since the program started, from any source.
std::uint64_t HeapAllocations();

}  // namespace zelvorn::bench
