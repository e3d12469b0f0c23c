// The pcsc-lite IFD handler (API v3): pcscd's entry points, each reader pcscd
// opens mapped to a Reader of its own.
//
// Thread safety, as the capabilities below tell pcscd: TAG_IFD_THREAD_SAFE is
// 0, so pcscd serialises the calls to every reader of this driver through
// one mutex. The library's table of readers, the virtual readers and the
// readers' engines are not made for concurrent use, and the answer says so.
// The driver takes a lock of its own besides, for the calls pcscd makes
// outside its reader mutex (channel creation from the hot-plug thread,
// capability queries). No polling function is offered: pcscd asks
// IFDHICCPresence every 400 ms, under its mutex.
#include "pcsc/ifd.h"

#include <array>
#include <cstring>
#include <mutex>

#include "pcsc/device.h"
#include "pcsc/reader.h"
#include "readers/reader_table.h"

namespace zelvorn::pcsc {

RESPONSECODE Device_PathForChannel(DWORD channel, PathChar* path) {
    return Platform_Default().findPath(path, static_cast<std::uint32_t>(channel))
               ? IFD_SUCCESS
               : IFD_NO_SUCH_DEVICE;
}

namespace {

struct Channel {
    bool used = false;
    DWORD readerNumber = 0;  // the high half of pcscd's Lun
    Reader reader;
};

std::mutex g_lock;
// Each reader pcscd opened, at the library slot it holds: the driver's part
// of the reader beside the library's.
std::array<Channel, kReaderSlots> g_channels;

DWORD ReaderNumber(DWORD lun) {
    return lun >> 16;
}

Reader* Find(DWORD lun) {
    for (Channel& channel : g_channels) {
        if (channel.used && channel.readerNumber == ReaderNumber(lun)) return &channel.reader;
    }
    return nullptr;
}

RESPONSECODE OpenChannel(DWORD lun, const PathChar* path) {
    if (Find(lun) != nullptr) return IFD_COMMUNICATION_ERROR;  // pcscd opens each Lun once
    Reader reader;
    const RESPONSECODE result = reader.Open(path);
    if (result != IFD_SUCCESS) return result;
    g_channels[static_cast<std::size_t>(reader.Slot())] = {true, ReaderNumber(lun), reader};
    return IFD_SUCCESS;
}

// Copies a capability's value when it fits.
RESPONSECODE Answer(PDWORD length, PUCHAR value, const void* data, std::size_t size) {
    if (length == nullptr || value == nullptr || *length < size) {
        return IFD_ERROR_INSUFFICIENT_BUFFER;
    }
    std::memcpy(value, data, size);
    *length = static_cast<DWORD>(size);
    return IFD_SUCCESS;
}

RESPONSECODE AnswerByte(PDWORD length, PUCHAR value, std::uint8_t byte) {
    return Answer(length, value, &byte, 1);
}

}  // namespace
}  // namespace zelvorn::pcsc

using namespace zelvorn;
using namespace zelvorn::pcsc;

// The entry points pcscd looks up; nothing else leaves the driver.
#define IFD_EXPORT __attribute__((visibility("default")))

extern "C" {

IFD_EXPORT RESPONSECODE IFDHCreateChannelByName(DWORD Lun, LPSTR DeviceName) {
    const std::lock_guard<std::mutex> guard(g_lock);
    PathChar path[kDevicePathChars] = {};
    const RESPONSECODE named = Device_PathForName(DeviceName, path);
    if (named != IFD_SUCCESS) return named;
    return OpenChannel(Lun, path);
}

IFD_EXPORT RESPONSECODE IFDHCreateChannel(DWORD Lun, DWORD Channel) {
    const std::lock_guard<std::mutex> guard(g_lock);
    PathChar path[kDevicePathChars] = {};
    const RESPONSECODE found = Device_PathForChannel(Channel, path);
    if (found != IFD_SUCCESS) return found;
    return OpenChannel(Lun, path);
}

IFD_EXPORT RESPONSECODE IFDHCloseChannel(DWORD Lun) {
    const std::lock_guard<std::mutex> guard(g_lock);
    for (auto& channel : g_channels) {
        if (channel.used && channel.readerNumber == ReaderNumber(Lun)) {
            channel.reader.Close();
            channel.used = false;
            return IFD_SUCCESS;
        }
    }
    return IFD_COMMUNICATION_ERROR;
}

IFD_EXPORT RESPONSECODE IFDHGetCapabilities(DWORD Lun, DWORD Tag, PDWORD Length, PUCHAR Value) {
    const std::lock_guard<std::mutex> guard(g_lock);
    switch (Tag) {
        case TAG_IFD_ATR:
        case SCARD_ATTR_ATR_STRING: {
            const Reader* reader = Find(Lun);
            if (reader == nullptr) return IFD_COMMUNICATION_ERROR;
            if (!reader->Powered()) {
                if (Length != nullptr) *Length = 0;
                return IFD_SUCCESS;
            }
            return Answer(Length, Value, reader->Card().atr, reader->Card().atrLength);
        }
        case TAG_IFD_SIMULTANEOUS_ACCESS:
            return AnswerByte(Length, Value, static_cast<std::uint8_t>(kReaderSlots));
        case TAG_IFD_SLOTS_NUMBER:
            return AnswerByte(Length, Value, 1);
        case TAG_IFD_THREAD_SAFE:
        case TAG_IFD_SLOT_THREAD_SAFE:
            return AnswerByte(Length, Value, 0);
        case SCARD_ATTR_VENDOR_NAME:
            return Answer(Length, Value, kDeviceVendor, std::strlen(kDeviceVendor));
        default:
            return IFD_ERROR_TAG;
    }
}

IFD_EXPORT RESPONSECODE IFDHSetCapabilities(DWORD Lun, DWORD Tag, DWORD, PUCHAR) {
    const std::lock_guard<std::mutex> guard(g_lock);
    if (Tag != TAG_IFD_DEVICE_REMOVED) return IFD_ERROR_TAG;
    // pcscd saw the device go: I/O stops at once rather than waiting on it.
    if (Reader* reader = Find(Lun)) reader->MarkRemoved();
    return IFD_SUCCESS;
}

IFD_EXPORT RESPONSECODE IFDHSetProtocolParameters(DWORD Lun, DWORD Protocol, UCHAR, UCHAR, UCHAR,
                                                  UCHAR) {
    const std::lock_guard<std::mutex> guard(g_lock);
    if (Find(Lun) == nullptr) return IFD_COMMUNICATION_ERROR;
    // The ATRs offer T=0 and T=1; over the air there is only one protocol,
    // so either is taken and nothing changes.
    return Protocol == SCARD_PROTOCOL_T0 || Protocol == SCARD_PROTOCOL_T1
               ? IFD_SUCCESS
               : IFD_PROTOCOL_NOT_SUPPORTED;
}

IFD_EXPORT RESPONSECODE IFDHPowerICC(DWORD Lun, DWORD Action, PUCHAR Atr, PDWORD AtrLength) {
    const std::lock_guard<std::mutex> guard(g_lock);
    Reader* reader = Find(Lun);
    if (reader == nullptr || AtrLength == nullptr) return IFD_COMMUNICATION_ERROR;
    switch (Action) {
        case IFD_POWER_DOWN:
            reader->PowerDown();
            *AtrLength = 0;
            return IFD_SUCCESS;
        case IFD_POWER_UP:
        case IFD_RESET:
            if (Atr == nullptr) return IFD_COMMUNICATION_ERROR;
            return reader->PowerUp(Atr, AtrLength);
        default:
            return IFD_NOT_SUPPORTED;
    }
}

IFD_EXPORT RESPONSECODE IFDHTransmitToICC(DWORD Lun, SCARD_IO_HEADER, PUCHAR TxBuffer,
                                          DWORD TxLength, PUCHAR RxBuffer, PDWORD RxLength,
                                          PSCARD_IO_HEADER RecvPci) {
    const std::lock_guard<std::mutex> guard(g_lock);
    Reader* reader = Find(Lun);
    if (reader == nullptr || RxLength == nullptr) return IFD_COMMUNICATION_ERROR;
    std::size_t length = *RxLength;
    const RESPONSECODE result = reader->Transmit(TxBuffer, TxLength, RxBuffer, &length);
    *RxLength = result == IFD_SUCCESS ? static_cast<DWORD>(length) : 0;
    if (RecvPci != nullptr) RecvPci->Protocol = 1;
    return result;
}

IFD_EXPORT RESPONSECODE IFDHControl(DWORD Lun, DWORD dwControlCode, PUCHAR TxBuffer, DWORD TxLength,
                                    PUCHAR RxBuffer, DWORD RxLength, LPDWORD pdwBytesReturned) {
    const std::lock_guard<std::mutex> guard(g_lock);
    if (pdwBytesReturned != nullptr) *pdwBytesReturned = 0;
    Reader* reader = Find(Lun);
    if (reader == nullptr) return IFD_COMMUNICATION_ERROR;
    switch (dwControlCode) {
        case CM_IOCTL_GET_FEATURE_REQUEST:
            // No reader features (PIN pad, display) to announce: an empty list.
            return IFD_SUCCESS;
        case kControlChooseCard:
            return reader->ChooseCard(TxBuffer, TxLength);
        case kControlListCards: {
            if (TxLength != 0) return IFD_COMMUNICATION_ERROR;
            std::size_t written = 0;
            const RESPONSECODE result =
                reader->ListCards(RxBuffer, RxBuffer == nullptr ? 0 : RxLength, &written);
            if (pdwBytesReturned != nullptr) *pdwBytesReturned = static_cast<DWORD>(written);
            return result;
        }
        default:
            return IFD_ERROR_NOT_SUPPORTED;
    }
}

IFD_EXPORT RESPONSECODE IFDHICCPresence(DWORD Lun) {
    const std::lock_guard<std::mutex> guard(g_lock);
    Reader* reader = Find(Lun);
    if (reader == nullptr) return IFD_NO_SUCH_DEVICE;
    return reader->Presence();
}

}  // extern "C"
