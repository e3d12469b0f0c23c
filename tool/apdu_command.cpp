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
#include "tool/iso_card.h"
#include "tool/written.h"

namespace zelvorn::tool {
namespace {

using Json = nlohmann::ordered_json;

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

    const IsoSession session = StartIsoSession(reader, options.fsdi);
    if (json) {
        out["ats"] = HexText(session.ats, "");
        out["fsci"] = session.fsci;
        out["exchanges"] = Json::array();
    } else {
        fmt::print("ATS: {} (FSCI {}, card frame size {})\n", HexText(session.ats), session.fsci,
                   session.fsc);
    }

    std::vector<std::uint8_t> response(kMaxApdu);
    try {
        for (std::size_t i = 0; i < apdus.size(); ++i) {
            const Bytes& apdu = apdus[i];
            if (!json) fmt::print(">> {}\n", HexText(apdu));
            const std::size_t length =
                ExchangeApdu(reader, apdu, response, fmt::format("exchange APDU {}", i + 1));
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
