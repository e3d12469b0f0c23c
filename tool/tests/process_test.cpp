// Every subcommand through the tool's own process, on the virtual library:
// exit codes, what it prints, and what it says when something is wrong.
#include <sys/stat.h>
#include <sys/wait.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <initializer_list>
#include <sstream>
#include <string>
#include <vector>

#include <fmt/format.h>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "bench/usbmon_pcap.h"

namespace {

struct Outcome {
    int exitCode = -1;
    std::string out;
    std::string err;
};

std::string Quote(const std::string& arg) {
    std::string q = "'";
    for (char c : arg) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return q + "'";
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

std::string TestFile(const std::string& name) {
    return std::string(ZELVORN_TOOL_TEST_DIR) + "/" + name;
}

std::string Demo() {
    return std::string(ZELVORN_TOOL_SCENARIOS) + "/demo.json";
}

// Runs the tool with the arguments given; the scenario variable is cleared so
// that only --scenario chooses the cards. shell is added to the command line
// as it is: a redirection of stdin or stdout ("< file", "> /dev/full").
// onOutput, when given, sees stdout as it grows, while the tool runs.
Outcome RunTool(const std::vector<std::string>& args, const std::string& shell = "",
                const std::function<void(const std::string&)>& onOutput = {}) {
    const std::string err =
        TestFile("stderr-" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) +
                 "-" + ::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::string command = "env -u ZELVORN_VIRTUAL_SCENARIO " + Quote(ZELVORN_TOOL_PROGRAM);
    for (const std::string& a : args) command += " " + Quote(a);
    command += " 2>" + Quote(err) + " " + shell;
    Outcome o;
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) return o;
    char buffer[4096];
    std::size_t n;
    while ((n = onOutput ? std::fread(buffer, 1, 1, pipe) : fread(buffer, 1, sizeof buffer, pipe)) >
           0) {
        o.out.append(buffer, n);
        if (onOutput) onOutput(o.out);
    }
    const int status = pclose(pipe);
    o.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    o.err = ReadFile(err);
    std::remove(err.c_str());
    return o;
}

std::string WriteTestFile(const std::string& name, const std::string& text) {
    const std::string path = TestFile(name);
    std::ofstream(path) << text;
    return path;
}

#define EXPECT_HAS(text, part) EXPECT_NE((text).find(part), std::string::npos) << (text)
#define EXPECT_LACKS(text, part) EXPECT_EQ((text).find(part), std::string::npos) << (text)

// --- Readers and cards ---------------------------------------------------------

TEST(ToolList, ShowsEveryCardOfTheDefaultScenario) {
    const Outcome o = RunTool({"--virtual", "list"});
    ASSERT_EQ(o.exitCode, 0) << o.err;
    EXPECT_HAS(o.out, "Reader at port 0\n");
    EXPECT_HAS(o.out, "card 1: MIFARE Classic 1K (type 08), serial A1B2C3D4\n");
    EXPECT_HAS(o.out, "card 2: ISO/IEC 14443-4 card (type 20), serial 045A454C564F01\n");
    EXPECT_HAS(o.out, "card 3: NTAG215 (type 00), serial 045A4C564F524E\n");
    EXPECT_HAS(
        o.out,
        "card 4: type B card, PUPI 1B2B3B4B, application data 12345678, protocol info 008171\n");
    EXPECT_HAS(o.out, "card 5: ASK ticket, sectors 0-3 A5 4B 00 01");
    EXPECT_LACKS(o.out, "port 1");
}

TEST(ToolList, EmptyFieldAndMissingPort) {
    const std::string empty = WriteTestFile("empty.json", R"({"cards": []})");
    Outcome o = RunTool({"--scenario", empty, "list"});
    EXPECT_EQ(o.exitCode, 0) << o.err;
    EXPECT_HAS(o.out, "no card in the field");

    o = RunTool({"--virtual", "--port", "3", "list"});
    EXPECT_EQ(o.exitCode, 5);
    EXPECT_HAS(o.err, "zelvorn: error: no reader at port 3\n");
}

TEST(ToolList, ABrokenLinkNamesTheStepAndTheResult) {
    // Every reply after the open's reset arrives with a wrong checksum.
    const std::string broken =
        WriteTestFile("broken.json", R"({"faults": {"corruptChecksums": 1000}})");
    const Outcome o = RunTool({"--scenario", broken, "list"});
    EXPECT_EQ(o.exitCode, 1);
    EXPECT_HAS(o.err, "zelvorn: error: list the cards in the field: ERR_FAILURE (-1000)\n");
}

// A reader that answers with the wrong length: the library reports success
// and leaves its outputs alone, so the tool must notice and show nothing of
// them (a phantom type B card of zeros, say).
TEST(ToolReplies, AReplyOfTheWrongLengthIsAFailureNotData) {
    struct Row {
        std::vector<int> commands;  // the reader commands whose replies come back short
        std::vector<std::string> args;
        int exitCode;
        std::string text;  // in stderr, or in stdout for exit code 0
    };
    const std::string incomplete = ": the reader reported success, but its reply";
    const std::vector<std::string> key = {"mifare", "-k", "A0A1A2A3A4A5"};
    const auto with = [&key](std::vector<std::string> more) {
        more.insert(more.begin(), key.begin(), key.end());
        return more;
    };
    // The demo card's value sector gives increments to key B alone.
    const std::vector<std::string> incrementWithB = {
        "mifare", "-k", "B0B1B2B3B4B5", "-t", "B", "value", "inc", "5", "1"};
    const Row rows[] = {
        {{0x21}, {"list"}, 1, "ask for a type B card" + incomplete},
        {{0x18}, {"info"}, 1, "ask for the status report" + incomplete},
        {{0x34}, {"ask", "read", "0"}, 1, "read ticket sector 0" + incomplete},
        {{0x35},
         {"ask", "read", "--multi", "0"},
         1,
         "read eight bytes from ticket sector 0" + incomplete},
        {{0x06}, with({"read", "4"}), 1, "read block 4" + incomplete},
        {{0x07}, with({"value", "get", "5"}), 1, "read value block 5" + incomplete},
        // An increment whose answer came short: the block is read for the
        // value instead, and where that read comes short too, nothing is shown.
        {{0x0F}, incrementWithB, 0, "incremented by 1, value now 1235"},
        {{0x0F, 0x07}, incrementWithB, 1, "read value block 5" + incomplete},
    };
    for (const Row& row : rows) {
        nlohmann::json demo = nlohmann::json::parse(ReadFile(Demo()));
        demo["faults"] = {{"shortReplies", row.commands}};
        const std::string scenario = WriteTestFile("short.json", demo.dump());
        std::vector<std::string> args = {"--scenario", scenario};
        args.insert(args.end(), row.args.begin(), row.args.end());
        const Outcome o = RunTool(args);
        EXPECT_EQ(o.exitCode, row.exitCode) << row.text << "\n" << o.out << o.err;
        EXPECT_HAS(row.exitCode == 0 ? o.out : o.err, row.text);
    }
}

TEST(ToolInfo, VersionStatusAndField) {
    const Outcome o = RunTool({"--virtual", "info"});
    ASSERT_EQ(o.exitCode, 0) << o.err;
    EXPECT_HAS(o.out, "Library: Zelvorn DLL 1.5.2.0\n");
    EXPECT_HAS(o.out, "status block:");
    EXPECT_HAS(o.out, "status record: A ");
    EXPECT_HAS(o.out, "RF field:      on");
}

TEST(ToolField, SwitchesAndRefusesOtherStates) {
    Outcome o = RunTool({"--virtual", "field", "off"});
    EXPECT_EQ(o.exitCode, 0) << o.err;
    EXPECT_HAS(o.out, "RF field switched off\n");
    o = RunTool({"--virtual", "field", "on"});
    EXPECT_EQ(o.exitCode, 0) << o.err;
    EXPECT_HAS(o.out, "RF field switched on\n");
    o = RunTool({"--virtual", "field", "maybe"});
    EXPECT_EQ(o.exitCode, 2);
}

// --- MIFARE Classic ----------------------------------------------------------------

TEST(ToolMifareDump, WholeFactoryFreshCard) {
    const Outcome o = RunTool({"--virtual", "mifare", "dump"});
    ASSERT_EQ(o.exitCode, 0) << o.err;
    EXPECT_HAS(o.out, "Card: MIFARE Classic 1K (type 08), serial A1B2C3D4, 16 sectors\n");
    EXPECT_HAS(o.out, "Sector  0  blocks 0-3, key A FFFFFFFFFFFF\n");
    EXPECT_HAS(o.out, "    0  A1 B2 C3 D4 ");
    EXPECT_HAS(o.out, "manufacturer block\n");
    EXPECT_HAS(o.out, "Sector 15  blocks 60-63, key A FFFFFFFFFFFF\n");
    EXPECT_HAS(o.out,
               "   63  FF FF FF FF FF FF FF 07 80 69 FF FF FF FF FF FF  |.........i......|  "
               "trailer\n");
    EXPECT_HAS(o.out, "access bits FF0780, user byte 69\n");
    EXPECT_HAS(o.out, "trailer:       001  key A write A; access bits read A, write A");
    EXPECT_HAS(o.out, "16 of 16 sectors read\n");
}

TEST(ToolMifareDump, SectorWithAnotherKeyIsReportedAndTheRestPrinted) {
    Outcome o = RunTool({"--scenario", Demo(), "mifare", "-k", "FFFFFFFFFFFF", "dump"});
    EXPECT_EQ(o.exitCode, 4) << o.err;
    EXPECT_HAS(o.out, "Sector  1  not read: no key was accepted (-4 authentication failed: ");
    EXPECT_HAS(o.out, "Sector  2  blocks 8-11");
    EXPECT_HAS(o.out, "|Tickets: 3 left.|");
    EXPECT_HAS(o.out, "value -20 (address 9)");
    EXPECT_HAS(o.out, "15 of 16 sectors read; not read: sector 1\n");

    // The keys are tried in turn, and the one that opened each sector is named.
    o = RunTool(
        {"--scenario", Demo(), "mifare", "--key", "FFFFFFFFFFFF", "--key", "A0A1A2A3A4A5", "dump"});
    EXPECT_EQ(o.exitCode, 0) << o.err;
    EXPECT_HAS(o.out, "Sector  1  blocks 4-7, key A A0A1A2A3A4A5\n");
    EXPECT_HAS(o.out, "|Hello, Zelvorn!.|");
    EXPECT_HAS(o.out, "value 1234 (address 5)");
    EXPECT_HAS(o.out, "block 5:       110  read A|B, write B, increment B, decrement A|B");
    EXPECT_HAS(o.out, "trailer:       011  key A write B; access bits read A|B, write B");
    EXPECT_HAS(o.out, "16 of 16 sectors read\n");
}

TEST(ToolMifareDump, StoredKeysSectorRangeAndProgress) {
    const Outcome o = RunTool({"--scenario", Demo(), "mifare", "--stored", "1", "--stored", "0",
                               "dump", "--first", "1", "--last", "2", "--progress"});
    EXPECT_EQ(o.exitCode, 0) << o.err;
    EXPECT_HAS(o.out, "Sector  1  blocks 4-7, stored key 0 as key A\n");
    EXPECT_HAS(o.out, "Sector  2  blocks 8-11, stored key 1 as key A\n");
    EXPECT_LACKS(o.out, "Sector  0");
    EXPECT_HAS(o.out, "2 of 2 sectors read\n");
    EXPECT_HAS(o.err,
               "progress: sector 1 (1 of 2): 2 keys tried, opened with stored key 0 as key A\n"
               "progress: sector 2 (2 of 2): 2 keys tried, opened with stored key 1 as key A\n");

    const Outcome wrong = RunTool({"--virtual", "mifare", "dump", "--first", "5", "--last", "3"});
    EXPECT_EQ(wrong.exitCode, 2);
    EXPECT_HAS(wrong.err, "first sector 5 after last sector 3");
}

TEST(ToolMifareDump, LargeSectorsAndUnreadableBlocks) {
    // A 4K card: sector 32 has 16 blocks in access groups of five. Sector 1
    // lets nobody read its first block.
    const std::string card = WriteTestFile("4k.json", R"({"cards": [{
        "type": "mifare-classic-4k", "serial": "11223344",
        "sectors": {"1": {"conditions": [7, 0, 0, 1]}}}]})");
    Outcome o = RunTool({"--scenario", card, "mifare", "dump", "--first", "32", "--last", "32"});
    EXPECT_EQ(o.exitCode, 0) << o.err;
    EXPECT_HAS(o.out, "Card: MIFARE Classic 4K (type 18), serial 11223344, 40 sectors\n");
    EXPECT_HAS(o.out, "Sector 32  blocks 128-143, key A FFFFFFFFFFFF\n");
    EXPECT_HAS(o.out, "  143  FF FF FF FF FF FF FF 07 80 69");
    EXPECT_HAS(o.out, "blocks 128-132:");
    EXPECT_HAS(o.out, "blocks 138-142:");
    EXPECT_HAS(o.out, "1 of 1 sectors read\n");

    o = RunTool({"--scenario", card, "mifare", "dump", "--first", "1", "--last", "1"});
    EXPECT_EQ(o.exitCode, 4) << o.err;
    EXPECT_HAS(o.out, "    4  not read: -6 access denied: ");
    EXPECT_HAS(o.out, "    5  00 00 00 00");
    EXPECT_HAS(o.out, "block 4:       111  read never, write never");
    EXPECT_HAS(o.out, "0 of 1 sectors read; not read: sector 1\n");
}

TEST(ToolMifareBlock, CardChosenBySerialNumber) {
    Outcome o = RunTool({"--virtual", "mifare", "--card", "A1B2C3D4", "read", "1"});
    EXPECT_EQ(o.exitCode, 0) << o.err;
    EXPECT_HAS(o.out, "    1  00 00 00 00");

    o = RunTool({"--virtual", "mifare", "--card", "01020304", "read", "1"});
    EXPECT_EQ(o.exitCode, 5);
    EXPECT_HAS(o.err, "zelvorn: error: select the card 01020304: -1 no card: ");

    o = RunTool({"--virtual", "apdu", "--card", "045A454C564F01", "00A4000C023F00"});
    EXPECT_EQ(o.exitCode, 0) << o.err;
    EXPECT_HAS(o.out, "Card: ISO/IEC 14443-4 card (type 20), serial 045A454C564F01\n");
    EXPECT_HAS(o.out, "   SW 9000 (success)\n");
}

TEST(ToolMifareBlock, ReadAndWrite) {
    Outcome o = RunTool({"--scenario", Demo(), "mifare", "-k", "A0A1A2A3A4A5", "read", "4"});
    EXPECT_EQ(o.exitCode, 0) << o.err;
    EXPECT_HAS(o.out,
               "    4  48 65 6C 6C 6F 2C 20 5A 65 6C 76 6F 72 6E 21 00  |Hello, Zelvorn!.|\n");

    o = RunTool({"--scenario", Demo(), "mifare", "-k", "FFFFFFFFFFFF", "read", "4"});
    EXPECT_EQ(o.exitCode, 1);
    EXPECT_HAS(o.err,
               "zelvorn: error: log in to sector 1 with any of key A FFFFFFFFFFFF, key B "
               "FFFFFFFFFFFF: -4 authentication failed: wrong key; every key given was refused "
               "as key A and as key B: give the sector's key with -k KEY or a key file with -K "
               "FILE\n");

    o = RunTool({"--virtual", "mifare", "write", "6", "00112233445566778899aabbccddeeff"});
    EXPECT_EQ(o.exitCode, 0) << o.err;
    EXPECT_HAS(o.out, "Block 6 written\n");
    EXPECT_HAS(o.out, "    6  00 11 22 33 44 55 66 77 88 99 AA BB CC DD EE FF");

    // Key A may not write the value block of sector 1 of the demo card.
    o = RunTool({"--scenario", Demo(), "mifare", "-k", "A0A1A2A3A4A5", "write", "5",
                 "00112233445566778899AABBCCDDEEFF"});
    EXPECT_EQ(o.exitCode, 1);
    EXPECT_HAS(o.err, "zelvorn: error: write block 5: -6 access denied: ");
}

TEST(ToolMifareBlock, BadInputIsRefusedBeforeAnythingIsSent) {
    struct Case {
        std::initializer_list<std::string> args;
        const char* message;
    };
    const Case cases[] = {
        {{"mifare", "write", "4", "00112233"}, "block data \"00112233\": expected 16 bytes"},
        {{"mifare", "write", "4", "0011223344556677889900112233445G"},
         "'G' at position 32 is not a hexadecimal digit"},
        {{"mifare", "write", "7", "FFFFFFFFFFFFFF078069FFFFFFFFFFFF"},
         "block 7 is the trailer of sector 1"},
        {{"mifare", "write", "7", "FFFFFFFFFFFFFF078169FFFFFFFFFFFF", "--trailer"},
         "access bits FF0781 do not match their inverted copy"},
        {{"mifare", "-k", "FFFF", "read", "1"}, "key \"FFFF\": expected 6 bytes"},
        {{"mifare", "-c", "A1B2C3", "read", "1"}, "3 bytes; a serial number has 4, 7 or 10"},
        {{"mifare", "value", "set", "3", "1"}, "block 3 is a sector trailer"},
        {{"mifare", "value", "set", "4", "4294967296"}, "does not fit a signed 32-bit value"},
    };
    for (const Case& c : cases) {
        std::vector<std::string> args{"--library", "/nonexistent/library.so"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        // Input that is refused loads no library: a missing library would
        // otherwise give exit code 3.
        std::string command;
        for (const auto& a : c.args) command += a + " ";
        const Outcome o = RunTool(args);
        EXPECT_EQ(o.exitCode, 2) << command << o.err;
        EXPECT_HAS(o.err, c.message);
    }
}

TEST(ToolMifareValue, Operations) {
    const std::string key = "B0B1B2B3B4B5";
    struct Case {
        std::string operation;
        std::string operand;
        const char* output;
    };
    const Case cases[] = {
        {"get", "", "Block 5: value 1234\n"},
        {"inc", "66", "Block 5: incremented by 66, value now 1300\n"},
        {"dec", "234", "Block 5: decremented by 234, value now 1000\n"},
        {"set", "-7", "Block 5: value set to -7\n"},
        {"copy", "6", "Block 5 copied to block 6: value 1234\n"},
    };
    for (const Case& c : cases) {
        std::vector<std::string> args{"--scenario", Demo(), "mifare", "-t",        "B",
                                      "-k",         key,    "value",  c.operation, "5"};
        if (!c.operand.empty()) args.push_back(c.operand);
        const Outcome o = RunTool(args);
        EXPECT_EQ(o.exitCode, 0) << c.operation << ": " << o.err;
        EXPECT_HAS(o.out, c.output);
    }

    // Block 4 holds text, not a value.
    const Outcome o =
        RunTool({"--scenario", Demo(), "mifare", "-k", "A0A1A2A3A4A5", "value", "get", "4"});
    EXPECT_EQ(o.exitCode, 1);
    EXPECT_HAS(o.err, "zelvorn: error: read value block 4: -7 not a value block: ");
}

TEST(ToolMifare, StoreKeyAndNoClassicCard) {
    Outcome o = RunTool({"--virtual", "mifare", "store-key", "3", "A0A1A2A3A4A5"});
    EXPECT_EQ(o.exitCode, 0) << o.err;
    EXPECT_HAS(o.out, "Key stored in the reader as stored key 3 (for --stored 3)\n");

    const std::string processorOnly =
        WriteTestFile("processor-only.json",
                      R"({"cards": [{"type": "iso14443-4", "serial": "04112233445566"}]})");
    o = RunTool({"--scenario", processorOnly, "mifare", "dump"});
    EXPECT_EQ(o.exitCode, 5);
    EXPECT_HAS(o.err, "zelvorn: error: no MIFARE Classic card in the field\n");

    const std::string none = WriteTestFile("none.json", R"({"cards": []})");
    o = RunTool({"--scenario", none, "mifare", "read", "1"});
    EXPECT_EQ(o.exitCode, 5);
    EXPECT_HAS(o.err, "zelvorn: error: no MIFARE Classic card in the field\n");
}

// --- APDUs -------------------------------------------------------------------------

TEST(ToolApdu, SelectByNameAndReadTheLabel) {
    const Outcome o = RunTool({"--virtual", "apdu", "00A4040009A00000055A454C560100",
                               "00A4020C025002", "00B0000010", "00CA000000"});
    ASSERT_EQ(o.exitCode, 0) << o.err;
    EXPECT_HAS(o.out, "Card: ISO/IEC 14443-4 card (type 20), serial 045A454C564F01\n");
    EXPECT_HAS(o.out, "ATS: ");
    EXPECT_HAS(o.out, ">> 00 A4 04 00 09 A0 00 00 05 5A 45 4C 56 01 00\n");
    EXPECT_HAS(o.out, "<< 5A 65 6C 76 6F 72 6E 20 63 61 72 64 20 30 31 00  |Zelvorn card 01.|\n");
    EXPECT_HAS(o.out, "   SW 9000 (success)\n");
    EXPECT_HAS(o.out, "   SW 6D00 (instruction not supported)\n");
}

TEST(ToolApdu, ChainedResponseArrivesWhole) {
    // 256 bytes of the pattern file come back in several blocks.
    const Outcome o = RunTool(
        {"--virtual", "apdu", "00A4040C09A00000055A454C5601", "00A4020C025001", "00B0000000"});
    ASSERT_EQ(o.exitCode, 0) << o.err;
    // Sixteen bytes a row: the first after "<<", the others indented.
    std::string expected;
    for (int i = 0; i < 256; ++i) {
        char byte[4];
        std::snprintf(byte, sizeof byte, "%02X", i % 251);
        if (i % 16 == 0) expected += i == 0 ? "<< " : "   ";
        expected += byte;
        expected += i % 16 == 15 ? "  |" : " ";
        if (i % 16 == 15) {
            for (int j = i - 15; j <= i; ++j) {
                const int c = j % 251;
                expected += c >= 0x20 && c < 0x7F ? static_cast<char>(c) : '.';
            }
            expected += "|\n";
        }
    }
    EXPECT_HAS(o.out, expected);
}

TEST(ToolApdu, ScriptFile) {
    const std::string script = WriteTestFile("select.apdu",
                                             "# select the application and read its label\n"
                                             "00A4040C 09 A00000055A454C5601\n"
                                             "\n"
                                             "00A4020C025002   # the label file\n"
                                             "00B0000004\n");
    Outcome o = RunTool({"--virtual", "apdu", "--script", script});
    ASSERT_EQ(o.exitCode, 0) << o.err;
    EXPECT_HAS(o.out, "<< 5A 65 6C 76                                      |Zelv|\n");

    const std::string bad = WriteTestFile("bad.apdu", "00A4040C\n# fine so far\n00B0 00\n");
    o = RunTool({"--virtual", "apdu", "--script", bad});
    EXPECT_EQ(o.exitCode, 2);
    EXPECT_HAS(o.err, "bad.apdu line 3: APDU \"00B0 00\": 3 bytes");
    EXPECT_LACKS(o.out, ">>");

    o = RunTool({"--virtual", "apdu", "--script", TestFile("no-such-script")});
    EXPECT_EQ(o.exitCode, 2);
    EXPECT_HAS(o.err, "no-such-script: cannot be read");
}

TEST(ToolApdu, MalformedApdusAreRefused) {
    struct Case {
        const char* apdu;
        const char* message;
    };
    const Case cases[] = {
        {"00A404", "3 bytes; a command APDU starts with the 4 bytes CLA INS P1 P2"},
        {"00A4040009A000", "Lc 09 announces 9 data bytes, but 2 bytes follow it"},
        {"00A40400 00 01", "a 00 after the header starts a 3-byte extended length"},
        {"00D60000000003AABB", "extended Lc 0003 announces 3 data bytes, but 2 bytes follow it"},
        {"00B0 00 0", "odd number of hexadecimal digits (7)"},
    };
    for (const Case& c : cases) {
        const Outcome o = RunTool({"--virtual", "apdu", c.apdu});
        EXPECT_EQ(o.exitCode, 2) << c.apdu;
        EXPECT_HAS(o.err, c.message);
    }
    const Outcome o = RunTool({"--virtual", "apdu"});
    EXPECT_EQ(o.exitCode, 2);
    EXPECT_HAS(o.err, "no APDU given");
}

TEST(ToolApdu, CheckStopsAtAnErrorStatusWord) {
    Outcome o = RunTool({"--virtual", "apdu", "--check", "00CA000000", "00B0000001"});
    EXPECT_EQ(o.exitCode, 1);
    EXPECT_HAS(o.err,
               "zelvorn: error: APDU 1: the card answered 6D00 (instruction not supported)\n");
    EXPECT_LACKS(o.out, ">> 00 B0");

    const std::string none = WriteTestFile(
        "classic-only.json", R"({"cards": [{"type": "mifare-classic-1k", "serial": "01020304"}]})");
    o = RunTool({"--scenario", none, "apdu", "00A4000C023F00"});
    EXPECT_EQ(o.exitCode, 5);
    EXPECT_HAS(o.err, "no ISO/IEC 14443-4 card in the field");
}

// --- ASK tickets -------------------------------------------------------------------

TEST(ToolAsk, ReadMultiReadAndWrite) {
    Outcome o = RunTool({"--scenario", Demo(), "ask", "read", "4"});
    EXPECT_EQ(o.exitCode, 0) << o.err;
    EXPECT_HAS(o.out, "Sector 4: 12 34\n");

    o = RunTool({"--scenario", Demo(), "ask", "read", "4", "--multi"});
    EXPECT_EQ(o.exitCode, 0) << o.err;
    EXPECT_HAS(o.out, "Sector 4 on: 12 34 AB CD");

    o = RunTool({"--virtual", "ask", "write", "6", "BEEF"});
    EXPECT_EQ(o.exitCode, 0) << o.err;
    EXPECT_HAS(o.out, "Sector 6 written: BE EF\n");

    o = RunTool({"--virtual", "ask", "write", "6", "BEE"});
    EXPECT_EQ(o.exitCode, 2);
    EXPECT_HAS(o.err, "sector data \"BEE\": odd number of hexadecimal digits");

    o = RunTool({"--virtual", "ask", "write", "6", "BEEF", "--mode", "2"});
    EXPECT_EQ(o.exitCode, 2);
}

// --- The tool itself ---------------------------------------------------------------

TEST(ToolCommandLine, HelpForEverySubcommand) {
    const std::vector<std::vector<std::string>> commands = {
        {"list"},
        {"info"},
        {"field"},
        {"mifare"},
        {"mifare", "dump"},
        {"mifare", "read"},
        {"mifare", "write"},
        {"mifare", "value"},
        {"mifare", "value", "inc"},
        {"mifare", "store-key"},
        {"apdu"},
        {"ask"},
        {"ask", "read"},
        {"ask", "write"},
        {"ultralight"},
        {"ultralight", "dump"},
    };
    for (const auto& words : commands) {
        std::vector<std::string> args = words;
        args.push_back("--help");
        const Outcome o = RunTool(args);
        std::string name = "zelvorn";
        for (const auto& w : words) name += " " + w;
        EXPECT_EQ(o.exitCode, 0) << name;
        EXPECT_HAS(o.out, "Usage: " + name);
        EXPECT_HAS(o.out, "Exit codes:");
    }
}

TEST(ToolCommandLine, UsageErrorsAndAMissingLibrary) {
    Outcome o = RunTool({});
    EXPECT_EQ(o.exitCode, 2);
    o = RunTool({"--virtual", "frobnicate"});
    EXPECT_EQ(o.exitCode, 2);
    o = RunTool({"--virtual", "--port", "20", "info"});
    EXPECT_EQ(o.exitCode, 2);
    o = RunTool({"--scenario", TestFile("no-such-scenario.json"), "list"});
    EXPECT_EQ(o.exitCode, 2);
    // The virtual reader has no USB device to look at.
    o = RunTool({"--virtual", "list", "--diagnose"});
    EXPECT_EQ(o.exitCode, 2);
    EXPECT_HAS(o.err, "--diagnose looks at the USB devices of real readers");

    o = RunTool({"--library", "/nonexistent/libzelvorn.so", "list"});
    EXPECT_EQ(o.exitCode, 3);
    EXPECT_HAS(o.err, "zelvorn: error: load the library /nonexistent/libzelvorn.so: ");
}

TEST(ToolCommandLine, AScenarioThatCannotBeUsedIsAnInputError) {
    struct Case {
        std::string path;
        const char* message;
    };
    const Case cases[] = {
        {WriteTestFile("floppy.json", R"({"cards": [{"type": "floppy", "serial": "01020304"}]})"),
         "cards[0]: unknown card type \"floppy\""},
        {WriteTestFile("short-serial.json",
                       R"({"cards": [{"type": "mifare-classic-1k", "serial": "0102"}]})"),
         "cards[0]: a MIFARE Classic serial number has 4, 7 or 10 bytes"},
        {WriteTestFile("block-64.json", R"({"cards": [{"type": "mifare-classic-1k",
            "serial": "01020304", "blocks": {"64": "00"}}]})"),
         "cards[0].blocks.64: 64 is not in 0..63"},
        {TestFile("no-such-scenario.json"), "cannot be read: No such file or directory"},
        {ZELVORN_TOOL_TEST_DIR, "is a directory"},
    };
    for (const Case& c : cases) {
        const Outcome o = RunTool({"--scenario", c.path, "info"});
        EXPECT_EQ(o.exitCode, 2) << c.path;
        // One line, the scenario's own message last, the path said once.
        EXPECT_EQ(o.err, "zelvorn: error: scenario " + c.path + ": " + c.message + "\n");
    }
}

// --- Exit codes and messages --------------------------------------------------------

TEST(ToolMessages, EveryRefusalHasItsExitCodeAndSaysWhatIsWrong) {
    const std::string none = WriteTestFile("nothing.json", R"({"cards": []})");
    struct Case {
        std::vector<std::string> args;
        int exitCode;
        const char* text;  // in stderr, or in stdout for exit code 0
    };
    const Case cases[] = {
        {{"--scenario", none, "ask", "read", "3"}, 5, "read ticket sector 3: -1 no card"},
        {{"--virtual", "apdu", "--fsdi", "5", "00A4000C023F00"}, 2, "--fsdi"},
        {{"--virtual", "mifare", "read", "64"},
         2,
         "block 64 is beyond this 1K card (blocks 0..63)"},
        {{"--scenario", none, "mifare", "dump"}, 5, "no MIFARE Classic card in the field"},
        {{"--virtual", "apdu", "--card", "A1B2C3D4", "00A4000C023F00"},
         5,
         "the card A1B2C3D4 is not an ISO/IEC 14443-4 card (MIFARE Classic 1K, type 08)"},
        {{"--virtual", "mifare", "store-key", "16", "A0A1A2A3A4A5"},
         2,
         "the reader stores keys 0..15, and its own keys A, B and F"},
        {{"--virtual", "mifare", "store-key", "F", "A0A1A2A3A4A5"},
         0,
         "the reader's own key F (for --reader-key F)"},
        {{"--scenario", Demo(), "mifare", "read", "-k", "A0A1A2A3A4A5", "4"},
         0,
         "|Hello, Zelvorn!.|"},
        {{"--scenario", Demo(), "mifare", "-r", "A", "read", "4"},
         1,
         "log in to sector 1 with the reader's key A: -4 authentication failed"},
    };
    for (const Case& c : cases) {
        const Outcome o = RunTool(c.args);
        std::string command;
        for (const auto& a : c.args) command += a + " ";
        EXPECT_EQ(o.exitCode, c.exitCode) << command << o.err;
        EXPECT_HAS(c.exitCode == 0 ? o.out : o.err, c.text);
    }
}

TEST(ToolList, SaysHowManyTheReaderCountsAndHelpSaysWhatNumbersMean) {
    std::string cards;
    for (int i = 0; i < 11; ++i) {
        cards += std::string(i ? "," : "") + R"({"type": "mifare-classic-1k", "serial": "0102030)" +
                 "0123456789A"[i] + "\"}";
    }
    const Outcome o = RunTool(
        {"--scenario", WriteTestFile("eleven.json", "{\"cards\": [" + cards + "]}"), "list"});
    EXPECT_EQ(o.exitCode, 0) << o.err;
    EXPECT_HAS(o.out, "card 9: MIFARE Classic 1K (type 08), serial 01020308\n");
    EXPECT_HAS(o.out, "the reader counts 11 cards in its field, but lists at most 9 type A cards");

    const std::pair<std::vector<std::string>, const char*> help[] = {
        {{"ask", "write", "--help"}, "0 (default): erase and write"},
        {{"field", "--help"}, "'field off' lasts"},
        {{"apdu", "--help"}, "0..4 (default 4)"},
        {{"mifare", "store-key", "--help"}, "0..15 are its stored keys"},
    };
    for (const auto& [args, text] : help) EXPECT_HAS(RunTool(args).out, text);
    EXPECT_HAS(RunTool({"--version"}).out, "zelvorn 1.");
}

TEST(ToolState, AStateFileCarriesKeysAndCardsFromRunToRun) {
    const std::string state = TestFile("state.json");
    std::remove(state.c_str());
    Outcome o = RunTool(
        {"--scenario", Demo(), "--state", state, "mifare", "store-key", "3", "A0A1A2A3A4A5"});
    ASSERT_EQ(o.exitCode, 0) << o.err;
    o = RunTool({"--scenario", Demo(), "--state", state, "mifare", "--stored", "3", "read", "4"});
    EXPECT_EQ(o.exitCode, 0) << o.err;
    EXPECT_HAS(o.out, "|Hello, Zelvorn!.|");
    // Without the state file the reader starts afresh.
    o = RunTool({"--scenario", Demo(), "mifare", "--stored", "3", "read", "4"});
    EXPECT_EQ(o.exitCode, 1);

    WriteTestFile("state.json", R"({"format": "zelvorn-virtual-state", "keys": {"3": "A0"}})");
    o = RunTool({"--scenario", Demo(), "--state", state, "info"});
    EXPECT_EQ(o.exitCode, 2);
    EXPECT_HAS(o.err, "zelvorn: error: state " + state + ": keys.3: expected 6 bytes\n");
}

TEST(ToolState, AStateThatCannotBeSavedIsAnErrorBeforeAnyCardWork) {
    const std::string readOnly = TestFile("read-only-state.json");
    std::remove(readOnly.c_str());
    ASSERT_EQ(RunTool({"--virtual", "--state", readOnly, "info"}).exitCode, 0);
    const std::string saved = ReadFile(readOnly);
    ASSERT_EQ(chmod(readOnly.c_str(), 0444), 0);
    struct Case {
        std::string state;
        std::vector<std::string> command;
        const char* reason;
    };
    const Case cases[] = {
        {TestFile("no-such-folder/s.json"),
         {"mifare", "write", "1", "00112233445566778899AABBCCDDEEFF"},
         "No such file or directory"},
        {readOnly, {"mifare", "store-key", "3", "A0A1A2A3A4A5"}, "it is read-only"},
    };
    for (const Case& c : cases) {
        std::vector<std::string> args{"--virtual", "--state", c.state};
        args.insert(args.end(), c.command.begin(), c.command.end());
        const Outcome o = RunTool(args);
        EXPECT_EQ(o.exitCode, 1) << c.state;
        EXPECT_EQ(o.err,
                  "zelvorn: error: state " + c.state + ": cannot be written: " + c.reason + "\n");
        EXPECT_EQ(o.out, "");
    }
    EXPECT_EQ(ReadFile(readOnly), saved);
    EXPECT_FALSE(std::filesystem::exists(TestFile("no-such-folder")));
}

TEST(ToolState, AStateThatCannotBeSavedAtTheCloseFailsTheCommand) {
    // The state file turns read-only while the command runs, after the open
    // found it writable.
    const std::string state = TestFile("turns-read-only.json");
    std::remove(state.c_str());
    ASSERT_EQ(RunTool({"--virtual", "--state", state, "info"}).exitCode, 0);
    bool changed = false;
    const Outcome o = RunTool({"--virtual", "--state", state, "watch", "--timeout", "1.5"}, "",
                              [&](const std::string& out) {
                                  if (!changed && out.find("arrived: ") != std::string::npos) {
                                      changed = chmod(state.c_str(), 0444) == 0;
                                  }
                              });
    ASSERT_TRUE(changed) << o.out << o.err;
    EXPECT_EQ(o.exitCode, 1);
    EXPECT_EQ(o.err, "zelvorn: error: state " + state + ": cannot be written: it is read-only\n");
}

TEST(ToolState, TheStateIsReplacedWholeAndKeepsItsPermissions) {
    // A new file renamed into place: a second name of the old file still
    // holds the old state, and nothing else is left in the folder.
    const std::filesystem::path folder = TestFile("state-folder");
    std::filesystem::remove_all(folder);
    std::filesystem::create_directory(folder);
    const std::string state = (folder / "s.json").string();
    ASSERT_EQ(RunTool({"--virtual", "--state", state, "info"}).exitCode, 0);
    ASSERT_EQ(chmod(state.c_str(), 0600), 0);
    const std::string before = ReadFile(state);
    const std::string link = (folder / "old-name").string();
    std::filesystem::create_hard_link(state, link);

    const Outcome o =
        RunTool({"--virtual", "--state", state, "mifare", "store-key", "3", "A0A1A2A3A4A5"});
    ASSERT_EQ(o.exitCode, 0) << o.err;
    EXPECT_HAS(ReadFile(state), R"("3": "A0A1A2A3A4A5")");
    EXPECT_EQ(ReadFile(link), before);
    struct stat info {};
    ASSERT_EQ(stat(state.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);
    std::size_t files = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(folder)) ++files;
    EXPECT_EQ(files, 2u);
}

// --- Dump files, restore, keys ----------------------------------------------------------

std::vector<std::string> DemoKeys() {
    return {"--scenario", Demo(),         "mifare", "-k",          "FFFFFFFFFFFF",
            "-k",         "A0A1A2A3A4A5", "-k",     "B0B1B2B3B4B5"};
}

TEST(ToolDumpFile, EveryFormatSurvivesDumpRestoreDump) {
    const std::string blank = WriteTestFile(
        "blank.json", R"({"cards": [{"type": "mifare-classic-1k", "serial": "A1B2C3D4"}]})");
    for (const char* extension : {"bin", "eml", "json"}) {
        const std::string first = TestFile(std::string("first.") + extension);
        const std::string second = TestFile(std::string("second.") + extension);
        const std::string state = TestFile(std::string("restored-") + extension);
        std::remove(state.c_str());
        std::vector<std::string> args = DemoKeys();
        args.insert(args.end(), {"dump", "--output", first});
        Outcome o = RunTool(args);
        ASSERT_EQ(o.exitCode, 0) << extension << o.err;
        EXPECT_HAS(o.out,
                   "Sector  1  blocks 4-7, key A A0A1A2A3A4A5; key B B0B1B2B3B4B5 found too");

        o = RunTool({"--scenario", blank, "--state", state, "mifare", "restore", first});
        ASSERT_EQ(o.exitCode, 0) << extension << o.err;
        EXPECT_HAS(o.out, "63 of 63 blocks written and read back");

        args = DemoKeys();
        args[1] = blank;
        args.insert(args.begin(), {"--state", state});
        args.insert(args.end(), {"dump", "--output", second});
        o = RunTool(args);
        ASSERT_EQ(o.exitCode, 0) << extension << o.err;
        EXPECT_EQ(ReadFile(first), ReadFile(second)) << extension;
    }
    // The restored card needs the dump's keys: sector 1 now opens only with them.
    const std::string json = ReadFile(TestFile("first.json"));
    EXPECT_HAS(json, R"("FileType": "mfcard")");
    EXPECT_HAS(json, R"("UID": "A1B2C3D4")");
    EXPECT_HAS(json, R"("ATQA": "0400")");
    EXPECT_HAS(json, R"("7": "A0A1A2A3A4A55D278A69B0B1B2B3B4B5")");
    EXPECT_HAS(json, R"("OpenedWith": "key A A0A1A2A3A4A5")");
}

TEST(ToolDumpFile, UnreadBlocksAreMarkedOrZeroedWithAWarning) {
    for (const char* extension : {"json", "bin"}) {
        const std::string file = TestFile(std::string("partial.") + extension);
        const Outcome o = RunTool(
            {"--scenario", Demo(), "mifare", "-k", "FFFFFFFFFFFF", "-t", "A", "dump", "-o", file});
        EXPECT_EQ(o.exitCode, 4);
        if (std::string(extension) == "json") {
            EXPECT_HAS(ReadFile(file), R"("4": "--------------------------------")");
        } else {
            EXPECT_HAS(o.err,
                       "zelvorn: warning: sector 1: blocks 4, 5, 6, 7 not read, written as zeros");
            EXPECT_EQ(ReadFile(file).size(), 1024u);
        }
    }
}

TEST(ToolDumpFile, RestoreChecksTheFileAndWritesTrailersLast) {
    // A dump in proxmark3's layout as another program would write it: the
    // trailer of sector 2 has access bits whose inverted copy is wrong.
    std::string blocks;
    for (int b = 0; b < 64; ++b) {
        std::string data = b % 4 == 3 ? "FFFFFFFFFFFFFF078069FFFFFFFFFFFF" : std::string(32, '0');
        if (b == 4) data = "00112233445566778899AABBCCDDEEFF";
        if (b == 11) data = "FFFFFFFFFFFFFF078169FFFFFFFFFFFF";
        blocks += (b ? ",\n" : "") + ("\"" + std::to_string(b) + "\": \"" + data + "\"");
    }
    const std::string file = WriteTestFile("proxmark.json", R"({"Created": "proxmark3",
        "FileType": "mfcard", "Card": {"UID": "A1B2C3D4", "ATQA": "0400", "SAK": "08"},
        "blocks": {)" + blocks + "}}");
    Outcome o = RunTool({"--virtual", "mifare", "restore", file});
    EXPECT_EQ(o.exitCode, 2);
    EXPECT_HAS(o.err, "the access bits of sector 2 (access bits FF0781) do not match");

    o = RunTool({"--virtual", "mifare", "restore", file, "--dry-run", "--force"});
    EXPECT_EQ(o.exitCode, 0) << o.err;
    EXPECT_HAS(o.out, "would write block   4  00 11 22 33");
    EXPECT_LACKS(o.out, "would write block   0 ");
    // Every data block comes before the first trailer.
    EXPECT_LT(o.out.find("block  62 "), o.out.find("block   3 "));
    EXPECT_HAS(o.out, "63 blocks; nothing written (--dry-run)");

    o = RunTool({"--virtual", "mifare", "restore", "--uid", WriteTestFile("short.eml", "00\n")});
    EXPECT_EQ(o.exitCode, 2);
    EXPECT_HAS(o.err, "line 1 \"00\": expected 16 bytes");
}

TEST(ToolDumpFile, AKeyTheDumpDoesNotKnowIsMarkedAndRestoreAsksForIt) {
    const std::string blank = WriteTestFile(
        "blank-card.json", R"({"cards": [{"type": "mifare-classic-1k", "serial": "A1B2C3D4"}]})");
    const std::string zeros(32, '0');
    // Sector 1 of the demo card: key B hidden by its access bits (and the
    // key that writes block 5), key A found only as stored key 0.
    const std::vector<std::string> withoutB{"-k", "FFFFFFFFFFFF", "-k", "A0A1A2A3A4A5"};
    const std::vector<std::string> storedA{"-s", "0", "-k", "FFFFFFFFFFFF", "-k", "B0B1B2B3B4B5"};
    const std::vector<std::string> writeWithB{"-t", "B", "-k", "B0B1B2B3B4B5", "write", "5", zeros};
    const std::vector<std::string> readWithA{"-t", "A", "-k", "A0A1A2A3A4A5", "read", "4"};
    struct Case {
        const char* extension;
        const std::vector<std::string>& keys;
        const char* unknown;
        const char* marked;  // the trailer in a JSON file
        std::string give;
        const std::vector<std::string>& check;  // works on the copy only with the right key
    };
    const Case cases[] = {
        {"bin", withoutB, "key B of sector 1", "", "--key-b=1:B0B1B2B3B4B5", writeWithB},
        {"eml", withoutB, "key B of sector 1", "", "--key-b=B0B1B2B3B4B5", writeWithB},
        {"json", withoutB, "key B of sector 1", R"("7": "A0A1A2A3A4A55D278A69------------")",
         "--key-b=1:B0B1B2B3B4B5", writeWithB},
        {"bin", storedA, "key A of sector 1", "", "--key-a=A0A1A2A3A4A5", readWithA},
        {"json", storedA, "key A of sector 1", R"("7": "------------5D278A69B0B1B2B3B4B5")",
         "--key-a=1:A0A1A2A3A4A5", readWithA},
    };
    for (const Case& c : cases) {
        const std::string label = std::string(c.extension) + " " + c.unknown;
        const std::string file = TestFile(std::string("unknown-key.") + c.extension);
        const std::string state = TestFile("unknown-key-restored");
        std::remove(state.c_str());
        std::vector<std::string> args{"--scenario", Demo(), "mifare"};
        args.insert(args.end(), c.keys.begin(), c.keys.end());
        args.insert(args.end(), {"dump", "-o", file});
        Outcome o = RunTool(args);
        ASSERT_EQ(o.exitCode, 0) << label << o.err;
        if (std::string(c.extension) == "json") {
            EXPECT_HAS(ReadFile(file), c.marked);
            EXPECT_LACKS(o.err, "warning");
        } else {
            EXPECT_HAS(o.err, std::string("zelvorn: warning: ") + c.unknown + " not known");
        }

        // Refused, with and without --dry-run, before anything is written.
        for (const bool dryRun : {true, false}) {
            std::vector<std::string> restore{"--scenario", blank,     "--state", state,
                                             "mifare",     "restore", file};
            if (dryRun) restore.push_back("--dry-run");
            o = RunTool(restore);
            EXPECT_EQ(o.exitCode, 2) << label;
            EXPECT_HAS(o.err, std::string("the dump does not know ") + c.unknown);
            EXPECT_LACKS(o.out, "would write");
        }
        o = RunTool({"--scenario", blank, "--state", state, "mifare", "restore", file, c.give});
        ASSERT_EQ(o.exitCode, 0) << label << o.err;
        EXPECT_HAS(o.out, "63 of 63 blocks written and read back");
        args = {"--scenario", blank, "--state", state, "mifare"};
        args.insert(args.end(), c.check.begin(), c.check.end());
        o = RunTool(args);
        EXPECT_EQ(o.exitCode, 0) << label << o.err;
    }

    // --force writes the stand-in, and says so.
    const std::string state = TestFile("unknown-key-forced");
    std::remove(state.c_str());
    const Outcome o = RunTool({"--scenario", blank, "--state", state, "mifare", "restore",
                               TestFile("unknown-key.eml"), "--force"});
    EXPECT_EQ(o.exitCode, 0) << o.err;
    EXPECT_HAS(o.err, "the dump does not know key B of sector 1: written as the dump holds it");

    const std::pair<const char*, const char*> wrong[] = {
        {"--key-b=16:B0B1B2B3B4B5", "the sector is a number 0..15"},
        {"--key-b=1:B0B1", "expected 6 bytes"},
    };
    for (const auto& [option, message] : wrong) {
        const Outcome w = RunTool({"--scenario", blank, "mifare", "restore",
                                   TestFile("unknown-key.eml"), option, "--dry-run"});
        EXPECT_EQ(w.exitCode, 2) << option;
        EXPECT_HAS(w.err, message);
    }
}

TEST(ToolKeys, DictionaryFileAndKeyTypes) {
    const std::string keys = WriteTestFile("keys.dic",
                                           "# transport\nFFFFFFFFFFFF\n\n"
                                           "b0b1b2b3b4b5  # sector 1, key B\n");
    Outcome o = RunTool({"--scenario", Demo(), "mifare", "-K", keys, "--no-default-keys", "dump",
                         "--first", "1", "--last", "1"});
    EXPECT_EQ(o.exitCode, 0) << o.err;
    EXPECT_HAS(o.out, "Sector  1  blocks 4-7, key B B0B1B2B3B4B5\n");

    o = RunTool({"--scenario", Demo(), "mifare", "-K", keys, "--no-default-keys", "-t", "A", "dump",
                 "--first", "1", "--last", "1"});
    EXPECT_EQ(o.exitCode, 4);

    o = RunTool({"--virtual", "mifare", "-K", WriteTestFile("bad.dic", "FFFF\n"), "read", "1"});
    EXPECT_EQ(o.exitCode, 2);
    EXPECT_HAS(o.err, "bad.dic: line 1 \"FFFF\": expected 6 bytes");
}

TEST(ToolScenario, FromDumpMakesTheSameCard) {
    const std::string dump = TestFile("for-scenario.json");
    std::vector<std::string> args = DemoKeys();
    args.insert(args.end(), {"dump", "-o", dump});
    ASSERT_EQ(RunTool(args).exitCode, 0);
    const std::string scenario = TestFile("from-dump.json");
    Outcome o = RunTool({"scenario", "from-dump", dump, "-o", scenario});
    ASSERT_EQ(o.exitCode, 0) << o.err;
    args = DemoKeys();
    args[1] = scenario;
    args.insert(args.end(), {"dump", "-o", TestFile("again.json")});
    o = RunTool(args);
    EXPECT_EQ(o.exitCode, 0) << o.err;
    EXPECT_EQ(ReadFile(dump), ReadFile(TestFile("again.json")));
}

// --- JSON, wait, watch ------------------------------------------------------------------

TEST(ToolJson, OneDocumentPerCommand) {
    struct Case {
        std::vector<std::string> args;
        const char* pointer;
        std::string expected;
    };
    const Case cases[] = {
        {{"--virtual", "--json", "list"}, "/readers/0/cards/3/pupi", "1B2B3B4B"},
        {{"--virtual", "info", "--json"}, "/field", "true"},
        {{"--virtual", "--json", "mifare", "dump", "--first", "0", "--last", "0"},
         "/Card/UID",
         "A1B2C3D4"},
        {{"--virtual", "--json", "apdu", "00A4040C09A00000055A454C5601"},
         "/exchanges/0/sw",
         "9000"},
        {{"--scenario", Demo(), "--json", "ask", "read", "4"}, "/data", "1234"},
        {{"--virtual", "--json", "wait", "--type", "b"}, "/pupi", "1B2B3B4B"},
    };
    for (const Case& c : cases) {
        const Outcome o = RunTool(c.args);
        EXPECT_EQ(o.exitCode, 0) << c.pointer << o.err;
        const auto doc = nlohmann::json::parse(o.out, nullptr, false);
        ASSERT_FALSE(doc.is_discarded()) << o.out;
        const auto& value = doc.at(nlohmann::json::json_pointer(c.pointer));
        EXPECT_EQ(value.is_string() ? value.get<std::string>() : value.dump(), c.expected);
    }
}

TEST(ToolWait, WaitAndWatch) {
    Outcome o = RunTool({"--virtual", "wait", "--type", "iso", "--timeout", "1"});
    EXPECT_EQ(o.exitCode, 0) << o.err;
    EXPECT_EQ(o.out, "ISO/IEC 14443-4 card (type 20), serial 045A454C564F01\n");

    o = RunTool({"--scenario", WriteTestFile("empty-field.json", R"({"cards": []})"), "wait",
                 "--timeout", "0.3", "--interval", "100"});
    EXPECT_EQ(o.exitCode, 5);
    EXPECT_HAS(o.err, "no card came within 0.3 s");

    o = RunTool({"--virtual", "watch", "--timeout", "0.3"});
    EXPECT_EQ(o.exitCode, 0) << o.err;
    EXPECT_HAS(o.out, "arrived: MIFARE Classic 1K (type 08), serial A1B2C3D4\n");
    EXPECT_HAS(o.out, "arrived: ASK ticket");
    EXPECT_LACKS(o.out, "removed");
}

// The drop-in library follows ZELVORN_VIRTUAL_CONTROL as the PC/SC driver's
// readers do: a card taken out of the field while watch runs is reported
// gone, and one put back arrives again.
TEST(ToolWait, WatchSeesACardLeaveAndComeBackThroughTheControlFile) {
    const std::string control = WriteTestFile("watch-control.txt", "");
    setenv("ZELVORN_VIRTUAL_CONTROL", control.c_str(), 1);
    const std::string card = "MIFARE Classic 1K (type 08), serial A1B2C3D4\n";
    int step = 0;
    const auto append = [&control](const char* line) {
        std::ofstream(control, std::ios::app) << line << "\n";
    };
    const Outcome o =
        RunTool({"--virtual", "watch", "--timeout", "3", "--interval", "50"}, "",
                [&](const std::string& out) {
                    if (step == 0 && out.find("arrived: " + card) != std::string::npos) {
                        append("remove 0 0");
                        step = 1;
                    } else if (step == 1 && out.find("removed: " + card) != std::string::npos) {
                        append("insert 0 0");
                        step = 2;
                    }
                });
    unsetenv("ZELVORN_VIRTUAL_CONTROL");
    EXPECT_EQ(o.exitCode, 0) << o.err;
    EXPECT_EQ(step, 2) << o.out;
    const std::size_t first = o.out.find("arrived: " + card);
    EXPECT_NE(o.out.find("arrived: " + card, first + 1), std::string::npos) << o.out;
    EXPECT_EQ(o.err, "");
}

// --- Third round: output, JSON, time-outs, scripts -------------------------------------

// A MIFARE Classic 1K card as a .eml file: serial A1B2C3D4, transport keys.
std::string EmlCard() {
    std::string text = "A1B2C3D4100804000000000000000000\n";
    for (int b = 1; b < 64; ++b) {
        text += b % 4 == 3 ? "FFFFFFFFFFFFFF078069FFFFFFFFFFFF\n" : std::string(32, '0') + "\n";
    }
    return WriteTestFile("card.eml", text);
}

TEST(ToolOutput, AFailedWriteIsExitOneAndNamesWhatWasWritten) {
    const std::string full = "No space left on device";
    struct Row {
        std::vector<std::string> args;
        std::string shell;
        std::string message;
    };
    const Row rows[] = {
        {{"--virtual", "list"}, "> /dev/full", "write to standard output: " + full},
        {{"--virtual", "--json", "info"}, "> /dev/full", "write to standard output: " + full},
        {{"--help"}, "> /dev/full", "write to standard output: " + full},
        {{"scenario", "from-dump", EmlCard()}, "> /dev/full", "write to standard output: " + full},
        {{"scenario", "from-dump", EmlCard(), "-o", "/dev/full"},
         "",
         "scenario file /dev/full: cannot be written: " + full},
        {{"scenario", "from-dump", EmlCard(), "-o", ZELVORN_TOOL_TEST_DIR},
         "",
         "scenario file " + std::string(ZELVORN_TOOL_TEST_DIR) + ": cannot be written: it is"},
    };
    for (const Row& row : rows) {
        const Outcome o = RunTool(row.args, row.shell);
        EXPECT_EQ(o.exitCode, 1) << row.args.back() << "\n" << o.err;
        EXPECT_HAS(o.err, "zelvorn: error: " + row.message);
        EXPECT_LACKS(o.err, "dump file");
    }

    // Written whole, over what was there, leaving nothing else beside it.
    const std::string scenario = WriteTestFile("replaced-scenario.json", "old");
    const Outcome o = RunTool({"scenario", "from-dump", EmlCard(), "-o", scenario});
    ASSERT_EQ(o.exitCode, 0) << o.err;
    EXPECT_HAS(ReadFile(scenario), R"("serial": "A1B2C3D4")");
}

TEST(ToolJson, FieldAskWriteWatchAndAWaitThatTimesOut) {
    const auto parse = [](const std::string& text) {
        return nlohmann::json::parse(text, nullptr, false);
    };
    Outcome o = RunTool({"--virtual", "--json", "field", "off"});
    EXPECT_EQ(o.exitCode, 0) << o.err;
    EXPECT_EQ(parse(o.out), nlohmann::json({{"port", 0}, {"field", false}}));

    o = RunTool({"--virtual", "--json", "ask", "write", "6", "BEEF"});
    EXPECT_EQ(o.exitCode, 0) << o.err;
    EXPECT_EQ(parse(o.out), nlohmann::json({{"sector", 6}, {"data", "BEEF"}, {"sent", "BEEF"}}));

    // One object a line, as the cards arrive.
    o = RunTool({"--virtual", "--json", "watch", "--timeout", "0.3"});
    EXPECT_EQ(o.exitCode, 0) << o.err;
    std::istringstream lines(o.out);
    std::vector<nlohmann::json> events;
    for (std::string line; std::getline(lines, line);) events.push_back(parse(line));
    ASSERT_EQ(events.size(), 5u) << o.out;
    for (const nlohmann::json& event : events) EXPECT_EQ(event["event"], "arrived") << event;
    EXPECT_EQ(events[0]["card"]["kind"], "typeA");
    EXPECT_EQ(events[4]["card"]["kind"], "ask");

    const std::string empty = WriteTestFile("nothing-comes.json", R"({"cards": []})");
    o = RunTool({"--scenario", empty, "--json", "wait", "--timeout", "0.2", "--type", "b"});
    EXPECT_EQ(o.exitCode, 5) << o.err;
    EXPECT_EQ(parse(o.out),
              nlohmann::json(
                  {{"card", nullptr}, {"reason", "timeout"}, {"timeout", 0.2}, {"type", "b"}}));
    EXPECT_HAS(o.err, "no b card came within 0.2 s");
}

TEST(ToolWait, TheTimeOutIsAFiniteNumberOfSeconds) {
    for (const char* seconds : {"-1", "nan", "inf", "-inf", "1e300", "604801", "ten", "5s"}) {
        for (const char* command : {"wait", "watch"}) {
            const Outcome o = RunTool({"--virtual", command, "--timeout", seconds});
            EXPECT_EQ(o.exitCode, 2) << command << " " << seconds;
            EXPECT_HAS(o.err, "is not a number of seconds from 0 to 604800");
            EXPECT_LT(o.err.size(), 200u) << o.err;
        }
    }
    EXPECT_EQ(RunTool({"--virtual", "wait", "--timeout", "0"}).exitCode, 0);
}

TEST(ToolApdu, ScriptFromStandardInputAfterTheCommandLineAndNoFolder) {
    const std::string script = WriteTestFile("stdin.apdu", "00A4020C025002\n00B0000004\n");
    Outcome o = RunTool({"--virtual", "apdu", "00A4040C09A00000055A454C5601", "--script", "-"},
                        "< " + Quote(script));
    ASSERT_EQ(o.exitCode, 0) << o.err;
    EXPECT_LT(o.out.find(">> 00 A4 04 0C"), o.out.find(">> 00 A4 02 0C"));
    EXPECT_HAS(o.out, "<< 5A 65 6C 76 ");

    o = RunTool({"--virtual", "apdu", "--script", "-"}, "< /dev/null");
    EXPECT_EQ(o.exitCode, 2);
    EXPECT_HAS(o.err, "no APDU given: the script on standard input holds none");

    o = RunTool({"--virtual", "apdu", "--script", ZELVORN_TOOL_TEST_DIR});
    EXPECT_EQ(o.exitCode, 2);
    EXPECT_HAS(o.err, std::string("script file ") + ZELVORN_TOOL_TEST_DIR + ": is a directory");

    EXPECT_HAS(RunTool({"apdu", "--help"}).out, "sent after the APDUs of the command line");
}

// The man page has an entry for each command that names every option its
// --help lists, and the global options in their section.
TEST(ToolManual, EveryOptionIsInItsCommandsEntry) {
    std::string page = ReadFile(std::string(ZELVORN_TOOL_SCENARIOS) + "/../zelvorn.1");
    for (std::size_t at; (at = page.find("\\-")) != std::string::npos;) page.erase(at, 1);
    EXPECT_HAS(page, "\n.SH EXAMPLES\n");
    EXPECT_LACKS(page, "source tree");

    // From a heading to the next paragraph (".TP") or section (".SH").
    const auto part = [&page](const std::string& heading, const std::string& next) {
        const std::size_t start = page.find(heading);
        if (start == std::string::npos) return std::string();
        const std::size_t end = std::min(page.find(next, start + 1), page.find("\n.SH", start + 1));
        return page.substr(start, end - start);
    };
    const std::vector<std::vector<std::string>> commands = {
        {},
        {"list"},
        {"info"},
        {"field"},
        {"wait"},
        {"watch"},
        {"mifare"},
        {"mifare", "dump"},
        {"mifare", "restore"},
        {"mifare", "read"},
        {"mifare", "write"},
        {"mifare", "value"},
        {"mifare", "store-key"},
        {"mifare", "access"},
        {"dump", "convert"},
        {"dump", "diff"},
        {"apdu"},
        {"ask", "read"},
        {"ask", "write"},
        {"scenario", "from-dump"},
        {"ultralight"},
        {"ultralight", "info"},
        {"ultralight", "dump"},
        {"ultralight", "restore"},
        {"ultralight", "read"},
        {"ultralight", "write"},
    };
    for (const auto& words : commands) {
        std::string name;
        for (const auto& w : words) name += (name.empty() ? "" : " ") + w;
        std::string entry = part(".SH GLOBAL OPTIONS\n", "\n.SH");
        if (!words.empty()) {
            const std::string quoted = words.size() > 1 ? "\"" + name + "\"" : name;
            entry = part("\n.TP\n.B " + quoted + "\n", "\n.TP");
            if (entry.empty()) entry = part("\n.TP\n.BR " + quoted + " ", "\n.TP");
        }
        ASSERT_FALSE(entry.empty()) << "no entry for \"" << name << "\" in the man page";

        std::vector<std::string> args = words;
        args.push_back("--help");
        std::istringstream help(RunTool(args).out);
        for (std::string line; std::getline(help, line);) {
            const std::size_t first = line.find_first_not_of(' ');
            if (first == std::string::npos || first == 0 || line[first] != '-') continue;
            std::istringstream names(line.substr(first, line.find(' ', first) - first));
            for (std::string option; std::getline(names, option, ',');) {
                if (option.rfind("--", 0) != 0 || option == "--help") continue;
                EXPECT_HAS(entry, option) << "the man page's entry for \"" << name << "\"";
            }
        }
    }
}

// --- Type 2 tags ------------------------------------------------------------------

// A scenario with a MIFARE Classic card first (the tool must find the tag
// behind it) and an NTAG215 with pages given, or blank.
std::string Type2Scenario(const std::string& name, const std::string& ntag) {
    return WriteTestFile(name, R"({"cards": [{"type": "mifare-classic-1k", "serial": "A1B2C3D4"},
        {"type": "ntag215", "serial": "04 5A 4C 56 4F 52 4E")" +
                                   ntag + "}]}");
}

TEST(ToolUltralight, DumpRestoredOntoABlankTagDumpsTheSame) {
    const std::string full = Type2Scenario(
        "type2-full.json",
        R"(, "pages": {"4": "03 0B D1 01", "5": "07 55 04 7A", "40": "DEADBEEF", "129": "01020304"})");
    const std::string blank = Type2Scenario("type2-blank.json", "");
    for (const std::string extension : {".json", ".bin"}) {
        const std::string first = TestFile("type2-first" + extension);
        const std::string second = TestFile("type2-second" + extension);
        const std::string state = TestFile("type2-state.json");
        std::remove(state.c_str());
        Outcome o = RunTool({"--scenario", full, "ultralight", "dump", "-o", first});
        ASSERT_EQ(o.exitCode, 0) << o.err;
        EXPECT_HAS(o.out, "NTAG215, serial 045A4C564F524E: 135 pages written to");
        o = RunTool({"--scenario", blank, "--state", state, "ultralight", "restore", first});
        ASSERT_EQ(o.exitCode, 0) << o.err;
        EXPECT_HAS(o.out, "pages 4-5, 40, 129 written");
        o = RunTool({"--scenario", blank, "--state", state, "ultralight", "dump", "-o", second});
        ASSERT_EQ(o.exitCode, 0) << o.err;
        EXPECT_EQ(ReadFile(second), ReadFile(first)) << extension;
        EXPECT_NE(ReadFile(first), "");
    }
}

TEST(ToolUltralight, DemoScenarioListsItsNtag215ByNameAndReadsItsText) {
    Outcome o = RunTool({"--scenario", Demo(), "list"});
    ASSERT_EQ(o.exitCode, 0) << o.err;
    EXPECT_HAS(o.out, "card 3: NTAG215 (type 00), serial 045A4C564F524E\n");
    o = RunTool({"--scenario", Demo(), "--json", "list"});
    EXPECT_EQ(nlohmann::json::parse(o.out)["readers"][0]["cards"][2]["name"], "NTAG215");
    o = RunTool({"--scenario", Demo(), "ultralight", "read", "6", "3"});
    EXPECT_HAS(o.out, "|nZel|\npage   7: 76 6F 72 6E  |vorn|");
}

TEST(ToolUltralight, HandMadeProxmarkDumpRestores) {
    std::string blocks;
    for (int p = 0; p < 45; ++p) {
        const std::string page = p == 0   ? "04A1B2D9"
                                 : p == 1 ? "C3D4E5F6"
                                 : p == 2 ? "E0480000"
                                 : p == 3 ? "E1101200"
                                 : p == 4 ? "0103A00C"
                                 : p == 5 ? "34030AD1"
                                 : p == 6 ? "01065402"
                                          : "00000000";
        blocks += (p ? ", " : "") + std::string("\"") + std::to_string(p) + "\": \"" + page + "\"";
    }
    const std::string dump = WriteTestFile(
        "type2-proxmark.json",
        R"({"Created": "proxmark3", "FileType": "mfu", "Card": {"UID": "04A1B2C3D4E5F6",
            "Version": "0004040201000F03", "TBO_0": "0000", "TBO_1": "00",
            "Counter0": "000000", "Tearing0": "00"}, "blocks": {)" +
            blocks + "}}");
    const std::string scenario =
        WriteTestFile("type2-ntag213.json",
                      R"({"cards": [{"type": "ntag213", "serial": "04 11 22 33 44 55 66"}]})");
    const std::string state = TestFile("type2-ntag213-state.json");
    std::remove(state.c_str());
    Outcome o = RunTool({"--scenario", scenario, "--state", state, "ultralight", "restore", dump});
    ASSERT_EQ(o.exitCode, 0) << o.err;
    EXPECT_HAS(o.out, "pages 5-6 written");
    o = RunTool({"--scenario", scenario, "--state", state, "ultralight", "read", "4", "3"});
    EXPECT_EQ(o.out,
              "page   4: 01 03 A0 0C  |....|\npage   5: 34 03 0A D1  |4...|\n"
              "page   6: 01 06 54 02  |..T.|\n");
}

TEST(ToolUltralight, PasswordProtectedTag) {
    const std::string scenario =
        Type2Scenario("type2-protected.json",
                      R"(, "password": "12345678", "pack": "ABCD", "auth0": 16, "access": "80")");
    const std::string dump = TestFile("type2-protected.json.out.json");
    Outcome o =
        RunTool({"--scenario", scenario, "ultralight", "dump", "-o", dump, "--format", "json"});
    EXPECT_EQ(o.exitCode, 1);
    EXPECT_HAS(o.err, "read pages 0 to 28: the tag answered");
    EXPECT_HAS(o.err, "give --password");
    o = RunTool({"--scenario", scenario, "ultralight", "--password", "12345678", "--pack", "ABCD",
                 "dump", "-o", dump, "--format", "json"});
    ASSERT_EQ(o.exitCode, 0) << o.err;
    const auto json = nlohmann::json::parse(ReadFile(dump));
    EXPECT_EQ(json["blocks"]["133"], "12345678") << "the password given goes into the dump";
    EXPECT_EQ(json["blocks"]["134"], "ABCD0000");
    o = RunTool({"--scenario", scenario, "--json", "ultralight", "info"});
    ASSERT_EQ(o.exitCode, 0) << o.err;
    EXPECT_EQ(nlohmann::json::parse(o.out)["readProtectedFromSomePage"], true);
    o = RunTool({"--scenario", scenario, "--json", "ultralight", "--password", "12345678", "info"});
    ASSERT_EQ(o.exitCode, 0) << o.err;
    const auto info = nlohmann::json::parse(o.out);
    EXPECT_EQ(info["auth0"], 16);
    EXPECT_EQ(info["prot"], true);
    EXPECT_EQ(info["pack"], "ABCD");
}

TEST(ToolUltralight, RefusalsAndTheirExitCodes) {
    const std::string scenario = Type2Scenario("type2-refusals.json", "");
    const struct {
        std::vector<std::string> args;
        int exitCode;
        const char* message;
    } cases[] = {
        {{"--scenario", std::string(ZELVORN_TOOL_SCENARIOS) + "/blank.json", "ultralight", "info"},
         5,
         "no MIFARE Ultralight or NTAG tag in the field"},
        {{"--scenario", scenario, "ultralight", "--password", "1234", "info"}, 2, "--password"},
        {{"--scenario", scenario, "ultralight", "--pack", "ABCD", "info"}, 2, "give both"},
        {{"--scenario", scenario, "ultralight", "--password", "00000000", "info"},
         1,
         "a wrong password is a NAK"},
        {{"--scenario", scenario, "ultralight", "write", "3", "E1103E0F"},
         2,
         "--with-lock-and-otp"},
        {{"--scenario", scenario, "ultralight", "write", "0", "00000000"},
         1,
         "write page 0: the tag answered NAK 0x00"},
        {{"--scenario", scenario, "ultralight", "read", "130", "10"}, 2, "pages 0 to 134"},
        {{"--scenario", scenario, "ultralight", "dump", "-o", "x.txt"},
         2,
         "end it in .bin or .json"},
        {{"--scenario", scenario, "ultralight", "restore", Demo()}, 2, "not a Type 2 tag dump"},
    };
    for (const auto& c : cases) {
        const Outcome o = RunTool(c.args);
        EXPECT_EQ(o.exitCode, c.exitCode) << c.args.back() << ": " << o.err;
        EXPECT_HAS(o.err, c.message);
    }
}

TEST(ToolUltralight, WriteShowsWhatAOneTimePageHoldsAfterwards) {
    const std::string scenario = Type2Scenario("type2-otp.json", R"(, "pages": {"3": "00000000"})");
    const Outcome o = RunTool({"--scenario", scenario, "--json", "ultralight", "write", "3",
                               "E1103E00", "--with-lock-and-otp"});
    ASSERT_EQ(o.exitCode, 0) << o.err;
    EXPECT_EQ(nlohmann::json::parse(o.out)["data"], "E1103E00");
    const Outcome again = RunTool(
        {"--scenario", scenario, "ultralight", "write", "3", "00000001", "--with-lock-and-otp"});
    ASSERT_EQ(again.exitCode, 0) << again.err;
    EXPECT_HAS(again.out, "Page 3 written: 00 00 00 01\n") << "a fresh run: page 3 was blank";
}

}  // namespace

namespace {

// --- MIFARE Classic: keys, access bits and what a user is told ------------------------

TEST(ToolMifareKeys, EachCaseEndsAsItShouldAndSaysWhy) {
    const std::string binaryEml =
        WriteTestFile("binary.eml", std::string("\x01\x02\xFFgarbage\x00\x10", 12));
    const std::string emptyKeys = WriteTestFile("empty.dic", "# nothing here\n\n");
    struct Row {
        std::vector<std::string> args;
        int exitCode;
        std::string text;             // in stderr, or in stdout for exit code 0
        std::string absent = "\x01";  // in neither stream
    };
    const std::vector<std::string> demo = {"--scenario", Demo(), "mifare"};
    const auto with = [&demo](std::vector<std::string> more) {
        more.insert(more.begin(), demo.begin(), demo.end());
        return more;
    };
    const Row rows[] = {
        // Without keys, the bundled dictionary opens every sector of the demo card.
        {with({"dump"}), 0, "16 of 16 sectors read\n"},
        {with({"dump", "--first", "1", "--last", "1"}), 0,
         "Sector  1  blocks 4-7, key A A0A1A2A3A4A5; key B B0B1B2B3B4B5 found too\n"},
        {with({"--no-default-keys", "dump"}), 2, "no key to try", "Card:"},
        // Value operations log in with the key the access bits give them to.
        {with({"-k", "A0A1A2A3A4A5", "-k", "B0B1B2B3B4B5", "value", "inc", "5", "10"}), 0,
         "Block 5: incremented by 10, value now 1244\n"},
        {with({"-k", "A0A1A2A3A4A5", "value", "inc", "5", "10"}), 1,
         "block 5: only key B may do this (key A A0A1A2A3A4A5 opened the sector); log in to "
         "sector 1 with key B A0A1A2A3A4A5: -4 authentication failed"},
        // What was tried, and what is left.
        {with({"-k", "FFFFFFFFFFFF", "-t", "A", "read", "4"}), 1,
         "zelvorn: error: log in to sector 1 with key A FFFFFFFFFFFF: -4 authentication failed: "
         "wrong key; key B was not tried (-t both tries it too)\n",
         "try -t B"},
        // Sector ranges beyond the card, refused alike.
        {with({"dump", "--first", "16"}), 2, "--first 16: sector 16 is beyond this 1K card"},
        {with({"dump", "--last", "16"}), 2, "--last 16: sector 16 is beyond this 1K card"},
        // Output files are checked before anything is read.
        {with({"dump", "-o", "/nonexistent/x.bin"}), 1,
         "dump file /nonexistent/x.bin: cannot be written: No such file or directory", "Card:"},
        {with({"dump", "--keys-out", "/nonexistent/k.dic"}), 1,
         "key file /nonexistent/k.dic: cannot be written", "Card:"},
        // A binary file named .eml, and key files with nothing in them.
        {with({"restore", binaryEml}), 2,
         "binary.eml: line 1: byte 01 at column 1 is not text; an eml file is text", "garbage"},
        {with({"-K", emptyKeys, "read", "1"}), 2, "empty.dic: holds no key"},
    };
    for (const Row& row : rows) {
        const Outcome o = RunTool(row.args);
        std::string command;
        for (const auto& a : row.args) command += a + " ";
        EXPECT_EQ(o.exitCode, row.exitCode) << command << "\n" << o.out << o.err;
        EXPECT_HAS(row.exitCode == 0 ? o.out : o.err, row.text);
        EXPECT_LACKS(o.out + o.err, row.absent);
    }
}

// The JSON key file names each key's sector: one login per key. The
// dictionary names only keys, tried in the order of the file after those
// that opened a sector already.
TEST(ToolMifareKeys, KeysOutReadBackTakeOneLoginPerKey) {
    for (const auto& [name, sector1] :
         {std::pair<std::string, std::string>{"found.json", "2 keys"}, {"found.dic", "5 keys"}}) {
        const std::string keys = TestFile(name);
        std::remove(keys.c_str());
        Outcome o = RunTool({"--scenario", Demo(), "mifare", "dump", "--keys-out", keys});
        ASSERT_EQ(o.exitCode, 0) << o.err;
        o = RunTool({"--scenario", Demo(), "mifare", "-K", keys, "--no-default-keys", "dump",
                     "--progress"});
        EXPECT_EQ(o.exitCode, 0) << name << o.err;
        // Sector 1 takes its key A and its key B; key B of the others is data.
        EXPECT_HAS(o.err, "progress: sector 0 (1 of 16): 1 key tried");
        EXPECT_HAS(o.err, "progress: sector 1 (2 of 16): " + sector1 + " tried");
        EXPECT_HAS(o.err, "progress: sector 15 (16 of 16): 1 key tried");
    }
    EXPECT_HAS(ReadFile(TestFile("found.dic")), "A0A1A2A3A4A5  # key A of sectors 1\n");
}

TEST(ToolMifareDump, ASectorNotReadIsSaidSoOnRestore) {
    const std::string file = TestFile("sector-1-unread.bin");
    ASSERT_EQ(RunTool({"--scenario", Demo(), "mifare", "-k", "FFFFFFFFFFFF", "-t", "A", "dump",
                       "-o", file})
                  .exitCode,
              4);
    const Outcome o = RunTool({"--virtual", "mifare", "restore", file, "--dry-run"});
    EXPECT_EQ(o.exitCode, 0) << o.err;
    EXPECT_HAS(o.out, "sector 1 not read when the dump was made: left as on the card\n");
    EXPECT_LACKS(o.out, "would write block   4");
    EXPECT_LACKS(o.out + o.err, "access bits 000000");
}

TEST(ToolMifareAccess, DecodesAndEncodesAsTheDumpShowsThem) {
    struct Row {
        std::vector<std::string> args;
        int exitCode;
        std::string text;
    };
    const Row rows[] = {
        {{"FF0780"}, 0, "access bits FF0780  data:000,000,000 trailer:001\n"},
        {{"5D278A69"},
         0,
         "data group 1:  110  read A|B, write B, increment B, decrement A|B (value block)"},
        {{"--encode", "data:000,110,000 trailer:011"}, 0, "access bits 5D278A "},
        {{"--encode", "data:000 trailer:001"}, 0, "access bits FF0780 "},
        {{"FF0781"}, 2, "access bits FF0781: they do not match their inverted copy"},
        {{"--encode", "data:000,110 trailer:011"}, 2, "data takes one or three groups"},
        {{"--encode", "data:000,000,000 trailer:3"}, 2, "\"3\" is not three bits"},
        {{"--encode", "data:000,000,000"}, 2, "trailer:... is missing"},
        {{}, 2, "give either the access bytes"},
    };
    for (const Row& row : rows) {
        std::vector<std::string> args = {"--library", "/nonexistent/library.so", "mifare",
                                         "access"};
        args.insert(args.end(), row.args.begin(), row.args.end());
        const Outcome o = RunTool(args);
        EXPECT_EQ(o.exitCode, row.exitCode) << o.err;
        EXPECT_HAS(row.exitCode == 0 ? o.out : o.err, row.text);
    }
}

// Every format converts and comes back the same; a diff names the changed
// blocks and what the change means.
TEST(ToolDumpCommands, ConvertAndDiff) {
    const std::string state = TestFile("diff-state.json");
    std::remove(state.c_str());
    const std::vector<std::string> card = {"--scenario", Demo(), "--state", state, "mifare"};
    const auto run = [&card](std::vector<std::string> more) {
        more.insert(more.begin(), card.begin(), card.end());
        return RunTool(more);
    };
    const std::string before = TestFile("before.json"), after = TestFile("after.json");
    ASSERT_EQ(run({"dump", "-o", before}).exitCode, 0);
    for (const std::string format : {"bin", "eml", "mct", "json"}) {
        const std::string converted = TestFile("converted." + format);
        const std::string back = TestFile("back-from-" + format + ".json");
        ASSERT_EQ(RunTool({"dump", "convert", before, converted}).exitCode, 0) << format;
        ASSERT_EQ(RunTool({"dump", "convert", converted, back}).exitCode, 0) << format;
        const Outcome same = RunTool({"dump", "diff", before, back});
        EXPECT_EQ(same.exitCode, 0) << format << same.out << same.err;
        EXPECT_HAS(same.out, "the dumps hold the same 64 blocks");
    }
    ASSERT_EQ(run({"-k", "A0A1A2A3A4A5", "-k", "B0B1B2B3B4B5", "value", "inc", "5", "10"}).exitCode,
              0);
    ASSERT_EQ(run({"dump", "-o", after}).exitCode, 0);
    const Outcome changed = RunTool({"dump", "diff", before, after});
    EXPECT_EQ(changed.exitCode, 1) << changed.err;
    EXPECT_HAS(changed.out, "block   5 (sector  1): value 1234 -> 1244\n");
    EXPECT_HAS(changed.out, "1 of 64 blocks differ\n");

    const Outcome missing = RunTool({"dump", "diff", before, TestFile("no-such-dump.json")});
    EXPECT_EQ(missing.exitCode, 2);
    EXPECT_HAS(missing.err, "no-such-dump.json: cannot be read");
}

// A wrong key costs its login and the re-select it forces, once per search:
// the 18 wrong keys of a dictionary whose right keys come last are tried on
// three searches of the demo card (key A of sector 0, key A and key B of
// sector 1), and never again once a key opened a sector.
TEST(ToolMifareKeys, ADictionaryCostsOnlyItsWrongLoginsOverTheRightKeysInOrder) {
    std::string dictionary;
    for (int i = 1; i <= 18; ++i)
        dictionary += fmt::format("{:02X}", 0x11 * i % 256) + "0000000000\n";
    dictionary += "FFFFFFFFFFFF\nA0A1A2A3A4A5\nB0B1B2B3B4B5\n";
    const std::string file = WriteTestFile("right-keys-last.dic", dictionary);
    const auto transfers = [](std::vector<std::string> keys) {
        const std::string capture = TestFile("key-search.pcap");
        std::vector<std::string> args = {"--scenario", Demo(), "--capture", capture, "mifare"};
        args.insert(args.end(), keys.begin(), keys.end());
        args.push_back("dump");
        EXPECT_EQ(RunTool(args).exitCode, 0);
        return zelvorn::bench::CountControlTransfers(capture).value_or(-1);
    };
    const long inOrder =
        transfers({"-k", "FFFFFFFFFFFF", "-k", "A0A1A2A3A4A5", "-k", "B0B1B2B3B4B5"});
    const long last = transfers({"-K", file, "--no-default-keys"});
    ASSERT_GT(inOrder, 64);  // at least a read per block
    EXPECT_LE(last, inOrder + 2 * 18 * 3);
}

}  // namespace

// --- NDEF ----------------------------------------------------------------------------

// A card in its factory state formatted, written and read back across runs
// (the state file keeps its blocks); the demo's processor card read through
// its NDEF application; and what cannot be done refused with a reason.
TEST(ToolNdef, FormatWriteAndReadOnEveryKindOfCard) {
    const std::string state = TestFile("ndef-card.json");
    std::remove(state.c_str());
    const std::string blank = std::string(ZELVORN_TOOL_SCENARIOS) + "/blank.json";
    const auto onBlank = [&](std::vector<std::string> args) {
        args.insert(args.begin(), {"--scenario", blank, "--state", state, "ndef"});
        return RunTool(args);
    };
    Outcome o = onBlank({"read"});
    EXPECT_EQ(o.exitCode, 1);
    EXPECT_HAS(o.err, "no MAD");
    EXPECT_HAS(o.err, "the command is zelvorn ndef format");

    o = onBlank({"format"});
    ASSERT_EQ(o.exitCode, 0) << o.err;
    o = onBlank({"read"});
    EXPECT_EQ(o.exitCode, 0) << o.err;
    EXPECT_HAS(o.out, "The NDEF message is empty\n");

    o = onBlank(
        {"write", "--uri", "https://example.org/zelvorn", "--text", "Grüezi", "--lang", "de-CH"});
    ASSERT_EQ(o.exitCode, 0) << o.err;
    o = RunTool({"--scenario", blank, "--state", state, "--json", "ndef", "read"});
    ASSERT_EQ(o.exitCode, 0) << o.err;
    const nlohmann::json read = nlohmann::json::parse(o.out, nullptr, false);
    EXPECT_EQ(read["records"], nlohmann::json::parse(R"([
        {"kind": "uri", "uri": "https://example.org/zelvorn"},
        {"kind": "text", "language": "de-CH", "text": "Grüezi"}])"))
        << o.out;

    // The MAD sector is what a phone or another tool finds first: the MAD key
    // opens it and the directory names every other sector as NDEF (E103).
    o = RunTool(
        {"--scenario", blank, "--state", state, "mifare", "-k", "A0A1A2A3A4A5", "read", "1"});
    EXPECT_EQ(o.exitCode, 0) << o.err;
    EXPECT_HAS(o.out, "03 E1 03 E1 03 E1");

    o = RunTool({"--scenario", Demo(), "ndef", "-c", "045A454C564F01", "read"});
    EXPECT_EQ(o.exitCode, 0) << o.err;
    EXPECT_HAS(o.out, "URI https://example.org\n");
    o = RunTool({"--scenario", Demo(), "ndef", "-c", "045A454C564F01", "write", "--text", "hi"});
    EXPECT_EQ(o.exitCode, 0) << o.err;
    EXPECT_HAS(o.out, "NDEF message of 9 bytes written\n");

    struct Refusal {
        std::vector<std::string> args;
        int exitCode;
        std::string text;
    };
    const Refusal refusals[] = {
        {{"ndef", "write"}, 2, "no record given"},
        {{"ndef", "format"}, 1, "sector 1 does not open with the transport key"},
        {{"ndef", "-c", "045A454C564F01", "write", "--text", std::string(2000, 'x')},
         1,
         "the NDEF file holds at most 1022; nothing was written"},
        {{"ndef", "-c", "1B2B3B4B", "read"}, 5, "find the card 1B2B3B4B"},
    };
    for (const Refusal& r : refusals) {
        std::vector<std::string> args = {"--scenario", Demo()};
        args.insert(args.end(), r.args.begin(), r.args.end());
        o = RunTool(args);
        EXPECT_EQ(o.exitCode, r.exitCode) << r.text << "\n" << o.err;
        EXPECT_HAS(o.err, r.text);
    }
}

// Every MIFARE command gives one JSON object with --json; those that print
// only text refuse --json rather than ignore it.
TEST(ToolJson, MifareCommandsAnswerInJsonOrRefuseIt) {
    struct Row {
        std::vector<std::string> args;
        std::string pointer;  // in the JSON answer; empty: refused
        std::string expected;
    };
    const Row rows[] = {
        {{"mifare", "read", "4"}, "/data", "48656C6C6F2C205A656C766F726E2100"},
        {{"mifare", "-k", "A0A1A2A3A4A5", "read", "7"}, "/accessBits", "5D278A69"},
        {{"mifare", "write", "4", "00112233445566778899AABBCCDDEEFF"},
         "/written",
         "00112233445566778899AABBCCDDEEFF"},
        {{"mifare", "value", "get", "5"}, "/value", "1234"},
        {{"mifare", "-k", "B0B1B2B3B4B5", "value", "dec", "5", "4"}, "/value", "1230"},
        {{"mifare", "store-key", "3", "A0A1A2A3A4A5"}, "/key", "A0A1A2A3A4A5"},
        {{"mifare", "access", "FF0780"}, "", ""},
        {{"mifare", "restore", "card.json"}, "", ""},
        {{"dump", "diff", "a.json", "b.json"}, "", ""},
    };
    for (const Row& row : rows) {
        std::vector<std::string> args = {"--scenario", Demo(), "--json"};
        args.insert(args.end(), row.args.begin(), row.args.end());
        const Outcome o = RunTool(args);
        if (row.pointer.empty()) {
            EXPECT_EQ(o.exitCode, 2) << row.args[1];
            EXPECT_HAS(o.err, "prints text only; leave --json out");
            continue;
        }
        ASSERT_EQ(o.exitCode, 0) << row.args.back() << "\n" << o.err;
        const nlohmann::json doc = nlohmann::json::parse(o.out, nullptr, false);
        ASSERT_FALSE(doc.is_discarded()) << o.out;
        const auto& value = doc.at(nlohmann::json::json_pointer(row.pointer));
        EXPECT_EQ(value.is_string() ? value.get<std::string>() : value.dump(), row.expected);
    }
}

// A Type 2 tag: formatted only while page 3 is blank, written and read back
// across runs, then made read-only for good, only when the user says so.
TEST(ToolNdef, Type2TagFromBlankToReadOnly) {
    const std::string scenario =
        WriteTestFile("type2-tags.json",
                      R"({"cards": [{"type": "ultralight", "serial": "04112233445566"},
                      {"type": "ntag213", "serial": "04AABBCCDDEEFF"}]})");
    const std::string state = TestFile("type2-tags-state.json");
    std::remove(state.c_str());
    struct Step {
        std::vector<std::string> args;
        int exitCode;
        std::string text;  // in stdout for exit code 0, else in stderr
    };
    const Step steps[] = {
        {{"read"}, 1, "no NDEF capability container (E1 ...): the tag is not formatted"},
        {{"format"}, 0, "Formatted for NDEF: the capability container and an empty NDEF message"},
        {{"read"}, 0, "The NDEF message is empty\n"},
        {{"write", "--uri", "https://example.org/t2", "--text", "hello there"}, 0, "37 bytes"},
        {{"read"}, 0, "URI https://example.org/t2\nText [en] hello there\n"},
        {{"lock"}, 2, "add --yes-make-read-only"},
        {{"lock", "--yes-make-read-only"}, 0, "The tag is read-only now\n"},
        {{"write", "--text", "x"}, 1, "the tag is read-only"},
        {{"read"}, 0, "URI https://example.org/t2\n"},
        {{"-c", "04AABBCCDDEEFF", "write", "--text", std::string(200, 'y')},
         1,
         "the NDEF area holds at most 137 on this tag; nothing was written"},
    };
    for (const Step& step : steps) {
        std::vector<std::string> args = {"--scenario", scenario, "--state", state, "ndef"};
        args.insert(args.end(), step.args.begin(), step.args.end());
        const Outcome o = RunTool(args);
        EXPECT_EQ(o.exitCode, step.exitCode) << step.args[0] << "\n" << o.err;
        EXPECT_HAS(step.exitCode == 0 ? o.out : o.err, step.text);
    }
    // The lock bits hold the pages too, whatever writes them.
    const Outcome o =
        RunTool({"--scenario", scenario, "--state", state, "ultralight", "write", "4", "01020304"});
    EXPECT_EQ(o.exitCode, 1);
    EXPECT_HAS(o.err, "the page is locked");
}
