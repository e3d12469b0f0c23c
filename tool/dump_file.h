// MIFARE Classic dump files as other tools of the field read and write them:
// the raw image (.bin, .mfd), one block a line (.eml), proxmark3's JSON
// layout (.json) and MIFARE Classic Tool's text (.mct: "+Sector: N" before
// each sector's blocks, "--" for a byte not known); and key dictionaries (one key a line). Reading
// takes outside input: every reader checks what it is given and throws UsageError.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "tool/hex.h"

namespace zelvorn::tool {

using Block = std::array<std::uint8_t, 16>;
using Key = std::array<std::uint8_t, 6>;

struct UnknownKeys {
    bool a = false;
    bool b = false;
};

struct MifareDump {
    Bytes uid;                        // empty when unknown
    std::optional<std::uint8_t> sak;  // the card type byte
    std::optional<std::array<std::uint8_t, 2>> atqa;
    std::vector<std::optional<Block>> blocks;  // 20, 64, 128 or 256; empty: not read
    // Per sector: which key opened it, as the dump command says it (JSON only).
    std::vector<std::string> openedWith;
    // Per sector: the keys of its trailer that are unknown, because the card
    // does not show them and no key given found them. The trailer holds what
    // the card gave there (zeros), which is not the card's key. Sectors past
    // the end of the list have both keys known.
    std::vector<UnknownKeys> unknownKeys;
};

// Whether the dump knows key A ('A') or key B ('B') of a sector's trailer.
bool KeyKnown(const MifareDump& dump, int sector, char kind);
void SetKeyKnown(MifareDump& dump, int sector, char kind, bool known);

// "key B of sectors 1, 3 and key A of sector 5" for the keys of the trailers
// the dump holds that it does not know; empty when it knows them all.
std::string UnknownKeysText(const MifareDump& dump);

enum class DumpFormat { Binary, Eml, Json, Mct };

// The format --format names ("bin", "mfd", "eml", "json", "mct"), else the one the
// file name's extension names; UsageError when neither does.
DumpFormat DumpFormatFor(const std::string& path, const std::string& given);

// The file's text or bytes. Unread blocks are zeros in the binary and eml
// formats (warnings gets a line for each sector that has any) and marked in
// JSON; so are unknown keys (what the card gave, with a warning; dashes).
std::string WriteDump(const MifareDump& dump, DumpFormat format,
                      std::vector<std::string>& warnings);

// Reading a binary or eml file, whose trailers cannot mark a key unknown,
// takes a key as unknown where it holds what a card shows for a key it
// hides: zeros for key A, which no card shows, and zeros for a key B that the
// access bits keep hidden.
// A sector whose trailer is all zeros in such a file was not read when the
// dump was made: its blocks of zeros come back as unread.
MifareDump ReadDump(std::string_view content, DumpFormat format);

// A whole file; errors name the file.
MifareDump LoadDump(const std::string& path, DumpFormat format);

// A key dictionary: one key of 12 hexadecimal digits a line, '#' starts a
// comment, blank lines are skipped. Duplicates are dropped, the order kept.
std::vector<Key> ReadKeyDictionary(std::string_view text);
std::vector<Key> LoadKeyDictionary(const std::string& path);

// The whole of a file, or a UsageError that says why it cannot be read.
std::string ReadWholeFile(const std::string& path, const std::string& what);

}  // namespace zelvorn::tool
