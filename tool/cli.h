// The command line: the options every subcommand shares, and the functions
// through which each family of commands adds its subcommands, beside its code.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include <CLI/CLI.hpp>

#include "tool/library.h"

namespace zelvorn::tool {

struct GlobalOptions {
    int port = 0;
    bool portGiven = false;
    bool useVirtual = false;
    std::string scenario;  // implies useVirtual
    std::string state;     // the virtual reader's state file; implies useVirtual
    std::string capture;   // the virtual reader's capture file; implies useVirtual
    std::string library;   // a library file to load instead
    bool json = false;     // one JSON document on stdout instead of text
};

// The command line being parsed and what the chosen subcommand will do.
struct Cli {
    GlobalOptions global;
    // Set by the chosen subcommand's callback; runs with the library loaded
    // on first use (a command checks its input before anything is loaded).
    std::function<int(Library&)> action;

    std::int16_t Port() const { return static_cast<std::int16_t>(global.port); }
};

// Each family of commands registers its subcommands and their options.
void RegisterReaderCommands(CLI::App& app, Cli& cli);      // list, info, field, wait, watch
void RegisterMifareCommands(CLI::App& app, Cli& cli);      // mifare ...
void RegisterApduCommand(CLI::App& app, Cli& cli);         // apdu
void RegisterAskCommands(CLI::App& app, Cli& cli);         // ask ...
void RegisterNdefCommands(CLI::App& app, Cli& cli);        // ndef ...
void RegisterScenarioCommands(CLI::App& app, Cli& cli);    // scenario ...
void RegisterDumpCommands(CLI::App& app, Cli& cli);        // dump convert, dump diff
void RegisterUltralightCommands(CLI::App& app, Cli& cli);  // ultralight ...

// Called by the callback of a command that prints only text, after it set
// its action: with --json, the command is refused (exit code 2) rather than
// --json silently ignored.
void RefuseJson(Cli& cli, const std::string& command);

// Runs a command that prints and returns nothing, as exit code 0.
template <typename F>
int Done(F&& f) {
    f();
    return 0;
}

}  // namespace zelvorn::tool
