// NDEF on Type 4 tags: the read and write flows with scripted answers, the
// capability container's checks and the card's refusals.
#include <algorithm>
#include <string>
#include <utility>

#include <gtest/gtest.h>

#include "tool/ndef/type4.h"

namespace zelvorn::ndef::type4 {
namespace {

Bytes FromHex(std::string hex) {
    hex.erase(std::remove(hex.begin(), hex.end(), ' '), hex.end());
    Bytes out;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
        out.push_back(static_cast<std::uint8_t>(std::stoul(hex.substr(i, 2), nullptr, 16)));
    }
    return out;
}

Bytes Ok(Bytes data) {
    data.push_back(0x90);
    data.push_back(0x00);
    return data;
}

// The capability container of nfcpy's tests (tests/test_tag_tt4.py):
// MLe 003B, MLc 0034, NDEF file E104 of 64 bytes, free read and write.
const char* const kNfcpyCc = "000F 20 003B 0034 04 06 E104 0040 00 00";

// A card holding an NDEF file behind the application, as a flow sees it:
// answers each command the flow gives and records them.
struct Card {
    Bytes cc;
    Bytes file;
    std::vector<Bytes> commands;

    template <typename Flow>
    void Run(Flow& flow) {
        std::uint16_t selected = 0;
        while (auto command = flow.Next()) {
            ASSERT_LT(commands.size(), 100u) << "the flow does not end";
            commands.push_back(*command);
            const Bytes& c = *command;
            Bytes answer = FromHex("6D00");
            if (c[1] == 0xA4 && c[2] == 0x04) {
                answer = Ok({});
            } else if (c[1] == 0xA4) {
                selected = static_cast<std::uint16_t>(c[5] << 8 | c[6]);
                answer = selected == 0xE103 || selected == 0xE104 ? Ok({}) : FromHex("6A82");
            } else if (c[1] == 0xB0 || c[1] == 0xD6) {
                Bytes& data = selected == 0xE103 ? cc : file;
                const std::size_t offset = static_cast<std::size_t>(c[2] << 8 | c[3]);
                if (c[1] == 0xB0) {
                    const std::size_t n =
                        std::min<std::size_t>(c[4] == 0 ? 256 : c[4], data.size() - offset);
                    answer = Ok(Bytes(data.begin() + static_cast<std::ptrdiff_t>(offset),
                                      data.begin() + static_cast<std::ptrdiff_t>(offset + n)));
                } else {
                    std::copy(c.begin() + 5, c.end(),
                              data.begin() + static_cast<std::ptrdiff_t>(offset));
                    answer = Ok({});
                }
            }
            flow.Answer(answer);
        }
    }
};

Bytes NdefFile(const Bytes& message, std::size_t size) {
    Bytes file(size, 0);
    file[0] = static_cast<std::uint8_t>(message.size() >> 8);
    file[1] = static_cast<std::uint8_t>(message.size());
    std::copy(message.begin(), message.end(), file.begin() + 2);
    return file;
}

// status-im/keycard-go's NDEF file: NLEN 0024, an Android application record.
TEST(Type4Read, OneReadBringsNlenAndASmallMessage) {
    const Bytes message =
        FromHex("d40f12616e64726f69642e636f6d3a706b67696d2e7374617475732e657468657265756d");
    Card card{FromHex(kNfcpyCc), NdefFile(message, 64), {}};
    ReadFlow flow;
    card.Run(flow);
    EXPECT_EQ(flow.Message(), message);
    EXPECT_EQ(card.commands,
              (std::vector<Bytes>{FromHex("00A4040007D276000085010100"), FromHex("00A4000C02E103"),
                                  FromHex("00B000000F"), FromHex("00A4000C02E104"),
                                  FromHex("00B000003B")}));
}

TEST(Type4Read, LongMessagesComeInAnswersOfAtMostMLe) {
    struct Case {
        const char* mle;
        std::size_t fileSize, messageSize, reads;
    };
    const Case cases[] = {
        {"000F", 400, 0, 1},   {"000F", 400, 13, 1},    {"000F", 400, 14, 2},
        {"003B", 400, 300, 6}, {"0400", 2000, 1000, 4},  // 255 bytes a read at most
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.mle) + ", " + std::to_string(c.messageSize) + " bytes");
        Bytes message(c.messageSize);
        for (std::size_t i = 0; i < message.size(); ++i) message[i] = static_cast<std::uint8_t>(i);
        char size[5];
        std::snprintf(size, sizeof size, "%04zX", c.fileSize);
        Card card{FromHex(std::string("000F20") + c.mle + "00340406E104" + size + "0000"),
                  NdefFile(message, c.fileSize),
                  {}};
        ReadFlow flow;
        card.Run(flow);
        EXPECT_EQ(flow.Message(), message);
        const std::size_t reads =
            static_cast<std::size_t>(std::count_if(card.commands.begin() + 4, card.commands.end(),
                                                   [](const Bytes& b) { return b[1] == 0xB0; }));
        EXPECT_EQ(reads, c.reads);
        for (const Bytes& command : card.commands) {
            if (command[1] == 0xB0 && command.size() == 5 && command != FromHex("00B000000F")) {
                EXPECT_LE(command[4], std::min<std::size_t>(255, c.fileSize));
            }
        }
    }
}

TEST(Type4Write, SmallMessageInOneCommandLargeOneLengthLast) {
    const Bytes small = FromHex("d00000");
    Card card{FromHex(kNfcpyCc), Bytes(64, 0xEE), {}};
    WriteFlow write(small);
    card.Run(write);
    EXPECT_EQ(card.commands.back(), FromHex("00D6000005 0003 D00000"));
    EXPECT_EQ(card.commands.size(), 5u);

    // nfcpy's test_tag_tt4.py writes 0x3E bytes the same way: NLEN 0, the
    // message in commands of MLc (0x34) bytes, NLEN.
    const Bytes large(62, 0xA9);
    WriteFlow again(large);
    card.commands.clear();
    card.Run(again);
    EXPECT_EQ(card.commands.size(), 8u);
    EXPECT_EQ(card.commands[4], FromHex("00D60000020000"));
    EXPECT_EQ(card.commands[5].size(), 5u + 0x34);
    EXPECT_EQ(card.commands[5][3], 0x02);
    EXPECT_EQ(Bytes(card.commands[6].begin(), card.commands[6].begin() + 5), FromHex("00D600360A"));
    EXPECT_EQ(card.commands[7], FromHex("00D6000002003E"));
    ReadFlow read;
    card.commands.clear();
    card.Run(read);
    EXPECT_EQ(read.Message(), large);
    // The largest message fits; one byte more is refused before any write.
    WriteFlow full(Bytes(62, 1));
    EXPECT_NO_THROW(card.Run(full));
    WriteFlow tooLarge(Bytes(63, 1));
    card.commands.clear();
    EXPECT_THROW(card.Run(tooLarge), NdefError);
    EXPECT_TRUE(std::none_of(card.commands.begin(), card.commands.end(),
                             [](const Bytes& b) { return b[1] == 0xD6; }));
}

TEST(Type4Write, ReadOnlyFileIsRefusedBeforeWriting) {
    Card card{FromHex("000F 20 003B 0034 04 06 E104 0040 00 FF"), Bytes(64, 0), {}};
    WriteFlow write(FromHex("d00000"));
    try {
        card.Run(write);
        FAIL();
    } catch (const NdefError& e) {
        EXPECT_STREQ(e.what(),
                     "the NDEF file is read-only (write access 0xFF); nothing was written");
    }
    EXPECT_EQ(card.commands.size(), 3u);
}

TEST(Type4Cc, ValuesTheMappingDoesNotAllowAreRefused) {
    struct Case {
        const char* cc;
        const char* error;
    };
    const Case cases[] = {
        {"000F 20 003B 0034 04 06 E104", "holds 11 bytes; it has at least 15"},
        {"000E 20 003B 0034 04 06 E104 0040 00 00", "gives its length as 14"},
        {"000F 10 003B 0034 04 06 E104 0040 00 00", "mapping version 1.0; only 2.x is handled"},
        {"000F 30 003B 0034 06 08 E104 00000040 00 00", "mapping version 3.0"},
        {"000F 20 000E 0034 04 06 E104 0040 00 00", "gives MLe 14"},
        {"000F 20 003B 0000 04 06 E104 0040 00 00", "gives MLc 0"},
        {"000F 20 003B 0034 05 06 E104 0040 00 00", "lacks the NDEF file control TLV"},
        {"000F 20 003B 0034 04 06 E103 0040 00 00", "names E103 as the NDEF file"},
        {"000F 20 003B 0034 04 06 E104 0004 00 00", "a size of 4 bytes"},
        {"000F 20 003B 0034 04 06 E104 FFFF 00 00", "a size of 65535 bytes"},
    };
    for (const Case& c : cases) {
        try {
            ParseCapabilityContainer(FromHex(c.cc));
            ADD_FAILURE() << c.cc;
        } catch (const NdefError& e) {
            EXPECT_NE(std::string(e.what()).find(c.error), std::string::npos) << e.what();
        }
    }
    const CapabilityContainer cc = ParseCapabilityContainer(FromHex(kNfcpyCc));
    EXPECT_EQ(cc.maxResponse, 0x3Bu);
    EXPECT_EQ(cc.maxCommand, 0x34u);
    EXPECT_EQ(cc.fileId, 0xE104);
    EXPECT_EQ(cc.Capacity(), 62u);
}

TEST(Type4Read, RefusalsNameTheStepAndTheStatusWord) {
    struct Case {
        std::size_t step;  // the answer that fails
        const char* answer;
        const char* error;
    };
    const Case cases[] = {
        {0, "6A82",
         "selecting the NDEF application: the card answered 6A82 (file or application not found)"},
        {1, "6982", "selecting the capability container file E103: the card answered 6982"},
        {2, "90", "has no status word"},
        {2, "000F 20 003B 0034 04 06 E104 0040 80 00 9000",
         "denies reading the NDEF file (read access 0x80)"},
        {4, "0041 9000", "message length (NLEN) of 65 bytes; the file holds at most 62"},
        {4, "00 9000", "NLEN takes 2"},
        {4, "6B00", "reading the NDEF file: the card answered 6B00 (offset outside the file)"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.error);
        ReadFlow flow;
        const Bytes normal[] = {FromHex("9000"), FromHex("9000"), Ok(FromHex(kNfcpyCc)),
                                FromHex("9000")};
        try {
            for (std::size_t i = 0; i < c.step; ++i) {
                ASSERT_TRUE(flow.Next());
                flow.Answer(normal[i]);
            }
            ASSERT_TRUE(flow.Next());
            flow.Answer(FromHex(c.answer));
            ADD_FAILURE() << "accepted";
        } catch (const NdefError& e) {
            EXPECT_NE(std::string(e.what()).find(c.error), std::string::npos) << e.what();
        }
    }
}

}  // namespace
}  // namespace zelvorn::ndef::type4
