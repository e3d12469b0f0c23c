// Every status word the driver answers a pseudo-APDU with, and how the
// reader's own status words turn into them. One table, so that what a
// client sees for a given failure is decided in one place.
#pragma once

#include <cstdint>

#include "commands/protocol_table.h"
#include "zelvorn.h"

namespace zelvorn::pcsc {

enum ClientStatusWord : std::uint16_t {
    kSwOk = 0x9000,
    kSwEndOfData = 0x6282,             // GET DATA: fewer bytes than Le asked for
    kSwAuthFailed = 0x6300,            // the card refused the key
    kSwExecutionError = 0x6400,        // the reader could not carry the command out
    kSwMemoryFailure = 0x6581,         // a written block did not read back as written
    kSwWrongLength = 0x6700,           // Lc or Le do not fit the command
    kSwNotValueBlock = 0x6981,         // value operation on a block that holds no value
    kSwSecurity = 0x6982,              // not authenticated for that block, or access bits forbid it
    kSwReaderKeyUnsupported = 0x6983,  // LOAD KEYS of a reader key
    kSwSecureLoadUnsupported = 0x6985,  // LOAD KEYS with secured transmission
    kSwKeyNumberInvalid = 0x6988,       // no such key slot, or nothing loaded in it
    kSwWrongData = 0x6A80,              // key type, TLV or trailer bytes malformed
    kSwNotSupported = 0x6A81,           // the command does not apply to this card
    kSwWrongP1P2 = 0x6A86,
    kSwWrongAddress = 0x6B00,  // block outside the card
    kSwInsUnknown = 0x6D00,
    kSwClaUnknown = 0x6E00,  // a card without ISO/IEC 14443-4 takes only class FF
    kSwUnknown = 0x6F00,
};

// GET DATA with Le smaller than the data: 6C and the data's length.
constexpr std::uint16_t Sw_CorrectLength(std::uint8_t length) {
    return static_cast<std::uint16_t>(0x6C00 | length);
}

// What a reader status (as the library returns it: the word read as signed)
// means to a client: the status word it gets. A status that means the card
// has gone is answered as "no card" rather than with a status word; the
// protocol table says which those are.
struct StatusMapping {
    zelvorn::StatusWord readerStatus;
    std::uint16_t statusWord;
};

inline constexpr StatusMapping kReaderStatusMapping[] = {
    {kStatusAuthFailed, kSwAuthFailed},       {kStatusNotAuthenticated, kSwSecurity},
    {kStatusAccessDenied, kSwSecurity},       {kStatusReadOnly, kSwSecurity},
    {kStatusNotValueBlock, kSwNotValueBlock}, {kStatusValueOverflow, kSwExecutionError},
    {kStatusOutOfRange, kSwWrongAddress},     {kStatusNotSupported, kSwNotSupported},
    {kStatusBadAccessBits, kSwWrongData},
};

// True when a reader status says the card is not there any more.
constexpr bool ReaderStatus_CardGone(std::int16_t status) {
    const StatusRow* row = ReaderStatus_Find(status);
    return row != nullptr && row->cardGone;
}

// The status word for a reader status of a card that is still there; 6400
// for a status the mapping does not know.
constexpr std::uint16_t Sw_ForReaderStatus(std::int16_t status) {
    for (const StatusMapping& row : kReaderStatusMapping) {
        if (row.readerStatus == static_cast<zelvorn::StatusWord>(status)) return row.statusWord;
    }
    return kSwExecutionError;
}

// The library's own failure codes: a broken link to the reader or a wrong
// call, as opposed to what the reader or a card answered.
constexpr bool IsLibraryFailure(std::int16_t result) {
    return result == ERR_FAILURE || result == ERR_INVALID_HANDLE ||
           result == ERR_INVALID_PARAMETER || result == ERR_OPEN_FAILED ||
           result == ERR_DEVICE_BUSY;
}

}  // namespace zelvorn::pcsc
