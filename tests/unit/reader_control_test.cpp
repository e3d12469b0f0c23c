// Reader control: the request each function sends, echo verification, the
// user-port mask, the status record, replies of unexpected length or status,
// and the version text.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstring>
#include <functional>

#include "tests/support/double_fixture.h"

namespace zelvorn::testing {
namespace {

constexpr std::uint8_t kSentinel = 0xEE;

class ReaderControlTest : public DoubleTest {
protected:
    // Where the reading functions deliver; starts as sentinel bytes so that a
    // test can see whether anything was written.
    std::uint8_t out = kSentinel;
};

struct Call {
    const char* name;
    std::function<int16_t(int16_t handle, std::uint8_t* out)> run;
    Bytes request;
    Bytes goodData;  // the data of a reply the function accepts
    bool delivers;   // writes goodData[0] to *out on success
};

// One call of every function with a handle, with the request it must send.
std::vector<Call> Calls() {
    return {
        {"Reset",
         [](int16_t h, std::uint8_t*) { return Zelvorn_Reset(h); },
         Hex("E0 00 02 05 00"),
         {},
         false},
        {"Power off",
         [](int16_t h, std::uint8_t*) { return Zelvorn_Power(h, 0); },
         Hex("E0 00 02 12 00"),
         {0x00},
         false},
        {"Power on",
         [](int16_t h, std::uint8_t*) { return Zelvorn_Power(h, 1); },
         Hex("E0 00 02 13 00"),
         {0x01},
         false},
        {"ReadRC500Reg",
         [](int16_t h, std::uint8_t* o) { return Zelvorn_ReadRC500Reg(h, 0x3A, o); },
         Hex("E0 00 03 19 01 3A"),
         {0x5C},
         true},
        {"WriteRC500Reg",
         [](int16_t h, std::uint8_t*) { return Zelvorn_WriteRC500Reg(h, 0x3A, 0xC5); },
         Hex("E0 00 04 1A 02 3A C5"),
         {0xC5},
         false},
        {"ReadEEPROM",
         [](int16_t h, std::uint8_t* o) { return Zelvorn_ReadEEPROM(h, 0xFF, o); },
         Hex("E0 00 03 08 01 FF"),
         {0x81},
         true},
        {"WriteEEPROM",
         [](int16_t h, std::uint8_t*) { return Zelvorn_WriteEEPROM(h, 0x00, 0x81); },
         Hex("E0 00 04 0C 02 00 81"),
         {0x81},
         false},
        {"ReadUserPort",
         [](int16_t h, std::uint8_t* o) { return Zelvorn_ReadUserPort(h, o); },
         Hex("E0 00 02 14 00"),
         {0xFF},
         true},
        {"WriteUserPort",
         [](int16_t h, std::uint8_t*) { return Zelvorn_WriteUserPort(h, 0x44); },
         Hex("E0 00 03 15 01 44"),
         {0x44},
         false},
        {"Status", [](int16_t h, std::uint8_t*) { return Zelvorn_Status(h, nullptr, nullptr); },
         Hex("E0 00 02 18 00"), Bytes(30, 0x11), false},
    };
}

TEST_F(ReaderControlTest, EachFunctionSendsItsRequestAndAcceptsItsReply) {
    FakeReader& r = OpenReader();
    for (const Call& c : Calls()) {
        usb().controls.clear();
        out = kSentinel;
        r.scriptedReplies.push_back(ReaderReply(0, c.goodData));
        EXPECT_EQ(c.run(0, &out), RESULT_OK) << c.name;
        EXPECT_EQ(SentBlocks(), std::vector<Bytes>{c.request}) << c.name;
        EXPECT_EQ(out, c.delivers ? c.goodData[0] : kSentinel) << c.name;
    }
}

TEST_F(ReaderControlTest, ArgumentBytesGoOutUnchanged) {
    FakeReader& r = OpenReader();
    for (int v : {0x00, 0x01, 0x7F, 0x80, 0xFF}) {
        const auto b = static_cast<std::uint8_t>(v);
        const auto nb = static_cast<std::uint8_t>(~b);
        for (int i = 0; i < 4; ++i) r.scriptedReplies.push_back(ReaderReply(0, {nb}));
        Zelvorn_ReadRC500Reg(0, b, nullptr);
        Zelvorn_ReadEEPROM(0, b, nullptr);
        Zelvorn_WriteRC500Reg(0, b, nb);
        Zelvorn_WriteEEPROM(0, b, nb);
        EXPECT_EQ(SentBlocks(), (std::vector<Bytes>{{0xE0, 0x00, 0x03, 0x19, 0x01, b},
                                                    {0xE0, 0x00, 0x03, 0x08, 0x01, b},
                                                    {0xE0, 0x00, 0x04, 0x1A, 0x02, b, nb},
                                                    {0xE0, 0x00, 0x04, 0x0C, 0x02, b, nb}}))
            << v;
        usb().controls.clear();
    }
}

TEST_F(ReaderControlTest, WritesFailWhenTheEchoDiffers) {
    struct Case {
        const char* name;
        std::function<int16_t()> run;
        std::uint8_t goodEcho;
        std::uint8_t badEcho;
    };
    const std::vector<Case> cases{
        {"Power off", [] { return Zelvorn_Power(0, 0); }, 0x00, 0x01},
        {"Power on", [] { return Zelvorn_Power(0, 1); }, 0x01, 0x00},
        {"WriteRC500Reg", [] { return Zelvorn_WriteRC500Reg(0, 0x10, 0x5A); }, 0x5A, 0xA5},
        {"WriteEEPROM", [] { return Zelvorn_WriteEEPROM(0, 0x20, 0x00); }, 0x00, 0x80},
        // The reader echoes what it was sent: the masked byte, not the argument.
        {"WriteUserPort", [] { return Zelvorn_WriteUserPort(0, 0xFF); }, 0x44, 0xFF},
        {"WriteUserPort low bit", [] { return Zelvorn_WriteUserPort(0, 0x01); }, 0x00, 0x01},
    };
    FakeReader& r = OpenReader();
    for (const Case& c : cases) {
        r.scriptedReplies.push_back(ReaderReply(0, {c.goodEcho}));
        EXPECT_EQ(c.run(), RESULT_OK) << c.name;
        r.scriptedReplies.push_back(ReaderReply(0, {c.badEcho}));
        EXPECT_EQ(c.run(), ERR_FAILURE) << c.name;
    }
    // One request per call: a failed echo is neither retried nor undone.
    EXPECT_EQ(usb().controls.size(), 2 * cases.size());
}

TEST_F(ReaderControlTest, UserPortSendsOnlyBitsSixAndTwo) {
    FakeReader& r = OpenReader();
    const std::vector<std::pair<int, int>> masks{{0xFF, 0x44}, {0x01, 0x00}, {0xBB, 0x00},
                                                 {0x40, 0x40}, {0x04, 0x04}, {0x44, 0x44}};
    for (const auto& [given, sent] : masks) {
        usb().controls.clear();
        r.scriptedReplies.push_back(ReaderReply(0, {static_cast<std::uint8_t>(sent)}));
        EXPECT_EQ(Zelvorn_WriteUserPort(0, static_cast<std::uint8_t>(given)), RESULT_OK) << given;
        EXPECT_EQ(
            SentBlocks(),
            (std::vector<Bytes>{{0xE0, 0x00, 0x03, 0x15, 0x01, static_cast<std::uint8_t>(sent)}}))
            << given;
    }
}

TEST_F(ReaderControlTest, ReadsDeliverTheByteUnmaskedAndSendEvenWithoutAnOutput) {
    FakeReader& r = OpenReader();
    r.scriptedReplies.push_back(ReaderReply(0, {0xBB}));
    EXPECT_EQ(Zelvorn_ReadUserPort(0, &out), RESULT_OK);
    EXPECT_EQ(out, 0xBB);

    r.scriptedReplies.push_back(ReaderReply(0, {0x12}));
    EXPECT_EQ(Zelvorn_ReadEEPROM(0, 0x07, nullptr), RESULT_OK);
    r.scriptedReplies.push_back(ReaderReply(0x6A82, {}));
    EXPECT_EQ(Zelvorn_ReadEEPROM(0, 0x07, nullptr), static_cast<int16_t>(0x6A82));
    r.scriptedReplies.push_back(ReaderReply(0, {0x12}));
    EXPECT_EQ(Zelvorn_ReadRC500Reg(0, 0x07, nullptr), RESULT_OK);
    r.scriptedReplies.push_back(ReaderReply(0, {0x12}));
    EXPECT_EQ(Zelvorn_ReadUserPort(0, nullptr), RESULT_OK);
    EXPECT_EQ(usb().controls.size(), 5u);
}

TEST_F(ReaderControlTest, PowerAcceptsOnlyZeroAndOneAfterTheHandle) {
    OpenReader();
    for (int8_t state : {2, -1, 127, -128}) {
        EXPECT_EQ(Zelvorn_Power(0, state), ERR_INVALID_PARAMETER) << int{state};
        EXPECT_EQ(Zelvorn_Power(5, state), ERR_INVALID_PARAMETER) << int{state};  // empty slot
        EXPECT_EQ(Zelvorn_Power(20, state), ERR_INVALID_HANDLE) << int{state};
        EXPECT_EQ(Zelvorn_Power(-1, state), ERR_INVALID_HANDLE) << int{state};
    }
    EXPECT_TRUE(usb().controls.empty());
}

TEST_F(ReaderControlTest, BadHandlesAndEmptySlotsSendNothing) {
    OpenReader();
    for (const Call& c : Calls()) {
        for (int16_t handle : {20, -1, 32767, -32768, 1, 19}) {
            out = kSentinel;
            EXPECT_EQ(c.run(handle, &out), ERR_INVALID_HANDLE) << c.name << " " << handle;
            EXPECT_EQ(out, kSentinel) << c.name;
        }
    }
    EXPECT_TRUE(usb().controls.empty());
}

TEST_F(ReaderControlTest, ReaderAndTransportStatusesComeBackWithOutputsUntouched) {
    struct Outcome {
        const char* name;
        Bytes frame;
        int16_t result;
    };
    const std::vector<Outcome> outcomes{
        {"status with top bit", ReaderReply(0x8001, {0x5C}), static_cast<int16_t>(0x8001)},
        {"status 0102", ReaderReply(0x0102, {0x5C}), 0x0102},
        {"status 0001", ReaderReply(0x0001, {0x5C}), 0x0001},
        {"transport status", ReplyFrame(ReplyPayload(0, {0x5C}), {.transportStatus = 0x6F00}),
         0x6F00},
        {"bad checksum", ReplyFrame(ReplyPayload(0, {0x5C}), {.corruptChecksum = true}),
         ERR_FAILURE},
    };
    FakeReader& r = OpenReader();
    for (const Call& c : Calls()) {
        for (const Outcome& o : outcomes) {
            out = kSentinel;
            r.scriptedReplies.push_back(o.frame);
            EXPECT_EQ(c.run(0, &out), o.result) << c.name << ", " << o.name;
            EXPECT_EQ(out, kSentinel) << c.name << ", " << o.name;
        }
    }
}

TEST_F(ReaderControlTest, RepliesOfAnotherLengthAreAcceptedUnreadAndUnverified) {
    // The echo or value byte would be wrong if it were read: 5 bytes carry
    // none, 7 bytes carry it beside an extra byte.
    const std::vector<Bytes> replies{
        ReplyFrame(Bytes{}),              // M = 0
        ReplyFrame(Bytes{0x00, 0x00}),    // M = 2: no status at all
        ReaderReply(0, {}),               // M = 5
        ReaderReply(0, {0x99, 0x99}),     // M = 7
        ReaderReply(0, Bytes(27, 0x99)),  // M = 32, fills the reply buffer
    };
    FakeReader& r = OpenReader();
    for (const Call& c : Calls()) {
        if (std::string(c.name) == "Status") continue;  // its own length, tested below
        for (const Bytes& frame : replies) {
            out = kSentinel;
            r.scriptedReplies.push_back(frame);
            EXPECT_EQ(c.run(0, &out), RESULT_OK) << c.name << " " << frame.size();
            EXPECT_EQ(out, kSentinel) << c.name << " " << frame.size();
        }
    }
}

TEST_F(ReaderControlTest, RepliesLongerThanTheBufferFailWithOutputsUntouched) {
    FakeReader& r = OpenReader();
    for (const Call& c : Calls()) {
        if (std::string(c.name) == "Status") continue;
        out = kSentinel;
        r.scriptedReplies.push_back(ReaderReply(0, Bytes(28, 0x99)));  // M = 33
        EXPECT_EQ(c.run(0, &out), ERR_FAILURE) << c.name;
        EXPECT_EQ(out, kSentinel) << c.name;
    }
}

// ---- Status report ------------------------------------------------------

class ReaderStatusTest : public ReaderControlTest {
protected:
    // A reply whose every byte differs: block 0x10..0x23, record A1 | 12 34
    // 56 78 | C3 D4 E5 | 9A BC (wide fields chosen with their top bits set).
    static Bytes ReportData(std::size_t extra = 0) {
        Bytes data;
        for (int i = 0; i < 20; ++i) data.push_back(static_cast<std::uint8_t>(0x10 + i));
        const Bytes record = Hex("A1 F2 34 56 78 C3 D4 E5 9A BC");
        data.insert(data.end(), record.begin(), record.end());
        data.insert(data.end(), extra, 0x77);
        return data;
    }
    void SetUp() override {
        ReaderControlTest::SetUp();
        std::memset(block, kSentinel, sizeof block);
        std::memset(&record, kSentinel, sizeof record);
    }
    bool BlockUntouched() const {
        for (std::uint8_t b : block)
            if (b != kSentinel) return false;
        return true;
    }
    bool RecordUntouched() const {
        std::uint8_t bytes[sizeof record];
        std::memcpy(bytes, &record, sizeof record);
        for (std::uint8_t b : bytes)
            if (b != kSentinel) return false;
        return true;
    }
    std::uint8_t block[24];  // 20 for the status block, 4 guard bytes
    ReaderStatusRecord record;
};

TEST_F(ReaderStatusTest, RecordHoldsTheReadersBigEndianFieldsAsHostIntegers) {
    FakeReader& r = OpenReader();
    r.scriptedReplies.push_back(ReaderReply(0, ReportData()));
    ASSERT_EQ(Zelvorn_Status(0, block, &record), RESULT_OK);

    EXPECT_EQ(record.statusA, 0xA1);
    EXPECT_EQ(record.statusB, 0xF2345678u);
    EXPECT_EQ(record.statusC, 0xC3);
    EXPECT_EQ(record.statusD, 0xD4);
    EXPECT_EQ(record.statusE, 0xE5);
    EXPECT_EQ(record.statusF, 0x9ABC);

    // The layout callers compile against: wide fields at bytes 1 and 8, no gaps.
    EXPECT_EQ(offsetof(ReaderStatusRecord, statusB), 1u);
    EXPECT_EQ(offsetof(ReaderStatusRecord, statusC), 5u);
    EXPECT_EQ(offsetof(ReaderStatusRecord, statusF), 8u);

    for (int i = 0; i < 20; ++i) EXPECT_EQ(block[i], 0x10 + i) << i;
    for (int i = 20; i < 24; ++i) EXPECT_EQ(block[i], kSentinel) << i;
}

TEST_F(ReaderStatusTest, EachOutputIsOptionalAndIndependent) {
    FakeReader& r = OpenReader();
    r.scriptedReplies.push_back(ReaderReply(0, ReportData()));
    EXPECT_EQ(Zelvorn_Status(0, block, nullptr), RESULT_OK);
    EXPECT_EQ(block[0], 0x10);

    r.scriptedReplies.push_back(ReaderReply(0, ReportData()));
    EXPECT_EQ(Zelvorn_Status(0, nullptr, &record), RESULT_OK);
    EXPECT_EQ(record.statusF, 0x9ABC);

    r.scriptedReplies.push_back(ReaderReply(0, ReportData()));
    EXPECT_EQ(Zelvorn_Status(0, nullptr, nullptr), RESULT_OK);
    EXPECT_EQ(usb().controls.size(), 3u);
}

TEST_F(ReaderStatusTest, OnlyAThirtyFiveByteReportIsRead) {
    FakeReader& r = OpenReader();
    struct Case {
        Bytes frame;
        int16_t result;
    };
    Bytes shortData = ReportData();
    shortData.pop_back();
    const std::vector<Case> cases{
        {ReaderReply(0, shortData), RESULT_OK},        // M = 34
        {ReaderReply(0, ReportData(1)), RESULT_OK},    // M = 36
        {ReaderReply(0, ReportData(5)), RESULT_OK},    // M = 40, fills the buffer
        {ReaderReply(0, ReportData(6)), ERR_FAILURE},  // M = 41, beyond it
        {ReaderReply(0x8001, ReportData()), static_cast<int16_t>(0x8001)},
    };
    for (const Case& c : cases) {
        r.scriptedReplies.push_back(c.frame);
        EXPECT_EQ(Zelvorn_Status(0, block, &record), c.result) << c.frame.size();
        EXPECT_TRUE(BlockUntouched()) << c.frame.size();
        EXPECT_TRUE(RecordUntouched()) << c.frame.size();
    }
}

// ---- Reset -------------------------------------------------------------

TEST_F(ReaderControlTest, ResetTakesAReplyOfAnyLengthButNotANonzeroStatus) {
    FakeReader& r = OpenReader();
    for (std::size_t n : {0u, 1u, 6u, 27u}) {
        r.scriptedReplies.push_back(ReaderReply(0, Bytes(n, 0x42)));
        EXPECT_EQ(Zelvorn_Reset(0), RESULT_OK) << n;
    }
    r.scriptedReplies.push_back(ReplyFrame(Bytes{0x00}));
    EXPECT_EQ(Zelvorn_Reset(0), RESULT_OK);
    r.scriptedReplies.push_back(ReaderReply(0x8001, {}));
    EXPECT_EQ(Zelvorn_Reset(0), static_cast<int16_t>(0x8001));
    r.scriptedReplies.push_back(ReaderReply(0x0001, Bytes(10, 0x00)));
    EXPECT_EQ(Zelvorn_Reset(0), 0x0001);
}

// ---- Version text -------------------------------------------------------

TEST_F(ReaderControlTest, VersionTextNeedsNoReader) {
    std::uint8_t length = kSentinel;
    char text[24];
    std::memset(text, kSentinel, sizeof text);

    EXPECT_EQ(Zelvorn_RequestDLLVersion(nullptr, nullptr), RESULT_OK);
    EXPECT_EQ(Zelvorn_RequestDLLVersion(&length, text), RESULT_OK);
    EXPECT_EQ(length, 20);
    EXPECT_EQ(std::memcmp(text, "Zelvorn DLL 1.5.2.0", 20), 0);  // with its zero
    for (std::size_t i = 20; i < sizeof text; ++i) {
        EXPECT_EQ(static_cast<std::uint8_t>(text[i]), kSentinel) << i;
    }

    // Either output alone.
    length = kSentinel;
    EXPECT_EQ(Zelvorn_RequestDLLVersion(&length, nullptr), RESULT_OK);
    EXPECT_EQ(length, 20);
    std::memset(text, kSentinel, sizeof text);
    EXPECT_EQ(Zelvorn_RequestDLLVersion(nullptr, text), RESULT_OK);
    EXPECT_STREQ(text, "Zelvorn DLL 1.5.2.0");

    // Still the same with a reader open, and nothing is sent to it.
    OpenReader();
    std::memset(text, kSentinel, sizeof text);
    EXPECT_EQ(Zelvorn_RequestDLLVersion(&length, text), RESULT_OK);
    EXPECT_STREQ(text, "Zelvorn DLL 1.5.2.0");
    EXPECT_TRUE(usb().controls.empty());
    EXPECT_TRUE(usb().events.empty());
}

}  // namespace
}  // namespace zelvorn::testing
