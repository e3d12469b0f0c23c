// The ISO/IEC 14443-4 block-protocol state: one block number and one frame
// size for the whole process, shared by every reader and every card. The
// caller serialises its calls, so the state takes no lock.
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

// Starts numbering afresh at 0 with the card's frame size.
void ProtocolState_Init(std::int16_t fsc);

// The block number for the block being built now, toggling the stored one so
// that the next block built carries the other number.
std::uint8_t ProtocolState_TakeBlockNumber();

// The most APDU bytes the card accepts in one I-block.
std::int16_t ProtocolState_Fsc();

// A copy of the state, for the library's own tests.
ProtocolState ProtocolState_Read();

}  // namespace zelvorn
