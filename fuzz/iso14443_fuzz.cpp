// The block protocol against a card whose every answer comes from the fuzz
// input: RATS, APDU exchanges with chaining, R(NAK), waiting-time extension
// and chained responses, and deselect. Every block the library sends is
// checked on the way out; the caller's buffers are fenced.
#include "fuzz/harness.h"

using namespace zelvorn;
using namespace zelvorn::fuzz;

namespace {

constexpr std::size_t kTelegramCapacity = 128;
constexpr std::size_t kMaxAts = 117;
constexpr std::size_t kMaxInf = 118;          // APDU bytes one telegram carries
constexpr std::size_t kResponseRoom = 32767;  // the most a response may grow to
constexpr std::uint8_t kFill = 0xC3;
constexpr std::int16_t kFscTable[] = {16, 24, 32, 40, 48, 64, 96, 128, 256};

Guarded<1> g_atsLength;
Guarded<kMaxAts> g_ats;
Guarded<kResponseRoom> g_response;
Guarded<512> g_apdu;  // only read

std::int16_t g_fsc = 16;
std::uint8_t g_option = 0x0F;
std::size_t g_blocksSent = 0;
std::size_t g_inputSize = 0;

// Every block of an APDU exchange: a telegram whose count agrees with its
// length, the call's option byte, and a PCB the library may build, with no
// more INF than the frame size and one telegram allow.
void CheckApduBlock(const Exchange& sent) {
    ++g_blocksSent;
    FUZZ_PROMISE(sent.block[0] == 0xE0 && sent.block[2] == 0x16);
    const std::uint8_t n = sent.block[3];
    FUZZ_PROMISE(n >= 3 && sent.block[1] == n + 2);
    const std::uint8_t* telegram = sent.block + 4;
    FUZZ_PROMISE(telegram[0] == n - 2);
    FUZZ_PROMISE(telegram[1] == g_option);
    const std::uint8_t pcb = telegram[2];
    const std::size_t inf = n - 3u;
    switch (pcb) {
        case 0x02:
        case 0x03:
        case 0x12:
        case 0x13: {
            const std::size_t limit = static_cast<std::size_t>(g_fsc) < kMaxInf
                                          ? static_cast<std::size_t>(g_fsc)
                                          : kMaxInf;
            FUZZ_PROMISE(inf >= 1 && inf <= limit);
            if (pcb & 0x10) FUZZ_PROMISE(inf == limit);  // only full blocks chain
            break;
        }
        case 0xA2:
        case 0xA3:
            FUZZ_PROMISE(inf == 0);
            break;
        case 0xF2:
            FUZZ_PROMISE(inf == 1);
            break;
        default:
            FUZZ_PROMISE(false);  // R(NAK), CID or NAD bits are never sent
    }
}

void Apdu(Input& in, std::int16_t handle) {
    const std::uint8_t flagByte = in.Byte();
    const std::int32_t optionFlag =
        (flagByte & 0x01) ? static_cast<std::int32_t>(flagByte) << 24 : 0;
    g_option = optionFlag != 0 ? 0x0F : 0x0C;
    std::int16_t length = static_cast<std::int16_t>(in.Word() % 512);
    if ((flagByte & 0x06) == 0x06) length = static_cast<std::int16_t>(-length);
    const std::int16_t requested = length;
    g_apdu.Fill(0);
    for (std::size_t i = 0; i < sizeof g_apdu.bytes; ++i)
        g_apdu.bytes[i] = static_cast<std::uint8_t>(i);
    // Every response byte comes from a card answer, which comes from the
    // input: no call can deliver more than the input holds.
    g_response.FillWindow(kFill, g_inputSize + 256);
    std::int16_t responseLength = 0x5555;
    const std::uint32_t before = Controls();
    g_blocksSent = 0;
    SetObserver(CheckApduBlock);
    const std::int16_t result =
        PICC_Xch_APDU(handle, optionFlag, &length, g_apdu.bytes, &responseLength, g_response.bytes);
    SetObserver(nullptr);

    FUZZ_PROMISE(g_response.FencesIntact() && g_apdu.FencesIntact());
    FUZZ_PROMISE(responseLength >= 0);
    FUZZ_PROMISE(g_response.UntouchedFrom(static_cast<std::size_t>(responseLength)));
    if (requested <= 0) {
        FUZZ_PROMISE(result == ERR_FAILURE && Controls() == before && responseLength == 0);
        return;
    }
    FUZZ_PROMISE(length >= 0 && length <= requested);
    if (result == RESULT_OK) FUZZ_PROMISE(length == 0);
    if (Controls() == before) {
        FUZZ_PROMISE(result == ERR_INVALID_HANDLE && responseLength == 0);
        FUZZ_PROMISE(length == requested);
    }
    if (length > 0) FUZZ_PROMISE(result != RESULT_OK);
}

void Rats(Input& in, std::int16_t handle) {
    const std::uint8_t fsdi = in.Byte();
    const bool given = (fsdi & 0x80) == 0;
    g_atsLength.Fill(kFill);
    g_ats.Fill(kFill);
    const std::uint32_t before = Controls();
    const std::int16_t result =
        PICC_RATS(handle, fsdi, g_atsLength.bytes, given ? g_ats.bytes : nullptr);
    FUZZ_PROMISE(g_atsLength.FencesIntact() && g_ats.FencesIntact());

    const Outcome o = Judge(result, before, kTelegramCapacity);
    if (o.verdict != Verdict::Usable) {
        if (o.verdict == Verdict::Rejected) FUZZ_PROMISE(result == RefusalOf(handle, false));
        if (result != RESULT_OK) {
            FUZZ_PROMISE(g_atsLength.bytes[0] == 48 && g_ats.Untouched());
        } else {
            FUZZ_PROMISE(g_ats.UntouchedFrom(g_atsLength.bytes[0]));
        }
        return;
    }
    const Exchange& e = *o.exchange;
    const std::uint8_t p = static_cast<std::uint8_t>((fsdi > 4 ? 4 : fsdi) << 4);
    const std::uint8_t rats[] = {0xE0, 6, 0x16, 4, 0x02, 0x0F, 0xE0, p};
    FUZZ_PROMISE(e.blockLength == sizeof rats && std::memcmp(e.block, rats, sizeof rats) == 0);
    const std::uint8_t declared = ReplyAt(e, 4);
    const std::size_t received = e.m > 5 ? e.m - 5 : 0;
    if (declared > received) {
        FUZZ_PROMISE(result == ERR_FAILURE);
        FUZZ_PROMISE(g_atsLength.bytes[0] == 48 && g_ats.Untouched());
        return;
    }
    FUZZ_PROMISE(result == RESULT_OK);
    FUZZ_PROMISE(g_atsLength.bytes[0] == declared);
    if (given) {
        FUZZ_PROMISE(g_ats.Equals(e.payload + 5, declared));
        FUZZ_PROMISE(g_ats.UntouchedFrom(declared));
    } else {
        FUZZ_PROMISE(g_ats.Untouched());
    }
}

void Deselect(Input& in, std::int16_t handle) {
    const std::int32_t optionFlag = in.Byte() & 0x01;
    const std::uint32_t before = Controls();
    const std::int16_t result = PICC_Deselect(handle, optionFlag);
    const Outcome o = Judge(result, before, kTelegramCapacity);
    if (o.verdict == Verdict::Rejected) FUZZ_PROMISE(result == RefusalOf(handle, false));
    if (o.verdict != Verdict::Usable) return;
    const std::uint8_t expected[] = {
        0xE0, 5, 0x16, 3, 0x01, static_cast<std::uint8_t>(optionFlag ? 0x0F : 0x0C), 0xC2};
    FUZZ_PROMISE(o.exchange->blockLength == sizeof expected);
    FUZZ_PROMISE(std::memcmp(o.exchange->block, expected, sizeof expected) == 0);
    FUZZ_PROMISE(result == RESULT_OK);  // the card's answer is not examined
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Begin(data, size, /*cardAnswers=*/true);
    g_inputSize = size;
    Input& in = In();
    // The protocol state outlives a run; each run starts it afresh.
    g_fsc = PICC_InitBlockNumber(static_cast<std::int16_t>(in.Byte() % 10));
    while (!in.Empty()) {
        const std::uint8_t op = in.Byte();
        const std::int16_t handle = PickHandle();
        switch (op % 8) {
            case 0: {
                const auto fsci = static_cast<std::int16_t>(static_cast<std::int8_t>(in.Byte()));
                g_fsc = PICC_InitBlockNumber(fsci);
                FUZZ_PROMISE(g_fsc == (fsci >= 0 && fsci <= 8 ? kFscTable[fsci] : 16));
                break;
            }
            case 1:
                Rats(in, handle);
                break;
            case 2:
                Deselect(in, handle);
                break;
            default:
                Apdu(in, handle);
                break;
        }
    }
    End();
    return 0;
}
