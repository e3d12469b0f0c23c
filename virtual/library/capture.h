// A record of the virtual reader's USB traffic as a pcap file, in the format
// Linux's usbmon gives (link type 220): what Wireshark and tshark open, and
// what a capture of a real reader on Linux looks like.
//
// The file starts with the enumeration of the device (its device and
// configuration descriptors and SET_CONFIGURATION), so that Wireshark knows
// the vendor and product IDs; then every control transfer out and every
// interrupt read follows as a submission and a completion, with the bytes
// that went over the link.
#pragma once

#include <cstdint>

#include "platform/platform.h"

namespace zelvorn::virt {

// The environment variable naming the capture file of the virtual library.
inline constexpr char kCaptureVariable[] = "ZELVORN_VIRTUAL_CAPTURE";

// Creates (or overwrites) the file at path and writes its header and the
// enumeration, then returns platform operations that pass every call on to
// inner and record the transfers. Returns nullptr, after one line on stderr
// saying why, when the file cannot be written. Only one capture runs per
// process; a second call returns nullptr.
const PlatformOps* Capture_Start(const char* path, const PlatformOps& inner, std::uint16_t vendorId,
                                 std::uint16_t productId);

}  // namespace zelvorn::virt
