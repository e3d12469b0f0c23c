// The Windows platform: readers are found through the Configuration Manager
// by their device interface class and driven through WinUSB.
#include <windows.h>
// windows.h first: the two below rely on its types.
#include <cfgmgr32.h>
#include <winusb.h>

#include <cstdint>

#include "platform/platform.h"
#include "zelvorn_device.h"

namespace zelvorn {
namespace {

// The interface class the reader's driver package registers its devices
// under (driver/zelvorn.inf is made from the same setting).
const GUID kReaderInterfaceClass = ZELVORN_DEVICE_INTERFACE_CLASS;

// The Configuration Manager takes the class through a pointer to non-const
// but only reads it.
GUID* InterfaceClass() {
    return const_cast<GUID*>(&kReaderInterfaceClass);
}

HANDLE FileOf(PlatformFile* file) {
    return reinterpret_cast<HANDLE>(file);
}
WINUSB_INTERFACE_HANDLE UsbOf(PlatformUsb* usb) {
    return reinterpret_cast<WINUSB_INTERFACE_HANDLE>(usb);
}

// Leaves a Windows error code for a Configuration Manager failure, as any
// other failed system call would; the caller only learns that no path was
// found. CM_MapCrToWin32Err came with Windows 8 and some cfgmgr32.dll
// implementations (wine's among them) still lack it, so it is looked up when
// needed rather than imported: a missing mapping must not turn "no reader"
// into a process that cannot load or dies on the call.
bool ConfigFailure(CONFIGRET cr) {
    using MapFunction = DWORD(WINAPI*)(CONFIGRET, DWORD);
    DWORD error = ERROR_INVALID_DATA;
    const HMODULE cfgmgr32 = GetModuleHandleW(L"cfgmgr32.dll");
    const FARPROC found =
        cfgmgr32 != nullptr ? GetProcAddress(cfgmgr32, "CM_MapCrToWin32Err") : nullptr;
    if (found != nullptr) {
        // GetProcAddress hands every export out under one generic type.
        const auto map = reinterpret_cast<MapFunction>(reinterpret_cast<void*>(found));
        error = map(cr, ERROR_INVALID_DATA);
    }
    SetLastError(error);
    return false;
}

// Copies entry number index of a list of zero-terminated strings ended by an
// empty string. The walk stops at the first empty string and never leaves the
// buffer, even if the list in it lacks its final zero.
bool CopyEntry(const wchar_t* list, std::size_t listChars, std::uint32_t index, wchar_t* path) {
    std::size_t pos = 0;
    for (std::uint32_t skipped = 0; skipped < index; ++skipped) {
        if (pos >= listChars || list[pos] == 0) return false;
        while (pos < listChars && list[pos] != 0) ++pos;
        ++pos;  // past the entry's zero
    }
    if (pos >= listChars || list[pos] == 0) return false;

    std::size_t n = 0;
    while (n + 1 < kDevicePathChars && pos + n < listChars && list[pos + n] != 0) {
        path[n] = list[pos + n];
        ++n;
    }
    path[n] = 0;
    // Whole only if the entry's own zero came next: an entry of
    // kDevicePathChars characters or more, or one cut off by the end of the
    // buffer, is no usable path.
    return pos + n < listChars && list[pos + n] == 0;
}

bool FindPath(PathChar* path, std::uint32_t index) {
    const HANDLE heap = GetProcessHeap();
    for (;;) {
        ULONG listChars = 0;
        CONFIGRET cr = CM_Get_Device_Interface_List_SizeW(&listChars, InterfaceClass(), nullptr,
                                                          CM_GET_DEVICE_INTERFACE_LIST_PRESENT);
        if (cr != CR_SUCCESS) return ConfigFailure(cr);
        if (listChars == 0) return false;

        auto* list = static_cast<wchar_t*>(
            HeapAlloc(heap, HEAP_ZERO_MEMORY, static_cast<SIZE_T>(listChars) * sizeof(wchar_t)));
        if (list == nullptr) return false;
        cr = CM_Get_Device_Interface_ListW(InterfaceClass(), nullptr, list, listChars,
                                           CM_GET_DEVICE_INTERFACE_LIST_PRESENT);
        if (cr == CR_SUCCESS) {
            const bool found = CopyEntry(list, listChars, index, path);
            HeapFree(heap, 0, list);
            return found;
        }
        HeapFree(heap, 0, list);
        // A reader arrived between the two calls: the list grew, ask again.
        if (cr != CR_BUFFER_SMALL) return ConfigFailure(cr);
    }
}

OpenOutcome OpenPath(const PathChar* path, PlatformFile** file) {
    // WinUSB needs a handle opened for overlapped I/O even though every
    // transfer here is synchronous. No sharing: one program per reader.
    const HANDLE handle = CreateFileW(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                      FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        return GetLastError() == ERROR_ACCESS_DENIED ? OpenOutcome::AccessDenied
                                                     : OpenOutcome::Failed;
    }
    *file = reinterpret_cast<PlatformFile*>(handle);
    return OpenOutcome::Ok;
}

// Windows reports a reader held elsewhere when the file is opened, so a
// failure here is an ordinary open failure.
OpenOutcome BindInterface(PlatformFile* file, PlatformUsb** usb) {
    WINUSB_INTERFACE_HANDLE handle = nullptr;
    if (!WinUsb_Initialize(FileOf(file), &handle)) return OpenOutcome::Failed;
    *usb = reinterpret_cast<PlatformUsb*>(handle);
    return OpenOutcome::Ok;
}

bool QueryEndpointCount(PlatformUsb* usb, std::uint8_t* count) {
    USB_INTERFACE_DESCRIPTOR descriptor = {};
    if (!WinUsb_QueryInterfaceSettings(UsbOf(usb), 0, &descriptor)) return false;
    *count = descriptor.bNumEndpoints;
    return true;
}

bool QueryPipe(PlatformUsb* usb, std::uint8_t endpointIndex, PipeInfo* pipe) {
    WINUSB_PIPE_INFORMATION info = {};
    if (!WinUsb_QueryPipe(UsbOf(usb), 0, endpointIndex, &info)) return false;
    pipe->type = static_cast<std::uint8_t>(info.PipeType);
    pipe->id = info.PipeId;
    return true;
}

bool ControlOut(PlatformUsb* usb, const SetupPacket& setup, const std::uint8_t* data) {
    WINUSB_SETUP_PACKET packet = {};
    packet.RequestType = setup.requestType;
    packet.Request = setup.request;
    packet.Value = setup.value;
    packet.Index = setup.index;
    packet.Length = setup.length;
    ULONG transferred = 0;
    // WinUSB takes a non-const buffer for both directions; an OUT transfer
    // only reads it.
    return WinUsb_ControlTransfer(UsbOf(usb), packet, const_cast<PUCHAR>(data), setup.length,
                                  &transferred, nullptr) != FALSE;
}

bool ReadPipe(PlatformUsb* usb, std::uint8_t pipeId, std::uint8_t* buffer, std::uint32_t capacity,
              std::uint32_t* received) {
    ULONG got = 0;
    if (!WinUsb_ReadPipe(UsbOf(usb), pipeId, buffer, capacity, &got, nullptr)) return false;
    *received = got;
    return true;
}

void ReleaseInterface(PlatformUsb* usb) {
    WinUsb_Free(UsbOf(usb));
}

void CloseFile(PlatformFile* file) {
    CloseHandle(FileOf(file));
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
