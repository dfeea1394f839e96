#include "companion/companion.h"

#include "app/consoleline.h"
#include "companion/rolloutfile.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSerialPortInfo>

#include <algorithm>

#include <cstdio>

void say(const QString &line)
{
    printLine(line);
    std::fflush(stdout);
}

namespace {
constexpr int portWatchIntervalMs = 1000;
constexpr int portGoneGraceMs = 1000;
}

Companion::Companion()
{
    connect(&portWatch, &QTimer::timeout, this, &Companion::checkThePort);
}

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
    nameTheRecord();
    followThePort();
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

// The verdicts go to rollout.csv, then to the record, and only then to the console: a
// console that is gone by then loses no verdict.
void Companion::showVerdicts(const QList<RunVerdict> &verdicts)
{
    exitCode = verdictForm(RunReading::weightiest(verdicts).verdict).exitCode;
    const QStringList lines = keptInRollout(verdicts);
    QByteArray forRecord = lineEnd;
    for (const QString &line : lines)
        forRecord += line.toUtf8() + lineEnd;
    keep(forRecord);
    say(QString());
    for (const QString &line : lines)
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

// A verdict's first words, as the rollout file gives them: UPDATED, NOT UPDATED, STOP.
QString verdictWord(Verdict verdict)
{
    const QString line = QString::fromUtf8(verdictForm(verdict).line);
    return line.left(line.indexOf(QRegularExpression(QStringLiteral("[,:]"))));
}

// What this run did to the backup of a tracker updated before, as far as its verdict shows.
QString whatThisRunDid(const QString &when, Verdict verdict)
{
    const QString before = QStringLiteral("Updated before, on %1: ").arg(when);
    switch (verdict) {
    case Verdict::Updated:
    case Verdict::RebootUnanswered:
    case Verdict::StoppedAfterSwap:
        return before + QStringLiteral("this run deleted the backup that update had kept; "
                                       "its backup is now the firmware that update installed.");
    case Verdict::NoCoverage:
    case Verdict::ModemDidNotAnswer:
    case Verdict::ReportLate:
    case Verdict::ServerAnswered:
    case Verdict::ReportUnreadable:
    case Verdict::StoppedTrackerUnchanged:
    case Verdict::StoppedBeforeAnyFileChanged:
    case Verdict::NoTracker:
    case Verdict::PortBusy:
    case Verdict::NotStarted:
        return before + QStringLiteral("this run left the firmware and the backup of that update as they were.");
    case Verdict::SwapNotDone:
    case Verdict::StoppedBeforeRename:
        return before + QStringLiteral("this run left its firmware, but the backup that update had kept may be gone.");
    case Verdict::UpdatedWithoutBackup:
    case Verdict::FileStepUnanswered:
    case Verdict::StoppedInFileSwap:
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

// A line per tracker in the rollout file; the verdict lines, each with what the file
// says of its tracker's earlier update, and a line when the file cannot be written.
QStringList Companion::keptInRollout(const QList<RunVerdict> &verdicts) const
{
    QList<RolloutEntry> entries;
    const QDateTime now = QDateTime::currentDateTime();
    const QString recordName = QFileInfo(record.path()).fileName();
    for (const RunVerdict &verdict : verdicts) {
        if (!verdict.port.isEmpty())
            entries.append({ now, verdict.imei, verdict.port, verdictWord(verdict.verdict),
                             verdictForm(verdict.verdict).exitCode, recordName, {} });
    }
    QStringList whyNot;
    if (!entries.isEmpty()) {
        // Beside this run's record, or where records go.
        for (const QString &folder : record.path().isEmpty() ? Record::folders() : QStringList { record.folder() }) {
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
            lines.append(updatedBefore(entry->updatedBefore, verdict.verdict));
        ++entry;
    }
    if (!whyNot.isEmpty())
        lines.append(QStringLiteral("update-tracker: this run is not in the rollout file (%1)").arg(whyNot.join(QStringLiteral("; "))));
    return lines;
}

