// The reader link: request packet and frame, the transfers that carry it,
// reassembly and checks of the reply.
#include <gtest/gtest.h>

#include <cstring>

#include "commands/command_path.h"
#include "tests/support/double_fixture.h"
#include "transport/transport.h"

namespace zelvorn::testing {
namespace {

class TransportTest : public DoubleTest {
protected:
    // Runs one exchange of a command with the given data on port 0.
    std::int16_t Exchange(std::uint8_t command, const Bytes& data, std::size_t capacity = 32) {
        reply.assign(capacity + 8, 0xEE);  // guard bytes behind the stated capacity
        replyLength = 0xEE;
        return Transport_Exchange(*ReaderTable_Lookup(0),
                                  Request_Make(command, data.data(), data.size()), &replyLength,
                                  reply.data(), capacity);
    }
    Bytes reply;
    std::uint8_t replyLength = 0;
};

TEST_F(TransportTest, ResetBecomesTheFourteenByteFrameWithChecksumE6) {
    FakeReader& r = OpenReader();
    r.scriptedReplies.push_back(ReaderReply(0, {}));
    ASSERT_EQ(Exchange(kCmdReset, {}), RESULT_OK);

    ASSERT_EQ(usb().controls.size(), 1u);
    const ControlRecord& c = usb().controls[0];
    const std::string text(c.data.begin() + 1, c.data.end() - 1);
    EXPECT_EQ(c.data.front(), 0x02);
    EXPECT_EQ(text, "01E0020500E6");
    EXPECT_EQ(c.data.back(), 0x03);
    EXPECT_EQ(c.setup.requestType, 0x40);
    EXPECT_EQ(c.setup.request, 0x00);
    EXPECT_EQ(c.setup.value, 0);
    EXPECT_EQ(c.setup.index, 0);
    EXPECT_EQ(c.setup.length, 14);
    EXPECT_EQ(c.data.size(), 14u);
}

TEST_F(TransportTest, FrameLengthIsTwiceTheDataPlusFourteen) {
    FakeReader& r = OpenReader();
    for (std::size_t n : {0u, 1u, 17u, 64u, 121u}) {
        r.scriptedReplies.push_back(ReaderReply(0, {}));
        Bytes data(n);
        for (std::size_t i = 0; i < n; ++i) data[i] = static_cast<std::uint8_t>(i * 37 + 1);
        ASSERT_EQ(Exchange(0x16, data), RESULT_OK) << n;
        const ControlRecord& c = usb().controls.back();
        EXPECT_EQ(c.data.size(), 2 * n + 14) << n;
        EXPECT_EQ(c.setup.length, 2 * n + 14) << n;
        Bytes expected{0xE0, 0x00, static_cast<std::uint8_t>(n + 2), 0x16,
                       static_cast<std::uint8_t>(n)};
        expected.insert(expected.end(), data.begin(), data.end());
        EXPECT_EQ(RequestBlockOf(c.data), expected) << n;
    }
}

TEST_F(TransportTest, ARequestLongerThanAFrameCarriesIsNotSent) {
    OpenReader();
    RequestBlock request = Request_Make(0x16, nullptr, 0);
    request.dataLength = 122;
    std::uint8_t len = 0;
    std::uint8_t buf[32];
    EXPECT_EQ(Transport_Exchange(*ReaderTable_Lookup(0), request, &len, buf, sizeof buf),
              ERR_INVALID_PARAMETER);
    EXPECT_TRUE(usb().controls.empty());
}

struct ChunkCase {
    const char* name;
    std::vector<std::uint32_t> chunks;
    bool lowerCase;
};

class ReplyChunkingTest : public TransportTest, public ::testing::WithParamInterface<ChunkCase> {};

TEST_P(ReplyChunkingTest, DecodesTheSamePayloadHoweverItArrives) {
    FakeReader& r = OpenReader();
    r.chunkSizes = GetParam().chunks;
    const Bytes payload = ReplyPayload(0, Hex("00 11 22 33 44 55 66 77 88 99 AA BB CC DD EE FF"));
    ReplyFrameOptions options;
    options.lowerCase = GetParam().lowerCase;
    r.scriptedReplies.push_back(ReplyFrame(payload, options));

    ASSERT_EQ(Exchange(0x06, {0x04}), RESULT_OK);
    ASSERT_EQ(replyLength, payload.size());
    EXPECT_EQ(Bytes(reply.begin(), reply.begin() + replyLength), payload);
    EXPECT_TRUE(r.pending.empty());
    EXPECT_EQ(r.lastReadPipe, 0x81);
}

INSTANTIATE_TEST_SUITE_P(Chunks, ReplyChunkingTest,
                         ::testing::Values(ChunkCase{"OneByte", {1}, false},
                                           ChunkCase{"ThreeBytes", {3}, false},
                                           ChunkCase{"EightBytes", {8}, false},
                                           ChunkCase{"EmptyReadsBetween", {0, 5, 0, 0, 8}, false},
                                           ChunkCase{"LowerCase", {8}, true},
                                           ChunkCase{"LowerCaseOdd", {7, 1}, true}),
                         [](const auto& param) { return std::string(param.param.name); });

TEST_F(TransportTest, ReadsStopAtTheFirstChunkHoldingEtx) {
    FakeReader& r = OpenReader();
    const Bytes frame = ReaderReply(0, {0x42});  // 2 + 2 * 11 = 24 characters: three reads
    r.scriptedReplies.push_back(frame);
    ASSERT_EQ(Exchange(0x19, {0x01}), RESULT_OK);
    EXPECT_EQ(r.readCount, 3);
}

TEST_F(TransportTest, AReadReportingMoreThanAskedCountsOnlyWhatWasAsked) {
    FakeReader& r = OpenReader();
    r.scriptedReplies.push_back(ReaderReply(0, {0x42}));
    r.overReport = 200;  // every read claims 200 bytes more than it delivered
    ASSERT_EQ(Exchange(0x19, {0x01}), RESULT_OK);
    EXPECT_EQ(replyLength, 6);
    EXPECT_EQ(reply[5], 0x42);
}

TEST_F(TransportTest, CharactersBehindEtxInTheLastReadAreIgnored) {
    FakeReader& r = OpenReader();
    Bytes frame = ReaderReply(0, {0x42});
    frame.insert(frame.end(), {'Z', '9', 0x03});
    r.scriptedReplies.push_back(frame);
    r.chunkSizes = {static_cast<std::uint32_t>(frame.size())};  // one read holds all
    ASSERT_EQ(Exchange(0x19, {0x01}, 32), RESULT_OK);
    EXPECT_EQ(replyLength, 6);
    EXPECT_EQ(reply[5], 0x42);
}

TEST_F(TransportTest, NonHexadecimalCharactersCountAsZeroNibbles) {
    EXPECT_EQ(frame::DecodePair('a', 'F'), 0xAF);
    EXPECT_EQ(frame::DecodePair('G', '7'), 0x07);
    EXPECT_EQ(frame::DecodePair('7', 'x'), 0x70);
    EXPECT_EQ(frame::DecodePair(0x03, 0x02), 0x00);
}

TEST_F(TransportTest, BadChecksumFailsEvenWithStatus9000) {
    FakeReader& r = OpenReader();
    ReplyFrameOptions options;
    options.corruptChecksum = true;
    r.scriptedReplies.push_back(ReplyFrame(ReplyPayload(0, {1, 2}), options));
    EXPECT_EQ(Exchange(0x06, {0x04}), ERR_FAILURE);
}

TEST_F(TransportTest, OtherTransportStatusIsTheResultWithPayloadWritten) {
    struct Case {
        std::uint16_t status;
        std::int16_t result;
    };
    for (const Case c : {Case{0x6A82, 0x6A82}, Case{0x9001, -28671}, Case{0xFFFF, -1}}) {
        FakeReader& r = OpenReader();
        ReplyFrameOptions options;
        options.transportStatus = c.status;
        const Bytes payload = ReplyPayload(0, {0xAB});
        r.scriptedReplies.push_back(ReplyFrame(payload, options));
        EXPECT_EQ(Exchange(0x19, {0x01}), c.result) << std::hex << c.status;
        EXPECT_EQ(replyLength, payload.size());
        EXPECT_EQ(Bytes(reply.begin(), reply.begin() + replyLength), payload);
        CloseAll();
        usb().Reset();
    }
}

TEST_F(TransportTest, TransportStatusZeroIsNotTakenForSuccess) {
    FakeReader& r = OpenReader();
    ReplyFrameOptions options;
    options.transportStatus = 0x0000;
    r.scriptedReplies.push_back(ReplyFrame(ReplyPayload(0, {}), options));
    EXPECT_EQ(Exchange(0x05, {}), ERR_FAILURE);
}

TEST_F(TransportTest, EmptyPayloadDeliversNothing) {
    FakeReader& r = OpenReader();
    r.scriptedReplies.push_back(ReplyFrame({}));
    ASSERT_EQ(Exchange(0x06, {0x04}), RESULT_OK);
    EXPECT_EQ(replyLength, 0);
    EXPECT_EQ(reply[0], 0xEE);
}

TEST_F(TransportTest, CorruptLengthsFailWithoutWritingPastTheBuffer) {
    struct Case {
        const char* name;
        Bytes frame;
        std::size_t capacity;
    };
    // M of 33 into a 32-byte buffer, with a valid checksum.
    const Bytes longReply = ReplyFrame(Bytes(33, 0x00));
    // M claims 20 bytes but the text holds 2 and a checksum.
    Bytes shortText{0x02};
    for (char ch : std::string("009000140102")) shortText.push_back(static_cast<std::uint8_t>(ch));
    shortText.push_back(0x03);
    // Too short to hold even a length byte.
    const Bytes stub{0x02, '0', '0', '9', '0', 0x03};
    for (const Case& c : {Case{"over capacity", longReply, 32}, Case{"beyond text", shortText, 32},
                          Case{"stub", stub, 32}}) {
        FakeReader& r = OpenReader();
        r.scriptedReplies.push_back(c.frame);
        EXPECT_EQ(Exchange(0x06, {0x04}, c.capacity), ERR_FAILURE) << c.name;
        for (std::size_t i = c.capacity; i < reply.size(); ++i) {
            ASSERT_EQ(reply[i], 0xEE) << c.name << " wrote past the buffer at " << i;
        }
        CloseAll();
        usb().Reset();
    }
}

TEST_F(TransportTest, ALongestReplyFitsExactly) {
    FakeReader& r = OpenReader();
    const Bytes payload(kMaxReplyPayload, 0x5A);
    r.scriptedReplies.push_back(ReplyFrame(payload));  // 2 + 2 * 127 = 256 characters
    ASSERT_EQ(Exchange(0x16, {}, 128), RESULT_OK);
    EXPECT_EQ(replyLength, kMaxReplyPayload);
}

TEST_F(TransportTest, TwoHundredFiftySixCharactersWithoutEtxStop) {
    FakeReader& r = OpenReader();
    Bytes endless(1000, '0');
    endless[0] = 0x02;
    r.scriptedReplies.push_back(endless);
    EXPECT_EQ(Exchange(0x06, {0x04}), ERR_FAILURE);
    EXPECT_EQ(r.readCount, 32);  // 256 characters in reads of 8, then no more
}

TEST_F(TransportTest, EtxThatNoLongerFitsTheBufferIsAnOverflow) {
    FakeReader& r = OpenReader();
    Bytes frame(255, '0');
    frame[0] = 0x02;
    frame.push_back('0');
    frame.push_back(0x03);  // ETX as the 258th character
    r.scriptedReplies.push_back(frame);
    EXPECT_EQ(Exchange(0x06, {0x04}), ERR_FAILURE);
}

TEST_F(TransportTest, TransferFailuresAreFailures) {
    FakeReader& r = OpenReader();
    r.failControlAt = 0;
    r.scriptedReplies.push_back(ReaderReply(0, {}));
    EXPECT_EQ(Exchange(0x05, {}), ERR_FAILURE);
    EXPECT_EQ(r.readCount, 0);
    CloseAll();
    usb().Reset();

    for (int failAt : {0, 1, 2}) {
        FakeReader& reader = OpenReader();
        reader.failReadAt = failAt;
        reader.scriptedReplies.push_back(ReaderReply(0, {0x01}));
        EXPECT_EQ(Exchange(0x19, {0x01}), ERR_FAILURE) << failAt;
        CloseAll();
        usb().Reset();
    }
}

// The command path finds the slot empty before the transport is reached.
TEST_F(TransportTest, EmptySlotIsAnInvalidHandle) {
    Reply<kCommandReplyCapacity> buffer;
    EXPECT_EQ(Command_Run(Command_Admit(3), Command_Described(kCmdReset), {}, buffer).result,
              ERR_INVALID_HANDLE);
    EXPECT_TRUE(usb().controls.empty());
}

}  // namespace
}  // namespace zelvorn::testing
