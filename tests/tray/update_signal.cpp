// Plays the agent's updater (and a few of its neighbours) for TrayHerald's end-to-end tests.
// A console program run under Wine in the same prefix and desktop as TrayHerald:
//   set                      open the completion event (it must exist) and set it
//   hold-set                 create the event, set it, print "ready", hold it until stdin ends
//   hold-mutex               create a mutex under the event's name, print "ready", hold it
//                            until stdin ends (any CreateEventW on the name then fails)
//   wait-window CLASS MS     wait up to MS ms for a visible top-level window of class CLASS
//                            and print its screen rectangle: left top right bottom
//   drop-icon                delete TrayHerald's icon from the notification area, as a
//                            restarted taskbar would have forgotten it
//   taskbar-created          broadcast the shell's "TaskbarCreated" message
//   run-timed EXE FILE       run EXE, wait for it and write "<exit code> <milliseconds>" to
//                            FILE (for runs inside "explorer /desktop", whose own exit
//                            code and output do not reach the caller)
// Exit code 0 on success, 1 when a wait ran out or a window is missing, 2 on a failed call.
#include <windows.h>
#include <shellapi.h>

#include <cstdio>
#include <cwchar>
#include <string>

namespace {

constexpr wchar_t kEventName[] = L"Global\\82BB5227-1F94-48D5-B7F3-915875103B25";

int Fail(const char* what)
{
    std::fprintf(stderr, "update_signal: %s failed, error %lu\n", what, GetLastError());
    return 2;
}

// Blocks until the test closes our standard input.
void HoldUntilStdinEnds()
{
    std::printf("ready\n");
    std::fflush(stdout);
    HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
    char buffer[64];
    DWORD read = 0;
    while (ReadFile(input, buffer, sizeof(buffer), &read, nullptr) && read != 0) {
    }
}

int SetEventOnce()
{
    HANDLE event = OpenEventW(EVENT_MODIFY_STATE, FALSE, kEventName);
    if (event == nullptr) {
        return Fail("OpenEventW");
    }
    const BOOL ok = SetEvent(event);
    CloseHandle(event);
    return ok ? 0 : Fail("SetEvent");
}

int HoldSetEvent()
{
    HANDLE event = CreateEventW(nullptr, TRUE, FALSE, kEventName);
    if (event == nullptr) {
        return Fail("CreateEventW");
    }
    if (!SetEvent(event)) {
        return Fail("SetEvent");
    }
    HoldUntilStdinEnds();
    CloseHandle(event);
    return 0;
}

int HoldMutex()
{
    HANDLE mutex = CreateMutexW(nullptr, FALSE, kEventName);
    if (mutex == nullptr) {
        return Fail("CreateMutexW");
    }
    HoldUntilStdinEnds();
    CloseHandle(mutex);
    return 0;
}

int WaitWindow(const wchar_t* className, DWORD timeoutMs)
{
    // Asking for the desktop window starts the desktop (and its taskbar) if it is not up.
    GetDesktopWindow();
    const DWORD start = GetTickCount();
    for (;;) {
        HWND window = FindWindowW(className, nullptr);
        RECT rect;
        if (window != nullptr && IsWindowVisible(window) && GetWindowRect(window, &rect)) {
            std::printf("%ld %ld %ld %ld\n", rect.left, rect.top, rect.right, rect.bottom);
            return 0;
        }
        if (GetTickCount() - start > timeoutMs) {
            return 1;
        }
        Sleep(20);
    }
}

int DropIcon()
{
    HWND window = FindWindowW(L"NotificationIcon", nullptr);
    if (window == nullptr) {
        return 1;
    }
    NOTIFYICONDATAW data = {};
    data.cbSize = sizeof(data);
    data.hWnd = window;
    data.uID = 0;
    return Shell_NotifyIconW(NIM_DELETE, &data) ? 0 : Fail("Shell_NotifyIconW(NIM_DELETE)");
}

int BroadcastTaskbarCreated()
{
    const UINT message = RegisterWindowMessageW(L"TaskbarCreated");
    if (message == 0) {
        return Fail("RegisterWindowMessageW");
    }
    return SendNotifyMessageW(HWND_BROADCAST, message, 0, 0) ? 0 : Fail("SendNotifyMessageW");
}

int RunTimed(const wchar_t* exe, const wchar_t* resultPath)
{
    std::wstring commandLine = L"\"";
    commandLine += exe;
    commandLine += L"\"";
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process = {};
    const DWORD start = GetTickCount();
    if (!CreateProcessW(nullptr, &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                        &startup, &process)) {
        return Fail("CreateProcessW");
    }
    CloseHandle(process.hThread);
    WaitForSingleObject(process.hProcess, INFINITE);
    DWORD exitCode = 0;
    GetExitCodeProcess(process.hProcess, &exitCode);
    const DWORD elapsed = GetTickCount() - start;
    CloseHandle(process.hProcess);
    FILE* result = _wfopen(resultPath, L"w");
    if (result == nullptr) {
        return Fail("_wfopen");
    }
    std::fprintf(result, "%lu %lu\n", exitCode, elapsed);
    std::fclose(result);
    return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv)
{
    if (argc == 2 && std::wcscmp(argv[1], L"set") == 0) {
        return SetEventOnce();
    }
    if (argc == 2 && std::wcscmp(argv[1], L"hold-set") == 0) {
        return HoldSetEvent();
    }
    if (argc == 2 && std::wcscmp(argv[1], L"hold-mutex") == 0) {
        return HoldMutex();
    }
    if (argc == 4 && std::wcscmp(argv[1], L"wait-window") == 0) {
        return WaitWindow(argv[2], static_cast<DWORD>(std::wcstoul(argv[3], nullptr, 10)));
    }
    if (argc == 2 && std::wcscmp(argv[1], L"drop-icon") == 0) {
        return DropIcon();
    }
    if (argc == 2 && std::wcscmp(argv[1], L"taskbar-created") == 0) {
        return BroadcastTaskbarCreated();
    }
    if (argc == 4 && std::wcscmp(argv[1], L"run-timed") == 0) {
        return RunTimed(argv[2], argv[3]);
    }
    std::fprintf(stderr, "usage: update_signal set|hold-set|hold-mutex|drop-icon|taskbar-created"
                         "|wait-window CLASS MS\n");
    return 2;
}
