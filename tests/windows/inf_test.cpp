// driver/zelvorn.inf as Windows reads it: parsed by wine's own setupapi, with
// the hardware ID of the build's USB IDs, WinUSB installed through
// winusb.inf's sections, and the interface class that zelvorn.dll, as built,
// looks for (asked of the cfgmgr32 stand-in), not a copy of it.
#include <windows.h>
// windows.h first: setupapi.h relies on its types.
#include <setupapi.h>

#include <gtest/gtest.h>

#include <cwchar>
#include <string>

#include "tests/windows/doubles/control.h"
#include "zelvorn.h"
#include "zelvorn_device.h"

namespace {

std::wstring BesideProgram(const wchar_t* name) {
    wchar_t exe[MAX_PATH];
    const DWORD n = GetModuleFileNameW(nullptr, exe, MAX_PATH);
    std::wstring dir(exe, n);
    return dir.substr(0, dir.find_last_of(L'\\') + 1) + name;
}

std::string Narrow(const std::wstring& text) {
    std::string out;
    for (wchar_t c : text) out.push_back(c < 0x80 ? static_cast<char>(c) : '?');
    return out;
}

class DriverPackageTest : public ::testing::Test {
protected:
    void SetUp() override {
        UINT errorLine = 0;
        inf_ = SetupOpenInfFileW(BesideProgram(L"zelvorn.inf").c_str(), nullptr, INF_STYLE_WIN4,
                                 &errorLine);
        ASSERT_NE(inf_, INVALID_HANDLE_VALUE)
            << "setupapi refuses zelvorn.inf: error " << GetLastError() << " at line " << errorLine;
    }
    void TearDown() override {
        if (inf_ != INVALID_HANDLE_VALUE) SetupCloseInfFile(inf_);
    }

    // Field `index` (0: the key) of the first line of a section with that
    // key (any line for none); "<missing>" when there is no such line or
    // field, so that a comparison names what was looked for.
    std::wstring Field(const std::wstring& section, const wchar_t* key, DWORD index) const {
        INFCONTEXT line;
        if (!SetupFindFirstLineW(inf_, section.c_str(), key, &line)) return L"<missing>";
        wchar_t text[512];
        DWORD needed = 0;
        if (!SetupGetStringFieldW(&line, index, text, sizeof text / sizeof text[0], &needed)) {
            return L"<missing>";
        }
        return text;
    }
    std::string Text(const std::wstring& section, const wchar_t* key, DWORD index = 1) const {
        return Narrow(Field(section, key, index));
    }

    HINF inf_ = INVALID_HANDLE_VALUE;
};

TEST_F(DriverPackageTest, VersionSectionMakesAUsbDevicePackageOfTheLibrarysRelease) {
    EXPECT_EQ(Text(L"Version", L"Signature"), "$Windows NT$");
    // Windows' own setup class for USB devices that follow no USB class.
    EXPECT_EQ(Text(L"Version", L"Class"), "USBDevice");
    EXPECT_EQ(Text(L"Version", L"ClassGuid"), "{88BBBD00-2CB0-48D6-8FC8-D9A9B7E7C55A}");
    EXPECT_EQ(Text(L"Version", L"CatalogFile"), "zelvorn.cat");

    // DriverVer: the release date and the library's own version.
    const std::string date = Text(L"Version", L"DriverVer", 1);
    ASSERT_EQ(date.size(), 10u) << date;
    EXPECT_EQ(date[2], '/');
    EXPECT_EQ(date[5], '/');
    std::uint8_t length = 0;
    char version[32] = {};
    ASSERT_EQ(Zelvorn_RequestDLLVersion(&length, version), RESULT_OK);
    EXPECT_EQ("Zelvorn DLL " + Text(L"Version", L"DriverVer", 2), std::string(version));
}

TEST_F(DriverPackageTest, BindsWinUsbToTheReadersHardwareIdAndRegistersTheDllsClass) {
    // [Manufacturer]: the models section and its decoration, 64-bit only
    // like the DLL.
    INFCONTEXT manufacturer;
    ASSERT_TRUE(SetupFindFirstLineW(inf_, L"Manufacturer", nullptr, &manufacturer));
    wchar_t text[256];
    ASSERT_TRUE(SetupGetStringFieldW(&manufacturer, 1, text, 256, nullptr));
    const std::wstring models = text;
    ASSERT_TRUE(SetupGetStringFieldW(&manufacturer, 2, text, 256, nullptr));
    EXPECT_STREQ(text, L"NTamd64");
    const std::wstring modelsSection = models + L"." + text;

    // The reader's hardware ID, from the build's USB IDs.
    wchar_t hardwareId[64];
    std::swprintf(hardwareId, 64, L"USB\\VID_%04X&PID_%04X", ZELVORN_DEVICE_USB_VENDOR_ID,
                  ZELVORN_DEVICE_USB_PRODUCT_ID);
    EXPECT_EQ(Field(modelsSection, nullptr, 2), hardwareId);
    const std::wstring install = Field(modelsSection, nullptr, 1);

    // WinUSB as function driver, with the WinUsb service, from winusb.inf.
    EXPECT_EQ(Text(install, L"Include"), "winusb.inf");
    EXPECT_EQ(Text(install, L"Needs"), "WINUSB.NT");
    EXPECT_EQ(Text(install + L".Services", L"Include"), "winusb.inf");
    EXPECT_EQ(Text(install + L".Services", L"Needs"), "WINUSB.NT.Services");

    // The device's registry key: DeviceInterfaceGUIDs, a list of strings
    // (0x10000) holding the class.
    const std::wstring addReg = Field(install + L".HW", L"AddReg", 1);
    EXPECT_EQ(Text(addReg, nullptr, 1), "HKR");
    EXPECT_EQ(Text(addReg, nullptr, 2), "");
    EXPECT_EQ(Text(addReg, nullptr, 3), "DeviceInterfaceGUIDs");
    EXPECT_EQ(std::wcstoul(Field(addReg, nullptr, 4).c_str(), nullptr, 16), 0x10000u);
    const std::wstring registered = Field(addReg, nullptr, 5);

    // The class zelvorn.dll asks the Configuration Manager for.
    CfgDouble_Reset();
    EXPECT_EQ(Zelvorn_Open(0), ERR_OPEN_FAILED);
    CfgDoubleCalls calls = {};
    CfgDouble_GetCalls(&calls);
    ASSERT_GT(calls.sizeQueries, 0);
    wchar_t asked[64];
    ASSERT_GT(StringFromGUID2(calls.lastClass, asked, 64), 0);
    EXPECT_EQ(registered, asked);
}

}  // namespace
