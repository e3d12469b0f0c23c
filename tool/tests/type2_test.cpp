// The tool's Type 2 module without a reader: the tag's answers as scripted
// rows, dump files both ways, and what a restore writes.
#include <cctype>
#include <deque>

#include <gtest/gtest.h>

#include "tool/errors.h"
#include "tool/type2/dump.h"
#include "tool/type2/tag.h"

namespace zelvorn::tool::type2 {
namespace {

const Bytes kNtag215Version{0x00, 0x04, 0x04, 0x02, 0x01, 0x00, 0x11, 0x03};

TEST(Type2Ack, EveryFormAReaderMayHandOver) {
    const std::pair<Answer, Verdict> rows[] = {
        {{0, {0x0A}}, Verdict::Ack},   {{0, {0xFA}}, Verdict::Ack},  // high bits a reader left set
        {{0, {0x00}}, Verdict::Nak},   {{0, {0x05}}, Verdict::Nak},
        {{-11, {}}, Verdict::Nak},  // a reader status word in place of the NAK
        {{0, {}}, Verdict::Malformed}, {{0, {0x0A, 0x00}}, Verdict::Malformed},
    };
    for (const auto& [answer, verdict] : rows) {
        EXPECT_EQ(ParseAck(answer), verdict) << answer.data.size() << " " << answer.result;
    }
}

TEST(Type2Version, ProductsByTheirBytesAndUnknownOnesByName) {
    EXPECT_EQ(ProductFromVersion(kNtag215Version)->name, "NTAG215");
    // Another minor version of the same product.
    EXPECT_EQ(ProductFromVersion(Bytes{0, 4, 3, 1, 1, 2, 0x0E, 3})->name,
              "MIFARE Ultralight EV1 MF0UL21");
    const auto unknown = ProductFromVersion(Bytes{0, 4, 4, 5, 2, 0, 0x13, 3});
    ASSERT_TRUE(unknown);
    EXPECT_EQ(unknown->pages, 0u);
    EXPECT_FALSE(ProductFromVersion(Bytes{0, 4, 4, 2}));
}

// A scripted tag: each frame sent is checked against the row, which gives
// the answer.
struct Step {
    Bytes frame;
    Answer answer;
};

class Scripted {
public:
    explicit Scripted(std::deque<Step> steps) : steps_(std::move(steps)) {}
    Tag MakeTag() {
        return Tag(
            [this](std::span<const std::uint8_t> f) {
                if (steps_.empty()) {
                    ADD_FAILURE() << "frame past the script";
                    return Answer{-11, {}};
                }
                Step s = steps_.front();
                steps_.pop_front();
                EXPECT_EQ(Bytes(f.begin(), f.end()), s.frame);
                return s.answer;
            },
            [this] { ++reselects; });
    }
    bool Done() const { return steps_.empty(); }
    int reselects = 0;

private:
    std::deque<Step> steps_;
};

Bytes Pages(std::size_t n, std::uint8_t fill = 0x11) {
    return Bytes(n * 4, fill);
}

TEST(Type2Tag, WholeNtag216ReadInTelegramsOfTwentyNinePages) {
    std::deque<Step> steps{{{0x60}, {0, {0, 4, 4, 2, 1, 0, 0x13, 3}}}};
    for (std::size_t first = 0; first < 231; first += 29) {
        const std::size_t n = std::min<std::size_t>(29, 231 - first);
        steps.push_back(
            {{0x3A, static_cast<std::uint8_t>(first), static_cast<std::uint8_t>(first + n - 1)},
             {0, Pages(n)}});
    }
    Scripted script(steps);
    Tag tag = script.MakeTag();
    EXPECT_EQ(tag.Identify().name, "NTAG216");
    EXPECT_EQ(tag.Read(0, 231).size(), 924u);
    EXPECT_EQ(tag.Telegrams(), 1u + 8u);
    EXPECT_TRUE(script.Done());
}

TEST(Type2Tag, SilentToGetVersionIsFoundByReadingUntilNak) {
    const Answer page{0, Pages(4)};
    const Answer nak{0, {0x00}};
    Scripted script({{{0x60}, {-11, {}}},
                     {{0x30, 4}, page},
                     {{0x30, 8}, page},
                     {{0x30, 12}, page},
                     {{0x30, 16}, nak},
                     {{0x30, 13}, page},
                     {{0x30, 14}, page},
                     {{0x30, 15}, page},
                     {{0x30, 0}, page},  // the first Ultralight has no FAST_READ
                     {{0x30, 4}, page}});
    Tag tag = script.MakeTag();
    EXPECT_EQ(tag.Identify().name, "MIFARE Ultralight");
    EXPECT_EQ(tag.Known().pages, 16u);
    EXPECT_EQ(script.reselects, 2);
    EXPECT_EQ(tag.Read(0, 6).size(), 24u);
    EXPECT_TRUE(script.Done());
}

TEST(Type2Tag, PasswordIsRenewedAfterANakAndPackChecked) {
    const Bytes pwd{0x1B, 1, 2, 3, 4};
    Scripted script({{{0x60}, {0, kNtag215Version}},
                     {pwd, {0, {0xAB, 0xCD}}},
                     {{0xA2, 0x01, 9, 9, 9, 9}, {0, {0x00}}},
                     {pwd, {0, {0xAB, 0xCD}}},
                     {{0xA2, 0x10, 9, 9, 9, 9}, {0, {0x0A}}},
                     {pwd, {0, {0x00, 0x00}}}});
    Tag tag = script.MakeTag();
    tag.Identify();
    EXPECT_EQ(tag.Authenticate({1, 2, 3, 4}, std::array<std::uint8_t, 2>{0xAB, 0xCD}),
              (std::array<std::uint8_t, 2>{0xAB, 0xCD}));
    const std::array<std::uint8_t, 4> data{9, 9, 9, 9};
    EXPECT_THROW(tag.Write(1, data), ToolError);
    tag.Write(16, data);
    try {
        tag.Authenticate({1, 2, 3, 4}, std::array<std::uint8_t, 2>{0xAB, 0xCD});
        ADD_FAILURE() << "a PACK that differs was taken";
    } catch (const ToolError& e) {
        EXPECT_NE(std::string(e.what()).find("PACK 0000, not the ABCD"), std::string::npos);
    }
    EXPECT_TRUE(script.Done());
}

TEST(Type2Tag, ShortPageAnswerIsAnErrorNamingThePages) {
    Scripted script({{{0x60}, {0, kNtag215Version}}, {{0x3A, 16, 20}, {0, Pages(4)}}});
    Tag tag = script.MakeTag();
    tag.Identify();
    try {
        tag.Read(16, 5);
        ADD_FAILURE() << "a short answer was taken";
    } catch (const ToolError& e) {
        EXPECT_NE(std::string(e.what()).find("read pages 16 to 20: the tag answered 16 bytes"),
                  std::string::npos)
            << e.what();
    }
    EXPECT_THROW(tag.Read(130, 10), ToolError);
}

Dump SampleDump() {
    Dump d;
    d.memory = Pages(135, 0);
    const Bytes header{0x04, 0x5A, 0x4C, 0x9A, 0x56, 0x4F, 0x52, 0x4E, 0x05, 0x48, 0, 0};
    std::copy(header.begin(), header.end(), d.memory.begin());
    d.memory[16] = 0x03;
    d.version = std::array<std::uint8_t, 8>{0, 4, 4, 2, 1, 0, 0x11, 3};
    d.counters[2] = 0x010203;
    return d;
}

TEST(Type2Dump, BothFormatsReadBackWhatTheyWrote) {
    const Dump d = SampleDump();
    for (DumpFormat format : {DumpFormat::Binary, DumpFormat::Json}) {
        const Dump back = ReadDump(WriteDump(d, format), format);
        EXPECT_EQ(back.memory, d.memory);
        if (format == DumpFormat::Json) {
            EXPECT_EQ(back.version, d.version);
            EXPECT_EQ(back.counters[2], d.counters[2]);
            EXPECT_FALSE(back.signature) << "not read, not written";
        }
    }
}

// A dump as proxmark3 writes one for an NTAG213, by hand from its layout.
TEST(Type2Dump, ProxmarkMfuJsonIsRead) {
    std::string blocks;
    for (int p = 0; p < 45; ++p) {
        const char* page = p == 0   ? "04A1B2D9"
                           : p == 1 ? "C3D4E5F6"
                           : p == 2 ? "E0480000"
                           : p == 3 ? "E1101200"
                                    : "00000000";
        blocks +=
            (p ? ",\n" : "") + std::string("    \"") + std::to_string(p) + "\": \"" + page + "\"";
    }
    const std::string text = R"({
  "Created": "proxmark3",
  "FileType": "mfu",
  "Card": {
    "UID": "04A1B2C3D4E5F6",
    "Version": "0004040201000F03",
    "TBO_0": "0000",
    "TBO_1": "00",
    "Signature": "0000000000000000000000000000000000000000000000000000000000000000",
    "Counter0": "000000", "Tearing0": "00",
    "Counter1": "000000", "Tearing1": "00",
    "Counter2": "050000", "Tearing2": "00"
  },
  "blocks": {
)" + blocks + "\n  }\n}\n";
    const Dump d = ReadDump(text, DumpFormat::Json);
    ASSERT_EQ(d.memory.size(), 180u);
    EXPECT_EQ(d.memory[12], 0xE1);
    EXPECT_EQ(d.counters[2], 5u);
    EXPECT_EQ(d.version->at(6), 0x0F);
}

TEST(Type2Dump, RefusalsSayWhatIsWrong) {
    const std::pair<std::string, const char*> json[] = {
        {R"({"FileType": "mfc", "blocks": {}})", "\"FileType\" is not \"mfu\""},
        {R"({"FileType": "mfu"})", "\"blocks\" is missing"},
        {R"({"FileType": "mfu", "blocks": {"0": "00", "1": "00", "2": "00", "3": "00"}})",
         "blocks.0"},
        {R"({"FileType": "mfu", "blocks": {"0": "00000000", "1": "00000000", "2": "00000000",
             "4": "00000000"}})",
         "blocks.3: missing"},
        {R"({"FileType": "mfu", "Card": {"UID": "04000000000001"}, "blocks": {"0": "00000000",
             "1": "00000000", "2": "00000000", "3": "00000000"}})",
         "Card.UID disagrees"},
        {"{", "not valid JSON"},
    };
    for (const auto& [text, message] : json) {
        try {
            ReadDump(text, DumpFormat::Json);
            ADD_FAILURE() << "accepted: " << text;
        } catch (const ToolError& e) {
            EXPECT_EQ(e.ExitCode(), kExitUsage);
            EXPECT_NE(std::string(e.what()).find(message), std::string::npos) << e.what();
        }
    }
    for (std::size_t size : {0u, 15u, 18u, 1028u}) {
        EXPECT_THROW(ReadDump(std::string(size, '\0'), DumpFormat::Binary), ToolError) << size;
    }
}

struct RestoreRow {
    const char* what;
    std::size_t page;  // changed in the dump
    std::array<std::uint8_t, 4> data;
    bool withLockAndOtp;
    std::vector<std::size_t> written;
    bool note;  // a difference left alone is told
    bool refused;
};

class Type2Restore : public ::testing::TestWithParam<RestoreRow> {};

TEST_P(Type2Restore, UserPagesAlwaysOneTimeBitsOnlyWhenAsked) {
    const RestoreRow& row = GetParam();
    const auto& product = *zelvorn::type2::ProductByKind("ntag213");
    Bytes tag = Pages(45, 0);
    tag[2 * 4 + 2] = 0x10;  // the tag has L4 set
    Bytes image = tag;
    std::copy(row.data.begin(), row.data.end(), image.begin() + row.page * 4);
    try {
        const RestorePlan plan = PlanRestore(product, tag, image, row.withLockAndOtp);
        EXPECT_FALSE(row.refused) << row.what;
        std::vector<std::size_t> pages;
        for (const PageWrite& w : plan.writes) pages.push_back(w.page);
        EXPECT_EQ(pages, row.written) << row.what;
        EXPECT_EQ(!plan.notes.empty(), row.note) << row.what;
    } catch (const ToolError&) {
        EXPECT_TRUE(row.refused) << row.what;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Ntag213, Type2Restore,
    ::testing::Values(
        RestoreRow{"a user page", 4, {1, 2, 3, 4}, false, {4}, false, false},
        RestoreRow{"the serial is kept", 0, {1, 2, 3, 4}, false, {}, false, false},
        RestoreRow{"page 3 not asked", 3, {0xE1, 0x10, 0x12, 0}, false, {}, true, false},
        RestoreRow{"page 3 asked", 3, {0xE1, 0x10, 0x12, 0}, true, {3}, false, false},
        RestoreRow{"dynamic locks asked", 40, {1, 0, 0, 0}, true, {40}, false, false},
        RestoreRow{"a set lock bit cannot go", 2, {0, 0, 0, 0}, true, {}, false, true},
        RestoreRow{"configuration is left", 41, {0, 0, 0, 4}, false, {}, true, false}),
    [](const auto& row) {
        std::string name = row.param.what;
        for (char& c : name) c = std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
        return name;
    });

TEST(Type2Restore, ADumpOfAnotherSizeIsRefused) {
    const auto& product = *zelvorn::type2::ProductByKind("ntag215");
    EXPECT_THROW(PlanRestore(product, Pages(135), Pages(45), false), ToolError);
}

}  // namespace
}  // namespace zelvorn::tool::type2
