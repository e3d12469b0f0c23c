#include "pcsc/reader.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <limits>

#include "commands/door.h"
#include "commands/protocol_table.h"
#include "pcsc/status_words.h"
#include "readers/reader_table.h"
#include "zelvorn.h"

namespace zelvorn::pcsc {
namespace {

// Every block of the ISO/IEC 14443-4 session goes with this option flag
// (option byte 0x0F), as RATS does.
constexpr std::int32_t kIsoDepOption = 1;
// The largest frame the reader takes back from a card: one telegram reply
// carries 117 bytes, so a 96-byte frame (FSDI 6, CRC included) fits and a
// 128-byte one does not.
constexpr std::uint8_t kFsdi = 6;
// The first byte of every ATQB.
constexpr std::uint8_t kAtqbFirstByte = 0x50;

constexpr std::size_t kBlockSize = 16;

std::uint8_t SectorOf(std::uint8_t block) {
    return static_cast<std::uint8_t>(block < 128 ? block / 4 : 32 + (block - 128) / 16);
}

std::uint8_t TrailerOf(std::uint8_t sector) {
    return static_cast<std::uint8_t>(sector < 32 ? sector * 4 + 3 : 128 + (sector - 32) * 16 + 15);
}

bool IsLibraryFailure(std::int16_t result) {
    return result == ERR_FAILURE || result == ERR_INVALID_HANDLE ||
           result == ERR_INVALID_PARAMETER || result == ERR_OPEN_FAILED ||
           result == ERR_DEVICE_BUSY;
}

}  // namespace

// A command APDU taken apart. Class FF commands are short APDUs.
struct Reader::Apdu {
    std::uint8_t cla = 0, ins = 0, p1 = 0, p2 = 0;
    const std::uint8_t* data = nullptr;
    std::size_t lc = 0;
    bool hasLe = false;
    std::size_t le = 0;  // as sent: 0 asks for everything there is

    bool Parse(const std::uint8_t* bytes, std::size_t length) {
        if (length < 4) return false;
        cla = bytes[0];
        ins = bytes[1];
        p1 = bytes[2];
        p2 = bytes[3];
        if (length == 4) return true;
        if (length == 5) {
            hasLe = true;
            le = bytes[4];
            return true;
        }
        lc = bytes[4];
        data = bytes + 5;
        if (lc == 0) return false;  // an extended length: no pseudo-APDU takes one
        if (length == 5 + lc) return true;
        if (length != 6 + lc) return false;
        hasLe = true;
        le = bytes[5 + lc];
        return true;
    }
};

// The answer to a pseudo-APDU: data and status word, built here and copied
// to pcscd's buffer when complete.
struct Reader::Reply {
    static constexpr std::size_t kCapacity = 258;
    std::uint8_t bytes[kCapacity] = {};
    std::size_t length = 0;

    void Append(const std::uint8_t* data, std::size_t count) {
        count = std::min(count, kCapacity - 2 - length);
        std::memcpy(bytes + length, data, count);
        length += count;
    }
    void Sw(std::uint16_t sw) {
        bytes[length++] = static_cast<std::uint8_t>(sw >> 8);
        bytes[length++] = static_cast<std::uint8_t>(sw);
    }
};

RESPONSECODE Reader::Open(const PathChar* path) {
    // The path is kept for opening it again: it is copied up to its end and
    // never read beyond, and one that does not fit is refused rather than cut.
    std::size_t length = 0;
    while (length < kDevicePathChars && path[length] != 0) ++length;
    if (length == kDevicePathChars) return IFD_COMMUNICATION_ERROR;
    const std::int16_t handle = door::Open(path);
    if (handle < 0) return IFD_COMMUNICATION_ERROR;
    *this = Reader{};
    handle_ = handle;
    std::copy(path, path + length + 1, path_);
    return IFD_SUCCESS;
}

bool Reader::Reopen() {
    if (handle_ >= 0) door::Close(handle_);
    handle_ = door::Open(path_);
    return handle_ >= 0;
}

void Reader::Close() {
    if (handle_ < 0) return;
    if (isoDep_ && !removed_) (void)engine_.Deselect(handle_, kIsoDepOption);
    door::Close(handle_);
    *this = Reader{};
}

void Reader::ClassifyTypeA(CardInfo& card, const door::CardEntry& entry) {
    const std::uint8_t type = entry.type;
    card.sak = type;
    card.uidLength = entry.serialLength;
    std::memcpy(card.uid, entry.serial, entry.serialLength);
    // A card that offers ISO/IEC 14443-4 is served as a processor card even
    // when it emulates MIFARE Classic besides.
    if ((type & 0x20) != 0) {
        card.kind = CardKind::IsoDepA;
    } else if (type == 0x08) {
        card.kind = CardKind::MifareClassic;
        card.blocks = 64;
    } else if (type == 0x18) {
        card.kind = CardKind::MifareClassic;
        card.blocks = 256;
    } else if (type == 0x09) {
        card.kind = CardKind::MifareClassic;
        card.blocks = 20;
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
    if (door::Select(handle_, entry).Delivered() &&
        (entry.serialLength == 4 || entry.serialLength == 7 || entry.serialLength == 10)) {
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

bool Reader::ReaderAnswers() {
    return door::ReaderAnswers(handle_);
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
        std::uint8_t block[kBlockSize];
        if (door::ReadBlock(handle_, TrailerOf(auth_.sector), block).Delivered()) return true;
        return Reselect();
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
        if (!ReaderAnswers()) {
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
    if (isoDep_ && !removed_) (void)engine_.Deselect(handle_, kIsoDepOption);
    powered_ = false;
    isoDep_ = false;
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

    if (length >= 4 && command[0] != 0xFF && isoDep_) {
        // The engine counts in signed 16-bit numbers: 32767 bytes each way.
        constexpr std::size_t kMost = std::numeric_limits<std::int16_t>::max();
        if (length <= kMost) {
            auto apduLength = static_cast<std::int16_t>(length);
            std::int16_t received = 0;
            const std::int16_t result =
                engine_.Exchange(handle_, kIsoDepOption, &apduLength, command, &received, response,
                                 std::min(*responseLength, kMost));
            if (result == RESULT_OK) {
                *responseLength = static_cast<std::size_t>(received);
                return IFD_SUCCESS;
            }
            if (IsLibraryFailure(result) ? !ReaderAnswers() : Sw_ForReaderStatus(result) == 0) {
                return CardLost();
            }
            return IFD_COMMUNICATION_ERROR;
        }
    }

    Reply reply;
    Apdu apdu;
    if (length >= 4 && command[0] == 0xFF && command[1] == 0x88) {
        // The older AUTHENTICATE: key type and key number where Lc and the
        // data would be.
        if (length != 6) {
            reply.Sw(kSwWrongLength);
        } else {
            Authenticate(command[2], command[3], command[4], command[5], reply);
        }
    } else if (!apdu.Parse(command, length)) {
        reply.Sw(kSwWrongLength);
    } else if (apdu.cla != 0xFF) {
        reply.Sw(kSwClaUnknown);
    } else {
        PseudoApdu(apdu, reply);
    }
    if (cardGone_) return CardLost();
    if (reply.length > *responseLength) return IFD_ERROR_INSUFFICIENT_BUFFER;
    std::memcpy(response, reply.bytes, reply.length);
    *responseLength = reply.length;
    return IFD_SUCCESS;
}

std::uint16_t Reader::StatusFor(const CommandResult& outcome, bool write) {
    if (outcome.Delivered()) return kSwOk;
    const std::int16_t result = outcome.result;
    // The reader said it carried the command out, but its reply was not as
    // long as the command's: nothing of it is data, and a write is not known
    // to have been made.
    if (result == RESULT_OK) return write ? kSwMemoryFailure : kSwUnknown;
    if (IsLibraryFailure(result)) {
        // A reader that no longer answers takes its card with it.
        if (!ReaderAnswers()) {
            cardGone_ = true;
            return kSwExecutionError;
        }
        // A write whose echo differed, or a broken exchange.
        return write ? kSwMemoryFailure : kSwUnknown;
    }
    if (result > 0) return kSwExecutionError;  // a transport status: the reader refused
    const std::uint16_t sw = Sw_ForReaderStatus(result);
    if (sw == 0) {
        cardGone_ = true;
        return kSwExecutionError;
    }
    return sw;
}

RESPONSECODE Reader::PseudoApdu(const Apdu& apdu, Reply& reply) {
    switch (apdu.ins) {
        case 0xCA:
            GetData(apdu, reply);
            break;
        case 0x82:
            LoadKey(apdu, reply);
            break;
        case 0x86:
            if (apdu.lc != 5 || apdu.hasLe) {
                reply.Sw(kSwWrongLength);
            } else if (apdu.p1 != 0 || apdu.p2 != 0 || apdu.data[0] != 0x01) {
                reply.Sw(kSwWrongP1P2);
            } else {
                Authenticate(apdu.data[1], apdu.data[2], apdu.data[3], apdu.data[4], reply);
            }
            break;
        case 0xB0:
            ReadBinary(apdu, reply);
            break;
        case 0xD6:
            UpdateBinary(apdu, reply);
            break;
        case 0xC2:
            ValueOperations(apdu, reply);
            break;
        default:
            reply.Sw(kSwInsUnknown);
            break;
    }
    return IFD_SUCCESS;
}

void Reader::GetData(const Apdu& apdu, Reply& reply) {
    if (apdu.lc != 0) return reply.Sw(kSwWrongLength);
    const std::uint8_t* data = nullptr;
    std::size_t count = 0;
    if (apdu.p1 == 0x00 && apdu.p2 == 0x00) {
        data = card_.uid;
        count = card_.uidLength;
    } else if (apdu.p1 == 0x01 && apdu.p2 == 0x00 && card_.kind == CardKind::IsoDepA) {
        data = card_.historical;
        count = card_.historicalCount;
    } else {
        return reply.Sw(kSwNotSupported);
    }
    if (apdu.le != 0 && apdu.le < count) {
        return reply.Sw(Sw_CorrectLength(static_cast<std::uint8_t>(count)));
    }
    reply.Append(data, count);
    reply.Sw(apdu.le > count ? kSwEndOfData : kSwOk);
}

void Reader::LoadKey(const Apdu& apdu, Reply& reply) {
    if (apdu.lc != 6 || apdu.hasLe) return reply.Sw(kSwWrongLength);
    if ((apdu.p1 & 0x80) != 0) return reply.Sw(kSwReaderKeyUnsupported);
    if ((apdu.p1 & 0x40) != 0) return reply.Sw(kSwSecureLoadUnsupported);
    if (apdu.p1 == 0x00) {
        if (apdu.p2 >= kVolatileKeys) return reply.Sw(kSwKeyNumberInvalid);
        keys_[apdu.p2].loaded = true;
        std::memcpy(keys_[apdu.p2].bytes.data(), apdu.data, 6);
        return reply.Sw(kSwOk);
    }
    if (apdu.p1 == 0x20) {
        if (apdu.p2 < kStoredKeyBase || apdu.p2 >= kStoredKeyBase + kStoredKeys) {
            return reply.Sw(kSwKeyNumberInvalid);
        }
        const CommandResult result =
            door::LoadKey(handle_, static_cast<std::uint8_t>(apdu.p2 - kStoredKeyBase), apdu.data);
        return reply.Sw(StatusFor(result, true));
    }
    reply.Sw(kSwWrongP1P2);
}

CommandResult Reader::Login(std::uint8_t sector, bool keyB, std::uint8_t keyNumber) {
    if (keyNumber < kVolatileKeys) {
        return door::Login(handle_, sector, keyB ? KEYTYPE_B : KEYTYPE_A, 0,
                           keys_[keyNumber].bytes.data());
    }
    return door::Login(handle_, sector, keyB ? KEYTYPE_STORED_B : KEYTYPE_STORED_A,
                       static_cast<std::uint8_t>(keyNumber - kStoredKeyBase), nullptr);
}

void Reader::Authenticate(std::uint8_t msb, std::uint8_t block, std::uint8_t keyType,
                          std::uint8_t keyNumber, Reply& reply) {
    if (card_.kind != CardKind::MifareClassic) return reply.Sw(kSwNotSupported);
    if (msb != 0 || block >= card_.blocks) return reply.Sw(kSwWrongAddress);
    if (keyType != 0x60 && keyType != 0x61) return reply.Sw(kSwWrongData);
    const bool stored = keyNumber >= kStoredKeyBase && keyNumber < kStoredKeyBase + kStoredKeys;
    if (!stored && (keyNumber >= kVolatileKeys || !keys_[keyNumber].loaded)) {
        return reply.Sw(kSwKeyNumberInvalid);
    }
    auth_ = {};
    const std::uint8_t sector = SectorOf(block);
    const bool keyB = keyType == 0x61;
    const CommandResult result = Login(sector, keyB, keyNumber);
    if (result.Delivered()) {
        auth_ = {true, sector, keyB, keyNumber};
        return reply.Sw(kSwOk);
    }
    const std::uint16_t sw = StatusFor(result, false);
    // A card that refused a key falls back to idle: select it again so that
    // the client can go on with another key.
    if (!cardGone_ && door::SelectBySerial(handle_, card_.uid, card_.uidLength, nullptr).result ==
                          kReaderNoCard) {
        cardGone_ = true;
    }
    reply.Sw(sw);
}

void Reader::ReadBinary(const Apdu& apdu, Reply& reply) {
    if (card_.kind != CardKind::MifareClassic) return reply.Sw(kSwNotSupported);
    if (apdu.lc != 0 || !apdu.hasLe) return reply.Sw(kSwWrongLength);
    // Le 00 asks for one block; more than one block must be whole blocks.
    const std::size_t want = apdu.le == 0 ? kBlockSize : apdu.le;
    if (want > kBlockSize && want % kBlockSize != 0) return reply.Sw(kSwWrongLength);
    const std::size_t blocks = (want + kBlockSize - 1) / kBlockSize;
    if (apdu.p1 != 0 || apdu.p2 + blocks > card_.blocks) return reply.Sw(kSwWrongAddress);
    std::uint8_t data[Reply::kCapacity];
    for (std::size_t i = 0; i < blocks; ++i) {
        const CommandResult result =
            door::ReadBlock(handle_, static_cast<std::uint8_t>(apdu.p2 + i), data + i * kBlockSize);
        if (!result.Delivered()) return reply.Sw(StatusFor(result, false));
    }
    reply.Append(data, want);
    reply.Sw(kSwOk);
}

void Reader::UpdateBinary(const Apdu& apdu, Reply& reply) {
    if (card_.kind != CardKind::MifareClassic) return reply.Sw(kSwNotSupported);
    if (apdu.lc == 0 || apdu.lc % kBlockSize != 0 || apdu.hasLe) return reply.Sw(kSwWrongLength);
    const std::size_t blocks = apdu.lc / kBlockSize;
    if (apdu.p1 != 0 || apdu.p2 + blocks > card_.blocks) return reply.Sw(kSwWrongAddress);
    for (std::size_t i = 0; i < blocks; ++i) {
        const CommandResult result = door::WriteBlock(
            handle_, static_cast<std::uint8_t>(apdu.p2 + i), apdu.data + i * kBlockSize);
        if (!result.Delivered()) return reply.Sw(StatusFor(result, true));
    }
    reply.Sw(kSwOk);
}

void Reader::ValueOperations(const Apdu& apdu, Reply& reply) {
    // The answer is a C0 object: the number of the data object that failed
    // (00 for the command as a whole) and its status word, which is the
    // command's status word too.
    const auto answer = [&reply](std::uint8_t object, std::uint16_t sw) {
        const std::uint8_t c0[5] = {0xC0, 0x03, object, static_cast<std::uint8_t>(sw >> 8),
                                    static_cast<std::uint8_t>(sw)};
        reply.Append(c0, sizeof c0);
        reply.Sw(sw);
    };
    if (apdu.p1 != 0x00 || apdu.p2 != 0x03) return answer(0, kSwNotSupported);
    if (card_.kind != CardKind::MifareClassic) return answer(0, kSwNotSupported);
    if (apdu.lc == 0) return answer(0, kSwWrongLength);
    std::size_t pos = 0;
    for (std::uint8_t object = 1; pos < apdu.lc; ++object) {
        const std::uint8_t* tlv = apdu.data + pos;
        if (apdu.lc - pos < 2 || tlv[1] > apdu.lc - pos - 2) return answer(object, kSwWrongLength);
        const std::size_t length = tlv[1];
        pos += 2 + length;
        if (tlv[0] != 0xA0 && tlv[0] != 0xA1) return answer(object, kSwNotSupported);
        // Inside: 80 01 block and 81 04 amount, least significant byte first.
        int block = -1;
        bool haveAmount = false;
        std::uint32_t amount = 0;
        for (std::size_t i = 2; i < 2 + length;) {
            if (2 + length - i < 2 || tlv[i + 1] > 2 + length - i - 2) {
                return answer(object, kSwWrongLength);
            }
            const std::uint8_t tag = tlv[i], size = tlv[i + 1];
            const std::uint8_t* value = tlv + i + 2;
            if (tag == 0x80 && size == 1) {
                block = value[0];
            } else if (tag == 0x81 && size == 4) {
                amount = static_cast<std::uint32_t>(value[0]) |
                         static_cast<std::uint32_t>(value[1]) << 8 |
                         static_cast<std::uint32_t>(value[2]) << 16 |
                         static_cast<std::uint32_t>(value[3]) << 24;
                haveAmount = true;
            } else {
                return answer(object, kSwWrongData);
            }
            i += 2 + size;
        }
        if (block < 0 || !haveAmount) return answer(object, kSwWrongData);
        if (block >= card_.blocks) return answer(object, kSwWrongAddress);
        const auto b = static_cast<std::uint8_t>(block);
        const auto a = static_cast<std::int32_t>(amount);
        std::int32_t result = 0;
        const CommandResult r = tlv[0] == 0xA0 ? door::Increment(handle_, b, a, &result)
                                               : door::Decrement(handle_, b, a, &result);
        if (!r.Delivered()) return answer(object, StatusFor(r, false));
    }
    answer(0, kSwOk);
}

}  // namespace zelvorn::pcsc
