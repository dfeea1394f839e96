// update-tracker on Windows: the updater's error stream read through a pipe of our own,
// a stop through the console's control handler, the updater tied to us by a job.
#include "companion/companion.h"

#include <QMutex>
#include <QThread>

#include <atomic>
#include <cstdio>
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

BOOL WINAPI onConsoleEvent(DWORD event)
{
    // Ctrl+C reaches every program on the console: the updater ends, we stay to tell.
    {
        const QMutexLocker locker(&companionInUse);
        Companion *companion = theCompanion;
        if (!companion)
            return FALSE; // the run is over: Ctrl+C closes the window
        QMetaObject::invokeMethod(companion, "interrupt", Qt::QueuedConnection);
    }
    if (event == CTRL_CLOSE_EVENT || event == CTRL_LOGOFF_EVENT || event == CTRL_SHUTDOWN_EVENT)
        ::Sleep(3000); // time to write the verdict into the record before Windows ends us
    return TRUE;
}

} // namespace

static QString windowsError(DWORD code)
{
    return qt_error_string(int(code));
}

void Companion::watchInterrupts()
{
    {
        const QMutexLocker locker(&companionInUse);
        theCompanion = this;
    }
    ::SetConsoleCtrlHandler(onConsoleEvent, TRUE);
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
    const QMutexLocker locker(&companionInUse);
    theCompanion = nullptr;
}

bool Companion::startUpdater(const QString &program)
{
    SECURITY_ATTRIBUTES inheritable { sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE };
    HANDLE readEnd = nullptr;
    HANDLE writeEnd = nullptr;
    if (!::CreatePipe(&readEnd, &writeEnd, &inheritable, 0))
        return false;
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
        ::ResumeThread(created->hThread);
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

#include "companion_win.moc"
