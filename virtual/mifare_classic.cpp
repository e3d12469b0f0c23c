#include "virtual/mifare_classic.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>

namespace zelvorn::virt {
namespace {

constexpr std::uint8_t kKeyA = 0x01;
constexpr std::uint8_t kKeyB = 0x02;
constexpr std::uint8_t kKeyAB = kKeyA | kKeyB;
constexpr std::uint8_t kNever = 0x00;

// Data blocks, indexed by C1 C2 C3: read, write, increment, and decrement
// (which also governs transfer and restore).
constexpr std::uint8_t kDataRights[8][4] = {
    {kKeyAB, kKeyAB, kKeyAB, kKeyAB},  // 000: transport configuration
    {kKeyAB, kNever, kNever, kKeyAB},  // 001: value block, decrement only
    {kKeyAB, kNever, kNever, kNever},  // 010: read only
    {kKeyB, kKeyB, kNever, kNever},    // 011
    {kKeyAB, kKeyB, kNever, kNever},   // 100
    {kKeyB, kNever, kNever, kNever},   // 101
    {kKeyAB, kKeyB, kKeyB, kKeyAB},    // 110: value block, recharge with key B
    {kNever, kNever, kNever, kNever},  // 111: blocked
};

// Sector trailers, indexed by C1 C2 C3: write key A, read access bits, write
// access bits, read key B, write key B. Key A can never be read.
enum { kWriteKeyA, kReadAccess, kWriteAccess, kReadKeyB, kWriteKeyB };
constexpr std::uint8_t kTrailerRights[8][5] = {
    {kKeyA, kKeyA, kNever, kKeyA, kKeyA},      // 000
    {kKeyA, kKeyA, kKeyA, kKeyA, kKeyA},       // 001: transport configuration
    {kNever, kKeyA, kNever, kKeyA, kNever},    // 010
    {kKeyB, kKeyAB, kKeyB, kNever, kKeyB},     // 011
    {kKeyB, kKeyAB, kNever, kNever, kKeyB},    // 100
    {kNever, kKeyAB, kKeyB, kNever, kNever},   // 101
    {kNever, kKeyAB, kNever, kNever, kNever},  // 110
    {kNever, kKeyAB, kNever, kNever, kNever},  // 111
};

std::uint32_t GetLE(const std::uint8_t* p) {
    return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
           static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}

void PutLE(std::uint8_t* p, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<std::uint8_t>(v >> (8 * i));
}

}  // namespace

MifareClassic::MifareClassic(ClassicSize size, Bytes serial)
    : size_(size), serial_(std::move(serial)), blocks_(BlockCount()) {
    if (serial_.size() != 4 && serial_.size() != 7 && serial_.size() != 10) {
        throw std::invalid_argument("a MIFARE Classic serial number has 4, 7 or 10 bytes");
    }
    // Manufacturer block: the serial number (a 4-byte one followed by its
    // check byte BCC), the SAK, the ATQA and manufacturer data.
    auto& b0 = blocks_[0];
    std::size_t n = 0;
    for (std::uint8_t byte : serial_) b0[n++] = byte;
    if (serial_.size() == 4) b0[n++] = serial_[0] ^ serial_[1] ^ serial_[2] ^ serial_[3];
    b0[n++] = TypeByte();
    const bool single = serial_.size() == 4;
    b0[n++] = size_ == ClassicSize::k1K ? (single ? 0x04 : 0x44) : (single ? 0x02 : 0x42);
    b0[n++] = 0x00;
    for (std::uint8_t m = 0x10; n < 16; ++m) b0[n++] = m;  // manufacturer data

    const std::array<std::uint8_t, 6> transport{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
    for (unsigned s = 0; s < SectorCount(); ++s) {
        SetTrailer(s, transport, {0xFF, 0x07, 0x80, 0x69}, transport);
    }
}

std::uint8_t MifareClassic::TypeByte() const {
    return size_ == ClassicSize::k1K ? 0x08 : 0x18;
}

unsigned MifareClassic::FirstBlock(unsigned sector) {
    return sector < 32 ? sector * 4 : 128 + (sector - 32) * 16;
}

unsigned MifareClassic::SectorOf(unsigned block) {
    return block < 128 ? block / 4 : 32 + (block - 128) / 16;
}

bool MifareClassic::IsTrailer(unsigned block) {
    return block < 128 ? (block & 0x03) == 0x03 : (block & 0x0F) == 0x0F;
}

void MifareClassic::SetBlock(unsigned block, const std::array<std::uint8_t, 16>& data) {
    blocks_.at(block) = data;
}

void MifareClassic::SetTrailer(unsigned sector, const std::array<std::uint8_t, 6>& keyA,
                               const std::array<std::uint8_t, 4>& access,
                               const std::array<std::uint8_t, 6>& keyB) {
    auto& t = blocks_.at(FirstBlock(sector) + BlocksIn(sector) - 1);
    std::copy(keyA.begin(), keyA.end(), t.begin());
    std::copy(access.begin(), access.end(), t.begin() + 6);
    std::copy(keyB.begin(), keyB.end(), t.begin() + 10);
}

std::array<std::uint8_t, 4> MifareClassic::EncodeAccess(
    const std::array<std::uint8_t, 4>& conditions, std::uint8_t generalPurpose) {
    std::uint8_t c1 = 0, c2 = 0, c3 = 0;
    for (unsigned g = 0; g < 4; ++g) {
        c1 |= static_cast<std::uint8_t>(((conditions[g] >> 2) & 1) << g);
        c2 |= static_cast<std::uint8_t>(((conditions[g] >> 1) & 1) << g);
        c3 |= static_cast<std::uint8_t>((conditions[g] & 1) << g);
    }
    return {static_cast<std::uint8_t>((~c2 & 0x0F) << 4 | (~c1 & 0x0F)),
            static_cast<std::uint8_t>(c1 << 4 | (~c3 & 0x0F)),
            static_cast<std::uint8_t>(c3 << 4 | c2), generalPurpose};
}

bool MifareClassic::DecodeAccess(const std::uint8_t* b, std::array<std::uint8_t, 4>& out) {
    const unsigned c1 = b[1] >> 4, c2 = b[2] & 0x0F, c3 = b[2] >> 4;
    if ((~b[0] & 0x0F) != c1 || ((~b[0] >> 4) & 0x0F) != c2 || (~b[1] & 0x0F) != c3) return false;
    for (unsigned g = 0; g < 4; ++g) {
        out[g] = static_cast<std::uint8_t>(((c1 >> g) & 1) << 2 | ((c2 >> g) & 1) << 1 |
                                           ((c3 >> g) & 1));
    }
    return true;
}

std::array<std::uint8_t, 16> MifareClassic::ValueBlock(std::int32_t value, std::uint8_t address) {
    std::array<std::uint8_t, 16> b{};
    const auto v = static_cast<std::uint32_t>(value);
    PutLE(&b[0], v);
    PutLE(&b[4], ~v);
    PutLE(&b[8], v);
    b[12] = address;
    b[13] = static_cast<std::uint8_t>(~address);
    b[14] = address;
    b[15] = static_cast<std::uint8_t>(~address);
    return b;
}

bool MifareClassic::ParseValueBlock(const std::array<std::uint8_t, 16>& b, std::int32_t* value) {
    const std::uint32_t v = GetLE(&b[0]);
    if (GetLE(&b[4]) != ~v || GetLE(&b[8]) != v) return false;
    if (b[12] != b[14] || b[13] != b[15] || static_cast<std::uint8_t>(~b[12]) != b[13]) {
        return false;
    }
    *value = static_cast<std::int32_t>(v);
    return true;
}

unsigned MifareClassic::GroupOf(unsigned block) const {
    const unsigned index = block - FirstBlock(SectorOf(block));
    if (IsTrailer(block)) return 3;
    return block < 128 ? index : index / 5;
}

// Key B that can be read out of the trailer is data, not a key: it opens
// nothing (the sector's conditions then speak of key A alone).
bool MifareClassic::KeyBReadable() const {
    return (kTrailerRights[sessionConditions_[3]][kReadKeyB] & kKeyA) != 0;
}

bool MifareClassic::Allowed(std::uint8_t keys) const {
    if (sessionKey_ == KeyKind::A) return (keys & kKeyA) != 0;
    return (keys & kKeyB) != 0 && !KeyBReadable();
}

bool MifareClassic::DataAllowed(unsigned block, Operation op) const {
    return Allowed(kDataRights[sessionConditions_[GroupOf(block)]][op]);
}

StatusWord MifareClassic::CheckSession(unsigned block) const {
    if (block >= BlockCount()) return kStatusOutOfRange;
    if (!authenticated_ || SectorOf(block) != sessionSector_) return kStatusNotAuthenticated;
    return kStatusOk;
}

StatusWord MifareClassic::Authenticate(std::uint8_t sector, KeyKind kind,
                                       const std::uint8_t* key6) {
    authenticated_ = false;
    if (sector >= SectorCount()) return kStatusOutOfRange;
    const auto& trailer = blocks_[FirstBlock(sector) + BlocksIn(sector) - 1];
    const std::uint8_t* key = trailer.data() + (kind == KeyKind::A ? 0 : 10);
    if (std::memcmp(key, key6, 6) != 0) return kStatusAuthFailed;
    // Trailers are only ever written with checked access bits, so decoding
    // cannot fail here; a sector that somehow holds bad bits stays closed.
    if (!DecodeAccess(trailer.data() + 6, sessionConditions_)) return kStatusAuthFailed;
    authenticated_ = true;
    sessionSector_ = sector;
    sessionKey_ = kind;
    return kStatusOk;
}

std::array<std::uint8_t, 16> MifareClassic::TrailerAsRead(unsigned block) const {
    std::array<std::uint8_t, 16> out = blocks_[block];
    std::fill(out.begin(), out.begin() + 6, 0);  // key A never reads back
    const auto& rights = kTrailerRights[sessionConditions_[3]];
    if (!Allowed(rights[kReadAccess])) std::fill(out.begin() + 6, out.begin() + 10, 0);
    if (!Allowed(rights[kReadKeyB])) std::fill(out.begin() + 10, out.end(), 0);
    return out;
}

StatusWord MifareClassic::ReadBlock(std::uint8_t block, std::uint8_t* out16) {
    if (StatusWord s = CheckSession(block)) return s;
    if (IsTrailer(block)) {
        if (!Allowed(kTrailerRights[sessionConditions_[3]][kReadAccess]))
            return kStatusAccessDenied;
        const auto t = TrailerAsRead(block);
        std::copy(t.begin(), t.end(), out16);
        return kStatusOk;
    }
    if (!DataAllowed(block, kRead)) return kStatusAccessDenied;
    std::copy(blocks_[block].begin(), blocks_[block].end(), out16);
    return kStatusOk;
}

StatusWord MifareClassic::WriteBlock(std::uint8_t block, const std::uint8_t* in16,
                                     std::uint8_t* echo16) {
    if (StatusWord s = CheckSession(block)) return s;
    if (block == 0) return kStatusReadOnly;
    if (!IsTrailer(block)) {
        if (!DataAllowed(block, kWrite)) return kStatusAccessDenied;
        std::copy(in16, in16 + 16, blocks_[block].begin());
        std::copy(in16, in16 + 16, echo16);
        return kStatusOk;
    }
    // A trailer is written part by part: each of key A, the access bits and
    // key B changes only where the session's conditions allow it.
    const auto& rights = kTrailerRights[sessionConditions_[3]];
    const bool keyA = Allowed(rights[kWriteKeyA]);
    const bool access = Allowed(rights[kWriteAccess]);
    const bool keyB = Allowed(rights[kWriteKeyB]);
    if (!keyA && !access && !keyB) return kStatusAccessDenied;
    std::array<std::uint8_t, 4> check{};
    // Bits that do not check against their inverted copy would lock the
    // sector for good on a real card; the virtual one refuses them instead.
    if (access && !DecodeAccess(in16 + 6, check)) return kStatusBadAccessBits;
    auto& t = blocks_[block];
    if (keyA) std::copy(in16, in16 + 6, t.begin());
    if (access) std::copy(in16 + 6, in16 + 10, t.begin() + 6);
    if (keyB) std::copy(in16 + 10, in16 + 16, t.begin() + 10);
    const auto readBack = TrailerAsRead(block);
    std::copy(readBack.begin(), readBack.end(), echo16);
    return kStatusOk;
}

StatusWord MifareClassic::ReadValue(std::uint8_t block, std::int32_t* value) {
    if (StatusWord s = CheckSession(block)) return s;
    if (block == 0 || IsTrailer(block)) return kStatusNotValueBlock;
    if (!DataAllowed(block, kRead)) return kStatusAccessDenied;
    return ParseValueBlock(blocks_[block], value) ? kStatusOk : kStatusNotValueBlock;
}

StatusWord MifareClassic::WriteValue(std::uint8_t block, std::int32_t value) {
    if (StatusWord s = CheckSession(block)) return s;
    if (block == 0 || IsTrailer(block)) return kStatusReadOnly;
    if (!DataAllowed(block, kWrite)) return kStatusAccessDenied;
    blocks_[block] = ValueBlock(value, block);
    return kStatusOk;
}

StatusWord MifareClassic::ChangeValue(std::uint8_t block, std::int32_t amount, bool decrement,
                                      std::int32_t* result) {
    if (StatusWord s = CheckSession(block)) return s;
    if (block == 0 || IsTrailer(block)) return kStatusNotValueBlock;
    // An increment is followed by a transfer back into the block, which the
    // decrement right governs.
    const bool allowed = decrement
                             ? DataAllowed(block, kDecrement)
                             : DataAllowed(block, kIncrement) && DataAllowed(block, kDecrement);
    if (!allowed) return kStatusAccessDenied;
    std::int32_t value = 0;
    if (!ParseValueBlock(blocks_[block], &value)) return kStatusNotValueBlock;
    const std::int64_t next =
        decrement ? std::int64_t{value} - amount : std::int64_t{value} + amount;
    if (next < INT32_MIN || next > INT32_MAX) return kStatusValueOverflow;
    const std::uint8_t address = blocks_[block][12];
    blocks_[block] = ValueBlock(static_cast<std::int32_t>(next), address);
    *result = static_cast<std::int32_t>(next);
    return kStatusOk;
}

StatusWord MifareClassic::CopyValue(std::uint8_t source, std::uint8_t target, std::int32_t* value) {
    if (StatusWord s = CheckSession(source)) return s;
    if (StatusWord s = CheckSession(target)) return s;
    if (source == 0 || IsTrailer(source)) return kStatusNotValueBlock;
    if (target == 0 || IsTrailer(target)) return kStatusReadOnly;
    // Restore from the source and transfer into the target.
    if (!DataAllowed(source, kDecrement) || !DataAllowed(target, kDecrement)) {
        return kStatusAccessDenied;
    }
    std::int32_t v = 0;
    if (!ParseValueBlock(blocks_[source], &v)) return kStatusNotValueBlock;
    blocks_[target] = ValueBlock(v, target);
    *value = v;
    return kStatusOk;
}

}  // namespace zelvorn::virt
