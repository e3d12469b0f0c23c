#include "tool/mifare_layout.h"

#include <cctype>

#include <fmt/format.h>

#include "mifare/card_types.h"
#include "tool/errors.h"

namespace zelvorn::tool {

int SectorCountForType(std::uint8_t cardType) {
    const int sectors = mifare::CardTypeOf(cardType).classicSectors;
    return sectors == 0 ? 16 : sectors;
}

int SectorCountForBlocks(int blocks) {
    const mifare::Size* size = mifare::SizeForBlocks(blocks);
    return size == nullptr ? 0 : size->sectors;
}

namespace {

std::string Keys(std::uint8_t mask) {
    switch (mask & mifare::kKeyAB) {
        case mifare::kKeyAB:
            return "A|B";
        case mifare::kKeyA:
            return "A";
        case mifare::kKeyB:
            return "B";
        default:
            return "never";
    }
}

}  // namespace

std::string DataConditionText(std::uint8_t condition, std::uint8_t trailerCondition) {
    Conditions c{condition, 0, 0, trailerCondition};
    const auto right = [&c](mifare::DataOperation op) { return Keys(mifare::DataRight(c, 0, op)); };
    // 001 and 110 are the conditions meant for value blocks.
    const std::uint8_t bits = condition & 7;
    return fmt::format("read {}, write {}, increment {}, decrement {}{}", right(mifare::kRead),
                       right(mifare::kWrite), right(mifare::kIncrement), right(mifare::kDecrement),
                       bits == 0b001 || bits == 0b110 ? " (value block)" : "");
}

std::string TrailerConditionText(std::uint8_t condition) {
    // Key A can never be read back; where key B can be read it serves as
    // data, and the rights say so as the table gives them.
    const auto& r = mifare::kTrailerRights[condition & 7];
    return fmt::format("key A write {}; access bits read {}, write {}; key B read {}, write {}",
                       Keys(r[mifare::kWriteKeyA]), Keys(r[mifare::kReadAccess]),
                       Keys(r[mifare::kWriteAccess]), Keys(r[mifare::kReadKeyB]),
                       Keys(r[mifare::kWriteKeyB]));
}

Conditions ParseConditions(const std::string& text) {
    const auto fail = [&text](const std::string& why) {
        return UsageError(fmt::format(
            "access conditions \"{}\": {}; give them as \"data:C,C,C trailer:C\" with C three "
            "bits C1 C2 C3 such as 001",
            text, why));
    };
    const auto bits = [&fail](const std::string& word) {
        if (word.size() != 3 || word.find_first_not_of("01") != std::string::npos) {
            throw fail(fmt::format("\"{}\" is not three bits", word));
        }
        return static_cast<std::uint8_t>((word[0] - '0') << 2 | (word[1] - '0') << 1 |
                                         (word[2] - '0'));
    };
    std::optional<std::array<std::uint8_t, 3>> data;
    std::optional<std::uint8_t> trailer;
    std::size_t at = 0;
    while (at < text.size()) {
        if (std::isspace(static_cast<unsigned char>(text[at]))) {
            ++at;
            continue;
        }
        std::size_t end = at;
        while (end < text.size() && !std::isspace(static_cast<unsigned char>(text[end]))) ++end;
        const std::string part = text.substr(at, end - at);
        at = end;
        const std::size_t colon = part.find(':');
        const std::string name = part.substr(0, colon);
        const std::string value = colon == std::string::npos ? "" : part.substr(colon + 1);
        if (name == "trailer" && colon != std::string::npos && !trailer) {
            trailer = bits(value);
        } else if (name == "data" && colon != std::string::npos && !data) {
            std::array<std::uint8_t, 3> groups{};
            std::size_t from = 0;
            int n = 0;
            for (;;) {
                const std::size_t comma = value.find(',', from);
                if (n == 3) throw fail("data takes one or three groups");
                groups[n++] = bits(value.substr(from, comma - from));
                if (comma == std::string::npos) break;
                from = comma + 1;
            }
            if (n == 2) throw fail("data takes one or three groups");
            if (n == 1) groups = {groups[0], groups[0], groups[0]};
            data = groups;
        } else {
            throw fail(
                fmt::format("\"{}\" is neither data:... nor trailer:..., or comes twice", part));
        }
    }
    if (!data || !trailer) throw fail(!data ? "data:... is missing" : "trailer:... is missing");
    return {(*data)[0], (*data)[1], (*data)[2], *trailer};
}

std::string ConditionsText(const Conditions& c) {
    return fmt::format("data:{:03b},{:03b},{:03b} trailer:{:03b}", c[0], c[1], c[2], c[3]);
}

}  // namespace zelvorn::tool
