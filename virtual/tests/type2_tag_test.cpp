// Type 2 tags (MIFARE Ultralight, Ultralight EV1, NTAG21x) behind the reader:
// the products' GET_VERSION answers and memory maps, lock bits, password
// protection, counters and the reader's MIFARE commands, each checked
// against the rows of NXP's datasheets.
#include "virtual/cards/type2_tag.h"

#include "virtual/cards/registry.h"
#include "virtual/firmware.h"
#include "virtual/state_file.h"
#include "virtual/tests/virtual_fixture.h"

namespace zelvorn::virt::testing {
namespace {

const Bytes kSerial{0x04, 0x51, 0x62, 0x73, 0x84, 0x95, 0xA6};
const Bytes kAck{0x0A};
const Bytes kNak{0x00};
const Bytes kSilent{0xDE, 0xAD};  // what Send reports for a telegram nobody answered

class Type2Test : public VirtualTest {
protected:
    Type2Tag& Tag(std::string_view kind = "ntag213") {
        Scenario scenario;
        auto& tag = scenario.Add<Type2Tag>(*type2::ProductByKind(kind), kSerial);
        Load(std::move(scenario));
        EXPECT_EQ(Ok(0x00), Cat({1, 0x00, 7}, Cat(kSerial, Repeat(0, 3))));
        return tag;
    }
    // One frame to the selected tag, with the option byte the tool sends.
    Bytes Send(const Bytes& frame, std::uint8_t option = 0x0F) {
        Bytes telegram = Cat({static_cast<std::uint8_t>(frame.size()), option}, frame);
        std::uint8_t length = 0;
        std::uint8_t answer[ZELVORN_MAX_TELEGRAM_RESPONSE] = {};
        const std::int16_t r = Zelvorn_TxDataTelegram(0, static_cast<std::uint8_t>(telegram.size()),
                                                      telegram.data(), &length, answer);
        if (r == static_cast<std::int16_t>(kStatusNoAnswer)) return kSilent;
        EXPECT_EQ(r, 0);
        return Bytes(answer, answer + length);
    }
    Bytes Reselect() { return Ok(0x00); }
    static Bytes Write(std::uint8_t page, const Bytes& data) { return Cat({0xA2, page}, data); }
};

struct ProductRow {
    const char* kind;
    Bytes version;  // empty: the tag does not know GET_VERSION
    std::size_t pages;
    std::size_t firstConfigPage;  // 0: none
};

class Type2Products : public Type2Test, public ::testing::WithParamInterface<ProductRow> {};

TEST_P(Type2Products, VersionPagesAndHeaderAsTheDatasheetGivesThem) {
    const ProductRow& row = GetParam();
    Tag(row.kind);
    // Pages 0..2: serial, BCC0 = 88 ^ s0 ^ s1 ^ s2, BCC1 = s3 ^ s4 ^ s5 ^ s6.
    const Bytes header = Send({0x30, 0x00});
    ASSERT_EQ(header.size(), 16u);
    EXPECT_EQ(Bytes(header.begin(), header.begin() + 10),
              (Bytes{0x04, 0x51, 0x62, 0x88 ^ 0x04 ^ 0x51 ^ 0x62, 0x73, 0x84, 0x95, 0xA6,
                     0x73 ^ 0x84 ^ 0x95 ^ 0xA6, 0x48}));
    EXPECT_EQ(Send({0x30, static_cast<std::uint8_t>(row.pages - 1)}).size(), 16u);
    EXPECT_EQ(Send({0x30, static_cast<std::uint8_t>(row.pages)}), kNak);
    EXPECT_EQ(Send({0x30, 0x00}), kSilent) << "a NAK ends the session";
    Reselect();
    if (row.version.empty()) {
        EXPECT_EQ(Send({0x60}), kSilent);
        EXPECT_EQ(Send({0x3A, 0, 1}), kSilent);
        return;
    }
    EXPECT_EQ(Send({0x60}), row.version);
    EXPECT_EQ(Send({0x3C, 0x00}).size(), 32u);
    const auto last = static_cast<std::uint8_t>(row.pages - 1);
    const Bytes tail = Send({0x3A, static_cast<std::uint8_t>(row.firstConfigPage), last});
    // CFG0 and CFG1 read; PWD and PACK read as zeros.
    ASSERT_EQ(tail.size(), 16u);
    EXPECT_EQ(tail[3], 0xFF) << "AUTH0 from the factory";
    EXPECT_EQ(Bytes(tail.begin() + 8, tail.end()), Repeat(0, 8));
    EXPECT_EQ(Send({0x3A, last, static_cast<std::uint8_t>(row.pages)}), kNak);
}

INSTANTIATE_TEST_SUITE_P(
    Datasheets, Type2Products,
    ::testing::Values(ProductRow{"ultralight", {}, 16, 0},
                      ProductRow{"ultralight-ev1-48", {0, 4, 3, 1, 1, 0, 0x0B, 3}, 20, 16},
                      ProductRow{"ultralight-ev1-128", {0, 4, 3, 1, 1, 0, 0x0E, 3}, 41, 37},
                      ProductRow{"ntag213", {0, 4, 4, 2, 1, 0, 0x0F, 3}, 45, 41},
                      ProductRow{"ntag215", {0, 4, 4, 2, 1, 0, 0x11, 3}, 135, 131},
                      ProductRow{"ntag216", {0, 4, 4, 2, 1, 0, 0x13, 3}, 231, 227}),
    [](const auto& row) {
        std::string name = row.param.kind;
        std::replace(name.begin(), name.end(), '-', '_');
        return name;
    });

TEST_F(Type2Test, ReadRollsOverToPageZeroAndOnlyWithTheCrcBit) {
    Tag("ultralight");
    const Bytes wrapped = Send({0x30, 14});
    const Bytes first = Send({0x30, 0});
    ASSERT_EQ(wrapped.size(), 16u);
    EXPECT_EQ(Bytes(wrapped.begin() + 8, wrapped.end()), Bytes(first.begin(), first.begin() + 8));
    EXPECT_EQ(Send({0x30, 0}, 0x00), kSilent);
}

// Each row: lock bytes set first (page, 4 bytes, written with WRITE), then a
// write and whether it is taken; a refused write changes nothing.
struct LockRow {
    const char* what;
    std::uint8_t lockPage;
    Bytes lock;
    std::uint8_t page;
    bool taken;
};

class Type2Locks : public Type2Test, public ::testing::WithParamInterface<LockRow> {};

TEST_P(Type2Locks, LockBitsLockTheirPages) {
    const LockRow& row = GetParam();
    Type2Tag& tag = Tag("ntag213");
    if (!row.lock.empty()) {
        ASSERT_EQ(Send(Write(row.lockPage, row.lock)), kAck);
    }
    const auto memory = [&] {
        return row.page < tag.PageCount() ? tag.PageAt(row.page) : Type2Tag::Page{};
    };
    const Type2Tag::Page before = memory();
    const Type2Tag::Page data{0x11, 0x22, 0x44, 0x88};
    EXPECT_EQ(Send(Write(row.page, Bytes(data.begin(), data.end()))), row.taken ? kAck : kNak)
        << row.what;
    EXPECT_EQ(memory(), row.taken ? data : before) << row.what;
}

INSTANTIATE_TEST_SUITE_P(
    Ntag213, Type2Locks,
    ::testing::Values(LockRow{"page 4 unlocked", 0, {}, 4, true},
                      LockRow{"page 0 holds the serial", 0, {}, 0, false},
                      LockRow{"L4 locks page 4", 2, {0, 0, 0x10, 0}, 4, false},
                      LockRow{"L4 leaves page 5", 2, {0, 0, 0x10, 0}, 5, true},
                      LockRow{"L15 locks page 15", 2, {0, 0, 0, 0x80}, 15, false},
                      LockRow{"L-OTP locks page 3", 2, {0, 0, 0x08, 0}, 3, false},
                      LockRow{"dynamic bit 0 locks 16", 40, {0x01, 0, 0, 0}, 16, false},
                      LockRow{"dynamic bit 0 locks 17", 40, {0x01, 0, 0, 0}, 17, false},
                      LockRow{"dynamic bit 0 leaves 18", 40, {0x01, 0, 0, 0}, 18, true},
                      LockRow{"dynamic bit 11 locks 39", 40, {0, 0x08, 0, 0}, 39, false},
                      LockRow{"CFGLCK locks CFG0", 42, {0x40, 0, 0, 0}, 41, false},
                      LockRow{"beyond the memory", 0, {}, 45, false}));

TEST_F(Type2Test, OneTimeBitsOnlyEverSetAndBlockLockingFreezesLockBits) {
    Type2Tag& tag = Tag("ultralight");
    ASSERT_EQ(Send(Write(3, {0xE1, 0x10, 0x06, 0x00})), kAck);
    ASSERT_EQ(Send(Write(3, {0x00, 0x01, 0x00, 0x0F})), kAck);
    EXPECT_EQ(tag.PageAt(3), (Type2Tag::Page{0xE1, 0x11, 0x06, 0x0F}));
    // BL 9-4 freezes L4..L9: setting L5 afterwards does nothing, L10 still works.
    ASSERT_EQ(Send(Write(2, {0, 0, 0x02, 0})), kAck);
    ASSERT_EQ(Send(Write(2, {0xFF, 0xFF, 0x20, 0x04})), kAck);
    EXPECT_EQ(tag.PageAt(2)[0], 0x73 ^ 0x84 ^ 0x95 ^ 0xA6) << "check byte untouched";
    EXPECT_EQ(tag.PageAt(2)[2], 0x02);
    EXPECT_EQ(tag.PageAt(2)[3], 0x04);
    EXPECT_EQ(Send(Write(5, {1, 2, 3, 4})), kAck);
    EXPECT_EQ(Send(Write(10, {1, 2, 3, 4})), kNak);
}

// Password protection: what is refused before PWD_AUTH, what after.
struct PasswordRow {
    const char* what;
    std::uint8_t access;
    std::uint8_t auth0;
    bool authenticate;
    Bytes frame;
    std::size_t answerSize;  // 1 with a NAK
};

class Type2Password : public Type2Test, public ::testing::WithParamInterface<PasswordRow> {};

TEST_P(Type2Password, Auth0AndProtDecide) {
    const PasswordRow& row = GetParam();
    Type2Tag& tag = Tag("ntag215");
    tag.SetPage(131, {0x04, 0, 0, row.auth0});
    tag.SetPage(132, {row.access, 0, 0, 0});
    tag.SetPage(133, {0x12, 0x34, 0x56, 0x78});
    tag.SetPage(134, {0xAB, 0xCD, 0, 0});
    if (row.authenticate) {
        ASSERT_EQ(Send({0x1B, 0x12, 0x34, 0x56, 0x78}), (Bytes{0xAB, 0xCD}));
    }
    const Bytes answer = Send(row.frame);
    EXPECT_EQ(answer.size(), row.answerSize) << row.what;
    if (row.answerSize == 1) {
        EXPECT_EQ(answer, row.frame[0] == 0xA2 ? kAck : kNak) << row.what;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Ntag215, Type2Password,
    ::testing::Values(
        PasswordRow{"write below AUTH0", 0x00, 0x10, false, {0xA2, 0x0F, 1, 2, 3, 4}, 1},
        PasswordRow{"read at AUTH0, PROT 0", 0x00, 0x10, false, {0x30, 0x10}, 16},
        PasswordRow{"read at AUTH0, PROT 1", 0x80, 0x10, false, {0x30, 0x10}, 1},
        PasswordRow{"read at AUTH0, PROT 1, authenticated", 0x80, 0x10, true, {0x30, 0x10}, 16},
        PasswordRow{"fast read into AUTH0, PROT 1", 0x80, 0x10, false, {0x3A, 0x0E, 0x10}, 1},
        PasswordRow{"fast read below AUTH0, PROT 1", 0x80, 0x10, false, {0x3A, 0x0C, 0x0F}, 16},
        PasswordRow{"wrong password", 0x00, 0x10, false, {0x1B, 0, 0, 0, 0}, 1},
        PasswordRow{"counter protected", 0x18, 0xFF, false, {0x39, 0x02}, 1},
        PasswordRow{"counter protected, authenticated", 0x18, 0xFF, true, {0x39, 0x02}, 3}));

TEST_F(Type2Test, WriteAtAuth0NeedsThePasswordAndReadRollsOverAtAuth0) {
    Type2Tag& tag = Tag("ntag213");
    tag.SetPage(41, {0x04, 0, 0, 0x08});
    tag.SetPage(42, {0x80, 0, 0, 0});
    EXPECT_EQ(Send(Write(8, {1, 2, 3, 4})), kNak);
    Reselect();
    const Bytes rolled = Send({0x30, 6});
    const Bytes first = Send({0x30, 0});
    EXPECT_EQ(Bytes(rolled.begin() + 8, rolled.end()), Bytes(first.begin(), first.begin() + 8));
    ASSERT_EQ(Send({0x1B, 0xFF, 0xFF, 0xFF, 0xFF}), (Bytes{0, 0}));
    EXPECT_EQ(Send(Write(8, {1, 2, 3, 4})), kAck);
    EXPECT_EQ(tag.PageAt(8), (Type2Tag::Page{1, 2, 3, 4}));
    // A new select ends the authenticated session.
    Reselect();
    EXPECT_EQ(Send(Write(8, {5, 6, 7, 8})), kNak);
}

TEST_F(Type2Test, AuthLimitStopsEvenTheRightPassword) {
    Type2Tag& tag = Tag("ntag213");
    tag.SetPage(42, {0x01, 0, 0, 0});  // AUTHLIM 1: two failed attempts
    for (int i = 0; i < 2; ++i) {
        EXPECT_EQ(Send({0x1B, 1, 1, 1, 1}), kNak);
        Reselect();
    }
    EXPECT_EQ(Send({0x1B, 0xFF, 0xFF, 0xFF, 0xFF}), (Bytes{0x04}));
    EXPECT_EQ(tag.FailedAuthentications(), 2);
}

TEST_F(Type2Test, NfcCounterCountsTheFirstReadOfEachField) {
    Type2Tag& tag = Tag("ntag216");
    EXPECT_EQ(Send({0x39, 0x02}), (Bytes{0, 0, 0}));
    Send({0x30, 4});
    EXPECT_EQ(Send({0x39, 0x02}), (Bytes{0, 0, 0})) << "counting is off from the factory";
    tag.SetPage(228, {0x10, 0, 0, 0});
    for (int field = 0; field < 2; ++field) {
        ASSERT_EQ(Ok(0x12), Bytes{0});
        ASSERT_EQ(Ok(0x13), Bytes{1});
        Reselect();
        Send({0x3A, 4, 5});
        Send({0x30, 4});
    }
    EXPECT_EQ(Send({0x39, 0x02}), (Bytes{2, 0, 0}));
    EXPECT_EQ(Send({0x39, 0x00}), kNak);
}

TEST_F(Type2Test, Ev1CountersIncrementAndRefuseOverflow) {
    Tag("ultralight-ev1-48");
    EXPECT_EQ(Send({0xA5, 1, 0xFE, 0xFF, 0xFF, 0}), kAck);
    EXPECT_EQ(Send({0x39, 1}), (Bytes{0xFE, 0xFF, 0xFF}));
    EXPECT_EQ(Send({0xA5, 1, 0x02, 0, 0, 0}), kNak);
    Reselect();
    EXPECT_EQ(Send({0x39, 1}), (Bytes{0xFE, 0xFF, 0xFF}));
}

TEST_F(Type2Test, ReadersMifareCommandsReadFourPagesAndWriteOne) {
    Type2Tag& tag = Tag("ultralight-ev1-128");
    const Bytes data = Cat({0xC1, 0xC2, 0xC3, 0xC4}, Repeat(0xEE, 12));
    EXPECT_EQ(Ok(0x0A, Cat({6}, data)), data);
    EXPECT_EQ(tag.PageAt(6), (Type2Tag::Page{0xC1, 0xC2, 0xC3, 0xC4}));
    EXPECT_EQ(tag.PageAt(7), (Type2Tag::Page{}));
    EXPECT_EQ(Ok(0x06, {6}), Cat({0xC1, 0xC2, 0xC3, 0xC4}, Repeat(0, 12)));
    EXPECT_EQ(StatusOf(0x06, {41}), kStatusOutOfRange);
    EXPECT_EQ(StatusOf(0x06, {0}), kStatusNotSelected);
    Reselect();
    EXPECT_EQ(StatusOf(0x0A, Cat({1}, data)), kStatusAccessDenied);
    // The compatibility write as two telegrams.
    Reselect();
    EXPECT_EQ(Send({0xA0, 9}), kAck);
    EXPECT_EQ(Send(data), kAck);
    EXPECT_EQ(tag.PageAt(9), (Type2Tag::Page{0xC1, 0xC2, 0xC3, 0xC4}));
}

TEST_F(Type2Test, ScenarioAndStateKeepEveryPageCounterAndSignature) {
    Scenario scenario = Scenario_FromJson(R"({"cards": [{"type": "ntag215",
        "serial": "04 51 62 73 84 95 A6", "pages": {"4": "01 02 03 04"},
        "password": "12345678", "pack": "ABCD", "auth0": 16, "access": "80", "counter": 7}]})");
    Firmware firmware;
    Apply(scenario, firmware);
    auto& tag = static_cast<Type2Tag&>(firmware.CardAt(0));
    EXPECT_EQ(tag.PageAt(4), (Type2Tag::Page{1, 2, 3, 4}));
    EXPECT_EQ(tag.PageAt(131)[3], 16);
    EXPECT_EQ(tag.PageAt(133), (Type2Tag::Page{0x12, 0x34, 0x56, 0x78}));
    EXPECT_EQ(tag.Counter(2), 7u);
    tag.SetPage(100, {9, 9, 9, 9});
    tag.SetFailedAuthentications(3);
    const std::string saved = State_Save(firmware);

    Firmware fresh;
    Scenario again =
        Scenario_FromJson(R"({"cards": [{"type": "ntag215", "serial": "04 51 62 73 84 95 A6"}]})");
    Apply(again, fresh);
    State_Load(saved, fresh);
    EXPECT_EQ(State_Save(fresh), saved);
    EXPECT_EQ(static_cast<Type2Tag&>(fresh.CardAt(0)).PageAt(100), (Type2Tag::Page{9, 9, 9, 9}));
}

TEST_F(Type2Test, ScenarioMistakesAreNamed) {
    const std::pair<const char*, const char*> cases[] = {
        {R"({"type": "ntag213", "serial": "04 01 02 03"})", "serial number has 7 bytes"},
        {R"({"type": "ntag213", "serial": "04010203040506", "pages": {"1": "00000000"}})",
         "pages 0 and 1 hold the serial number"},
        {R"({"type": "ntag213", "serial": "04010203040506", "pages": {"2": "00000000"}})",
         "check byte and the internal byte"},
        {R"({"type": "ntag213", "serial": "04010203040506", "pages": {"45": "00000000"}})", "45"},
        {R"({"type": "ultralight", "serial": "04010203040506", "password": "00000000"})",
         "has no configuration pages"},
    };
    for (const auto& [card, message] : cases) {
        try {
            Scenario_FromJson(std::string(R"({"cards": [)") + card + "]}");
            ADD_FAILURE() << "accepted: " << card;
        } catch (const ScenarioError& e) {
            EXPECT_NE(std::string(e.what()).find(message), std::string::npos) << e.what();
        }
    }
}

}  // namespace
}  // namespace zelvorn::virt::testing
