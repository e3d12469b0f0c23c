// Names pcscd gives USB readers: "usb:vvvv/pppp:libudev:N:/dev/bus/usb/BBB/DDD",
// from the bundle's Info.plist. The device node names the reader, whatever
// its position among the readers present; interface N must be the reader's
// only one, 0. A reader.conf entry may also name a device node itself.
#include <cstdio>
#include <cstring>

#include "pcsc/device.h"

#ifndef ZELVORN_USB_VENDOR_ID
#error "ZELVORN_USB_VENDOR_ID and ZELVORN_USB_PRODUCT_ID must be the reader's USB IDs"
#endif

namespace zelvorn::pcsc {

const char kDeviceVendor[] = "Zelvorn";

namespace {

RESPONSECODE CopyPath(const char* node, PathChar* path) {
    const std::size_t length = std::strlen(node);
    if (node[0] != '/' || length >= kDevicePathChars) return IFD_NO_SUCH_DEVICE;
    std::memcpy(path, node, length + 1);
    return IFD_SUCCESS;
}

}  // namespace

RESPONSECODE Device_PathForName(const char* name, PathChar* path) {
    if (name == nullptr) return IFD_NO_SUCH_DEVICE;
    if (name[0] == '/') return CopyPath(name, path);
    unsigned vendor = 0, product = 0;
    int interface = -1, consumed = 0;
    if (std::sscanf(name, "usb:%4x/%4x:libudev:%d:%n", &vendor, &product, &interface, &consumed) !=
            3 ||
        consumed == 0) {
        return IFD_NO_SUCH_DEVICE;
    }
    if (vendor != ZELVORN_USB_VENDOR_ID || product != ZELVORN_USB_PRODUCT_ID || interface != 0) {
        return IFD_NO_SUCH_DEVICE;
    }
    return CopyPath(name + consumed, path);
}

}  // namespace zelvorn::pcsc
