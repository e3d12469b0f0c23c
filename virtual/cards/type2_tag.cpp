#include "virtual/cards/type2_tag.h"

#include "virtual/cards/registry.h"

#include <algorithm>
#include <stdexcept>
#include <utility>

namespace zelvorn::virt {

using namespace type2;

namespace {

// The tag hears a frame only with its CRC, which the reader appends when the
// option byte's bit 3 asks for it.
constexpr std::uint8_t kOptionTransmitCrc = 0x08;
constexpr std::size_t kCompatibilityData = 16;
constexpr std::uint32_t kCounterMax = 0xFFFFFF;

// Bit 1 of static lock byte 0 freezes the bits of pages 4..9, which sit in
// both lock bytes.
struct Freeze {
    std::uint8_t blockBit;
    std::uint8_t lock0, lock1;
};
constexpr Freeze kStaticFreezes[] = {
    {0x01, 0x08, 0x00},  // page 3
    {0x02, 0xF0, 0x03},  // pages 4..9
    {0x04, 0x00, 0xFC},  // pages 10..15
};

}  // namespace

Type2Tag::Type2Tag(const type2::Product& product, Bytes serial)
    : product_(product), serial_(std::move(serial)), pages_(product.pages) {
    if (serial_.size() != kSerialSize) {
        throw std::invalid_argument("a Type 2 tag's serial number has 7 bytes");
    }
    const auto header = HeaderPages(serial_.data());
    for (std::size_t i = 0; i < header.size(); ++i)
        pages_[i / kPageSize][i % kPageSize] = header[i];
    pages_[kOtpPage] = product.factoryCc;
    std::copy(product.factoryData.begin(), product.factoryData.begin() + 4, pages_[4].begin());
    std::copy(product.factoryData.begin() + 4, product.factoryData.end(), pages_[5].begin());
    if (HasConfig()) {
        pages_[product.configPage] = product.cfg0;
        pages_[product.configPage + 1] = product.cfg1;
        pages_[product.PwdPage()] = {0xFF, 0xFF, 0xFF, 0xFF};
    }
    // A fixed signature of the tag's own, as a real one has from the factory.
    for (std::size_t i = 0; i < signature_.size(); ++i) {
        signature_[i] = static_cast<std::uint8_t>(serial_[i % kSerialSize] ^ (0x5A + 7 * i));
    }
}

void Type2Tag::PowerUp() {
    state_ = State::Idle;
    authenticated_ = false;
    readSinceField_ = false;
    compatibilityArmed_ = false;
}

void Type2Tag::Activate() {
    state_ = State::Active;
    authenticated_ = false;
    compatibilityArmed_ = false;
}

std::size_t Type2Tag::Auth0() const {
    return HasConfig() ? pages_[product_.configPage][3] : pages_.size();
}

std::uint8_t Type2Tag::Access() const {
    return HasConfig() ? pages_[product_.configPage + 1][0] : 0;
}

bool Type2Tag::ReadProtected(std::size_t page) const {
    return HasConfig() && (Access() & kAccessProt) != 0 && !authenticated_ && page >= Auth0();
}

bool Type2Tag::WriteProtected(std::size_t page) const {
    return HasConfig() && !authenticated_ && page >= Auth0();
}

bool Type2Tag::Locked(std::size_t page) const {
    return PageLocked(
        product_, [this](std::size_t p, std::size_t i) { return pages_[p][i]; }, page);
}

// The password and PACK never read back.
Type2Tag::Page Type2Tag::AsRead(std::size_t page) const {
    if (HasConfig() && (page == product_.PwdPage() || page == product_.PackPage())) return {};
    return pages_[page];
}

void Type2Tag::CountFirstRead() {
    if (product_.family == Family::Ntag && (Access() & kAccessNfcCounter) != 0 &&
        !readSinceField_ && counters_[kNfcCounterNumber] < kCounterMax) {
        ++counters_[kNfcCounterNumber];
    }
    readSinceField_ = true;
}

bool Type2Tag::Read(std::size_t page, Bytes& answer, std::uint8_t& nak) {
    if (page >= pages_.size() || ReadProtected(page)) {
        nak = kNakInvalidArgument;
        return false;
    }
    // Four pages from the one asked for, rolling over to page 0 after the
    // last page, or after the last one readable without the password.
    const std::size_t end =
        ReadProtected(pages_.size() - 1) ? std::min(Auth0(), pages_.size()) : pages_.size();
    for (std::size_t i = 0; i < 4; ++i) {
        const Page p = AsRead((page + i) % end);
        answer.insert(answer.end(), p.begin(), p.end());
    }
    CountFirstRead();
    return true;
}

bool Type2Tag::FastRead(std::size_t first, std::size_t last, Bytes& answer, std::uint8_t& nak) {
    if (first > last || last >= pages_.size() || ReadProtected(last)) {
        nak = kNakInvalidArgument;
        return false;
    }
    for (std::size_t page = first; page <= last; ++page) {
        const Page p = AsRead(page);
        answer.insert(answer.end(), p.begin(), p.end());
    }
    CountFirstRead();
    return true;
}

bool Type2Tag::WritePage(std::size_t page, const std::uint8_t* data, std::uint8_t& nak) {
    nak = kNakInvalidArgument;
    if (page >= pages_.size() || WriteProtected(page) || Locked(page)) return false;
    Page& p = pages_[page];
    if (page == kStaticLockPage) {
        // Lock bits are one-time programmable, and block-locking bits freeze
        // them: a frozen bit is neither set nor refused, as on the tag.
        std::uint8_t frozen0 = 0, frozen1 = 0;
        for (const Freeze& f : kStaticFreezes) {
            if ((p[2] & f.blockBit) != 0) {
                frozen0 |= f.lock0;
                frozen1 |= f.lock1;
            }
        }
        p[2] |= static_cast<std::uint8_t>(data[2] & ~frozen0);
        p[3] |= static_cast<std::uint8_t>(data[3] & ~frozen1);
    } else if (page == kOtpPage) {
        for (std::size_t i = 0; i < kPageSize; ++i) p[i] |= data[i];
    } else if (page == product_.dynamicLockPage && page != 0) {
        for (std::size_t i = 0; i < 3; ++i) p[i] |= data[i];
    } else {
        std::copy(data, data + kPageSize, p.begin());
    }
    return true;
}

bool Type2Tag::PasswordAuth(const std::uint8_t* password, Bytes& answer, std::uint8_t& nak) {
    const std::uint8_t limit = Access() & kAccessAuthLimit;
    if (limit != 0 && failedAuths_ >= (1u << limit)) {
        nak = kNakAuthLimit;
        return false;
    }
    const Page& pwd = pages_[product_.PwdPage()];
    if (!std::equal(pwd.begin(), pwd.end(), password)) {
        if (limit != 0) ++failedAuths_;
        nak = kNakInvalidArgument;
        return false;
    }
    failedAuths_ = 0;
    authenticated_ = true;
    const Page& pack = pages_[product_.PackPage()];
    answer.assign(pack.begin(), pack.begin() + 2);
    return true;
}

bool Type2Tag::ReadCounter(std::uint8_t number, Bytes& answer, std::uint8_t& nak) {
    nak = kNakInvalidArgument;
    if (product_.family == Family::Ntag) {
        if (number != kNfcCounterNumber) return false;
        if ((Access() & kAccessNfcCounterProtected) != 0 && !authenticated_) return false;
    } else if (number >= kEv1Counters) {
        return false;
    }
    const std::uint32_t value = counters_[number];
    answer = {static_cast<std::uint8_t>(value), static_cast<std::uint8_t>(value >> 8),
              static_cast<std::uint8_t>(value >> 16)};
    return true;
}

bool Type2Tag::IncrementCounter(std::uint8_t number, const std::uint8_t* amount,
                                std::uint8_t& nak) {
    nak = kNakInvalidArgument;
    if (number >= kEv1Counters) return false;
    const std::uint32_t add = amount[0] | amount[1] << 8 | amount[2] << 16;
    if (counters_[number] + add > kCounterMax) return false;
    counters_[number] += add;
    return true;
}

bool Type2Tag::Transceive(std::uint8_t option, const std::uint8_t* in, std::size_t length,
                          Bytes& answer) {
    answer.clear();
    if ((option & kOptionTransmitCrc) == 0 || length == 0 || state_ != State::Active) return false;

    const bool ev1OrNtag = product_.family != Family::Ultralight;
    const bool ev1 = product_.family == Family::UltralightEv1;
    std::uint8_t nak = kNakInvalidArgument;
    bool ok = false;
    bool known = true;
    if (compatibilityArmed_) {
        // The second frame of a compatibility write: 16 bytes, the first 4
        // of which go into the page.
        compatibilityArmed_ = false;
        known = length == kCompatibilityData;
        if (known) ok = WritePage(compatibilityPage_, in, nak);
        if (ok) answer = {kAck};
    } else if (in[0] == kCmdGetVersion && length == 1 && product_.hasVersion) {
        answer.assign(product_.version.begin(), product_.version.end());
        ok = true;
    } else if (in[0] == kCmdRead && length == 2) {
        ok = Read(in[1], answer, nak);
    } else if (in[0] == kCmdFastRead && length == 3 && ev1OrNtag) {
        ok = FastRead(in[1], in[2], answer, nak);
    } else if (in[0] == kCmdWrite && length == 2 + kPageSize) {
        ok = WritePage(in[1], in + 2, nak);
        if (ok) answer = {kAck};
    } else if (in[0] == kCmdCompatibilityWrite && length == 2) {
        // The page is checked with the first frame, written with the second.
        const std::size_t page = in[1];
        ok = page < pages_.size() && !WriteProtected(page) && !Locked(page);
        if (ok) {
            compatibilityArmed_ = true;
            compatibilityPage_ = page;
            answer = {kAck};
        }
    } else if (in[0] == kCmdReadCounter && length == 2 && ev1OrNtag) {
        ok = ReadCounter(in[1], answer, nak);
    } else if (in[0] == kCmdIncrementCounter && length == 6 && ev1) {
        ok = IncrementCounter(in[1], in + 2, nak);
        if (ok) answer = {kAck};
    } else if (in[0] == kCmdReadSignature && length == 2 && in[1] == 0 && ev1OrNtag) {
        answer.assign(signature_.begin(), signature_.end());
        ok = true;
    } else if (in[0] == kCmdPasswordAuth && length == 5 && ev1OrNtag) {
        ok = PasswordAuth(in + 1, answer, nak);
    } else if (in[0] == kCmdHalt && length == 2 && in[1] == 0) {
        state_ = State::Halted;
        authenticated_ = false;
        return false;  // a halted tag says nothing
    } else {
        known = false;
    }
    if (ok) return true;
    // A NAK, or silence for what the tag does not understand; either way the
    // session is over until the reader selects the tag again.
    state_ = State::Idle;
    authenticated_ = false;
    answer.clear();
    if (!known) return false;
    answer = {nak};
    return true;
}

StatusWord Type2Tag::ReadBlock(std::uint8_t page, std::uint8_t* out16) {
    if (state_ != State::Active) return kStatusNotSelected;
    Bytes answer;
    std::uint8_t nak = 0;
    if (!Read(page, answer, nak)) {
        state_ = State::Idle;
        authenticated_ = false;
        return page >= pages_.size() ? kStatusOutOfRange : kStatusAccessDenied;
    }
    std::copy(answer.begin(), answer.end(), out16);
    return kStatusOk;
}

// The reader's MIFARE write reaches the tag as a compatibility write; the
// reader echoes the 16 bytes it sent.
StatusWord Type2Tag::WriteBlock(std::uint8_t page, const std::uint8_t* in16, std::uint8_t* echo16) {
    if (state_ != State::Active) return kStatusNotSelected;
    std::uint8_t nak = 0;
    if (!WritePage(page, in16, nak)) {
        state_ = State::Idle;
        authenticated_ = false;
        return page >= pages_.size() ? kStatusOutOfRange : kStatusAccessDenied;
    }
    std::copy(in16, in16 + kCompatibilityData, echo16);
    return kStatusOk;
}

namespace {

// A scenario entry: the serial number, then pages over a factory-fresh tag,
// and the configuration by name.
std::unique_ptr<Card> FromScenario(const Entry& c, std::string_view kind) {
    c.OnlyKeys(
        {"type", "serial", "pages", "password", "pack", "auth0", "access", "counter", "signature"});
    const type2::Product& product = *ProductByKind(kind);
    const Bytes serial = c["serial"].Hex();
    if (serial.size() != kSerialSize) c["serial"].Fail("a Type 2 tag's serial number has 7 bytes");
    auto tag = std::make_unique<Type2Tag>(product, serial);
    if (c.Has("pages")) {
        const Entry pages = c["pages"];
        for (auto& [key, value] : pages.Object().items()) {
            const Entry at(value, pages.Where() + "." + key, Entry::File::Scenario);
            const unsigned page = pages.Index(key, static_cast<unsigned>(product.pages));
            const auto data = at.HexArray<kPageSize>();
            if (page < kStaticLockPage) at.Fail("pages 0 and 1 hold the serial number");
            const auto& now = tag->PageAt(kStaticLockPage);
            if (page == kStaticLockPage && (data[0] != now[0] || data[1] != now[1])) {
                at.Fail("bytes 0 and 1 of page 2 are the check byte and the internal byte, " +
                        HexText(now.data(), 2));
            }
            tag->SetPage(page, data);
        }
    }
    const bool config = product.configPage != 0;
    const auto needConfig = [&](const char* key) {
        if (!config) c[key].Fail(std::string(product.name) + " has no configuration pages");
    };
    const auto setByte = [&](std::size_t page, std::size_t index, std::uint8_t value) {
        auto data = tag->PageAt(page);
        data[index] = value;
        tag->SetPage(page, data);
    };
    if (c.Has("password")) {
        needConfig("password");
        tag->SetPage(product.PwdPage(), c["password"].HexArray<kPageSize>());
    }
    if (c.Has("pack")) {
        needConfig("pack");
        const auto pack = c["pack"].HexArray<2>();
        setByte(product.PackPage(), 0, pack[0]);
        setByte(product.PackPage(), 1, pack[1]);
    }
    if (c.Has("auth0")) {
        needConfig("auth0");
        setByte(product.configPage, 3, static_cast<std::uint8_t>(c["auth0"].Number(255)));
    }
    if (c.Has("access")) {
        needConfig("access");
        setByte(product.configPage + 1, 0, static_cast<std::uint8_t>(c["access"].Number(255)));
    }
    if (c.Has("counter")) {
        if (product.family == Family::Ultralight) c["counter"].Fail("the tag has no counter");
        tag->SetCounter(product.family == Family::Ntag ? kNfcCounterNumber : 0,
                        static_cast<std::uint32_t>(c["counter"].Number(kCounterMax)));
    }
    if (c.Has("signature")) {
        if (product.family == Family::Ultralight) c["signature"].Fail("the tag has no signature");
        tag->SetSignature(c["signature"].HexArray<kSignatureSize>());
    }
    return tag;
}

// Every page (the password and PACK as the tag holds them), the counters,
// the failed password attempts and the signature.
void SaveState(const Card& card, Json& entry) {
    const auto& tag = static_cast<const Type2Tag&>(card);
    Json pages = Json::array();
    for (std::size_t p = 0; p < tag.PageCount(); ++p) {
        pages.push_back(HexText(tag.PageAt(p).data(), kPageSize));
    }
    entry["pages"] = std::move(pages);
    Json counters = Json::array();
    for (std::size_t n = 0; n < kEv1Counters; ++n) counters.push_back(tag.Counter(n));
    entry["counters"] = std::move(counters);
    entry["failedAuthentications"] = tag.FailedAuthentications();
    entry["signature"] = HexText(tag.Signature().data(), kSignatureSize);
}

void LoadState(Card& card, const Entry& entry, StateChanges& changes) {
    auto* tag = &static_cast<Type2Tag&>(card);
    const Entry pages = entry["pages"];
    if (!pages.Value().is_array() || pages.Value().size() != tag->PageCount()) {
        pages.Fail("expected " + std::to_string(tag->PageCount()) + " pages");
    }
    for (std::size_t p = 0; p < tag->PageCount(); ++p) {
        const Bytes bytes = pages.At(p).ExactBytes(kPageSize);
        Type2Tag::Page page{};
        std::copy(bytes.begin(), bytes.end(), page.begin());
        if (p <= kStaticLockPage) {
            // The serial number and its check bytes are the tag's identity.
            const auto& now = tag->PageAt(p);
            const std::size_t fixed = p == kStaticLockPage ? 2 : kPageSize;
            if (!std::equal(now.begin(), now.begin() + fixed, page.begin())) {
                pages.At(p).Fail("does not match the tag's serial number");
            }
        }
        changes.push_back([tag, p, page] { tag->SetPage(p, page); });
    }
    const Entry counters = entry["counters"];
    if (!counters.Value().is_array() || counters.Value().size() != kEv1Counters) {
        counters.Fail("expected " + std::to_string(kEv1Counters) + " counters");
    }
    for (std::size_t n = 0; n < kEv1Counters; ++n) {
        const auto value = static_cast<std::uint32_t>(counters.At(n).Number(kCounterMax));
        changes.push_back([tag, n, value] { tag->SetCounter(n, value); });
    }
    const auto failed = static_cast<std::uint8_t>(entry["failedAuthentications"].Number(255));
    const Bytes signature = entry["signature"].ExactBytes(kSignatureSize);
    std::array<std::uint8_t, kSignatureSize> s{};
    std::copy(signature.begin(), signature.end(), s.begin());
    changes.push_back([tag, failed, s] {
        tag->SetFailedAuthentications(failed);
        tag->SetSignature(s);
    });
}

}  // namespace

#define ZELVORN_TYPE2_KIND(variable, kind)                                                     \
    const CardKind variable {                                                                  \
        kind, ProductByKind(kind)->name.data(),                                                \
            [](const Entry& entry) { return FromScenario(entry, kind); }, SaveState, LoadState \
    }

ZELVORN_TYPE2_KIND(kUltralight, "ultralight");
ZELVORN_TYPE2_KIND(kUltralightEv1_48, "ultralight-ev1-48");
ZELVORN_TYPE2_KIND(kUltralightEv1_128, "ultralight-ev1-128");
ZELVORN_TYPE2_KIND(kNtag213, "ntag213");
ZELVORN_TYPE2_KIND(kNtag215, "ntag215");
ZELVORN_TYPE2_KIND(kNtag216, "ntag216");

#undef ZELVORN_TYPE2_KIND

namespace {

const CardKind* KindOf(const type2::Product& product) {
    for (const CardKind* kind :
         {&kUltralight, &kUltralightEv1_48, &kUltralightEv1_128, &kNtag213, &kNtag215, &kNtag216}) {
        if (product.kind == kind->name) return kind;
    }
    return nullptr;
}

}  // namespace

const CardKind& Type2Tag::Kind() const {
    return *KindOf(product_);
}

}  // namespace zelvorn::virt
