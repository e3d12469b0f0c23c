// Writes the dissector file that Wireshark loads: the reader's USB IDs and the
// library's own tables (commands, status words, card types, the layouts of
// frames, packets and replies), as Lua, followed by the dissector's parts.
// The dissector thus names every command and status word and finds every
// field where the library puts it; a command, status or layout changed in the
// library reaches it with the next build.
//
//   zelvorn_wireshark_generate VENDOR PRODUCT OUTPUT PART...
//
// VENDOR and PRODUCT are four hexadecimal digits each. Each PART is a Lua file
// whose body returns its module; it becomes `local NAME = (function() BODY
// end)()`, NAME being the file's name without ".lua", in the order given, so
// that a part sees the tables and the parts before it. Wireshark loads one
// file per plugin: this one file is what is installed.
#include <cstdio>
#include <fstream>
#include <initializer_list>
#include <iostream>
#include <iterator>
#include <span>
#include <sstream>
#include <string>
#include <utility>

#include "commands/command_path.h"
#include "commands/protocol_table.h"
#include "commands/telegram.h"
#include "mifare/card_types.h"
#include "mifare/classic.h"
#include "transport/transport.h"

namespace {

bool ParseId(const char* text, unsigned* id) {
    std::size_t used = 0;
    try {
        const unsigned long value = std::stoul(text, &used, 16);
        if (text[used] != 0 || used != 4) return false;
        *id = static_cast<unsigned>(value);
        return true;
    } catch (const std::exception&) {
        return false;
    }
}

std::string LuaString(const char* text) {
    std::string out = "\"";
    for (const char* c = text; *c != 0; ++c) {
        if (*c == '"' || *c == '\\') out += '\\';
        out += *c;
    }
    return out + "\"";
}

std::string Hex(unsigned value, int digits) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%0*X", digits, value);
    return text;
}

// One line of named numbers: `    name = { a = 1, b = 2 },` (or without the
// name for the top level's own numbers).
using Numbers = std::initializer_list<std::pair<const char*, std::string>>;
void PutNumbers(std::ostream& out, const char* name, Numbers numbers) {
    out << "    " << name << " = {";
    const char* separator = " ";
    for (const auto& [key, value] : numbers) {
        out << separator << key << " = " << value;
        separator = ", ";
    }
    out << " },\n";
}

template <typename Number>
std::string Dec(Number value) {
    return std::to_string(value);
}

void PutCommands(std::ostream& out) {
    out << "local ZELVORN_COMMANDS = {\n";
    for (const zelvorn::ProtocolRow& row : zelvorn::Protocol_Commands()) {
        out << "    [" << Hex(row.code, 2) << "] = { name = " << LuaString(row.name)
            << ", request = " << row.requestLength
            << ", card = " << (row.cardCommand ? "true" : "false")
            << ", reply = " << row.replyLength << " },\n";
    }
    out << "}\n";
}

// The status words, by the names the library's callers see.
void PutStatuses(std::ostream& out, const char* table, std::span<const zelvorn::StatusRow> rows) {
    out << "local " << table << " = {\n";
    for (const zelvorn::StatusRow& row : rows) {
        out << "    [" << Hex(row.word, 4) << "] = { name = " << LuaString(row.name)
            << ", meaning = " << LuaString(row.meaning)
            << ", card_gone = " << (row.cardGone ? "true" : "false") << " },\n";
    }
    out << "}\n";
}

// The card type byte of a type A card (its SAK), as the library reads it.
void PutCardTypes(std::ostream& out) {
    out << "local ZELVORN_CARD_TYPES = {\n";
    for (const zelvorn::mifare::CardType& type : zelvorn::mifare::kCardTypes) {
        out << "    [" << Hex(type.sak, 2) << "] = { name = " << LuaString(type.name)
            << ", classic_sectors = " << type.classicSectors
            << ", iso_dep = " << (type.isoDep ? "true" : "false") << " },\n";
    }
    out << "}\n";
}

// Where the library puts each byte: frames, packets, reply blocks, card
// entries, telegrams, key selectors, MIFARE Classic blocks and keys. Offsets count from the start
// of their packet or block.
void PutWire(std::ostream& out) {
    using namespace zelvorn;
    out << "local ZELVORN_WIRE = {\n";
    PutNumbers(out, "frame",
               {{"stx", Hex(frame::kStx, 2)},
                {"etx", Hex(frame::kEtx, 2)},
                {"capacity", Dec(kFrameCapacity)},
                {"vendor_request_type", Hex(kVendorRequestType, 2)},
                {"vendor_request", Hex(kVendorRequest, 2)}});
    PutNumbers(out, "frame_type",
               {{"command", Hex(kFrameCommand, 2)},
                {"receive", Hex(kFrameReceive, 2)},
                {"receive_command", Hex(kReceiveCommand, 2)}});
    PutNumbers(out, "request",
               {{"start", Dec(request_packet::kStart)},
                {"frame_type", Dec(request_packet::kFrameType)},
                {"length", Dec(request_packet::kLength)},
                {"command", Dec(request_packet::kCommand)},
                {"data_length", Dec(request_packet::kDataLength)},
                {"data", Dec(request_packet::kData)},
                {"start_byte", Hex(request_packet::kStartByte, 2)},
                {"max_data", Dec(kMaxRequestData)}});
    PutNumbers(out, "reply",
               {{"first", Dec(reply_packet::kFirst)},
                {"status", Dec(reply_packet::kStatusHigh)},
                {"payload_length", Dec(reply_packet::kPayloadLength)},
                {"payload", Dec(reply_packet::kPayload)},
                {"max_payload", Dec(kMaxReplyPayload)},
                {"ok", Hex(kTransportOk, 4)}});
    PutNumbers(out, "block",
               {{"first", Dec(reply_block::kFirst)},
                {"status", Dec(reply_block::kStatusHigh)},
                {"reserved", Dec(reply_block::kReserved)},
                {"data_length", Dec(reply_block::kDataLength)},
                {"data", Dec(reply_block::kData)},
                {"ok", Hex(kStatusOk, 4)}});
    PutNumbers(out, "card_entry",
               {{"offset", Dec(kCardEntryOffset)},
                {"size", Dec(kCardEntrySize)},
                {"serial_field", Dec(kSerialField)}});
    PutNumbers(out, "telegram", {{"header", Dec(kTelegramHeader)}});
    PutNumbers(out, "key_selector",
               {{"a", Hex(kKeySelectorA, 2)},
                {"b", Hex(kKeySelectorB, 2)},
                {"f", Hex(kKeySelectorF, 2)},
                {"stored_a", Hex(kKeySelectorStoredA, 2)},
                {"stored_b", Hex(kKeySelectorStoredB, 2)}});
    PutNumbers(out, "user_port", {{"outputs", Hex(kUserPortOutputs, 2)}});
    PutNumbers(out, "sak",
               {{"iso_dep", Hex(mifare::kSakIsoDep, 2)}, {"classic", Hex(mifare::kSakClassic, 2)}});
    PutNumbers(out, "mifare",
               {{"block_size", Dec(mifare::kBlockSize)}, {"key_size", Dec(mifare::kKeySize)}});
    out << "}\n";
}

// The module name of a part: its file name without folder and ".lua".
std::string PartName(const std::string& path) {
    std::string name = path.substr(path.find_last_of("/\\") + 1);
    if (name.size() > 4 && name.compare(name.size() - 4, 4, ".lua") == 0) {
        name.resize(name.size() - 4);
    }
    return name;
}

bool IsLuaName(const std::string& name) {
    if (name.empty() || (name[0] >= '0' && name[0] <= '9')) return false;
    for (char c : name) {
        const bool ok =
            (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
        if (!ok) return false;
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    unsigned vendor = 0;
    unsigned product = 0;
    if (argc < 5 || !ParseId(argv[1], &vendor) || !ParseId(argv[2], &product)) {
        std::cerr << "usage: zelvorn_wireshark_generate VENDOR PRODUCT OUTPUT PART...\n"
                     "  VENDOR, PRODUCT: the reader's USB IDs, four hexadecimal digits each\n"
                     "  PART: the dissector's Lua parts, in the order they build on each other\n";
        return 2;
    }

    std::ostringstream out;
    out << "-- Generated by the build from the library's tables (src/commands/protocol_table.h,\n"
           "-- src/transport/transport.h, src/commands/command_path.h, src/commands/telegram.h,\n"
           "-- src/mifare/) and the dissector's parts:";
    for (int i = 4; i < argc; ++i) out << (i == 4 ? " " : ", ") << argv[i];
    out << ".\n-- Edit those, not this file.\n";
    out << "local ZELVORN_USB_IDS = { vendor = " << Hex(vendor, 4)
        << ", product = " << Hex(product, 4) << " }\n";
    PutCommands(out);
    PutStatuses(out, "ZELVORN_READER_STATUSES", zelvorn::kReaderStatusTable);
    PutStatuses(out, "ZELVORN_TRANSPORT_STATUSES", zelvorn::kTransportStatusTable);
    PutCardTypes(out);
    PutWire(out);

    for (int i = 4; i < argc; ++i) {
        const std::string name = PartName(argv[i]);
        if (!IsLuaName(name)) {
            std::cerr << "zelvorn_wireshark_generate: " << argv[i]
                      << ": a part's file name must make a Lua name (letters, digits, _)\n";
            return 2;
        }
        std::ifstream part(argv[i], std::ios::binary);
        if (!part) {
            std::cerr << "zelvorn_wireshark_generate: cannot read the dissector part " << argv[i]
                      << "\n";
            return 1;
        }
        const std::string body{std::istreambuf_iterator<char>(part), {}};
        out << "\n-- " << argv[i] << "\nlocal " << name << " = (function()\n"
            << body << "\nend)()\n";
    }

    std::ofstream output(argv[3], std::ios::binary | std::ios::trunc);
    output << out.str();
    output.close();
    if (!output) {
        std::cerr << "zelvorn_wireshark_generate: cannot write " << argv[3] << "\n";
        return 1;
    }
    return 0;
}
