// Stand-in for cfgmgr32.dll: serves scripted device interface lists.
#define _CFGMGR32_  // we define the functions the header declares
#include <windows.h>
// windows.h first: cfgmgr32.h relies on its types.
#include <cfgmgr32.h>

#include <cstring>
#include <vector>

#include "tests/windows/doubles/control.h"

namespace {

const GUID kReaderClass = {
    0x3E7F5DF4, 0x7D55, 0x4B9C, {0xA3, 0x05, 0x44, 0xA1, 0xDF, 0x35, 0x3A, 0x89}};

std::vector<std::vector<wchar_t>> g_lists;
std::size_t g_current = 0;
std::uint32_t g_failSize = 0;
std::uint32_t g_failFetch = 0;
CfgDoubleCalls g_calls = {};

// What the current list is for a query with these arguments. Another class
// has no devices, as far as the reader's tests care.
std::vector<wchar_t> ListFor(const GUID* cls, const void* filter, ULONG flags) {
    static const std::vector<wchar_t> kEmpty{0};
    if (cls == nullptr || !IsEqualGUID(*cls, kReaderClass) || filter != nullptr || flags != 0) {
        ++g_calls.unexpectedArguments;
        return kEmpty;
    }
    if (g_lists.empty()) return kEmpty;
    return g_lists[g_current];
}

}  // namespace

extern "C" {

void CfgDouble_Reset() {
    g_lists.clear();
    g_current = 0;
    g_failSize = 0;
    g_failFetch = 0;
    g_calls = {};
}

void CfgDouble_AddList(const wchar_t* chars, std::uint32_t count) {
    g_lists.emplace_back(chars, chars + count);
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
    if (g_current + 1 < g_lists.size()) ++g_current;
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
