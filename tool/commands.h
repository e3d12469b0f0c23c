// What the tool's commands share: an open reader, what is in its field, card
// type names. Each command prints its results on stdout and throws ToolError
// on failure.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "tool/hex.h"
#include "tool/library.h"

namespace zelvorn::tool {

// An open reader, closed again when the command is done.
class ReaderSession {
public:
    ReaderSession(Library& library, std::int16_t port);
    ~ReaderSession();
    ReaderSession(const ReaderSession&) = delete;
    ReaderSession& operator=(const ReaderSession&) = delete;

    const Api& api() const { return api_; }
    std::int16_t handle() const { return handle_; }

private:
    Library& library_;
    const Api& api_;
    std::int16_t handle_;
};

// A card type byte in words ("MIFARE Classic 1K").
std::string CardTypeName(std::uint8_t cardType);

// True for the type bytes of cards with MIFARE Classic memory.
bool HasClassicMemory(std::uint8_t cardType);

// One card seen in the field.
struct SeenCard {
    enum class Kind { TypeA, TypeB, Ask };
    Kind kind;
    std::uint8_t type;    // type A: the card type byte (its SAK)
    Bytes serial;         // type A: serial number; type B: PUPI (empty if unknown); ASK: serial
    Bytes data;           // type B: application data; ASK: sectors 0..3
    Bytes extra;          // type B: protocol info
    std::string product;  // type A: the product, where the card told it ("NTAG215")
};

struct FieldScan {
    std::vector<SeenCard> cards;
    int typeACounted = 0;  // as the reader counts them; it lists at most 9
};

// Type A cards from the tag list, then a type B card and an ASK ticket if one
// answers.
FieldScan ScanField(const Api& api, std::int16_t handle);

// --- ISO/IEC 14443-4 ------------------------------------------------------------

// The APDUs of a script: one a line; blank lines and text after '#' ignored.
// The path "-" reads standard input.
std::vector<std::string> ReadApduScript(const std::string& path);

// Checks that an APDU is a well-formed command (header, Lc, data, Le).
void ValidateApdu(const std::vector<std::uint8_t>& apdu, const std::string& text);

}  // namespace zelvorn::tool
