// The virtual reader on the wire: frame decoding, delivery by interrupt
// reads, and the faults it injects, seen through the library.
#include <cstring>

#include "platform/platform.h"
#include "virtual/tests/virtual_fixture.h"

namespace zelvorn::virt::testing {
namespace {

using Wire = VirtualTest;

// Sends a raw command frame straight through the platform operations and
// collects the reply frame.
class RawWire : public ::testing::Test {
protected:
    void SetUp() override {
        VirtualReader::Instance().Load(Scenario_Default());
        const PlatformOps& ops = VirtualReader_Ops();
        PathChar path[kDevicePathChars];
        ASSERT_TRUE(ops.findPath(path, 0));
        ASSERT_EQ(ops.openPath(path, &file), OpenOutcome::Ok);
        ASSERT_EQ(ops.bindInterface(file, &usb), OpenOutcome::Ok);
    }
    void TearDown() override { VirtualReader_Ops().closeFile(file); }

    std::string Exchange(const std::string& text) {
        Bytes frame{frame::kStx};
        frame.insert(frame.end(), text.begin(), text.end());
        frame.push_back(frame::kEtx);
        const SetupPacket setup{0x40, 0, 0, 0, static_cast<std::uint16_t>(frame.size())};
        EXPECT_TRUE(VirtualReader_Ops().controlOut(usb, setup, frame.data()));
        std::string reply;
        for (int reads = 0; reads < 64; ++reads) {
            std::uint8_t chunk[8];
            std::uint32_t got = 0;
            if (!VirtualReader_Ops().readPipe(usb, kVirtualInterruptPipe, chunk, 8, &got)) break;
            reply.append(chunk, chunk + got);
            if (std::memchr(chunk, frame::kEtx, got) != nullptr) break;
        }
        return reply;
    }
    // The transport status of a reply frame.
    static std::string StatusOf(const std::string& reply) { return reply.substr(3, 4); }

    PlatformFile* file = nullptr;
    PlatformUsb* usb = nullptr;
};

TEST_F(RawWire, ReplyFrameOfTheResetIsEncodedAsTheLibraryExpects) {
    // 01, 9000, M 5, payload 05 0000 00 00, checksum.
    EXPECT_EQ(Exchange("01E0020500E6"),
              "\x02"
              "01900005050000000091\x03");
    EXPECT_EQ(VirtualReader::Instance().InterruptReads(), 3u);
}

TEST_F(RawWire, BrokenCommandFramesGetATransportStatus) {
    EXPECT_EQ(StatusOf(Exchange("01E0020500E7")), "6581");  // checksum
    EXPECT_EQ(StatusOf(Exchange("01E0020500E")), "6700");   // odd digits
    EXPECT_EQ(StatusOf(Exchange("01E00205G0E6")), "6700");  // not a digit
    EXPECT_EQ(StatusOf(Exchange("01E0020501E6")), "6700");  // N promises a byte that is missing
    EXPECT_EQ(StatusOf(Exchange("02E0020500E5")), "6700");  // packet does not start with 01
    EXPECT_EQ(StatusOf(Exchange("01E1020500E7")), "6E00");  // frame type
    EXPECT_EQ(StatusOf(Exchange("01e0020500e6")), "9000");  // lower case is fine
}

TEST_F(RawWire, OnlyTheReadersVendorRequestIsTaken) {
    const std::uint8_t frame[] =
        "\x02"
        "01E0020500E6\x03";
    EXPECT_FALSE(VirtualReader_Ops().controlOut(usb, SetupPacket{0xC0, 0, 0, 0, 14}, frame));
    EXPECT_FALSE(VirtualReader_Ops().controlOut(usb, SetupPacket{0x40, 1, 0, 0, 14}, frame));
    PipeInfo pipe{};
    EXPECT_TRUE(VirtualReader_Ops().queryPipe(usb, 0, &pipe));
    EXPECT_EQ(pipe.type, kPipeInterrupt);
    EXPECT_EQ(pipe.id, kVirtualInterruptPipe);
}

TEST_F(RawWire, TheReaderIsOpenedWithoutSharing) {
    PathChar path[kDevicePathChars];
    ASSERT_TRUE(VirtualReader_Ops().findPath(path, 0));
    PlatformFile* second = nullptr;
    EXPECT_EQ(VirtualReader_Ops().openPath(path, &second), OpenOutcome::AccessDenied);
    EXPECT_FALSE(VirtualReader_Ops().findPath(path, 1));
}

TEST_F(Wire, OddChunksAndLowerCaseDecodeTheSame) {
    const std::vector<std::vector<std::uint32_t>> patterns = {{1}, {3, 5, 7}, {0, 2, 0, 9}, {64}};
    for (const auto& pattern : patterns) {
        reader().Faults().chunkSizes = pattern;
        reader().Faults().lowerCaseHex = pattern.size() % 2 == 0;
        std::uint8_t type = 0, length = 0, serial[10] = {};
        ASSERT_EQ(Zelvorn_Select(0, &type, &length, serial), RESULT_OK);
        EXPECT_EQ(type, 0x08);
        EXPECT_EQ(Bytes(serial, serial + 4), defaults::kClassicSerial);
    }
}

TEST_F(Wire, CorruptedChecksumFailsOnlyTheReplyItSpoils) {
    reader().Faults().corruptChecksums = 1;
    std::uint8_t type = 0;
    EXPECT_EQ(Zelvorn_Select(0, &type, nullptr, nullptr), ERR_FAILURE);
    EXPECT_EQ(type, 0);
    EXPECT_EQ(Zelvorn_Select(0, &type, nullptr, nullptr), RESULT_OK);
    EXPECT_EQ(type, 0x08);
}

TEST_F(Wire, RefusedCommandComesBackAsItsTransportStatus) {
    reader().Faults().refuseCommands = 2;
    reader().Faults().refusalStatus = 0x6F00;
    EXPECT_EQ(Zelvorn_Power(0, 0), 0x6F00);
    reader().Faults().refusalStatus = 0xE001;
    EXPECT_EQ(Zelvorn_Power(0, 0), static_cast<std::int16_t>(0xE001));
    EXPECT_TRUE(device().FieldOn());  // neither command was carried out
    EXPECT_EQ(Zelvorn_Power(0, 0), RESULT_OK);
    EXPECT_FALSE(device().FieldOn());
}

TEST_F(Wire, EndlessReplyFailsTheExchangeAndTheNextCommandIsAnsweredAgain) {
    reader().Faults().endlessReply = true;
    EXPECT_EQ(Zelvorn_Reset(0), ERR_FAILURE);
    EXPECT_GE(reader().InterruptReads(), 256u / 8);
    reader().Faults().endlessReply = false;
    EXPECT_EQ(Zelvorn_Select(0, nullptr, nullptr, nullptr), RESULT_OK);
}

TEST_F(Wire, UnpluggedReaderFailsEveryTransferAndCannotBeOpened) {
    reader().Unplug();
    EXPECT_EQ(Zelvorn_Select(0, nullptr, nullptr, nullptr), ERR_FAILURE);
    EXPECT_EQ(Zelvorn_Close(0), RESULT_OK);
    EXPECT_EQ(Zelvorn_Open(0), ERR_OPEN_FAILED);
    reader().Plug();
    ASSERT_EQ(Zelvorn_Open(0), 0);
    EXPECT_EQ(Zelvorn_Select(0, nullptr, nullptr, nullptr), RESULT_OK);
}

TEST_F(Wire, HandleFromBeforeTheUnplugStaysDead) {
    reader().Unplug();
    reader().Plug();
    EXPECT_EQ(Zelvorn_Select(0, nullptr, nullptr, nullptr), ERR_FAILURE);
    EXPECT_EQ(Zelvorn_Close(0), RESULT_OK);
    ASSERT_EQ(Zelvorn_Open(0), 0);
    EXPECT_EQ(Zelvorn_Select(0, nullptr, nullptr, nullptr), RESULT_OK);
}

TEST_F(Wire, SecondOpenOfTheSameReaderFromElsewhereIsBusy) {
    // The library keeps port 0 open; a second process would be refused.
    PathChar path[kDevicePathChars];
    ASSERT_TRUE(VirtualReader_Ops().findPath(path, 0));
    PlatformFile* file = nullptr;
    EXPECT_EQ(VirtualReader_Ops().openPath(path, &file), OpenOutcome::AccessDenied);
    EXPECT_EQ(Zelvorn_Open(1), ERR_OPEN_FAILED);
}

}  // namespace
}  // namespace zelvorn::virt::testing
