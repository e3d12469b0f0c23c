// The reader link on its own: opening and closing, and single exchanges with
// any request, any reply buffer size and any answer from the reader.
#include "commands/command_path.h"
#include "fuzz/harness.h"
#include "transport/transport.h"

using namespace zelvorn;
using namespace zelvorn::fuzz;

namespace {

Guarded<160> g_reply;

void OneExchange(Input& in) {
    const std::int16_t handle = PickHandle();
    const std::uint8_t command = in.Byte();
    std::uint8_t data[130];
    const std::size_t n = in.Byte() % 125;  // a few more than a frame carries
    in.Take(data, n);
    const std::size_t capacity = in.Byte() % 140;
    RequestBlock request = Request_Make(command, data, n);
    if (n > kMaxRequestData) request.dataLength = static_cast<std::uint8_t>(n);
    if (in.Byte() & 1) request.frameType = kFrameReceive;

    g_reply.Fill(0xC3);
    std::uint8_t replyLength = 0xEE;
    const std::uint32_t before = Controls();
    ReaderContext* reader = ReaderTable_Lookup(handle);
    if (reader == nullptr) {
        // The command path refuses a handle without a reader before the
        // transport is reached.
        FUZZ_PROMISE(handle != 0);
        Reply<kCommandReplyCapacity> reply;
        FUZZ_PROMISE(Command_Run(Command_Admit(handle), request, reply).result ==
                     ERR_INVALID_HANDLE);
        FUZZ_PROMISE(Controls() == before);
        return;
    }
    const std::int16_t result =
        Transport_Exchange(*reader, request, &replyLength, g_reply.bytes, capacity);

    FUZZ_PROMISE(g_reply.FencesIntact());
    FUZZ_PROMISE(g_reply.UntouchedFrom(capacity));
    if (replyLength != 0xEE) FUZZ_PROMISE(replyLength <= capacity);
    if (n > kMaxRequestData) {
        FUZZ_PROMISE(result == ERR_INVALID_PARAMETER);
        FUZZ_PROMISE(Controls() == before);
        return;
    }
    const Exchange* e = SoleExchange(before);
    FUZZ_PROMISE(e != nullptr);
    // The frame on the wire carries exactly the request.
    FUZZ_PROMISE(e->blockLength == n + 4);
    FUZZ_PROMISE(e->block[0] == request.frameType && e->block[1] == request.length);
    FUZZ_PROMISE(e->block[2] == command && e->block[3] == n);
    FUZZ_PROMISE(std::memcmp(e->block + 4, data, n) == 0);

    if (e->known == Known::Failure) FUZZ_PROMISE(result == ERR_FAILURE);
    if (e->known != Known::Reply) {
        if (result == RESULT_OK) FUZZ_PROMISE(replyLength <= capacity);
        return;
    }
    if (e->m > capacity) {
        FUZZ_PROMISE(result == ERR_FAILURE);
        FUZZ_PROMISE(g_reply.Untouched());
        return;
    }
    FUZZ_PROMISE(replyLength == e->m);
    FUZZ_PROMISE(g_reply.Equals(e->payload, e->m));
    const std::int16_t expected = e->transportStatus == 0x9000 ? RESULT_OK
                                  : e->transportStatus == 0
                                      ? ERR_FAILURE
                                      : static_cast<std::int16_t>(e->transportStatus);
    FUZZ_PROMISE(result == expected);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Begin(data, size);
    Input& in = In();
    bool open = true;
    while (!in.Empty()) {
        const std::uint8_t op = in.Byte();
        switch (op & 0x07) {
            case 0:  // close, then open again
                FUZZ_PROMISE(Zelvorn_Close(0) == (open ? RESULT_OK : ERR_INVALID_HANDLE));
                open = false;
                if (op & 0x08) {
                    FUZZ_PROMISE(Zelvorn_Open(0) == 0);
                    open = true;
                }
                break;
            case 1: {  // ports where no reader is, or outside the table
                const auto port = static_cast<std::int16_t>(in.Word());
                const std::int16_t result = Zelvorn_Open(port);
                if (port == 0) {
                    FUZZ_PROMISE(result == 0);
                    open = true;
                } else {
                    FUZZ_PROMISE(result == ERR_OPEN_FAILED);
                }
                break;
            }
            default:
                if (open) OneExchange(in);
                break;
        }
    }
    End();
    return 0;
}
