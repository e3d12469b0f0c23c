// NDEF on Type 2 tags: capability containers, TLV areas with reserved and
// lock bytes (memory images and command sequences from nfcpy's tests), lock
// bits, and format -> write -> read on every product.
#include <algorithm>
#include <string>

#include <gtest/gtest.h>

#include "mifare/type2.h"
#include "tool/ndef/type2.h"

namespace zelvorn::ndef::type2 {
namespace {

Bytes FromHex(std::string hex) {
    hex.erase(std::remove(hex.begin(), hex.end(), ' '), hex.end());
    Bytes out;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
        out.push_back(static_cast<std::uint8_t>(std::stoul(hex.substr(i, 2), nullptr, 16)));
    }
    return out;
}

std::vector<PageWrite> Pages(std::initializer_list<const char*> commands) {
    // "a2 PP D0D1D2D3", the WRITE commands of nfcpy's tests
    std::vector<PageWrite> out;
    for (const char* c : commands) {
        const Bytes b = FromHex(c);
        out.push_back({b[1], {b[2], b[3], b[4], b[5]}});
    }
    return out;
}

void Apply(Bytes& image, const std::vector<PageWrite>& plan) {
    for (const PageWrite& w : plan) {
        std::copy(w.data.begin(), w.data.end(),
                  image.begin() + static_cast<std::ptrdiff_t>(w.page * 4));
    }
}

// A blank tag of a product: serial number and lock bytes zero, page 3 blank.
Bytes Blank(const Product& p) {
    return Bytes(p.pages * kPageSize, 0);
}

// nfcpy tests/test_tag_tt2.py, test_read_with_all_tlv_types: a Lock Control
// TLV (16 lock bits at byte 48), a Memory Control TLV (4 bytes at byte 28)
// and the NDEF TLV running around both; the tag is read-only (access 0F).
TEST(Type2Read, AllTlvTypesFromNfcpy) {
    const Bytes image = FromHex(
        "01020304 05060708 00000000 E110060f"
        "000103c0 10220203 70040200 ffffffff"
        "0313d500 10000102 03040506 0708090a"
        "ffff0b0c 0d0e0f00 fe000000 00000000");
    const TlvScan scan = Read(image);
    ASSERT_EQ(scan.status, TlvScan::Status::kMessage);
    EXPECT_EQ(scan.message, FromHex("d50010000102030405060708090a0b0c0d0e0f"));
    EXPECT_EQ(scan.reserved, (std::vector<Area>{{28, 32}, {48, 50}}));
    EXPECT_EQ(scan.locks, (std::vector<LockControl>{{48, 16, 4}}));
    try {
        WritePlan(image, FromHex("d00000"));
        FAIL();
    } catch (const NdefError& e) {
        EXPECT_STREQ(e.what(),
                     "the tag is read-only: its capability container's access byte is 0x0F");
    }
}

// nfcpy tests/test_tag_tt2.py, test_write_with_all_tlv_types: the pages and
// their order are the WRITE commands nfcpy sends.
TEST(Type2Write, AllTlvTypesMatchNfcpysCommands) {
    const Bytes image = FromHex(
        "01020304 05060708 00000000 E1100600"
        "000103c0 10220203 e0040200 fd020000"
        "0313d500 10000102 03040506 0708090a"
        "ffff0b0c 0d0e0ffe ffffffff 00000000");
    EXPECT_EQ(Read(image).message, FromHex("d50010000102030405060708090a0b0c0d0e0f"));
    EXPECT_EQ(WritePlan(image, FromHex("d500110102030405060708090a0b0c0d0e0f1011")),
              Pages({"a2 08 0300d500", "a2 09 11010203", "a2 0a 04050607", "a2 0b 08090a0b",
                     "a2 0c ffff0c0d", "a2 0d 0e0f1011", "a2 0f fe000000", "a2 08 0314d500"}));
}

// nfcpy tests/test_tag_tt2.py, test_write_without_terminator: a message that
// fills the data area leaves no room for the terminator.
TEST(Type2Write, FullAreaWithoutTerminatorMatchesNfcpy) {
    const Bytes image = FromHex("01020304 05060708 00000000 E1100100 0305d500 023132fe");
    EXPECT_EQ(Capacity(image), 6u);
    EXPECT_EQ(WritePlan(image, FromHex("d50003313233")),
              Pages({"a2 04 0300d500", "a2 05 03313233", "a2 04 0306d500"}));
    EXPECT_THROW(WritePlan(image, FromHex("d5000431323334")), NdefError);
    // One byte of room left: the terminator takes it.
    EXPECT_EQ(WritePlan(image, FromHex("d500023132")),
              Pages({"a2 04 0300d500", "a2 05 023132fe", "a2 04 0305d500"}));
}

// nfcpy tests/test_tag_tt2.py, test_read_invalid_lock_rsvd_tlv: control TLVs
// of the wrong length reserve nothing and are stepped over.
TEST(Type2Read, ControlTlvsOfTheWrongLengthAreSkipped) {
    const Bytes image =
        FromHex("01020304 05060708 00000000 E1100200 0104ffff ffff0202 ffff0303 d00000fe");
    const TlvScan scan = Read(image);
    ASSERT_EQ(scan.status, TlvScan::Status::kMessage);
    EXPECT_EQ(scan.message, FromHex("d00000"));
    EXPECT_TRUE(scan.reserved.empty());
}

TEST(Type2Products, CapabilityContainersAndFactoryTlvs) {
    struct Case {
        const char* name;
        const char* version;  // GET_VERSION, as nfcpy's VERSION_MAP has it
        const char* cc;       // page 3 after format
        const char* page4;
        const char* page5;  // empty: not written
        std::size_t capacity;
    };
    const Case cases[] = {
        {"MIFARE Ultralight", "", "E1100600", "0300FE00", "", 46},
        {"MIFARE Ultralight EV1 MF0UL11", "0004030101000B03", "E1100600", "0300FE00", "", 46},
        {"MIFARE Ultralight EV1 MF0UL21", "0004030101000E03", "E1101000", "0300FE00", "", 126},
        {"NTAG210", "0004040101000B03", "E1100600", "0300FE00", "", 46},
        // nfcpy's NTAG212 and NTAG213 factory TLVs: a Lock Control TLV first.
        {"NTAG212", "0004040101000E03", "E1101000", "0103900A", "340300FE", 121},
        {"NTAG213", "0004040201000F03", "E1101200", "0103A00C", "340300FE", 137},
        {"NTAG215", "0004040201001103", "E1103E00", "0300FE00", "", 492},
        {"NTAG216", "0004040201001303", "E1106D00", "0300FE00", "", 868},
    };
    ASSERT_EQ(Products().size(), std::size(cases));
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const Product* p = ProductByName(c.name);
        ASSERT_NE(p, nullptr);
        if (*c.version) {
            EXPECT_EQ(ProductByVersion(FromHex(c.version)), p);
        }
        EXPECT_LE(p->ccSize * 8u, p->userBytes);
        Bytes image = Blank(*p);
        const std::vector<PageWrite> plan = FormatPlan(*p, image);
        ASSERT_GE(plan.size(), 2u);
        EXPECT_EQ(plan[0].page, 3u);
        EXPECT_EQ(Bytes(plan[0].data.begin(), plan[0].data.end()), FromHex(c.cc));
        EXPECT_EQ(Bytes(plan[1].data.begin(), plan[1].data.end()), FromHex(c.page4));
        EXPECT_EQ(plan.size(), *c.page5 ? 3u : 2u);
        if (*c.page5) {
            EXPECT_EQ(Bytes(plan[2].data.begin(), plan[2].data.end()), FromHex(c.page5));
        }
        Apply(image, plan);
        EXPECT_EQ(Capacity(image), c.capacity);
        const TlvScan empty = Read(image);
        EXPECT_EQ(empty.status, TlvScan::Status::kMessage);
        EXPECT_TRUE(empty.message.empty());
        // Formatting a formatted tag again rewrites the TLVs only.
        EXPECT_EQ(FormatPlan(*p, image).size(), plan.size() - 1);
    }
    EXPECT_EQ(ProductByVersion(FromHex("0004040201001503")), nullptr);
}

TEST(Type2Format, PageThreeIsWrittenOnlyWhenBlank) {
    const Product& ntag215 = *ProductByName("NTAG215");
    Bytes image = Blank(ntag215);
    image[12] = 0xE1, image[13] = 0x10, image[14] = 0x12;  // an NTAG213's container
    try {
        FormatPlan(ntag215, image);
        FAIL();
    } catch (const NdefError& e) {
        EXPECT_NE(std::string(e.what()).find("page 3 already holds E1 10 12 00"), std::string::npos)
            << e.what();
    }
}

TEST(Type2RoundTrip, EverySizeOnEveryProduct) {
    for (const Product& p : Products()) {
        Bytes image = Blank(p);
        Apply(image, FormatPlan(p, image));
        const std::size_t capacity = Capacity(image);
        for (std::size_t n : {std::size_t{0}, std::size_t{1}, std::size_t{254}, std::size_t{255},
                              std::size_t{256}, capacity}) {
            if (n > capacity) continue;
            SCOPED_TRACE(std::string(p.name) + ", " + std::to_string(n) + " bytes");
            Bytes message(n);
            for (std::size_t i = 0; i < n; ++i) message[i] = static_cast<std::uint8_t>(i * 13 + 5);
            const std::vector<PageWrite> plan = WritePlan(image, message);
            for (const PageWrite& w : plan) {
                EXPECT_GE(w.page, 4u);
                EXPECT_LT(w.page, 4 + p.ccSize * 2u);
            }
            Apply(image, plan);
            const TlvScan scan = Read(image);
            ASSERT_EQ(scan.status, TlvScan::Status::kMessage);
            EXPECT_EQ(scan.message, message);
        }
        const Bytes before = image;
        EXPECT_THROW(WritePlan(image, Bytes(capacity + 1)), NdefError) << p.name;
        EXPECT_EQ(image, before);
    }
}

TEST(Type2Write, TornWritesLeaveTheOldOrAnEmptyOrTheNewMessage) {
    const Product& p = *ProductByName("NTAG213");
    Bytes image = Blank(p);
    Apply(image, FormatPlan(p, image));
    const Bytes old(30, 0x11), fresh(60, 0x22);
    Apply(image, WritePlan(image, old));
    const std::vector<PageWrite> plan = WritePlan(image, fresh);
    for (std::size_t done = 0; done <= plan.size(); ++done) {
        Bytes torn = image;
        Apply(torn, std::vector<PageWrite>(plan.begin(),
                                           plan.begin() + static_cast<std::ptrdiff_t>(done)));
        const Bytes seen = Read(torn).message;
        EXPECT_TRUE(seen == old || seen.empty() || seen == fresh) << done;
        if (done > 0 && done < plan.size()) {
            EXPECT_TRUE(seen.empty()) << done;
        }
    }
}

TEST(Type2Locks, LockedPagesAreNotWritten) {
    const Product& p = *ProductByName("NTAG213");
    Bytes formatted = Blank(p);
    Apply(formatted, FormatPlan(p, formatted));
    struct Case {
        const char* name;
        std::size_t byte;
        std::uint8_t value;
        std::size_t messageBytes;
        const char* error;  // empty: writable
    };
    const Case cases[] = {
        {"capability container read-only", 15, 0x0F, 1, "access byte is 0x0F"},
        {"static lock bit of page 5", 10, 0x20, 1, "page 5 is locked by a static lock bit"},
        {"static lock bit of page 9, short message", 11, 0x02, 1, ""},
        {"static lock bit of page 9, long message", 11, 0x02, 40, "page 9 is locked"},
        // The Lock Control TLV puts 12 lock bits at byte 160, each for 8 bytes
        // from byte 64 (pages 16 and 17 for the first).
        {"dynamic lock bit of pages 16-17", 160, 0x01, 40, ""},
        {"dynamic lock bit of pages 16-17, longer message", 160, 0x01, 60,
         "page 16 is locked by a dynamic lock bit"},
        {"last dynamic lock bit", 161, 0x08, 137, "page 38 is locked by a dynamic lock bit"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Bytes image = formatted;
        image[c.byte] = c.value;
        if (*c.error == 0) {
            EXPECT_NO_THROW(WritePlan(image, Bytes(c.messageBytes, 0x41)));
            continue;
        }
        try {
            WritePlan(image, Bytes(c.messageBytes, 0x41));
            ADD_FAILURE() << "written";
        } catch (const NdefError& e) {
            EXPECT_NE(std::string(e.what()).find(c.error), std::string::npos) << e.what();
        }
    }
}

TEST(Type2Read, ShortImagesAndTagsWithoutNdef) {
    const Bytes header = FromHex("04A1B2C3 D4E5F607 08000000 E1101200");
    TlvScan scan = Read(std::span(header).first(8));
    EXPECT_EQ(scan.status, TlvScan::Status::kNeedMore);
    EXPECT_EQ(scan.needBytes, 16u);
    scan = Read(header);
    EXPECT_EQ(scan.status, TlvScan::Status::kNeedMore);
    EXPECT_EQ(scan.needBytes, 17u);
    Bytes image = header;
    const Bytes tlv = FromHex("03 0B D1010755 046E6663 7079 FE");  // 11-byte message
    image.insert(image.end(), tlv.begin(), tlv.end());
    scan = Read(std::span(image).first(20));
    EXPECT_EQ(scan.status, TlvScan::Status::kNeedMore);
    EXPECT_EQ(scan.needBytes, 29u);  // only the bytes the TLV needs
    scan = Read(std::span(image).first(29));
    ASSERT_EQ(scan.status, TlvScan::Status::kMessage);
    EXPECT_EQ(scan.message.size(), 11u);
    struct Case {
        const char* page3;
        const char* error;
    };
    const Case cases[] = {
        {"00000000", "not formatted for NDEF"},
        {"E1200600", "mapping version 2.0"},
        {"E11006F0", "denies reading"},
    };
    for (const Case& c : cases) {
        Bytes bad = image;
        const Bytes page3 = FromHex(c.page3);
        std::copy(page3.begin(), page3.end(), bad.begin() + 12);
        try {
            Read(bad);
            ADD_FAILURE() << c.page3;
        } catch (const NdefError& e) {
            EXPECT_NE(std::string(e.what()).find(c.error), std::string::npos) << e.what();
        }
    }
    image[14] = 0x01;  // a data area of 8 bytes, shorter than the NDEF TLV
    EXPECT_THROW(Read(image), NdefError);
}

// The products the virtual tag, the tool's ultralight commands and the PC/SC
// driver know (src/mifare/type2.h) are known here by the same facts: the
// NDEF layout adds only the NTAG210 and NTAG212, which nothing else emulates.
TEST(Type2Products, AgreeWithTheSharedProductTable) {
    std::size_t matched = 0;
    for (const zelvorn::type2::Product& shared : zelvorn::type2::kProducts) {
        const Product* ours = ProductByName(shared.name);
        ASSERT_NE(ours, nullptr) << shared.name;
        ++matched;
        EXPECT_EQ(ours->pages, shared.pages) << shared.name;
        EXPECT_EQ(ours->ccSize, shared.ccSize) << shared.name;
        EXPECT_EQ(ours->userBytes, shared.UserBytes()) << shared.name;
        EXPECT_EQ(ours->version.has_value(), shared.hasVersion) << shared.name;
        if (ours->version) {
            EXPECT_EQ(*ours->version, shared.version) << shared.name;
        }
    }
    EXPECT_EQ(matched + 2, Products().size());
}

}  // namespace
}  // namespace zelvorn::ndef::type2
