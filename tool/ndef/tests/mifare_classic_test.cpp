// NDEF on MIFARE Classic: the MAD and its CRC, the layout a format writes
// compared byte for byte with what other tools write, and format -> write ->
// read on images of every card size.
#include <algorithm>
#include <functional>
#include <string>

#include <gtest/gtest.h>

#include "mifare/classic.h"
#include "tool/ndef/mifare_classic.h"

namespace zelvorn::ndef::classic {
namespace {

Bytes FromHex(std::string hex) {
    hex.erase(std::remove(hex.begin(), hex.end(), ' '), hex.end());
    Bytes out;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
        out.push_back(static_cast<std::uint8_t>(std::stoul(hex.substr(i, 2), nullptr, 16)));
    }
    return out;
}

Block BlockFromHex(const std::string& hex) {
    const Bytes b = FromHex(hex);
    Block out{};
    std::copy(b.begin(), b.end(), out.begin());
    return out;
}

// A card's memory: blocks of zeros, trailers in the transport configuration.
struct Card {
    std::vector<Block> blocks;

    explicit Card(int sectorCount) {
        blocks.resize(static_cast<std::size_t>(mifare::BlockCountFor(sectorCount)));
        for (int s = 0; s < sectorCount; ++s) {
            Block& t = blocks[static_cast<std::size_t>(mifare::TrailerOf(s))];
            t = Trailer(kTransportKey, {0xFF, 0x07, 0x80}, 0x69, kTransportKey);
        }
    }
    void Apply(const std::vector<BlockWrite>& plan) {
        for (const BlockWrite& w : plan) blocks.at(static_cast<std::size_t>(w.block)) = w.data;
    }
    ndef::Bytes Range(int block, int count) const {
        ndef::Bytes out;
        for (int b = block; b < block + count; ++b) {
            out.insert(out.end(), blocks[static_cast<std::size_t>(b)].begin(),
                       blocks[static_cast<std::size_t>(b)].end());
        }
        return out;
    }
    Mad ReadMad() const {
        const std::uint8_t gpb = blocks[3][9];
        return ParseMad(Range(1, 2), gpb, HasMad2(gpb) ? Range(64, 3) : ndef::Bytes{});
    }
    ndef::Bytes Area(const std::vector<int>& ndefSectors) const {
        ndef::Bytes out;
        for (int b : DataBlocks(ndefSectors)) {
            out.insert(out.end(), blocks[static_cast<std::size_t>(b)].begin(),
                       blocks[static_cast<std::size_t>(b)].end());
        }
        return out;
    }
};

TEST(MifareMad, CrcOfPublishedDirectories) {
    struct Case {
        const char* source;
        const char* infoAndAids;  // bytes 1.. of the directory
        std::uint8_t crc;
    };
    const std::string ndef15 = "01" + [] {
        std::string s;
        for (int i = 0; i < 15; ++i) s += "03E1";
        return s;
    }();
    const std::string emptyMad2(94, '0');
    const std::string ndef23 = "01" + [] {
        std::string s;
        for (int i = 0; i < 23; ++i) s += "03E1";
        return s;
    }();
    const Case cases[] = {
        // libfreefare test/test_mad.c, test_mad_crc8_doc_example (the MAD
        // application note's example directory).
        {"AN10787 example",
         "01 0108 0108 0108 0000 0000 0000 0400 0310 0310 0210 0210 0000 0000 0000 1130", 0x89},
        // libfreefare test/test_mad.c, test_mad_crc8_real_example_1 and _2:
        // five and six NDEF sectors read from cards.
        {"five NDEF sectors",
         "01 03E1 03E1 03E1 03E1 03E1 0000 0000 0000 0000 0000 0000 0000 0000 0000 0000", 0xC4},
        {"six NDEF sectors",
         "01 03E1 03E1 03E1 03E1 03E1 03E1 0000 0000 0000 0000 0000 0000 0000 0000 0000", 0xAB},
        // libfreefare test/test_mifare_classic_mad.c: the empty MAD1 and MAD2.
        {"empty MAD1",
         "00 0000 0000 0000 0000 0000 0000 0000 0000 0000 0000 0000 0000 0000 0000 0000", 0xCE},
        {"empty MAD2", emptyMad2.c_str(), 0x16},
        // NXP's NDEF formatting for MIFARE Classic (libnfc-nxp
        // phFriNfc_MifStdFormat.c, phFriNfc_MfStd_H_StrNdefData): CRC 14 for
        // sector 0, E8 for sector 16, every sector NDEF.
        {"NXP full MAD1", ndef15.c_str(), 0x14},
        {"NXP full MAD2", ndef23.c_str(), 0xE8},
    };
    for (const Case& c : cases) EXPECT_EQ(MadCrc(FromHex(c.infoAndAids)), c.crc) << c.source;
}

// proxmark3 client/src/cmdhfmf.c, CmdHFMFNDEFFormat: the blocks it writes to
// a 1K card (firstblocks), its MAD key B 89ECA97F8C2A and key B FFFFFFFFFFFF
// for the NDEF sectors. Our format with the same keys gives the same card.
TEST(MifareFormat, OneKMatchesProxmark3ByteForByte) {
    Card ours(16);
    ours.Apply(FormatPlan(16, {{0x89, 0xEC, 0xA9, 0x7F, 0x8C, 0x2A}, kTransportKey}));
    EXPECT_EQ(ours.blocks[1], BlockFromHex("14 01 03E1 03E1 03E1 03E1 03E1 03E1 03E1"));
    EXPECT_EQ(ours.blocks[2], BlockFromHex("03E1 03E1 03E1 03E1 03E1 03E1 03E1 03E1"));
    EXPECT_EQ(ours.blocks[3], BlockFromHex("A0A1A2A3A4A5 787788 C1 89ECA97F8C2A"));
    EXPECT_EQ(ours.blocks[4], BlockFromHex("03 00 FE 00 0000000000000000000000 00"));
    for (int s = 1; s < 16; ++s) {
        EXPECT_EQ(ours.blocks[static_cast<std::size_t>(mifare::TrailerOf(s))],
                  BlockFromHex("D3F7D3F7D3F7 7F0788 40 FFFFFFFFFFFF"))
            << s;
    }
}

// NXP's formatting (phFriNfc_MifStdFormat.h): MAD trailer A0A1A2A3A4A5
// 787788 with C1 on a 1K card and C2 on a 4K card, in sector 0 and 16 alike;
// NDEF trailers D3F7D3F7D3F7 7F0788 40; the secret key B the caller's (the
// Android stack passes MifareClassic.KEY_DEFAULT, FFFFFFFFFFFF); sector 16's
// directory CRC E8 with info byte 01; the empty NDEF TLV 03 00 FE.
TEST(MifareFormat, FourKMatchesNxpLayout) {
    Card card(40);
    const std::vector<BlockWrite> plan = FormatPlan(40);
    card.Apply(plan);
    EXPECT_EQ(card.blocks[3], BlockFromHex("A0A1A2A3A4A5 787788 C2 FFFFFFFFFFFF"));
    EXPECT_EQ(card.blocks[67], BlockFromHex("A0A1A2A3A4A5 787788 C2 FFFFFFFFFFFF"));
    EXPECT_EQ(card.blocks[64], BlockFromHex("E8 01 03E1 03E1 03E1 03E1 03E1 03E1 03E1"));
    EXPECT_EQ(card.blocks[66], BlockFromHex("03E1 03E1 03E1 03E1 03E1 03E1 03E1 03E1"));
    EXPECT_EQ(card.blocks[1], BlockFromHex("14 01 03E1 03E1 03E1 03E1 03E1 03E1 03E1"));
    EXPECT_EQ(card.blocks[255], BlockFromHex("D3F7D3F7D3F7 7F0788 40 FFFFFFFFFFFF"));
    // A data block before the trailer of its sector, one login per sector.
    std::vector<int> trailersSeen;
    for (const BlockWrite& w : plan) {
        const int sector = mifare::SectorOf(w.block);
        EXPECT_EQ(std::count(trailersSeen.begin(), trailersSeen.end(), sector), 0) << w.block;
        if (mifare::IsTrailer(w.block)) trailersSeen.push_back(sector);
    }
    EXPECT_EQ(trailersSeen.size(), 40u);
}

TEST(MifareFormat, CardsWithoutSomeSectorsMarkThemNotApplicable) {
    Card mini(5);
    mini.Apply(FormatPlan(5));
    const Mad mad = mini.ReadMad();
    EXPECT_EQ(NdefSectors(mad, 5), (std::vector<int>{1, 2, 3, 4}));
    EXPECT_EQ(mad.aids[5], kNotApplicableAid);
    EXPECT_EQ(mad.aids[15], kNotApplicableAid);
    Card twoK(32);
    twoK.Apply(FormatPlan(32));
    EXPECT_EQ(twoK.ReadMad().aids[32], kNotApplicableAid);
    EXPECT_EQ(NdefSectors(twoK.ReadMad(), 32).back(), 31);
    EXPECT_THROW(FormatPlan(17), NdefError);
}

// Format, then messages of every interesting size written and read back; one
// byte more than the card holds is refused before anything is written.
TEST(MifareRoundTrip, EverySizeOnEveryCard) {
    struct Size {
        int sectors;
        std::size_t capacity;
    };
    // 48 bytes per small sector, 240 per large one, less the TLV header.
    for (const Size& size : {Size{5, 190}, Size{16, 716}, Size{32, 1436}, Size{40, 3356}}) {
        Card card(size.sectors);
        card.Apply(FormatPlan(size.sectors));
        const std::vector<int> sectors = NdefSectors(card.ReadMad(), size.sectors);
        EXPECT_EQ(Capacity(sectors), size.capacity);
        const TlvScan empty = ScanArea(sectors, card.Area(sectors));
        EXPECT_EQ(empty.status, TlvScan::Status::kMessage);
        EXPECT_TRUE(empty.message.empty());
        for (std::size_t n : {std::size_t{0}, std::size_t{1}, std::size_t{254}, std::size_t{255},
                              std::size_t{256}, size.capacity}) {
            if (n > size.capacity) continue;
            SCOPED_TRACE(std::to_string(size.sectors) + " sectors, " + std::to_string(n) +
                         " bytes");
            Bytes message(n);
            for (std::size_t i = 0; i < n; ++i) message[i] = static_cast<std::uint8_t>(i * 7 + 1);
            const TlvScan before = ScanArea(sectors, card.Area(sectors));
            card.Apply(WritePlan(sectors, message, card.Area(sectors), before.ndefAt));
            const TlvScan after = ScanArea(sectors, card.Area(sectors));
            ASSERT_EQ(after.status, TlvScan::Status::kMessage);
            EXPECT_EQ(after.message, message);
        }
        const Bytes area = card.Area(sectors);
        EXPECT_THROW(WritePlan(sectors, Bytes(size.capacity + 1), area), NdefError);
    }
}

TEST(MifareWrite, LengthIsWrittenLastAndTornWritesLeaveAnEmptyMessage) {
    const std::vector<int> sectors{1, 2};
    const Bytes message(40, 0xAB);
    const std::vector<BlockWrite> plan = WritePlan(sectors, message, {});
    ASSERT_EQ(plan.size(), 4u);  // block 4 emptied, 5, 6, block 4 with its length
    EXPECT_EQ(plan.front().block, 4);
    EXPECT_EQ(plan.back().block, 4);
    EXPECT_EQ(plan.front().data[1], 0x00);
    EXPECT_EQ(plan.back().data[1], 40);
    // Whatever prefix of the plan reaches the card, a reader sees the old
    // message or an empty one or the new one.
    for (std::size_t done = 0; done <= plan.size(); ++done) {
        Card card(16);
        card.Apply(FormatPlan(16));
        card.Apply(std::vector<BlockWrite>(plan.begin(),
                                           plan.begin() + static_cast<std::ptrdiff_t>(done)));
        const TlvScan scan = ScanArea(sectors, card.Area(sectors));
        ASSERT_EQ(scan.status, TlvScan::Status::kMessage);
        EXPECT_TRUE(scan.message.empty() || scan.message == message) << done;
    }
    // A message that fits block 4 is a single write.
    EXPECT_EQ(WritePlan(sectors, Bytes(13), {}).size(), 1u);
}

TEST(MifareWrite, BytesPastTheTerminatorKeepTheirValue) {
    const std::vector<int> sectors{1};
    Bytes current(48, 0x77);
    const std::vector<BlockWrite> plan = WritePlan(sectors, FromHex("D00000"), current);
    ASSERT_EQ(plan.size(), 1u);
    EXPECT_EQ(plan[0].data, BlockFromHex("03 03 D00000 FE 77777777777777777777"));
    // Beyond what was read they are 0.
    EXPECT_EQ(WritePlan(sectors, FromHex("D00000"), {})[0].data, BlockFromHex("0303D00000FE"));
}

// libfreefare's mifare-classic-write-ndef lays a card out its own way: MAD
// info byte 00, trailer access bytes 79 67 88 (block 0 in condition 000),
// only the sectors the message needs, key B D3F7D3F7D3F7. We read it.
TEST(MifareRead, ReadsWhatLibfreefareWrites) {
    Card card(16);
    Bytes mad(32, 0);
    mad[2] = 0x03, mad[3] = 0xE1;  // sector 1
    mad[0] = MadCrc(std::span<const std::uint8_t>(mad).subspan(1));
    std::copy_n(mad.begin(), 16, card.blocks[1].begin());
    std::copy_n(mad.begin() + 16, 16, card.blocks[2].begin());
    card.blocks[3] = Trailer(kMadKeyA, {0x79, 0x67, 0x88}, 0xC1, kNdefKeyA);
    card.blocks[7] = Trailer(kNdefKeyA, kNdefAccess, kNdefGpb, kNdefKeyA);
    // libfreefare examples/mifare-classic-write-ndef.c, ndef_default_msg, in
    // the TLV its tlv_encode() builds: 03, the length, the message, FE.
    const Bytes message =
        FromHex("d1021c5370910109540265 6e4c69626e6663 51010b55036c69626e66632e6f7267");
    Bytes tlv{0x03, static_cast<std::uint8_t>(message.size())};
    tlv.insert(tlv.end(), message.begin(), message.end());
    tlv.push_back(0xFE);
    for (std::size_t i = 0; i < tlv.size(); ++i) card.blocks[4 + i / 16][i % 16] = tlv[i];
    const std::vector<int> sectors = NdefSectors(card.ReadMad(), 16);
    EXPECT_EQ(sectors, std::vector<int>{1});
    const TlvScan scan = ScanArea(sectors, card.Area(sectors));
    ASSERT_EQ(scan.status, TlvScan::Status::kMessage);
    EXPECT_EQ(scan.message, message);
    EXPECT_NO_THROW(CheckSectorWritable(1, card.blocks[7]));
}

TEST(MifareRead, ScanAsksForTheBlocksItNeeds) {
    const std::vector<int> sectors{1, 2, 3};
    Bytes area(144, 0);
    area[0] = 0x03, area[1] = 60;  // the message ends at byte 62
    TlvScan scan = ScanArea(sectors, std::span(area).first(16));
    EXPECT_EQ(scan.status, TlvScan::Status::kNeedMore);
    EXPECT_EQ(scan.needBytes, 62u);
    scan = ScanArea(sectors, std::span(area).first(64));
    EXPECT_EQ(scan.status, TlvScan::Status::kMessage);
    EXPECT_EQ(scan.message.size(), 60u);
    area[1] = 200;  // past the three sectors' 144 bytes
    EXPECT_THROW(ScanArea(sectors, area), NdefError);
}

TEST(MifareMad, CardsThatAreNotNdefCardsSayWhatToDo) {
    struct Case {
        const char* name;
        std::function<void(Card&)> change;
        const char* error;
    };
    const Case cases[] = {
        {"transport card", [](Card&) {}, "not formatted for NDEF"},
        {"broken CRC", [](Card& c) { c.blocks[1][0] ^= 1; },
         "fails its CRC (stored 0x15, computed 0x14)"},
        {"MAD version 3", [](Card& c) { c.blocks[3][9] = 0xC3; }, "names MAD version 3"},
        {"other applications",
         [](Card& c) {
             for (int s = 1; s < 16; ++s) {
                 const int at = 2 * s;  // the AID of sector s, low byte first
                 c.blocks[1 + at / 16][at % 16] = 0x48;
                 c.blocks[1 + (at + 1) / 16][(at + 1) % 16] = 0x04;
             }
             const Bytes mad = c.Range(1, 2);
             c.blocks[1][0] = MadCrc(std::span(mad).subspan(1));
         },
         "lists no NDEF sector (application ID E103); it lists 0x0448 (15 sectors)"},
    };
    for (const Case& c : cases) {
        Card card(16);
        if (std::string(c.name) != "transport card") card.Apply(FormatPlan(16));
        c.change(card);
        try {
            NdefSectors(card.ReadMad(), 16);
            ADD_FAILURE() << c.name;
        } catch (const NdefError& e) {
            EXPECT_NE(std::string(e.what()).find(c.error), std::string::npos) << e.what();
        }
    }
}

TEST(MifareAccess, ReadOnlySectorsAreRefusedForWriting) {
    EXPECT_NO_THROW(
        CheckSectorWritable(1, Trailer(kNdefKeyA, kNdefAccess, kNdefGpb, kTransportKey)));
    struct Case {
        std::array<std::uint8_t, 3> access;
        std::uint8_t gpb;
        const char* error;
    };
    const Case cases[] = {
        {kNdefReadOnlyAccess, kNdefReadOnlyGpb, "grants no write access"},
        {kNdefReadOnlyAccess, kNdefGpb, "do not let key A write"},
        {{0x7F, 0x07, 0x89}, kNdefGpb, "do not match their inverted copy"},
    };
    for (const Case& c : cases) {
        try {
            CheckSectorWritable(2, Trailer(kNdefKeyA, c.access, c.gpb, kTransportKey));
            ADD_FAILURE() << c.error;
        } catch (const NdefError& e) {
            EXPECT_NE(std::string(e.what()).find(c.error), std::string::npos) << e.what();
        }
    }
}

}  // namespace
}  // namespace zelvorn::ndef::classic
