// Stand-in for cfgmgr32.dll: serves scripted device interface lists and a
// scripted set of present USB devices.
#define _CFGMGR32_  // we define the functions the header declares
#include <windows.h>
// windows.h first: cfgmgr32.h relies on its types.
#include <cfgmgr32.h>

#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <string>
#include <vector>

#include "tests/windows/doubles/control.h"
#include "zelvorn_device.h"

namespace {

const GUID kReaderClass = ZELVORN_DEVICE_INTERFACE_CLASS;

struct UsbDevice {
    std::wstring instanceId;
    std::wstring interfacePath;  // empty: no interface of the reader's class
};

std::vector<std::vector<wchar_t>> g_lists;
std::size_t g_current = 0;
std::uint32_t g_failSize = 0;
std::uint32_t g_failFetch = 0;
std::vector<UsbDevice> g_devices;
CfgDoubleCalls g_calls = {};

// A list of strings as the Configuration Manager hands it out: each entry
// with its zero, then an empty string.
std::vector<wchar_t> MultiString(const std::vector<std::wstring>& entries) {
    std::vector<wchar_t> list;
    for (const std::wstring& e : entries) {
        list.insert(list.end(), e.begin(), e.end());
        list.push_back(0);
    }
    list.push_back(0);
    return list;
}

const UsbDevice* DeviceNamed(const wchar_t* instanceId) {
    for (const UsbDevice& d : g_devices) {
        if (_wcsicmp(d.instanceId.c_str(), instanceId) == 0) return &d;
    }
    return nullptr;
}

// What the current list is for a query with these arguments. Another class
// has no devices, as far as the reader's tests care. Without a device
// filter: the scripted lists, or if none, the interfaces of the present
// devices; with one: that device's interfaces.
std::vector<wchar_t> ListFor(const GUID* cls, const wchar_t* filter, ULONG flags) {
    if (cls != nullptr) g_calls.lastClass = *cls;
    if (cls == nullptr || !IsEqualGUID(*cls, kReaderClass) ||
        flags != CM_GET_DEVICE_INTERFACE_LIST_PRESENT) {
        ++g_calls.unexpectedArguments;
        return MultiString({});
    }
    if (filter != nullptr) {
        ++g_calls.deviceFilters;
        const UsbDevice* device = DeviceNamed(filter);
        if (device == nullptr || device->interfacePath.empty()) return MultiString({});
        return MultiString({device->interfacePath});
    }
    if (g_lists.empty()) {
        std::vector<std::wstring> paths;
        for (const UsbDevice& d : g_devices) {
            if (!d.interfacePath.empty()) paths.push_back(d.interfacePath);
        }
        return MultiString(paths);
    }
    return g_lists[g_current];
}

// The present devices of the USB enumerator, the only question the tool asks.
std::vector<wchar_t> IdsFor(const wchar_t* filter, ULONG flags) {
    std::vector<std::wstring> ids;
    if (filter == nullptr || _wcsicmp(filter, L"USB") != 0 ||
        flags != (CM_GETIDLIST_FILTER_ENUMERATOR | CM_GETIDLIST_FILTER_PRESENT)) {
        ++g_calls.unexpectedArguments;
        return MultiString({});
    }
    for (const UsbDevice& d : g_devices) ids.push_back(d.instanceId);
    return MultiString(ids);
}

// Devices given to a process that the test cannot steer by calls, the tool
// run as a program: "ID" for a device without the reader's interface,
// "ID>PATH" for one with it, entries separated by commas.
void AddDevicesFromEnvironment() {
    const char* text = std::getenv("ZELVORN_DOUBLE_USB_DEVICES");
    if (text == nullptr) return;
    const std::string all = text;
    std::size_t start = 0;
    while (start <= all.size()) {
        std::size_t end = all.find(',', start);
        if (end == std::string::npos) end = all.size();
        const std::string entry = all.substr(start, end - start);
        if (!entry.empty()) {
            const std::size_t arrow = entry.find('>');
            const std::string id = entry.substr(0, arrow);
            const std::string path = arrow == std::string::npos ? "" : entry.substr(arrow + 1);
            g_devices.push_back(
                {std::wstring(id.begin(), id.end()), std::wstring(path.begin(), path.end())});
        }
        start = end + 1;
    }
}

}  // namespace

extern "C" {

BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID) {
    if (reason == DLL_PROCESS_ATTACH) AddDevicesFromEnvironment();
    return TRUE;
}

void CfgDouble_Reset() {
    g_lists.clear();
    g_current = 0;
    g_failSize = 0;
    g_failFetch = 0;
    g_devices.clear();
    g_calls = {};
}

void CfgDouble_AddList(const wchar_t* chars, std::uint32_t count) {
    g_lists.emplace_back(chars, chars + count);
}

void CfgDouble_AddUsbDevice(const wchar_t* instanceId, const wchar_t* interfacePath) {
    g_devices.push_back({instanceId, interfacePath != nullptr ? interfacePath : L""});
}

void CfgDouble_FailSizeQuery(std::uint32_t cr) {
    g_failSize = cr;
}
void CfgDouble_FailFetch(std::uint32_t cr) {
    g_failFetch = cr;
}
void CfgDouble_GetCalls(CfgDoubleCalls* calls) {
    *calls = g_calls;
}

CONFIGRET WINAPI CM_Get_Device_Interface_List_SizeW(PULONG length, LPGUID cls, DEVINSTID_W filter,
                                                    ULONG flags) {
    ++g_calls.sizeQueries;
    if (g_failSize != 0) return g_failSize;
    *length = static_cast<ULONG>(ListFor(cls, filter, flags).size());
    if (filter == nullptr && g_current + 1 < g_lists.size()) ++g_current;
    return CR_SUCCESS;
}

CONFIGRET WINAPI CM_Get_Device_Interface_ListW(LPGUID cls, DEVINSTID_W filter, PWCHAR buffer,
                                               ULONG bufferChars, ULONG flags) {
    ++g_calls.fetches;
    g_calls.lastFetchBufferChars = bufferChars;
    if (g_failFetch != 0) return g_failFetch;
    const std::vector<wchar_t> list = ListFor(cls, filter, flags);
    if (bufferChars < list.size()) return CR_BUFFER_SMALL;
    std::memcpy(buffer, list.data(), list.size() * sizeof(wchar_t));
    return CR_SUCCESS;
}

CONFIGRET WINAPI CM_Get_Device_ID_List_SizeW(PULONG length, PCWSTR filter, ULONG flags) {
    ++g_calls.idQueries;
    if (g_failSize != 0) return g_failSize;
    *length = static_cast<ULONG>(IdsFor(filter, flags).size());
    return CR_SUCCESS;
}

CONFIGRET WINAPI CM_Get_Device_ID_ListW(PCWSTR filter, PWCHAR buffer, ULONG bufferChars,
                                        ULONG flags) {
    ++g_calls.idQueries;
    if (g_failFetch != 0) return g_failFetch;
    const std::vector<wchar_t> list = IdsFor(filter, flags);
    if (bufferChars < list.size()) return CR_BUFFER_SMALL;
    std::memcpy(buffer, list.data(), list.size() * sizeof(wchar_t));
    return CR_SUCCESS;
}

// Built once with and once without this export: older Windows and wine lack
// it, and the library must work either way.
#if !defined(ZELVORN_DOUBLE_WITHOUT_MAP)
DWORD WINAPI CM_MapCrToWin32Err(CONFIGRET code, DWORD defaultError) {
    ++g_calls.maps;
    g_calls.lastMappedCode = code;
    g_calls.lastMapDefault = defaultError;
    return code == CR_OUT_OF_MEMORY ? ERROR_NOT_ENOUGH_MEMORY : defaultError;
}
#endif

}  // extern "C"
