// The status words the virtual reader answers with.
//
// Reader status words travel in bytes 1 and 2 of the reply payload. We chose
// values with the top bit set, so that the library hands them to its callers
// as small negative numbers (-1, -2, ...) that cannot be mistaken for its own
// codes (-1000 and below). docs/virtual-reader.md lists them with their
// meaning.
#pragma once

#include <cstdint>

namespace zelvorn::virt {

using StatusWord = std::uint16_t;

constexpr StatusWord kStatusOk = 0x0000;
constexpr StatusWord kStatusNoCard = 0xFFFF;       // -1: no card of the kind asked for answered
constexpr StatusWord kStatusNotSelected = 0xFFFE;  // -2: the command needs a selected card
constexpr StatusWord kStatusFieldOff = 0xFFFD;     // -3: the RF field is switched off
constexpr StatusWord kStatusAuthFailed = 0xFFFC;   // -4: the card refused the key
constexpr StatusWord kStatusNotAuthenticated = 0xFFFB;  // -5: block outside the sector logged in to
constexpr StatusWord kStatusAccessDenied = 0xFFFA;      // -6: the sector's access bits forbid it
constexpr StatusWord kStatusNotValueBlock =
    0xFFF9;  // -7: the block is not a well-formed value block
constexpr StatusWord kStatusValueOverflow = 0xFFF8;  // -8: the result does not fit 32 bits
constexpr StatusWord kStatusOutOfRange =
    0xFFF7;  // -9: block, sector, register, key or address unknown
constexpr StatusWord kStatusNotSupported = 0xFFF6;    // -10: the selected card has no such command
constexpr StatusWord kStatusNoAnswer = 0xFFF5;        // -11: the card did not answer the telegram
constexpr StatusWord kStatusUnknownCommand = 0xFFF4;  // -12: command code unknown to the firmware
constexpr StatusWord kStatusMalformed = 0xFFF3;  // -13: data length or layout wrong for the command
constexpr StatusWord kStatusReadOnly = 0xFFF2;   // -14: the block or sector cannot be written
constexpr StatusWord kStatusBadAccessBits =
    0xFFF1;  // -15: a trailer whose access bits do not check

// Transport status words other than kTransportOk, bytes 1 and 2 of the
// reply packet.
constexpr StatusWord kTransportBadChecksum = 0x6581;  // the command frame's checksum did not match
constexpr StatusWord kTransportBadFrame =
    0x6700;  // not STX, hexadecimal pairs, ETX; or lengths disagree
constexpr StatusWord kTransportUnknownFrameType = 0x6E00;  // neither E0 nor 01
constexpr StatusWord kTransportBusy =
    0x6F00;  // injected on demand: the reader did not take the command

}  // namespace zelvorn::virt
