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

namespace zelvorn::tool {
namespace {

using Json = nlohmann::ordered_json;

constexpr std::size_t kBlockSize = 16;

std::string Lower(std::string text) {
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

// A block of 32 hexadecimal digits, or none when it is marked unknown
// (dashes or question marks, as proxmark3 writes bytes it could not read).
std::optional<Block> BlockFromText(std::string_view text, const std::string& where) {
    if (!text.empty() &&
        std::all_of(text.begin(), text.end(), [](char c) { return c == '-' || c == '?'; })) {
        return std::nullopt;
    }
    const Bytes bytes = ParseHex(text, where, kBlockSize);
    Block block{};
    std::copy(bytes.begin(), bytes.end(), block.begin());
    return block;
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
            fmt::format("{} bytes is not a whole number of 16-byte blocks", content.size()));
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

MifareDump ReadEml(std::string_view content) {
    MifareDump dump;
    std::size_t number = 0;
    while (!content.empty()) {
        ++number;
        const std::string_view line = NextLine(content, false);
        if (line.empty()) continue;
        if (dump.blocks.size() == 256) throw UsageError("more than 256 blocks");
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
    try {
        root = Json::parse(content);
    } catch (const Json::parse_error& e) {
        throw UsageError(fmt::format("not valid JSON: {}", e.what()));
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
        byNumber[std::stoi(key)] = BlockFromText(it.value().get<std::string>(), where);
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
    return dump;
}

std::string Hex(const std::uint8_t* data, std::size_t n) {
    return HexText({data, n}, "");
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
        blocks[std::to_string(i)] =
            dump.blocks[i] ? Hex(dump.blocks[i]->data(), kBlockSize) : std::string(32, '-');
    }
    root["blocks"] = blocks;
    Json keys = Json::object();
    const int sectors = SectorCountForBlocks(static_cast<int>(dump.blocks.size()));
    for (int sector = 0; sector < sectors; ++sector) {
        const int first = FirstBlockOf(sector);
        const int trailerBlock = first + BlocksIn(sector) - 1;
        Json entry = Json::object();
        if (const auto& trailer = dump.blocks[trailerBlock]) {
            entry["KeyA"] = Hex(trailer->data(), 6);
            entry["KeyB"] = Hex(trailer->data() + 10, 6);
            entry["AccessConditions"] = Hex(trailer->data() + 6, 4);
            Json text = Json::object();
            if (const auto conditions = DecodeAccessBits(trailer->data())) {
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
    std::string name = Lower(given);
    if (name.empty()) {
        const std::string extension = Lower(std::filesystem::path(path).extension().string());
        if (!extension.empty()) name = extension.substr(1);
    }
    if (name == "bin" || name == "mfd" || name == "dump") return DumpFormat::Binary;
    if (name == "eml") return DumpFormat::Eml;
    if (name == "json") return DumpFormat::Json;
    throw UsageError(fmt::format(
        "{}: the format is not known from its name; end it in .bin, .mfd, .eml or .json, or "
        "give --format",
        path));
}

std::string WriteDump(const MifareDump& dump, DumpFormat format,
                      std::vector<std::string>& warnings) {
    if (format == DumpFormat::Json) return WriteJson(dump);
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
    try {
        switch (format) {
            case DumpFormat::Binary:
                return ReadBinary(content);
            case DumpFormat::Eml:
                return ReadEml(content);
            case DumpFormat::Json:
                return ReadJson(content);
        }
    } catch (const nlohmann::json::exception& e) {
        throw UsageError(e.what());
    }
    throw UsageError("unknown dump format");
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

void SaveDump(const std::string& path, const std::string& content) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    if (out) out.write(content.data(), static_cast<std::streamsize>(content.size()));
    if (!out) {
        throw UsageError(
            fmt::format("dump file {}: cannot be written: {}", path, std::strerror(errno)));
    }
}

std::vector<Key> ReadKeyDictionary(std::string_view text) {
    std::vector<Key> keys;
    std::size_t number = 0;
    while (!text.empty()) {
        ++number;
        const std::string_view line = NextLine(text, true);
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
