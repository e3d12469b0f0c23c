// What a MIFARE Classic card's memory means to the tool: the geometry, the
// access-bit codec and the rights tables come from the shared module
// (src/mifare); here are the words the tool prints for them, and the text
// form of access conditions that `mifare access --encode` takes.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>

#include "mifare/classic.h"

namespace zelvorn::tool {

using mifare::BlocksIn;
using mifare::Conditions;
using mifare::DecodeValueBlock;
using mifare::EncodeAccessBits;
using mifare::FirstBlockOf;
using mifare::IsTrailer;
using mifare::KeyBReadable;
using mifare::SectorOf;
using mifare::TrailerOf;
using mifare::ValueBlock;

// The condition bits of a trailer's four access groups, read from its bytes
// 6..8; empty when they do not match their inverted copy.
inline std::optional<Conditions> TrailerConditions(const std::uint8_t* trailer16) {
    return mifare::DecodeAccessBits(trailer16 + mifare::kAccessAt);
}

// The number of sectors of a card with this type byte; a card that does not
// say is taken for a 1K card.
int SectorCountForType(std::uint8_t cardType);

// The number of sectors of a card with this many blocks (20, 64, 128 or 256),
// or 0 for another count.
int SectorCountForBlocks(int blocks);
inline int BlockCountForSectors(int sectors) {
    return mifare::BlockCountFor(sectors);
}

// Plain words for what a condition allows, from the rights tables. For a
// data block the trailer's condition matters too: where key B is readable,
// only key A opens anything.
std::string DataConditionText(std::uint8_t condition, std::uint8_t trailerCondition);
std::string TrailerConditionText(std::uint8_t condition);

// "data:000,000,000 trailer:001" (groups 0..2 and the trailer, C1 C2 C3 each)
// to conditions; UsageError naming what is wrong otherwise. "data:110" sets
// all three data groups alike.
Conditions ParseConditions(const std::string& text);
// The inverse, in the same form.
std::string ConditionsText(const Conditions& conditions);

}  // namespace zelvorn::tool
