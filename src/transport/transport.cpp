#include "transport/transport.h"

#include <cstring>

#include "zelvorn.h"

namespace zelvorn {
namespace frame {
namespace {

constexpr char kHexDigits[] = "0123456789ABCDEF";

}  // namespace

int DigitValue(std::uint8_t c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

std::uint8_t Checksum(const std::uint8_t* bytes, std::size_t count) {
    std::uint8_t sum = 0;
    for (std::size_t i = 0; i < count; ++i) sum ^= bytes[i];
    return sum;
}

std::size_t Encode(const std::uint8_t* bytes, std::size_t count, std::uint8_t* out) {
    std::size_t n = 0;
    out[n++] = kStx;
    for (std::size_t i = 0; i < count; ++i) {
        out[n++] = static_cast<std::uint8_t>(kHexDigits[bytes[i] >> 4]);
        out[n++] = static_cast<std::uint8_t>(kHexDigits[bytes[i] & 0x0F]);
    }
    out[n++] = kEtx;
    return n;
}

std::uint8_t DecodePair(std::uint8_t high, std::uint8_t low) {
    const int h = DigitValue(high);
    const int l = DigitValue(low);
    return static_cast<std::uint8_t>(((h < 0 ? 0 : h) << 4) | (l < 0 ? 0 : l));
}

}  // namespace frame

namespace {

// Each interrupt read asks for this many bytes.
constexpr std::uint32_t kReadChunk = 8;

// Reads the reply frame into rx until ETX arrives among the new bytes.
// Returns the number of characters received, or 0 on failure (a failed read,
// which marks the link failed, or a frame that does not end within the
// buffer).
std::size_t ReceiveFrame(const PlatformOps& ops, ReaderContext& reader,
                         std::uint8_t (&rx)[kFrameCapacity]) {
    std::size_t received = 0;
    while (received < sizeof rx) {
        std::uint8_t chunk[kReadChunk];
        std::uint32_t got = 0;
        if (!ops.readPipe(reader.usb, reader.pipeId, chunk, kReadChunk, &got)) {
            reader.linkFailed = true;
            return 0;
        }
        if (got > kReadChunk) got = kReadChunk;  // never trust a count beyond what was asked
        const std::size_t room = sizeof rx - received;
        const std::size_t take = got < room ? got : room;
        std::memcpy(rx + received, chunk, take);
        const bool etx = std::memchr(chunk, frame::kEtx, take) != nullptr;
        received += take;
        if (etx) return received;
    }
    return 0;
}

}  // namespace

RequestBlock Request_Make(std::uint8_t command, const std::uint8_t* data, std::size_t dataLength) {
    RequestBlock request{};
    const std::size_t n = dataLength < kMaxRequestData ? dataLength : kMaxRequestData;
    request.frameType = kFrameCommand;
    request.length = static_cast<std::uint8_t>(n + 2);
    request.command = command;
    request.dataLength = static_cast<std::uint8_t>(n);
    if (n > 0) std::memcpy(request.data, data, n);
    return request;
}

std::int16_t Transport_Exchange(ReaderContext& reader, const RequestBlock& request,
                                std::uint8_t* replyLength, std::uint8_t* reply,
                                std::size_t replyCapacity) {
    if (request.dataLength > kMaxRequestData) return ERR_INVALID_PARAMETER;
    const PlatformOps& ops = Platform_Default();

    namespace rq = request_packet;
    std::uint8_t packet[kFrameCapacity];
    const std::size_t n = request.dataLength;
    packet[rq::kStart] = rq::kStartByte;
    packet[rq::kFrameType] = request.frameType;
    packet[rq::kLength] = request.length;
    packet[rq::kCommand] = request.command;
    packet[rq::kDataLength] = request.dataLength;
    std::memcpy(packet + rq::kData, request.data, n);
    packet[rq::kData + n] = frame::Checksum(packet, rq::kData + n);

    std::uint8_t wire[kFrameCapacity];
    const std::size_t frameLength = frame::Encode(packet, n + rq::kOverhead, wire);
    const SetupPacket setup{kVendorRequestType, kVendorRequest, 0, 0,
                            static_cast<std::uint16_t>(frameLength)};
    reader.linkFailed = false;
    if (!ops.controlOut(reader.usb, setup, wire)) {
        reader.linkFailed = true;
        return ERR_FAILURE;
    }

    std::uint8_t rx[kFrameCapacity];
    const std::size_t received = ReceiveFrame(ops, reader, rx);
    if (received == 0) return ERR_FAILURE;

    // The first character is taken to be STX. Every complete pair after it
    // is decoded, including any that arrived behind ETX in the last read:
    // they land behind the packet where nothing reads them.
    namespace rp = reply_packet;
    std::uint8_t decoded[kFrameCapacity / 2];
    const std::size_t pairs = (received - 1) / 2;
    for (std::size_t i = 0; i < pairs; ++i) {
        decoded[i] = frame::DecodePair(rx[1 + 2 * i], rx[2 + 2 * i]);
    }
    if (pairs < rp::kOverhead) return ERR_FAILURE;

    const std::uint8_t m = decoded[rp::kPayloadLength];
    // A length that points past the decoded text or past the caller's buffer
    // is as corrupt as a bad checksum.
    if (rp::kPayload + m >= pairs || m > replyCapacity) return ERR_FAILURE;
    *replyLength = m;
    std::memcpy(reply, decoded + rp::kPayload, m);
    if (frame::Checksum(decoded, rp::kPayload + m) != decoded[rp::kPayload + m]) {
        return ERR_FAILURE;
    }

    const auto status =
        static_cast<std::uint16_t>((decoded[rp::kStatusHigh] << 8) | decoded[rp::kStatusLow]);
    if (status == kTransportOk) return RESULT_OK;
    // A transport status of 0 would read as success to every caller although
    // the reader did not take the command.
    if (status == 0) return ERR_FAILURE;
    return static_cast<std::int16_t>(status);
}

}  // namespace zelvorn
