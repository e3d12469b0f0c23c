// What the firmware needs from a card in its field.
//
// Every card type lives in a file of its own and overrides the operations it
// understands; the rest answer kStatusNotSupported (or, for raw frames, stay
// silent), as a card of another technology would.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "commands/protocol_table.h"
#include "transport/transport.h"

namespace zelvorn::virt {

using Bytes = std::vector<std::uint8_t>;

// How a card is reached over the air.
enum class AirInterface : std::uint8_t {
    TypeA,      // found by the single select, the list and the select by serial number
    TypeB,      // answers the ATQB request
    AskTicket,  // addressed directly by the ticket sector commands
};

enum class KeyKind : std::uint8_t { A, B };

struct CardKind;  // virtual/cards/registry.h

// Longest card answer one telegram reply carries.
constexpr std::size_t kMaxCardAnswer = kMaxReplyData;

class Card {
public:
    virtual ~Card() = default;

    // What kind of card this is, as scenario and state files name it.
    virtual const CardKind& Kind() const = 0;
    virtual AirInterface Air() const = 0;
    // The card type byte the reader reports for it (for type A cards, the SAK).
    virtual std::uint8_t TypeByte() const = 0;
    // 4, 7 or 10 bytes for type A cards; the PUPI or ticket serial otherwise.
    virtual const Bytes& Serial() const = 0;

    // The card has just been powered (field switched on) or has been dropped by
    // the reader in favour of another card: every session state is forgotten.
    virtual void PowerUp() = 0;
    // Anticollision has chosen this card; it is now active.
    virtual void Activate() {}

    // MIFARE Classic memory. Block numbers are absolute; values host integers.
    virtual StatusWord Authenticate(std::uint8_t /*sector*/, KeyKind /*kind*/,
                                    const std::uint8_t* /*key6*/) {
        return kStatusNotSupported;
    }
    virtual StatusWord ReadBlock(std::uint8_t /*block*/, std::uint8_t* /*out16*/) {
        return kStatusNotSupported;
    }
    // echo16 receives the block as it reads back after the write.
    virtual StatusWord WriteBlock(std::uint8_t /*block*/, const std::uint8_t* /*in16*/,
                                  std::uint8_t* /*echo16*/) {
        return kStatusNotSupported;
    }
    virtual StatusWord ReadValue(std::uint8_t /*block*/, std::int32_t* /*value*/) {
        return kStatusNotSupported;
    }
    virtual StatusWord WriteValue(std::uint8_t /*block*/, std::int32_t /*value*/) {
        return kStatusNotSupported;
    }
    // Increment (positive delta) or decrement (negative delta is not used:
    // decrement passes its amount with decrement set).
    virtual StatusWord ChangeValue(std::uint8_t /*block*/, std::int32_t /*amount*/,
                                   bool /*decrement*/, std::int32_t* /*result*/) {
        return kStatusNotSupported;
    }
    virtual StatusWord CopyValue(std::uint8_t /*source*/, std::uint8_t /*target*/,
                                 std::int32_t* /*value*/) {
        return kStatusNotSupported;
    }

    // One raw frame to the card (the bytes a telegram carries) and its answer.
    // Returns false when the card stays silent.
    virtual bool Transceive(std::uint8_t /*option*/, const std::uint8_t* /*in*/,
                            std::size_t /*length*/, Bytes& /*answer*/) {
        return false;
    }

    // Type B: the 12-byte answer to the request.
    virtual StatusWord Atqb(std::uint8_t* /*out12*/) { return kStatusNotSupported; }

    // ASK tickets: 2-byte sectors.
    virtual StatusWord AskRead(std::uint8_t /*sector*/, std::uint8_t* /*out*/,
                               std::size_t /*sectors*/) {
        return kStatusNotSupported;
    }
    virtual StatusWord AskWrite(std::uint8_t /*command*/, std::uint8_t /*sector*/,
                                const std::uint8_t* /*in2*/, std::uint8_t* /*readBack2*/) {
        return kStatusNotSupported;
    }
};

}  // namespace zelvorn::virt
