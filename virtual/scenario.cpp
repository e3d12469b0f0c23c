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

#include "virtual/cards/ask_ticket.h"
#include "virtual/cards/entry.h"
#include "virtual/cards/file_system.h"
#include "virtual/cards/mifare_classic.h"
#include "virtual/cards/processor_card.h"
#include "virtual/cards/registry.h"
#include "virtual/cards/type2_tag.h"
#include "virtual/cards/type_b_card.h"
#include "virtual/firmware.h"
#include "virtual/json_text.h"

namespace zelvorn::virt {
namespace {

Entry At(const Json& value, const std::string& where) {
    return Entry(value, where, Entry::File::Scenario);
}

// A card, with what its constructor refuses (a serial number of the wrong
// length, say) told as the entry's fault.
std::unique_ptr<Card> CardFrom(const Entry& c) {
    if (!c.Value().is_object() || !c.Has("type") || !c.Value()["type"].is_string()) {
        c.Fail("a card needs a \"type\"");
    }
    const std::string& type = c.Value()["type"].get_ref<const std::string&>();
    const CardKind* kind = CardKind_Named(type);
    if (kind == nullptr) c.Fail("unknown card type \"" + type + "\"");
    if (type != kTypeBCardKind.name && !c.Has("serial")) c.Fail("a card needs a \"serial\"");
    try {
        return kind->fromScenario(c);
    } catch (const std::invalid_argument& e) {
        c.Fail(e.what());
    }
}

std::uint8_t KeyNumber(const Entry& keys, const std::string& key) {
    if (key == "A") return 0xAA;
    if (key == "B") return 0xBB;
    if (key == "F") return 0xFF;
    return static_cast<std::uint8_t>(keys.Index(key, kStoredKeys));
}

}  // namespace

Scenario Scenario_FromJson(const std::string& text) {
    Json root;
    if (const std::string wrong = ParseJsonText(text, root); !wrong.empty()) {
        throw ScenarioError(wrong);
    }
    Scenario s;
    try {
        const Entry scenario = At(root, "scenario");
        scenario.OnlyKeys({"reader", "cards", "faults"});
        if (root.contains("reader")) {
            const Entry r = At(root["reader"], "reader");
            r.OnlyKeys({"serialNumber", "userPortInputs", "field", "eeprom", "keys"});
            if (r.Has("serialNumber")) {
                s.readerSerial = static_cast<std::uint32_t>(r["serialNumber"].Number(0xFFFFFFFF));
            }
            if (r.Has("userPortInputs")) {
                s.userPortInputs = static_cast<std::uint8_t>(r["userPortInputs"].Number(255));
            }
            if (r.Has("field")) s.fieldOn = r["field"].Bool();
            if (r.Has("eeprom")) {
                const Entry eeprom = r["eeprom"];
                for (auto& [key, bytes] : eeprom.Object().items()) {
                    const unsigned address = eeprom.Index(key, 256);
                    const Entry at = At(bytes, eeprom.Where() + "." + key);
                    Bytes b = at.Hex();
                    if (address + b.size() > 256) at.Fail("runs past the end of the EEPROM");
                    s.eeprom.emplace_back(static_cast<std::uint8_t>(address), std::move(b));
                }
            }
            if (r.Has("keys")) {
                const Entry keys = r["keys"];
                for (auto& [key, k] : keys.Object().items()) {
                    s.keys.emplace_back(KeyNumber(keys, key),
                                        At(k, keys.Where() + "." + key).HexArray<6>());
                }
            }
        }
        if (root.contains("cards")) {
            const Entry cards = At(root["cards"], "cards");
            for (std::size_t i = 0; i < cards.List().size(); ++i) {
                s.cards.push_back(
                    CardFrom(At(root["cards"][i], "cards[" + std::to_string(i) + "]")));
            }
        }
        if (root.contains("faults")) {
            const Entry f = At(root["faults"], "faults");
            f.OnlyKeys({"chunkSizes", "lowerCaseHex", "corruptChecksums", "refuseCommands",
                        "refusalStatus", "endlessReply", "shortReplies"});
            if (f.Has("chunkSizes")) {
                const Entry sizes = f["chunkSizes"];
                s.faults.chunkSizes.clear();
                for (std::size_t i = 0; i < sizes.List().size(); ++i) {
                    s.faults.chunkSizes.push_back(
                        static_cast<std::uint32_t>(sizes.At(i).Number(64)));
                }
                if (std::none_of(s.faults.chunkSizes.begin(), s.faults.chunkSizes.end(),
                                 [](std::uint32_t n) { return n != 0; })) {
                    sizes.Fail("needs at least one size above 0");
                }
            }
            const auto number = [&f](const char* key, std::uint64_t max) {
                return f.Has(key) ? f[key].Number(max) : 0;
            };
            s.faults.lowerCaseHex = f.Has("lowerCaseHex") && f["lowerCaseHex"].Bool();
            s.faults.corruptChecksums = static_cast<unsigned>(number("corruptChecksums", 1u << 30));
            s.faults.refuseCommands = static_cast<unsigned>(number("refuseCommands", 1u << 30));
            if (f.Has("refusalStatus")) {
                s.faults.refusalStatus =
                    static_cast<std::uint16_t>(f["refusalStatus"].Number(0xFFFF));
            }
            s.faults.endlessReply = f.Has("endlessReply") && f["endlessReply"].Bool();
            if (f.Has("shortReplies")) {
                const Entry commands = f["shortReplies"];
                for (std::size_t i = 0; i < commands.List().size(); ++i) {
                    s.faults.shortReplies.push_back(
                        static_cast<std::uint8_t>(commands.At(i).Number(0xFF)));
                }
            }
        }
    } catch (const nlohmann::json::exception&) {
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

    // The commonest tag of all, an NTAG215 holding an NDEF Text record.
    Type2Tag& tag = s.Add<Type2Tag>(*type2::ProductByKind("ntag215"), kType2Serial);
    const std::uint8_t text[] = {0x03, 0x12, 0xD1, 0x01, 0x0E, 0x54, 0x02, 0x65, 0x6E, 0x5A, 0x65,
                                 0x6C, 0x76, 0x6F, 0x72, 0x6E, 0x20, 0x74, 0x61, 0x67, 0xFE};
    for (std::size_t i = 0; i < sizeof text; i += 4) {
        Type2Tag::Page page{};
        std::copy_n(text + i, std::min<std::size_t>(4, sizeof text - i), page.begin());
        tag.SetPage(4 + i / 4, page);
    }
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
