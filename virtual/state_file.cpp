#include "virtual/state_file.h"

#include <array>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <nlohmann/json.hpp>
#include <sstream>
#include <vector>

#include "virtual/ask_ticket.h"
#include "virtual/firmware.h"
#include "virtual/json_text.h"
#include "virtual/mifare_classic.h"

#if defined(_WIN32)
#include <io.h>
#include <process.h>
#include <windows.h>
#else
#include <unistd.h>
#endif

namespace zelvorn::virt {
namespace {

using nlohmann::ordered_json;

constexpr char kFormat[] = "zelvorn-virtual-state";

[[noreturn]] void Fail(const std::string& where, const std::string& what) {
    throw StateError(where + ": " + what);
}

std::string HexOf(const std::uint8_t* data, std::size_t n) {
    static const char digits[] = "0123456789ABCDEF";
    std::string out;
    for (std::size_t i = 0; i < n; ++i) {
        out += digits[data[i] >> 4];
        out += digits[data[i] & 0x0F];
    }
    return out;
}

// Exactly n bytes as 2n hexadecimal digits.
Bytes BytesOf(const ordered_json& value, std::size_t n, const std::string& where) {
    if (!value.is_string()) Fail(where, "expected hexadecimal text");
    const std::string& text = value.get_ref<const std::string&>();
    if (text.size() != 2 * n) Fail(where, "expected " + std::to_string(n) + " bytes");
    Bytes out(n);
    for (std::size_t i = 0; i < 2 * n; ++i) {
        const char c = text[i];
        if (!std::isxdigit(static_cast<unsigned char>(c))) Fail(where, "not a hexadecimal digit");
        const int v = std::isdigit(static_cast<unsigned char>(c))
                          ? c - '0'
                          : std::toupper(static_cast<unsigned char>(c)) - 'A' + 10;
        out[i / 2] = static_cast<std::uint8_t>(out[i / 2] << 4 | v);
    }
    return out;
}

// The key numbers of the state file: the stored keys by number, the reader's
// own keys by letter.
std::string KeyName(std::uint8_t number) {
    switch (number) {
        case 0xAA:
            return "A";
        case 0xBB:
            return "B";
        case 0xFF:
            return "F";
        default:
            return std::to_string(number);
    }
}

std::vector<std::uint8_t> KeyNumbers() {
    std::vector<std::uint8_t> numbers;
    for (std::uint8_t n = 0; n < kStoredKeys; ++n) numbers.push_back(n);
    numbers.insert(numbers.end(), {0xAA, 0xBB, 0xFF});
    return numbers;
}

// The card of the field a state entry is about.
Card* FindCard(Firmware& firmware, const std::string& kind, const Bytes& serial) {
    for (std::size_t i = 0; i < firmware.CardCount(); ++i) {
        Card& card = firmware.CardAt(i);
        if (card.Serial() != serial) continue;
        if (kind == "mifare-classic" && dynamic_cast<MifareClassic*>(&card) != nullptr)
            return &card;
        if (kind == "ask-ticket" && dynamic_cast<AskTicket*>(&card) != nullptr) return &card;
    }
    return nullptr;
}

}  // namespace

std::string State_Save(Firmware& firmware) {
    ordered_json root{{"format", kFormat}, {"version", 1}};
    ordered_json keys = ordered_json::object();
    for (const std::uint8_t n : KeyNumbers()) keys[KeyName(n)] = HexOf(firmware.KeyAt(n), 6);
    root["keys"] = keys;
    root["eeprom"] = HexOf(firmware.Eeprom().data(), firmware.Eeprom().size());
    ordered_json cards = ordered_json::array();
    for (std::size_t i = 0; i < firmware.CardCount(); ++i) {
        Card& card = firmware.CardAt(i);
        const std::string serial = HexOf(card.Serial().data(), card.Serial().size());
        if (auto* classic = dynamic_cast<MifareClassic*>(&card)) {
            ordered_json blocks = ordered_json::array();
            for (unsigned b = 0; b < classic->BlockCount(); ++b) {
                blocks.push_back(HexOf(classic->Block(b).data(), 16));
            }
            cards.push_back({{"kind", "mifare-classic"}, {"serial", serial}, {"blocks", blocks}});
        } else if (auto* ticket = dynamic_cast<AskTicket*>(&card)) {
            ordered_json sectors = ordered_json::array();
            for (unsigned s = 0; s < ticket->SectorCount(); ++s) {
                sectors.push_back(HexOf(ticket->Sector(s).data(), 2));
            }
            cards.push_back({{"kind", "ask-ticket"}, {"serial", serial}, {"sectors", sectors}});
        }
    }
    root["cards"] = cards;
    return root.dump(2) + "\n";
}

namespace {

// Every change the state file asks for, each checked before it is listed.
std::vector<std::function<void()>> ChangesOf(const ordered_json& root, Firmware& firmware) {
    std::vector<std::function<void()>> changes;
    if (!root.is_object() || !root.contains("format") || root["format"] != kFormat) {
        Fail("format", std::string("not a state file (\"format\": \"") + kFormat + "\" missing)");
    }
    if (root.contains("keys")) {
        const ordered_json& keys = root["keys"];
        if (!keys.is_object()) Fail("keys", "expected an object");
        for (const std::uint8_t n : KeyNumbers()) {
            const std::string name = KeyName(n);
            if (!keys.contains(name)) continue;
            const Bytes key = BytesOf(keys[name], 6, "keys." + name);
            changes.push_back([&firmware, n, key] { firmware.SetKey(n, key.data()); });
        }
    }
    if (root.contains("eeprom")) {
        const Bytes eeprom = BytesOf(root["eeprom"], firmware.Eeprom().size(), "eeprom");
        changes.push_back([&firmware, eeprom] {
            std::copy(eeprom.begin(), eeprom.end(), firmware.Eeprom().begin());
        });
    }
    if (root.contains("cards")) {
        const ordered_json& cards = root["cards"];
        if (!cards.is_array()) Fail("cards", "expected a list");
        for (std::size_t i = 0; i < cards.size(); ++i) {
            const std::string at = "cards[" + std::to_string(i) + "]";
            const ordered_json& c = cards[i];
            if (!c.is_object() || !c.contains("kind") || !c["kind"].is_string() ||
                !c.contains("serial") || !c["serial"].is_string()) {
                Fail(at, "expected an object with \"kind\" and \"serial\"");
            }
            const std::string& serialText = c["serial"].get_ref<const std::string&>();
            if (serialText.size() > 20) Fail(at + ".serial", "longer than 10 bytes");
            const Bytes serial = BytesOf(c["serial"], serialText.size() / 2, at + ".serial");
            // A card the scenario no longer has is left out.
            Card* card = FindCard(firmware, c["kind"].get<std::string>(), serial);
            if (card == nullptr) continue;
            if (auto* classic = dynamic_cast<MifareClassic*>(card)) {
                if (!c.contains("blocks") || !c["blocks"].is_array() ||
                    c["blocks"].size() != classic->BlockCount()) {
                    Fail(at + ".blocks",
                         "expected " + std::to_string(classic->BlockCount()) + " blocks");
                }
                for (unsigned b = 0; b < classic->BlockCount(); ++b) {
                    const Bytes bytes =
                        BytesOf(c["blocks"][b], 16, at + ".blocks[" + std::to_string(b) + "]");
                    std::array<std::uint8_t, 16> block{};
                    std::copy(bytes.begin(), bytes.end(), block.begin());
                    changes.push_back([classic, b, block] { classic->SetBlock(b, block); });
                }
            } else if (auto* ticket = dynamic_cast<AskTicket*>(card)) {
                if (!c.contains("sectors") || !c["sectors"].is_array() ||
                    c["sectors"].size() != ticket->SectorCount()) {
                    Fail(at + ".sectors",
                         "expected " + std::to_string(ticket->SectorCount()) + " sectors");
                }
                for (unsigned s = 0; s < ticket->SectorCount(); ++s) {
                    const Bytes bytes =
                        BytesOf(c["sectors"][s], 2, at + ".sectors[" + std::to_string(s) + "]");
                    changes.push_back(
                        [ticket, s, bytes] { ticket->SetSector(s, bytes[0], bytes[1]); });
                }
            }
        }
    }
    return changes;
}

}  // namespace

void State_Load(const std::string& text, Firmware& firmware) {
    ordered_json root;
    if (const std::string wrong = ParseJsonText(text, root); !wrong.empty()) {
        throw StateError(wrong);
    }
    // Every change is checked first and carried out only once all are.
    std::vector<std::function<void()>> changes;
    try {
        changes = ChangesOf(root, firmware);
    } catch (const nlohmann::json::exception&) {
        // Every entry is checked before it is used; this is the last guard,
        // should one have been missed.
        throw StateError("an entry holds a value of the wrong kind");
    }
    for (const auto& change : changes) change();
}

}  // namespace zelvorn::virt

namespace zelvorn::virt {
namespace {

[[noreturn]] void CannotWrite(const std::string& why) {
    throw StateError(kStateCannotBeWritten + why);
}

std::string SystemError(int error) {
    return std::strerror(error);
}

// Beside the state file, unique to this process, so that two programs
// saving at once never share a half-written file.
std::filesystem::path TemporaryFor(const std::filesystem::path& path) {
#if defined(_WIN32)
    const unsigned long id = GetCurrentProcessId();
#else
    const unsigned long id = static_cast<unsigned long>(getpid());
#endif
    std::filesystem::path temporary = path;
    temporary += ".tmp-" + std::to_string(id);
    return temporary;
}

bool ReadOnly(const std::filesystem::path& path) {
    std::error_code error;
    const auto status = std::filesystem::status(path, error);
    if (error || !std::filesystem::exists(status)) return false;
    using std::filesystem::perms;
    return (status.permissions() &
            (perms::owner_write | perms::group_write | perms::others_write)) == perms::none;
}

// Creates the file afresh with the whole text, flushed to the disk.
void WriteNew(const std::filesystem::path& path, const std::string& text) {
    std::FILE* file = std::fopen(path.string().c_str(), "wb");
    if (file == nullptr) CannotWrite(SystemError(errno));
    bool written =
        std::fwrite(text.data(), 1, text.size(), file) == text.size() && std::fflush(file) == 0;
    int error = errno;
#if defined(_WIN32)
    written = written && _commit(_fileno(file)) == 0;
#else
    written = written && fsync(fileno(file)) == 0;
#endif
    if (!written) error = errno;
    if (std::fclose(file) != 0 && written) {
        written = false;
        error = errno;
    }
    if (!written) {
        std::remove(path.string().c_str());
        CannotWrite(SystemError(error));
    }
}

}  // namespace

void State_LoadFile(const std::string& path, Firmware& firmware) {
    std::error_code error;
    if (std::filesystem::is_directory(path, error)) throw StateError("is a directory");
    std::ifstream in(path, std::ios::binary);
    if (!in) throw StateError("cannot be read: " + SystemError(errno));
    std::stringstream text;
    text << in.rdbuf();
    if (in.bad()) throw StateError("cannot be read");
    State_Load(text.str(), firmware);
}

void State_CheckWritable(const std::string& path) {
    std::error_code error;
    if (std::filesystem::is_directory(path, error)) CannotWrite("it is a directory");
    if (ReadOnly(path)) CannotWrite("it is read-only");
    // The folder must take the new file that a save renames into place.
    const std::filesystem::path temporary = TemporaryFor(path);
    std::FILE* probe = std::fopen(temporary.string().c_str(), "wb");
    if (probe == nullptr) CannotWrite(SystemError(errno));
    std::fclose(probe);
    std::remove(temporary.string().c_str());
}

void State_SaveFile(const std::string& path, Firmware& firmware) {
    if (ReadOnly(path)) CannotWrite("it is read-only");
    const std::filesystem::path temporary = TemporaryFor(path);
    WriteNew(temporary, State_Save(firmware));
    std::error_code error;
    const auto old = std::filesystem::status(path, error);
    if (!error && std::filesystem::exists(old)) {
        std::filesystem::permissions(temporary, old.permissions(), error);
    }
#if defined(_WIN32)
    const bool renamed = MoveFileExA(temporary.string().c_str(), path.c_str(),
                                     MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
    const std::string why = "Windows error " + std::to_string(GetLastError());
#else
    const bool renamed = std::rename(temporary.string().c_str(), path.c_str()) == 0;
    const std::string why = SystemError(errno);
#endif
    if (!renamed) {
        std::remove(temporary.string().c_str());
        CannotWrite(why);
    }
}

}  // namespace zelvorn::virt
