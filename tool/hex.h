// Hexadecimal input and output.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace zelvorn::tool {

using Bytes = std::vector<std::uint8_t>;

// Parses hexadecimal digits; spaces and colons between them are ignored.
// what names the input in the message of the UsageError thrown for a stray
// character, an odd number of digits or, when exactBytes is given, a length
// other than that.
Bytes ParseHex(std::string_view text, std::string_view what,
               std::optional<std::size_t> exactBytes = std::nullopt);

// "A1 B2 C3" (separator " ") or "A1B2C3" (separator "").
std::string HexText(std::span<const std::uint8_t> bytes, std::string_view separator = " ");

// Printable ASCII as is, everything else as '.'.
std::string AsciiText(std::span<const std::uint8_t> bytes);

}  // namespace zelvorn::tool
