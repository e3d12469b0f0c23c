#include "tool/type2/tag.h"

#include <algorithm>

#include <fmt/format.h>

#include "tool/errors.h"
#include "zelvorn.h"

namespace zelvorn::tool::type2 {

using namespace zelvorn::type2;

namespace {

constexpr std::size_t kReadPages = 4;   // READ answers four pages
constexpr std::size_t kMaxPages = 256;  // page numbers are one byte

std::string Describe(const Answer& answer) {
    if (answer.result != RESULT_OK) return DescribeResult(answer.result);
    if (answer.data.size() == 1) return fmt::format("NAK {:#04x}", answer.data[0]);
    return fmt::format("{} bytes", answer.data.size());
}

}  // namespace

Verdict ParseAck(const Answer& answer) {
    if (answer.result != RESULT_OK) return Verdict::Nak;
    if (answer.data.size() != 1) return Verdict::Malformed;
    return (answer.data[0] & 0x0F) == kAck ? Verdict::Ack : Verdict::Nak;
}

std::optional<Product> ProductFromVersion(std::span<const std::uint8_t> version) {
    if (version.size() != kVersionSize) return std::nullopt;
    if (const Product* known = ProductByVersion(version)) return *known;
    // Another product of the family: it knows FAST_READ, its size is found
    // by reading.
    Product unknown{};
    unknown.kind = "type2";
    unknown.name = "unknown Type 2 tag";
    unknown.family = Family::Ntag;
    unknown.hasVersion = true;
    std::copy(version.begin(), version.end(), unknown.version.begin());
    return unknown;
}

std::size_t PagesPerFastRead() {
    return ZELVORN_MAX_TELEGRAM_RESPONSE / kPageSize;
}

Tag::Tag(Exchange exchange, std::function<void()> reselect)
    : exchange_(std::move(exchange)), reselect_(std::move(reselect)) {}

Answer Tag::Send(std::span<const std::uint8_t> frame) {
    ++telegrams_;
    return exchange_(frame);
}

void Tag::Recover() {
    reselect_();
    if (!password_) return;
    const auto& p = *password_;
    const std::uint8_t frame[5] = {kCmdPasswordAuth, p[0], p[1], p[2], p[3]};
    const Answer answer = Send(frame);
    if (answer.result != RESULT_OK || answer.data.size() != 2) {
        throw ToolError(kExitFailed,
                        "authenticate with the password again after the tag was "
                        "selected anew: the tag answered " +
                            Describe(answer));
    }
}

bool Tag::Readable(std::size_t page) {
    const std::uint8_t frame[2] = {kCmdRead, static_cast<std::uint8_t>(page)};
    const Answer answer = Send(frame);
    if (answer.result == RESULT_OK && answer.data.size() == kReadPages * kPageSize) return true;
    Recover();
    return false;
}

// The first page the tag refuses to read: steps of four, then page by page.
std::size_t Tag::ProbePages() {
    std::size_t good = kOtpPage;
    std::size_t page = kFirstUserPage;
    while (page < kMaxPages && Readable(page)) {
        good = page;
        page += kReadPages;
    }
    const std::size_t limit = std::min(page, kMaxPages);
    for (std::size_t p = good + 1; p < limit; ++p) {
        if (!Readable(p)) return p;
    }
    return limit;
}

const Product& Tag::Identify() {
    const std::uint8_t frame[1] = {kCmdGetVersion};
    const Answer answer = Send(frame);
    if (answer.result == RESULT_OK && answer.data.size() == kVersionSize) {
        version_.emplace();
        std::copy(answer.data.begin(), answer.data.end(), version_->begin());
        product_ = *ProductFromVersion(answer.data);
        if (product_.pages == 0) product_.pages = ProbePages();
        return product_;
    }
    // The first Ultralight stays silent and falls back to idle.
    Recover();
    const std::size_t pages = ProbePages();
    const Product* byPages = ProductByPages(pages);
    if (byPages != nullptr && !byPages->hasVersion) {
        product_ = *byPages;
    } else {
        product_ = Product{};
        product_.kind = "type2";
        product_.name = "unknown Type 2 tag";
        product_.family = Family::Ultralight;
    }
    product_.pages = pages;
    return product_;
}

Bytes Tag::Read(std::size_t first, std::size_t count) {
    Bytes out;
    const std::size_t end = first + count;
    if (end > product_.pages) {
        throw UsageError(fmt::format("pages {} to {}: the {} has pages 0 to {}", first, end - 1,
                                     product_.name, product_.pages - 1));
    }
    const bool fast = product_.family != Family::Ultralight;
    for (std::size_t page = first; page < end;) {
        const std::size_t n = std::min(end - page, fast ? PagesPerFastRead() : kReadPages);
        const std::uint8_t last = static_cast<std::uint8_t>(page + n - 1);
        const std::uint8_t readFast[3] = {kCmdFastRead, static_cast<std::uint8_t>(page), last};
        const std::uint8_t read[2] = {kCmdRead, static_cast<std::uint8_t>(page)};
        const Answer answer = fast ? Send(readFast) : Send(read);
        const std::size_t expected = (fast ? n : kReadPages) * kPageSize;
        if (answer.result != RESULT_OK || answer.data.size() != expected) {
            Recover();
            throw ToolError(
                kExitFailed,
                fmt::format("read pages {} to {}: the tag answered {}{}", page, last,
                            Describe(answer),
                            password_ ? ""
                                      : " (pages from AUTH0 on may be read-protected: give "
                                        "--password)"));
        }
        out.insert(out.end(), answer.data.begin(),
                   answer.data.begin() + static_cast<std::ptrdiff_t>(n * kPageSize));
        page += n;
    }
    return out;
}

void Tag::Write(std::size_t page, std::span<const std::uint8_t, 4> data) {
    const std::uint8_t frame[6] = {
        kCmdWrite, static_cast<std::uint8_t>(page), data[0], data[1], data[2], data[3]};
    const Answer answer = Send(frame);
    const Verdict verdict = ParseAck(answer);
    if (verdict == Verdict::Ack) return;
    if (verdict == Verdict::Nak) Recover();
    throw ToolError(kExitFailed,
                    fmt::format("write page {}: the tag answered {}{}", page, Describe(answer),
                                verdict == Verdict::Malformed
                                    ? ", not an ACK"
                                    : ": the page is locked, beyond the memory or behind the "
                                      "password (give --password)"));
}

std::array<std::uint8_t, 2> Tag::Authenticate(
    const std::array<std::uint8_t, 4>& password,
    const std::optional<std::array<std::uint8_t, 2>>& expectedPack) {
    const std::uint8_t frame[5] = {kCmdPasswordAuth, password[0], password[1], password[2],
                                   password[3]};
    const Answer answer = Send(frame);
    if (answer.result != RESULT_OK || answer.data.size() != 2) {
        if (answer.result != RESULT_OK || answer.data.size() <= 1) Recover();
        throw ToolError(kExitFailed, "authenticate with the password: the tag answered " +
                                         Describe(answer) + " (a wrong password is a NAK)");
    }
    const std::array<std::uint8_t, 2> pack{answer.data[0], answer.data[1]};
    if (expectedPack && *expectedPack != pack) {
        throw ToolError(kExitFailed,
                        fmt::format("the tag took the password but answered PACK {}, not the {} "
                                    "given: it is not the tag the password was set on",
                                    HexText(pack, ""), HexText(*expectedPack, "")));
    }
    password_ = password;
    return pack;
}

std::optional<std::uint32_t> Tag::ReadCounter(std::uint8_t number) {
    if (product_.family == Family::Ultralight) return std::nullopt;
    const std::uint8_t frame[2] = {kCmdReadCounter, number};
    const Answer answer = Send(frame);
    if (answer.result != RESULT_OK || answer.data.size() != 3) {
        Recover();
        return std::nullopt;
    }
    return static_cast<std::uint32_t>(answer.data[0] | answer.data[1] << 8 | answer.data[2] << 16);
}

std::optional<std::array<std::uint8_t, 32>> Tag::ReadSignature() {
    if (product_.family == Family::Ultralight) return std::nullopt;
    const std::uint8_t frame[2] = {kCmdReadSignature, 0x00};
    const Answer answer = Send(frame);
    if (answer.result != RESULT_OK || answer.data.size() != kSignatureSize) {
        Recover();
        return std::nullopt;
    }
    std::array<std::uint8_t, 32> signature{};
    std::copy(answer.data.begin(), answer.data.end(), signature.begin());
    return signature;
}

}  // namespace zelvorn::tool::type2
