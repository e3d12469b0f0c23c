#include "tool/ndef/utf.h"

namespace zelvorn::ndef {

namespace {

void AppendUtf8(std::string& out, char32_t c) {
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (c >> 18));
        out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

// The code point at bytes[i] and its length, or a length of 0 where the
// bytes are not well-formed UTF-8.
struct Decoded {
    char32_t c;
    std::size_t length;
};
Decoded DecodeUtf8At(std::span<const std::uint8_t> bytes, std::size_t i) {
    const std::uint8_t lead = bytes[i];
    if (lead < 0x80) return {lead, 1};
    std::size_t length;
    char32_t c, minimum;
    if ((lead & 0xE0) == 0xC0) {
        length = 2, c = lead & 0x1F, minimum = 0x80;
    } else if ((lead & 0xF0) == 0xE0) {
        length = 3, c = lead & 0x0F, minimum = 0x800;
    } else if ((lead & 0xF8) == 0xF0) {
        length = 4, c = lead & 0x07, minimum = 0x10000;
    } else {
        return {0, 0};
    }
    if (bytes.size() - i < length) return {0, 0};
    for (std::size_t k = 1; k < length; ++k) {
        if ((bytes[i + k] & 0xC0) != 0x80) return {0, 0};
        c = c << 6 | (bytes[i + k] & 0x3F);
    }
    if (c < minimum || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) return {0, 0};
    return {c, length};
}

}  // namespace

bool IsUtf8(std::span<const std::uint8_t> bytes) {
    for (std::size_t i = 0; i < bytes.size();) {
        const Decoded d = DecodeUtf8At(bytes, i);
        if (d.length == 0) return false;
        i += d.length;
    }
    return true;
}

std::optional<std::string> Utf16ToUtf8(std::span<const std::uint8_t> bytes, bool bigEndian) {
    if (bytes.size() % 2 != 0) return std::nullopt;
    const auto unit = [&](std::size_t i) -> char32_t {
        return bigEndian ? (bytes[i] << 8 | bytes[i + 1]) : (bytes[i + 1] << 8 | bytes[i]);
    };
    std::string out;
    for (std::size_t i = 0; i < bytes.size(); i += 2) {
        const char32_t u = unit(i);
        if (u >= 0xDC00 && u <= 0xDFFF) return std::nullopt;
        if (u >= 0xD800 && u <= 0xDBFF) {
            if (bytes.size() - i < 4) return std::nullopt;
            const char32_t low = unit(i + 2);
            if (low < 0xDC00 || low > 0xDFFF) return std::nullopt;
            AppendUtf8(out, 0x10000 + ((u - 0xD800) << 10) + (low - 0xDC00));
            i += 2;
        } else {
            AppendUtf8(out, u);
        }
    }
    return out;
}

Bytes Utf8ToUtf16BigEndian(std::string_view text) {
    const std::span<const std::uint8_t> bytes{reinterpret_cast<const std::uint8_t*>(text.data()),
                                              text.size()};
    Bytes out;
    const auto put = [&](char32_t u) {
        out.push_back(static_cast<std::uint8_t>(u >> 8));
        out.push_back(static_cast<std::uint8_t>(u));
    };
    for (std::size_t i = 0; i < bytes.size();) {
        const Decoded d = DecodeUtf8At(bytes, i);
        if (d.length == 0) break;  // the caller checked; nothing past a bad byte
        if (d.c >= 0x10000) {
            put(0xD800 + ((d.c - 0x10000) >> 10));
            put(0xDC00 + ((d.c - 0x10000) & 0x3FF));
        } else {
            put(d.c);
        }
        i += d.length;
    }
    return out;
}

}  // namespace zelvorn::ndef
