// Whole flows through the library's public functions against the virtual
// reader: what an application does, and what it sees when things go wrong.
#include <cstring>

#include "virtual/cards/ask_ticket.h"
#include "virtual/cards/mifare_classic.h"
#include "virtual/cards/processor_card.h"
#include "virtual/tests/virtual_fixture.h"

namespace zelvorn::virt::testing {
namespace {

const std::uint8_t kTransport[6] = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
const std::uint8_t kSecret[6] = {0x4B, 0x45, 0x59, 0x30, 0x30, 0x31};

// The reader status as the library hands it to its caller.
constexpr std::int16_t Result(StatusWord s) {
    return static_cast<std::int16_t>(s);
}

class Flows : public VirtualTest {
protected:
    MifareClassic& Classic() { return static_cast<MifareClassic&>(device().CardAt(0)); }
};

TEST_F(Flows, TypicalCardReadOpenSelectLoginReadClose) {
    Classic().SetBlock(
        4, {'Z', 'e', 'l', 'v', 'o', 'r', 'n', ' ', 'b', 'l', 'o', 'c', 'k', ' ', '4', 0});
    CloseAll();
    ASSERT_EQ(Zelvorn_Open(0), 0);
    std::uint8_t type = 0, length = 0, serial[10];
    std::memset(serial, 0xEE, sizeof serial);
    ASSERT_EQ(Zelvorn_Select(0, &type, &length, serial), RESULT_OK);
    EXPECT_EQ(type, 0x08);
    EXPECT_EQ(length, 4);
    EXPECT_EQ(Bytes(serial, serial + 10), (Bytes{0xA1, 0xB2, 0xC3, 0xD4, 0, 0, 0, 0, 0, 0}));
    ASSERT_EQ(Zelvorn_Login(0, 1, KEYTYPE_A, 0, kTransport), RESULT_OK);
    std::uint8_t block[16] = {};
    ASSERT_EQ(Zelvorn_Read(0, 4, block), RESULT_OK);
    EXPECT_STREQ(reinterpret_cast<const char*>(block), "Zelvorn block 4");
    EXPECT_EQ(Zelvorn_Close(0), RESULT_OK);
    EXPECT_EQ(Zelvorn_Read(0, 4, block), ERR_INVALID_HANDLE);
}

TEST_F(Flows, WriteIsVerifiedAndTrailerWriteChangesTheKeys) {
    ASSERT_EQ(Zelvorn_Select(0, nullptr, nullptr, nullptr), RESULT_OK);
    ASSERT_EQ(Zelvorn_Login(0, 2, KEYTYPE_A, 0, kTransport), RESULT_OK);
    std::uint8_t data[16];
    for (int i = 0; i < 16; ++i) data[i] = static_cast<std::uint8_t>(i * 11);
    EXPECT_EQ(Zelvorn_Write(0, 9, data), RESULT_OK);
    std::uint8_t trailer[16] = {};
    std::memcpy(trailer, kSecret, 6);
    const auto access = MifareClassic::EncodeAccess({0, 0, 0, 0b001});
    std::memcpy(trailer + 6, access.data(), 4);
    std::memcpy(trailer + 10, kSecret, 6);
    EXPECT_EQ(Zelvorn_Write(0, 11, trailer), RESULT_OK);
    EXPECT_EQ(Zelvorn_Login(0, 2, KEYTYPE_A, 0, kTransport), Result(kStatusAuthFailed));
    ASSERT_EQ(Zelvorn_Select(0, nullptr, nullptr, nullptr), RESULT_OK);
    ASSERT_EQ(Zelvorn_Login(0, 2, KEYTYPE_A, 0, kSecret), RESULT_OK);
    std::uint8_t back[16] = {};
    ASSERT_EQ(Zelvorn_Read(0, 9, back), RESULT_OK);
    EXPECT_EQ(0, std::memcmp(back, data, 16));
}

TEST_F(Flows, ValueArithmeticAndCopy) {
    ASSERT_EQ(Zelvorn_Select(0, nullptr, nullptr, nullptr), RESULT_OK);
    // In the transport configuration key B can be read, so it opens nothing.
    ASSERT_EQ(Zelvorn_Login(0, 1, KEYTYPE_B, 0, kTransport), RESULT_OK);
    EXPECT_EQ(Zelvorn_WriteValue(0, 5, 1000), Result(kStatusAccessDenied));
    ASSERT_EQ(Zelvorn_Login(0, 1, KEYTYPE_A, 0, kTransport), RESULT_OK);
    ASSERT_EQ(Zelvorn_WriteValue(0, 5, 1000), RESULT_OK);
    std::int32_t value = 0;
    ASSERT_EQ(Zelvorn_Inc(0, 5, 234, &value), RESULT_OK);
    EXPECT_EQ(value, 1234);
    ASSERT_EQ(Zelvorn_Dec(0, 5, 2000, &value), RESULT_OK);
    EXPECT_EQ(value, -766);
    ASSERT_EQ(Zelvorn_Copy(0, 5, 6, &value), RESULT_OK);
    EXPECT_EQ(value, -766);
    value = 0;
    ASSERT_EQ(Zelvorn_ReadValue(0, 6, &value), RESULT_OK);
    EXPECT_EQ(value, -766);
    EXPECT_EQ(Zelvorn_Inc(0, 4, 1, &value), Result(kStatusNotValueBlock));
    EXPECT_EQ(Zelvorn_Copy(0, 4, 6, &value), Result(kStatusNotValueBlock));
    EXPECT_EQ(Zelvorn_ReadValue(0, 8, &value), Result(kStatusNotAuthenticated));
}

TEST_F(Flows, AccessConditionsRefuseWhatTheyForbid) {
    // Sector 3: block 12 read-only, block 13 a value block that key A may only
    // decrement, key B may recharge.
    Classic().SetTrailer(3, {1, 1, 1, 1, 1, 1},
                         MifareClassic::EncodeAccess({0b010, 0b110, 0, 0b011}), {2, 2, 2, 2, 2, 2});
    Classic().SetBlock(13, MifareClassic::ValueBlock(10, 13));
    const std::uint8_t keyA[6] = {1, 1, 1, 1, 1, 1}, keyB[6] = {2, 2, 2, 2, 2, 2};
    ASSERT_EQ(Zelvorn_Select(0, nullptr, nullptr, nullptr), RESULT_OK);
    ASSERT_EQ(Zelvorn_Login(0, 3, KEYTYPE_A, 0, keyA), RESULT_OK);
    std::uint8_t data[16] = {};
    EXPECT_EQ(Zelvorn_Read(0, 12, data), RESULT_OK);
    EXPECT_EQ(Zelvorn_Write(0, 12, data), Result(kStatusAccessDenied));
    std::int32_t value = 0;
    EXPECT_EQ(Zelvorn_Inc(0, 13, 5, &value), Result(kStatusAccessDenied));
    EXPECT_EQ(Zelvorn_Dec(0, 13, 4, &value), RESULT_OK);
    EXPECT_EQ(value, 6);
    ASSERT_EQ(Zelvorn_Login(0, 3, KEYTYPE_B, 0, keyB), RESULT_OK);
    EXPECT_EQ(Zelvorn_Inc(0, 13, 5, &value), RESULT_OK);
    EXPECT_EQ(value, 11);
    EXPECT_EQ(Zelvorn_Read(0, 15, data), RESULT_OK);
    EXPECT_EQ(Bytes(data, data + 6), Bytes(6, 0));  // key A never reads back
}

TEST_F(Flows, KeyStorageAndTheShortLoginForms) {
    Classic().SetTrailer(6,
                         {kSecret[0], kSecret[1], kSecret[2], kSecret[3], kSecret[4], kSecret[5]},
                         MifareClassic::EncodeAccess({0, 0, 0, 0b011}), {9, 8, 7, 6, 5, 4});
    const std::uint8_t keyB[6] = {9, 8, 7, 6, 5, 4};
    ASSERT_EQ(Zelvorn_WriteMasterKey(0, 2, kSecret), RESULT_OK);
    ASSERT_EQ(Zelvorn_WriteMasterKey(0, 7, keyB), RESULT_OK);
    ASSERT_EQ(Zelvorn_Select(0, nullptr, nullptr, nullptr), RESULT_OK);
    EXPECT_EQ(Zelvorn_Login(0, 6, KEYTYPE_STORED_A, 2, nullptr), RESULT_OK);
    EXPECT_EQ(Zelvorn_Login(0, 6, KEYTYPE_STORED_B, 7, nullptr), RESULT_OK);
    EXPECT_EQ(Zelvorn_Login(0, 1, KEYTYPE_READER_F, 0, nullptr), RESULT_OK);
    EXPECT_EQ(Zelvorn_Login(0, 1, KEYTYPE_READER_A, 0, nullptr), RESULT_OK);
    EXPECT_EQ(Zelvorn_Login(0, 6, KEYTYPE_READER_A, 0, nullptr), Result(kStatusAuthFailed));
    ASSERT_EQ(Zelvorn_Select(0, nullptr, nullptr, nullptr), RESULT_OK);
    ASSERT_EQ(Zelvorn_WriteMasterKey(0, 0xAA, kSecret), RESULT_OK);
    ASSERT_EQ(Zelvorn_WriteMasterKey(0, 0xBB, keyB), RESULT_OK);
    EXPECT_EQ(Zelvorn_Login(0, 6, KEYTYPE_READER_A, 0, nullptr), RESULT_OK);
    EXPECT_EQ(Zelvorn_Login(0, 6, KEYTYPE_READER_B, 0, nullptr), RESULT_OK);
    // Stored key 16 does not exist: selector 0x20 is refused by the reader.
    EXPECT_EQ(Zelvorn_Login(0, 6, KEYTYPE_STORED_A, 16, nullptr), Result(kStatusOutOfRange));
    EXPECT_EQ(Zelvorn_WriteMasterKey(0, 16, kSecret), Result(kStatusOutOfRange));
}

TEST_F(Flows, MultiCardListAndSelect) {
    Scenario s;
    const Bytes four{0x11, 0x22, 0x33, 0x44};
    const Bytes seven{0x04, 0x71, 0x72, 0x73, 0x74, 0x75, 0x76};
    const Bytes ten{0x0A, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08, 0x09};
    s.Add<MifareClassic>(ClassicSize::k1K, four);
    s.Add<MifareClassic>(ClassicSize::k4K, seven);
    s.Add<MifareClassic>(ClassicSize::k1K, ten);
    Load(std::move(s));
    std::uint8_t count = 0, types[ZELVORN_MAX_LISTED_TAGS] = {},
                 lengths[ZELVORN_MAX_LISTED_TAGS] = {};
    std::uint8_t serials[ZELVORN_MAX_LISTED_TAGS * ZELVORN_SERIAL_FIELD] = {};
    ASSERT_EQ(Zelvorn_ListTags(0, &count, types, lengths, serials), RESULT_OK);
    ASSERT_EQ(count, 3);
    EXPECT_EQ(Bytes(types, types + 3), (Bytes{0x08, 0x18, 0x08}));
    EXPECT_EQ(Bytes(lengths, lengths + 3), (Bytes{4, 7, 10}));
    EXPECT_EQ(Bytes(serials + 10, serials + 17), seven);
    EXPECT_EQ(Bytes(serials + 20, serials + 30), ten);

    for (unsigned i = 0; i < 3; ++i) {
        std::uint8_t type = 0, length = 0, serial[10] = {};
        ASSERT_EQ(Zelvorn_MultiTagSelect(0, lengths[i], serials + 10 * i, &type, &length, serial),
                  RESULT_OK);
        EXPECT_EQ(length, lengths[i]);
        EXPECT_EQ(0, std::memcmp(serial, serials + 10 * i, 10));
        // The selected card is the one that answers the login.
        EXPECT_EQ(Zelvorn_Login(0, 1, KEYTYPE_A, 0, kTransport), RESULT_OK);
        EXPECT_EQ(device().Selected()->Serial(),
                  Bytes(serials + 10 * i, serials + 10 * i + lengths[i]));
    }
    const std::uint8_t absent[4] = {0x11, 0x22, 0x33, 0x45};
    EXPECT_EQ(Zelvorn_MultiTagSelect(0, 4, absent, nullptr, nullptr, nullptr),
              Result(kStatusNoCard));
    std::uint8_t type = 0;
    ASSERT_EQ(Zelvorn_Select(0, &type, nullptr, nullptr), RESULT_OK);
    EXPECT_EQ(device().Selected()->Serial(), four);
}

TEST_F(Flows, TypeBAtqbAndRawTelegrams) {
    std::uint8_t atqb[7] = {};
    ASSERT_EQ(Zelvorn_ReadATQB(0, atqb), RESULT_OK);
    EXPECT_EQ(Bytes(atqb, atqb + 7), (Bytes{0x12, 0x34, 0x56, 0x78, 0x00, 0x81, 0x71}));

    ASSERT_EQ(
        Zelvorn_MultiTagSelect(0, 7, defaults::kProcessorSerial.data(), nullptr, nullptr, nullptr),
        RESULT_OK);
    const std::uint8_t rats[] = {2, 0x0F, 0xE0, 0x40};
    std::uint8_t length = 0, answer[ZELVORN_MAX_TELEGRAM_RESPONSE] = {};
    ASSERT_EQ(Zelvorn_TxDataTelegram(0, sizeof rats, rats, &length, answer), RESULT_OK);
    EXPECT_EQ(Bytes(answer, answer + length),
              static_cast<ProcessorCard&>(device().CardAt(1)).Ats());
    // The same answer once more, through the reader's receive request.
    std::uint8_t received[ZELVORN_MAX_DIRECT_RESPONSE] = {}, receivedLength = 0;
    ASSERT_EQ(Zelvorn_DirectReceive(0, 0, &receivedLength, received), RESULT_OK);
    EXPECT_EQ(Bytes(received, received + receivedLength), Bytes(answer, answer + length));
    // A direct packet is any command: here the status report.
    const std::uint8_t status[] = {0x18, 0x00};
    std::uint8_t data[ZELVORN_MAX_DIRECT_RESPONSE] = {}, dataLength = 0;
    ASSERT_EQ(Zelvorn_DirectSend(0, 2, status, &dataLength, data), RESULT_OK);
    EXPECT_EQ(dataLength, 30);
    const std::uint8_t unknown[] = {0x44, 0x00};
    EXPECT_EQ(Zelvorn_DirectSend(0, 2, unknown, &dataLength, data), Result(kStatusUnknownCommand));
}

TEST_F(Flows, AskTicketReadAndWrite) {
    std::uint8_t two[2] = {};
    ASSERT_EQ(Zelvorn_ASKSectorRead(0, 0, two), RESULT_OK);
    EXPECT_EQ(Bytes(two, two + 2), (Bytes{0xA5, 0x4B}));
    std::uint8_t write[2] = {0x0F, 0xF0};
    ASSERT_EQ(Zelvorn_ASKSectorWrite(0, 9, write, 0), RESULT_OK);
    EXPECT_EQ(Bytes(write, write + 2), (Bytes{0x0F, 0xF0}));
    std::uint8_t more[2] = {0x30, 0x03};
    ASSERT_EQ(Zelvorn_ASKSectorWrite(0, 9, more, 1), RESULT_OK);
    EXPECT_EQ(Bytes(more, more + 2), (Bytes{0x3F, 0xF3}));  // bits added, as read back
    std::uint8_t eight[8] = {};
    ASSERT_EQ(Zelvorn_ASKSectorMultiRead(0, 8, eight), RESULT_OK);
    EXPECT_EQ(Bytes(eight, eight + 8), (Bytes{0, 0, 0x3F, 0xF3, 0, 0, 0, 0}));
    std::uint8_t serial[2] = {0, 0};
    EXPECT_EQ(Zelvorn_ASKSectorWrite(0, 1, serial, 0), Result(kStatusReadOnly));
    EXPECT_EQ(static_cast<AskTicket&>(device().CardAt(3)).Sector(1)[1], 0x01);
}

TEST_F(Flows, ReaderControl) {
    ReaderStatusRecord record{};
    std::uint8_t block[20] = {};
    ASSERT_EQ(Zelvorn_Status(0, block, &record), RESULT_OK);
    EXPECT_STREQ(reinterpret_cast<const char*>(block), "Zelvorn virtual 1.0");
    EXPECT_EQ(record.statusA, 1);
    EXPECT_EQ(record.statusB, 0x5A4C0001u);
    EXPECT_EQ(record.statusC, 5);

    ASSERT_EQ(Zelvorn_Power(0, 0), RESULT_OK);
    EXPECT_EQ(Zelvorn_Select(0, nullptr, nullptr, nullptr), Result(kStatusFieldOff));
    ASSERT_EQ(Zelvorn_Status(0, nullptr, &record), RESULT_OK);
    EXPECT_EQ(record.statusA, 0);
    ASSERT_EQ(Zelvorn_Power(0, 1), RESULT_OK);
    EXPECT_EQ(Zelvorn_Select(0, nullptr, nullptr, nullptr), RESULT_OK);

    std::uint8_t value = 0;
    ASSERT_EQ(Zelvorn_WriteRC500Reg(0, 0x26, 0x7E), RESULT_OK);
    ASSERT_EQ(Zelvorn_ReadRC500Reg(0, 0x26, &value), RESULT_OK);
    EXPECT_EQ(value, 0x7E);
    ASSERT_EQ(Zelvorn_WriteEEPROM(0, 0x40, 0x99), RESULT_OK);
    ASSERT_EQ(Zelvorn_Reset(0), RESULT_OK);
    ASSERT_EQ(Zelvorn_ReadRC500Reg(0, 0x26, &value), RESULT_OK);
    EXPECT_EQ(value, 0x00);
    ASSERT_EQ(Zelvorn_ReadEEPROM(0, 0x40, &value), RESULT_OK);
    EXPECT_EQ(value, 0x99);
    ASSERT_EQ(Zelvorn_WriteUserPort(0, 0xFF), RESULT_OK);
    ASSERT_EQ(Zelvorn_ReadUserPort(0, &value), RESULT_OK);
    EXPECT_EQ(value, 0x44);
    EXPECT_EQ(Zelvorn_ReadRC500Reg(0, 0x40, &value), Result(kStatusOutOfRange));
}

}  // namespace
}  // namespace zelvorn::virt::testing
