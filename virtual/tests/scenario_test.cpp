// Scenario files: what a hand-written file sets up, and how mistakes in one
// are reported.
#include "virtual/scenario.h"

#include <gtest/gtest.h>

#include "virtual/cards/ask_ticket.h"
#include "virtual/cards/mifare_classic.h"
#include "virtual/cards/processor_card.h"
#include "virtual/firmware.h"

namespace zelvorn::virt::testing {
namespace {

const std::string kExample = std::string(ZELVORN_VIRTUAL_SCENARIOS) + "/example.json";

TEST(Scenario, ExampleFileSetsUpReaderAndCards) {
    Scenario s = Scenario_FromFile(kExample);
    EXPECT_EQ(s.readerSerial, 0x5A4C0042u);
    EXPECT_EQ(s.faults.chunkSizes, (std::vector<std::uint32_t>{3, 8, 5}));
    Firmware fw;
    Apply(s, fw);
    ASSERT_EQ(fw.CardCount(), 5u);
    EXPECT_EQ(fw.Eeprom()[16], 0x48);
    EXPECT_EQ(fw.Eeprom()[20], 0x6F);

    auto& classic = static_cast<MifareClassic&>(fw.CardAt(0));
    EXPECT_EQ(classic.Block(4)[0], 'Z');
    std::int32_t value = 0;
    ASSERT_TRUE(MifareClassic::ParseValueBlock(classic.Block(6), &value));
    EXPECT_EQ(value, -2);
    std::array<std::uint8_t, 4> conditions{};
    ASSERT_TRUE(MifareClassic::DecodeAccess(classic.Block(7).data() + 6, conditions));
    EXPECT_EQ(conditions, (std::array<std::uint8_t, 4>{0, 6, 6, 3}));
    EXPECT_EQ(classic.Block(7)[0], 0xA0);
    EXPECT_EQ(classic.Block(11)[6], 0x7F);

    EXPECT_EQ(fw.CardAt(1).TypeByte(), 0x18);
    auto& processor = static_cast<ProcessorCard&>(fw.CardAt(2));
    EXPECT_EQ(processor.Fsc(), 64u);
    EXPECT_EQ(processor.Ats(), (Bytes{0x07, 0x75, 0x80, 0x80, 0x02, 0x80, 0x31}));
    EXPECT_EQ(processor.Quirks().wtxBeforeAnswer, 1u);
    EXPECT_EQ(processor.Quirks().wtxm, 3);
    const FileNode* data = processor.App().Find({0x5000, 0x5001});
    ASSERT_NE(data, nullptr);
    ASSERT_EQ(data->data.size(), 512u);
    EXPECT_EQ(data->data[260], 260 % 251);
    EXPECT_EQ(processor.App().Find({0x5000, 0x5002})->data, (Bytes{1, 2, 3, 0, 0, 0, 0, 0}));

    std::uint8_t atqb[12];
    ASSERT_EQ(fw.CardAt(3).Atqb(atqb), kStatusOk);
    EXPECT_EQ(atqb[1], 0x1B);
    auto& ticket = static_cast<AskTicket&>(fw.CardAt(4));
    EXPECT_EQ(ticket.SectorCount(), 16u);
    EXPECT_EQ(ticket.Sector(5), (std::array<std::uint8_t, 2>{0x12, 0x34}));
    std::uint8_t back[2];
    EXPECT_EQ(ticket.AskWrite(0x32, 4, back, back), kStatusReadOnly);
}

TEST(Scenario, MistakesAreNamedWithWhereTheyAre) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"{", "not valid JSON"},
        {R"({"cards": [{"type": "mifare-classic-2k", "serial": "01020304"}]})",
         "cards[0]: unknown card type"},
        {R"({"cards": [{"type": "mifare-classic-1k", "serial": "010203"}]})", "4, 7 or 10 bytes"},
        {R"({"cards": [{"type": "mifare-classic-1k", "serial": "0102030G"}]})",
         "cards[0].serial: not a hexadecimal"},
        {R"({"cards": [{"type": "mifare-classic-1k", "serial": "01020304", "blocks": {"3": "00"}}]})",
         "cards[0].blocks.3"},
        {R"({"cards": [{"type": "mifare-classic-1k", "serial": "01020304", "blocks": {"64": "00"}}]})",
         "64 is not in 0..63"},
        {R"({"cards": [{"type": "mifare-classic-1k", "serial": "01020304",
             "sectors": {"1": {"access": "FF078169"}}}]})",
         "inverted copy"},
        {R"({"cards": [{"type": "mifare-classic-1k", "serial": "01020304", "colour": "red"}]})",
         "unknown entry \"colour\""},
        {R"({"cards": [{"type": "iso14443-4", "serial": "01020304", "fsci": 9}]})",
         "cards[0].fsci"},
        {R"({"cards": [{"type": "ask-ticket", "serial": "01020304", "sectors": {"1": "0000"}}]})",
         "serial number"},
        {R"({"reader": {"keys": {"16": "FFFFFFFFFFFF"}}})", "reader.keys.16"},
        {R"({"reader": {"eeprom": {"255": "0102"}}})", "past the end"},
        {R"({"faults": {"chunkSizes": [0, 0]}})", "faults.chunkSizes"},
        {R"({"reader": {"field": "on"}})", "reader.field"},
        // Values the JSON library would refuse only when asked for them,
        // told in words with the entry.
        {R"({"reader": {"serialNumber": 66e66666}})", "a number too large to store"},
        {R"({"cards": [{"type": "mifare-classic-1k", "serial": "01020304",
             "values": {"5": 18446744073709551615}}]})",
         "cards[0].values.5: does not fit 32 bits"},
        {R"({"cards": [{"type": "mifare-classic-1k", "serial": "01020304", "sectors": 5}]})",
         "cards[0].sectors: expected an object"},
        {R"({"cards": [{"type": "mifare-classic-1k", "pupi": "01020304"}]})",
         "cards[0]: a card needs a \"serial\""},
        {R"({"cards": [{"type": "iso14443-4", "serial": "04112233445566", "files": [{"data": "00"}]}]})",
         "cards[0].files[0]: a file needs a \"fid\""},
        {R"({"cards": [{"type": "iso14443-4", "serial": "04112233445566",
             "quirks": {"nakOnBlock": "one"}}]})",
         "cards[0].quirks.nakOnBlock"},
        {R"({"cards": [{"type": "ask-ticket", "serial": "01020304", "oneTimeSectors": {"a": 1}}]})",
         "cards[0].oneTimeSectors: expected a list"},
        {R"({"faults": {"endlessReply": 1}})", "faults.endlessReply: expected true or false"},
    };
    for (const auto& [text, expected] : cases) {
        try {
            Scenario_FromJson(text);
            ADD_FAILURE() << "accepted: " << text;
        } catch (const ScenarioError& e) {
            EXPECT_NE(std::string(e.what()).find(expected), std::string::npos)
                << e.what() << " -- expected to mention: " << expected;
            EXPECT_EQ(std::string(e.what()).find("json.exception"), std::string::npos) << e.what();
        }
    }
    EXPECT_THROW(Scenario_FromFile("/nonexistent/scenario.json"), ScenarioError);
}

TEST(Scenario, DefaultHasOneCardOfEachKindFactoryFresh) {
    Scenario s = Scenario_Default();
    Firmware fw;
    Apply(s, fw);
    ASSERT_EQ(fw.CardCount(), 5u);
    auto& classic = static_cast<MifareClassic&>(fw.CardAt(0));
    for (unsigned sector = 0; sector < classic.SectorCount(); ++sector) {
        const auto& t = classic.Block(MifareClassic::FirstBlock(sector) + 3);
        EXPECT_EQ(Bytes(t.begin(), t.end()),
                  (Bytes{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x07, 0x80, 0x69, 0xFF, 0xFF,
                         0xFF, 0xFF, 0xFF, 0xFF}));
    }
    EXPECT_EQ(fw.CardAt(1).Air(), AirInterface::TypeA);
    EXPECT_EQ(fw.CardAt(2).Air(), AirInterface::TypeB);
    EXPECT_EQ(fw.CardAt(3).Air(), AirInterface::AskTicket);
}

}  // namespace
}  // namespace zelvorn::virt::testing
