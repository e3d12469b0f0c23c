// NDEF on MIFARE Classic cards (Mini, 1K, 2K, 4K): the MIFARE Application
// Directory that names the NDEF sectors, the TLV area across their data
// blocks, and the blocks a format or a write puts on the card. Pure
// functions over block contents; the reader-facing code reads and writes.
//
// Sector 0 holds the MAD (MAD1): block 1 starts with a CRC-8 and an info
// byte, then two bytes per sector 1..15, the application ID of that sector
// low byte first; block 2 continues. A card with more than 16 sectors keeps
// the IDs of sectors 17..39 in sector 16 (MAD2, blocks 64..66, again CRC and
// info byte first). NDEF sectors carry the ID E103 (stored 03 E1).
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "tool/ndef/error.h"
#include "tool/ndef/tlv.h"

namespace zelvorn::ndef::classic {

using Key = std::array<std::uint8_t, 6>;
using Block = std::array<std::uint8_t, 16>;

// The public keys A of the MAD sectors and of the NDEF sectors, and the key
// of a card fresh from the factory.
inline constexpr Key kMadKeyA = {0xA0, 0xA1, 0xA2, 0xA3, 0xA4, 0xA5};
inline constexpr Key kNdefKeyA = {0xD3, 0xF7, 0xD3, 0xF7, 0xD3, 0xF7};
inline constexpr Key kTransportKey = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};

// Application IDs in the MAD.
inline constexpr std::uint16_t kFreeAid = 0x0000;
inline constexpr std::uint16_t kNotApplicableAid = 0x0005;  // a sector the card does not have
inline constexpr std::uint16_t kNdefAid = 0xE103;

// Trailer bytes 6..9, access bits and general purpose byte. The MAD
// sectors: data readable with either key, writable with key B only; the
// general purpose byte says "MAD present, multi-application card, MAD
// version 1" (2 with MAD2). The NDEF sectors: data readable and writable
// with the public key A, the trailer changed with key B only; the general
// purpose byte is the NDEF mapping version 1.0 with free read and write
// access, or with no write access for a read-only sector.
inline constexpr std::array<std::uint8_t, 3> kMadAccess = {0x78, 0x77, 0x88};
inline constexpr std::uint8_t kMad1Gpb = 0xC1;
inline constexpr std::uint8_t kMad2Gpb = 0xC2;
inline constexpr std::array<std::uint8_t, 3> kNdefAccess = {0x7F, 0x07, 0x88};
inline constexpr std::uint8_t kNdefGpb = 0x40;
inline constexpr std::array<std::uint8_t, 3> kNdefReadOnlyAccess = {0x07, 0x8F, 0x0F};
inline constexpr std::uint8_t kNdefReadOnlyGpb = 0x43;

inline constexpr int kMad2Sector = 16;

// The MAD's CRC-8 (polynomial x^8+x^4+x^3+x^2+1, preset C7) over the info
// byte and the application IDs, as stored.
std::uint8_t MadCrc(std::span<const std::uint8_t> bytes);

struct Mad {
    int version = 1;
    std::uint8_t info = 0;                 // MAD1's info byte: the card publisher sector
    std::array<std::uint16_t, 40> aids{};  // by sector; 0 for the MAD sectors themselves
};

// Whether sector 0's general purpose byte announces a MAD2 in sector 16.
bool HasMad2(std::uint8_t generalPurposeByte);

// The MAD from sector 0's blocks 1 and 2 (32 bytes), the general purpose
// byte of its trailer and, for MAD2, blocks 64..66 (48 bytes). Throws
// NdefError for a card without a MAD, an unknown MAD version or a CRC that
// does not match.
Mad ParseMad(std::span<const std::uint8_t> blocks1And2, std::uint8_t generalPurposeByte,
             std::span<const std::uint8_t> blocks64To66 = {});

// The NDEF sectors of a card with this many sectors, in the order the NDEF
// area runs through them. Throws NdefError when there are none.
std::vector<int> NdefSectors(const Mad& mad, int sectorCount);

// The data blocks of those sectors, trailers left out: the NDEF area is
// their bytes in this order.
std::vector<int> DataBlocks(std::span<const int> sectors);

// The TLVs of the NDEF area: area holds the first bytes of the data blocks
// (it may stop short; the scan then says how many bytes it needs).
TlvScan ScanArea(std::span<const int> sectors, std::span<const std::uint8_t> area);

// The largest message the NDEF sectors hold.
std::size_t Capacity(std::span<const int> sectors);

// Throws NdefError unless the trailer (as read with key A) lets key A write
// every data block of the sector and its general purpose byte grants write
// access.
void CheckSectorWritable(int sector, std::span<const std::uint8_t, 16> trailer);

struct BlockWrite {
    int block;
    Block data;
    bool operator==(const BlockWrite&) const = default;
};

// The blocks that put message on the card, in the order to write them: when
// more than one block changes, the block with the TLV's length first with a
// length of 0, then the others, then that block again with the length, so
// that a write torn halfway leaves an empty message. currentArea holds the
// area's bytes as read (bytes of written blocks past the TLV are kept; past
// its end they count as 0); ndefAt is where the scan put the NDEF TLV.
// Throws NdefError for a message larger than the NDEF area.
std::vector<BlockWrite> WritePlan(std::span<const int> sectors,
                                  std::span<const std::uint8_t> message,
                                  std::span<const std::uint8_t> currentArea,
                                  std::size_t ndefAt = 0);

// Turns a card in its transport configuration into an empty NDEF card: the
// MAD (all sectors NDEF, info byte 01) with its trailer, MAD2 on cards of
// more than 16 sectors, the NDEF sectors' trailers and an empty NDEF TLV
// (03 00 FE) in block 4. Keys B are the caller's; a transport-key card's is
// FFFFFFFFFFFF. Data blocks are written before their sector's trailer, so
// one login with the transport key covers each sector. Throws NdefError for
// a sector count that is not a MIFARE Classic card's.
struct FormatKeys {
    Key madKeyB = kTransportKey;
    Key ndefKeyB = kTransportKey;
};
std::vector<BlockWrite> FormatPlan(int sectorCount, const FormatKeys& keys = {});

// A trailer: key A, access bytes, general purpose byte, key B.
Block Trailer(const Key& keyA, const std::array<std::uint8_t, 3>& access, std::uint8_t gpb,
              const Key& keyB);

}  // namespace zelvorn::ndef::classic
