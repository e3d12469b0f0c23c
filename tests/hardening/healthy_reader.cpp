#include "tests/hardening/healthy_reader.h"

#include <cstring>

#include "commands/protocol_table.h"
#include "readers/reader_table.h"
#include "tests/support/frame_codec.h"
#include "tests/support/replay_platform.h"
#include "transport/transport.h"
#include "zelvorn.h"

namespace zelvorn::hardening {
namespace {

// The card's answer to one block of the block protocol: an I-block with the
// block's own number and the status word 90 00; to RATS a short ATS.
std::size_t CardAnswer(const std::uint8_t* block, std::size_t blockLength, std::uint8_t* out) {
    const std::uint8_t pcb = blockLength > 6 ? block[6] : 0;
    if (pcb == 0xE0) {
        const std::uint8_t ats[] = {0x05, 0x78, 0x80, 0x70, 0x02};
        std::memcpy(out, ats, sizeof ats);
        return sizeof ats;
    }
    if ((pcb & 0xE0) == 0x00 && (pcb & 0x10) != 0) {  // a chaining block: acknowledge it
        out[0] = static_cast<std::uint8_t>(0xA2 | (pcb & 0x01));
        return 1;
    }
    if ((pcb & 0xF0) == 0xA0 || (pcb & 0xE0) == 0x00) {
        out[0] = static_cast<std::uint8_t>(0x02 | (pcb & 0x01));
        out[1] = 0x90;
        out[2] = 0x00;
        return 3;
    }
    return 0;
}

// Data of the reply to a request body (frame type, L, command, N, data):
// writes echo what was written, the other commands deliver as many bytes as
// the protocol table gives their reply.
std::size_t ReplyData(const std::uint8_t* body, std::size_t bodyLength, std::uint8_t* out) {
    const std::uint8_t command = body[2];
    const std::uint8_t* data = body + 4;
    const std::size_t n = body[3];
    auto echo = [&](std::size_t skip, std::size_t count) {
        for (std::size_t i = 0; i < count; ++i) out[i] = skip + i < n ? data[skip + i] : 0;
        return count;
    };
    auto pattern = [&](std::size_t count) {
        for (std::size_t i = 0; i < count; ++i) out[i] = static_cast<std::uint8_t>(0x30 + i);
        return count;
    };
    if (body[0] == kFrameReceive) return pattern(8);
    const ProtocolRow* row = Protocol_Find(command);
    if (row == nullptr) return 0;
    const auto fixed = static_cast<std::size_t>(row->replyLength);
    switch (command) {
        case kCmdListOrSelect:  // no data: two cards; a serial: the select reply
            if (n == 0) {
                out[0] = 2;
                for (std::size_t i = 1; i < 25; ++i) out[i] = static_cast<std::uint8_t>(i);
                return 25;
            }
            return pattern(Protocol_Find(kCmdSelect)->replyLength);
        case kCmdTelegram:
            return CardAnswer(body, bodyLength, out);
        case kCmdReadAtqb:
            return pattern(12);
        case kCmdFieldOff:
        case kCmdFieldOn:
            out[0] = command == kCmdFieldOn ? 1 : 0;
            return 1;
        case kCmdWriteUserPort:
            return echo(0, fixed);
        case kCmdWriteBlock:
        case kCmdWriteValue:
        case kCmdLoadKey:
        case kCmdWriteEeprom:
        case kCmdWriteRegister:
        case kCmdAskWrite:
        case kCmdAskWriteOtherMode:
            return echo(1, fixed);  // behind the block, key, address or sector number
        default:
            return pattern(fixed);
    }
}

bool Answer(const std::uint8_t* frame, std::size_t length) {
    std::uint8_t body[testing::kCommandBodyCapacity];
    const std::size_t bodyLength = testing::DecodeCommandFrame(frame, length, body);
    if (bodyLength == 0) return false;
    std::uint8_t data[128] = {};
    const std::size_t p = ReplyData(body, bodyLength, data);
    std::uint8_t payload[128];
    const std::size_t m = testing::EncodeReplyBlock(0, data, p, payload);
    std::uint8_t text[testing::ReplyFrameLength(128)];
    replay::Queue(text, testing::EncodeReplyFrame(payload, m, text));
    return true;
}

bool EightAtATime(std::uint32_t capacity, std::uint32_t* size) {
    *size = capacity < 8 ? capacity : 8;
    return true;
}

std::int16_t RawExchange(std::uint8_t command, std::uint8_t argument) {
    std::uint8_t replyLength = 0;
    std::uint8_t reply[32];
    const RequestBlock request = Request_Make(command, &argument, 1);
    return Transport_Exchange(*ReaderTable_Lookup(0), request, &replyLength, reply, sizeof reply);
}

// Outputs of the mix; their contents are not looked at.
std::uint8_t g_bytes[256];
std::int32_t g_value;
ReaderStatusRecord g_record;
const std::uint8_t kKey[6] = {0xA0, 0xA1, 0xA2, 0xA3, 0xA4, 0xA5};
const std::uint8_t kBlock[16] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15};
std::uint8_t g_apdu[64];

std::int16_t Apdu(std::int16_t length) {
    std::int16_t responseLength = 0;
    return PICC_Xch_APDU(0, 1, &length, g_apdu, &responseLength, g_bytes);
}

using Command = std::int16_t (*)();

const Command kMix[] = {
    [] { return RawExchange(0x06, 4); },
    [] { return Zelvorn_Select(0, g_bytes, g_bytes + 1, g_bytes + 2); },
    [] { return Zelvorn_Login(0, 1, KEYTYPE_A, 0, kKey); },
    [] { return Zelvorn_Login(0, 1, KEYTYPE_STORED_B, 2, nullptr); },
    [] { return Zelvorn_Read(0, 4, g_bytes); },
    [] { return Zelvorn_Write(0, 4, kBlock); },
    [] { return Zelvorn_ReadValue(0, 5, &g_value); },
    [] { return Zelvorn_WriteValue(0, 5, -2); },
    [] { return Zelvorn_Inc(0, 5, 1, &g_value); },
    [] { return Zelvorn_Dec(0, 5, 1, &g_value); },
    [] { return Zelvorn_Copy(0, 5, 6, &g_value); },
    [] { return Zelvorn_WriteMasterKey(0, 2, kKey); },
    [] { return Zelvorn_ListTags(0, g_bytes, g_bytes + 16, g_bytes + 32, g_bytes + 48); },
    [] { return Zelvorn_MultiTagSelect(0, 4, kKey, g_bytes, g_bytes + 1, g_bytes + 2); },
    [] {
        const std::uint8_t telegram[] = {0x01, 0x0F, 0xC2};
        return Zelvorn_TxDataTelegram(0, sizeof telegram, telegram, g_bytes, g_bytes + 1);
    },
    [] {
        const std::uint8_t packet[] = {0x19, 0x01, 0x11};
        return Zelvorn_DirectSend(0, sizeof packet, packet, g_bytes, g_bytes + 1);
    },
    [] { return Zelvorn_DirectReceive(0, 8, g_bytes, g_bytes + 1); },
    [] { return Zelvorn_ReadATQB(0, g_bytes); },
    [] { return Zelvorn_Reset(0); },
    [] { return Zelvorn_Status(0, g_bytes, &g_record); },
    [] { return Zelvorn_Power(0, 1); },
    [] { return Zelvorn_Power(0, 0); },
    [] { return Zelvorn_ReadRC500Reg(0, 0x11, g_bytes); },
    [] { return Zelvorn_WriteRC500Reg(0, 0x11, 0x22); },
    [] { return Zelvorn_ReadEEPROM(0, 0x10, g_bytes); },
    [] { return Zelvorn_WriteEEPROM(0, 0x10, 0x43); },
    [] { return Zelvorn_ReadUserPort(0, g_bytes); },
    [] { return Zelvorn_WriteUserPort(0, 0xFF); },
    [] { return Zelvorn_RequestDLLVersion(g_bytes, reinterpret_cast<char*>(g_bytes + 1)); },
    [] { return Zelvorn_ASKSectorRead(0, 0, g_bytes); },
    [] { return Zelvorn_ASKSectorMultiRead(0, 0x0C, g_bytes); },
    [] {
        g_bytes[0] = 0x12;
        g_bytes[1] = 0x34;
        return Zelvorn_ASKSectorWrite(0, 5, g_bytes, 0);
    },
    [] { return PICC_RATS(0, 2, g_bytes, g_bytes + 1); },
    []() -> std::int16_t { return PICC_InitBlockNumber(0) == 16 ? RESULT_OK : ERR_FAILURE; },
    [] { return Apdu(5); },
    [] { return Apdu(40); },  // three chained blocks
    [] { return PICC_Deselect(0, 1); },
};

}  // namespace

void HealthyReader_Install() {
    replay::Install(replay::Hooks{Answer, EightAtATime});
}

std::int16_t MixedCommand(std::size_t index) {
    return kMix[index % MixedCommandCount()]();
}

std::size_t MixedCommandCount() {
    return sizeof kMix / sizeof kMix[0];
}

}  // namespace zelvorn::hardening
