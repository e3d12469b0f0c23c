// A processor card (ISO/IEC 14443-4) in session: found and selected, its ATS
// asked for and the block numbering started, APDUs exchanged. Shared by the
// apdu command and the NDEF commands of Type 4 tags.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

#include <nlohmann/json.hpp>

#include "tool/commands.h"
#include "tool/hex.h"

namespace zelvorn::tool {

// The longest APDU and response the library's 16-bit lengths allow.
constexpr std::size_t kMaxApdu = 32767;

// Bit 6 of a type A card's SAK: the card speaks ISO/IEC 14443-4.
constexpr std::uint8_t kSakIso14443_4 = 0x20;

// A status word in words, or empty when it has no common meaning.
std::string StatusWordMeaning(std::uint16_t sw);

// Selects the processor card with this serial number (hexadecimal), or the
// first in the tag list that speaks ISO/IEC 14443-4 when wanted is empty;
// prints "Card: ..." unless quiet. Its type, name and serial for --json.
nlohmann::ordered_json SelectProcessorCard(const ReaderSession& reader, const std::string& wanted,
                                           bool quiet);

struct IsoSession {
    Bytes ats;
    int fsci;  // the card's frame size index, from the ATS
    int fsc;   // the card's frame size in bytes
};

// Asks the selected card for its ATS (RATS with this FSDI) and starts the
// block numbering with the card's frame size.
IsoSession StartIsoSession(const ReaderSession& reader, int fsdi);

// One APDU and the card's whole answer, status word included, into response;
// its length. A failure of the exchange throws, naming step.
std::size_t ExchangeApdu(const ReaderSession& reader, std::span<const std::uint8_t> apdu,
                         std::span<std::uint8_t> response, const std::string& step);

}  // namespace zelvorn::tool
