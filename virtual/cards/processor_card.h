// An ISO/IEC 14443-4 processor card of type A: RATS and ATS, the half-duplex
// block protocol (I-, R- and S-blocks, chaining both ways, block numbers) and
// the file-system application behind it, with misbehaviour on demand for
// tests of the host's error recovery.
#pragma once

#include <cstdint>

#include "virtual/card.h"
#include "virtual/cards/file_system.h"

namespace zelvorn::virt {

// Ways the card can be told to stray from the smooth course. They hold until
// changed. Block indices count the I-blocks of one command APDU from 0.
struct ProtocolQuirks {
    unsigned wtxBeforeAnswer = 0;   // S(WTX) requests before the first block of every response
    unsigned wtxBeforeChained = 0;  // S(WTX) requests before each further chained response block
    std::uint8_t wtxm = 0x01;       // the multiplier the requests carry
    int nakOnBlock = -1;            // answer this I-block with R(NAK) ...
    unsigned nakTimes = 1;          // ... this many times before taking it
    int wrongNumberOnBlock = -1;    // answer this I-block with the other block number
    // Count PCB, CID and CRC into the frame size limit, as ISO/IEC 14443-4
    // reads it. Off by default: then a block may carry FSC bytes of INF.
    bool strictFrameSize = false;
};

// What the card has seen, for tests.
struct ProtocolCounters {
    unsigned rats = 0;
    unsigned iBlocks = 0;       // every I-block received, repeats included
    unsigned ackBlocks = 0;     // R(ACK) received
    unsigned nakBlocks = 0;     // R(NAK) received
    unsigned wtxResponses = 0;  // S(WTX) responses received
    unsigned deselects = 0;
    unsigned ignored = 0;  // frames the card did not answer
};

class ProcessorCard : public Card {
public:
    // fsci: the card's frame size (its FSC) as announced in the ATS.
    ProcessorCard(Bytes serial, FileSystemApp app, std::uint8_t fsci = 2,
                  Bytes historical = {0x5A, 0x45, 0x4C});

    const CardKind& Kind() const override;
    AirInterface Air() const override { return AirInterface::TypeA; }
    std::uint8_t TypeByte() const override { return 0x20; }
    const Bytes& Serial() const override { return serial_; }
    void PowerUp() override;
    void Activate() override;
    bool Transceive(std::uint8_t option, const std::uint8_t* in, std::size_t length,
                    Bytes& answer) override;

    Bytes Ats() const;
    std::size_t Fsc() const;
    std::size_t Fsd() const { return fsd_; }
    FileSystemApp& App() { return app_; }
    const FileSystemApp& App() const { return app_; }
    ProtocolQuirks& Quirks() { return quirks_; }
    const ProtocolCounters& Counters() const { return counters_; }
    void ClearCounters() { counters_ = {}; }

private:
    enum class State : std::uint8_t { Idle, Active, Protocol, Halted };

    bool OnRats(const std::uint8_t* in, std::size_t length, Bytes& answer);
    bool OnIBlock(std::uint8_t pcb, const std::uint8_t* inf, std::size_t length, Bytes& answer);
    bool OnRBlock(std::uint8_t pcb, Bytes& answer);
    bool OnSBlock(std::uint8_t pcb, const std::uint8_t* inf, std::size_t length, Bytes& answer);
    // Sends block, or first the S(WTX) requests that are due before it.
    void SendOrDefer(Bytes block, unsigned wtxCount, Bytes& answer);
    Bytes NextResponseBlock(bool wrongNumber);
    Bytes Header(std::uint8_t pcb) const;
    void Remember(const Bytes& block, Bytes& answer);

    Bytes serial_;
    FileSystemApp app_;
    std::uint8_t fsci_;
    Bytes historical_;
    ProtocolQuirks quirks_;
    ProtocolCounters counters_;

    State state_ = State::Idle;
    std::uint8_t blockNumber_ = 1;
    std::size_t fsd_ = 16;
    bool withCid_ = false;  // the block being answered carried a CID byte
    Bytes command_;         // APDU being gathered from chained I-blocks
    unsigned blockIndex_ = 0;
    unsigned naksGiven_ = 0;
    Bytes response_;  // response APDU being sent
    std::size_t responseSent_ = 0;
    Bytes deferred_;  // block held back behind S(WTX) requests
    unsigned wtxDue_ = 0;
    Bytes lastBlock_;  // the last block sent, for retransmission
};

// The kind "iso14443-4".
extern const CardKind kProcessorCardKind;

}  // namespace zelvorn::virt
