// A Windows program: plays what happens on a Windows desk around update-tracker's run, so
// that the Windows check sees it under wine.
//   windowsdesk hold FILE RELEASE  holds FILE as a spreadsheet holds a CSV it has open,
//                                  until the file RELEASE exists
//   windowsdesk end-session        ends the session (a sign-out) for update-tracker's
//                                  hidden window, as Windows does, then ends its
//                                  process with exit code 200
#include <windows.h>

#include <cstdio>
#include <cwchar>

namespace {

constexpr DWORD pollMs = 100;
constexpr int holdPolls = 10 * 60 * 1000 / pollMs;
constexpr int windowPolls = 60 * 1000 / pollMs;
constexpr UINT sendTimeoutMs = 60000;
const wchar_t sessionWindowClass[] = L"update-tracker session end";
constexpr UINT endedExitCode = 200;

int hold(const wchar_t *path, const wchar_t *release)
{
    // No sharing: whoever else opens the file, to read or to write, is refused.
    const HANDLE file = CreateFileW(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                                    nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        std::fprintf(stderr, "windowsdesk: CreateFileW cannot open %ls: error %lu\n", path, GetLastError());
        return 1;
    }
    // The caller waits for this line: it must not sit in a buffer.
    std::printf("windowsdesk: holding %ls until %ls exists\n", path, release);
    std::fflush(stdout);
    for (int poll = 0; poll < holdPolls; ++poll) {
        if (GetFileAttributesW(release) != INVALID_FILE_ATTRIBUTES) {
            CloseHandle(file);
            return 0;
        }
        Sleep(pollMs);
    }
    std::fprintf(stderr, "windowsdesk: %ls did not appear within 10 minutes\n", release);
    CloseHandle(file);
    return 2;
}

bool send(HWND window, UINT message, const char *name, WPARAM wParam, DWORD_PTR &answer)
{
    if (!SendMessageTimeoutW(window, message, wParam, ENDSESSION_LOGOFF, SMTO_NORMAL, sendTimeoutMs, &answer)) {
        std::fprintf(stderr, "windowsdesk: SendMessageTimeoutW(%s) failed: error %lu\n", name, GetLastError());
        return false;
    }
    std::printf("windowsdesk: %s returned %llu\n", name, static_cast<unsigned long long>(answer));
    std::fflush(stdout);
    return true;
}

int endSession()
{
    // The run makes its window as it starts: it may not be there yet.
    HWND window = nullptr;
    for (int poll = 0; poll < windowPolls && !(window = FindWindowW(sessionWindowClass, nullptr)); ++poll)
        Sleep(pollMs);
    if (!window) {
        std::fprintf(stderr, "windowsdesk: FindWindowW found no window of class \"%ls\" within 60 s: error %lu\n",
                     sessionWindowClass, GetLastError());
        return 1;
    }
    DWORD_PTR mayEnd = FALSE;
    DWORD_PTR ended = 0;
    DWORD process = 0;
    if (!GetWindowThreadProcessId(window, &process)) {
        std::fprintf(stderr, "windowsdesk: GetWindowThreadProcessId failed: error %lu\n", GetLastError());
        return 1;
    }
    const HANDLE program = OpenProcess(PROCESS_TERMINATE, FALSE, process);
    if (!program) {
        std::fprintf(stderr, "windowsdesk: OpenProcess failed: error %lu\n", GetLastError());
        return 1;
    }
    if (!send(window, WM_QUERYENDSESSION, "WM_QUERYENDSESSION", 0, mayEnd)
        || !send(window, WM_ENDSESSION, "WM_ENDSESSION", TRUE, ended))
        return 1;
    // As Windows does once WM_ENDSESSION returns: what was not written by then is lost.
    if (!TerminateProcess(program, endedExitCode)) {
        std::fprintf(stderr, "windowsdesk: TerminateProcess failed: error %lu\n", GetLastError());
        return 1;
    }
    CloseHandle(program);
    return mayEnd == TRUE ? 0 : 1;
}

} // namespace

int main()
{
    int argc = 0;
    wchar_t **argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    if (!argv) {
        std::fprintf(stderr, "windowsdesk: CommandLineToArgvW failed: error %lu\n", GetLastError());
        return 1;
    }
    if (argc == 4 && std::wcscmp(argv[1], L"hold") == 0)
        return hold(argv[2], argv[3]);
    if (argc == 2 && std::wcscmp(argv[1], L"end-session") == 0)
        return endSession();
    std::fputs("Usage: windowsdesk hold FILE RELEASE | windowsdesk end-session\n", stderr);
    return 2;
}
