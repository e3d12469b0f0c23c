// The dump file readers and writers in-process: what they refuse, and how a
// key that a dump does not know travels through each format.
#include <gtest/gtest.h>

#include <string>

#include "tool/dump_file.h"
#include "tool/errors.h"

namespace zelvorn::tool {
namespace {

std::string JsonBlocks(const std::string& blocks) {
    return R"({"FileType": "mfcard", "blocks": {)" + blocks + "}}";
}

TEST(ToolDumpFileRead, RefusesWhatIsNoDumpInItsOwnWords) {
    std::string emlTooLong;
    for (int i = 0; i < 257; ++i) emlTooLong += std::string(32, '0') + "\n";
    const std::string zeros(32, '0');
    struct Case {
        DumpFormat format;
        std::string content;
        const char* message;
    };
    const Case cases[] = {
        {DumpFormat::Binary, std::string(1025, '\0'),
         "1025 bytes is not a whole number of 16-byte blocks"},
        {DumpFormat::Binary, std::string(1040, '\0'), "65 blocks; a MIFARE Classic dump has"},
        {DumpFormat::Eml, emlTooLong, "more than 256 blocks"},
        {DumpFormat::Json, JsonBlocks("\"256\": \"" + zeros + "\""),
         "blocks.256: a block number is 0..255"},
        {DumpFormat::Json, JsonBlocks("\"1\": 66e66666"), "a number too large to store"},
        {DumpFormat::Json, R"({"blocks": )", "it ends before the document does"},
        {DumpFormat::Json, "{\"blocks\":\n  {x}}", "not valid JSON at line 2, column 4"},
        // Dashes stand for a whole block or a whole key, nothing else.
        {DumpFormat::Json, JsonBlocks(R"("3": "FFFFFFFFFFFF------69FFFFFFFFFFFF")"),
         "'-' at position 13 is not a hexadecimal digit"},
        {DumpFormat::Json, JsonBlocks(R"("4": "------------000000000000000000000")"),
         "'-' at position 1 is not a hexadecimal digit"},
        {DumpFormat::Mct, zeros + "\n", "line 1: a block before any \"+Sector: N\""},
        {DumpFormat::Mct, "+Sector: 40\n", "line 1: \"+Sector: 40\": a sector number is 0..39"},
        {DumpFormat::Mct, "+Sector: 0\n" + zeros + "\n+Sector: 1\n",
         "line 3: sector 0 has 1 blocks, not 4"},
        {DumpFormat::Mct,
         "+Sector: 0\n" + zeros + "\n" + zeros + "\n" + zeros + "\n" + zeros + "\n" + zeros + "\n",
         "line 6: more than 4 blocks in sector 0"},
        {DumpFormat::Mct, "+Sector: 0\n--00\n", "--\" for a byte not known"},
        {DumpFormat::Eml, std::string("\x00\x01\x02", 3),
         "line 1: byte 00 at column 1 is not text"},
    };
    for (const Case& c : cases) {
        try {
            ReadDump(c.content, c.format);
            ADD_FAILURE() << c.message << ": accepted";
        } catch (const ToolError& e) {
            EXPECT_EQ(e.ExitCode(), kExitUsage);
            const std::string what = e.what();
            EXPECT_NE(what.find(c.message), std::string::npos) << what;
            EXPECT_EQ(what.find("json.exception"), std::string::npos) << what;
        }
    }
}

TEST(ToolDumpFileRead, AnUnknownKeyStaysUnknownInEveryFormat) {
    // Sector 1's key B is marked unknown; its access bits (5D278A) keep key
    // B hidden, so the zeros a binary file holds there read as unknown too.
    std::string blocks;
    for (int b = 0; b < 64; ++b) {
        std::string data = b % 4 == 3 ? "FFFFFFFFFFFFFF078069FFFFFFFFFFFF" : std::string(32, '0');
        if (b == 7) data = "A0A1A2A3A4A55D278A69------------";
        blocks += (b ? "," : "") + ("\"" + std::to_string(b) + "\": \"" + data + "\"");
    }
    const MifareDump dump = ReadDump(JsonBlocks(blocks), DumpFormat::Json);
    ASSERT_EQ(dump.blocks.size(), 64u);
    EXPECT_TRUE(KeyKnown(dump, 1, 'A'));
    EXPECT_FALSE(KeyKnown(dump, 1, 'B'));
    EXPECT_TRUE(KeyKnown(dump, 2, 'B'));
    EXPECT_EQ(UnknownKeysText(dump), "key B of sector 1");

    std::vector<std::string> warnings;
    const std::string json = WriteDump(dump, DumpFormat::Json, warnings);
    EXPECT_NE(json.find(R"("7": "A0A1A2A3A4A55D278A69------------")"), std::string::npos);
    EXPECT_NE(json.find(R"("KeyB": "------------")"), std::string::npos);
    EXPECT_TRUE(warnings.empty());

    // MIFARE Classic Tool's text keeps the key unknown as dashes, as JSON does.
    const std::string mct = WriteDump(dump, DumpFormat::Mct, warnings);
    EXPECT_NE(mct.find("+Sector: 1\n"), std::string::npos);
    EXPECT_NE(mct.find("A0A1A2A3A4A55D278A69------------\n"), std::string::npos);
    const MifareDump fromMct = ReadDump(mct, DumpFormat::Mct);
    EXPECT_EQ(UnknownKeysText(fromMct), "key B of sector 1");
    EXPECT_EQ(fromMct.blocks, dump.blocks);

    for (const DumpFormat format : {DumpFormat::Binary, DumpFormat::Eml}) {
        warnings.clear();
        const MifareDump again = ReadDump(WriteDump(dump, format, warnings), format);
        ASSERT_EQ(warnings.size(), 1u);
        EXPECT_NE(warnings[0].find("key B of sector 1 not known"), std::string::npos);
        EXPECT_EQ(UnknownKeysText(again), "key B of sector 1");
    }

    // Key A never reads back: zeros there are unknown in a binary image,
    // while zeros in a key B that the transport access bits show are data.
    std::string image(1024, '\0');
    for (int sector = 0; sector < 16; ++sector) {
        const std::string transport(
            "\x00\x00\x00\x00\x00\x00\xFF\x07\x80\x69\x00\x00\x00\x00\x00\x00", 16);
        image.replace(static_cast<std::size_t>(sector * 64 + 48), 16, transport);
        if (sector != 3) image.replace(static_cast<std::size_t>(sector * 64 + 48), 6, "KEY-A!");
    }
    EXPECT_EQ(UnknownKeysText(ReadDump(image, DumpFormat::Binary)), "key A of sector 3");
}

}  // namespace
}  // namespace zelvorn::tool
