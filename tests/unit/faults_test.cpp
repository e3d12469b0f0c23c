// A reader that misbehaves at every point of an exchange: transfers that
// fail, replies cut at every byte, noise around the frame, single flipped
// bits, a reader pulled out in the middle. Each call must fail cleanly with
// its outputs untouched, never report a reply it could not check, and leave
// the library ready for the next call.
#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <functional>

#include "commands/command_path.h"
#include "tests/support/double_fixture.h"

namespace zelvorn::testing {
namespace {

constexpr std::uint8_t kSentinel = 0xC7;

// One library call as these tests drive it.
struct Operation {
    const char* name;
    // The frame a healthy reader answers with.
    Bytes reply;
    // Fills the outputs with kSentinel, then makes the call.
    std::function<std::int16_t()> call;
    // Whether the outputs still hold kSentinel everywhere.
    std::function<bool()> untouched;
    // Whether the outputs hold what `reply` carries.
    std::function<bool()> delivered;
};

template <std::size_t N>
bool AllSentinel(const std::array<std::uint8_t, N>& bytes) {
    for (std::uint8_t b : bytes) {
        if (b != kSentinel) return false;
    }
    return true;
}

// The buffers the operations write to; they live as long as the tests.
struct Outputs {
    std::array<std::uint8_t, 128> reply;
    std::array<std::uint8_t, 128> a;
    std::array<std::uint8_t, 128> b;
    std::array<std::uint8_t, 128> c;
    std::uint8_t replyLength;
    void Fill() {
        reply.fill(kSentinel);
        a.fill(kSentinel);
        b.fill(kSentinel);
        c.fill(kSentinel);
        replyLength = kSentinel;
    }
    // The buffers the exported functions write to.
    bool Untouched() const { return AllSentinel(a) && AllSentinel(b) && AllSentinel(c); }
};
Outputs g_out;

bool Holds(const std::array<std::uint8_t, 128>& buffer, const Bytes& expected) {
    if (std::memcmp(buffer.data(), expected.data(), expected.size()) != 0) return false;
    for (std::size_t i = expected.size(); i < buffer.size(); ++i) {
        if (buffer[i] != kSentinel) return false;
    }
    return true;
}

const Bytes kBlockData = Hex("00 11 22 33 44 55 66 77 88 99 AA BB CC DD EE FF");

std::vector<Operation> Operations() {
    std::vector<Operation> ops;
    {
        const Bytes payload = ReplyPayload(0, kBlockData);
        ops.push_back(Operation{
            "exchange", ReplyFrame(payload),
            [] {
                g_out.Fill();
                ReplyBuffer reply(g_out.reply.data(), 32);
                const CommandResult run =
                    Command_Run(Command_Admit(0), Command_Described(kCmdReadBlock), {0x04}, reply);
                g_out.replyLength = reply.Length();
                return run.result;
            },
            nullptr,  // the exchange itself writes before it checks; its callers do not read
            [payload] {
                return g_out.replyLength == payload.size() &&
                       std::memcmp(g_out.reply.data(), payload.data(), payload.size()) == 0;
            }});
    }
    ops.push_back(Operation{"select", ReaderReply(0, Hex("00 44 07 01 02 03 04 05 06 07 08 09 0A")),
                            [] {
                                g_out.Fill();
                                return Zelvorn_Select(0, g_out.a.data(), g_out.b.data(),
                                                      g_out.c.data());
                            },
                            [] { return g_out.Untouched(); },
                            [] {
                                return Holds(g_out.a, {0x44}) && Holds(g_out.b, {0x07}) &&
                                       Holds(g_out.c, Hex("01 02 03 04 05 06 07 08 09 0A"));
                            }});
    ops.push_back(Operation{"read", ReaderReply(0, kBlockData),
                            [] {
                                g_out.Fill();
                                return Zelvorn_Read(0, 4, g_out.a.data());
                            },
                            [] { return g_out.Untouched(); },
                            [] { return Holds(g_out.a, kBlockData); }});
    {
        Bytes report(30);
        for (std::size_t i = 0; i < report.size(); ++i)
            report[i] = static_cast<std::uint8_t>(i + 1);
        ops.push_back(Operation{
            "status", ReaderReply(0, report),
            [] {
                g_out.Fill();
                return Zelvorn_Status(0, g_out.a.data(),
                                      reinterpret_cast<ReaderStatusRecord*>(g_out.b.data()));
            },
            [] { return g_out.Untouched(); },
            [report] {
                ReaderStatusRecord r{};
                std::memcpy(&r, g_out.b.data(), sizeof r);
                return Holds(g_out.a, Bytes(report.begin(), report.begin() + 20)) &&
                       r.statusA == 21 && r.statusB == 0x16171819u && r.statusF == 0x1D1E;
            }});
    }
    {
        const Bytes list =
            Hex("02 04 04 01 02 03 04 00 00 00 00 00 00 44 07 11 12 13 14 15 16 17 00 00 00");
        ops.push_back(Operation{
            "list tags", ReaderReply(0, list),
            [] {
                g_out.Fill();
                return Zelvorn_ListTags(0, &g_out.replyLength, g_out.a.data(), g_out.b.data(),
                                        g_out.c.data());
            },
            [] { return g_out.Untouched() && g_out.replyLength == kSentinel; },
            [] {
                return g_out.replyLength == 2 && Holds(g_out.a, {0x04, 0x44}) &&
                       Holds(g_out.b, {0x04, 0x07}) &&
                       Holds(g_out.c,
                             Hex("01 02 03 04 00 00 00 00 00 00 11 12 13 14 15 16 17 00 00 00"));
            }});
    }
    ops.push_back(Operation{
        "telegram", ReaderReply(0, Hex("02 90 00")),
        [] {
            g_out.Fill();
            const Bytes telegram = Hex("03 0F 02 00 A4");
            return Zelvorn_TxDataTelegram(0, static_cast<std::uint8_t>(telegram.size()),
                                          telegram.data(), &g_out.replyLength, g_out.a.data());
        },
        [] { return g_out.Untouched() && g_out.replyLength == kSentinel; },
        [] { return g_out.replyLength == 3 && Holds(g_out.a, Hex("02 90 00")); }});
    ops.push_back(Operation{"atqb", ReaderReply(0, Hex("50 01 02 03 04 A0 A1 A2 A3 B0 B1 B2")),
                            [] {
                                g_out.Fill();
                                return Zelvorn_ReadATQB(0, g_out.a.data());
                            },
                            [] { return g_out.Untouched(); },
                            [] { return Holds(g_out.a, Hex("A0 A1 A2 A3 B0 B1 B2")); }});
    ops.push_back(Operation{"ask multi-read", ReaderReply(0, Hex("01 02 03 04 05 06 07 08")),
                            [] {
                                g_out.Fill();
                                return Zelvorn_ASKSectorMultiRead(0, 0x0C, g_out.a.data());
                            },
                            [] { return g_out.Untouched(); },
                            [] { return Holds(g_out.a, Hex("01 02 03 04 05 06 07 08")); }});
    ops.push_back(
        Operation{"rats", ReaderReply(0, Hex("05 78 80 70 02")),
                  [] {
                      g_out.Fill();
                      return PICC_RATS(0, 2, &g_out.replyLength, g_out.a.data());
                  },
                  // A failed RATS leaves the length it sets on entry.
                  [] { return g_out.Untouched() && g_out.replyLength == 48; },
                  [] { return g_out.replyLength == 5 && Holds(g_out.a, Hex("05 78 80 70 02")); }});
    return ops;
}

class FaultTest : public DoubleTest {
protected:
    // A newly plugged reader, opened, with the healthy reply of op queued.
    FakeReader& Fresh(const Operation& op) {
        CloseAll();
        usb().Reset();
        FakeReader& r = OpenReader();
        r.scriptedReplies.push_back(op.reply);
        return r;
    }

    // A failed call: ERR_FAILURE and nothing written.
    static void ExpectCleanFailure(const Operation& op, std::int16_t result) {
        EXPECT_EQ(result, ERR_FAILURE);
        if (op.untouched) {
            EXPECT_TRUE(op.untouched()) << "outputs written by a failed call";
        }
    }

    // Once the pipe is clear of the fault's leftovers the reader serves
    // again: the library keeps no state that a failed exchange could spoil.
    void ExpectServesAgain(FakeReader& r, const Operation& op) {
        r.pending.clear();
        r.scriptedReplies.push_back(op.reply);
        ASSERT_EQ(op.call(), RESULT_OK) << "the reader did not come back";
        EXPECT_TRUE(op.delivered());
    }

    // Read sizes that put a read boundary after `split` characters.
    static std::vector<std::uint32_t> SplitAt(std::size_t split, std::size_t total) {
        std::vector<std::uint32_t> sizes;
        for (std::size_t left = split; left > 0; left -= sizes.back()) {
            sizes.push_back(static_cast<std::uint32_t>(left < 8 ? left : 8));
        }
        sizes.push_back(0);  // an empty read right at the split
        for (std::size_t left = total - split + 8; left > 0; left -= sizes.back()) {
            sizes.push_back(static_cast<std::uint32_t>(left < 8 ? left : 8));
        }
        return sizes;
    }
};

TEST_F(FaultTest, AHealthyReaderServesEveryOperation) {
    for (const Operation& op : Operations()) {
        SCOPED_TRACE(op.name);
        Fresh(op);
        ASSERT_EQ(op.call(), RESULT_OK);
        EXPECT_TRUE(op.delivered());
    }
}

TEST_F(FaultTest, AFailedControlTransferReadsNothingAndWritesNothing) {
    for (const Operation& op : Operations()) {
        SCOPED_TRACE(op.name);
        FakeReader& r = Fresh(op);
        r.failControlAt = 0;
        ExpectCleanFailure(op, op.call());
        EXPECT_EQ(r.readCount, 0);
        ExpectServesAgain(r, op);  // the reader never got the command, so it said nothing
    }
}

TEST_F(FaultTest, AReadFailingAtEveryPositionFailsTheCall) {
    for (const Operation& op : Operations()) {
        const int reads = static_cast<int>((op.reply.size() + 7) / 8);
        for (int at = 0; at < reads; ++at) {
            SCOPED_TRACE(std::string(op.name) + ", read " + std::to_string(at));
            FakeReader& r = Fresh(op);
            r.failReadAt = at;
            ExpectCleanFailure(op, op.call());
            EXPECT_EQ(r.readCount, at + 1) << "read on after a failed read";
            // The rest of the broken reply is taken to be lost with the failed
            // transfer; what happens when it is not is up to the next call.
            ExpectServesAgain(r, op);
        }
    }
}

TEST_F(FaultTest, AReplySplitAtEveryByteDecodesTheSame) {
    for (const Operation& op : Operations()) {
        for (std::size_t split = 1; split < op.reply.size(); ++split) {
            SCOPED_TRACE(std::string(op.name) + ", split at " + std::to_string(split));
            FakeReader& r = Fresh(op);
            r.chunkSizes = SplitAt(split, op.reply.size());
            ASSERT_EQ(op.call(), RESULT_OK);
            EXPECT_TRUE(op.delivered());
            EXPECT_TRUE(r.pending.empty());
        }
        SCOPED_TRACE(std::string(op.name) + ", one byte per read");
        FakeReader& r = Fresh(op);
        r.chunkSizes = {1, 0};
        ASSERT_EQ(op.call(), RESULT_OK);
        EXPECT_TRUE(op.delivered());
    }
}

TEST_F(FaultTest, NoiseBeforeStxFailsTheCallAndTheNextOneWorks) {
    const std::vector<Bytes> noises{{0xFF}, {'0'}, {0x02}, {'9', '0'}, {0x00, 0x00, 0x00}};
    for (const Operation& op : Operations()) {
        for (const Bytes& noise : noises) {
            SCOPED_TRACE(std::string(op.name) + ", noise " + std::to_string(noise.size()));
            FakeReader& r = Fresh(op);
            r.scriptedReplies.front().insert(r.scriptedReplies.front().begin(), noise.begin(),
                                             noise.end());
            ExpectCleanFailure(op, op.call());
            ExpectServesAgain(r, op);
        }
    }
}

TEST_F(FaultTest, NoiseAfterEtxIsIgnoredOrCostsOneCall) {
    const Bytes noise{'Z', '7', 0x03};
    for (const Operation& op : Operations()) {
        SCOPED_TRACE(op.name);
        // In the read that carries ETX: dropped with the rest of that read.
        FakeReader& r = Fresh(op);
        r.scriptedReplies.front().insert(r.scriptedReplies.front().end(), noise.begin(),
                                         noise.end());
        r.chunkSizes.clear();
        for (std::size_t left = op.reply.size() - 1; left > 0; left -= r.chunkSizes.back()) {
            r.chunkSizes.push_back(static_cast<std::uint32_t>(left < 8 ? left : 8));
        }
        r.chunkSizes.push_back(static_cast<std::uint32_t>(1 + noise.size()));
        ASSERT_EQ(op.call(), RESULT_OK);
        EXPECT_TRUE(op.delivered());
        EXPECT_TRUE(r.pending.empty());
        // In a later read: this call succeeds, and the next one reads the
        // noise as its reply and fails without writing anything.
        FakeReader& later = Fresh(op);
        later.scriptedReplies.front().insert(later.scriptedReplies.front().end(), noise.begin(),
                                             noise.end());
        later.chunkSizes = SplitAt(op.reply.size(), op.reply.size() + noise.size());
        ASSERT_EQ(op.call(), RESULT_OK);
        EXPECT_TRUE(op.delivered());
        EXPECT_EQ(later.pending.size(), noise.size());
        later.scriptedReplies.push_back(op.reply);
        ExpectCleanFailure(op, op.call());
        ExpectServesAgain(later, op);
    }
}

TEST_F(FaultTest, EverySingleBitErrorInThePacketIsCaught) {
    for (const Operation& op : Operations()) {
        // Decode the healthy frame, flip one bit of one packet byte, encode
        // it again with valid digits: only the checksum can tell.
        Bytes packet;
        for (std::size_t i = 1; i + 1 < op.reply.size(); i += 2) {
            packet.push_back(frame::DecodePair(op.reply[i], op.reply[i + 1]));
        }
        for (std::size_t byte = 0; byte < packet.size(); ++byte) {
            for (int bit = 0; bit < 8; ++bit) {
                SCOPED_TRACE(std::string(op.name) + ", byte " + std::to_string(byte) + " bit " +
                             std::to_string(bit));
                Bytes damaged = packet;
                damaged[byte] ^= static_cast<std::uint8_t>(1u << bit);
                Bytes text(2 * damaged.size() + 2);
                text.resize(frame::Encode(damaged.data(), damaged.size(), text.data()));
                FakeReader& r = Fresh(op);
                r.scriptedReplies.front() = text;
                ExpectCleanFailure(op, op.call());
                ExpectServesAgain(r, op);
            }
        }
    }
}

TEST_F(FaultTest, AReaderPulledOutMidExchangeFailsEveryCallUntilReplugged) {
    for (const Operation& op : Operations()) {
        const int reads = static_cast<int>((op.reply.size() + 7) / 8);
        for (int at = -1; at < reads; ++at) {
            SCOPED_TRACE(std::string(op.name) + ", pulled at read " + std::to_string(at));
            FakeReader& r = Fresh(op);
            if (at < 0) {
                r.unplugAtControl = 0;
            } else {
                r.unplugAtRead = at;
            }
            ExpectCleanFailure(op, op.call());
            // Every later call fails at once, without waiting on the pipe.
            for (int call = 0; call < 3; ++call) {
                const int readsBefore = r.readCount;
                ExpectCleanFailure(op, op.call());
                EXPECT_LE(r.readCount - readsBefore, 1);
            }
            // The gone reader closes like any other, and cannot be opened again.
            EXPECT_EQ(Zelvorn_Close(0), RESULT_OK);
            EXPECT_FALSE(r.bound);
            EXPECT_FALSE(r.opened);
            r.openOutcome = OpenOutcome::Failed;
            EXPECT_EQ(Zelvorn_Open(0), ERR_OPEN_FAILED);
            EXPECT_EQ(op.call() == RESULT_OK, false);
            // Plugged back in, it opens and serves again.
            r.unplugged = false;
            r.unplugAtControl = r.unplugAtRead = -1;
            r.openOutcome = OpenOutcome::Ok;
            ASSERT_EQ(Zelvorn_Open(0), 0);  // its reset goes unanswered
            ExpectServesAgain(r, op);
        }
    }
}

// A 40-byte APDU with frame size 16 goes as three blocks; the card
// acknowledges the first two and answers the last with 90 00. Broken at any
// transfer or read, the call fails, says how much of the APDU the card had
// accepted, writes no response, and the next exchange works.
class ChainedApduFaultTest : public DoubleTest {
protected:
    const std::vector<Bytes> replies{ReaderReply(0, {0xA2}), ReaderReply(0, {0xA3}),
                                     ReaderReply(0, {0x02, 0x90, 0x00})};

    FakeReader& Fresh() {
        CloseAll();
        usb().Reset();
        FakeReader& r = OpenReader();
        for (const Bytes& reply : replies) r.scriptedReplies.push_back(reply);
        PICC_InitBlockNumber(0);
        return r;
    }

    std::int16_t Exchange() {
        apdu.assign(40, 0x5A);
        response.fill(kSentinel);
        apduLength = 40;
        responseLength = -1;
        return PICC_Xch_APDU(0, 1, &apduLength, apdu.data(), &responseLength, response.data());
    }

    void ExpectBrokenAfterBlocks(std::int16_t result, int accepted) {
        EXPECT_EQ(result, ERR_FAILURE);
        EXPECT_EQ(apduLength, 40 - 16 * accepted);
        EXPECT_EQ(responseLength, 0);
        EXPECT_TRUE(AllSentinel(response));
    }

    void ExpectServesAgain(FakeReader& r) {
        r.pending.clear();
        r.scriptedReplies.clear();
        for (const Bytes& reply : replies) r.scriptedReplies.push_back(reply);
        PICC_InitBlockNumber(0);
        ASSERT_EQ(Exchange(), RESULT_OK);
        EXPECT_EQ(apduLength, 0);
        EXPECT_EQ(responseLength, 2);
        EXPECT_EQ(response[0], 0x90);
        EXPECT_EQ(response[1], 0x00);
    }

    Bytes apdu;
    std::array<std::uint8_t, 64> response{};
    std::int16_t apduLength = 0;
    std::int16_t responseLength = 0;
};

TEST_F(ChainedApduFaultTest, AHealthyCardTakesTheWholeApdu) {
    FakeReader& r = Fresh();
    ASSERT_EQ(Exchange(), RESULT_OK);
    EXPECT_EQ(apduLength, 0);
    EXPECT_EQ(responseLength, 2);
    EXPECT_EQ(r.controlCount, 3);
}

TEST_F(ChainedApduFaultTest, AFailedTransferAtEveryBlock) {
    for (int at = 0; at < 3; ++at) {
        SCOPED_TRACE("transfer " + std::to_string(at));
        FakeReader& r = Fresh();
        r.failControlAt = at;
        ExpectBrokenAfterBlocks(Exchange(), at);
        EXPECT_EQ(r.controlCount, at + 1) << "sent on after a failed transfer";
        ExpectServesAgain(r);
    }
}

TEST_F(ChainedApduFaultTest, AFailedReadAtEveryPosition) {
    std::vector<int> blockOfRead;
    for (int block = 0; block < 3; ++block) {
        const std::size_t reads = (replies[static_cast<std::size_t>(block)].size() + 7) / 8;
        blockOfRead.insert(blockOfRead.end(), reads, block);
    }
    for (std::size_t at = 0; at < blockOfRead.size(); ++at) {
        SCOPED_TRACE("read " + std::to_string(at));
        FakeReader& r = Fresh();
        r.failReadAt = static_cast<int>(at);
        ExpectBrokenAfterBlocks(Exchange(), blockOfRead[at]);
        ExpectServesAgain(r);
    }
}

TEST_F(ChainedApduFaultTest, AReaderPulledOutBetweenBlocks) {
    for (int at = 1; at < 3; ++at) {
        SCOPED_TRACE("pulled before transfer " + std::to_string(at));
        FakeReader& r = Fresh();
        r.unplugAtControl = at;
        ExpectBrokenAfterBlocks(Exchange(), at);
        EXPECT_EQ(PICC_Deselect(0, 1), ERR_FAILURE);
        EXPECT_EQ(Zelvorn_Close(0), RESULT_OK);
        EXPECT_FALSE(r.bound);
    }
}

// Waiting-time extensions are granted without limit, so a card that never
// stops asking holds the call for as long as it asks, as a silent reader
// would. What the library owes is that each round costs the same: no
// recursion, no growing buffer, nothing carried into the next call.
TEST_F(DoubleTest, ACardAskingForTimeTenThousandTimesIsServedRoundByRound) {
    FakeReader& r = OpenReader();
    PICC_InitBlockNumber(0);
    constexpr int kRounds = 10000;
    int asked = 0;
    r.responder = [&](const Bytes&, Bytes& reply) {
        reply =
            ++asked <= kRounds ? ReaderReply(0, {0xF2, 0x01}) : ReaderReply(0, {0x02, 0x90, 0x00});
        return true;
    };
    const Bytes apdu = Hex("00 A4 04 00 00");
    std::int16_t apduLength = static_cast<std::int16_t>(apdu.size());
    std::int16_t responseLength = -1;
    std::array<std::uint8_t, 16> response{};
    ASSERT_EQ(PICC_Xch_APDU(0, 1, &apduLength, apdu.data(), &responseLength, response.data()),
              RESULT_OK);
    EXPECT_EQ(asked, kRounds + 1);
    EXPECT_EQ(responseLength, 2);
    EXPECT_EQ(apduLength, 0);
    // Every grant repeats the card's own request and nothing else.
    const Bytes grant = Hex("E0 00 06 16 04 02 0F F2 01");
    EXPECT_EQ(RequestBlockOf(usb().controls[1].data), grant);
    EXPECT_EQ(RequestBlockOf(usb().controls[kRounds].data), grant);
}

}  // namespace
}  // namespace zelvorn::testing
