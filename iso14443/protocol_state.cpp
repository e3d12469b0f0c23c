#include "iso14443/protocol_state.h"

#include <array>

namespace zelvorn {
namespace {

// FSCI to FSC as ISO/IEC 14443-4 converts them.
constexpr std::array<std::int16_t, 9> kFscByFsci{16, 24, 32, 40, 48, 64, 96, 128, 256};

// Constant-initialised, so it holds its load values before any code runs.
constinit ProtocolState g_state = kProtocolStateAtLoad;

}  // namespace

std::int16_t Fsc_ForFsci(std::int16_t fsci) {
    if (fsci < 0 || static_cast<std::size_t>(fsci) >= kFscByFsci.size()) return kFscByFsci[0];
    return kFscByFsci[static_cast<std::size_t>(fsci)];
}

void ProtocolState_Init(std::int16_t fsc) {
    g_state.blockNumber = 0;
    g_state.fsc = fsc;
}

std::uint8_t ProtocolState_TakeBlockNumber() {
    const std::uint8_t number = g_state.blockNumber;
    g_state.blockNumber ^= 1;
    return number;
}

std::int16_t ProtocolState_Fsc() {
    return g_state.fsc;
}

ProtocolState ProtocolState_Read() {
    return g_state;
}

}  // namespace zelvorn
