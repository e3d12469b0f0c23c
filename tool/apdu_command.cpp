// APDUs to an ISO/IEC 14443-4 processor card.
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <span>
#include <string>
#include <vector>

#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include "tool/cli.h"
#include "tool/commands.h"
#include "tool/errors.h"
#include "tool/hex.h"
#include "tool/written.h"

namespace zelvorn::tool {
namespace {

// The longest APDU and response the library's 16-bit lengths allow.
constexpr std::size_t kMaxApdu = 32767;

// Bit 6 of a type A card's SAK: the card speaks ISO/IEC 14443-4.
constexpr std::uint8_t kSakIso14443_4 = 0x20;

std::string StatusWordMeaning(std::uint16_t sw) {
    const unsigned low = sw & 0xFF;
    switch (sw >> 8) {
        case 0x61:
            return fmt::format("{} more bytes available", low);
        case 0x6C:
            return fmt::format("wrong Le, {} bytes available", low);
        case 0x63:
            if ((low & 0xF0) == 0xC0)
                return fmt::format("verification failed, {} tries left", low & 0x0F);
            break;
        default:
            break;
    }
    switch (sw) {
        case 0x9000:
            return "success";
        case 0x6282:
            return "end of file reached before Le bytes";
        case 0x6283:
            return "selected file deactivated";
        case 0x6700:
            return "wrong length";
        case 0x6981:
            return "command incompatible with the file structure";
        case 0x6982:
            return "security status not satisfied";
        case 0x6985:
            return "conditions of use not satisfied";
        case 0x6986:
            return "command not allowed";
        case 0x6A80:
            return "incorrect data";
        case 0x6A81:
            return "function not supported";
        case 0x6A82:
            return "file or application not found";
        case 0x6A86:
            return "incorrect P1 P2";
        case 0x6A88:
            return "referenced data not found";
        case 0x6B00:
            return "wrong parameters P1 P2";
        case 0x6D00:
            return "instruction not supported";
        case 0x6E00:
            return "class not supported";
        case 0x6F00:
            return "no precise diagnosis";
        default:
            return "";
    }
}

bool IsSuccess(std::uint16_t sw) {
    return sw == 0x9000 || (sw >> 8) == 0x61;
}

struct ApduOptions {
    std::vector<std::string> apdus;  // hexadecimal, sent in order
    std::string script;              // a file of APDUs, one a line, sent after apdus
    std::string card;                // serial number of the card; empty: the first that fits
    int fsdi = 4;
    bool stopOnError = false;  // stop at the first status word other than 9000 or 61xx
};

using Json = nlohmann::ordered_json;

// Selects the processor card: the one asked for, or the first in the tag
// list that speaks ISO/IEC 14443-4.
Json SelectProcessorCard(const ReaderSession& reader, const std::string& wanted, bool json) {
    const Api& api = reader.api();
    Bytes serial;
    if (!wanted.empty()) {
        serial = ParseHex(wanted, "card serial number");
        if (serial.size() != 4 && serial.size() != 7 && serial.size() != 10) {
            throw UsageError(
                fmt::format("card serial number \"{}\": {} bytes; a serial number has 4, 7 or 10",
                            wanted, serial.size()));
        }
    } else {
        std::uint8_t count = 0;
        std::uint8_t types[ZELVORN_MAX_LISTED_TAGS] = {};
        std::uint8_t lengths[ZELVORN_MAX_LISTED_TAGS] = {};
        std::uint8_t serials[ZELVORN_MAX_LISTED_TAGS * ZELVORN_SERIAL_FIELD] = {};
        Check(ReadWritten({AsBytes(count)},
                          [&] {
                              return api.Zelvorn_ListTags(reader.handle(), &count, types, lengths,
                                                          serials);
                          }),
              "list the cards in the field");
        for (std::uint8_t i = 0; i < count && i < ZELVORN_MAX_LISTED_TAGS; ++i) {
            if ((types[i] & kSakIso14443_4) != 0) {
                const std::uint8_t* s = serials + i * ZELVORN_SERIAL_FIELD;
                serial.assign(s, s + std::min<std::size_t>(lengths[i], ZELVORN_SERIAL_FIELD));
                break;
            }
        }
        if (serial.empty()) {
            throw ToolError(kExitNotFound,
                            "find a processor card: no ISO/IEC 14443-4 card in the field");
        }
    }
    std::uint8_t type = 0;
    const std::int16_t result = ReadWritten({AsBytes(type)}, [&] {
        return api.Zelvorn_MultiTagSelect(reader.handle(), static_cast<std::uint8_t>(serial.size()),
                                          serial.data(), &type, nullptr, nullptr);
    });
    if (result != RESULT_OK) {
        ToolError error =
            StepFailed(fmt::format("select the card {}", HexText(serial, "")), result);
        if (IsLibraryFailure(result)) throw error;
        throw ToolError(kExitNotFound, error.what());
    }
    if ((type & kSakIso14443_4) == 0) {
        throw ToolError(kExitNotFound,
                        fmt::format("the card {} is not an ISO/IEC 14443-4 card ({}, type {:02X})",
                                    HexText(serial, ""), CardTypeName(type), type));
    }
    if (!json) {
        fmt::print("Card: {} (type {:02X}), serial {}\n", CardTypeName(type), type,
                   HexText(serial, ""));
    }
    return Json{{"type", fmt::format("{:02X}", type)},
                {"name", CardTypeName(type)},
                {"serial", HexText(serial, "")}};
}

}  // namespace

void ValidateApdu(const std::vector<std::uint8_t>& apdu, const std::string& text) {
    const std::size_t n = apdu.size();
    if (n < 4) {
        throw UsageError(fmt::format(
            "APDU \"{}\": {} bytes; a command APDU starts with the 4 bytes CLA INS P1 P2", text,
            n));
    }
    if (n > kMaxApdu) {
        throw UsageError(fmt::format("APDU \"{}...\": {} bytes; at most {} can be sent",
                                     text.substr(0, 16), n, kMaxApdu));
    }
    if (n <= 5) return;  // header alone, or header and Le
    if (apdu[4] != 0) {
        const std::size_t lc = apdu[4];
        if (n != 5 + lc && n != 6 + lc) {
            throw UsageError(fmt::format(
                "APDU \"{}\": Lc {:02X} announces {} data bytes, but {} bytes follow it", text,
                apdu[4], lc, n - 5));
        }
        return;
    }
    // Extended lengths: 00 and two bytes of Lc (or of Le alone).
    if (n < 7) {
        throw UsageError(fmt::format(
            "APDU \"{}\": a 00 after the header starts a 3-byte extended length", text));
    }
    if (n == 7) return;
    const std::size_t lc = static_cast<std::size_t>(apdu[5]) << 8 | apdu[6];
    if (lc == 0 || (n != 7 + lc && n != 9 + lc)) {
        throw UsageError(fmt::format(
            "APDU \"{}\": extended Lc {:04X} announces {} data bytes, but {} bytes follow it", text,
            lc, lc, n - 7));
    }
}

namespace {

// The APDUs of a script read from in; name is what messages call it.
std::vector<std::string> ReadApduLines(std::istream& in, const std::string& name) {
    std::vector<std::string> apdus;
    std::string line;
    for (int number = 1; std::getline(in, line); ++number) {
        const std::size_t comment = line.find('#');
        if (comment != std::string::npos) line.erase(comment);
        const std::size_t begin = line.find_first_not_of(" \t\r");
        if (begin == std::string::npos) continue;
        const std::size_t end = line.find_last_not_of(" \t\r");
        const std::string apdu = line.substr(begin, end - begin + 1);
        // Checked here, so that a script with a bad line sends nothing.
        try {
            ValidateApdu(ParseHex(apdu, "APDU"), apdu);
        } catch (const ToolError& e) {
            throw UsageError(fmt::format("{} line {}: {}", name, number, e.what()));
        }
        apdus.push_back(apdu);
    }
    if (in.bad()) throw UsageError(fmt::format("{}: cannot be read to the end", name));
    return apdus;
}

}  // namespace

std::vector<std::string> ReadApduScript(const std::string& path) {
    if (path == "-") return ReadApduLines(std::cin, "script on standard input");
    // A folder opens as a stream that reads nothing, which would pass for an
    // empty script.
    std::error_code error;
    if (std::filesystem::is_directory(path, error)) {
        throw UsageError(fmt::format("script file {}: is a directory; name a file of APDUs", path));
    }
    std::ifstream in(path);
    if (!in) {
        throw UsageError(
            fmt::format("script file {}: cannot be read: {}", path, std::strerror(errno)));
    }
    return ReadApduLines(in, "script file " + path);
}

namespace {

// A response sixteen bytes a row, as in a block dump, then its status word.
void PrintResponse(const std::uint8_t* data, std::size_t dataLength, std::uint16_t sw,
                   const std::string& meaning) {
    for (std::size_t row = 0; row < dataLength; row += 16) {
        const std::span<const std::uint8_t> bytes(data + row,
                                                  std::min<std::size_t>(16, dataLength - row));
        fmt::print("{} {:<47}  |{}|\n", row == 0 ? "<<" : "  ", HexText(bytes), AsciiText(bytes));
    }
    fmt::print("   SW {:04X}{}{}\n", sw, meaning.empty() ? "" : " ",
               meaning.empty() ? "" : "(" + meaning + ")");
}

int ApduCommand(Library& library, std::int16_t port, const ApduOptions& options, bool json) {
    std::vector<Bytes> apdus;
    std::vector<std::string> texts = options.apdus;
    for (const std::string& text : texts) {
        apdus.push_back(ParseHex(text, "APDU"));
        ValidateApdu(apdus.back(), text);
    }
    if (!options.script.empty()) {
        const std::vector<std::string> script = ReadApduScript(options.script);
        if (script.empty() && apdus.empty()) {
            throw UsageError(fmt::format(
                "no APDU given: the script {} holds none",
                options.script == "-" ? "on standard input" : "file " + options.script));
        }
        for (const std::string& text : script) apdus.push_back(ParseHex(text, "APDU"));
    }
    if (apdus.empty()) throw UsageError("no APDU given: name one or more, or a --script file");

    ReaderSession reader(library, port);
    const Api& api = reader.api();
    Json out{{"card", SelectProcessorCard(reader, options.card, json)}};

    std::uint8_t atsLength = 0;
    std::uint8_t ats[117] = {};
    Check(api.PICC_RATS(reader.handle(), static_cast<std::uint8_t>(options.fsdi), &atsLength, ats),
          "request the ATS (RATS)");
    // T0, the second ATS byte, carries the card's FSCI; without it the card
    // takes the default of FSCI 2.
    const std::size_t atsBytes = std::min<std::size_t>(atsLength, sizeof ats);
    const int fsci = atsBytes >= 2 && ats[0] >= 2 ? ats[1] & 0x0F : 2;
    const std::int16_t fsc = api.PICC_InitBlockNumber(static_cast<std::int16_t>(fsci));
    if (json) {
        out["ats"] = HexText({ats, atsBytes}, "");
        out["fsci"] = fsci;
        out["exchanges"] = Json::array();
    } else {
        fmt::print("ATS: {} (FSCI {}, card frame size {})\n", HexText({ats, atsBytes}), fsci, fsc);
    }

    std::vector<std::uint8_t> response(kMaxApdu);
    try {
        for (std::size_t i = 0; i < apdus.size(); ++i) {
            const Bytes& apdu = apdus[i];
            std::int16_t apduLength = static_cast<std::int16_t>(apdu.size());
            std::int16_t responseLength = 0;
            if (!json) fmt::print(">> {}\n", HexText(apdu));
            Check(api.PICC_Xch_APDU(reader.handle(), 0, &apduLength, apdu.data(), &responseLength,
                                    response.data()),
                  fmt::format("exchange APDU {}", i + 1));
            const std::size_t length = std::min<std::size_t>(
                static_cast<std::size_t>(std::max<std::int16_t>(responseLength, 0)),
                response.size());
            if (json) {
                Json exchange{{"command", HexText(apdu, "")},
                              {"response",
                               HexText({response.data(), length >= 2 ? length - 2 : length}, "")}};
                if (length >= 2) {
                    const auto sw = static_cast<std::uint16_t>(response[length - 2] << 8 |
                                                               response[length - 1]);
                    exchange["sw"] = fmt::format("{:04X}", sw);
                    exchange["meaning"] = StatusWordMeaning(sw);
                } else {
                    exchange["sw"] = nullptr;
                }
                out["exchanges"].push_back(exchange);
            }
            if (length < 2) {
                if (!json)
                    fmt::print("<< {} (no status word)\n", HexText({response.data(), length}));
                continue;
            }
            const std::size_t dataLength = length - 2;
            const auto sw =
                static_cast<std::uint16_t>(response[dataLength] << 8 | response[dataLength + 1]);
            const std::string meaning = StatusWordMeaning(sw);
            if (options.stopOnError && !IsSuccess(sw)) {
                if (json)
                    fmt::print("{}\n", out.dump(2));
                else
                    PrintResponse(response.data(), dataLength, sw, meaning);
                throw ToolError(kExitFailed,
                                fmt::format("APDU {}: the card answered {:04X}{}", i + 1, sw,
                                            meaning.empty() ? "" : " (" + meaning + ")"));
            }
            if (!json) PrintResponse(response.data(), dataLength, sw, meaning);
        }
    } catch (...) {
        // Leave the card in a clean state whatever went wrong.
        (void)api.PICC_Deselect(reader.handle(), 0);
        throw;
    }
    Check(api.PICC_Deselect(reader.handle(), 0), "deselect the card");
    if (json) fmt::print("{}\n", out.dump(2));
    return kExitOk;
}

}  // namespace

void RegisterApduCommand(CLI::App& app, Cli& cli) {
    auto* apdu = app.add_subcommand(
        "apdu", "Send APDUs to an ISO/IEC 14443-4 processor card and show the responses");
    auto a = std::make_shared<ApduOptions>();
    apdu->add_option("apdus", a->apdus,
                     "Command APDUs in hexadecimal, sent in order before those of the script");
    apdu->add_option("-f,--script", a->script,
                     "File of APDUs, one a line ('#' starts a comment; - reads standard input), "
                     "sent after the APDUs of the command line");
    apdu->add_option("-c,--card", a->card,
                     "Serial number of the card (default: the first processor card)");
    apdu->add_option("--fsdi", a->fsdi,
                     "FSDI announced in RATS, 0..4 (default 4): the reader's frame size of 16, "
                     "24, 32, 40 or 48 bytes")
        ->check(CLI::Range(0, 4));
    apdu->add_flag("--check", a->stopOnError,
                   "Stop with exit code 1 at a status word other than 9000 or 61xx");
    apdu->callback([&cli, a] {
        cli.action = [&cli, a](Library& library) {
            return ApduCommand(library, cli.Port(), *a, cli.global.json);
        };
    });
}

}  // namespace zelvorn::tool
