// The driver's trace points through the WPP stand-in: written only under a session's flag
// and level, with the point's level, flag, arguments and rendered text; the provider is
// registered exactly while the driver is loaded.
#include "driver_fixture.h"

#include <winsim/trace_session.h>

#include <wpp/wpp_format.h>

#include <algorithm>
#include <cstdlib>

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
    EXPECT_EQ(refused[0].message, "BuildNameTable: name 1 (CHROME.EXE) not entered 0xc0000001(STATUS_UNSUCCESSFUL)");
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

// A provider of the tests' own, apart from the driver's.
constexpr GUID kTestGuid = {0x11111111, 0x2222, 0x3333, {0x44, 0x44, 0x55, 0x55, 0x55, 0x55, 0x55, 0x55}};

struct EnableState {
    int calls = 0;
    UCHAR lastCode = 0xFF;
    TRACE_ENABLE_CONTEXT context{};
};

VOID NTAPI RecordEnable(LPCGUID, UCHAR ControlCode, PVOID EnableContext, PVOID CallbackContext)
{
    EnableState *state = static_cast<EnableState *>(CallbackContext);
    ++state->calls;
    state->lastCode = ControlCode;
    if (EnableContext != nullptr) {
        state->context = *static_cast<TRACE_ENABLE_CONTEXT *>(EnableContext);
    }
}

bool OutstandingMentions(const std::string &text)
{
    for (const std::string &item : winsim::Outstanding()) {
        if (item.find(text) != std::string::npos) {
            return true;
        }
    }
    return false;
}

// A registration nobody ends is a held item, as a missing WPP_CLEANUP must show at unload;
// a session that exists first enables the provider as it registers.
TEST(EtwProviderTest, RegistrationIsHeldUntilUnregistered)
{
    winsim::TraceSession session(kTestGuid, 0x5, TRACE_LEVEL_WARNING);
    EnableState state;
    REGHANDLE handle = 0;
    ASSERT_EQ(EtwRegisterClassicProvider(&kTestGuid, 0, RecordEnable, &state, &handle), STATUS_SUCCESS);
    EXPECT_EQ(state.lastCode, EVENT_CONTROL_CODE_ENABLE_PROVIDER);
    EXPECT_EQ(state.context.EnableFlags, 0x5u);
    EXPECT_EQ(state.context.Level, TRACE_LEVEL_WARNING);
    EXPECT_TRUE(OutstandingMentions("{11111111-2222-3333-4444-555555555555}"));

    session.Disable();
    EXPECT_EQ(state.lastCode, EVENT_CONTROL_CODE_DISABLE_PROVIDER);

    ASSERT_EQ(EtwUnregister(handle), STATUS_SUCCESS);
    EXPECT_FALSE(OutstandingMentions("{11111111-2222-3333-4444-555555555555}"));
    const int calls = state.calls;
    session.Enable(0x1, TRACE_LEVEL_VERBOSE);
    EXPECT_EQ(state.calls, calls) << "no callback after EtwUnregister";

    winsim::ViolationCapture capture;
    EXPECT_EQ(EtwUnregister(handle), STATUS_INVALID_HANDLE);
    EXPECT_TRUE(capture.Caught("EtwUnregister"));
}

TEST(EtwProviderTest, FailedRegistrationLeavesNothing)
{
    winsim::faults::FailCall("EtwRegisterClassicProvider", STATUS_INSUFFICIENT_RESOURCES);
    EnableState state;
    REGHANDLE handle = 7;
    EXPECT_EQ(EtwRegisterClassicProvider(&kTestGuid, 0, RecordEnable, &state, &handle), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(handle, 0u);
    EXPECT_FALSE(winsim::IsTraceProviderRegistered(kTestGuid));
}

// What a consumer reads for each kind of argument, null texts included.
TEST(EtwProviderTest, PointsRenderEveryKindOfArgument)
{
    winsim::TraceSession session(kTestGuid, 0x1, TRACE_LEVEL_VERBOSE);
    EnableState state;
    REGHANDLE handle = 0;
    ASSERT_EQ(EtwRegisterClassicProvider(&kTestGuid, 0, RecordEnable, &state, &handle), STATUS_SUCCESS);
    const TRACEHANDLE logger = state.context.LoggerId;

    WCHAR name[] = u"chr\u00F6me.exe";
    UNICODE_STRING counted = {static_cast<USHORT>(10 * sizeof(WCHAR)), sizeof(name), name};
    const IN6_ADDR v6 = {{{0xfe, 0x80, 0, 0, 0, 0, 0, 0, 0x02, 0x1b, 0, 0, 0, 0, 0, 0x01}}};
    const WPP_SIM_ARG args[] = {
        WppSim::Pack(static_cast<LONG64>(-5)), WppSim::Pack(0xABCDu), WppSim::Pack(&counted),
        WppSim::Pack(static_cast<PCUNICODE_STRING>(nullptr)), WppSim::Pack(static_cast<PCSTR>(nullptr)),
        WppSim::Pack(static_cast<NTSTATUS>(STATUS_NOT_FOUND)), WppSim::Pack(&kTestGuid),
        // 127.0.0.1 and port 80 in network order, as WPP's IPADDR and PORT take them.
        WppSim::Pack(static_cast<ULONG>(0x0100007F)), WppSim::Pack(static_cast<USHORT>(0x5000)),
        WppSim::Pack(&v6), WppSim::Pack(static_cast<const IN6_ADDR *>(nullptr))};
    WppSimTraceMessage(logger, TRACE_LEVEL_ERROR, 0x1, "TRACE_TEST", "/src/x/some_file.cpp", 42, "SomeFunction",
                       "%!FUNC! %I64d %08X [%wZ] %wZ %s %!STATUS! %!GUID! %!LEVEL! %!FLAGS! %!FILE!:%!LINE! 100%% "
                       "%!IPADDR!:%!PORT! [%!IPV6ADDR!] %!IPV6ADDR!",
                       args, 11);
    EtwUnregister(handle);

    std::vector<TraceRecord> records = session.Records();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].message,
              "SomeFunction -5 0000ABCD [chr\xC3\xB6me.exe] NULL NULL 0xc0000225(STATUS_NOT_FOUND) "
              "{11111111-2222-3333-4444-555555555555} TRACE_LEVEL_ERROR TRACE_TEST some_file.cpp:42 100% "
              "127.0.0.1:80 [fe80::21b:0:0:1] NULL");
    ASSERT_EQ(records[0].arguments.size(), 11u);
    EXPECT_EQ(records[0].arguments[9].bytes, std::vector<std::uint8_t>(v6.u.Byte, v6.u.Byte + 16));
    EXPECT_TRUE(records[0].arguments[0].isSigned);
    EXPECT_EQ(static_cast<std::int64_t>(records[0].arguments[0].value), -5);
    EXPECT_EQ(records[0].arguments[2].text, "chr\xC3\xB6me.exe");
}

// WINSIM_TRACE=all: a provider no session enables hears the background session, which a
// session takes over while it lives; the background's points go nowhere.
TEST(EtwProviderTest, BackgroundSessionEnablesEveryProviderNoSessionHas)
{
    const char *before = std::getenv("WINSIM_TRACE");
    const std::string saved = before != nullptr ? before : "";
    setenv("WINSIM_TRACE", "all", 1);
    EnableState state;
    REGHANDLE handle = 0;
    ASSERT_EQ(EtwRegisterClassicProvider(&kTestGuid, 0, RecordEnable, &state, &handle), STATUS_SUCCESS);
    if (before != nullptr) {
        setenv("WINSIM_TRACE", saved.c_str(), 1);
    } else {
        unsetenv("WINSIM_TRACE");
    }
    EXPECT_EQ(state.lastCode, EVENT_CONTROL_CODE_ENABLE_PROVIDER);
    EXPECT_EQ(state.context.EnableFlags, 0xFFFFFFFFu);
    EXPECT_EQ(state.context.Level, 0xFF);
    {
        winsim::TraceSession session(kTestGuid, 0x1, TRACE_LEVEL_ERROR);
        EXPECT_EQ(state.context.EnableFlags, 0x1u);
        EXPECT_EQ(state.context.Level, TRACE_LEVEL_ERROR);
    }
    EXPECT_EQ(state.lastCode, EVENT_CONTROL_CODE_ENABLE_PROVIDER);
    EXPECT_EQ(state.context.EnableFlags, 0xFFFFFFFFu);
    EtwUnregister(handle);
}

// A record as tracefmt prints it: processor, process and thread, time, friendly name, flag,
// level and function, then the message; an unnamed status is its value alone.
TEST(EtwProviderTest, RecordsPrintAsATraceConsumerPrintsThem)
{
    winsim::TraceSession session(kTestGuid, 0x1, TRACE_LEVEL_VERBOSE);
    EnableState state;
    REGHANDLE handle = 0;
    ASSERT_EQ(EtwRegisterClassicProvider(&kTestGuid, 0, RecordEnable, &state, &handle), STATUS_SUCCESS);
    const WPP_SIM_ARG args[] = {WppSim::Pack(static_cast<NTSTATUS>(0xC0DE0001))};
    WppSimTraceMessage(state.context.LoggerId, TRACE_LEVEL_WARNING, 0x1, "TRACE_TEST", "f.cpp", 1, "SomeFunction",
                       "odd %!STATUS!", args, 1);
    EtwUnregister(handle);

    std::vector<TraceRecord> records = session.TakeRecords();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_TRUE(session.Records().empty()) << "taken records are the session's no more";
    records[0].time = 127401648916250000;  // 09/20/2004-14:41:31.625 UTC
    records[0].processId = 0xC40;
    records[0].threadId = 0xC3C;
    EXPECT_EQ(winsim::FormatTraceRecord(records[0], "tracedrv"),
              "[0]0C40.0C3C::09/20/2004-14:41:31.625 [tracedrv]TRACE_TEST TRACE_LEVEL_WARNING SomeFunction: "
              "odd 0xc0de0001");
}

}  // namespace
}  // namespace qvr_test
