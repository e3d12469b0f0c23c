// Reader control: reset, status report, RF field, registers, EEPROM, user
// port, direct receive, and the reader's refusals of commands it cannot
// carry out.
#include "virtual/tests/virtual_fixture.h"

namespace zelvorn::virt::testing {
namespace {

using ReaderControl = VirtualTest;

TEST_F(ReaderControl, ResetAnswersWithAnEmptyReply) {
    ASSERT_EQ(Run(0x05), RESULT_OK);
    EXPECT_EQ(reply, (Bytes{0x05, 0x00, 0x00, 0x00, 0x00}));
}

TEST_F(ReaderControl, StatusReportHasThirtyFiveBytes) {
    ASSERT_EQ(Run(0x00), RESULT_OK);  // select the MIFARE card
    ASSERT_EQ(Run(0x18), RESULT_OK);
    ASSERT_EQ(reply.size(), 35u);
    const Bytes data = Data();
    EXPECT_EQ(std::string(data.begin(), data.begin() + 19), "Zelvorn virtual 1.0");
    EXPECT_EQ(data[19], 0x00);
    EXPECT_EQ(data[20], 1);  // field on
    EXPECT_EQ(Bytes(data.begin() + 21, data.begin() + 25), (Bytes{0x5A, 0x4C, 0x00, 0x01}));
    EXPECT_EQ(data[25], 5);                    // cards in the field
    EXPECT_EQ(data[26], 0x08);                 // the selected card's type
    EXPECT_EQ((data[28] << 8) | data[29], 1);  // commands done since reset
}

// The last two bytes of the record: commands carried out since the reset.
// Reading them changes nothing, and a refused command was not carried out.
TEST_F(ReaderControl, StatusReportCountsCommandsCarriedOutButNotItselfNorRefusals) {
    const auto count = [this] {
        const Bytes data = Ok(0x18);
        return data.size() == 30 ? (data[28] << 8) | data[29] : -1;
    };
    const int atStart = count();
    EXPECT_EQ(count(), atStart);
    EXPECT_EQ(count(), atStart);
    ASSERT_EQ(StatusOf(0x06, {4}), kStatusNotSelected);  // refused
    ASSERT_EQ(StatusOf(0x40), kStatusUnknownCommand);    // refused
    EXPECT_EQ(count(), atStart);
    Ok(0x19, {0x21});
    Ok(0x14);
    EXPECT_EQ(count(), atStart + 2);
    Ok(0x05);
    EXPECT_EQ(count(), 0);
}

TEST_F(ReaderControl, FieldOffRefusesEveryCardCommandUntilSwitchedOn) {
    ASSERT_EQ(Ok(0x12), (Bytes{0x00}));
    EXPECT_FALSE(device().FieldOn());
    const std::vector<std::pair<std::uint8_t, Bytes>> cardCommands = {
        {0x00, {}},        {0x03, {}},  {0x03, {4, 0xA1, 0xB2, 0xC3, 0xD4}},
        {0x02, {1, 0xAA}}, {0x06, {4}}, {0x16, {1, 0x0F, 0xC2}},
        {0x21, {}},        {0x34, {4}}, {0x35, {4}},
        {0x32, {4, 1, 2}}, {0x07, {4}}, {0x11, {4, 5}},
    };
    for (const auto& [code, data] : cardCommands) {
        EXPECT_EQ(StatusOf(code, data), kStatusFieldOff) << int(code);
    }
    ASSERT_EQ(Ok(0x13), (Bytes{0x01}));
    EXPECT_EQ(StatusOf(0x00), kStatusOk);
}

TEST_F(ReaderControl, SwitchingTheFieldDropsTheSelectedCard) {
    ASSERT_EQ(StatusOf(0x00), kStatusOk);
    ASSERT_EQ(StatusOf(0x02, {1, 0xAA}), kStatusOk);
    Ok(0x12);
    Ok(0x13);
    EXPECT_EQ(StatusOf(0x06, {4}), kStatusNotSelected);
}

TEST_F(ReaderControl, TxControlRegisterMirrorsAndSwitchesTheField) {
    EXPECT_EQ(Ok(0x19, {kRegTxControl}), (Bytes{0x5B}));
    Ok(0x12);
    EXPECT_EQ(Ok(0x19, {kRegTxControl}), (Bytes{0x58}));
    EXPECT_EQ(Ok(0x1A, {kRegTxControl, 0x5B}), (Bytes{0x5B}));
    EXPECT_TRUE(device().FieldOn());
}

TEST_F(ReaderControl, RegistersHoldWhatIsWrittenUntilReset) {
    EXPECT_EQ(Ok(0x1A, {0x21, 0x3F}), (Bytes{0x3F}));
    EXPECT_EQ(Ok(0x19, {0x21}), (Bytes{0x3F}));
    Ok(0x05);
    EXPECT_EQ(Ok(0x19, {0x21}), (Bytes{0x00}));
    EXPECT_EQ(StatusOf(0x19, {0x40}), kStatusOutOfRange);
    EXPECT_EQ(StatusOf(0x1A, {0xFF, 0x00}), kStatusOutOfRange);
}

TEST_F(ReaderControl, EepromKeepsItsContentsAcrossResetAndReplug) {
    EXPECT_EQ(Ok(0x08, {0x00}), (Bytes{0x5A}));
    for (unsigned address : {0x10u, 0x80u, 0xFFu}) {
        const auto a = static_cast<std::uint8_t>(address);
        EXPECT_EQ(Ok(0x0C, {a, static_cast<std::uint8_t>(a ^ 0xA5)}),
                  (Bytes{static_cast<std::uint8_t>(a ^ 0xA5)}));
    }
    Ok(0x05);
    CloseAll();
    reader().Unplug();
    reader().Plug();
    ASSERT_EQ(Zelvorn_Open(0), 0);
    for (unsigned address : {0x10u, 0x80u, 0xFFu}) {
        const auto a = static_cast<std::uint8_t>(address);
        EXPECT_EQ(Ok(0x08, {a}), (Bytes{static_cast<std::uint8_t>(a ^ 0xA5)}));
    }
}

TEST_F(ReaderControl, UserPortDrivesOnlyBitsSixAndTwo) {
    Scenario s = Scenario_Default();
    s.userPortInputs = 0x81;
    Load(std::move(s));
    EXPECT_EQ(Ok(0x14), (Bytes{0x81}));
    EXPECT_EQ(Ok(0x15, {0xFF}), (Bytes{0x44}));
    EXPECT_EQ(Ok(0x14), (Bytes{0xC5}));
    EXPECT_EQ(Ok(0x15, {0x04}), (Bytes{0x04}));
    EXPECT_EQ(Ok(0x14), (Bytes{0x85}));
    Ok(0x05);
    EXPECT_EQ(Ok(0x14), (Bytes{0x81}));
}

TEST_F(ReaderControl, MalformedCommandsAreRefusedWithAStatus) {
    EXPECT_EQ(StatusOf(0x06, {}), kStatusMalformed);  // block missing
    EXPECT_EQ(StatusOf(0x0A, Repeat(0, 16)), kStatusMalformed);
    EXPECT_EQ(StatusOf(0x02, {1, 0xAA, 0xFF}), kStatusMalformed);
    EXPECT_EQ(StatusOf(0x03, {5, 1, 2, 3, 4, 5}), kStatusMalformed);
    EXPECT_EQ(StatusOf(0x03, {4, 1, 2, 3}), kStatusMalformed);
    EXPECT_EQ(StatusOf(0x16, {3, 0x0F, 0xC2}), kStatusMalformed);
    EXPECT_EQ(StatusOf(0x40), kStatusUnknownCommand);
    EXPECT_EQ(StatusOf(0x0D, {16, 1, 2, 3, 4, 5, 6}), kStatusOutOfRange);

    RequestBlock wrongL = Request_Make(0x05, nullptr, 0);
    wrongL.length = 3;
    ASSERT_EQ(RunRequest(wrongL), RESULT_OK);
    EXPECT_EQ(Status(), kStatusMalformed);
}

TEST_F(ReaderControl, DirectReceiveHandsOutTheLastCardAnswer) {
    ASSERT_EQ(StatusOf(0x03, Cat({7}, defaults::kProcessorSerial)), kStatusOk);
    const Bytes ats = Ok(0x16, {2, 0x0F, 0xE0, 0x40});
    ASSERT_FALSE(ats.empty());

    RequestBlock receive{};
    receive.frameType = kFrameReceive;
    receive.length = 2;
    receive.command = 0x00;
    receive.dataLength = 2;  // two filler bytes: ask for two bytes
    ASSERT_EQ(RunRequest(receive), RESULT_OK);
    EXPECT_EQ(Data(), Bytes(ats.begin(), ats.begin() + 2));
    receive.dataLength = 0;  // the rest
    ASSERT_EQ(RunRequest(receive), RESULT_OK);
    EXPECT_EQ(Data(), Bytes(ats.begin() + 2, ats.end()));
    ASSERT_EQ(RunRequest(receive), RESULT_OK);
    EXPECT_EQ(Data(), Bytes{});
}

}  // namespace
}  // namespace zelvorn::virt::testing
