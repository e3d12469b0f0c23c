#include "virtual/virtual_reader.h"

#include <algorithm>
#include <cctype>
#include <cstring>

#include "transport/transport.h"
#include "virtual/scenario.h"

namespace zelvorn::virt {
namespace {

// Handles: the session number shifted left, with bit 0 set so that no handle
// is null, and bit 1 telling a USB handle from a file handle.
constexpr std::uintptr_t kFileTag = 0x1;
constexpr std::uintptr_t kUsbTag = 0x3;

// Byte 0 of our reply packets, which the library does not interpret.
constexpr std::uint8_t kReplyFirstByte = 0x01;

std::uintptr_t Raw(const void* handle) {
    return reinterpret_cast<std::uintptr_t>(handle);
}

}  // namespace

VirtualReader& VirtualReader::Instance() {
    static VirtualReader reader;
    return reader;
}

VirtualReader::VirtualReader() {
    Load(Scenario_Default());
}

void VirtualReader::Load(Scenario scenario) {
    firmware_ = std::make_unique<Firmware>();
    Apply(scenario, *firmware_);
    faults_ = scenario.faults;
    plugged_ = true;
    opened_ = false;
    ++session_;
    pending_.clear();
    streaming_ = false;
    nextChunk_ = 0;
    commandFrames_ = 0;
    interruptReads_ = 0;
    lastFrame_.clear();
}

void VirtualReader::Unplug() {
    plugged_ = false;
    opened_ = false;
    ++session_;
    pending_.clear();
    streaming_ = false;
}

void VirtualReader::Plug() {
    if (plugged_) return;
    plugged_ = true;
    firmware_->PowerOn();
}

bool VirtualReader::Current(const void* handle) const {
    return plugged_ && opened_ && handle != nullptr && (Raw(handle) >> 2) == session_;
}

bool VirtualReader::FindPath(PathChar* path, std::uint32_t index) const {
    if (!plugged_ || index != 0) return false;
    std::size_t i = 0;
    for (; kVirtualReaderPath[i] != 0; ++i) path[i] = static_cast<PathChar>(kVirtualReaderPath[i]);
    path[i] = 0;
    return true;
}

OpenOutcome VirtualReader::OpenPath(const PathChar* path, PlatformFile** file) {
    std::size_t i = 0;
    for (; kVirtualReaderPath[i] != 0; ++i) {
        if (path[i] != static_cast<PathChar>(kVirtualReaderPath[i])) return OpenOutcome::Failed;
    }
    if (path[i] != 0 || !plugged_) return OpenOutcome::Failed;
    if (opened_) return OpenOutcome::AccessDenied;  // opened without sharing
    opened_ = true;
    *file = reinterpret_cast<PlatformFile*>(session_ << 2 | kFileTag);
    return OpenOutcome::Ok;
}

OpenOutcome VirtualReader::BindInterface(PlatformFile* file, PlatformUsb** usb) {
    if (!Current(file) || (Raw(file) & 0x3) != kFileTag) return OpenOutcome::Failed;
    *usb = reinterpret_cast<PlatformUsb*>(session_ << 2 | kUsbTag);
    return OpenOutcome::Ok;
}

bool VirtualReader::QueryEndpointCount(PlatformUsb* usb, std::uint8_t* count) const {
    if (!Current(usb)) return false;
    *count = 1;
    return true;
}

bool VirtualReader::QueryPipe(PlatformUsb* usb, std::uint8_t endpointIndex, PipeInfo* pipe) const {
    if (!Current(usb) || endpointIndex != 0) return false;
    *pipe = PipeInfo{kPipeInterrupt, kVirtualInterruptPipe};
    return true;
}

bool VirtualReader::ControlOut(PlatformUsb* usb, const SetupPacket& setup,
                               const std::uint8_t* data) {
    if (!Current(usb) || (data == nullptr && setup.length > 0)) return false;
    // Anything but the vendor request the reader understands is stalled.
    if (setup.requestType != kVendorRequestType || setup.request != kVendorRequest ||
        setup.value != 0 || setup.index != 0) {
        return false;
    }
    ++commandFrames_;
    lastFrame_.assign(data, data + setup.length);
    if (streaming_) {  // a new command cuts an endless reply short
        pending_.clear();
        streaming_ = false;
    }
    if (faults_.endlessReply) {
        pending_.push_back(frame::kStx);
        streaming_ = true;
        return true;
    }
    if (faults_.refuseCommands > 0) {
        --faults_.refuseCommands;
        QueueReply(faults_.refusalStatus, {});
        return true;
    }
    FirmwareReply reply = firmware_->HandleFrame(data, setup.length);
    CutIfAsked(data, setup.length, reply.payload);
    QueueReply(reply.transport, reply.payload);
    return true;
}

void VirtualReader::CutIfAsked(const std::uint8_t* frame, std::size_t length,
                               Bytes& payload) const {
    // The command code's two digits behind STX and the packet's first three bytes.
    constexpr std::size_t kCodeAt = 1 + 2 * request_packet::kCommand;
    if (faults_.shortReplies.empty() || length < kCodeAt + 2) return;
    const std::uint8_t code = frame::DecodePair(frame[kCodeAt], frame[kCodeAt + 1]);
    if (std::find(faults_.shortReplies.begin(), faults_.shortReplies.end(), code) ==
            faults_.shortReplies.end() ||
        payload.size() <= reply_block::kData) {
        return;
    }
    payload.pop_back();
}

void VirtualReader::QueueReply(std::uint16_t transportStatus, const Bytes& payload) {
    namespace rp = reply_packet;
    std::uint8_t packet[kFrameCapacity / 2];
    const std::size_t m = std::min(payload.size(), std::size_t{kMaxReplyPayload});
    packet[rp::kFirst] = kReplyFirstByte;
    packet[rp::kStatusHigh] = static_cast<std::uint8_t>(transportStatus >> 8);
    packet[rp::kStatusLow] = static_cast<std::uint8_t>(transportStatus);
    packet[rp::kPayloadLength] = static_cast<std::uint8_t>(m);
    std::copy(payload.begin(), payload.begin() + static_cast<std::ptrdiff_t>(m),
              packet + rp::kPayload);
    packet[rp::kPayload + m] = frame::Checksum(packet, rp::kPayload + m);
    if (faults_.corruptChecksums > 0) {
        --faults_.corruptChecksums;
        packet[rp::kPayload + m] ^= 0x5A;
    }
    std::uint8_t wire[kFrameCapacity];
    const std::size_t length = frame::Encode(packet, m + rp::kOverhead, wire);
    for (std::size_t i = 0; i < length; ++i) {
        const std::uint8_t c = wire[i];
        pending_.push_back(faults_.lowerCaseHex ? static_cast<std::uint8_t>(std::tolower(c)) : c);
    }
}

bool VirtualReader::ReadPipe(PlatformUsb* usb, std::uint8_t pipeId, std::uint8_t* buffer,
                             std::uint32_t capacity, std::uint32_t* received) {
    if (!Current(usb) || pipeId != kVirtualInterruptPipe) return false;
    ++interruptReads_;
    *received = 0;
    std::uint32_t chunk = 8;
    const auto& sizes = faults_.chunkSizes;
    // Empty reads in between are a fault worth showing; nothing but empty
    // reads would only make the host wait for ever.
    if (std::any_of(sizes.begin(), sizes.end(), [](std::uint32_t n) { return n != 0; })) {
        chunk = sizes[nextChunk_++ % sizes.size()];
    }
    if (chunk == 0) return true;
    if (pending_.empty() && !streaming_) {
        // A real reader would leave this read waiting for ever; failing it
        // keeps a test that asks for a reply nobody sends from hanging.
        return false;
    }
    const std::uint32_t n = std::min(chunk, capacity);
    for (std::uint32_t i = 0; i < n; ++i) {
        if (!pending_.empty()) {
            buffer[i] = pending_.front();
            pending_.pop_front();
        } else if (streaming_) {
            buffer[i] = '0';
        } else {
            break;
        }
        ++*received;
    }
    return true;
}

void VirtualReader::ReleaseInterface(PlatformUsb*) {}

void VirtualReader::CloseFile(PlatformFile* file) {
    if (Current(file)) opened_ = false;
}

}  // namespace zelvorn::virt

namespace zelvorn {
namespace {

using virt::VirtualReader;

bool FindPath(PathChar* path, std::uint32_t index) {
    return VirtualReader::Instance().FindPath(path, index);
}
OpenOutcome OpenPath(const PathChar* path, PlatformFile** file) {
    return VirtualReader::Instance().OpenPath(path, file);
}
OpenOutcome BindInterface(PlatformFile* file, PlatformUsb** usb) {
    return VirtualReader::Instance().BindInterface(file, usb);
}
bool QueryEndpointCount(PlatformUsb* usb, std::uint8_t* count) {
    return VirtualReader::Instance().QueryEndpointCount(usb, count);
}
bool QueryPipe(PlatformUsb* usb, std::uint8_t endpointIndex, PipeInfo* pipe) {
    return VirtualReader::Instance().QueryPipe(usb, endpointIndex, pipe);
}
bool ControlOut(PlatformUsb* usb, const SetupPacket& setup, const std::uint8_t* data) {
    return VirtualReader::Instance().ControlOut(usb, setup, data);
}
bool ReadPipe(PlatformUsb* usb, std::uint8_t pipeId, std::uint8_t* buffer, std::uint32_t capacity,
              std::uint32_t* received) {
    return VirtualReader::Instance().ReadPipe(usb, pipeId, buffer, capacity, received);
}
void ReleaseInterface(PlatformUsb* usb) {
    VirtualReader::Instance().ReleaseInterface(usb);
}
void CloseFile(PlatformFile* file) {
    VirtualReader::Instance().CloseFile(file);
}

constexpr PlatformOps kVirtualOps{
    .findPath = FindPath,
    .openPath = OpenPath,
    .bindInterface = BindInterface,
    .queryEndpointCount = QueryEndpointCount,
    .queryPipe = QueryPipe,
    .controlOut = ControlOut,
    .readPipe = ReadPipe,
    .releaseInterface = ReleaseInterface,
    .closeFile = CloseFile,
};

}  // namespace

const PlatformOps& VirtualReader_Ops() {
    return kVirtualOps;
}

}  // namespace zelvorn
