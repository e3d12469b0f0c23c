// Strict UTF-8 and UTF-16 for the text-carrying records: what does not
// decode is refused rather than replaced, so that a text that is read is
// the text that was written.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "tool/ndef/error.h"

namespace zelvorn::ndef {

// True for well-formed UTF-8: no overlong forms, no surrogates, nothing past
// U+10FFFF, no sequence cut short.
bool IsUtf8(std::span<const std::uint8_t> bytes);
inline bool IsUtf8(std::string_view text) {
    return IsUtf8({reinterpret_cast<const std::uint8_t*>(text.data()), text.size()});
}

// UTF-16 with either byte order to UTF-8; empty for an odd length or a
// surrogate without its partner.
std::optional<std::string> Utf16ToUtf8(std::span<const std::uint8_t> bytes, bool bigEndian);

// Well-formed UTF-8 (check with IsUtf8 first) to big-endian UTF-16.
Bytes Utf8ToUtf16BigEndian(std::string_view text);

}  // namespace zelvorn::ndef
