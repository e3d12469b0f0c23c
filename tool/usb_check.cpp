#include "tool/usb_check.h"

#include <fmt/format.h>

namespace zelvorn::tool {

namespace {

std::string StateText(const UsbReaderDevice& d) {
    switch (d.state) {
        case UsbReaderDevice::State::Ready:
#if defined(_WIN32)
            return "reader present with its driver package";
#else
            return "reader present, tagged by the udev rules and open to this user";
#endif
        case UsbReaderDevice::State::NoDriverPackage:
            return "reader present without its driver package: see driver/zelvorn.inf, "
                   "installed as docs/windows.md describes";
        case UsbReaderDevice::State::NotTagged:
            return "reader present but not tagged by the udev rules: install "
                   "70-zelvorn.rules (package libzelvorn1) into /usr/lib/udev/rules.d or "
                   "/etc/udev/rules.d, then plug the reader in again";
        case UsbReaderDevice::State::NotAccessible:
            return fmt::format(
                "reader present but this user cannot open it ({}): the udev rules give it to "
                "the user logged in at the machine; log in there, or add a rule that gives "
                "it to your group",
                d.detail);
    }
    return "";
}

}  // namespace

std::string UsbIdText(const UsbCheck& check) {
    return fmt::format("{:04x}:{:04x}", check.vendor, check.product);
}

const char* StateName(UsbReaderDevice::State state) {
    switch (state) {
        case UsbReaderDevice::State::Ready:
            return "ready";
        case UsbReaderDevice::State::NoDriverPackage:
            return "noDriverPackage";
        case UsbReaderDevice::State::NotTagged:
            return "notTagged";
        case UsbReaderDevice::State::NotAccessible:
            return "notAccessible";
    }
    return "";
}

std::vector<std::string> DescribeUsbCheck(const UsbCheck& check) {
    if (!check.failure.empty()) {
        return {fmt::format("the USB devices could not be checked: {}", check.failure)};
    }
    if (check.devices.empty()) {
        return {fmt::format(
            "no USB device with the reader's ID {} is present: plug the reader in (a reader "
            "with other USB IDs needs a build made with them)",
            UsbIdText(check))};
    }
    std::vector<std::string> lines;
    for (const UsbReaderDevice& d : check.devices) {
        lines.push_back(fmt::format("{}: {}", d.name, StateText(d)));
    }
    return lines;
}

std::string NoReaderReason(const UsbCheck& check) {
    if (!check.failure.empty() || check.devices.empty()) return DescribeUsbCheck(check).front();
    // The first device that lacks something speaks for all: fixing it is
    // the next step.
    for (const UsbReaderDevice& d : check.devices) {
        if (d.state != UsbReaderDevice::State::Ready) return StateText(d);
    }
    return fmt::format(
        "{}: reader present and set up, but the library could not open it: plug it in "
        "again",
        check.devices.front().name);
}

}  // namespace zelvorn::tool
