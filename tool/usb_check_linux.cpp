// The USB devices with the reader's IDs, from udev: whether the udev rules
// have tagged each as a reader, and whether this user can open its device
// node, the two things the library needs.
#include <fcntl.h>
#include <libudev.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>

#include "tool/usb_check.h"
#include "zelvorn_device.h"

#ifndef ZELVORN_UDEV_TAG
#error "ZELVORN_UDEV_TAG must name the udev tag that the rules file gives readers"
#endif

namespace zelvorn::tool {

namespace {

struct UdevDeleter {
    void operator()(udev* u) const { udev_unref(u); }
    void operator()(udev_enumerate* e) const { udev_enumerate_unref(e); }
    void operator()(udev_device* d) const { udev_device_unref(d); }
};
template <typename T>
using Owned = std::unique_ptr<T, UdevDeleter>;

// A four-digit hexadecimal attribute as sysfs writes it (idVendor, idProduct).
std::optional<std::uint16_t> HexAttribute(udev_device* device, const char* name) {
    const char* text = udev_device_get_sysattr_value(device, name);
    if (text == nullptr || *text == 0) return std::nullopt;
    char* end = nullptr;
    errno = 0;
    const unsigned long value = std::strtoul(text, &end, 16);
    if (errno != 0 || value > 0xFFFF || (*end != 0 && *end != '\n')) return std::nullopt;
    return static_cast<std::uint16_t>(value);
}

// Opens the node as the library does; only the outcome counts.
int OpenError(const char* node) {
    const int fd = open(node, O_RDWR | O_CLOEXEC);
    if (fd < 0) return errno;
    close(fd);
    return 0;
}

}  // namespace

UsbCheck CheckUsbDevices() {
    UsbCheck check;
    check.vendor = ZELVORN_DEVICE_USB_VENDOR_ID;
    check.product = ZELVORN_DEVICE_USB_PRODUCT_ID;
    Owned<udev> u(udev_new());
    Owned<udev_enumerate> e(u ? udev_enumerate_new(u.get()) : nullptr);
    if (!e || udev_enumerate_add_match_subsystem(e.get(), "usb") < 0 ||
        udev_enumerate_add_match_property(e.get(), "DEVTYPE", "usb_device") < 0 ||
        udev_enumerate_scan_devices(e.get()) < 0) {
        check.failure = "udev did not list the USB devices";
        return check;
    }
    udev_list_entry* entry = nullptr;
    udev_list_entry_foreach(entry, udev_enumerate_get_list_entry(e.get())) {
        Owned<udev_device> device(
            udev_device_new_from_syspath(u.get(), udev_list_entry_get_name(entry)));
        if (!device) continue;  // gone since the scan
        if (HexAttribute(device.get(), "idVendor") != check.vendor ||
            HexAttribute(device.get(), "idProduct") != check.product) {
            continue;
        }
        const char* node = udev_device_get_devnode(device.get());
        UsbReaderDevice found{node != nullptr ? node : udev_device_get_syspath(device.get()),
                              UsbReaderDevice::State::Ready,
                              {}};
        if (udev_device_has_tag(device.get(), ZELVORN_UDEV_TAG) <= 0) {
            found.state = UsbReaderDevice::State::NotTagged;
        } else if (node == nullptr) {
            found.state = UsbReaderDevice::State::NotAccessible;
            found.detail = "it has no device node";
        } else if (const int error = OpenError(node); error == EACCES || error == EPERM) {
            // Any other failure is no matter of rules or permissions; the
            // library meets it too and says so.
            found.state = UsbReaderDevice::State::NotAccessible;
            found.detail = std::strerror(error);
        }
        check.devices.push_back(std::move(found));
    }
    return check;
}

}  // namespace zelvorn::tool
