#include "tests/support/usb_double.h"

#include <cstring>

namespace zelvorn::testing {
namespace {

// Files and USB handles are the reader's index plus one, so that null never
// names a reader.
int IndexOf(const void* handle) {
    return static_cast<int>(reinterpret_cast<std::uintptr_t>(handle)) - 1;
}

template <typename T>
T* HandleOf(int index) {
    return reinterpret_cast<T*>(static_cast<std::uintptr_t>(index + 1));
}

std::string Narrow(const PathChar* path) {
    std::string out;
    for (; *path != 0; ++path) out.push_back(static_cast<char>(*path));
    return out;
}

bool FindPath(PathChar* path, std::uint32_t index) {
    auto& d = UsbDouble::Instance();
    if (index >= d.ReaderCount()) return false;
    const std::string& p = d.Reader(static_cast<int>(index)).path;
    if (p.size() >= kDevicePathChars) return false;
    for (std::size_t i = 0; i < p.size(); ++i) path[i] = static_cast<PathChar>(p[i]);
    path[p.size()] = 0;
    return true;
}

OpenOutcome OpenPath(const PathChar* path, PlatformFile** file) {
    auto& d = UsbDouble::Instance();
    const std::string p = Narrow(path);
    for (std::size_t i = 0; i < d.ReaderCount(); ++i) {
        FakeReader& r = d.Reader(static_cast<int>(i));
        if (r.path != p) continue;
        d.events.push_back("open " + std::to_string(i));
        if (r.openOutcome != OpenOutcome::Ok) return r.openOutcome;
        r.opened = true;
        *file = HandleOf<PlatformFile>(static_cast<int>(i));
        return OpenOutcome::Ok;
    }
    return OpenOutcome::Failed;
}

OpenOutcome BindInterface(PlatformFile* file, PlatformUsb** usb) {
    auto& d = UsbDouble::Instance();
    const int i = IndexOf(file);
    d.events.push_back("bind " + std::to_string(i));
    if (d.Reader(i).bindOutcome != OpenOutcome::Ok) return d.Reader(i).bindOutcome;
    d.Reader(i).bound = true;
    *usb = HandleOf<PlatformUsb>(i);
    return OpenOutcome::Ok;
}

bool QueryEndpointCount(PlatformUsb* usb, std::uint8_t* count) {
    FakeReader& r = UsbDouble::Instance().Reader(IndexOf(usb));
    if (r.settingsFail) return false;
    *count = static_cast<std::uint8_t>(r.pipes.size());
    return true;
}

bool QueryPipe(PlatformUsb* usb, std::uint8_t endpointIndex, PipeInfo* pipe) {
    FakeReader& r = UsbDouble::Instance().Reader(IndexOf(usb));
    if (endpointIndex >= r.pipes.size()) return false;
    if (endpointIndex < r.pipeQueryFails.size() && r.pipeQueryFails[endpointIndex]) return false;
    *pipe = r.pipes[endpointIndex];
    return true;
}

bool ControlOut(PlatformUsb* usb, const SetupPacket& setup, const std::uint8_t* data) {
    auto& d = UsbDouble::Instance();
    const int i = IndexOf(usb);
    FakeReader& r = d.Reader(i);
    const int n = r.controlCount++;
    Bytes frame(data, data + setup.length);
    d.controls.push_back({i, setup, frame});
    if (n == r.unplugAtControl) r.unplugged = true;
    if (n == r.failControlAt || r.unplugged) return false;
    Bytes reply;
    if (r.responder) {
        if (r.responder(frame, reply))
            r.pending.insert(r.pending.end(), reply.begin(), reply.end());
    } else if (!r.scriptedReplies.empty()) {
        reply = std::move(r.scriptedReplies.front());
        r.scriptedReplies.pop_front();
        r.pending.insert(r.pending.end(), reply.begin(), reply.end());
    }
    return true;
}

bool ReadPipe(PlatformUsb* usb, std::uint8_t pipeId, std::uint8_t* buffer, std::uint32_t capacity,
              std::uint32_t* received) {
    auto& d = UsbDouble::Instance();
    FakeReader& r = d.Reader(IndexOf(usb));
    const int n = r.readCount++;
    if (n == r.unplugAtRead) r.unplugged = true;
    if (n == r.failReadAt || r.unplugged) return false;
    r.lastReadPipe = pipeId;
    std::uint32_t want = r.chunkSizes.empty() ? capacity : r.chunkSizes[r.nextChunk];
    if (!r.chunkSizes.empty()) r.nextChunk = (r.nextChunk + 1) % r.chunkSizes.size();
    if (want > capacity) want = capacity;
    if (r.pending.empty() && want > 0) {
        ++d.starvedReads;
        return false;
    }
    std::uint32_t got = 0;
    while (got < want && !r.pending.empty()) {
        buffer[got++] = r.pending.front();
        r.pending.pop_front();
    }
    *received = got + r.overReport;
    return true;
}

void ReleaseInterface(PlatformUsb* usb) {
    auto& d = UsbDouble::Instance();
    const int i = IndexOf(usb);
    d.events.push_back("release " + std::to_string(i));
    d.Reader(i).bound = false;
}

void CloseFile(PlatformFile* file) {
    auto& d = UsbDouble::Instance();
    const int i = IndexOf(file);
    d.events.push_back("close " + std::to_string(i));
    d.Reader(i).opened = false;
}

const PlatformOps kOps{
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

UsbDouble& UsbDouble::Instance() {
    static UsbDouble instance;
    return instance;
}

void UsbDouble::Reset() {
    readers_.clear();
    controls.clear();
    events.clear();
    starvedReads = 0;
}

FakeReader& UsbDouble::AddReader(const std::string& path) {
    FakeReader& r = readers_.emplace_back();
    r.path = path.empty() ? "reader-" + std::to_string(readers_.size() - 1) : path;
    return r;
}

const PlatformOps& UsbDouble::Ops() const {
    return kOps;
}

}  // namespace zelvorn::testing

namespace zelvorn {
const PlatformOps& Platform_Default() {
    return testing::UsbDouble::Instance().Ops();
}
}  // namespace zelvorn
