// The tool's own decoding: hexadecimal input, access bits, value blocks.
#include <gtest/gtest.h>

#include "tool/errors.h"
#include "tool/hex.h"
#include "tool/mifare_layout.h"

namespace zelvorn::tool {
namespace {

TEST(ToolHex, AcceptsSpacesAndColonsBetweenDigits) {
    EXPECT_EQ(ParseHex("00a4 04:0C", "APDU"), (Bytes{0x00, 0xA4, 0x04, 0x0C}));
    EXPECT_EQ(ParseHex("", "APDU"), Bytes{});
}

TEST(ToolHex, SaysWhatIsWrong) {
    struct Case {
        const char* text;
        std::optional<std::size_t> exact;
        const char* message;
    };
    const Case cases[] = {
        {"00G1", std::nullopt, "'G' at position 3 is not a hexadecimal digit"},
        {"0x12", std::nullopt, "'x' at position 2 is not a hexadecimal digit"},
        {"123", std::nullopt, "odd number of hexadecimal digits (3)"},
        {"FFFF", 6, "expected 6 bytes (12 hexadecimal digits), got 2"},
    };
    for (const Case& c : cases) {
        try {
            ParseHex(c.text, "key", c.exact);
            ADD_FAILURE() << c.text << " was accepted";
        } catch (const ToolError& e) {
            EXPECT_EQ(e.ExitCode(), kExitUsage);
            EXPECT_NE(std::string(e.what()).find(c.message), std::string::npos) << e.what();
            EXPECT_NE(std::string(e.what()).find("key \""), std::string::npos) << e.what();
        }
    }
}

TEST(ToolLayout, SectorGeometryOfSmallAndLargeSectors) {
    EXPECT_EQ(SectorOf(127), 31);
    EXPECT_EQ(SectorOf(128), 32);
    EXPECT_EQ(SectorOf(255), 39);
    EXPECT_EQ(FirstBlockOf(33), 144);
    EXPECT_TRUE(IsTrailer(3));
    EXPECT_TRUE(IsTrailer(143));
    EXPECT_FALSE(IsTrailer(131));
    EXPECT_TRUE(IsTrailer(255));
    EXPECT_EQ(SectorCountForType(0x18), 40);
    EXPECT_EQ(SectorCountForType(0x08), 16);
}

TEST(ToolLayout, TransportAccessBitsDecode) {
    const std::uint8_t trailer[16] = {0, 0, 0, 0, 0, 0, 0xFF, 0x07, 0x80, 0x69};
    const auto conditions = TrailerConditions(trailer);
    ASSERT_TRUE(conditions.has_value());
    EXPECT_EQ(*conditions, (std::array<std::uint8_t, 4>{0, 0, 0, 1}));
}

TEST(ToolLayout, EveryConditionSurvivesEncodingAndABrokenCopyIsRefused) {
    for (int packed = 0; packed < 8 * 8 * 8 * 8; ++packed) {
        const std::array<std::uint8_t, 4> conditions{
            static_cast<std::uint8_t>(packed & 7), static_cast<std::uint8_t>(packed >> 3 & 7),
            static_cast<std::uint8_t>(packed >> 6 & 7), static_cast<std::uint8_t>(packed >> 9 & 7)};
        const auto bytes = EncodeAccessBits(conditions);
        std::uint8_t trailer[16] = {};
        std::copy(bytes.begin(), bytes.end(), trailer + 6);
        ASSERT_EQ(TrailerConditions(trailer), conditions) << packed;
        for (int bit = 0; bit < 24; ++bit) {
            std::uint8_t broken[16] = {};
            std::copy(trailer, trailer + 16, broken);
            broken[6 + bit / 8] ^= static_cast<std::uint8_t>(1 << (bit % 8));
            ASSERT_FALSE(TrailerConditions(broken).has_value()) << packed << " bit " << bit;
        }
    }
}

TEST(ToolLayout, ValueBlocks) {
    // -20 at address 9, least significant byte first.
    const std::uint8_t good[16] = {0xEC, 0xFF, 0xFF, 0xFF, 0x13, 0x00, 0x00, 0x00,
                                   0xEC, 0xFF, 0xFF, 0xFF, 0x09, 0xF6, 0x09, 0xF6};
    const auto value = DecodeValueBlock(good);
    ASSERT_TRUE(value.has_value());
    EXPECT_EQ(value->value, -20);
    EXPECT_EQ(value->address, 9);
    for (int i = 0; i < 16; ++i) {
        std::uint8_t bad[16];
        std::copy(good, good + 16, bad);
        bad[i] ^= 0x01;
        EXPECT_FALSE(DecodeValueBlock(bad).has_value()) << "byte " << i;
    }
    const std::uint8_t zeros[16] = {};
    EXPECT_FALSE(DecodeValueBlock(zeros).has_value());
}

// The MIFARE Classic datasheet's access tables, row by row (C1 C2 C3).
TEST(ToolLayout, AccessConditionTextsFollowTheDatasheet) {
    const char* data[8] = {
        "read A|B, write A|B, increment A|B, decrement A|B",                    // 000
        "read A|B, write never, increment never, decrement A|B (value block)",  // 001
        "read A|B, write never, increment never, decrement never",              // 010
        "read B, write B, increment never, decrement never",                    // 011
        "read A|B, write B, increment never, decrement never",                  // 100
        "read B, write never, increment never, decrement never",                // 101
        "read A|B, write B, increment B, decrement A|B (value block)",          // 110
        "read never, write never, increment never, decrement never",            // 111
    };
    // Under a trailer that makes key B readable, key B opens nothing.
    const char* dataKeyBReadable[8] = {
        "read A, write A, increment A, decrement A",
        "read A, write never, increment never, decrement A (value block)",
        "read A, write never, increment never, decrement never",
        "read never, write never, increment never, decrement never",
        "read A, write never, increment never, decrement never",
        "read never, write never, increment never, decrement never",
        "read A, write never, increment never, decrement A (value block)",
        "read never, write never, increment never, decrement never",
    };
    const char* trailer[8] = {
        "key A write A; access bits read A, write never; key B read A, write A",
        "key A write A; access bits read A, write A; key B read A, write A",
        "key A write never; access bits read A, write never; key B read A, write never",
        "key A write B; access bits read A|B, write B; key B read never, write B",
        "key A write B; access bits read A|B, write never; key B read never, write B",
        "key A write never; access bits read A|B, write B; key B read never, write never",
        "key A write never; access bits read A|B, write never; key B read never, write never",
        "key A write never; access bits read A|B, write never; key B read never, write never",
    };
    const bool readable[8] = {true, true, true, false, false, false, false, false};
    for (std::uint8_t c = 0; c < 8; ++c) {
        EXPECT_EQ(TrailerConditionText(c), trailer[c]) << int(c);
        EXPECT_EQ(KeyBReadable(c), readable[c]) << int(c);
        EXPECT_EQ(DataConditionText(c, 0b011), data[c]) << int(c);
        EXPECT_EQ(DataConditionText(c, 0b001), dataKeyBReadable[c]) << int(c);
    }
}

TEST(ToolErrors, ResultsByName) {
    EXPECT_EQ(DescribeResult(ERR_FAILURE), "ERR_FAILURE (-1000)");
    EXPECT_EQ(DescribeResult(ERR_INVALID_PARAMETER), "ERR_INVALID_PARAMETER (-2030)");
    EXPECT_EQ(DescribeResult(-4), "-4 authentication failed: wrong key");
    EXPECT_EQ(DescribeResult(-32), "reader status 0xFFE0 (-32)");
    EXPECT_EQ(DescribeResult(0x6A82), "reader status 0x6A82 (27266)");
    EXPECT_TRUE(IsLibraryFailure(ERR_DEVICE_BUSY));
    EXPECT_FALSE(IsLibraryFailure(-4));
}

}  // namespace
}  // namespace zelvorn::tool
