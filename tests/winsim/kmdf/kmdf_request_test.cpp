/*
 * kmdf_request_test.cpp
 *
 * Requests as the driver sees them: the METHOD_BUFFERED system buffer, minimum buffer
 * sizes, what completion copies back, completion exactly once by the owner, and many
 * callers at once.
 */
#include "kmdf_fixture.h"

#include <thread>

using namespace kmdftest;
using winsim::Identity;

TEST_F(KmdfTest, MethodBufferedSharesOneSystemBuffer)
{
    ASSERT_EQ(Load(), STATUS_SUCCESS);
    winsim::Handle handle = Open();
    winsim::IoResult shorter = winsim::DeviceIoControl(handle, kIoctlEcho, Bytes("abcdef"), 4);
    EXPECT_EQ(shorter.status, STATUS_SUCCESS);
    EXPECT_EQ(shorter.information, 4u);
    EXPECT_EQ(shorter.output, Bytes("fedc"));
    EXPECT_EQ(TestCounters().sharedBuffer, 1);

    winsim::IoResult longer = winsim::DeviceIoControl(handle, kIoctlEcho, Bytes("xyz"), 10);
    EXPECT_EQ(longer.information, 3u);
    EXPECT_EQ(longer.output, Bytes("zyx"));
}

TEST_F(KmdfTest, CompletionCopiesInformationBytesUnlessTheStatusIsAnError)
{
    ASSERT_EQ(Load(), STATUS_SUCCESS);
    winsim::Handle handle = Open();
    // The output is the system buffer, which still holds the input: the status and the count.
    winsim::IoResult warning =
        winsim::DeviceIoControl(handle, kIoctlStatus, Ulongs(static_cast<ULONG>(STATUS_BUFFER_OVERFLOW), 4), 8);
    EXPECT_EQ(warning.status, STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(warning.information, 4u);
    EXPECT_EQ(warning.output, std::vector<std::uint8_t>({0x05, 0x00, 0x00, 0x80}));

    winsim::IoResult error =
        winsim::DeviceIoControl(handle, kIoctlStatus, Ulongs(static_cast<ULONG>(STATUS_INVALID_PARAMETER), 4), 8);
    EXPECT_EQ(error.status, STATUS_INVALID_PARAMETER);
    EXPECT_TRUE(error.output.empty());
}

TEST_F(KmdfTest, BufferRetrievalHonoursMinimumSizes)
{
    ASSERT_EQ(Load(), STATUS_SUCCESS);
    winsim::Handle handle = Open();
    const struct {
        size_t inputLength;
        size_t minimum;
        NTSTATUS expected;
    } cases[] = {
        {0, 0, STATUS_BUFFER_TOO_SMALL},  // a zero-length buffer is always too small
        {4, 8, STATUS_BUFFER_TOO_SMALL},
        {8, 8, STATUS_SUCCESS},
        {9, 8, STATUS_SUCCESS},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.inputLength);
        TestCounters().minimumInput = c.minimum;
        std::vector<std::uint8_t> input(c.inputLength, 0x11);
        EXPECT_EQ(winsim::DeviceIoControl(handle, kIoctlMinimum, input, 0).status, c.expected);
    }
}

TEST_F(KmdfTest, SecondCompletionIsCaught)
{
    ASSERT_EQ(Load(), STATUS_SUCCESS);
    winsim::Handle handle = Open();
    winsim::ViolationCapture capture;
    EXPECT_EQ(winsim::DeviceIoControl(handle, kIoctlCompleteTwice, nullptr, 0, 0).status, STATUS_SUCCESS);
    ASSERT_TRUE(capture.Caught("WdfRequestComplete"));
    EXPECT_NE(capture.Violations().at(0).message.find("already completed by WdfRequestCompleteWithInformation"),
              std::string::npos);
}

TEST_F(KmdfTest, CompletingARequestThatSitsInAQueueIsCaught)
{
    ASSERT_EQ(Load(), STATUS_SUCCESS);
    winsim::Handle handle = Open();
    winsim::ViolationCapture capture;
    winsim::Overlapped io = winsim::DeviceIoControlOverlapped(handle, kIoctlCompleteParkedInQueue, nullptr, 0, 0);
    EXPECT_TRUE(capture.Caught("WdfRequestComplete"));
    EXPECT_EQ(io.InitialStatus(), STATUS_PENDING);
    EXPECT_EQ(winsim::CancelIoEx(handle, &io), STATUS_SUCCESS);
    ASSERT_TRUE(io.Wait(kWait));
    EXPECT_EQ(io.Result().status, STATUS_CANCELLED);
}

TEST_F(KmdfTest, OnlyBufferedTransferIsStoodIn)
{
    ASSERT_EQ(Load(), STATUS_SUCCESS);
    winsim::Handle handle = Open();
    winsim::ViolationCapture capture;
    EXPECT_EQ(winsim::DeviceIoControl(handle, kIoctlDirect, Bytes("x"), 1).status, STATUS_NOT_SUPPORTED);
    EXPECT_TRUE(capture.Caught("DeviceIoControl"));
}

TEST_F(KmdfTest, ConcurrentCallersGetTheirOwnResults)
{
    ASSERT_EQ(Load(), STATUS_SUCCESS);
    winsim::Handle handle = Open();
    std::atomic<int> mismatches{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 200; ++i) {
                std::string text = "t" + std::to_string(t) + "-" + std::to_string(i);
                std::string reversed(text.rbegin(), text.rend());
                winsim::IoResult result = winsim::DeviceIoControl(handle, kIoctlEcho, Bytes(text), text.size());
                if (result.status != STATUS_SUCCESS || result.output != Bytes(reversed)) {
                    ++mismatches;
                }
            }
        });
    }
    for (auto &thread : threads) {
        thread.join();
    }
    EXPECT_EQ(mismatches, 0);
}
