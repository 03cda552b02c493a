// TrayHerald's worker thread against the real named event: the "Finished" balloon and the
// close request after the pause, whether the event was set or the wait ran out (the test
// build waits kUpdateWaitMs, one second), what happens when the event cannot be had, and how
// the worker's start copes with a runtime that cannot create it.
#include <windows.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <process.h>

#include "tray_test_support.h"
#include "update_watcher.h"

namespace {

// Dispatches this thread's messages until WM_QUIT arrives (true) or timeoutMs has passed.
bool PumpUntilQuit(DWORD timeoutMs)
{
    const ULONGLONG deadline = GetTickCount64() + timeoutMs;
    for (;;) {
        MSG message;
        while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
            if (message.message == WM_QUIT) {
                return true;
            }
            TranslateMessage(&message);
            DispatchMessageW(&message);
        }
        const ULONGLONG now = GetTickCount64();
        if (now >= deadline) {
            return false;
        }
        MsgWaitForMultipleObjects(0, nullptr, FALSE, static_cast<DWORD>(deadline - now), QS_ALLINPUT);
    }
}

bool IsFinishedBalloon(const ShellCall& call)
{
    return call.message == NIM_MODIFY && call.data.uFlags == NIF_INFO &&
           call.data.dwInfoFlags == NIIF_INFO && wcscmp(call.data.szInfo, L"Finished") == 0 &&
           wcscmp(call.data.szInfoTitle, L"Updating...") == 0;
}

class TrayWorkerTest : public TrayWindowTest {};

TEST_F(TrayWorkerTest, SignalledEventShowsFinishedThenClosesTheWindowAfterThePause)
{
    // The updater has already set the event when the program starts.
    HANDLE event = CreateEventW(nullptr, TRUE, FALSE, kUpdateEventName);
    ASSERT_NE(nullptr, event);
    ASSERT_TRUE(SetEvent(event));
    HWND window = CreateWindowUnderTest();
    ASSERT_NE(nullptr, window);
    shell_.Clear();

    const ULONGLONG start = GetTickCount64();
    HANDLE worker = StartWorker(&window);
    ASSERT_NE(nullptr, worker);
    ASSERT_TRUE(PumpUntilQuit(10000)) << "the window was not closed";
    const ULONGLONG closedAfter = GetTickCount64() - start;

    EXPECT_FALSE(IsWindow(window));
    EXPECT_GE(closedAfter, kFinishedPauseMs - 20);
    EXPECT_LT(closedAfter, kFinishedPauseMs + 2000);
    const auto calls = shell_.Calls();
    ASSERT_EQ(2u, calls.size());
    EXPECT_TRUE(IsFinishedBalloon(calls[0]));
    EXPECT_EQ(window, calls[0].data.hWnd);
    EXPECT_EQ(static_cast<DWORD>(NIM_DELETE), calls[1].message);

    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(worker, 5000));
    CloseHandle(worker);
    EXPECT_EQ(0, WorkerExitCode());
    // The program never resets the event: a later instance would end its wait at once.
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(event, 0));
    CloseHandle(event);
}

TEST_F(TrayWorkerTest, WaitThatRunsOutShowsFinishedThenClosesTheWindowAfterThePause)
{
    HWND window = CreateWindowUnderTest();
    ASSERT_NE(nullptr, window);
    shell_.Clear();

    const ULONGLONG start = GetTickCount64();
    HANDLE worker = StartWorker(&window);
    ASSERT_NE(nullptr, worker);
    ASSERT_TRUE(PumpUntilQuit(kUpdateWaitMs + kFinishedPauseMs + 5000)) << "the window was not closed";
    const ULONGLONG closedAfter = GetTickCount64() - start;

    EXPECT_GE(closedAfter, kUpdateWaitMs + kFinishedPauseMs - 20);
    const auto calls = shell_.Calls();
    ASSERT_EQ(2u, calls.size());
    EXPECT_TRUE(IsFinishedBalloon(calls[0]));
    EXPECT_EQ(static_cast<DWORD>(NIM_DELETE), calls[1].message);
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(worker, 5000));
    CloseHandle(worker);
    EXPECT_EQ(0, WorkerExitCode());
}

TEST_F(TrayWorkerTest, ErrorWhileGettingTheEventClosesTheWindowWithoutFinishing)
{
    // Another kind of object holds the name, so CreateEventW fails (ERROR_INVALID_HANDLE).
    HANDLE squatter = CreateMutexW(nullptr, FALSE, kUpdateEventName);
    ASSERT_NE(nullptr, squatter);
    HWND window = CreateWindowUnderTest();
    ASSERT_NE(nullptr, window);
    shell_.Clear();

    const ULONGLONG start = GetTickCount64();
    HANDLE worker = StartWorker(&window);
    ASSERT_NE(nullptr, worker);
    ASSERT_TRUE(PumpUntilQuit(5000)) << "the window was not closed";

    EXPECT_LT(GetTickCount64() - start, 1500u) << "no pause is due after an error";
    EXPECT_FALSE(IsWindow(window));
    const auto calls = shell_.Calls();
    ASSERT_EQ(1u, calls.size());
    EXPECT_EQ(static_cast<DWORD>(NIM_DELETE), calls[0].message);
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(worker, 5000));
    CloseHandle(worker);
    EXPECT_EQ(kExitWorkerError, WorkerExitCode());
    CloseHandle(squatter);
}

// A thread creation that fails with errno failErrno failuresLeft times, then hands back a
// made-up handle without starting anything.
struct FakeBeginThread {
    static inline int failuresLeft = 0;
    static inline int failErrno = 0;
    static inline int calls = 0;
    static inline bool startsTheWorker = true;  // every call named WatchUpdateEvent

    static uintptr_t __cdecl Begin(void*, unsigned, unsigned(__stdcall* start)(void*), void*,
                                   unsigned, unsigned*)
    {
        ++calls;
        startsTheWorker = startsTheWorker && start == WatchUpdateEvent;
        if (failuresLeft != 0) {
            --failuresLeft;
            errno = failErrno;
            return 0;
        }
        return 0x1234;
    }
};

struct StartCase {
    const char* name;
    int failures;      // how often creation fails before it succeeds
    int failErrno;     // with which errno
    int calls;         // attempts StartWorker is expected to make
    bool started;      // whether it hands back the thread
};

TEST(TrayWorkerStart, LackOfResourcesIsRetriedABoundedNumberOfTimesWithAPause)
{
    const StartCase cases[] = {
        {"EAGAIN twice, then created", 2, EAGAIN, 3, true},
        {"EAGAIN on every attempt", 1000, EAGAIN, kWorkerStartAttempts, false},
        {"another error ends at once", 1000, EINVAL, 1, false},
    };
    for (const StartCase& c : cases) {
        SCOPED_TRACE(c.name);
        FakeBeginThread::failuresLeft = c.failures;
        FakeBeginThread::failErrno = c.failErrno;
        FakeBeginThread::calls = 0;
        FakeBeginThread::startsTheWorker = true;
        HWND window = nullptr;

        const ULONGLONG start = GetTickCount64();
        const HANDLE thread = StartWorker(&window, &FakeBeginThread::Begin);
        const ULONGLONG elapsed = GetTickCount64() - start;

        EXPECT_EQ(c.started ? reinterpret_cast<HANDLE>(0x1234) : nullptr, thread);
        EXPECT_EQ(c.calls, FakeBeginThread::calls);
        EXPECT_TRUE(FakeBeginThread::startsTheWorker);
        const ULONGLONG pauses = static_cast<ULONGLONG>(c.calls - 1) * kWorkerStartRetryMs;
        EXPECT_GE(elapsed + 20, pauses);
        EXPECT_LT(elapsed, pauses + 1000);
    }
}

}  // namespace
