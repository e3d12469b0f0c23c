// The reader link: one command frame out, one reply frame in.
#pragma once

#include <cstddef>
#include <cstdint>

namespace zelvorn {

// Frame types of the first template byte.
constexpr std::uint8_t kFrameCommand = 0xE0;
constexpr std::uint8_t kFrameReceive = 0x01;

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

// Performs one exchange with the reader in a range-checked slot.
//
// Returns 0 when the reply arrived intact with transport status 9000, the
// transport status itself (as a signed 16-bit value) when it is another one,
// ERR_INVALID_HANDLE for an empty slot, ERR_INVALID_PARAMETER for a request
// with more data than a frame carries (nothing sent), and ERR_FAILURE when a
// transfer fails, the reply is corrupt, does not end within the receive
// buffer, or holds more payload than replyCapacity. The M payload bytes and M
// itself are written whenever the reply is intact, whatever its status.
std::int16_t Transport_Exchange(std::int16_t handle, const RequestBlock& request,
                                std::uint8_t* replyLength, std::uint8_t* reply,
                                std::size_t replyCapacity);

// Frame codec, shared with the stand-ins for the reader.
namespace frame {

constexpr std::uint8_t kStx = 0x02;
constexpr std::uint8_t kEtx = 0x03;

std::uint8_t Checksum(const std::uint8_t* bytes, std::size_t count);

// Writes STX, two upper-case hexadecimal digits per byte, ETX; returns the
// frame length (2 * count + 2). out must hold that many bytes.
std::size_t Encode(const std::uint8_t* bytes, std::size_t count, std::uint8_t* out);

// Value of one pair of characters, high digit first. Both cases are
// accepted; a non-digit contributes nothing to its nibble.
std::uint8_t DecodePair(std::uint8_t high, std::uint8_t low);

}  // namespace frame
}  // namespace zelvorn
