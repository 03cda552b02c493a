// libFuzzer target: arbitrary bytes as the two configuration records, IOCTL_QVR_SET_PROCESS_RULES
// and IOCTL_QVR_SET_QUIC_BLOCKING, sent to a loaded driver with three running processes.
//
// An independent reading of the record decides what must happen: the length, Size and Type
// checks give their exact statuses; a refused record changes nothing (the processes' flags and
// the QUIC switch stay as they were); an accepted rules record leaves each process covered
// exactly when its name is listed (Mode nonzero) or not listed (Mode zero); an accepted QUIC
// record stores Enabled. A refused record leaves the driver's pool as it was; after an
// accepted rules record the rules the run started with are sent again, and the pool must be
// back where it was then.
#include "fuzz_support.h"

#include <winsim/kernel.h>
#include <winsim/processes.h>

#include <qvr_ioctl.h>

#include "driver/frame/driver_state.h"
#include "driver/policy/process_table.h"

#include <array>
#include <cstring>
#include <string>

namespace {

using qvr_fuzz::Fail;

winsim::Handle device;
qvr_fuzz::PoolCounts poolAtStart;
const std::vector<std::uint8_t> kStartRules = {18, 0, 0, 0, QVR_RECORD_TYPE_PROCESS_RULES, 0, 0, 0, 0, 0, 0, 0,
                                               0, 0, 0, 0, 0, 0};

// Lower-case names, so that an ASCII fold of a listed name finds them; no other character
// upper-cases to any of their letters.
const char16_t *const kNames[] = {u"a.exe", u"b.exe", u"c.exe"};
std::array<winsim::processes::ProcessId, 3> processes{};

std::uint32_t ReadU32(const std::vector<std::uint8_t> &bytes, std::size_t offset)
{
    std::uint32_t value = 0;
    std::memcpy(&value, bytes.data() + offset, sizeof(value));
    return value;
}

std::array<bool, 3> Flags()
{
    std::array<bool, 3> flags{};
    for (std::size_t i = 0; i < processes.size(); ++i) {
        BOOLEAN intercept = FALSE;
        if (QueryProcessIntercept(processes[i], &intercept) != STATUS_SUCCESS) {
            Fail("QueryProcessIntercept failed");
        }
        flags[i] = intercept != FALSE;
    }
    return flags;
}

char16_t Fold(char16_t c) { return (c >= u'A' && c <= u'Z') ? static_cast<char16_t>(c + 32) : c; }

// The names of a record the driver accepted, as the names area holds them.
std::vector<std::u16string> Names(const std::vector<std::uint8_t> &record, std::uint32_t count)
{
    std::vector<std::u16string> names;
    const std::size_t area = (record.size() - 16) & ~std::size_t{1};
    std::u16string name;
    for (std::size_t offset = 16; offset + 1 < 16 + area && names.size() < count; offset += 2) {
        const char16_t c = static_cast<char16_t>(record[offset] | (record[offset + 1] << 8));
        if (c == 0) {
            names.push_back(name);
            name.clear();
        } else {
            name.push_back(Fold(c));
        }
    }
    return names;
}

// True when the record was accepted.
bool SendRules(const std::vector<std::uint8_t> &record)
{
    const std::array<bool, 3> before = Flags();
    const NTSTATUS status = winsim::DeviceIoControl(device, IOCTL_QVR_SET_PROCESS_RULES, record, 0).status;
    const std::array<bool, 3> after = Flags();
    if (record.size() < PROCESS_RULES_RECORD_MIN_SIZE || ReadU32(record, 0) > record.size()) {
        if (status != STATUS_BUFFER_TOO_SMALL) {
            Fail("a short rules record was not refused with STATUS_BUFFER_TOO_SMALL");
        }
    } else if (ReadU32(record, 4) != QVR_RECORD_TYPE_PROCESS_RULES && status != STATUS_INVALID_PARAMETER) {
        Fail("a rules record of another type was not refused with STATUS_INVALID_PARAMETER");
    }
    if (!NT_SUCCESS(status)) {
        if (status != STATUS_BUFFER_TOO_SMALL && status != STATUS_INVALID_PARAMETER &&
            status != STATUS_UNSUCCESSFUL && status != STATUS_NO_MEMORY) {
            Fail("a refused rules record got a status outside the documented ones");
        }
        if (after != before) {
            Fail("a refused rules record changed a process's flag");
        }
        return false;
    }
    const bool interceptListed = ReadU32(record, 8) != 0;
    const std::uint32_t count = ReadU32(record, 12);
    const std::vector<std::u16string> names = Names(record, count);
    if (names.size() != count) {
        Fail("a rules record with fewer names than its Count was accepted");
    }
    for (std::size_t i = 0; i < processes.size(); ++i) {
        bool listed = false;
        for (const std::u16string &name : names) {
            listed = listed || name == kNames[i];
        }
        if (after[i] != (listed == interceptListed)) {
            Fail("an accepted rules record left a process's flag wrong");
        }
    }
    return true;
}

void SendQuic(const std::vector<std::uint8_t> &record)
{
    const LONG before = QuicBlockingEnabled;
    const NTSTATUS status = winsim::DeviceIoControl(device, IOCTL_QVR_SET_QUIC_BLOCKING, record, 0).status;
    NTSTATUS expected = STATUS_SUCCESS;
    if (record.size() < QUIC_BLOCKING_RECORD_MIN_SIZE) {
        expected = STATUS_BUFFER_TOO_SMALL;
    } else if (ReadU32(record, 0) > record.size() || ReadU32(record, 4) != QVR_RECORD_TYPE_QUIC_BLOCKING) {
        expected = STATUS_INVALID_PARAMETER;
    }
    if (status != expected) {
        Fail("a QUIC record got the wrong status");
    }
    const LONG wanted = NT_SUCCESS(status) ? static_cast<LONG>(ReadU32(record, 8)) : before;
    if (QuicBlockingEnabled != wanted) {
        Fail("the QUIC switch does not hold what the last accepted record said");
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    winsim::SetDebugOutput(false);
    device = qvr_fuzz::LoadAndOpen();
    for (std::size_t i = 0; i < processes.size(); ++i) {
        processes[i] = winsim::processes::Start(u"\\Device\\HarddiskVolume2\\Apps\\" + std::u16string(kNames[i]));
    }
    if (winsim::DeviceIoControl(device, IOCTL_QVR_SET_PROCESS_RULES, kStartRules, 0).status != STATUS_SUCCESS) {
        Fail("the starting rules were refused");
    }
    poolAtStart = qvr_fuzz::PoolCounts::Now();
    std::atexit([] {
        winsim::processes::Reset();
        qvr_fuzz::CloseAndUnload(&device);
    });
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    if (size == 0) {
        return 0;
    }
    const qvr_fuzz::PoolCounts pool = qvr_fuzz::PoolCounts::Now();
    const std::vector<std::uint8_t> record(data + 1, data + size);
    if ((data[0] & 1) == 0 && SendRules(record)) {
        (void)SendRules(kStartRules);
        qvr_fuzz::ExpectSettled(poolAtStart, "an accepted rules record and the starting rules again");
        return 0;
    }
    if ((data[0] & 1) != 0) {
        SendQuic(record);
    }
    qvr_fuzz::ExpectSettled(pool, "a configuration record");
    return 0;
}
