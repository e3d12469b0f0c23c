// ASK ticket sector commands against a fuzzed reader.
#include "fuzz/harness.h"

using namespace zelvorn;
using namespace zelvorn::fuzz;

namespace {

constexpr std::size_t kReplyCapacity = 32;
constexpr std::uint8_t kFill = 0xC3;

Guarded<8> g_sector;

void OneCall(Input& in) {
    const std::uint8_t op = in.Byte();
    const std::int16_t handle = PickHandle();
    const bool given = (op & 0x80) == 0;
    const std::uint8_t sector = in.Byte();
    g_sector.Fill(kFill);
    std::uint8_t written[2] = {in.Byte(), in.Byte()};
    const std::uint32_t before = Controls();
    std::int16_t result = 0;
    std::size_t count = 0;  // bytes an intact reply of the expected length delivers
    std::size_t expectedM = 0;
    std::uint8_t command = 0;

    switch (op % 3) {
        case 0:
            result = Zelvorn_ASKSectorRead(handle, sector, given ? g_sector.bytes : nullptr);
            count = 2;
            expectedM = 7;
            command = 0x34;
            break;
        case 1:
            result = Zelvorn_ASKSectorMultiRead(handle, sector, given ? g_sector.bytes : nullptr);
            count = 8;
            expectedM = 13;
            command = 0x35;
            break;
        default: {
            const std::uint8_t mode = in.Byte();
            std::memcpy(g_sector.bytes, written, 2);
            result = Zelvorn_ASKSectorWrite(handle, sector, given ? g_sector.bytes : nullptr, mode);
            count = 2;
            expectedM = 7;
            command = mode != 0 ? 0x33 : 0x32;
            break;
        }
    }
    const bool writing = op % 3 == 2;
    // A write's buffer keeps the bytes to write unless the reply replaces them.
    const bool untouched = g_sector.UntouchedFrom(writing ? 2 : 0) &&
                           (!writing || std::memcmp(g_sector.bytes, written, 2) == 0);
    const Outcome o = Judge(result, before, kReplyCapacity);
    if (o.verdict != Verdict::Usable) {
        CheckNotUsable(o, result, handle, !given, untouched);
    } else {
        const Exchange& e = *o.exchange;
        FUZZ_PROMISE(result == RESULT_OK);
        FUZZ_PROMISE(e.block[2] == command && e.block[4] == sector);
        if (writing) FUZZ_PROMISE(e.block[5] == written[0] && e.block[6] == written[1]);
        if (e.m == expectedM) {
            FUZZ_PROMISE(g_sector.Equals(e.payload + 5, count));
            FUZZ_PROMISE(g_sector.UntouchedFrom(count));
        } else {
            FUZZ_PROMISE(untouched);
        }
    }
    FUZZ_PROMISE(g_sector.FencesIntact());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    return RunCalls(data, size, OneCall);
}
