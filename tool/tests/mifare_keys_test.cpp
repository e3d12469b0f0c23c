// The key search in-process: the order keys are tried in, and key files
// written and read back.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tool/errors.h"
#include "tool/mifare_keys.h"

namespace zelvorn::tool {
namespace {

Key K(std::uint8_t b) {
    return {b, b, b, b, b, b};
}

std::vector<std::string> Labels(const KeySearch& search, const std::vector<std::size_t>& order) {
    std::vector<std::string> out;
    for (const std::size_t i : order) out.push_back(search.Credentials()[i].label);
    return out;
}

TEST(ToolKeySearch, TriesKeysThatOpenedASectorFirstAndKeyFileHintsBeforeThem) {
    std::vector<Credential> credentials;
    for (const char kind : {'A', 'B'}) {
        for (const std::uint8_t b : {0x11, 0x22, 0x33}) credentials.push_back(Given(kind, K(b)));
    }
    SectorKeys hints;
    hints.a[5] = K(0x33);
    KeySearch search(credentials, hints);
    const std::string a1 = "key A 111111111111", a2 = "key A 222222222222",
                      a3 = "key A 333333333333", b1 = "key B 111111111111",
                      b2 = "key B 222222222222", b3 = "key B 333333333333";
    EXPECT_EQ(Labels(search, search.Order(0)), (std::vector{a1, a2, a3, b1, b2, b3}));
    search.Opened(2);  // key A 33 opened a sector
    search.Opened(1);
    search.Opened(1);  // key A 22 opened two
    struct Row {
        int sector;
        std::optional<char> kind;
        std::vector<std::string> order;
    };
    const Row rows[] = {
        {0, std::nullopt, {a2, a3, a1, b1, b2, b3}},
        // The key file names key A 33 for sector 5: before every other.
        {5, std::nullopt, {a3, a2, a1, b1, b2, b3}},
        // Looking for key B: the keys that opened a sector as key A first.
        {0, 'B', {b2, b3, b1}},
        {0, 'A', {a2, a3, a1}},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(Labels(search, search.Order(row.sector, row.kind)), row.order)
            << "sector " << row.sector << " kind " << row.kind.value_or('-');
    }
}

TEST(ToolKeyFile, WrittenKeysReadBackWithTheirSectors) {
    MifareDump dump;
    dump.uid = {0xA1, 0xB2, 0xC3, 0xD4};
    dump.blocks.resize(64);
    // Sector 0: transport access bits, key B readable (data, left out);
    // sector 1: key B hidden (5D278A) and known; sector 2: key A unknown.
    const Block transport = {0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0xFF, 0x07,
                             0x80, 0x69, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE};
    const Block hidden = {0x22, 0x22, 0x22, 0x22, 0x22, 0x22, 0x5D, 0x27,
                          0x8A, 0x69, 0x33, 0x33, 0x33, 0x33, 0x33, 0x33};
    dump.blocks[3] = transport;
    dump.blocks[7] = hidden;
    dump.blocks[11] = hidden;
    SetKeyKnown(dump, 2, 'A', false);

    SectorKeys hints;
    const std::vector<Key> fromJson = ReadKeyFile(WriteKeyFile(dump, true), hints);
    EXPECT_EQ(fromJson, (std::vector<Key>{K(0x11), K(0x22), K(0x33)}));
    EXPECT_EQ(hints.a, (std::map<int, Key>{{0, K(0x11)}, {1, K(0x22)}}));
    EXPECT_EQ(hints.b, (std::map<int, Key>{{1, K(0x33)}, {2, K(0x33)}}));

    const std::string dictionary = WriteKeyFile(dump, false);
    EXPECT_NE(dictionary.find("333333333333  # key B of sectors 1,2\n"), std::string::npos)
        << dictionary;
    SectorKeys none;
    EXPECT_EQ(ReadKeyFile(dictionary, none), fromJson);
    EXPECT_TRUE(none.a.empty() && none.b.empty());

    const char* bad[] = {R"({"sectors": [{"sector": 40, "keyA": "FFFFFFFFFFFF"}]})",
                         R"({"sectors": [{"sector": 1, "keyA": "FFFF"}]})", R"({"keys": []})"};
    for (const char* text : bad) {
        EXPECT_THROW(ReadKeyFile(text, none), ToolError) << text;
    }
}

}  // namespace
}  // namespace zelvorn::tool
