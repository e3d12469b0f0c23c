#include "bench/cases.h"

#include <cstring>
#include <initializer_list>

#include "zelvorn.h"

namespace zelvorn::bench {
namespace {

constexpr std::int16_t kHandle = 0;

PreparedFrame Data(std::initializer_list<std::uint8_t> data) {
    return ReaderReply(data.begin(), data.size());
}

// Outputs of the calls; sized for the largest any function writes.
struct Outputs {
    std::uint8_t bytes[512];
    std::uint8_t a, b;
    std::int32_t value;
    ReaderStatusRecord record;
    char text[32];
} out;

const std::uint8_t kBlock[16] = {0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77,
                                 0x88, 0x99, 0xAA, 0xBB, 0xCC, 0xDD, 0xEE, 0xFF};
const std::uint8_t kKey[6] = {0xA0, 0xA1, 0xA2, 0xA3, 0xA4, 0xA5};
const std::uint8_t kSerial[4] = {0xDE, 0xAD, 0xBE, 0xEF};

// A card entry after one leading data byte: type, serial length, 10-byte field.
PreparedFrame SelectReply() {
    return Data({0x00, 0x08, 0x04, 0xDE, 0xAD, 0xBE, 0xEF, 0, 0, 0, 0, 0, 0});
}

PreparedFrame ListReply() {
    std::uint8_t data[1 + 2 * 12] = {2};
    for (int i = 0; i < 2; ++i) {
        std::uint8_t* entry = data + 1 + 12 * i;
        entry[0] = 0x08;
        entry[1] = 4;
        std::memcpy(entry + 2, kSerial, 4);
        entry[5] = static_cast<std::uint8_t>(i);
    }
    return ReaderReply(data, sizeof data);
}

PreparedFrame StatusReply() {
    std::uint8_t data[30];
    for (std::size_t i = 0; i < sizeof data; ++i) data[i] = static_cast<std::uint8_t>(0x40 + i);
    return ReaderReply(data, sizeof data);
}

void AddReaderControl(std::vector<Case>& cases) {
    const char* f = "reader control";
    Case open{"Zelvorn_Open+Close",
              "open/close",
              Data({}),
              nullptr,
              [] {
                  Zelvorn_Close(kHandle);
                  return Zelvorn_Open(kHandle);
              },
              1};
    open.allocations = 1;
    cases.push_back(open);
    cases.push_back(
        {"Zelvorn_Reset", f, Data({}), nullptr, [] { return Zelvorn_Reset(kHandle); }, 1});
    cases.push_back({"Zelvorn_Status", f, StatusReply(), nullptr,
                     [] { return Zelvorn_Status(kHandle, out.bytes, &out.record); }, 1});
    cases.push_back(
        {"Zelvorn_Power", f, Data({1}), nullptr, [] { return Zelvorn_Power(kHandle, 1); }, 1});
    cases.push_back({"Zelvorn_ReadRC500Reg", f, Data({0x5A}), nullptr,
                     [] { return Zelvorn_ReadRC500Reg(kHandle, 0x11, &out.a); }, 1});
    cases.push_back({"Zelvorn_WriteRC500Reg", f, Data({0x5A}), nullptr,
                     [] { return Zelvorn_WriteRC500Reg(kHandle, 0x11, 0x5A); }, 1});
    cases.push_back({"Zelvorn_ReadEEPROM", f, Data({0x5A}), nullptr,
                     [] { return Zelvorn_ReadEEPROM(kHandle, 0x10, &out.a); }, 1});
    cases.push_back({"Zelvorn_WriteEEPROM", f, Data({0x5A}), nullptr,
                     [] { return Zelvorn_WriteEEPROM(kHandle, 0x10, 0x5A); }, 1});
    cases.push_back({"Zelvorn_ReadUserPort", f, Data({0x44}), nullptr,
                     [] { return Zelvorn_ReadUserPort(kHandle, &out.a); }, 1});
    cases.push_back({"Zelvorn_WriteUserPort", f, Data({0x44}), nullptr,
                     [] { return Zelvorn_WriteUserPort(kHandle, 0xFF); }, 1});
    cases.push_back({"Zelvorn_RequestDLLVersion", f, Data({}), nullptr,
                     [] { return Zelvorn_RequestDLLVersion(&out.a, out.text); }, 0});
}

void AddMifare(std::vector<Case>& cases) {
    const char* f = "MIFARE";
    cases.push_back({"Zelvorn_Select", f, SelectReply(), nullptr,
                     [] { return Zelvorn_Select(kHandle, &out.a, &out.b, out.bytes); }, 1});
    cases.push_back({"Zelvorn_Login", f, Data({}), nullptr,
                     [] { return Zelvorn_Login(kHandle, 1, KEYTYPE_A, 0, kKey); }, 1});
    cases.push_back({"Zelvorn_Read", f, ReaderReply(kBlock, sizeof kBlock), nullptr,
                     [] { return Zelvorn_Read(kHandle, 4, out.bytes); }, 1});
    cases.push_back({"Zelvorn_Write", f, ReaderReply(kBlock, sizeof kBlock), nullptr,
                     [] { return Zelvorn_Write(kHandle, 4, kBlock); }, 1});
    cases.push_back({"Zelvorn_ReadValue", f, Data({0x00, 0x00, 0x03, 0xE8}), nullptr,
                     [] { return Zelvorn_ReadValue(kHandle, 5, &out.value); }, 1});
    cases.push_back({"Zelvorn_WriteValue", f, Data({0x00, 0x00, 0x03, 0xE8}), nullptr,
                     [] { return Zelvorn_WriteValue(kHandle, 5, 1000); }, 1});
    cases.push_back({"Zelvorn_Inc", f, Data({0x00, 0x00, 0x03, 0xE9}), nullptr,
                     [] { return Zelvorn_Inc(kHandle, 5, 1, &out.value); }, 1});
    cases.push_back({"Zelvorn_Dec", f, Data({0x00, 0x00, 0x03, 0xE7}), nullptr,
                     [] { return Zelvorn_Dec(kHandle, 5, 1, &out.value); }, 1});
    cases.push_back({"Zelvorn_Copy", f, Data({0x00, 0x00, 0x03, 0xE8}), nullptr,
                     [] { return Zelvorn_Copy(kHandle, 5, 6, &out.value); }, 1});
    cases.push_back({"Zelvorn_WriteMasterKey", f, ReaderReply(kKey, sizeof kKey), nullptr,
                     [] { return Zelvorn_WriteMasterKey(kHandle, 3, kKey); }, 1});
}

void AddMultiCard(std::vector<Case>& cases) {
    const char* f = "several cards";
    cases.push_back({"Zelvorn_ListTags", f, ListReply(), nullptr,
                     [] {
                         return Zelvorn_ListTags(kHandle, &out.a, out.bytes, out.bytes + 16,
                                                 out.bytes + 32);
                     },
                     1});
    cases.push_back(
        {"Zelvorn_MultiTagSelect", f, SelectReply(), nullptr,
         [] { return Zelvorn_MultiTagSelect(kHandle, 4, kSerial, &out.a, &out.b, out.bytes); }, 1});
    cases.push_back({"Zelvorn_TxDataTelegram", f, Data({0x04, 0x00}), nullptr,
                     [] {
                         static const std::uint8_t telegram[] = {2, 0x0F, 0x26, 0x00};
                         return Zelvorn_TxDataTelegram(kHandle, sizeof telegram, telegram, &out.a,
                                                       out.bytes);
                     },
                     1});
    cases.push_back({"Zelvorn_DirectSend", f, Data({0x01, 0x02, 0x03, 0x04}), nullptr,
                     [] {
                         static const std::uint8_t packet[] = {0x06, 0x01, 0x04};
                         return Zelvorn_DirectSend(kHandle, sizeof packet, packet, &out.a,
                                                   out.bytes);
                     },
                     1});
    cases.push_back({"Zelvorn_DirectReceive", f, Data({0x01, 0x02, 0x03, 0x04}), nullptr,
                     [] { return Zelvorn_DirectReceive(kHandle, 4, &out.a, out.bytes); }, 1});
    cases.push_back({"Zelvorn_ReadATQB", f,
                     Data({0x50, 0x01, 0x02, 0x03, 0x04, 0xA0, 0xA1, 0xA2, 0xA3, 0x00, 0x81, 0x71}),
                     nullptr, [] { return Zelvorn_ReadATQB(kHandle, out.bytes); }, 1});
}

void AddAsk(std::vector<Case>& cases) {
    const char* f = "ASK";
    cases.push_back({"Zelvorn_ASKSectorRead", f, Data({0x12, 0x34}), nullptr,
                     [] { return Zelvorn_ASKSectorRead(kHandle, 3, out.bytes); }, 1});
    cases.push_back({"Zelvorn_ASKSectorMultiRead", f, Data({1, 2, 3, 4, 5, 6, 7, 8}), nullptr,
                     [] { return Zelvorn_ASKSectorMultiRead(kHandle, 3, out.bytes); }, 1});
    cases.push_back({"Zelvorn_ASKSectorWrite", f, Data({0x12, 0x34}), nullptr,
                     [] {
                         out.bytes[0] = 0x12;
                         out.bytes[1] = 0x34;
                         return Zelvorn_ASKSectorWrite(kHandle, 3, out.bytes, 0);
                     },
                     1});
}

}  // namespace

// Defined with the card stand-in.
void AddBlockTransmission(std::vector<Case>& cases);

const std::vector<Case>& Cases() {
    static const std::vector<Case> cases = [] {
        std::vector<Case> c;
        AddReaderControl(c);
        AddMifare(c);
        AddMultiCard(c);
        AddAsk(c);
        AddBlockTransmission(c);
        return c;
    }();
    return cases;
}

const Case* FindCase(const char* name) {
    for (const Case& c : Cases()) {
        if (std::strcmp(c.name, name) == 0) return &c;
    }
    return nullptr;
}

void Prepare(const Case& c) {
    static bool opened = false;
    ZeroDevice& device = ZeroDevice::Instance();
    if (!opened) {
        static const PreparedFrame reset = Data({});
        device.Answer(reset);
        opened = Zelvorn_Open(kHandle) == kHandle;
    }
    if (c.responder != nullptr) {
        device.AnswerWith(c.responder);
    } else {
        device.Answer(c.reply);
    }
    if (c.setup != nullptr) c.setup();
}

}  // namespace zelvorn::bench
