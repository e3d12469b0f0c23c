// MIFARE Classic cards behind the reader: memory layout, authentication,
// access conditions, value blocks and the reader's key store.
#include "virtual/cards/mifare_classic.h"

#include "virtual/tests/virtual_fixture.h"

namespace zelvorn::virt::testing {
namespace {

const Bytes kTransportKey(6, 0xFF);
const Bytes kKeyA{0xA0, 0xA1, 0xA2, 0xA3, 0xA4, 0xA5};
const Bytes kKeyB{0xB0, 0xB1, 0xB2, 0xB3, 0xB4, 0xB5};

Bytes Be(std::int32_t v) {
    const auto u = static_cast<std::uint32_t>(v);
    return {static_cast<std::uint8_t>(u >> 24), static_cast<std::uint8_t>(u >> 16),
            static_cast<std::uint8_t>(u >> 8), static_cast<std::uint8_t>(u)};
}

std::array<std::uint8_t, 6> Key(const Bytes& k) {
    std::array<std::uint8_t, 6> a{};
    std::copy(k.begin(), k.end(), a.begin());
    return a;
}

class MifareClassicTest : public VirtualTest {
protected:
    MifareClassic& Card() { return static_cast<MifareClassic&>(device().CardAt(0)); }

    // Selects the default scenario's MIFARE card and logs in to a sector.
    StatusWord Login(std::uint8_t sector, std::uint8_t keyType, const Bytes& key) {
        EXPECT_EQ(StatusOf(0x00), kStatusOk);
        return StatusOf(0x02, Cat({sector, keyType}, key));
    }
    // Gives a sector of the MIFARE card keys A, B and the access conditions
    // of its four block groups.
    void Configure(unsigned sector, const std::array<std::uint8_t, 4>& conditions) {
        Card().SetTrailer(sector, Key(kKeyA), MifareClassic::EncodeAccess(conditions), Key(kKeyB));
    }
};

TEST_F(MifareClassicTest, SelectReportsTypeAndSerialAndBlockZeroCarriesThem) {
    const Bytes data = Ok(0x00);
    EXPECT_EQ(data, (Bytes{3, 0x08, 4, 0xA1, 0xB2, 0xC3, 0xD4, 0, 0, 0, 0, 0, 0}));
    ASSERT_EQ(StatusOf(0x02, Cat({0, 0xAA}, kTransportKey)), kStatusOk);
    const Bytes block0 = Ok(0x06, {0});
    EXPECT_EQ(Bytes(block0.begin(), block0.begin() + 7),
              (Bytes{0xA1, 0xB2, 0xC3, 0xD4, 0xA1 ^ 0xB2 ^ 0xC3 ^ 0xD4, 0x08, 0x04}));
    EXPECT_EQ(StatusOf(0x0A, Cat({0}, Repeat(0, 16))), kStatusReadOnly);
}

TEST_F(MifareClassicTest, FactoryTrailerReadsWithKeyAHidden) {
    ASSERT_EQ(Login(1, 0xAA, kTransportKey), kStatusOk);
    EXPECT_EQ(Ok(0x06, {7}), Cat(Cat(Repeat(0, 6), {0xFF, 0x07, 0x80, 0x69}), kTransportKey));
    EXPECT_EQ(Ok(0x06, {4}), Repeat(0, 16));
}

TEST_F(MifareClassicTest, WrongKeyFailsAndTheCardMustBeSelectedAgain) {
    EXPECT_EQ(Login(1, 0xAA, kKeyA), kStatusAuthFailed);
    EXPECT_EQ(StatusOf(0x06, {4}), kStatusNotSelected);
    EXPECT_EQ(Login(1, 0xBB, kTransportKey), kStatusOk);
}

TEST_F(MifareClassicTest, OnlyTheSectorLoggedInToIsReachable) {
    EXPECT_EQ(StatusOf(0x06, {4}), kStatusNotSelected);
    ASSERT_EQ(StatusOf(0x00), kStatusOk);
    EXPECT_EQ(StatusOf(0x06, {4}), kStatusNotAuthenticated);
    ASSERT_EQ(StatusOf(0x02, Cat({1, 0xAA}, kTransportKey)), kStatusOk);
    EXPECT_EQ(StatusOf(0x06, {8}), kStatusNotAuthenticated);
    EXPECT_EQ(StatusOf(0x06, {64}), kStatusOutOfRange);
    EXPECT_EQ(StatusOf(0x02, Cat({16, 0xAA}, kTransportKey)), kStatusOutOfRange);
}

TEST_F(MifareClassicTest, WriteEchoesTheBlockAndReadsBack) {
    ASSERT_EQ(Login(1, 0xAA, kTransportKey), kStatusOk);
    Bytes data(16);
    for (int i = 0; i < 16; ++i) data[i] = static_cast<std::uint8_t>(0x30 + i);
    EXPECT_EQ(Ok(0x0A, Cat({5}, data)), data);
    EXPECT_EQ(Ok(0x06, {5}), data);
}

TEST_F(MifareClassicTest, ValueArithmeticKeepsTheCardsFormat) {
    ASSERT_EQ(Login(1, 0xAA, kTransportKey), kStatusOk);
    EXPECT_EQ(Ok(0x0B, Cat({5}, Be(100))), Be(100));
    const auto& raw = Card().Block(5);
    EXPECT_EQ(Bytes(raw.begin(), raw.end()),
              (Bytes{0x64, 0, 0, 0, 0x9B, 0xFF, 0xFF, 0xFF, 0x64, 0, 0, 0, 5, 0xFA, 5, 0xFA}));
    EXPECT_EQ(Ok(0x0F, Cat({5}, Be(25))), Be(125));
    EXPECT_EQ(Ok(0x10, Cat({5}, Be(130))), Be(-5));
    EXPECT_EQ(Ok(0x07, {5}), Be(-5));
    EXPECT_EQ(Ok(0x11, {5, 6}), Be(-5));
    EXPECT_EQ(Ok(0x07, {6}), Be(-5));
    EXPECT_EQ(Card().Block(6)[12], 6);  // the copy carries its own address
}

TEST_F(MifareClassicTest, MalformedValueBlocksAndOverflowAreRefused) {
    ASSERT_EQ(Login(1, 0xAA, kTransportKey), kStatusOk);
    Ok(0x0A, Cat({4}, Repeat(0x11, 16)));
    auto spoiled = MifareClassic::ValueBlock(7, 6);
    spoiled[13] ^= 0x01;  // address check byte
    Card().SetBlock(6, spoiled);
    for (std::uint8_t block : {4, 6}) {
        EXPECT_EQ(StatusOf(0x07, {block}), kStatusNotValueBlock);
        EXPECT_EQ(StatusOf(0x0F, Cat({block}, Be(1))), kStatusNotValueBlock);
        EXPECT_EQ(StatusOf(0x10, Cat({block}, Be(1))), kStatusNotValueBlock);
        EXPECT_EQ(StatusOf(0x11, {block, 5}), kStatusNotValueBlock);
    }
    EXPECT_EQ(StatusOf(0x0F, Cat({7}, Be(1))), kStatusNotValueBlock);  // the trailer
    Ok(0x0B, Cat({5}, Be(INT32_MAX)));
    EXPECT_EQ(StatusOf(0x0F, Cat({5}, Be(1))), kStatusValueOverflow);
    EXPECT_EQ(Ok(0x07, {5}), Be(INT32_MAX));
}

// Access conditions per block group, checked with key A and key B.
TEST_F(MifareClassicTest, AccessConditionsDecideEachOperation) {
    struct Case {
        std::uint8_t condition;
        std::uint8_t keyType;
        StatusWord read, write, increment, decrement;
    };
    const StatusWord ok = kStatusOk, no = kStatusAccessDenied;
    const Case cases[] = {
        {0b000, 0xAA, ok, ok, ok, ok}, {0b010, 0xAA, ok, no, no, no}, {0b010, 0xBB, ok, no, no, no},
        {0b100, 0xAA, ok, no, no, no}, {0b100, 0xBB, ok, ok, no, no}, {0b110, 0xAA, ok, no, no, ok},
        {0b110, 0xBB, ok, ok, ok, ok}, {0b001, 0xAA, ok, no, no, ok}, {0b011, 0xAA, no, no, no, no},
        {0b011, 0xBB, ok, ok, no, no}, {0b101, 0xBB, ok, no, no, no}, {0b111, 0xBB, no, no, no, no},
    };
    for (const Case& c : cases) {
        Load(Scenario_Default());
        // Trailer condition 011: key B is a key (it cannot be read).
        Configure(2, {c.condition, 0, 0, 0b011});
        Card().SetBlock(8, MifareClassic::ValueBlock(50, 8));
        ASSERT_EQ(Login(2, c.keyType, c.keyType == 0xAA ? kKeyA : kKeyB), kStatusOk);
        const std::string what =
            "condition " + std::to_string(c.condition) + " key " + (c.keyType == 0xAA ? "A" : "B");
        EXPECT_EQ(StatusOf(0x06, {8}), c.read) << what;
        const Bytes same(Card().Block(8).begin(), Card().Block(8).end());
        EXPECT_EQ(StatusOf(0x0A, Cat({8}, same)), c.write) << what;
        EXPECT_EQ(StatusOf(0x0F, Cat({8}, Be(1))), c.increment) << what;
        EXPECT_EQ(StatusOf(0x10, Cat({8}, Be(1))), c.decrement) << what;
    }
}

TEST_F(MifareClassicTest, ReadableKeyBOpensNothing) {
    Configure(2, {0, 0, 0, 0b001});  // transport trailer condition: key B readable
    ASSERT_EQ(Login(2, 0xBB, kKeyB), kStatusOk);
    EXPECT_EQ(StatusOf(0x06, {8}), kStatusAccessDenied);
    ASSERT_EQ(Login(2, 0xAA, kKeyA), kStatusOk);
    EXPECT_EQ(StatusOf(0x06, {8}), kStatusOk);
    const Bytes trailer = Ok(0x06, {11});
    EXPECT_EQ(Bytes(trailer.begin() + 10, trailer.end()), kKeyB);
}

TEST_F(MifareClassicTest, WrittenTrailerTakesEffectAtTheNextLogin) {
    ASSERT_EQ(Login(3, 0xAA, kTransportKey), kStatusOk);
    const auto access = MifareClassic::EncodeAccess({0b010, 0b010, 0b010, 0b011});
    const Bytes trailer = Cat(Cat(kKeyA, Bytes(access.begin(), access.end())), kKeyB);
    ASSERT_EQ(StatusOf(0x0A, Cat({15}, trailer)), kStatusOk);
    // The session still runs on the old conditions: data blocks stay writable.
    EXPECT_EQ(StatusOf(0x0A, Cat({12}, Repeat(0x42, 16))), kStatusOk);
    EXPECT_EQ(Login(3, 0xAA, kTransportKey), kStatusAuthFailed);
    ASSERT_EQ(Login(3, 0xAA, kKeyA), kStatusOk);
    EXPECT_EQ(Ok(0x06, {12}), Repeat(0x42, 16));
    EXPECT_EQ(StatusOf(0x0A, Cat({12}, Repeat(0x43, 16))), kStatusAccessDenied);
}

TEST_F(MifareClassicTest, TrailerWithInconsistentAccessBitsIsRefused) {
    ASSERT_EQ(Login(3, 0xAA, kTransportKey), kStatusOk);
    const Bytes trailer = Cat(Cat(kKeyA, {0xFF, 0x07, 0x81, 0x69}), kKeyB);
    EXPECT_EQ(StatusOf(0x0A, Cat({15}, trailer)), kStatusBadAccessBits);
    EXPECT_EQ(Login(3, 0xAA, kTransportKey), kStatusOk);
}

TEST_F(MifareClassicTest, TrailerPartsChangeOnlyWhereAllowed) {
    // Condition 100: key B writes both keys, nobody writes the access bits.
    Configure(4, {0, 0, 0, 0b100});
    ASSERT_EQ(Login(4, 0xAA, kKeyA), kStatusOk);
    EXPECT_EQ(
        StatusOf(0x0A, Cat({19}, Cat(Cat(kTransportKey, {0xFF, 0x07, 0x80, 0x69}), kTransportKey))),
        kStatusAccessDenied);
    ASSERT_EQ(Login(4, 0xBB, kKeyB), kStatusOk);
    ASSERT_EQ(
        StatusOf(0x0A, Cat({19}, Cat(Cat(kTransportKey, {0xFF, 0x07, 0x80, 0x69}), kTransportKey))),
        kStatusOk);
    const auto& t = Card().Block(19);
    EXPECT_EQ(Bytes(t.begin(), t.begin() + 6), kTransportKey);
    const auto kept = MifareClassic::EncodeAccess({0, 0, 0, 0b100});
    EXPECT_EQ(Bytes(t.begin() + 6, t.begin() + 10), Bytes(kept.begin(), kept.end()));
}

TEST_F(MifareClassicTest, StoredKeysAndReaderKeysServeTheShortLogin) {
    Configure(5, {0, 0, 0, 0b011});
    ASSERT_EQ(Ok(0x0D, Cat({3}, kKeyA)), kKeyA);
    ASSERT_EQ(Ok(0x0D, Cat({15}, kKeyB)), kKeyB);
    EXPECT_EQ(Login(5, 0x13, {}), kStatusOk);  // stored key 3 as key A
    EXPECT_EQ(Login(5, 0x3F, {}), kStatusOk);  // stored key 15 as key B
    EXPECT_EQ(Login(5, 0x33, {}), kStatusAuthFailed);
    EXPECT_EQ(Login(5, 0xAA, {}), kStatusAuthFailed);  // reader key A still FF..FF
    ASSERT_EQ(Ok(0x0D, Cat({0xAA}, kKeyA)), kKeyA);
    ASSERT_EQ(Ok(0x0D, Cat({0xBB}, kKeyB)), kKeyB);
    EXPECT_EQ(Login(5, 0xAA, {}), kStatusOk);
    EXPECT_EQ(Login(5, 0xBB, {}), kStatusOk);
    EXPECT_EQ(Login(1, 0xFF, {}), kStatusOk);  // key F: FF..FF as key A
    EXPECT_EQ(Login(5, 0x20, {}), kStatusOutOfRange);
    EXPECT_EQ(Login(5, 0x00, {}), kStatusOutOfRange);
    // Keys live in the reader's non-volatile memory.
    Ok(0x05);
    EXPECT_EQ(Login(5, 0x13, {}), kStatusOk);
}

TEST_F(MifareClassicTest, FourKCardHasSixteenBlockSectorsAbove128) {
    Scenario s;
    s.Add<MifareClassic>(ClassicSize::k4K, Bytes{0x04, 1, 2, 3, 4, 5, 6});
    Load(std::move(s));
    EXPECT_EQ(Ok(0x00), (Bytes{1, 0x18, 7, 0x04, 1, 2, 3, 4, 5, 6, 0, 0, 0}));
    ASSERT_EQ(StatusOf(0x02, Cat({32, 0xAA}, kTransportKey)), kStatusOk);
    EXPECT_EQ(StatusOf(0x0A, Cat({131}, Repeat(0x31, 16))), kStatusOk);
    EXPECT_EQ(StatusOf(0x0A, Cat({142}, Repeat(0x32, 16))), kStatusOk);
    EXPECT_EQ(Ok(0x06, {143}), Cat(Cat(Repeat(0, 6), {0xFF, 0x07, 0x80, 0x69}), kTransportKey));
    EXPECT_EQ(StatusOf(0x06, {144}), kStatusNotAuthenticated);
    ASSERT_EQ(StatusOf(0x02, Cat({39, 0xAA}, kTransportKey)), kStatusOk);
    EXPECT_EQ(StatusOf(0x06, {255}), kStatusOk);
    EXPECT_EQ(StatusOf(0x02, Cat({40, 0xAA}, kTransportKey)), kStatusOutOfRange);
}

}  // namespace
}  // namespace zelvorn::virt::testing
