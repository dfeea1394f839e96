// update-tracker: runs tracker-updater from its own folder, passes its lines through as
// they come, keeps them in a record, and ends with a one-line verdict and an exit code.
#include "app/consoleline.h"
#include "app/rolloutfile.h"
#include "modem/runreading.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMutex>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTextStream>

#include <atomic>
#include <memory>
#include <cstdio>

#ifdef Q_OS_WIN
#include <QThread>
#include <fcntl.h>
#include <io.h>
#include <windows.h>
#else
#include <QSocketNotifier>
#include <csignal>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>
#endif

namespace {

const char usage[] = R"(Usage: update-tracker

Starts tracker-updater from this program's folder, shows its lines as they come, and
keeps them in a record: the folder "records" beside this program, or where it cannot be
written, "tracker-updater records" in your documents (or the local application data
folder). The record's path is shown at the start and the end.

When tracker-updater ends, one line says what the run did and what to do, and the exit
code says the same:
  0  updated: new firmware, the old one kept as a backup
  1  not updated, tracker unchanged: no coverage; run again where it has coverage
  2  not updated, tracker unchanged: the update server answered a code; tell the maintainer
  3  stop, do not run again: a file step got no OK in time; send the record to the maintainer
  4  updated, but restart the tracker: the reboot got no OK in time
  5  no tracker found: stopped before a tracker was found
  6  stopped, or tracker-updater ended unexpectedly, before the file swap: tracker unchanged
  7  stopped, or ended unexpectedly, during the file swap: as 3
  8  stopped, or ended unexpectedly, at the reboot: as 4
  9  tracker-updater could not be started, or an unknown option
With several trackers, the first of 3, 7, 4, 8, 6, 2, 1, 5, 0 that applies to one.

Ctrl+C stops the run, and the verdict says at which step. Started by a double click, the
window waits for Enter before it closes. It takes no option but --help.
)";

#ifdef Q_OS_WIN
const QByteArray lineEnd = "\r\n";
const QString updaterName = QStringLiteral("tracker-updater.exe");
#else
const QByteArray lineEnd = "\n";
const QString updaterName = QStringLiteral("tracker-updater");
#endif

// The companion's own lines: on standard output, so that a script can take the verdict
// alone while the program's lines stay on standard error, as they always were.
void say(const QString &line)
{
    printLine(line);
    std::fflush(stdout);
}

// The record: created with a name no earlier run has, in the first folder that takes it.
class Record
{
public:
    // Where records go, the first that takes one.
    static QStringList folders();

    bool open();
    QString path() const { return file.fileName(); }
    QString folder() const { return QFileInfo(file).absolutePath(); }
    QString whyNotWritten() const { return failure; }
    bool isOpen() const { return file.isOpen(); }
    void write(const QByteArray &bytes);
    // Its name gets the trackers' IMEIs once they are read.
    void nameAfter(const QStringList &imeis);

private:
    bool openIn(const QString &folder);

    QFile file;
    QString stem; // the folder and "update-" with the time
    QString failure;
};

QStringList Record::folders()
{
    const QString documents = QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation);
    const QString localData = QStandardPaths::writableLocation(QStandardPaths::AppLocalDataLocation);
    QStringList all = {
        QCoreApplication::applicationDirPath() + QStringLiteral("/records"),
        documents.isEmpty() ? QString() : documents + QStringLiteral("/tracker-updater records"),
        localData.isEmpty() ? QString() : localData + QStringLiteral("/records"),
    };
    all.removeAll(QString());
    return all;
}

bool Record::open()
{
    for (const QString &folder : folders()) {
        if (openIn(folder))
            return true;
    }
    return false;
}

bool Record::openIn(const QString &folder)
{
    if (!QDir().mkpath(folder)) {
        failure = QStringLiteral("%1 cannot be made").arg(QDir::toNativeSeparators(folder));
        return false;
    }
    stem = folder + QStringLiteral("/update-")
            + QDateTime::currentDateTime().toString(QStringLiteral("yyyy-MM-dd-HHmmss"));
    // A second run in the same second gets the next free number.
    for (int number = 1; number <= 100; ++number) {
        file.setFileName(stem + (number == 1 ? QString() : QStringLiteral("-%1").arg(number)) + QStringLiteral(".txt"));
        if (file.open(QIODevice::WriteOnly | QIODevice::NewOnly))
            return true;
        if (!file.exists())
            break;
    }
    failure = QStringLiteral("%1: %2").arg(QDir::toNativeSeparators(file.fileName()), file.errorString());
    return false;
}

void Record::nameAfter(const QStringList &imeis)
{
    if (!file.isOpen())
        return;
    const QString named = stem + u'-' + imeis.join(u'-');
    file.close();
    // The first free name: rename() never replaces a file.
    for (int number = 1; number <= 100; ++number) {
        const QString name = named + (number == 1 ? QString() : QStringLiteral("-%1").arg(number)) + QStringLiteral(".txt");
        if (file.rename(name) || !QFile::exists(name))
            break; // renamed, or kept under the name it has
    }
    if (!file.open(QIODevice::WriteOnly | QIODevice::Append))
        say(QStringLiteral("update-tracker: the record stops here, it cannot be written: %1").arg(file.errorString()));
}

void Record::write(const QByteArray &bytes)
{
    if (!file.isOpen())
        return;
    if (file.write(bytes) != bytes.size() || !file.flush()) {
        say(QStringLiteral("update-tracker: the record stops here, it cannot be written: %1").arg(file.errorString()));
        file.close();
    }
}

#ifdef Q_OS_WIN
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
#else
// No double click on Linux: a terminal started for this program alone (a launcher's
// "run in terminal", xterm -e) makes it the leader of the terminal's session. From a shell
// the shell leads it, and the prompt comes back at once.
bool ownsItsConsole()
{
    return ::getsid(0) == ::getpid() && ::isatty(STDIN_FILENO);
}

void discardTypedAhead()
{
    ::tcflush(STDIN_FILENO, TCIFLUSH);
}
#endif

#ifdef Q_OS_WIN
// QProcess stops reading the updater's pipe the moment the updater ends and drops what it
// had not read yet, which loses the run's last lines (seen under wine). A pipe of our own,
// read to its end, keeps every line.
class PipeReader : public QThread
{
    Q_OBJECT

public:
    explicit PipeReader(HANDLE readEnd) : readEnd(readEnd) { }
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
#endif

class Companion : public QObject
{
    Q_OBJECT

public:
    int run();

public slots:
    void interrupt();

private:
    bool startUpdater(const QString &program);
    void passOn(const QByteArray &bytes);
    void updaterEnded();
    void finish();
    QStringList keptInRollout(const QList<RunVerdict> &verdicts) const;
    void watchInterrupts();
    bool endedByCtrlC() const;

    QProcess updater;
    Record record;
    RunReading reading;
    QByteArray pendingLine;
    qsizetype imeisInRecordName = 0;
    bool interrupted = false;
    bool updaterFinished = false;
    bool outputEnded = false;
    int exitCode = companionFailedExitCode;
#ifdef Q_OS_WIN
    std::unique_ptr<PipeReader> errorReader;
#endif
};

// Set while the updater runs: a signal or console event then stops the run.
// Windows calls the console handler on a thread of its own: the mutex keeps the companion
// alive while the handler posts to it.
std::atomic<Companion *> theCompanion { nullptr };
QBasicMutex companionInUse;

#ifdef Q_OS_WIN
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
#else
int interruptPipe[2] = { -1, -1 };

void onSignal(int)
{
    const char byte = 1;
    [[maybe_unused]] const auto written = ::write(interruptPipe[1], &byte, 1);
}
#endif

void Companion::watchInterrupts()
{
#ifdef Q_OS_WIN
    ::SetConsoleCtrlHandler(onConsoleEvent, TRUE);
    killOnClose = ::CreateJobObjectW(nullptr, nullptr);
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits {};
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
    ::SetInformationJobObject(killOnClose, JobObjectExtendedLimitInformation, &limits, sizeof limits);
#else
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, interruptPipe) != 0)
        return;
    auto *notifier = new QSocketNotifier(interruptPipe[0], QSocketNotifier::Read, this);
    connect(notifier, &QSocketNotifier::activated, this, [this] {
        char byte;
        [[maybe_unused]] const auto count = ::read(interruptPipe[0], &byte, 1);
        interrupt();
    });
    struct sigaction action {};
    action.sa_handler = onSignal;
    ::sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (const int signal : { SIGINT, SIGTERM, SIGHUP })
        ::sigaction(signal, &action, nullptr);
#endif
}

int Companion::run()
{
    theCompanion = this;
    watchInterrupts();
    if (record.open())
        say(QStringLiteral("Record of this run: %1").arg(QDir::toNativeSeparators(record.path())));
    else
        say(QStringLiteral("update-tracker: no record of this run can be kept (%1); the run goes on").arg(record.whyNotWritten()));

    const QString program = QCoreApplication::applicationDirPath() + u'/' + updaterName;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    // Its lines come to us through a pipe, where Windows would otherwise hide them.
    environment.insert(QStringLiteral("QT_FORCE_STDERR_LOGGING"), QStringLiteral("1"));
    // And in their own form, whatever the environment asks of Qt's messages: a pattern or a
    // rule that hid them would leave a finished update read as no tracker found.
    environment.remove(QStringLiteral("QT_MESSAGE_PATTERN"));
    environment.insert(QStringLiteral("QT_LOGGING_RULES"), QStringLiteral("default.debug=true"));
    updater.setProcessEnvironment(environment);
    updater.setInputChannelMode(QProcess::ForwardedInputChannel);
    connect(&updater, &QProcess::finished, this, &Companion::updaterEnded);
    if (!startUpdater(program)) {
        const QString line = QStringLiteral("update-tracker: cannot start %1: %2")
                                     .arg(QDir::toNativeSeparators(program), updater.errorString());
        record.write(line.toUtf8() + lineEnd);
        say(line);
        return companionFailedExitCode;
    }
    QCoreApplication::exec();
    const QMutexLocker locker(&companionInUse);
    theCompanion = nullptr;
    return exitCode;
}

#ifdef Q_OS_WIN
bool Companion::startUpdater(const QString &program)
{
    SECURITY_ATTRIBUTES inheritable { sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE };
    HANDLE readEnd = nullptr;
    HANDLE writeEnd = nullptr;
    if (!::CreatePipe(&readEnd, &writeEnd, &inheritable, 0))
        return false;
    ::SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0);
    updater.setProcessChannelMode(QProcess::ForwardedChannels);
    updater.setCreateProcessArgumentsModifier([writeEnd](QProcess::CreateProcessArguments *arguments) {
        arguments->startupInfo->hStdError = writeEnd;
    });
    updater.start(program, QStringList());
    const bool started = updater.waitForStarted(-1);
    ::CloseHandle(writeEnd); // the updater holds the only one left: its end is the pipe's end
    errorReader = std::make_unique<PipeReader>(readEnd);
    connect(errorReader.get(), &PipeReader::received, this, &Companion::passOn);
    connect(errorReader.get(), &QThread::finished, this, [this] {
        outputEnded = true;
        finish();
    });
    errorReader->start();
    if (started) {
        if (HANDLE process = ::OpenProcess(PROCESS_SET_QUOTA | PROCESS_TERMINATE, FALSE, DWORD(updater.processId())))
            ::AssignProcessToJobObject(killOnClose, process), ::CloseHandle(process);
    }
    return started;
}
#else
bool Companion::startUpdater(const QString &program)
{
    updater.setProcessChannelMode(QProcess::ForwardedOutputChannel);
    const pid_t companion = ::getpid();
    updater.setChildProcessModifier([companion] {
        ::prctl(PR_SET_PDEATHSIG, SIGKILL); // however we end, it ends too
        if (::getppid() != companion)
            ::_exit(127);
    });
    connect(&updater, &QProcess::readyReadStandardError, this,
            [this] { passOn(updater.readAllStandardError()); });
    // QProcess reads the pipe to its end before it tells that the updater finished.
    outputEnded = true;
    updater.start(program, QStringList());
    return updater.waitForStarted(-1);
}
#endif

// Bytes pass through at once and unchanged; the reading waits for whole lines.
void Companion::passOn(const QByteArray &bytes)
{
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stderr);
    std::fflush(stderr);
    record.write(bytes);
    pendingLine += bytes;
    // Read in place: a flood's long line is not copied again.
    qsizetype start = 0;
    qsizetype end;
    while ((end = pendingLine.indexOf('\n', start)) >= 0) {
        QByteArrayView line(pendingLine.constData() + start, end - start);
        if (line.endsWith('\r'))
            line.chop(1);
        reading.readLine(line);
        start = end + 1;
    }
    pendingLine.remove(0, start);
    const QStringList imeis = reading.imeis();
    if (imeis.size() != imeisInRecordName) {
        imeisInRecordName = imeis.size();
        record.nameAfter(imeis);
    }
}

// Ctrl+C reaches the updater too, and its end may be seen before our own signal is.
bool Companion::endedByCtrlC() const
{
#ifdef Q_OS_WIN
    return quint32(updater.exitCode()) == quint32(STATUS_CONTROL_C_EXIT);
#else
    return updater.exitStatus() == QProcess::CrashExit && updater.exitCode() == SIGINT;
#endif
}

void Companion::interrupt()
{
    interrupted = true;
    // As Ctrl+C on tracker-updater alone: it ends at once.
    if (updater.state() != QProcess::NotRunning)
        updater.kill();
}

void Companion::updaterEnded()
{
#ifndef Q_OS_WIN
    passOn(updater.readAllStandardError());
#endif
    updaterFinished = true;
    finish();
}

// Once the updater has ended and all it wrote has been read.
void Companion::finish()
{
    if (!updaterFinished || !outputEnded)
        return;
    if (!pendingLine.isEmpty())
        reading.readLine(pendingLine);
    QString howItEnded;
    if (interrupted || endedByCtrlC())
        howItEnded = QStringLiteral("stopped");
    else if (updater.exitStatus() == QProcess::CrashExit)
        howItEnded = QStringLiteral("tracker-updater ended unexpectedly");
    else
        howItEnded = QStringLiteral("tracker-updater ended unexpectedly with exit code %1").arg(updater.exitCode());
    const QList<RunVerdict> verdicts = reading.verdicts(howItEnded);
    exitCode = verdictForm(RunReading::weightiest(verdicts).verdict).exitCode;

    QByteArray forRecord = lineEnd;
    say(QString());
    for (const QString &line : keptInRollout(verdicts)) {
        say(line);
        forRecord += line.toUtf8() + lineEnd;
    }
    record.write(forRecord);
    if (record.isOpen())
        say(QStringLiteral("Record of this run: %1").arg(QDir::toNativeSeparators(record.path())));
    QCoreApplication::exit(exitCode);
}

// A verdict's first words, as the rollout file gives them: UPDATED, NOT UPDATED, STOP.
QString verdictWord(Verdict verdict)
{
    const QString line = QString::fromUtf8(verdictForm(verdict).line);
    return line.left(line.indexOf(QRegularExpression(QStringLiteral("[,:]"))));
}

// What a tracker updated before went through again in this run.
QString updatedBefore(const RolloutEntry &entry)
{
    const QString before = QStringLiteral("Updated before, on %1: ").arg(entry.updatedBefore);
    if (entry.verdict == QLatin1String("UPDATED"))
        return before + QStringLiteral("this run deleted the backup that update had kept; "
                                       "its backup is now the firmware that update installed.");
    if (entry.verdict == QLatin1String("NOT UPDATED"))
        return before + QStringLiteral("this run left the firmware and the backup of that update as they were.");
    return before + QStringLiteral("the backup that update had kept may be gone.");
}

// A line per tracker in the rollout file; the verdict lines, each with what the file
// says of its tracker's earlier update, and a line when the file cannot be written.
QStringList Companion::keptInRollout(const QList<RunVerdict> &verdicts) const
{
    QList<RolloutEntry> entries;
    const QDateTime now = QDateTime::currentDateTime();
    const QString recordName = record.isOpen() ? QFileInfo(record.path()).fileName() : QString();
    for (const RunVerdict &verdict : verdicts) {
        if (!verdict.port.isEmpty())
            entries.append({ now, verdict.imei, verdict.port, verdictWord(verdict.verdict),
                             verdictForm(verdict.verdict).exitCode, recordName, {} });
    }
    QStringList whyNot;
    if (!entries.isEmpty()) {
        // Beside this run's record, or where records go.
        for (const QString &folder : record.isOpen() ? QStringList { record.folder() } : Record::folders()) {
            const QString failure = QDir().mkpath(folder)
                    ? RolloutFile(folder).add(entries)
                    : QStringLiteral("%1 cannot be made").arg(QDir::toNativeSeparators(folder));
            if (failure.isEmpty()) {
                whyNot.clear();
                break;
            }
            whyNot.append(failure);
        }
    }
    QStringList lines;
    auto entry = entries.cbegin();
    for (const RunVerdict &verdict : verdicts) {
        lines.append(verdict.line);
        if (verdict.port.isEmpty())
            continue;
        if (whyNot.isEmpty() && !entry->updatedBefore.isEmpty())
            lines.append(updatedBefore(*entry));
        ++entry;
    }
    if (!whyNot.isEmpty())
        lines.append(QStringLiteral("update-tracker: this run is not in the rollout file (%1)").arg(whyNot.join(QStringLiteral("; "))));
    return lines;
}

} // namespace

int main(int argc, char *argv[])
{
#ifdef Q_OS_WIN
    // The updater's bytes pass on as they are: no second CR before its line ends.
    ::_setmode(::_fileno(stderr), _O_BINARY);
#endif
    QCoreApplication app(argc, argv);
    app.setApplicationName(QStringLiteral("update-tracker"));
    const QStringList arguments = app.arguments().mid(1);
    if (arguments == QStringList { QStringLiteral("--help") } || arguments == QStringList { QStringLiteral("-h") }) {
        say(QString::fromUtf8(usage).trimmed());
        return 0;
    }
    if (!arguments.isEmpty()) {
        say(QStringLiteral("update-tracker: it takes no option but --help, not %1").arg(arguments.join(u' ')));
        return companionFailedExitCode;
    }
    int exitCode;
    {
        Companion companion;
        exitCode = companion.run();
    }
    if (ownsItsConsole()) {
        // An Enter pressed during the run would close the window before the verdict is read.
        discardTypedAhead();
        say(QStringLiteral("Press Enter to close this window"));
#ifndef Q_OS_WIN
        // Ctrl+C now closes the window, as Enter does.
        std::signal(SIGINT, SIG_DFL);
#endif
        std::getchar();
    }
    return exitCode;
}

#include "updatetracker.moc"
