#include "companion/companion.h"

#include "companion/consolewriter.h"
#include "companion/rolloutfile.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QSerialPortInfo>

#include <algorithm>

#include <cstdio>

std::atomic<bool> windowClosing { false };

void say(const QString &line)
{
    ConsoleWriter::ownLine(line);
}

namespace {
constexpr int portWatchIntervalMs = 1000;
constexpr int portGoneGraceMs = 1000;
// Another companion appends in well under a second; a closing window leaves less time.
constexpr int rolloutLockWaitMs = 10000;
constexpr int closingRolloutLockWaitMs = 1000;

// The title's parts come from the system and the modem: no control character reaches it.
QString titlePart(QString text)
{
    for (QChar &c : text) {
        if (c.category() == QChar::Other_Control || c.category() == QChar::Other_Format)
            c = u'?';
    }
    return text;
}
}

Companion::Companion()
{
    connect(&portWatch, &QTimer::timeout, this, &Companion::checkThePort);
}

Companion::~Companion() = default;

int Companion::run()
{
    ConsoleWriter::start();
    watchInterrupts();
    showProgress();
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
        ConsoleWriter::finish();
        restoreConsole();
        return exitCode;
    }
    QCoreApplication::exec();
    stopWatchingInterrupts();
    ConsoleWriter::finish();
    restoreConsole();
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
    ConsoleWriter::programBytes(bytes);
    keep(bytes);
    reading.read(bytes);
    nameTheRecord();
    followThePort();
    showProgress();
}

// In the window's title: a technician with several windows tells them apart at a glance.
void Companion::showProgress(const QString &verdictWord)
{
    const RunReading::Progress progress = reading.progress();
    QStringList parts { QStringLiteral("update-tracker") };
    if (!progress.port.isEmpty())
        parts.append(titlePart(progress.port));
    if (!progress.imei.isEmpty())
        parts.append(progress.imei);
    if (!verdictWord.isEmpty())
        parts.append(verdictWord);
    else if (progress.port.isEmpty())
        parts.append(QStringLiteral("waiting for the tracker"));
    else if (progress.step > 0)
        parts.append(QStringLiteral("step %1 of %2, %3").arg(progress.step).arg(progress.steps).arg(progress.stage));
    const QString title = parts.join(QStringLiteral(" - "));
    if (title != shownTitle)
        setWindowTitle(shownTitle = title);
}

// While a tracker's run goes on, its port is looked for each second: an unplugged tracker
// is told at once, and the verdict takes it as evidence.
void Companion::followThePort()
{
    const QString port = reading.portInUse();
    if (port == watchedPort)
        return;
    watchedPort = port;
    if (watchedPort.isEmpty())
        portWatch.stop();
    else
        portWatch.start(portWatchIntervalMs);
}

void Companion::checkThePort()
{
    if (!goneCandidate.isEmpty())
        return;
    const QString port = watchedPort;
    const QList<QSerialPortInfo> ports = QSerialPortInfo::availablePorts();
    if (std::any_of(ports.cbegin(), ports.cend(), [&port](const QSerialPortInfo &info) { return info.portName() == port; }))
        return;
    // The updater's lines written before now may still be on their way (a pipe, a reader
    // thread): what comes within a second counts as written before.
    goneCandidate = port;
    QTimer::singleShot(portGoneGraceMs, this, &Companion::confirmPortGone);
}

void Companion::confirmPortGone()
{
    const QString port = std::exchange(goneCandidate, QString());
    passOn(updater.readAllStandardError());
    // Its run may have ended meanwhile, or another begun.
    if (port != watchedPort || reading.portInUse() != port || !reading.portGone())
        return;
    portWatch.stop();
    const QString line = QStringLiteral("update-tracker: the tracker's port %1 is gone, the tracker unplugged: nothing more "
                                        "reaches it. Press Ctrl+C to end the run now, then read the verdict.")
                                 .arg(port);
    keep(line.toUtf8() + lineEnd);
    say(line);
}

static QString verdictWord(Verdict verdict)
{
    return QString::fromUtf8(verdictForm(verdict).word);
}

// As soon as a tracker's IMEI is read, so that a record left by a run cut short has it too.
void Companion::nameTheRecord()
{
    const QStringList imeis = reading.imeis();
    if (imeis.size() == imeisInRecordName)
        return;
    imeisInRecordName = imeis.size();
    const QString failure = record.nameAfter(imeis);
    if (!failure.isEmpty())
        say(QStringLiteral("update-tracker: the record stops here, it cannot be written: %1").arg(failure));
}

// The window closing, or Windows ending the session: the run stops, and its verdict must
// reach the record before Windows ends this process.
void Companion::closing(const QString &why)
{
    if (!closingNow) {
        closingNow = true;
        const QString line = QStringLiteral("update-tracker: %1: the run stops here").arg(why);
        keep(line.toUtf8() + lineEnd);
        say(line);
    }
    interrupt();
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

// The verdicts go to the record, then to rollout.csv, and only then to the console: a
// closing window or a console that is gone loses no verdict.
void Companion::showVerdicts(const QList<RunVerdict> &verdicts)
{
    const RunVerdict &weightiest = RunReading::weightiest(verdicts);
    exitCode = verdictForm(weightiest.verdict).exitCode;
    QStringList lines;
    for (const RunVerdict &verdict : verdicts)
        lines.append(verdict.line);
    QByteArray forRecord = lineEnd;
    for (const QString &line : lines)
        forRecord += line.toUtf8() + lineEnd;
    keep(forRecord);
    const QStringList notes = keptInRollout(verdicts);
    forRecord.clear();
    for (const QString &line : notes)
        forRecord += line.toUtf8() + lineEnd;
    keep(forRecord);
    verdictKept();
    showProgress(verdictWord(weightiest.verdict));
    say(QString());
    for (const QString &line : lines + notes)
        say(line);
    const QString path = QDir::toNativeSeparators(record.path());
    if (record.isOpen())
        say(QStringLiteral("Record of this run: %1").arg(path));
    else if (!path.isEmpty())
        say(QStringLiteral("Record of this run, cut short where it could not be written: %1").arg(path));
    else
        say(QStringLiteral("No record of this run was kept: the first line says why."));
}

namespace {

// What this run did to the backup of a tracker updated before, as far as its verdict shows.
QString whatThisRunDid(const QString &when, Verdict verdict)
{
    const QString before = QStringLiteral("Updated before, on %1: ").arg(when);
    switch (verdictForm(verdict).backup) {
    case Backup::Replaced:
        return before + QStringLiteral("this run deleted the backup that update had kept; "
                                       "its backup is now the firmware that update installed.");
    case Backup::Untouched:
        return before + QStringLiteral("this run left the firmware and the backup of that update as they were.");
    case Backup::MayBeGone:
        return before + QStringLiteral("this run left its firmware, but the backup that update had kept may be gone.");
    case Backup::Unknown:
        break;
    }
    return before + QStringLiteral("the backup that update had kept may be gone.");
}

// The line under the verdict: what this run did, then what the technician does about it.
QString updatedBefore(const QString &when, Verdict verdict)
{
    return whatThisRunDid(when, verdict) + QStringLiteral(" Tell the maintainer, with the record.");
}

} // namespace

// A line per tracker in the rollout file. Returns the lines for under the verdicts: what
// the file says of each tracker's earlier update, and where this run's lines went when
// they could not go in.
QStringList Companion::keptInRollout(const QList<RunVerdict> &verdicts) const
{
    QList<RolloutEntry> entries;
    QList<Verdict> entryVerdicts;
    const QDateTime now = QDateTime::currentDateTime();
    const QString recordName = QFileInfo(record.path()).fileName();
    for (const RunVerdict &verdict : verdicts) {
        if (verdict.port.isEmpty())
            continue;
        entries.append({ now, verdict.imei, verdict.port, verdictWord(verdict.verdict),
                         verdictForm(verdict.verdict).exitCode, recordName, {} });
        entryVerdicts.append(verdict.verdict);
    }
    if (entries.isEmpty())
        return {};
    // Beside this run's record, or where records go; a line that cannot go in waits in the
    // first of those folders that takes it.
    QStringList folders = Record::folders();
    if (!record.path().isEmpty())
        folders.prepend(record.folder());
    QStringList unmade;
    for (const QString &folder : folders) {
        if (QDir().mkpath(folder))
            break;
        unmade.append(QStringLiteral("%1 cannot be made").arg(QDir::toNativeSeparators(folder)));
    }
    if (unmade.size() == folders.size()) {
        unmade.removeDuplicates();
        return { QStringLiteral("update-tracker: this run is not in the rollout file (%1)").arg(unmade.join(QStringLiteral("; "))) };
    }
    const bool closingWindow = closingNow || windowClosing;
    const QString note = RolloutFile(folders[unmade.size()], folders)
                                 .add(entries, closingWindow ? closingRolloutLockWaitMs : rolloutLockWaitMs,
                                      closingWindow ? RolloutFile::Haste::Closing : RolloutFile::Haste::Normal);
    QStringList lines;
    for (qsizetype i = 0; i < entries.size(); ++i) {
        if (!entries[i].updatedBefore.isEmpty())
            lines.append((entries.size() > 1 ? entries[i].port + QStringLiteral(": ") : QString())
                         + updatedBefore(entries[i].updatedBefore, entryVerdicts[i]));
    }
    if (!note.isEmpty())
        lines.append(note);
    return lines;
}
