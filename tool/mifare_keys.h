// The ways to log in to a MIFARE Classic sector, and the order to try them
// in: keys given on the command line, key files, the bundled dictionary of
// publicly known default keys, keys stored in the reader. A key that opened
// one sector is tried first on the others, since cards share keys.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "tool/dump_file.h"

namespace zelvorn::tool {

// The reader keeps 16 keys of its own under the numbers 0..15, and three
// more, its keys A, B and F, under 0xAA, 0xBB and 0xFF.
inline constexpr int kStoredKeyCount = 16;

struct KeyOptions {
    std::vector<std::string> keys;        // -k: 12 hexadecimal digits each
    std::vector<std::string> keyFiles;    // -K: key dictionaries or key files
    std::vector<int> storedKeys;          // -s: key numbers stored in the reader
    std::vector<std::string> readerKeys;  // -r: the reader's own keys A, B, F
    std::string keyType = "both";         // A, B or both
    bool noDefaultKeys = false;           // --no-default-keys
};

// One way to log in to a sector.
struct Credential {
    std::uint8_t keyType;
    std::uint8_t storedKeyNo;
    Key key;
    char kind;      // 'A' or 'B': the key the card checks
    bool keyKnown;  // the key's value is known to the tool (not held by the reader)
    std::string label;
};

Credential Given(char kind, const Key& key);

// The publicly known default keys, as open tools of the field list them:
// the transport key first, then the MAD and NFC Forum keys and the vendors'
// common defaults.
std::span<const Key> DefaultKeys();

// The keys a key file names for particular sectors (a key file written by
// --keys-out): tried first on their own sector.
struct SectorKeys {
    std::map<int, Key> a;
    std::map<int, Key> b;
};

// What -k, -K, -s and -r give, in this order, every key as key A first and
// then as key B (as -t allows). The bundled dictionary follows the key files
// when neither -k, -s nor -r is given, unless --no-default-keys. A key file
// that holds no key is refused.
struct KeyChoice {
    std::vector<Credential> credentials;
    SectorKeys hints;
};
KeyChoice ChooseKeys(const KeyOptions& options);

// A key file: the dictionary format (one key a line, '#' comments) or, for
// a file whose first character is '{', the JSON written by --keys-out.
// hints gets the sectors the JSON names. UsageError says what is wrong.
std::vector<Key> ReadKeyFile(std::string_view text, SectorKeys& hints);

// The keys a dump found, as --keys-out writes them: the dictionary format
// (with a comment naming each key's sectors) or JSON (sector, key A, key B).
std::string WriteKeyFile(const MifareDump& dump, bool json);
// Whether --keys-out writes JSON to this path: a name ending in .json.
bool KeyFileIsJson(const std::string& path);

// The order to try credentials in on a sector. First a key a key file names
// for that sector, then the keys that opened other sectors (the one that
// opened most first), then the rest in the order given.
class KeySearch {
public:
    KeySearch(std::vector<Credential> credentials, SectorKeys hints);

    const std::vector<Credential>& Credentials() const { return credentials_; }

    // Indexes into Credentials() for a login to the sector; kind 'A' or 'B'
    // takes only credentials of that kind and puts first the keys that
    // opened a sector as either kind (looking for the other key of a sector).
    std::vector<std::size_t> Order(int sector, std::optional<char> kind = std::nullopt) const;

    // The credential at index opened the sector.
    void Opened(std::size_t index);

private:
    std::string Identity(const Credential& c) const;
    std::vector<Credential> credentials_;
    SectorKeys hints_;
    std::map<std::size_t, int> openedByCredential_;
    std::map<std::string, int> openedByKey_;
};

}  // namespace zelvorn::tool
