#include "iso14443/protocol_state.h"

#include <array>
#include <cstddef>

#include "iso14443/iso_dep.h"

namespace zelvorn {
namespace {

// FSCI to FSC as ISO/IEC 14443-4 converts them.
constexpr std::array<std::int16_t, 9> kFscByFsci{16, 24, 32, 40, 48, 64, 96, 128, 256};

// Constant-initialised, so it holds its load values before any code runs.
constinit IsoDepEngine g_processEngine;

}  // namespace

std::int16_t Fsc_ForFsci(std::int16_t fsci) {
    if (fsci < 0 || static_cast<std::size_t>(fsci) >= kFscByFsci.size()) return kFscByFsci[0];
    return kFscByFsci[static_cast<std::size_t>(fsci)];
}

IsoDepEngine& IsoDep_ProcessEngine() {
    return g_processEngine;
}

}  // namespace zelvorn
