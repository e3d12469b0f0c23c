// The reader's side of the wire for every stand-in that answers the library
// in the tests, the fuzz targets and the benchmarks: reply frames built,
// command frames taken apart. It is written apart from the library's own
// codec (src/transport), so that each checks the other; the virtual reader,
// being part of the product, uses the library's.
//
// The functions on raw buffers allocate nothing, for the stand-ins that run
// where heap allocations are counted; the ones on vectors serve the unit
// tests.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace zelvorn::testing {

// How a reply frame is built. A reader answers in upper-case digits with
// byte 0 of the packet 00; the others are faults to inject.
struct ReplyFrameOptions {
    std::uint16_t transportStatus = 0x9000;
    bool lowerCase = false;
    bool corruptChecksum = false;
    std::uint8_t firstByte = 0x00;
};

// The length of a reply frame with m payload bytes: STX, two digits for each
// of the m + 5 packet bytes, ETX.
constexpr std::size_t ReplyFrameLength(std::size_t m) {
    return 2 * (m + 5) + 2;
}

// A reply frame: STX, the hexadecimal packet (byte 0, transport status, M,
// the m payload bytes, checksum), ETX. out holds ReplyFrameLength(m) bytes;
// returns that length.
std::size_t EncodeReplyFrame(const std::uint8_t* payload, std::size_t m, std::uint8_t* out,
                             const ReplyFrameOptions& options = {});

// The ReplyBlock of a reply: byte 0, reader status, byte 3, P = n, the n
// data bytes. out holds n + 5 bytes; returns that length.
std::size_t EncodeReplyBlock(std::uint16_t readerStatus, const std::uint8_t* data, std::size_t n,
                             std::uint8_t* out);

// The room DecodeCommandFrame needs: any frame the library sends fits.
constexpr std::size_t kCommandBodyCapacity = 128;

// Decodes a command frame, checking STX, ETX, the upper-case digits the
// library sends, the start byte, N and the checksum. Writes the request
// packet without its start byte and checksum (frame type, L, command, N,
// data) to body and returns its length; 0 for a malformed frame.
std::size_t DecodeCommandFrame(const std::uint8_t* frame, std::size_t length, std::uint8_t* body);

using Bytes = std::vector<std::uint8_t>;

Bytes ReplyFrame(const Bytes& payload, const ReplyFrameOptions& options = {});

Bytes ReplyPayload(std::uint16_t readerStatus, const Bytes& data);

// A reply frame carrying ReplyPayload(readerStatus, data).
Bytes ReaderReply(std::uint16_t readerStatus, const Bytes& data);

// The RequestBlock of a command frame as the library filled it: frame type,
// the reserved 00, L, command, N, data. Empty for a malformed frame.
Bytes RequestBlockOf(const Bytes& frame);

// Parses "E0 00 02 05 00" into bytes.
Bytes Hex(const std::string& text);

}  // namespace zelvorn::testing
