// Shared pieces of the fuzz targets: the driver loaded once per fuzzing process, a reader
// that turns the input into small values, and the checks every target runs after each
// input (nothing left pended, the driver's pool back where it was). Any verifier violation
// aborts (winsim's default without a handler), which libFuzzer reports as a crash.
#pragma once

#include <ntddk.h>

#include <winsim/driver.h>
#include <winsim/io.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace qvr_fuzz {

// Prints what broke and aborts: libFuzzer keeps the input as a crash.
[[noreturn]] void Fail(const std::string &what);

// Loads qvrdrv and opens its control device as LocalSystem; aborts when either fails.
winsim::Handle LoadAndOpen();
// Closes the handle, unloads and aborts unless the verifier found nothing left behind.
void CloseAndUnload(winsim::Handle *device);

// Sends the bytes as IOCTL_QVR_CALLBACK and returns the request's status. A request the
// driver parks (an empty one, or a reply it accepted) is cancelled, so that nothing waits.
NTSTATUS SendCallbackBytes(const winsim::Handle &device, const std::vector<std::uint8_t> &input,
                           std::size_t outputLength);

// The input, consumed from the front; reads past its end give zeros.
class Input {
public:
    Input(const std::uint8_t *data, std::size_t size) : data_(data), size_(size) {}
    std::uint8_t Byte();
    std::uint16_t U16();
    std::uint32_t U32();
    bool Empty() const { return offset_ >= size_; }
    // At most `limit` bytes (fewer when the input ends first).
    std::vector<std::uint8_t> Bytes(std::size_t limit);
    // A length byte, then that many bytes.
    std::vector<std::uint8_t> Counted() { return Bytes(Byte()); }
    std::vector<std::uint8_t> Rest() { return Bytes(size_); }

private:
    const std::uint8_t *data_;
    std::size_t size_;
    std::size_t offset_ = 0;
};

// The driver's pool by tag, to compare before and after an input.
struct PoolCounts {
    std::size_t policy = 0;    // "QVPM"
    std::size_t callback = 0;  // "QVCB"
    std::size_t wfp = 0;       // "-QVR"
    static PoolCounts Now();
    bool operator==(const PoolCounts &other) const
    {
        return policy == other.policy && callback == other.callback && wfp == other.wfp;
    }
};

// Aborts unless the pool is back at `before` within a moment (the driver's own leak check,
// per input) and no classify or operation is still pended with WFP.
void ExpectSettled(const PoolCounts &before, const char *after);

}  // namespace qvr_fuzz
