// MIFARE Classic commands: the exact requests, what the replies yield, the
// length rule, echo verification and the refusals that send nothing.
#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <functional>
#include <string>

#include "tests/support/double_fixture.h"

namespace zelvorn::testing {
namespace {

constexpr std::uint8_t kUntouched = 0xA5;
const Bytes kKey = Hex("A0 A1 A2 A3 A4 A5");
const Bytes kBlockData = Hex("00 11 22 33 44 55 66 77 88 99 AA BB CC DD EE FF");

// Every output a call may write, behind and between guard bytes, all set to
// one sentinel first: any byte that changes was written.
struct Outputs {
    std::uint8_t cardType;
    std::uint8_t serialLength;
    std::uint8_t serial[10];
    std::uint8_t guardA[4];
    std::uint8_t data[16];
    std::uint8_t guardB[4];
    std::int32_t value;
    std::uint8_t guardC[4];

    Outputs() { std::memset(this, kUntouched, sizeof *this); }
    bool Untouched() const {
        const auto* p = reinterpret_cast<const std::uint8_t*>(this);
        for (std::size_t i = 0; i < sizeof *this; ++i) {
            if (p[i] != kUntouched) return false;
        }
        return true;
    }
    bool GuardsIntact() const {
        for (const auto* guard : {guardA, guardB, guardC}) {
            for (std::size_t i = 0; i < 4; ++i) {
                if (guard[i] != kUntouched) return false;
            }
        }
        return true;
    }
};

// One call of each function, writing into Outputs, with the length M of the
// reply it accepts.
struct Function {
    const char* name;
    std::function<std::int16_t(std::int16_t, Outputs&)> call;
    std::uint8_t expectedLength;  // 0: any length
};

const std::vector<Function>& AllFunctions() {
    static const std::vector<Function> functions = {
        {"Select",
         [](std::int16_t h, Outputs& o) {
             return Zelvorn_Select(h, &o.cardType, &o.serialLength, o.serial);
         },
         18},
        {"Login",
         [](std::int16_t h, Outputs&) { return Zelvorn_Login(h, 1, KEYTYPE_A, 0, kKey.data()); },
         0},
        {"Read", [](std::int16_t h, Outputs& o) { return Zelvorn_Read(h, 4, o.data); }, 21},
        {"Write", [](std::int16_t h, Outputs&) { return Zelvorn_Write(h, 4, kBlockData.data()); },
         21},
        {"ReadValue", [](std::int16_t h, Outputs& o) { return Zelvorn_ReadValue(h, 5, &o.value); },
         9},
        {"WriteValue", [](std::int16_t h, Outputs&) { return Zelvorn_WriteValue(h, 5, 100); }, 9},
        {"Inc", [](std::int16_t h, Outputs& o) { return Zelvorn_Inc(h, 5, 1, &o.value); }, 9},
        {"Dec", [](std::int16_t h, Outputs& o) { return Zelvorn_Dec(h, 5, 1, &o.value); }, 9},
        {"Copy", [](std::int16_t h, Outputs& o) { return Zelvorn_Copy(h, 5, 6, &o.value); }, 9},
        {"WriteMasterKey",
         [](std::int16_t h, Outputs&) { return Zelvorn_WriteMasterKey(h, 3, kKey.data()); }, 11},
    };
    return functions;
}

class MifareTest : public DoubleTest {
protected:
    // Opens a fresh reader that answers the next command with `frame`.
    FakeReader& ReaderAnswering(const Bytes& frame) {
        CloseAll();
        usb().Reset();
        FakeReader& r = OpenReader();
        r.scriptedReplies.push_back(frame);
        return r;
    }
    // A reply of status 0 whose data has `count` bytes, each `fill`: M = count + 5.
    static Bytes DataReply(std::size_t count, std::uint8_t fill) {
        return ReaderReply(0, Bytes(count, fill));
    }
};

// ---- Requests ---------------------------------------------------------------

struct RequestCase {
    const char* name;
    std::function<std::int16_t()> call;
    const char* request;
    int checksum;            // of the packet, -1 when not checked
    std::size_t frameBytes;  // 0 when not checked
};

TEST_F(MifareTest, EachCallSendsItsRequestByteForByte) {
    const RequestCase cases[] = {
        {"select", [] { return Zelvorn_Select(0, nullptr, nullptr, nullptr); }, "E0 00 02 00 00",
         -1, 0},
        {"read block 4",
         [] {
             std::uint8_t d[16];
             return Zelvorn_Read(0, 4, d);
         },
         "E0 00 03 06 01 04", 0xE1, 16},
        {"read value", [] { return Zelvorn_ReadValue(0, 200, nullptr); }, "E0 00 03 07 01 C8", -1,
         0},
        {"write block", [] { return Zelvorn_Write(0, 9, kBlockData.data()); },
         "E0 00 13 0A 11 09 00 11 22 33 44 55 66 77 88 99 AA BB CC DD EE FF", -1, 48},
        {"value 100 to block 5", [] { return Zelvorn_WriteValue(0, 5, 100); },
         "E0 00 07 0B 05 05 00 00 00 64", 0x89, 24},
        {"value -2", [] { return Zelvorn_WriteValue(0, 5, -2); }, "E0 00 07 0B 05 05 FF FF FF FE",
         -1, 0},
        {"increment", [] { return Zelvorn_Inc(0, 8, 0x01020304, nullptr); },
         "E0 00 07 0F 05 08 01 02 03 04", -1, 0},
        {"decrement block 5 by 1", [] { return Zelvorn_Dec(0, 5, 1, nullptr); },
         "E0 00 07 10 05 05 00 00 00 01", 0xF7, 0},
        {"decrement by INT32_MIN", [] { return Zelvorn_Dec(0, 5, INT32_MIN, nullptr); },
         "E0 00 07 10 05 05 80 00 00 00", -1, 0},
        {"copy 5 to 6", [] { return Zelvorn_Copy(0, 5, 6, nullptr); }, "E0 00 04 11 02 05 06", 0xF5,
         18},
        {"load key 3", [] { return Zelvorn_WriteMasterKey(0, 3, kKey.data()); },
         "E0 00 09 0D 07 03 A0 A1 A2 A3 A4 A5", -1, 0},
        // Login: the long forms carry the key, the short ones a selector.
        {"login key A", [] { return Zelvorn_Login(0, 1, KEYTYPE_A, 0x77, kKey.data()); },
         "E0 00 0A 02 08 01 AA A0 A1 A2 A3 A4 A5", -1, 0},
        {"login key B", [] { return Zelvorn_Login(0, 2, KEYTYPE_B, 0x77, kKey.data()); },
         "E0 00 0A 02 08 02 BB A0 A1 A2 A3 A4 A5", -1, 0},
        {"login reader A", [] { return Zelvorn_Login(0, 1, KEYTYPE_READER_A, 0x77, nullptr); },
         "E0 00 04 02 02 01 AA", -1, 0},
        {"login reader B", [] { return Zelvorn_Login(0, 1, KEYTYPE_READER_B, 0x77, nullptr); },
         "E0 00 04 02 02 01 BB", -1, 0},
        {"login reader F", [] { return Zelvorn_Login(0, 1, KEYTYPE_READER_F, 0x77, nullptr); },
         "E0 00 04 02 02 01 FF", -1, 0},
        {"login stored A 2", [] { return Zelvorn_Login(0, 1, KEYTYPE_STORED_A, 2, nullptr); },
         "E0 00 04 02 02 01 12", -1, 0},
        {"login stored B 2", [] { return Zelvorn_Login(0, 1, KEYTYPE_STORED_B, 2, nullptr); },
         "E0 00 04 02 02 01 32", -1, 0},
        {"login stored A F0 wraps",
         [] { return Zelvorn_Login(0, 9, KEYTYPE_STORED_A, 0xF0, nullptr); },
         "E0 00 04 02 02 09 00", -1, 0},
        {"login stored B D1 wraps",
         [] { return Zelvorn_Login(0, 9, KEYTYPE_STORED_B, 0xD1, nullptr); },
         "E0 00 04 02 02 09 01", -1, 0},
    };
    for (const RequestCase& c : cases) {
        ReaderAnswering(ReaderReply(0, {}));
        EXPECT_EQ(c.call(), RESULT_OK) << c.name;
        ASSERT_EQ(usb().controls.size(), 1u) << c.name;
        const Bytes& frame = usb().controls[0].data;
        EXPECT_EQ(RequestBlockOf(frame), Hex(c.request)) << c.name;
        if (c.checksum >= 0) {
            const std::string text(frame.end() - 3, frame.end() - 1);
            EXPECT_EQ(std::stoi(text, nullptr, 16), c.checksum) << c.name;
        }
        if (c.frameBytes != 0) {
            EXPECT_EQ(frame.size(), c.frameBytes) << c.name;
        }
    }
}

// ---- What complete replies yield ------------------------------------------------

TEST_F(MifareTest, SelectDeliversTheWholeSerialFieldWhateverItsLength) {
    ReaderAnswering(ReaderReply(0, Hex("77 08 04 10 11 12 13 14 15 16 17 18 19")));
    Outputs out;
    ASSERT_EQ(Zelvorn_Select(0, &out.cardType, &out.serialLength, out.serial), RESULT_OK);
    EXPECT_EQ(out.cardType, 0x08);
    EXPECT_EQ(out.serialLength, 0x04);
    EXPECT_EQ(Bytes(out.serial, out.serial + 10), Hex("10 11 12 13 14 15 16 17 18 19"));
    EXPECT_TRUE(out.GuardsIntact());

    ReaderAnswering(ReaderReply(0, Hex("77 08 04 10 11 12 13 14 15 16 17 18 19")));
    EXPECT_EQ(Zelvorn_Select(0, nullptr, nullptr, nullptr), RESULT_OK);
}

TEST_F(MifareTest, ReadCopiesSixteenBytesAndNoMore) {
    ReaderAnswering(ReaderReply(0, kBlockData));
    Outputs out;
    ASSERT_EQ(Zelvorn_Read(0, 4, out.data), RESULT_OK);
    EXPECT_EQ(Bytes(out.data, out.data + 16), kBlockData);
    EXPECT_TRUE(out.GuardsIntact());
}

TEST_F(MifareTest, ValueRepliesAreSignedBigEndian) {
    using ValueCall = std::int16_t (*)(std::int32_t*);
    const std::pair<const char*, ValueCall> calls[] = {
        {"ReadValue", [](std::int32_t* v) { return Zelvorn_ReadValue(0, 5, v); }},
        {"Inc", [](std::int32_t* v) { return Zelvorn_Inc(0, 5, 1, v); }},
        {"Dec", [](std::int32_t* v) { return Zelvorn_Dec(0, 5, 1, v); }},
        {"Copy", [](std::int32_t* v) { return Zelvorn_Copy(0, 5, 6, v); }},
    };
    const std::pair<const char*, std::int32_t> values[] = {
        {"00 00 00 64", 100},       {"FF FF FF FE", -2},         {"80 00 00 00", INT32_MIN},
        {"7F FF FF FF", INT32_MAX}, {"12 34 56 78", 0x12345678},
    };
    for (const auto& [name, call] : calls) {
        for (const auto& [bytes, expected] : values) {
            ReaderAnswering(ReaderReply(0, Hex(bytes)));
            Outputs out;
            ASSERT_EQ(call(&out.value), RESULT_OK) << name << " " << bytes;
            EXPECT_EQ(out.value, expected) << name << " " << bytes;
            EXPECT_TRUE(out.GuardsIntact()) << name;
        }
        ReaderAnswering(ReaderReply(0, Hex("00 00 00 64")));
        EXPECT_EQ(call(nullptr), RESULT_OK) << name << " with no output";
    }
}

// ---- The length rule ---------------------------------------------------------------

TEST_F(MifareTest, AReplyOfAnotherLengthGivesZeroAndTouchesNothing) {
    for (const Function& f : AllFunctions()) {
        if (f.expectedLength == 0) continue;
        const std::size_t complete = f.expectedLength - 5u;
        // The data differs from anything written, so a write that verified
        // would fail.
        for (std::size_t count : {std::size_t{0}, complete - 1, complete + 1, std::size_t{27}}) {
            ReaderAnswering(DataReply(count, 0x5A));
            Outputs out;
            EXPECT_EQ(f.call(0, out), RESULT_OK) << f.name << " data bytes " << count;
            EXPECT_TRUE(out.Untouched()) << f.name << " data bytes " << count;
        }
    }
}

TEST_F(MifareTest, LoginAcceptsAnyReplyLength) {
    for (std::size_t count : {0u, 1u, 4u, 16u, 27u}) {
        ReaderAnswering(DataReply(count, 0x5A));
        EXPECT_EQ(Zelvorn_Login(0, 1, KEYTYPE_READER_A, 0, nullptr), RESULT_OK) << count;
    }
    ReaderAnswering(ReplyFrame({}));  // not even a status
    EXPECT_EQ(Zelvorn_Login(0, 1, KEYTYPE_READER_A, 0, nullptr), RESULT_OK);
}

TEST_F(MifareTest, AReplyLongerThanTheBufferFailsAndTouchesNothing) {
    for (const Function& f : AllFunctions()) {
        ReaderAnswering(DataReply(28, 0x5A));  // M = 33
        Outputs out;
        EXPECT_EQ(f.call(0, out), ERR_FAILURE) << f.name;
        EXPECT_TRUE(out.Untouched()) << f.name;
    }
}

// ---- Echo verification ---------------------------------------------------------------

TEST_F(MifareTest, WriteComparesTheEchoExceptOnSectorTrailers) {
    struct Case {
        std::uint8_t block;
        bool compared;
    };
    const Case cases[] = {{0, true},   {3, false},  {4, true},    {7, false},  {127, false},
                          {128, true}, {131, true}, {143, false}, {254, true}, {255, false}};
    for (const Case& c : cases) {
        ReaderAnswering(ReaderReply(0, kBlockData));
        EXPECT_EQ(Zelvorn_Write(0, c.block, kBlockData.data()), RESULT_OK) << int{c.block};

        Bytes echo = kBlockData;
        echo[15] ^= 0x01;
        ReaderAnswering(ReaderReply(0, echo));
        EXPECT_EQ(Zelvorn_Write(0, c.block, kBlockData.data()), c.compared ? ERR_FAILURE : 0)
            << int{c.block};
    }
}

TEST_F(MifareTest, AnyDifferingEchoByteFailsAWrite) {
    struct Case {
        const char* name;
        Bytes written;
        std::function<std::int16_t()> call;
    };
    const Case cases[] = {
        {"block", kBlockData, [] { return Zelvorn_Write(0, 4, kBlockData.data()); }},
        {"value -2", Hex("FF FF FF FE"), [] { return Zelvorn_WriteValue(0, 5, -2); }},
        {"key", kKey, [] { return Zelvorn_WriteMasterKey(0, 3, kKey.data()); }},
    };
    for (const Case& c : cases) {
        ReaderAnswering(ReaderReply(0, c.written));
        EXPECT_EQ(c.call(), RESULT_OK) << c.name;
        for (std::size_t i = 0; i < c.written.size(); ++i) {
            Bytes echo = c.written;
            echo[i] ^= 0x80;
            ReaderAnswering(ReaderReply(0, echo));
            EXPECT_EQ(c.call(), ERR_FAILURE) << c.name << " byte " << i;
        }
    }
}

// ---- Failures and refusals -------------------------------------------------------------

TEST_F(MifareTest, StatusesComeBackUnchangedWithOutputsUntouched) {
    struct Case {
        const char* name;
        Bytes frame;
        std::int16_t result;
    };
    ReplyFrameOptions transport6A82;
    transport6A82.transportStatus = 0x6A82;
    ReplyFrameOptions badChecksum;
    badChecksum.corruptChecksum = true;
    for (const Function& f : AllFunctions()) {
        // Complete data behind each status, which must still not be copied.
        const Bytes data(f.expectedLength > 5 ? f.expectedLength - 5u : 4u, 0x5A);
        const Case cases[] = {
            {"reader 0001", ReaderReply(0x0001, data), 1},
            {"reader 8001", ReaderReply(0x8001, data), -32767},
            {"reader FFFF", ReaderReply(0xFFFF, data), -1},
            {"transport 6A82", ReplyFrame(ReplyPayload(0, data), transport6A82), 0x6A82},
            {"bad checksum", ReplyFrame(ReplyPayload(0, data), badChecksum), ERR_FAILURE},
        };
        for (const Case& c : cases) {
            ReaderAnswering(c.frame);
            Outputs out;
            EXPECT_EQ(f.call(0, out), c.result) << f.name << " " << c.name;
            EXPECT_TRUE(out.Untouched()) << f.name << " " << c.name;
        }
    }
}

TEST_F(MifareTest, BadHandlesSendNothing) {
    OpenReader();
    for (const Function& f : AllFunctions()) {
        for (std::int16_t handle : {std::int16_t{20}, std::int16_t{-1}, std::int16_t{INT16_MIN}}) {
            Outputs out;
            EXPECT_EQ(f.call(handle, out), ERR_INVALID_HANDLE) << f.name << " " << handle;
            EXPECT_TRUE(out.Untouched()) << f.name;
        }
        // A handle in range whose slot is empty.
        Outputs out;
        EXPECT_EQ(f.call(3, out), ERR_INVALID_HANDLE) << f.name;
        EXPECT_TRUE(out.Untouched()) << f.name;
    }
    EXPECT_TRUE(usb().controls.empty());
}

TEST_F(MifareTest, RefusedArgumentsSendNothing) {
    OpenReader();
    const std::uint8_t key[6] = {};
    for (std::uint8_t keyType : {0x00, 0xAC, 0xAB, 0xBA, 0xFF, 0xAE}) {
        EXPECT_EQ(Zelvorn_Login(0, 1, keyType, 0, key), ERR_INVALID_PARAMETER) << int{keyType};
    }
    // The handle is tested first, and the key type before the key.
    EXPECT_EQ(Zelvorn_Login(20, 1, 0xAC, 0, nullptr), ERR_INVALID_HANDLE);
    EXPECT_EQ(Zelvorn_Login(0, 1, 0xAC, 0, nullptr), ERR_INVALID_PARAMETER);

    const std::pair<const char*, std::function<std::int16_t(std::int16_t)>> nullBuffers[] = {
        {"Read", [](std::int16_t h) { return Zelvorn_Read(h, 4, nullptr); }},
        {"Write", [](std::int16_t h) { return Zelvorn_Write(h, 4, nullptr); }},
        {"WriteMasterKey", [](std::int16_t h) { return Zelvorn_WriteMasterKey(h, 3, nullptr); }},
        {"Login A", [](std::int16_t h) { return Zelvorn_Login(h, 1, KEYTYPE_A, 0, nullptr); }},
        {"Login B", [](std::int16_t h) { return Zelvorn_Login(h, 1, KEYTYPE_B, 0, nullptr); }},
    };
    for (const auto& [name, call] : nullBuffers) {
        EXPECT_EQ(call(0), ERR_INVALID_PARAMETER) << name;
        EXPECT_EQ(call(-1), ERR_INVALID_HANDLE) << name;
    }
    EXPECT_TRUE(usb().controls.empty());
}

}  // namespace
}  // namespace zelvorn::testing
