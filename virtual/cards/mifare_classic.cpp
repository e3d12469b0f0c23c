#include "virtual/cards/mifare_classic.h"

#include "virtual/cards/registry.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>
#include <utility>

namespace zelvorn::virt {

using mifare::kDataRights;
using mifare::kKeyA;
using mifare::kKeyB;
using mifare::kTrailerRights;

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
        SetTrailer(s, transport, mifare::kTransportAccess, transport);
    }
}

std::uint8_t MifareClassic::TypeByte() const {
    return size_ == ClassicSize::k1K ? 0x08 : 0x18;
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

// Key B that can be read out of the trailer is data, not a key: it opens
// nothing (the sector's conditions then speak of key A alone).
bool MifareClassic::KeyBReadable() const {
    return mifare::KeyBReadable(sessionConditions_[3]);
}

bool MifareClassic::Allowed(std::uint8_t keys) const {
    if (sessionKey_ == KeyKind::A) return (keys & kKeyA) != 0;
    return (keys & kKeyB) != 0 && !KeyBReadable();
}

bool MifareClassic::DataAllowed(unsigned block, Operation op) const {
    return Allowed(kDataRights[sessionConditions_[mifare::GroupOf(static_cast<int>(block))]][op]);
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
    const auto& trailer = blocks_[mifare::TrailerOf(sector)];
    const std::uint8_t* key = trailer.data() + (kind == KeyKind::A ? 0 : 10);
    if (std::memcmp(key, key6, 6) != 0) return kStatusAuthFailed;
    // Trailers are only ever written with checked access bits, so decoding
    // cannot fail here; a sector that somehow holds bad bits stays closed.
    const auto conditions = mifare::DecodeAccessBits(trailer.data() + mifare::kAccessAt);
    if (!conditions) return kStatusAuthFailed;
    sessionConditions_ = *conditions;
    authenticated_ = true;
    sessionSector_ = sector;
    sessionKey_ = kind;
    return kStatusOk;
}

std::array<std::uint8_t, 16> MifareClassic::TrailerAsRead(unsigned block) const {
    std::array<std::uint8_t, 16> out = blocks_[block];
    std::fill(out.begin(), out.begin() + 6, 0);  // key A never reads back
    const auto& rights = kTrailerRights[sessionConditions_[3]];
    if (!Allowed(rights[mifare::kReadAccess])) std::fill(out.begin() + 6, out.begin() + 10, 0);
    if (!Allowed(rights[mifare::kReadKeyB])) std::fill(out.begin() + 10, out.end(), 0);
    return out;
}

StatusWord MifareClassic::ReadBlock(std::uint8_t block, std::uint8_t* out16) {
    if (StatusWord s = CheckSession(block)) return s;
    if (IsTrailer(block)) {
        if (!Allowed(kTrailerRights[sessionConditions_[3]][mifare::kReadAccess]))
            return kStatusAccessDenied;
        const auto t = TrailerAsRead(block);
        std::copy(t.begin(), t.end(), out16);
        return kStatusOk;
    }
    if (!DataAllowed(block, mifare::kRead)) return kStatusAccessDenied;
    std::copy(blocks_[block].begin(), blocks_[block].end(), out16);
    return kStatusOk;
}

StatusWord MifareClassic::WriteBlock(std::uint8_t block, const std::uint8_t* in16,
                                     std::uint8_t* echo16) {
    if (StatusWord s = CheckSession(block)) return s;
    if (block == 0) return kStatusReadOnly;
    if (!IsTrailer(block)) {
        if (!DataAllowed(block, mifare::kWrite)) return kStatusAccessDenied;
        std::copy(in16, in16 + 16, blocks_[block].begin());
        std::copy(in16, in16 + 16, echo16);
        return kStatusOk;
    }
    // A trailer is written part by part: each of key A, the access bits and
    // key B changes only where the session's conditions allow it.
    const auto& rights = kTrailerRights[sessionConditions_[3]];
    const bool keyA = Allowed(rights[mifare::kWriteKeyA]);
    const bool access = Allowed(rights[mifare::kWriteAccess]);
    const bool keyB = Allowed(rights[mifare::kWriteKeyB]);
    if (!keyA && !access && !keyB) return kStatusAccessDenied;
    // Bits that do not check against their inverted copy would lock the
    // sector for good on a real card; the virtual one refuses them instead.
    if (access && !mifare::DecodeAccessBits(in16 + mifare::kAccessAt)) return kStatusBadAccessBits;
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
    if (!DataAllowed(block, mifare::kRead)) return kStatusAccessDenied;
    return ParseValueBlock(blocks_[block], value) ? kStatusOk : kStatusNotValueBlock;
}

StatusWord MifareClassic::WriteValue(std::uint8_t block, std::int32_t value) {
    if (StatusWord s = CheckSession(block)) return s;
    if (block == 0 || IsTrailer(block)) return kStatusReadOnly;
    if (!DataAllowed(block, mifare::kWrite)) return kStatusAccessDenied;
    blocks_[block] = ValueBlock(value, block);
    return kStatusOk;
}

StatusWord MifareClassic::ChangeValue(std::uint8_t block, std::int32_t amount, bool decrement,
                                      std::int32_t* result) {
    if (StatusWord s = CheckSession(block)) return s;
    if (block == 0 || IsTrailer(block)) return kStatusNotValueBlock;
    // An increment is followed by a transfer back into the block, which the
    // decrement right governs.
    const bool allowed = decrement ? DataAllowed(block, mifare::kDecrement)
                                   : DataAllowed(block, mifare::kIncrement) &&
                                         DataAllowed(block, mifare::kDecrement);
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
    if (!DataAllowed(source, mifare::kDecrement) || !DataAllowed(target, mifare::kDecrement)) {
        return kStatusAccessDenied;
    }
    std::int32_t v = 0;
    if (!ParseValueBlock(blocks_[source], &v)) return kStatusNotValueBlock;
    blocks_[target] = ValueBlock(v, target);
    *value = v;
    return kStatusOk;
}

const CardKind& MifareClassic::Kind() const {
    return size_ == ClassicSize::k1K ? kMifareClassic1K : kMifareClassic4K;
}

namespace {

// A scenario entry: the serial number, then sectors (keys and access bits),
// data blocks and value blocks over a factory-fresh card.
std::unique_ptr<Card> FromScenario(const Entry& c, ClassicSize size) {
    c.OnlyKeys({"type", "serial", "blocks", "values", "sectors"});
    auto card = std::make_unique<MifareClassic>(size, c["serial"].Hex());
    if (c.Has("sectors")) {
        const Entry sectors = c["sectors"];
        for (auto& [key, value] : sectors.Object().items()) {
            const Entry s(value, sectors.Where() + "." + key, Entry::File::Scenario);
            const unsigned sector = sectors.Index(key, card->SectorCount());
            s.OnlyKeys({"keyA", "keyB", "access", "conditions"});
            const auto& trailer = card->Block(mifare::TrailerOf(static_cast<int>(sector)));
            std::array<std::uint8_t, 6> keyA{}, keyB{};
            std::array<std::uint8_t, 4> access{};
            std::copy(trailer.begin(), trailer.begin() + 6, keyA.begin());
            std::copy(trailer.begin() + 6, trailer.begin() + 10, access.begin());
            std::copy(trailer.begin() + 10, trailer.end(), keyB.begin());
            if (s.Has("keyA")) keyA = s["keyA"].HexArray<6>();
            if (s.Has("keyB")) keyB = s["keyB"].HexArray<6>();
            if (s.Has("access")) access = s["access"].HexArray<4>();
            if (s.Has("conditions")) {
                const Entry conditions = s["conditions"];
                if (!conditions.Value().is_array() || conditions.Value().size() != 4) {
                    conditions.Fail("four numbers 0..7");
                }
                mifare::Conditions groups{};
                for (std::size_t g = 0; g < 4; ++g) {
                    groups[g] = static_cast<std::uint8_t>(conditions.At(g).Number(7));
                }
                access = MifareClassic::EncodeAccess(groups, access[3]);
            }
            if (!mifare::DecodeAccessBits(access.data())) {
                s.Fail("access bits do not match their inverted copy");
            }
            card->SetTrailer(sector, keyA, access, keyB);
        }
    }
    const auto dataBlock = [&card](const Entry& entries, const std::string& key) {
        const unsigned block = entries.Index(key, card->BlockCount());
        if (block == 0 || mifare::IsTrailer(static_cast<int>(block))) {
            Entry(entries.Value(), entries.Where() + "." + key, Entry::File::Scenario)
                .Fail("block " + key + " is the manufacturer block or a trailer (use \"sectors\")");
        }
        return block;
    };
    if (c.Has("blocks")) {
        const Entry blocks = c["blocks"];
        for (auto& [key, value] : blocks.Object().items()) {
            const unsigned block = dataBlock(blocks, key);
            card->SetBlock(
                block,
                Entry(value, blocks.Where() + "." + key, Entry::File::Scenario).HexArray<16>());
        }
    }
    if (c.Has("values")) {
        const Entry values = c["values"];
        for (auto& [key, v] : values.Object().items()) {
            const Entry at(v, values.Where() + "." + key, Entry::File::Scenario);
            if (!v.is_number_integer()) at.Fail("expected an integer");
            // A number beyond the signed 64-bit range is unsigned, and would
            // wrap if read as signed.
            if (v.is_number_unsigned() && v.get<std::uint64_t>() > INT32_MAX) {
                at.Fail("does not fit 32 bits");
            }
            const auto value = v.get<std::int64_t>();
            if (value < INT32_MIN || value > INT32_MAX) at.Fail("does not fit 32 bits");
            const unsigned block = dataBlock(values, key);
            card->SetBlock(block, mifare::EncodeValueBlock(static_cast<std::int32_t>(value),
                                                           static_cast<std::uint8_t>(block)));
        }
    }
    return card;
}

// The whole memory, block by block.
void SaveState(const Card& card, Json& entry) {
    const auto& classic = static_cast<const MifareClassic&>(card);
    Json blocks = Json::array();
    for (unsigned b = 0; b < classic.BlockCount(); ++b) {
        blocks.push_back(HexText(classic.Block(b).data(), mifare::kBlockSize));
    }
    entry["blocks"] = std::move(blocks);
}

void LoadState(Card& card, const Entry& entry, StateChanges& changes) {
    auto* classic = &static_cast<MifareClassic&>(card);
    const Entry blocks = entry["blocks"];
    if (!blocks.Value().is_array() || blocks.Value().size() != classic->BlockCount()) {
        blocks.Fail("expected " + std::to_string(classic->BlockCount()) + " blocks");
    }
    for (unsigned b = 0; b < classic->BlockCount(); ++b) {
        const Bytes bytes = blocks.At(b).ExactBytes(mifare::kBlockSize);
        std::array<std::uint8_t, 16> block{};
        std::copy(bytes.begin(), bytes.end(), block.begin());
        changes.push_back([classic, b, block] { classic->SetBlock(b, block); });
    }
}

}  // namespace

const CardKind kMifareClassic1K{
    "mifare-classic-1k",
    "MIFARE Classic 1K",
    [](const Entry& entry) { return FromScenario(entry, ClassicSize::k1K); },
    SaveState,
    LoadState,
    "mifare-classic"};
const CardKind kMifareClassic4K{
    "mifare-classic-4k",
    "MIFARE Classic 4K",
    [](const Entry& entry) { return FromScenario(entry, ClassicSize::k4K); },
    SaveState,
    LoadState,
    "mifare-classic"};

}  // namespace zelvorn::virt
