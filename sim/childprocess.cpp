#include "childprocess.h"

#include <QFileInfo>
#include <QProcess>
#include <QStringList>

#include <csignal>
#include <sys/prctl.h>
#include <unistd.h>

void killWithParent(QProcess &process)
{
    const pid_t parent = ::getpid();
    process.setChildProcessModifier([parent] {
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (::getppid() != parent) // the parent died before the line above
            ::_exit(127);
    });
}

QString reaperBesideThisProgram()
{
    return QFileInfo(QFileInfo(QStringLiteral("/proc/self/exe")).canonicalFilePath()).path()
            + QStringLiteral("/tracker-reaper");
}

void startInItsOwnPidNamespace(QProcess &process, const QString &reaper, const QString &program,
                               const QStringList &arguments)
{
    killWithParent(process);
    // Done by a program of its own: a process that made a PID namespace can start no
    // more threads, and a modifier that does not return would hold QProcess up.
    process.start(reaper, QStringList { program } + arguments);
}
