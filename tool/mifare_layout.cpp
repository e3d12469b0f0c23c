#include "tool/mifare_layout.h"

namespace zelvorn::tool {

int SectorCountForType(std::uint8_t cardType) {
    switch (cardType) {
        case 0x09:  // MIFARE Mini
            return 5;
        case 0x18:  // MIFARE Classic 4K
        case 0x38:
            return 40;
        default:  // MIFARE Classic 1K and anything that claims to be like it
            return 16;
    }
}

int FirstBlockOf(int sector) {
    return sector < 32 ? sector * 4 : 128 + (sector - 32) * 16;
}

int BlocksIn(int sector) {
    return sector < 32 ? 4 : 16;
}

int SectorOf(int block) {
    return block < 128 ? block / 4 : 32 + (block - 128) / 16;
}

bool IsTrailer(int block) {
    const int sector = SectorOf(block);
    return block == FirstBlockOf(sector) + BlocksIn(sector) - 1;
}

std::optional<std::array<std::uint8_t, 4>> DecodeAccessBits(const std::uint8_t* trailer16) {
    const std::uint8_t b6 = trailer16[6], b7 = trailer16[7], b8 = trailer16[8];
    const int c1 = b7 >> 4, c2 = b8 & 0x0F, c3 = b8 >> 4;
    const int notC1 = b6 & 0x0F, notC2 = b6 >> 4, notC3 = b7 & 0x0F;
    if ((c1 ^ notC1) != 0x0F || (c2 ^ notC2) != 0x0F || (c3 ^ notC3) != 0x0F) return std::nullopt;
    std::array<std::uint8_t, 4> conditions{};
    for (int g = 0; g < 4; ++g) {
        conditions[g] = static_cast<std::uint8_t>(((c1 >> g) & 1) << 2 | ((c2 >> g) & 1) << 1 |
                                                  ((c3 >> g) & 1));
    }
    return conditions;
}

std::array<std::uint8_t, 3> EncodeAccessBits(const std::array<std::uint8_t, 4>& conditions) {
    int c1 = 0, c2 = 0, c3 = 0;
    for (int g = 0; g < 4; ++g) {
        c1 |= ((conditions[g] >> 2) & 1) << g;
        c2 |= ((conditions[g] >> 1) & 1) << g;
        c3 |= (conditions[g] & 1) << g;
    }
    return {static_cast<std::uint8_t>((~c2 & 0x0F) << 4 | (~c1 & 0x0F)),
            static_cast<std::uint8_t>(c1 << 4 | (~c3 & 0x0F)),
            static_cast<std::uint8_t>(c3 << 4 | c2)};
}

bool KeyBReadable(std::uint8_t trailerCondition) {
    switch (trailerCondition & 7) {
        case 0b000:
        case 0b010:
        case 0b001:
            return true;
        default:
            return false;
    }
}

namespace {

// The data-block table as the datasheet gives it, for a key B that is a key.
std::string DataConditionWithKeyB(std::uint8_t condition) {
    switch (condition & 7) {
        case 0b000:
            return "read A|B, write A|B, increment A|B, decrement A|B";
        case 0b010:
            return "read A|B, write never, increment never, decrement never";
        case 0b100:
            return "read A|B, write B, increment never, decrement never";
        case 0b110:
            return "read A|B, write B, increment B, decrement A|B (value block)";
        case 0b001:
            return "read A|B, write never, increment never, decrement A|B (value block)";
        case 0b011:
            return "read B, write B, increment never, decrement never";
        case 0b101:
            return "read B, write never, increment never, decrement never";
        default:
            return "read never, write never, increment never, decrement never";
    }
}

}  // namespace

std::string DataConditionText(std::uint8_t condition, std::uint8_t trailerCondition) {
    std::string text = DataConditionWithKeyB(condition);
    if (!KeyBReadable(trailerCondition)) return text;
    // Key B opens nothing: "A|B" becomes "A", and what only B may do, nobody may.
    std::string out;
    for (std::size_t i = 0; i < text.size();) {
        if (text.compare(i, 3, "A|B") == 0) {
            out += "A";
            i += 3;
        } else if (text[i] == 'B' && i > 0 && text[i - 1] == ' ' &&
                   (i + 1 == text.size() || text[i + 1] == ',' || text[i + 1] == ' ')) {
            out += "never";
            ++i;
        } else {
            out += text[i++];
        }
    }
    return out;
}

int SectorCountForBlocks(int blocks) {
    switch (blocks) {
        case 20:
            return 5;
        case 64:
            return 16;
        case 128:
            return 32;
        case 256:
            return 40;
        default:
            return 0;
    }
}

int BlockCountForSectors(int sectors) {
    return sectors <= 32 ? sectors * 4 : 128 + (sectors - 32) * 16;
}

std::string TrailerConditionText(std::uint8_t condition) {
    // Key A can never be read back; where key B can be read it serves as data
    // and is no key at all.
    switch (condition & 7) {
        case 0b000:
            return "key A write A; access bits read A, write never; key B read A, write A";
        case 0b010:
            return "key A write never; access bits read A, write never; key B read A, write never";
        case 0b100:
            return "key A write B; access bits read A|B, write never; key B read never, write B";
        case 0b110:
            return "key A write never; access bits read A|B, write never; key B read never, "
                   "write never";
        case 0b001:
            return "key A write A; access bits read A, write A; key B read A, write A";
        case 0b011:
            return "key A write B; access bits read A|B, write B; key B read never, write B";
        case 0b101:
            return "key A write never; access bits read A|B, write B; key B read never, "
                   "write never";
        default:
            return "key A write never; access bits read A|B, write never; key B read never, "
                   "write never";
    }
}

std::optional<ValueBlock> DecodeValueBlock(const std::uint8_t* b) {
    for (int i = 0; i < 4; ++i) {
        if (b[i] != b[i + 8] || static_cast<std::uint8_t>(~b[i]) != b[i + 4]) return std::nullopt;
    }
    if (b[12] != b[14] || b[13] != b[15] || static_cast<std::uint8_t>(~b[12]) != b[13]) {
        return std::nullopt;
    }
    // Stored least significant byte first.
    const std::uint32_t raw =
        static_cast<std::uint32_t>(b[0]) | static_cast<std::uint32_t>(b[1]) << 8 |
        static_cast<std::uint32_t>(b[2]) << 16 | static_cast<std::uint32_t>(b[3]) << 24;
    return ValueBlock{static_cast<std::int32_t>(raw), b[12]};
}

}  // namespace zelvorn::tool
