// The processor card's file-system application, APDU by APDU.
#include "virtual/cards/file_system.h"

#include <gtest/gtest.h>

#include "virtual/scenario.h"

namespace zelvorn::virt::testing {
namespace {

Bytes Sw(std::uint16_t sw) {
    return {static_cast<std::uint8_t>(sw >> 8), static_cast<std::uint8_t>(sw)};
}

class FileSystemTest : public ::testing::Test {
protected:
    FileSystemTest()
        : app(FileNode::Df(
              0x3F00, {},
              {FileNode::Ef(0x2F00, {1, 2, 3}),
               FileNode::Df(0x5000, {0xA0, 0x00, 0x00, 0x05, 0x01},
                            {FileNode::Ef(0x5001, Bytes(1000, 0x00)),
                             FileNode::Df(0x5100, {}, {FileNode::Ef(0x5101, {9})})})})) {}

    Bytes Send(const Bytes& apdu) { return app.Process(apdu.data(), apdu.size()); }
    Bytes SelectFid(std::uint16_t fid) {
        return Send({0x00, 0xA4, 0x00, 0x0C, 0x02, static_cast<std::uint8_t>(fid >> 8),
                     static_cast<std::uint8_t>(fid)});
    }

    FileSystemApp app;
};

TEST_F(FileSystemTest, SelectByNameReturnsTheFci) {
    EXPECT_EQ(Send({0x00, 0xA4, 0x04, 0x00, 0x05, 0xA0, 0x00, 0x00, 0x05, 0x01, 0x00}),
              (Bytes{0x6F, 0x0E, 0x82, 0x01, 0x38, 0x83, 0x02, 0x50, 0x00, 0x84, 0x05, 0xA0, 0x00,
                     0x00, 0x05, 0x01, 0x90, 0x00}));
    EXPECT_EQ(Send({0x00, 0xA4, 0x04, 0x00, 0x05, 0xA0, 0x00, 0x00, 0x05, 0x02}),
              Sw(card_sw::kFileNotFound));
    EXPECT_EQ(Send({0x00, 0xA4, 0x04, 0x00, 0x04, 0xA0, 0x00, 0x00, 0x05}),
              Sw(card_sw::kFileNotFound));
}

TEST_F(FileSystemTest, SelectByIdentifierWalksTheTree) {
    EXPECT_EQ(SelectFid(0x5001), Sw(card_sw::kFileNotFound));  // not a child of the master file
    EXPECT_EQ(SelectFid(0x5000), Sw(card_sw::kOk));
    EXPECT_EQ(Send({0x00, 0xA4, 0x00, 0x04, 0x02, 0x50, 0x01}),
              (Bytes{0x62, 0x0B, 0x82, 0x01, 0x01, 0x83, 0x02, 0x50, 0x01, 0x80, 0x02, 0x03, 0xE8,
                     0x90, 0x00}));
    EXPECT_EQ(SelectFid(0x5100), Sw(card_sw::kOk));
    EXPECT_EQ(SelectFid(0x5000), Sw(card_sw::kOk));  // the parent
    EXPECT_EQ(SelectFid(0x3F00), Sw(card_sw::kOk));
    EXPECT_EQ(SelectFid(0x2F00), Sw(card_sw::kOk));
    EXPECT_EQ(Send({0x00, 0xA4, 0x08, 0x0C, 0x02, 0x2F, 0x00}), Sw(card_sw::kWrongP1P2));
    EXPECT_EQ(Send({0x00, 0xA4, 0x00, 0x0C, 0x01, 0x2F}), Sw(card_sw::kWrongLength));
}

TEST_F(FileSystemTest, ReadAndUpdateBinaryWithShortAndExtendedLengths) {
    ASSERT_EQ(SelectFid(0x5000), Sw(card_sw::kOk));
    ASSERT_EQ(SelectFid(0x5001), Sw(card_sw::kOk));
    Bytes update{0x00, 0xD6, 0x00, 0x05, 0x00, 0x03, 0xE3};  // extended Lc 995 at offset 5
    for (int i = 0; i < 995; ++i) update.push_back(static_cast<std::uint8_t>(i + 1));
    EXPECT_EQ(Send(update), Sw(card_sw::kOk));
    const Bytes all = Send({0x00, 0xB0, 0x00, 0x00, 0x00, 0x03, 0xE8});  // extended Le 1000
    ASSERT_EQ(all.size(), 1002u);
    EXPECT_EQ(all[4], 0);
    EXPECT_EQ(all[5], 1);
    EXPECT_EQ(all[999], static_cast<std::uint8_t>(995));
    EXPECT_EQ(Bytes(all.end() - 2, all.end()), Sw(card_sw::kOk));
    EXPECT_EQ(Send({0x00, 0xB0, 0x03, 0xE6, 0x05}),
              (Bytes{0xE2, 0xE3, 0x62, 0x82}));  // short read at the end
    EXPECT_EQ(Send({0x00, 0xB0, 0x03, 0xE9, 0x01}), Sw(card_sw::kOffsetOutside));
    EXPECT_EQ(Send({0x00, 0xD6, 0x03, 0xE7, 0x02, 1, 2}), Sw(card_sw::kNotEnoughMemory));
    EXPECT_EQ(Send({0x00, 0xB0, 0x80, 0x00, 0x01}), Sw(card_sw::kFunctionNotSupported));
}

TEST_F(FileSystemTest, CommandsNeedACurrentTransparentFile) {
    EXPECT_EQ(Send({0x00, 0xB0, 0x00, 0x00, 0x01}), Sw(card_sw::kNotAllowed));
    ASSERT_EQ(SelectFid(0x5000), Sw(card_sw::kOk));
    EXPECT_EQ(Send({0x00, 0xD6, 0x00, 0x00, 0x01, 0x00}), Sw(card_sw::kNotAllowed));
}

TEST_F(FileSystemTest, GetChallengeIsRepeatableAndVaried) {
    const Bytes first = Send({0x00, 0x84, 0x00, 0x00, 0x08});
    ASSERT_EQ(first.size(), 10u);
    EXPECT_EQ(Bytes(first.end() - 2, first.end()), Sw(card_sw::kOk));
    EXPECT_NE(Send({0x00, 0x84, 0x00, 0x00, 0x08}), first);
    FileSystemApp again(FileNode::Df(0x3F00));
    const Bytes apdu{0x00, 0x84, 0x00, 0x00, 0x08};
    EXPECT_EQ(again.Process(apdu.data(), apdu.size()), first);
    EXPECT_EQ(Send({0x00, 0x84, 0x00, 0x00, 0x00}).size(), 258u);
    EXPECT_EQ(Send({0x00, 0x84, 0x01, 0x00, 0x08}), Sw(card_sw::kWrongP1P2));
}

TEST_F(FileSystemTest, MalformedAndUnknownCommands) {
    EXPECT_EQ(Send({0x00}), Sw(card_sw::kWrongLength));
    EXPECT_EQ(Send({0x00, 0xB0, 0x00}), Sw(card_sw::kWrongLength));
    EXPECT_EQ(Send({0x00, 0xA4, 0x00, 0x0C, 0x02, 0x2F}),
              Sw(card_sw::kWrongLength));  // Lc says more
    EXPECT_EQ(Send({0x00, 0xB0, 0x00, 0x00, 0x00, 0x00}),
              Sw(card_sw::kWrongLength));  // extended, no Le
    EXPECT_EQ(Send({0x80, 0xB0, 0x00, 0x00, 0x01}), Sw(card_sw::kClaNotSupported));
    EXPECT_EQ(Send({0x00, 0xCA, 0x00, 0x00, 0x01}), Sw(card_sw::kInsNotSupported));
}

}  // namespace
}  // namespace zelvorn::virt::testing
