// What the type byte a reader reports for a type A card (its SAK) says the
// card is: its name, whether it has MIFARE Classic memory and how much,
// and whether it speaks ISO/IEC 14443-4. One table, read alike by the PC/SC
// driver, the tool and the bindings.
#pragma once

#include <cstdint>

namespace zelvorn::mifare {

struct CardType {
    std::uint8_t sak;
    const char* name;
    int classicSectors;  // 0: no MIFARE Classic memory
    bool isoDep;         // ISO/IEC 14443-4
};

inline constexpr CardType kCardTypes[] = {
    {0x00, "MIFARE Ultralight", 0, false},
    {0x08, "MIFARE Classic 1K", 16, false},
    {0x09, "MIFARE Mini", 5, false},
    {0x18, "MIFARE Classic 4K", 40, false},
    {0x20, "ISO/IEC 14443-4 card", 0, true},
    {0x28, "MIFARE Classic 1K with ISO/IEC 14443-4", 16, true},
    {0x38, "MIFARE Classic 4K with ISO/IEC 14443-4", 40, true},
};

// Bit 6 of a SAK announces ISO/IEC 14443-4; bit 4 MIFARE Classic memory.
constexpr std::uint8_t kSakIsoDep = 0x20;
constexpr std::uint8_t kSakClassic = 0x08;

// The row of a SAK. A SAK the table does not know is read by its bits: a
// card whose bit 4 is set is taken for a 1K card, one whose bit 6 is set
// speaks ISO/IEC 14443-4.
constexpr CardType CardTypeOf(std::uint8_t sak) {
    for (const CardType& type : kCardTypes) {
        if (type.sak == sak) return type;
    }
    return {sak, "unknown card", (sak & kSakClassic) != 0 ? 16 : 0, (sak & kSakIsoDep) != 0};
}

}  // namespace zelvorn::mifare
