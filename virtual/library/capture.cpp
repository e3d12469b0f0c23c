#include "virtual/library/capture.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>

namespace zelvorn::virt {
namespace {

// pcap file header and record header (pcap-savefile(5)); everything is
// written little-endian, which the magic number tells readers.
constexpr std::uint32_t kPcapMagic = 0xA1B2C3D4;
constexpr std::uint32_t kLinkTypeUsbLinuxMmapped = 220;
constexpr std::uint32_t kSnapLength = 65535;
constexpr std::size_t kFileHeaderSize = 24;
constexpr std::size_t kRecordHeaderSize = 16;
// The usbmon header of link type 220: the 48 bytes of the kernel's binary
// interface and 16 more (interval, start frame, transfer flags, ISO
// descriptor count).
constexpr std::size_t kUsbmonHeaderSize = 64;

// Where the reader sits on the bus, as a capture on Linux would show it.
constexpr std::uint16_t kBus = 1;
constexpr std::uint8_t kDeviceAddress = 2;

// Transfer types and URB statuses as usbmon reports them.
constexpr std::uint8_t kTransferInterrupt = 1;
constexpr std::uint8_t kTransferControl = 2;
constexpr std::int32_t kStatusInProgress = -115;  // -EINPROGRESS, every submission
// A transfer the device did not complete: -EPIPE, as for a stalled endpoint.
constexpr std::int32_t kStatusFailed = -32;
constexpr std::uint32_t kTransferDirIn = 0x200;  // URB_DIR_IN in the transfer flags

// The interrupt endpoint's polling interval, in frames.
constexpr std::uint8_t kInterruptInterval = 10;

struct Event {
    std::uint64_t urb;
    char type;  // 'S' submission, 'C' completion
    std::uint8_t transfer;
    std::uint8_t endpoint;      // bit 7 set for IN
    const std::uint8_t* setup;  // 8 bytes, submissions of control transfers only
    std::int32_t status;
    std::uint32_t urbLength;   // bytes asked for (S) or transferred (C)
    const std::uint8_t* data;  // the bytes that went over the link, if any
    std::uint32_t dataLength;
};

void Put(std::uint8_t* out, std::uint64_t value, std::size_t bytes) {
    for (std::size_t i = 0; i < bytes; ++i) out[i] = static_cast<std::uint8_t>(value >> (8 * i));
}

void EncodeSetup(const SetupPacket& setup, std::uint8_t (&out)[8]) {
    out[0] = setup.requestType;
    out[1] = setup.request;
    Put(out + 2, setup.value, 2);
    Put(out + 4, setup.index, 2);
    Put(out + 6, setup.length, 2);
}

class CaptureFile {
public:
    bool Open(const char* path) {
        file_ = std::fopen(path, "wb");
        if (file_ == nullptr) return false;
        std::uint8_t header[kFileHeaderSize] = {};
        Put(header, kPcapMagic, 4);
        Put(header + 4, 2, 2);  // version 2.4
        Put(header + 6, 4, 2);
        Put(header + 16, kSnapLength, 4);
        Put(header + 20, kLinkTypeUsbLinuxMmapped, 4);
        if (Emit(header, sizeof header) && Flush()) return true;
        std::fclose(file_);
        file_ = nullptr;
        return false;
    }

    std::uint64_t NextUrb() { return kUrbBase + 0x100 * ++urbCount_; }

    // Writes one event; after the first failure to write, says so once and
    // records nothing more, while the transfers themselves go on.
    void Write(const Event& e) {
        if (file_ == nullptr) return;
        const auto now = std::chrono::system_clock::now().time_since_epoch();
        const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(now);
        const auto micros = std::chrono::duration_cast<std::chrono::microseconds>(now - seconds);
        const std::uint32_t captured = std::min<std::uint32_t>(e.data == nullptr ? 0 : e.dataLength,
                                                               kSnapLength - kUsbmonHeaderSize);

        std::uint8_t head[kRecordHeaderSize + kUsbmonHeaderSize] = {};
        std::uint8_t* r = head;
        Put(r, static_cast<std::uint64_t>(seconds.count()), 4);
        Put(r + 4, static_cast<std::uint64_t>(micros.count()), 4);
        Put(r + 8, kUsbmonHeaderSize + captured, 4);
        Put(r + 12, kUsbmonHeaderSize + captured, 4);

        std::uint8_t* u = head + kRecordHeaderSize;
        const bool in = (e.endpoint & 0x80) != 0;
        Put(u, e.urb, 8);
        u[8] = static_cast<std::uint8_t>(e.type);
        u[9] = e.transfer;
        u[10] = e.endpoint;
        u[11] = kDeviceAddress;
        Put(u + 12, kBus, 2);
        u[14] = e.setup != nullptr ? 0 : '-';
        // No data: '<' for a submission that reads, '>' for a completion of a
        // write or of a read that brought nothing, as the kernel marks them.
        u[15] = captured > 0 ? 0 : (e.type == 'S' && in ? '<' : '>');
        Put(u + 16, static_cast<std::uint64_t>(seconds.count()), 8);
        Put(u + 24, static_cast<std::uint32_t>(micros.count()), 4);
        Put(u + 28, static_cast<std::uint32_t>(e.status), 4);
        Put(u + 32, e.urbLength, 4);
        Put(u + 36, captured, 4);
        if (e.setup != nullptr) std::memcpy(u + 40, e.setup, 8);
        Put(u + 48, e.transfer == kTransferInterrupt ? kInterruptInterval : 0, 4);
        Put(u + 56, in ? kTransferDirIn : 0, 4);

        if (!Emit(head, sizeof head) || (captured > 0 && !Emit(e.data, captured)) || !Flush()) {
            std::fprintf(stderr,
                         "zelvorn-virtual: capture: writing failed; the capture ends here\n");
            std::fclose(file_);
            file_ = nullptr;
        }
    }

    // The enumeration a capture on Linux starts with when it runs while the
    // reader is plugged in: GET_DESCRIPTOR(DEVICE), GET_DESCRIPTOR
    // (CONFIGURATION) and SET_CONFIGURATION.
    void WriteEnumeration(std::uint16_t vendorId, std::uint16_t productId) {
        std::uint8_t device[18] = {18, 0x01, 0x00, 0x02, 0x00, 0x00, 0x00, 64};
        Put(device + 8, vendorId, 2);
        Put(device + 10, productId, 2);
        Put(device + 12, 0x0100, 2);  // bcdDevice
        device[17] = 1;               // one configuration
        // Configuration, one vendor-specific interface, its interrupt-IN
        // endpoint of 8 bytes.
        const std::uint8_t configuration[25] = {9,    0x02, 25,   0, 1, 1,    0,
                                                0x80, 50,  //
                                                9,    0x04, 0,    0, 1, 0xFF, 0x00,
                                                0x00, 0,  //
                                                7,    0x05, 0x81, 3, 8, 0,    kInterruptInterval};
        ControlIn(0x0100, device, sizeof device);
        ControlIn(0x0200, configuration, sizeof configuration);
        std::uint8_t setup[8];
        EncodeSetup(SetupPacket{0x00, 0x09, 1, 0, 0}, setup);
        const std::uint64_t urb = NextUrb();
        Write({urb, 'S', kTransferControl, 0x00, setup, kStatusInProgress, 0, nullptr, 0});
        Write({urb, 'C', kTransferControl, 0x00, nullptr, 0, 0, nullptr, 0});
    }

private:
    static constexpr std::uint64_t kUrbBase = 0xFFFF888000000000ULL;

    void ControlIn(std::uint16_t descriptor, const std::uint8_t* bytes, std::uint16_t length) {
        std::uint8_t setup[8];
        EncodeSetup(SetupPacket{0x80, 0x06, descriptor, 0, length}, setup);
        const std::uint64_t urb = NextUrb();
        Write({urb, 'S', kTransferControl, 0x80, setup, kStatusInProgress, length, nullptr, 0});
        Write({urb, 'C', kTransferControl, 0x80, nullptr, 0, length, bytes, length});
    }

    bool Emit(const void* bytes, std::size_t count) {
        return std::fwrite(bytes, 1, count, file_) == count;
    }
    bool Flush() { return std::fflush(file_) == 0; }

    std::FILE* file_ = nullptr;
    std::uint64_t urbCount_ = 0;
};

CaptureFile g_capture;
const PlatformOps* g_inner = nullptr;
PlatformOps g_ops;

bool CaptureControlOut(PlatformUsb* usb, const SetupPacket& setup, const std::uint8_t* data) {
    std::uint8_t raw[8];
    EncodeSetup(setup, raw);
    const std::uint64_t urb = g_capture.NextUrb();
    const std::uint32_t sent = data == nullptr ? 0 : setup.length;
    g_capture.Write(
        {urb, 'S', kTransferControl, 0x00, raw, kStatusInProgress, setup.length, data, sent});
    const bool ok = g_inner->controlOut(usb, setup, data);
    g_capture.Write({urb, 'C', kTransferControl, 0x00, nullptr, ok ? 0 : kStatusFailed,
                     ok ? setup.length : 0u, nullptr, 0});
    return ok;
}

bool CaptureReadPipe(PlatformUsb* usb, std::uint8_t pipeId, std::uint8_t* buffer,
                     std::uint32_t capacity, std::uint32_t* received) {
    const std::uint64_t urb = g_capture.NextUrb();
    g_capture.Write(
        {urb, 'S', kTransferInterrupt, pipeId, nullptr, kStatusInProgress, capacity, nullptr, 0});
    const bool ok = g_inner->readPipe(usb, pipeId, buffer, capacity, received);
    // Never more than the buffer holds, whatever the count says.
    const std::uint32_t got = ok ? std::min(*received, capacity) : 0;
    g_capture.Write(
        {urb, 'C', kTransferInterrupt, pipeId, nullptr, ok ? 0 : kStatusFailed, got, buffer, got});
    return ok;
}

}  // namespace

const PlatformOps* Capture_Start(const char* path, const PlatformOps& inner, std::uint16_t vendorId,
                                 std::uint16_t productId) {
    if (g_inner != nullptr) {
        std::fprintf(stderr, "zelvorn-virtual: capture %s: a capture is already running\n", path);
        return nullptr;
    }
    if (!g_capture.Open(path)) {
        std::fprintf(stderr,
                     "zelvorn-virtual: capture %s: cannot create the file (check the folder "
                     "exists and is writable)\n",
                     path);
        return nullptr;
    }
    g_capture.WriteEnumeration(vendorId, productId);
    g_inner = &inner;
    g_ops = inner;
    g_ops.controlOut = CaptureControlOut;
    g_ops.readPipe = CaptureReadPipe;
    return &g_ops;
}

}  // namespace zelvorn::virt
