// The library on the virtual reader with a processor card in its field:
// PICC_Xch_APDU cost by APDU length, and the same APDUs side by side with
// the PC/SC stack (pcscd, the vpcd driver and a vicc card).
//
//   zelvorn_bench_virtual series               CPU ns per APDU for each length
//   zelvorn_bench_virtual run LENGTH COUNT     COUNT APDUs of one length (callgrind)
//   zelvorn_bench_virtual run apdu INDEX COUNT
//       COUNT of comparison APDU INDEX through the library (callgrind)
//   zelvorn_bench_virtual run driver DRIVER SCENARIO INDEX COUNT
//       the same through the PC/SC driver DRIVER (libifd-zelvorn-virtual.so)
//       loaded in this process, its virtual reader holding SCENARIO's card:
//       IFDHTransmitToICC called as pcscd calls it, without pcscd (callgrind)
//   zelvorn_bench_virtual compare COUNT [PID...]
//       COUNT of each comparison APDU through every stack: this library, the
//       PC/SC stack with vpcd and a vicc card, and the PC/SC stack with this
//       driver; the PIDs (pcscd, vicc) are the other processes whose CPU
//       time counts as host CPU.
#include <dirent.h>
#include <dlfcn.h>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "virtual/cards/processor_card.h"
#include "virtual/scenario.h"
#include "virtual/virtual_reader.h"
#include "zelvorn.h"

#include <ifdhandler.h>
#include <winscard.h>

namespace {

using zelvorn::virt::Bytes;

constexpr std::int16_t kHandle = 0;
const Bytes kAid{0xA0, 0x00, 0x00, 0x05, 0x5A, 0x45, 0x4C, 0x56, 0x01};
constexpr std::uint16_t kDataFile = 0x5001;
constexpr std::size_t kDataFileSize = 4096;

// One processor card whose ATS announces FSCI 8, so that every block carries
// as much as one telegram holds, as on the zero-latency reader.
zelvorn::virt::Scenario OneProcessorCard() {
    using zelvorn::virt::FileNode;
    zelvorn::virt::Scenario s;
    FileNode root = FileNode::Df(
        0x3F00, {}, {FileNode::Df(0x5000, kAid, {FileNode::Ef(kDataFile, Bytes(kDataFileSize))})});
    s.Add<zelvorn::virt::ProcessorCard>(Bytes{0x04, 0x5A, 0x45, 0x4C, 0x56, 0x4F, 0x01},
                                        zelvorn::virt::FileSystemApp(std::move(root)), 8);
    return s;
}

std::uint8_t response[32768];

// Sends one APDU; the status word ends up in sw. False when the library
// reports a failure.
bool Exchange(const Bytes& apdu, std::uint16_t* sw = nullptr) {
    std::int16_t apduLength = static_cast<std::int16_t>(apdu.size());
    std::int16_t responseLength = 0;
    if (PICC_Xch_APDU(kHandle, 0, &apduLength, apdu.data(), &responseLength, response) != 0 ||
        responseLength < 2) {
        return false;
    }
    if (sw != nullptr) {
        *sw = static_cast<std::uint16_t>(response[responseLength - 2] << 8 |
                                         response[responseLength - 1]);
    }
    return true;
}

// The application, then its data file.
std::vector<Bytes> SessionSelects() {
    Bytes select{0x00, 0xA4, 0x04, 0x00, static_cast<std::uint8_t>(kAid.size())};
    select.insert(select.end(), kAid.begin(), kAid.end());
    return {select, {0x00, 0xA4, 0x00, 0x0C, 0x02, kDataFile >> 8, kDataFile & 0xFF}};
}

// Opens the virtual reader, activates the card and selects the application.
bool StartSession() {
    zelvorn::virt::VirtualReader::Instance().Load(OneProcessorCard());
    if (Zelvorn_Open(kHandle) != kHandle) return false;
    std::uint8_t type = 0, serialLength = 0, serial[10];
    if (Zelvorn_Select(kHandle, &type, &serialLength, serial) != 0) return false;
    std::uint8_t atsLength = 0, ats[128];
    if (PICC_RATS(kHandle, 8, &atsLength, ats) != 0 || atsLength < 2) return false;
    PICC_InitBlockNumber(ats[1] & 0x0F);
    for (const Bytes& select : SessionSelects()) {
        std::uint16_t sw = 0;
        if (!Exchange(select, &sw) || sw != 0x9000) return false;
    }
    return true;
}

// UPDATE BINARY at offset 0 with extended length, padded to the APDU length
// asked for (at least 8 bytes: 7 of header, 1 of data).
Bytes UpdateBinary(std::size_t length) {
    const std::size_t n = length - 7;
    Bytes apdu{0x00,
               0xD6,
               0x00,
               0x00,
               0x00,
               static_cast<std::uint8_t>(n >> 8),
               static_cast<std::uint8_t>(n & 0xFF)};
    for (std::size_t i = 0; i < n; ++i) apdu.push_back(static_cast<std::uint8_t>(i * 7));
    return apdu;
}

const unsigned kLengths[] = {16,  50,  100, 118, 150, 200, 236, 300,
                             400, 500, 600, 700, 800, 900, 1000};

double ProcessCpuNs() {
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return t.tv_sec * 1e9 + t.tv_nsec;
}

double WallNs() {
    return std::chrono::duration<double, std::nano>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

bool ExchangeOnly(const Bytes& apdu) {
    return Exchange(apdu);
}

// The measured loop, whatever carries the APDU.
extern "C" __attribute__((noinline)) int zelvorn_bench_measured(bool (*send)(const Bytes&),
                                                                const Bytes* apdu, long count) {
    int failures = 0;
    for (long i = 0; i < count; ++i) failures += !send(*apdu);
    return failures;
}

int Series() {
    if (!StartSession()) return 1;
    for (unsigned length : kLengths) {
        const Bytes apdu = UpdateBinary(length);
        std::uint16_t sw = 0;
        if (!Exchange(apdu, &sw) || sw != 0x9000) {
            std::fprintf(stderr, "UPDATE BINARY of %u bytes fails\n", length);
            return 1;
        }
        // Enough calls for about 0.2 s, best of three rounds.
        // CPU time rather than wall time: the machine is shared, and what
        // others run should not count as ours.
        long count = 1;
        for (double spent = 0; spent < 2e7; count *= 2) {
            const double start = ProcessCpuNs();
            zelvorn_bench_measured(ExchangeOnly, &apdu, count);
            spent = ProcessCpuNs() - start;
        }
        double best = 1e30;
        for (int round = 0; round < 3; ++round) {
            const double start = ProcessCpuNs();
            if (zelvorn_bench_measured(ExchangeOnly, &apdu, count) != 0) return 1;
            const double per = (ProcessCpuNs() - start) / static_cast<double>(count);
            if (per < best) best = per;
        }
        std::printf("%u\t%.1f\n", length, best);
    }
    return 0;
}

int Run(const Bytes& apdu, long count) {
    if (!StartSession()) return 1;
    if (!Exchange(apdu)) return 1;
    return zelvorn_bench_measured(ExchangeOnly, &apdu, count) == 0 ? 0 : 1;
}

// ---- Side by side with PC/SC ---------------------------------------------

struct Comparison {
    const char* name;
    Bytes apdu;
};

std::vector<Comparison> ComparisonApdus() {
    Bytes select{0x00, 0xA4, 0x04, 0x00, static_cast<std::uint8_t>(kAid.size())};
    select.insert(select.end(), kAid.begin(), kAid.end());
    // A 200-byte command: UPDATE BINARY with 195 bytes of data.
    Bytes update{0x00, 0xD6, 0x00, 0x00, 195};
    for (int i = 0; i < 195; ++i) update.push_back(static_cast<std::uint8_t>(i));
    return {{"GET CHALLENGE", {0x00, 0x84, 0x00, 0x00, 0x08}},
            {"SELECT by name", select},
            {"200-byte UPDATE BINARY", update}};
}

// ---- The PC/SC driver in this process, as pcscd drives it -----------------

struct Driver {
    decltype(&IFDHCreateChannelByName) createChannel = nullptr;
    decltype(&IFDHPowerICC) power = nullptr;
    decltype(&IFDHTransmitToICC) transmit = nullptr;
    std::uint8_t answer[MAX_BUFFER_SIZE_EXTENDED];  // pcscd's receive buffer

    bool Load(const char* path) {
        void* library = dlopen(path, RTLD_NOW | RTLD_LOCAL);
        if (library == nullptr) {
            std::fprintf(stderr, "cannot load the driver: %s\n", dlerror());
            return false;
        }
        createChannel =
            reinterpret_cast<decltype(createChannel)>(dlsym(library, "IFDHCreateChannelByName"));
        power = reinterpret_cast<decltype(power)>(dlsym(library, "IFDHPowerICC"));
        transmit = reinterpret_cast<decltype(transmit)>(dlsym(library, "IFDHTransmitToICC"));
        if (createChannel == nullptr || power == nullptr || transmit == nullptr) return false;
        char name[] = "zelvorn-virtual:0";
        UCHAR atr[MAX_ATR_SIZE];
        DWORD atrLength = sizeof atr;
        return createChannel(0, name) == IFD_SUCCESS &&
               power(0, IFD_POWER_UP, atr, &atrLength) == IFD_SUCCESS;
    }
    bool Transmit(const Bytes& apdu, std::uint16_t* sw) {
        DWORD length = sizeof answer;
        SCARD_IO_HEADER sendPci{SCARD_PROTOCOL_T1, sizeof(SCARD_IO_HEADER)}, recvPci{};
        if (transmit(0, sendPci, const_cast<std::uint8_t*>(apdu.data()),
                     static_cast<DWORD>(apdu.size()), answer, &length, &recvPci) != IFD_SUCCESS ||
            length < 2) {
            return false;
        }
        if (sw != nullptr) {
            *sw = static_cast<std::uint16_t>(answer[length - 2] << 8 | answer[length - 1]);
        }
        return true;
    }
};

Driver g_driver;

bool DriverExchange(const Bytes& apdu) {
    return g_driver.Transmit(apdu, nullptr);
}

// The card of the library's session, named in SCENARIO for the driver's own
// virtual reader, with the same application and file selected.
int RunDriver(const char* path, const char* scenario, const Bytes& apdu, long count) {
    setenv("ZELVORN_VIRTUAL_SCENARIO", scenario, 1);
    if (!g_driver.Load(path)) return 1;
    for (const Bytes& select : SessionSelects()) {
        std::uint16_t sw = 0;
        if (!g_driver.Transmit(select, &sw) || sw != 0x9000) return 1;
    }
    if (!DriverExchange(apdu)) return 1;
    return zelvorn_bench_measured(DriverExchange, &apdu, count) == 0 ? 0 : 1;
}

struct Cost {
    double wallNs;
    double cpuNs;  // this process and the others named
    double ownCpuNs;
    std::vector<double> otherCpuNs;  // of each process named, in order
    std::uint16_t sw;
};

// CPU time of every thread of a process, in nanoseconds, from the
// scheduler's own accounting.
double CpuNsOf(int pid) {
    const std::string dir = "/proc/" + std::to_string(pid) + "/task";
    DIR* d = opendir(dir.c_str());
    if (d == nullptr) return 0;
    double total = 0;
    while (dirent* e = readdir(d)) {
        if (e->d_name[0] == '.') continue;
        const std::string path = dir + "/" + e->d_name + "/schedstat";
        if (FILE* f = std::fopen(path.c_str(), "r")) {
            unsigned long long ns = 0;
            if (std::fscanf(f, "%llu", &ns) == 1) total += static_cast<double>(ns);
            std::fclose(f);
        }
    }
    closedir(d);
    return total;
}

template <typename Send>
Cost Measure(long count, const std::vector<int>& pids, Send send) {
    std::uint16_t sw = 0;
    send(&sw);  // once outside the count
    std::vector<double> others;
    for (int pid : pids) others.push_back(CpuNsOf(pid));
    const double wall = WallNs(), cpu = ProcessCpuNs();
    for (long i = 0; i < count; ++i) send(&sw);
    const double n = static_cast<double>(count);
    Cost cost{(WallNs() - wall) / n, 0, (ProcessCpuNs() - cpu) / n, {}, sw};
    cost.cpuNs = cost.ownCpuNs;
    for (std::size_t i = 0; i < pids.size(); ++i) {
        cost.otherCpuNs.push_back((CpuNsOf(pids[i]) - others[i]) / n);
        cost.cpuNs += cost.otherCpuNs.back();
    }
    return cost;
}

struct PcscCard {
    SCARDCONTEXT context = 0;
    SCARDHANDLE card = 0;
    const SCARD_IO_REQUEST* pci = nullptr;

    // The daemon and the card start beside us; give them up to ten seconds
    // to show the reader whose name holds `wanted` with a card in it.
    bool Connect(const char* wanted) {
        if (SCardEstablishContext(SCARD_SCOPE_SYSTEM, nullptr, nullptr, &context) !=
            SCARD_S_SUCCESS) {
            return false;
        }
        char readers[1024];
        DWORD protocol = 0;
        for (int attempt = 0;; ++attempt) {
            DWORD size = sizeof readers;
            if (SCardListReaders(context, nullptr, readers, &size) == SCARD_S_SUCCESS) {
                for (const char* r = readers; *r != 0; r += std::strlen(r) + 1) {
                    if (std::strstr(r, wanted) != nullptr &&
                        SCardConnect(context, r, SCARD_SHARE_SHARED,
                                     SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1, &card,
                                     &protocol) == SCARD_S_SUCCESS) {
                        pci = protocol == SCARD_PROTOCOL_T1 ? SCARD_PCI_T1 : SCARD_PCI_T0;
                        std::fprintf(stderr, "PC/SC reader: %s, protocol T=%d\n", r,
                                     protocol == SCARD_PROTOCOL_T1 ? 1 : 0);
                        return true;
                    }
                }
            }
            if (attempt == 100) return false;
            timespec pause{0, 100000000};
            nanosleep(&pause, nullptr);
        }
    }
    ~PcscCard() {
        if (card != 0) SCardDisconnect(card, SCARD_LEAVE_CARD);
        if (context != 0) SCardReleaseContext(context);
    }
    bool Transmit(const Bytes& apdu, std::uint16_t* sw) {
        std::uint8_t answer[4096];
        DWORD length = sizeof answer;
        if (SCardTransmit(card, pci, apdu.data(), static_cast<DWORD>(apdu.size()), nullptr, answer,
                          &length) != SCARD_S_SUCCESS ||
            length < 2) {
            return false;
        }
        *sw = static_cast<std::uint16_t>(answer[length - 2] << 8 | answer[length - 1]);
        return true;
    }
};

// One row of the table: wall and host CPU per APDU, and the CPU of each
// process besides the caller.
void PrintRow(const Comparison& c, const char* stack, const Cost& cost) {
    std::string split = std::to_string(static_cast<int>(cost.ownCpuNs / 1e3 + 0.5));
    for (double other : cost.otherCpuNs) {
        split += ", " + std::to_string(static_cast<int>(other / 1e3 + 0.5));
    }
    std::printf("| %s | %zu | %s | %.2f | %.2f | %s | %04X |\n", c.name, c.apdu.size(), stack,
                cost.wallNs / 1e3, cost.cpuNs / 1e3, cost.otherCpuNs.empty() ? "" : split.c_str(),
                cost.sw);
}

int Compare(long count, const std::vector<int>& pids) {
    if (!StartSession()) {
        std::fprintf(stderr, "the virtual reader's card does not answer\n");
        return 1;
    }
    const auto apdus = ComparisonApdus();
    // vpcd's reader holds the vicc card; ours the card of the library's
    // session, with the same application and file selected.
    PcscCard vpcd, driver;
    const bool haveVpcd = vpcd.Connect("Virtual PCD");
    if (!haveVpcd) std::fprintf(stderr, "no vicc card through PC/SC: that row is left out\n");
    bool haveDriver = driver.Connect("Zelvorn");
    for (const Bytes& select : SessionSelects()) {
        std::uint16_t sw = 0;
        haveDriver = haveDriver && driver.Transmit(select, &sw) && sw == 0x9000;
    }
    if (!haveDriver)
        std::fprintf(stderr, "no card through this PC/SC driver: that row is left out\n");
    std::printf(
        "| APDU | bytes | stack | wall us/APDU | host CPU us/APDU | of which: caller, "
        "pcscd, vicc | SW |\n");
    std::printf("|---|--:|---|--:|--:|---|---|\n");
    for (const Comparison& c : apdus) {
        const Cost ours = Measure(count, {}, [&](std::uint16_t* sw) { Exchange(c.apdu, sw); });
        PrintRow(c, "this library, virtual reader", ours);
        // A PC/SC stack's row and its ratio to the library's.
        const auto through = [&](PcscCard& reader, const char* stack, const char* ratio) {
            const Cost cost =
                Measure(count, pids, [&](std::uint16_t* sw) { reader.Transmit(c.apdu, sw); });
            PrintRow(c, stack, cost);
            std::printf("| %s | | ratio %s : this library | %.0f | %.0f | | |\n", c.name, ratio,
                        cost.wallNs / ours.wallNs, cost.cpuNs / ours.cpuNs);
        };
        if (haveDriver) {
            through(driver, "PC/SC: pcscd, this driver, virtual reader", "pcscd + this driver");
        }
        if (haveVpcd) through(vpcd, "PC/SC: pcscd, vpcd, vicc", "pcscd + vpcd/vicc");
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 2 && std::strcmp(argv[1], "series") == 0) return Series();
    if (argc >= 4 && std::strcmp(argv[1], "run") == 0) {
        const auto apdus = ComparisonApdus();
        const auto pick = [&apdus](const char* index) {
            return apdus.at(static_cast<std::size_t>(std::atoi(index))).apdu;
        };
        if (argc == 4)
            return Run(UpdateBinary(static_cast<unsigned>(std::atoi(argv[2]))), std::atol(argv[3]));
        if (argc == 5 && std::strcmp(argv[2], "apdu") == 0) {
            return Run(pick(argv[3]), std::atol(argv[4]));
        }
        if (argc == 7 && std::strcmp(argv[2], "driver") == 0) {
            return RunDriver(argv[3], argv[4], pick(argv[5]), std::atol(argv[6]));
        }
    }
    if (argc >= 3 && std::strcmp(argv[1], "compare") == 0) {
        std::vector<int> pids;
        for (int i = 3; i < argc; ++i) pids.push_back(std::atoi(argv[i]));
        return Compare(std::atol(argv[2]), pids);
    }
    std::fprintf(stderr,
                 "usage: %s series | run LENGTH COUNT | run apdu INDEX COUNT |\n"
                 "       run driver DRIVER SCENARIO INDEX COUNT | compare COUNT [PID...]\n",
                 argv[0]);
    return 2;
}
