// Stand-in for winusb.dll: devices bound to real opened files, scripted pipe
// layouts and replies, and a log of every call in the order it came.
#include <windows.h>
// windows.h first: the two below rely on its types.
#include <winternl.h>
#include <winusb.h>

#include <cstdio>
#include <cstring>
#include <deque>
#include <list>
#include <string>
#include <vector>

#include "tests/windows/doubles/control.h"

namespace {

struct Device {
    std::wstring fileName;
    UsbDoubleDevice config;
    std::vector<std::uint8_t> reply;
};

// One bound interface: what WINUSB_INTERFACE_HANDLE points at.
struct Binding {
    const Device* device;
    HANDLE file;
    std::deque<std::uint8_t> pending;
};

std::vector<Device> g_devices;
std::list<Binding> g_bindings;
std::string g_log;

std::string Narrow(const std::wstring& text) {
    std::string out;
    for (wchar_t c : text) out.push_back(c < 128 ? static_cast<char>(c) : '?');
    return out;
}

void Log(const std::string& line) {
    g_log += line + "\n";
}

// The file's path as the system knows it, or empty once it is closed.
std::wstring PathOf(HANDLE file) {
    wchar_t path[1024];
    const DWORD n = GetFinalPathNameByHandleW(file, path, 1024, FILE_NAME_NORMALIZED);
    return n == 0 || n >= 1024 ? std::wstring() : std::wstring(path, n);
}

std::wstring BaseName(const std::wstring& path) {
    const std::size_t slash = path.find_last_of(L"\\/");
    return slash == std::wstring::npos ? path : path.substr(slash + 1);
}

// Whether the handle was opened for overlapped I/O, as WinUSB demands.
const char* IoModeOf(HANDLE file) {
    using QueryFn = NTSTATUS(NTAPI*)(HANDLE, PIO_STATUS_BLOCK, PVOID, ULONG, ULONG);
    const auto query = reinterpret_cast<QueryFn>(reinterpret_cast<void (*)()>(
        GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtQueryInformationFile")));
    constexpr ULONG kFileModeInformation = 16;
    constexpr ULONG kSynchronousIo = 0x10 | 0x20;  // alertable or not
    IO_STATUS_BLOCK status = {};
    ULONG mode = 0;
    if (query == nullptr || query(file, &status, &mode, sizeof mode, kFileModeInformation) != 0) {
        return "mode-unknown";
    }
    return (mode & kSynchronousIo) != 0 ? "synchronous" : "overlapped";
}

std::string Hex2(unsigned value) {
    char text[8];
    std::snprintf(text, sizeof text, "%02X", value & 0xFF);
    return text;
}

std::string Hex4(unsigned value) {
    char text[8];
    std::snprintf(text, sizeof text, "%04X", value & 0xFFFF);
    return text;
}

// Frame bytes as text; control characters as <XX>.
std::string Printable(const std::uint8_t* data, ULONG length) {
    std::string out;
    for (ULONG i = 0; i < length; ++i) {
        if (data[i] >= 0x20 && data[i] < 0x7F) {
            out.push_back(static_cast<char>(data[i]));
        } else {
            out += "<" + Hex2(data[i]) + ">";
        }
    }
    return out;
}

Binding* BindingOf(WINUSB_INTERFACE_HANDLE handle) {
    return static_cast<Binding*>(handle);
}

const char* OverlappedText(LPOVERLAPPED overlapped) {
    return overlapped == nullptr ? "sync" : "overlapped";
}

}  // namespace

extern "C" {

void UsbDouble_Reset() {
    g_devices.clear();
    g_bindings.clear();
    g_log.clear();
}

void UsbDouble_AddDevice(const wchar_t* fileName, const UsbDoubleDevice* device) {
    Device d{fileName, *device, {}};
    if (device->reply != nullptr)
        d.reply.assign(device->reply, device->reply + device->replyLength);
    d.config.reply = nullptr;
    g_devices.push_back(std::move(d));
}

std::uint32_t UsbDouble_GetLog(char* text, std::uint32_t capacity) {
    const std::size_t n = g_log.size() < capacity ? g_log.size() : capacity;
    std::memcpy(text, g_log.data(), n);
    return static_cast<std::uint32_t>(g_log.size());
}

WINBOOL WINAPI WinUsb_Initialize(HANDLE file, PWINUSB_INTERFACE_HANDLE handle) {
    const std::wstring name = BaseName(PathOf(file));
    Log("initialize " + Narrow(name) + " " + IoModeOf(file));
    for (const Device& device : g_devices) {
        if (device.fileName != name) continue;
        if (device.config.initializeFails) break;
        g_bindings.push_back(Binding{&device, file, {}});
        *handle = &g_bindings.back();
        return TRUE;
    }
    SetLastError(ERROR_NOT_SUPPORTED);
    return FALSE;
}

WINBOOL WINAPI WinUsb_Free(WINUSB_INTERFACE_HANDLE handle) {
    Binding* binding = BindingOf(handle);
    // Freed while its file is still open, as WinUSB expects.
    const bool fileOpen = !PathOf(binding->file).empty();
    Log("free " + Narrow(binding->device->fileName) + (fileOpen ? " file-open" : " file-closed"));
    for (auto it = g_bindings.begin(); it != g_bindings.end(); ++it) {
        if (&*it == binding) {
            g_bindings.erase(it);
            break;
        }
    }
    return TRUE;
}

WINBOOL WINAPI WinUsb_QueryInterfaceSettings(WINUSB_INTERFACE_HANDLE handle, UCHAR alternate,
                                             PUSB_INTERFACE_DESCRIPTOR descriptor) {
    const Device& device = *BindingOf(handle)->device;
    Log("settings alternate " + std::to_string(alternate));
    if (device.config.settingsFail || alternate != 0) {
        SetLastError(ERROR_NO_MORE_ITEMS);
        return FALSE;
    }
    std::memset(descriptor, 0, sizeof *descriptor);
    descriptor->bLength = sizeof *descriptor;
    descriptor->bDescriptorType = 4;
    descriptor->bNumEndpoints = device.config.pipeCount;
    descriptor->bInterfaceClass = 0xFF;
    return TRUE;
}

WINBOOL WINAPI WinUsb_QueryPipe(WINUSB_INTERFACE_HANDLE handle, UCHAR alternate, UCHAR index,
                                PWINUSB_PIPE_INFORMATION pipe) {
    const Device& device = *BindingOf(handle)->device;
    Log("pipe alternate " + std::to_string(alternate) + " index " + std::to_string(index));
    if (alternate != 0 || index >= device.config.pipeCount || index >= 8 ||
        device.config.pipes[index].queryFails) {
        SetLastError(ERROR_NO_MORE_ITEMS);
        return FALSE;
    }
    std::memset(pipe, 0, sizeof *pipe);
    pipe->PipeType = static_cast<USBD_PIPE_TYPE>(device.config.pipes[index].type);
    pipe->PipeId = device.config.pipes[index].id;
    pipe->MaximumPacketSize = 8;
    pipe->Interval = 1;
    return TRUE;
}

WINBOOL WINAPI WinUsb_ControlTransfer(WINUSB_INTERFACE_HANDLE handle, WINUSB_SETUP_PACKET setup,
                                      PUCHAR buffer, ULONG length, PULONG transferred,
                                      LPOVERLAPPED overlapped) {
    Binding* binding = BindingOf(handle);
    Log("control " + Hex2(setup.RequestType) + " " + Hex2(setup.Request) + " " + Hex4(setup.Value) +
        " " + Hex4(setup.Index) + " " + Hex4(setup.Length) + " buffer " + std::to_string(length) +
        " " + OverlappedText(overlapped) + " " + Printable(buffer, length));
    if (transferred != nullptr) *transferred = length;
    const auto& reply = binding->device->reply;
    binding->pending.insert(binding->pending.end(), reply.begin(), reply.end());
    return TRUE;
}

WINBOOL WINAPI WinUsb_ReadPipe(WINUSB_INTERFACE_HANDLE handle, UCHAR pipeId, PUCHAR buffer,
                               ULONG length, PULONG transferred, LPOVERLAPPED overlapped) {
    Binding* binding = BindingOf(handle);
    Log("read " + Hex2(pipeId) + " ask " + std::to_string(length) + " " +
        OverlappedText(overlapped));
    // A silent reader would block the caller for ever; the stand-in fails the
    // read instead, as a pipe time-out would.
    if (binding->pending.empty()) {
        SetLastError(ERROR_SEM_TIMEOUT);
        return FALSE;
    }
    ULONG n = 0;
    while (n < length && !binding->pending.empty()) {
        buffer[n++] = binding->pending.front();
        binding->pending.pop_front();
    }
    if (transferred != nullptr) *transferred = n;
    return TRUE;
}

}  // extern "C"
