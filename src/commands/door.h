// The library's commands as the programs built together with it call them
// (the PC/SC driver): the same command functions that stand behind the
// exports, each telling whether the reader's reply was complete.
//
// The exports keep their contract: a reply of another length than the
// command expects counts as success with the outputs untouched. A caller
// that hands what it gets to someone else (a PC/SC client, through pcscd)
// must never take such a call for data, so here it is no success:
// Delivered() is true only when the reader carried the command out and its
// reply had the length the command expects, and only then are the outputs
// written.
#pragma once

#include <cstddef>
#include <cstdint>

#include "commands/command_path.h"
#include "platform/platform.h"
#include "zelvorn.h"

namespace zelvorn::door {

// Opens the reader at a device path in the first empty slot of the reader
// table, or in the slot given, and resets it. Returns the handle, or
// ERR_DEVICE_BUSY (the system refused access, or the slot or every slot is
// taken) or ERR_OPEN_FAILED.
std::int16_t Open(const PathChar* path, std::int16_t slot = -1);
void Close(std::int16_t handle);

// Switches the RF field off or on.
CommandResult Field(std::int16_t handle, bool on);
// Whether the transfers of the reader's last exchange failed, or no reader
// is open under the handle: tells a reader that has gone from a card that
// has, without asking the reader anything.
bool LinkLost(std::int16_t handle);

// One card as the select and list replies describe it.
struct CardEntry {
    std::uint8_t type = 0;
    std::uint8_t serialLength = 0;
    std::uint8_t serial[kSerialField] = {};
};

// The card the reader selects on its own, or the card with this serial
// number (4, 7 or 10 bytes).
CommandResult Select(std::int16_t handle, CardEntry& card);
CommandResult SelectBySerial(std::int16_t handle, const std::uint8_t* serial,
                             std::uint8_t serialLength, CardEntry* card);

// The cards in the field; complete when the reply holds as many entries as
// its count says.
constexpr std::size_t kMaxListedCards = ZELVORN_MAX_LISTED_TAGS;
struct CardList {
    std::uint8_t count = 0;
    CardEntry cards[kMaxListedCards];
};
CommandResult ListCards(std::int16_t handle, CardList& list);

// MIFARE Classic, with the key types of the exported login.
CommandResult Login(std::int16_t handle, std::uint8_t sector, std::uint8_t keyType,
                    std::uint8_t storedKeyNo, const std::uint8_t* key);
constexpr std::size_t kBlockBytes = 16;
CommandResult ReadBlock(std::int16_t handle, std::uint8_t block, std::uint8_t* data16);
// A write is delivered when the reader echoed what was written (a trailer's
// echo is not compared: the card does not read its keys back).
CommandResult WriteBlock(std::int16_t handle, std::uint8_t block, const std::uint8_t* data16);
CommandResult Increment(std::int16_t handle, std::uint8_t block, std::int32_t amount,
                        std::int32_t* value);
CommandResult Decrement(std::int16_t handle, std::uint8_t block, std::int32_t amount,
                        std::int32_t* value);
// Stores a key in the reader under keyNo (0..15, or its own keys AA, BB, FF).
CommandResult LoadKey(std::int16_t handle, std::uint8_t keyNo, const std::uint8_t* key6);

// A type B card's whole ATQB (the exported function hands back only the
// bytes after the serial number): up to capacity bytes, its length in
// length. Complete when the reply is as long as the data it declares.
CommandResult ReadAtqb(std::int16_t handle, std::uint8_t* atqb, std::size_t capacity,
                       std::uint8_t& length);

}  // namespace zelvorn::door
