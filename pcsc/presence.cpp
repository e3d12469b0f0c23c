// Which card is in the slot, and whether it is still there: detection by
// select (a type A card, the chosen one if any) or ATQB (a type B card), and
// the presence poll, which never disturbs a session in progress.
#include <chrono>
#include <cstring>

#include "mifare/card_types.h"
#include "mifare/classic.h"
#include "mifare/type2.h"
#include "pcsc/reader.h"
#include "pcsc/status_words.h"

namespace zelvorn::pcsc {
namespace {

// The first byte of every ATQB.
constexpr std::uint8_t kAtqbFirstByte = 0x50;

bool SerialLengthValid(std::uint8_t length) {
    return length == 4 || length == 7 || length == 10;
}

}  // namespace

void Reader::ClassifyTypeA(CardInfo& card, const door::CardEntry& entry) {
    card.sak = entry.type;
    card.uidLength = entry.serialLength;
    std::memcpy(card.uid, entry.serial, entry.serialLength);
    // A card that offers ISO/IEC 14443-4 is served as a processor card even
    // when it emulates MIFARE Classic besides.
    const mifare::CardType known = mifare::CardTypeOf(entry.type);
    if (entry.type == type2::kSak) {
        card.kind = CardKind::Type2;
    } else if (known.isoDep) {
        card.kind = CardKind::IsoDepA;
    } else if (known.classicSectors > 0) {
        card.kind = CardKind::MifareClassic;
        card.blocks = static_cast<std::uint16_t>(mifare::BlockCountFor(known.classicSectors));
    } else {
        card.kind = CardKind::OtherA;
    }
}

bool Reader::Detect(CardInfo& card) {
    card = CardInfo{};
    door::CardEntry entry;
    if (active_.length != 0) {
        // A chosen card alone fills the slot: while it is away the slot is
        // empty, even with other cards in the field. The select's answer
        // must name that very card.
        if (!door::SelectBySerial(handle_, active_.serial, active_.length, &entry).Delivered() ||
            entry.serialLength != active_.length ||
            std::memcmp(entry.serial, active_.serial, active_.length) != 0) {
            return false;
        }
        ClassifyTypeA(card, entry);
        return true;
    }
    if (door::Select(handle_, entry).Delivered() && SerialLengthValid(entry.serialLength)) {
        ClassifyTypeA(card, entry);
        return true;
    }
    std::uint8_t answerLength = 0, answer[kMaxReplyData];
    if (door::ReadAtqb(handle_, answer, sizeof answer, answerLength).Delivered() &&
        answerLength >= sizeof card.atqb && answer[0] == kAtqbFirstByte) {
        card.kind = CardKind::TypeB;
        std::memcpy(card.atqb, answer, sizeof card.atqb);
        card.uidLength = 4;
        std::memcpy(card.uid, answer + 1, 4);
        return true;
    }
    return false;
}

bool Reader::SameCard(const CardInfo& a, const CardInfo& b) const {
    return a.kind == b.kind && a.uidLength == b.uidLength &&
           std::memcmp(a.uid, b.uid, a.uidLength) == 0;
}

RESPONSECODE Reader::CardLost() {
    powered_ = false;
    isoDep_ = false;
    auth_ = {};
    card_ = CardInfo{};
    cardGone_ = false;
    // pcscd must see the card leave even if it is back by the next poll.
    // Every presence call says so until pcscd's own poll has surely come
    // by: pcscd also asks before each power action, and a report that
    // answered only the first call could go to one of those instead.
    lostAt_ = std::chrono::steady_clock::now();
    sessionLost_ = true;
    return IFD_ICC_NOT_PRESENT;
}

bool Reader::ProbeSession() {
    if (isoDep_) {
        return engine_.Probe(handle_, kIsoDepOption) == RESULT_OK;
    }
    if (card_.kind == CardKind::MifareClassic && auth_.valid) {
        // Reading the trailer of the sector logged in to changes nothing;
        // where its access bits close it to this key, the card is selected
        // again by its serial number and the same login repeated, which
        // leaves the client's session as it was.
        std::uint8_t block[mifare::kBlockSize];
        const auto trailer = static_cast<std::uint8_t>(mifare::TrailerOf(auth_.sector));
        if (door::ReadBlock(handle_, trailer, block).Delivered()) return true;
        return Reselect();
    }
    if (card_.kind == CardKind::Type2) {
        // Reading page 0 (never protected) keeps the tag selected and a
        // password session the client opened as it was; a select would
        // end it.
        std::uint8_t pages[mifare::kBlockSize];
        return door::ReadBlock(handle_, 0, pages).Delivered() || Reselect();
    }
    // Nothing to keep: asking the field again disturbs nothing.
    CardInfo seen;
    return Detect(seen) && SameCard(seen, card_);
}

bool Reader::Reselect() {
    if (!door::SelectBySerial(handle_, card_.uid, card_.uidLength, nullptr).Delivered()) {
        return false;
    }
    if (auth_.valid && !Login(auth_.sector, auth_.keyB, auth_.keyNumber).Delivered()) {
        auth_.valid = false;
    }
    return true;
}

bool Reader::Reopen() {
    if (handle_ >= 0) door::Close(handle_);
    handle_ = door::Open(path_, slot_);
    return handle_ >= 0;
}

RESPONSECODE Reader::Presence() {
    if (removed_) return IFD_ICC_NOT_PRESENT;
    if (sessionLost_) {
        if (std::chrono::steady_clock::now() - lostAt_ < removalHold_) return IFD_ICC_NOT_PRESENT;
        sessionLost_ = false;
    }
    // A reader that went away and came back (a reader.conf reader, which
    // pcscd does not open again by itself) is opened afresh.
    if (handle_ < 0 && !Reopen()) return IFD_ICC_NOT_PRESENT;
    if (powered_) return ProbeSession() ? IFD_ICC_PRESENT : CardLost();
    // No session to keep: a new choice holds from this poll on (pcscd sees
    // the card that was there leave first).
    active_ = wanted_;
    CardInfo seen;
    if (!Detect(seen)) {
        card_ = CardInfo{};
        if (door::LinkLost(handle_)) {
            door::Close(handle_);
            handle_ = -1;
        }
        return IFD_ICC_NOT_PRESENT;
    }
    // Another card where one was: pcscd sees the first leave before the
    // second arrives.
    if (card_.kind != CardKind::None && !SameCard(seen, card_)) {
        card_ = CardInfo{};
        return IFD_ICC_NOT_PRESENT;
    }
    card_ = seen;
    return IFD_ICC_PRESENT;
}

}  // namespace zelvorn::pcsc
