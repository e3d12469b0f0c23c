#include "tests/support/frame_codec.h"

#include <cctype>
#include <stdexcept>

namespace zelvorn::testing {
namespace {

constexpr std::uint8_t kStx = 0x02;
constexpr std::uint8_t kEtx = 0x03;
constexpr std::uint8_t kCommandStart = 0x01;

// Only the upper-case digits that the library writes.
int UpperHexValue(std::uint8_t c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

}  // namespace

std::size_t EncodeReplyFrame(const std::uint8_t* payload, std::size_t m, std::uint8_t* out,
                             const ReplyFrameOptions& options) {
    const char* digits = options.lowerCase ? "0123456789abcdef" : "0123456789ABCDEF";
    std::size_t n = 0;
    std::uint8_t sum = 0;
    auto put = [&](std::uint8_t byte) {
        sum ^= byte;
        out[n++] = static_cast<std::uint8_t>(digits[byte >> 4]);
        out[n++] = static_cast<std::uint8_t>(digits[byte & 0x0F]);
    };
    out[n++] = kStx;
    put(options.firstByte);
    put(static_cast<std::uint8_t>(options.transportStatus >> 8));
    put(static_cast<std::uint8_t>(options.transportStatus));
    put(static_cast<std::uint8_t>(m));
    for (std::size_t i = 0; i < m; ++i) put(payload[i]);
    put(options.corruptChecksum ? static_cast<std::uint8_t>(sum ^ 0x01) : sum);
    out[n++] = kEtx;
    return n;
}

std::size_t EncodeReplyBlock(std::uint16_t readerStatus, const std::uint8_t* data, std::size_t n,
                             std::uint8_t* out) {
    out[0] = 0x00;
    out[1] = static_cast<std::uint8_t>(readerStatus >> 8);
    out[2] = static_cast<std::uint8_t>(readerStatus);
    out[3] = 0x00;
    out[4] = static_cast<std::uint8_t>(n);
    for (std::size_t i = 0; i < n; ++i) out[5 + i] = data[i];
    return n + 5;
}

std::size_t DecodeCommandFrame(const std::uint8_t* frame, std::size_t length, std::uint8_t* body) {
    // The shortest frame carries a packet of six bytes.
    if (length < 14 || length % 2 != 0 || frame[0] != kStx || frame[length - 1] != kEtx) return 0;
    std::uint8_t packet[kCommandBodyCapacity + 2];
    const std::size_t count = (length - 2) / 2;
    if (count > sizeof packet) return 0;
    std::uint8_t sum = 0;
    for (std::size_t i = 0; i < count; ++i) {
        const int high = UpperHexValue(frame[1 + 2 * i]);
        const int low = UpperHexValue(frame[2 + 2 * i]);
        if (high < 0 || low < 0) return 0;
        packet[i] = static_cast<std::uint8_t>(high << 4 | low);
        if (i + 1 < count) sum ^= packet[i];
    }
    if (packet[0] != kCommandStart || sum != packet[count - 1] || packet[4] != count - 6) return 0;
    for (std::size_t i = 1; i + 1 < count; ++i) body[i - 1] = packet[i];
    return count - 2;
}

Bytes ReplyFrame(const Bytes& payload, const ReplyFrameOptions& options) {
    Bytes frame(ReplyFrameLength(payload.size()));
    EncodeReplyFrame(payload.data(), payload.size(), frame.data(), options);
    return frame;
}

Bytes ReplyPayload(std::uint16_t readerStatus, const Bytes& data) {
    Bytes payload(data.size() + 5);
    EncodeReplyBlock(readerStatus, data.data(), data.size(), payload.data());
    return payload;
}

Bytes ReaderReply(std::uint16_t readerStatus, const Bytes& data) {
    return ReplyFrame(ReplyPayload(readerStatus, data));
}

Bytes RequestBlockOf(const Bytes& frame) {
    std::uint8_t body[kCommandBodyCapacity];
    const std::size_t length = DecodeCommandFrame(frame.data(), frame.size(), body);
    if (length == 0) return {};
    Bytes block{body[0], 0x00};  // the reserved byte is never sent
    block.insert(block.end(), body + 1, body + length);
    return block;
}

Bytes Hex(const std::string& text) {
    Bytes out;
    int high = -1;
    for (char c : text) {
        if (std::isspace(static_cast<unsigned char>(c))) continue;
        const int v =
            UpperHexValue(static_cast<std::uint8_t>(std::toupper(static_cast<unsigned char>(c))));
        if (v < 0) throw std::invalid_argument("not hexadecimal: " + text);
        if (high < 0) {
            high = v;
        } else {
            out.push_back(static_cast<std::uint8_t>(high << 4 | v));
            high = -1;
        }
    }
    if (high >= 0) throw std::invalid_argument("odd number of digits: " + text);
    return out;
}

}  // namespace zelvorn::testing
