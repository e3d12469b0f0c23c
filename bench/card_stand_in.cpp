// A processor card reduced to the block protocol, answering at frame level
// from replies prepared once: every chaining I-block gets R(ACK) with its own
// block number, the last one an I-block with the same number carrying the
// response APDU. It decides by looking at one byte of the command frame, so
// its own cost stays far below the library's.
#include <cstdio>
#include <cstring>

#include "bench/cases.h"
#include "zelvorn.h"
#include "transport/transport.h"

namespace zelvorn::bench {

namespace {

constexpr std::int16_t kHandle = 0;

// The block's PCB is the first byte for the card, telegram data byte 2,
// request packet byte 7: frame characters 15 and 16.
constexpr std::size_t kPcbAt = 15;

struct CardReplies {
    PreparedFrame rAck[2];
    PreparedFrame response[2];  // I-block with the response APDU 90 00
    PreparedFrame ats;
    PreparedFrame deselect;
    PreparedFrame silence;  // an empty telegram answer: the card said nothing
};

const CardReplies& Replies() {
    static const CardReplies replies = [] {
        CardReplies r;
        for (std::uint8_t n = 0; n < 2; ++n) {
            const std::uint8_t ack[] = {static_cast<std::uint8_t>(0xA2 | n)};
            r.rAck[n] = ReaderReply(ack, sizeof ack);
            const std::uint8_t block[] = {static_cast<std::uint8_t>(0x02 | n), 0x90, 0x00};
            r.response[n] = ReaderReply(block, sizeof block);
        }
        const std::uint8_t ats[] = {0x05, 0x78, 0x80, 0x70, 0x02};
        r.ats = ReaderReply(ats, sizeof ats);
        const std::uint8_t deselect[] = {0xC2};
        r.deselect = ReaderReply(deselect, sizeof deselect);
        r.silence = ReaderReply(nullptr, 0);
        return r;
    }();
    return replies;
}

const PreparedFrame& Answer(const std::uint8_t* frame, std::size_t length) {
    const CardReplies& r = Replies();
    if (length < kPcbAt + 2) return r.silence;
    const std::uint8_t pcb = frame::DecodePair(frame[kPcbAt], frame[kPcbAt + 1]);
    if ((pcb & 0xE2) == 0x02) {
        const std::uint8_t n = pcb & 0x01;
        return (pcb & 0x10) != 0 ? r.rAck[n] : r.response[n];
    }
    if (pcb == 0xE0) return r.ats;
    if ((pcb & 0xF7) == 0xC2) return r.deselect;
    return r.silence;
}

// The largest frame size, so that every block carries as much as a
// telegram holds.
void LargestFrameSize() {
    PICC_InitBlockNumber(8);
}

std::uint8_t apdu[1000];
std::uint8_t response[1024];

template <unsigned kLength>
std::int16_t Exchange() {
    std::int16_t apduLength = kLength;
    std::int16_t responseLength = 0;
    return PICC_Xch_APDU(kHandle, 0, &apduLength, apdu, &responseLength, response);
}

// Blocks an APDU of that length takes: at most 118 bytes each.
constexpr unsigned BlocksFor(unsigned length) {
    return (length + 117) / 118;
}

template <unsigned kLength>
void AddExchange(std::vector<Case>& cases) {
    static char name[32];
    std::snprintf(name, sizeof name, "PICC_Xch_APDU/%u", kLength);
    Case c{name, "ISO/IEC 14443-4", {}, Answer, Exchange<kLength>, BlocksFor(kLength), kLength};
    c.setup = LargestFrameSize;
    cases.push_back(c);
}

template <unsigned... kLengths>
void AddExchanges(std::vector<Case>& cases) {
    (AddExchange<kLengths>(cases), ...);
}

}  // namespace

void AddBlockTransmission(std::vector<Case>& cases) {
    const char* f = "ISO/IEC 14443-4";
    Case init{
        "PICC_InitBlockNumber",
        f,
        {},
        Answer,
        [] {
            // The FSC it sets is its result; a call that sets another has failed.
            return static_cast<std::int16_t>(PICC_InitBlockNumber(8) == 256 ? 0 : ERR_FAILURE);
        },
        0};
    cases.push_back(init);
    Case rats{"PICC_RATS",
              f,
              {},
              Answer,
              [] {
                  std::uint8_t atsLength = 0;
                  return PICC_RATS(kHandle, 5, &atsLength, response);
              },
              1};
    cases.push_back(rats);
    Case deselect{"PICC_Deselect", f, {}, Answer, [] { return PICC_Deselect(kHandle, 0); }, 1};
    cases.push_back(deselect);
    AddExchanges<16, 50, 100, 118, 150, 200, 236, 300, 400, 500, 600, 700, 800, 900, 1000>(cases);
}

const std::vector<unsigned>& ApduLengths() {
    static const std::vector<unsigned> lengths = [] {
        std::vector<unsigned> l;
        for (const Case& c : Cases()) {
            if (c.apduLength != 0) l.push_back(c.apduLength);
        }
        return l;
    }();
    return lengths;
}

}  // namespace zelvorn::bench
