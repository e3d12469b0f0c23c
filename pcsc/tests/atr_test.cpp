#include <gtest/gtest.h>

#include <string>

#include "pcsc/atr.h"

namespace zelvorn::pcsc {
namespace {

std::string Hex(const std::uint8_t* bytes, std::size_t count) {
    static const char digits[] = "0123456789ABCDEF";
    std::string out;
    for (std::size_t i = 0; i < count; ++i) {
        out += digits[bytes[i] >> 4];
        out += digits[bytes[i] & 0x0F];
    }
    return out;
}

// The storage-card ATRs with the check bytes readers are known to send
// (Mini's computed by hand).
TEST(PcscAtr, StorageCardsCarryTheirNameAndCheckByte) {
    const struct {
        std::uint16_t name;
        const char* atr;
    } cases[] = {
        {kCardMifare1K, "3B8F8001804F0CA000000306030001000000006A"},
        {kCardMifare4K, "3B8F8001804F0CA0000003060300020000000069"},
        {kCardMifareMini, "3B8F8001804F0CA000000306030026000000004D"},
    };
    for (const auto& c : cases) {
        std::uint8_t atr[kMaxAtr];
        const std::size_t n = Atr_StorageCard(kStandardIso14443A3, c.name, atr);
        EXPECT_EQ(Hex(atr, n), c.atr);
    }
}

TEST(PcscAtr, ProcessorAndTypeBCardsMatchPublishedExamples) {
    std::uint8_t atr[kMaxAtr];
    const std::uint8_t desfire[] = {0x80};
    EXPECT_EQ(Hex(atr, Atr_FromHistorical(desfire, 1, atr)), "3B8180018080");
    const std::uint8_t app[] = {0x1C, 0x2D, 0x94, 0x11}, info[] = {0xF7, 0x71, 0x85};
    EXPECT_EQ(Hex(atr, Atr_TypeB(app, info, 0, atr)), "3B8880011C2D9411F7718500BE");
    // More than 15 historical bytes do not fit T0: cut, never overrun.
    std::uint8_t many[40] = {};
    EXPECT_EQ(Atr_FromHistorical(many, sizeof many, atr), 20u);
    EXPECT_EQ(atr[1], 0x8F);
}

TEST(PcscAts, FindsFsciAndHistoricalBytesOrRefusesShortOnes) {
    // TL 6, T0 with TA TB TC and FSCI 5, historical 80 31.
    const std::uint8_t full[] = {0x07, 0x75, 0x80, 0x80, 0x02, 0x80, 0x31};
    AtsFields f{};
    ASSERT_TRUE(Ats_Parse(full, sizeof full, &f));
    EXPECT_EQ(f.fsci, 5);
    ASSERT_EQ(f.historicalCount, 2u);
    EXPECT_EQ(f.historical[1], 0x31);
    const std::uint8_t tlOnly[] = {0x01};
    ASSERT_TRUE(Ats_Parse(tlOnly, 1, &f));
    EXPECT_EQ(f.fsci, 2);
    EXPECT_EQ(f.historicalCount, 0u);
    const std::uint8_t lies[] = {0x03, 0x75, 0x80};  // announces three interface bytes
    EXPECT_FALSE(Ats_Parse(lies, sizeof lies, &f));
    const std::uint8_t longer[] = {0x09, 0x70};  // TL beyond what arrived
    EXPECT_FALSE(Ats_Parse(longer, sizeof longer, &f));
}

}  // namespace
}  // namespace zelvorn::pcsc
