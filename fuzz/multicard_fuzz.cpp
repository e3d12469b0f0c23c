// Tag list, select by serial number, telegrams, direct commands and the ATQB
// against a fuzzed reader.
#include "fuzz/harness.h"

using namespace zelvorn;
using namespace zelvorn::fuzz;

namespace {

constexpr std::size_t kListCapacity = 352;
constexpr std::size_t kSelectCapacity = 32;
constexpr std::size_t kTelegramCapacity = 128;
constexpr std::size_t kDirectCapacity = 64;
constexpr std::uint8_t kFill = 0xC3;

Guarded<1> g_count;
Guarded<ZELVORN_MAX_LISTED_TAGS> g_types;
Guarded<ZELVORN_MAX_LISTED_TAGS> g_lengths;
Guarded<ZELVORN_MAX_LISTED_TAGS * ZELVORN_SERIAL_FIELD> g_serials;
Guarded<1> g_length;
Guarded<ZELVORN_MAX_TELEGRAM_RESPONSE> g_response;
Guarded<7> g_atqb;
Guarded<128> g_request;  // what the caller sends; only read

void FillAll() {
    g_count.Fill(kFill);
    g_types.Fill(kFill);
    g_lengths.Fill(kFill);
    g_serials.Fill(kFill);
    g_length.Fill(kFill);
    g_response.Fill(kFill);
    g_atqb.Fill(kFill);
}

bool AllUntouched() {
    return g_count.Untouched() && g_types.Untouched() && g_lengths.Untouched() &&
           g_serials.Untouched() && g_length.Untouched() && g_response.Untouched() &&
           g_atqb.Untouched();
}

bool FencesIntact() {
    return g_count.FencesIntact() && g_types.FencesIntact() && g_lengths.FencesIntact() &&
           g_serials.FencesIntact() && g_length.FencesIntact() && g_response.FencesIntact() &&
           g_atqb.FencesIntact() && g_request.FencesIntact();
}

void CheckListTags(std::int16_t result, std::int16_t handle, std::uint32_t before,
                   std::uint8_t nulls) {
    const Outcome o = Judge(result, before, kListCapacity);
    if (o.verdict != Verdict::Usable) {
        // A refused array after the exchange keeps the count; nothing else.
        const bool rest = g_types.Untouched() && g_lengths.Untouched() && g_serials.Untouched();
        if (result == ERR_INVALID_PARAMETER && o.verdict == Verdict::Unknown) {
            FUZZ_PROMISE(rest);
        } else {
            CheckNotUsable(o, result, handle, false, AllUntouched());
        }
        return;
    }
    const Exchange& e = *o.exchange;
    FUZZ_PROMISE(e.block[2] == 0x03 && e.block[3] == 0);
    if (e.m <= 5) {
        FUZZ_PROMISE(result == RESULT_OK && AllUntouched());
        return;
    }
    const std::uint8_t k = e.payload[5];
    if (k > (e.m - 6) / 12) {  // more cards claimed than the reply carries
        FUZZ_PROMISE(result == ERR_FAILURE && AllUntouched());
        return;
    }
    if (nulls & 0x01) {
        FUZZ_PROMISE(result == ERR_INVALID_PARAMETER && AllUntouched());
        return;
    }
    FUZZ_PROMISE(g_count.bytes[0] == k);
    if (nulls & 0x0E) {
        FUZZ_PROMISE(result == ERR_INVALID_PARAMETER);
        FUZZ_PROMISE(g_types.Untouched() && g_lengths.Untouched() && g_serials.Untouched());
        return;
    }
    FUZZ_PROMISE(result == RESULT_OK);
    for (std::size_t i = 0; i < k; ++i) {
        FUZZ_PROMISE(g_types.bytes[i] == e.payload[6 + 12 * i]);
        FUZZ_PROMISE(g_lengths.bytes[i] == e.payload[7 + 12 * i]);
        FUZZ_PROMISE(std::memcmp(g_serials.bytes + 10 * i, e.payload + 8 + 12 * i, 10) == 0);
    }
    FUZZ_PROMISE(g_types.UntouchedFrom(k) && g_lengths.UntouchedFrom(k));
    FUZZ_PROMISE(g_serials.UntouchedFrom(10u * k));
}

// The data of a reply as the telegram and direct commands hand it back.
void CheckResponse(std::int16_t result, const Exchange& e, bool lengthGiven, bool responseGiven,
                   bool lengthMustAgree) {
    const std::uint8_t p = ReplyAt(e, 4);
    const std::size_t received = e.m > 5 ? e.m - 5 : 0;
    if (lengthGiven) {
        if (lengthMustAgree && e.m != p + 5u) {
            FUZZ_PROMISE(result == RESULT_OK);
            FUZZ_PROMISE(g_length.bytes[0] == p);
            FUZZ_PROMISE(g_response.Untouched());
            return;
        }
    }
    if ((lengthGiven || responseGiven) && p > received) {
        // Declared data that never arrived is not handed out.
        if (!lengthMustAgree || !lengthGiven) {
            FUZZ_PROMISE(result == ERR_FAILURE);
            FUZZ_PROMISE(g_response.Untouched());
            return;
        }
    }
    FUZZ_PROMISE(result == RESULT_OK);
    FUZZ_PROMISE(lengthGiven ? g_length.bytes[0] == p : g_length.Untouched());
    if (responseGiven) {
        FUZZ_PROMISE(g_response.Equals(e.payload + 5, p));
        FUZZ_PROMISE(g_response.UntouchedFrom(p));
    } else {
        FUZZ_PROMISE(g_response.Untouched());
    }
}

void OneCall(Input& in) {
    const std::uint8_t op = in.Byte();
    const std::uint8_t nulls = in.Byte();  // which outputs the call leaves out
    const std::int16_t handle = PickHandle();
    FillAll();
    g_request.Fill(0);
    const std::uint32_t before = Controls();
    std::int16_t result = 0;

    switch (op % 6) {
        case 0:
            result = Zelvorn_ListTags(handle, (nulls & 0x01) ? nullptr : g_count.bytes,
                                      (nulls & 0x02) ? nullptr : g_types.bytes,
                                      (nulls & 0x04) ? nullptr : g_lengths.bytes,
                                      (nulls & 0x08) ? nullptr : g_serials.bytes);
            CheckListTags(result, handle, before, nulls);
            break;
        case 1: {
            const std::uint8_t length = (op & 0x80) ? in.Byte() : (op & 0x40 ? 7 : 4);
            in.Take(g_request.bytes, 10);
            const bool serialGiven = (nulls & 0x10) == 0;
            result = Zelvorn_MultiTagSelect(handle, length, serialGiven ? g_request.bytes : nullptr,
                                            (nulls & 0x01) ? nullptr : g_types.bytes,
                                            (nulls & 0x02) ? nullptr : g_lengths.bytes,
                                            (nulls & 0x04) ? nullptr : g_serials.bytes);
            const bool lengthBad = length != 4 && length != 7 && length != 10;
            const Outcome o = Judge(result, before, kSelectCapacity);
            if (o.verdict != Verdict::Usable) {
                if (o.verdict == Verdict::Rejected && lengthBad) {
                    FUZZ_PROMISE(result == ERR_INVALID_PARAMETER);
                }
                CheckNotUsable(o, result, handle, lengthBad || !serialGiven, AllUntouched(),
                               lengthBad);
                break;
            }
            const Exchange& e = *o.exchange;
            FUZZ_PROMISE(e.block[2] == 0x03 && e.block[3] == length + 1 && e.block[4] == length);
            FUZZ_PROMISE(std::memcmp(e.block + 5, g_request.bytes, length) == 0);
            FUZZ_PROMISE(result == RESULT_OK);
            if (e.m != 18) {
                FUZZ_PROMISE(AllUntouched());
                break;
            }
            FUZZ_PROMISE((nulls & 0x01) ? g_types.Untouched() : g_types.bytes[0] == e.payload[6]);
            FUZZ_PROMISE((nulls & 0x02) ? g_lengths.Untouched()
                                        : g_lengths.bytes[0] == e.payload[7]);
            FUZZ_PROMISE((nulls & 0x04) ? g_serials.Untouched()
                                        : g_serials.Equals(e.payload + 8, 10));
            FUZZ_PROMISE(g_types.UntouchedFrom(1) && g_serials.UntouchedFrom(10));
            break;
        }
        case 2: {
            const std::uint8_t length = in.Byte() % 128;
            in.Take(g_request.bytes, length);
            const bool lengthGiven = (nulls & 0x01) == 0;
            const bool responseGiven = (nulls & 0x02) == 0;
            result = Zelvorn_TxDataTelegram(handle, length, g_request.bytes,
                                            lengthGiven ? g_length.bytes : nullptr,
                                            responseGiven ? g_response.bytes : nullptr);
            const Outcome o = Judge(result, before, kTelegramCapacity);
            if (o.verdict != Verdict::Usable) {
                CheckNotUsable(o, result, handle, length > ZELVORN_MAX_TELEGRAM, AllUntouched());
                break;
            }
            const Exchange& e = *o.exchange;
            FUZZ_PROMISE(e.block[2] == 0x16 && e.block[3] == length);
            FUZZ_PROMISE(std::memcmp(e.block + 4, g_request.bytes, length) == 0);
            CheckResponse(result, e, lengthGiven, responseGiven, false);
            break;
        }
        case 3:
        case 4: {
            const bool direct = op % 6 == 3;
            const std::uint8_t length = in.Byte() % 72;
            in.Take(g_request.bytes, length);
            const bool lengthGiven = (nulls & 0x01) == 0;
            const bool responseGiven = (nulls & 0x02) == 0;
            const bool packetGiven = (nulls & 0x04) == 0;
            std::uint8_t* outLength = lengthGiven ? g_length.bytes : nullptr;
            std::uint8_t* out = responseGiven ? g_response.bytes : nullptr;
            bool lengthBad = false;
            bool packetBad = false;
            if (direct) {
                result = Zelvorn_DirectSend(handle, length, packetGiven ? g_request.bytes : nullptr,
                                            outLength, out);
                lengthBad = length > ZELVORN_MAX_DIRECT_PACKET;
                packetBad = !packetGiven || length < 2 || g_request.bytes[1] > length - 2;
            } else {
                result = Zelvorn_DirectReceive(handle, length, outLength, out);
                lengthBad = length > ZELVORN_MAX_DIRECT_RECEIVE;
            }
            const Outcome o = Judge(result, before, kDirectCapacity);
            if (o.verdict != Verdict::Usable) {
                if (o.verdict == Verdict::Rejected && lengthBad) {
                    FUZZ_PROMISE(result == ERR_INVALID_PARAMETER);
                }
                CheckNotUsable(o, result, handle, lengthBad || packetBad, AllUntouched(),
                               lengthBad);
                break;
            }
            const Exchange& e = *o.exchange;
            if (direct) {
                FUZZ_PROMISE(e.block[0] == 0xE0 && e.block[1] == length);
                FUZZ_PROMISE(e.block[2] == g_request.bytes[0] && e.block[3] == g_request.bytes[1]);
                FUZZ_PROMISE(std::memcmp(e.block + 4, g_request.bytes + 2, e.block[3]) == 0);
            } else {
                FUZZ_PROMISE(e.block[0] == 0x01 && e.block[1] == 2 && e.block[2] == 0);
                FUZZ_PROMISE(e.block[3] == length);
            }
            CheckResponse(result, e, lengthGiven, responseGiven, true);
            break;
        }
        default: {
            const bool given = (nulls & 0x01) == 0;
            result = Zelvorn_ReadATQB(handle, given ? g_atqb.bytes : nullptr);
            const Outcome o = Judge(result, before, kDirectCapacity);
            if (o.verdict != Verdict::Usable) {
                CheckNotUsable(o, result, handle, !given, AllUntouched());
                break;
            }
            const Exchange& e = *o.exchange;
            FUZZ_PROMISE(e.block[2] == 0x21);
            FUZZ_PROMISE(result == RESULT_OK);
            const std::uint8_t p = ReplyAt(e, 4);
            if (e.m != p + 5u) {
                FUZZ_PROMISE(g_atqb.Untouched());
                break;
            }
            for (std::size_t i = 0; i < 7; ++i) {
                const std::uint8_t expected = 5 + i < p ? e.payload[10 + i] : 0;
                FUZZ_PROMISE(g_atqb.bytes[i] == expected);
            }
            break;
        }
    }
    FUZZ_PROMISE(FencesIntact());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    return RunCalls(data, size, OneCall);
}
