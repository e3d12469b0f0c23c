// The tool's subcommands. Each takes the loaded library and its options,
// prints its results on stdout, and throws ToolError on failure.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "tool/library.h"

namespace zelvorn::tool {

// An open reader, closed again when the command is done.
class ReaderSession {
public:
    ReaderSession(const Api& api, std::int16_t port);
    ~ReaderSession();
    ReaderSession(const ReaderSession&) = delete;
    ReaderSession& operator=(const ReaderSession&) = delete;

    const Api& api() const { return api_; }
    std::int16_t handle() const { return handle_; }

private:
    const Api& api_;
    std::int16_t handle_;
};

// A card type byte in words ("MIFARE Classic 1K").
std::string CardTypeName(std::uint8_t cardType);

// --- Reader -----------------------------------------------------------------
void ListCommand(Library& library, std::optional<std::int16_t> port);
void InfoCommand(Library& library, std::int16_t port);
void FieldCommand(Library& library, std::int16_t port, bool on);

// --- MIFARE Classic -----------------------------------------------------------
struct MifareOptions {
    std::vector<std::string> keys;  // 12 hexadecimal digits each, tried in turn
    std::vector<int> storedKeys;    // key numbers stored in the reader, tried after keys
    char keyType = 'A';             // 'A' or 'B'
    std::string card;               // serial number of the card to select; empty: the first
};

struct DumpOptions {
    std::optional<int> firstSector;
    std::optional<int> lastSector;
    bool progress = false;  // progress on stderr even when it is no terminal
};

int MifareDumpCommand(Library& library, std::int16_t port, const MifareOptions& mifare,
                      const DumpOptions& dump);
void MifareReadCommand(Library& library, std::int16_t port, const MifareOptions& mifare, int block);
void MifareWriteCommand(Library& library, std::int16_t port, const MifareOptions& mifare, int block,
                        const std::string& data, bool trailer);

enum class ValueOperation { Get, Set, Increment, Decrement, Copy };
void MifareValueCommand(Library& library, std::int16_t port, const MifareOptions& mifare,
                        ValueOperation operation, int block, std::int64_t operand);
void MifareStoreKeyCommand(Library& library, std::int16_t port, int keyNumber,
                           const std::string& key);

// --- ISO/IEC 14443-4 ------------------------------------------------------------
struct ApduOptions {
    std::vector<std::string> apdus;  // hexadecimal, sent in order
    std::string script;              // a file of APDUs, one a line, sent after apdus
    std::string card;                // serial number of the card; empty: the first that fits
    int fsdi = 4;
    bool stopOnError = false;  // stop at the first status word other than 9000 or 61xx
};
int ApduCommand(Library& library, std::int16_t port, const ApduOptions& options);

// The APDUs of a script: one a line; blank lines and text after '#' ignored.
std::vector<std::string> ReadApduScript(const std::string& path);

// Checks that an APDU is a well-formed command (header, Lc, data, Le).
void ValidateApdu(const std::vector<std::uint8_t>& apdu, const std::string& text);

// --- ASK tickets --------------------------------------------------------------
void AskReadCommand(Library& library, std::int16_t port, int sector, bool multi);
void AskWriteCommand(Library& library, std::int16_t port, int sector, const std::string& data,
                     int mode);

}  // namespace zelvorn::tool
