#include "companion/companion.h"

#include "app/consoleline.h"

#include <QCoreApplication>
#include <QDir>

#include <cstdio>

void say(const QString &line)
{
    printLine(line);
    std::fflush(stdout);
}

Companion::Companion() = default;

Companion::~Companion() = default;

int Companion::run()
{
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
        keep(line.toUtf8() + lineEnd);
        say(line);
        stopWatchingInterrupts();
        showVerdicts({ RunReading::notStarted(QStringLiteral("%1 is missing, or cannot be run").arg(updaterName)) });
        return exitCode;
    }
    QCoreApplication::exec();
    stopWatchingInterrupts();
    return exitCode;
}

void Companion::keep(const QByteArray &bytes)
{
    const QString failure = record.write(bytes);
    if (!failure.isEmpty())
        say(QStringLiteral("update-tracker: the record stops here, it cannot be written: %1").arg(failure));
}

// Bytes pass through at once and unchanged; the reading takes them as they come.
void Companion::passOn(const QByteArray &bytes)
{
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stderr);
    std::fflush(stderr);
    keep(bytes);
    reading.read(bytes);
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
    // What QProcess read but did not hand on yet (on Windows the lines come another way).
    passOn(updater.readAllStandardError());
    updaterFinished = true;
    finish();
}

// Once the updater has ended and all it wrote has been read.
void Companion::finish()
{
    if (!updaterFinished || !outputEnded)
        return;
    reading.endOfOutput();
    UpdaterEnd end;
    if (interrupted || endedByCtrlC())
        end.how = UpdaterEnd::How::Stopped;
    else if (updater.exitStatus() == QProcess::CrashExit)
        end.how = UpdaterEnd::How::Crashed;
    else
        end.exitCode = updater.exitCode();
    showVerdicts(reading.verdicts(end));
    QCoreApplication::exit(exitCode);
}

// An empty line and the verdicts, also into the record; then where the record is.
void Companion::showVerdicts(const QList<RunVerdict> &verdicts)
{
    exitCode = verdictForm(RunReading::weightiest(verdicts).verdict).exitCode;
    QByteArray forRecord = lineEnd;
    say(QString());
    for (const RunVerdict &verdict : verdicts) {
        say(verdict.line);
        forRecord += verdict.line.toUtf8() + lineEnd;
    }
    keep(forRecord);
    const QString path = QDir::toNativeSeparators(record.path());
    if (record.isOpen())
        say(QStringLiteral("Record of this run: %1").arg(path));
    else if (!path.isEmpty())
        say(QStringLiteral("Record of this run, cut short where it could not be written: %1").arg(path));
    else
        say(QStringLiteral("No record of this run was kept: the first line says why."));
}
