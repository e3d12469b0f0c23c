// The driver in process, through pcscd's entry points, on the USB double: a
// scripted field with one card that answers the reader commands the driver
// sends, and faults a misbehaving reader or card would bring.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <map>

#include "commands/protocol_table.h"
#include "pcsc/ifd.h"
#include "pcsc/reader.h"
#include "tests/support/double_fixture.h"

namespace zelvorn::pcsc {
namespace {

using testing::Bytes;
using testing::Hex;
using testing::ReaderReply;
using testing::RequestBlockOf;

constexpr DWORD kLun = 0;
constexpr std::uint16_t kNoCard = 0xFFFF;  // the reader's status for an empty field

// One card in the reader's field, answered as the reader would answer.
struct Field {
    enum class Card { None, Classic, IsoDep };
    Card card = Card::Classic;
    std::uint8_t sak = 0x08;
    Bytes uid = {0x11, 0x22, 0x33, 0x44};
    // Data bytes of the reader's answer to a block read and a block write:
    // 16 from a sound reader.
    std::size_t readReplyLength = 16;
    std::size_t writeReplyLength = 16;
    std::uint16_t readStatus = 0;  // the reader's status for block reads
    std::vector<Bytes> requests;   // every RequestBlock, in order

    // A block's contents: every byte its number, so a wrong block shows.
    static Bytes Contents(int block) { return Bytes(16, static_cast<std::uint8_t>(block)); }

    // The requests with this command code, and the bytes to the card of each
    // telegram.
    std::vector<Bytes> Sent(std::uint8_t command) const {
        std::vector<Bytes> out;
        for (const Bytes& r : requests) {
            if (r.size() >= 5 && r[3] == command) out.emplace_back(r.begin() + 5, r.end());
        }
        return out;
    }
    std::vector<Bytes> ToCard() const {
        std::vector<Bytes> out;
        for (const Bytes& t : Sent(kCmdTelegram)) out.emplace_back(t.begin() + 2, t.end());
        return out;
    }

    bool Answer(const Bytes& frame, Bytes& reply) {
        const Bytes request = RequestBlockOf(frame);
        if (request.size() < 5) return false;
        requests.push_back(request);
        const std::uint8_t command = request[3];
        const Bytes data(request.begin() + 5, request.end());
        Bytes entry = {0x01, sak, static_cast<std::uint8_t>(uid.size())};
        entry.insert(entry.end(), uid.begin(), uid.end());
        entry.resize(13);
        const bool here = card != Card::None;
        switch (command) {
            case kCmdReset:
                reply = ReaderReply(0, {});
                return true;
            case kCmdFieldOff:
            case kCmdFieldOn:
                reply = ReaderReply(0, {static_cast<std::uint8_t>(command == kCmdFieldOn)});
                return true;
            case kCmdReadUserPort:
                reply = ReaderReply(0, {0x00});
                return true;
            case kCmdSelect:
                reply = here ? ReaderReply(0, entry) : ReaderReply(kNoCard, {});
                return true;
            case kCmdListOrSelect: {
                const bool named = data.size() == 1u + uid.size() &&
                                   std::equal(uid.begin(), uid.end(), data.begin() + 1);
                reply = here && (data.empty() || named) ? ReaderReply(0, entry)
                                                        : ReaderReply(kNoCard, {});
                return true;
            }
            case kCmdLogin:
                reply = here ? ReaderReply(0, {}) : ReaderReply(kNoCard, {});
                return true;
            case kCmdReadBlock: {
                Bytes block = Contents(data.at(0));
                block.resize(readReplyLength, 0xEE);
                reply = !here             ? ReaderReply(kNoCard, {})
                        : readStatus != 0 ? ReaderReply(readStatus, {})
                                          : ReaderReply(0, block);
                return true;
            }
            case kCmdWriteBlock: {
                Bytes echo(data.begin() + 1, data.end());
                echo.resize(writeReplyLength, 0xEE);
                reply = here ? ReaderReply(0, echo) : ReaderReply(kNoCard, {});
                return true;
            }
            case kCmdTelegram:
                if (card != Card::IsoDep) {
                    reply = ReaderReply(kNoCard, {});
                    return true;
                }
                reply = ReaderReply(0, IsoDepAnswer(Bytes(data.begin() + 2, data.end())));
                return true;
            default:  // the ATQB among them: no type B card here
                reply = ReaderReply(kNoCard, {});
                return true;
        }
    }

    // A processor card: an ATS with FSCI 8 and one historical byte, every
    // I-block answered with 90 00, R(NAK) with R(ACK).
    static Bytes IsoDepAnswer(const Bytes& block) {
        const std::uint8_t pcb = block.at(0);
        if (pcb == 0xE0) return {0x06, 0x78, 0x80, 0x70, 0x02, 0x4B};
        if ((pcb & 0xE2) == 0x02) return {static_cast<std::uint8_t>(pcb & 0x03), 0x90, 0x00};
        if ((pcb & 0xF6) == 0xB2) return {static_cast<std::uint8_t>(0xA2 | (pcb & 0x01))};
        return {pcb};
    }
};

class PcscReaderTest : public testing::DoubleTest {
protected:
    void SetUp() override {
        DoubleTest::SetUp();
        testing::FakeReader& r = usb().AddReader("/dev/bus/usb/001/002");
        r.responder = [this](const Bytes& frame, Bytes& reply) {
            return field.Answer(frame, reply);
        };
    }
    void TearDown() override {
        (void)IFDHCloseChannel(kLun);
        DoubleTest::TearDown();
    }

    // The card powered up as pcscd does it: presence, then power.
    Bytes Connect() {
        EXPECT_EQ(IFDHCreateChannel(kLun, 0), IFD_SUCCESS);
        EXPECT_EQ(IFDHICCPresence(kLun), IFD_ICC_PRESENT);
        UCHAR atr[MAX_ATR_SIZE];
        DWORD length = sizeof atr;
        EXPECT_EQ(IFDHPowerICC(kLun, IFD_POWER_UP, atr, &length), IFD_SUCCESS);
        field.requests.clear();
        return Bytes(atr, atr + length);
    }

    // What the client receives: response data and status word. The buffer
    // starts filled with a byte the driver never writes for these cards.
    Bytes Transmit(const Bytes& apdu, RESPONSECODE expected = IFD_SUCCESS) {
        UCHAR rx[300];
        std::memset(rx, 0xA5, sizeof rx);
        DWORD length = sizeof rx;
        SCARD_IO_HEADER header{};
        EXPECT_EQ(IFDHTransmitToICC(kLun, header, const_cast<UCHAR*>(apdu.data()),
                                    static_cast<DWORD>(apdu.size()), rx, &length, nullptr),
                  expected);
        return Bytes(rx, rx + length);
    }

    Field field;
};

Bytes Join(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// Pseudo-APDUs on a MIFARE Classic card: what the client gets back, and how
// many block reads and writes reached the reader.
struct ApduRow {
    const char* name;
    std::uint8_t sak;
    Bytes apdu;
    Bytes response;  // the whole answer, data and status word
    std::size_t reads;
    std::size_t writes;
};

Bytes Blocks(int first, int count, std::uint16_t sw) {
    Bytes out;
    for (int b = first; b < first + count; ++b) out = Join(out, Field::Contents(b));
    return Join(out, {static_cast<std::uint8_t>(sw >> 8), static_cast<std::uint8_t>(sw)});
}

void PrintTo(const ApduRow& row, std::ostream* out) {
    *out << row.name;
}

class PcscApduTest : public PcscReaderTest, public ::testing::WithParamInterface<ApduRow> {};

TEST_P(PcscApduTest, AnswersAndTouchesOnlyWhatItShould) {
    const ApduRow& row = GetParam();
    field.sak = row.sak;
    Connect();
    EXPECT_EQ(Transmit(row.apdu), row.response);
    EXPECT_EQ(field.Sent(kCmdReadBlock).size(), row.reads);
    EXPECT_EQ(field.Sent(kCmdWriteBlock).size(), row.writes);
}

const Bytes kSixteen = Bytes(16, 0x5A);

INSTANTIATE_TEST_SUITE_P(
    Rows, PcscApduTest,
    ::testing::Values(
        ApduRow{"ReadTwoWholeBlocks", 0x08, Hex("FF B0 00 04 20"), Blocks(4, 2, 0x9000), 2, 0},
        ApduRow{"ReadLeNotWholeBlocks", 0x08, Hex("FF B0 00 04 14"), Hex("67 00"), 0, 0},
        ApduRow{"ReadLastBlockOf1K", 0x08, Hex("FF B0 00 3F 10"), Blocks(63, 1, 0x9000), 1, 0},
        ApduRow{"ReadBeyond1K", 0x08, Hex("FF B0 00 40 10"), Hex("6B 00"), 0, 0},
        ApduRow{"ReadUpperSectorOf4K", 0x18, Hex("FF B0 00 90 10"), Blocks(0x90, 1, 0x9000), 1, 0},
        ApduRow{"UpdateTwoBlocks", 0x08, Join(Hex("FF D6 00 04 20"), Join(kSixteen, kSixteen)),
                Hex("90 00"), 0, 2},
        ApduRow{"UpdateLcNotWholeBlocks", 0x08, Join(Hex("FF D6 00 04 11"), Join(kSixteen, {0x01})),
                Hex("67 00"), 0, 0},
        // Type 2 tags: 4-byte pages, four of them a read.
        ApduRow{"Type2ReadFourPages", 0x00, Hex("FF B0 00 05 10"), Blocks(5, 1, 0x9000), 1, 0},
        ApduRow{"Type2ReadOnePage", 0x00, Hex("FF B0 00 05 04"), Hex("05 05 05 05 90 00"), 1, 0},
        ApduRow{"Type2ReadLeAboveFourPages", 0x00, Hex("FF B0 00 05 20"), Hex("67 00"), 0, 0},
        ApduRow{"Type2UpdateTwoPages", 0x00, Hex("FF D6 00 05 08 01 02 03 04 05 06 07 08"),
                Hex("90 00"), 0, 2},
        ApduRow{"Type2UpdateLcNotPages", 0x00, Hex("FF D6 00 05 05 01 02 03 04 05"), Hex("67 00"),
                0, 0},
        ApduRow{"Type2HasNoKeys", 0x00, Hex("FF 86 00 00 05 01 00 04 60 00"), Hex("6A 81"), 0, 0}),
    [](const auto& row) { return std::string(row.param.name); });

// A reader that answers with the wrong length has not delivered the data:
// the client gets an error status word, never the driver's own memory.
struct WrongLength {
    const char* name;
    std::size_t readLength, writeLength;
    Bytes apdu;
    Bytes response;
};

void PrintTo(const WrongLength& row, std::ostream* out) {
    *out << row.name;
}

class PcscWrongLengthTest : public PcscReaderTest,
                            public ::testing::WithParamInterface<WrongLength> {};

TEST_P(PcscWrongLengthTest, IsAnErrorStatusWordNeverData) {
    const WrongLength& row = GetParam();
    Connect();
    field.readReplyLength = row.readLength;
    field.writeReplyLength = row.writeLength;
    EXPECT_EQ(Transmit(row.apdu), row.response);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, PcscWrongLengthTest,
    ::testing::Values(WrongLength{"ShortRead", 15, 16, Hex("FF B0 00 04 10"), Hex("6F 00")},
                      WrongLength{"LongRead", 17, 16, Hex("FF B0 00 04 20"), Hex("6F 00")},
                      WrongLength{"ShortWriteEcho", 16, 15, Join(Hex("FF D6 00 04 10"), kSixteen),
                                  Hex("65 81")}),
    [](const auto& row) { return std::string(row.param.name); });

TEST_F(PcscReaderTest, Type2TagHasTheUltralightAtrItsUidAndAQuietPoll) {
    field.sak = 0x00;
    field.uid = Hex("04 5A 4C 56 4F 52 4E");
    EXPECT_EQ(Connect(), Hex("3B 8F 80 01 80 4F 0C A0 00 00 03 06 03 00 03 00 00 00 00 68"));
    EXPECT_EQ(Transmit(Hex("FF CA 00 00 00")), Hex("04 5A 4C 56 4F 52 4E 90 00"));
    // The page goes as the first 4 bytes of the reader's 16-byte write.
    EXPECT_EQ(Transmit(Hex("FF D6 00 06 04 C1 C2 C3 C4")), Hex("90 00"));
    ASSERT_EQ(field.Sent(kCmdWriteBlock).size(), 1u);
    EXPECT_EQ(field.Sent(kCmdWriteBlock)[0], Join(Hex("06 C1 C2 C3 C4"), Bytes(12, 0)));
    // The poll reads page 0 and selects nothing, which would end a password
    // session on the tag.
    field.requests.clear();
    EXPECT_EQ(IFDHICCPresence(kLun), IFD_ICC_PRESENT);
    EXPECT_TRUE(field.Sent(kCmdSelect).empty() && field.Sent(kCmdListOrSelect).empty());
    EXPECT_EQ(field.Sent(kCmdReadBlock), std::vector<Bytes>{Hex("00")});
}

TEST_F(PcscReaderTest, Type2TagThatRefusedAPageIsSelectedAgain) {
    field.sak = 0x00;
    field.uid = Hex("04 5A 4C 56 4F 52 4E");
    Connect();
    field.readStatus = kStatusOutOfRange;
    EXPECT_EQ(Transmit(Hex("FF B0 00 87 10")), Hex("6B 00"));
    EXPECT_EQ(field.Sent(kCmdListOrSelect), std::vector<Bytes>{Hex("07 04 5A 4C 56 4F 52 4E")});
    field.readStatus = 0;
    EXPECT_EQ(Transmit(Hex("FF B0 00 05 04")), Hex("05 05 05 05 90 00"));
}

TEST_F(PcscReaderTest, AuthenticatingA4KUpperBlockLogsInToItsSector) {
    field.sak = 0x18;
    Connect();
    EXPECT_EQ(Transmit(Hex("FF 82 00 00 06 FF FF FF FF FF FF")), Hex("90 00"));
    EXPECT_EQ(Transmit(Hex("FF 86 00 00 05 01 00 90 60 00")), Hex("90 00"));
    // Block 0x90 lies in sector 33, the second of the 16-block sectors.
    ASSERT_EQ(field.Sent(kCmdLogin).size(), 1u);
    EXPECT_EQ(field.Sent(kCmdLogin)[0][0], 33);
    EXPECT_EQ(Transmit(Hex("FF B0 00 90 10")), Blocks(0x90, 1, 0x9000));
}

TEST_F(PcscReaderTest, RatsAnnouncesTheRaisedFrameSize) {
    field.card = Field::Card::IsoDep;
    field.sak = 0x20;
    EXPECT_EQ(IFDHCreateChannel(kLun, 0), IFD_SUCCESS);
    EXPECT_EQ(IFDHICCPresence(kLun), IFD_ICC_PRESENT);
    UCHAR atr[MAX_ATR_SIZE];
    DWORD length = sizeof atr;
    ASSERT_EQ(IFDHPowerICC(kLun, IFD_POWER_UP, atr, &length), IFD_SUCCESS);
    // FSDI 6 (96-byte frames) and CID 0.
    ASSERT_FALSE(field.ToCard().empty());
    EXPECT_EQ(field.ToCard()[0], Hex("E0 60"));
    // The historical byte comes through into the ATR.
    EXPECT_EQ(Bytes(atr, atr + length), Hex("3B 81 80 01 4B 4B"));
}

TEST_F(PcscReaderTest, AProcessorCardLeavingEmptiesTheSlot) {
    field.card = Field::Card::IsoDep;
    field.sak = 0x20;
    Connect();
    // While it is there, the poll asks without disturbing its session.
    EXPECT_EQ(IFDHICCPresence(kLun), IFD_ICC_PRESENT);
    EXPECT_TRUE(field.Sent(kCmdSelect).empty() && field.Sent(kCmdListOrSelect).empty());
    ASSERT_EQ(field.ToCard().size(), 1u);
    EXPECT_EQ(field.ToCard()[0][0] & 0xF6, 0xB2);  // R(NAK)
    field.card = Field::Card::None;
    EXPECT_EQ(IFDHICCPresence(kLun), IFD_ICC_NOT_PRESENT);
}

// pcscd asks for presence before every power action too; the removal must
// still reach its own poll when such a call comes first.
TEST_F(PcscReaderTest, ABrokenSessionShowsAsRemovedUntilTheHoldHasPassed) {
    Reader reader;
    ASSERT_EQ(reader.Open("/dev/bus/usb/001/002"), IFD_SUCCESS);
    ASSERT_EQ(reader.Presence(), IFD_ICC_PRESENT);
    UCHAR atr[MAX_ATR_SIZE];
    DWORD length = sizeof atr;
    ASSERT_EQ(reader.PowerUp(atr, &length), IFD_SUCCESS);

    field.card = Field::Card::None;  // gone mid-session, and back at once
    UCHAR rx[32];
    std::size_t rxLength = sizeof rx;
    const Bytes read = Hex("FF B0 00 04 10");
    EXPECT_EQ(reader.Transmit(read.data(), read.size(), rx, &rxLength), IFD_ICC_NOT_PRESENT);
    field.card = Field::Card::Classic;

    EXPECT_EQ(reader.Presence(), IFD_ICC_NOT_PRESENT);  // before the power-down
    reader.PowerDown();
    EXPECT_EQ(reader.Presence(), IFD_ICC_NOT_PRESENT);  // pcscd's own poll
    reader.SetRemovalHold(std::chrono::milliseconds(0));
    EXPECT_EQ(reader.Presence(), IFD_ICC_PRESENT);
    reader.Close();
}

TEST_F(PcscReaderTest, AReaderUnpluggedAndPluggedInAgainIsUsedAgain) {
    Connect();
    DWORD none = 0;
    ASSERT_EQ(IFDHPowerICC(kLun, IFD_POWER_DOWN, nullptr, &none), IFD_SUCCESS);
    testing::FakeReader& device = usb().Reader(0);
    device.unplugged = true;
    EXPECT_EQ(IFDHICCPresence(kLun), IFD_ICC_NOT_PRESENT);
    EXPECT_EQ(IFDHICCPresence(kLun), IFD_ICC_NOT_PRESENT);
    device.unplugged = false;
    device.pending.clear();
    // Opened afresh: the reader's reset, then the card as before.
    EXPECT_EQ(IFDHICCPresence(kLun), IFD_ICC_PRESENT);
    EXPECT_FALSE(field.Sent(kCmdReset).empty());
}

}  // namespace
}  // namespace zelvorn::pcsc
