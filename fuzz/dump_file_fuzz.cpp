// The tool's readers of files a user hands it: MIFARE Classic dumps in the
// raw, eml, JSON and mct formats, and key files (dictionaries and JSON). The first byte picks the
// reader; a file it refuses must end in a UsageError, never anything worse.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "tool/dump_file.h"
#include "tool/errors.h"
#include "tool/mifare_keys.h"

using namespace zelvorn::tool;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const std::string_view text(reinterpret_cast<const char*>(data + 1), size - 1);
    try {
        switch (data[0] % 5) {
            case 0:
            case 1:
            case 2:
            case 3: {
                const auto format = static_cast<DumpFormat>(data[0] % 5);
                const MifareDump dump = ReadDump(text, format);
                // What was read must write again in every format.
                std::vector<std::string> warnings;
                for (DumpFormat out :
                     {DumpFormat::Binary, DumpFormat::Eml, DumpFormat::Json, DumpFormat::Mct}) {
                    const std::string written = WriteDump(dump, out, warnings);
                    if (ReadDump(written, out).blocks.size() != dump.blocks.size())
                        __builtin_trap();
                }
                break;
            }
            default: {
                SectorKeys hints;
                (void)ReadKeyFile(text, hints);
                break;
            }
        }
    } catch (const ToolError& e) {
        // What is wrong, in words: never the JSON library's own text (unless
        // the file itself holds it, quoted in the message).
        if (std::string_view(e.what()).find("[json.exception.") != std::string_view::npos &&
            text.find("json.exception") == std::string_view::npos) {
            __builtin_trap();
        }
    }
    return 0;
}
