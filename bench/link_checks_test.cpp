// Every exported function, called once on the zero-latency reader: it must
// succeed, use one control transfer per exchange, read no more 8-byte chunks
// than its reply frames need, and allocate nothing (opening a reader takes
// its one context).
#include <gtest/gtest.h>

#include <cstdlib>

#include "bench/cases.h"
#include "zelvorn.h"
#include "tests/support/alloc_count.h"

namespace zelvorn::bench {
namespace {

struct CallCost {
    std::int16_t result;
    LinkCounters link;
    std::uint64_t allocations;
};

CallCost Measure(const Case& c) {
    // No call before the counted one: a first call that sets something up
    // on the heap counts too.
    Prepare(c);
    ZeroDevice& device = ZeroDevice::Instance();
    device.ClearCounters();
    const std::uint64_t before = heap::Allocations();
    const std::int16_t result = c.call();
    const std::uint64_t after = heap::Allocations();
    return {result, device.Counters(), after - before};
}

class EveryFunction : public ::testing::TestWithParam<const Case*> {};

TEST_P(EveryFunction, UsesTheFewestTransfersAndNoHeap) {
    const Case& c = *GetParam();
    const CallCost cost = Measure(c);
    EXPECT_EQ(cost.result, 0);
    EXPECT_EQ(cost.link.controlTransfers, c.exchanges);
    EXPECT_EQ(cost.link.pipeReads, cost.link.minimumReads);
    EXPECT_EQ(cost.link.starvedReads, 0u);
    EXPECT_EQ(cost.allocations, c.allocations);
}

std::vector<const Case*> AllCases() {
    std::vector<const Case*> all;
    for (const Case& c : Cases()) all.push_back(&c);
    return all;
}

std::string NameOf(const ::testing::TestParamInfo<const Case*>& info) {
    std::string name;
    for (const char* p = info.param->name; *p != 0; ++p) {
        const char ch = *p;
        name.push_back(
            (ch >= 'A' && ch <= 'Z') || (ch >= 'a' && ch <= 'z') || (ch >= '0' && ch <= '9') ? ch
                                                                                             : '_');
    }
    return name;
}

INSTANTIATE_TEST_SUITE_P(ZeroLatencyReader, EveryFunction, ::testing::ValuesIn(AllCases()), NameOf);

// The counts above are only worth something if they can see a fault: a reply
// delivered in pieces smaller than the library asks for takes more reads than
// the minimum, and an allocation inside the measured call is counted.
TEST(LinkChecks, SeeExtraReadsAndAllocations) {
    const Case& read = *FindCase("Zelvorn_Read");
    ZeroDevice& device = ZeroDevice::Instance();
    device.LimitReads(3);
    const CallCost chopped = Measure(read);
    device.LimitReads(0);
    EXPECT_EQ(chopped.result, 0);
    EXPECT_GT(chopped.link.pipeReads, chopped.link.minimumReads);

    const std::uint64_t before = heap::Allocations();
    int* volatile p = new int(7);
    delete p;
    EXPECT_EQ(heap::Allocations() - before, 1u);
}

// The fewest reads are one per 8 bytes of reply frame, rounded up, summed
// over the exchanges; the equality above rests on this count.
TEST(LinkChecks, FewestReadsRoundUpPerFrame) {
    struct Row {
        std::size_t dataBytes;  // at most 27: the reset takes 32 payload bytes
        std::uint64_t reads;
    };
    const Row rows[] = {{0, 3}, {1, 3}, {2, 4}, {5, 4}, {6, 5}, {16, 7}, {27, 10}};
    ZeroDevice& device = ZeroDevice::Instance();
    const Case& reset = *FindCase("Zelvorn_Reset");
    Prepare(reset);
    for (const Row& row : rows) {
        std::uint8_t data[27] = {};
        const PreparedFrame reply = ReaderReply(data, row.dataBytes);
        EXPECT_EQ(reply.length, 2 * (10 + row.dataBytes) + 2) << row.dataBytes;
        device.Answer(reply);
        device.ClearCounters();
        EXPECT_EQ(Zelvorn_Reset(0), 0) << row.dataBytes;
        EXPECT_EQ(device.Counters().minimumReads, row.reads) << row.dataBytes;
        EXPECT_EQ(device.Counters().pipeReads, row.reads) << row.dataBytes;
        EXPECT_EQ(device.Counters().replyBytes, reply.length) << row.dataBytes;
    }
}

// A reader with nothing to say fails the read instead of blocking, so a
// broken case shows as a failed call rather than a hung benchmark.
TEST(LinkChecks, SilentReaderFailsTheCall) {
    ZeroDevice& device = ZeroDevice::Instance();
    Prepare(*FindCase("Zelvorn_Reset"));
    static const PreparedFrame nothing{};
    device.Answer(nothing);
    device.ClearCounters();
    EXPECT_EQ(Zelvorn_Reset(0), ERR_FAILURE);
    EXPECT_EQ(device.Counters().starvedReads, 1u);
}

// A longer APDU is cut into blocks of 118 bytes, each its own exchange, and
// the card stand-in takes them all: the response arrives and nothing is left.
TEST(LinkChecks, CardStandInAcknowledgesEveryBlock) {
    const Case& c = *FindCase("PICC_Xch_APDU/300");
    Prepare(c);
    ZeroDevice& device = ZeroDevice::Instance();
    device.ClearCounters();
    static std::uint8_t apdu[300], response[16];
    std::int16_t apduLength = 300, responseLength = -1;
    ASSERT_EQ(PICC_Xch_APDU(0, 0, &apduLength, apdu, &responseLength, response), 0);
    EXPECT_EQ(apduLength, 0);
    ASSERT_EQ(responseLength, 2);
    EXPECT_EQ(response[0], 0x90);
    EXPECT_EQ(response[1], 0x00);
    EXPECT_EQ(device.Counters().controlTransfers, 3u);
}

// Every way to the heap is counted once.
TEST(LinkChecks, CountsEveryKindOfAllocation) {
    const auto counted = [](void (*allocate)()) {
        const std::uint64_t before = heap::Allocations();
        allocate();
        return heap::Allocations() - before;
    };
    EXPECT_EQ(counted([] {
                  void* volatile p = std::malloc(24);
                  std::free(p);
              }),
              1u);
    EXPECT_EQ(counted([] {
                  void* volatile p = std::calloc(3, 8);
                  std::free(p);
              }),
              1u);
    EXPECT_EQ(counted([] {
                  void* volatile p = std::malloc(8);
                  p = std::realloc(p, 4096);
                  std::free(p);
              }),
              2u);
    EXPECT_EQ(counted([] {
                  int* volatile p = new int[5];
                  delete[] p;
              }),
              1u);
}

}  // namespace
}  // namespace zelvorn::bench
