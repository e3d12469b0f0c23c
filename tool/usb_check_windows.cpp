// The USB devices with the reader's IDs, from the Configuration Manager: the
// present devices of the USB enumerator, and for each whether an interface
// of the reader's class is registered for it, as its driver package does.
#include <windows.h>
// windows.h first: cfgmgr32.h relies on its types.
#include <cfgmgr32.h>

#include <cwctype>
#include <functional>
#include <string>
#include <vector>

#include <fmt/format.h>

#include "tool/usb_check.h"
#include "zelvorn_device.h"

namespace zelvorn::tool {

namespace {

// The Configuration Manager takes the class through a pointer to non-const
// but only reads it.
GUID g_readerClass = ZELVORN_DEVICE_INTERFACE_CLASS;

constexpr ULONG kPresentUsbDevices = CM_GETIDLIST_FILTER_ENUMERATOR | CM_GETIDLIST_FILTER_PRESENT;

// Splits a list of zero-terminated strings ended by an empty string, never
// reading past the characters the system said it holds.
std::vector<std::wstring> Entries(const std::vector<wchar_t>& list) {
    std::vector<std::wstring> entries;
    std::size_t pos = 0;
    while (pos < list.size() && list[pos] != 0) {
        std::size_t end = pos;
        while (end < list.size() && list[end] != 0) ++end;
        entries.emplace_back(list.data() + pos, end - pos);
        pos = end + 1;
    }
    return entries;
}

// Asks for a list's size, then for the list, and again if it grew in between.
CONFIGRET ReadList(const std::function<CONFIGRET(ULONG*)>& size,
                   const std::function<CONFIGRET(wchar_t*, ULONG)>& fetch,
                   std::vector<std::wstring>& entries) {
    for (;;) {
        ULONG chars = 0;
        CONFIGRET cr = size(&chars);
        if (cr != CR_SUCCESS) return cr;
        if (chars == 0) {
            entries.clear();
            return CR_SUCCESS;
        }
        std::vector<wchar_t> list(chars, 0);
        cr = fetch(list.data(), chars);
        if (cr == CR_SUCCESS) {
            entries = Entries(list);
            return CR_SUCCESS;
        }
        if (cr != CR_BUFFER_SMALL) return cr;
    }
}

std::string Narrow(const std::wstring& text) {
    std::string out;
    for (wchar_t c : text) out.push_back(c < 0x80 ? static_cast<char>(c) : '?');
    return out;
}

// The device itself, not one of its functions (...&MI_nn\...): the driver
// package binds the whole device.
bool IsReader(const std::wstring& instanceId, const std::wstring& prefix) {
    if (instanceId.size() <= prefix.size()) return false;
    for (std::size_t i = 0; i < prefix.size(); ++i) {
        if (std::towupper(instanceId[i]) != prefix[i]) return false;
    }
    return true;
}

}  // namespace

UsbCheck CheckUsbDevices() {
    UsbCheck check;
    check.vendor = ZELVORN_DEVICE_USB_VENDOR_ID;
    check.product = ZELVORN_DEVICE_USB_PRODUCT_ID;
    const std::string prefixText =
        fmt::format("USB\\VID_{:04X}&PID_{:04X}\\", check.vendor, check.product);
    const std::wstring prefix(prefixText.begin(), prefixText.end());

    std::vector<std::wstring> ids;
    CONFIGRET cr = ReadList(
        [](ULONG* chars) { return CM_Get_Device_ID_List_SizeW(chars, L"USB", kPresentUsbDevices); },
        [](wchar_t* list, ULONG chars) {
            return CM_Get_Device_ID_ListW(L"USB", list, chars, kPresentUsbDevices);
        },
        ids);
    if (cr != CR_SUCCESS) {
        check.failure = fmt::format(
            "the Configuration Manager did not list the USB devices "
            "(CONFIGRET 0x{:X})",
            cr);
        return check;
    }
    for (std::wstring& id : ids) {
        if (!IsReader(id, prefix)) continue;
        std::vector<std::wstring> interfaces;
        cr = ReadList(
            [&id](ULONG* chars) {
                return CM_Get_Device_Interface_List_SizeW(chars, &g_readerClass, id.data(),
                                                          CM_GET_DEVICE_INTERFACE_LIST_PRESENT);
            },
            [&id](wchar_t* list, ULONG chars) {
                return CM_Get_Device_Interface_ListW(&g_readerClass, id.data(), list, chars,
                                                     CM_GET_DEVICE_INTERFACE_LIST_PRESENT);
            },
            interfaces);
        if (cr != CR_SUCCESS) {
            check.failure = fmt::format(
                "the Configuration Manager did not list the interfaces of {} (CONFIGRET 0x{:X})",
                Narrow(id), cr);
            return check;
        }
        check.devices.push_back({Narrow(id),
                                 interfaces.empty() ? UsbReaderDevice::State::NoDriverPackage
                                                    : UsbReaderDevice::State::Ready,
                                 {}});
    }
    return check;
}

}  // namespace zelvorn::tool
