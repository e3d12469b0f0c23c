// Several cards in the field, the type B card and the ASK ticket.
#include "virtual/cards/ask_ticket.h"
#include "virtual/cards/mifare_classic.h"
#include "virtual/cards/processor_card.h"
#include "virtual/cards/type_b_card.h"
#include "virtual/tests/virtual_fixture.h"

namespace zelvorn::virt::testing {
namespace {

using Field = VirtualTest;

const Bytes kSeven{0x04, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66};
const Bytes kTen{0x08, 1, 2, 3, 4, 5, 6, 7, 8, 9};
const Bytes kFour{0xDE, 0xAD, 0xBE, 0xEF};

Scenario ThreeTypeACards() {
    Scenario s;
    s.Add<MifareClassic>(ClassicSize::k1K, kFour);
    s.Add<MifareClassic>(ClassicSize::k4K, kSeven);
    s.Add<ProcessorCard>(kTen, FileSystemApp(FileNode::Df(0x3F00)));
    s.Add<TypeBCard>(defaults::kTypeBPupi, std::array<std::uint8_t, 4>{},
                     std::array<std::uint8_t, 3>{});
    s.Add<AskTicket>(defaults::kTicketSerial);
    return s;
}

Bytes Entry(std::uint8_t type, const Bytes& serial) {
    Bytes e{type, static_cast<std::uint8_t>(serial.size())};
    e.insert(e.end(), serial.begin(), serial.end());
    e.resize(12, 0);
    return e;
}

TEST_F(Field, ListNamesEveryTypeACardAndLeavesNoneSelected) {
    Load(ThreeTypeACards());
    ASSERT_EQ(StatusOf(0x00), kStatusOk);
    const Bytes list = Ok(0x03);
    EXPECT_EQ(list, Cat(Cat(Cat({3}, Entry(0x08, kFour)), Entry(0x18, kSeven)), Entry(0x20, kTen)));
    EXPECT_EQ(device().Selected(), nullptr);
}

TEST_F(Field, SelectBySerialPicksThatCardWhateverItsLength) {
    Load(ThreeTypeACards());
    for (const Bytes* serial : {&kTen, &kFour, &kSeven}) {
        const Bytes data = Ok(0x03, Cat({static_cast<std::uint8_t>(serial->size())}, *serial));
        ASSERT_EQ(data.size(), 13u);
        EXPECT_EQ(Bytes(data.begin() + 2, data.begin() + 2 + serial->size() + 1),
                  Cat({static_cast<std::uint8_t>(serial->size())}, *serial));
        EXPECT_EQ(device().Selected()->Serial(), *serial);
    }
    EXPECT_EQ(StatusOf(0x03, {4, 0xDE, 0xAD, 0xBE, 0xEE}), kStatusNoCard);
    // A shorter serial that starts like a longer one names no card.
    EXPECT_EQ(StatusOf(0x03, {4, 0x04, 0x11, 0x22, 0x33}), kStatusNoCard);
}

TEST_F(Field, SelectingAnotherCardEndsTheFirstOnesSession) {
    Load(ThreeTypeACards());
    ASSERT_EQ(StatusOf(0x03, Cat({4}, kFour)), kStatusOk);
    ASSERT_EQ(StatusOf(0x02, Cat({1, 0xAA}, Repeat(0xFF, 6))), kStatusOk);
    ASSERT_EQ(StatusOf(0x03, Cat({7}, kSeven)), kStatusOk);
    ASSERT_EQ(StatusOf(0x03, Cat({4}, kFour)), kStatusOk);
    EXPECT_EQ(StatusOf(0x06, {4}), kStatusNotAuthenticated);
}

TEST_F(Field, SingleSelectTakesTheFirstTypeACardAndFindsNoneInAnEmptyField) {
    Load(ThreeTypeACards());
    EXPECT_EQ(Ok(0x00), Cat({3}, Entry(0x08, kFour)));
    Load(Scenario{});
    EXPECT_EQ(StatusOf(0x00), kStatusNoCard);
    EXPECT_EQ(Ok(0x03), (Bytes{0}));
    EXPECT_EQ(StatusOf(0x21), kStatusNoCard);
    EXPECT_EQ(StatusOf(0x34, {4}), kStatusNoCard);
}

TEST_F(Field, ListStopsAtTheNineEntriesOneReplyHolds) {
    Scenario s;
    for (std::uint8_t i = 0; i < 12; ++i)
        s.Add<MifareClassic>(ClassicSize::k1K, Bytes{0x10, 0x20, 0x30, i});
    Load(std::move(s));
    const Bytes list = Ok(0x03);
    ASSERT_EQ(list.size(), 1u + 9 * 12);
    EXPECT_EQ(list[0], 9);
    EXPECT_EQ(list[1 + 8 * 12 + 5], 8);
}

TEST_F(Field, CardsLeavingTheFieldAreGone) {
    ASSERT_EQ(StatusOf(0x00), kStatusOk);
    ASSERT_TRUE(device().RemoveCard(device().CardAt(0)));
    EXPECT_EQ(StatusOf(0x06, {4}), kStatusNotSelected);
    EXPECT_EQ(Ok(0x00)[1], 0x20);  // now the processor card comes first
}

TEST_F(Field, TypeBCardAnswersWithItsTwelveByteAtqb) {
    EXPECT_EQ(Ok(0x21),
              (Bytes{0x50, 0x1B, 0x2B, 0x3B, 0x4B, 0x12, 0x34, 0x56, 0x78, 0x00, 0x81, 0x71}));
}

TEST_F(Field, CommandsForAnotherTechnologyAreNotSupported) {
    ASSERT_EQ(StatusOf(0x03, Cat({7}, defaults::kProcessorSerial)), kStatusOk);
    EXPECT_EQ(StatusOf(0x02, Cat({1, 0xAA}, Repeat(0xFF, 6))), kStatusNotSupported);
    EXPECT_EQ(StatusOf(0x06, {4}), kStatusNotSupported);
    ASSERT_EQ(StatusOf(0x00), kStatusOk);  // the MIFARE card stays silent to telegrams
    EXPECT_EQ(StatusOf(0x16, {2, 0x0F, 0xE0, 0x40}), kStatusNoAnswer);
}

TEST_F(Field, AskTicketReadsTwoAndEightBytes) {
    auto& ticket = static_cast<AskTicket&>(device().CardAt(3));
    for (unsigned s = 4; s < 8; ++s)
        ticket.SetSector(s, static_cast<std::uint8_t>(s), static_cast<std::uint8_t>(0xF0 | s));
    EXPECT_EQ(Ok(0x34, {0}), (Bytes{0xA5, 0x4B}));
    EXPECT_EQ(Ok(0x34, {1}), (Bytes{0x00, 0x01}));
    EXPECT_EQ(Ok(0x35, {4}), (Bytes{4, 0xF4, 5, 0xF5, 6, 0xF6, 7, 0xF7}));
    EXPECT_EQ(Ok(0x35, {28}).size(), 8u);
    EXPECT_EQ(StatusOf(0x35, {29}), kStatusOutOfRange);
    EXPECT_EQ(StatusOf(0x34, {32}), kStatusOutOfRange);
}

TEST_F(Field, AskWritesEraseOrOnlySetBits) {
    EXPECT_EQ(Ok(0x32, {10, 0x12, 0x34}), (Bytes{0x12, 0x34}));
    EXPECT_EQ(Ok(0x32, {10, 0x01, 0x02}), (Bytes{0x01, 0x02}));  // erase and write
    EXPECT_EQ(Ok(0x33, {10, 0x10, 0x20}), (Bytes{0x11, 0x22}));  // bits added
    EXPECT_EQ(Ok(0x34, {10}), (Bytes{0x11, 0x22}));
    // One-time-programmable sectors take bits only, and never lose them.
    EXPECT_EQ(StatusOf(0x32, {2, 0xFF, 0xFF}), kStatusReadOnly);
    EXPECT_EQ(Ok(0x33, {2, 0x80, 0x01}), (Bytes{0x80, 0x01}));
    EXPECT_EQ(Ok(0x33, {2, 0x01, 0x00}), (Bytes{0x81, 0x01}));
    // The serial number is fixed.
    EXPECT_EQ(StatusOf(0x33, {0, 0xFF, 0xFF}), kStatusReadOnly);
    EXPECT_EQ(StatusOf(0x32, {1, 0x00, 0x00}), kStatusReadOnly);
    EXPECT_EQ(StatusOf(0x32, {32, 0x00, 0x00}), kStatusOutOfRange);
}

}  // namespace
}  // namespace zelvorn::virt::testing
