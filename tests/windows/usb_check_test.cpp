// The tool's look at the reader's USB devices (list --diagnose) on Windows:
// the Configuration Manager's present USB devices, served by the cfgmgr32
// stand-in, told apart by whether an interface of the reader's class is
// registered for them.
#include <windows.h>

#include <gtest/gtest.h>

#include <cwchar>
#include <string>
#include <vector>

#include "tests/windows/doubles/control.h"
#include "tool/usb_check.h"
#include "zelvorn_device.h"

namespace zelvorn::tool {
namespace {

using State = UsbReaderDevice::State;

// An instance ID of a device with the reader's IDs; `tail` follows them.
std::wstring ReaderId(const wchar_t* tail, bool lowerCase = false) {
    wchar_t id[128];
    std::swprintf(id, 128, lowerCase ? L"usb\\vid_%04x&pid_%04x%ls" : L"USB\\VID_%04X&PID_%04X%ls",
                  ZELVORN_DEVICE_USB_VENDOR_ID, ZELVORN_DEVICE_USB_PRODUCT_ID, tail);
    return id;
}

std::string Narrow(const std::wstring& text) {
    return std::string(text.begin(), text.end());
}

struct Device {
    std::wstring id;
    const wchar_t* interfacePath;  // null: no interface of the reader's class
};

struct Expected {
    std::string name;
    State state;
};

struct Case {
    const char* what;
    std::vector<Device> devices;
    std::vector<Expected> found;
    const char* reason;  // part of what follows "no reader found: "
};

TEST(UsbCheck, TellsTheReadersDevicesApartByTheirInterface) {
    const std::wstring bare = ReaderId(L"\\5&1A2B3C4D&0&2");
    const std::wstring set = ReaderId(L"\\7&11&0&1");
    const Case cases[] = {
        {"nothing present", {}, {}, "no USB device with the reader's ID "},
        {"other devices only",
         {{L"USB\\VID_046D&PID_C52B\\6&2", nullptr},
          {L"USB\\ROOT_HUB30\\4&1", nullptr},
          // A function of a composite device with the IDs: not the device
          // the package binds.
          {ReaderId(L"&MI_00\\7&3&0&0000"), nullptr},
          // A longer product ID that starts with ours.
          {ReaderId(L"0\\8&1"), nullptr}},
         {},
         "no USB device with the reader's ID "},
        {"present without the driver package",
         {{bare, nullptr}},
         {{Narrow(bare), State::NoDriverPackage}},
         "reader present without its driver package: see driver/zelvorn.inf"},
        {"present with it",
         {{set, L"\\\\?\\USB#VID_1209&PID_0001#7&11#{3e7f5df4}"}},
         {{Narrow(set), State::Ready}},
         "reader present and set up, but the library could not open it"},
        {"one of each, an ID in lower case",
         {{set, L"\\\\?\\reader"}, {ReaderId(L"\\9&1", true), nullptr}},
         {{Narrow(set), State::Ready}, {Narrow(ReaderId(L"\\9&1", true)), State::NoDriverPackage}},
         "reader present without its driver package"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        CfgDouble_Reset();
        for (const Device& d : c.devices) CfgDouble_AddUsbDevice(d.id.c_str(), d.interfacePath);

        const UsbCheck check = CheckUsbDevices();
        EXPECT_EQ(check.failure, "");
        EXPECT_EQ(check.vendor, ZELVORN_DEVICE_USB_VENDOR_ID);
        EXPECT_EQ(check.product, ZELVORN_DEVICE_USB_PRODUCT_ID);
        ASSERT_EQ(check.devices.size(), c.found.size());
        for (std::size_t i = 0; i < c.found.size(); ++i) {
            EXPECT_EQ(check.devices[i].name, c.found[i].name);
            EXPECT_EQ(check.devices[i].state, c.found[i].state) << check.devices[i].name;
        }
        EXPECT_NE(NoReaderReason(check).find(c.reason), std::string::npos) << NoReaderReason(check);

        // The present USB devices, then each reader's own interfaces
        // (size and list), with the reader's class and the present flag.
        CfgDoubleCalls calls = {};
        CfgDouble_GetCalls(&calls);
        EXPECT_EQ(calls.unexpectedArguments, 0);
        EXPECT_EQ(calls.deviceFilters, static_cast<int>(2 * c.found.size()));
    }
}

TEST(UsbCheck, AConfigurationManagerFailureIsReportedNotTakenForNoDevice) {
    CfgDouble_Reset();
    CfgDouble_AddUsbDevice(ReaderId(L"\\5&1").c_str(), nullptr);
    CfgDouble_FailFetch(0x13);  // CR_FAILURE
    const UsbCheck check = CheckUsbDevices();
    EXPECT_TRUE(check.devices.empty());
    EXPECT_NE(check.failure.find("CONFIGRET 0x13"), std::string::npos) << check.failure;
    EXPECT_NE(NoReaderReason(check).find("the USB devices could not be checked"),
              std::string::npos);
}

}  // namespace
}  // namespace zelvorn::tool
