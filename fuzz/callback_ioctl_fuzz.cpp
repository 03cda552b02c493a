// libFuzzer target: arbitrary bytes as the service's control requests to a loaded driver.
//
// The first byte picks what the rest becomes: a process-rules record, a QUIC record, a
// callback reply to whatever id it names, or a reply to a question that the driver has
// really asked (its RequestId patched in, so the delivery path is reached). Every run ends
// with no question left in the callback table and no request left in the driver; any
// verifier violation aborts, which libFuzzer reports as a crash.
#include <ntddk.h>

#include <winsim/verifier.h>

#include <qvr_ioctl.h>

#include "driver/frame/callback_channel.h"
#include "fuzz_support.h"

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

using qvr_fuzz::Fail;

winsim::Handle device;
std::size_t callbackPoolAtStart = 0;

NTSTATUS SendCallbackBytes(const std::vector<std::uint8_t> &input, std::size_t outputLength)
{
    return qvr_fuzz::SendCallbackBytes(device, input, outputLength);
}

struct Answer {
    int calls = 0;
    std::uint32_t sum = 0;
    std::size_t replySize = 0;  // bytes the reply carried
};

_Function_class_(CALLBACK_COMPLETION_ROUTINE)
VOID ReadWholePayload(const VOID *Payload, UINT32 PayloadLength, PVOID Context)
{
    Answer *answer = static_cast<Answer *>(Context);
    const std::uint8_t *bytes = static_cast<const std::uint8_t *>(Payload);
    ++answer->calls;
    if (PayloadLength > answer->replySize - CALLBACK_RECORD_HEADER_SIZE) {
        Fail("the routine was handed more payload than the reply carried");
    }
    // Reading every byte lets AddressSanitizer check the length the driver passed on.
    for (UINT32 i = 0; i < PayloadLength; ++i) {
        answer->sum += bytes[i];
    }
}

void AskAndReply(const std::uint8_t *data, std::size_t size)
{
    if (size < 2) {
        return;
    }
    // Park a carrier whose output size the input chooses (small ones fail the question).
    const std::size_t carrierOutput = 16u + data[0];
    winsim::Overlapped carrier = winsim::DeviceIoControlOverlapped(device, IOCTL_QVR_CALLBACK, nullptr, 0, carrierOutput);
    const std::uint32_t payloadLength = data[1] % 64u;
    std::vector<std::uint8_t> payload(payloadLength, 0x5a);
    Answer answer;
    UINT64 id = 0;
    NTSTATUS status = SendCallbackRequest(3, payload.data(), payloadLength, ReadWholePayload, &answer, &id);
    if (!carrier.Wait(std::chrono::seconds(10))) {
        Fail("the carrier was not completed by the question");
    }
    if (!NT_SUCCESS(status)) {
        return;
    }
    std::vector<std::uint8_t> reply(data + 2, data + size);
    if (reply.size() >= 28) {
        std::memcpy(reply.data() + 20, &id, sizeof(id));
    }
    // No output buffer: the system buffer is exactly the reply, so reading past it is caught.
    answer.replySize = reply.size();
    SendCallbackBytes(reply, 0);
    const NTSTATUS cancel = CancelCallbackRequest(id);
    if (answer.calls > 1 || (answer.calls == 1) != (cancel == STATUS_NOT_FOUND)) {
        Fail("reply and cancel did not take the question exactly once");
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    winsim::clock::UseManual();  // a sender never waits: a carrier is always parked first
    device = qvr_fuzz::LoadAndOpen();
    callbackPoolAtStart = winsim::OutstandingAllocations("QVCB");
    std::atexit([] { qvr_fuzz::CloseAndUnload(&device); });
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    if (size == 0) {
        return 0;
    }
    const std::vector<std::uint8_t> rest(data + 1, data + size);
    switch (data[0] % 4) {
    case 0:
        winsim::DeviceIoControl(device, IOCTL_QVR_SET_PROCESS_RULES, rest, 0);
        break;
    case 1:
        winsim::DeviceIoControl(device, IOCTL_QVR_SET_QUIC_BLOCKING, rest, 0);
        break;
    case 2:
        SendCallbackBytes(rest, rest.size());
        break;
    default:
        AskAndReply(rest.data(), rest.size());
        break;
    }
    if (winsim::OutstandingAllocations("QVCB") != callbackPoolAtStart) {
        Fail("a question was left in the callback table");
    }
    return 0;
}
