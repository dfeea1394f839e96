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
        return companionFailedExitCode;
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

// Bytes pass through at once and unchanged; the reading waits for whole lines.
void Companion::passOn(const QByteArray &bytes)
{
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stderr);
    std::fflush(stderr);
    keep(bytes);
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
    for (const RunVerdict &verdict : verdicts) {
        say(verdict.line);
        forRecord += verdict.line.toUtf8() + lineEnd;
    }
    keep(forRecord);
    if (record.isOpen())
        say(QStringLiteral("Record of this run: %1").arg(QDir::toNativeSeparators(record.path())));
    QCoreApplication::exit(exitCode);
}
