// Shared pieces of the fuzz targets (fuzz_support.h).
#include "fuzz_support.h"

#include <winsim/verifier.h>
#include <winsim/wfp.h>

#include <qvr_ioctl.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>

extern "C" DRIVER_INITIALIZE DriverEntry;

namespace qvr_fuzz {
namespace {
constexpr char kService[] = "qvrdrv";
constexpr char kDevice[] = "\\\\.\\" QVR_DEVICE_BASE_NAME;
}  // namespace

void Fail(const std::string &what)
{
    std::fprintf(stderr, "fuzz invariant broken: %s\n", what.c_str());
    std::abort();
}

winsim::Handle LoadAndOpen()
{
    const NTSTATUS status = winsim::LoadDriver(DriverEntry, kService);
    if (!NT_SUCCESS(status)) {
        Fail("the driver did not load");
    }
    winsim::OpenResult open = winsim::OpenDevice(kDevice, winsim::Identity::LocalSystem);
    if (!NT_SUCCESS(open.status)) {
        Fail("the control device did not open");
    }
    return open.handle;
}

void CloseAndUnload(winsim::Handle *device)
{
    // On a thread of its own: at exit the main thread's winsim thread state may be gone.
    std::thread([device] {
        winsim::CloseHandle(*device);
        *device = winsim::Handle{};
        winsim::UnloadResult result = winsim::UnloadDriver(kService);
        if (!NT_SUCCESS(result.status) || !result.leftBehind.empty()) {
            Fail("unload left something behind");
        }
    }).join();
}

NTSTATUS SendCallbackBytes(const winsim::Handle &device, const std::vector<std::uint8_t> &input,
                           std::size_t outputLength)
{
    winsim::Overlapped io = winsim::DeviceIoControlOverlapped(device, IOCTL_QVR_CALLBACK, input, outputLength);
    if (!io.IsComplete()) {
        winsim::CancelIoEx(device, &io);
        if (!io.Wait(std::chrono::seconds(10))) {
            Fail("a parked request was not cancelled");
        }
    }
    return io.Result().status;
}

std::uint8_t Input::Byte()
{
    return offset_ < size_ ? data_[offset_++] : 0;
}

std::uint16_t Input::U16()
{
    const std::uint16_t low = Byte();
    return static_cast<std::uint16_t>(low | (Byte() << 8));
}

std::uint32_t Input::U32()
{
    const std::uint32_t low = U16();
    return low | (static_cast<std::uint32_t>(U16()) << 16);
}

std::vector<std::uint8_t> Input::Bytes(std::size_t limit)
{
    const std::size_t available = offset_ < size_ ? size_ - offset_ : 0;
    const std::size_t count = limit < available ? limit : available;
    std::vector<std::uint8_t> out(data_ + offset_, data_ + offset_ + count);
    offset_ += count;
    return out;
}

PoolCounts PoolCounts::Now()
{
    PoolCounts counts;
    counts.policy = winsim::OutstandingAllocations("QVPM");
    counts.callback = winsim::OutstandingAllocations("QVCB");
    counts.wfp = winsim::OutstandingAllocations("-QVR");
    return counts;
}

void ExpectSettled(const PoolCounts &before, const char *after)
{
    if (winsim::wfp::PendedClassifyCount() != 0 || winsim::wfp::PendedOperationCount() != 0) {
        Fail(std::string("a connection was left pended after ") + after);
    }
    // A reply's sender may still be on its way out of the driver (the question's record is
    // freed after its routine has settled the connection): a leak stays, a late free does not.
    PoolCounts now = PoolCounts::Now();
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    while (!(now == before) && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::yield();
        now = PoolCounts::Now();
    }
    if (!(now == before)) {
        for (const std::string &item : winsim::Outstanding()) {
            std::fprintf(stderr, "  outstanding: %s\n", item.c_str());
        }
        Fail(std::string("the driver's pool changed after ") + after + " (QVPM " + std::to_string(before.policy) +
             " -> " + std::to_string(now.policy) + ", QVCB " + std::to_string(before.callback) + " -> " +
             std::to_string(now.callback) + ", -QVR " + std::to_string(before.wfp) + " -> " + std::to_string(now.wfp) +
             ")");
    }
}

}  // namespace qvr_fuzz
