// The PC/SC driver as pcscd drives it, with a reader and a card whose every
// answer comes from the fuzz input: the channel opens, the card is powered up
// (detection, RATS and the ATS, the ATR built from them), and
// IFDHTransmitToICC takes any command bytes a client may send, class FF
// pseudo-APDUs for MIFARE cards and APDUs for processor cards alike, with the
// receive buffer sizes pcscd offers and smaller ones. Presence polls and
// power-downs come in between.
//
// Input, after the reset that opening the channel sends:
//   op byte  0 power up (bit 3: as a reset), 1 power down, 2 presence poll,
//            7 a control call (a byte choosing the code, a byte the input
//            length, the input, then the receive buffer size), else a
//            command: a byte choosing the receive buffer size, a byte
//            choosing the command's shape, then the command's bytes.
#include <PCSC/pcsclite.h>
#include <valgrind/memcheck.h>

#include "fuzz/harness.h"
#include "pcsc/device.h"
#include "pcsc/ifd.h"
#include "pcsc/reader.h"

using namespace zelvorn;
using namespace zelvorn::fuzz;

// The device names of this build: every name is the replay reader.
namespace zelvorn::pcsc {
const char kDeviceVendor[] = "Zelvorn (fuzz)";
RESPONSECODE Device_PathForName(const char*, PathChar* path) {
    return Device_PathForChannel(0, path);
}
}  // namespace zelvorn::pcsc

namespace {

constexpr DWORD kLun = 0x00010000;
constexpr std::uint8_t kFill = 0xC3;
constexpr std::size_t kCommandRoom = 1100;
// What one pseudo-APDU answer can hold: 256 bytes of data and the status word.
constexpr std::size_t kMostPseudoAnswer = 258;

Guarded<MAX_ATR_SIZE> g_atr;
Guarded<kCommandRoom> g_command;
Guarded<MAX_BUFFER_SIZE_EXTENDED> g_rx;
std::uint8_t g_commandCopy[kCommandRoom];

// Whether the card in the field runs the block protocol now, as the driver
// must see it: set by a power-up that sent RATS and succeeded, cleared by
// every power-down and every report of a card gone.
bool g_isoDep = false;
bool g_ratsSent = false;

// Every data byte the reader delivered during the current command, in order;
// g_unknown when a reply was damaged or raw, so that what reached the driver
// is not known.
std::uint8_t g_delivered[1 << 16];
std::size_t g_deliveredCount = 0;
bool g_unknown = false;

void WatchRats(const Exchange& sent) {
    // A telegram (E0 .. 16) whose block starts with the RATS command byte.
    if (sent.blockLength >= 7 && sent.block[0] == 0xE0 && sent.block[2] == 0x16 &&
        sent.block[6] == 0xE0) {
        g_ratsSent = true;
    }
}

void Record(const Exchange& answered) {
    switch (answered.known) {
        case Known::Nothing:
            g_unknown = true;
            break;
        case Known::Failure:
            break;
        case Known::Reply:
            if (g_deliveredCount + answered.m > sizeof g_delivered) {
                g_unknown = true;
                break;
            }
            std::memcpy(g_delivered + g_deliveredCount, answered.payload, answered.m);
            g_deliveredCount += answered.m;
            break;
    }
}

// True when every byte of bytes appears in what was delivered, in order: the
// driver's answer to an APDU is the card's information fields strung
// together, so an answer that is not such a subsequence holds bytes the
// driver never received.
bool FromDelivered(const std::uint8_t* bytes, std::size_t count) {
    std::size_t at = 0;
    for (std::size_t i = 0; i < count; ++i) {
        while (at < g_deliveredCount && g_delivered[at] != bytes[i]) ++at;
        if (at == g_deliveredCount) return false;
        ++at;
    }
    return true;
}

void PowerUp(Input& in) {
    const DWORD action = (in.Byte() & 0x08) ? IFD_RESET : IFD_POWER_UP;
    g_atr.Fill(kFill);
    DWORD length = MAX_ATR_SIZE;  // pcscd's buffer
    g_ratsSent = false;
    SetObserver(WatchRats);
    const RESPONSECODE result = IFDHPowerICC(kLun, action, g_atr.bytes, &length);
    SetObserver(nullptr);
    FUZZ_PROMISE(g_atr.FencesIntact());
    g_isoDep = result == IFD_SUCCESS && g_ratsSent;
    if (result != IFD_SUCCESS) return;
    // 3B 8n 80 01 ..., the check byte making the XOR after TS zero.
    FUZZ_PROMISE(length >= 5 && length <= MAX_ATR_SIZE);
    FUZZ_PROMISE(VALGRIND_CHECK_MEM_IS_DEFINED(g_atr.bytes, length) == 0);
    FUZZ_PROMISE(g_atr.UntouchedFrom(length));
    FUZZ_PROMISE(g_atr.bytes[0] == 0x3B && (g_atr.bytes[1] & 0xF0) == 0x80);
    FUZZ_PROMISE(static_cast<DWORD>(g_atr.bytes[1] & 0x0F) + 5 == length);
    std::uint8_t check = 0;
    for (DWORD i = 1; i < length; ++i) check ^= g_atr.bytes[i];
    FUZZ_PROMISE(check == 0);
}

// The receive buffer: pcscd's own sizes, a short APDU's, the bare status
// word, none at all, and any other.
DWORD RxSize(Input& in) {
    switch (in.Byte() % 8) {
        case 0:
            return MAX_BUFFER_SIZE_EXTENDED;
        case 1:
            return MAX_BUFFER_SIZE;
        case 2:
            return kMostPseudoAnswer;
        case 3:
            return 2;
        case 4:
            return 0;
        case 5:
            return 1;
        case 6:
            return in.Byte();
        default:
            return in.Word() % (MAX_BUFFER_SIZE_EXTENDED + 1);
    }
}

// The command: a class FF pseudo-APDU with one of the instructions the
// driver knows, an APDU of any length, or raw bytes.
std::size_t Command(Input& in) {
    static constexpr std::uint8_t kIns[] = {0xCA, 0x82, 0x86, 0x88, 0xB0, 0xD6, 0xC2, 0x00};
    std::uint8_t* c = g_command.bytes;
    const std::uint8_t shape = in.Byte();
    switch (shape % 4) {
        case 0: {
            c[0] = 0xFF;
            c[1] = kIns[(shape >> 2) % sizeof kIns];
            const std::size_t rest = in.Byte();
            in.Take(c + 2, rest);
            return 2 + rest;
        }
        case 1: {
            // A header from the input and a made-up body: long APDUs, which
            // the block protocol chains, cost little input.
            const std::size_t length = in.Word() % kCommandRoom;
            in.Take(c, length < 4 ? length : 4);
            for (std::size_t i = 4; i < length; ++i) c[i] = static_cast<std::uint8_t>(i);
            return length;
        }
        default: {
            const std::size_t length = in.Byte();
            in.Take(c, length);
            return length;
        }
    }
}

void Transmit(Input& in) {
    const DWORD offered = RxSize(in);
    g_command.Fill(0);
    const std::size_t length = Command(in);
    std::memcpy(g_commandCopy, g_command.bytes, length);
    // Whatever lies beyond the buffer offered must stay as it was: fill a
    // little more than the driver may use.
    g_rx.FillWindow(kFill, offered + 64);

    g_deliveredCount = 0;
    g_unknown = false;
    SetReplyObserver(Record);
    const std::uint32_t before = Controls();
    DWORD rxLength = offered;
    SCARD_IO_HEADER sendPci{1, 8};
    SCARD_IO_HEADER recvPci{0, 0};
    const RESPONSECODE result =
        IFDHTransmitToICC(kLun, sendPci, g_command.bytes, static_cast<DWORD>(length), g_rx.bytes,
                          &rxLength, &recvPci);
    SetReplyObserver(nullptr);

    FUZZ_PROMISE(g_rx.FencesIntact() && g_command.FencesIntact());
    FUZZ_PROMISE(std::memcmp(g_commandCopy, g_command.bytes, length) == 0);
    FUZZ_PROMISE(g_rx.UntouchedFrom(offered));  // nothing past the buffer offered
    const bool toCard = g_isoDep && length >= 4 && g_command.bytes[0] != 0xFF && length <= 32767;
    if (result == IFD_ICC_NOT_PRESENT) g_isoDep = false;
    if (result != IFD_SUCCESS) {
        FUZZ_PROMISE(rxLength == 0);
        return;
    }
    FUZZ_PROMISE(rxLength <= offered);
    // Under memcheck: every byte handed to the client was written (outside
    // valgrind this does nothing).
    FUZZ_PROMISE(VALGRIND_CHECK_MEM_IS_DEFINED(g_rx.bytes, rxLength) == 0);
    if (toCard) {
        FUZZ_PROMISE(Controls() > before);
        if (!g_unknown) FUZZ_PROMISE(FromDelivered(g_rx.bytes, rxLength));
    } else {
        // The driver's own answer: data, then a status word of the usual kinds.
        FUZZ_PROMISE(rxLength >= 2 && rxLength <= kMostPseudoAnswer);
        const std::uint8_t sw1 = g_rx.bytes[rxLength - 2];
        FUZZ_PROMISE(sw1 == 0x90 || (sw1 >= 0x62 && sw1 <= 0x6F));
    }
}

// IFDHControl with any code and input: the vendor codes choose a card
// (serial numbers of every length) and list the field, the rest are refused.
void Control(Input& in) {
    static constexpr DWORD kCodes[] = {pcsc::kControlChooseCard, pcsc::kControlListCards,
                                       CM_IOCTL_GET_FEATURE_REQUEST, SCARD_CTL_CODE(1)};
    const std::uint8_t pick = in.Byte();
    const DWORD code = kCodes[pick % 4];
    const std::size_t length = in.Byte() % 16;
    g_command.Fill(0);
    in.Take(g_command.bytes, length);
    std::memcpy(g_commandCopy, g_command.bytes, length);
    const DWORD offered = RxSize(in);
    g_rx.FillWindow(kFill, offered + 64);
    DWORD returned = 0xFFFFFFFF;
    const RESPONSECODE result =
        IFDHControl(kLun, code, length == 0 && (pick & 0x80) ? nullptr : g_command.bytes,
                    static_cast<DWORD>(length), g_rx.bytes, offered, &returned);
    FUZZ_PROMISE(g_rx.FencesIntact() && g_command.FencesIntact());
    FUZZ_PROMISE(std::memcmp(g_commandCopy, g_command.bytes, length) == 0);
    FUZZ_PROMISE(g_rx.UntouchedFrom(offered));
    FUZZ_PROMISE(returned <= offered);
    FUZZ_PROMISE(VALGRIND_CHECK_MEM_IS_DEFINED(g_rx.bytes, returned <= offered ? returned : 0) ==
                 0);
    if (result != IFD_SUCCESS) FUZZ_PROMISE(returned == 0);
    if (code == SCARD_CTL_CODE(1)) FUZZ_PROMISE(result == IFD_ERROR_NOT_SUPPORTED);
    if (code == pcsc::kControlChooseCard) {
        const bool valid = length == 0 || length == 4 || length == 7 || length == 10;
        FUZZ_PROMISE((result == IFD_SUCCESS) == valid && returned == 0);
    }
    if (code == pcsc::kControlListCards && result == IFD_SUCCESS) {
        // Entries of type byte, serial length 4, 7 or 10 and the serial.
        std::size_t at = 0;
        while (at < returned) {
            FUZZ_PROMISE(returned - at >= 2);
            const std::uint8_t serial = g_rx.bytes[at + 1];
            FUZZ_PROMISE(serial == 4 || serial == 7 || serial == 10);
            at += 2u + serial;
        }
        FUZZ_PROMISE(at == returned);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Begin(data, size, /*cardAnswers=*/true, /*openReader=*/false);
    char name[] = "fuzz:0";
    g_isoDep = false;
    if (IFDHCreateChannelByName(kLun, name) == IFD_SUCCESS) {
        Input& in = In();
        while (!in.Empty()) {
            switch (in.Byte() % 8) {
                case 0:
                    PowerUp(in);
                    break;
                case 1: {
                    DWORD length = MAX_ATR_SIZE;
                    FUZZ_PROMISE(IFDHPowerICC(kLun, IFD_POWER_DOWN, g_atr.bytes, &length) ==
                                 IFD_SUCCESS);
                    g_isoDep = false;
                    break;
                }
                case 2: {
                    const RESPONSECODE presence = IFDHICCPresence(kLun);
                    FUZZ_PROMISE(presence == IFD_ICC_PRESENT || presence == IFD_ICC_NOT_PRESENT);
                    if (presence == IFD_ICC_NOT_PRESENT) g_isoDep = false;
                    break;
                }
                case 7:
                    Control(in);
                    break;
                default:
                    Transmit(in);
                    break;
            }
        }
        FUZZ_PROMISE(IFDHCloseChannel(kLun) == IFD_SUCCESS);
    }
    End();
    return 0;
}
