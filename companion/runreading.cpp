#include "companion/runreading.h"

#include "console/consoletext.h"

#include <QDebug>
#include <QRegularExpression>

#include <algorithm>

// The verdicts, in the order of how much the technician must heed them.
const QList<VerdictForm> verdictForms = {
    { Verdict::FileStepUnanswered, "STOP", 3, Backup::Unknown, 1,
      ", do not run again: the file step %1 got no OK in time. Send the record to the maintainer." },
    { Verdict::StoppedInFileSwap, "STOP", 7, Backup::Unknown, 2,
      ", do not run again: %1 at %2, during the file swap. Send the record to the maintainer." },
    { Verdict::RebootUnanswered, "UPDATED", 4, Backup::Replaced, 0,
      ", but restart the tracker: the reboot got no OK in time. Unplug the tracker and plug it in again." },
    { Verdict::StoppedAfterSwap, "UPDATED", 8, Backup::Replaced, 2,
      ", but restart the tracker: %1 at %2, after the file swap. Unplug the tracker and plug it in again." },
    { Verdict::StoppedTrackerUnchanged, "NOT UPDATED", 6, Backup::Untouched, 2,
      ", the tracker is unchanged: %1 at %2, before the file swap. You may run again." },
    { Verdict::StoppedBeforeAnyFileChanged, "NOT UPDATED", 6, Backup::Untouched, 2,
      ", the tracker is unchanged: %1 at %2, in the file swap before any file was changed. "
      "You may run again." },
    { Verdict::StoppedBeforeRename, "NOT UPDATED", 6, Backup::MayBeGone, 2,
      ", the tracker keeps its firmware: %1 at %2, before any file was renamed. You may run again." },
    { Verdict::ServerAnswered, "NOT UPDATED", 2, Backup::Untouched, 1,
      ", the tracker is unchanged: the update server answered %1. Tell the maintainer." },
    { Verdict::ReportUnreadable, "NOT UPDATED", 2, Backup::Untouched, 0,
      ", the tracker is unchanged: the download's report, the line above \"Download failed\", "
      "is not one tracker-updater can read. Tell the maintainer." },
    { Verdict::SwapNotDone, "NOT UPDATED", 2, Backup::MayBeGone, 1,
      ", the tracker keeps its firmware: the modem did not rename its files (%1). "
      "Send the record to the maintainer." },
    { Verdict::NoCoverage, "NOT UPDATED", 1, Backup::Untouched, 1,
      ", the tracker is unchanged: no coverage (%1). Move the tracker where it has coverage and run again." },
    { Verdict::ModemDidNotAnswer, "NOT UPDATED", 1, Backup::Untouched, 1,
      ", the tracker is unchanged: the modem did not answer (%1). "
      "Unplug the tracker, plug it in again and run again." },
    { Verdict::ReportLate, "NOT UPDATED", 1, Backup::Untouched, 0,
      ", the tracker is unchanged: the download's report came too late. "
      "Move the tracker where the coverage is better and run again." },
    { Verdict::PortBusy, "NOT UPDATED", 5, Backup::Untouched, 1,
      ", the tracker is unchanged: another program holds its port %1. "
      "Close that program (a terminal, a modem tool, a second updater) and run again." },
    { Verdict::NoTracker, "NO TRACKER FOUND", 5, Backup::Untouched, 1,
      ": %1 before a tracker was found. Check the cable and the driver; "
      "tracker-ports lists the ports and marks the tracker's." },
    { Verdict::NotStarted, "NOT UPDATED", 9, Backup::Untouched, 1,
      ", the tracker is unchanged: tracker-updater could not be started (%1). "
      "Unzip the package again into an empty folder and run again." },
    { Verdict::UpdatedWithoutBackup, "UPDATED", 0, Backup::Unknown, 0,
      ": the tracker has its new firmware, but no answer shows its old one kept as a backup. "
      "Tell the maintainer." },
    { Verdict::Updated, "UPDATED", 0, Backup::Replaced, 0, ": the tracker has its new firmware, and its old one as a backup." },
};

const VerdictForm &verdictForm(Verdict verdict)
{
    return *std::find_if(verdictForms.cbegin(), verdictForms.cend(),
                         [verdict](const VerdictForm &form) { return form.verdict == verdict; });
}

namespace {

using Answer = RunReading::Answer;

constexpr int operator|(Answer a, Answer b) { return int(a) | int(b); }
constexpr int operator|(int a, Answer b) { return a | int(b); }
constexpr int anyAnswer = Answer::NotSent | Answer::Done | Answer::Refused | Answer::Unknown;

// What the two renames' answers prove about the running image. The first row that holds
// decides; the reboot and the causes follow in RunReading::verdictOf.
enum class Swap {
    Done,            // the new image runs, the old one is the backup
    NewImageOnly,    // the new image runs; nothing shows the old one kept
    NothingRenamed,  // the running image is the one it was
    ImageUnknown,    // the running image is unknown, or gone
};
struct SwapRule
{
    int imageToBackup; // the answers it holds for
    int newImageToImage;
    Swap swap;
};
constexpr SwapRule swapRules[] = {
    { int(Answer::Done), int(Answer::Done), Swap::Done },
    // Only a refused first rename proves the image was not moved; an unknown one may
    // have moved it, and the second rename then left no image where it was.
    { int(Answer::Refused), int(Answer::Done), Swap::NewImageOnly },
    { Answer::NotSent | Answer::Refused, Answer::NotSent | Answer::Refused, Swap::NothingRenamed },
    { anyAnswer, anyAnswer, Swap::ImageUnknown },
};

Swap swapOf(Answer imageToBackup, Answer newImageToImage)
{
    for (const SwapRule &rule : swapRules) {
        if ((rule.imageToBackup & int(imageToBackup)) && (rule.newImageToImage & int(newImageToImage)))
            return rule.swap;
    }
    return Swap::ImageUnknown;
}

// HTTP statuses that may pass: one later retry may help.
bool passingStatus(int status)
{
    return status == 408 || status == 429 || status == 500 || status == 502 || status == 503 || status == 504;
}

// A command's final answer when it worked.
constexpr char finalOk[] = "OK";
// No echo or answer is longer; the reading keeps no more of a modem line.
constexpr qsizetype longestModemLine = 1024;
// A run's echoes and answers kept; beyond, a flood, and no answer is placed.
constexpr qsizetype mostEvents = 100000;

// From 600 up the modem reports its own failure to reach the server: the network.
constexpr int firstNetworkStatus = 600;

int hexDigit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

QString howItEnded(const UpdaterEnd &end)
{
    switch (end.how) {
    case UpdaterEnd::How::Stopped:
        return QStringLiteral("stopped");
    case UpdaterEnd::How::Crashed:
        return QStringLiteral("tracker-updater ended unexpectedly");
    case UpdaterEnd::How::Exited:
        break;
    }
    return QStringLiteral("tracker-updater ended unexpectedly with exit code %1").arg(end.exitCode);
}

// Windows' status codes read best as it writes them: 0xC0000135, not -1073741515.
QString exitCodeText(int code)
{
    if (code < 0 || code > 0xFFFF)
        return QStringLiteral("0x%1").arg(quint32(code), 8, 16, QLatin1Char('0')).toUpper().replace(QLatin1String("0X"), QLatin1String("0x"));
    return QString::number(code);
}

} // namespace

void RunReading::keepReply(QString &reply, const QString &piece)
{
    reply += piece;
    if (reply.size() > 2 * keptReplyBytes)
        reply = reply.right(keptReplyBytes);
}

RunReading::RunReading(const UpdateScript &script, std::optional<QString> operatorSelection)
{
    for (CommandStep step : script.steps) {
        if (step.role == CommandStep::Role::OperatorChoice) {
            if (!operatorSelection)
                continue;
            step.command = *operatorSelection;
        }
        if (step.command == QLatin1String(serialNumberCommand))
            serialNumberStep = steps.size();
        steps.append(step);
        sendLines.append(QLatin1String(ConsoleText::send) + u' ' + QDebug::toString(step.command + QStringLiteral("\r\n")));
    }
}

bool RunReading::chunkBytes(QByteArrayView line, qsizetype pieceBytes, const std::function<void(const QByteArray &)> &take)
{
    if (line.size() < 2 || !line.startsWith('"') || !line.endsWith('"'))
        return false;
    static const QByteArray escapes = "\"\\bfnrt";
    static const QByteArray escaped = "\"\\\b\f\n\r\t";
    QByteArray bytes;
    const qsizetype end = line.size() - 1;
    for (qsizetype i = 1; i < end; ++i) {
        const char c = line[i];
        if (c == '"') {
            // The stream closes and reopens its quotes between a \x escape and a hex digit.
            if (i + 1 >= end || line[i + 1] != '"')
                return false;
            ++i;
        } else if (c != '\\') {
            bytes += c;
        } else if (i + 1 < end && escapes.contains(line[i + 1])) {
            bytes += escaped[escapes.indexOf(line[++i])];
        } else if (i + 3 < end && line[i + 1] == 'x' && hexDigit(line[i + 2]) >= 0 && hexDigit(line[i + 3]) >= 0) {
            bytes += char(hexDigit(line[i + 2]) * 16 + hexDigit(line[i + 3]));
            i += 3;
        } else {
            return false;
        }
        if (bytes.size() >= pieceBytes)
            take(std::exchange(bytes, {}));
    }
    if (!bytes.isEmpty())
        take(bytes);
    return true;
}

// A modem's chunk, read apart from the program's own lines: a flood must cost no more
// than what the reading keeps of it.
void RunReading::readChunk(QByteArrayView line)
{
    if (runs.isEmpty() || runs.last().finished || runs.last().sent.isEmpty())
        return;
    TrackerRun &run = runs.last();
    QList<QString> pieces;
    const bool isChunk = chunkBytes(line, keptReplyBytes, [&pieces](const QByteArray &bytes) {
        pieces.append(QString::fromUtf8(bytes));
    });
    if (!isChunk)
        return;
    for (const QString &piece : std::as_const(pieces)) {
        takeModemLines(run, piece);
        keepReply(run.sent.last().reply, piece);
        if (run.report && !run.report->complete() && run.report->take(piece))
            run.reportCompletedUnder = run.sent.size() - 1;
    }
    // Its IMEI may come steps late, as answers queue behind a slow modem: no other step
    // answers a line of 15 digits.
    const auto askedForIt = [this](const SentStep &sent) { return sent.step == serialNumberStep; };
    if (run.imei.isEmpty() && std::any_of(run.sent.cbegin(), run.sent.cend(), askedForIt))
        run.imei = imeiIn(run.sent.last().reply);
}

// The sent step a line echoes, or -1: the current one, or an earlier one whose echo comes
// late, the first in order of those still without one since the last echoed step.
qsizetype RunReading::echoedStep(const TrackerRun &run, const QString &line) const
{
    if (line.isEmpty())
        return -1;
    qsizetype first = run.sent.size() - 1;
    while (first > 0 && run.sent[first - 1].echoEvent < 0)
        --first;
    for (qsizetype index = first; index < run.sent.size(); ++index) {
        if (run.sent[index].echoEvent < 0 && line.endsWith(steps[run.sent[index].step].command))
            return index;
    }
    return -1;
}

// The echoes and answers among the modem's lines, read as they end, before a flood's
// reply is cut to its tail: what places the answers is never lost.
void RunReading::takeModemLines(TrackerRun &run, const QString &piece) const
{
    qsizetype start = 0;
    qsizetype end;
    while ((end = piece.indexOf(u'\n', start)) >= 0) {
        const bool tooLong = run.partialTooLong || run.partialLine.size() + (end - start) > longestModemLine;
        const QString line = tooLong ? QString() : (run.partialLine + piece.mid(start, end - start)).trimmed();
        run.partialLine.clear();
        run.partialTooLong = false;
        start = end + 1;
        std::optional<Event> event;
        const qsizetype echoed = echoedStep(run, line);
        if (echoed >= 0)
            event = Event::Echo;
        else if (line == QLatin1String(finalOk))
            event = Event::Ok;
        else if (line == QLatin1String("ERROR") || line.startsWith(QLatin1String("+CME ERROR")))
            event = Event::Error;
        if (!event || run.tooManyEvents)
            continue;
        if (run.events.size() >= mostEvents) {
            run.tooManyEvents = true;
            continue;
        }
        if (*event == Event::Echo)
            run.sent[echoed].echoEvent = run.events.size();
        run.events.append(*event);
    }
    if (run.partialTooLong || run.partialLine.size() + (piece.size() - start) > longestModemLine) {
        run.partialLine.clear();
        run.partialTooLong = true;
    } else {
        run.partialLine += QStringView(piece).mid(start);
    }
}

void RunReading::read(QByteArrayView bytes)
{
    pendingLine += bytes;
    // Read in place: a flood's long line is not copied again.
    qsizetype start = 0;
    qsizetype end;
    while ((end = pendingLine.indexOf('\n', start)) >= 0) {
        QByteArrayView line(pendingLine.constData() + start, end - start);
        if (line.endsWith('\r'))
            line.chop(1);
        readLine(line);
        start = end + 1;
    }
    pendingLine.remove(0, start);
}

void RunReading::endOfOutput()
{
    if (!pendingLine.isEmpty())
        readLine(std::exchange(pendingLine, {}));
}

void RunReading::readLine(QByteArrayView bytes)
{
    if (bytes == ConsoleText::banner)
        sawBanner = true;
    if (bytes.startsWith('"') && !bytes.endsWith(ConsoleText::alreadyUsed)) {
        readChunk(bytes);
        return;
    }
    const QString line = QString::fromUtf8(bytes);
    const QString openPrefix = QLatin1String(ConsoleText::open) + QStringLiteral(" \"");
    if (line.startsWith(openPrefix) && line.endsWith(u'"')) {
        runs.append(TrackerRun {});
        runs.last().port = line.mid(openPrefix.size(), line.size() - openPrefix.size() - 1);
        return;
    }
    if (line.startsWith(u'"') && line.endsWith(QStringLiteral("\" ") + QLatin1String(ConsoleText::alreadyUsed))) {
        busyPort = line.chopped(qsizetype(qstrlen(ConsoleText::alreadyUsed)) + 1);
        return;
    }
    if (runs.isEmpty() || runs.last().finished)
        return;
    TrackerRun &run = runs.last();
    if (line == QLatin1String(ConsoleText::finished)) {
        run.finished = true;
        return;
    }
    if (line == QLatin1String(ConsoleText::downloadFailed)) {
        run.downloadFailed = true;
        return;
    }
    // The steps in the order the program sends them, the file swap left out after a
    // failed download: repeated commands are told apart by where the run is.
    for (qsizetype step = run.nextStep; step < steps.size(); ++step) {
        if (run.downloadFailed && steps[step].role == CommandStep::Role::FileSwap)
            continue;
        if (line == sendLines[step]) {
            run.sent.append(SentStep { step, {}, run.events.size() });
            run.nextStep = step + 1;
            if (steps[step].role == CommandStep::Role::Download)
                run.report.emplace(steps[step].expected);
            return;
        }
    }
}

QList<RunVerdict> RunReading::verdicts(const UpdaterEnd &end) const
{
    if (runs.isEmpty())
        return { beforeAnyTracker(end) };
    QList<RunVerdict> all;
    for (const TrackerRun &run : runs) {
        RunVerdict one = namingTheTracker(verdictOf(run, end, &run == &runs.last()), run);
        if (runs.size() > 1)
            one.line = run.port + QStringLiteral(": ") + one.line;
        all.append(one);
    }
    return all;
}

RunVerdict RunReading::notStarted(const QString &why)
{
    return formed(Verdict::NotStarted, why);
}

RunReading::Progress RunReading::progress() const
{
    if (runs.isEmpty())
        return {};
    const TrackerRun &run = runs.last();
    Progress progress { run.port, run.imei, run.sent.size(), steps.size(), {} };
    if (run.sent.isEmpty())
        return progress;
    const CommandStep &step = steps[run.sent.last().step];
    progress.step = run.sent.last().step + 1;
    if (step.effect == CommandStep::Effect::Restarts)
        progress.stage = QStringLiteral("restart");
    else if (step.role == CommandStep::Role::Download)
        progress.stage = QStringLiteral("download");
    else if (step.role == CommandStep::Role::FileSwap)
        progress.stage = QStringLiteral("file swap");
    else
        progress.stage = QStringLiteral("network");
    return progress;
}

QString RunReading::portInUse() const
{
    return runs.isEmpty() || runs.last().finished ? QString() : runs.last().port;
}

bool RunReading::portGone()
{
    if (runs.isEmpty() || runs.last().finished || runs.last().reachedSteps >= 0)
        return false;
    TrackerRun &run = runs.last();
    // A modem that restarts at the reboot leaves its port too: that is no unplugging.
    if (!run.sent.isEmpty() && steps[run.sent.last().step].effect == CommandStep::Effect::Restarts)
        return false;
    run.reachedSteps = run.sent.size();
    return true;
}

// How many sent steps reached the tracker before its port was seen gone, or -1. Anything
// that came after that shows the port was there after all.
qsizetype RunReading::stepsReached(const TrackerRun &run)
{
    if (run.reachedSteps < 0)
        return -1;
    const bool answeredAfter = std::any_of(run.sent.cbegin() + run.reachedSteps, run.sent.cend(),
                                           [](const SentStep &sent) { return !sent.reply.trimmed().isEmpty(); });
    return answeredAfter ? -1 : run.reachedSteps;
}

QStringList RunReading::imeis() const
{
    QStringList read;
    for (const TrackerRun &run : runs) {
        if (!run.imei.isEmpty() && !read.contains(run.imei))
            read.append(run.imei);
    }
    return read;
}

QString RunReading::imeiIn(const QString &reply)
{
    // Only a line whose end has come: more digits may follow in the next chunk.
    static const QRegularExpression imeiLine(QStringLiteral("(?:^|\\n)\\r?([0-9]{15})\\r?\\n"));
    return imeiLine.match(reply).captured(1);
}

// Right after the verdict's first words: "UPDATED, tracker 869951040000017: ...".
RunVerdict RunReading::namingTheTracker(RunVerdict verdict, const TrackerRun &run) const
{
    QString tracker = QStringLiteral("tracker ") + run.imei;
    if (run.imei.isEmpty()) {
        // A run that ended while AT+GSN waited ended before its answer.
        const bool asked = std::any_of(run.sent.cbegin(), run.sent.cend(),
                                       [this](const SentStep &sent) { return sent.step == serialNumberStep; })
                && (run.finished || run.sent.last().step != serialNumberStep);
        tracker = asked ? QStringLiteral("tracker of unknown IMEI (%1 gave none)").arg(QLatin1String(serialNumberCommand))
                        : QStringLiteral("tracker of unknown IMEI (the run ended before %1)").arg(QLatin1String(serialNumberCommand));
    }
    verdict.line.insert(qsizetype(qstrlen(verdictForm(verdict.verdict).word)), QStringLiteral(", ") + tracker);
    verdict.port = run.port;
    verdict.imei = run.imei;
    return verdict;
}

RunVerdict RunReading::weightiest(const QList<RunVerdict> &verdicts)
{
    for (const VerdictForm &form : verdictForms) {
        for (const RunVerdict &one : verdicts) {
            if (one.verdict == form.verdict)
                return one;
        }
    }
    return verdicts.value(0);
}

RunVerdict RunReading::beforeAnyTracker(const UpdaterEnd &end) const
{
    // An error line of the system's (a library missing, say) is no line of the program's.
    if (!sawBanner && end.how != UpdaterEnd::How::Stopped) {
        const QString how = end.how == UpdaterEnd::How::Crashed
                ? QStringLiteral("it ended unexpectedly before its first line")
                : QStringLiteral("it ended with exit code %1 before its first line").arg(exitCodeText(end.exitCode));
        return formed(Verdict::NotStarted, how);
    }
    if (!busyPort.isEmpty())
        return formed(Verdict::PortBusy, busyPort);
    return formed(Verdict::NoTracker, howItEnded(end));
}

qsizetype RunReading::stepWith(CommandStep::Effect effect) const
{
    const auto found = std::find_if(steps.cbegin(), steps.cend(),
                                    [effect](const CommandStep &step) { return step.effect == effect; });
    return found - steps.cbegin();
}

qsizetype RunReading::downloadStep() const
{
    const auto found = std::find_if(steps.cbegin(), steps.cend(),
                                    [](const CommandStep &step) { return step.role == CommandStep::Role::Download; });
    return found - steps.cbegin();
}

// What came for a step: its reply after its echo, and what came under the next step
// before that one's echo. Without an echo to tell them apart, a reply is its step's own.
QString RunReading::answerText(const TrackerRun &run, qsizetype sentIndex) const
{
    const auto echoEnd = [this, &run](qsizetype index) {
        const QString &reply = run.sent[index].reply;
        const qsizetype echo = reply.indexOf(steps[run.sent[index].step].command + u'\r');
        return echo;
    };
    QString text = run.sent[sentIndex].reply;
    const qsizetype ownEcho = echoEnd(sentIndex);
    if (ownEcho > 0)
        text.remove(0, ownEcho);
    if (sentIndex + 1 < run.sent.size()) {
        const qsizetype nextEcho = echoEnd(sentIndex + 1);
        if (nextEcho > 0)
            text += run.sent[sentIndex + 1].reply.left(nextEcho);
    }
    return text;
}

RunReading::Answer RunReading::answerTo(const TrackerRun &run, qsizetype step) const
{
    const auto sent = std::find_if(run.sent.cbegin(), run.sent.cend(),
                                   [step](const SentStep &one) { return one.step == step; });
    if (sent == run.sent.cend())
        return Answer::NotSent;
    const qsizetype index = sent - run.sent.cbegin();
    const qsizetype reached = stepsReached(run);
    if (reached >= 0 && index >= reached)
        return Answer::NotSent;
    const Result result = placedResults(run).value(index, Result::None);
    if (result == Result::Error)
        return Answer::Refused;
    // A step that waits for OK has it only where the OK is certainly its own; one that
    // waits for a text of its own (a report, an operator) has that text under it.
    if (steps[step].expected == QLatin1String(finalOk))
        return result == Result::Ok ? Answer::Done : Answer::Unknown;
    return answerText(run, index).contains(steps[step].expected) ? Answer::Done : Answer::Unknown;
}

// Each OK or ERROR line of the run given to the one step it can belong to, in the order
// of the sent steps. A modem answers a command only after its echo, and its answers come
// in the order of the commands; but an answer may come late, after the next command's
// echo. So a line may belong to the step of the last echo before it, or to an earlier
// step not yet answered; a step that nothing heard answers nothing. The line is placed
// only where the earliest and the latest placements the echoes allow agree; otherwise it
// counts for no step.
QList<RunReading::Result> RunReading::placedResults(const TrackerRun &run) const
{
    QList<Result> placed(run.sent.size(), Result::None);
    if (run.tooManyEvents)
        return placed;
    // Where each step was heard: at its echo, late or not; where its echo is lost but
    // something came under it, where its wait began, for what came may be its own, though
    // it proves nothing of its work; -1 where nothing heard it. A wait's start comes before
    // its first event (2 e), an event after itself (2 e + 1).
    QList<qsizetype> heardAt;
    for (const SentStep &sent : run.sent) {
        if (sent.echoEvent >= 0)
            heardAt.append(2 * sent.echoEvent + 1);
        else if (!sent.reply.trimmed().isEmpty())
            heardAt.append(2 * sent.firstEvent);
        else
            heardAt.append(-1);
    }
    struct Line
    {
        qsizetype at; // in halves, as heardAt
        Result result;
    };
    const auto canOwn = [&heardAt](qsizetype step, const Line &line) {
        return heardAt[step] >= 0 && heardAt[step] < line.at;
    };
    QList<Line> lines;
    for (qsizetype event = 0; event < run.events.size(); ++event) {
        if (run.events[event] == Event::Echo)
            continue;
        const Line line { 2 * event + 1, run.events[event] == Event::Ok ? Result::Ok : Result::Error };
        // A line before any step was heard belongs to none.
        bool owned = false;
        for (qsizetype step = 0; step < run.sent.size() && !owned; ++step)
            owned = canOwn(step, line);
        if (owned)
            lines.append(line);
    }
    // The earliest placement: each line to the first step after the previous one's that
    // can own it. Where one finds none, the answers do not fit one per command, and no
    // placement holds.
    QList<qsizetype> earliest(lines.size(), -1);
    qsizetype previous = -1;
    for (qsizetype i = 0; i < lines.size(); ++i) {
        for (qsizetype step = previous + 1; step < run.sent.size() && earliest[i] < 0; ++step) {
            if (canOwn(step, lines[i]))
                earliest[i] = previous = step;
        }
        if (earliest[i] < 0)
            return placed;
    }
    // The latest: from the end, each line to the last step before the next one's that can
    // own it. A line is placed where both agree, on a step whose own echo came.
    qsizetype next = run.sent.size();
    for (qsizetype i = lines.size() - 1; i >= 0; --i) {
        qsizetype latest = -1;
        for (qsizetype step = next - 1; step >= 0 && latest < 0; --step) {
            if (canOwn(step, lines[i]))
                latest = next = step;
        }
        if (latest < 0)
            return QList<Result>(run.sent.size(), Result::None);
        if (earliest[i] == latest && run.sent[latest].echoEvent >= 0)
            placed[latest] = lines[i].result;
    }
    return placed;
}

// The first step from `from` up to `to` whose work no answer shows done, with what it got.
// With `okAnswers`, a step whose OK is its own counts as answered, its expected text or not.
QString RunReading::firstUnanswered(const TrackerRun &run, qsizetype from, qsizetype to, bool okAnswers) const
{
    for (qsizetype step = from; step <= to && step < steps.size(); ++step) {
        const Answer answer = answerTo(run, step);
        if (answer == Answer::Refused)
            return QStringLiteral("%1 answered ERROR").arg(steps[step].command);
        if (answer == Answer::Unknown) {
            // Something else than its expected text came, or nothing beyond its echo.
            const auto sent = std::find_if(run.sent.cbegin(), run.sent.cend(),
                                           [step](const SentStep &one) { return one.step == step; });
            QString text = sent == run.sent.cend() ? QString() : answerText(run, sent - run.sent.cbegin());
            if (text.startsWith(steps[step].command + u'\r'))
                text.remove(0, steps[step].command.size() + 1);
            const QString trimmed = text.trimmed();
            if (okAnswers && placedResults(run).value(sent - run.sent.cbegin()) == Result::Ok)
                continue;
            if (!trimmed.isEmpty())
                return QStringLiteral("%1 got no %2").arg(steps[step].command, steps[step].expected);
            return QStringLiteral("%1 got no answer").arg(steps[step].command);
        }
    }
    return {};
}

RunVerdict RunReading::verdictOf(const TrackerRun &run, const UpdaterEnd &end, bool lastRun) const
{
    // An unplugged tracker ends its run where the last step reached it.
    const bool unplugged = stepsReached(run) >= 0;
    const bool ended = (!run.finished && lastRun) || unplugged;
    const QString how = unplugged ? QStringLiteral("the tracker was unplugged") : howItEnded(end);
    const qsizetype reached = unplugged ? stepsReached(run) : run.sent.size();
    const QString where = reached == 0 ? QStringLiteral("the start of the run") : steps[run.sent[reached - 1].step].command;
    const bool inFileSwap = reached > 0 && steps[run.sent[reached - 1].step].role == CommandStep::Role::FileSwap;
    const qsizetype imageToBackup = stepWith(CommandStep::Effect::ImageToBackup);
    const qsizetype newImageToImage = stepWith(CommandStep::Effect::NewImageToImage);
    const Answer first = answerTo(run, imageToBackup);
    const Answer second = answerTo(run, newImageToImage);

    switch (swapOf(first, second)) {
    case Swap::Done:
    case Swap::NewImageOnly:
        if (answerTo(run, stepWith(CommandStep::Effect::Restarts)) == Answer::Done)
            return formed(swapOf(first, second) == Swap::Done ? Verdict::Updated : Verdict::UpdatedWithoutBackup);
        return ended ? formed(Verdict::StoppedAfterSwap, how, where) : formed(Verdict::RebootUnanswered);
    case Swap::ImageUnknown:
        if (ended && inFileSwap)
            return formed(Verdict::StoppedInFileSwap, how, where);
        return formed(Verdict::FileStepUnanswered, steps[first == Answer::Done ? newImageToImage : imageToBackup].command);
    case Swap::NothingRenamed:
        break;
    }
    // A failed download's cause stays whatever happened after it, unless the tracker was
    // unplugged before its report came.
    if (run.downloadFailed && !(unplugged && !(run.report && run.report->complete())))
        return downloadFailure(run);
    // The backup is gone only where its delete may have reached the modem.
    const bool backupMayBeGone = answerTo(run, stepWith(CommandStep::Effect::DeletesBackup)) != Answer::NotSent;
    if (ended && inFileSwap)
        return formed(backupMayBeGone ? Verdict::StoppedBeforeRename : Verdict::StoppedBeforeAnyFileChanged, how, where);
    if (ended)
        return formed(Verdict::StoppedTrackerUnchanged, how, where);
    const qsizetype swapStart = std::find_if(steps.cbegin(), steps.cend(), [](const CommandStep &step) {
        return step.role == CommandStep::Role::FileSwap;
    }) - steps.cbegin();
    return formed(Verdict::SwapNotDone, firstUnanswered(run, swapStart, newImageToImage));
}

// The report under the download says why; one that shows only later came too late.
RunVerdict RunReading::downloadFailure(const TrackerRun &run) const
{
    const qsizetype download = downloadStep();
    const auto sent = std::find_if(run.sent.cbegin(), run.sent.cend(),
                                   [download](const SentStep &one) { return one.step == download; });
    const bool reportInTime = run.report && run.report->complete() && run.reportCompletedUnder == sent - run.sent.cbegin();
    if (reportInTime) {
        const std::optional<DownloadReport> report
                = run.report->cut() ? std::nullopt : downloadReport(run.report->line());
        if (!report)
            return formed(Verdict::ReportUnreadable);
        if (report->status >= firstNetworkStatus)
            return formed(Verdict::NoCoverage, QStringLiteral("the modem reported network error %1").arg(report->status));
        QString answer = QString::number(report->status);
        if (report->status == 200 && report->size == 0)
            answer += QStringLiteral(" with an empty file: running again does not help");
        else if (passingStatus(report->status))
            answer += QStringLiteral(": one later retry may help");
        else
            answer += QStringLiteral(": running again does not help");
        return formed(Verdict::ServerAnswered, answer);
    }
    if (run.report && run.report->complete()) {
        // A line ended only by the echo of the program's next command was cut, not late; one
        // too long to keep whole cannot be read either way.
        const QString &nextCommand = steps[run.sent[run.reportCompletedUnder].step].command;
        if (run.report->cut() || run.report->line().contains(nextCommand))
            return formed(Verdict::ReportUnreadable);
        return formed(Verdict::ReportLate);
    }
    // No report: no coverage only where the modem answered everything before it.
    const bool downloadAnswered = sent != run.sent.cend() && !answerText(run, sent - run.sent.cbegin()).isEmpty()
            && !answerText(run, sent - run.sent.cbegin()).contains(QLatin1String("ERROR"));
    // A step that ended in OK has answered, not yet registered say: only silence or ERROR
    // shows a modem that did not.
    const QString unanswered = firstUnanswered(run, 0, download - 1, true);
    if (downloadAnswered && unanswered.isEmpty())
        return formed(Verdict::NoCoverage, QStringLiteral("the download got no report"));
    if (!unanswered.isEmpty())
        return formed(Verdict::ModemDidNotAnswer, unanswered);
    return formed(Verdict::ModemDidNotAnswer, sent != run.sent.cend() && answerText(run, sent - run.sent.cbegin()).contains(QLatin1String("ERROR"))
                                                      ? QStringLiteral("the download answered ERROR")
                                                      : QStringLiteral("the download got no answer"));
}

RunVerdict RunReading::formed(Verdict verdict, const QString &detail, const QString &where)
{
    const VerdictForm &form = verdictForm(verdict);
    QString line = QString::fromUtf8(form.word) + QString::fromUtf8(form.line);
    if (form.details == 2)
        line = line.arg(detail, where);
    else if (form.details == 1)
        line = line.arg(detail);
    return { verdict, line, {}, {} };
}
