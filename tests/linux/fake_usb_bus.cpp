#include "tests/linux/fake_usb_bus.h"

#include <fcntl.h>
#include <linux/usb/ch9.h>
#include <linux/usbdevice_fs.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <stdexcept>
#include <thread>

namespace zelvorn::linuxtest {
namespace {

constexpr int kUsbMajor = 189;
const std::string kTagDir = std::string("/run/udev/tags/") + ZELVORN_UDEV_TAG;

std::string HexText(const Bytes& bytes) {
    static const char kDigits[] = "0123456789ABCDEF";
    std::string out;
    for (std::uint8_t b : bytes) {
        out.push_back(kDigits[b >> 4]);
        out.push_back(kDigits[b & 0x0F]);
    }
    return out;
}

std::string Padded(int value) {
    char text[8];
    std::snprintf(text, sizeof text, "%03d", value);
    return text;
}

void WriteText(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::trunc);
    out << text;
    if (!out) throw std::runtime_error("cannot write " + path);
}

std::string Errno(const char* what) {
    return std::string(what) + ": " + std::strerror(errno);
}

gboolean OnIoctl(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer device) {
    return static_cast<FakeUsbDevice*>(device)->HandleIoctl(client) ? TRUE : FALSE;
}

// Resolves the structure the ioctl argument points to, or null.
UMockdevIoctlData* Pointee(UMockdevIoctlData* arg, std::size_t size) {
    return umockdev_ioctl_data_resolve(arg, 0, size, nullptr);
}

}  // namespace

WithoutPermissionOverride::WithoutPermissionOverride() {
    syscall(SYS_capget, &header_, saved_);
    __user_cap_data_struct reduced[2] = {saved_[0], saved_[1]};
    reduced[0].effective &= ~((1u << CAP_DAC_OVERRIDE) | (1u << CAP_DAC_READ_SEARCH));
    ok_ = syscall(SYS_capset, &header_, reduced) == 0;
}

WithoutPermissionOverride::~WithoutPermissionOverride() {
    syscall(SYS_capset, &header_, saved_);
}

Bytes ReaderDescriptors(const std::vector<Endpoint>& endpoints, std::uint16_t productId,
                        std::uint16_t vendorId) {
    const auto total = static_cast<std::uint16_t>(9 + 9 + 7 * endpoints.size());
    Bytes d{18,
            0x01,
            0x00,
            0x02,
            0x00,
            0x00,
            0x00,
            0x40,  // USB 2.0, control packets of 64
            static_cast<std::uint8_t>(vendorId & 0xFF),
            static_cast<std::uint8_t>(vendorId >> 8),
            static_cast<std::uint8_t>(productId & 0xFF),
            static_cast<std::uint8_t>(productId >> 8),
            0x00,
            0x01,
            0x00,
            0x00,
            0x00,
            0x01};
    Bytes config{9,
                 0x02,
                 static_cast<std::uint8_t>(total & 0xFF),
                 static_cast<std::uint8_t>(total >> 8),
                 0x01,
                 0x01,
                 0x00,
                 0x80,
                 0x32};
    Bytes interface {
        9, 0x04, 0x00, 0x00, static_cast<std::uint8_t>(endpoints.size()), 0xFF, 0x00, 0x00, 0x00
    };
    d.insert(d.end(), config.begin(), config.end());
    d.insert(d.end(), interface.begin(), interface.end());
    for (const Endpoint& e : endpoints) {
        d.insert(d.end(), {7, 0x05, e.address, e.attributes, 0x08, 0x00, 0x0A});
    }
    return d;
}

// ---- FakeUsbDevice --------------------------------------------------------

FakeUsbDevice::FakeUsbDevice(int bus, int address, int port, bool tagged, Bytes descriptors)
    : devnode_("/dev/bus/usb/" + Padded(bus) + "/" + Padded(address)),
      syspath_("/sys/devices/pci0000:00/0000:00:14.0/usb" + std::to_string(bus) + "/" +
               std::to_string(bus) + "-" + std::to_string(port)),
      tagged_(tagged),
      bus_(bus),
      address_(address),
      minor_((bus - 1) * 128 + address - 1),
      descriptors_(std::move(descriptors)),
      handler_(umockdev_ioctl_base_new()) {
    g_signal_connect(handler_, "handle-ioctl", G_CALLBACK(OnIoctl), this);
}

FakeUsbDevice::~FakeUsbDevice() {
    for (Urb& u : reads_) {
        g_object_unref(u.urb);
        g_object_unref(u.buffer);
    }
    for (Urb& u : done_) {
        g_object_unref(u.urb);
        g_object_unref(u.buffer);
    }
    g_object_unref(handler_);
}

std::string FakeUsbDevice::Description() const {
    const std::string hex = HexText(descriptors_);
    const std::string bus = Padded(bus_);
    const std::string address = Padded(address_);
    // The IDs as sysfs shows them: four lower-case digits.
    char ids[64] = "";
    if (descriptors_.size() >= 12) {
        std::snprintf(ids, sizeof ids, "A: idVendor=%02x%02x\\n\nA: idProduct=%02x%02x\\n\n",
                      descriptors_[9], descriptors_[8], descriptors_[11], descriptors_[10]);
    }
    // Attributes read from sysfs end in a newline, as the kernel writes them.
    return "P: " + syspath_.substr(4) + "\n" +                       //
           "N: bus/usb/" + bus + "/" + address + "=" + hex + "\n" +  //
           "E: SUBSYSTEM=usb\n"
           "E: DEVTYPE=usb_device\n"
           "E: DRIVER=usb\n"
           "E: DEVNAME=" +
           devnode_ + "\n" +                                    //
           "E: MAJOR=" + std::to_string(kUsbMajor) + "\n" +     //
           "E: MINOR=" + std::to_string(minor_) + "\n" +        //
           "E: BUSNUM=" + bus + "\n" +                          //
           "E: DEVNUM=" + address + "\n" +                      //
           "A: busnum=" + std::to_string(bus_) + "\\n\n" +      //
           "A: devnum=" + std::to_string(address_) + "\\n\n" +  //
           "A: dev=" + std::to_string(kUsbMajor) + ":" + std::to_string(minor_) + "\\n\n" + ids +
           "A: speed=12\\n\n"
           "A: bConfigurationValue=1\\n\n"
           "H: descriptors=" +
           hex + "\n";
}

void FakeUsbDevice::SetResponder(std::function<bool(const Bytes&, Bytes&)> responder) {
    std::lock_guard lock(mutex_);
    responder_ = std::move(responder);
}

void FakeUsbDevice::SetPacketSize(std::size_t size) {
    std::lock_guard lock(mutex_);
    packetSize_ = size;
}

void FakeUsbDevice::SetClaimErrno(int error) {
    std::lock_guard lock(mutex_);
    claimErrno_ = error;
}

void FakeUsbDevice::SetKernelDriver(const std::string& driver) {
    std::lock_guard lock(mutex_);
    kernelDriver_ = driver;
}

void FakeUsbDevice::Unplug() {
    std::lock_guard lock(mutex_);
    unplugged_ = true;
}

std::vector<ControlRequest> FakeUsbDevice::Controls() {
    std::lock_guard lock(mutex_);
    return controls_;
}

std::vector<std::string> FakeUsbDevice::Events() {
    std::lock_guard lock(mutex_);
    return events_;
}

std::size_t FakeUsbDevice::ReadsInFlight() {
    std::lock_guard lock(mutex_);
    return reads_.size();
}

std::vector<std::size_t> FakeUsbDevice::CompletedReadLengths() {
    std::lock_guard lock(mutex_);
    return completedReads_;
}

std::vector<std::size_t> FakeUsbDevice::RequestedReadLengths() {
    std::lock_guard lock(mutex_);
    return requestedReads_;
}

bool FakeUsbDevice::HandleIoctl(UMockdevIoctlClient* client) {
    std::lock_guard lock(mutex_);
    const gulong request = umockdev_ioctl_client_get_request(client);
    UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);

    // A device that left the bus answers nothing but the requests that wind
    // down what was in flight.
    if (unplugged_ && request != USBDEVFS_REAPURB && request != USBDEVFS_REAPURBNDELAY &&
        request != USBDEVFS_DISCARDURB && request != USBDEVFS_RELEASEINTERFACE) {
        umockdev_ioctl_client_complete(client, -1, ENODEV);
        return true;
    }

    switch (request) {
        case USBDEVFS_GET_CAPABILITIES: {
            UMockdevIoctlData* caps = Pointee(arg, sizeof(std::uint32_t));
            *reinterpret_cast<std::uint32_t*>(caps->data) =
                USBDEVFS_CAP_ZERO_PACKET | USBDEVFS_CAP_BULK_CONTINUATION |
                USBDEVFS_CAP_NO_PACKET_SIZE_LIM | USBDEVFS_CAP_REAP_AFTER_DISCONNECT;
            umockdev_ioctl_client_complete(client, 0, 0);
            g_object_unref(caps);
            return true;
        }
        case USBDEVFS_CONNECTINFO: {
            UMockdevIoctlData* info = Pointee(arg, sizeof(usbdevfs_connectinfo));
            auto* ci = reinterpret_cast<usbdevfs_connectinfo*>(info->data);
            ci->devnum = static_cast<unsigned>(address_);
            ci->slow = 0;
            umockdev_ioctl_client_complete(client, 0, 0);
            g_object_unref(info);
            return true;
        }
        case USBDEVFS_GET_SPEED:
            umockdev_ioctl_client_complete(client, USB_SPEED_FULL, 0);
            return true;
        case USBDEVFS_CONTROL: {
            // libusb asks for the active configuration of a wrapped device
            // with a synchronous control request.
            UMockdevIoctlData* ctrl = Pointee(arg, sizeof(usbdevfs_ctrltransfer));
            const auto* c = reinterpret_cast<const usbdevfs_ctrltransfer*>(ctrl->data);
            if (c->bRequestType == 0x80 && c->bRequest == USB_REQ_GET_CONFIGURATION &&
                c->wLength == 1) {
                UMockdevIoctlData* data = umockdev_ioctl_data_resolve(
                    ctrl, offsetof(usbdevfs_ctrltransfer, data), 1, nullptr);
                data->data[0] = 1;
                umockdev_ioctl_client_complete(client, 1, 0);
                g_object_unref(data);
            } else {
                umockdev_ioctl_client_complete(client, -1, EPIPE);
            }
            g_object_unref(ctrl);
            return true;
        }
        case USBDEVFS_GETDRIVER: {
            if (kernelDriver_.empty()) {
                umockdev_ioctl_client_complete(client, -1, ENODATA);
                return true;
            }
            UMockdevIoctlData* get = Pointee(arg, sizeof(usbdevfs_getdriver));
            auto* g = reinterpret_cast<usbdevfs_getdriver*>(get->data);
            std::snprintf(g->driver, sizeof g->driver, "%s", kernelDriver_.c_str());
            umockdev_ioctl_client_complete(client, 0, 0);
            g_object_unref(get);
            return true;
        }
        case USBDEVFS_IOCTL: {
            UMockdevIoctlData* cmd = Pointee(arg, sizeof(usbdevfs_ioctl));
            const auto* c = reinterpret_cast<const usbdevfs_ioctl*>(cmd->data);
            const std::string ifno = std::to_string(c->ifno);
            if (c->ioctl_code == static_cast<int>(USBDEVFS_DISCONNECT) && !kernelDriver_.empty()) {
                events_.push_back("detach " + ifno);
                detachedDriver_ = kernelDriver_;
                kernelDriver_.clear();
                umockdev_ioctl_client_complete(client, 0, 0);
            } else if (c->ioctl_code == static_cast<int>(USBDEVFS_CONNECT)) {
                events_.push_back("attach " + ifno);
                kernelDriver_ = detachedDriver_;
                umockdev_ioctl_client_complete(client, 0, 0);
            } else {
                umockdev_ioctl_client_complete(client, -1, ENODATA);
            }
            g_object_unref(cmd);
            return true;
        }
        case USBDEVFS_CLAIMINTERFACE:
        case USBDEVFS_RELEASEINTERFACE: {
            UMockdevIoctlData* number = Pointee(arg, sizeof(unsigned));
            const std::string ifno = std::to_string(*reinterpret_cast<unsigned*>(number->data));
            g_object_unref(number);
            if (request == USBDEVFS_RELEASEINTERFACE) {
                events_.push_back("release " + ifno);
                umockdev_ioctl_client_complete(client, unplugged_ ? -1 : 0,
                                               unplugged_ ? ENODEV : 0);
            } else if (claimErrno_ != 0) {
                events_.push_back("claim " + ifno + " refused");
                umockdev_ioctl_client_complete(client, -1, claimErrno_);
            } else {
                events_.push_back("claim " + ifno);
                umockdev_ioctl_client_complete(client, 0, 0);
            }
            return true;
        }
        case USBDEVFS_SUBMITURB:
            return HandleSubmit(client, arg);
        case USBDEVFS_REAPURB:
        case USBDEVFS_REAPURBNDELAY:
            return HandleReap(client, arg);
        case USBDEVFS_DISCARDURB: {
            const auto address = reinterpret_cast<gulong>(*reinterpret_cast<void**>(arg->data));
            auto it = std::find_if(reads_.begin(), reads_.end(),
                                   [&](const Urb& u) { return u.urb->client_addr == address; });
            if (it == reads_.end()) {
                umockdev_ioctl_client_complete(client, -1, EINVAL);
                return true;
            }
            it->status = -ENOENT;
            done_.push_back(*it);
            reads_.erase(it);
            umockdev_ioctl_client_complete(client, 0, 0);
            return true;
        }
        default:
            umockdev_ioctl_client_complete(client, -1, ENOTTY);
            return true;
    }
}

bool FakeUsbDevice::HandleSubmit(UMockdevIoctlClient* client, UMockdevIoctlData* arg) {
    UMockdevIoctlData* urbData = Pointee(arg, sizeof(usbdevfs_urb));
    auto* urb = reinterpret_cast<usbdevfs_urb*>(urbData->data);
    const auto length = static_cast<std::size_t>(urb->buffer_length < 0 ? 0 : urb->buffer_length);
    UMockdevIoctlData* buffer =
        umockdev_ioctl_data_resolve(urbData, offsetof(usbdevfs_urb, buffer), length, nullptr);
    if (buffer == nullptr) {
        g_object_unref(urbData);
        umockdev_ioctl_client_complete(client, -1, EFAULT);
        return true;
    }

    if (urb->type == USBDEVFS_URB_TYPE_CONTROL && length >= 8) {
        const std::uint8_t* b = buffer->data;
        ControlRequest c{b[0],
                         b[1],
                         static_cast<std::uint16_t>(b[2] | b[3] << 8),
                         static_cast<std::uint16_t>(b[4] | b[5] << 8),
                         {}};
        const std::size_t wLength = std::min<std::size_t>(b[6] | b[7] << 8, length - 8);
        c.data.assign(b + 8, b + 8 + wLength);
        // The reader answers a vendor request that carries a frame.
        Bytes reply;
        if (c.requestType == 0x40 && c.request == 0 && responder_ && responder_(c.data, reply)) {
            pending_.insert(pending_.end(), reply.begin(), reply.end());
        }
        controls_.push_back(std::move(c));
        done_.push_back(Urb{urbData, buffer, 0, static_cast<int>(wLength)});
    } else if (urb->type == USBDEVFS_URB_TYPE_INTERRUPT && (urb->endpoint & 0x80) != 0) {
        requestedReads_.push_back(length);
        reads_.push_back(Urb{urbData, buffer, 0, 0});
    } else {
        g_object_unref(buffer);
        g_object_unref(urbData);
        umockdev_ioctl_client_complete(client, -1, EINVAL);
        return true;
    }
    umockdev_ioctl_client_complete(client, 0, 0);
    return true;
}

bool FakeUsbDevice::HandleReap(UMockdevIoctlClient* client, UMockdevIoctlData* arg) {
    Urb u{};
    if (!done_.empty()) {
        u = done_.front();
        done_.pop_front();
    } else if (!reads_.empty() && (unplugged_ || !pending_.empty())) {
        u = reads_.front();
        reads_.pop_front();
        if (unplugged_) {
            u.status = -ENODEV;
        } else {
            const auto room = static_cast<std::size_t>(u.buffer->data_len);
            const std::size_t n = std::min({packetSize_, room, pending_.size()});
            std::copy_n(pending_.begin(), n, u.buffer->data);
            pending_.erase(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(n));
            u.actualLength = static_cast<int>(n);
            completedReads_.push_back(n);
        }
    } else {
        umockdev_ioctl_client_complete(client, -1, unplugged_ ? ENODEV : EAGAIN);
        return true;
    }
    auto* urb = reinterpret_cast<usbdevfs_urb*>(u.urb->data);
    urb->status = u.status;
    urb->actual_length = u.actualLength;
    UMockdevIoctlData* slot = Pointee(arg, sizeof(void*));
    umockdev_ioctl_data_set_ptr(slot, 0, u.urb);
    umockdev_ioctl_client_complete(client, 0, 0);
    g_object_unref(slot);
    g_object_unref(u.buffer);
    g_object_unref(u.urb);
    return true;
}

// ---- FakeUsbBus -----------------------------------------------------------

std::string FakeUsbBus::EnterPrivateNamespace() {
    const uid_t uid = geteuid();
    const gid_t gid = getegid();
    const bool asUser = uid != 0;
    if (unshare(CLONE_NEWNS | (asUser ? CLONE_NEWUSER : 0)) != 0) return Errno("unshare");
    if (asUser) {
        try {
            WriteText("/proc/self/setgroups", "deny");
            WriteText("/proc/self/uid_map", "0 " + std::to_string(uid) + " 1");
            WriteText("/proc/self/gid_map", "0 " + std::to_string(gid) + " 1");
        } catch (const std::exception& e) {
            return e.what();
        }
    }
    if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
        return Errno("making mounts private");
    }
    // Without udev on the machine there is no /run/udev to cover; a fresh
    // /run, seen only by this process, holds it then.
    const char* target = access("/run/udev", F_OK) == 0 ? "/run/udev" : "/run";
    if (mount("tmpfs", target, "tmpfs", MS_NOSUID | MS_NODEV, "mode=0755") != 0) {
        return Errno("mounting a tmpfs");
    }
    for (const std::string dir :
         {"/run/udev", "/run/udev/data", "/run/udev/tags", kTagDir.c_str()}) {
        if (mkdir(dir.c_str(), 0755) != 0 && errno != EEXIST) return Errno(dir.c_str());
    }
    return {};
}

FakeUsbBus& FakeUsbBus::Instance() {
    static FakeUsbBus bus;
    return bus;
}

FakeUsbBus::FakeUsbBus() : testbed_(umockdev_testbed_new()) {
    gchar* root = umockdev_testbed_get_root_dir(testbed_);
    root_ = root;
    g_free(root);
}

std::string FakeUsbBus::RootPath(const std::string& absolute) const {
    return root_ + absolute;
}

FakeUsbDevice& FakeUsbBus::Add(int port, bool tagged, Bytes descriptors) {
    // Every device of the process gets an address of its own, so that
    // libusb's memory of devices it has seen never mixes two of them.
    const int address = nextAddress_++;
    auto device = std::make_unique<FakeUsbDevice>(1, address, port, tagged, std::move(descriptors));
    GError* error = nullptr;
    if (!umockdev_testbed_add_from_string(testbed_, device->Description().c_str(), &error)) {
        const std::string message = error->message;
        g_error_free(error);
        throw std::runtime_error("umockdev: " + message + "\n" + device->Description());
    }
    if (!umockdev_testbed_attach_ioctl(testbed_, device->devnode().c_str(), device->handler(),
                                       &error)) {
        const std::string message = error->message;
        g_error_free(error);
        throw std::runtime_error("umockdev: " + message);
    }
    const std::string id = "c" + std::to_string(kUsbMajor) + ":" + std::to_string(device->minor());
    std::string db = "I:1000000\n";
    if (tagged) {
        db += std::string("G:") + ZELVORN_UDEV_TAG + "\nQ:" + ZELVORN_UDEV_TAG + "\n";
        WriteText(kTagDir + "/" + id, "");
    }
    WriteText("/run/udev/data/" + id, db);
    devices_.push_back(std::move(device));
    return *devices_.back();
}

void FakeUsbBus::Remove(FakeUsbDevice& device) {
    const std::string id = "c" + std::to_string(kUsbMajor) + ":" + std::to_string(device.minor());
    unlink((kTagDir + "/" + id).c_str());
    unlink(("/run/udev/data/" + id).c_str());
    umockdev_testbed_detach_ioctl(testbed_, device.devnode().c_str(), nullptr);
    umockdev_testbed_remove_device(testbed_, device.syspath().c_str());
    unlink(RootPath(device.devnode()).c_str());
    devices_.remove_if([&](const auto& d) { return d.get() == &device; });
}

void FakeUsbBus::RemoveAll() {
    while (!devices_.empty()) Remove(*devices_.front());
}

void FakeUsbBus::BreakNode(FakeUsbDevice& device) {
    const std::string path = RootPath(device.devnode());
    unlink(path.c_str());
    if (symlink("/nonexistent/zelvorn-test-node", path.c_str()) != 0) {
        throw std::runtime_error(Errno("symlink"));
    }
}

void FakeUsbBus::ChmodNode(FakeUsbDevice& device, unsigned mode) {
    if (chmod(RootPath(device.devnode()).c_str(), mode) != 0) {
        throw std::runtime_error(Errno("chmod"));
    }
}

bool WaitUntil(const std::function<bool()>& condition, std::chrono::milliseconds limit) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

}  // namespace zelvorn::linuxtest
