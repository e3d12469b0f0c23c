// zelvorn ultralight: MIFARE Ultralight, Ultralight EV1 and NTAG21x tags
// (info, dump, restore, read, write), through the reader's telegrams.
#include <algorithm>
#include <memory>

#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include "tool/cli.h"
#include "tool/commands.h"
#include "tool/dump_file.h"
#include "tool/errors.h"
#include "tool/hex.h"
#include "tool/output_file.h"
#include "tool/type2/dump.h"
#include "tool/type2/session.h"
#include "tool/written.h"

namespace zelvorn::tool::type2 {

using namespace zelvorn::type2;
using Json = nlohmann::ordered_json;

Answer SendTelegram(const Api& api, std::int16_t handle, std::span<const std::uint8_t> frame) {
    std::uint8_t telegram[ZELVORN_MAX_TELEGRAM] = {};
    if (frame.size() + 2 > sizeof telegram) {
        throw ToolError(kExitFailed, "a frame too long for one telegram");
    }
    telegram[0] = static_cast<std::uint8_t>(frame.size());
    telegram[1] = kTelegramOption;
    std::copy(frame.begin(), frame.end(), telegram + 2);
    std::uint8_t length = 0;
    std::uint8_t response[ZELVORN_MAX_TELEGRAM_RESPONSE] = {};
    const std::int16_t result = ReadWrittenUpTo(response, length, [&] {
        return api.Zelvorn_TxDataTelegram(handle, static_cast<std::uint8_t>(frame.size() + 2),
                                          telegram, &length, response);
    });
    if (IsLibraryFailure(result)) throw StepFailed("send a frame to the tag", result);
    if (result != RESULT_OK) return {result, {}};
    return {result, Bytes(response, response + std::min<std::size_t>(length, sizeof response))};
}

Tag ReaderTag(const Api& api, std::int16_t handle, const Bytes& serial) {
    const auto select = [&api, handle, serial] {
        Check(api.Zelvorn_MultiTagSelect(handle, static_cast<std::uint8_t>(serial.size()),
                                         serial.data(), nullptr, nullptr, nullptr),
              fmt::format("select the tag {}", HexText(serial, "")));
    };
    select();
    return Tag(
        [&api, handle](std::span<const std::uint8_t> f) { return SendTelegram(api, handle, f); },
        select);
}

std::string ProductNameOf(const Api& api, std::int16_t handle, const Bytes& serial) {
    try {
        Tag tag = ReaderTag(api, handle, serial);
        return std::string(tag.Identify().name);
    } catch (const ToolError&) {
        return "";
    }
}

namespace {

struct Options {
    std::string password, pack;
    std::string output, format, file;
    bool withLockAndOtp = false;
    int page = 0, count = 1;
    std::string data;
};

bool IsType2(const SeenCard& c) {
    return c.kind == SeenCard::Kind::TypeA && c.type == kSak && c.serial.size() == kSerialSize;
}

// The first Type 2 tag in the field, selected and identified.
struct Session {
    Session(Library& library, std::int16_t port)
        : reader(library, port), tag(Open(reader, serial)) {
        tag.Identify();
    }

    static Tag Open(ReaderSession& reader, Bytes& serial) {
        const FieldScan scan = ScanField(reader.api(), reader.handle());
        const auto it = std::find_if(scan.cards.begin(), scan.cards.end(), IsType2);
        if (it == scan.cards.end()) {
            throw ToolError(kExitNotFound,
                            "no MIFARE Ultralight or NTAG tag in the field: put one on the reader");
        }
        serial = it->serial;
        return ReaderTag(reader.api(), reader.handle(), serial);
    }

    const Product& product() const { return tag.Known(); }

    ReaderSession reader;
    Bytes serial;
    Tag tag;
    std::optional<std::array<std::uint8_t, 4>> password;
    std::optional<std::array<std::uint8_t, 2>> pack;  // the tag's answer to the password
};

// The password options are checked before the reader is opened; with a
// password, the session is authenticated before anything else.
std::unique_ptr<Session> OpenSession(Library& library, std::int16_t port, const Options& o) {
    std::optional<std::array<std::uint8_t, 4>> password;
    std::optional<std::array<std::uint8_t, 2>> expectedPack;
    if (!o.password.empty()) {
        const Bytes p = ParseHex(o.password, "--password", 4);
        password = std::array<std::uint8_t, 4>{p[0], p[1], p[2], p[3]};
    }
    if (!o.pack.empty()) {
        if (!password) throw UsageError("--pack checks the answer to --password: give both");
        const Bytes p = ParseHex(o.pack, "--pack", 2);
        expectedPack = std::array<std::uint8_t, 2>{p[0], p[1]};
    }
    auto session = std::make_unique<Session>(library, port);
    if (password) {
        if (session->product().configPage == 0) {
            throw UsageError(fmt::format("the {} has no password; leave out --password",
                                         session->product().name));
        }
        session->pack = session->tag.Authenticate(*password, expectedPack);
        session->password = password;
    }
    return session;
}

std::string PageList(const std::vector<std::size_t>& pages) {
    std::string out;
    for (std::size_t i = 0; i < pages.size();) {
        std::size_t j = i;
        while (j + 1 < pages.size() && pages[j + 1] == pages[j] + 1) ++j;
        out += (out.empty() ? "" : ", ") +
               (j == i ? std::to_string(pages[i]) : fmt::format("{}-{}", pages[i], pages[j]));
        i = j + 1;
    }
    return out;
}

std::array<std::uint8_t, 4> PageOf(const Bytes& memory, std::size_t page) {
    return {memory[page * 4], memory[page * 4 + 1], memory[page * 4 + 2], memory[page * 4 + 3]};
}

// Whole memory, or only pages 0 to 3 when the rest is read-protected and
// no password was given (then readProtected).
Bytes ReadMemory(Session& s, bool& readProtected) {
    readProtected = false;
    try {
        return s.tag.Read(0, s.product().pages);
    } catch (const ToolError&) {
        if (s.password) throw;
        readProtected = true;
        return s.tag.Read(0, kFirstUserPage);
    }
}

void InfoCommand(Library& library, std::int16_t port, const Options& o, bool json) {
    auto s = OpenSession(library, port, o);
    const Product& p = s->product();
    bool readProtected = false;
    const Bytes memory = ReadMemory(*s, readProtected);
    const std::size_t pages = memory.size() / kPageSize;
    const auto byteAt = [&memory](std::size_t page, std::size_t i) {
        return memory[page * kPageSize + i];
    };
    std::vector<std::size_t> locked;
    for (std::size_t page = kOtpPage; page < pages; ++page) {
        if (PageLocked(p, byteAt, page)) locked.push_back(page);
    }
    const bool config = p.configPage != 0 && !readProtected;
    const std::uint8_t auth0 = config ? byteAt(p.configPage, 3) : 0;
    const std::uint8_t access = config ? byteAt(p.configPage + 1, 0) : 0;
    std::vector<std::pair<std::string, std::uint32_t>> counters;
    if (p.family == Family::Ntag) {
        if (auto c = s->tag.ReadCounter(kNfcCounterNumber)) counters.emplace_back("nfc", *c);
    } else if (p.family == Family::UltralightEv1) {
        for (std::uint8_t n = 0; n < kEv1Counters; ++n) {
            if (auto c = s->tag.ReadCounter(n)) counters.emplace_back(std::to_string(n), *c);
        }
    }
    const auto signature = s->tag.ReadSignature();
    const std::string user =
        fmt::format("pages {} to {}, {} bytes", kFirstUserPage, p.UserEnd() - 1, p.UserBytes());

    if (json) {
        Json j{{"product", p.name},
               {"kind", p.kind},
               {"serial", HexText(s->serial, "")},
               {"version", s->tag.Version() ? Json(HexText(*s->tag.Version(), "")) : Json()},
               {"pages", p.pages},
               {"userPages", {kFirstUserPage, p.UserEnd() - 1}},
               {"userBytes", p.UserBytes()},
               {"capabilityContainer", HexText(PageOf(memory, kOtpPage), "")},
               {"lockedPages", readProtected ? Json() : Json(locked)},
               {"readProtectedFromSomePage", readProtected}};
        if (config) {
            j["auth0"] = auth0;
            j["prot"] = (access & kAccessProt) != 0;
            j["configLocked"] = (access & kAccessCfgLock) != 0;
            j["authLimit"] = access & kAccessAuthLimit;
        }
        if (s->pack) j["pack"] = HexText(*s->pack, "");
        Json c = Json::object();
        for (const auto& [name, value] : counters) c[name] = value;
        j["counters"] = c;
        j["signature"] = signature ? Json(HexText(*signature, "")) : Json();
        fmt::print("{}\n", j.dump(2));
        return;
    }
    fmt::print("Tag: {}, serial {}\n", p.name, HexText(s->serial, ""));
    if (s->tag.Version()) fmt::print("Version: {}\n", HexText(*s->tag.Version()));
    fmt::print("Pages: {} (user memory: {})\n", p.pages, user);
    fmt::print("Capability container: {}\n", HexText(PageOf(memory, kOtpPage)));
    if (readProtected) {
        fmt::print("Memory from some page on is read-protected: give --password to see it all\n");
    } else {
        fmt::print("Locked pages: {}\n", locked.empty() ? "none" : PageList(locked));
    }
    if (config) {
        if (auth0 >= p.pages) {
            fmt::print("Password protection: off (AUTH0 {:02X})\n", auth0);
        } else {
            fmt::print(
                "Password protection: {} from page {} on{}{}\n",
                (access & kAccessProt) != 0 ? "reads and writes" : "writes", auth0,
                (access & kAccessCfgLock) != 0 ? ", configuration locked" : "",
                (access & kAccessAuthLimit) != 0
                    ? fmt::format(", {} failed attempts allowed", 1u << (access & kAccessAuthLimit))
                    : "");
        }
    }
    if (s->pack) fmt::print("Password accepted, PACK {}\n", HexText(*s->pack, ""));
    for (const auto& [name, value] : counters) {
        fmt::print("{}: {}\n", name == "nfc" ? "NFC counter" : "Counter " + name, value);
    }
    if (p.family == Family::Ntag && counters.empty()) {
        fmt::print("NFC counter: not readable (protected by the password)\n");
    }
    if (signature) fmt::print("Signature: {}\n", HexText(*signature, ""));
}

void PrintPages(const Bytes& memory, std::size_t first, bool json) {
    const std::size_t pages = memory.size() / kPageSize;
    if (json) {
        Json list = Json::array();
        for (std::size_t i = 0; i < pages; ++i) {
            list.push_back({{"page", first + i}, {"data", HexText(PageOf(memory, i), "")}});
        }
        fmt::print("{}\n", Json{{"pages", list}}.dump(2));
        return;
    }
    for (std::size_t i = 0; i < pages; ++i) {
        const auto page = PageOf(memory, i);
        fmt::print("page {:3}: {}  |{}|\n", first + i, HexText(page), AsciiText(page));
    }
}

void DumpCommand(Library& library, std::int16_t port, const Options& o, bool json) {
    const bool toFile = !o.output.empty();
    const DumpFormat format = toFile ? DumpFormatFor(o.output, o.format) : DumpFormat::Json;
    auto s = OpenSession(library, port, o);
    const Product& p = s->product();
    Dump dump;
    dump.memory = s->tag.Read(0, p.pages);
    // The password and PACK never read back; what was given and answered
    // goes into the dump in their place.
    if (s->pack && p.configPage != 0) {
        std::copy(s->password->begin(), s->password->end(),
                  dump.memory.begin() + static_cast<std::ptrdiff_t>(p.PwdPage() * kPageSize));
        std::copy(s->pack->begin(), s->pack->end(),
                  dump.memory.begin() + static_cast<std::ptrdiff_t>(p.PackPage() * kPageSize));
    }
    dump.version = s->tag.Version();
    dump.signature = s->tag.ReadSignature();
    if (p.family == Family::Ntag) {
        dump.counters[kNfcCounterNumber] = s->tag.ReadCounter(kNfcCounterNumber);
    } else if (p.family == Family::UltralightEv1) {
        for (std::uint8_t n = 0; n < kEv1Counters; ++n) dump.counters[n] = s->tag.ReadCounter(n);
    }
    if (!toFile) {
        if (json) {
            fmt::print("{}", WriteDump(dump, DumpFormat::Json));
        } else {
            fmt::print("{}, serial {}, {} pages\n", p.name, HexText(s->serial, ""), p.pages);
            PrintPages(dump.memory, 0, false);
        }
        return;
    }
    WriteOutputFile(o.output, WriteDump(dump, format), "dump file");
    if (json) {
        fmt::print("{}\n", Json{{"file", o.output},
                                {"product", p.name},
                                {"pages", p.pages},
                                {"telegrams", s->tag.Telegrams()}}
                               .dump(2));
    } else {
        fmt::print("{}, serial {}: {} pages written to {}\n", p.name, HexText(s->serial, ""),
                   p.pages, o.output);
    }
}

void RestoreCommand(Library& library, std::int16_t port, const Options& o, bool json) {
    const Dump dump = ReadDump(ReadWholeFile(o.file, "dump file"), DumpFormatFor(o.file, o.format));
    auto s = OpenSession(library, port, o);
    const Product& p = s->product();
    const Bytes memory = s->tag.Read(0, p.pages);
    const RestorePlan plan = PlanRestore(p, memory, dump.memory, o.withLockAndOtp);
    std::vector<std::size_t> written;
    for (const PageWrite& w : plan.writes) {
        s->tag.Write(w.page, w.data);
        written.push_back(w.page);
    }
    if (json) {
        fmt::print("{}\n",
                   Json{{"product", p.name}, {"written", written}, {"notes", plan.notes}}.dump(2));
        return;
    }
    fmt::print("{}, serial {}: {} written\n", p.name, HexText(s->serial, ""),
               written.empty()       ? "no page needed to be"
               : written.size() == 1 ? "page " + PageList(written)
                                     : "pages " + PageList(written));
    for (const std::string& note : plan.notes) fmt::print("Note: {}\n", note);
}

void ReadCommand(Library& library, std::int16_t port, const Options& o, bool json) {
    auto s = OpenSession(library, port, o);
    const auto first = static_cast<std::size_t>(o.page);
    PrintPages(s->tag.Read(first, static_cast<std::size_t>(o.count)), first, json);
}

bool OneTimePage(const Product& p, std::size_t page) {
    return page == kStaticLockPage || page == kOtpPage ||
           (p.dynamicLockPage != 0 && page == p.dynamicLockPage);
}

void WriteCommand(Library& library, std::int16_t port, const Options& o, bool json) {
    const Bytes bytes = ParseHex(o.data, "page data", kPageSize);
    auto s = OpenSession(library, port, o);
    const Product& p = s->product();
    const auto page = static_cast<std::size_t>(o.page);
    if (page >= p.pages) {
        throw UsageError(
            fmt::format("page {}: the {} has pages 0 to {}", page, p.name, p.pages - 1));
    }
    if (OneTimePage(p, page) && !o.withLockAndOtp) {
        throw UsageError(fmt::format(
            "page {} holds one-time bits (lock bytes or page 3) that can never be cleared; "
            "give --with-lock-and-otp to write them",
            page));
    }
    s->tag.Write(page, std::span<const std::uint8_t, 4>(bytes.data(), 4));
    // One-time pages take bits only, and the password pages never read back:
    // show what the page holds now.
    const Bytes now = s->tag.Read(page, 1);
    if (json) {
        fmt::print(
            "{}\n",
            Json{{"page", page}, {"sent", HexText(bytes, "")}, {"data", HexText(now, "")}}.dump(2));
        return;
    }
    fmt::print("Page {} written: {}{}\n", page, HexText(now),
               now == bytes ? "" : fmt::format(" (not the {} sent)", HexText(bytes)));
}

}  // namespace

}  // namespace zelvorn::tool::type2

namespace zelvorn::tool {

void RegisterUltralightCommands(CLI::App& app, Cli& cli) {
    using namespace type2;
    auto* ul = app.add_subcommand(
        "ultralight", "MIFARE Ultralight, Ultralight EV1 and NTAG21x tags (NFC Forum Type 2)");
    ul->require_subcommand(1);
    ul->fallthrough();
    auto o = std::make_shared<Options>();
    ul->add_option("--password", o->password,
                   "The tag's 4-byte password (8 hexadecimal digits), sent with PWD_AUTH first");
    ul->add_option("--pack", o->pack,
                   "The PACK (4 hexadecimal digits) the tag must answer to the password");

    const auto run = [&cli, o](CLI::App* sub,
                               void (*command)(Library&, std::int16_t, const Options&, bool)) {
        sub->callback([&cli, o, command] {
            cli.action = [&cli, o, command](Library& library) {
                return Done([&] { command(library, cli.Port(), *o, cli.global.json); });
            };
        });
    };

    run(ul->add_subcommand("info",
                           "Product, memory, lock bits, password protection, counters and "
                           "signature of the first tag in the field"),
        InfoCommand);

    auto* dump = ul->add_subcommand("dump", "Read every page (FAST_READ where the tag has it)");
    dump->add_option("-o,--output", o->output,
                     "Save to a file: .bin (the memory image) or .json (proxmark3's mfu layout)");
    dump->add_option("--format", o->format, "The file's format, whatever its name ends in")
        ->check(CLI::IsMember({"bin", "json"}));
    run(dump, DumpCommand);

    auto* restore = ul->add_subcommand(
        "restore", "Write a dump's user pages back (those that differ from the tag's)");
    restore->add_option("file", o->file, "The dump file (.bin or .json)")->required();
    restore->add_option("--format", o->format, "The file's format, whatever its name ends in")
        ->check(CLI::IsMember({"bin", "json"}));
    restore->add_flag("--with-lock-and-otp", o->withLockAndOtp,
                      "Also write page 3 and the lock bytes as the dump has them: they can "
                      "never be undone");
    run(restore, RestoreCommand);

    auto* read = ul->add_subcommand("read", "Read pages");
    read->add_option("page", o->page, "First page, 0..255")->required()->check(CLI::Range(0, 255));
    read->add_option("count", o->count, "Number of pages (default 1)")->check(CLI::Range(1, 256));
    run(read, ReadCommand);

    auto* write = ul->add_subcommand("write", "Write one page with WRITE");
    write->add_option("page", o->page, "Page number, 0..255")
        ->required()
        ->check(CLI::Range(0, 255));
    write->add_option("data", o->data, "4 bytes as 8 hexadecimal digits")->required();
    write->add_flag("--with-lock-and-otp", o->withLockAndOtp,
                    "Allow page 2, page 3 and the dynamic lock bytes, whose bits can never be "
                    "cleared");
    run(write, WriteCommand);
}

}  // namespace zelvorn::tool
