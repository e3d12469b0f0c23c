// The class FF commands the driver answers for MIFARE Classic cards and
// Type 2 tags, one handler per instruction in one table: GET DATA, LOAD
// KEYS, the two AUTHENTICATE forms, READ BINARY, UPDATE BINARY and the value
// operations.
#include <cstring>

#include "mifare/classic.h"
#include "pcsc/reader.h"
#include "pcsc/status_words.h"

namespace zelvorn::pcsc {
namespace {

constexpr std::size_t kBlockSize = mifare::kBlockSize;
// A Type 2 tag's page. Its read answers four of them (one block's worth); its
// write takes one, as the first 4 bytes of a block.
constexpr std::size_t kPageSize = 4;

// LOAD KEYS: P1 00 a key the driver holds, 20 one the reader stores; the
// two high bits ask for reader keys and secured loading, neither offered.
constexpr std::uint8_t kKeyVolatile = 0x00;
constexpr std::uint8_t kKeyNonVolatile = 0x20;
constexpr std::uint8_t kKeyReaderKey = 0x80;
constexpr std::uint8_t kKeySecured = 0x40;

// GENERAL AUTHENTICATE's data object: version 01, block MSB and LSB, key
// type, key number.
constexpr std::size_t kAuthenticateData = 5;
constexpr std::uint8_t kAuthenticateVersion = 0x01;

// The value operations: P1 P2 00 03, then A0 (increment) or A1 (decrement)
// objects holding 80 01 block and 81 04 amount (least significant byte
// first); the answer is a C0 object with the status of the one that failed.
constexpr std::uint8_t kValueIncrement = 0xA0;
constexpr std::uint8_t kValueDecrement = 0xA1;
constexpr std::uint8_t kValueBlockTag = 0x80;
constexpr std::uint8_t kValueAmountTag = 0x81;
constexpr std::uint8_t kValueAnswerTag = 0xC0;

}  // namespace

const Reader::PseudoApduRow Reader::kPseudoApdus[] = {
    {kInsGetData, "GET DATA", &Reader::GetData},
    {kInsLoadKeys, "LOAD KEYS", &Reader::LoadKey},
    {kInsGeneralAuthenticate, "GENERAL AUTHENTICATE", &Reader::GeneralAuthenticate},
    {kInsReadBinary, "READ BINARY", &Reader::ReadBinary},
    {kInsUpdateBinary, "UPDATE BINARY", &Reader::UpdateBinary},
    {kInsValue, "value operations", &Reader::ValueOperations},
};

std::uint16_t Reader::PseudoApdu(const std::uint8_t* command, std::size_t length, Reply& reply) {
    // The older AUTHENTICATE carries its key type and key number where Lc
    // and the data would be: it is no APDU of the usual layout.
    if (length >= 2 && command[0] == kClassPseudo && command[1] == kInsAuthenticateObsolete) {
        if (length != 6) return kSwWrongLength;
        return Authenticate(command[2], command[3], command[4], command[5]);
    }
    Apdu apdu;
    if (!apdu.Parse(command, length)) return kSwWrongLength;
    if (apdu.cla != kClassPseudo) return kSwClaUnknown;
    for (const PseudoApduRow& row : kPseudoApdus) {
        if (row.ins == apdu.ins) return (this->*row.handle)(apdu, reply);
    }
    return kSwInsUnknown;
}

std::uint16_t Reader::StatusFor(const CommandResult& outcome, bool write) {
    if (outcome.Delivered()) return kSwOk;
    const std::int16_t result = outcome.result;
    // The reader said it carried the command out, but its reply was not as
    // long as the command's: nothing of it is data, and a write is not known
    // to have been made.
    if (result == RESULT_OK) return write ? kSwMemoryFailure : kSwUnknown;
    if (IsLibraryFailure(result)) {
        // A reader that has gone takes its card with it.
        if (door::LinkLost(handle_)) {
            cardGone_ = true;
            return kSwExecutionError;
        }
        // A write whose echo differed, or a broken exchange.
        return write ? kSwMemoryFailure : kSwUnknown;
    }
    if (result > 0) return kSwExecutionError;  // a transport status: the reader refused
    if (ReaderStatus_CardGone(result)) {
        cardGone_ = true;
        return kSwExecutionError;
    }
    return Sw_ForReaderStatus(result);
}

std::uint16_t Reader::GetData(const Apdu& apdu, Reply& reply) {
    if (apdu.lc != 0) return kSwWrongLength;
    const std::uint8_t* data = nullptr;
    std::size_t count = 0;
    if (apdu.p1 == 0x00 && apdu.p2 == 0x00) {
        data = card_.uid;
        count = card_.uidLength;
    } else if (apdu.p1 == 0x01 && apdu.p2 == 0x00 && card_.kind == CardKind::IsoDepA) {
        data = card_.historical;
        count = card_.historicalCount;
    } else {
        return kSwNotSupported;
    }
    if (apdu.le != 0 && apdu.le < count) return Sw_CorrectLength(static_cast<std::uint8_t>(count));
    reply.Append(data, count);
    return apdu.le > count ? kSwEndOfData : kSwOk;
}

std::uint16_t Reader::LoadKey(const Apdu& apdu, Reply&) {
    if (apdu.lc != mifare::kKeySize || apdu.hasLe) return kSwWrongLength;
    if ((apdu.p1 & kKeyReaderKey) != 0) return kSwReaderKeyUnsupported;
    if ((apdu.p1 & kKeySecured) != 0) return kSwSecureLoadUnsupported;
    if (apdu.p1 == kKeyVolatile) {
        if (apdu.p2 >= kVolatileKeys) return kSwKeyNumberInvalid;
        keys_[apdu.p2].loaded = true;
        std::memcpy(keys_[apdu.p2].bytes.data(), apdu.data, mifare::kKeySize);
        return kSwOk;
    }
    if (apdu.p1 == kKeyNonVolatile) {
        if (apdu.p2 < kStoredKeyBase || apdu.p2 >= kStoredKeyBase + kStoredKeys) {
            return kSwKeyNumberInvalid;
        }
        return StatusFor(
            door::LoadKey(handle_, static_cast<std::uint8_t>(apdu.p2 - kStoredKeyBase), apdu.data),
            true);
    }
    return kSwWrongP1P2;
}

std::uint16_t Reader::GeneralAuthenticate(const Apdu& apdu, Reply&) {
    if (apdu.lc != kAuthenticateData || apdu.hasLe) return kSwWrongLength;
    if (apdu.p1 != 0 || apdu.p2 != 0 || apdu.data[0] != kAuthenticateVersion) {
        return kSwWrongP1P2;
    }
    return Authenticate(apdu.data[1], apdu.data[2], apdu.data[3], apdu.data[4]);
}

CommandResult Reader::Login(std::uint8_t sector, bool keyB, std::uint8_t keyNumber) {
    if (keyNumber < kVolatileKeys) {
        return door::Login(handle_, sector, keyB ? KEYTYPE_B : KEYTYPE_A, 0,
                           keys_[keyNumber].bytes.data());
    }
    return door::Login(handle_, sector, keyB ? KEYTYPE_STORED_B : KEYTYPE_STORED_A,
                       static_cast<std::uint8_t>(keyNumber - kStoredKeyBase), nullptr);
}

std::uint16_t Reader::Authenticate(std::uint8_t msb, std::uint8_t block, std::uint8_t keyType,
                                   std::uint8_t keyNumber) {
    if (card_.kind != CardKind::MifareClassic) return kSwNotSupported;
    if (msb != 0 || block >= card_.blocks) return kSwWrongAddress;
    if (keyType != kMifareKeyA && keyType != kMifareKeyB) return kSwWrongData;
    const bool stored = keyNumber >= kStoredKeyBase && keyNumber < kStoredKeyBase + kStoredKeys;
    if (!stored && (keyNumber >= kVolatileKeys || !keys_[keyNumber].loaded)) {
        return kSwKeyNumberInvalid;
    }
    auth_ = {};
    const auto sector = static_cast<std::uint8_t>(mifare::SectorOf(block));
    const bool keyB = keyType == kMifareKeyB;
    const CommandResult result = Login(sector, keyB, keyNumber);
    if (result.Delivered()) {
        auth_ = {true, sector, keyB, keyNumber};
        return kSwOk;
    }
    const std::uint16_t sw = StatusFor(result, false);
    // A card that refused a key falls back to idle: select it again so that
    // the client can go on with another key.
    if (!cardGone_ &&
        ReaderStatus_CardGone(
            door::SelectBySerial(handle_, card_.uid, card_.uidLength, nullptr).result)) {
        cardGone_ = true;
    }
    return sw;
}

std::uint16_t Reader::ReadBinary(const Apdu& apdu, Reply& reply) {
    if (card_.kind == CardKind::Type2) return ReadPages(apdu, reply);
    if (card_.kind != CardKind::MifareClassic) return kSwNotSupported;
    if (apdu.lc != 0 || !apdu.hasLe) return kSwWrongLength;
    // Le 00 asks for one block; more than one block must be whole blocks.
    const std::size_t want = apdu.le == 0 ? kBlockSize : apdu.le;
    if (want > kBlockSize && want % kBlockSize != 0) return kSwWrongLength;
    const std::size_t blocks = (want + kBlockSize - 1) / kBlockSize;
    if (apdu.p1 != 0 || apdu.p2 + blocks > card_.blocks) return kSwWrongAddress;
    std::uint8_t data[Reply::kCapacity];
    for (std::size_t i = 0; i < blocks; ++i) {
        const CommandResult result =
            door::ReadBlock(handle_, static_cast<std::uint8_t>(apdu.p2 + i), data + i * kBlockSize);
        if (!result.Delivered()) return StatusFor(result, false);
    }
    reply.Append(data, want);
    return kSwOk;
}

std::uint16_t Reader::UpdateBinary(const Apdu& apdu, Reply& reply) {
    if (card_.kind == CardKind::Type2) return UpdatePages(apdu, reply);
    if (card_.kind != CardKind::MifareClassic) return kSwNotSupported;
    if (apdu.lc == 0 || apdu.lc % kBlockSize != 0 || apdu.hasLe) return kSwWrongLength;
    const std::size_t blocks = apdu.lc / kBlockSize;
    if (apdu.p1 != 0 || apdu.p2 + blocks > card_.blocks) return kSwWrongAddress;
    for (std::size_t i = 0; i < blocks; ++i) {
        const CommandResult result = door::WriteBlock(
            handle_, static_cast<std::uint8_t>(apdu.p2 + i), apdu.data + i * kBlockSize);
        if (!result.Delivered()) return StatusFor(result, true);
    }
    return kSwOk;
}

// READ BINARY on a Type 2 tag: P2 the page, Le up to 16 bytes (00: 16),
// from the four pages the tag answers, which roll over to page 0 after its
// last page as the tag's own read does. The tag refuses a page beyond its
// memory.
std::uint16_t Reader::ReadPages(const Apdu& apdu, Reply& reply) {
    if (apdu.lc != 0 || !apdu.hasLe || apdu.le > kBlockSize) return kSwWrongLength;
    if (apdu.p1 != 0) return kSwWrongAddress;
    std::uint8_t pages[kBlockSize];
    const CommandResult result = door::ReadBlock(handle_, apdu.p2, pages);
    if (!result.Delivered()) return PageRefused(result, false);
    reply.Append(pages, apdu.le == 0 ? kBlockSize : apdu.le);
    return kSwOk;
}

// A tag that refused a page (a NAK) has fallen back to idle: it is selected
// again, so that the client can go on; one that does not answer has gone.
std::uint16_t Reader::PageRefused(const CommandResult& outcome, bool write) {
    const std::uint16_t sw = StatusFor(outcome, write);
    if (!cardGone_ && outcome.result < 0 && !IsLibraryFailure(outcome.result) && !Reselect()) {
        cardGone_ = true;
    }
    return sw;
}

// UPDATE BINARY on a Type 2 tag: P2 the first page, Lc 4 (one page) up to
// 16 (four), each page written in turn with the reader's write, which the
// tag takes as its compatibility write (the first 4 of 16 bytes).
std::uint16_t Reader::UpdatePages(const Apdu& apdu, Reply&) {
    if (apdu.lc == 0 || apdu.lc % kPageSize != 0 || apdu.lc > kBlockSize || apdu.hasLe) {
        return kSwWrongLength;
    }
    const std::size_t pages = apdu.lc / kPageSize;
    if (apdu.p1 != 0 || apdu.p2 + pages > 256) return kSwWrongAddress;
    for (std::size_t i = 0; i < pages; ++i) {
        std::uint8_t block[kBlockSize] = {};
        std::memcpy(block, apdu.data + i * kPageSize, kPageSize);
        const CommandResult result =
            door::WriteBlock(handle_, static_cast<std::uint8_t>(apdu.p2 + i), block);
        if (!result.Delivered()) return PageRefused(result, true);
    }
    return kSwOk;
}

std::uint16_t Reader::ValueOperations(const Apdu& apdu, Reply& reply) {
    // The number of the data object that failed (00 for the command as a
    // whole) and its status word, which is the command's status word too.
    const auto answer = [&reply](std::uint8_t object, std::uint16_t sw) {
        const std::uint8_t c0[5] = {kValueAnswerTag, 0x03, object,
                                    static_cast<std::uint8_t>(sw >> 8),
                                    static_cast<std::uint8_t>(sw)};
        reply.Append(c0, sizeof c0);
        return sw;
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
        if (tlv[0] != kValueIncrement && tlv[0] != kValueDecrement) {
            return answer(object, kSwNotSupported);
        }
        int block = -1;
        bool haveAmount = false;
        std::uint32_t amount = 0;
        for (std::size_t i = 2; i < 2 + length;) {
            if (2 + length - i < 2 || tlv[i + 1] > 2 + length - i - 2) {
                return answer(object, kSwWrongLength);
            }
            const std::uint8_t tag = tlv[i], size = tlv[i + 1];
            const std::uint8_t* value = tlv + i + 2;
            if (tag == kValueBlockTag && size == 1) {
                block = value[0];
            } else if (tag == kValueAmountTag && size == 4) {
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
        const CommandResult r = tlv[0] == kValueIncrement ? door::Increment(handle_, b, a, &result)
                                                          : door::Decrement(handle_, b, a, &result);
        if (!r.Delivered()) return answer(object, StatusFor(r, false));
    }
    return answer(0, kSwOk);
}

}  // namespace zelvorn::pcsc
