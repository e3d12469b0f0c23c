// Counts heap allocations around the library's calls. Every exchange works in
// fixed buffers local to the call; only opening a reader takes memory (its
// context), and closing gives it back.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstdlib>

#include "zelvorn.h"
#include "tests/hardening/healthy_reader.h"
#include "tests/support/alloc_count.h"

namespace zelvorn::hardening {
namespace {

class AllocationCount : public ::testing::Test {
protected:
    void SetUp() override {
        Zelvorn_Close(0);
        HealthyReader_Install();
    }
    void TearDown() override { Zelvorn_Close(0); }

    // The counts between Start and Stop.
    void Start() {
        startAllocations_ = heap::Allocations();
        startFrees_ = heap::Frees();
    }
    void Stop() {
        allocations = heap::Allocations() - startAllocations_;
        frees = heap::Frees() - startFrees_;
    }
    std::uint64_t allocations = 0;
    std::uint64_t frees = 0;

private:
    std::uint64_t startAllocations_ = 0;
    std::uint64_t startFrees_ = 0;
};

TEST_F(AllocationCount, TheCounterSeesAllocations) {
    Start();
    void* volatile p = std::malloc(16);
    int* volatile q = new int(1);
    delete q;
    std::free(p);
    Stop();
    EXPECT_EQ(allocations, 2u);
    EXPECT_EQ(frees, 2u);
}

TEST_F(AllocationCount, OpeningTakesOneContextAndClosingGivesItBack) {
    Start();
    ASSERT_EQ(Zelvorn_Open(0), 0);
    ASSERT_EQ(Zelvorn_Close(0), RESULT_OK);
    Stop();
    EXPECT_EQ(allocations, 1u);
    EXPECT_EQ(frees, 1u);
}

TEST_F(AllocationCount, CommandsAllocateNothing) {
    ASSERT_EQ(Zelvorn_Open(0), 0);
    const std::size_t rounds = 3 * MixedCommandCount();
    Start();
    for (std::size_t i = 0; i < rounds; ++i) {
        const std::int16_t result = MixedCommand(i);
        if (result != RESULT_OK) {
            Stop();
            FAIL() << "command " << i << " of the mix returned " << result;
        }
    }
    Stop();
    EXPECT_EQ(allocations, 0u);
}

}  // namespace
}  // namespace zelvorn::hardening
