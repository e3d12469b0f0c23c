// The version resource of zelvorn.dll, read back the way Windows' file
// properties read it.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

std::vector<unsigned char> VersionInfo() {
    wchar_t path[MAX_PATH];
    const HMODULE dll = GetModuleHandleW(L"zelvorn.dll");
    if (dll == nullptr || GetModuleFileNameW(dll, path, MAX_PATH) == 0) return {};
    DWORD ignored = 0;
    const DWORD size = GetFileVersionInfoSizeW(path, &ignored);
    std::vector<unsigned char> info(size);
    if (size == 0 || !GetFileVersionInfoW(path, 0, size, info.data())) return {};
    return info;
}

std::wstring StringValue(std::vector<unsigned char>& info, const std::wstring& name) {
    void* value = nullptr;
    UINT chars = 0;
    const std::wstring key = L"\\StringFileInfo\\040904B0\\" + name;
    if (!VerQueryValueW(info.data(), key.c_str(), &value, &chars) || chars == 0) return L"<none>";
    return std::wstring(static_cast<const wchar_t*>(value));
}

TEST(VersionResource, NumbersAreOnePointFivePointTwoPointZero) {
    std::vector<unsigned char> info = VersionInfo();
    ASSERT_FALSE(info.empty());
    void* value = nullptr;
    UINT size = 0;
    ASSERT_TRUE(VerQueryValueW(info.data(), L"\\", &value, &size));
    ASSERT_EQ(size, sizeof(VS_FIXEDFILEINFO));
    const auto* fixed = static_cast<const VS_FIXEDFILEINFO*>(value);
    EXPECT_EQ(fixed->dwSignature, 0xFEEF04BDu);
    EXPECT_EQ(fixed->dwFileVersionMS, (1u << 16) | 5u);
    EXPECT_EQ(fixed->dwFileVersionLS, (2u << 16) | 0u);
    EXPECT_EQ(fixed->dwProductVersionMS, (1u << 16) | 5u);
    EXPECT_EQ(fixed->dwProductVersionLS, (2u << 16) | 0u);
    EXPECT_EQ(fixed->dwFileType, static_cast<DWORD>(VFT_DLL));
}

TEST(VersionResource, StringsNameTheLibrary) {
    std::vector<unsigned char> info = VersionInfo();
    ASSERT_FALSE(info.empty());
    const struct {
        const wchar_t* name;
        const wchar_t* value;
    } expected[] = {
        {L"FileDescription", L"Zelvorn API Library"},
        {L"InternalName", L"zelvorn.dll"},
        {L"OriginalFilename", L"zelvorn.dll"},
        {L"FileVersion", L"1.5.2.0"},
        {L"ProductVersion", L"1.5.2.0"},
    };
    for (const auto& e : expected) {
        EXPECT_EQ(StringValue(info, e.name), std::wstring(e.value));
    }
}

}  // namespace
