#include "tests/double/usb_double.h"

#include <cctype>
#include <cstring>
#include <stdexcept>

#include "transport/transport.h"

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
    *received = got;
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

const PlatformOps kOps{FindPath,   OpenPath, BindInterface,    QueryEndpointCount, QueryPipe,
                       ControlOut, ReadPipe, ReleaseInterface, CloseFile};

void AppendHex(Bytes& out, std::uint8_t byte, bool lowerCase) {
    const char* digits = lowerCase ? "0123456789abcdef" : "0123456789ABCDEF";
    out.push_back(static_cast<std::uint8_t>(digits[byte >> 4]));
    out.push_back(static_cast<std::uint8_t>(digits[byte & 0x0F]));
}

int HexValue(std::uint8_t c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

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

Bytes ReplyFrame(const Bytes& payload, const ReplyFrameOptions& options) {
    Bytes packet{options.firstByte, static_cast<std::uint8_t>(options.transportStatus >> 8),
                 static_cast<std::uint8_t>(options.transportStatus & 0xFF),
                 static_cast<std::uint8_t>(payload.size())};
    packet.insert(packet.end(), payload.begin(), payload.end());
    std::uint8_t sum = 0;
    for (std::uint8_t b : packet) sum ^= b;
    packet.push_back(options.corruptChecksum ? static_cast<std::uint8_t>(sum ^ 0x01) : sum);
    Bytes frame{0x02};
    for (std::uint8_t b : packet) AppendHex(frame, b, options.lowerCase);
    frame.push_back(0x03);
    return frame;
}

Bytes ReplyPayload(std::uint16_t readerStatus, const Bytes& data) {
    Bytes payload{0x00, static_cast<std::uint8_t>(readerStatus >> 8),
                  static_cast<std::uint8_t>(readerStatus & 0xFF), 0x00,
                  static_cast<std::uint8_t>(data.size())};
    payload.insert(payload.end(), data.begin(), data.end());
    return payload;
}

Bytes ReaderReply(std::uint16_t readerStatus, const Bytes& data) {
    return ReplyFrame(ReplyPayload(readerStatus, data));
}

Bytes RequestBlockOf(const Bytes& frame) {
    if (frame.size() < 4 || frame.front() != 0x02 || frame.back() != 0x03 ||
        frame.size() % 2 != 0) {
        return {};
    }
    Bytes packet;
    for (std::size_t i = 1; i + 1 < frame.size(); i += 2) {
        const int h = HexValue(frame[i]);
        const int l = HexValue(frame[i + 1]);
        if (h < 0 || l < 0) return {};  // the library sends upper-case digits only
        packet.push_back(static_cast<std::uint8_t>(h << 4 | l));
    }
    if (packet.size() < 6 || packet[0] != 0x01) return {};
    std::uint8_t sum = 0;
    for (std::size_t i = 0; i + 1 < packet.size(); ++i) sum ^= packet[i];
    if (sum != packet.back() || packet[4] != packet.size() - 6) return {};
    Bytes block{packet[1], 0x00, packet[2], packet[3], packet[4]};
    block.insert(block.end(), packet.begin() + 5, packet.end() - 1);
    return block;
}

Bytes Hex(const std::string& text) {
    Bytes out;
    int high = -1;
    for (char c : text) {
        if (std::isspace(static_cast<unsigned char>(c))) continue;
        const int v =
            HexValue(static_cast<std::uint8_t>(std::toupper(static_cast<unsigned char>(c))));
        if (v < 0) throw std::invalid_argument("not hexadecimal: " + text);
        if (high < 0) {
            high = v;
        } else {
            out.push_back(static_cast<std::uint8_t>(high << 4 | v));
            high = -1;
        }
    }
    if (high >= 0) throw std::invalid_argument("odd number of digits: " + text);
    return out;
}

}  // namespace zelvorn::testing

namespace zelvorn {
const PlatformOps& Platform_Default() {
    return testing::UsbDouble::Instance().Ops();
}
}  // namespace zelvorn
