// The MIFARE Classic commands, apart from their command-line registration
// (mifare_commands.cpp), so that each can be called and tested alone.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "tool/library.h"
#include "tool/mifare_card.h"

namespace zelvorn::tool {

struct DumpOptions {
    std::optional<int> firstSector;
    std::optional<int> lastSector;
    bool progress = false;  // progress on stderr even when it is no terminal
    std::string output;     // a dump file to write
    std::string format;     // its format; empty: from the file name
    std::string keysOut;    // a key file to write: the keys found
};

struct RestoreOptions {
    std::string file;
    std::string format;
    bool uid = false;
    bool force = false;
    bool dryRun = false;
    std::vector<std::string> keysA;  // --key-a: SECTOR:KEY, or KEY for every unknown key A
    std::vector<std::string> keysB;  // --key-b: the same for key B
};

enum class ValueOperation { Get, Set, Increment, Decrement, Copy };

int MifareDumpCommand(Library& library, std::int16_t port, const MifareOptions& mifare,
                      const DumpOptions& options, bool json);
int MifareRestoreCommand(Library& library, std::int16_t port, const MifareOptions& mifare,
                         const RestoreOptions& options);
// With json, these print one JSON object instead of text.
void MifareReadCommand(Library& library, std::int16_t port, const MifareOptions& mifare, int block,
                       bool json);
void MifareWriteCommand(Library& library, std::int16_t port, const MifareOptions& mifare, int block,
                        const std::string& text, bool trailer, bool json);
void MifareValueCommand(Library& library, std::int16_t port, const MifareOptions& mifare,
                        ValueOperation operation, int block, std::int64_t operand, bool json);
// Access bits in words (bytes: 6 or 8 hexadecimal digits), or the bytes of
// conditions written as "data:000,000,000 trailer:001" (encode).
void MifareAccessCommand(const std::string& bytes, const std::string& encode);
void MifareStoreKeyCommand(Library& library, std::int16_t port, const std::string& number,
                           const std::string& text, bool json);

}  // namespace zelvorn::tool
