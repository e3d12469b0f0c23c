// The platform of the drop-in virtual library: the virtual reader, loaded on
// first use with the scenario file that ZELVORN_VIRTUAL_SCENARIO names, or
// with the default scenario when the variable is unset or empty.
//
// A scenario file that cannot be used leaves the reader unplugged, so that
// opening it fails with ERR_OPEN_FAILED rather than running on cards the
// caller did not ask for; one line on stderr says why, since the library has
// no other way to tell.
//
// ZELVORN_VIRTUAL_STATE names a state file: read when the reader is opened
// (if it exists), written when it is closed, so that several runs of a
// program meet one reader with the keys, EEPROM and card memory the last run
// left. A state file that cannot be used fails the open in the same way, and
// so does one that could not be written back (a missing folder, a read-only
// file): found at the open, before the program does anything it would lose.
// The state is written whole or not at all (a new file renamed into place);
// a write that fails at the close all the same is told on stderr in the
// same words, which is all a close can do.
//
// ZELVORN_VIRTUAL_CONTROL names a control file whose lines take cards out of
// the field and put them back, or pull and plug in the reader (reader 0),
// while the program runs (virtual/field_control.h): so that a program's
// handling of a card that leaves, or of a reader pulled out, can be tested.
//
// ZELVORN_VIRTUAL_CAPTURE, when set, names a pcap file that receives the
// reader's USB traffic (virtual/library/capture.h). A capture file that cannot
// be created leaves the reader unplugged, rather than running without the
// record the caller asked for.
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "virtual/field_control.h"
#include "virtual/library/capture.h"
#include "virtual/scenario.h"
#include "virtual/state_file.h"
#include "virtual/virtual_reader.h"

#if defined(_WIN32)
#include <windows.h>
#endif

namespace zelvorn {
namespace {

constexpr char kScenarioVariable[] = "ZELVORN_VIRTUAL_SCENARIO";
constexpr char kStateVariable[] = "ZELVORN_VIRTUAL_STATE";

std::string Variable(const char* name) {
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

std::string ScenarioPath() {
    return Variable(kScenarioVariable);
}

PlatformOps g_ops;
virt::FieldControl g_control;

// The control file's lines are carried out before the reader is looked for,
// opened, or sent a command frame, as the PC/SC driver's readers do.
bool FindWithControl(PathChar* path, std::uint32_t index) {
    g_control.Poll();
    return VirtualReader_Ops().findPath(path, index);
}

bool ControlOutWithControl(PlatformUsb* usb, const SetupPacket& setup, const std::uint8_t* data) {
    g_control.Poll();
    return VirtualReader_Ops().controlOut(usb, setup, data);
}

OpenOutcome OpenWithState(const PathChar* path, PlatformFile** file) {
    g_control.Poll();
    const OpenOutcome outcome = VirtualReader_Ops().openPath(path, file);
    const std::string state = Variable(kStateVariable);
    if (outcome != OpenOutcome::Ok || state.empty()) return outcome;
    try {
        std::error_code error;
        if (std::filesystem::exists(state, error)) {
            virt::State_LoadFile(state, virt::VirtualReader::Instance().Device());
        }
        virt::State_CheckWritable(state);
        return outcome;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "zelvorn-virtual: state %s: %s\n", state.c_str(), e.what());
        VirtualReader_Ops().closeFile(*file);
        *file = nullptr;
        return OpenOutcome::Failed;
    }
}

void CloseWithState(PlatformFile* file) {
    VirtualReader_Ops().closeFile(file);
    const std::string state = Variable(kStateVariable);
    if (state.empty()) return;
    try {
        virt::State_SaveFile(state, virt::VirtualReader::Instance().Device());
    } catch (const std::exception& e) {
        std::fprintf(stderr, "zelvorn-virtual: state %s: %s\n", state.c_str(), e.what());
    }
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

// The capture wraps the transfers of the given operations.
const PlatformOps* StartCapture(const PlatformOps& inner) {
    const std::string path = Variable(virt::kCaptureVariable);
    if (path.empty()) return &inner;
    const PlatformOps* ops =
        virt::Capture_Start(path.c_str(), inner, ZELVORN_USB_VENDOR_ID, ZELVORN_USB_PRODUCT_ID);
    if (ops != nullptr) return ops;
    virt::VirtualReader::Instance().Unplug();
    return &inner;
}

}  // namespace

const PlatformOps& Platform_Default() {
    static const bool loaded = [] {
        const bool ok = LoadScenario();
        g_control.Track({&virt::VirtualReader::Instance()});
        const std::string control = Variable(virt::kControlVariable);
        if (!control.empty()) g_control.Follow(control);
        return ok;
    }();
    (void)loaded;
    static const PlatformOps* const ops = [] {
        g_ops = VirtualReader_Ops();
        g_ops.findPath = FindWithControl;
        g_ops.controlOut = ControlOutWithControl;
        g_ops.openPath = OpenWithState;
        g_ops.closeFile = CloseWithState;
        return StartCapture(g_ops);
    }();
    return *ops;
}

}  // namespace zelvorn
