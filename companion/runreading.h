#pragma once

#include "modem/trackermodem.h"

#include <QByteArray>
#include <QList>
#include <QString>

#include <functional>
#include <optional>

// How a technician reads a run of tracker-updater, made into data: what the modem's
// answers prove about the tracker's firmware files, the verdict that follows, and the
// reading of the program's lines that leads to it. The rules are the tables at the top of
// runreading.cpp; docs/console.md and the README's technician section show them.

enum class Verdict {
    Updated,
    UpdatedWithoutBackup,
    NoCoverage,
    ModemDidNotAnswer,
    ReportLate,
    ServerAnswered,
    ReportUnreadable,
    SwapNotDone,
    FileStepUnanswered,
    RebootUnanswered,
    NoTracker,
    PortBusy,
    StoppedTrackerUnchanged,
    StoppedBeforeAnyFileChanged,
    StoppedBeforeRename,
    StoppedInFileSwap,
    StoppedAfterSwap,
    NotStarted,
};

// What a run with that verdict did to the backup the tracker had: replaced by the
// firmware it ran, left as it was, maybe deleted while the firmware stayed, or unknown.
enum class Backup { Replaced, Untouched, MayBeGone, Unknown };

// One verdict's fixed form: its first words (UPDATED, NOT UPDATED, STOP, NO TRACKER
// FOUND), its exit code, its effect on the backup, and the rest of its line, with
// `details` places (%1, %2) for what the run gives (a status, a step, why it stopped).
struct VerdictForm
{
    Verdict verdict;
    const char *word;
    int exitCode;
    Backup backup;
    int details;
    const char *line;
};

// In the order of how much the technician must heed them: with several trackers in one
// run, the first that applies gives the exit code.
extern const QList<VerdictForm> verdictForms;

const VerdictForm &verdictForm(Verdict verdict);

// The exit code when update-tracker could not run tracker-updater at all, or was given an
// option it does not take.
constexpr int companionFailedExitCode = 9;

struct RunVerdict
{
    Verdict verdict;
    QString line;
    QString port; // the tracker's, empty when none was opened
    QString imei; // empty when the run did not read it
};

// How tracker-updater ended, as update-tracker saw it.
struct UpdaterEnd
{
    enum class How {
        Exited,  // by itself, with exitCode
        Crashed, // killed, or it crashed
        Stopped, // by Ctrl+C, a closed window or a stop signal
    };
    How how = How::Exited;
    int exitCode = 0;
};

// Reads the console lines of one tracker-updater process as they come.
class RunReading
{
public:
    // The script the program runs, with the operator step's command of the locale.
    explicit RunReading(const UpdateScript &script = UpdateScript::standard(),
                        std::optional<QString> operatorSelection = operatorCommand(QLocale::system().territory()));

    // The program's standard error as it comes, in pieces cut anywhere.
    void read(QByteArrayView bytes);
    // Its end: a last line without a line end is read too.
    void endOfOutput();

    // What the run did, once the program has ended: one verdict per tracker opened, none
    // opened giving one too.
    QList<RunVerdict> verdicts(const UpdaterEnd &end) const;

    // The verdict when tracker-updater could not be started at all, and why.
    static RunVerdict notStarted(const QString &why);

    // The port of the tracker whose run goes on, or an empty string.
    QString portInUse() const;
    // That port was seen gone, the tracker unplugged: the steps sent from now on reach
    // nothing. False where it tells nothing: no run goes on, or the modem restarts.
    bool portGone();

    // Where the latest tracker's run stands, for the window's title: the step last sent,
    // counted from 1 (0 before any), of how many, and what it belongs to.
    struct Progress
    {
        QString port; // empty before a tracker's port is opened
        QString imei;
        qsizetype step = 0;
        qsizetype steps = 0;
        QString stage; // "network", "download", "file swap" or "restart"
    };
    Progress progress() const;

    // The IMEIs read so far, each once, in the order the trackers came.
    QStringList imeis() const;

    // The IMEI in a reply to AT+GSN: its first whole line of 15 digits.
    static QString imeiIn(const QString &reply);

    // The verdict that decides the exit code.
    static RunVerdict weightiest(const QList<RunVerdict> &verdicts);

    // A chunk line's bytes, as the program escaped them between double quotes, handed on
    // in pieces of at most `pieceBytes`, so that a flood costs no memory. False, and
    // perhaps some pieces handed on, when the line is no chunk.
    static bool chunkBytes(QByteArrayView line, qsizetype pieceBytes,
                           const std::function<void(const QByteArray &)> &take);

    // What the answers to one step prove about its work.
    enum class Answer {
        NotSent = 1,
        Done = 2,    // its expected text came, wherever it came, a late one included
        Refused = 4, // ERROR without its expected text: its work was not done
        Unknown = 8, // neither, or the run ended while it waited: its work is unknown
    };

private:
    struct SentStep
    {
        qsizetype step; // index in the script
        QString reply;  // what came under it, decoded as the program decodes it
        qsizetype firstEvent = 0; // in the run's events, where its wait began
        qsizetype echoEvent = -1; // in the run's events, its echo
    };
    // The modem's lines that place answers: an echo, an OK, an ERROR, in the order they came.
    enum class Event { Echo, Ok, Error };
    struct TrackerRun
    {
        QString port;
        QList<SentStep> sent;
        qsizetype nextStep = 0;
        QString imei;
        std::optional<ReportLine> report; // fed from the download on
        qsizetype reportCompletedUnder = -1; // in `sent`
        bool downloadFailed = false;
        bool finished = false;
        qsizetype reachedSteps = -1; // in `sent`, once the port was seen gone
        QList<Event> events;
        bool tooManyEvents = false;  // a flood: no answer can then be placed
        QString partialLine;         // the start of a modem line whose end has not come
        bool partialTooLong = false; // no echo or answer is that long
    };

    // What the reading keeps of a step's reply: its end, where the answer comes, bounded so
    // that a modem flooding the port costs no memory.
    static constexpr qsizetype keptReplyBytes = 64 * 1024;
    static void keepReply(QString &reply, const QString &piece);
    void takeModemLines(TrackerRun &run, const QString &piece) const;
    qsizetype echoedStep(const TrackerRun &run, const QString &line) const;
    void readLine(QByteArrayView line);
    void readChunk(QByteArrayView line);
    qsizetype stepWith(CommandStep::Effect effect) const;
    qsizetype downloadStep() const;
    Answer answerTo(const TrackerRun &run, qsizetype step) const;
    static qsizetype stepsReached(const TrackerRun &run);
    enum class Result { None, Ok, Error };
    QList<Result> placedResults(const TrackerRun &run) const;
    QString answerText(const TrackerRun &run, qsizetype sentIndex) const;
    RunVerdict beforeAnyTracker(const UpdaterEnd &end) const;
    RunVerdict verdictOf(const TrackerRun &run, const UpdaterEnd &end, bool lastRun) const;
    RunVerdict downloadFailure(const TrackerRun &run) const;
    QString firstUnanswered(const TrackerRun &run, qsizetype from, qsizetype to, bool okAnswers = false) const;
    static RunVerdict formed(Verdict verdict, const QString &detail = {}, const QString &where = {});
    RunVerdict namingTheTracker(RunVerdict verdict, const TrackerRun &run) const;

    QList<CommandStep> steps;     // as the program sends them: the operator's command filled in
    QList<QString> sendLines;     // each step's "Send" line, as the program prints it
    qsizetype serialNumberStep = -1;
    QList<TrackerRun> runs;
    QByteArray pendingLine;       // the start of a line whose end has not come
    QString busyPort;             // a tracker's port that another program held
    bool sawBanner = false;
};
