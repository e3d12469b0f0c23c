// What a MIFARE Classic card's memory is, as every part that works with one
// needs it: the library, the virtual card, the PC/SC driver, the tool and
// the fuzz targets. Header-only and free of state.
//
// Sectors 0..31 have 4 blocks, sectors 32..39 (4K cards only) 16; the last
// block of each sector, its trailer, holds key A, the access bits, a general
// purpose byte and key B.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>

namespace zelvorn::mifare {

constexpr int kBlockSize = 16;
constexpr int kKeySize = 6;
// Bytes of a trailer.
constexpr int kKeyAAt = 0;
constexpr int kAccessAt = 6;  // three access bytes, then the general purpose byte
constexpr int kGeneralPurposeAt = 9;
constexpr int kKeyBAt = 10;

// The card sizes, by their block counts.
struct Size {
    const char* name;  // "Mini", "1K", "2K", "4K"
    int sectors;
    int blocks;
};
inline constexpr Size kSizes[] = {
    {"Mini", 5, 20},
    {"1K", 16, 64},
    {"2K", 32, 128},
    {"4K", 40, 256},
};

constexpr int BlocksIn(int sector) {
    return sector < 32 ? 4 : 16;
}
constexpr int FirstBlockOf(int sector) {
    return sector < 32 ? sector * 4 : 128 + (sector - 32) * 16;
}
constexpr int TrailerOf(int sector) {
    return FirstBlockOf(sector) + BlocksIn(sector) - 1;
}
constexpr int SectorOf(int block) {
    return block < 128 ? block / 4 : 32 + (block - 128) / 16;
}
constexpr bool IsTrailer(int block) {
    return block == TrailerOf(SectorOf(block));
}
// The number of blocks of a card with this many sectors.
constexpr int BlockCountFor(int sectors) {
    return sectors <= 32 ? sectors * 4 : 128 + (sectors - 32) * 16;
}
// The size of a card with this many blocks; none for another count.
constexpr const Size* SizeForBlocks(int blocks) {
    for (const Size& size : kSizes) {
        if (size.blocks == blocks) return &size;
    }
    return nullptr;
}

// The access group of a block: 0..2 for the data blocks (in a 16-block sector
// a group covers five blocks), 3 for the trailer.
constexpr int GroupOf(int block) {
    if (IsTrailer(block)) return 3;
    const int index = block - FirstBlockOf(SectorOf(block));
    return block < 128 ? index : index / 5;
}

// The condition bits C1 C2 C3 of the four groups, each as the number
// C1*4 + C2*2 + C3.
using Conditions = std::array<std::uint8_t, 4>;

// Bytes 6..8 of a trailer carry every bit twice, once inverted; empty when
// the copies disagree, which a card takes as a sector blocked for good.
constexpr std::optional<Conditions> DecodeAccessBits(const std::uint8_t* bytes6to8) {
    const unsigned b6 = bytes6to8[0], b7 = bytes6to8[1], b8 = bytes6to8[2];
    const unsigned c1 = b7 >> 4, c2 = b8 & 0x0F, c3 = b8 >> 4;
    if ((c1 ^ (b6 & 0x0F)) != 0x0F || (c2 ^ (b6 >> 4)) != 0x0F || (c3 ^ (b7 & 0x0F)) != 0x0F) {
        return std::nullopt;
    }
    Conditions out{};
    for (unsigned g = 0; g < 4; ++g) {
        out[g] = static_cast<std::uint8_t>(((c1 >> g) & 1) << 2 | ((c2 >> g) & 1) << 1 |
                                           ((c3 >> g) & 1));
    }
    return out;
}

constexpr std::array<std::uint8_t, 3> EncodeAccessBits(const Conditions& conditions) {
    unsigned c1 = 0, c2 = 0, c3 = 0;
    for (unsigned g = 0; g < 4; ++g) {
        c1 |= ((conditions[g] >> 2) & 1u) << g;
        c2 |= ((conditions[g] >> 1) & 1u) << g;
        c3 |= (conditions[g] & 1u) << g;
    }
    return {static_cast<std::uint8_t>((~c2 & 0x0F) << 4 | (~c1 & 0x0F)),
            static_cast<std::uint8_t>(c1 << 4 | (~c3 & 0x0F)),
            static_cast<std::uint8_t>(c3 << 4 | c2)};
}

// Who may do what, as the datasheet's tables give it: a mask of the keys.
constexpr std::uint8_t kNever = 0x00;
constexpr std::uint8_t kKeyA = 0x01;
constexpr std::uint8_t kKeyB = 0x02;
constexpr std::uint8_t kKeyAB = kKeyA | kKeyB;

// Data blocks, by condition: read, write, increment, and decrement (which
// also governs transfer and restore).
enum DataOperation { kRead, kWrite, kIncrement, kDecrement };
inline constexpr std::uint8_t kDataRights[8][4] = {
    {kKeyAB, kKeyAB, kKeyAB, kKeyAB},  // 000: transport configuration
    {kKeyAB, kNever, kNever, kKeyAB},  // 001: value block, decrement only
    {kKeyAB, kNever, kNever, kNever},  // 010: read only
    {kKeyB, kKeyB, kNever, kNever},    // 011
    {kKeyAB, kKeyB, kNever, kNever},   // 100
    {kKeyB, kNever, kNever, kNever},   // 101
    {kKeyAB, kKeyB, kKeyB, kKeyAB},    // 110: value block, recharged with key B
    {kNever, kNever, kNever, kNever},  // 111: blocked
};

// Trailers, by condition: write key A, read and write the access bits, read
// and write key B. Key A can never be read.
enum TrailerOperation { kWriteKeyA, kReadAccess, kWriteAccess, kReadKeyB, kWriteKeyB };
inline constexpr std::uint8_t kTrailerRights[8][5] = {
    {kKeyA, kKeyA, kNever, kKeyA, kKeyA},      // 000
    {kKeyA, kKeyA, kKeyA, kKeyA, kKeyA},       // 001: transport configuration
    {kNever, kKeyA, kNever, kKeyA, kNever},    // 010
    {kKeyB, kKeyAB, kKeyB, kNever, kKeyB},     // 011
    {kKeyB, kKeyAB, kNever, kNever, kKeyB},    // 100
    {kNever, kKeyAB, kKeyB, kNever, kNever},   // 101
    {kNever, kKeyAB, kNever, kNever, kNever},  // 110
    {kNever, kKeyAB, kNever, kNever, kNever},  // 111
};

// Where the trailer's condition lets key B be read, key B is data: the card
// refuses every access after a login with it.
constexpr bool KeyBReadable(std::uint8_t trailerCondition) {
    return (kTrailerRights[trailerCondition & 7][kReadKeyB] & kKeyA) != 0;
}

// The keys that may do an operation, with key B taken out where it is data.
constexpr std::uint8_t DataRight(const Conditions& c, int group, DataOperation op) {
    const std::uint8_t keys = kDataRights[c[group] & 7][op];
    return KeyBReadable(c[3]) ? static_cast<std::uint8_t>(keys & kKeyA) : keys;
}
constexpr std::uint8_t TrailerRight(const Conditions& c, TrailerOperation op) {
    const std::uint8_t keys = kTrailerRights[c[3] & 7][op];
    return KeyBReadable(c[3]) ? static_cast<std::uint8_t>(keys & kKeyA) : keys;
}

// The access bytes of a factory-fresh card (and of the transport
// configuration): FF 07 80, general purpose byte 69.
inline constexpr std::array<std::uint8_t, 4> kTransportAccess = {0xFF, 0x07, 0x80, 0x69};

// A value block stores its value three times (once inverted, least
// significant byte first) and a block address four times (twice inverted).
struct ValueBlock {
    std::int32_t value;
    std::uint8_t address;
};
constexpr std::optional<ValueBlock> DecodeValueBlock(const std::uint8_t* b) {
    for (int i = 0; i < 4; ++i) {
        if (b[i] != b[i + 8] || static_cast<std::uint8_t>(~b[i]) != b[i + 4]) return std::nullopt;
    }
    if (b[12] != b[14] || b[13] != b[15] || static_cast<std::uint8_t>(~b[12]) != b[13]) {
        return std::nullopt;
    }
    const std::uint32_t raw =
        static_cast<std::uint32_t>(b[0]) | static_cast<std::uint32_t>(b[1]) << 8 |
        static_cast<std::uint32_t>(b[2]) << 16 | static_cast<std::uint32_t>(b[3]) << 24;
    return ValueBlock{static_cast<std::int32_t>(raw), b[12]};
}
constexpr std::array<std::uint8_t, kBlockSize> EncodeValueBlock(std::int32_t value,
                                                                std::uint8_t address) {
    std::array<std::uint8_t, kBlockSize> b{};
    const auto v = static_cast<std::uint32_t>(value);
    for (int i = 0; i < 4; ++i) {
        b[i] = static_cast<std::uint8_t>(v >> (8 * i));
        b[i + 4] = static_cast<std::uint8_t>(~b[i]);
        b[i + 8] = b[i];
    }
    b[12] = b[14] = address;
    b[13] = b[15] = static_cast<std::uint8_t>(~address);
    return b;
}

}  // namespace zelvorn::mifare
