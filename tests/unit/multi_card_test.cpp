// Several cards and raw access: the blocks each function sends, the order of
// its argument checks, and how it reads consistent, short and inconsistent
// replies.
#include <gtest/gtest.h>

#include <functional>
#include <map>

#include "tests/support/double_fixture.h"

namespace zelvorn::testing {
namespace {

constexpr std::uint8_t kSentinel = 0xA5;

// Output buffers prefilled with a sentinel, so an untouched output is visible.
struct Outputs {
    std::uint8_t count = kSentinel;
    Bytes types = Bytes(ZELVORN_MAX_LISTED_TAGS + 1, kSentinel);
    Bytes lengths = Bytes(ZELVORN_MAX_LISTED_TAGS + 1, kSentinel);
    Bytes serials = Bytes(ZELVORN_SERIAL_FIELD * (ZELVORN_MAX_LISTED_TAGS + 1), kSentinel);
    std::uint8_t length = kSentinel;
    Bytes data = Bytes(128, kSentinel);

    bool Untouched() const {
        const Outputs fresh;
        return count == kSentinel && length == kSentinel && types == fresh.types &&
               lengths == fresh.lengths && serials == fresh.serials && data == fresh.data;
    }
};

Bytes Concat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

// A reply whose byte 4 (P) is chosen freely, whatever data follows it.
Bytes ReplyDeclaring(std::uint8_t p, const Bytes& data) {
    return ReplyFrame(Concat({Bytes{0x00, 0x00, 0x00, 0x00, p}, data}));
}

// A tag-list entry: type, length, then the 10-byte field.
Bytes Entry(std::uint8_t type, std::uint8_t length, std::uint8_t first) {
    Bytes e{type, length};
    for (std::uint8_t i = 0; i < ZELVORN_SERIAL_FIELD; ++i) {
        e.push_back(static_cast<std::uint8_t>(first + i));
    }
    return e;
}

class MultiCardTest : public DoubleTest {
protected:
    Outputs out;

    std::int16_t ListTags(bool withCount = true, bool withArrays = true) {
        return Zelvorn_ListTags(0, withCount ? &out.count : nullptr,
                                withArrays ? out.types.data() : nullptr, out.lengths.data(),
                                out.serials.data());
    }
};

// ---- Argument checks ----------------------------------------------------

TEST_F(MultiCardTest, RejectedArgumentsSendNothingAndComeInTheirOrder) {
    const Bytes serial(10, 0x11);
    const Bytes packet = Hex("20 02 AA BB");
    std::uint8_t b[128] = {};
    struct Case {
        const char* name;
        std::function<std::int16_t()> call;
        std::int16_t expected;
    };
    const std::vector<Case> cases{
        // The byte counts of three functions are tested before the handle.
        {"select bad length, bad handle",
         [&] { return Zelvorn_MultiTagSelect(25, 5, serial.data(), b, b, b); },
         ERR_INVALID_PARAMETER},
        {"select good length, bad handle",
         [&] { return Zelvorn_MultiTagSelect(25, 4, serial.data(), b, b, b); }, ERR_INVALID_HANDLE},
        {"select null serial", [&] { return Zelvorn_MultiTagSelect(0, 4, nullptr, b, b, b); },
         ERR_INVALID_PARAMETER},
        {"send 67, bad handle", [&] { return Zelvorn_DirectSend(-1, 67, b, b, b); },
         ERR_INVALID_PARAMETER},
        {"send 66, bad handle", [&] { return Zelvorn_DirectSend(-1, 66, b, b, b); },
         ERR_INVALID_HANDLE},
        {"send null packet", [&] { return Zelvorn_DirectSend(0, 4, nullptr, b, b); },
         ERR_INVALID_PARAMETER},
        {"send empty packet", [&] { return Zelvorn_DirectSend(0, 0, packet.data(), b, b); },
         ERR_INVALID_PARAMETER},
        {"send one-byte packet", [&] { return Zelvorn_DirectSend(0, 1, packet.data(), b, b); },
         ERR_INVALID_PARAMETER},
        {"send N beyond the packet", [&] { return Zelvorn_DirectSend(0, 3, packet.data(), b, b); },
         ERR_INVALID_PARAMETER},
        {"receive 65, bad handle", [&] { return Zelvorn_DirectReceive(20, 65, b, b); },
         ERR_INVALID_PARAMETER},
        {"receive 64, bad handle", [&] { return Zelvorn_DirectReceive(20, 64, b, b); },
         ERR_INVALID_HANDLE},
        // The others test the handle first.
        {"telegram too long, bad handle", [&] { return Zelvorn_TxDataTelegram(20, 200, b, b, b); },
         ERR_INVALID_HANDLE},
        {"telegram 122", [&] { return Zelvorn_TxDataTelegram(0, 122, b, b, b); },
         ERR_INVALID_PARAMETER},
        {"telegram null with length", [&] { return Zelvorn_TxDataTelegram(0, 1, nullptr, b, b); },
         ERR_INVALID_PARAMETER},
        {"list, bad handle", [&] { return Zelvorn_ListTags(-32768, nullptr, b, b, b); },
         ERR_INVALID_HANDLE},
        {"atqb null, bad handle", [&] { return Zelvorn_ReadATQB(20, nullptr); },
         ERR_INVALID_HANDLE},
        {"atqb null", [&] { return Zelvorn_ReadATQB(0, nullptr); }, ERR_INVALID_PARAMETER},
    };
    OpenReader();
    for (const Case& c : cases) {
        EXPECT_EQ(c.call(), c.expected) << c.name;
        EXPECT_TRUE(usb().controls.empty()) << c.name;
    }
    for (std::uint8_t x : b) ASSERT_EQ(x, 0);
}

TEST_F(MultiCardTest, TheReaderStatusAndTransportFailuresPassThroughWithNothingWritten) {
    struct Case {
        const char* name;
        std::function<std::int16_t(Outputs&)> call;
    };
    const Bytes serial = Hex("01 02 03 04");
    const Bytes packet = Hex("21 00");
    const std::vector<Case> cases{
        {"list",
         [](Outputs& o) {
             return Zelvorn_ListTags(0, &o.count, o.types.data(), o.lengths.data(),
                                     o.serials.data());
         }},
        {"select",
         [&](Outputs& o) {
             return Zelvorn_MultiTagSelect(0, 4, serial.data(), &o.count, &o.length,
                                           o.serials.data());
         }},
        {"telegram",
         [&](Outputs& o) {
             return Zelvorn_TxDataTelegram(0, 4, serial.data(), &o.length, o.data.data());
         }},
        {"send",
         [&](Outputs& o) {
             return Zelvorn_DirectSend(0, 2, packet.data(), &o.length, o.data.data());
         }},
        {"receive",
         [](Outputs& o) { return Zelvorn_DirectReceive(0, 3, &o.length, o.data.data()); }},
        {"atqb", [](Outputs& o) { return Zelvorn_ReadATQB(0, o.data.data()); }},
    };
    // Every reply carries data that would fill the outputs if it were read.
    const Bytes data = Concat({Bytes{1}, Entry(0x08, 4, 0x40)});
    FakeReader& r = OpenReader();
    for (const Case& c : cases) {
        Outputs o;
        r.scriptedReplies.push_back(ReaderReply(0x6A82, data));
        EXPECT_EQ(c.call(o), static_cast<std::int16_t>(0x6A82)) << c.name;
        r.scriptedReplies.push_back(ReaderReply(0x0001, data));
        EXPECT_EQ(c.call(o), 1) << c.name;
        r.scriptedReplies.push_back(ReplyFrame(ReplyPayload(0, data), {.corruptChecksum = true}));
        EXPECT_EQ(c.call(o), ERR_FAILURE) << c.name;
        r.scriptedReplies.push_back(ReplyFrame(ReplyPayload(0, data), {.transportStatus = 0x6F00}));
        EXPECT_EQ(c.call(o), 0x6F00) << c.name;
        EXPECT_TRUE(o.Untouched()) << c.name;
    }
    EXPECT_EQ(usb().controls.size(), 4 * cases.size());
}

// ---- Selecting by serial number -----------------------------------------

TEST_F(MultiCardTest, SelectSendsTheSerialNumberAndAcceptsOnlyItsThreeLengths) {
    const Bytes serial = Hex("B0 B1 B2 B3 B4 B5 B6 B7 B8 B9 BA");
    const std::map<int, Bytes> accepted{
        {4, Hex("E0 00 07 03 05 04 B0 B1 B2 B3")},
        {7, Hex("E0 00 0A 03 08 07 B0 B1 B2 B3 B4 B5 B6")},
        {10, Hex("E0 00 0D 03 0B 0A B0 B1 B2 B3 B4 B5 B6 B7 B8 B9")},
    };
    FakeReader& r = OpenReader();
    for (int length = 0; length <= 255; ++length) {
        usb().controls.clear();
        r.scriptedReplies.push_back(ReaderReply(0, {}));
        const std::int16_t result = Zelvorn_MultiTagSelect(
            0, static_cast<std::uint8_t>(length), serial.data(), nullptr, nullptr, nullptr);
        const auto it = accepted.find(length);
        if (it == accepted.end()) {
            EXPECT_EQ(result, ERR_INVALID_PARAMETER) << length;
            EXPECT_TRUE(usb().controls.empty()) << length;
            r.scriptedReplies.clear();
            continue;
        }
        EXPECT_EQ(result, RESULT_OK) << length;
        EXPECT_EQ(SentBlocks(), std::vector<Bytes>{it->second}) << length;
    }
}

TEST_F(MultiCardTest, SelectCopiesTheEntryOfAnEighteenByteReplyOnly) {
    const Bytes serial = Hex("01 02 03 04");
    const Bytes entry = Entry(0x44, 4, 0x70);  // a 4-byte serial in a full 10-byte field
    FakeReader& r = OpenReader();

    r.scriptedReplies.push_back(ReaderReply(0, Concat({Bytes{0xFF}, entry})));
    ASSERT_EQ(
        Zelvorn_MultiTagSelect(0, 4, serial.data(), &out.count, &out.length, out.serials.data()),
        RESULT_OK);
    EXPECT_EQ(out.count, 0x44);
    EXPECT_EQ(out.length, 4);
    EXPECT_EQ(Bytes(out.serials.begin(), out.serials.begin() + 10),
              Bytes(entry.begin() + 2, entry.end()));
    EXPECT_EQ(out.serials[10], kSentinel);

    // Each output is optional on its own.
    Outputs only;
    r.scriptedReplies.push_back(ReaderReply(0, Concat({Bytes{0xFF}, entry})));
    ASSERT_EQ(Zelvorn_MultiTagSelect(0, 4, serial.data(), nullptr, &only.length, nullptr),
              RESULT_OK);
    EXPECT_EQ(only.length, 4);

    for (const Bytes& data :
         {Concat({Bytes{0xFF}, entry, Bytes{0}}), Bytes(entry.begin(), entry.end()), Bytes{}}) {
        Outputs o;
        r.scriptedReplies.push_back(ReaderReply(0, data));
        EXPECT_EQ(
            Zelvorn_MultiTagSelect(0, 4, serial.data(), &o.count, &o.length, o.serials.data()),
            RESULT_OK)
            << data.size();
        EXPECT_TRUE(o.Untouched()) << data.size();
    }
}

// ---- Listing the cards --------------------------------------------------

TEST_F(MultiCardTest, ListSendsTheConstantBlockAndFillsOneEntryPerCard) {
    const Bytes first = Entry(0x08, 4, 0x10);  // the six bytes after the fourth come along too
    const Bytes second = Entry(0x18, 7, 0x20);
    FakeReader& r = OpenReader();
    r.scriptedReplies.push_back(ReaderReply(0, Concat({Bytes{2}, first, second})));

    ASSERT_EQ(ListTags(), RESULT_OK);
    EXPECT_EQ(SentBlocks(), std::vector<Bytes>{Hex("E0 00 02 03 00")});
    EXPECT_EQ(out.count, 2);
    EXPECT_EQ(out.types, Concat({Bytes{0x08, 0x18}, Bytes(8, kSentinel)}));
    EXPECT_EQ(out.lengths, Concat({Bytes{4, 7}, Bytes(8, kSentinel)}));
    EXPECT_EQ(out.serials, Concat({Bytes(first.begin() + 2, first.end()),
                                   Bytes(second.begin() + 2, second.end()), Bytes(80, kSentinel)}));
}

TEST_F(MultiCardTest, ListFillsAsManyCardsAsTheLargestReplyCarries) {
    Bytes data{ZELVORN_MAX_LISTED_TAGS};
    for (std::uint8_t i = 0; i < ZELVORN_MAX_LISTED_TAGS; ++i) {
        data = Concat({data, Entry(i, 10, static_cast<std::uint8_t>(10 * i))});
    }
    FakeReader& r = OpenReader();
    r.scriptedReplies.push_back(ReaderReply(0, data));

    ASSERT_EQ(ListTags(), RESULT_OK);
    EXPECT_EQ(out.count, ZELVORN_MAX_LISTED_TAGS);
    EXPECT_EQ(out.types[ZELVORN_MAX_LISTED_TAGS - 1], ZELVORN_MAX_LISTED_TAGS - 1);
    EXPECT_EQ(out.types[ZELVORN_MAX_LISTED_TAGS], kSentinel);
    for (std::size_t i = 0; i < ZELVORN_SERIAL_FIELD * ZELVORN_MAX_LISTED_TAGS; ++i) {
        ASSERT_EQ(out.serials[i], i) << i;
    }
    EXPECT_EQ(out.serials[ZELVORN_SERIAL_FIELD * ZELVORN_MAX_LISTED_TAGS], kSentinel);
}

TEST_F(MultiCardTest, ListChecksTheReplyBeforeThePointersAndThePointersAfterTheExchange) {
    const Bytes twoCards = Concat({Bytes{2}, Entry(1, 4, 0), Entry(2, 4, 0)});
    struct Case {
        const char* name;
        Bytes payload;  // the whole ReplyBlock
        bool withCount;
        bool withArrays;
        std::int16_t expected;
        int count;  // what tagCount holds afterwards, -1 for untouched
    };
    const std::vector<Case> cases{
        {"no card", ReplyPayload(0, {0}), true, true, RESULT_OK, 0},
        {"no card, null array", ReplyPayload(0, {0}), true, false, ERR_INVALID_PARAMETER, 0},
        {"null count", ReplyPayload(0, twoCards), false, true, ERR_INVALID_PARAMETER, -1},
        {"null array", ReplyPayload(0, twoCards), true, false, ERR_INVALID_PARAMETER, 2},
        {"five bytes, null pointers", ReplyPayload(0, {}), false, false, RESULT_OK, -1},
        {"three bytes, null pointers", Hex("00 00 00"), false, false, RESULT_OK, -1},
        {"empty, null pointers", Bytes{}, false, false, RESULT_OK, -1},
        {"two claimed, one carried", ReplyPayload(0, Concat({Bytes{2}, Entry(1, 4, 0)})), true,
         true, ERR_FAILURE, -1},
        {"two claimed, one byte short",
         ReplyPayload(0, Bytes(twoCards.begin(), twoCards.end() - 1)), false, false, ERR_FAILURE,
         -1},
        {"one claimed, none carried", ReplyPayload(0, {1}), true, true, ERR_FAILURE, -1},
        {"255 claimed", ReplyPayload(0, Concat({Bytes{0xFF}, Entry(1, 4, 0)})), true, true,
         ERR_FAILURE, -1},
        {"trailing bytes behind the entries", ReplyPayload(0, Concat({twoCards, Bytes{9, 9}})),
         true, true, RESULT_OK, 2},
    };
    FakeReader& r = OpenReader();
    for (const Case& c : cases) {
        out = Outputs{};
        usb().controls.clear();
        r.scriptedReplies.push_back(ReplyFrame(c.payload));
        EXPECT_EQ(ListTags(c.withCount, c.withArrays), c.expected) << c.name;
        EXPECT_EQ(usb().controls.size(), 1u) << c.name;
        EXPECT_EQ(out.count, c.count < 0 ? kSentinel : c.count) << c.name;
        if (c.expected != RESULT_OK || c.count == 0) {
            EXPECT_EQ(out.types, Outputs{}.types) << c.name;
            EXPECT_EQ(out.serials, Outputs{}.serials) << c.name;
        }
    }
}

// ---- Raw telegrams ------------------------------------------------------

TEST_F(MultiCardTest, TelegramTravelsUnchangedAndBringsTheCardsAnswerBack) {
    FakeReader& r = OpenReader();
    r.scriptedReplies.push_back(ReaderReply(0, Hex("C2 11 22")));
    const Bytes deselect = Hex("01 0F C2");
    ASSERT_EQ(Zelvorn_TxDataTelegram(0, 3, deselect.data(), &out.length, out.data.data()),
              RESULT_OK);
    EXPECT_EQ(SentBlocks(), std::vector<Bytes>{Hex("E0 00 05 16 03 01 0F C2")});
    EXPECT_EQ(out.length, 3);
    EXPECT_EQ(Bytes(out.data.begin(), out.data.begin() + 4), Hex("C2 11 22 A5"));

    // The longest telegram, and the longest answer a reply carries.
    usb().controls.clear();
    Bytes longest(ZELVORN_MAX_TELEGRAM);
    for (std::size_t i = 0; i < longest.size(); ++i) longest[i] = static_cast<std::uint8_t>(i);
    Bytes answer(ZELVORN_MAX_TELEGRAM_RESPONSE, 0x3C);
    r.scriptedReplies.push_back(ReaderReply(0, answer));
    ASSERT_EQ(Zelvorn_TxDataTelegram(0, ZELVORN_MAX_TELEGRAM, longest.data(), &out.length,
                                     out.data.data()),
              RESULT_OK);
    EXPECT_EQ(SentBlocks(), std::vector<Bytes>{Concat({Hex("E0 00 7B 16 79"), longest})});
    EXPECT_EQ(out.length, ZELVORN_MAX_TELEGRAM_RESPONSE);
    EXPECT_EQ(Bytes(out.data.begin(), out.data.begin() + ZELVORN_MAX_TELEGRAM_RESPONSE), answer);
    EXPECT_EQ(out.data[ZELVORN_MAX_TELEGRAM_RESPONSE], kSentinel);

    // An empty telegram needs no buffer.
    usb().controls.clear();
    r.scriptedReplies.push_back(ReaderReply(0, {}));
    ASSERT_EQ(Zelvorn_TxDataTelegram(0, 0, nullptr, nullptr, nullptr), RESULT_OK);
    EXPECT_EQ(SentBlocks(), std::vector<Bytes>{Hex("E0 00 02 16 00")});
}

TEST_F(MultiCardTest, TelegramTakesTheAnswerOnlyAsFarAsItArrived) {
    const Bytes telegram = Hex("02 0F AA BB");
    FakeReader& r = OpenReader();

    // P short of the bytes received: only P bytes are the answer.
    r.scriptedReplies.push_back(ReplyDeclaring(2, Hex("01 02 03 04")));
    ASSERT_EQ(Zelvorn_TxDataTelegram(0, 4, telegram.data(), &out.length, out.data.data()),
              RESULT_OK);
    EXPECT_EQ(out.length, 2);
    EXPECT_EQ(Bytes(out.data.begin(), out.data.begin() + 3), Hex("01 02 A5"));

    // P beyond them: corrupt, whichever output is asked for.
    for (int which = 0; which < 3; ++which) {
        Outputs o;
        r.scriptedReplies.push_back(ReplyDeclaring(5, Hex("01 02 03 04")));
        EXPECT_EQ(Zelvorn_TxDataTelegram(0, 4, telegram.data(), which != 1 ? &o.length : nullptr,
                                         which != 0 ? o.data.data() : nullptr),
                  ERR_FAILURE)
            << which;
        EXPECT_TRUE(o.Untouched()) << which;
    }
    // With no output asked for, only the transport and the reader decide.
    r.scriptedReplies.push_back(ReplyDeclaring(5, Hex("01 02 03 04")));
    EXPECT_EQ(Zelvorn_TxDataTelegram(0, 4, telegram.data(), nullptr, nullptr), RESULT_OK);
}

// ---- Direct commands ----------------------------------------------------

TEST_F(MultiCardTest, DirectPacketsAndReceiveRequestsAreSentAsBuilt) {
    Bytes full{0x42, 64};
    for (std::uint8_t i = 0; i < 64; ++i) full.push_back(static_cast<std::uint8_t>(0xC0 ^ i));
    struct Case {
        const char* name;
        std::function<std::int16_t()> call;
        Bytes block;
    };
    const Bytes reset = Hex("05 00");
    const Bytes shortN = Hex("20 01 AA BB");
    const std::vector<Case> cases{
        {"reset packet", [&] { return Zelvorn_DirectSend(0, 2, reset.data(), nullptr, nullptr); },
         Hex("E0 00 02 05 00")},
        {"66-byte packet", [&] { return Zelvorn_DirectSend(0, 66, full.data(), nullptr, nullptr); },
         Concat({Hex("E0 00 42"), full})},
        // N decides how many data bytes travel; L stays the packet length.
        {"N short of the packet",
         [&] { return Zelvorn_DirectSend(0, 4, shortN.data(), nullptr, nullptr); },
         Hex("E0 00 04 20 01 AA")},
        {"receive 0", [] { return Zelvorn_DirectReceive(0, 0, nullptr, nullptr); },
         Hex("01 00 02 00 00")},
        {"receive 3", [] { return Zelvorn_DirectReceive(0, 3, nullptr, nullptr); },
         Hex("01 00 02 00 03 00 00 00")},
        {"receive 64", [] { return Zelvorn_DirectReceive(0, 64, nullptr, nullptr); },
         Concat({Hex("01 00 02 00 40"), Bytes(64, 0)})},
    };
    FakeReader& r = OpenReader();
    for (const Case& c : cases) {
        usb().controls.clear();
        r.scriptedReplies.push_back(ReaderReply(0, {}));
        EXPECT_EQ(c.call(), RESULT_OK) << c.name;
        EXPECT_EQ(SentBlocks(), std::vector<Bytes>{c.block}) << c.name;
    }
}

// Both direct functions read their reply the same way; each case runs on both.
TEST_F(MultiCardTest, DirectRepliesAreCopiedOnlyWhenConsistentOrReceived) {
    using Call = std::function<std::int16_t(std::uint8_t*, std::uint8_t*)>;
    const Bytes packet = Hex("21 00");
    const std::vector<std::pair<const char*, Call>> functions{
        {"send", [&](std::uint8_t* l,
                     std::uint8_t* d) { return Zelvorn_DirectSend(0, 2, packet.data(), l, d); }},
        {"receive",
         [](std::uint8_t* l, std::uint8_t* d) { return Zelvorn_DirectReceive(0, 4, l, d); }},
    };
    struct Case {
        const char* name;
        Bytes reply;
        bool withLength;
        std::int16_t expected;
        int length;    // -1 for untouched
        Bytes copied;  // what lands in response, empty for untouched
    };
    const std::vector<Case> cases{
        {"consistent, with length", ReplyDeclaring(3, Hex("D1 D2 D3")), true, RESULT_OK, 3,
         Hex("D1 D2 D3")},
        {"consistent, without length", ReplyDeclaring(3, Hex("D1 D2 D3")), false, RESULT_OK, -1,
         Hex("D1 D2 D3")},
        {"longer than P, with length", ReplyDeclaring(2, Hex("D1 D2 D3")), true, RESULT_OK, 2, {}},
        {"longer than P, without length", ReplyDeclaring(2, Hex("D1 D2 D3")), false, RESULT_OK, -1,
         Hex("D1 D2")},
        {"shorter than P, with length", ReplyDeclaring(4, Hex("D1 D2 D3")), true, RESULT_OK, 4, {}},
        {"shorter than P, without length",
         ReplyDeclaring(4, Hex("D1 D2 D3")),
         false,
         ERR_FAILURE,
         -1,
         {}},
        {"no P, with length", ReplyFrame(Hex("00 00 00")), true, RESULT_OK, 0, {}},
        {"no P, without length", ReplyFrame(Hex("00 00 00")), false, RESULT_OK, -1, {}},
    };
    FakeReader& r = OpenReader();
    for (const auto& [function, call] : functions) {
        for (const Case& c : cases) {
            Outputs o;
            r.scriptedReplies.push_back(c.reply);
            EXPECT_EQ(call(c.withLength ? &o.length : nullptr, o.data.data()), c.expected)
                << function << ": " << c.name;
            EXPECT_EQ(o.length, c.length < 0 ? kSentinel : c.length) << function << ": " << c.name;
            const Bytes expected = Concat({c.copied, Bytes(8 - c.copied.size(), kSentinel)});
            EXPECT_EQ(Bytes(o.data.begin(), o.data.begin() + 8), expected)
                << function << ": " << c.name;
        }
    }
}

// ---- ATQB ---------------------------------------------------------------

TEST_F(MultiCardTest, AtqbHandsBackApplicationDataAndProtocolInfo) {
    const Bytes atqb = Hex("50 F0 F1 F2 F3 A0 A1 A2 A3 C0 C1 C2");
    struct Case {
        const char* name;
        Bytes reply;
        Bytes stored;  // the 7 output bytes afterwards
    };
    const std::vector<Case> cases{
        {"twelve bytes", ReaderReply(0, atqb), Hex("A0 A1 A2 A3 C0 C1 C2")},
        {"bytes beyond the twelfth ignored", ReaderReply(0, Concat({atqb, Hex("EE EE")})),
         Hex("A0 A1 A2 A3 C0 C1 C2")},
        {"short answer fills what it covers", ReaderReply(0, Bytes(atqb.begin(), atqb.begin() + 8)),
         Hex("A0 A1 A2 00 00 00 00")},
        {"five bytes cover nothing", ReaderReply(0, Bytes(atqb.begin(), atqb.begin() + 5)),
         Bytes(7, 0x00)},
        {"longer than P", ReplyDeclaring(11, atqb), Bytes(7, kSentinel)},
        {"shorter than P", ReplyDeclaring(13, atqb), Bytes(7, kSentinel)},
        {"no P", ReplyFrame(Hex("00 00 00")), Bytes(7, kSentinel)},
    };
    FakeReader& r = OpenReader();
    for (const Case& c : cases) {
        usb().controls.clear();
        Bytes output(8, kSentinel);
        r.scriptedReplies.push_back(c.reply);
        EXPECT_EQ(Zelvorn_ReadATQB(0, output.data()), RESULT_OK) << c.name;
        EXPECT_EQ(SentBlocks(), std::vector<Bytes>{Hex("E0 00 02 21 00")}) << c.name;
        EXPECT_EQ(output, Concat({c.stored, Bytes{kSentinel}})) << c.name;
    }
}

}  // namespace
}  // namespace zelvorn::testing
