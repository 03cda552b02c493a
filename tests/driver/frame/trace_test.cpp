// The driver's trace points through the WPP stand-in: written only under a session's flag
// and level, with the point's level, flag, arguments and rendered text; the provider is
// registered exactly while the driver is loaded.
#include "driver_fixture.h"

#include <winsim/trace_session.h>

#include <algorithm>

namespace qvr_test {
namespace {

using winsim::TraceRecord;

bool AnyWith(const std::vector<TraceRecord> &records, std::uint32_t flag)
{
    return std::any_of(records.begin(), records.end(), [&](const TraceRecord &r) { return r.flag == flag; });
}

TEST(DriverTraceTest, EntryAndRulesPointsCarryTheirLevelAndFlag)
{
    winsim::TraceSession session(kDriverTraceGuid, kTraceDriver | kTraceRules, TRACE_LEVEL_VERBOSE);
    ASSERT_EQ(winsim::LoadDriver(DriverEntry, kDriverService), STATUS_SUCCESS);

    std::vector<TraceRecord> entry = session.Matching("REGISTRY");
    ASSERT_EQ(entry.size(), 1u);
    EXPECT_EQ(entry[0].function, "DriverEntry");
    EXPECT_EQ(entry[0].file, "driver_entry.cpp");
    EXPECT_EQ(entry[0].level, TRACE_LEVEL_INFORMATION);
    EXPECT_EQ(entry[0].flag, kTraceDriver);
    EXPECT_EQ(entry[0].flagName, "TRACE_DRIVER");
    EXPECT_EQ(entry[0].message, "DriverEntry: \\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Services\\qvrdrv");

    winsim::OpenResult open = winsim::OpenDevice(kControlDevice, winsim::Identity::LocalSystem);
    ASSERT_EQ(open.status, STATUS_SUCCESS);
    session.Clear();
    std::vector<std::uint8_t> duplicate = RulesRecord(1, {u"Chrome.exe", u"CHROME.EXE"});
    EXPECT_EQ(winsim::DeviceIoControl(open.handle, IOCTL_QVR_SET_PROCESS_RULES, duplicate, 0).status,
              STATUS_UNSUCCESSFUL);

    std::vector<TraceRecord> refused = session.Matching("not entered");
    ASSERT_EQ(refused.size(), 1u);
    EXPECT_EQ(refused[0].level, TRACE_LEVEL_ERROR);
    EXPECT_EQ(refused[0].flag, kTraceRules);
    EXPECT_EQ(refused[0].message, "BuildNameTable: name 1 (CHROME.EXE) not entered STATUS_UNSUCCESSFUL");
    ASSERT_EQ(refused[0].arguments.size(), 3u);
    EXPECT_EQ(refused[0].arguments[0].value, 1u);
    EXPECT_EQ(refused[0].arguments[1].text, "CHROME.EXE");
    EXPECT_EQ(static_cast<NTSTATUS>(refused[0].arguments[2].value), STATUS_UNSUCCESSFUL);

    winsim::CloseHandle(open.handle);
    UnloadDriverClean();
}

TEST(DriverTraceTest, FlagAndLevelSelectWhatIsWritten)
{
    winsim::TraceSession session(kDriverTraceGuid, kTraceRules, TRACE_LEVEL_ERROR);
    ASSERT_EQ(winsim::LoadDriver(DriverEntry, kDriverService), STATUS_SUCCESS);
    winsim::OpenResult open = winsim::OpenDevice(kControlDevice, winsim::Identity::LocalSystem);
    ASSERT_EQ(open.status, STATUS_SUCCESS);

    std::vector<std::uint8_t> good = RulesRecord(1, {u"a.exe"});
    std::vector<std::uint8_t> bad = RulesRecord(1, {u"a.exe"}, std::nullopt, 9);
    std::vector<std::uint8_t> quic = QuicRecord(1, std::nullopt, 9);
    EXPECT_EQ(winsim::DeviceIoControl(open.handle, IOCTL_QVR_SET_PROCESS_RULES, good, 0).status, STATUS_SUCCESS);
    EXPECT_EQ(winsim::DeviceIoControl(open.handle, IOCTL_QVR_SET_PROCESS_RULES, bad, 0).status,
              STATUS_INVALID_PARAMETER);
    EXPECT_EQ(winsim::DeviceIoControl(open.handle, IOCTL_QVR_SET_QUIC_BLOCKING, quic, 0).status,
              STATUS_INVALID_PARAMETER);

    // Only rule-store points at error level or above: the refused type, nothing of the
    // successful request's information points, nothing of the QUIC handler's.
    std::vector<TraceRecord> records = session.Records();
    ASSERT_FALSE(records.empty());
    EXPECT_FALSE(AnyWith(records, kTraceDriver));
    for (const TraceRecord &record : records) {
        EXPECT_LE(record.level, TRACE_LEVEL_ERROR) << record.message;
    }
    EXPECT_EQ(session.Matching("record type 9").size(), 1u);

    // A session that changes its settings is obeyed at once.
    session.Clear();
    session.Enable(kTraceDriver, TRACE_LEVEL_INFORMATION);
    EXPECT_EQ(winsim::DeviceIoControl(open.handle, IOCTL_QVR_SET_QUIC_BLOCKING, quic, 0).status,
              STATUS_INVALID_PARAMETER);
    records = session.Records();
    EXPECT_TRUE(AnyWith(records, kTraceDriver));
    EXPECT_FALSE(AnyWith(records, kTraceRules));

    session.Disable();
    session.Clear();
    EXPECT_EQ(winsim::DeviceIoControl(open.handle, IOCTL_QVR_SET_QUIC_BLOCKING, quic, 0).status,
              STATUS_INVALID_PARAMETER);
    EXPECT_TRUE(session.Records().empty());

    winsim::CloseHandle(open.handle);
    UnloadDriverClean();
}

TEST(DriverTraceTest, NothingIsWrittenWithoutASession)
{
    ASSERT_EQ(winsim::LoadDriver(DriverEntry, kDriverService), STATUS_SUCCESS);
    EXPECT_TRUE(winsim::IsTraceProviderRegistered(kDriverTraceGuid));
    // A session that starts while the driver runs enables the registered provider.
    winsim::TraceSession session(kDriverTraceGuid, kTraceDriver, TRACE_LEVEL_INFORMATION);
    UnloadDriverClean();
    EXPECT_EQ(session.Matching("DriverUnload").size(), 1u);
    EXPECT_FALSE(winsim::IsTraceProviderRegistered(kDriverTraceGuid));
}

}  // namespace
}  // namespace qvr_test
