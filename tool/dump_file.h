// MIFARE Classic dump files as other tools of the field read and write them:
// the raw image (.bin, .mfd), one block a line (.eml) and proxmark3's JSON
// layout (.json); and key dictionaries (one key a line). Reading takes
// outside input: every reader checks what it is given and throws UsageError.
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

struct MifareDump {
    Bytes uid;                        // empty when unknown
    std::optional<std::uint8_t> sak;  // the card type byte
    std::optional<std::array<std::uint8_t, 2>> atqa;
    std::vector<std::optional<Block>> blocks;  // 20, 64, 128 or 256; empty: not read
    // Per sector: which key opened it, as the dump command says it (JSON only).
    std::vector<std::string> openedWith;
};

enum class DumpFormat { Binary, Eml, Json };

// The format --format names ("bin", "mfd", "eml", "json"), else the one the
// file name's extension names; UsageError when neither does.
DumpFormat DumpFormatFor(const std::string& path, const std::string& given);

// The file's text or bytes. Unread blocks are zeros in the binary and eml
// formats (warnings gets a line for each sector that has any) and marked in
// JSON.
std::string WriteDump(const MifareDump& dump, DumpFormat format,
                      std::vector<std::string>& warnings);
MifareDump ReadDump(std::string_view content, DumpFormat format);

// Whole files; errors name the file.
MifareDump LoadDump(const std::string& path, DumpFormat format);
void SaveDump(const std::string& path, const std::string& content);

// A key dictionary: one key of 12 hexadecimal digits a line, '#' starts a
// comment, blank lines are skipped. Duplicates are dropped, the order kept.
std::vector<Key> ReadKeyDictionary(std::string_view text);
std::vector<Key> LoadKeyDictionary(const std::string& path);

// The whole of a file, or a UsageError that says why it cannot be read.
std::string ReadWholeFile(const std::string& path, const std::string& what);

}  // namespace zelvorn::tool
