// zelvorn.dll beside a cfgmgr32.dll that lacks CM_MapCrToWin32Err, as on
// Windows 7 and under wine: the library must still load, and a Configuration
// Manager failure must still read as "no reader".
#include <windows.h>

#include <gtest/gtest.h>

#include "tests/windows/doubles/control.h"
#include "zelvorn.h"

namespace {

TEST(WithoutCmMapCrToWin32Err, ConfigurationManagerFailuresStillMeanNoReader) {
    const HMODULE cfgmgr32 = GetModuleHandleW(L"cfgmgr32.dll");
    ASSERT_NE(cfgmgr32, nullptr);
    ASSERT_EQ(GetProcAddress(cfgmgr32, "CM_MapCrToWin32Err"), nullptr);

    constexpr std::uint32_t kCrFailure = 0x13;
    for (int fetch = 0; fetch < 2; ++fetch) {
        CfgDouble_Reset();
        const wchar_t list[] = L"\\\\?\\no-such-reader\0";
        CfgDouble_AddList(list, sizeof list / sizeof list[0]);
        if (fetch) {
            CfgDouble_FailFetch(kCrFailure);
        } else {
            CfgDouble_FailSizeQuery(kCrFailure);
        }
        SetLastError(0);
        EXPECT_EQ(Zelvorn_Open(0), ERR_OPEN_FAILED);
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_DATA));
    }
}

}  // namespace
