// The tool's MIFARE Classic key search on the virtual reader with the demo
// card: control transfers of a whole dump, with the three right keys given in
// order, and with a 21-key dictionary whose right keys come last. The count
// is read from the virtual reader's capture; time per dump beside it.
//
//   zelvorn_bench_key_search [Google Benchmark options]
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "bench/usbmon_pcap.h"

namespace {

const std::string kFolder = ZELVORN_BENCH_OUTPUT;

std::string Dictionary() {
    const std::string path = kFolder + "/right-keys-last.dic";
    std::ofstream out(path);
    char line[16];
    for (int i = 1; i <= 18; ++i) {
        std::snprintf(line, sizeof line, "%02X0000000000\n", 0x11 * i % 256);
        out << line;
    }
    out << "FFFFFFFFFFFF\nA0A1A2A3A4A5\nB0B1B2B3B4B5\n";
    return path;
}

void Dump(benchmark::State& state, const std::string& keys) {
    const std::string capture = kFolder + "/key-search.pcap";
    const std::string command = std::string(ZELVORN_TOOL_PROGRAM) + " --scenario " +
                                ZELVORN_DEMO_SCENARIO + " --capture " + capture + " mifare " +
                                keys + " dump > /dev/null";
    long transfers = 0;
    for (auto _ : state) {
        if (std::system(command.c_str()) != 0) {
            state.SkipWithError("the dump failed");
            return;
        }
        transfers = zelvorn::bench::CountControlTransfers(capture).value_or(-1);
    }
    state.counters["control_transfers"] = static_cast<double>(transfers);
}

void BM_KeysInOrder(benchmark::State& state) {
    Dump(state, "-k FFFFFFFFFFFF -k A0A1A2A3A4A5 -k B0B1B2B3B4B5");
}
void BM_DictionaryRightKeysLast(benchmark::State& state) {
    Dump(state, "-K " + Dictionary() + " --no-default-keys");
}
BENCHMARK(BM_KeysInOrder)->Iterations(5)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_DictionaryRightKeysLast)->Iterations(5)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
