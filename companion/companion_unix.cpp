// update-tracker on Linux and other Unix systems: the updater's error stream read through
// QProcess, a stop through signals.
#include "companion/companion.h"

#include <QSocketNotifier>

#include <csignal>
#include <cstdio>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

const QString updaterName = QStringLiteral("tracker-updater");
const QByteArray lineEnd = "\n";

namespace {

int interruptPipe[2] = { -1, -1 };

void onSignal(int)
{
    const char byte = 1;
    [[maybe_unused]] const auto written = ::write(interruptPipe[1], &byte, 1);
}

} // namespace

void Companion::watchInterrupts()
{
    // A reader of our output that is gone (a pipe's end closed) stops nothing: the write
    // fails and is skipped, and the verdict still reaches the record and rollout.csv.
    std::signal(SIGPIPE, SIG_IGN);
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
}

// A stop from now on ends update-tracker at once, at "Press Enter" too.
void Companion::stopWatchingInterrupts()
{
    for (const int signal : { SIGINT, SIGTERM, SIGHUP })
        std::signal(signal, SIG_DFL);
}

bool Companion::startUpdater(const QString &program)
{
    updater.setProcessChannelMode(QProcess::ForwardedOutputChannel);
    const pid_t companion = ::getpid();
    updater.setChildProcessModifier([companion] {
        ::prctl(PR_SET_PDEATHSIG, SIGKILL); // however we end, it ends too
        std::signal(SIGPIPE, SIG_DFL);      // as it would be, started alone
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

// Ctrl+C reaches the updater too, and its end may be seen before our own signal is.
bool Companion::endedByCtrlC() const
{
    return updater.exitStatus() == QProcess::CrashExit && updater.exitCode() == SIGINT;
}

void prepareConsole()
{
}

void restoreConsole()
{
}

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

// Ctrl+C closes the window then, as Enter does: the run's end set the signals back.
void waitForEnter()
{
    std::getchar();
}

// A terminal's title is its own: a shell or a multiplexer would keep ours after the run.
void setWindowTitle(const QString &)
{
}

// Nothing here waits for the verdict: a signal is answered once it is written.
void verdictKept()
{
}
