// Control of the stand-ins for cfgmgr32.dll and winusb.dll that the Windows
// platform tests load in place of the system's own. The tests link against
// them and steer them through these functions; zelvorn.dll sees nothing but
// the ordinary system calls.
#pragma once

#include <windows.h>

#include <cstdint>

#if defined(ZELVORN_DOUBLE_BUILDING)
#define ZELVORN_DOUBLE_API __declspec(dllexport)
#else
#define ZELVORN_DOUBLE_API __declspec(dllimport)
#endif

extern "C" {

// ---- cfgmgr32.dll ---------------------------------------------------------

// Forgets every list, failure and count.
ZELVORN_DOUBLE_API void CfgDouble_Reset();

// Adds a device interface list, given whole: its entries, its final empty
// string and whatever characters follow it. The first size query answers for
// the first list added; every size query moves on to the next one, the last
// staying. So a second list stands for a reader arriving between the size
// query and the fetch, which then finds the caller's buffer too small.
ZELVORN_DOUBLE_API void CfgDouble_AddList(const wchar_t* chars, std::uint32_t count);

// Adds a present USB device by its instance ID (USB\VID_vvvv&PID_pppp\...),
// with an interface of the reader's class at interfacePath, or none (null).
// Without lists added, the interface list is that of these devices.
// Devices may also come from the environment variable
// ZELVORN_DOUBLE_USB_DEVICES when the DLL is loaded: "ID" or "ID>PATH"
// entries separated by commas, for a program the test cannot call into.
ZELVORN_DOUBLE_API void CfgDouble_AddUsbDevice(const wchar_t* instanceId,
                                               const wchar_t* interfacePath);

// Makes every size query, or every fetch, fail with that code (0: none);
// for device interface lists and device ID lists alike.
ZELVORN_DOUBLE_API void CfgDouble_FailSizeQuery(std::uint32_t cr);
ZELVORN_DOUBLE_API void CfgDouble_FailFetch(std::uint32_t cr);

struct CfgDoubleCalls {
    int sizeQueries;
    int fetches;
    int unexpectedArguments;  // another class or flags
    int deviceFilters;        // interface lists asked for one device
    int idQueries;            // device ID list sizes and fetches
    int maps;                 // calls of CM_MapCrToWin32Err
    std::uint32_t lastMappedCode;
    std::uint32_t lastMapDefault;
    std::uint32_t lastFetchBufferChars;
    GUID lastClass;  // the interface class of the last interface list asked for
};
ZELVORN_DOUBLE_API void CfgDouble_GetCalls(CfgDoubleCalls* calls);

// ---- winusb.dll -----------------------------------------------------------

struct UsbDoublePipe {
    std::uint8_t type;  // 0 control, 1 isochronous, 2 bulk, 3 interrupt
    std::uint8_t id;
    std::uint8_t queryFails;
};

struct UsbDoubleDevice {
    std::uint8_t initializeFails;
    std::uint8_t settingsFail;
    std::uint8_t pipeCount;
    UsbDoublePipe pipes[8];
    // Handed out on reads after every control transfer.
    const std::uint8_t* reply;
    std::uint32_t replyLength;
};

// Forgets every device and the log.
ZELVORN_DOUBLE_API void UsbDouble_Reset();

// The device that answers for an opened file of that name (without folder).
ZELVORN_DOUBLE_API void UsbDouble_AddDevice(const wchar_t* fileName, const UsbDoubleDevice* device);

// The WinUSB calls so far, one line each, ended by '\n'. Copies at most
// capacity characters and returns the whole length.
ZELVORN_DOUBLE_API std::uint32_t UsbDouble_GetLog(char* text, std::uint32_t capacity);

}  // extern "C"
