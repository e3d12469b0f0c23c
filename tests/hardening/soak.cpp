// Opens and closes the reader many times, then runs a long mixed workload
// against a healthy reader. Run under valgrind by the soak test: nothing may
// leak, and the number of heap allocations must not grow with the number of
// commands.
//   zelvorn_soak CYCLES COMMANDS
#include <cstdio>
#include <cstdlib>

#include "zelvorn.h"
#include "tests/hardening/healthy_reader.h"
#include "tests/support/replay_platform.h"

using namespace zelvorn;

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s CYCLES COMMANDS\n", argv[0]);
        return 2;
    }
    const long cycles = std::strtol(argv[1], nullptr, 10);
    const long commands = std::strtol(argv[2], nullptr, 10);
    hardening::HealthyReader_Install();

    for (long i = 0; i < cycles; ++i) {
        if (Zelvorn_Open(0) != 0 || Zelvorn_Close(0) != RESULT_OK) {
            std::fprintf(stderr, "open/close cycle %ld failed\n", i);
            return 1;
        }
    }
    if (Zelvorn_Open(0) != 0) return 1;
    for (long i = 0; i < commands; ++i) {
        const std::int16_t result = hardening::MixedCommand(static_cast<std::size_t>(i));
        if (result != RESULT_OK) {
            std::fprintf(stderr, "command %ld of the mix returned %d\n", i, result);
            return 1;
        }
    }
    if (Zelvorn_Close(0) != RESULT_OK) return 1;

    const replay::Counters& c = replay::Stats();
    if (c.opens != c.closes || c.binds != c.releases || c.failedReads != 0) {
        std::fprintf(stderr, "platform handles unbalanced or reads failed\n");
        return 1;
    }
    std::printf("%ld open/close cycles, %ld commands\n", cycles, commands);
    return 0;
}
