#include "tool/mifare_keys.h"

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <tuple>

#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include "tool/errors.h"
#include "tool/mifare_layout.h"
#include "virtual/json_text.h"
#include "zelvorn.h"

namespace zelvorn::tool {

Credential Given(char kind, const Key& key) {
    return {static_cast<std::uint8_t>(kind == 'A' ? KEYTYPE_A : KEYTYPE_B),
            0,
            key,
            kind,
            true,
            fmt::format("key {} {}", kind, HexText(key, ""))};
}

namespace {

// As proxmark3 lists them (client/src/mifare/mifaredefault.h), which mfoc's
// and MIFARE Classic Tool's lists share in the first places.
constexpr Key kDefaultKeys[] = {
    {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF},  // transport key of a card fresh from the factory
    {0x00, 0x00, 0x00, 0x00, 0x00, 0x00},  // blank
    {0xA0, 0xA1, 0xA2, 0xA3, 0xA4, 0xA5},  // MAD, key A of sector 0 of an NFC Forum card
    {0xB0, 0xB1, 0xB2, 0xB3, 0xB4, 0xB5},
    {0xC0, 0xC1, 0xC2, 0xC3, 0xC4, 0xC5},
    {0xD0, 0xD1, 0xD2, 0xD3, 0xD4, 0xD5},
    {0xAA, 0xBB, 0xCC, 0xDD, 0xEE, 0xFF},
    {0x1A, 0x2B, 0x3C, 0x4D, 0x5E, 0x6F},
    {0x12, 0x34, 0x56, 0x78, 0x9A, 0xBC},
    {0x01, 0x02, 0x03, 0x04, 0x05, 0x06},
    {0x12, 0x34, 0x56, 0xAB, 0xCD, 0xEF},
    {0xAB, 0xCD, 0xEF, 0x12, 0x34, 0x56},
    {0x4D, 0x3A, 0x99, 0xC3, 0x51, 0xDD},
    {0x1A, 0x98, 0x2C, 0x7E, 0x45, 0x9A},
    {0xD3, 0xF7, 0xD3, 0xF7, 0xD3, 0xF7},  // NFC Forum, key A of the NDEF sectors
    {0x71, 0x4C, 0x5C, 0x88, 0x6E, 0x97},
    {0x58, 0x7E, 0xE5, 0xF9, 0x35, 0x0F},
    {0xA0, 0x47, 0x8C, 0xC3, 0x90, 0x91},
    {0x53, 0x3C, 0xB6, 0xC7, 0x23, 0xF6},
    {0x8F, 0xD0, 0xA4, 0xF2, 0x56, 0xE9},
    {0x00, 0x00, 0x01, 0x4B, 0x5C, 0x31},
    {0xB5, 0x78, 0xF3, 0x8A, 0x5C, 0x61},
    {0x96, 0xA3, 0x01, 0xBC, 0xE2, 0x67},
};

using Json = nlohmann::ordered_json;

Key KeyFrom(const Bytes& bytes) {
    Key key{};
    std::copy(bytes.begin(), bytes.end(), key.begin());
    return key;
}

void AddUnique(std::vector<Key>& keys, const Key& key) {
    if (std::find(keys.begin(), keys.end(), key) == keys.end()) keys.push_back(key);
}

std::vector<Key> ReadJsonKeyFile(std::string_view text, SectorKeys& hints) {
    Json root;
    if (const std::string wrong = ParseJsonText(text, root); !wrong.empty()) {
        throw UsageError(wrong);
    }
    if (!root.is_object() || !root.contains("sectors") || !root["sectors"].is_array()) {
        throw UsageError("expected an object with \"sectors\": [{\"sector\": N, \"keyA\": ...}]");
    }
    std::vector<Key> keys;
    std::size_t i = 0;
    for (const Json& entry : root["sectors"]) {
        const std::string where = fmt::format("sectors[{}]", i++);
        if (!entry.is_object() || !entry.contains("sector") ||
            !entry["sector"].is_number_unsigned() || entry["sector"].get<unsigned>() > 39) {
            throw UsageError(fmt::format("{}: expected \"sector\": a number 0..39", where));
        }
        const int sector = entry["sector"].get<int>();
        for (const char kind : {'A', 'B'}) {
            const std::string name = fmt::format("key{}", kind);
            if (!entry.contains(name)) continue;
            if (!entry[name].is_string()) {
                throw UsageError(fmt::format("{}.{}: expected 12 hexadecimal digits", where, name));
            }
            const Key key =
                KeyFrom(ParseHex(entry[name].get<std::string>(), where + "." + name, 6));
            (kind == 'A' ? hints.a : hints.b)[sector] = key;
            AddUnique(keys, key);
        }
    }
    return keys;
}

}  // namespace

std::span<const Key> DefaultKeys() {
    return kDefaultKeys;
}

std::vector<Key> ReadKeyFile(std::string_view text, SectorKeys& hints) {
    const std::size_t first = text.find_first_not_of(" \t\r\n");
    if (first != std::string_view::npos && text[first] == '{') return ReadJsonKeyFile(text, hints);
    return ReadKeyDictionary(text);
}

KeyChoice ChooseKeys(const KeyOptions& o) {
    KeyChoice choice;
    std::vector<Key> keys;
    for (const std::string& text : o.keys) AddUnique(keys, KeyFrom(ParseHex(text, "key", 6)));
    for (const std::string& path : o.keyFiles) {
        const std::string content = ReadWholeFile(path, "key file");
        std::vector<Key> fromFile;
        try {
            fromFile = ReadKeyFile(content, choice.hints);
        } catch (const ToolError& e) {
            throw UsageError(fmt::format("key file {}: {}", path, e.what()));
        }
        if (fromFile.empty()) {
            throw UsageError(fmt::format(
                "key file {}: holds no key; write one key of 12 hexadecimal digits a line", path));
        }
        for (const Key& key : fromFile) AddUnique(keys, key);
    }
    if (!o.noDefaultKeys && o.keys.empty() && o.storedKeys.empty() && o.readerKeys.empty()) {
        for (const Key& key : kDefaultKeys) AddUnique(keys, key);
    }

    if (keys.empty() && o.storedKeys.empty() && o.readerKeys.empty()) {
        throw UsageError(
            "no key to try: give one with -k KEY, -K FILE, -s N or -r A|B|F, or leave out "
            "--no-default-keys");
    }
    std::vector<char> kinds;
    if (o.keyType != "B" && o.keyType != "b") kinds.push_back('A');
    if (o.keyType != "A" && o.keyType != "a") kinds.push_back('B');
    for (const char kind : kinds) {
        for (const Key& key : keys) choice.credentials.push_back(Given(kind, key));
        for (const int n : o.storedKeys) {
            choice.credentials.push_back(
                {static_cast<std::uint8_t>(kind == 'A' ? KEYTYPE_STORED_A : KEYTYPE_STORED_B),
                 static_cast<std::uint8_t>(n), Key{}, kind, false,
                 fmt::format("stored key {} as key {}", n, kind)});
        }
    }
    // The reader's own keys: A and F log in as key A, B as key B.
    for (const std::string& r : o.readerKeys) {
        const char which = static_cast<char>(std::toupper(static_cast<unsigned char>(r[0])));
        const std::uint8_t type = which == 'A'   ? KEYTYPE_READER_A
                                  : which == 'B' ? KEYTYPE_READER_B
                                                 : KEYTYPE_READER_F;
        choice.credentials.push_back({type, 0, Key{}, which == 'B' ? 'B' : 'A', false,
                                      fmt::format("the reader's key {}", which)});
    }
    return choice;
}

std::string WriteKeyFile(const MifareDump& dump, bool json) {
    const int sectors = SectorCountForBlocks(static_cast<int>(dump.blocks.size()));
    // Per sector the keys that are keys: key B where the access bits make it
    // data opens nothing and is left out.
    std::vector<std::pair<std::optional<Key>, std::optional<Key>>> found(
        static_cast<std::size_t>(std::max(sectors, 0)));
    for (int sector = 0; sector < sectors; ++sector) {
        const auto& trailer = dump.blocks[static_cast<std::size_t>(TrailerOf(sector))];
        if (!trailer) continue;
        Key a{}, b{};
        std::copy(trailer->begin(), trailer->begin() + 6, a.begin());
        std::copy(trailer->begin() + 10, trailer->end(), b.begin());
        const auto conditions = TrailerConditions(trailer->data());
        if (KeyKnown(dump, sector, 'A')) found[sector].first = a;
        if (KeyKnown(dump, sector, 'B') && conditions && !KeyBReadable((*conditions)[3])) {
            found[sector].second = b;
        }
    }
    if (json) {
        Json root;
        if (!dump.uid.empty()) root["uid"] = HexText(dump.uid, "");
        Json list = Json::array();
        for (int sector = 0; sector < sectors; ++sector) {
            const auto& [a, b] = found[sector];
            if (!a && !b) continue;
            Json entry{{"sector", sector}};
            if (a) entry["keyA"] = HexText(*a, "");
            if (b) entry["keyB"] = HexText(*b, "");
            list.push_back(entry);
        }
        root["sectors"] = list;
        return root.dump(2) + "\n";
    }
    // One key a line, in the order they first appear, with what it opens.
    std::vector<Key> keys;
    for (const auto& [a, b] : found) {
        if (a) AddUnique(keys, *a);
        if (b) AddUnique(keys, *b);
    }
    std::string out =
        fmt::format("# MIFARE Classic keys{}: one key a line, the sectors it opens after '#'\n",
                    dump.uid.empty() ? "" : " of the card " + HexText(dump.uid, ""));
    for (const Key& key : keys) {
        std::string uses;
        for (const char kind : {'A', 'B'}) {
            std::string list;
            for (int sector = 0; sector < sectors; ++sector) {
                const auto& k = kind == 'A' ? found[sector].first : found[sector].second;
                if (k && *k == key) list += (list.empty() ? "" : ",") + std::to_string(sector);
            }
            if (!list.empty()) {
                uses += fmt::format("{}key {} of sectors {}", uses.empty() ? "" : "; ", kind, list);
            }
        }
        out += fmt::format("{}  # {}\n", HexText(key, ""), uses);
    }
    return out;
}

bool KeyFileIsJson(const std::string& path) {
    std::string extension = std::filesystem::path(path).extension().string();
    for (char& c : extension) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return extension == ".json";
}

KeySearch::KeySearch(std::vector<Credential> credentials, SectorKeys hints)
    : credentials_(std::move(credentials)), hints_(std::move(hints)) {}

std::string KeySearch::Identity(const Credential& c) const {
    if (c.keyKnown) return "key " + HexText(c.key, "");
    if (c.keyType == KEYTYPE_STORED_A || c.keyType == KEYTYPE_STORED_B) {
        return fmt::format("stored {}", c.storedKeyNo);
    }
    return c.label;
}

std::vector<std::size_t> KeySearch::Order(int sector, std::optional<char> kind) const {
    struct Ranked {
        int rank;
        int opened;
        std::size_t index;
    };
    std::vector<Ranked> ranked;
    for (std::size_t i = 0; i < credentials_.size(); ++i) {
        const Credential& c = credentials_[i];
        if (kind && c.kind != *kind) continue;
        const auto& hints = c.kind == 'A' ? hints_.a : hints_.b;
        const auto hint = hints.find(sector);
        int opened = 0;
        if (kind) {
            const auto it = openedByKey_.find(Identity(c));
            if (it != openedByKey_.end()) opened = it->second;
        } else if (const auto it = openedByCredential_.find(i); it != openedByCredential_.end()) {
            opened = it->second;
        }
        const int rank = c.keyKnown && hint != hints.end() && hint->second == c.key ? 0
                         : opened > 0                                               ? 1
                                                                                    : 2;
        ranked.push_back({rank, opened, i});
    }
    std::stable_sort(ranked.begin(), ranked.end(), [](const Ranked& x, const Ranked& y) {
        return std::tie(x.rank, y.opened) < std::tie(y.rank, x.opened);
    });
    std::vector<std::size_t> out;
    for (const Ranked& r : ranked) out.push_back(r.index);
    return out;
}

void KeySearch::Opened(std::size_t index) {
    ++openedByCredential_[index];
    ++openedByKey_[Identity(credentials_[index])];
}

}  // namespace zelvorn::tool
