// Reader-wide commands: listing readers and cards, reader information, the
// RF field.
#include <fmt/format.h>

#include "tool/commands.h"
#include "tool/errors.h"
#include "tool/hex.h"

namespace zelvorn::tool {

namespace {

// The RC500's transmitter control register: bits 0 and 1 drive the antenna
// pins, so the field is on when either is set.
constexpr std::uint8_t kTxControlRegister = 0x11;

std::string PortStep(std::int16_t port) {
    return fmt::format("open the reader at port {}", port);
}

}  // namespace

ReaderSession::ReaderSession(const Api& api, std::int16_t port) : api_(api) {
    const std::int16_t result = api.Zelvorn_Open(port);
    if (result < 0) {
        // No reader at that position is "not found"; anything else is a failure.
        ToolError error = StepFailed(PortStep(port), result);
        if (result == ERR_OPEN_FAILED) throw ToolError(kExitNotFound, error.what());
        throw error;
    }
    handle_ = result;
}

ReaderSession::~ReaderSession() {
    api_.Zelvorn_Close(handle_);
}

std::string CardTypeName(std::uint8_t cardType) {
    switch (cardType) {
        case 0x00:
            return "MIFARE Ultralight";
        case 0x08:
            return "MIFARE Classic 1K";
        case 0x09:
            return "MIFARE Mini";
        case 0x18:
            return "MIFARE Classic 4K";
        case 0x20:
            return "ISO/IEC 14443-4 card";
        case 0x28:
            return "MIFARE Classic 1K with ISO/IEC 14443-4";
        case 0x38:
            return "MIFARE Classic 4K with ISO/IEC 14443-4";
        default:
            return "unknown card";
    }
}

namespace {

// The cards of one reader's field: type A cards from the tag list, then a
// type B card and an ASK ticket if one answers.
void ListCards(const Api& api, std::int16_t handle) {
    std::uint8_t count = 0;
    std::uint8_t types[ZELVORN_MAX_LISTED_TAGS] = {};
    std::uint8_t lengths[ZELVORN_MAX_LISTED_TAGS] = {};
    std::uint8_t serials[ZELVORN_MAX_LISTED_TAGS * ZELVORN_SERIAL_FIELD] = {};
    Check(api.Zelvorn_ListTags(handle, &count, types, lengths, serials),
          "list the cards in the field");
    int found = 0;
    for (std::uint8_t i = 0; i < count && i < ZELVORN_MAX_LISTED_TAGS; ++i) {
        const std::size_t length = std::min<std::size_t>(lengths[i], ZELVORN_SERIAL_FIELD);
        fmt::print("  card {}: {} (type {:02X}), serial {}\n", ++found, CardTypeName(types[i]),
                   types[i], HexText({serials + i * ZELVORN_SERIAL_FIELD, length}, ""));
    }

    // A card that does not answer is simply not there; only the library's own
    // failures (a broken link to the reader) stop the listing.
    std::uint8_t atqb[7] = {};
    std::int16_t result = api.Zelvorn_ReadATQB(handle, atqb);
    if (IsLibraryFailure(result)) throw StepFailed("ask for a type B card", result);
    if (result == RESULT_OK) {
        fmt::print("  card {}: type B card, application data {}, protocol info {}\n", ++found,
                   HexText({atqb, 4}, ""), HexText({atqb + 4, 3}, ""));
    }

    std::uint8_t sectors[8] = {};
    result = api.Zelvorn_ASKSectorMultiRead(handle, 0, sectors);
    if (IsLibraryFailure(result)) throw StepFailed("ask for an ASK ticket", result);
    if (result == RESULT_OK) {
        fmt::print("  card {}: ASK ticket, sectors 0-3 {}\n", ++found, HexText(sectors, " "));
    }
    if (found == 0) fmt::print("  no card in the field\n");
}

}  // namespace

void ListCommand(Library& library, std::optional<std::int16_t> onlyPort) {
    const Api& api = library.api();
    int readers = 0;
    const std::int16_t first = onlyPort.value_or(0);
    const std::int16_t last = onlyPort.value_or(ZELVORN_MAX_READERS - 1);
    for (std::int16_t port = first; port <= last; ++port) {
        const std::int16_t result = api.Zelvorn_Open(port);
        if (result == ERR_OPEN_FAILED) {
            // Ports count the present readers from 0: the first gap is the end.
            break;
        }
        if (result < 0) {
            fmt::print("Reader at port {}: cannot be opened: {}\n", port, DescribeResult(result));
            ++readers;
            continue;
        }
        ++readers;
        fmt::print("Reader at port {}\n", port);
        try {
            ListCards(api, result);
        } catch (...) {
            api.Zelvorn_Close(result);
            throw;
        }
        api.Zelvorn_Close(result);
    }
    if (readers == 0) {
        throw ToolError(kExitNotFound, onlyPort ? fmt::format("no reader at port {}", *onlyPort)
                                                : std::string("no reader found"));
    }
}

void InfoCommand(Library& library, std::int16_t port) {
    const Api& api = library.api();
    std::uint8_t versionLength = 0;
    char version[32] = {};
    Check(api.Zelvorn_RequestDLLVersion(&versionLength, version), "ask for the library version");
    fmt::print("Library: {}\n", version);

    ReaderSession reader(api, port);
    fmt::print("Reader at port {}\n", port);
    std::uint8_t block[20] = {};
    ReaderStatusRecord record{};
    Check(api.Zelvorn_Status(reader.handle(), block, &record), "ask for the status report");
    fmt::print("  status block:  {}  |{}|\n", HexText(block), AsciiText(block));
    // Copies, since the record is packed and fmt takes its arguments by reference.
    const unsigned a = record.statusA, c = record.statusC, d = record.statusD, e = record.statusE;
    const std::uint32_t b = record.statusB;
    const unsigned f = record.statusF;
    fmt::print("  status record: A {:02X}  B {:08X}  C {:02X}  D {:02X}  E {:02X}  F {:04X}\n", a,
               b, c, d, e, f);

    std::uint8_t txControl = 0;
    Check(api.Zelvorn_ReadRC500Reg(reader.handle(), kTxControlRegister, &txControl),
          "read the RC500 transmitter control register");
    fmt::print("  RF field:      {} (transmitter control {:02X})\n",
               (txControl & 0x03) != 0 ? "on" : "off", txControl);

    std::uint8_t userPort = 0;
    Check(api.Zelvorn_ReadUserPort(reader.handle(), &userPort), "read the user port");
    fmt::print("  user port:     {:02X}\n", userPort);
}

void FieldCommand(Library& library, std::int16_t port, bool on) {
    ReaderSession reader(library.api(), port);
    const Api& api = reader.api();
    Check(api.Zelvorn_Power(reader.handle(), on ? 1 : 0),
          fmt::format("switch the RF field {}", on ? "on" : "off"));
    fmt::print("RF field switched {}\n", on ? "on" : "off");
}

}  // namespace zelvorn::tool
