// Counts heap allocations around the library's calls. Every exchange works in
// fixed buffers local to the call; only opening a reader takes memory (its
// context), and closing gives it back.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstdlib>

#include "include/zelvorn.h"
#include "tests/hardening/healthy_reader.h"

// glibc's own allocator, under the names it keeps for programs that put
// their own malloc in front of it.
extern "C" {
void* __libc_malloc(std::size_t size);
void* __libc_calloc(std::size_t count, std::size_t size);
void* __libc_realloc(void* pointer, std::size_t size);
void* __libc_memalign(std::size_t alignment, std::size_t size);
void __libc_free(void* pointer);
}

namespace {
bool g_counting = false;
long g_allocations = 0;
long g_frees = 0;

void Count() {
    if (g_counting) ++g_allocations;
}
}  // namespace

extern "C" {
void* malloc(std::size_t size) {
    Count();
    return __libc_malloc(size);
}
void* calloc(std::size_t count, std::size_t size) {
    Count();
    return __libc_calloc(count, size);
}
void* realloc(void* pointer, std::size_t size) {
    Count();
    return __libc_realloc(pointer, size);
}
void* aligned_alloc(std::size_t alignment, std::size_t size) {
    Count();
    return __libc_memalign(alignment, size);
}
void* memalign(std::size_t alignment, std::size_t size) {
    Count();
    return __libc_memalign(alignment, size);
}
int posix_memalign(void** out, std::size_t alignment, std::size_t size) {
    Count();
    *out = __libc_memalign(alignment, size);
    return *out == nullptr ? 12 /* ENOMEM */ : 0;
}
void free(void* pointer) {
    if (g_counting && pointer != nullptr) ++g_frees;
    __libc_free(pointer);
}
}

namespace zelvorn::hardening {
namespace {

class AllocationCount : public ::testing::Test {
protected:
    void SetUp() override {
        Zelvorn_Close(0);
        HealthyReader_Install();
    }
    void TearDown() override { Zelvorn_Close(0); }

    void Start() {
        g_allocations = g_frees = 0;
        g_counting = true;
    }
    void Stop() { g_counting = false; }
};

TEST_F(AllocationCount, TheCounterSeesAllocations) {
    Start();
    void* volatile p = std::malloc(16);
    int* volatile q = new int(1);
    delete q;
    std::free(p);
    Stop();
    EXPECT_EQ(g_allocations, 2);
    EXPECT_EQ(g_frees, 2);
}

TEST_F(AllocationCount, OpeningTakesOneContextAndClosingGivesItBack) {
    Start();
    ASSERT_EQ(Zelvorn_Open(0), 0);
    ASSERT_EQ(Zelvorn_Close(0), RESULT_OK);
    Stop();
    EXPECT_EQ(g_allocations, 1);
    EXPECT_EQ(g_frees, 1);
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
    EXPECT_EQ(g_allocations, 0);
}

}  // namespace
}  // namespace zelvorn::hardening
