// update-tracker on Windows: the updater's error stream read through a pipe of our own,
// a stop through the console's control handler and a hidden window (sign-out and shutdown
// reach a program that loads user32 only as window messages), the updater tied to us by a
// job; during the run QuickEdit is off and the computer stays awake.
#include "companion/companion.h"

#include <QMutex>
#include <QThread>

#include <atomic>
#include <cstdio>
#include <future>
#include <thread>
#include <fcntl.h>
#include <io.h>
#include <windows.h>

const QString updaterName = QStringLiteral("tracker-updater.exe");
const QByteArray lineEnd = "\r\n";

namespace {

// QProcess stops reading the updater's pipe the moment the updater ends and drops what it
// had not read yet: under wine the run's last lines were lost that way, while Qt 6.8 on
// Windows itself reads a pipe to its end. A pipe of our own, read to its end, keeps every
// line on both.
class PipeReader : public QThread
{
    Q_OBJECT

public:
    explicit PipeReader(HANDLE pipe) : readEnd(pipe) { }
    ~PipeReader() override
    {
        wait();
        ::CloseHandle(readEnd);
    }

signals:
    void received(const QByteArray &bytes);

protected:
    void run() override
    {
        char buffer[4096];
        DWORD count = 0;
        while (::ReadFile(readEnd, buffer, sizeof buffer, &count, nullptr) && count > 0)
            emit received(QByteArray(buffer, qsizetype(count)));
    }

private:
    HANDLE readEnd;
};

// Set while the updater runs: a console event then stops the run. Windows calls the
// console handler on a thread of its own: the mutex keeps the companion alive while the
// handler posts to it.
std::atomic<Companion *> theCompanion { nullptr };
QBasicMutex companionInUse;

HANDLE killOnClose = nullptr; // a job: closed with this process, it ends the updater too
HANDLE verdictInRecord = nullptr; // an event, set once the verdict is in the record and rollout.csv
DWORD inputModeFound = 0; // the console's input mode before QuickEdit was turned off, or 0
bool titleFailed = false;

// Windows ends the process once a closing event's handler or WM_ENDSESSION returns, and in
// any case some seconds later: the verdict is written first, and this is only a bound.
constexpr DWORD verdictWaitMs = 30000;

QString windowsError(DWORD code)
{
    return qt_error_string(int(code));
}

// A run goes on: it stops, and a closing one is told why. False once the run is over.
bool stopTheRun(const QString &closingWhy)
{
    const QMutexLocker locker(&companionInUse);
    Companion *companion = theCompanion;
    if (!companion)
        return false;
    if (closingWhy.isEmpty()) {
        QMetaObject::invokeMethod(companion, "interrupt", Qt::QueuedConnection);
    } else {
        windowClosing = true; // at once: the run may be ending already, its verdict not yet kept
        QMetaObject::invokeMethod(companion, "closing", Qt::QueuedConnection, Q_ARG(QString, closingWhy));
    }
    return true;
}

void waitForTheVerdict()
{
    if (verdictInRecord)
        ::WaitForSingleObject(verdictInRecord, verdictWaitMs);
}

BOOL WINAPI onConsoleEvent(DWORD event)
{
    // Ctrl+C reaches every program on the console: the updater ends, we stay to tell.
    if (event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT)
        return stopTheRun({}) ? TRUE : FALSE; // once the run is over, Ctrl+C closes the window
    const QString why = event == CTRL_CLOSE_EVENT ? QStringLiteral("the window is closing")
                                                  : QStringLiteral("Windows is ending the session");
    if (!stopTheRun(why))
        return FALSE;
    waitForTheVerdict();
    return TRUE;
}

// The hidden top-level window that hears of sign-out, shutdown and restart: a message-only
// window, such as Qt's own, is sent no WM_QUERYENDSESSION.
const wchar_t sessionWindowClass[] = L"update-tracker session end";

LRESULT CALLBACK onSessionMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case WM_QUERYENDSESSION:
        return TRUE; // the session's end is the user's to decide; the verdict tells what it did to the run
    case WM_ENDSESSION:
        if (wParam && stopTheRun(QStringLiteral("Windows is ending the session (sign-out, shutdown or restart)")))
            waitForTheVerdict();
        return 0;
    case WM_DESTROY:
        ::PostQuitMessage(0);
        return 0;
    default:
        return ::DefWindowProcW(window, message, wParam, lParam);
    }
}

HWND sessionWindow = nullptr;
std::thread sessionWatch;

// On a thread of its own, so that the window answers while the run's own thread writes.
void watchTheSession(std::promise<HWND> made)
{
    const HINSTANCE instance = ::GetModuleHandleW(nullptr);
    WNDCLASSW windowClass {};
    windowClass.lpfnWndProc = onSessionMessage;
    windowClass.hInstance = instance;
    windowClass.lpszClassName = sessionWindowClass;
    const bool registered = ::RegisterClassW(&windowClass) != 0 || ::GetLastError() == ERROR_CLASS_ALREADY_EXISTS;
    HWND window = registered ? ::CreateWindowExW(0, sessionWindowClass, L"update-tracker", WS_OVERLAPPED, 0, 0, 0, 0,
                                                 nullptr, nullptr, instance, nullptr)
                             : nullptr;
    if (!window) {
        say(QStringLiteral("update-tracker: a sign-out or shutdown cannot be heard (%1: %2): one during the run "
                           "would leave no verdict")
                    .arg(registered ? QStringLiteral("CreateWindowExW") : QStringLiteral("RegisterClassW"),
                         windowsError(::GetLastError())));
        made.set_value(nullptr);
        return;
    }
    made.set_value(window);
    MSG message;
    while (::GetMessageW(&message, nullptr, 0, 0) > 0)
        ::DispatchMessageW(&message);
}

} // namespace

void Companion::watchInterrupts()
{
    {
        const QMutexLocker locker(&companionInUse);
        theCompanion = this;
    }
    verdictInRecord = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (!verdictInRecord)
        say(QStringLiteral("update-tracker: a closing window may not wait for the verdict (CreateEventW: %1)")
                    .arg(windowsError(::GetLastError())));
    if (!::SetConsoleCtrlHandler(onConsoleEvent, TRUE))
        say(QStringLiteral("update-tracker: Ctrl+C and the window's closing cannot be heard (SetConsoleCtrlHandler: %1): "
                           "they would leave no verdict")
                    .arg(windowsError(::GetLastError())));
    std::promise<HWND> made;
    std::future<HWND> window = made.get_future();
    sessionWatch = std::thread(watchTheSession, std::move(made));
    sessionWindow = window.get();
    // A click in the window would select text, and a selection holds every write to the
    // console: off during the run, as it was after.
    const HANDLE input = ::GetStdHandle(STD_INPUT_HANDLE);
    DWORD mode = 0;
    if (::GetConsoleMode(input, &mode) && (mode & ENABLE_QUICK_EDIT_MODE)) {
        if (::SetConsoleMode(input, (mode & ~DWORD(ENABLE_QUICK_EDIT_MODE)) | ENABLE_EXTENDED_FLAGS))
            inputModeFound = mode | ENABLE_EXTENDED_FLAGS;
        else
            say(QStringLiteral("update-tracker: QuickEdit stays on (SetConsoleMode: %1): do not click in this window "
                               "during the run")
                        .arg(windowsError(::GetLastError())));
    }
    // A download is neither disk nor user activity: without this a laptop may sleep, and its
    // port go, in the middle of a run.
    if (!::SetThreadExecutionState(ES_CONTINUOUS | ES_SYSTEM_REQUIRED))
        say(QStringLiteral("update-tracker: the computer may sleep during the run (SetThreadExecutionState failed): "
                           "keep it awake until the verdict"));
    killOnClose = ::CreateJobObjectW(nullptr, nullptr);
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits {};
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
    if (!killOnClose
        || !::SetInformationJobObject(killOnClose, JobObjectExtendedLimitInformation, &limits, sizeof limits)) {
        say(QStringLiteral("update-tracker: tracker-updater cannot be tied to this window (%1): if the window "
                           "is closed, it may go on; stop it with Ctrl+C instead")
                    .arg(windowsError(::GetLastError())));
        if (killOnClose)
            ::CloseHandle(killOnClose);
        killOnClose = nullptr;
    }
}

// Whatever comes next, no console event reaches this companion: it may be gone by then.
void Companion::stopWatchingInterrupts()
{
    {
        const QMutexLocker locker(&companionInUse);
        theCompanion = nullptr;
    }
    if (sessionWatch.joinable()) {
        if (const HWND window = std::exchange(sessionWindow, nullptr))
            ::PostMessageW(window, WM_CLOSE, 0, 0);
        sessionWatch.join();
    }
    ::SetThreadExecutionState(ES_CONTINUOUS);
}

// After the last write: a click before it would hold the verdict back.
void restoreConsole()
{
    if (inputModeFound && !::SetConsoleMode(::GetStdHandle(STD_INPUT_HANDLE), std::exchange(inputModeFound, 0)))
        say(QStringLiteral("update-tracker: QuickEdit cannot be turned on again in this window (SetConsoleMode: %1)")
                    .arg(windowsError(::GetLastError())));
}

bool Companion::startUpdater(const QString &program)
{
    SECURITY_ATTRIBUTES inheritable { sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE };
    HANDLE readEnd = nullptr;
    HANDLE writeEnd = nullptr;
    if (!::CreatePipe(&readEnd, &writeEnd, &inheritable, 0)) {
        say(QStringLiteral("update-tracker: no pipe for tracker-updater's lines (CreatePipe: %1)")
                    .arg(windowsError(::GetLastError())));
        return false;
    }
    ::SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0);
    updater.setProcessChannelMode(QProcess::ForwardedChannels);
    // Created suspended, it runs only once it is in the job that ends it with us.
    PROCESS_INFORMATION *created = nullptr;
    updater.setCreateProcessArgumentsModifier([writeEnd, &created](QProcess::CreateProcessArguments *arguments) {
        arguments->startupInfo->hStdError = writeEnd;
        arguments->flags |= CREATE_SUSPENDED;
        created = arguments->processInformation;
    });
    updater.start(program, QStringList());
    const bool started = updater.waitForStarted(-1);
    updater.setCreateProcessArgumentsModifier({});
    ::CloseHandle(writeEnd); // the updater holds the only one left: its end is the pipe's end
    if (started && created) {
        if (killOnClose && !::AssignProcessToJobObject(killOnClose, created->hProcess))
            say(QStringLiteral("update-tracker: tracker-updater cannot be tied to this window (%1): if the window "
                               "is closed, it may go on; stop it with Ctrl+C instead")
                        .arg(windowsError(::GetLastError())));
        if (::ResumeThread(created->hThread) == DWORD(-1))
            say(QStringLiteral("update-tracker: tracker-updater cannot be let run (ResumeThread: %1)")
                        .arg(windowsError(::GetLastError())));
    }
    auto *errorReader = new PipeReader(readEnd);
    outputReader.reset(errorReader);
    connect(errorReader, &PipeReader::received, this, &Companion::passOn);
    connect(errorReader, &QThread::finished, this, [this] {
        outputEnded = true;
        finish();
    });
    errorReader->start();
    return started;
}

// Ctrl+C reaches the updater too, and its end may be seen before our own event is.
bool Companion::endedByCtrlC() const
{
    return quint32(updater.exitCode()) == quint32(STATUS_CONTROL_C_EXIT);
}

void prepareConsole()
{
    // The updater's bytes pass on as they are: no second CR before its line ends.
    ::_setmode(::_fileno(stderr), _O_BINARY);
}

// Only this process on its console: Windows opened the console for it, a double click.
// And Enter can be typed there: not when its input is redirected.
bool ownsItsConsole()
{
    DWORD processes[2];
    DWORD mode;
    return ::GetConsoleProcessList(processes, 2) == 1 && ::GetConsoleMode(::GetStdHandle(STD_INPUT_HANDLE), &mode);
}

void discardTypedAhead()
{
    ::FlushConsoleInputBuffer(::GetStdHandle(STD_INPUT_HANDLE));
}

void waitForEnter()
{
    std::getchar();
}

void setWindowTitle(const QString &title)
{
    // No console of its own (output and input redirected, a service): no title to set.
    if (titleFailed || !::GetConsoleWindow())
        return;
    if (!::SetConsoleTitleW(reinterpret_cast<const wchar_t *>(title.utf16()))) {
        titleFailed = true;
        say(QStringLiteral("update-tracker: the window's title cannot show the run (SetConsoleTitleW: %1)")
                    .arg(windowsError(::GetLastError())));
    }
}

void verdictKept()
{
    if (verdictInRecord)
        ::SetEvent(verdictInRecord);
}

#include "companion_win.moc"
