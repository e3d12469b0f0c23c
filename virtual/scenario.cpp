#include "virtual/scenario.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <nlohmann/json.hpp>
#include <sstream>

#include "virtual/ask_ticket.h"
#include "virtual/file_system.h"
#include "virtual/firmware.h"
#include "virtual/json_text.h"
#include "virtual/mifare_classic.h"
#include "virtual/processor_card.h"
#include "virtual/type_b_card.h"

namespace zelvorn::virt {
namespace {

using nlohmann::json;

[[noreturn]] void Fail(const std::string& where, const std::string& what) {
    throw ScenarioError(where + ": " + what);
}

// Hexadecimal text; spaces and colons between the digits are allowed.
Bytes Hex(const json& value, const std::string& where) {
    if (!value.is_string()) Fail(where, "expected a string of hexadecimal digits");
    std::string digits;
    for (char c : value.get<std::string>()) {
        if (c == ' ' || c == ':') continue;
        if (!std::isxdigit(static_cast<unsigned char>(c))) Fail(where, "not a hexadecimal digit");
        digits.push_back(c);
    }
    if (digits.size() % 2 != 0) Fail(where, "odd number of hexadecimal digits");
    Bytes out;
    for (std::size_t i = 0; i < digits.size(); i += 2) {
        out.push_back(static_cast<std::uint8_t>(std::stoul(digits.substr(i, 2), nullptr, 16)));
    }
    return out;
}

template <std::size_t N>
std::array<std::uint8_t, N> HexArray(const json& value, const std::string& where) {
    const Bytes b = Hex(value, where);
    if (b.size() != N) Fail(where, "expected " + std::to_string(N) + " bytes");
    std::array<std::uint8_t, N> out{};
    std::copy(b.begin(), b.end(), out.begin());
    return out;
}

// A number, given as a JSON number or as hexadecimal text.
std::uint64_t Number(const json& value, const std::string& where, std::uint64_t max) {
    std::uint64_t n = 0;
    if (value.is_number_unsigned()) {
        n = value.get<std::uint64_t>();
    } else if (value.is_string()) {
        const Bytes b = Hex(value, where);
        if (b.empty() || b.size() > 8) Fail(where, "expected 1 to 8 bytes");
        for (std::uint8_t byte : b) n = n << 8 | byte;
    } else {
        Fail(where, "expected a number");
    }
    if (n > max) Fail(where, "larger than " + std::to_string(max));
    return n;
}

// The decimal index of an object key ("12" in "blocks": {"12": ...}).
unsigned Index(const std::string& key, const std::string& where, unsigned limit) {
    if (key.empty() || key.size() > 3 || !std::all_of(key.begin(), key.end(), [](char c) {
            return std::isdigit(static_cast<unsigned char>(c));
        })) {
        Fail(where, "\"" + key + "\" is not a decimal number");
    }
    const unsigned n = static_cast<unsigned>(std::stoul(key));
    if (n >= limit) Fail(where, key + " is not in 0.." + std::to_string(limit - 1));
    return n;
}

// An entry that must be an object of entries by key, or a list.
const json& ObjectAt(const json& parent, const char* key, const std::string& where) {
    const json& value = parent[key];
    if (!value.is_object()) Fail(where + "." + key, "expected an object");
    return value;
}

const json& ListAt(const json& parent, const char* key, const std::string& where) {
    const json& value = parent[key];
    if (!value.is_array()) Fail(where + "." + key, "expected a list");
    return value;
}

bool BoolAt(const json& object, const char* key, bool otherwise, const std::string& where) {
    if (!object.contains(key)) return otherwise;
    if (!object[key].is_boolean()) Fail(where + "." + key, "expected true or false");
    return object[key].get<bool>();
}

// A signed number of small size, where -1 means "none".
int IntAt(const json& object, const char* key, const std::string& where) {
    if (!object.contains(key)) return -1;
    const json& value = object[key];
    if (!value.is_number_integer() || value.get<std::int64_t>() < -1 ||
        (value.is_number_unsigned() && value.get<std::uint64_t>() > 1000000)) {
        Fail(where + "." + key, "expected a number from -1 to 1000000");
    }
    return static_cast<int>(value.get<std::int64_t>());
}

void OnlyKeys(const json& object, const std::string& where,
              std::initializer_list<const char*> keys) {
    if (!object.is_object()) Fail(where, "expected an object");
    for (auto it = object.begin(); it != object.end(); ++it) {
        if (std::none_of(keys.begin(), keys.end(), [&](const char* k) { return it.key() == k; })) {
            Fail(where, "unknown entry \"" + it.key() + "\"");
        }
    }
}

std::unique_ptr<Card> ClassicFrom(const json& c, const std::string& where, ClassicSize size) {
    OnlyKeys(c, where, {"type", "serial", "blocks", "values", "sectors"});
    auto card = std::make_unique<MifareClassic>(size, Hex(c["serial"], where + ".serial"));
    if (c.contains("sectors")) {
        for (auto& [key, s] : ObjectAt(c, "sectors", where).items()) {
            const std::string at = where + ".sectors." + key;
            const unsigned sector = Index(key, at, card->SectorCount());
            OnlyKeys(s, at, {"keyA", "keyB", "access", "conditions"});
            const auto& trailer = card->Block(MifareClassic::FirstBlock(sector) +
                                              MifareClassic::BlocksIn(sector) - 1);
            std::array<std::uint8_t, 6> keyA{}, keyB{};
            std::array<std::uint8_t, 4> access{};
            std::copy(trailer.begin(), trailer.begin() + 6, keyA.begin());
            std::copy(trailer.begin() + 6, trailer.begin() + 10, access.begin());
            std::copy(trailer.begin() + 10, trailer.end(), keyB.begin());
            if (s.contains("keyA")) keyA = HexArray<6>(s["keyA"], at + ".keyA");
            if (s.contains("keyB")) keyB = HexArray<6>(s["keyB"], at + ".keyB");
            if (s.contains("access")) access = HexArray<4>(s["access"], at + ".access");
            if (s.contains("conditions")) {
                const json& cond = s["conditions"];
                if (!cond.is_array() || cond.size() != 4) Fail(at, "conditions: four numbers 0..7");
                std::array<std::uint8_t, 4> groups{};
                for (std::size_t g = 0; g < 4; ++g) {
                    groups[g] = static_cast<std::uint8_t>(Number(cond[g], at + ".conditions", 7));
                }
                access = MifareClassic::EncodeAccess(groups, access[3]);
            }
            std::array<std::uint8_t, 4> check{};
            if (!MifareClassic::DecodeAccess(access.data(), check)) {
                Fail(at, "access bits do not match their inverted copy");
            }
            card->SetTrailer(sector, keyA, access, keyB);
        }
    }
    const auto dataBlock = [&](const std::string& key, const std::string& at) {
        const unsigned block = Index(key, at, card->BlockCount());
        if (block == 0 || MifareClassic::IsTrailer(block)) {
            Fail(at, "block " + key + " is the manufacturer block or a trailer (use \"sectors\")");
        }
        return block;
    };
    if (c.contains("blocks")) {
        for (auto& [key, b] : ObjectAt(c, "blocks", where).items()) {
            const std::string at = where + ".blocks." + key;
            const unsigned block = dataBlock(key, at);
            card->SetBlock(block, HexArray<16>(b, at));
        }
    }
    if (c.contains("values")) {
        for (auto& [key, v] : ObjectAt(c, "values", where).items()) {
            const std::string at = where + ".values." + key;
            if (!v.is_number_integer()) Fail(at, "expected an integer");
            // A number beyond the signed 64-bit range is unsigned, and would
            // wrap if read as signed.
            if (v.is_number_unsigned() && v.get<std::uint64_t>() > INT32_MAX) {
                Fail(at, "does not fit 32 bits");
            }
            const auto value = v.get<std::int64_t>();
            if (value < INT32_MIN || value > INT32_MAX) Fail(at, "does not fit 32 bits");
            const unsigned block = dataBlock(key, at);
            card->SetBlock(block, MifareClassic::ValueBlock(static_cast<std::int32_t>(value),
                                                            static_cast<std::uint8_t>(block)));
        }
    }
    return card;
}

FileNode FileFrom(const json& f, const std::string& where) {
    OnlyKeys(f, where, {"fid", "aid", "files", "data", "size", "pattern"});
    if (!f.contains("fid")) Fail(where, "a file needs a \"fid\"");
    const auto fid = static_cast<std::uint16_t>(Number(f["fid"], where + ".fid", 0xFFFF));
    if (f.contains("files") || f.contains("aid")) {
        std::vector<FileNode> children;
        if (f.contains("files")) {
            if (!f["files"].is_array()) Fail(where, "files: expected a list");
            for (std::size_t i = 0; i < f["files"].size(); ++i) {
                children.push_back(
                    FileFrom(f["files"][i], where + ".files[" + std::to_string(i) + "]"));
            }
        }
        return FileNode::Df(fid, f.contains("aid") ? Hex(f["aid"], where + ".aid") : Bytes{},
                            std::move(children));
    }
    Bytes data = f.contains("data") ? Hex(f["data"], where + ".data") : Bytes{};
    if (f.contains("size")) {
        const auto size = static_cast<std::size_t>(Number(f["size"], where + ".size", 32767));
        if (size < data.size()) Fail(where, "size is smaller than data");
        const bool pattern = BoolAt(f, "pattern", false, where);
        for (std::size_t i = data.size(); i < size; ++i) {
            data.push_back(pattern ? static_cast<std::uint8_t>(i % 251) : 0x00);
        }
    }
    return FileNode::Ef(fid, std::move(data));
}

std::unique_ptr<Card> ProcessorFrom(const json& c, const std::string& where) {
    OnlyKeys(c, where,
             {"type", "serial", "fsci", "historical", "files", "quirks", "challengeSeed"});
    std::vector<FileNode> files;
    if (c.contains("files")) {
        if (!c["files"].is_array()) Fail(where, "files: expected a list");
        for (std::size_t i = 0; i < c["files"].size(); ++i) {
            files.push_back(FileFrom(c["files"][i], where + ".files[" + std::to_string(i) + "]"));
        }
    }
    const auto seed = static_cast<std::uint32_t>(
        c.contains("challengeSeed")
            ? Number(c["challengeSeed"], where + ".challengeSeed", 0xFFFFFFFF)
            : 0x5EED1234);
    FileSystemApp app(FileNode::Df(0x3F00, {}, std::move(files)), seed == 0 ? 1 : seed);
    const auto fsci =
        static_cast<std::uint8_t>(c.contains("fsci") ? Number(c["fsci"], where + ".fsci", 8) : 2);
    auto card = std::make_unique<ProcessorCard>(
        Hex(c["serial"], where + ".serial"), std::move(app), fsci,
        c.contains("historical") ? Hex(c["historical"], where + ".historical")
                                 : Bytes{0x5A, 0x45, 0x4C});
    if (c.contains("quirks")) {
        const json& q = c["quirks"];
        const std::string at = where + ".quirks";
        OnlyKeys(q, at,
                 {"wtxBeforeAnswer", "wtxBeforeChained", "wtxm", "nakOnBlock", "nakTimes",
                  "wrongNumberOnBlock", "strictFrameSize"});
        ProtocolQuirks& quirks = card->Quirks();
        quirks.wtxBeforeAnswer =
            static_cast<unsigned>(Number(q.value("wtxBeforeAnswer", json(0u)), at, 1000));
        quirks.wtxBeforeChained =
            static_cast<unsigned>(Number(q.value("wtxBeforeChained", json(0u)), at, 1000));
        quirks.wtxm = static_cast<std::uint8_t>(Number(q.value("wtxm", json(1u)), at, 59));
        quirks.nakOnBlock = IntAt(q, "nakOnBlock", at);
        quirks.nakTimes = static_cast<unsigned>(Number(q.value("nakTimes", json(1u)), at, 1000));
        quirks.wrongNumberOnBlock = IntAt(q, "wrongNumberOnBlock", at);
        quirks.strictFrameSize = BoolAt(q, "strictFrameSize", false, at);
    }
    return card;
}

std::unique_ptr<Card> CardOf(const json& c, const std::string& where);

// A card, with what its constructor refuses (a serial number of the wrong
// length, say) told as the entry's fault.
std::unique_ptr<Card> CardFrom(const json& c, const std::string& where) {
    try {
        return CardOf(c, where);
    } catch (const std::invalid_argument& e) {
        Fail(where, e.what());
    }
}

std::unique_ptr<Card> CardOf(const json& c, const std::string& where) {
    if (!c.is_object() || !c.contains("type") || !c["type"].is_string()) {
        Fail(where, "a card needs a \"type\"");
    }
    const std::string type = c["type"].get<std::string>();
    if (type == "type-b" ? !c.contains("pupi") : !c.contains("serial")) {
        Fail(where,
             type == "type-b" ? "a type B card needs a \"pupi\"" : "a card needs a \"serial\"");
    }
    if (type == "mifare-classic-1k") return ClassicFrom(c, where, ClassicSize::k1K);
    if (type == "mifare-classic-4k") return ClassicFrom(c, where, ClassicSize::k4K);
    if (type == "iso14443-4") return ProcessorFrom(c, where);
    if (type == "type-b") {
        OnlyKeys(c, where, {"type", "pupi", "applicationData", "protocolInfo"});
        return std::make_unique<TypeBCard>(
            Hex(c["pupi"], where + ".pupi"),
            c.contains("applicationData")
                ? HexArray<4>(c["applicationData"], where + ".applicationData")
                : std::array<std::uint8_t, 4>{},
            c.contains("protocolInfo") ? HexArray<3>(c["protocolInfo"], where + ".protocolInfo")
                                       : std::array<std::uint8_t, 3>{0x00, 0x81, 0x71});
    }
    if (type == "ask-ticket") {
        OnlyKeys(c, where, {"type", "serial", "sectorCount", "oneTimeSectors", "sectors"});
        const auto count = static_cast<unsigned>(
            c.contains("sectorCount") ? Number(c["sectorCount"], where + ".sectorCount", 256) : 32);
        std::vector<std::uint8_t> oneTime{2, 3};
        if (c.contains("oneTimeSectors")) {
            oneTime.clear();
            for (const json& s : ListAt(c, "oneTimeSectors", where)) {
                oneTime.push_back(
                    static_cast<std::uint8_t>(Number(s, where + ".oneTimeSectors", 255)));
            }
        }
        auto ticket =
            std::make_unique<AskTicket>(Hex(c["serial"], where + ".serial"), count, oneTime);
        if (c.contains("sectors")) {
            for (auto& [key, s] : ObjectAt(c, "sectors", where).items()) {
                const std::string at = where + ".sectors." + key;
                const unsigned sector = Index(key, at, ticket->SectorCount());
                if (sector < 2) Fail(at, "sectors 0 and 1 hold the serial number");
                const auto bytes = HexArray<2>(s, at);
                ticket->SetSector(sector, bytes[0], bytes[1]);
            }
        }
        return ticket;
    }
    Fail(where, "unknown card type \"" + type + "\"");
}

std::uint8_t KeyNumber(const std::string& key, const std::string& where) {
    if (key == "A") return 0xAA;
    if (key == "B") return 0xBB;
    if (key == "F") return 0xFF;
    return static_cast<std::uint8_t>(Index(key, where, kStoredKeys));
}

}  // namespace

Scenario Scenario_FromJson(const std::string& text) {
    json root;
    if (const std::string wrong = ParseJsonText(text, root); !wrong.empty()) {
        throw ScenarioError(wrong);
    }
    Scenario s;
    try {
        OnlyKeys(root, "scenario", {"reader", "cards", "faults"});
        if (root.contains("reader")) {
            const json& r = root["reader"];
            OnlyKeys(r, "reader", {"serialNumber", "userPortInputs", "field", "eeprom", "keys"});
            if (r.contains("serialNumber")) {
                s.readerSerial = static_cast<std::uint32_t>(
                    Number(r["serialNumber"], "reader.serialNumber", 0xFFFFFFFF));
            }
            if (r.contains("userPortInputs")) {
                s.userPortInputs = static_cast<std::uint8_t>(
                    Number(r["userPortInputs"], "reader.userPortInputs", 255));
            }
            if (r.contains("field")) {
                if (!r["field"].is_boolean()) Fail("reader.field", "expected true or false");
                s.fieldOn = r["field"].get<bool>();
            }
        }
        if (root.contains("reader")) {
            const json& r = root["reader"];
            if (r.contains("eeprom")) {
                if (!r["eeprom"].is_object()) Fail("reader.eeprom", "expected an object");
                for (auto& [key, bytes] : r["eeprom"].items()) {
                    const std::string at = "reader.eeprom." + key;
                    const unsigned address = Index(key, at, 256);
                    Bytes b = Hex(bytes, at);
                    if (address + b.size() > 256) Fail(at, "runs past the end of the EEPROM");
                    s.eeprom.emplace_back(static_cast<std::uint8_t>(address), std::move(b));
                }
            }
            if (r.contains("keys")) {
                if (!r["keys"].is_object()) Fail("reader.keys", "expected an object");
                for (auto& [key, k] : r["keys"].items()) {
                    const std::string at = "reader.keys." + key;
                    s.keys.emplace_back(KeyNumber(key, at), HexArray<6>(k, at));
                }
            }
        }
        if (root.contains("cards")) {
            if (!root["cards"].is_array()) Fail("cards", "expected a list");
            for (std::size_t i = 0; i < root["cards"].size(); ++i) {
                s.cards.push_back(CardFrom(root["cards"][i], "cards[" + std::to_string(i) + "]"));
            }
        }
        if (root.contains("faults")) {
            const json& f = root["faults"];
            OnlyKeys(f, "faults",
                     {"chunkSizes", "lowerCaseHex", "corruptChecksums", "refuseCommands",
                      "refusalStatus", "endlessReply", "shortReplies"});
            if (f.contains("chunkSizes")) {
                s.faults.chunkSizes.clear();
                for (const json& n : ListAt(f, "chunkSizes", "faults")) {
                    s.faults.chunkSizes.push_back(
                        static_cast<std::uint32_t>(Number(n, "faults.chunkSizes", 64)));
                }
                if (std::none_of(s.faults.chunkSizes.begin(), s.faults.chunkSizes.end(),
                                 [](std::uint32_t n) { return n != 0; })) {
                    Fail("faults.chunkSizes", "needs at least one size above 0");
                }
            }
            s.faults.lowerCaseHex = BoolAt(f, "lowerCaseHex", false, "faults");
            s.faults.corruptChecksums = static_cast<unsigned>(
                Number(f.value("corruptChecksums", json(0u)), "faults.corruptChecksums", 1u << 30));
            s.faults.refuseCommands = static_cast<unsigned>(
                Number(f.value("refuseCommands", json(0u)), "faults.refuseCommands", 1u << 30));
            if (f.contains("refusalStatus")) {
                s.faults.refusalStatus = static_cast<std::uint16_t>(
                    Number(f["refusalStatus"], "faults.refusalStatus", 0xFFFF));
            }
            s.faults.endlessReply = BoolAt(f, "endlessReply", false, "faults");
            if (f.contains("shortReplies")) {
                for (const json& n : ListAt(f, "shortReplies", "faults")) {
                    s.faults.shortReplies.push_back(
                        static_cast<std::uint8_t>(Number(n, "faults.shortReplies", 0xFF)));
                }
            }
        }
    } catch (const json::exception&) {
        // Every entry is checked before it is used; this is the last guard,
        // should one have been missed.
        throw ScenarioError("scenario: an entry holds a value of the wrong kind");
    } catch (const std::invalid_argument& e) {
        throw ScenarioError(std::string("scenario: ") + e.what());
    }
    return s;
}

Scenario Scenario_FromFile(const std::string& path) {
    // The caller names the file; this says only what is wrong with it.
    std::error_code error;
    if (std::filesystem::is_directory(path, error)) throw ScenarioError("is a directory");
    std::ifstream in(path);
    if (!in) throw ScenarioError(std::string("cannot be read: ") + std::strerror(errno));
    std::stringstream text;
    text << in.rdbuf();
    return Scenario_FromJson(text.str());
}

Scenario Scenario_Default() {
    using namespace defaults;
    Scenario s;
    s.Add<MifareClassic>(ClassicSize::k1K, kClassicSerial);

    Bytes data(kDataFileSize);
    for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<std::uint8_t>(i % 251);
    const std::string label = "Zelvorn card 01";
    Bytes labelBytes(label.begin(), label.end());
    labelBytes.push_back(0);
    // EF.DIR: one application template naming the application.
    Bytes dir{0x61, 0x0E, 0x4F, 0x09};
    dir.insert(dir.end(), kApplicationAid.begin(), kApplicationAid.end());
    dir.insert(dir.end(), {0x50, 0x01, 0x5A});
    FileNode root = FileNode::Df(
        0x3F00, {},
        {FileNode::Ef(kDirectoryFile, dir),
         FileNode::Df(kApplicationDf, kApplicationAid,
                      {FileNode::Ef(kDataFile, data), FileNode::Ef(kLabelFile, labelBytes)})});
    s.Add<ProcessorCard>(kProcessorSerial, FileSystemApp(std::move(root)), 2);

    s.Add<TypeBCard>(kTypeBPupi, std::array<std::uint8_t, 4>{0x12, 0x34, 0x56, 0x78},
                     std::array<std::uint8_t, 3>{0x00, 0x81, 0x71});
    s.Add<AskTicket>(kTicketSerial);
    return s;
}

void Apply(Scenario& scenario, Firmware& firmware) {
    firmware.SetSerialNumber(scenario.readerSerial);
    firmware.SetUserPortInputs(scenario.userPortInputs);
    for (const auto& [address, bytes] : scenario.eeprom) {
        for (std::size_t i = 0; i < bytes.size() && address + i < 256; ++i) {
            firmware.Eeprom()[address + i] = bytes[i];
        }
    }
    for (const auto& [number, key] : scenario.keys) firmware.SetKey(number, key.data());
    for (auto& card : scenario.cards) firmware.AddCard(std::move(card));
    scenario.cards.clear();
    firmware.PowerOn();
    if (!scenario.fieldOn) firmware.SetField(false);
}

}  // namespace zelvorn::virt
