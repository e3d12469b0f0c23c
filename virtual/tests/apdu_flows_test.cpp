// A processor card through the library's block transmission: RATS, APDUs of
// many sizes both ways through chaining, and recovery from the card's
// requests for more time and its R(NAK)s.
#include <cstring>

#include "virtual/cards/processor_card.h"
#include "virtual/tests/virtual_fixture.h"

namespace zelvorn::virt::testing {
namespace {

constexpr std::size_t kFileSize = 2048;
const Bytes kAid{0xA0, 0x00, 0x00, 0x05, 0x5A, 0x45, 0x4C, 0x56, 0x01};

Scenario WithProcessorCard(std::uint8_t fsci) {
    Scenario s;
    FileNode root = FileNode::Df(
        0x3F00, {}, {FileNode::Df(0x5000, kAid, {FileNode::Ef(0x5001, Bytes(kFileSize))})});
    s.Add<ProcessorCard>(defaults::kProcessorSerial, FileSystemApp(std::move(root)), fsci);
    return s;
}

// A short command APDU, or an extended one when the data or Le need it.
Bytes Apdu(std::uint8_t ins, std::uint16_t offset, const Bytes& data, std::size_t le = 0) {
    Bytes a{0x00, ins, static_cast<std::uint8_t>(offset >> 8), static_cast<std::uint8_t>(offset)};
    const bool extended = data.size() > 255 || le > 256;
    if (!data.empty()) {
        if (extended) {
            a.insert(a.end(), {0x00, static_cast<std::uint8_t>(data.size() >> 8),
                               static_cast<std::uint8_t>(data.size())});
        } else {
            a.push_back(static_cast<std::uint8_t>(data.size()));
        }
        a.insert(a.end(), data.begin(), data.end());
    }
    if (le > 0) {
        if (extended) {
            if (data.empty()) a.push_back(0x00);
            a.insert(a.end(), {static_cast<std::uint8_t>(le >> 8), static_cast<std::uint8_t>(le)});
        } else {
            a.push_back(static_cast<std::uint8_t>(le == 256 ? 0 : le));
        }
    }
    return a;
}

Bytes Pattern(std::size_t n, std::uint8_t seed) {
    Bytes b(n);
    for (std::size_t i = 0; i < n; ++i) b[i] = static_cast<std::uint8_t>(seed + i * 7);
    return b;
}

class ApduFlows : public VirtualTest, public ::testing::WithParamInterface<int> {
protected:
    void SetUp() override {
        Load(WithProcessorCard(static_cast<std::uint8_t>(GetParam())));
        Activate();
    }

    ProcessorCard& Card() { return static_cast<ProcessorCard&>(device().CardAt(0)); }
    std::size_t Fsc() const { return static_cast<std::size_t>(fsc); }

    // Select, RATS, block numbering from the ATS, then the application and
    // its data file.
    void Activate() {
        ASSERT_EQ(Zelvorn_MultiTagSelect(0, 7, defaults::kProcessorSerial.data(), nullptr, nullptr,
                                         nullptr),
                  RESULT_OK);
        std::uint8_t ats[117] = {}, atsLength = 0;
        ASSERT_EQ(PICC_RATS(0, 4, &atsLength, ats), RESULT_OK);
        ASSERT_EQ(Bytes(ats, ats + atsLength), Card().Ats());
        fsc = PICC_InitBlockNumber(ats[1] & 0x0F);
        ASSERT_EQ(
            Exchange(Cat({0x00, 0xA4, 0x04, 0x0C, static_cast<std::uint8_t>(kAid.size())}, kAid)),
            (Bytes{0x90, 0x00}));
        ASSERT_EQ(Exchange({0x00, 0xA4, 0x00, 0x0C, 0x02, 0x50, 0x01}), (Bytes{0x90, 0x00}));
        Card().ClearCounters();
    }

    // One APDU exchange; the result lands in result.
    Bytes Exchange(const Bytes& apdu) {
        std::int16_t apduLength = static_cast<std::int16_t>(apdu.size());
        std::int16_t responseLength = -1;
        response.assign(70000, 0xEE);
        result = PICC_Xch_APDU(0, 1, &apduLength, apdu.data(), &responseLength, response.data());
        remaining = apduLength;
        if (result != RESULT_OK || responseLength < 0) return {};
        return Bytes(response.begin(), response.begin() + responseLength);
    }

    // The number of blocks an APDU of n bytes takes, as the library cuts it.
    std::size_t BlocksFor(std::size_t n) const {
        const std::size_t perBlock = std::min<std::size_t>(Fsc(), 118);
        return (n + perBlock - 1) / perBlock;
    }

    std::int16_t fsc = 0;
    std::int16_t result = 0;
    std::int16_t remaining = 0;
    Bytes response;
};

TEST_P(ApduFlows, CommandApdusOfManySizesArriveWhole) {
    for (std::size_t size : {1u, 16u, 17u, 200u, 1000u}) {
        Card().ClearCounters();
        if (size == 1) {
            EXPECT_EQ(Exchange({0x00}), (Bytes{0x67, 0x00})) << size;
        } else {
            // UPDATE BINARY whose header and data come to exactly size bytes.
            const std::size_t header = size > 260 ? 7 : 5;
            const Bytes data = Pattern(size - header, static_cast<std::uint8_t>(size));
            const Bytes apdu = Apdu(0xD6, 3, data);
            ASSERT_EQ(apdu.size(), size);
            EXPECT_EQ(Exchange(apdu), (Bytes{0x90, 0x00})) << size;
            const Bytes& file = Card().App().Find({0x5000, 0x5001})->data;
            EXPECT_EQ(Bytes(file.begin() + 3,
                            file.begin() + 3 + static_cast<std::ptrdiff_t>(data.size())),
                      data)
                << size;
        }
        EXPECT_EQ(result, RESULT_OK) << size;
        EXPECT_EQ(remaining, 0) << size;
        EXPECT_EQ(Card().Counters().iBlocks, BlocksFor(size)) << size;
    }
}

TEST_P(ApduFlows, ResponsesOfManySizesComeBackWhole) {
    const Bytes content = Pattern(kFileSize, 0x31);
    ASSERT_EQ(Exchange(Apdu(0xD6, 0, Bytes(content.begin(), content.begin() + 1500))),
              (Bytes{0x90, 0x00}));
    for (std::size_t size : {1u, 16u, 17u, 200u, 1000u}) {
        const Bytes answer = Exchange(Apdu(0xB0, 10, {}, size));
        ASSERT_EQ(result, RESULT_OK) << size;
        ASSERT_EQ(answer.size(), size + 2) << size;
        EXPECT_EQ(
            Bytes(answer.begin(), answer.end() - 2),
            Bytes(content.begin() + 10, content.begin() + 10 + static_cast<std::ptrdiff_t>(size)))
            << size;
        EXPECT_EQ(Bytes(answer.end() - 2, answer.end()), (Bytes{0x90, 0x00})) << size;
    }
    // The card never sends more than the library's frame size allows.
    EXPECT_EQ(Card().Fsd(), 48u);
}

TEST_P(ApduFlows, WaitingTimeExtensionsBeforeAndDuringChainingAreGranted) {
    Card().Quirks().wtxBeforeAnswer = 3;
    Card().Quirks().wtxBeforeChained = 2;
    const Bytes data = Pattern(1000, 5);
    EXPECT_EQ(Exchange(Apdu(0xD6, 0, data)), (Bytes{0x90, 0x00}));
    const Bytes answer = Exchange(Apdu(0xB0, 0, {}, 1000));
    ASSERT_EQ(result, RESULT_OK);
    EXPECT_EQ(Bytes(answer.begin(), answer.end() - 2), data);
    const std::size_t responseBlocks = (1002 + 44) / 45;
    EXPECT_EQ(Card().Counters().wtxResponses, 3 + 3 + 2 * (responseBlocks - 1));
}

TEST_P(ApduFlows, ChainingBlockRefusedWithNakIsSentAgain) {
    Card().Quirks().nakOnBlock = 1;
    Card().Quirks().nakTimes = 3;
    const Bytes data = Pattern(400, 9);
    EXPECT_EQ(Exchange(Apdu(0xD6, 0, data)), (Bytes{0x90, 0x00}));
    EXPECT_EQ(Card().Counters().iBlocks, BlocksFor(data.size() + 5) + 3);
    const Bytes answer = Exchange(Apdu(0xB0, 0, {}, 400));
    EXPECT_EQ(Bytes(answer.begin(), answer.end() - 2), data);
}

TEST_P(ApduFlows, EighthNakEndsTheExchangeWithTheRestUnsent) {
    Card().Quirks().nakOnBlock = 1;
    Card().Quirks().nakTimes = 8;
    const Bytes apdu = Apdu(0xD6, 0, Pattern(400, 9));
    Exchange(apdu);
    EXPECT_EQ(result, ERR_FAILURE);
    EXPECT_EQ(remaining,
              static_cast<std::int16_t>(apdu.size() - std::min<std::size_t>(Fsc(), 118)));
    EXPECT_EQ(Card().Counters().iBlocks, 1u + 8u);
}

TEST_P(ApduFlows, WrongBlockNumberFromTheCardIsAProtocolError) {
    Card().Quirks().wrongNumberOnBlock = 0;
    Exchange({0x00, 0x84, 0x00, 0x00, 0x08});
    EXPECT_EQ(result, ERR_FAILURE);
    Card().Quirks() = {};
    // The card moved on with the block; one more exchange is in step again.
    const Bytes challenge = Exchange({0x00, 0x84, 0x00, 0x00, 0x08});
    EXPECT_EQ(result, RESULT_OK);
    EXPECT_EQ(challenge.size(), 10u);
}

TEST_P(ApduFlows, DeselectEndsTheSession) {
    EXPECT_EQ(PICC_Deselect(0, 1), RESULT_OK);
    EXPECT_EQ(Card().Counters().deselects, 1u);
    Exchange({0x00, 0x84, 0x00, 0x00, 0x08});
    EXPECT_EQ(result, static_cast<std::int16_t>(kStatusNoAnswer));
}

using ScenarioFlows = VirtualTest;

// The example scenario file end to end: replies in odd chunks, a card that
// asks for more time before every answer, a 10-byte serial number.
TEST_F(ScenarioFlows, ExampleFileRunsThroughTheLibrary) {
    Load(Scenario_FromFile(std::string(ZELVORN_VIRTUAL_SCENARIOS) + "/example.json"));
    const std::uint8_t serial[10] = {0x08, 1, 2, 3, 4, 5, 6, 7, 8, 9};
    std::uint8_t type = 0;
    ASSERT_EQ(Zelvorn_MultiTagSelect(0, 10, serial, &type, nullptr, nullptr), RESULT_OK);
    EXPECT_EQ(type, 0x20);
    std::uint8_t ats[117] = {}, atsLength = 0;
    ASSERT_EQ(PICC_RATS(0, 4, &atsLength, ats), RESULT_OK);
    EXPECT_EQ(PICC_InitBlockNumber(ats[1] & 0x0F), 64);
    const std::uint8_t select[] = {0x00, 0xA4, 0x04, 0x0C, 0x06, 0xA0,
                                   0x00, 0x00, 0x00, 0x99, 0x01};
    const std::uint8_t selectFile[] = {0x00, 0xA4, 0x00, 0x0C, 0x02, 0x50, 0x01};
    const std::uint8_t read[] = {0x00, 0xB0, 0x01, 0x00, 0x00, 0x01, 0x00};  // 256 bytes from 256
    std::uint8_t response[512] = {};
    std::int16_t responseLength = 0;
    for (const auto& [apdu, size] :
         {std::pair{select, sizeof select}, std::pair{selectFile, sizeof selectFile}}) {
        std::int16_t apduLength = static_cast<std::int16_t>(size);
        ASSERT_EQ(PICC_Xch_APDU(0, 1, &apduLength, apdu, &responseLength, response), RESULT_OK);
        EXPECT_EQ(Bytes(response, response + responseLength), (Bytes{0x90, 0x00}));
    }
    std::int16_t apduLength = sizeof read;
    ASSERT_EQ(PICC_Xch_APDU(0, 0, &apduLength, read, &responseLength, response), RESULT_OK);
    ASSERT_EQ(responseLength, 258);
    EXPECT_EQ(response[0], 256 % 251);
    EXPECT_EQ(response[255], 511 % 251);
    EXPECT_EQ(PICC_Deselect(0, 1), RESULT_OK);

    std::uint8_t block[16] = {};
    const std::uint8_t keyA[6] = {0xA0, 0xA1, 0xA2, 0xA3, 0xA4, 0xA5};
    ASSERT_EQ(Zelvorn_Select(0, &type, nullptr, nullptr), RESULT_OK);
    ASSERT_EQ(Zelvorn_Login(0, 1, KEYTYPE_STORED_A, 0, nullptr), RESULT_OK);
    ASSERT_EQ(Zelvorn_Read(0, 4, block), RESULT_OK);
    EXPECT_EQ(block[0], 'Z');
    ASSERT_EQ(Zelvorn_Login(0, 1, KEYTYPE_A, 0, keyA), RESULT_OK);
    std::uint8_t first[2] = {};
    ASSERT_EQ(Zelvorn_ASKSectorRead(0, 5, first), RESULT_OK);
    EXPECT_EQ(Bytes(first, first + 2), (Bytes{0x12, 0x34}));
}

INSTANTIATE_TEST_SUITE_P(FrameSizes, ApduFlows, ::testing::Values(0, 2, 5, 8),
                         [](const ::testing::TestParamInfo<int>& param) {
                             return "Fsci" + std::to_string(param.param);
                         });

}  // namespace
}  // namespace zelvorn::virt::testing
