// A reader that costs nothing: it answers every command frame at once with a
// reply frame prepared beforehand, and counts what the library asks of the
// USB link. It drives the allocation-free replay platform of tests/support,
// the platform of the benchmark programs, so that what they measure is the
// library's own work.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/platform.h"

namespace zelvorn::bench {

// A reply frame kept in fixed storage, so that serving it allocates nothing.
struct PreparedFrame {
    std::uint8_t bytes[256];
    std::size_t length = 0;
};

// Picks the reply to one command frame. Must not allocate.
using Responder = const PreparedFrame& (*)(const std::uint8_t* frame, std::size_t length);

struct LinkCounters {
    std::uint64_t controlTransfers = 0;
    std::uint64_t pipeReads = 0;
    // What the reply frames served allow at best: one read per 8 bytes of
    // frame, rounded up, summed over the exchanges.
    std::uint64_t minimumReads = 0;
    // Bytes of the command and reply frames exchanged.
    std::uint64_t commandBytes = 0;
    std::uint64_t replyBytes = 0;
    // Reads that found no reply waiting; a real reader would block here.
    std::uint64_t starvedReads = 0;
};

class ZeroDevice {
public:
    static ZeroDevice& Instance();

    // Every command frame from now on is answered with this frame.
    void Answer(const PreparedFrame& reply);
    // Every command frame from now on is answered with what responder picks.
    void AnswerWith(Responder responder);

    // Deliver at most this many bytes per read, as a reader with a smaller
    // interrupt packet would; 0 delivers what the library asks for.
    void LimitReads(std::size_t bytes) { readLimit_ = bytes; }

    LinkCounters& Counters() { return counters_; }
    void ClearCounters() { counters_ = {}; }

private:
    ZeroDevice();
    // The replay platform's hooks: the reply to a command frame, the size
    // of a read.
    static bool OnControl(const std::uint8_t* frame, std::size_t length);
    static bool OnRead(std::uint32_t capacity, std::uint32_t* size);

    const PreparedFrame* fixed_ = nullptr;
    Responder responder_ = nullptr;
    std::size_t readLimit_ = 0;
    LinkCounters counters_;
};

// Reply frames as a reader sends them: STX, upper-case hexadecimal of
// (00, transport status, M, payload, checksum), ETX.
PreparedFrame ReplyFrame(const std::uint8_t* payload, std::size_t payloadLength,
                         std::uint16_t transportStatus = 0x9000);
// A reply whose ReplyBlock carries reader status 0 and these data bytes.
PreparedFrame ReaderReply(const std::uint8_t* data, std::size_t dataLength);

}  // namespace zelvorn::bench
