#include "tool/type2/dump.h"

#include <algorithm>
#include <cctype>
#include <filesystem>

#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include "tool/errors.h"
#include "tool/output_file.h"

namespace zelvorn::tool::type2 {

using namespace zelvorn::type2;
using Json = nlohmann::ordered_json;

namespace {

constexpr std::size_t kMinPages = 4;
constexpr std::size_t kMaxPages = 256;
constexpr std::size_t kCounterBytes = 3;

void CheckPageCount(std::size_t bytes, const std::string& what) {
    if (bytes % kPageSize != 0 || bytes / kPageSize < kMinPages || bytes / kPageSize > kMaxPages) {
        throw UsageError(
            fmt::format("{} holds {} bytes; a Type 2 tag's memory is whole pages of "
                        "4 bytes, {} to {} of them",
                        what, bytes, kMinPages, kMaxPages));
    }
}

// A hexadecimal field of exactly n bytes, or a UsageError naming it.
Bytes Field(const Json& value, const std::string& where, std::size_t n) {
    if (!value.is_string()) throw UsageError(where + ": expected hexadecimal text");
    return ParseHex(value.get<std::string>(), where, n);
}

template <std::size_t N>
std::optional<std::array<std::uint8_t, N>> OptionalField(const Json& card, const char* key) {
    if (!card.contains(key)) return std::nullopt;
    const Bytes bytes = Field(card[key], std::string("Card.") + key, N);
    std::array<std::uint8_t, N> out{};
    std::copy(bytes.begin(), bytes.end(), out.begin());
    return out;
}

Bytes SerialOf(std::span<const std::uint8_t> memory) {
    return {memory[0], memory[1], memory[2], memory[4], memory[5], memory[6], memory[7]};
}

std::string WriteJson(const Dump& dump) {
    Json card;
    card["UID"] = HexText(SerialOf(dump.memory), "");
    if (dump.version) card["Version"] = HexText(*dump.version, "");
    if (dump.signature) card["Signature"] = HexText(*dump.signature, "");
    for (std::size_t n = 0; n < dump.counters.size(); ++n) {
        if (!dump.counters[n]) continue;
        const std::uint32_t v = *dump.counters[n];
        const std::uint8_t bytes[kCounterBytes] = {static_cast<std::uint8_t>(v),
                                                   static_cast<std::uint8_t>(v >> 8),
                                                   static_cast<std::uint8_t>(v >> 16)};
        card["Counter" + std::to_string(n)] = HexText(bytes, "");
    }
    Json blocks;
    for (std::size_t p = 0; p < dump.memory.size() / kPageSize; ++p) {
        blocks[std::to_string(p)] =
            HexText(std::span(dump.memory).subspan(p * kPageSize, kPageSize), "");
    }
    Json root;
    root["Created"] = "zelvorn";
    root["FileType"] = "mfu";
    root["Card"] = card;
    root["blocks"] = blocks;
    return root.dump(2) + "\n";
}

Dump ReadJson(std::string_view content) {
    Json root;
    try {
        root = Json::parse(content);
    } catch (const Json::exception&) {
        throw UsageError("not valid JSON");
    }
    if (!root.is_object() || !root.contains("FileType") || root["FileType"] != "mfu") {
        throw UsageError("not a Type 2 tag dump: \"FileType\" is not \"mfu\"");
    }
    if (!root.contains("blocks") || !root["blocks"].is_object()) {
        throw UsageError("\"blocks\" is missing or not an object of pages");
    }
    const Json& blocks = root["blocks"];
    Dump dump;
    const std::size_t pages = blocks.size();
    CheckPageCount(pages * kPageSize, "\"blocks\"");
    for (std::size_t p = 0; p < pages; ++p) {
        const std::string key = std::to_string(p);
        if (!blocks.contains(key)) {
            throw UsageError(
                fmt::format("blocks.{}: missing; the pages must run from 0 to {}", p, pages - 1));
        }
        const Bytes page = Field(blocks[key], "blocks." + key, kPageSize);
        dump.memory.insert(dump.memory.end(), page.begin(), page.end());
    }
    if (root.contains("Card")) {
        const Json& card = root["Card"];
        if (!card.is_object()) throw UsageError("\"Card\" is not an object");
        if (card.contains("UID") &&
            Field(card["UID"], "Card.UID", kSerialSize) != SerialOf(dump.memory)) {
            throw UsageError("Card.UID disagrees with the serial number in pages 0 and 1");
        }
        dump.version = OptionalField<kVersionSize>(card, "Version");
        dump.signature = OptionalField<kSignatureSize>(card, "Signature");
        for (std::size_t n = 0; n < dump.counters.size(); ++n) {
            const std::string key = "Counter" + std::to_string(n);
            // proxmark3 writes "N/A" for a counter it did not read.
            if (!card.contains(key) || card[key] == "N/A") continue;
            const Bytes b = Field(card[key], "Card." + key, kCounterBytes);
            dump.counters[n] = static_cast<std::uint32_t>(b[0] | b[1] << 8 | b[2] << 16);
        }
    }
    return dump;
}

}  // namespace

DumpFormat DumpFormatFor(const std::string& path, const std::string& given) {
    const std::string name = FormatName(path, given);
    if (name == "bin") return DumpFormat::Binary;
    if (name == "json") return DumpFormat::Json;
    throw UsageError(fmt::format(
        "{}: the format is not known from its name; end it in .bin or .json, or give --format",
        path));
}

std::string WriteDump(const Dump& dump, DumpFormat format) {
    if (format == DumpFormat::Json) return WriteJson(dump);
    return std::string(dump.memory.begin(), dump.memory.end());
}

Dump ReadDump(std::string_view content, DumpFormat format) {
    if (format == DumpFormat::Json) return ReadJson(content);
    CheckPageCount(content.size(), "the image");
    Dump dump;
    dump.memory.assign(content.begin(), content.end());
    return dump;
}

RestorePlan PlanRestore(const Product& product, std::span<const std::uint8_t> tag,
                        std::span<const std::uint8_t> image, bool withLockAndOtp) {
    const std::size_t pages = product.pages;
    if (image.size() != pages * kPageSize) {
        throw UsageError(fmt::format("the dump holds {} pages; the tag ({}) has {}",
                                     image.size() / kPageSize, product.name, pages));
    }
    if (tag.size() != image.size()) {
        throw UsageError(fmt::format("{} pages of the tag were read; its {} pages are needed",
                                     tag.size() / kPageSize, pages));
    }
    const auto pageOf = [](std::span<const std::uint8_t> memory, std::size_t p) {
        std::array<std::uint8_t, 4> out{};
        std::copy_n(memory.begin() + static_cast<std::ptrdiff_t>(p * kPageSize), kPageSize,
                    out.begin());
        return out;
    };
    RestorePlan plan;
    for (std::size_t p = kFirstUserPage; p < product.UserEnd(); ++p) {
        if (pageOf(tag, p) != pageOf(image, p)) plan.writes.push_back({p, pageOf(image, p)});
    }

    // One-time bits: page 3, the static lock bytes (bytes 2-3 of page 2) and
    // the dynamic lock bytes. Page 3 goes before the lock bits that may lock
    // it.
    struct OneTime {
        std::size_t page, from, to;  // bytes from..to-1 of the page
        const char* what;
    };
    std::vector<OneTime> oneTime{{kOtpPage, 0, 4, "page 3 (one-time programmable)"}};
    if (product.dynamicLockPage != 0) {
        oneTime.push_back({product.dynamicLockPage, 0, 3, "the dynamic lock bytes"});
    }
    oneTime.push_back({kStaticLockPage, 2, 4, "the static lock bytes"});
    for (const OneTime& o : oneTime) {
        auto now = pageOf(tag, o.page);
        const auto want = pageOf(image, o.page);
        if (std::equal(now.begin() + o.from, now.begin() + o.to, want.begin() + o.from)) continue;
        if (!withLockAndOtp) {
            plan.notes.push_back(fmt::format(
                "{} differ from the dump and are not restored (--with-lock-and-otp writes them, "
                "for good)",
                o.what));
            continue;
        }
        for (std::size_t i = o.from; i < o.to; ++i) {
            if ((now[i] & ~want[i]) != 0) {
                throw UsageError(fmt::format(
                    "{}: the tag holds bits the dump does not ({} against {}); one-time bits "
                    "cannot be cleared, nothing was written",
                    o.what, HexText(now, ""), HexText(want, "")));
            }
            now[i] = want[i];
        }
        plan.writes.push_back({o.page, now});
    }
    if (product.configPage != 0) {
        for (std::size_t p = product.configPage; p < product.configPage + 2; ++p) {
            if (pageOf(tag, p) != pageOf(image, p)) {
                plan.notes.push_back(fmt::format(
                    "configuration page {} differs from the dump and is not restored", p));
            }
        }
    }
    return plan;
}

}  // namespace zelvorn::tool::type2
