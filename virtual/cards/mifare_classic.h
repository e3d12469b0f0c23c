// A MIFARE Classic 1K or 4K card: its memory with the manufacturer block and
// sector trailers, per-sector authentication, access conditions and value
// blocks.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "mifare/classic.h"
#include "virtual/card.h"

namespace zelvorn::virt {

enum class ClassicSize : std::uint8_t { k1K, k4K };

class MifareClassic : public Card {
public:
    // A factory-fresh card: zero data blocks, transport keys FF..FF and the
    // transport access bits FF 07 80 69 in every trailer. The serial number
    // has 4, 7 or 10 bytes.
    MifareClassic(ClassicSize size, Bytes serial);

    const CardKind& Kind() const override;
    AirInterface Air() const override { return AirInterface::TypeA; }
    std::uint8_t TypeByte() const override;
    const Bytes& Serial() const override { return serial_; }
    void PowerUp() override { authenticated_ = false; }

    StatusWord Authenticate(std::uint8_t sector, KeyKind kind, const std::uint8_t* key6) override;
    StatusWord ReadBlock(std::uint8_t block, std::uint8_t* out16) override;
    StatusWord WriteBlock(std::uint8_t block, const std::uint8_t* in16,
                          std::uint8_t* echo16) override;
    StatusWord ReadValue(std::uint8_t block, std::int32_t* value) override;
    StatusWord WriteValue(std::uint8_t block, std::int32_t value) override;
    StatusWord ChangeValue(std::uint8_t block, std::int32_t amount, bool decrement,
                           std::int32_t* result) override;
    StatusWord CopyValue(std::uint8_t source, std::uint8_t target, std::int32_t* value) override;

    // Layout.
    unsigned SectorCount() const { return size_ == ClassicSize::k1K ? 16u : 40u; }
    unsigned BlockCount() const { return size_ == ClassicSize::k1K ? 64u : 256u; }
    static unsigned FirstBlock(unsigned sector) { return mifare::FirstBlockOf(sector); }
    static unsigned BlocksIn(unsigned sector) { return mifare::BlocksIn(sector); }
    static unsigned SectorOf(unsigned block) { return mifare::SectorOf(block); }
    static bool IsTrailer(unsigned block) { return mifare::IsTrailer(block); }

    // Direct access for scenarios and tests, past every access condition.
    void SetBlock(unsigned block, const std::array<std::uint8_t, 16>& data);
    const std::array<std::uint8_t, 16>& Block(unsigned block) const { return blocks_.at(block); }
    // Sets a sector trailer from its parts; access holds the four bytes 6..9.
    void SetTrailer(unsigned sector, const std::array<std::uint8_t, 6>& keyA,
                    const std::array<std::uint8_t, 4>& access,
                    const std::array<std::uint8_t, 6>& keyB);

    // Access bytes 6..8 (and byte 9, the general purpose byte) from the three
    // condition bits C1 C2 C3 of each block group (index 3 is the trailer),
    // each given as a number 0..7 = C1 C2 C3.
    static std::array<std::uint8_t, 4> EncodeAccess(const mifare::Conditions& conditions,
                                                    std::uint8_t generalPurpose = 0x69) {
        const auto bytes = mifare::EncodeAccessBits(conditions);
        return {bytes[0], bytes[1], bytes[2], generalPurpose};
    }
    // The conditions of the four groups, or false when the bits do not check
    // against their inverted copies.
    static bool DecodeAccess(const std::uint8_t* bytes6to8, mifare::Conditions& out) {
        const auto conditions = mifare::DecodeAccessBits(bytes6to8);
        if (conditions) out = *conditions;
        return conditions.has_value();
    }

    // Value block image: value, inverted value, value (little-endian, as the
    // card stores them), then address, inverted address, address, inverted.
    static std::array<std::uint8_t, 16> ValueBlock(std::int32_t value, std::uint8_t address) {
        return mifare::EncodeValueBlock(value, address);
    }
    static bool ParseValueBlock(const std::array<std::uint8_t, 16>& block, std::int32_t* value) {
        const auto decoded = mifare::DecodeValueBlock(block.data());
        if (decoded) *value = decoded->value;
        return decoded.has_value();
    }

private:
    using Operation = mifare::DataOperation;

    StatusWord CheckSession(unsigned block) const;
    bool KeyBReadable() const;
    bool Allowed(std::uint8_t keys) const;
    bool DataAllowed(unsigned block, Operation op) const;
    std::array<std::uint8_t, 16> TrailerAsRead(unsigned block) const;

    ClassicSize size_;
    Bytes serial_;
    std::vector<std::array<std::uint8_t, 16>> blocks_;

    // The session: the sector logged in to, with the trailer as it stood at
    // login. A trailer written during the session takes effect at the next
    // login, as on the real card.
    bool authenticated_ = false;
    unsigned sessionSector_ = 0;
    KeyKind sessionKey_ = KeyKind::A;
    std::array<std::uint8_t, 4> sessionConditions_{};
};

// The two kinds, "mifare-classic-1k" and "mifare-classic-4k".
extern const CardKind kMifareClassic1K;
extern const CardKind kMifareClassic4K;

}  // namespace zelvorn::virt
