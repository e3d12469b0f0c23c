// The one door between the library and the operating system.
//
// Everything above this interface is plain byte handling. Each platform
// (WinUSB with cfgmgr32, libusb with libudev, the test double, the virtual
// reader) fills one PlatformOps table, and exactly one of them is linked into
// each build through Platform_Default().
#pragma once

#include <cstddef>
#include <cstdint>

namespace zelvorn {

#if defined(_WIN32)
using PathChar = wchar_t;
#else
using PathChar = char;
#endif

// Device paths are held in a fixed buffer of this many characters, the
// terminating zero included.
constexpr std::size_t kDevicePathChars = 260;

// Opaque handles owned by the platform: the opened device file and the USB
// interface bound to it. On Windows they are the file HANDLE and the
// WINUSB_INTERFACE_HANDLE themselves; on Linux a PlatformFile holds the
// device node's descriptor and a PlatformUsb the libusb handle, its active
// configuration and the interface's setting 0; the stand-ins use numbers of
// their own that only need to differ from null.
struct PlatformFile;
struct PlatformUsb;

enum class OpenOutcome : std::uint8_t {
    Ok,
    AccessDenied,  // the system refused access (the device is held elsewhere)
    Failed,
};

// USB pipe types, numbered as USB numbers them.
enum : std::uint8_t {
    kPipeControl = 0,
    kPipeIsochronous = 1,
    kPipeBulk = 2,
    kPipeInterrupt = 3,
};

// Bit 7 of an endpoint address: the endpoint sends to the host.
constexpr std::uint8_t kEndpointIn = 0x80;

struct PipeInfo {
    std::uint8_t type;  // one of kPipe*
    std::uint8_t id;    // endpoint address; kEndpointIn set for IN
};

struct SetupPacket {
    std::uint8_t requestType;
    std::uint8_t request;
    std::uint16_t value;
    std::uint16_t index;
    std::uint16_t length;
};

struct PlatformOps {
    // Fills path with the index-th present reader (counted from 0) and
    // returns true, or returns false when there is none or its path does not
    // fit kDevicePathChars.
    bool (*findPath)(PathChar* path, std::uint32_t index);

    // Opens the path for exclusive reading and writing.
    OpenOutcome (*openPath)(const PathChar* path, PlatformFile** file);

    // Binds the reader's USB interface to an open file. AccessDenied means the
    // interface is held by another program (where the system only tells so
    // when the interface is claimed rather than when the file is opened).
    OpenOutcome (*bindInterface)(PlatformFile* file, PlatformUsb** usb);

    // Number of endpoints of alternate setting 0 of the interface.
    bool (*queryEndpointCount)(PlatformUsb* usb, std::uint8_t* count);

    // Type and address of the endpoint at that index of alternate setting 0.
    bool (*queryPipe)(PlatformUsb* usb, std::uint8_t endpointIndex, PipeInfo* pipe);

    // One synchronous control transfer out; data holds setup.length bytes.
    bool (*controlOut)(PlatformUsb* usb, const SetupPacket& setup, const std::uint8_t* data);

    // One synchronous read of the interrupt-IN pipe. Stores at most capacity
    // bytes and their count in received (0 is a valid, empty read).
    bool (*readPipe)(PlatformUsb* usb, std::uint8_t pipeId, std::uint8_t* buffer,
                     std::uint32_t capacity, std::uint32_t* received);

    void (*releaseInterface)(PlatformUsb* usb);
    void (*closeFile)(PlatformFile* file);
};

// Provided by exactly one platform implementation per build.
const PlatformOps& Platform_Default();

}  // namespace zelvorn
