// A Type 2 tag in a reader's field: selected by its serial number and
// spoken to through the reader's telegrams, with the option byte the
// ISO/IEC 14443-4 path sends (standard frame, CRC to the card and checked
// on the way back).
#pragma once

#include <cstdint>
#include <string>

#include "tool/hex.h"
#include "tool/library.h"
#include "tool/type2/tag.h"

namespace zelvorn::tool::type2 {

constexpr std::uint8_t kTelegramOption = 0x0F;

// One frame to the selected tag. The library's own failures (a broken link
// to the reader) throw; what the reader reports of the tag is the answer's
// result.
Answer SendTelegram(const Api& api, std::int16_t handle, std::span<const std::uint8_t> frame);

// A tag whose exchanges and reselects go through the reader.
Tag ReaderTag(const Api& api, std::int16_t handle, const Bytes& serial);

// The product name of the Type 2 tag with that serial number ("NTAG215"),
// or empty when the tag cannot be told (it left, or does not answer).
std::string ProductNameOf(const Api& api, std::int16_t handle, const Bytes& serial);

}  // namespace zelvorn::tool::type2
