// The ISO/IEC 14443-4 session with a processor card: RATS at power-up with
// the frame size the reader takes back, APDUs through the reader's own
// engine (never another reader's block numbers), S(DESELECT) at the end.
#include <algorithm>
#include <cstring>

#include "pcsc/reader.h"
#include "pcsc/status_words.h"

namespace zelvorn::pcsc {
namespace {

// The largest frame the reader takes back from a card: one telegram reply
// carries 117 bytes, so a 96-byte frame (FSDI 6, CRC included) fits and a
// 128-byte one does not.
constexpr std::uint8_t kFsdi = 6;

}  // namespace

bool Reader::StartIsoDep() {
    std::uint8_t length = 0, ats[kMaxAtsLength] = {};
    if (engine_.Rats(handle_, kFsdi, &length, ats, kFsdi) != RESULT_OK) return false;
    AtsFields fields{};
    if (!Ats_Parse(ats, length, &fields)) return false;
    engine_.InitBlockNumberStrict(fields.fsci);
    card_.historicalCount = std::min(fields.historicalCount, kMaxHistorical);
    if (card_.historicalCount > 0) {
        std::memcpy(card_.historical, fields.historical, card_.historicalCount);
    }
    isoDep_ = true;
    return true;
}

RESPONSECODE Reader::ExchangeApdu(const std::uint8_t* command, std::size_t length,
                                  std::uint8_t* response, std::size_t* responseLength) {
    auto apduLength = static_cast<std::int16_t>(length);
    std::int16_t received = 0;
    const std::int16_t result =
        engine_.Exchange(handle_, kIsoDepOption, &apduLength, command, &received, response,
                         std::min(*responseLength, kMostApdu));
    if (result == RESULT_OK) {
        *responseLength = static_cast<std::size_t>(received);
        return IFD_SUCCESS;
    }
    if (IsLibraryFailure(result) ? door::LinkLost(handle_) : ReaderStatus_CardGone(result)) {
        return CardLost();
    }
    return IFD_COMMUNICATION_ERROR;
}

void Reader::EndIsoDep() {
    if (isoDep_ && !removed_ && handle_ >= 0) (void)engine_.Deselect(handle_, kIsoDepOption);
    isoDep_ = false;
}

}  // namespace zelvorn::pcsc
