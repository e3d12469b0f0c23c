// ASK ticket sectors: the blocks sent, the bytes handed back, and what is
// left alone on every reply that is not read.
#include <gtest/gtest.h>

#include <functional>

#include "tests/support/double_fixture.h"

namespace zelvorn::testing {
namespace {

constexpr std::uint8_t kSentinel = 0xEE;

class AskTest : public DoubleTest {
protected:
    // The caller's sector buffer with guard bytes behind the 8 the largest
    // function may write.
    Bytes data = Bytes(12, kSentinel);
    Bytes Sentinels() const { return Bytes(12, kSentinel); }
};

struct SectorCall {
    const char* name;
    std::function<int16_t(int16_t handle, std::uint8_t* sectorData)> run;
    std::size_t count;        // bytes the function hands back
    std::uint8_t goodLength;  // M of a reply that is read
};

std::vector<SectorCall> SectorCalls() {
    return {
        {"read", [](int16_t h, std::uint8_t* d) { return Zelvorn_ASKSectorRead(h, 0x05, d); }, 2,
         7},
        {"multi-read",
         [](int16_t h, std::uint8_t* d) { return Zelvorn_ASKSectorMultiRead(h, 0x05, d); }, 8, 13},
        {"write", [](int16_t h, std::uint8_t* d) { return Zelvorn_ASKSectorWrite(h, 0x05, d, 0); },
         2, 7},
        {"write mode 1",
         [](int16_t h, std::uint8_t* d) { return Zelvorn_ASKSectorWrite(h, 0x05, d, 1); }, 2, 7},
    };
}

TEST_F(AskTest, EachCommandSendsItsBlock) {
    struct Case {
        const char* name;
        std::function<int16_t(std::uint8_t*)> run;
        Bytes block;
    };
    const std::vector<Case> cases{
        {"read sector 0", [](std::uint8_t* d) { return Zelvorn_ASKSectorRead(0, 0x00, d); },
         Hex("E0 00 03 34 01 00")},
        {"read sector FF", [](std::uint8_t* d) { return Zelvorn_ASKSectorRead(0, 0xFF, d); },
         Hex("E0 00 03 34 01 FF")},
        {"multi-read 0C", [](std::uint8_t* d) { return Zelvorn_ASKSectorMultiRead(0, 0x0C, d); },
         Hex("E0 00 03 35 01 0C")},
        {"write mode 0", [](std::uint8_t* d) { return Zelvorn_ASKSectorWrite(0, 0x05, d, 0); },
         Hex("E0 00 05 32 03 05 12 34")},
        {"write mode 1", [](std::uint8_t* d) { return Zelvorn_ASKSectorWrite(0, 0x05, d, 1); },
         Hex("E0 00 05 33 03 05 12 34")},
        {"write mode FF", [](std::uint8_t* d) { return Zelvorn_ASKSectorWrite(0, 0x05, d, 0xFF); },
         Hex("E0 00 05 33 03 05 12 34")},
    };
    FakeReader& r = OpenReader();
    for (const Case& c : cases) {
        usb().controls.clear();
        data = {0x12, 0x34};
        r.scriptedReplies.push_back(ReaderReply(0, {0x12, 0x34}));
        EXPECT_EQ(c.run(data.data()), RESULT_OK) << c.name;
        EXPECT_EQ(SentBlocks(), std::vector<Bytes>{c.block}) << c.name;
    }
}

TEST_F(AskTest, ReadsHandBackTheReplyBytesInOrder) {
    FakeReader& r = OpenReader();
    r.scriptedReplies.push_back(ReaderReply(0, {0xA1, 0xB2}));
    ASSERT_EQ(Zelvorn_ASKSectorRead(0, 3, data.data()), RESULT_OK);
    EXPECT_EQ(data, (Bytes{0xA1, 0xB2, kSentinel, kSentinel, kSentinel, kSentinel, kSentinel,
                           kSentinel, kSentinel, kSentinel, kSentinel, kSentinel}));

    data = Sentinels();
    r.scriptedReplies.push_back(ReaderReply(0, Hex("01 02 03 04 05 06 07 08")));
    ASSERT_EQ(Zelvorn_ASKSectorMultiRead(0, 3, data.data()), RESULT_OK);
    EXPECT_EQ(data, Hex("01 02 03 04 05 06 07 08 EE EE EE EE"));
}

TEST_F(AskTest, WriteHandsBackWhatTheReaderReportsWithoutComparing) {
    FakeReader& r = OpenReader();
    for (std::uint8_t mode : {0, 1}) {
        data = Hex("12 34 EE EE");
        r.scriptedReplies.push_back(ReaderReply(0, {0xAB, 0xCD}));
        EXPECT_EQ(Zelvorn_ASKSectorWrite(0, 5, data.data(), mode), RESULT_OK) << int{mode};
        EXPECT_EQ(data, Hex("AB CD EE EE")) << int{mode};
    }
}

TEST_F(AskTest, RepliesOfAnotherLengthLeaveSectorDataAsPassed) {
    FakeReader& r = OpenReader();
    for (const SectorCall& c : SectorCalls()) {
        for (int m : {0, 2, 5, c.goodLength - 1, c.goodLength + 1, 32}) {
            data = Hex("12 34 56 78 9A BC DE F0 EE EE EE EE");
            const Bytes before = data;
            if (m < 5) {
                r.scriptedReplies.push_back(ReplyFrame(Bytes(static_cast<std::size_t>(m), 0)));
            } else {
                r.scriptedReplies.push_back(
                    ReaderReply(0, Bytes(static_cast<std::size_t>(m - 5), 0x99)));
            }
            EXPECT_EQ(c.run(0, data.data()), RESULT_OK) << c.name << " M=" << m;
            EXPECT_EQ(data, before) << c.name << " M=" << m;
        }
    }
}

TEST_F(AskTest, FailuresAndReaderStatusesLeaveSectorDataAlone) {
    struct Outcome {
        const char* name;
        std::function<Bytes(std::size_t count)> frame;
        int16_t result;
    };
    const std::vector<Outcome> outcomes{
        {"reader status", [](std::size_t n) { return ReaderReply(0x6A82, Bytes(n, 0x99)); },
         static_cast<int16_t>(0x6A82)},
        {"small reader status", [](std::size_t n) { return ReaderReply(0x0003, Bytes(n, 0x99)); },
         0x0003},
        {"transport status",
         [](std::size_t n) {
             return ReplyFrame(ReplyPayload(0, Bytes(n, 0x99)), {.transportStatus = 0x6400});
         },
         0x6400},
        {"bad checksum",
         [](std::size_t n) {
             return ReplyFrame(ReplyPayload(0, Bytes(n, 0x99)), {.corruptChecksum = true});
         },
         ERR_FAILURE},
        {"longer than the reply buffer",
         [](std::size_t) { return ReaderReply(0, Bytes(28, 0x99)); }, ERR_FAILURE},
    };
    FakeReader& r = OpenReader();
    for (const SectorCall& c : SectorCalls()) {
        for (const Outcome& o : outcomes) {
            data = Sentinels();
            r.scriptedReplies.push_back(o.frame(c.count));
            EXPECT_EQ(c.run(0, data.data()), o.result) << c.name << ", " << o.name;
            EXPECT_EQ(data, Sentinels()) << c.name << ", " << o.name;
        }
    }
}

TEST_F(AskTest, HandleIsTestedFirstThenTheBufferAndNothingIsSent) {
    OpenReader();
    for (const SectorCall& c : SectorCalls()) {
        for (int16_t handle : {20, -1, -32768}) {
            data = Sentinels();
            EXPECT_EQ(c.run(handle, data.data()), ERR_INVALID_HANDLE) << c.name << handle;
            EXPECT_EQ(c.run(handle, nullptr), ERR_INVALID_HANDLE) << c.name << handle;
            EXPECT_EQ(data, Sentinels()) << c.name;
        }
        // A null buffer is refused before the slot is looked at.
        EXPECT_EQ(c.run(0, nullptr), ERR_INVALID_PARAMETER) << c.name;
        EXPECT_EQ(c.run(7, nullptr), ERR_INVALID_PARAMETER) << c.name;
        data = Sentinels();
        EXPECT_EQ(c.run(7, data.data()), ERR_INVALID_HANDLE) << c.name;
        EXPECT_EQ(data, Sentinels()) << c.name;
    }
    EXPECT_TRUE(usb().controls.empty());
}

}  // namespace
}  // namespace zelvorn::testing
