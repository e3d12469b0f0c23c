// Every exported function, called once on the zero-latency reader: it must
// succeed, use one control transfer per exchange, read no more 8-byte chunks
// than its reply frames need, and allocate nothing (opening a reader takes
// its one context).
#include <gtest/gtest.h>

#include "bench/alloc_count.h"
#include "bench/cases.h"

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
    const std::uint64_t before = HeapAllocations();
    const std::int16_t result = c.call();
    const std::uint64_t after = HeapAllocations();
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

    const std::uint64_t before = HeapAllocations();
    int* volatile p = new int(7);
    delete p;
    EXPECT_EQ(HeapAllocations() - before, 1u);
}

}  // namespace
}  // namespace zelvorn::bench
