#include "bench/zero_device.h"

#include <cstring>

#include "tests/support/frame_codec.h"
#include "tests/support/replay_platform.h"
#include "transport/transport.h"

namespace zelvorn::bench {
namespace {

constexpr std::size_t kReadSize = 8;

}  // namespace

ZeroDevice& ZeroDevice::Instance() {
    static ZeroDevice device;
    return device;
}

ZeroDevice::ZeroDevice() {
    replay::Install({&ZeroDevice::OnControl, &ZeroDevice::OnRead});
}

void ZeroDevice::Answer(const PreparedFrame& reply) {
    fixed_ = &reply;
    responder_ = nullptr;
}

void ZeroDevice::AnswerWith(Responder responder) {
    fixed_ = nullptr;
    responder_ = responder;
}

bool ZeroDevice::OnControl(const std::uint8_t* frame, std::size_t length) {
    ZeroDevice& d = Instance();
    ++d.counters_.controlTransfers;
    d.counters_.commandBytes += length;
    // What a reply left unread is gone with the next command, as on the wire.
    replay::Drain();
    const PreparedFrame* reply = d.responder_ != nullptr ? &d.responder_(frame, length) : d.fixed_;
    if (reply != nullptr) {
        replay::Queue(reply->bytes, reply->length);
        d.counters_.replyBytes += reply->length;
        d.counters_.minimumReads += (reply->length + kReadSize - 1) / kReadSize;
    }
    return true;
}

bool ZeroDevice::OnRead(std::uint32_t capacity, std::uint32_t* size) {
    ZeroDevice& d = Instance();
    ++d.counters_.pipeReads;
    if (replay::Pending() == 0) {
        // A silent reader would block the caller for ever; the replay
        // platform fails the read instead.
        ++d.counters_.starvedReads;
    }
    *size = d.readLimit_ != 0 && d.readLimit_ < capacity ? static_cast<std::uint32_t>(d.readLimit_)
                                                         : capacity;
    return true;
}

PreparedFrame ReplyFrame(const std::uint8_t* payload, std::size_t payloadLength,
                         std::uint16_t transportStatus) {
    const std::size_t n = payloadLength < kMaxReplyPayload ? payloadLength : kMaxReplyPayload;
    PreparedFrame out;
    static_assert(sizeof out.bytes >= testing::ReplyFrameLength(kMaxReplyPayload));
    out.length =
        testing::EncodeReplyFrame(payload, n, out.bytes, {.transportStatus = transportStatus});
    return out;
}

PreparedFrame ReaderReply(const std::uint8_t* data, std::size_t dataLength) {
    std::uint8_t payload[kMaxReplyPayload];
    const std::size_t n = dataLength < kMaxReplyData ? dataLength : kMaxReplyData;
    return ReplyFrame(payload, testing::EncodeReplyBlock(0, data, n, payload));
}

}  // namespace zelvorn::bench
