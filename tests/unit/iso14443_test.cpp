// ISO/IEC 14443-4 block transmission against a scripted card: every block the
// library sends is decoded from its telegram, and the card answers block by
// block, from a script or by a rule.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <deque>
#include <functional>
#include <string>

#include "iso14443/iso_dep.h"
#include "tests/support/double_fixture.h"

namespace zelvorn::testing {
namespace {

constexpr std::uint8_t kGuard = 0xEE;

Bytes Join(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// n bytes counting up from first, so that every slice of an APDU is its own.
Bytes Counting(std::size_t n, std::uint8_t first = 0) {
    Bytes out(n);
    for (std::size_t i = 0; i < n; ++i) out[i] = static_cast<std::uint8_t>(first + i);
    return out;
}

// A card that keeps to the protocol: R(ACK) to a chaining I-block, the
// status word 90 00 in an I-block of the same number to the last one.
Bytes ConformingCard(const Bytes& block) {
    const std::uint8_t pcb = block.at(0);
    const std::uint8_t n = pcb & 1;
    if ((pcb & 0x10) != 0) return {static_cast<std::uint8_t>(0xA2 | n)};
    return {static_cast<std::uint8_t>(0x02 | n), 0x90, 0x00};
}

class Iso14443Test : public DoubleTest {
protected:
    void SetUp() override {
        DoubleTest::SetUp();
        PICC_InitBlockNumber(0);  // the state the library is loaded with
    }

    // Opens port 0 with a card behind it. The card records the RequestBlock
    // of every frame and answers with the next scripted reply frame, or, when
    // the script has run out, by its rule.
    FakeReader& OpenCard() {
        FakeReader& r = OpenReader();
        r.responder = [this](const Bytes& frame, Bytes& reply) {
            requests.push_back(RequestBlockOf(frame));
            if (!script.empty()) {
                reply = script.front();
                script.pop_front();
                return true;
            }
            if (!rule || requests.back().size() < 8) return false;
            reply = ReaderReply(0, rule(Bytes(requests.back().begin() + 7, requests.back().end())));
            return true;
        };
        return r;
    }

    // Queues the card's answers, one per block it receives.
    void Card(std::initializer_list<Bytes> answers) {
        for (const Bytes& a : answers) script.push_back(ReaderReply(0, a));
    }

    // The telegram data (n, option, block) of the i-th request.
    Bytes Telegram(std::size_t i) const {
        const Bytes& request = requests.at(i);
        return Bytes(request.begin() + 5, request.end());
    }
    std::vector<Bytes> Telegrams() const {
        std::vector<Bytes> out;
        for (std::size_t i = 0; i < requests.size(); ++i) out.push_back(Telegram(i));
        return out;
    }

    struct Outcome {
        std::int16_t result;
        std::int16_t apduLength;
        std::int16_t responseLength;
        Bytes response;
    };

    // Runs one APDU exchange on handle 0 and checks that nothing was written
    // beyond the reported response.
    Outcome Xch(const Bytes& apdu, std::int32_t optionFlag = 1, std::int16_t handle = 0) {
        Bytes buffer(kResponseRoom + 16, kGuard);
        auto apduLength = static_cast<std::int16_t>(apdu.size());
        std::int16_t responseLength = -7;
        const std::int16_t result = PICC_Xch_APDU(handle, optionFlag, &apduLength, apdu.data(),
                                                  &responseLength, buffer.data());
        Outcome out{result, apduLength, responseLength, {}};
        const auto delivered = static_cast<std::size_t>(std::max<std::int16_t>(responseLength, 0));
        out.response.assign(buffer.begin(), buffer.begin() + static_cast<long>(delivered));
        for (std::size_t i = delivered; i < buffer.size(); ++i) {
            if (buffer[i] != kGuard) {
                ADD_FAILURE() << "response byte " << i << " written beyond length " << delivered;
                break;
            }
        }
        return out;
    }

    static std::uint8_t BlockNumber() { return IsoDep_ProcessEngine().State().blockNumber; }

    static constexpr std::size_t kResponseRoom = 32767;
    std::vector<Bytes> requests;
    std::deque<Bytes> script;
    std::function<Bytes(const Bytes& block)> rule;
};

// ---- Protocol state -------------------------------------------------------

// Exits 0 when the protocol state is the one the library is loaded with:
// block number 0, FSC 16, so that a first APDU is cut into 16-byte blocks
// numbered from 0.
[[noreturn]] void ExitWithLoadStateVerdict() {
    const ProtocolState s = IsoDep_ProcessEngine().State();
    if (s.blockNumber != 0 || s.fsc != 16) {
        std::fprintf(stderr, "state at load %u/%d\n", s.blockNumber, s.fsc);
        std::exit(1);
    }
    UsbDouble::Instance().Reset();
    FakeReader& r = UsbDouble::Instance().AddReader();
    std::vector<Bytes> blocks;
    r.responder = [&blocks](const Bytes& frame, Bytes& reply) {
        const Bytes request = RequestBlockOf(frame);
        if (request.size() < 8) return false;
        blocks.emplace_back(request.begin() + 7, request.end());
        reply = ReaderReply(0, ConformingCard(blocks.back()));
        return true;
    };
    if (Zelvorn_Open(0) != 0) std::exit(2);
    const Bytes apdu = Counting(17);
    std::int16_t apduLength = 17;
    std::int16_t responseLength = 0;
    std::uint8_t response[8];
    if (PICC_Xch_APDU(0, 1, &apduLength, apdu.data(), &responseLength, response) != 0) {
        std::exit(3);
    }
    const bool cut = blocks.size() == 2 && blocks[0] == Join({0x12}, Counting(16)) &&
                     blocks[1] == Bytes{0x03, 16};
    std::exit(cut ? 0 : 4);
}

TEST(Iso14443LoadTest, FreshProcessStartsAtBlockZeroWithFsc16) {
    // The threadsafe style runs the check in a newly started copy of this
    // program, where no other test has touched the state.
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(ExitWithLoadStateVerdict(), ::testing::ExitedWithCode(0), "");
}

TEST_F(Iso14443Test, InitBlockNumberLooksTheFrameSizeUpAndRestartsNumbering) {
    OpenCard();
    rule = ConformingCard;
    const struct {
        std::int16_t fsci;
        std::int16_t fsc;
    } rows[] = {{0, 16},  {1, 24},  {2, 32}, {3, 40},  {4, 48},  {5, 64},     {6, 96},
                {7, 128}, {8, 256}, {9, 16}, {15, 16}, {-1, 16}, {32767, 16}, {-32768, 16}};
    for (const auto& row : rows) {
        ASSERT_EQ(Xch({0x00}).result, RESULT_OK);  // leaves block number 1
        ASSERT_EQ(BlockNumber(), 1);
        EXPECT_EQ(PICC_InitBlockNumber(row.fsci), row.fsc) << row.fsci;
        EXPECT_EQ(IsoDep_ProcessEngine().State().fsc, row.fsc) << row.fsci;
        EXPECT_EQ(BlockNumber(), 0) << row.fsci;
    }
}

TEST_F(Iso14443Test, BlockNumbersRunOnAcrossCallsAndThroughOtherFunctions) {
    OpenCard();
    rule = ConformingCard;
    std::uint8_t atsLength = 0;
    ASSERT_EQ(Xch({0xA0}).result, RESULT_OK);
    ASSERT_EQ(PICC_RATS(0, 2, &atsLength, nullptr), RESULT_OK);
    ASSERT_EQ(PICC_Deselect(0, 1), RESULT_OK);
    ASSERT_EQ(Xch({0xA1}).result, RESULT_OK);
    EXPECT_EQ(Telegram(0), (Bytes{0x02, 0x0F, 0x02, 0xA0}));
    EXPECT_EQ(Telegram(3), (Bytes{0x02, 0x0F, 0x03, 0xA1}));
    EXPECT_EQ(BlockNumber(), 0);
    EXPECT_EQ(IsoDep_ProcessEngine().State().fsc, 16);
}

// ---- Sending an APDU -------------------------------------------------------

TEST_F(Iso14443Test, FortyByteApduGoesAsThreeBlocks) {
    OpenCard();
    for (const auto& [flag, option] :
         {std::pair<std::int32_t, std::uint8_t>{1, 0x0F}, {0, 0x0C}, {-1, 0x0F}, {0x10000, 0x0F}}) {
        SCOPED_TRACE(flag);
        PICC_InitBlockNumber(0);
        requests.clear();
        const Bytes apdu = Counting(40, 0x40);
        Card({{0xA2}, {0xA3}, {0x02, 0x6A, 0x82}});
        const Outcome out = Xch(apdu, flag);
        EXPECT_EQ(out.result, RESULT_OK);
        EXPECT_EQ(out.apduLength, 0);
        EXPECT_EQ(out.response, (Bytes{0x6A, 0x82}));
        EXPECT_EQ(BlockNumber(), 1);
        ASSERT_EQ(requests.size(), 3u);
        EXPECT_EQ(requests[0],
                  Join({0xE0, 0x00, 0x15, 0x16, 0x13, 0x11, option, 0x12}, Counting(16, 0x40)));
        EXPECT_EQ(Telegram(1), Join({0x11, option, 0x13}, Counting(16, 0x50)));
        EXPECT_EQ(Telegram(2), Join({0x09, option, 0x02}, Counting(8, 0x60)));
    }
}

// The card's FSC limits what one block carries, up to the 118 APDU bytes one
// telegram holds; an APDU of exactly the limit goes unchained.
TEST_F(Iso14443Test, BlocksCarryAtMostTheFrameSize) {
    const struct {
        std::int16_t fsci;
        std::size_t apduLength;
        std::vector<std::size_t> blocks;
    } rows[] = {
        {0, 1, {1}},
        {0, 16, {16}},
        {0, 17, {16, 1}},
        {0, 33, {16, 16, 1}},
        {1, 24, {24}},
        {1, 25, {24, 1}},
        {6, 96, {96}},
        {6, 97, {96, 1}},
        {7, 118, {118}},
        {7, 119, {118, 1}},
        {7, 128, {118, 10}},
        {8, 118, {118}},
        {8, 256, {118, 118, 20}},
        {8, 1000, {118, 118, 118, 118, 118, 118, 118, 118, 56}},
    };
    OpenCard();
    rule = ConformingCard;
    for (const auto& row : rows) {
        SCOPED_TRACE(::testing::Message() << "fsci " << row.fsci << " apdu " << row.apduLength);
        requests.clear();
        PICC_InitBlockNumber(row.fsci);
        const Bytes apdu = Counting(row.apduLength, 0x11);
        const Outcome out = Xch(apdu);
        ASSERT_EQ(out.result, RESULT_OK);
        EXPECT_EQ(out.apduLength, 0);
        ASSERT_EQ(requests.size(), row.blocks.size());
        std::size_t at = 0;
        for (std::size_t i = 0; i < row.blocks.size(); ++i) {
            const std::size_t k = row.blocks[i];
            const bool last = i + 1 == row.blocks.size();
            const auto pcb = static_cast<std::uint8_t>((last ? 0x02 : 0x12) | (i & 1));
            const Bytes inf(apdu.begin() + static_cast<long>(at),
                            apdu.begin() + static_cast<long>(at + k));
            EXPECT_EQ(Telegram(i), Join({static_cast<std::uint8_t>(k + 1), 0x0F, pcb}, inf)) << i;
            at += k;
        }
        EXPECT_EQ(BlockNumber(), row.blocks.size() % 2);
    }
}

TEST_F(Iso14443Test, NothingIsSentForAnEmptyOrNegativeApdu) {
    OpenCard();
    rule = ConformingCard;
    for (std::int16_t length : {0, -1, -32768}) {
        std::int16_t apduLength = length;
        std::int16_t responseLength = 99;
        std::uint8_t apdu[1] = {0};
        std::uint8_t response[1] = {kGuard};
        EXPECT_EQ(PICC_Xch_APDU(0, 1, &apduLength, apdu, &responseLength, response), ERR_FAILURE);
        EXPECT_EQ(apduLength, length);
        EXPECT_EQ(responseLength, 0);
        EXPECT_EQ(response[0], kGuard);
    }
    EXPECT_TRUE(requests.empty());
    EXPECT_EQ(BlockNumber(), 0);
}

TEST_F(Iso14443Test, NullRequiredArgumentsAreRefusedBeforeAnythingIsSentOrWritten) {
    OpenCard();
    rule = ConformingCard;
    const std::uint8_t apdu[1] = {0x00};
    const struct {
        const char* name;
        bool apduLength, apdu, responseLength, response;
    } rows[] = {
        {"apduLength", false, true, true, true},
        {"apdu", true, false, true, true},
        {"responseLength", true, true, false, true},
        {"response", true, true, true, false},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        std::int16_t apduLength = 1;
        std::int16_t responseLength = 99;
        std::uint8_t response[1] = {kGuard};
        EXPECT_EQ(
            PICC_Xch_APDU(0, 1, row.apduLength ? &apduLength : nullptr, row.apdu ? apdu : nullptr,
                          row.responseLength ? &responseLength : nullptr,
                          row.response ? response : nullptr),
            ERR_INVALID_PARAMETER);
        EXPECT_EQ(apduLength, 1);
        EXPECT_EQ(responseLength, 99);
        EXPECT_EQ(response[0], kGuard);
    }
    std::uint8_t ats[1] = {kGuard};
    EXPECT_EQ(PICC_RATS(0, 2, nullptr, ats), ERR_INVALID_PARAMETER);
    EXPECT_EQ(ats[0], kGuard);
    EXPECT_TRUE(requests.empty());
    EXPECT_EQ(BlockNumber(), 0);
}

TEST_F(Iso14443Test, EachEngineNumbersItsOwnBlocksAndTheExportedFunctionsShareOne) {
    OpenCard();
    rule = ConformingCard;
    IsoDepEngine first;
    IsoDepEngine second;
    const std::uint8_t apdu[1] = {0x00};
    std::uint8_t response[8];
    for (IsoDepEngine* engine : {&first, &first, &second}) {
        std::int16_t apduLength = 1;
        std::int16_t responseLength = 0;
        ASSERT_EQ(
            engine->Exchange(0, 1, &apduLength, apdu, &responseLength, response, sizeof response),
            RESULT_OK);
    }
    // I-blocks 0 and 1 from the first engine, 0 again from the second.
    ASSERT_EQ(requests.size(), 3u);
    EXPECT_EQ(Telegram(0)[2], 0x02);
    EXPECT_EQ(Telegram(1)[2], 0x03);
    EXPECT_EQ(Telegram(2)[2], 0x02);
    EXPECT_EQ(first.State().blockNumber, 0);
    EXPECT_EQ(second.State().blockNumber, 1);
    EXPECT_EQ(BlockNumber(), 0);  // the exported functions' engine was not touched
}

TEST_F(Iso14443Test, AProbeIsAnRNakForTheNextBlockAndTheRatsLimitCanBeRaised) {
    OpenCard();
    rule = ConformingCard;
    IsoDepEngine engine;
    const std::uint8_t apdu[1] = {0x00};
    std::uint8_t response[8];
    std::int16_t apduLength = 1;
    std::int16_t responseLength = 0;
    ASSERT_EQ(engine.Exchange(0, 1, &apduLength, apdu, &responseLength, response, sizeof response),
              RESULT_OK);
    requests.clear();
    Card({{0xA2}, {}});
    EXPECT_EQ(engine.Probe(0, 1), RESULT_OK);
    EXPECT_EQ(engine.Probe(0, 0), ERR_FAILURE);  // an empty answer: the card is gone
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(Telegram(0), (Bytes{0x01, 0x0F, 0xB3}));
    EXPECT_EQ(Telegram(1), (Bytes{0x01, 0x0C, 0xB3}));
    EXPECT_EQ(engine.State().blockNumber, 1);

    requests.clear();
    Card({{0x05, 0x78}});
    std::uint8_t atsLength = 0;
    EXPECT_EQ(engine.Rats(0, 7, &atsLength, nullptr, 6), RESULT_OK);
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(Telegram(0), (Bytes{0x02, 0x0F, 0xE0, 0x60}));
}

TEST_F(Iso14443Test, AResponseBeyondTheCallersCapacityFailsWithNothingWrittenPastIt) {
    OpenCard();
    Card({Join({0x12}, Counting(10)), Join({0x03}, Counting(10))});
    IsoDepEngine engine;
    const std::uint8_t apdu[1] = {0x00};
    Bytes response(24, kGuard);
    std::int16_t apduLength = 1;
    std::int16_t responseLength = 0;
    EXPECT_EQ(engine.Exchange(0, 1, &apduLength, apdu, &responseLength, response.data(), 15),
              ERR_FAILURE);
    EXPECT_EQ(responseLength, 10);
    EXPECT_EQ(Bytes(response.begin() + 10, response.end()), Bytes(14, kGuard));
}

// ---- R(NAK) ------------------------------------------------------------------

TEST_F(Iso14443Test, EighthNakForOneChainingBlockEndsTheExchange) {
    OpenCard();
    rule = [](const Bytes&) { return Bytes{0xB2}; };
    const Bytes apdu = Counting(20);
    const Outcome out = Xch(apdu);
    EXPECT_EQ(out.result, ERR_FAILURE);
    EXPECT_EQ(out.apduLength, 20);
    EXPECT_EQ(out.responseLength, 0);
    ASSERT_EQ(requests.size(), 8u);
    for (std::size_t i = 0; i < 8; ++i) {
        EXPECT_EQ(Telegram(i), Join({0x11, 0x0F, 0x12}, Counting(16))) << i;
    }
    EXPECT_EQ(BlockNumber(), 1);  // toggled once for the block, not per sending
}

TEST_F(Iso14443Test, SevenNaksPerBlockAreForgivenAndTheCountStartsAgainPerBlock) {
    OpenCard();
    const Bytes apdu = Counting(33);
    for (int i = 0; i < 7; ++i) Card({{0xB2}});
    Card({{0xA2}});
    for (int i = 0; i < 7; ++i) Card({{0xB3}});
    Card({{0xA3}, {0x02, 0x90, 0x00}});
    const Outcome out = Xch(apdu);
    EXPECT_EQ(out.result, RESULT_OK);
    EXPECT_EQ(out.response, (Bytes{0x90, 0x00}));
    ASSERT_EQ(requests.size(), 17u);
    EXPECT_EQ(Telegram(7), Join({0x11, 0x0F, 0x12}, Counting(16)));
    EXPECT_EQ(Telegram(8), Join({0x11, 0x0F, 0x13}, Counting(16, 16)));
    EXPECT_EQ(Telegram(15), Join({0x11, 0x0F, 0x13}, Counting(16, 16)));
    EXPECT_EQ(Telegram(16), (Bytes{0x02, 0x0F, 0x02, 32}));
    EXPECT_EQ(BlockNumber(), 1);
}

// ---- Answers that break the protocol --------------------------------------

TEST_F(Iso14443Test, AnswersThatBreakTheProtocolEndTheExchange) {
    const struct {
        const char* name;
        std::size_t apduLength;  // 1: one last block; 20: a chaining block first
        std::vector<Bytes> answers;
        std::int16_t apduLeft;
        std::size_t sent;
    } rows[] = {
        {"R(ACK) to the last block", 1, {{0xA2}}, 1, 1},
        {"R(NAK) to the last block", 1, {{0xB2}}, 1, 1},
        {"R(ACK) with the wrong number", 20, {{0xA3}}, 20, 1},
        {"R(NAK) with the wrong number", 20, {{0xB3}}, 20, 1},
        {"R-block with bit 2 set to a chaining block", 20, {{0xA6}}, 20, 1},
        {"R(ACK) to the second block of three with the first's number",
         40,
         {{0xA2}, {0xA2}},
         24,
         2},
        {"I-block to a chaining block", 20, {{0x02, 0x90, 0x00}}, 20, 1},
        {"I-block with the wrong number", 1, {{0x03, 0x90, 0x00}}, 1, 1},
        {"S(DESELECT)", 1, {{0xC2}}, 1, 1},
        {"undefined block type", 1, {{0x42, 0x90, 0x00}}, 1, 1},
        {"I-block without bit 1", 1, {{0x00, 0x90, 0x00}}, 1, 1},
        {"empty answer", 1, {{}}, 1, 1},
        {"CID bit and nothing else", 1, {{0x0A}}, 1, 1},
        {"WTX request without WTXM", 1, {{0xF2}}, 1, 1},
        {"WTX request with CID bit, without WTXM", 1, {{0xFA, 0x00}}, 1, 1},
        {"I-block after WTX to a chaining block", 20, {{0xF2, 0x01}, {0x02, 0x90, 0x00}}, 20, 2},
    };
    OpenCard();
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        requests.clear();
        script.clear();
        PICC_InitBlockNumber(0);
        for (const Bytes& a : row.answers) Card({a});
        const Outcome out = Xch(Counting(row.apduLength));
        EXPECT_EQ(out.result, ERR_FAILURE);
        EXPECT_EQ(out.apduLength, row.apduLeft);
        EXPECT_EQ(out.responseLength, 0);
        EXPECT_EQ(requests.size(), row.sent);
        EXPECT_TRUE(script.empty());
    }
}

TEST_F(Iso14443Test, ReplyDeclaringMoreThanItCarriesIsAFailure) {
    OpenCard();
    // P says 5 bytes, one arrived.
    script.push_back(ReplyFrame({0x00, 0x00, 0x00, 0x00, 0x05, 0x02}));
    const Outcome out = Xch({0x00});
    EXPECT_EQ(out.result, ERR_FAILURE);
    EXPECT_EQ(out.responseLength, 0);
}

TEST_F(Iso14443Test, TransportAndReaderResultsComeBackUnchanged) {
    const struct {
        const char* name;
        Bytes reply;  // frame; empty for no reply at all
        std::int16_t result;
    } rows[] = {
        {"negative reader status", ReaderReply(0x8001, {0xA2}), static_cast<std::int16_t>(0x8001)},
        {"positive reader status", ReaderReply(0x0123, {0xA2}), 0x0123},
        {"transport status", ReplyFrame(ReplyPayload(0, {0xA2}), {.transportStatus = 0x6F00}),
         static_cast<std::int16_t>(0x6F00)},
        {"bad checksum", ReplyFrame(ReplyPayload(0, {0xA2}), {.corruptChecksum = true}),
         ERR_FAILURE},
    };
    OpenCard();
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        requests.clear();
        PICC_InitBlockNumber(0);
        script = {row.reply};
        const Outcome out = Xch(Counting(20));
        EXPECT_EQ(out.result, row.result);
        EXPECT_EQ(out.apduLength, 20);
        EXPECT_EQ(requests.size(), 1u);
    }
}

TEST_F(Iso14443Test, BadHandleIsFoundAtTheFirstTelegram) {
    OpenCard();
    rule = ConformingCard;
    std::uint8_t toggles = 0;
    for (std::int16_t handle : {1, 19, 20, -1}) {
        const Outcome out = Xch(Counting(3), 1, handle);
        EXPECT_EQ(out.result, ERR_INVALID_HANDLE) << handle;
        EXPECT_EQ(out.responseLength, 0) << handle;
        EXPECT_EQ(out.apduLength, 3) << handle;
        toggles ^= 1;
        EXPECT_EQ(BlockNumber(), toggles) << handle;  // the first block was built
    }
    EXPECT_TRUE(requests.empty());
}

// ---- Waiting-time extension -------------------------------------------------

TEST_F(Iso14443Test, TenWtxRequestsInARowAreAllAnswered) {
    OpenCard();
    for (std::uint8_t w = 1; w <= 10; ++w) Card({{0xF2, w}});
    Card({{0x02, 0x90, 0x00}});
    const Outcome out = Xch({0x00, 0xB0}, 0);
    EXPECT_EQ(out.result, RESULT_OK);
    EXPECT_EQ(out.response, (Bytes{0x90, 0x00}));
    ASSERT_EQ(requests.size(), 11u);
    for (std::uint8_t w = 1; w <= 10; ++w) {
        EXPECT_EQ(Telegram(w), (Bytes{0x02, 0x0C, 0xF2, w}));
    }
    EXPECT_EQ(BlockNumber(), 1);  // WTX responses take no number
}

TEST_F(Iso14443Test, WtxRequestWithCidBitIsAnsweredWithItsWtxm) {
    OpenCard();
    Card({{0xFA, 0x00, 0x3B}, {0x02, 0x90, 0x00}});
    const Outcome out = Xch({0x00});
    EXPECT_EQ(out.result, RESULT_OK);
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(Telegram(1), (Bytes{0x02, 0x0F, 0xF2, 0x3B}));
}

// A card may ask for more time before acknowledging a chaining block; its
// R(ACK) or R(NAK) afterwards still answers that block.
TEST_F(Iso14443Test, WtxDuringChainingIsAnsweredAsForTheChainingBlock) {
    OpenCard();
    const Bytes apdu = Counting(20);
    Card({{0xF2, 0x07}, {0xB2}, {0xF2, 0x08}, {0xA2}, {0x03, 0x90, 0x00}});
    const Outcome out = Xch(apdu);
    EXPECT_EQ(out.result, RESULT_OK);
    EXPECT_EQ(out.response, (Bytes{0x90, 0x00}));
    EXPECT_EQ(Telegrams(), (std::vector<Bytes>{
                               Join({0x11, 0x0F, 0x12}, Counting(16)),
                               {0x02, 0x0F, 0xF2, 0x07},
                               Join({0x11, 0x0F, 0x12}, Counting(16)),
                               {0x02, 0x0F, 0xF2, 0x08},
                               Join({0x05, 0x0F, 0x03}, Counting(4, 16)),
                           }));
    EXPECT_EQ(BlockNumber(), 0);
}

// ---- Receiving the response -------------------------------------------------

TEST_F(Iso14443Test, ChainedResponseIsAcknowledgedAndJoined) {
    OpenCard();
    Card({{0x12, 1, 2, 3, 4, 5}, {0x03, 6, 7, 8}});
    const Outcome out = Xch({0x00});
    EXPECT_EQ(out.result, RESULT_OK);
    EXPECT_EQ(out.responseLength, 8);
    EXPECT_EQ(out.response, (Bytes{1, 2, 3, 4, 5, 6, 7, 8}));
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[1], (Bytes{0xE0, 0x00, 0x05, 0x16, 0x03, 0x01, 0x0F, 0xA3}));
    EXPECT_EQ(BlockNumber(), 0);
}

TEST_F(Iso14443Test, AcknowledgementsKeepAlternating) {
    OpenCard();
    rule = ConformingCard;
    ASSERT_EQ(Xch({0x00}).result, RESULT_OK);  // block number now 1
    requests.clear();
    Card({{0x13, 1}, {0x12, 2}, {0x13, 3}, {0x02, 4}});
    const Outcome out = Xch({0x00}, 0);
    EXPECT_EQ(out.result, RESULT_OK);
    EXPECT_EQ(out.response, (Bytes{1, 2, 3, 4}));
    EXPECT_EQ(
        Telegrams(),
        (std::vector<Bytes>{
            {0x02, 0x0C, 0x03, 0x00}, {0x01, 0x0C, 0xA2}, {0x01, 0x0C, 0xA3}, {0x01, 0x0C, 0xA2}}));
    EXPECT_EQ(BlockNumber(), 1);
}

// An I-block that answers an R(ACK) is taken whatever its number.
TEST_F(Iso14443Test, ResponseBlockNumberIsNotCheckedAfterAnAcknowledgement) {
    OpenCard();
    Card({{0x12, 1}, {0x02, 2}});
    const Outcome out = Xch({0x00});
    EXPECT_EQ(out.result, RESULT_OK);
    EXPECT_EQ(out.response, (Bytes{1, 2}));
}

TEST_F(Iso14443Test, CidByteIsNotResponseData) {
    const struct {
        const char* name;
        std::vector<Bytes> answers;
        Bytes response;
    } rows[] = {
        {"bare I-block", {{0x02}}, {}},
        {"I-block with CID", {{0x0A, 0x00, 0x90, 0x00}}, {0x90, 0x00}},
        {"I-block with CID and nothing after it", {{0x0A, 0x05}}, {}},
        {"chained, both with CID", {{0x1A, 0x00, 1, 2}, {0x0B, 0x00, 3}}, {1, 2, 3}},
        {"NAD bit is not looked at", {{0x06, 0x21, 0x90, 0x00}}, {0x21, 0x90, 0x00}},
    };
    OpenCard();
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        PICC_InitBlockNumber(0);
        for (const Bytes& a : row.answers) Card({a});
        const Outcome out = Xch({0x00});
        EXPECT_EQ(out.result, RESULT_OK);
        EXPECT_EQ(out.response, row.response);
        EXPECT_TRUE(script.empty());
    }
}

// A card may ask for more time while preparing its next chained block: the
// request is granted and its WTXM is no part of the response.
TEST_F(Iso14443Test, WtxWhileReceivingAddsNothingToTheResponse) {
    OpenCard();
    Card({{0x12, 1, 2}, {0xF2, 0x05}, {0xFA, 0x00, 0x06}, {0x03, 3}});
    const Outcome out = Xch({0x00});
    EXPECT_EQ(out.result, RESULT_OK);
    EXPECT_EQ(out.response, (Bytes{1, 2, 3}));
    EXPECT_EQ(Telegrams(), (std::vector<Bytes>{{0x02, 0x0F, 0x02, 0x00},
                                               {0x01, 0x0F, 0xA3},
                                               {0x02, 0x0F, 0xF2, 0x05},
                                               {0x02, 0x0F, 0xF2, 0x06}}));
    EXPECT_EQ(BlockNumber(), 0);
}

TEST_F(Iso14443Test, NonIBlockAnswersToAnAcknowledgementEndTheExchange) {
    const struct {
        const char* name;
        Bytes answer;
    } rows[] = {
        {"R(ACK)", {0xA3}},      {"R(NAK)", {0xB2}},
        {"S(DESELECT)", {0xC2}}, {"WTX request without WTXM", {0xF2}},
        {"empty", {}},
    };
    OpenCard();
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        requests.clear();
        PICC_InitBlockNumber(0);
        Card({{0x12, 1, 2}, row.answer});
        const Outcome out = Xch({0x00});
        EXPECT_EQ(out.result, ERR_FAILURE);
        EXPECT_EQ(out.apduLength, 0);  // the APDU itself was accepted
        EXPECT_EQ(out.response, (Bytes{1, 2}));
        EXPECT_EQ(requests.size(), 2u);
        EXPECT_EQ(BlockNumber(), 0);
    }
}

// The response length is a signed 16-bit count: a card whose response would
// pass 32767 bytes is cut off rather than wrapping it round.
TEST_F(Iso14443Test, ResponseLongerThan32767BytesIsAFailure) {
    OpenCard();
    for (const bool fits : {true, false}) {
        SCOPED_TRACE(fits ? "exactly 32767" : "one block more");
        requests.clear();
        PICC_InitBlockNumber(0);
        // 282 chained blocks of 116 bytes are 32712; a last block of 55
        // makes 32767, a further chained block of 116 one too many.
        std::size_t blocksSent = 0;
        rule = [&blocksSent, fits](const Bytes&) {
            ++blocksSent;
            const bool last = fits && blocksSent == 283;
            Bytes answer{static_cast<std::uint8_t>((last ? 0x02 : 0x12) | ((blocksSent + 1) & 1))};
            const Bytes inf = Counting(last ? 55 : 116, static_cast<std::uint8_t>(blocksSent));
            return Join(answer, inf);
        };
        const Outcome out = Xch({0x00});
        EXPECT_EQ(out.result, fits ? RESULT_OK : ERR_FAILURE);
        EXPECT_EQ(out.responseLength, fits ? 32767 : 32712);
        EXPECT_EQ(blocksSent, 283u);
    }
}

// ---- RATS ---------------------------------------------------------------------

TEST_F(Iso14443Test, RatsAnnouncesFsdiCappedAtFourAndReturnsTheAts) {
    const struct {
        std::uint8_t fsdi;
        std::uint8_t parameter;
    } rows[] = {{0, 0x00}, {2, 0x20}, {4, 0x40}, {5, 0x40}, {9, 0x40}, {255, 0x40}};
    OpenCard();
    PICC_InitBlockNumber(3);
    const Bytes ats{0x05, 0x78, 0x80, 0x70, 0x02};
    for (const auto& row : rows) {
        requests.clear();
        Card({ats});
        std::uint8_t atsLength = 0;
        Bytes out(117 + 4, kGuard);
        EXPECT_EQ(PICC_RATS(0, row.fsdi, &atsLength, out.data()), RESULT_OK);
        ASSERT_EQ(requests.size(), 1u);
        EXPECT_EQ(requests[0],
                  (Bytes{0xE0, 0x00, 0x06, 0x16, 0x04, 0x02, 0x0F, 0xE0, row.parameter}))
            << int{row.fsdi};
        EXPECT_EQ(atsLength, 5);
        EXPECT_EQ(Bytes(out.begin(), out.begin() + 6), Join(ats, {kGuard}));
    }
    EXPECT_EQ(IsoDep_ProcessEngine().State().fsc, 40);
    EXPECT_EQ(BlockNumber(), 0);
}

TEST_F(Iso14443Test, RatsOutcomes) {
    const struct {
        const char* name;
        Bytes reply;  // frame
        std::int16_t result;
        std::uint8_t atsLength;
    } rows[] = {
        {"longest ATS, no buffer", ReaderReply(0, Counting(117)), RESULT_OK, 117},
        {"empty answer", ReaderReply(0, {}), RESULT_OK, 0},
        {"reader status", ReaderReply(0x0002, {0x05}), 0x0002, 48},
        {"negative reader status", ReaderReply(0xFFFE, {0x05}), -2, 48},
        {"declares more than it carries", ReplyFrame({0, 0, 0, 0, 9, 1, 2}), ERR_FAILURE, 48},
        {"no reply", {}, ERR_FAILURE, 48},
    };
    OpenCard();
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        script.clear();
        if (!row.reply.empty()) script.push_back(row.reply);
        std::uint8_t atsLength = 0;
        EXPECT_EQ(PICC_RATS(0, 2, &atsLength, nullptr), row.result);
        EXPECT_EQ(atsLength, row.atsLength);
    }
}

TEST_F(Iso14443Test, RatsOnABadHandleLeavesAtsLengthAt48) {
    OpenCard();
    for (std::int16_t handle : {1, 20, -1}) {
        std::uint8_t atsLength = 0;
        std::uint8_t ats[1] = {kGuard};
        EXPECT_EQ(PICC_RATS(handle, 2, &atsLength, ats), ERR_INVALID_HANDLE);
        EXPECT_EQ(atsLength, 48);
        EXPECT_EQ(ats[0], kGuard);
    }
    EXPECT_TRUE(requests.empty());
}

// ---- Deselect -------------------------------------------------------------------

TEST_F(Iso14443Test, DeselectSendsTheBlockAndIgnoresTheAnswer) {
    const struct {
        std::int32_t flag;
        Bytes reply;
        std::int16_t result;
        std::uint8_t option;
    } rows[] = {
        {0, ReaderReply(0, {0xC2}), RESULT_OK, 0x0C},
        {0, ReaderReply(0, {}), RESULT_OK, 0x0C},
        {1, ReaderReply(0, {0xA3, 0x99}), RESULT_OK, 0x0F},
        {1, ReplyFrame({0, 0, 0, 0, 9}), RESULT_OK, 0x0F},
        {0, ReaderReply(0x6A82, {}), 0x6A82, 0x0C},
    };
    OpenCard();
    PICC_InitBlockNumber(5);
    rule = ConformingCard;
    ASSERT_EQ(Xch({0x00}).result, RESULT_OK);  // block number 1
    for (const auto& row : rows) {
        requests.clear();
        script = {row.reply};
        EXPECT_EQ(PICC_Deselect(0, row.flag), row.result);
        ASSERT_EQ(requests.size(), 1u);
        EXPECT_EQ(requests[0], (Bytes{0xE0, 0x00, 0x05, 0x16, 0x03, 0x01, row.option, 0xC2}));
    }
    EXPECT_EQ(BlockNumber(), 1);
    EXPECT_EQ(IsoDep_ProcessEngine().State().fsc, 64);
    requests.clear();
    EXPECT_EQ(PICC_Deselect(20, 0), ERR_INVALID_HANDLE);
    EXPECT_EQ(PICC_Deselect(3, 0), ERR_INVALID_HANDLE);
    EXPECT_TRUE(requests.empty());
}

}  // namespace
}  // namespace zelvorn::testing
