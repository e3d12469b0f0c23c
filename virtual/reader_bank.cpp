#include "virtual/reader_bank.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>

namespace zelvorn::virt {
namespace {

using json = nlohmann::json;

constexpr char kPathPrefix[] = "virtual:zelvorn-reader-";

// Handles of the bank: the reader's own handle shifted left, with the
// reader's index in the low bits. The readers' own handles are never null,
// so neither are these.
constexpr unsigned kIndexBits = 5;
static_assert(kMaxBankReaders <= (1u << kIndexBits));

void* Wrap(std::uintptr_t inner, std::size_t index) {
    return reinterpret_cast<void*>(inner << kIndexBits | index);
}

std::size_t IndexBitsOf(const void* handle) {
    return reinterpret_cast<std::uintptr_t>(handle) & ((1u << kIndexBits) - 1);
}

std::string ReadWhole(const std::string& path) {
    std::ifstream in(path);
    if (!in) throw ScenarioError(path + ": cannot be read");
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// "virtual:zelvorn-reader-<i>" gives i; anything else kMaxBankReaders.
std::size_t IndexOf(const PathChar* path) {
    std::size_t i = 0;
    for (; kPathPrefix[i] != 0; ++i) {
        if (path[i] != static_cast<PathChar>(kPathPrefix[i])) return kMaxBankReaders;
    }
    std::size_t index = 0;
    std::size_t digits = 0;
    for (; path[i] >= '0' && path[i] <= '9' && digits < 3; ++i, ++digits) {
        index = index * 10 + static_cast<std::size_t>(path[i] - '0');
    }
    return digits == 0 || path[i] != 0 ? kMaxBankReaders : index;
}

}  // namespace

std::vector<Scenario> Scenarios_FromJson(const std::string& text) {
    json root;
    try {
        root = json::parse(text);
    } catch (const json::parse_error& e) {
        throw ScenarioError(std::string("not valid JSON: ") + e.what());
    }
    std::vector<Scenario> scenarios;
    if (!root.is_object() || !root.contains("readers")) {
        scenarios.push_back(Scenario_FromJson(text));
        return scenarios;
    }
    if (root.size() != 1 || !root["readers"].is_array() || root["readers"].empty()) {
        throw ScenarioError("\"readers\" must be the only key, a non-empty list of scenarios");
    }
    for (std::size_t i = 0; i < root["readers"].size(); ++i) {
        try {
            scenarios.push_back(Scenario_FromJson(root["readers"][i].dump()));
        } catch (const ScenarioError& e) {
            throw ScenarioError("readers[" + std::to_string(i) + "]: " + e.what());
        }
    }
    return scenarios;
}

std::vector<Scenario> Scenarios_FromFile(const std::string& path) {
    return Scenarios_FromJson(ReadWhole(path));
}

ReaderBank& ReaderBank::Instance() {
    static ReaderBank bank;
    return bank;
}

void ReaderBank::Load(std::vector<Scenario> scenarios) {
    if (scenarios.size() > kMaxBankReaders) {
        throw ScenarioError("at most " + std::to_string(kMaxBankReaders) + " readers");
    }
    readers_.clear();
    std::vector<VirtualReader*> tracked;
    for (Scenario& scenario : scenarios) {
        readers_.push_back(std::make_unique<VirtualReader>());
        readers_.back()->Load(std::move(scenario));
        tracked.push_back(readers_.back().get());
    }
    control_.Track(tracked);
}

void ReaderBank::LoadFromEnvironment() {
    const char* scenario = std::getenv("ZELVORN_VIRTUAL_SCENARIO");
    try {
        std::vector<Scenario> scenarios;
        if (scenario == nullptr || *scenario == 0) {
            scenarios.push_back(Scenario_Default());
        } else {
            scenarios = Scenarios_FromFile(scenario);
        }
        Load(std::move(scenarios));
    } catch (const std::exception& e) {
        std::fprintf(stderr, "zelvorn-virtual: scenario %s: %s\n", scenario, e.what());
        readers_.clear();
        control_.Track({});
    }
    const char* control = std::getenv(kControlVariable);
    if (control != nullptr && *control != 0) control_.Follow(control);
}

bool ReaderBank::FindPath(PathChar* path, std::uint32_t index) {
    control_.Poll();
    if (index >= readers_.size() || !readers_[index]->Plugged()) return false;
    const std::string name = kPathPrefix + std::to_string(index);
    std::size_t i = 0;
    for (; i < name.size(); ++i) path[i] = static_cast<PathChar>(name[i]);
    path[i] = 0;
    return true;
}

OpenOutcome ReaderBank::OpenPath(const PathChar* path, PlatformFile** file) {
    control_.Poll();
    const std::size_t index = IndexOf(path);
    if (index >= readers_.size()) return OpenOutcome::Failed;
    PathChar own[sizeof kVirtualReaderPath];
    for (std::size_t i = 0; i < sizeof kVirtualReaderPath; ++i) {
        own[i] = static_cast<PathChar>(kVirtualReaderPath[i]);
    }
    PlatformFile* inner = nullptr;
    const OpenOutcome outcome = readers_[index]->OpenPath(own, &inner);
    if (outcome == OpenOutcome::Ok) {
        *file = static_cast<PlatformFile*>(Wrap(reinterpret_cast<std::uintptr_t>(inner), index));
    }
    return outcome;
}

void* ReaderBank::Rewrap(const void* sameReader, const void* inner) {
    return Wrap(reinterpret_cast<std::uintptr_t>(inner), IndexBitsOf(sameReader));
}

VirtualReader* ReaderBank::Resolve(const void* handle, void** inner) {
    const auto raw = reinterpret_cast<std::uintptr_t>(handle);
    const std::size_t index = IndexBitsOf(handle);
    if (handle == nullptr || index >= readers_.size()) return nullptr;
    *inner = reinterpret_cast<void*>(raw >> kIndexBits);
    return readers_[index].get();
}

}  // namespace zelvorn::virt

namespace zelvorn {
namespace {

using virt::ReaderBank;
using virt::VirtualReader;

template <typename T>
T* Inner(void* p) {
    return static_cast<T*>(p);
}

bool FindPath(PathChar* path, std::uint32_t index) {
    return ReaderBank::Instance().FindPath(path, index);
}
OpenOutcome OpenPath(const PathChar* path, PlatformFile** file) {
    return ReaderBank::Instance().OpenPath(path, file);
}
OpenOutcome BindInterface(PlatformFile* file, PlatformUsb** usb) {
    void* inner = nullptr;
    VirtualReader* reader = ReaderBank::Instance().Resolve(file, &inner);
    if (reader == nullptr) return OpenOutcome::Failed;
    PlatformUsb* innerUsb = nullptr;
    const OpenOutcome outcome = reader->BindInterface(Inner<PlatformFile>(inner), &innerUsb);
    if (outcome == OpenOutcome::Ok) {
        *usb = static_cast<PlatformUsb*>(virt::ReaderBank::Rewrap(file, innerUsb));
    }
    return outcome;
}
bool QueryEndpointCount(PlatformUsb* usb, std::uint8_t* count) {
    void* inner = nullptr;
    VirtualReader* reader = ReaderBank::Instance().Resolve(usb, &inner);
    return reader != nullptr && reader->QueryEndpointCount(Inner<PlatformUsb>(inner), count);
}
bool QueryPipe(PlatformUsb* usb, std::uint8_t endpointIndex, PipeInfo* pipe) {
    void* inner = nullptr;
    VirtualReader* reader = ReaderBank::Instance().Resolve(usb, &inner);
    return reader != nullptr && reader->QueryPipe(Inner<PlatformUsb>(inner), endpointIndex, pipe);
}
bool ControlOut(PlatformUsb* usb, const SetupPacket& setup, const std::uint8_t* data) {
    ReaderBank& bank = ReaderBank::Instance();
    bank.Control().Poll();
    void* inner = nullptr;
    VirtualReader* reader = bank.Resolve(usb, &inner);
    return reader != nullptr && reader->ControlOut(Inner<PlatformUsb>(inner), setup, data);
}
bool ReadPipe(PlatformUsb* usb, std::uint8_t pipeId, std::uint8_t* buffer, std::uint32_t capacity,
              std::uint32_t* received) {
    void* inner = nullptr;
    VirtualReader* reader = ReaderBank::Instance().Resolve(usb, &inner);
    return reader != nullptr &&
           reader->ReadPipe(Inner<PlatformUsb>(inner), pipeId, buffer, capacity, received);
}
void ReleaseInterface(PlatformUsb* usb) {
    void* inner = nullptr;
    VirtualReader* reader = ReaderBank::Instance().Resolve(usb, &inner);
    if (reader != nullptr) reader->ReleaseInterface(Inner<PlatformUsb>(inner));
}
void CloseFile(PlatformFile* file) {
    void* inner = nullptr;
    VirtualReader* reader = ReaderBank::Instance().Resolve(file, &inner);
    if (reader != nullptr) reader->CloseFile(Inner<PlatformFile>(inner));
}

constexpr PlatformOps kBankOps{
    .findPath = FindPath,
    .openPath = OpenPath,
    .bindInterface = BindInterface,
    .queryEndpointCount = QueryEndpointCount,
    .queryPipe = QueryPipe,
    .controlOut = ControlOut,
    .readPipe = ReadPipe,
    .releaseInterface = ReleaseInterface,
    .closeFile = CloseFile,
};

}  // namespace

const PlatformOps& ReaderBank_Ops() {
    return kBankOps;
}

}  // namespace zelvorn
