// One representative call of every exported function, each with the reply a
// well-behaved reader gives it, shared by the timing benchmarks, the
// instruction-count driver and the transfer and allocation checks.
#pragma once

#include <cstdint>
#include <vector>

#include "bench/zero_device.h"

namespace zelvorn::bench {

struct Case {
    const char* name;    // the exported function, with the APDU length for PICC_Xch_APDU
    const char* family;  // the part of the interface it belongs to
    PreparedFrame reply;
    Responder responder;  // used instead of reply when set
    std::int16_t (*call)();
    // Control transfers one call makes: one per exchange.
    unsigned exchanges;
    // Length of the command APDU, for PICC_Xch_APDU; 0 otherwise.
    unsigned apduLength = 0;
    // Run by Prepare after the device is set up (protocol state, say).
    void (*setup)() = nullptr;
    // Heap blocks one call takes. Only opening a reader has one: the reader's
    // context, which lives until the reader is closed. Exchanges take none.
    unsigned allocations = 0;
};

// The cases in a fixed order: reader control, MIFARE, several cards, ASK,
// ISO/IEC 14443-4. Built once, on first use.
const std::vector<Case>& Cases();

// The case of that name, or null.
const Case* FindCase(const char* name);

// Opens the zero-latency reader as handle 0 (once) and points the device at
// the case's reply.
void Prepare(const Case& c);

// The APDU lengths the PICC_Xch_APDU series covers.
const std::vector<unsigned>& ApduLengths();

}  // namespace zelvorn::bench
