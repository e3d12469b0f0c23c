// The path every reader command takes, from the exported function's handle
// to the reply it may read. Command functions describe their request and
// reply; the checks and the framing live only here and below.
//
// Every exported reader function makes its checks in one order, each in one
// place:
//
//   1. the handle's range                ERR_INVALID_HANDLE       Command_Admit
//   2. the function's own arguments      ERR_INVALID_PARAMETER    Command_Admit
//   3. a reader in the handle's slot     ERR_INVALID_HANDLE       Command_Run
//   4. the exchange                      the transport's result   Command_Run
//   5. the reader status                 that status              Command_Run
//   6. the reply length                  0, reply not complete    Command_Run
//
// Nothing is sent unless 1 to 3 pass. The functions that take a byte count
// (Zelvorn_MultiTagSelect, Zelvorn_DirectSend, Zelvorn_DirectReceive) test
// it before the handle; Zelvorn_ListTags tests its outputs only once the
// reader has answered. Both exceptions stand in those functions.
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

    // 0 when the reader carried the command out.
    std::uint16_t ReaderStatus() const {
        return static_cast<std::uint16_t>((At(reply_block::kStatusHigh) << 8) |
                                          At(reply_block::kStatusLow));
    }
    // P, the data length the reply declares.
    std::uint8_t DeclaredDataLength() const { return At(reply_block::kDataLength); }
    // The data bytes actually received (M - 5, or 0).
    std::size_t ReceivedDataLength() const {
        return length_ > reply_block::kData ? length_ - reply_block::kData : 0u;
    }
    const std::uint8_t* Data() const { return bytes_ + reply_block::kData; }
    // True when the declared data fits in what was received.
    bool DeclaredDataReceived() const { return DeclaredDataLength() <= ReceivedDataLength(); }
    // True when the reply is exactly as long as the data it declares.
    bool LengthAsDeclared() const { return length_ == DeclaredDataLength() + reply_block::kData; }

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

// What a command function states about one reader command: its code and the
// M of a complete reply.
struct CommandDescription {
    std::uint8_t code;
    std::uint8_t expectedLength;  // kLengthAsDeclared: M = P + 5, whatever P is
};
constexpr std::uint8_t kLengthAsDeclared = 0;

// The description the protocol table gives a command: a reply of fixed
// length is complete at that length, one whose length varies when it is as
// long as the data it declares.
// (It walks the table itself: GCC's sanitizers make a pointer compared in a
// constant expression, such as Protocol_Find's result, no constant.)
consteval CommandDescription Command_Described(std::uint8_t code) {
    for (const ProtocolRow& row : Protocol_Commands()) {
        if (row.code != code) continue;
        if (row.replyLength == kVariableLength) return {code, kLengthAsDeclared};
        return {code, static_cast<std::uint8_t>(reply_block::kData + row.replyLength)};
    }
    throw "no such command in the protocol table";
}

// A call past steps 1 and 2, or the result that refused it. The handle is
// looked up here, once; an empty slot shows only when the call goes on to
// its exchange (step 3), after the function's arguments.
struct CommandCall {
    std::int16_t refusal;   // nonzero: the call ends with this result, nothing sent
    ReaderContext* reader;  // the reader in the handle's slot; null for an empty one
};

// Steps 1 and 2: the handle's range, then the verdict on the function's own
// arguments, which the caller forms without dereferencing anything it has
// not checked.
CommandCall Command_Admit(std::int16_t handle, bool argumentsValid = true);

// What came of a command.
struct CommandResult {
    // The call's result so far: the refusal, ERR_INVALID_HANDLE for an empty
    // slot, the transport's result or the reader status (a status with its
    // top bit set comes out negative); 0 when the reader carried the command
    // out.
    std::int16_t result;
    // The result is 0 and the reply has the length the command expects: the
    // function may deliver its outputs. A reply of another length is taken
    // as done (result 0) with the outputs untouched.
    bool complete;

    // The reader carried the command out and its reply is complete: only
    // then are there outputs to read.
    bool Delivered() const { return result == 0 && complete; }
};

// Steps 3 to 6 for an ordinary command: frame type E0, L = N + 2, the
// description's code and these data bytes (at most kMaxRequestData).
CommandResult Command_Run(const CommandCall& call, const CommandDescription& command,
                          const std::uint8_t* data, std::size_t dataLength, ReplyBuffer& reply);
CommandResult Command_Run(const CommandCall& call, const CommandDescription& command,
                          std::initializer_list<std::uint8_t> data, ReplyBuffer& reply);

// Steps 3 to 6 for a request the function built whole (the direct send and
// receive); its reply is complete when it is as long as the data it declares.
CommandResult Command_Run(const CommandCall& call, const RequestBlock& request, ReplyBuffer& reply);

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
