// TrayHerald's error type, ThrowLastError and the event-handle owner, run under Wine.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "utils.h"

namespace {

struct LastErrorCase {
    const char* context;
    DWORD code;
    const char* text;
};

TEST(TrayErrors, ThrowLastErrorReportsContextAndCodeInUnsignedDecimal)
{
    const LastErrorCase cases[] = {
        {"Can't create event.", 5, "Can't create event. Error = 5"},
        {"Can't wait event.", ERROR_INVALID_HANDLE, "Can't wait event. Error = 6"},
        {"Can't wait event.", 0, "Can't wait event. Error = 0"},
        {"Can't create event.", 0xFFFFFFFFu, "Can't create event. Error = 4294967295"},
    };
    for (const LastErrorCase& c : cases) {
        SCOPED_TRACE(c.text);
        SetLastError(c.code);
        try {
            ThrowLastError(c.context);
            ADD_FAILURE() << "ThrowLastError returned";
        } catch (const utils::EventEx& error) {
            EXPECT_STREQ(c.text, error.what());
            EXPECT_EQ(c.code, error.ErrorCode());
            // Thrown by value: a copy carries the same text and code.
            const utils::EventEx copy(error);
            EXPECT_STREQ(c.text, copy.what());
            EXPECT_EQ(c.code, copy.ErrorCode());
        }
    }
}

HANDLE NewEvent(BOOL signalled)
{
    HANDLE event = CreateEventW(nullptr, TRUE, signalled, nullptr);
    EXPECT_NE(nullptr, event);
    return event;
}

TEST(EventHandle, WaitOnSignalledEventIsTrue)
{
    utils::EventHandle handle(NewEvent(TRUE), 5000);
    EXPECT_TRUE(handle.Wait());
    // Manual reset: the wait leaves it signalled.
    EXPECT_TRUE(handle.Wait());
}

TEST(EventHandle, WaitThatRunsOutIsFalseAfterTheTimeOut)
{
    constexpr DWORD kWaitMs = 200;
    utils::EventHandle handle(NewEvent(FALSE), kWaitMs);
    const ULONGLONG start = GetTickCount64();
    EXPECT_FALSE(handle.Wait());
    const ULONGLONG elapsed = GetTickCount64() - start;
    // The tick count has a granularity of up to about 16 ms.
    EXPECT_GE(elapsed, kWaitMs - 20);
    EXPECT_LT(elapsed, 5000u);
}

DWORD WINAPI TakeAndKeep(void* mutex)
{
    WaitForSingleObject(static_cast<HANDLE>(mutex), INFINITE);
    return 0;
}

TEST(EventHandle, WaitAfterCloseRaisesHandleReleased)
{
    utils::EventHandle handle(NewEvent(TRUE), 1000);
    handle.Close();
    EXPECT_EQ(nullptr, handle.Get());
    handle.Close();  // closing twice is harmless
    try {
        handle.Wait();
        ADD_FAILURE() << "Wait on a closed handle returned";
    } catch (const utils::EventEx& error) {
        EXPECT_STREQ("Event handle was released", error.what());
        EXPECT_EQ(0u, error.ErrorCode());
    }
}

TEST(EventHandle, FailedWaitRaisesWithTheWaitsError)
{
    // A value that was never a handle: the wait fails with ERROR_INVALID_HANDLE.
    utils::EventHandle handle(reinterpret_cast<HANDLE>(static_cast<ULONG_PTR>(0x7FF0)), 1000);
    try {
        handle.Wait();
        ADD_FAILURE() << "Wait on an invalid handle returned";
    } catch (const utils::EventEx& error) {
        EXPECT_STREQ("Can't wait event. Error = 6", error.what());
        EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), error.ErrorCode());
    }
    handle.Close();
}

TEST(EventHandle, AbandonedWaitRaisesWithItsOwnCode)
{
    HANDLE mutex = CreateMutexW(nullptr, FALSE, nullptr);
    ASSERT_NE(nullptr, mutex);
    // A thread that ends while owning the mutex abandons it.
    HANDLE owner = CreateThread(nullptr, 0, TakeAndKeep, mutex, 0, nullptr);
    ASSERT_NE(nullptr, owner);
    WaitForSingleObject(owner, INFINITE);
    CloseHandle(owner);

    SetLastError(ERROR_ACCESS_DENIED);  // a stale code the report must not carry
    utils::EventHandle handle(mutex, 1000);
    try {
        handle.Wait();
        ADD_FAILURE() << "Wait on an abandoned mutex returned";
    } catch (const utils::EventEx& error) {
        EXPECT_STREQ("Can't wait event. Error = 735", error.what());
        EXPECT_EQ(static_cast<DWORD>(ERROR_ABANDONED_WAIT_0), error.ErrorCode());
    }
}

TEST(EventHandle, HandleIsClosedWhenTheOwnerGoesAlsoWhileAnErrorPropagates)
{
    DWORD flags = 0;
    HANDLE owned = nullptr;
    {
        utils::EventHandle handle(NewEvent(FALSE), 1000);
        owned = handle.Get();
        ASSERT_TRUE(GetHandleInformation(owned, &flags));
    }
    EXPECT_FALSE(GetHandleInformation(owned, &flags));

    try {
        utils::EventHandle handle(NewEvent(FALSE), 1000);
        owned = handle.Get();
        ASSERT_TRUE(GetHandleInformation(owned, &flags));
        throw utils::EventEx("unwinding", 0);
    } catch (const utils::EventEx&) {
    }
    EXPECT_FALSE(GetHandleInformation(owned, &flags));
}

}  // namespace
