// Time per call of every exported function on the zero-latency reader:
// the library's frame building, hexadecimal coding and reply checks, plus
// the few nanoseconds the device takes to hand over its prepared reply.
#include <benchmark/benchmark.h>

#include "bench/cases.h"

namespace {

void RunCase(benchmark::State& state, const zelvorn::bench::Case* c) {
    zelvorn::bench::Prepare(*c);
    if (c->call() != 0) {
        state.SkipWithError("the call fails on the zero-latency reader");
        return;
    }
    auto& device = zelvorn::bench::ZeroDevice::Instance();
    device.ClearCounters();
    for (auto _ : state) {
        benchmark::DoNotOptimize(c->call());
    }
    // Transfers per call, beside the time, so a change that costs a read shows.
    const auto& link = device.Counters();
    const double calls = static_cast<double>(state.iterations());
    state.counters["usb_out"] = static_cast<double>(link.controlTransfers) / calls;
    state.counters["reads"] = static_cast<double>(link.pipeReads) / calls;
    state.SetLabel(c->family);
    if (c->apduLength != 0) {
        state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * c->apduLength);
    }
}

}  // namespace

int main(int argc, char** argv) {
    for (const zelvorn::bench::Case& c : zelvorn::bench::Cases()) {
        benchmark::RegisterBenchmark(c.name, RunCase, &c);
    }
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
