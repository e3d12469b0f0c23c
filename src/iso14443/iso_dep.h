// The ISO/IEC 14443-4 block protocol (ISO-DEP) with one card on one reader.
//
// An engine owns what the protocol remembers between calls: the number of
// the next block and the card's frame size. The exported PICC_* functions
// share one engine for the whole process (IsoDep_ProcessEngine), as their
// contract says; a program that drives several readers at once, such as the
// PC/SC driver, gives each reader an engine of its own so that their block
// numbers never mix. An engine serves one caller at a time: it takes no lock.
#pragma once

#include <cstddef>
#include <cstdint>

#include "iso14443/protocol_state.h"
#include "transport/transport.h"

namespace zelvorn {

// The longest ATS a reader can deliver in one telegram reply.
constexpr std::size_t kMaxAtsLength = kMaxReplyData;

class IsoDepEngine {
public:
    // Block number 0 and FSC 16: the state the library is loaded with.
    constexpr IsoDepEngine() = default;

    // Starts numbering afresh at 0 with the frame size for fsci (16 for an
    // FSCI outside 0..8). Returns the frame size.
    std::int16_t InitBlockNumber(std::int16_t fsci);

    // As InitBlockNumber, but sized the way ISO/IEC 14443-4 counts a frame:
    // the PCB and the two CRC bytes are part of the card's frame size, so an
    // I-block carries at most FSC - 3 APDU bytes. For callers that serve any
    // card (the PC/SC driver) rather than the exported functions' contract.
    std::int16_t InitBlockNumberStrict(std::int16_t fsci) {
        state_ = {0, static_cast<std::int16_t>(Fsc_ForFsci(fsci) - kFrameOverhead)};
        return state_.fsc;
    }
    static constexpr std::int16_t kFrameOverhead = 3;

    // Sends RATS announcing fsdi, capped at fsdiLimit, and CID 0. The
    // exported function keeps the cap at 4; a caller that knows the reader
    // takes back larger frames may raise it (at most 8). atsLength is
    // required: 48 on entry, the ATS length on success. ats is optional and
    // needs room for kMaxAtsLength bytes. Changes no protocol state.
    static constexpr std::uint8_t kExportedFsdiLimit = 4;
    std::int16_t Rats(std::int16_t handle, std::uint8_t fsdi, std::uint8_t* atsLength,
                      std::uint8_t* ats, std::uint8_t fsdiLimit = kExportedFsdiLimit) const;

    // Asks whether the card is still there in the middle of a session without
    // disturbing it: R(NAK) with the number of the block we would send next,
    // which a card that took our last block answers with R(ACK), changing
    // nothing. RESULT_OK when the card answered with a block.
    std::int16_t Probe(std::int16_t handle, std::int32_t optionFlag) const;

    // Sends one command APDU and takes the response APDU, chaining both ways,
    // answering WTX and resending on R(NAK). apduLength counts down as the
    // card accepts blocks; responseLength counts what was delivered. A
    // response that would not fit responseCapacity bytes ends the exchange
    // with ERR_FAILURE, nothing written beyond the capacity.
    std::int16_t Exchange(std::int16_t handle, std::int32_t optionFlag, std::int16_t* apduLength,
                          const std::uint8_t* apdu, std::int16_t* responseLength,
                          std::uint8_t* response, std::size_t responseCapacity);

    // Sends S(DESELECT); the card's answer is not examined.
    std::int16_t Deselect(std::int16_t handle, std::int32_t optionFlag) const;

    ProtocolState State() const { return state_; }

private:
    ProtocolState state_ = kProtocolStateAtLoad;
};

// The engine behind the exported PICC_* functions.
IsoDepEngine& IsoDep_ProcessEngine();

}  // namespace zelvorn
