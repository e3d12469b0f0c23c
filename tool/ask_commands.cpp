// ASK ticket sectors.
#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include "tool/cli.h"
#include "tool/commands.h"
#include "tool/errors.h"
#include "tool/hex.h"
#include "tool/written.h"

namespace zelvorn::tool {
namespace {

void AskReadCommand(Library& library, std::int16_t port, int sector, bool multi, bool json) {
    ReaderSession reader(library, port);
    const Api& api = reader.api();
    const auto s = static_cast<std::uint8_t>(sector);
    std::uint8_t data[8] = {};
    const std::size_t n = multi ? 8 : 2;
    if (multi) {
        Check(ReadWritten({data},
                          [&] { return api.Zelvorn_ASKSectorMultiRead(reader.handle(), s, data); }),
              fmt::format("read eight bytes from ticket sector {}", sector));
    } else {
        Check(ReadWritten({std::span(data, 2)},
                          [&] { return api.Zelvorn_ASKSectorRead(reader.handle(), s, data); }),
              fmt::format("read ticket sector {}", sector));
    }
    if (json) {
        fmt::print(
            "{}\n",
            nlohmann::ordered_json{{"sector", sector}, {"data", HexText({data, n}, "")}}.dump(2));
    } else {
        fmt::print("Sector {}{}: {}\n", sector, multi ? " on" : "", HexText({data, n}));
    }
}

void AskWriteCommand(Library& library, std::int16_t port, int sector, const std::string& text,
                     int mode, bool json) {
    const Bytes bytes = ParseHex(text, "sector data", 2);
    ReaderSession reader(library, port);
    const Api& api = reader.api();
    std::uint8_t data[2] = {bytes[0], bytes[1]};
    Check(api.Zelvorn_ASKSectorWrite(reader.handle(), static_cast<std::uint8_t>(sector), data,
                                     static_cast<std::uint8_t>(mode)),
          fmt::format("write ticket sector {}", sector));
    // The ticket reports what the sector holds after the write; one-time
    // sectors, for one, only ever gain bits, so it can differ from the bytes sent.
    const bool same = data[0] == bytes[0] && data[1] == bytes[1];
    if (json) {
        fmt::print("{}\n", nlohmann::ordered_json{{"sector", sector},
                                                  {"data", HexText(data, "")},
                                                  {"sent", HexText(bytes, "")}}
                               .dump(2));
        return;
    }
    fmt::print("Sector {} written: {}{}\n", sector, HexText(data),
               same ? "" : fmt::format(" (not the {} sent)", HexText(bytes)));
}

struct AskOptions {
    int sector = 0;
    bool multi = false;
    std::string data;
    int mode = 0;
};

}  // namespace

void RegisterAskCommands(CLI::App& app, Cli& cli) {
    auto* ask = app.add_subcommand("ask", "ASK ticket sectors");
    ask->require_subcommand(1);
    ask->fallthrough();
    auto o = std::make_shared<AskOptions>();

    auto* read = ask->add_subcommand("read", "Read the two bytes of a sector");
    read->add_option("sector", o->sector, "Sector number, 0..255")
        ->required()
        ->check(CLI::Range(0, 255));
    read->add_flag("--multi", o->multi, "Read eight bytes from the sector on");
    read->callback([&cli, o] {
        cli.action = [&cli, o](Library& library) {
            return Done(
                [&] { AskReadCommand(library, cli.Port(), o->sector, o->multi, cli.global.json); });
        };
    });

    auto* write = ask->add_subcommand("write", "Write the two bytes of a sector");
    write->add_option("sector", o->sector, "Sector number, 0..255")
        ->required()
        ->check(CLI::Range(0, 255));
    write->add_option("data", o->data, "2 bytes as 4 hexadecimal digits")->required();
    write
        ->add_option("--mode", o->mode,
                     "0 (default): erase and write, the sector takes the two bytes (the "
                     "reader's command 32); 1: write without erasing, the bits are added to "
                     "those the sector holds (command 33; the only write a one-time sector "
                     "takes)")
        ->check(CLI::Range(0, 1));
    write->callback([&cli, o] {
        cli.action = [&cli, o](Library& library) {
            return Done([&] {
                AskWriteCommand(library, cli.Port(), o->sector, o->data, o->mode, cli.global.json);
            });
        };
    });
}

}  // namespace zelvorn::tool
