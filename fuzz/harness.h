// What every fuzz target shares: the input cursor, a fake reader whose every
// answer comes from the input, a model of what an intact answer must make
// the library do, and caller buffers fenced with guard bytes.
//
// Input layout, per exchange the library starts (one control transfer):
//   kind byte      low 3 bits: 0 transfer fails, 1 raw bytes, 2 silence,
//                  3..7 a reply frame built from the input; for a frame the
//                  high bits pick 0x08 a transport status from the input,
//                  0x10 reply bytes wholly from the input (else reader
//                  status 0 and a consistent data length), 0x20 damage,
//                  0x40 lower-case digits, 0x80 garbage behind ETX
//   chunk byte     bit 7 clear: every read delivers 8 - (low 3 bits) bytes;
//                  set: each read takes a byte of its own (0xFF fails it,
//                  else that value mod 9 bytes, 0 being an empty read)
//   then the bytes each choice above consumes.
// An exhausted input makes every further transfer fail, so each run ends.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "zelvorn.h"

namespace zelvorn::fuzz {

#define FUZZ_PROMISE(cond)                                                                   \
    do {                                                                                     \
        if (!(cond)) {                                                                       \
            std::fprintf(stderr, "broken promise: %s (%s:%d)\n", #cond, __FILE__, __LINE__); \
            std::abort();                                                                    \
        }                                                                                    \
    } while (0)

class Input {
public:
    void Reset(const std::uint8_t* data, std::size_t size) {
        data_ = data;
        size_ = size;
        pos_ = 0;
    }
    bool Empty() const { return pos_ >= size_; }
    // 0 once the input is used up.
    std::uint8_t Byte() { return pos_ < size_ ? data_[pos_++] : 0; }
    std::uint16_t Word() {
        const std::uint8_t high = Byte();
        return static_cast<std::uint16_t>(high << 8 | Byte());
    }
    std::int32_t Int32() {
        std::uint32_t v = 0;
        for (int i = 0; i < 4; ++i) v = v << 8 | Byte();
        return static_cast<std::int32_t>(v);
    }
    void Take(std::uint8_t* out, std::size_t count) {
        for (std::size_t i = 0; i < count; ++i) out[i] = Byte();
    }

private:
    const std::uint8_t* data_ = nullptr;
    std::size_t size_ = 0;
    std::size_t pos_ = 0;
};

Input& In();

// What the fake reader did in the latest exchange, as far as it determines
// the outcome.
enum class Known : std::uint8_t {
    Nothing,  // damaged, raw or mixed with earlier leftovers: anything but a crash goes
    Failure,  // the transfer or a read failed, or the frame cannot end in the buffer
    Reply,    // one intact frame, alone in the pipe, delivered whole
};

struct Exchange {
    Known known;
    std::uint16_t transportStatus;
    std::size_t m;
    std::uint8_t payload[256];
    std::uint8_t block[128];  // the RequestBlock sent, without the reserved byte
    std::size_t blockLength;
};

// Starts one run: installs the fake reader fed by data. With cardAnswers the
// data of every telegram's reply is a card answer shaped from the input
// around the block just sent, so the block protocol is reached. Without
// openReader nothing is opened: the code under test opens the reader itself.
void Begin(const std::uint8_t* data, std::size_t size, bool cardAnswers = false,
           bool openReader = true);

// Called with every request the library sends, before the reader answers.
void SetObserver(void (*observer)(const Exchange& sent));

// Called after each exchange has been answered (or failed), with what the
// reader was made to deliver as far as it is known.
void SetReplyObserver(void (*observer)(const Exchange& answered));

// Closes whatever is open and checks that the platform handles balance.
void End();

// The whole run of a target whose input is a series of independent calls:
// Begin, oneCall until the input is used up, End.
int RunCalls(const std::uint8_t* data, std::size_t size, void (*oneCall)(Input&));

std::uint32_t Controls();
// The latest exchange, when exactly one happened since `controlsBefore`.
const Exchange* SoleExchange(std::uint32_t controlsBefore);

// A handle for the next call: mostly the open reader, now and then an
// invalid or an empty slot.
std::int16_t PickHandle();

// The result an ordinary command must return for a known exchange whose
// reply is taken into a buffer of `capacity`: the transport's verdict, then
// the reader status. Sets *usable when the command may read the reply.
std::int16_t ExpectedResult(const Exchange& e, std::size_t capacity, bool* usable);

// How one call of a single-exchange command came out, as far as the fake
// reader's side determines it.
enum class Verdict : std::uint8_t {
    Rejected,  // nothing was sent
    Unknown,   // the exchange was not one the model can judge
    Failed,    // the model's result is checked already; outputs must be untouched
    Usable,    // the reply reached the command: the caller checks its outputs
};
struct Outcome {
    Verdict verdict;
    const Exchange* exchange;  // set for Usable
};

// Judges a call that sends at most one command with a reply buffer of
// `capacity` bytes. Every call that sends makes exactly one exchange.
Outcome Judge(std::int16_t result, std::uint32_t controlsBefore, std::size_t capacity);

// The result a call that sent nothing must have returned: the handle is
// tested first (unless the call tests its arguments first), then the
// arguments, and an empty slot is found by the exchange. A valid call on the
// open reader is never refused: then no result matches.
std::int16_t RefusalOf(std::int16_t handle, bool argumentRefused, bool argumentsFirst = false);
constexpr std::int16_t kNoRefusal = 0x7FFF;

// The checks of a call whose reply the command could not use: a refusal
// sent nothing and has the right code; a failure wrote nothing.
void CheckNotUsable(const Outcome& o, std::int16_t result, std::int16_t handle,
                    bool argumentRefused, bool outputsUntouched, bool argumentsFirst = false);

// Reply byte i as the command reads it: 0 beyond what arrived.
inline std::uint8_t ReplyAt(const Exchange& e, std::size_t i) {
    return i < e.m ? e.payload[i] : 0;
}

// A caller buffer between two guard fences. Kept in static storage, so that
// AddressSanitizer also watches beyond the fences.
template <std::size_t N>
struct alignas(16) Guarded {
    static constexpr std::uint8_t kFence = 0x5A;
    std::uint8_t before[16];
    std::uint8_t bytes[N];
    std::uint8_t after[16];

    void Fill(std::uint8_t value) {
        std::memset(before, kFence, sizeof before);
        std::memset(bytes, value, N);
        std::memset(after, kFence, sizeof after);
        fill_ = value;
        window_ = N;
    }
    // Refills only the first `count` bytes, for a large buffer of which a
    // call can reach no more than that many; the rest keeps its earlier fill,
    // and the untouched checks look only at the window.
    void FillWindow(std::uint8_t value, std::size_t count) {
        if (value != fill_ || window_ == 0) Fill(value);
        window_ = count < N ? count : N;
        std::memset(bytes, value, window_);
    }
    bool FencesIntact() const {
        for (std::size_t i = 0; i < 16; ++i) {
            if (before[i] != kFence || after[i] != kFence) return false;
        }
        return true;
    }
    // True when nothing from index `from` on was written.
    bool UntouchedFrom(std::size_t from) const {
        for (std::size_t i = from; i < window_; ++i) {
            if (bytes[i] != fill_) return false;
        }
        return true;
    }
    bool Untouched() const { return UntouchedFrom(0); }
    bool Equals(const std::uint8_t* expected, std::size_t count) const {
        return std::memcmp(bytes, expected, count) == 0;
    }

private:
    std::uint8_t fill_ = 0;
    std::size_t window_ = 0;
};

}  // namespace zelvorn::fuzz
