// The platform of the drop-in virtual library: the virtual reader, loaded on
// first use with the scenario file that ZELVORN_VIRTUAL_SCENARIO names, or
// with the default scenario when the variable is unset or empty.
//
// A scenario file that cannot be used leaves the reader unplugged, so that
// opening it fails with ERR_OPEN_FAILED rather than running on cards the
// caller did not ask for; one line on stderr says why, since the library has
// no other way to tell.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "virtual/scenario.h"
#include "virtual/virtual_reader.h"

#if defined(_WIN32)
#include <windows.h>
#endif

namespace zelvorn {
namespace {

constexpr char kScenarioVariable[] = "ZELVORN_VIRTUAL_SCENARIO";

std::string ScenarioPath() {
#if defined(_WIN32)
    // The process environment itself, not the C runtime's copy of it, so that
    // a value set by the host program after start-up is seen too.
    char buffer[1024];
    const DWORD length = GetEnvironmentVariableA(kScenarioVariable, buffer, sizeof buffer);
    if (length == 0 || length >= sizeof buffer) return {};
    return std::string(buffer, length);
#else
    const char* value = std::getenv(kScenarioVariable);
    return value == nullptr ? std::string() : std::string(value);
#endif
}

bool LoadScenario() {
    virt::VirtualReader& reader = virt::VirtualReader::Instance();
    const std::string path = ScenarioPath();
    if (path.empty()) return true;
    try {
        reader.Load(virt::Scenario_FromFile(path));
        return true;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "zelvorn-virtual: scenario %s: %s\n", path.c_str(), e.what());
        reader.Unplug();
        return false;
    }
}

}  // namespace

const PlatformOps& Platform_Default() {
    static const bool loaded = LoadScenario();
    (void)loaded;
    return VirtualReader_Ops();
}

}  // namespace zelvorn
