// The service's configuration requests through real I/O controls: every refusal the
// driver can give, with its exact status, and that a refused record changes nothing.
#include "driver_fixture.h"

#include "driver/frame/driver_state.h"
#include "driver/policy/rule_store.h"

#include <string>
#include <thread>

namespace qvr_test {
namespace {

// The rule store's verdict on an image path, as the process table will ask it.
bool Intercepted(const std::u16string &path)
{
    UNICODE_STRING string;
    string.Buffer = const_cast<PWCH>(reinterpret_cast<PCWCH>(path.data()));
    string.Length = static_cast<USHORT>(path.size() * sizeof(WCHAR));
    string.MaximumLength = string.Length;
    return IsImageIntercepted(&string) != FALSE;
}

const std::u16string kChrome = u"\\Device\\HarddiskVolume2\\Program Files\\chrome.exe";
const std::u16string kNotepad = u"\\Device\\HarddiskVolume2\\Windows\\notepad.exe";

class ControlRequestsTest : public DriverTest {
protected:
    // Installs "chrome.exe" as the only intercepted name, the state a refusal must keep.
    void InstallChromeOnly()
    {
        ASSERT_EQ(Control(IOCTL_QVR_SET_PROCESS_RULES, RulesRecord(1, {u"chrome.exe"})).status, STATUS_SUCCESS);
        ASSERT_TRUE(Intercepted(kChrome));
        ASSERT_FALSE(Intercepted(kNotepad));
    }

    void ExpectChromeOnly()
    {
        EXPECT_TRUE(Intercepted(kChrome));
        EXPECT_FALSE(Intercepted(kNotepad));
    }
};

struct Refusal {
    const char *name;
    std::vector<std::uint8_t> input;
    NTSTATUS expected;
};

std::vector<std::uint8_t> Truncated(std::vector<std::uint8_t> bytes, size_t length)
{
    bytes.resize(length);
    return bytes;
}

std::vector<std::uint8_t> WithoutLastTerminator(std::vector<std::uint8_t> bytes)
{
    bytes.resize(bytes.size() - 2);
    bytes[0] = static_cast<std::uint8_t>(bytes.size());
    return bytes;
}

std::vector<Refusal> RulesRefusals()
{
    return {
        {"Empty", {}, STATUS_BUFFER_TOO_SMALL},
        {"ShorterThan18Bytes", Truncated(RulesRecord(1, {u"a"}), 17), STATUS_BUFFER_TOO_SMALL},
        {"SizeAboveInputLength", RulesRecord(1, {u"a.exe"}, 200), STATUS_BUFFER_TOO_SMALL},
        {"TypeNotRules", RulesRecord(1, {u"a.exe"}, std::nullopt, QVR_RECORD_TYPE_QUIC_BLOCKING), STATUS_INVALID_PARAMETER},
        {"LastNameUnterminated", WithoutLastTerminator(RulesRecord(1, {u"a.exe", u"b.exe"})), STATUS_INVALID_PARAMETER},
        {"FewerNamesThanCount", RulesRecordWithCount(1, 3, {u"a.exe", u"b.exe"}), STATUS_INVALID_PARAMETER},
        {"NamesDifferingInCase", RulesRecord(1, {u"Chrome.EXE", u"firefox.exe", u"chrome.exe"}), STATUS_UNSUCCESSFUL},
        {"TwoEmptyNames", RulesRecord(1, {u"", u""}), STATUS_UNSUCCESSFUL},
        {"NameTooLongForACountedString", RulesRecord(1, {std::u16string(32767, u'x')}), STATUS_INVALID_PARAMETER},
    };
}

TEST_F(ControlRequestsTest, RefusedRulesRecordsKeepTheOldRules)
{
    InstallChromeOnly();
    for (const Refusal &refusal : RulesRefusals()) {
        winsim::IoResult result = Control(IOCTL_QVR_SET_PROCESS_RULES, refusal.input);
        EXPECT_EQ(result.status, refusal.expected) << refusal.name;
        EXPECT_EQ(result.information, 0u) << refusal.name;
        ExpectChromeOnly();
    }
}

TEST_F(ControlRequestsTest, RulesOutOfMemoryKeepsTheOldRules)
{
    InstallChromeOnly();
    const std::vector<std::uint8_t> record = RulesRecord(1, {u"a.exe", u"b.exe", u"c.exe"});
    // The new table, then a node and a name buffer per name: every one of them may fail.
    for (std::uint64_t n = 1; n <= 7; ++n) {
        winsim::faults::FailNthAllocation(n);
        EXPECT_EQ(Control(IOCTL_QVR_SET_PROCESS_RULES, record).status, STATUS_NO_MEMORY) << "allocation " << n;
        winsim::faults::Clear();
        ExpectChromeOnly();
    }
    EXPECT_EQ(Control(IOCTL_QVR_SET_PROCESS_RULES, record).status, STATUS_SUCCESS);
    EXPECT_FALSE(Intercepted(kChrome));
    EXPECT_TRUE(Intercepted(u"\\x\\B.EXE"));
}

TEST_F(ControlRequestsTest, EmptyListOf18BytesFollowsTheMode)
{
    // Count 0 with one zero character: the smallest record there is.
    std::vector<std::uint8_t> record = RulesRecord(1, {});
    record.resize(PROCESS_RULES_RECORD_MIN_SIZE, 0);
    record[0] = PROCESS_RULES_RECORD_MIN_SIZE;
    ASSERT_EQ(Control(IOCTL_QVR_SET_PROCESS_RULES, record).status, STATUS_SUCCESS);
    EXPECT_FALSE(Intercepted(kChrome));
    EXPECT_FALSE(Intercepted(kNotepad));

    record[8] = 0;  // Mode zero: an empty exemption list intercepts everything.
    ASSERT_EQ(Control(IOCTL_QVR_SET_PROCESS_RULES, record).status, STATUS_SUCCESS);
    EXPECT_TRUE(Intercepted(kChrome));
    EXPECT_TRUE(Intercepted(kNotepad));
}

TEST_F(ControlRequestsTest, NamesAfterTheCountAndTrailingBytesAreIgnored)
{
    std::vector<std::uint8_t> record = RulesRecordWithCount(1, 1, {u"chrome.exe", u"notepad.exe"});
    record.push_back(0x41);  // an odd trailing byte is not part of the names area
    ASSERT_EQ(Control(IOCTL_QVR_SET_PROCESS_RULES, record).status, STATUS_SUCCESS);
    ExpectChromeOnly();
}

TEST_F(ControlRequestsTest, SizeBelowInputLengthIsAccepted)
{
    // Size only has to fit the input; it does not bound the names area.
    ASSERT_EQ(Control(IOCTL_QVR_SET_PROCESS_RULES, RulesRecord(1, {u"chrome.exe"}, 18)).status, STATUS_SUCCESS);
    ExpectChromeOnly();
}

TEST_F(ControlRequestsTest, RefusedQuicRecordsKeepTheSwitch)
{
    ASSERT_EQ(Control(IOCTL_QVR_SET_QUIC_BLOCKING, QuicRecord(1)).status, STATUS_SUCCESS);
    const std::vector<Refusal> refusals = {
        {"Empty", {}, STATUS_BUFFER_TOO_SMALL},
        {"ShorterThan12Bytes", Truncated(QuicRecord(0), 11), STATUS_BUFFER_TOO_SMALL},
        {"SizeAboveInputLength", QuicRecord(0, 13), STATUS_INVALID_PARAMETER},
        {"TypeNotQuic", QuicRecord(0, std::nullopt, QVR_RECORD_TYPE_PROCESS_RULES), STATUS_INVALID_PARAMETER},
    };
    for (const Refusal &refusal : refusals) {
        winsim::IoResult result = Control(IOCTL_QVR_SET_QUIC_BLOCKING, refusal.input);
        EXPECT_EQ(result.status, refusal.expected) << refusal.name;
        EXPECT_EQ(QuicBlockingEnabled, 1) << refusal.name;
    }
}

TEST_F(ControlRequestsTest, QuicSwitchStoresTheValueUnchanged)
{
    EXPECT_EQ(QuicBlockingEnabled, 0);
    ASSERT_EQ(Control(IOCTL_QVR_SET_QUIC_BLOCKING, QuicRecord(7)).status, STATUS_SUCCESS);
    EXPECT_EQ(QuicBlockingEnabled, 7);
    // A longer input than Size is fine.
    std::vector<std::uint8_t> off = QuicRecord(0);
    off.resize(32, 0xEE);
    ASSERT_EQ(Control(IOCTL_QVR_SET_QUIC_BLOCKING, off).status, STATUS_SUCCESS);
    EXPECT_EQ(QuicBlockingEnabled, 0);
}

// Services' threads replacing the rules at once through the parallel queue: the last
// replacement wins whole, and nothing of the others is left behind.
TEST_F(ControlRequestsTest, ConcurrentReplacementsLeaveOneWholeList)
{
    const std::vector<std::uint8_t> chromeOnly = RulesRecord(1, {u"chrome.exe"});
    const std::vector<std::uint8_t> allButChrome = RulesRecord(0, {u"chrome.exe"});
    std::vector<std::thread> senders;
    for (int t = 0; t < 2; ++t) {
        senders.emplace_back([&, t] {
            for (int i = 0; i < 100; ++i) {
                EXPECT_EQ(Control(IOCTL_QVR_SET_PROCESS_RULES, t == 0 ? chromeOnly : allButChrome).status,
                          STATUS_SUCCESS);
            }
        });
    }
    for (std::thread &sender : senders) {
        sender.join();
    }
    // Either list with its own mode: chrome and notepad are judged opposite ways.
    EXPECT_NE(Intercepted(kChrome), Intercepted(kNotepad));
    ASSERT_EQ(Control(IOCTL_QVR_SET_PROCESS_RULES, chromeOnly).status, STATUS_SUCCESS);
    ExpectChromeOnly();
}

// A kernel-mode sender may deliver a request at DISPATCH_LEVEL: the queue hands it to a
// worker thread, so the rule replacement (an executive resource and a rescan that waits)
// still runs at PASSIVE_LEVEL and the verifier stays quiet.
TEST_F(ControlRequestsTest, RequestDeliveredRaisedIsHandledAtPassiveLevel)
{
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    winsim::Overlapped sent =
        winsim::KernelDeviceIoControl(device_, IOCTL_QVR_SET_PROCESS_RULES, RulesRecord(1, {u"chrome.exe"}), 0);
    KeLowerIrql(old);
    ASSERT_TRUE(sent.Wait(std::chrono::seconds(10)));
    EXPECT_EQ(sent.Result().status, STATUS_SUCCESS);
    ExpectChromeOnly();
}

TEST_F(ControlRequestsTest, UnknownControlCodesAreInvalidParameters)
{
    const ULONG codes[] = {
        CTL_CODE(QVR_DEVICE_TYPE, 0x802, METHOD_BUFFERED, FILE_WRITE_ACCESS),
        CTL_CODE(QVR_DEVICE_TYPE, 0x806, METHOD_BUFFERED, FILE_ANY_ACCESS),
        CTL_CODE(QVR_DEVICE_TYPE, 0x803, METHOD_BUFFERED, FILE_ANY_ACCESS),
    };
    for (ULONG code : codes) {
        winsim::IoResult result = Control(code, QuicRecord(1), 16);
        EXPECT_EQ(result.status, STATUS_INVALID_PARAMETER) << std::hex << code;
        EXPECT_EQ(result.information, 0u);
    }
    EXPECT_EQ(QuicBlockingEnabled, 0);
}

// The configuration codes require write access to the handle.
TEST_F(ControlRequestsTest, ReadOnlyHandleCannotConfigure)
{
    winsim::OpenResult open = winsim::OpenDevice(kControlDevice, winsim::Identity::LocalSystem, GENERIC_READ);
    ASSERT_EQ(open.status, STATUS_SUCCESS);
    std::vector<std::uint8_t> quic = QuicRecord(1);
    EXPECT_EQ(winsim::DeviceIoControl(open.handle, IOCTL_QVR_SET_QUIC_BLOCKING, quic, 0).status,
              STATUS_ACCESS_DENIED);
    std::vector<std::uint8_t> rules = RulesRecord(1, {u"x.exe"});
    EXPECT_EQ(winsim::DeviceIoControl(open.handle, IOCTL_QVR_SET_PROCESS_RULES, rules, 0).status,
              STATUS_ACCESS_DENIED);
    EXPECT_EQ(QuicBlockingEnabled, 0);
    winsim::CloseHandle(open.handle);
}

}  // namespace
}  // namespace qvr_test
