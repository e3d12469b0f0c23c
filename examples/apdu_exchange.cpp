// An APDU exchange with a processor card: find it among the cards in the
// field, activate it (RATS), select an application by name and read a file.
//
//   c++ -std=c++20 apdu_exchange.cpp -lzelvorn -o apdu_exchange
#include <zelvorn.h>

#include <cstdio>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

void Check(int16_t result, const char* step) {
    if (result != RESULT_OK)
        throw std::runtime_error(std::string(step) + " failed: " + std::to_string(result));
}

// Closes the reader however the exchange ends.
class Reader {
public:
    explicit Reader(int16_t port) : handle_(Zelvorn_Open(port)) {
        if (handle_ < 0) throw std::runtime_error("no reader: " + std::to_string(handle_));
    }
    ~Reader() { Zelvorn_Close(handle_); }
    Reader(const Reader&) = delete;
    Reader& operator=(const Reader&) = delete;
    int16_t handle() const { return handle_; }

private:
    int16_t handle_;
};

std::vector<uint8_t> Exchange(const Reader& reader, std::vector<uint8_t> apdu) {
    std::vector<uint8_t> response(32767);
    auto apduLength = static_cast<int16_t>(apdu.size());
    int16_t responseLength = 0;
    Check(PICC_Xch_APDU(reader.handle(), 0, &apduLength, apdu.data(), &responseLength,
                        response.data()),
          "PICC_Xch_APDU");
    response.resize(static_cast<std::size_t>(responseLength));
    return response;
}

void Print(const char* what, const std::vector<uint8_t>& bytes) {
    std::printf("%s:", what);
    for (uint8_t b : bytes) std::printf(" %02X", b);
    std::printf("\n");
}

}  // namespace

int main() try {
    Reader reader(0);

    // The first card whose type says it speaks ISO/IEC 14443-4.
    uint8_t count = 0, types[ZELVORN_MAX_LISTED_TAGS], lengths[ZELVORN_MAX_LISTED_TAGS];
    uint8_t serials[ZELVORN_MAX_LISTED_TAGS * ZELVORN_SERIAL_FIELD];
    Check(Zelvorn_ListTags(reader.handle(), &count, types, lengths, serials), "Zelvorn_ListTags");
    int card = -1;
    for (int i = 0; i < count && card < 0; ++i) {
        if (types[i] & 0x20) card = i;
    }
    if (card < 0) throw std::runtime_error("no processor card in the field");
    Check(Zelvorn_MultiTagSelect(reader.handle(), lengths[card],
                                 serials + card * ZELVORN_SERIAL_FIELD, nullptr, nullptr, nullptr),
          "Zelvorn_MultiTagSelect");

    // RATS, then block numbering with the card's frame size (FSCI in T0).
    uint8_t atsLength = 0, ats[117];
    Check(PICC_RATS(reader.handle(), 4, &atsLength, ats), "PICC_RATS");
    PICC_InitBlockNumber(atsLength >= 2 ? ats[1] & 0x0F : 2);

    Print("select application", Exchange(reader, {0x00, 0xA4, 0x04, 0x00, 0x09, 0xA0, 0x00, 0x00,
                                                  0x05, 0x5A, 0x45, 0x4C, 0x56, 0x01, 0x00}));
    Print("select file 5002", Exchange(reader, {0x00, 0xA4, 0x02, 0x0C, 0x02, 0x50, 0x02}));
    const std::vector<uint8_t> label = Exchange(reader, {0x00, 0xB0, 0x00, 0x00, 0x10});
    Print("read binary", label);
    if (label.size() >= 2) {
        std::printf("label: %.*s\n", static_cast<int>(label.size() - 2),
                    reinterpret_cast<const char*>(label.data()));
    }
    Check(PICC_Deselect(reader.handle(), 0), "PICC_Deselect");
    return 0;
} catch (const std::exception& e) {
    std::fprintf(stderr, "apdu_exchange: %s\n", e.what());
    return 1;
}
