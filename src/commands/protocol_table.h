// The reader's command set as it travels on the wire: one row per command
// code. The library's command families take their codes and reply lengths
// from here, the virtual reader's firmware its request lengths and which
// commands need a card, and the capture dissector its command names.
//
// Every command here goes with frame type E0. The one request of frame type
// 01, the direct receive, has command code 00 and is no row of this table.
#pragma once

#include <cstdint>
#include <span>

namespace zelvorn {

struct ProtocolRow {
    std::uint8_t code;           // command code on the wire
    const char* name;            // short name, e.g. "select", "login", "read block", "telegram"
    std::int16_t requestLength;  // bytes of request data, or kVariableLength
    bool cardCommand;            // talks to a card in the field (as opposed to the reader alone)
    std::int16_t replyLength;    // bytes of reply data on success, or kVariableLength
};

constexpr std::int16_t kVariableLength = -1;

// Command codes, named as the rows below name them.
constexpr std::uint8_t kCmdSelect = 0x00;
constexpr std::uint8_t kCmdLogin = 0x02;
constexpr std::uint8_t kCmdListOrSelect = 0x03;  // no data: list the cards; a serial: select it
constexpr std::uint8_t kCmdReset = 0x05;
constexpr std::uint8_t kCmdReadBlock = 0x06;
constexpr std::uint8_t kCmdReadValue = 0x07;
constexpr std::uint8_t kCmdReadEeprom = 0x08;
constexpr std::uint8_t kCmdWriteBlock = 0x0A;
constexpr std::uint8_t kCmdWriteValue = 0x0B;
constexpr std::uint8_t kCmdWriteEeprom = 0x0C;
constexpr std::uint8_t kCmdLoadKey = 0x0D;
constexpr std::uint8_t kCmdIncrement = 0x0F;
constexpr std::uint8_t kCmdDecrement = 0x10;
constexpr std::uint8_t kCmdCopyValue = 0x11;
constexpr std::uint8_t kCmdFieldOff = 0x12;
constexpr std::uint8_t kCmdFieldOn = 0x13;
constexpr std::uint8_t kCmdReadUserPort = 0x14;
constexpr std::uint8_t kCmdWriteUserPort = 0x15;
constexpr std::uint8_t kCmdTelegram = 0x16;
constexpr std::uint8_t kCmdStatus = 0x18;
constexpr std::uint8_t kCmdReadRegister = 0x19;
constexpr std::uint8_t kCmdWriteRegister = 0x1A;
constexpr std::uint8_t kCmdReadAtqb = 0x21;
constexpr std::uint8_t kCmdAskWrite = 0x32;
constexpr std::uint8_t kCmdAskWriteOtherMode = 0x33;
constexpr std::uint8_t kCmdAskRead = 0x34;
constexpr std::uint8_t kCmdAskMultiRead = 0x35;

// The key selector, data byte 1 of a login: one of the reader's own keys A,
// B and F, or a key stored in the reader, by its number added to the base
// for its key type.
constexpr std::uint8_t kKeySelectorA = 0xAA;
constexpr std::uint8_t kKeySelectorB = 0xBB;
constexpr std::uint8_t kKeySelectorF = 0xFF;
constexpr std::uint8_t kKeySelectorStoredA = 0x10;
constexpr std::uint8_t kKeySelectorStoredB = 0x30;

// The user port's outputs, bits 6 and 2: the only bits a write of the port
// sets; the others are inputs.
constexpr std::uint8_t kUserPortOutputs = 0x44;

// Request data: the login carries a sector and a key selector, with the key
// itself behind them for keys A and B (2 or 8 bytes); the select by serial
// carries the serial's length and the serial (5, 8 or 11 bytes); a telegram
// carries its count, its option byte and the bytes for the card.
//
// Reply data: the select reply is a tag list with exactly one 12-byte card
// entry, behind a byte that is not interpreted; the list has a count and
// one entry per card; the status report is a 20-byte status block and a
// 10-byte record; writes echo what they wrote; value commands answer with the
// value; an ATQB and a card's answer are as long as the card makes them.
inline constexpr ProtocolRow kProtocolTable[] = {
    {kCmdSelect, "select", 0, true, 13},
    {kCmdLogin, "login", kVariableLength, true, 0},
    {kCmdListOrSelect, "list or select by serial", kVariableLength, true, kVariableLength},
    {kCmdReset, "reset", 0, false, 0},
    {kCmdReadBlock, "read block", 1, true, 16},
    {kCmdReadValue, "read value", 1, true, 4},
    {kCmdReadEeprom, "read EEPROM", 1, false, 1},
    {kCmdWriteBlock, "write block", 17, true, 16},
    {kCmdWriteValue, "write value", 5, true, 4},
    {kCmdWriteEeprom, "write EEPROM", 2, false, 1},
    {kCmdLoadKey, "load key", 7, false, 6},
    {kCmdIncrement, "increment", 5, true, 4},
    {kCmdDecrement, "decrement", 5, true, 4},
    {kCmdCopyValue, "copy value", 2, true, 4},
    {kCmdFieldOff, "field off", 0, false, 1},
    {kCmdFieldOn, "field on", 0, false, 1},
    {kCmdReadUserPort, "read user port", 0, false, 1},
    {kCmdWriteUserPort, "write user port", 1, false, 1},
    {kCmdTelegram, "telegram", kVariableLength, true, kVariableLength},
    {kCmdStatus, "status", 0, false, 30},
    {kCmdReadRegister, "read register", 1, false, 1},
    {kCmdWriteRegister, "write register", 2, false, 1},
    {kCmdReadAtqb, "read ATQB", 0, true, kVariableLength},
    {kCmdAskWrite, "ASK write", 3, true, 2},
    {kCmdAskWriteOtherMode, "ASK write, other mode", 3, true, 2},
    {kCmdAskRead, "ASK read", 1, true, 2},
    {kCmdAskMultiRead, "ASK multi-read", 1, true, 8},
};

// Every command, once, ordered by code.
constexpr std::span<const ProtocolRow> Protocol_Commands() {
    return kProtocolTable;
}

// The row of a code; null for an unknown code.
constexpr const ProtocolRow* Protocol_Find(std::uint8_t code) {
    for (const ProtocolRow& row : kProtocolTable) {
        if (row.code == code) return &row;
    }
    return nullptr;
}

// The reader's status words, bytes 1 and 2 of a reply block: 0 when the
// reader carried the command out. The others have the top bit set, so that
// the library hands them to its callers as small negative numbers (-1, -2,
// ...) that cannot be mistaken for its own codes (-1000 and below).
using StatusWord = std::uint16_t;
constexpr StatusWord kStatusOk = 0x0000;
constexpr StatusWord kStatusNoCard = 0xFFFF;
constexpr StatusWord kStatusNotSelected = 0xFFFE;
constexpr StatusWord kStatusFieldOff = 0xFFFD;
constexpr StatusWord kStatusAuthFailed = 0xFFFC;
constexpr StatusWord kStatusNotAuthenticated = 0xFFFB;
constexpr StatusWord kStatusAccessDenied = 0xFFFA;
constexpr StatusWord kStatusNotValueBlock = 0xFFF9;
constexpr StatusWord kStatusValueOverflow = 0xFFF8;
constexpr StatusWord kStatusOutOfRange = 0xFFF7;
constexpr StatusWord kStatusNotSupported = 0xFFF6;
constexpr StatusWord kStatusNoAnswer = 0xFFF5;
constexpr StatusWord kStatusUnknownCommand = 0xFFF4;
constexpr StatusWord kStatusMalformed = 0xFFF3;
constexpr StatusWord kStatusReadOnly = 0xFFF2;
constexpr StatusWord kStatusBadAccessBits = 0xFFF1;

struct StatusRow {
    StatusWord word;      // as it travels
    const char* name;     // short, e.g. "no card"
    const char* meaning;  // what happened, in words
    bool cardGone;        // the card is not (or no longer) there to talk to
};

// Every reader status word, once. The library passes them through as its
// callers' results; the virtual reader answers with them, the PC/SC driver
// turns them into its status words, the tool and the bindings name them and
// the capture dissector shows them.
inline constexpr StatusRow kReaderStatusTable[] = {
    {kStatusOk, "done", "the reader carried the command out", false},
    {kStatusNoCard, "no card", "no card of the kind asked for answered", true},
    {kStatusNotSelected, "not selected", "the command needs a selected card", true},
    {kStatusFieldOff, "field off", "the RF field is switched off", true},
    {kStatusAuthFailed, "authentication failed", "the card refused the key", false},
    {kStatusNotAuthenticated, "not authenticated", "the block lies outside the sector logged in to",
     false},
    {kStatusAccessDenied, "access denied", "the sector's access bits forbid this with the key used",
     false},
    {kStatusNotValueBlock, "not a value block", "the block does not hold a well-formed value",
     false},
    {kStatusValueOverflow, "value overflow", "the result would not fit 32 bits", false},
    {kStatusOutOfRange, "out of range",
     "no such block, sector, register, key number or address on this reader or card", false},
    {kStatusNotSupported, "not supported", "the selected card has no such command", false},
    {kStatusNoAnswer, "no answer", "the card did not answer", true},
    {kStatusUnknownCommand, "unknown command", "the reader does not know the command", false},
    {kStatusMalformed, "malformed command", "the command's data does not fit it", false},
    {kStatusReadOnly, "read only", "the block or sector cannot be written", false},
    {kStatusBadAccessBits, "bad access bits", "the access bits do not match their inverted copy",
     false},
};

// The transport status words, bytes 1 and 2 of a reply packet: whether the
// reader took the command at all (kTransportOk, 9000, when it did).
inline constexpr StatusRow kTransportStatusTable[] = {
    {0x9000, "command taken", "the reader took the command", false},
    {0x6581, "bad checksum", "the command frame's checksum did not match", false},
    {0x6700, "bad frame", "not STX, hexadecimal pairs and ETX, or the frame's lengths disagree",
     false},
    {0x6E00, "unknown frame type", "the frame type is neither E0 nor 01", false},
    {0x6F00, "busy", "the reader did not take the command", false},
};
constexpr StatusWord kTransportBadChecksum = 0x6581;
constexpr StatusWord kTransportBadFrame = 0x6700;
constexpr StatusWord kTransportUnknownFrameType = 0x6E00;
constexpr StatusWord kTransportBusy = 0x6F00;

// The row of a status word, or null for one the table does not know (a real
// reader's firmware may answer others).
constexpr const StatusRow* Status_Find(std::span<const StatusRow> table, StatusWord word) {
    for (const StatusRow& row : table) {
        if (row.word == word) return &row;
    }
    return nullptr;
}

// A reader status as the library returns it: the word read as signed.
constexpr const StatusRow* ReaderStatus_Find(std::int16_t result) {
    return Status_Find(kReaderStatusTable, static_cast<StatusWord>(result));
}

namespace protocol_detail {
constexpr bool OrderedByCode() {
    const std::span<const ProtocolRow> rows = Protocol_Commands();
    for (std::size_t i = 1; i < rows.size(); ++i) {
        if (rows[i - 1].code >= rows[i].code) return false;
    }
    return true;
}
}  // namespace protocol_detail
static_assert(protocol_detail::OrderedByCode(), "one row per code, ordered by code");

}  // namespace zelvorn
