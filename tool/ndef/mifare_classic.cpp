#include "tool/ndef/mifare_classic.h"

#include <algorithm>
#include <map>

#include "mifare/classic.h"

namespace zelvorn::ndef::classic {

namespace {

constexpr std::uint8_t kMadAvailable = 0x80;  // the DA bit of sector 0's general purpose byte
constexpr std::uint8_t kMadVersionMask = 0x03;
constexpr std::uint8_t kCardPublisherInfo = 0x01;
constexpr int kMad1Sectors = 16;  // sector 0 lists sectors 1..15
constexpr std::size_t kMad1Bytes = 32;
constexpr std::size_t kMad2Bytes = 48;

std::string Hex4(std::uint16_t value) {
    return HexByte(value >> 8) + HexByte(value & 0xFF).substr(2);
}

bool IsMadSector(int sector) {
    return sector == 0 || sector == kMad2Sector;
}

// Sectors s listed in a MAD block run (first listed sector, how many).
void ReadAids(std::span<const std::uint8_t> bytes, int firstSector, int count, Mad& mad) {
    for (int i = 0; i < count; ++i) {
        mad.aids[firstSector + i] =
            static_cast<std::uint16_t>(bytes[2 + 2 * i] | bytes[3 + 2 * i] << 8);
    }
}

void CheckCrc(std::span<const std::uint8_t> bytes, int sector) {
    const std::uint8_t computed = MadCrc(bytes.subspan(1));
    if (computed != bytes[0]) {
        throw NdefError("the MAD in sector " + std::to_string(sector) + " fails its CRC (stored " +
                        HexByte(bytes[0]) + ", computed " + HexByte(computed) +
                        "): the directory is damaged; format the card for NDEF again");
    }
}

// MAD bytes (CRC, info byte, AIDs) for the sectors [first, first + count).
Bytes MadBytes(std::size_t size, int first, int count, int sectorCount) {
    Bytes out(size, 0);
    out[1] = kCardPublisherInfo;
    for (int i = 0; i < count; ++i) {
        const int sector = first + i;
        const std::uint16_t aid = sector < sectorCount ? kNdefAid : kNotApplicableAid;
        out[2 + 2 * i] = static_cast<std::uint8_t>(aid);
        out[3 + 2 * i] = static_cast<std::uint8_t>(aid >> 8);
    }
    out[0] = MadCrc(std::span<const std::uint8_t>(out).subspan(1));
    return out;
}

Block BlockAt(std::span<const std::uint8_t> bytes, std::size_t offset) {
    Block b{};
    std::copy_n(bytes.begin() + static_cast<std::ptrdiff_t>(offset), b.size(), b.begin());
    return b;
}

}  // namespace

std::uint8_t MadCrc(std::span<const std::uint8_t> bytes) {
    std::uint8_t crc = 0xC7;
    for (std::uint8_t b : bytes) {
        crc ^= b;
        for (int bit = 0; bit < 8; ++bit) {
            crc = static_cast<std::uint8_t>((crc & 0x80) ? (crc << 1) ^ 0x1D : crc << 1);
        }
    }
    return crc;
}

bool HasMad2(std::uint8_t generalPurposeByte) {
    return (generalPurposeByte & kMadAvailable) != 0 && (generalPurposeByte & kMadVersionMask) == 2;
}

Mad ParseMad(std::span<const std::uint8_t> blocks1And2, std::uint8_t gpb,
             std::span<const std::uint8_t> blocks64To66) {
    if (blocks1And2.size() != kMad1Bytes) {
        throw NdefError("the MAD takes blocks 1 and 2 (32 bytes), not " +
                        std::to_string(blocks1And2.size()) + " bytes");
    }
    if ((gpb & kMadAvailable) == 0) {
        throw NdefError("sector 0 holds no MAD (its general purpose byte " + HexByte(gpb) +
                        " lacks the MAD flag 0x80): the card is not formatted for NDEF; format it "
                        "for NDEF first (this erases what the card holds)");
    }
    Mad mad;
    mad.version = gpb & kMadVersionMask;
    if (mad.version != 1 && mad.version != 2) {
        throw NdefError("sector 0's general purpose byte " + HexByte(gpb) + " names MAD version " +
                        std::to_string(mad.version) + "; only versions 1 and 2 exist");
    }
    CheckCrc(blocks1And2, 0);
    mad.info = blocks1And2[1];
    ReadAids(blocks1And2, 1, kMad1Sectors - 1, mad);
    if (mad.version == 2) {
        if (blocks64To66.size() != kMad2Bytes) {
            throw NdefError("the card has a MAD2: its blocks 64 to 66 (48 bytes) are needed, not " +
                            std::to_string(blocks64To66.size()) + " bytes");
        }
        CheckCrc(blocks64To66, kMad2Sector);
        ReadAids(blocks64To66, kMad2Sector + 1, 23, mad);
    }
    return mad;
}

std::vector<int> NdefSectors(const Mad& mad, int sectorCount) {
    const int listed = mad.version == 2 ? static_cast<int>(mad.aids.size()) : kMad1Sectors;
    std::vector<int> out;
    for (int s = 1; s < std::min(listed, sectorCount); ++s) {
        if (!IsMadSector(s) && mad.aids[s] == kNdefAid) out.push_back(s);
    }
    if (out.empty()) {
        std::map<std::uint16_t, int> others;
        for (int s = 1; s < std::min(listed, sectorCount); ++s) {
            if (!IsMadSector(s) && mad.aids[s] != kFreeAid) ++others[mad.aids[s]];
        }
        std::string what = "the MAD lists no NDEF sector (application ID E103)";
        if (!others.empty()) {
            what += "; it lists";
            for (const auto& [aid, count] : others) {
                what += " " + Hex4(aid) + " (" + std::to_string(count) + " sectors)";
            }
        }
        throw NdefError(what + ": the card holds no NDEF data; formatting it for NDEF erases it");
    }
    return out;
}

std::vector<int> DataBlocks(std::span<const int> sectors) {
    std::vector<int> out;
    for (int sector : sectors) {
        const int first = mifare::FirstBlockOf(sector);
        for (int b = first; b < mifare::TrailerOf(sector); ++b) out.push_back(b);
    }
    return out;
}

TlvScan ScanArea(std::span<const int> sectors, std::span<const std::uint8_t> area) {
    return ScanTlvArea(area, 0, DataBlocks(sectors).size() * mifare::kBlockSize, false);
}

std::size_t Capacity(std::span<const int> sectors) {
    return TlvCapacity(DataBlocks(sectors).size() * mifare::kBlockSize);
}

void CheckSectorWritable(int sector, std::span<const std::uint8_t, 16> trailer) {
    const std::uint8_t gpb = trailer[mifare::kGeneralPurposeAt];
    const std::string name = "sector " + std::to_string(sector);
    if ((gpb & 0x03) != 0) {
        throw NdefError(name + " is read-only: its general purpose byte " + HexByte(gpb) +
                        " grants no write access");
    }
    const auto conditions = mifare::DecodeAccessBits(trailer.data() + mifare::kAccessAt);
    if (!conditions) {
        throw NdefError(name +
                        "'s access bits do not match their inverted copy: the sector is "
                        "blocked");
    }
    for (int group = 0; group < 3; ++group) {
        if ((mifare::DataRight(*conditions, group, mifare::kWrite) & mifare::kKeyA) == 0) {
            throw NdefError(name +
                            "'s access bits do not let key A write its data blocks: the "
                            "NDEF data is read-only");
        }
    }
}

std::vector<BlockWrite> WritePlan(std::span<const int> sectors,
                                  std::span<const std::uint8_t> message,
                                  std::span<const std::uint8_t> currentArea, std::size_t ndefAt) {
    const std::vector<int> blocks = DataBlocks(sectors);
    const std::size_t size = blocks.size() * mifare::kBlockSize;
    std::vector<std::size_t> usable;
    for (std::size_t a = ndefAt; a < size; ++a) usable.push_back(a);
    TlvPlacement placement;
    try {
        placement = PlaceNdefTlv(message, usable);
    } catch (const NdefError& e) {
        throw NdefError(std::string(e.what()) + " in its " + std::to_string(sectors.size()) +
                        " NDEF sectors; nothing was written");
    }
    // The new contents of each block the TLV touches.
    std::map<std::size_t, Block> changed;  // by index into blocks
    for (const auto& [address, value] : placement.bytes) {
        const std::size_t index = address / mifare::kBlockSize;
        auto [it, added] = changed.try_emplace(index);
        if (added) {
            for (std::size_t i = 0; i < mifare::kBlockSize; ++i) {
                const std::size_t a = index * mifare::kBlockSize + i;
                it->second[i] = a < currentArea.size() ? currentArea[a] : 0;
            }
        }
        it->second[address % mifare::kBlockSize] = value;
    }
    std::vector<BlockWrite> out;
    if (changed.size() == 1) {
        out.push_back({blocks[changed.begin()->first], changed.begin()->second});
        return out;
    }
    std::map<std::size_t, Block> emptied;  // the blocks with the length, length 0
    for (std::size_t a : placement.lengthAddresses) {
        const std::size_t index = a / mifare::kBlockSize;
        emptied.try_emplace(index, changed[index]).first->second[a % mifare::kBlockSize] = 0;
    }
    for (const auto& [index, data] : emptied) out.push_back({blocks[index], data});
    for (const auto& [index, data] : changed) {
        if (!emptied.contains(index)) out.push_back({blocks[index], data});
    }
    for (const auto& [index, data] : emptied) out.push_back({blocks[index], changed[index]});
    return out;
}

Block Trailer(const Key& keyA, const std::array<std::uint8_t, 3>& access, std::uint8_t gpb,
              const Key& keyB) {
    Block b{};
    std::copy(keyA.begin(), keyA.end(), b.begin() + mifare::kKeyAAt);
    std::copy(access.begin(), access.end(), b.begin() + mifare::kAccessAt);
    b[mifare::kGeneralPurposeAt] = gpb;
    std::copy(keyB.begin(), keyB.end(), b.begin() + mifare::kKeyBAt);
    return b;
}

std::vector<BlockWrite> FormatPlan(int sectorCount, const FormatKeys& keys) {
    if (mifare::SizeForBlocks(mifare::BlockCountFor(sectorCount)) == nullptr ||
        mifare::BlockCountFor(sectorCount) > 256 || sectorCount <= 0) {
        throw NdefError("a MIFARE Classic card has 5, 16, 32 or 40 sectors, not " +
                        std::to_string(sectorCount));
    }
    const bool mad2 = sectorCount > kMad1Sectors;
    const std::uint8_t gpb = mad2 ? kMad2Gpb : kMad1Gpb;
    std::vector<BlockWrite> out;
    const Bytes mad1 = MadBytes(kMad1Bytes, 1, kMad1Sectors - 1, sectorCount);
    out.push_back({1, BlockAt(mad1, 0)});
    out.push_back({2, BlockAt(mad1, 16)});
    out.push_back({mifare::TrailerOf(0), Trailer(kMadKeyA, kMadAccess, gpb, keys.madKeyB)});
    if (mad2) {
        const Bytes mad2Bytes = MadBytes(kMad2Bytes, kMad2Sector + 1, 23, sectorCount);
        const int first = mifare::FirstBlockOf(kMad2Sector);
        for (int i = 0; i < 3; ++i) out.push_back({first + i, BlockAt(mad2Bytes, 16 * i)});
        out.push_back(
            {mifare::TrailerOf(kMad2Sector), Trailer(kMadKeyA, kMadAccess, gpb, keys.madKeyB)});
    }
    for (int sector = 1; sector < sectorCount; ++sector) {
        if (IsMadSector(sector)) continue;
        if (sector == 1) out.push_back({mifare::FirstBlockOf(1), {kTlvNdef, 0x00, kTlvTerminator}});
        out.push_back(
            {mifare::TrailerOf(sector), Trailer(kNdefKeyA, kNdefAccess, kNdefGpb, keys.ndefKeyB)});
    }
    return out;
}

}  // namespace zelvorn::ndef::classic
