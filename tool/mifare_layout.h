// What a MIFARE Classic card's memory means: sectors and blocks, the access
// bits of a sector trailer, and value blocks.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>

namespace zelvorn::tool {

// Sectors 0..31 have 4 blocks, sectors 32..39 (4K cards only) 16.
int SectorCountForType(std::uint8_t cardType);
int FirstBlockOf(int sector);
int BlocksIn(int sector);
int SectorOf(int block);
bool IsTrailer(int block);

// The condition bits C1 C2 C3 of the four access groups, as the number
// C1*4 + C2*2 + C3. Groups 0..2 are the data blocks (in a 16-block sector a
// group covers five blocks), group 3 the trailer. Empty when the bits do not
// match their inverted copy, which a card would refuse.
std::optional<std::array<std::uint8_t, 4>> DecodeAccessBits(const std::uint8_t* trailer16);

// The inverse: the three access bytes (bytes 6..8 of a trailer).
std::array<std::uint8_t, 3> EncodeAccessBits(const std::array<std::uint8_t, 4>& conditions);

// Whether a trailer condition lets key B be read. Key B is then data: the
// card refuses every access after a login with it.
bool KeyBReadable(std::uint8_t trailerCondition);

// Plain words for what a condition allows. For a data block the trailer's
// condition matters too: where key B is readable, only key A opens anything.
std::string DataConditionText(std::uint8_t condition, std::uint8_t trailerCondition);
std::string TrailerConditionText(std::uint8_t condition);

// The number of sectors of a card with this many blocks (20, 64, 128 or 256),
// or 0 for another count.
int SectorCountForBlocks(int blocks);
int BlockCountForSectors(int sectors);

// A value block stores its value three times (once inverted) and a block
// address four times (twice inverted).
struct ValueBlock {
    std::int32_t value;
    std::uint8_t address;
};
std::optional<ValueBlock> DecodeValueBlock(const std::uint8_t* block16);

}  // namespace zelvorn::tool
