// ASK ticket sectors.
#include <fmt/format.h>

#include "tool/commands.h"
#include "tool/errors.h"
#include "tool/hex.h"

namespace zelvorn::tool {

void AskReadCommand(Library& library, std::int16_t port, int sector, bool multi) {
    ReaderSession reader(library.api(), port);
    const Api& api = reader.api();
    const auto s = static_cast<std::uint8_t>(sector);
    if (multi) {
        std::uint8_t data[8] = {};
        Check(api.Zelvorn_ASKSectorMultiRead(reader.handle(), s, data),
              fmt::format("read eight bytes from ticket sector {}", sector));
        fmt::print("Sector {} on: {}\n", sector, HexText(data));
    } else {
        std::uint8_t data[2] = {};
        Check(api.Zelvorn_ASKSectorRead(reader.handle(), s, data),
              fmt::format("read ticket sector {}", sector));
        fmt::print("Sector {}: {}\n", sector, HexText(data));
    }
}

void AskWriteCommand(Library& library, std::int16_t port, int sector, const std::string& text,
                     int mode) {
    const Bytes bytes = ParseHex(text, "sector data", 2);
    ReaderSession reader(library.api(), port);
    const Api& api = reader.api();
    std::uint8_t data[2] = {bytes[0], bytes[1]};
    Check(api.Zelvorn_ASKSectorWrite(reader.handle(), static_cast<std::uint8_t>(sector), data,
                                     static_cast<std::uint8_t>(mode)),
          fmt::format("write ticket sector {}", sector));
    // The ticket reports what the sector holds after the write; one-time
    // sectors, for one, only ever gain bits, so it can differ from the bytes sent.
    const bool same = data[0] == bytes[0] && data[1] == bytes[1];
    fmt::print("Sector {} written: {}{}\n", sector, HexText(data),
               same ? "" : fmt::format(" (not the {} sent)", HexText(bytes)));
}

}  // namespace zelvorn::tool
