// The TLV area of a tag's memory, as MIFARE Classic and Type 2 tags store
// NDEF: a sequence of TLVs, each a type byte, a length (one byte, or FF and
// two bytes big-endian) and a value. NULL (00) and the terminator (FE) have
// neither length nor value. A Type 2 tag's Lock Control (01) and Memory
// Control (02) TLVs set areas of memory aside, which the TLVs that follow
// them jump over.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <utility>
#include <vector>

#include "tool/ndef/error.h"

namespace zelvorn::ndef {

constexpr std::uint8_t kTlvNull = 0x00;
constexpr std::uint8_t kTlvLockControl = 0x01;
constexpr std::uint8_t kTlvMemoryControl = 0x02;
constexpr std::uint8_t kTlvNdef = 0x03;
constexpr std::uint8_t kTlvProprietary = 0xFD;
constexpr std::uint8_t kTlvTerminator = 0xFE;

// The largest length the three-byte form carries (FFFF is reserved).
constexpr std::size_t kTlvMaxLength = 0xFFFE;

// Bytes [begin, end) of memory that TLVs jump over.
struct Area {
    std::size_t begin;
    std::size_t end;
    bool operator==(const Area&) const = default;
};

// What a Lock Control TLV says: where its lock bytes are, how many lock bits
// they hold and how many bytes of memory each bit locks.
struct LockControl {
    std::size_t address;
    std::size_t bits;
    std::size_t bytesPerBit;
    bool operator==(const LockControl&) const = default;
};

struct TlvScan {
    enum class Status {
        kMessage,   // an NDEF TLV, its value in message
        kNoNdef,    // a terminator or the end of the area before any NDEF TLV
        kNeedMore,  // the image ends before what is needed: read up to needBytes
    };
    Status status = Status::kNoNdef;
    Bytes message;
    // The address of the NDEF TLV's type byte, or where a new one goes: just
    // after the last TLV that is neither NULL nor a terminator.
    std::size_t ndefAt = 0;
    std::size_t needBytes = 0;
    std::vector<Area> reserved;      // from Lock and Memory Control TLVs
    std::vector<LockControl> locks;  // from Lock Control TLVs
};

// Scans the TLVs from address begin up to end (exclusive) of a memory image
// whose byte 0 is address 0. The image may stop short of end; the scan then
// asks for more where it needs it. With controlTlvs (Type 2 tags) the Lock
// and Memory Control TLVs reserve the areas they describe; without (MIFARE
// Classic), they are skipped like any other TLV. Throws NdefError for a TLV
// that runs past the end of the area.
TlvScan ScanTlvArea(std::span<const std::uint8_t> image, std::size_t begin, std::size_t end,
                    bool controlTlvs);

// The addresses in [from, end) outside the reserved areas, in order.
std::vector<std::size_t> UsableAddresses(std::size_t from, std::size_t end,
                                         std::span<const Area> reserved);

// The largest message an NDEF TLV fits into this many bytes.
std::size_t TlvCapacity(std::size_t usableBytes);

// An NDEF TLV holding message laid over the usable addresses (the first is
// the TLV's type byte), with a terminator after it where there is room.
// lengthAddresses are the addresses of the length field, which writers set
// last so that a write torn halfway leaves an empty message rather than a
// broken one. Throws NdefError when the message does not fit.
struct TlvPlacement {
    std::vector<std::pair<std::size_t, std::uint8_t>> bytes;  // address, value
    std::vector<std::size_t> lengthAddresses;
};
TlvPlacement PlaceNdefTlv(std::span<const std::uint8_t> message,
                          std::span<const std::size_t> usable);

}  // namespace zelvorn::ndef
