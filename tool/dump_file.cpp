#include "tool/dump_file.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>

#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include "tool/errors.h"
#include "tool/mifare_layout.h"
#include "tool/output_file.h"
#include "virtual/json_text.h"

namespace zelvorn::tool {
namespace {

using Json = nlohmann::ordered_json;

constexpr std::size_t kBlockSize = 16;

bool Unknown(std::string_view text) {
    return !text.empty() &&
           std::all_of(text.begin(), text.end(), [](char c) { return c == '-' || c == '?'; });
}

// The digits of key A and key B in the 32 digits of a trailer.
constexpr std::size_t kKeyDigits = 12;
constexpr std::size_t kKeyBDigitsAt = 20;

// A block of 32 hexadecimal digits, or none when it is marked unknown
// (dashes or question marks, as proxmark3 writes bytes it could not read).
// In a trailer either key alone may be marked so; keys then tells which, and
// the block holds zeros there.
std::optional<Block> BlockFromText(std::string_view text, const std::string& where,
                                   bool trailer = false, UnknownKeys* keys = nullptr) {
    if (Unknown(text)) return std::nullopt;
    std::string digits(text);
    if (trailer && digits.size() == 2 * kBlockSize) {
        if (Unknown(text.substr(0, kKeyDigits))) {
            digits.replace(0, kKeyDigits, kKeyDigits, '0');
            keys->a = true;
        }
        if (Unknown(text.substr(kKeyBDigitsAt))) {
            digits.replace(kKeyBDigitsAt, kKeyDigits, kKeyDigits, '0');
            keys->b = true;
        }
    }
    const Bytes bytes = ParseHex(digits, where, kBlockSize);
    Block block{};
    std::copy(bytes.begin(), bytes.end(), block.begin());
    return block;
}

// The trailer's 32 digits with an unknown key as dashes.
std::string TrailerText(const Block& trailer, UnknownKeys keys) {
    std::string text = HexText(trailer, "");
    if (keys.a) text.replace(0, kKeyDigits, kKeyDigits, '-');
    if (keys.b) text.replace(kKeyBDigitsAt, kKeyDigits, kKeyDigits, '-');
    return text;
}

// Binary and eml files hold zeros for the blocks their writer could not
// read. A trailer of zeros is no trailer a card ever showed (its access bits
// would not match their inverted copy): its sector was not read, and its
// blocks of zeros are taken for unread, so that nothing writes them back.
void MarkUnreadSectors(MifareDump& dump) {
    const int sectors = SectorCountForBlocks(static_cast<int>(dump.blocks.size()));
    const auto zeros = [](const std::optional<Block>& b) {
        return b && std::all_of(b->begin(), b->end(), [](std::uint8_t x) { return x == 0; });
    };
    for (int sector = 0; sector < sectors; ++sector) {
        if (!zeros(dump.blocks[static_cast<std::size_t>(TrailerOf(sector))])) continue;
        for (int b = FirstBlockOf(sector); b <= TrailerOf(sector); ++b) {
            if (zeros(dump.blocks[static_cast<std::size_t>(b)])) dump.blocks[b].reset();
        }
    }
}

// Binary and eml trailers cannot say that a key is unknown: a key reads as
// unknown where it holds what a card shows in place of a key it hides.
void MarkUnfilledKeys(MifareDump& dump) {
    constexpr std::array<std::uint8_t, 6> kZeros{};
    const int sectors = SectorCountForBlocks(static_cast<int>(dump.blocks.size()));
    for (int sector = 0; sector < sectors; ++sector) {
        const auto& trailer = dump.blocks[FirstBlockOf(sector) + BlocksIn(sector) - 1];
        if (!trailer) continue;
        if (std::equal(kZeros.begin(), kZeros.end(), trailer->begin())) {
            SetKeyKnown(dump, sector, 'A', false);
        }
        const auto conditions = TrailerConditions(trailer->data());
        if (std::equal(kZeros.begin(), kZeros.end(), trailer->begin() + 10) &&
            !(conditions && KeyBReadable((*conditions)[3]))) {
            SetKeyKnown(dump, sector, 'B', false);
        }
    }
}

int CheckedBlockCount(std::size_t count, const std::string& what) {
    const int sectors = SectorCountForBlocks(static_cast<int>(count));
    if (sectors == 0) {
        throw UsageError(fmt::format(
            "{}: {} blocks; a MIFARE Classic dump has 20 (Mini), 64 (1K), 128 (2K) or 256 (4K)",
            what, count));
    }
    return sectors;
}

MifareDump ReadBinary(std::string_view content) {
    if (content.size() % kBlockSize != 0) {
        throw UsageError(
            fmt::format("{} bytes is not a whole number of 16-byte blocks ({} and {} "
                        "bytes over)",
                        content.size(), content.size() / kBlockSize, content.size() % kBlockSize));
    }
    MifareDump dump;
    CheckedBlockCount(content.size() / kBlockSize, "the image");
    for (std::size_t i = 0; i < content.size(); i += kBlockSize) {
        Block block{};
        std::memcpy(block.data(), content.data() + i, kBlockSize);
        dump.blocks.push_back(block);
    }
    return dump;
}

// The next line of a text, with what follows '#' (when comments count) and
// the spaces around it taken off; the text keeps what comes after the line.
std::string_view NextLine(std::string_view& text, bool comments) {
    const std::size_t end = text.find('\n');
    std::string_view line = text.substr(0, end);
    text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
    const std::size_t comment = comments ? line.find('#') : std::string_view::npos;
    if (comment != std::string_view::npos) line = line.substr(0, comment);
    while (!line.empty() && std::isspace(static_cast<unsigned char>(line.back())))
        line.remove_suffix(1);
    while (!line.empty() && std::isspace(static_cast<unsigned char>(line.front())))
        line.remove_prefix(1);
    return line;
}

// A line of a text file that holds bytes no text holds (a binary file named
// as a text one) is refused by its line and column, in printable words.
void CheckText(std::string_view line, std::size_t number, std::string_view hint) {
    for (std::size_t i = 0; i < line.size(); ++i) {
        const auto c = static_cast<unsigned char>(line[i]);
        if ((c < 0x20 && c != '\t' && c != '\r') || c >= 0x7F) {
            throw UsageError(fmt::format("line {}: byte {:02X} at column {} is not text; {}",
                                         number, c, i + 1, hint));
        }
    }
}

MifareDump ReadEml(std::string_view content) {
    MifareDump dump;
    std::size_t number = 0;
    while (!content.empty()) {
        ++number;
        const std::string_view line = NextLine(content, false);
        CheckText(line, number,
                  "an eml file is text, one block of 32 hexadecimal digits a line (a raw "
                  "image is a .bin file, or give --format bin)");
        if (line.empty()) continue;
        if (dump.blocks.size() == 256) throw UsageError("more than 256 blocks");
        // A line of dashes is a block the dump could not read; a trailer's
        // key stays as written, since the eml files of other tools hold no
        // dashes there.
        dump.blocks.push_back(BlockFromText(line, fmt::format("line {}", number)));
    }
    CheckedBlockCount(dump.blocks.size(), "the file");
    return dump;
}

template <std::size_t N>
std::array<std::uint8_t, N> HexField(const Json& value, const std::string& where) {
    if (!value.is_string()) throw UsageError(fmt::format("{}: expected hexadecimal text", where));
    const Bytes bytes = ParseHex(value.get<std::string>(), where, N);
    std::array<std::uint8_t, N> out{};
    std::copy(bytes.begin(), bytes.end(), out.begin());
    return out;
}

MifareDump ReadJson(std::string_view content) {
    Json root;
    if (const std::string wrong = ParseJsonText(content, root); !wrong.empty()) {
        throw UsageError(wrong);
    }
    if (!root.is_object()) throw UsageError("expected a JSON object");
    if (root.contains("FileType") &&
        (!root["FileType"].is_string() || root["FileType"].get<std::string>() != "mfcard")) {
        throw UsageError("FileType: not \"mfcard\", so not a MIFARE Classic dump");
    }
    MifareDump dump;
    if (root.contains("Card")) {
        const Json& card = root["Card"];
        if (!card.is_object()) throw UsageError("Card: expected an object");
        if (card.contains("UID")) {
            if (!card["UID"].is_string()) throw UsageError("Card.UID: expected hexadecimal text");
            dump.uid = ParseHex(card["UID"].get<std::string>(), "Card.UID");
            if (dump.uid.size() != 4 && dump.uid.size() != 7 && dump.uid.size() != 10) {
                throw UsageError(fmt::format("Card.UID: {} bytes; a serial number has 4, 7 or 10",
                                             dump.uid.size()));
            }
        }
        if (card.contains("SAK")) dump.sak = HexField<1>(card["SAK"], "Card.SAK")[0];
        if (card.contains("ATQA")) dump.atqa = HexField<2>(card["ATQA"], "Card.ATQA");
    }
    if (!root.contains("blocks") || !root["blocks"].is_object()) {
        throw UsageError("blocks: missing, or not an object of blocks by number");
    }
    std::map<int, std::optional<Block>> byNumber;
    std::map<int, UnknownKeys> keysByNumber;
    for (auto it = root["blocks"].begin(); it != root["blocks"].end(); ++it) {
        const std::string& key = it.key();
        const std::string where = fmt::format("blocks.{}", key);
        if (key.empty() || key.size() > 3 ||
            !std::all_of(key.begin(), key.end(),
                         [](char c) { return std::isdigit(static_cast<unsigned char>(c)); }) ||
            std::stoi(key) > 255) {
            throw UsageError(fmt::format("{}: a block number is 0..255", where));
        }
        if (!it.value().is_string()) throw UsageError(fmt::format("{}: expected text", where));
        const int number = std::stoi(key);
        UnknownKeys keys;
        byNumber[number] =
            BlockFromText(it.value().get<std::string>(), where, IsTrailer(number), &keys);
        keysByNumber[number] = keys;
    }
    if (byNumber.empty()) throw UsageError("blocks: no block");
    const int highest = byNumber.rbegin()->first;
    int count = 20;
    for (int size : {20, 64, 128, 256}) {
        count = size;
        if (highest < size) break;
    }
    dump.blocks.resize(static_cast<std::size_t>(count));
    for (const auto& [number, block] : byNumber) dump.blocks[number] = block;
    for (const auto& [number, keys] : keysByNumber) {
        SetKeyKnown(dump, SectorOf(number), 'A', !keys.a);
        SetKeyKnown(dump, SectorOf(number), 'B', !keys.b);
    }
    return dump;
}

std::string Hex(const std::uint8_t* data, std::size_t n) {
    return HexText({data, n}, "");
}

// MIFARE Classic Tool writes the sectors it read, each after a "+Sector: N"
// line, and "--" for each byte it does not know: whole blocks it could not
// read, and keys it did not find. A data block with any byte not known is
// taken as not read.
MifareDump ReadMct(std::string_view content) {
    std::map<int, std::optional<Block>> byNumber;
    std::map<int, UnknownKeys> keysBySector;
    int sector = -1;
    int inSector = 0;
    int highest = -1;
    std::size_t number = 0;
    while (!content.empty()) {
        ++number;
        const std::string_view line = NextLine(content, false);
        CheckText(line, number, "an mct file is text: \"+Sector: N\" lines, then the blocks");
        if (line.empty()) continue;
        const std::string where = fmt::format("line {}", number);
        if (line.rfind("+Sector:", 0) == 0) {
            if (sector >= 0 && inSector != BlocksIn(sector)) {
                throw UsageError(fmt::format("{}: sector {} has {} blocks, not {}", where, sector,
                                             inSector, BlocksIn(sector)));
            }
            std::string_view digits = line.substr(8);
            while (!digits.empty() && digits.front() == ' ') digits.remove_prefix(1);
            if (digits.empty() || digits.size() > 2 ||
                !std::all_of(digits.begin(), digits.end(),
                             [](char c) { return std::isdigit(static_cast<unsigned char>(c)); }) ||
                std::stoi(std::string(digits)) > 39) {
                throw UsageError(
                    fmt::format("{}: \"{}\": a sector number is 0..39", where, std::string(line)));
            }
            sector = std::stoi(std::string(digits));
            if (byNumber.count(FirstBlockOf(sector)) != 0) {
                throw UsageError(fmt::format("{}: sector {} comes twice", where, sector));
            }
            inSector = 0;
            highest = std::max(highest, sector);
            continue;
        }
        if (sector < 0)
            throw UsageError(fmt::format("{}: a block before any \"+Sector: N\"", where));
        if (inSector == BlocksIn(sector)) {
            throw UsageError(fmt::format("{}: more than {} blocks in sector {}", where,
                                         BlocksIn(sector), sector));
        }
        const int block = FirstBlockOf(sector) + inSector++;
        const bool trailer = IsTrailer(block);
        UnknownKeys keys;
        std::string text(line);
        if (text.size() == 2 * kBlockSize && trailer &&
            text.substr(12, 8).find('-') == std::string::npos) {
            byNumber[block] = BlockFromText(text, where, true, &keys);
            if (keys.a || keys.b) keysBySector[sector] = keys;
        } else if (text.find('-') != std::string::npos) {
            if (text.size() != 2 * kBlockSize ||
                text.find_first_not_of("-0123456789abcdefABCDEF") != std::string::npos) {
                throw UsageError(
                    fmt::format("{}: \"{}\": expected 32 hexadecimal digits, \"--\" "
                                "for a byte not known",
                                where, text));
            }
            byNumber[block] = std::nullopt;
        } else {
            byNumber[block] = BlockFromText(text, where);
        }
    }
    if (sector < 0) throw UsageError("no \"+Sector: N\" line: not an mct file");
    if (inSector != BlocksIn(sector)) {
        throw UsageError(
            fmt::format("sector {} has {} blocks, not {}", sector, inSector, BlocksIn(sector)));
    }
    MifareDump dump;
    const int sectors = highest < 5 ? 5 : highest < 16 ? 16 : highest < 32 ? 32 : 40;
    dump.blocks.resize(static_cast<std::size_t>(BlockCountForSectors(sectors)));
    for (const auto& [b, block] : byNumber) dump.blocks[static_cast<std::size_t>(b)] = block;
    for (const auto& [s, keys] : keysBySector) {
        SetKeyKnown(dump, s, 'A', !keys.a);
        SetKeyKnown(dump, s, 'B', !keys.b);
    }
    return dump;
}

std::string WriteMct(const MifareDump& dump) {
    std::string out;
    const int sectors = SectorCountForBlocks(static_cast<int>(dump.blocks.size()));
    // Every sector, those not read as dashes, so that the file keeps the
    // card's size.
    for (int sector = 0; sector < sectors; ++sector) {
        out += fmt::format("+Sector: {}\n", sector);
        for (int b = FirstBlockOf(sector); b <= TrailerOf(sector); ++b) {
            const auto& block = dump.blocks[static_cast<std::size_t>(b)];
            out += !block         ? std::string(2 * kBlockSize, '-')
                   : IsTrailer(b) ? TrailerText(*block, {!KeyKnown(dump, sector, 'A'),
                                                         !KeyKnown(dump, sector, 'B')})
                                  : Hex(block->data(), kBlockSize);
            out += "\n";
        }
    }
    return out;
}

std::string WriteJson(const MifareDump& dump) {
    Json root;
    root["Created"] = "zelvorn";
    root["FileType"] = "mfcard";
    Json card = Json::object();
    if (!dump.uid.empty()) card["UID"] = HexText(dump.uid, "");
    if (dump.atqa) card["ATQA"] = Hex(dump.atqa->data(), 2);
    if (dump.sak) card["SAK"] = fmt::format("{:02X}", *dump.sak);
    root["Card"] = card;
    Json blocks = Json::object();
    for (std::size_t i = 0; i < dump.blocks.size(); ++i) {
        const int sector = SectorOf(static_cast<int>(i));
        blocks[std::to_string(i)] =
            !dump.blocks[i] ? std::string(2 * kBlockSize, '-')
            : IsTrailer(static_cast<int>(i))
                ? TrailerText(*dump.blocks[i],
                              {!KeyKnown(dump, sector, 'A'), !KeyKnown(dump, sector, 'B')})
                : Hex(dump.blocks[i]->data(), kBlockSize);
    }
    root["blocks"] = blocks;
    Json keys = Json::object();
    const int sectors = SectorCountForBlocks(static_cast<int>(dump.blocks.size()));
    for (int sector = 0; sector < sectors; ++sector) {
        const int first = FirstBlockOf(sector);
        const int trailerBlock = first + BlocksIn(sector) - 1;
        Json entry = Json::object();
        if (const auto& trailer = dump.blocks[trailerBlock]) {
            const std::string unknown(kKeyDigits, '-');
            entry["KeyA"] = KeyKnown(dump, sector, 'A') ? Hex(trailer->data(), 6) : unknown;
            entry["KeyB"] = KeyKnown(dump, sector, 'B') ? Hex(trailer->data() + 10, 6) : unknown;
            entry["AccessConditions"] = Hex(trailer->data() + 6, 4);
            Json text = Json::object();
            if (const auto conditions = TrailerConditions(trailer->data())) {
                const int perGroup = BlocksIn(sector) == 4 ? 1 : 5;
                for (int b = first; b < trailerBlock; ++b) {
                    text[fmt::format("block{}", b)] =
                        DataConditionText((*conditions)[(b - first) / perGroup], (*conditions)[3]);
                }
                text[fmt::format("block{}", trailerBlock)] = TrailerConditionText((*conditions)[3]);
            } else {
                text["error"] = "access bits do not match their inverted copy";
            }
            text["UserData"] = fmt::format("{:02X}", (*trailer)[9]);
            entry["AccessConditionsText"] = text;
        }
        if (static_cast<std::size_t>(sector) < dump.openedWith.size() &&
            !dump.openedWith[sector].empty()) {
            entry["OpenedWith"] = dump.openedWith[sector];
        }
        if (!entry.empty()) keys[std::to_string(sector)] = entry;
    }
    root["SectorKeys"] = keys;
    return root.dump(2) + "\n";
}

}  // namespace

DumpFormat DumpFormatFor(const std::string& path, const std::string& given) {
    const std::string name = FormatName(path, given);
    if (name == "bin" || name == "mfd" || name == "dump") return DumpFormat::Binary;
    if (name == "eml") return DumpFormat::Eml;
    if (name == "json") return DumpFormat::Json;
    if (name == "mct") return DumpFormat::Mct;
    throw UsageError(fmt::format(
        "{}: the format is not known from its name; end it in .bin, .mfd, .eml, .json or .mct, "
        "or give --format",
        path));
}

std::string WriteDump(const MifareDump& dump, DumpFormat format,
                      std::vector<std::string>& warnings) {
    if (format == DumpFormat::Json) return WriteJson(dump);
    if (format == DumpFormat::Mct) return WriteMct(dump);
    const int sectors = SectorCountForBlocks(static_cast<int>(dump.blocks.size()));
    for (int sector = 0; sector < sectors; ++sector) {
        std::string missing;
        for (int b = FirstBlockOf(sector); b < FirstBlockOf(sector) + BlocksIn(sector); ++b) {
            if (!dump.blocks[b]) missing += (missing.empty() ? "" : ", ") + std::to_string(b);
        }
        if (!missing.empty()) {
            warnings.push_back(
                fmt::format("sector {}: block{} {} not read, written as zeros", sector,
                            missing.find(',') == std::string::npos ? "" : "s", missing));
        }
    }
    if (const std::string unknown = UnknownKeysText(dump); !unknown.empty()) {
        warnings.push_back(fmt::format(
            "{} not known (the card does not show it and no key given found it): written as "
            "the card gave it; restore refuses such a trailer unless given the key (--key-a, "
            "--key-b) or --force",
            unknown));
    }
    std::string out;
    for (const auto& block : dump.blocks) {
        const Block data = block.value_or(Block{});
        if (format == DumpFormat::Binary) {
            out.append(reinterpret_cast<const char*>(data.data()), data.size());
        } else {
            out += Hex(data.data(), data.size()) + "\n";
        }
    }
    return out;
}

MifareDump ReadDump(std::string_view content, DumpFormat format) {
    MifareDump dump;
    switch (format) {
        case DumpFormat::Binary:
            dump = ReadBinary(content);
            break;
        case DumpFormat::Eml:
            dump = ReadEml(content);
            break;
        case DumpFormat::Json:
            return ReadJson(content);
        case DumpFormat::Mct:
            return ReadMct(content);
    }
    MarkUnreadSectors(dump);
    MarkUnfilledKeys(dump);
    return dump;
}

bool KeyKnown(const MifareDump& dump, int sector, char kind) {
    if (sector < 0 || static_cast<std::size_t>(sector) >= dump.unknownKeys.size()) return true;
    const UnknownKeys& keys = dump.unknownKeys[static_cast<std::size_t>(sector)];
    return kind == 'A' ? !keys.a : !keys.b;
}

void SetKeyKnown(MifareDump& dump, int sector, char kind, bool known) {
    if (sector < 0) return;
    const auto at = static_cast<std::size_t>(sector);
    if (known && at >= dump.unknownKeys.size()) return;
    if (at >= dump.unknownKeys.size()) dump.unknownKeys.resize(at + 1);
    (kind == 'A' ? dump.unknownKeys[at].a : dump.unknownKeys[at].b) = !known;
}

std::string UnknownKeysText(const MifareDump& dump) {
    const int sectors = SectorCountForBlocks(static_cast<int>(dump.blocks.size()));
    std::string text;
    for (const char kind : {'B', 'A'}) {
        std::vector<int> list;
        for (int sector = 0; sector < sectors; ++sector) {
            if (dump.blocks[FirstBlockOf(sector) + BlocksIn(sector) - 1] &&
                !KeyKnown(dump, sector, kind)) {
                list.push_back(sector);
            }
        }
        if (list.empty()) continue;
        std::string numbers;
        for (const int s : list) numbers += (numbers.empty() ? "" : ", ") + std::to_string(s);
        text += fmt::format("{}key {} of sector{} {}", text.empty() ? "" : " and ", kind,
                            list.size() == 1 ? "" : "s", numbers);
    }
    return text;
}

std::string ReadWholeFile(const std::string& path, const std::string& what) {
    std::error_code error;
    if (std::filesystem::is_directory(path, error)) {
        throw UsageError(fmt::format("{} {}: is a directory", what, path));
    }
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        throw UsageError(
            fmt::format("{} {}: cannot be read: {}", what, path, std::strerror(errno)));
    }
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

MifareDump LoadDump(const std::string& path, DumpFormat format) {
    const std::string content = ReadWholeFile(path, "dump file");
    try {
        return ReadDump(content, format);
    } catch (const ToolError& e) {
        throw UsageError(fmt::format("dump file {}: {}", path, e.what()));
    }
}

std::vector<Key> ReadKeyDictionary(std::string_view text) {
    std::vector<Key> keys;
    std::size_t number = 0;
    while (!text.empty()) {
        ++number;
        const std::string_view line = NextLine(text, true);
        CheckText(line, number, "a key file is text, one key of 12 hexadecimal digits a line");
        if (line.empty()) continue;
        const Bytes bytes = ParseHex(line, fmt::format("line {}", number), 6);
        Key key{};
        std::copy(bytes.begin(), bytes.end(), key.begin());
        if (std::find(keys.begin(), keys.end(), key) == keys.end()) keys.push_back(key);
    }
    return keys;
}

std::vector<Key> LoadKeyDictionary(const std::string& path) {
    const std::string content = ReadWholeFile(path, "key file");
    try {
        return ReadKeyDictionary(content);
    } catch (const ToolError& e) {
        throw UsageError(fmt::format("key file {}: {}", path, e.what()));
    }
}

}  // namespace zelvorn::tool
