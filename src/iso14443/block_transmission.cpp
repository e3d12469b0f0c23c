// ISO/IEC 14443-4 block transmission. The reader knows nothing of the block
// protocol: we build every block ourselves and hand it to the card as the
// data of one telegram, whose reply carries the card's answer block.
#include <algorithm>
#include <cstring>
#include <limits>

#include "commands/telegram.h"
#include "iso14443/iso_dep.h"
#include "zelvorn.h"

namespace zelvorn {
namespace {

// Protocol control bytes of the blocks we send. Where a block has a number,
// it goes into bit 0.
constexpr std::uint8_t kPcbRats = 0xE0;  // the RATS command byte
constexpr std::uint8_t kPcbIBlock = 0x02;
constexpr std::uint8_t kPcbRAck = 0xA2;
constexpr std::uint8_t kPcbWtxResponse = 0xF2;
constexpr std::uint8_t kPcbDeselect = 0xC2;

// Bits of a PCB. 0x10 is the chaining bit of an I-block and the NAK bit of
// an R-block.
constexpr std::uint8_t kPcbChaining = 0x10;
constexpr std::uint8_t kPcbNak = 0x10;
constexpr std::uint8_t kPcbCid = 0x08;
constexpr std::uint8_t kPcbBlockNumber = 0x01;

// RATS always goes with option byte 0x0F; the other blocks with 0x0F or
// 0x0C as the caller's flag asks. The reader gives the byte its meaning.
constexpr std::uint8_t kOptionRats = 0x0F;
std::uint8_t OptionByte(std::int32_t optionFlag) {
    return optionFlag != 0 ? 0x0F : 0x0C;
}

// RATS carries FSDI in its high nibble and CID 0 in its low one; FSDI
// stops at 8 (256 bytes).
constexpr std::uint8_t kMaxFsdi = 8;

// What atsLength reads whenever no ATS was delivered.
constexpr std::uint8_t kAtsLengthNone = 48;

// A card that answers R(NAK) to one chaining block gets it this many times.
constexpr int kSendingsPerBlock = 8;

// One telegram carries the PCB and at most this many APDU bytes, whatever
// frame size the card declares.
constexpr std::size_t kMaxInfPerBlock = kMaxTelegramPayload - 1;

// responseLength is a signed 16-bit count, whatever room the caller has.
constexpr std::size_t kMaxResponseLength = std::numeric_limits<std::int16_t>::max();

// A block as it goes to the card: PCB, then INF.
struct OutgoingBlock {
    const std::uint8_t* bytes;
    std::size_t length;
};

// Sends one block as a telegram and takes the card's answer into reply.
// Returns the call's refusal, the transport result or the reader status
// unchanged, 0 when the reader carried the telegram out.
std::int16_t SendBlock(const CommandCall& call, std::uint8_t option, OutgoingBlock block,
                       ReplyBuffer& reply) {
    std::uint8_t telegram[kMaxRequestData];
    const std::size_t length = Telegram_Compose(option, block.bytes, block.length, telegram);
    if (length == 0) return ERR_FAILURE;  // never built larger than a telegram carries
    return Telegram_Exchange(call, telegram, length, reply);
}

// The card's answer, sorted by block type. The NAD bit is never looked at.
enum class AnswerKind { IBlock, RAck, RNak, WtxRequest, Other };

struct CardAnswer {
    AnswerKind kind;
    std::uint8_t blockNumber;  // of an I- or R-block
    bool moreFollow;           // an I-block whose chaining bit is set
    const std::uint8_t* inf;   // what follows the PCB and, if present, the CID byte
    std::size_t infLength;
};

AnswerKind KindOf(std::uint8_t pcb) {
    // I-block: type bits 000, bit 1 set; chaining, CID and NAD bits ignored.
    if ((pcb & 0xE2) == 0x02) return AnswerKind::IBlock;
    // R-block: type bits 101, bit 2 clear, bit 1 set; CID bit ignored.
    if ((pcb & 0xE6) == 0xA2) return (pcb & kPcbNak) != 0 ? AnswerKind::RNak : AnswerKind::RAck;
    // S(WTX) request; CID bit ignored.
    if ((pcb & 0xF7) == 0xF2) return AnswerKind::WtxRequest;
    return AnswerKind::Other;
}

// Reads the card's answer out of a telegram reply. False when the reply is
// no well-formed block: empty, shorter than it declares, a CID bit without
// its CID byte, or a WTX request without its WTXM byte.
bool ReadAnswer(const ReplyBuffer& reply, CardAnswer& answer) {
    const std::size_t length = reply.DeclaredDataLength();
    if (length == 0 || !reply.DeclaredDataReceived()) return false;
    const std::uint8_t* bytes = reply.Data();
    const std::uint8_t pcb = bytes[0];
    const std::size_t header = (pcb & kPcbCid) != 0 ? 2 : 1;
    if (length < header) return false;
    answer = CardAnswer{KindOf(pcb), static_cast<std::uint8_t>(pcb & kPcbBlockNumber),
                        (pcb & kPcbChaining) != 0, bytes + header, length - header};
    return answer.kind != AnswerKind::WtxRequest || answer.infLength > 0;
}

// What the card's next answer answers: the block we sent last, or the
// block a WTX response of ours stood in for.
enum class Awaiting {
    ChainAck,       // a chaining I-block, to be acknowledged by R(ACK)
    ResponseStart,  // the last I-block of the APDU, to be answered by an I-block
    ResponseBlock,  // an R(ACK) asking for the next block of a chained response
};

// What to do next.
enum class Step {
    SendNextBlock,   // the card took the chaining block; go on with the APDU
    SendBlockAgain,  // R(NAK): the same block once more
    AnswerWtx,       // the card asks for more time: grant it
    ResponseBegins,  // the card took the last block and answers with data
    ResponseGoesOn,  // the next block of a chained response
    Fail,            // the answer breaks the block protocol
};

// The block protocol, seen from our side. "Ours" is the number of the last
// I-block we sent.
//
//   answer             | chaining I-block | last I-block    | R(ACK)
//   -------------------+------------------+-----------------+-----------------
//   I-block, ours      | fail             | response begins | response goes on
//   I-block, not ours  | fail             | fail            | response goes on
//   R(ACK), ours       | next block       | fail            | fail
//   R(NAK), ours       | send it again    | fail            | fail
//   R-block, not ours  | fail             | fail            | fail
//   S(WTX) request     | answer WTX       | answer WTX      | answer WTX
//   anything else      | fail             | fail            | fail
//
// After a WTX response the card's next answer is judged as an answer to the
// block the WTX interrupted, so the column does not change.
Step Judge(Awaiting awaiting, const CardAnswer& answer, std::uint8_t ourNumber) {
    const bool ours = answer.blockNumber == ourNumber;
    if (answer.kind == AnswerKind::WtxRequest) return Step::AnswerWtx;
    switch (awaiting) {
        case Awaiting::ChainAck:
            if (answer.kind == AnswerKind::RAck && ours) return Step::SendNextBlock;
            if (answer.kind == AnswerKind::RNak && ours) return Step::SendBlockAgain;
            return Step::Fail;
        case Awaiting::ResponseStart:
            if (answer.kind == AnswerKind::IBlock && ours) return Step::ResponseBegins;
            return Step::Fail;
        case Awaiting::ResponseBlock:
            if (answer.kind == AnswerKind::IBlock) return Step::ResponseGoesOn;
            return Step::Fail;
    }
    return Step::Fail;
}

// The number for the block being built now; the next block built carries the
// other one. Every I-block and R(ACK) takes one; a WTX response takes none.
std::uint8_t TakeBlockNumber(ProtocolState& state) {
    const std::uint8_t number = state.blockNumber;
    state.blockNumber ^= 1;
    return number;
}

// One command APDU out, its response APDU back, on one engine's state.
class ApduExchange {
public:
    ApduExchange(ProtocolState& state, const CommandCall& call, std::uint8_t option,
                 const std::uint8_t* apdu, std::int16_t* apduLength, std::int16_t* responseLength,
                 std::uint8_t* response, std::size_t responseCapacity)
        : state_(state),
          call_(call),
          option_(option),
          apdu_(apdu),
          apduLength_(apduLength),
          responseLength_(responseLength),
          response_(response),
          responseCapacity_(std::min(responseCapacity, kMaxResponseLength)) {}

    std::int16_t Run() {
        *responseLength_ = 0;
        if (*apduLength_ <= 0) return ERR_FAILURE;

        OutgoingBlock outgoing = BuildIBlock(TakeBlockNumber(state_));
        for (;;) {
            const std::int16_t result = SendBlock(call_, option_, outgoing, reply_);
            if (result != RESULT_OK) return result;
            CardAnswer answer{};
            if (!ReadAnswer(reply_, answer)) return ERR_FAILURE;

            switch (Judge(awaiting_, answer, iBlockNumber_)) {
                case Step::SendNextBlock:
                    AcceptIBlock();
                    outgoing = BuildIBlock(TakeBlockNumber(state_));
                    break;
                case Step::SendBlockAgain:
                    if (--sendingsLeft_ == 0) return ERR_FAILURE;
                    outgoing = IBlock();
                    break;
                case Step::AnswerWtx:
                    // Same option byte, no block number: WTX does not advance
                    // the numbering.
                    outgoing = BuildWtxResponse(answer.inf[0]);
                    break;
                case Step::ResponseBegins:
                    AcceptIBlock();
                    [[fallthrough]];
                case Step::ResponseGoesOn:
                    if (!AppendResponse(answer)) return ERR_FAILURE;
                    if (!answer.moreFollow) return RESULT_OK;
                    outgoing = BuildRAck(TakeBlockNumber(state_));
                    awaiting_ = Awaiting::ResponseBlock;
                    break;
                case Step::Fail:
                    return ERR_FAILURE;
            }
        }
    }

private:
    // Cuts the next I-block off the APDU. A block carries at most the card's
    // FSC bytes (the PCB and whatever the reader adds come on top) and never
    // more than one telegram holds; an APDU of exactly that size goes
    // unchained.
    OutgoingBlock BuildIBlock(std::uint8_t blockNumber) {
        const auto fsc = static_cast<std::size_t>(std::max<std::int16_t>(state_.fsc, 1));
        const std::size_t limit = std::min(fsc, kMaxInfPerBlock);
        const auto remaining = static_cast<std::size_t>(*apduLength_);
        const bool chaining = remaining > limit;
        infLength_ = chaining ? limit : remaining;
        iBlockNumber_ = blockNumber;
        iBlock_[0] =
            static_cast<std::uint8_t>(kPcbIBlock | (chaining ? kPcbChaining : 0) | blockNumber);
        std::memcpy(iBlock_ + 1, apdu_, infLength_);
        sendingsLeft_ = kSendingsPerBlock;
        awaiting_ = chaining ? Awaiting::ChainAck : Awaiting::ResponseStart;
        return IBlock();
    }

    OutgoingBlock IBlock() const { return {iBlock_, infLength_ + 1}; }

    OutgoingBlock BuildRAck(std::uint8_t blockNumber) {
        rAck_[0] = static_cast<std::uint8_t>(kPcbRAck | blockNumber);
        return {rAck_, sizeof rAck_};
    }

    OutgoingBlock BuildWtxResponse(std::uint8_t wtxm) {
        wtxResponse_[1] = wtxm;
        return {wtxResponse_, sizeof wtxResponse_};
    }

    // The card took the current I-block: apduLength now counts from the
    // next one.
    void AcceptIBlock() {
        apdu_ += infLength_;
        *apduLength_ = static_cast<std::int16_t>(*apduLength_ - static_cast<int>(infLength_));
    }

    bool AppendResponse(const CardAnswer& answer) {
        const auto have = static_cast<std::size_t>(*responseLength_);
        if (answer.infLength > responseCapacity_ - have) return false;
        if (answer.infLength > 0) std::memcpy(response_ + have, answer.inf, answer.infLength);
        *responseLength_ = static_cast<std::int16_t>(have + answer.infLength);
        return true;
    }

    ProtocolState& state_;
    const CommandCall call_;
    const std::uint8_t option_;
    const std::uint8_t* apdu_;  // the first byte of the current I-block's INF
    std::int16_t* const apduLength_;
    std::int16_t* const responseLength_;
    std::uint8_t* const response_;
    const std::size_t responseCapacity_;

    // The blocks we send, each kept here for as long as it may be sent.
    std::uint8_t iBlock_[1 + kMaxInfPerBlock] = {};
    std::size_t infLength_ = 0;
    std::uint8_t iBlockNumber_ = 0;  // the number the current I-block carries
    std::uint8_t rAck_[1] = {};
    std::uint8_t wtxResponse_[2] = {kPcbWtxResponse, 0};

    int sendingsLeft_ = kSendingsPerBlock;
    Awaiting awaiting_ = Awaiting::ResponseStart;
    Reply<kTelegramReplyCapacity> reply_;
};

}  // namespace

std::int16_t IsoDepEngine::InitBlockNumber(std::int16_t fsci) {
    state_ = {0, Fsc_ForFsci(fsci)};
    return state_.fsc;
}

std::int16_t IsoDepEngine::Rats(std::int16_t handle, std::uint8_t fsdi, std::uint8_t* atsLength,
                                std::uint8_t* ats, std::uint8_t fsdiLimit) const {
    // Without somewhere to put the length the ATS could not be delivered;
    // the ATS itself is optional.
    if (atsLength == nullptr) return ERR_INVALID_PARAMETER;
    *atsLength = kAtsLengthNone;
    const std::uint8_t rats[2] = {
        kPcbRats, static_cast<std::uint8_t>(std::min({fsdi, fsdiLimit, kMaxFsdi}) << 4)};
    Reply<kTelegramReplyCapacity> reply;
    const std::int16_t result =
        SendBlock(Command_Admit(handle), kOptionRats, {rats, sizeof rats}, reply);
    if (result != RESULT_OK) return result;
    // The ATS is taken as the reader delivers it, but never beyond the bytes
    // that actually arrived.
    if (!reply.DeclaredDataReceived()) return ERR_FAILURE;
    *atsLength = reply.DeclaredDataLength();
    if (ats != nullptr && *atsLength > 0) std::memcpy(ats, reply.Data(), *atsLength);
    return RESULT_OK;
}

std::int16_t IsoDepEngine::Exchange(std::int16_t handle, std::int32_t optionFlag,
                                    std::int16_t* apduLength, const std::uint8_t* apdu,
                                    std::int16_t* responseLength, std::uint8_t* response,
                                    std::size_t responseCapacity) {
    // Every one of these is needed: the response buffer too, since whether the
    // card answers with data is only known once it has answered.
    if (apduLength == nullptr || apdu == nullptr || responseLength == nullptr ||
        response == nullptr) {
        return ERR_INVALID_PARAMETER;
    }
    ApduExchange exchange(state_, Command_Admit(handle), OptionByte(optionFlag), apdu, apduLength,
                          responseLength, response, responseCapacity);
    return exchange.Run();
}

std::int16_t IsoDepEngine::Probe(std::int16_t handle, std::int32_t optionFlag) const {
    const std::uint8_t rNak[1] = {
        static_cast<std::uint8_t>(kPcbRAck | kPcbNak | state_.blockNumber)};
    Reply<kTelegramReplyCapacity> reply;
    const std::int16_t result =
        SendBlock(Command_Admit(handle), OptionByte(optionFlag), {rNak, sizeof rNak}, reply);
    if (result != RESULT_OK) return result;
    return reply.DeclaredDataLength() > 0 && reply.DeclaredDataReceived() ? RESULT_OK : ERR_FAILURE;
}

std::int16_t IsoDepEngine::Deselect(std::int16_t handle, std::int32_t optionFlag) const {
    const std::uint8_t deselect[1] = {kPcbDeselect};
    // The card's answer to S(DESELECT) is not examined.
    Reply<kTelegramReplyCapacity> reply;
    return SendBlock(Command_Admit(handle), OptionByte(optionFlag), {deselect, sizeof deselect},
                     reply);
}

}  // namespace zelvorn

using namespace zelvorn;

// The exported functions: the process-wide engine, and a response buffer
// whose size the caller does not tell.
extern "C" ZELVORN_API int16_t PICC_InitBlockNumber(int16_t fsci) {
    return IsoDep_ProcessEngine().InitBlockNumber(fsci);
}

extern "C" ZELVORN_API int16_t PICC_RATS(int16_t handle, uint8_t fsdi, uint8_t* atsLength,
                                         uint8_t* ats) {
    return IsoDep_ProcessEngine().Rats(handle, fsdi, atsLength, ats);
}

extern "C" ZELVORN_API int16_t PICC_Xch_APDU(int16_t handle, int32_t optionFlag,
                                             int16_t* apduLength, const uint8_t* apdu,
                                             int16_t* responseLength, uint8_t* response) {
    return IsoDep_ProcessEngine().Exchange(handle, optionFlag, apduLength, apdu, responseLength,
                                           response, kMaxResponseLength);
}

extern "C" ZELVORN_API int16_t PICC_Deselect(int16_t handle, int32_t optionFlag) {
    return IsoDep_ProcessEngine().Deselect(handle, optionFlag);
}
