// zelvorn: the reader library from the shell. Each family of commands adds
// its own subcommands (RegisterReaderCommands and the others); this file holds
// the options they share and runs the one chosen.
#include <CLI/CLI.hpp>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iostream>

#include <fmt/format.h>

#include "tool/cli.h"
#include "tool/errors.h"
#include "tool/library.h"

#ifndef ZELVORN_TOOL_VERSION
#define ZELVORN_TOOL_VERSION "unknown"
#endif

using namespace zelvorn::tool;

namespace {

void AddGlobalOptions(CLI::App& app, GlobalOptions& g) {
    app.add_option("-p,--port", g.port, "Reader port, 0..19 (default 0)")->check(CLI::Range(0, 19));
    app.add_flag("--virtual", g.useVirtual,
                 "Use the virtual reader (libzelvorn-virtual; its cards come from the file "
                 "that ZELVORN_VIRTUAL_SCENARIO names, or its default scenario)");
    app.add_option("--scenario", g.scenario,
                   "Scenario file for the virtual reader (implies --virtual)");
    app.add_option("--state", g.state,
                   "State file of the virtual reader (implies --virtual): read when the reader "
                   "is opened if it exists, written when it is closed, so that several runs "
                   "act on one reader and its cards (sets ZELVORN_VIRTUAL_STATE)");
    app.add_option("--capture", g.capture,
                   "Capture file of the virtual reader's traffic (implies --virtual; sets "
                   "ZELVORN_VIRTUAL_CAPTURE for the virtual library)");
    app.add_option("--library", g.library, "Load this library file instead");
    app.add_flag("--json", g.json,
                 "Print JSON instead of text: one document, or for watch one object a line "
                 "(docs/tool.md names the fields)");
    app.set_version_flag("--version", std::string("zelvorn ") + ZELVORN_TOOL_VERSION,
                         "Show the tool's version and exit");
}

int Run(Cli& cli) {
    const GlobalOptions& g = cli.global;
    const bool isVirtual =
        g.useVirtual || !g.scenario.empty() || !g.state.empty() || !g.capture.empty();
    std::string file = g.library;
    if (file.empty()) file = isVirtual ? kVirtualLibrary : kRealLibrary;
    if (!g.scenario.empty()) SetVariable(kScenarioVariable, g.scenario);
    if (!g.state.empty()) SetVariable(kStateVariable, g.state);
    if (!g.capture.empty()) SetVariable(kCaptureVariable, g.capture);
    Library library(file, isVirtual);
    // A state the virtual reader could not save at a close loses what the
    // command did: the command fails, whatever it printed before.
    int code = kExitOk;
    try {
        code = cli.action(library);
    } catch (...) {
        if (!library.CloseError().empty()) {
            std::fflush(stdout);
            fmt::print(stderr, "zelvorn: error: {}\n", library.CloseError());
        }
        throw;
    }
    if (!library.CloseError().empty()) throw ToolError(kExitFailed, library.CloseError());
    return code;
}

// What a command prints must arrive: the last of it leaves the buffer here,
// and a write that failed on the way (a full disk, say) turns a success into
// exit 1. An exit code that already tells of a failure stays.
int CheckStandardOutput(int code) {
    errno = 0;
    std::cout.flush();  // flushes stdout, which std::cout writes through
    const bool flushFailed = std::fflush(stdout) != 0;
    const int reason = errno;
    if (!flushFailed && !std::ferror(stdout) && std::cout) return code;
    fmt::print(stderr, "zelvorn: error: write to standard output: {}\n",
               reason != 0 ? std::strerror(reason) : "some output was lost");
    return code == kExitOk || code == kExitIncomplete ? kExitFailed : code;
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{
        "Drives a Zelvorn contactless reader: lists cards, dumps and restores MIFARE Classic "
        "cards, sends APDUs to processor cards, reads and writes ASK tickets.\n"
        "Works on a real reader (libzelvorn) or, with --virtual, on the emulated reader and "
        "cards of libzelvorn-virtual.",
        "zelvorn"};
    app.footer(ExitCodeHelp());
    app.require_subcommand(1);
    app.fallthrough();

    Cli cli;
    AddGlobalOptions(app, cli.global);
    RegisterReaderCommands(app, cli);
    RegisterMifareCommands(app, cli);
    RegisterApduCommand(app, cli);
    RegisterAskCommands(app, cli);
    RegisterNdefCommands(app, cli);
    RegisterScenarioCommands(app, cli);
    RegisterDumpCommands(app, cli);
    RegisterUltralightCommands(app, cli);

    try {
        app.parse(argc, argv);
        cli.global.portGiven = app.get_option("--port")->count() > 0;
    } catch (const CLI::ParseError& e) {
        const int code = app.exit(e);
        return CheckStandardOutput(code == 0 ? kExitOk : kExitUsage);
    }

    int code = kExitOk;
    try {
        code = Run(cli);
    } catch (const ToolError& e) {
        std::fflush(stdout);
        fmt::print(stderr, "zelvorn: error: {}\n", e.what());
        code = e.ExitCode();
    } catch (const std::exception& e) {
        std::fflush(stdout);
        // A print that could not write to stdout is said once, below.
        if (!std::ferror(stdout)) fmt::print(stderr, "zelvorn: error: {}\n", e.what());
        code = kExitFailed;
    }
    return CheckStandardOutput(code);
}
