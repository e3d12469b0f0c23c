// The reader link: one command frame out, one reply frame in.
#pragma once

#include <cstddef>
#include <cstdint>

#include "readers/reader_context.h"

namespace zelvorn {

// Frame types of the first template byte.
constexpr std::uint8_t kFrameCommand = 0xE0;
constexpr std::uint8_t kFrameReceive = 0x01;
// The receive request, the one request of frame type 01, has command code 0.
constexpr std::uint8_t kReceiveCommand = 0x00;

// The packet and the encoded frame live in 256-byte buffers, so a request
// carries at most 121 data bytes (2N + 14 <= 256) and a reply at most 122
// payload bytes.
constexpr std::size_t kFrameCapacity = 256;
constexpr std::uint8_t kMaxRequestData = 121;
constexpr std::uint8_t kMaxReplyPayload = 122;

// Reply buffer of the ordinary reader and card commands.
constexpr std::size_t kCommandReplyCapacity = 32;

// The command template a command function fills in. The reserved byte is
// never transmitted.
struct RequestBlock {
    std::uint8_t frameType;
    std::uint8_t reserved;
    std::uint8_t length;  // L: N + 2 for ordinary commands
    std::uint8_t command;
    std::uint8_t dataLength;  // N
    std::uint8_t data[kMaxRequestData];
};

// An ordinary command: frame type E0, L = N + 2. More than kMaxRequestData
// bytes are cut to that many (callers check their lengths first).
RequestBlock Request_Make(std::uint8_t command, const std::uint8_t* data, std::size_t dataLength);

// Performs one exchange with an open reader.
//
// Returns 0 when the reply arrived intact with transport status 9000, the
// transport status itself (as a signed 16-bit value) when it is another one,
// ERR_INVALID_PARAMETER for a request with more data than a frame carries
// (nothing sent), and ERR_FAILURE when a transfer fails, the reply is corrupt,
// does not end within the receive buffer, or holds more payload than
// replyCapacity. The M payload bytes and M itself are written whenever the
// reply is intact, whatever its status. reader.linkFailed tells afterwards
// whether a transfer itself failed.
std::int16_t Transport_Exchange(ReaderContext& reader, const RequestBlock& request,
                                std::uint8_t* replyLength, std::uint8_t* reply,
                                std::size_t replyCapacity);

// The layouts on the wire, by byte offset.
//
// The request packet: a start byte, the template's frame type, L, command
// and N, the N data bytes, then the checksum over everything before it.
namespace request_packet {
enum : std::size_t { kStart, kFrameType, kLength, kCommand, kDataLength, kData };
constexpr std::uint8_t kStartByte = 0x01;
constexpr std::size_t kOverhead = kData + 1;  // all but the data: header and checksum
}  // namespace request_packet

// The reply packet: a byte that is not interpreted, the transport status
// (high, low), M, the M payload bytes (the ReplyBlock), then the checksum
// over everything before it.
namespace reply_packet {
enum : std::size_t { kFirst, kStatusHigh, kStatusLow, kPayloadLength, kPayload };
constexpr std::size_t kOverhead = kPayload + 1;  // all but the payload: header and checksum
}  // namespace reply_packet

// The ReplyBlock, the payload as command functions read it: a byte not
// interpreted, the reader status (high, low), a byte not interpreted, P,
// then the P data bytes.
namespace reply_block {
enum : std::size_t { kFirst, kStatusHigh, kStatusLow, kReserved, kDataLength, kData };
}  // namespace reply_block

// The most data one ReplyBlock carries.
constexpr std::size_t kMaxReplyData = kMaxReplyPayload - reply_block::kData;  // 117

// The transport status of a reply whose command the reader took.
constexpr std::uint16_t kTransportOk = 0x9000;

// Every command frame is the data stage of this control transfer: host to
// device, vendor request, device recipient; request 0, value 0, index 0.
constexpr std::uint8_t kVendorRequestType = 0x40;
constexpr std::uint8_t kVendorRequest = 0x00;

// The frame codec: the library's side, and the virtual reader's.
namespace frame {

constexpr std::uint8_t kStx = 0x02;
constexpr std::uint8_t kEtx = 0x03;

std::uint8_t Checksum(const std::uint8_t* bytes, std::size_t count);

// Writes STX, two upper-case hexadecimal digits per byte, ETX; returns the
// frame length (2 * count + 2). out must hold that many bytes.
std::size_t Encode(const std::uint8_t* bytes, std::size_t count, std::uint8_t* out);

// Value of one hexadecimal digit of either case; -1 for any other character.
int DigitValue(std::uint8_t c);

// Value of one pair of characters, high digit first. Both cases are
// accepted; a non-digit contributes nothing to its nibble.
std::uint8_t DecodePair(std::uint8_t high, std::uint8_t low);

}  // namespace frame
}  // namespace zelvorn
