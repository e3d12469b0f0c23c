// Reader-wide commands: listing readers and cards, reader information, the RF
// field, and waiting for or watching cards.
#include <atomic>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <map>
#include <set>
#include <thread>

#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include "mifare/card_types.h"
#include "tool/cli.h"
#include "tool/commands.h"
#include "tool/errors.h"
#include "tool/hex.h"
#include "tool/type2/session.h"
#include "tool/usb_check.h"
#include "tool/written.h"

namespace zelvorn::tool {

namespace {

using Json = nlohmann::ordered_json;

// The RC500's transmitter control register: bits 0 and 1 drive the antenna
// pins, so the field is on when either is set.
constexpr std::uint8_t kTxControlRegister = 0x11;

// The reader's command for a type B card's request; its reply carries the
// whole ATQB (0x50, PUPI, application data, protocol info), of which
// Zelvorn_ReadATQB hands back only the last seven bytes.
constexpr std::uint8_t kAtqbCommand = 0x21;

// Bit 6 of a type A card's SAK: the card speaks ISO/IEC 14443-4.
constexpr std::uint8_t kSakIso14443_4 = 0x20;

std::string PortStep(std::int16_t port) {
    return fmt::format("open the reader at port {}", port);
}

}  // namespace

ReaderSession::ReaderSession(Library& library, std::int16_t port)
    : library_(library), api_(library.api()) {
    const std::int16_t result = library.Open(port);
    if (result < 0) {
        // No reader at that position is "not found"; anything else is a failure.
        ToolError error = StepFailed(PortStep(port), result);
        if (result == ERR_OPEN_FAILED) throw ToolError(kExitNotFound, error.what());
        throw error;
    }
    handle_ = result;
}

ReaderSession::~ReaderSession() {
    library_.Close(handle_);
}

// The names and what a type byte says come from the table the PC/SC driver
// and the virtual reader read too: one table, one answer.
std::string CardTypeName(std::uint8_t cardType) {
    return mifare::CardTypeOf(cardType).name;
}

bool HasClassicMemory(std::uint8_t cardType) {
    return mifare::CardTypeOf(cardType).classicSectors > 0;
}

FieldScan ScanField(const Api& api, std::int16_t handle) {
    FieldScan scan;
    std::uint8_t count = 0;
    std::uint8_t types[ZELVORN_MAX_LISTED_TAGS] = {};
    std::uint8_t lengths[ZELVORN_MAX_LISTED_TAGS] = {};
    std::uint8_t serials[ZELVORN_MAX_LISTED_TAGS * ZELVORN_SERIAL_FIELD] = {};
    Check(
        ReadWritten({AsBytes(count)},
                    [&] { return api.Zelvorn_ListTags(handle, &count, types, lengths, serials); }),
        "list the cards in the field");
    scan.typeACounted = count;
    for (std::uint8_t i = 0; i < count && i < ZELVORN_MAX_LISTED_TAGS; ++i) {
        const std::size_t length = std::min<std::size_t>(lengths[i], ZELVORN_SERIAL_FIELD);
        const std::uint8_t* s = serials + i * ZELVORN_SERIAL_FIELD;
        scan.cards.push_back({SeenCard::Kind::TypeA, types[i], Bytes(s, s + length), {}, {}, {}});
    }

    // A card that does not answer is simply not there; only the library's own
    // failures (a broken link to the reader) stop the scan.
    const std::uint8_t request[2] = {kAtqbCommand, 0};
    std::uint8_t length = 0;
    std::uint8_t answer[ZELVORN_MAX_DIRECT_RESPONSE] = {};
    std::int16_t result = ReadWrittenUpTo(answer, length, [&] {
        return api.Zelvorn_DirectSend(handle, 2, request, &length, answer);
    });
    if (IsLibraryFailure(result)) throw StepFailed("ask for a type B card", result);
    if (result == RESULT_OK && length >= 12 && answer[0] == 0x50) {
        scan.cards.push_back({SeenCard::Kind::TypeB,
                              0,
                              Bytes(answer + 1, answer + 5),
                              Bytes(answer + 5, answer + 9),
                              Bytes(answer + 9, answer + 12),
                              {}});
    } else if (result == RESULT_OK) {
        // Not the ATQB layout: what the library makes of it, without a PUPI.
        std::uint8_t atqb[7] = {};
        result = ReadWritten({atqb}, [&] { return api.Zelvorn_ReadATQB(handle, atqb); });
        if (IsLibraryFailure(result)) throw StepFailed("ask for a type B card", result);
        if (result == RESULT_OK) {
            scan.cards.push_back({SeenCard::Kind::TypeB,
                                  0,
                                  {},
                                  Bytes(atqb, atqb + 4),
                                  Bytes(atqb + 4, atqb + 7),
                                  {}});
        }
    }

    std::uint8_t sectors[8] = {};
    result =
        ReadWritten({sectors}, [&] { return api.Zelvorn_ASKSectorMultiRead(handle, 0, sectors); });
    if (IsLibraryFailure(result)) throw StepFailed("ask for an ASK ticket", result);
    if (result == RESULT_OK) {
        // Sectors 0 and 1 hold the ticket's serial number.
        scan.cards.push_back({SeenCard::Kind::Ask,
                              0,
                              Bytes(sectors, sectors + 4),
                              Bytes(sectors, sectors + 8),
                              {},
                              {}});
    }
    return scan;
}

namespace {

std::string CardLine(const SeenCard& c) {
    switch (c.kind) {
        case SeenCard::Kind::TypeA:
            return fmt::format("{} (type {:02X}), serial {}",
                               c.product.empty() ? CardTypeName(c.type) : c.product, c.type,
                               HexText(c.serial, ""));
        case SeenCard::Kind::TypeB:
            return fmt::format("type B card, {}application data {}, protocol info {}",
                               c.serial.empty() ? "" : "PUPI " + HexText(c.serial, "") + ", ",
                               HexText(c.data, ""), HexText(c.extra, ""));
        case SeenCard::Kind::Ask:
            return fmt::format("ASK ticket, sectors 0-3 {}", HexText(c.data, " "));
    }
    return "";
}

Json CardJson(const SeenCard& c) {
    Json j;
    switch (c.kind) {
        case SeenCard::Kind::TypeA:
            j["kind"] = "typeA";
            j["type"] = fmt::format("{:02X}", c.type);
            j["name"] = c.product.empty() ? CardTypeName(c.type) : c.product;
            j["serial"] = HexText(c.serial, "");
            break;
        case SeenCard::Kind::TypeB:
            j["kind"] = "typeB";
            j["pupi"] = c.serial.empty() ? Json() : Json(HexText(c.serial, ""));
            j["applicationData"] = HexText(c.data, "");
            j["protocolInfo"] = HexText(c.extra, "");
            break;
        case SeenCard::Kind::Ask:
            j["kind"] = "ask";
            j["serial"] = HexText(c.serial, "");
            j["sectors"] = HexText(c.data, "");
            break;
    }
    return j;
}

void PrintJson(const Json& j) {
    fmt::print("{}\n", j.dump(2));
}

Json UsbCheckJson(const UsbCheck& check) {
    Json j{{"id", UsbIdText(check)}, {"devices", Json::array()}};
    for (const UsbReaderDevice& d : check.devices) {
        j["devices"].push_back({{"name", d.name}, {"state", StateName(d.state)}});
    }
    if (!check.failure.empty()) j["failure"] = check.failure;
    return j;
}

void ListCommand(Library& library, std::optional<std::int16_t> onlyPort, bool json, bool diagnose) {
    if (diagnose && library.IsVirtual()) {
        throw UsageError(
            "--diagnose looks at the USB devices of real readers, and the virtual reader has "
            "none: leave out --virtual, --scenario, --state and --capture");
    }
    const Api& api = library.api();
    int readers = 0;
    Json out{{"readers", Json::array()}};
    const std::int16_t first = onlyPort.value_or(0);
    const std::int16_t last = onlyPort.value_or(ZELVORN_MAX_READERS - 1);
    for (std::int16_t port = first; port <= last; ++port) {
        const std::int16_t result = library.Open(port);
        if (result == ERR_OPEN_FAILED) {
            // Ports count the present readers from 0: the first gap is the end.
            break;
        }
        ++readers;
        if (result < 0) {
            if (json) {
                out["readers"].push_back({{"port", port}, {"error", DescribeResult(result)}});
            } else {
                fmt::print("Reader at port {}: cannot be opened: {}\n", port,
                           DescribeResult(result));
            }
            continue;
        }
        FieldScan scan;
        int counted = 0;
        try {
            scan = ScanField(api, result);
            // Type 2 tags all report the same type byte: the product is told
            // by the tag itself.
            for (SeenCard& c : scan.cards) {
                if (c.kind == SeenCard::Kind::TypeA && c.type == zelvorn::type2::kSak &&
                    c.serial.size() == zelvorn::type2::kSerialSize) {
                    c.product = type2::ProductNameOf(api, result, c.serial);
                }
            }
            // The tag list stops at 9; the status report counts every card
            // in the field (byte C of the record).
            if (scan.typeACounted >= ZELVORN_MAX_LISTED_TAGS) {
                std::uint8_t block[20] = {};
                ReaderStatusRecord record{};
                if (ReadWritten({block, AsBytes(record)}, [&] {
                        return api.Zelvorn_Status(result, block, &record);
                    }) == RESULT_OK) {
                    counted = record.statusC;
                }
            }
        } catch (...) {
            library.Close(result);
            throw;
        }
        library.Close(result);
        if (json) {
            Json reader{{"port", port}, {"cards", Json::array()}};
            for (const SeenCard& c : scan.cards) reader["cards"].push_back(CardJson(c));
            reader["listed"] = scan.cards.size();
            reader["counted"] = std::max<std::size_t>(counted, scan.cards.size());
            out["readers"].push_back(reader);
            continue;
        }
        fmt::print("Reader at port {}\n", port);
        int n = 0;
        for (const SeenCard& c : scan.cards) fmt::print("  card {}: {}\n", ++n, CardLine(c));
        if (static_cast<std::size_t>(counted) > scan.cards.size()) {
            fmt::print(
                "  the reader counts {} cards in its field, but lists at most {} type A "
                "cards: {} of them are listed\n",
                counted, ZELVORN_MAX_LISTED_TAGS, n);
        }
        if (n == 0) fmt::print("  no card in the field\n");
    }
    // Why no reader was found: asked of the system only for a real reader,
    // and only when the answer is needed.
    std::optional<UsbCheck> check;
    if (diagnose || (readers == 0 && !onlyPort && !library.IsVirtual())) {
        check = CheckUsbDevices();
    }
    if (diagnose) {
        if (json) {
            out["usb"] = UsbCheckJson(*check);
        } else {
            fmt::print("USB devices with the reader's ID {}:\n", UsbIdText(*check));
            for (const std::string& line : DescribeUsbCheck(*check)) fmt::print("  {}\n", line);
        }
    }
    if (json && (readers > 0 || diagnose)) PrintJson(out);
    if (readers == 0) {
        if (onlyPort)
            throw ToolError(kExitNotFound, fmt::format("no reader at port {}", *onlyPort));
        throw ToolError(kExitNotFound, check ? "no reader found: " + NoReaderReason(*check)
                                             : std::string("no reader found"));
    }
}

void InfoCommand(Library& library, std::int16_t port, bool json) {
    const Api& api = library.api();
    std::uint8_t versionLength = 0;
    char version[32] = {};
    Check(api.Zelvorn_RequestDLLVersion(&versionLength, version), "ask for the library version");

    ReaderSession reader(library, port);
    std::uint8_t block[20] = {};
    ReaderStatusRecord record{};
    Check(ReadWritten({block, AsBytes(record)},
                      [&] { return api.Zelvorn_Status(reader.handle(), block, &record); }),
          "ask for the status report");
    // Copies, since the record is packed and fmt takes its arguments by reference.
    const unsigned a = record.statusA, c = record.statusC, d = record.statusD, e = record.statusE;
    const std::uint32_t b = record.statusB;
    const unsigned f = record.statusF;
    std::uint8_t txControl = 0;
    Check(ReadWritten({AsBytes(txControl)},
                      [&] {
                          return api.Zelvorn_ReadRC500Reg(reader.handle(), kTxControlRegister,
                                                          &txControl);
                      }),
          "read the RC500 transmitter control register");
    const bool field = (txControl & 0x03) != 0;
    std::uint8_t userPort = 0;
    Check(ReadWritten({AsBytes(userPort)},
                      [&] { return api.Zelvorn_ReadUserPort(reader.handle(), &userPort); }),
          "read the user port");

    if (json) {
        PrintJson(Json{{"library", version},
                       {"port", port},
                       {"statusBlock", HexText(block, "")},
                       {"statusRecord",
                        {{"A", fmt::format("{:02X}", a)},
                         {"B", fmt::format("{:08X}", b)},
                         {"C", fmt::format("{:02X}", c)},
                         {"D", fmt::format("{:02X}", d)},
                         {"E", fmt::format("{:02X}", e)},
                         {"F", fmt::format("{:04X}", f)}}},
                       {"field", field},
                       {"txControl", fmt::format("{:02X}", txControl)},
                       {"userPort", fmt::format("{:02X}", userPort)}});
        return;
    }
    fmt::print("Library: {}\n", version);
    fmt::print("Reader at port {}\n", port);
    fmt::print("  status block:  {}  |{}|\n", HexText(block), AsciiText(block));
    fmt::print("  status record: A {:02X}  B {:08X}  C {:02X}  D {:02X}  E {:02X}  F {:04X}\n", a,
               b, c, d, e, f);
    fmt::print("  RF field:      {} (transmitter control {:02X})\n", field ? "on" : "off",
               txControl);
    fmt::print("  user port:     {:02X}\n", userPort);
}

void FieldCommand(Library& library, std::int16_t port, bool on, bool json) {
    ReaderSession reader(library, port);
    const Api& api = reader.api();
    Check(api.Zelvorn_Power(reader.handle(), on ? 1 : 0),
          fmt::format("switch the RF field {}", on ? "on" : "off"));
    if (json) {
        PrintJson(Json{{"port", port}, {"field", on}});
    } else {
        fmt::print("RF field switched {}\n", on ? "on" : "off");
    }
}

// --- wait and watch --------------------------------------------------------------

// Set by Ctrl-C: watch stops at the next poll and says goodbye with exit 0.
std::atomic<bool> g_interrupted{false};

extern "C" void OnInterrupt(int) {
    g_interrupted = true;
}

bool Matches(const SeenCard& c, const std::string& type) {
    if (type.empty()) return true;
    if (type == "b") return c.kind == SeenCard::Kind::TypeB;
    if (type == "ask") return c.kind == SeenCard::Kind::Ask;
    if (c.kind != SeenCard::Kind::TypeA) return false;
    if (type == "iso") return (c.type & kSakIso14443_4) != 0;
    return HasClassicMemory(c.type);  // "mifare"
}

std::string CardKey(const SeenCard& c) {
    return fmt::format("{}:{}:{}", static_cast<int>(c.kind), HexText(c.serial, ""),
                       HexText(c.data, ""));
}

struct PollOptions {
    std::optional<double> timeout;  // seconds; none: until a card comes or Ctrl-C
    std::string type;               // mifare, iso, b, ask; empty: any
    int intervalMs = 250;
};

using Clock = std::chrono::steady_clock;

bool TimedOut(const PollOptions& o, Clock::time_point start) {
    return o.timeout && Clock::now() - start >= std::chrono::duration<double>(*o.timeout);
}

int WaitCommand(Library& library, std::int16_t port, const PollOptions& o, bool json) {
    ReaderSession reader(library, port);
    const auto start = Clock::now();
    std::signal(SIGINT, OnInterrupt);
    while (true) {
        for (const SeenCard& c : ScanField(reader.api(), reader.handle()).cards) {
            if (!Matches(c, o.type)) continue;
            if (json) {
                PrintJson(CardJson(c));
            } else {
                fmt::print("{}\n", CardLine(c));
            }
            return kExitOk;
        }
        const bool interrupted = g_interrupted;
        if (interrupted || TimedOut(o, start)) {
            // With --json a script reads why no card came from stdout too.
            if (json) {
                PrintJson(Json{{"card", nullptr},
                               {"reason", interrupted ? "interrupted" : "timeout"},
                               {"timeout", o.timeout ? Json(*o.timeout) : Json()},
                               {"type", o.type.empty() ? Json() : Json(o.type)}});
            }
            if (interrupted) throw ToolError(kExitNotFound, "interrupted before a card came");
            throw ToolError(kExitNotFound,
                            fmt::format("no {}card came within {} s",
                                        o.type.empty() ? "" : o.type + " ", *o.timeout));
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(o.intervalMs));
    }
}

// One line an event: "arrived: ..." and "removed: ...", or with --json one
// JSON object a line, {"event": "arrived", "card": {...}}.
void PrintEvent(const char* event, const SeenCard& card, bool json) {
    if (json) {
        fmt::print("{}\n", Json{{"event", event}, {"card", CardJson(card)}}.dump());
    } else {
        fmt::print("{}: {}\n", event, CardLine(card));
    }
}

int WatchCommand(Library& library, std::int16_t port, const PollOptions& o, bool json) {
    ReaderSession reader(library, port);
    const auto start = Clock::now();
    std::signal(SIGINT, OnInterrupt);
    std::map<std::string, SeenCard> present;
    while (!g_interrupted && !TimedOut(o, start)) {
        std::map<std::string, SeenCard> now;
        for (const SeenCard& c : ScanField(reader.api(), reader.handle()).cards) {
            if (Matches(c, o.type)) now.emplace(CardKey(c), c);
        }
        for (const auto& [key, card] : now) {
            if (!present.contains(key)) PrintEvent("arrived", card, json);
        }
        for (const auto& [key, card] : present) {
            if (!now.contains(key)) PrintEvent("removed", card, json);
        }
        // Whoever reads the events gets each at once; when they cannot be
        // written, watching is pointless (main says why).
        if (std::fflush(stdout) != 0) return kExitFailed;
        present = std::move(now);
        std::this_thread::sleep_for(std::chrono::milliseconds(o.intervalMs));
    }
    return kExitOk;
}

// The longest time-out taken: a week. Longer waits are better left without one.
constexpr double kMaxTimeoutSeconds = 7 * 24 * 3600;

// A time-out in seconds: a finite number from 0 to a week (not "nan", "inf"
// or a negative number, which would wait for ever or not at all).
std::string CheckSeconds(const std::string& text) {
    const std::string refusal = fmt::format(
        "\"{}\" is not a number of seconds from 0 to {:.0f} (leave --timeout out to wait "
        "without end)",
        text, kMaxTimeoutSeconds);
    double value = 0;
    try {
        std::size_t used = 0;
        value = std::stod(text, &used);
        if (used != text.size()) return refusal;
    } catch (const std::exception&) {
        return refusal;
    }
    if (!std::isfinite(value) || value < 0 || value > kMaxTimeoutSeconds) return refusal;
    return "";
}

void AddPollOptions(CLI::App* sub, PollOptions& o, const char* timeoutHelp,
                    const char* withoutTimeout) {
    sub->add_option("--timeout", o.timeout,
                    fmt::format("{}, 0..{:.0f} (default: {})", timeoutHelp, kMaxTimeoutSeconds,
                                withoutTimeout))
        ->check(CLI::Validator(CheckSeconds, "SECONDS"));
    sub->add_option("--type", o.type, "Only cards of this kind: mifare, iso, b or ask")
        ->check(CLI::IsMember({"mifare", "iso", "b", "ask"}));
    sub->add_option("--interval", o.intervalMs,
                    "Milliseconds between two looks at the field, 50..10000 (default 250: each "
                    "look is three exchanges with the reader)")
        ->check(CLI::Range(50, 10000));
}

}  // namespace

void RegisterReaderCommands(CLI::App& app, Cli& cli) {
    auto* list = app.add_subcommand("list", "List the readers and the cards in their fields");
    auto diagnose = std::make_shared<bool>(false);
    list->add_flag("--diagnose", *diagnose,
                   "Also show the USB devices with the reader's ID and what each lacks before "
                   "the library can use it (its driver package on Windows; the udev rules' tag "
                   "or access on Linux). Without a reader, list says this anyway");
    list->callback([&cli, diagnose] {
        cli.action = [&cli, diagnose](Library& library) {
            return Done([&] {
                ListCommand(
                    library,
                    cli.global.portGiven ? std::optional<std::int16_t>(cli.Port()) : std::nullopt,
                    cli.global.json, *diagnose);
            });
        };
    });

    auto* info = app.add_subcommand(
        "info", "Show the library version and the reader's status report and RF field");
    info->callback([&cli] {
        cli.action = [&cli](Library& library) {
            return Done([&] { InfoCommand(library, cli.Port(), cli.global.json); });
        };
    });

    auto* field = app.add_subcommand(
        "field",
        "Switch the reader's RF field on or off. Every run of the tool opens the reader "
        "afresh, and opening resets it, which switches the field on again: 'field off' lasts "
        "until the next command");
    auto fieldState = std::make_shared<std::string>();
    field->add_option("state", *fieldState, "on or off")
        ->required()
        ->check(CLI::IsMember({"on", "off"}));
    field->callback([&cli, fieldState] {
        cli.action = [&cli, fieldState](Library& library) {
            return Done(
                [&] { FieldCommand(library, cli.Port(), *fieldState == "on", cli.global.json); });
        };
    });

    auto wait = std::make_shared<PollOptions>();
    auto* waitCommand = app.add_subcommand(
        "wait",
        "Wait until a card is in the field and show it (exit 0), or give up at the time-out "
        "(exit 5)");
    AddPollOptions(waitCommand, *wait, "Give up after this many seconds", "never");
    waitCommand->callback([&cli, wait] {
        cli.action = [&cli, wait](Library& library) {
            return WaitCommand(library, cli.Port(), *wait, cli.global.json);
        };
    });

    auto watch = std::make_shared<PollOptions>();
    auto* watchCommand = app.add_subcommand(
        "watch", "Show cards as they arrive in the field and leave it, until Ctrl-C");
    AddPollOptions(watchCommand, *watch, "Stop after this many seconds", "at Ctrl-C");
    watchCommand->callback([&cli, watch] {
        cli.action = [&cli, watch](Library& library) {
            return WatchCommand(library, cli.Port(), *watch, cli.global.json);
        };
    });
}

}  // namespace zelvorn::tool
