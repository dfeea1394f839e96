#pragma once

#include <QStringList>

class QProcess;

// The process that `process` starts next is killed when this one ends, however it ends,
// so a test or simulation that is killed leaves nothing running behind it.
void killWithParent(QProcess &process);

// tracker-reaper, built beside this program. Taken before the simulated system is
// entered: in a chroot, the program's own path may not resolve after.
QString reaperBesideThisProgram();

// Like killWithParent, and more: starts program in a PID namespace of its own, under
// the reaper, so that everything it starts ends when it ends or when this process does.
// Its exit code is the program's, or 128 + N when signal N ended it; 127 when it could
// not be started.
void startInItsOwnPidNamespace(QProcess &process, const QString &reaper, const QString &program,
                               const QStringList &arguments);
