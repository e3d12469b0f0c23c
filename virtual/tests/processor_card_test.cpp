// The processor card's block protocol, driven frame by frame the way a host
// would, including the rules for blocks the library never sends.
#include "virtual/cards/processor_card.h"

#include <gtest/gtest.h>

#include "virtual/scenario.h"

namespace zelvorn::virt::testing {
namespace {

constexpr std::uint8_t kWithCrc = 0x0F;

class ProcessorCardTest : public ::testing::Test {
protected:
    ProcessorCardTest() : card(defaults::kProcessorSerial, App(), 2) {}

    static FileSystemApp App() {
        Bytes data(300);
        for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<std::uint8_t>(i);
        return FileSystemApp(FileNode::Df(0x3F00, {}, {FileNode::Ef(0x0101, data)}));
    }

    // Selects and activates the card with RATS for the given FSDI.
    void Activate(std::uint8_t fsdi = 4) {
        card.PowerUp();
        card.Activate();
        ASSERT_FALSE(Tx({0xE0, static_cast<std::uint8_t>(fsdi << 4)}).empty());
    }

    // The card's answer, empty when it stays silent.
    Bytes Tx(const Bytes& frame, std::uint8_t option = kWithCrc) {
        Bytes answer;
        if (!card.Transceive(option, frame.data(), frame.size(), answer)) return {};
        return answer;
    }

    ProcessorCard card;
};

TEST_F(ProcessorCardTest, AtsAnnouncesTheFrameSize) {
    card.Activate();
    EXPECT_EQ(Tx({0xE0, 0x40}), (Bytes{0x08, 0x72, 0x80, 0x80, 0x02, 0x5A, 0x45, 0x4C}));
    EXPECT_EQ(card.Fsd(), 48u);
    EXPECT_EQ(card.Fsc(), 32u);
}

TEST_F(ProcessorCardTest, SilentBeforeSelectionWithoutCrcAndForOtherCids) {
    EXPECT_TRUE(Tx({0xE0, 0x40}).empty());  // not selected
    card.Activate();
    EXPECT_TRUE(Tx({0xE0, 0x40}, 0x00).empty());  // reader sent no CRC
    EXPECT_TRUE(Tx({0xE0, 0x41}).empty());        // CID 1 not supported
    EXPECT_FALSE(Tx({0xE0, 0x40}).empty());
    EXPECT_TRUE(Tx({0x0A, 0x03, 0x00, 0xB0, 0x00, 0x00, 0x01}).empty());  // CID 3 is not ours
    EXPECT_EQ(Tx({0x0A, 0x00, 0x00, 0xB0, 0x00, 0x00, 0x01}), (Bytes{0x0A, 0x00, 0x69, 0x86}));
}

TEST_F(ProcessorCardTest, BlockNumbersFollowTheHost) {
    Activate();
    EXPECT_EQ(Tx({0x02, 0x00, 0xA4, 0x00, 0x0C, 0x02, 0x01, 0x01}), (Bytes{0x02, 0x90, 0x00}));
    EXPECT_EQ(Tx({0x03, 0x00, 0xB0, 0x00, 0x00, 0x02}), (Bytes{0x03, 0x00, 0x01, 0x90, 0x00}));
}

TEST_F(ProcessorCardTest, ChainedCommandIsAcknowledgedBlockByBlock) {
    Activate();
    // SELECT 0101 sent in three pieces.
    EXPECT_EQ(Tx({0x12, 0x00, 0xA4, 0x00}), (Bytes{0xA2}));
    EXPECT_EQ(Tx({0x13, 0x0C, 0x02}), (Bytes{0xA3}));
    EXPECT_EQ(Tx({0x02, 0x01, 0x01}), (Bytes{0x02, 0x90, 0x00}));
    EXPECT_EQ(card.Counters().iBlocks, 3u);
}

TEST_F(ProcessorCardTest, ChainedResponseHonoursFsdAndFollowsAcks) {
    Activate(0);  // FSD 16: 13 INF bytes a block
    Tx({0x02, 0x00, 0xA4, 0x00, 0x0C, 0x02, 0x01, 0x01});
    const Bytes first = Tx({0x03, 0x00, 0xB0, 0x00, 0x00, 0x1E});  // 30 bytes + SW
    ASSERT_EQ(first.size(), 14u);
    EXPECT_EQ(first[0], 0x13);
    EXPECT_EQ(Tx({0xA3}), first);  // R(ACK) with its own number: send it again
    const Bytes second = Tx({0xA2});
    ASSERT_EQ(second.size(), 14u);
    EXPECT_EQ(second[0], 0x12);
    EXPECT_EQ(second[1], 13);
    const Bytes last = Tx({0xA3});
    EXPECT_EQ(last, (Bytes{0x03, 26, 27, 28, 29, 0x90, 0x00}));
    EXPECT_TRUE(Tx({0xA2}).empty());  // nothing more to chain
}

TEST_F(ProcessorCardTest, NakRetransmitsOrConfirms) {
    Activate();
    const Bytes answer = Tx({0x02, 0x00, 0x84, 0x00, 0x00, 0x04});
    ASSERT_EQ(answer.size(), 7u);
    EXPECT_EQ(Tx({0xB2}), answer);         // R(NAK) for our number: again
    EXPECT_EQ(Tx({0xB3}), (Bytes{0xA2}));  // for the other number: R(ACK)
}

TEST_F(ProcessorCardTest, WtxRequestsComeBeforeTheAnswerAndBetweenChainedBlocks) {
    card.Quirks().wtxBeforeAnswer = 2;
    card.Quirks().wtxBeforeChained = 1;
    card.Quirks().wtxm = 0x07;
    Activate(0);
    Tx({0x02, 0x00, 0xA4, 0x00, 0x0C, 0x02, 0x01, 0x01});  // also delayed
    EXPECT_EQ(Tx({0xF2, 0x07}), (Bytes{0xF2, 0x07}));
    EXPECT_EQ(Tx({0xF2, 0x07}), (Bytes{0x02, 0x90, 0x00}));
    EXPECT_EQ(Tx({0x03, 0x00, 0xB0, 0x00, 0x00, 0x14}), (Bytes{0xF2, 0x07}));
    EXPECT_EQ(Tx({0xF2, 0x07}), (Bytes{0xF2, 0x07}));
    const Bytes first = Tx({0xF2, 0x07});
    ASSERT_EQ(first[0], 0x13);
    EXPECT_EQ(Tx({0xA2}), (Bytes{0xF2, 0x07}));
    EXPECT_EQ(Tx({0xF2, 0x07}).front(), 0x02);
    EXPECT_TRUE(Tx({0xF2, 0x07}).empty());  // an unasked WTX response is ignored
}

TEST_F(ProcessorCardTest, NakAndWrongNumberQuirksHitTheChosenBlock) {
    card.Quirks().nakOnBlock = 1;
    card.Quirks().nakTimes = 2;
    Activate();
    EXPECT_EQ(Tx({0x12, 0x00, 0xA4, 0x00}), (Bytes{0xA2}));
    EXPECT_EQ(Tx({0x13, 0x0C, 0x02}), (Bytes{0xB3}));
    EXPECT_EQ(Tx({0x13, 0x0C, 0x02}), (Bytes{0xB3}));
    EXPECT_EQ(Tx({0x13, 0x0C, 0x02}), (Bytes{0xA3}));
    EXPECT_EQ(Tx({0x02, 0x01, 0x01}), (Bytes{0x02, 0x90, 0x00}));  // nothing counted twice

    card.Quirks() = {};
    card.Quirks().wrongNumberOnBlock = 0;
    EXPECT_EQ(Tx({0x13, 0x00, 0xA4, 0x00}), (Bytes{0xA2}));
    EXPECT_EQ(Tx({0x02, 0x0C, 0x02, 0x01, 0x01}), (Bytes{0x02, 0x90, 0x00}));
    EXPECT_EQ(Tx({0x03, 0x00, 0x84, 0x00, 0x00, 0x01}).front(), 0x02);
}

TEST_F(ProcessorCardTest, FrameSizeLimitCountsInfOrTheWholeFrame) {
    Activate();
    Bytes block{0x12};
    block.resize(1 + 32, 0x00);  // FSC 32 bytes of INF
    EXPECT_EQ(Tx(block), (Bytes{0xA2}));
    block.push_back(0x00);
    EXPECT_TRUE(Tx(block).empty());
    card.Quirks().strictFrameSize = true;
    Activate();
    block.resize(1 + 29);  // PCB + INF + CRC = 32
    block[0] = 0x12;
    EXPECT_EQ(Tx(block), (Bytes{0xA2}));
    block.push_back(0x00);
    EXPECT_TRUE(Tx(block).empty());
}

TEST_F(ProcessorCardTest, DeselectHaltsTheCard) {
    Activate();
    EXPECT_EQ(Tx({0xC2}), (Bytes{0xC2}));
    EXPECT_TRUE(Tx({0x02, 0x00, 0x84, 0x00, 0x00, 0x04}).empty());
    EXPECT_EQ(card.Counters().deselects, 1u);
    card.Activate();
    EXPECT_FALSE(Tx({0xE0, 0x40}).empty());
}

}  // namespace
}  // namespace zelvorn::virt::testing
