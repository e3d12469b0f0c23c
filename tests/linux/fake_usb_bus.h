// An emulated USB bus for the Linux platform's tests.
//
// The devices live in a umockdev testbed: sysfs entries and udev properties
// for libudev, a device node whose content is the descriptor set for libusb,
// and an ioctl handler that plays the kernel's usbfs for everything libusb
// asks (claims, control and interrupt URBs, driver queries). libudev and
// libusb run unmodified on top of it.
//
// umockdev does not fake udev tags, so the tests run in a private mount
// namespace with a tmpfs over /run/udev, where the bus writes the udev
// database entries and tag links of the devices it marks.
#pragma once

#include <linux/capability.h>
#include <umockdev.h>

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace zelvorn::linuxtest {

using Bytes = std::vector<std::uint8_t>;

// Device descriptor and one configuration with interface 0, alternate
// setting 0 holding the given endpoints (address, attributes). IDs are from
// the pid.codes test range.
struct Endpoint {
    std::uint8_t address;
    std::uint8_t attributes;  // transfer type in the low two bits
};
Bytes ReaderDescriptors(const std::vector<Endpoint>& endpoints = {{0x81, 0x03}},
                        std::uint16_t productId = 0x0001, std::uint16_t vendorId = 0x1209);

// Takes away the calling thread's power to override file permissions, as an
// ordinary user lacks it, for as long as it lives.
class WithoutPermissionOverride {
public:
    WithoutPermissionOverride();
    ~WithoutPermissionOverride();
    WithoutPermissionOverride(const WithoutPermissionOverride&) = delete;
    WithoutPermissionOverride& operator=(const WithoutPermissionOverride&) = delete;
    bool ok() const { return ok_; }

private:
    __user_cap_header_struct header_{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct saved_[2]{};
    bool ok_ = false;
};

struct ControlRequest {
    std::uint8_t requestType;
    std::uint8_t request;
    std::uint16_t value;
    std::uint16_t index;
    Bytes data;
};

class FakeUsbDevice {
public:
    FakeUsbDevice(int bus, int address, int port, bool tagged, Bytes descriptors);
    std::string Description() const;  // umockdev's text form of the device
    ~FakeUsbDevice();
    FakeUsbDevice(const FakeUsbDevice&) = delete;
    FakeUsbDevice& operator=(const FakeUsbDevice&) = delete;

    const std::string& devnode() const { return devnode_; }
    const std::string& syspath() const { return syspath_; }
    bool tagged() const { return tagged_; }
    int minor() const { return minor_; }
    UMockdevIoctlBase* handler() const { return handler_; }

    // ---- Behaviour (set from the test thread) ----
    // Computes the reader's reply frame to a frame received by a vendor
    // control transfer; returns false to stay silent.
    void SetResponder(std::function<bool(const Bytes& frame, Bytes& reply)> responder);
    // The most bytes one interrupt URB carries (the endpoint's packet size).
    void SetPacketSize(std::size_t size);
    // errno that a claim of the interface is answered with (0: granted).
    void SetClaimErrno(int error);
    // Name of a kernel driver bound to interface 0 ("" for none).
    void SetKernelDriver(const std::string& driver);
    // The device leaves the bus: URBs in flight are reaped with ENODEV and
    // every later request fails with ENODEV.
    void Unplug();

    // ---- Observations ----
    std::vector<ControlRequest> Controls();
    // Interface requests in order: "claim 0", "release 0", "detach 0", "attach 0".
    std::vector<std::string> Events();
    // Interrupt URBs submitted but not yet completed.
    std::size_t ReadsInFlight();
    // Interrupt URBs completed with data, and the sizes they asked for.
    std::vector<std::size_t> CompletedReadLengths();
    std::vector<std::size_t> RequestedReadLengths();

    // Handles one ioctl on umockdev's worker thread.
    bool HandleIoctl(UMockdevIoctlClient* client);

private:
    struct Urb {
        UMockdevIoctlData* urb;     // the client's struct usbdevfs_urb
        UMockdevIoctlData* buffer;  // its data buffer
        int status;
        int actualLength;
    };
    void Complete(UMockdevIoctlClient* client, Urb urb);
    bool HandleSubmit(UMockdevIoctlClient* client, UMockdevIoctlData* arg);
    bool HandleReap(UMockdevIoctlClient* client, UMockdevIoctlData* arg);

    std::string devnode_;
    std::string syspath_;
    bool tagged_;
    int bus_;
    int address_;
    int minor_;
    Bytes descriptors_;
    UMockdevIoctlBase* handler_;

    std::mutex mutex_;
    std::function<bool(const Bytes&, Bytes&)> responder_;
    std::size_t packetSize_ = 8;
    int claimErrno_ = 0;
    std::string kernelDriver_;
    std::string detachedDriver_;
    bool unplugged_ = false;
    std::deque<std::uint8_t> pending_;  // reply bytes not yet sent
    std::list<Urb> reads_;              // interrupt URBs waiting for data
    std::deque<Urb> done_;              // URBs ready to be reaped
    std::vector<ControlRequest> controls_;
    std::vector<std::string> events_;
    std::vector<std::size_t> completedReads_;
    std::vector<std::size_t> requestedReads_;
};

class FakeUsbBus {
public:
    // Prepares the private mount namespace; must run before any thread
    // starts. Returns an empty string or the reason it could not be done.
    static std::string EnterPrivateNamespace();

    static FakeUsbBus& Instance();

    // Adds a device at port `port` of the bus (sysfs name <bus>-<port>).
    // Tagged devices get the reader tag in the udev database.
    FakeUsbDevice& Add(int port, bool tagged = true, Bytes descriptors = ReaderDescriptors());
    // Takes the device off the bus: sysfs entry, node and udev data.
    void Remove(FakeUsbDevice& device);
    void RemoveAll();

    // Makes the device node unopenable as a missing file would be.
    void BreakNode(FakeUsbDevice& device);
    // Sets the permission bits of the device node.
    void ChmodNode(FakeUsbDevice& device, unsigned mode);

private:
    FakeUsbBus();
    std::string RootPath(const std::string& absolute) const;

    UMockdevTestbed* testbed_;
    std::string root_;
    int nextAddress_ = 2;
    std::list<std::unique_ptr<FakeUsbDevice>> devices_;
};

// Polls until the condition holds or the time is up.
bool WaitUntil(const std::function<bool()>& condition,
               std::chrono::milliseconds limit = std::chrono::milliseconds(5000));

}  // namespace zelvorn::linuxtest
