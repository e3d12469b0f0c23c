#include "tool/hex.h"

#include <fmt/format.h>

#include "tool/errors.h"

namespace zelvorn::tool {
namespace {

int DigitValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

std::string Printable(char c) {
    const auto u = static_cast<unsigned char>(c);
    if (u >= 0x20 && u < 0x7F) return fmt::format("'{}'", c);
    return fmt::format("byte 0x{:02X}", u);
}

}  // namespace

Bytes ParseHex(std::string_view text, std::string_view what,
               std::optional<std::size_t> exactBytes) {
    Bytes out;
    int high = -1;
    std::size_t digits = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == ' ' || c == ':') continue;
        const int v = DigitValue(c);
        if (v < 0) {
            throw UsageError(fmt::format("{} \"{}\": {} at position {} is not a hexadecimal digit",
                                         what, text, Printable(c), i + 1));
        }
        ++digits;
        if (high < 0) {
            high = v;
        } else {
            out.push_back(static_cast<std::uint8_t>(high << 4 | v));
            high = -1;
        }
    }
    if (high >= 0) {
        throw UsageError(
            fmt::format("{} \"{}\": odd number of hexadecimal digits ({}); each byte takes two",
                        what, text, digits));
    }
    if (exactBytes && out.size() != *exactBytes) {
        throw UsageError(fmt::format("{} \"{}\": expected {} bytes ({} hexadecimal digits), got {}",
                                     what, text, *exactBytes, 2 * *exactBytes, out.size()));
    }
    return out;
}

std::string HexText(std::span<const std::uint8_t> bytes, std::string_view separator) {
    std::string out;
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        if (i > 0) out += separator;
        out += fmt::format("{:02X}", bytes[i]);
    }
    return out;
}

std::string AsciiText(std::span<const std::uint8_t> bytes) {
    std::string out;
    for (std::uint8_t b : bytes) out += (b >= 0x20 && b < 0x7F) ? static_cast<char>(b) : '.';
    return out;
}

}  // namespace zelvorn::tool
