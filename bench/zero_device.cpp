#include "bench/zero_device.h"

#include <cstring>

#include "tests/support/frame_codec.h"
#include "transport/transport.h"

namespace zelvorn::bench {
namespace {

// The one reader this device presents, and the handles the library gets for
// it. Handles only need to be non-null; nothing behind them is read.
constexpr char kPath[] = "zero-latency-reader";
constexpr std::uint8_t kInterruptIn = 0x81;

PlatformFile* const kFile = reinterpret_cast<PlatformFile*>(std::uintptr_t{1});
PlatformUsb* const kUsb = reinterpret_cast<PlatformUsb*>(std::uintptr_t{1});

bool FindPath(PathChar* path, std::uint32_t index) {
    if (index != 0) return false;
    for (std::size_t i = 0; i < sizeof kPath; ++i) path[i] = static_cast<PathChar>(kPath[i]);
    return true;
}

OpenOutcome OpenPath(const PathChar*, PlatformFile** file) {
    *file = kFile;
    return OpenOutcome::Ok;
}

OpenOutcome BindInterface(PlatformFile*, PlatformUsb** usb) {
    *usb = kUsb;
    return OpenOutcome::Ok;
}

bool QueryEndpointCount(PlatformUsb*, std::uint8_t* count) {
    *count = 1;
    return true;
}

bool QueryPipe(PlatformUsb*, std::uint8_t endpointIndex, PipeInfo* pipe) {
    if (endpointIndex != 0) return false;
    *pipe = {kPipeInterrupt, kInterruptIn};
    return true;
}

void ReleaseInterface(PlatformUsb*) {}
void CloseFile(PlatformFile*) {}

const PlatformOps kOps{
    .findPath = FindPath,
    .openPath = OpenPath,
    .bindInterface = BindInterface,
    .queryEndpointCount = QueryEndpointCount,
    .queryPipe = QueryPipe,
    .controlOut = ZeroDevice::ControlOut,
    .readPipe = ZeroDevice::ReadPipe,
    .releaseInterface = ReleaseInterface,
    .closeFile = CloseFile,
};

constexpr std::size_t kReadSize = 8;

}  // namespace

ZeroDevice& ZeroDevice::Instance() {
    static ZeroDevice device;
    return device;
}

void ZeroDevice::Answer(const PreparedFrame& reply) {
    fixed_ = &reply;
    responder_ = nullptr;
}

void ZeroDevice::AnswerWith(Responder responder) {
    fixed_ = nullptr;
    responder_ = responder;
}

bool ZeroDevice::ControlOut(PlatformUsb*, const SetupPacket& setup, const std::uint8_t* data) {
    ZeroDevice& d = Instance();
    ++d.counters_.controlTransfers;
    d.serving_ = d.responder_ != nullptr ? &d.responder_(data, setup.length) : d.fixed_;
    d.cursor_ = 0;
    d.counters_.commandBytes += setup.length;
    if (d.serving_ != nullptr) {
        d.counters_.replyBytes += d.serving_->length;
        d.counters_.minimumReads += (d.serving_->length + kReadSize - 1) / kReadSize;
    }
    return true;
}

bool ZeroDevice::ReadPipe(PlatformUsb*, std::uint8_t, std::uint8_t* buffer, std::uint32_t capacity,
                          std::uint32_t* received) {
    ZeroDevice& d = Instance();
    ++d.counters_.pipeReads;
    const std::size_t left = d.serving_ != nullptr ? d.serving_->length - d.cursor_ : 0;
    if (left == 0) {
        // A silent reader would block the caller for ever; fail instead.
        ++d.counters_.starvedReads;
        return false;
    }
    std::size_t n = left < capacity ? left : capacity;
    if (d.readLimit_ != 0 && n > d.readLimit_) n = d.readLimit_;
    std::memcpy(buffer, d.serving_->bytes + d.cursor_, n);
    d.cursor_ += n;
    *received = static_cast<std::uint32_t>(n);
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

namespace zelvorn {
const PlatformOps& Platform_Default() {
    return bench::kOps;
}
}  // namespace zelvorn
