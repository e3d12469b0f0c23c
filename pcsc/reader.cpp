// One reader as pcscd sees it: opening and closing, power, the choice of
// the card in the slot, and the dispatch of what a client sends. Detection
// and presence (presence.cpp), the pseudo-APDUs (pseudo_apdu.cpp) and the
// ISO/IEC 14443-4 session (iso_dep_session.cpp) stand in files of their own.
#include "pcsc/reader.h"

#include <algorithm>
#include <cstring>

#include "pcsc/status_words.h"

namespace zelvorn::pcsc {

RESPONSECODE Reader::Open(const PathChar* path) {
    // The path is kept for opening it again: it is copied up to its end and
    // never read beyond, and one that does not fit is refused rather than cut.
    std::size_t length = 0;
    while (length < kDevicePathChars && path[length] != 0) ++length;
    if (length == kDevicePathChars) return IFD_COMMUNICATION_ERROR;
    const std::int16_t handle = door::Open(path);
    if (handle < 0) return IFD_COMMUNICATION_ERROR;
    *this = Reader{};
    handle_ = slot_ = handle;
    std::copy(path, path + length + 1, path_);
    return IFD_SUCCESS;
}

void Reader::Close() {
    if (handle_ >= 0) {
        EndIsoDep();
        door::Close(handle_);
    }
    *this = Reader{};
}

RESPONSECODE Reader::PowerUp(std::uint8_t* atr, DWORD* atrLength) {
    if (removed_ || handle_ < 0) return IFD_NO_SUCH_DEVICE;
    powered_ = false;
    isoDep_ = false;
    auth_ = {};
    sessionLost_ = false;
    active_ = wanted_;
    // A cold start: the field goes off and on, so every card in it starts
    // afresh, as a contact card does when its power is cut.
    (void)door::Field(handle_, false);
    (void)door::Field(handle_, true);
    if (!Detect(card_)) return IFD_ERROR_POWER_ACTION;
    switch (card_.kind) {
        case CardKind::MifareClassic: {
            const std::uint16_t name = card_.blocks == 256  ? kCardMifare4K
                                       : card_.blocks == 20 ? kCardMifareMini
                                                            : kCardMifare1K;
            card_.atrLength = Atr_StorageCard(kStandardIso14443A3, name, card_.atr);
            break;
        }
        case CardKind::Type2:
            card_.atrLength =
                Atr_StorageCard(kStandardIso14443A3, kCardMifareUltralight, card_.atr);
            break;
        case CardKind::IsoDepA:
            if (!StartIsoDep()) return IFD_ERROR_POWER_ACTION;
            card_.atrLength =
                Atr_FromHistorical(card_.historical, card_.historicalCount, card_.atr);
            break;
        case CardKind::TypeB:
            // No ATTRIB goes to the card, so no MBLI is known: 0.
            card_.atrLength = Atr_TypeB(card_.atqb + 5, card_.atqb + 9, 0, card_.atr);
            break;
        default:
            card_.atrLength = Atr_FromHistorical(nullptr, 0, card_.atr);
            break;
    }
    if (*atrLength < card_.atrLength) return IFD_ERROR_INSUFFICIENT_BUFFER;
    std::memcpy(atr, card_.atr, card_.atrLength);
    *atrLength = static_cast<DWORD>(card_.atrLength);
    powered_ = true;
    return IFD_SUCCESS;
}

void Reader::PowerDown() {
    EndIsoDep();
    powered_ = false;
    auth_ = {};
}

RESPONSECODE Reader::ChooseCard(const std::uint8_t* serial, std::size_t length) {
    if (length != 0 && length != 4 && length != 7 && length != 10) return IFD_COMMUNICATION_ERROR;
    if (length != 0 && serial == nullptr) return IFD_COMMUNICATION_ERROR;
    wanted_ = Choice{};
    wanted_.length = static_cast<std::uint8_t>(length);
    if (length != 0) std::memcpy(wanted_.serial, serial, length);
    return IFD_SUCCESS;
}

RESPONSECODE Reader::ListCards(std::uint8_t* out, std::size_t capacity, std::size_t* written) {
    *written = 0;
    if (removed_ || handle_ < 0) return IFD_NO_SUCH_DEVICE;
    // The reader's anticollision leaves no card selected and wakes the
    // selected one afresh. A processor card would lose its session (its
    // selected application, its block numbers) without its client knowing:
    // refused while one runs.
    if (powered_ && isoDep_) return IFD_COMMUNICATION_ERROR;
    door::CardList list;
    const CommandResult result = door::ListCards(handle_, list);
    // A storage card in use is selected again and its login repeated, as
    // the presence poll does; a type B card was not involved.
    if (powered_ && card_.kind != CardKind::TypeB && !Reselect()) (void)CardLost();
    if (!result.Delivered()) return IFD_COMMUNICATION_ERROR;
    // Only entries that could be chosen are listed.
    const auto listed = [&list](std::size_t i) {
        const std::uint8_t length = list.cards[i].serialLength;
        return length == 4 || length == 7 || length == 10;
    };
    std::size_t need = 0;
    for (std::size_t i = 0; i < list.count; ++i) {
        need += listed(i) ? 2u + list.cards[i].serialLength : 0u;
    }
    if (need > capacity || (need > 0 && out == nullptr)) return IFD_ERROR_INSUFFICIENT_BUFFER;
    std::size_t at = 0;
    for (std::size_t i = 0; i < list.count; ++i) {
        if (!listed(i)) continue;
        const door::CardEntry& card = list.cards[i];
        out[at++] = card.type;
        out[at++] = card.serialLength;
        std::memcpy(out + at, card.serial, card.serialLength);
        at += card.serialLength;
    }
    *written = at;
    return IFD_SUCCESS;
}

RESPONSECODE Reader::Transmit(const std::uint8_t* command, std::size_t length,
                              std::uint8_t* response, std::size_t* responseLength) {
    if (removed_ || handle_ < 0) return IFD_NO_SUCH_DEVICE;
    if (!powered_) return IFD_ICC_NOT_PRESENT;
    if (command == nullptr || response == nullptr) return IFD_COMMUNICATION_ERROR;

    // APDUs of any class but FF go to a processor card as they are.
    if (length >= 4 && command[0] != kClassPseudo && isoDep_ && length <= kMostApdu) {
        return ExchangeApdu(command, length, response, responseLength);
    }
    Reply reply;
    reply.Sw(PseudoApdu(command, length, reply));
    if (cardGone_) return CardLost();
    if (reply.length > *responseLength) return IFD_ERROR_INSUFFICIENT_BUFFER;
    std::memcpy(response, reply.bytes, reply.length);
    *responseLength = reply.length;
    return IFD_SUCCESS;
}

}  // namespace zelvorn::pcsc
