// The telegram: the data of reader command 0x16, which carries bytes to the
// card and brings its answer back. Used by the raw telegram function and by
// every ISO/IEC 14443-4 block.
#pragma once

#include <cstddef>
#include <cstdint>

#include "commands/command_path.h"

namespace zelvorn {

// A telegram is: n, the option byte, then the n bytes for the card.
constexpr std::size_t kTelegramHeader = 2;
constexpr std::size_t kMaxTelegramPayload = kMaxRequestData - kTelegramHeader;  // 119

// Every telegram's reply is taken into a buffer of this size, which holds any
// payload the transport delivers.
constexpr std::size_t kTelegramReplyCapacity = 128;

// Lays out a telegram in out (room for kMaxRequestData bytes) and returns its
// length, or 0 when the bytes for the card do not fit one telegram.
std::size_t Telegram_Compose(std::uint8_t option, const std::uint8_t* cardBytes,
                             std::size_t cardByteCount, std::uint8_t* out);

// Sends a complete telegram of telegramLength bytes (at most kMaxRequestData)
// on an admitted call, through steps 3 to 5 of the command path. On 0 the
// card's answer is reply.DeclaredDataLength() bytes at reply.Data(); check
// reply.DeclaredDataReceived() before reading them.
std::int16_t Telegram_Exchange(const CommandCall& call, const std::uint8_t* telegram,
                               std::size_t telegramLength, ReplyBuffer& reply);

}  // namespace zelvorn
