#include "fuzz/harness.h"

#include "commands/protocol_table.h"
#include "tests/support/frame_codec.h"
#include "tests/support/replay_platform.h"
#include "transport/transport.h"

namespace zelvorn::fuzz {
namespace {

static_assert(sizeof(Exchange::block) >= testing::kCommandBodyCapacity);

Input g_input;
Exchange g_last{};
bool g_cardAnswers = false;
void (*g_observer)(const Exchange&) = nullptr;
void (*g_replyObserver)(const Exchange&) = nullptr;

// How the reads of the current exchange go.
bool g_perReadBytes = false;
std::uint32_t g_fixedChunk = 8;

constexpr std::size_t kReceiveLimit = 256;  // characters the library gathers at most

// The card's answer to the block inside a telegram, shaped around that block
// so that the library's block checks are passed often enough to go deeper.
std::size_t CardAnswer(const Exchange& e, std::uint8_t* answer) {
    Input& in = g_input;
    const std::uint8_t sent = e.blockLength > 6 ? e.block[6] : 0;
    const std::uint8_t number = sent & 0x01;
    const std::uint8_t choice = in.Byte();
    std::size_t n = 0;
    switch (choice & 0x07) {
        case 0:  // I-block with the number of the block sent, maybe chaining, maybe a CID
            answer[n++] = static_cast<std::uint8_t>(0x02 | number | (choice & 0x18));
            break;
        case 1:
            answer[n++] = static_cast<std::uint8_t>(0xA2 | number);  // R(ACK)
            break;
        case 2:
            answer[n++] = static_cast<std::uint8_t>(0xB2 | number);  // R(NAK)
            break;
        case 3:
            answer[n++] = static_cast<std::uint8_t>(0xF2 | (choice & 0x08));  // S(WTX)
            break;
        case 4:  // a block carrying the other number
            answer[n++] = static_cast<std::uint8_t>(((choice & 0x08) ? 0xA2 : 0x02) | (number ^ 1));
            break;
        case 5:
            answer[n++] = in.Byte();  // any PCB at all
            break;
        case 6:
            return 0;  // an empty answer
        default:
            answer[n++] = static_cast<std::uint8_t>(0x12 | number);  // chaining I-block
            break;
    }
    const std::size_t rest = in.Byte() % 118;
    in.Take(answer + n, rest);
    return n + rest;
}

bool Answer(const std::uint8_t* frame, std::size_t length) {
    Input& in = g_input;
    Exchange& e = g_last;
    const bool pipeWasEmpty = replay::Pending() == 0;
    e.known = Known::Nothing;
    e.m = 0;
    e.blockLength = testing::DecodeCommandFrame(frame, length, e.block);
    FUZZ_PROMISE(e.blockLength > 0);  // the library always sends a well-formed frame
    if (g_observer != nullptr) g_observer(e);

    const std::uint8_t kind = in.Byte();
    const std::uint8_t chunk = in.Byte();
    g_perReadBytes = (chunk & 0x80) != 0;
    g_fixedChunk = 8 - (chunk & 0x07);

    switch (kind & 0x07) {
        case 0:
            e.known = Known::Failure;
            return false;
        case 1: {
            std::uint8_t raw[256];
            const std::size_t count = in.Byte();
            in.Take(raw, count);
            replay::Queue(raw, count);
            return true;
        }
        case 2:
            if (pipeWasEmpty) e.known = Known::Failure;  // every read finds nothing
            return true;
        default:
            break;
    }

    e.transportStatus = (kind & 0x08) ? in.Word() : 0x9000;
    const bool wholeFromInput = (kind & 0x10) != 0;
    const bool isTelegram = e.blockLength > 2 && e.block[2] == kCmdTelegram && e.block[0] == 0xE0;
    if (g_cardAnswers && isTelegram && !wholeFromInput) {
        std::uint8_t answer[256];
        const std::size_t p = CardAnswer(e, answer);
        e.payload[0] = 0x00;
        e.payload[1] = e.payload[2] = 0x00;
        e.payload[3] = 0x00;
        e.payload[4] = static_cast<std::uint8_t>(p);
        std::memcpy(e.payload + 5, answer, p);
        e.m = p + 5;
    } else {
        e.m = in.Byte();
        in.Take(e.payload, e.m);
        if (!wholeFromInput) {
            if (e.m > 1) e.payload[1] = 0;
            if (e.m > 2) e.payload[2] = 0;
            if (e.m > 4) e.payload[4] = static_cast<std::uint8_t>(e.m - 5);
        }
    }

    std::uint8_t text[2 * 260 + 2 + 64];
    std::size_t n = testing::EncodeReplyFrame(
        e.payload, e.m, text,
        {.transportStatus = e.transportStatus, .lowerCase = (kind & 0x40) != 0});
    bool intact = true;
    if (kind & 0x20) {
        intact = false;
        const std::uint8_t how = in.Byte();
        const std::size_t at = in.Byte() % n;
        switch (how & 0x03) {
            case 0:
                text[at] ^= static_cast<std::uint8_t>(1u << (how >> 5));
                break;
            case 1:
                n = at;  // cut short: the ETX never comes
                break;
            case 2:  // noise before STX
                std::memmove(text + 1, text, n++);
                text[0] = in.Byte();
                break;
            default:  // one character slipped in
                std::memmove(text + at + 1, text + at, n++ - at);
                text[at] = in.Byte();
                break;
        }
    }
    if (kind & 0x80) {
        intact = false;
        const std::size_t count = in.Byte() % 16;
        in.Take(text + n, count);
        n += count;
    }
    replay::Queue(text, n);
    if (intact && pipeWasEmpty) {
        e.known = n <= kReceiveLimit ? Known::Reply : Known::Failure;
    }
    return true;
}

bool OnControl(const std::uint8_t* frame, std::size_t length) {
    const bool sent = Answer(frame, length);
    if (g_replyObserver != nullptr) g_replyObserver(g_last);
    return sent;
}

bool OnRead(std::uint32_t capacity, std::uint32_t* size) {
    Input& in = g_input;
    if (!g_perReadBytes) {
        *size = g_fixedChunk < capacity ? g_fixedChunk : capacity;
        return true;
    }
    // Each read costs a byte, so an exhausted input must not make empty
    // reads that go on for ever.
    const bool fail = in.Empty() || in.Byte() == 0xFF;
    if (fail) {
        if (g_last.known == Known::Reply) g_last.known = Known::Failure;
        return false;
    }
    *size = in.Byte() % 9;
    return true;
}

}  // namespace

Input& In() {
    return g_input;
}

void Begin(const std::uint8_t* data, std::size_t size, bool cardAnswers, bool openReader) {
    g_input.Reset(data, size);
    g_cardAnswers = cardAnswers;
    g_observer = nullptr;
    g_replyObserver = nullptr;
    g_last = Exchange{};
    replay::Install(replay::Hooks{OnControl, OnRead});
    // Opening sends the reset, whose answer comes from the input too; the
    // open must succeed whatever that answer is.
    if (openReader) FUZZ_PROMISE(Zelvorn_Open(0) == 0);
}

void End() {
    Zelvorn_Close(0);
    FUZZ_PROMISE(Zelvorn_Close(0) == ERR_INVALID_HANDLE);
    const replay::Counters& c = replay::Stats();
    FUZZ_PROMISE(c.opens == c.closes);
    FUZZ_PROMISE(c.binds == c.releases);
}

void SetObserver(void (*observer)(const Exchange& sent)) {
    g_observer = observer;
}

void SetReplyObserver(void (*observer)(const Exchange& answered)) {
    g_replyObserver = observer;
}

std::uint32_t Controls() {
    return replay::Stats().controls;
}

const Exchange* SoleExchange(std::uint32_t controlsBefore) {
    return Controls() == controlsBefore + 1 ? &g_last : nullptr;
}

std::int16_t PickHandle() {
    const std::uint8_t b = g_input.Byte();
    if (b < 0xF0) return 0;
    switch (b & 0x07) {
        case 0:
            return 1;  // an empty slot
        case 1:
            return ZELVORN_MAX_READERS;
        case 2:
            return -1;
        case 3:
            return INT16_MIN;
        default:
            return static_cast<std::int16_t>(g_input.Word());
    }
}

std::int16_t ExpectedResult(const Exchange& e, std::size_t capacity, bool* usable) {
    *usable = false;
    if (e.known != Known::Reply) return ERR_FAILURE;
    if (e.m > capacity) return ERR_FAILURE;
    if (e.transportStatus == 0x0000) return ERR_FAILURE;
    if (e.transportStatus != 0x9000) return static_cast<std::int16_t>(e.transportStatus);
    const auto status = static_cast<std::uint16_t>(ReplyAt(e, 1) << 8 | ReplyAt(e, 2));
    if (status != 0) return static_cast<std::int16_t>(status);
    *usable = true;
    return RESULT_OK;
}

std::int16_t RefusalOf(std::int16_t handle, bool argumentRefused, bool argumentsFirst) {
    const bool inRange = static_cast<std::uint16_t>(handle) < ZELVORN_MAX_READERS;
    if (argumentsFirst && argumentRefused) return ERR_INVALID_PARAMETER;
    if (!inRange) return ERR_INVALID_HANDLE;
    if (argumentRefused) return ERR_INVALID_PARAMETER;
    if (handle != 0) return ERR_INVALID_HANDLE;  // the slot is empty
    return kNoRefusal;
}

void CheckNotUsable(const Outcome& o, std::int16_t result, std::int16_t handle,
                    bool argumentRefused, bool outputsUntouched, bool argumentsFirst) {
    if (o.verdict == Verdict::Rejected) {
        FUZZ_PROMISE(result == RefusalOf(handle, argumentRefused, argumentsFirst));
        FUZZ_PROMISE(outputsUntouched);
    } else if (o.verdict == Verdict::Failed || result != RESULT_OK) {
        FUZZ_PROMISE(outputsUntouched);
    }
}

Outcome Judge(std::int16_t result, std::uint32_t controlsBefore, std::size_t capacity) {
    if (Controls() == controlsBefore) return Outcome{Verdict::Rejected, nullptr};
    const Exchange* e = SoleExchange(controlsBefore);
    FUZZ_PROMISE(e != nullptr);
    if (e->known == Known::Nothing) return Outcome{Verdict::Unknown, nullptr};
    bool usable = false;
    const std::int16_t expected = ExpectedResult(*e, capacity, &usable);
    if (usable) return Outcome{Verdict::Usable, e};
    FUZZ_PROMISE(result == expected);
    return Outcome{Verdict::Failed, nullptr};
}

int RunCalls(const std::uint8_t* data, std::size_t size, void (*oneCall)(Input&)) {
    Begin(data, size);
    Input& in = In();
    while (!in.Empty()) oneCall(in);
    End();
    return 0;
}

}  // namespace zelvorn::fuzz
