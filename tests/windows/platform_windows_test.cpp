// zelvorn.dll end to end on its Windows platform code: device discovery
// through the Configuration Manager, opening the device file, WinUSB binding,
// the pipe choice, the reset sent at open and the release order. The
// stand-ins for cfgmgr32.dll and winusb.dll serve the lists and the USB side;
// the device paths are real files, so CreateFileW does its real work.
#include <windows.h>

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "tests/windows/doubles/control.h"
#include "zelvorn.h"

namespace {

using Lines = std::vector<std::string>;

constexpr std::uint32_t kCrOutOfMemory = 0x02;
constexpr std::uint32_t kCrFailure = 0x13;
constexpr std::uint32_t kCrBufferSmall = 0x1A;
constexpr DWORD kInvalidData = 13;

// A reply frame with no payload: 00 9000 00, checksum 90. Twelve characters,
// so it arrives in a read of 8 and one of 4 that holds ETX.
const std::uint8_t kEmptyReply[] = {0x02, '0', '0', '9', '0', '0', '0', '0', '0', '9', '0', 0x03};

UsbDoubleDevice Device(std::initializer_list<UsbDoublePipe> pipes = {{3, 0x81, 0}}) {
    UsbDoubleDevice d = {};
    for (const UsbDoublePipe& p : pipes) d.pipes[d.pipeCount++] = p;
    d.reply = kEmptyReply;
    d.replyLength = sizeof kEmptyReply;
    return d;
}

// The reset at open as the reader receives it: setup 40 00 0000 0000 000E
// and the frame STX 01E0020500E6 ETX, synchronously.
const std::string kResetControl =
    "control 40 00 0000 0000 000E buffer 14 sync <02>01E0020500E6<03>";

class WindowsPlatformTest : public ::testing::Test {
protected:
    void SetUp() override {
        CloseAll();
        CfgDouble_Reset();
        UsbDouble_Reset();
        wchar_t exe[MAX_PATH];
        const DWORD n = GetModuleFileNameW(nullptr, exe, MAX_PATH);
        std::wstring dir(exe, n);
        dir_ = dir.substr(0, dir.find_last_of(L'\\')) + L"\\devices";
        RemoveTree(dir_);
        ASSERT_TRUE(CreateDirectoryW(dir_.c_str(), nullptr));
    }

    void TearDown() override {
        CloseAll();
        for (HANDLE h : held_) CloseHandle(h);
        RemoveTree(dir_);
    }

    static void CloseAll() {
        for (int16_t h = 0; h < ZELVORN_MAX_READERS; ++h) Zelvorn_Close(h);
    }

    static void RemoveTree(const std::wstring& dir) {
        WIN32_FIND_DATAW found;
        const HANDLE search = FindFirstFileW((dir + L"\\*").c_str(), &found);
        if (search != INVALID_HANDLE_VALUE) {
            do {
                const std::wstring name = found.cFileName;
                if (name == L"." || name == L"..") continue;
                const std::wstring path = dir + L"\\" + name;
                if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
                    RemoveTree(path);
                } else {
                    SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
                    DeleteFileW(path.c_str());
                }
            } while (FindNextFileW(search, &found));
            FindClose(search);
        }
        RemoveDirectoryW(dir.c_str());
    }

    static void CreateFileAt(const std::wstring& path) {
        const HANDLE h = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                     FILE_ATTRIBUTE_NORMAL, nullptr);
        ASSERT_NE(h, INVALID_HANDLE_VALUE);
        CloseHandle(h);
    }

    // A device file in the test's folder with its stand-in USB device. A
    // device that is a folder instead gets access denied from CreateFileW,
    // as a device held by another program does. (A read-only file would too,
    // but not for root, whom wine lets write anyway.)
    std::wstring AddDevice(const std::wstring& name, const UsbDoubleDevice& device = Device(),
                           bool accessDenied = false) {
        const std::wstring path = dir_ + L"\\" + name;
        if (accessDenied) {
            EXPECT_TRUE(CreateDirectoryW(path.c_str(), nullptr));
        } else {
            CreateFileAt(path);
        }
        UsbDouble_AddDevice(name.c_str(), &device);
        return path;
    }

    // A device whose full path has exactly `chars` characters, in folders
    // deep enough to get there.
    std::wstring AddDeviceWithPathLength(std::size_t chars) {
        std::wstring path = dir_;
        while (chars - path.size() > 200) {
            path += L"\\" + std::wstring(150, L'd');
            CreateDirectoryW(path.c_str(), nullptr);
        }
        const std::wstring name(chars - path.size() - 1, L'r');
        path += L"\\" + name;
        CreateFileAt(path);
        const UsbDoubleDevice device = Device();
        UsbDouble_AddDevice(name.c_str(), &device);
        return path;
    }

    // The interface list of those paths, as the Configuration Manager gives
    // it: zero-terminated strings and a final empty string.
    static std::vector<wchar_t> ListOf(const std::vector<std::wstring>& paths) {
        std::vector<wchar_t> list;
        for (const std::wstring& p : paths) {
            list.insert(list.end(), p.begin(), p.end());
            list.push_back(0);
        }
        list.push_back(0);
        return list;
    }

    static void ServeList(const std::vector<wchar_t>& list) {
        CfgDouble_AddList(list.data(), static_cast<std::uint32_t>(list.size()));
    }

    // Holds the file open the way another program would, without sharing.
    void Hold(const std::wstring& path) {
        const HANDLE h = CreateFileW(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                                     FILE_ATTRIBUTE_NORMAL, nullptr);
        ASSERT_NE(h, INVALID_HANDLE_VALUE);
        held_.push_back(h);
    }

    // Whether nothing holds the file open any more: an exclusive open works.
    static bool Released(const std::wstring& path) {
        const HANDLE h = CreateFileW(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                                     FILE_ATTRIBUTE_NORMAL, nullptr);
        if (h == INVALID_HANDLE_VALUE) return false;
        CloseHandle(h);
        return true;
    }

    static Lines UsbLog() {
        std::string text(1 << 16, '\0');
        text.resize(UsbDouble_GetLog(text.data(), static_cast<std::uint32_t>(text.size())));
        Lines lines;
        std::istringstream in(text);
        for (std::string line; std::getline(in, line);) lines.push_back(line);
        return lines;
    }

    static CfgDoubleCalls CfgCalls() {
        CfgDoubleCalls calls = {};
        CfgDouble_GetCalls(&calls);
        return calls;
    }

    std::wstring dir_;
    std::vector<HANDLE> held_;
};

TEST_F(WindowsPlatformTest, TheStandInsAreLoadedInsteadOfTheSystemDlls) {
    for (const wchar_t* dll : {L"cfgmgr32.dll", L"winusb.dll"}) {
        wchar_t path[MAX_PATH] = {};
        GetModuleFileNameW(GetModuleHandleW(dll), path, MAX_PATH);
        const std::wstring loaded = path;
        EXPECT_EQ(loaded.substr(0, loaded.find_last_of(L'\\')),
                  dir_.substr(0, dir_.find_last_of(L'\\')))
            << "loaded from elsewhere: WINEDLLOVERRIDES=cfgmgr32,winusb=n missing?";
    }
}

TEST_F(WindowsPlatformTest, OpenSendsTheResetAndReadsTheReplyInEightsOnTheInterruptPipe) {
    const std::wstring path = AddDevice(L"reader.dev", Device({{2, 0x02, 0}, {3, 0x83, 0}}));
    ServeList(ListOf({path}));

    ASSERT_EQ(Zelvorn_Open(0), 0);
    EXPECT_EQ(UsbLog(), (Lines{"initialize reader.dev overlapped", "settings alternate 0",
                               "pipe alternate 0 index 0", "pipe alternate 0 index 1",
                               kResetControl, "read 83 ask 8 sync", "read 83 ask 8 sync"}));
    const CfgDoubleCalls calls = CfgCalls();
    EXPECT_EQ(calls.sizeQueries, 1);
    EXPECT_EQ(calls.fetches, 1);
    EXPECT_EQ(calls.unexpectedArguments, 0);
}

TEST_F(WindowsPlatformTest, TheReaderIsHeldExclusivelyAndReleasedUsbFirst) {
    const std::wstring path = AddDevice(L"reader.dev");
    ServeList(ListOf({path}));
    ASSERT_EQ(Zelvorn_Open(0), 0);

    // Opened without sharing: nobody else gets at the device meanwhile.
    const HANDLE other = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                     nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    EXPECT_EQ(other, INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
    if (other != INVALID_HANDLE_VALUE) CloseHandle(other);

    ASSERT_EQ(Zelvorn_Close(0), 0);
    EXPECT_EQ(UsbLog().back(), "free reader.dev file-open");
    EXPECT_TRUE(Released(path));
    EXPECT_EQ(Zelvorn_Close(0), ERR_INVALID_HANDLE);
}

TEST_F(WindowsPlatformTest, PortsFollowTheListOrderAndAPortPastItFails) {
    const std::wstring first = AddDevice(L"first.dev");
    const std::wstring second = AddDevice(L"second.dev");
    ServeList(ListOf({first, second}));

    EXPECT_EQ(Zelvorn_Open(1), 1);
    EXPECT_EQ(UsbLog().front(), "initialize second.dev overlapped");
    EXPECT_EQ(Zelvorn_Open(0), 0);
    EXPECT_EQ(Zelvorn_Open(2), ERR_OPEN_FAILED);
    EXPECT_FALSE(Released(first));
    EXPECT_FALSE(Released(second));
    EXPECT_EQ(Zelvorn_Close(0), 0);
    EXPECT_EQ(Zelvorn_Close(1), 0);
    EXPECT_TRUE(Released(first));
    EXPECT_TRUE(Released(second));
}

TEST_F(WindowsPlatformTest, AListThatGrowsBetweenTheTwoQueriesIsFetchedAgain) {
    const std::wstring first = AddDevice(L"first.dev");
    const std::wstring second = AddDevice(L"second.dev");
    ServeList(ListOf({first}));
    ServeList(ListOf({first, second}));  // arrives after the first size query

    EXPECT_EQ(Zelvorn_Open(1), 1);
    const CfgDoubleCalls calls = CfgCalls();
    EXPECT_EQ(calls.sizeQueries, 2);
    EXPECT_EQ(calls.fetches, 2);
    EXPECT_EQ(calls.lastFetchBufferChars, ListOf({first, second}).size());
    EXPECT_EQ(calls.maps, 0);
}

TEST_F(WindowsPlatformTest, NoEntryIsFoundBehindTheListsFinalEmptyString) {
    const std::wstring first = AddDevice(L"first.dev");
    const std::wstring ghost = AddDevice(L"ghost.dev");
    // The buffer holds more than the list: an entry after the end marker.
    std::vector<wchar_t> list = ListOf({first});
    const std::vector<wchar_t> behind = ListOf({ghost});
    list.insert(list.end(), behind.begin(), behind.end());
    ServeList(list);

    EXPECT_EQ(Zelvorn_Open(1), ERR_OPEN_FAILED);
    EXPECT_TRUE(UsbLog().empty());
    EXPECT_EQ(Zelvorn_Open(0), 0);
}

TEST_F(WindowsPlatformTest, AnEntryCutOffByTheEndOfTheBufferIsNoPath) {
    const std::wstring first = AddDevice(L"first.dev");
    const std::wstring second = AddDevice(L"second.dev");
    // A list without its last two zeros: the second entry, a real device,
    // runs into the end of the buffer and is not taken as a whole path.
    std::vector<wchar_t> list = ListOf({first, second});
    list.resize(list.size() - 2);
    ServeList(list);

    EXPECT_EQ(Zelvorn_Open(1), ERR_OPEN_FAILED);
    EXPECT_TRUE(UsbLog().empty());
    EXPECT_EQ(Zelvorn_Open(0), 0);
}

TEST_F(WindowsPlatformTest, AnEmptyListHasNoReader) {
    ServeList(ListOf({}));
    EXPECT_EQ(Zelvorn_Open(0), ERR_OPEN_FAILED);
    EXPECT_EQ(CfgCalls().fetches, 1);
}

TEST_F(WindowsPlatformTest, ConfigurationManagerFailuresAreMappedWithInvalidDataAsDefault) {
    const std::wstring path = AddDevice(L"reader.dev");
    ServeList(ListOf({path}));
    const struct {
        const char* name;
        std::uint32_t sizeFailure;
        std::uint32_t fetchFailure;
        int fetches;
    } cases[] = {
        {"size query fails", kCrOutOfMemory, 0, 0},
        {"fetch fails", 0, kCrFailure, 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        CfgDouble_Reset();
        ServeList(ListOf({path}));
        CfgDouble_FailSizeQuery(c.sizeFailure);
        CfgDouble_FailFetch(c.fetchFailure);

        EXPECT_EQ(Zelvorn_Open(0), ERR_OPEN_FAILED);
        const CfgDoubleCalls calls = CfgCalls();
        EXPECT_EQ(calls.sizeQueries, 1);  // no retry but for a grown list
        EXPECT_EQ(calls.fetches, c.fetches);
        EXPECT_EQ(calls.maps, 1);
        EXPECT_EQ(calls.lastMappedCode, c.sizeFailure != 0 ? c.sizeFailure : c.fetchFailure);
        EXPECT_EQ(calls.lastMapDefault, kInvalidData);
        EXPECT_TRUE(UsbLog().empty());
    }
}

TEST_F(WindowsPlatformTest, PathsUpTo259CharactersOpenAndLongerOnesAreNoReader) {
    const std::wstring fits = AddDeviceWithPathLength(259);
    const std::wstring tooLong = AddDeviceWithPathLength(260);
    ASSERT_EQ(fits.size(), 259u);
    ASSERT_EQ(tooLong.size(), 260u);
    // The system itself opens both, so only the library's own limit can
    // refuse the longer one.
    ASSERT_TRUE(Released(tooLong));
    ServeList(ListOf({tooLong, fits}));

    EXPECT_EQ(Zelvorn_Open(0), ERR_OPEN_FAILED);
    EXPECT_TRUE(UsbLog().empty());
    EXPECT_TRUE(Released(tooLong));
    EXPECT_EQ(Zelvorn_Open(1), 1);
}

// Counts the blocks of the process heap in use with exactly that size.
std::size_t HeapBlocksOfSize(SIZE_T size) {
    const HANDLE heap = GetProcessHeap();
    std::size_t count = 0;
    HeapLock(heap);
    PROCESS_HEAP_ENTRY entry = {};
    while (HeapWalk(heap, &entry)) {
        if ((entry.wFlags & PROCESS_HEAP_ENTRY_BUSY) != 0 && entry.cbData == size) ++count;
    }
    HeapUnlock(heap);
    return count;
}

TEST_F(WindowsPlatformTest, ATooLongEntryDoesNotLeakTheList) {
    const std::wstring tooLong = AddDeviceWithPathLength(301);
    const std::vector<wchar_t> list = ListOf({tooLong});
    ServeList(list);
    const SIZE_T listBytes = list.size() * sizeof(wchar_t);

    const std::size_t before = HeapBlocksOfSize(listBytes);
    for (int i = 0; i < 25; ++i) ASSERT_EQ(Zelvorn_Open(0), ERR_OPEN_FAILED);
    EXPECT_LT(HeapBlocksOfSize(listBytes), before + 25);
    EXPECT_EQ(HeapBlocksOfSize(listBytes), before);
    EXPECT_EQ(CfgCalls().fetches, 25);
}

struct OpenFailure {
    const char* name;
    UsbDoubleDevice device;
    bool accessDenied;
    bool heldElsewhere;
    int16_t result;
    Lines log;
};

void PrintTo(const OpenFailure& failure, std::ostream* out) {
    *out << failure.name;
}

class WindowsOpenFailureTest : public WindowsPlatformTest,
                               public ::testing::WithParamInterface<OpenFailure> {};

TEST_P(WindowsOpenFailureTest, LeavesTheSlotEmptyAndReleasesEverything) {
    const OpenFailure& f = GetParam();
    const std::wstring path = AddDevice(L"reader.dev", f.device, f.accessDenied);
    ServeList(ListOf({path}));
    if (f.heldElsewhere) Hold(path);

    EXPECT_EQ(Zelvorn_Open(0), f.result);
    EXPECT_EQ(UsbLog(), f.log);
    EXPECT_EQ(Zelvorn_Close(0), ERR_INVALID_HANDLE);
    if (!f.heldElsewhere && !f.accessDenied) {
        EXPECT_TRUE(Released(path));
    }
}

UsbDoubleDevice Failing(UsbDoubleDevice d, bool initialize, bool settings) {
    d.initializeFails = initialize;
    d.settingsFail = settings;
    return d;
}

const std::string kInit = "initialize reader.dev overlapped";
const std::string kSettings = "settings alternate 0";
const std::string kFree = "free reader.dev file-open";
std::string PipeQuery(int index) {
    return "pipe alternate 0 index " + std::to_string(index);
}

INSTANTIATE_TEST_SUITE_P(
    , WindowsOpenFailureTest,
    ::testing::Values(
        OpenFailure{"AccessDenied", Device(), true, false, ERR_DEVICE_BUSY, {}},
        OpenFailure{"SharingViolation", Device(), false, true, ERR_OPEN_FAILED, {}},
        OpenFailure{"WinUsbRefuses",
                    Failing(Device(), true, false),
                    false,
                    false,
                    ERR_OPEN_FAILED,
                    {kInit}},
        OpenFailure{"SettingsUnreadable",
                    Failing(Device(), false, true),
                    false,
                    false,
                    ERR_OPEN_FAILED,
                    {kInit, kSettings, kFree}},
        OpenFailure{
            "NoEndpoints", Device({}), false, false, ERR_OPEN_FAILED, {kInit, kSettings, kFree}},
        OpenFailure{
            "NoInterruptInPipe",
            Device({{2, 0x81, 0}, {3, 0x02, 0}, {1, 0x83, 0}, {3, 0x84, 1}}),
            false,
            false,
            ERR_OPEN_FAILED,
            {kInit, kSettings, PipeQuery(0), PipeQuery(1), PipeQuery(2), PipeQuery(3), kFree}}),
    [](const ::testing::TestParamInfo<OpenFailure>& param) {
        return std::string(param.param.name);
    });

TEST_F(WindowsPlatformTest, TheFirstInterruptInPipeThatAnswersCarriesTheReplies) {
    const struct {
        const char* name;
        UsbDoubleDevice device;
        const char* read;
    } cases[] = {
        {"after bulk and interrupt-out", Device({{3, 0x01, 0}, {2, 0x82, 0}, {3, 0x83, 0}}),
         "read 83 ask 8 sync"},
        {"first query fails", Device({{3, 0x81, 1}, {3, 0x84, 0}}), "read 84 ask 8 sync"},
        {"first of two", Device({{3, 0x85, 0}, {3, 0x86, 0}}), "read 85 ask 8 sync"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        CloseAll();
        CfgDouble_Reset();
        UsbDouble_Reset();
        const std::wstring path = AddDevice(L"reader.dev", c.device);
        ServeList(ListOf({path}));
        ASSERT_EQ(Zelvorn_Open(0), 0);
        EXPECT_EQ(UsbLog().back(), c.read);
    }
}

}  // namespace
