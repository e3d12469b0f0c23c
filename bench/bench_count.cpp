// Runs calls of one exported function on the zero-latency reader, for
// instruction counts under callgrind, and prints the table of USB transfers
// per call against the fewest the reply frames allow.
//
//   zelvorn_bench_count list              the case names, one a line
//   zelvorn_bench_count run NAME COUNT    COUNT calls of one case
//   zelvorn_bench_count table             transfers and allocations per call
//
// Under callgrind, collect only inside zelvorn_bench_measured (and leave out
// the device's two transfer functions to see the library's share alone).
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "bench/cases.h"
#include "tests/support/alloc_count.h"

using zelvorn::bench::Case;

// The measured region: nothing but the calls. Kept out of line under a plain
// name so that a profiler can be told to count inside it only.
extern "C" __attribute__((noinline)) int zelvorn_bench_measured(std::int16_t (*call)(),
                                                                long count) {
    int failures = 0;
    for (long i = 0; i < count; ++i) failures += call() != 0;
    return failures;
}

namespace {

int List() {
    for (const Case& c : zelvorn::bench::Cases()) std::printf("%s\t%s\n", c.name, c.family);
    return 0;
}

int Run(const char* name, long count) {
    const Case* c = zelvorn::bench::FindCase(name);
    if (c == nullptr) {
        std::fprintf(stderr, "no case named %s\n", name);
        return 2;
    }
    zelvorn::bench::Prepare(*c);
    if (c->call() != 0) {  // once outside the count, to settle lazily built state
        std::fprintf(stderr, "%s fails on the zero-latency reader\n", name);
        return 1;
    }
    const int failures = zelvorn_bench_measured(c->call, count);
    if (failures != 0) {
        std::fprintf(stderr, "%s failed %d of %ld calls\n", name, failures, count);
        return 1;
    }
    return 0;
}

// One line per case; "ok" when every call used one control transfer per
// exchange, exactly the fewest reads and no heap.
int Table() {
    std::printf("%-28s %-16s %5s %8s %7s %7s %8s %6s  %s\n", "function", "family", "exch",
                "controls", "replyB", "reads", "minimum", "allocs", "verdict");
    int bad = 0;
    for (const Case& c : zelvorn::bench::Cases()) {
        zelvorn::bench::Prepare(c);
        c.call();
        zelvorn::bench::Prepare(c);
        auto& device = zelvorn::bench::ZeroDevice::Instance();
        device.ClearCounters();
        const std::uint64_t before = zelvorn::heap::Allocations();
        const std::int16_t result = c.call();
        const std::uint64_t allocations = zelvorn::heap::Allocations() - before;
        const auto& k = device.Counters();
        const bool ok = result == 0 && k.controlTransfers == c.exchanges &&
                        k.pipeReads == k.minimumReads && allocations == c.allocations;
        bad += !ok;
        std::printf("%-28s %-16s %5u %8llu %7llu %7llu %8llu %6llu  %s\n", c.name, c.family,
                    c.exchanges, static_cast<unsigned long long>(k.controlTransfers),
                    static_cast<unsigned long long>(k.replyBytes),
                    static_cast<unsigned long long>(k.pipeReads),
                    static_cast<unsigned long long>(k.minimumReads),
                    static_cast<unsigned long long>(allocations), ok ? "ok" : "DIFFERS");
    }
    return bad == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 2 && std::strcmp(argv[1], "list") == 0) return List();
    if (argc == 2 && std::strcmp(argv[1], "table") == 0) return Table();
    if (argc == 4 && std::strcmp(argv[1], "run") == 0) return Run(argv[2], std::atol(argv[3]));
    std::fprintf(stderr, "usage: %s list | table | run NAME COUNT\n", argv[0]);
    return 2;
}
