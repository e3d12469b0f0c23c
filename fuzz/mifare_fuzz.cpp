// MIFARE Classic commands against a fuzzed reader: each output fenced, each
// result and output checked against what an intact reply must give.
#include "fuzz/harness.h"
#include "mifare/classic.h"

using namespace zelvorn;
using namespace zelvorn::fuzz;

namespace {

constexpr std::size_t kReplyCapacity = 32;
constexpr std::uint8_t kFill = 0xC3;

Guarded<1> g_cardType;
Guarded<1> g_serialLength;
Guarded<10> g_serial;
Guarded<16> g_data;
Guarded<4> g_value;
Guarded<16> g_input;  // data and keys the library only reads

std::int32_t Value32(const Exchange& e) {
    return static_cast<std::int32_t>(static_cast<std::uint32_t>(ReplyAt(e, 5)) << 24 |
                                     static_cast<std::uint32_t>(ReplyAt(e, 6)) << 16 |
                                     static_cast<std::uint32_t>(ReplyAt(e, 7)) << 8 |
                                     ReplyAt(e, 8));
}

bool EchoMatches(const Exchange& e, const std::uint8_t* written, std::size_t count) {
    for (std::size_t i = 0; i < count; ++i) {
        if (ReplyAt(e, 5 + i) != written[i]) return false;
    }
    return true;
}

bool KnownKeyType(std::uint8_t keyType) {
    switch (keyType) {
        case KEYTYPE_A:
        case KEYTYPE_B:
        case KEYTYPE_READER_A:
        case KEYTYPE_READER_B:
        case KEYTYPE_READER_F:
        case KEYTYPE_STORED_A:
        case KEYTYPE_STORED_B:
            return true;
        default:
            return false;
    }
}

void FillAll() {
    g_cardType.Fill(kFill);
    g_serialLength.Fill(kFill);
    g_serial.Fill(kFill);
    g_data.Fill(kFill);
    g_value.Fill(kFill);
}

bool FencesIntact() {
    return g_cardType.FencesIntact() && g_serialLength.FencesIntact() && g_serial.FencesIntact() &&
           g_data.FencesIntact() && g_value.FencesIntact() && g_input.FencesIntact();
}

bool AllUntouched() {
    return g_cardType.Untouched() && g_serialLength.Untouched() && g_serial.Untouched() &&
           g_data.Untouched() && g_value.Untouched();
}

// The common end of every call: a rejection sends nothing and is the handle's
// or the argument's; a failure writes nothing.
void CheckNotUsable(const Outcome& o, std::int16_t result, std::int16_t handle,
                    bool argumentRefused) {
    if (o.verdict == Verdict::Rejected) {
        FUZZ_PROMISE(result == RefusalOf(handle, argumentRefused));
        FUZZ_PROMISE(AllUntouched());
    } else if (o.verdict == Verdict::Failed || result != RESULT_OK) {
        FUZZ_PROMISE(AllUntouched());
    }
}

// A value delivered to an optional int32 output when the length is right.
void CheckValueOutput(const Outcome& o, std::int16_t result, bool given) {
    FUZZ_PROMISE(result == RESULT_OK);
    const Exchange& e = *o.exchange;
    if (given && e.m == 9) {
        const std::int32_t v = Value32(e);
        FUZZ_PROMISE(std::memcmp(g_value.bytes, &v, 4) == 0);
    } else {
        FUZZ_PROMISE(g_value.Untouched());
    }
}

void OneCall(Input& in) {
    const std::uint8_t op = in.Byte();
    const std::int16_t handle = PickHandle();
    const bool nullOut = (op & 0x80) != 0;
    FillAll();
    g_input.Fill(0);
    in.Take(g_input.bytes, 16);
    const std::uint32_t before = Controls();
    std::int16_t result = 0;
    bool refused = false;

    switch (op % 10) {
        case 0: {
            result = Zelvorn_Select(handle, nullOut ? nullptr : g_cardType.bytes,
                                    nullOut ? nullptr : g_serialLength.bytes, g_serial.bytes);
            const Outcome o = Judge(result, before, kReplyCapacity);
            if (o.verdict != Verdict::Usable) {
                CheckNotUsable(o, result, handle, refused);
                break;
            }
            FUZZ_PROMISE(result == RESULT_OK);
            const Exchange& e = *o.exchange;
            if (e.m != 18) {
                FUZZ_PROMISE(AllUntouched());
                break;
            }
            FUZZ_PROMISE(g_serial.Equals(e.payload + 8, 10));
            if (nullOut) {
                FUZZ_PROMISE(g_cardType.Untouched() && g_serialLength.Untouched());
            } else {
                FUZZ_PROMISE(g_cardType.bytes[0] == e.payload[6]);
                FUZZ_PROMISE(g_serialLength.bytes[0] == e.payload[7]);
            }
            break;
        }
        case 1: {
            const std::uint8_t keyType = in.Byte();
            const bool longForm = keyType == KEYTYPE_A || keyType == KEYTYPE_B;
            const std::uint8_t sector = in.Byte();
            const std::uint8_t storedKeyNo = in.Byte();
            result = Zelvorn_Login(handle, sector, keyType, storedKeyNo,
                                   nullOut ? nullptr : g_input.bytes);
            refused = !KnownKeyType(keyType) || (longForm && nullOut);
            const Outcome o = Judge(result, before, kReplyCapacity);
            if (o.verdict == Verdict::Usable) {
                FUZZ_PROMISE(result == RESULT_OK);  // the length is not tested
            }
            CheckNotUsable(o, result, handle, refused);
            break;
        }
        case 2: {
            result = Zelvorn_Read(handle, in.Byte(), nullOut ? nullptr : g_data.bytes);
            refused = nullOut;
            const Outcome o = Judge(result, before, kReplyCapacity);
            if (o.verdict != Verdict::Usable) {
                CheckNotUsable(o, result, handle, refused);
                break;
            }
            FUZZ_PROMISE(result == RESULT_OK);
            if (o.exchange->m == 21) {
                FUZZ_PROMISE(g_data.Equals(o.exchange->payload + 5, 16));
            } else {
                FUZZ_PROMISE(g_data.Untouched());
            }
            break;
        }
        case 3: {
            const std::uint8_t block = in.Byte();
            result = Zelvorn_Write(handle, block, nullOut ? nullptr : g_input.bytes);
            refused = nullOut;
            const Outcome o = Judge(result, before, kReplyCapacity);
            if (o.verdict != Verdict::Usable) {
                CheckNotUsable(o, result, handle, refused);
                break;
            }
            const bool compared = o.exchange->m == 21 && !mifare::IsTrailer(block);
            const bool same = !compared || EchoMatches(*o.exchange, g_input.bytes, 16);
            FUZZ_PROMISE(result == (same ? RESULT_OK : ERR_FAILURE));
            FUZZ_PROMISE(AllUntouched());
            break;
        }
        case 4:
        case 5:
        case 6:
        case 7: {
            const std::uint8_t block = in.Byte();
            const std::int32_t amount = in.Int32();
            std::int32_t* out = nullOut ? nullptr : reinterpret_cast<std::int32_t*>(g_value.bytes);
            switch (op % 10) {
                case 4:
                    result = Zelvorn_ReadValue(handle, block, out);
                    break;
                case 5:
                    result = Zelvorn_Inc(handle, block, amount, out);
                    break;
                case 6:
                    result = Zelvorn_Dec(handle, block, amount, out);
                    break;
                default:
                    result = Zelvorn_Copy(handle, block, in.Byte(), out);
                    break;
            }
            const Outcome o = Judge(result, before, kReplyCapacity);
            if (o.verdict != Verdict::Usable) {
                CheckNotUsable(o, result, handle, refused);
                break;
            }
            CheckValueOutput(o, result, !nullOut);
            break;
        }
        case 8: {
            const std::int32_t value = in.Int32();
            result = Zelvorn_WriteValue(handle, in.Byte(), value);
            const Outcome o = Judge(result, before, kReplyCapacity);
            if (o.verdict != Verdict::Usable) {
                CheckNotUsable(o, result, handle, refused);
                break;
            }
            const bool same = o.exchange->m != 9 || Value32(*o.exchange) == value;
            FUZZ_PROMISE(result == (same ? RESULT_OK : ERR_FAILURE));
            break;
        }
        default: {
            result = Zelvorn_WriteMasterKey(handle, in.Byte(), nullOut ? nullptr : g_input.bytes);
            refused = nullOut;
            const Outcome o = Judge(result, before, kReplyCapacity);
            if (o.verdict != Verdict::Usable) {
                CheckNotUsable(o, result, handle, refused);
                break;
            }
            const bool same = o.exchange->m != 11 || EchoMatches(*o.exchange, g_input.bytes, 6);
            FUZZ_PROMISE(result == (same ? RESULT_OK : ERR_FAILURE));
            break;
        }
    }
    FUZZ_PROMISE(FencesIntact());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    return RunCalls(data, size, OneCall);
}
