// The platform of the drop-in virtual library: the virtual reader, loaded on
// first use with the scenario file that ZELVORN_VIRTUAL_SCENARIO names, or
// with the default scenario when the variable is unset or empty.
//
// A scenario file that cannot be used leaves the reader unplugged, so that
// opening it fails with ERR_OPEN_FAILED rather than running on cards the
// caller did not ask for; one line on stderr says why, since the library has
// no other way to tell.
//
// ZELVORN_VIRTUAL_CAPTURE, when set, names a pcap file that receives the
// reader's USB traffic (virtual/library/capture.h). A capture file that cannot
// be created leaves the reader unplugged in the same way, rather than running
// without the record the caller asked for.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "virtual/library/capture.h"
#include "virtual/scenario.h"
#include "virtual/virtual_reader.h"

#if defined(_WIN32)
#include <windows.h>
#endif

namespace zelvorn {
namespace {

constexpr char kScenarioVariable[] = "ZELVORN_VIRTUAL_SCENARIO";

std::string EnvironmentValue(const char* name) {
#if defined(_WIN32)
    // The process environment itself, not the C runtime's copy of it, so that
    // a value set by the host program after start-up is seen too.
    char buffer[1024];
    const DWORD length = GetEnvironmentVariableA(name, buffer, sizeof buffer);
    if (length == 0 || length >= sizeof buffer) return {};
    return std::string(buffer, length);
#else
    const char* value = std::getenv(name);
    return value == nullptr ? std::string() : std::string(value);
#endif
}

bool LoadScenario() {
    virt::VirtualReader& reader = virt::VirtualReader::Instance();
    const std::string path = EnvironmentValue(kScenarioVariable);
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

const PlatformOps* StartCapture() {
    const std::string path = EnvironmentValue(virt::kCaptureVariable);
    if (path.empty()) return &VirtualReader_Ops();
    const PlatformOps* ops = virt::Capture_Start(path.c_str(), VirtualReader_Ops(),
                                                 ZELVORN_USB_VENDOR_ID, ZELVORN_USB_PRODUCT_ID);
    if (ops != nullptr) return ops;
    virt::VirtualReader::Instance().Unplug();
    return &VirtualReader_Ops();
}

}  // namespace

const PlatformOps& Platform_Default() {
    static const bool loaded = LoadScenario();
    static const PlatformOps* const ops = StartCapture();
    (void)loaded;
    return *ops;
}

}  // namespace zelvorn
