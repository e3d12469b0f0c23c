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
#include <utility>
#include <vector>

#include "virtual/cards/entry.h"
#include "virtual/cards/registry.h"
#include "virtual/firmware.h"
#include "virtual/json_text.h"

#if defined(_WIN32)
#include <io.h>
#include <process.h>
#include <windows.h>
#else
#include <unistd.h>
#endif

namespace zelvorn::virt {
namespace {

constexpr char kFormat[] = "zelvorn-virtual-state";

Entry At(const Json& value, const std::string& where) {
    return Entry(value, where, Entry::File::State);
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

// The card of the field a state entry is about: its kind by name (or by the
// name an earlier release gave it) and its serial number.
Card* FindCard(Firmware& firmware, const std::string& kind, const Bytes& serial) {
    for (std::size_t i = 0; i < firmware.CardCount(); ++i) {
        Card& card = firmware.CardAt(i);
        const CardKind& its = card.Kind();
        if (card.Serial() != serial || its.loadState == nullptr) continue;
        if (kind == its.name || (its.formerStateName != nullptr && kind == its.formerStateName)) {
            return &card;
        }
    }
    return nullptr;
}

}  // namespace

std::string State_Save(Firmware& firmware) {
    Json root{{"format", kFormat}, {"version", 1}};
    Json keys = Json::object();
    for (const std::uint8_t n : KeyNumbers()) keys[KeyName(n)] = HexText(firmware.KeyAt(n), 6);
    root["keys"] = std::move(keys);
    root["eeprom"] = HexText(firmware.Eeprom().data(), firmware.Eeprom().size());
    Json cards = Json::array();
    for (std::size_t i = 0; i < firmware.CardCount(); ++i) {
        const Card& card = firmware.CardAt(i);
        const CardKind& kind = card.Kind();
        if (kind.saveState == nullptr) continue;
        Json entry{{"kind", kind.name},
                   {"serial", HexText(card.Serial().data(), card.Serial().size())}};
        kind.saveState(card, entry);
        cards.push_back(std::move(entry));
    }
    root["cards"] = std::move(cards);
    return root.dump(2) + "\n";
}

namespace {

// Every change the state file asks for, each checked before it is listed.
StateChanges ChangesOf(const Json& root, Firmware& firmware) {
    StateChanges changes;
    if (!root.is_object() || !root.contains("format") || root["format"] != kFormat) {
        At(root, "format")
            .Fail(std::string("not a state file (\"format\": \"") + kFormat + "\" missing)");
    }
    if (root.contains("keys")) {
        const Entry keys = At(root["keys"], "keys");
        keys.Object();
        for (const std::uint8_t n : KeyNumbers()) {
            const std::string name = KeyName(n);
            if (!keys.Has(name.c_str())) continue;
            const Bytes key = keys[name.c_str()].ExactBytes(6);
            changes.push_back([&firmware, n, key] { firmware.SetKey(n, key.data()); });
        }
    }
    if (root.contains("eeprom")) {
        const Bytes eeprom = At(root["eeprom"], "eeprom").ExactBytes(firmware.Eeprom().size());
        changes.push_back([&firmware, eeprom] {
            std::copy(eeprom.begin(), eeprom.end(), firmware.Eeprom().begin());
        });
    }
    if (root.contains("cards")) {
        const Entry cards = At(root["cards"], "cards");
        for (std::size_t i = 0; i < cards.List().size(); ++i) {
            const Entry c = cards.At(i);
            if (!c.Value().is_object() || !c.Has("kind") || !c.Value()["kind"].is_string() ||
                !c.Has("serial") || !c.Value()["serial"].is_string()) {
                c.Fail("expected an object with \"kind\" and \"serial\"");
            }
            const std::string& serialText = c.Value()["serial"].get_ref<const std::string&>();
            if (serialText.size() > 20) c["serial"].Fail("longer than 10 bytes");
            const Bytes serial = c["serial"].ExactBytes(serialText.size() / 2);
            // A card the scenario no longer has is left out.
            Card* card = FindCard(firmware, c.Value()["kind"].get<std::string>(), serial);
            if (card == nullptr) continue;
            card->Kind().loadState(*card, c, changes);
        }
    }
    return changes;
}

}  // namespace

void State_Load(const std::string& text, Firmware& firmware) {
    Json root;
    if (const std::string wrong = ParseJsonText(text, root); !wrong.empty()) {
        throw StateError(wrong);
    }
    // Every change is checked first and carried out only once all are.
    StateChanges changes;
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
