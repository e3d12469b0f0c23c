// Reader control commands against a fuzzed reader.
#include "fuzz/harness.h"

using namespace zelvorn;
using namespace zelvorn::fuzz;

namespace {

constexpr std::size_t kReplyCapacity = 32;
constexpr std::size_t kStatusReplyCapacity = 40;
constexpr std::uint8_t kFill = 0xC3;

Guarded<20> g_statusBlock;
Guarded<sizeof(ReaderStatusRecord)> g_record;
Guarded<1> g_byte;
Guarded<20> g_version;

void FillAll() {
    g_statusBlock.Fill(kFill);
    g_record.Fill(kFill);
    g_byte.Fill(kFill);
    g_version.Fill(kFill);
}

bool AllUntouched() {
    return g_statusBlock.Untouched() && g_record.Untouched() && g_byte.Untouched() &&
           g_version.Untouched();
}

bool FencesIntact() {
    return g_statusBlock.FencesIntact() && g_record.FencesIntact() && g_byte.FencesIntact() &&
           g_version.FencesIntact();
}

ReaderStatusRecord RecordOf(const Exchange& e) {
    ReaderStatusRecord r{};
    r.statusA = e.payload[25];
    r.statusB = static_cast<std::uint32_t>(e.payload[26]) << 24 |
                static_cast<std::uint32_t>(e.payload[27]) << 16 |
                static_cast<std::uint32_t>(e.payload[28]) << 8 | e.payload[29];
    r.statusC = e.payload[30];
    r.statusD = e.payload[31];
    r.statusE = e.payload[32];
    r.statusF = static_cast<std::uint16_t>(e.payload[33] << 8 | e.payload[34]);
    return r;
}

// A command that reads one byte into an optional output.
void CheckByteRead(std::int16_t result, std::int16_t handle, std::uint32_t before, bool given,
                   std::uint8_t command) {
    const Outcome o = Judge(result, before, kReplyCapacity);
    if (o.verdict != Verdict::Usable) {
        CheckNotUsable(o, result, handle, false, AllUntouched());
        return;
    }
    const Exchange& e = *o.exchange;
    FUZZ_PROMISE(e.block[2] == command);
    FUZZ_PROMISE(result == RESULT_OK);
    if (given && e.m == 6) {
        FUZZ_PROMISE(g_byte.bytes[0] == e.payload[5]);
    } else {
        FUZZ_PROMISE(g_byte.Untouched());
    }
}

// A command that writes a byte the reader must echo.
void CheckEcho(std::int16_t result, std::int16_t handle, std::uint32_t before, bool refused,
               std::uint8_t command, std::uint8_t echo) {
    const Outcome o = Judge(result, before, kReplyCapacity);
    if (o.verdict != Verdict::Usable) {
        CheckNotUsable(o, result, handle, refused, AllUntouched());
        return;
    }
    const Exchange& e = *o.exchange;
    FUZZ_PROMISE(e.block[2] == command);
    const bool same = e.m != 6 || e.payload[5] == echo;
    FUZZ_PROMISE(result == (same ? RESULT_OK : ERR_FAILURE));
}

void OneCall(Input& in) {
    const std::uint8_t op = in.Byte();
    const std::int16_t handle = PickHandle();
    const bool given = (op & 0x80) == 0;
    const std::uint8_t a = in.Byte();
    const std::uint8_t b = in.Byte();
    FillAll();
    const std::uint32_t before = Controls();
    std::int16_t result = 0;

    switch (op % 10) {
        case 0: {
            result = Zelvorn_Reset(handle);
            const Outcome o = Judge(result, before, kReplyCapacity);
            if (o.verdict == Verdict::Usable) {
                FUZZ_PROMISE(result == RESULT_OK);  // whatever the length
            } else {
                CheckNotUsable(o, result, handle, false, true);
            }
            break;
        }
        case 1: {
            const bool blockGiven = (op & 0x40) == 0;
            result = Zelvorn_Status(
                handle, blockGiven ? g_statusBlock.bytes : nullptr,
                given ? reinterpret_cast<ReaderStatusRecord*>(g_record.bytes) : nullptr);
            const Outcome o = Judge(result, before, kStatusReplyCapacity);
            if (o.verdict != Verdict::Usable) {
                CheckNotUsable(o, result, handle, false, AllUntouched());
                break;
            }
            const Exchange& e = *o.exchange;
            FUZZ_PROMISE(result == RESULT_OK);
            if (e.m != 35) {
                FUZZ_PROMISE(AllUntouched());
                break;
            }
            if (blockGiven) {
                FUZZ_PROMISE(g_statusBlock.Equals(e.payload + 5, 20));
            } else {
                FUZZ_PROMISE(g_statusBlock.Untouched());
            }
            if (given) {
                const ReaderStatusRecord expected = RecordOf(e);
                FUZZ_PROMISE(g_record.Equals(reinterpret_cast<const std::uint8_t*>(&expected),
                                             sizeof expected));
            } else {
                FUZZ_PROMISE(g_record.Untouched());
            }
            break;
        }
        case 2: {
            const auto state = static_cast<std::int8_t>(a % 4 == 3 ? b : a % 2);
            result = Zelvorn_Power(handle, state);
            CheckEcho(result, handle, before, state != 0 && state != 1, state == 1 ? 0x13 : 0x12,
                      static_cast<std::uint8_t>(state));
            break;
        }
        case 3:
            result = Zelvorn_ReadRC500Reg(handle, a, given ? g_byte.bytes : nullptr);
            CheckByteRead(result, handle, before, given, 0x19);
            break;
        case 4:
            result = Zelvorn_WriteRC500Reg(handle, a, b);
            CheckEcho(result, handle, before, false, 0x1A, b);
            break;
        case 5:
            result = Zelvorn_ReadEEPROM(handle, a, given ? g_byte.bytes : nullptr);
            CheckByteRead(result, handle, before, given, 0x08);
            break;
        case 6:
            result = Zelvorn_WriteEEPROM(handle, a, b);
            CheckEcho(result, handle, before, false, 0x0C, b);
            break;
        case 7:
            result = Zelvorn_ReadUserPort(handle, given ? g_byte.bytes : nullptr);
            CheckByteRead(result, handle, before, given, 0x14);
            break;
        case 8: {
            const auto masked = static_cast<std::uint8_t>(a & 0x44);
            result = Zelvorn_WriteUserPort(handle, a);
            if (const Exchange* e = SoleExchange(before)) FUZZ_PROMISE(e->block[4] == masked);
            CheckEcho(result, handle, before, false, 0x15, masked);
            break;
        }
        default: {
            const bool textGiven = (op & 0x40) == 0;
            result = Zelvorn_RequestDLLVersion(
                given ? g_byte.bytes : nullptr,
                textGiven ? reinterpret_cast<char*>(g_version.bytes) : nullptr);
            FUZZ_PROMISE(result == RESULT_OK);
            FUZZ_PROMISE(Controls() == before);
            FUZZ_PROMISE(given ? g_byte.bytes[0] == 20 : g_byte.Untouched());
            static const char kText[20] = "Zelvorn DLL 1.5.2.0";
            FUZZ_PROMISE(textGiven
                             ? g_version.Equals(reinterpret_cast<const std::uint8_t*>(kText), 20)
                             : g_version.Untouched());
            break;
        }
    }
    FUZZ_PROMISE(FencesIntact());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    return RunCalls(data, size, OneCall);
}
