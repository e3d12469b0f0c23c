// A reader that misbehaves at every point of an exchange: transfers that
// fail, replies cut at every byte, noise around the frame, single flipped
// bits, a reader pulled out in the middle. Each call must fail cleanly with
// its outputs untouched, never report a reply it could not check, and leave
// the library ready for the next call.
#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <functional>

#include "tests/double/fixture.h"
#include "transport/transport.h"

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
    std::array<std::uint8_t, 40> reply;
    std::uint8_t replyLength;
    void Fill() {
        reply.fill(kSentinel);
        replyLength = kSentinel;
    }
};
Outputs g_out;

const Bytes kBlockData = Hex("00 11 22 33 44 55 66 77 88 99 AA BB CC DD EE FF");

std::vector<Operation> Operations() {
    std::vector<Operation> ops;
    {
        const Bytes payload = ReplyPayload(0, kBlockData);
        ops.push_back(Operation{
            "exchange", ReplyFrame(payload),
            [] {
                g_out.Fill();
                return Transport_Exchange(0, Request_Make(0x06, Hex("04").data(), 1),
                                          &g_out.replyLength, g_out.reply.data(), 32);
            },
            nullptr,  // the exchange itself writes before it checks; its callers do not read
            [payload] {
                return g_out.replyLength == payload.size() &&
                       std::memcmp(g_out.reply.data(), payload.data(), payload.size()) == 0;
            }});
    }
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

}  // namespace
}  // namespace zelvorn::testing
