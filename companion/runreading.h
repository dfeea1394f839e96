#pragma once

#include "modem/trackermodem.h"

#include <QByteArray>
#include <QList>
#include <QString>

// How a technician reads a run of tracker-updater, made into data: the verdicts that
// update-tracker gives, and the reading of the program's lines that leads to one.

enum class Verdict {
    Updated,
    NoCoverage,
    ServerAnswered,
    FileStepUnanswered,
    RebootUnanswered,
    NoTracker,
    StoppedTrackerUnchanged,
    StoppedInFileSwap,
    StoppedAtReboot,
};

// One verdict's fixed form: its exit code, and its line, where %1 is the detail the run
// gives (a status, a step, why the run stopped).
struct VerdictForm
{
    Verdict verdict;
    int exitCode;
    const char *line;
};

// In the order of how much the technician must heed them: with several trackers in one
// run, the first that applies gives the exit code.
extern const QList<VerdictForm> verdictForms;

const VerdictForm &verdictForm(Verdict verdict);

// The exit code when update-tracker could not run tracker-updater at all (missing beside
// it, or an unknown option): no verdict on any tracker.
constexpr int companionFailedExitCode = 9;

struct RunVerdict
{
    Verdict verdict;
    QString line;
    QString port; // the tracker's, empty when none was opened
    QString imei; // empty when the run did not read it
};

// Reads the console lines of one tracker-updater process as they come.
class RunReading
{
public:
    // The script the program runs, with the operator step's command of the locale.
    explicit RunReading(const UpdateScript &script = UpdateScript::standard(),
                        std::optional<QString> operatorSelection = operatorCommand(QLocale::system().territory()));

    // One line of the program's standard error, without its line end.
    void readLine(QByteArrayView line);

    // What the run did, once the program has ended. `howItEnded` says why, where it ended
    // before its last line ("stopped with Ctrl+C", ...). One verdict per tracker opened,
    // none opened giving one too.
    QList<RunVerdict> verdicts(const QString &howItEnded) const;

    // The IMEIs read so far, each once, in the order the trackers came.
    QStringList imeis() const;

    // The IMEI in a reply to AT+GSN: its first whole line of 15 digits.
    static QString imeiIn(const QString &reply);

    // The verdict that decides the exit code.
    static RunVerdict weightiest(const QList<RunVerdict> &verdicts);

    // A chunk line's bytes, as the program escaped them between double quotes.
    // Of a long chunk only its last `keptBytes`, so that a flood costs no memory.
    static std::optional<QByteArray> chunkBytes(QByteArrayView line, qsizetype keptBytes);

private:
    struct SentStep
    {
        qsizetype step; // index in the script
        QString reply;  // what came under it, decoded as the program decodes it
        bool timedOut = false;
    };
    struct TrackerRun
    {
        QString port;
        QList<SentStep> sent;
        qsizetype nextStep = 0;
        QString imei;
        bool downloadFailed = false;
        bool finished = false;
    };

    // What the reading keeps of a step's reply: its end, where the report line and an
    // ERROR come, bounded so that a modem flooding the port costs no memory.
    static constexpr qsizetype keptReplyBytes = 64 * 1024;
    static void keepReply(QString &reply, const QByteArray &chunk);
    RunVerdict verdictOf(const TrackerRun &run, const QString &howItEnded) const;
    RunVerdict verdictOfFinishedRun(const TrackerRun &run) const;
    RunVerdict downloadFailure(const TrackerRun &run) const;
    RunVerdict stoppedAt(const TrackerRun &run, const QString &howItEnded) const;
    RunVerdict formed(Verdict verdict, const QString &detail = {}, const QString &where = {}) const;
    RunVerdict namingTheTracker(RunVerdict verdict, const TrackerRun &run) const;
    QString commandOf(qsizetype step) const;

    QList<CommandStep> steps;     // as the program sends them: the operator's command filled in
    QList<QString> sendLines;     // each step's "Send" line, as the program prints it
    qsizetype serialNumberStep = -1;
    QList<TrackerRun> runs;
};
