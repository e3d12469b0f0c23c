// What the ISO/IEC 14443-4 block protocol remembers between APDUs: the block
// number and the card's frame size. An IsoDepEngine (iso_dep.h) holds one.
#pragma once

#include <cstdint>

namespace zelvorn {

struct ProtocolState {
    // The number the next I-block or R(ACK) we build carries in bit 0 of its
    // PCB: 0 or 1.
    std::uint8_t blockNumber;
    // The most APDU bytes the card accepts in one I-block (its FSC).
    std::int16_t fsc;
};

// What the state holds when the library is loaded.
constexpr ProtocolState kProtocolStateAtLoad{0, 16};

// The frame size for an FSCI from the card's ATS; 16 for any FSCI the table
// does not know.
std::int16_t Fsc_ForFsci(std::int16_t fsci);

}  // namespace zelvorn
