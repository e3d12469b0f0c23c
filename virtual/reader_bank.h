// Several virtual readers behind one platform, and a control file through
// which a running test (or a person) takes cards out of a reader's field,
// puts them back, and pulls or plugs in a reader.
//
// A scenario file describes one reader, or several as
// {"readers": [ <one reader's scenario>, ... ]}; reader i is found at port i
// under the path "virtual:zelvorn-reader-<i>".
//
// Cards come and go, and readers are pulled and plugged in, through the
// control file of virtual/field_control.h.
//
// Like the virtual reader itself, the bank is meant for one thread at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "virtual/field_control.h"
#include "virtual/scenario.h"
#include "virtual/virtual_reader.h"

namespace zelvorn::virt {

// The readers a scenario text or file describes, one or several.
std::vector<Scenario> Scenarios_FromJson(const std::string& text);
std::vector<Scenario> Scenarios_FromFile(const std::string& path);

// Most readers the bank presents: as many as the library has slots.
constexpr std::size_t kMaxBankReaders = 20;

class ReaderBank {
public:
    static ReaderBank& Instance();

    // Replaces every reader; more than kMaxBankReaders is a ScenarioError.
    void Load(std::vector<Scenario> scenarios);
    // Loads ZELVORN_VIRTUAL_SCENARIO (the default scenario's one reader when
    // unset or empty) and follows ZELVORN_VIRTUAL_CONTROL. A scenario that
    // cannot be used leaves no reader at all, with one line on stderr.
    void LoadFromEnvironment();

    std::size_t Count() const { return readers_.size(); }
    VirtualReader& Reader(std::size_t index) { return *readers_.at(index); }

    // The control file's lines, carried out on these readers.
    FieldControl& Control() { return control_; }

    // Platform entry points (see platform/platform.h).
    bool FindPath(PathChar* path, std::uint32_t index);
    OpenOutcome OpenPath(const PathChar* path, PlatformFile** file);

    // The reader behind a handle the bank gave out, and the reader's own handle.
    VirtualReader* Resolve(const void* handle, void** inner);
    // A handle of the bank for a reader's own handle, on the reader that
    // sameReader (a handle of the bank) belongs to.
    static void* Rewrap(const void* sameReader, const void* inner);

private:
    std::vector<std::unique_ptr<VirtualReader>> readers_;
    FieldControl control_;
};

}  // namespace zelvorn::virt

namespace zelvorn {
// The platform operations of the reader bank.
const PlatformOps& ReaderBank_Ops();
}  // namespace zelvorn
