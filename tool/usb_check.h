// Why no reader is found: the USB devices with the reader's IDs as the
// system sees them, and what each still lacks before the library can find
// and open it. The library finds readers by what their setup gives them (an
// interface class from the driver package on Windows, a tag from the udev
// rules on Linux), never by USB IDs; the tool asks the system itself, beside
// the library, so that a reader without that setup is not just "not found".
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace zelvorn::tool {

struct UsbReaderDevice {
    enum class State {
        Ready,            // set up for the library
        NoDriverPackage,  // Windows: no interface of the reader's class
        NotTagged,        // Linux: the udev rules have not tagged it
        NotAccessible,    // Linux: tagged, but this user cannot open its device node
    };
    std::string name;  // Windows: device instance ID; Linux: device node
    State state;
    std::string detail;  // NotAccessible: what opening the node said
};

struct UsbCheck {
    std::uint16_t vendor = 0;
    std::uint16_t product = 0;
    std::vector<UsbReaderDevice> devices;
    std::string failure;  // the system could not be asked: why
};

// Asks the system for the present USB devices with the build's reader IDs:
// the Configuration Manager on Windows, udev on Linux.
UsbCheck CheckUsbDevices();

// "1209:0001"
std::string UsbIdText(const UsbCheck& check);

// One line for each device, or one saying that none is present.
std::vector<std::string> DescribeUsbCheck(const UsbCheck& check);

// What most likely keeps the library from finding a reader, and what to do:
// the words that follow "no reader found: ".
std::string NoReaderReason(const UsbCheck& check);

// The state's name in the tool's JSON: ready, noDriverPackage, notTagged,
// notAccessible.
const char* StateName(UsbReaderDevice::State state);

}  // namespace zelvorn::tool
