// Which device a name from pcscd stands for. Each build of the driver links
// one answer: USB readers (device_usb.cpp) or the virtual readers
// (device_virtual.cpp).
#pragma once

#include "pcsc/ifd.h"

#include "platform/platform.h"

namespace zelvorn::pcsc {

// The device path for a DEVICENAME; IFD_NO_SUCH_DEVICE for a device, or a
// USB interface, this driver does not drive.
RESPONSECODE Device_PathForName(const char* name, PathChar* path);

// The device path for a CHANNELID: the channel-th reader present.
RESPONSECODE Device_PathForChannel(DWORD channel, PathChar* path);

// The reader's name for SCARD_ATTR_VENDOR_NAME and logs.
extern const char kDeviceVendor[];

}  // namespace zelvorn::pcsc
