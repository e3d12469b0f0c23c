// The Linux platform: readers are found with libudev and driven with libusb.
//
// The library never looks for USB vendor or product IDs. The udev rules file
// installed with it marks the reader's USB devices with our tag (and grants
// the logged-in user access), just as the driver package does on Windows by
// registering the reader under our interface class. Port n is the n-th
// present device carrying the tag, in udev's enumeration order.
//
// The device node is opened here, by path, and handed to libusb as an open
// descriptor, so that permission failures surface as errors of open() and a
// reader held by another program as a refused claim of its interface.
#include <fcntl.h>
#include <libudev.h>
#include <libusb.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <memory>
#include <new>

#include "platform/platform.h"

#ifndef ZELVORN_UDEV_TAG
#error "ZELVORN_UDEV_TAG must name the udev tag that the rules file gives readers"
#endif

namespace zelvorn {

struct PlatformFile {
    int fd;
};

struct PlatformUsb {
    libusb_device_handle* handle;
    libusb_config_descriptor* config;
    // Alternate setting 0 of interface 0, inside config.
    const libusb_interface_descriptor* setting;
    // A kernel driver was bound to the interface and detached by us; it is
    // given the interface back on release.
    bool reattachDriver;
};

namespace {

constexpr int kInterface = 0;

// One libusb context for the life of the process, made on the first open.
// Callers serialise opens, so no lock guards its creation; it is never torn
// down because open readers outlive nothing but the process.
libusb_context* Context() {
    static libusb_context* context = nullptr;
    if (context == nullptr && libusb_init(&context) != LIBUSB_SUCCESS) context = nullptr;
    return context;
}

bool FindPath(PathChar* path, std::uint32_t index) {
    udev* u = udev_new();
    if (u == nullptr) return false;
    bool found = false;
    udev_enumerate* e = udev_enumerate_new(u);
    if (e != nullptr && udev_enumerate_add_match_subsystem(e, "usb") >= 0 &&
        udev_enumerate_add_match_property(e, "DEVTYPE", "usb_device") >= 0 &&
        udev_enumerate_add_match_tag(e, ZELVORN_UDEV_TAG) >= 0 &&
        udev_enumerate_scan_devices(e) >= 0) {
        std::uint32_t position = 0;
        udev_list_entry* entry = nullptr;
        udev_list_entry_foreach(entry, udev_enumerate_get_list_entry(e)) {
            udev_device* device = udev_device_new_from_syspath(u, udev_list_entry_get_name(entry));
            if (device == nullptr) continue;  // gone since the scan
            const char* node = udev_device_get_devnode(device);
            // A device without a node cannot be opened and takes no port.
            if (node != nullptr && position++ == index) {
                const std::size_t length = std::strlen(node);
                if (length < kDevicePathChars) {
                    std::memcpy(path, node, length + 1);
                    found = true;
                }
                udev_device_unref(device);
                break;
            }
            udev_device_unref(device);
        }
    }
    if (e != nullptr) udev_enumerate_unref(e);
    udev_unref(u);
    return found;
}

OpenOutcome OpenPath(const PathChar* path, PlatformFile** file) {
    const int fd = open(path, O_RDWR | O_CLOEXEC);
    if (fd < 0) {
        return errno == EACCES || errno == EPERM ? OpenOutcome::AccessDenied : OpenOutcome::Failed;
    }
    *file = new (std::nothrow) PlatformFile{fd};
    if (*file == nullptr) {
        close(fd);
        return OpenOutcome::Failed;
    }
    return OpenOutcome::Ok;
}

// Alternate setting 0 of interface 0, or null when the configuration has none.
const libusb_interface_descriptor* SettingZero(const libusb_config_descriptor* config) {
    for (std::uint8_t i = 0; i < config->bNumInterfaces; ++i) {
        const libusb_interface& interface = config->interface[i];
        for (int a = 0; a < interface.num_altsetting; ++a) {
            const libusb_interface_descriptor& setting = interface.altsetting[a];
            if (setting.bInterfaceNumber == kInterface && setting.bAlternateSetting == 0) {
                return &setting;
            }
        }
    }
    return nullptr;
}

// What BindInterface acquires, released again on every way out but success.
struct CloseDevice {
    void operator()(libusb_device_handle* handle) const { libusb_close(handle); }
};
struct FreeConfig {
    void operator()(libusb_config_descriptor* config) const {
        libusb_free_config_descriptor(config);
    }
};
using DeviceOwner = std::unique_ptr<libusb_device_handle, CloseDevice>;
using ConfigOwner = std::unique_ptr<libusb_config_descriptor, FreeConfig>;

OpenOutcome BindInterface(PlatformFile* file, PlatformUsb** usb) {
    libusb_context* context = Context();
    if (context == nullptr) return OpenOutcome::Failed;
    libusb_device_handle* wrapped = nullptr;
    if (libusb_wrap_sys_device(context, file->fd, &wrapped) != LIBUSB_SUCCESS) {
        return OpenOutcome::Failed;
    }
    DeviceOwner handle(wrapped);  // closing it leaves the descriptor open: it is the file's
    libusb_config_descriptor* active = nullptr;
    if (libusb_get_active_config_descriptor(libusb_get_device(handle.get()), &active) !=
        LIBUSB_SUCCESS) {
        return OpenOutcome::Failed;
    }
    ConfigOwner config(active);
    const libusb_interface_descriptor* setting = SettingZero(config.get());
    if (setting == nullptr) return OpenOutcome::Failed;
    std::unique_ptr<PlatformUsb> bound(new (std::nothrow)
                                           PlatformUsb{handle.get(), config.get(), setting, false});
    if (bound == nullptr) return OpenOutcome::Failed;

    // A kernel driver that took the interface (a generic HID driver, say) is
    // moved aside. Another program's claim shows as usbfs, not as a kernel
    // driver, so it is left alone and the claim below reports it.
    if (libusb_kernel_driver_active(handle.get(), kInterface) == 1 &&
        libusb_detach_kernel_driver(handle.get(), kInterface) == LIBUSB_SUCCESS) {
        bound->reattachDriver = true;
    }
    const int claim = libusb_claim_interface(handle.get(), kInterface);
    if (claim != LIBUSB_SUCCESS) {
        if (bound->reattachDriver) libusb_attach_kernel_driver(handle.get(), kInterface);
        // A busy interface is the Linux form of "in use elsewhere".
        return claim == LIBUSB_ERROR_BUSY || claim == LIBUSB_ERROR_ACCESS
                   ? OpenOutcome::AccessDenied
                   : OpenOutcome::Failed;
    }
    // From here ReleaseInterface owns the handle and the configuration.
    *usb = bound.release();
    (void)handle.release();
    (void)config.release();
    return OpenOutcome::Ok;
}

bool QueryEndpointCount(PlatformUsb* usb, std::uint8_t* count) {
    *count = usb->setting->bNumEndpoints;
    return true;
}

bool QueryPipe(PlatformUsb* usb, std::uint8_t endpointIndex, PipeInfo* pipe) {
    if (endpointIndex >= usb->setting->bNumEndpoints) return false;
    const libusb_endpoint_descriptor& endpoint = usb->setting->endpoint[endpointIndex];
    pipe->type = endpoint.bmAttributes & LIBUSB_TRANSFER_TYPE_MASK;
    pipe->id = endpoint.bEndpointAddress;
    return true;
}

bool ControlOut(PlatformUsb* usb, const SetupPacket& setup, const std::uint8_t* data) {
    // libusb takes a writable pointer for both directions; an OUT transfer
    // only reads from it. No time-out: the call waits as long as the reader.
    const int r =
        libusb_control_transfer(usb->handle, setup.requestType, setup.request, setup.value,
                                setup.index, const_cast<std::uint8_t*>(data), setup.length, 0);
    return r >= 0;
}

bool ReadPipe(PlatformUsb* usb, std::uint8_t pipeId, std::uint8_t* buffer, std::uint32_t capacity,
              std::uint32_t* received) {
    const int length = capacity > INT_MAX ? INT_MAX : static_cast<int>(capacity);
    int transferred = 0;
    // A reader that sends more than was asked overflows the transfer, which
    // fails it rather than storing past the buffer.
    if (libusb_interrupt_transfer(usb->handle, pipeId, buffer, length, &transferred, 0) !=
        LIBUSB_SUCCESS) {
        return false;
    }
    *received = transferred < 0 ? 0 : static_cast<std::uint32_t>(transferred);
    return true;
}

void ReleaseInterface(PlatformUsb* usb) {
    // Each step is attempted even when the reader is gone; libusb reports
    // a vanished device without blocking.
    libusb_release_interface(usb->handle, kInterface);
    if (usb->reattachDriver) libusb_attach_kernel_driver(usb->handle, kInterface);
    libusb_free_config_descriptor(usb->config);
    libusb_close(usb->handle);  // leaves the descriptor open: it is the file's
    delete usb;
}

void CloseFile(PlatformFile* file) {
    close(file->fd);
    delete file;
}

const PlatformOps kOps{
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

const PlatformOps& Platform_Default() {
    return kOps;
}

}  // namespace zelvorn
