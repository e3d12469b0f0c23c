// The path every reader command takes: build the request, exchange it, check
// the transport result and the reader status. Command functions describe
// their request and reply; framing and the common checks live only here.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>

#include "commands/protocol_table.h"
#include "readers/reader_table.h"
#include "transport/transport.h"

namespace zelvorn {

// The ReplyBlock as a command function reads it, over a buffer of the
// capacity the function states. Bytes the reader did not send read as 0, so a
// reply too short to carry a status or a data length behaves like a reply
// without data.
class ReplyBuffer {
public:
    ReplyBuffer(std::uint8_t* storage, std::size_t capacity)
        : bytes_(storage), capacity_(capacity) {}
    ReplyBuffer(const ReplyBuffer&) = delete;
    ReplyBuffer& operator=(const ReplyBuffer&) = delete;

    // M, the number of payload bytes received.
    std::uint8_t Length() const { return length_; }
    std::uint8_t At(std::size_t i) const { return i < length_ ? bytes_[i] : 0; }
    const std::uint8_t* Bytes() const { return bytes_; }

    // Bytes 1 (high) and 2 (low): 0 when the reader carried the command out.
    std::uint16_t ReaderStatus() const { return static_cast<std::uint16_t>((At(1) << 8) | At(2)); }
    // P, the data length the reply declares in byte 4.
    std::uint8_t DeclaredDataLength() const { return At(4); }
    // The data bytes actually received from byte 5 on (M - 5, or 0).
    std::size_t ReceivedDataLength() const { return length_ > 5 ? length_ - 5u : 0u; }
    const std::uint8_t* Data() const { return bytes_ + 5; }
    // True when the declared data fits in what was received.
    bool DeclaredDataReceived() const { return DeclaredDataLength() <= ReceivedDataLength(); }

    std::uint8_t* Storage() { return bytes_; }
    std::size_t Capacity() const { return capacity_; }
    std::uint8_t* LengthSlot() { return &length_; }

private:
    std::uint8_t* bytes_;
    std::size_t capacity_;
    std::uint8_t length_ = 0;
};

// A reply buffer of fixed capacity, local to one call.
template <std::size_t kCapacity>
class Reply : public ReplyBuffer {
public:
    Reply() : ReplyBuffer(storage_, kCapacity) {}

private:
    std::uint8_t storage_[kCapacity];
};

// What a command function states about one reader command.
struct CommandDescription {
    std::uint8_t code;
    std::uint8_t expectedLength;  // the M a complete reply has; kLengthNotTested for none
};
constexpr std::uint8_t kLengthNotTested = 0;

// The ReplyBlock carries its data behind five bytes: byte 0, the reader
// status (2), byte 3 and the data length P.
constexpr std::size_t kReplyDataOffset = 5;

// The description the protocol table gives a command: a reply of fixed
// length is complete at that length, one whose length varies is not tested.
consteval CommandDescription Command_Described(std::uint8_t code) {
    const CommandSpec* spec = Protocol_Find(code);
    if (spec == nullptr) throw "no such command in the protocol table";
    if (spec->replyLength == kVariableLength) return {code, kLengthNotTested};
    return {code, static_cast<std::uint8_t>(kReplyDataOffset + spec->replyLength)};
}

// Exchanges the request and checks, in order, the transport result and the
// reader status. Returns the first nonzero one unchanged (a status with its
// top bit set comes out negative), or 0 when the reader carried the command
// out and the reply may be read.
std::int16_t Command_Run(std::int16_t handle, const RequestBlock& request, ReplyBuffer& reply);

// The same for an ordinary command (frame type E0, L = N + 2).
std::int16_t Command_Run(std::int16_t handle, std::uint8_t code, const std::uint8_t* data,
                         std::size_t dataLength, ReplyBuffer& reply);
std::int16_t Command_Run(std::int16_t handle, std::uint8_t code,
                         std::initializer_list<std::uint8_t> data, ReplyBuffer& reply);

// True when a reply the reader carried out has the length the command
// expects; a reply of another length is accepted with its outputs untouched.
inline bool Reply_HasExpectedLength(const ReplyBuffer& reply, const CommandDescription& command) {
    return command.expectedLength == kLengthNotTested || reply.Length() == command.expectedLength;
}

// A card entry as the select and list replies carry it: card type, serial
// number length, then a serial-number field that is always delivered whole,
// whatever the length byte says (the reader fills it).
constexpr std::size_t kCardEntryOffset = 6;  // the first entry of a reply
constexpr std::size_t kCardEntrySize = 12;
constexpr std::size_t kSerialField = 10;

// Copies the entry at reply byte offset to the outputs that are not null.
// The caller has checked that the reply holds the entry.
void CardEntry_Deliver(const ReplyBuffer& reply, std::size_t offset, std::uint8_t* cardType,
                       std::uint8_t* serialLength, std::uint8_t* serialNumber);

// Values wider than a byte travel big-endian.
void Put32(std::uint8_t* out, std::int32_t value);
std::int32_t Get32(const std::uint8_t* in);

}  // namespace zelvorn
