#include "companion/runreading.h"

#include "modem/consoletext.h"

#include <QDebug>
#include <QRegularExpression>

#include <algorithm>

const QList<VerdictForm> verdictForms = {
    { Verdict::FileStepUnanswered, 3,
      "STOP, do not run again: the file step %1 got no OK in time. Send the record to the maintainer." },
    { Verdict::StoppedInFileSwap, 7,
      "STOP, do not run again: %1 at %2, during the file swap. Send the record to the maintainer." },
    { Verdict::RebootUnanswered, 4,
      "UPDATED, but restart the tracker: the reboot got no OK in time. Unplug the tracker and plug it in again." },
    { Verdict::StoppedAtReboot, 8,
      "UPDATED, but restart the tracker: %1 at %2, the reboot. Unplug the tracker and plug it in again." },
    { Verdict::StoppedTrackerUnchanged, 6,
      "NOT UPDATED, the tracker is unchanged: %1 at %2, before the file swap. You may run again." },
    { Verdict::ServerAnswered, 2,
      "NOT UPDATED, the tracker is unchanged: the update server answered %1. Tell the maintainer." },
    { Verdict::NoCoverage, 1,
      "NOT UPDATED, the tracker is unchanged: %1. Move the tracker where it has coverage and run again." },
    { Verdict::NoTracker, 5,
      "NO TRACKER FOUND: %1 before a tracker was found. Check the cable and the driver; "
      "tracker-ports lists the ports and marks the tracker's." },
    { Verdict::Updated, 0, "UPDATED: the tracker has its new firmware, and its old one as a backup." },
};

const VerdictForm &verdictForm(Verdict verdict)
{
    return *std::find_if(verdictForms.cbegin(), verdictForms.cend(),
                         [verdict](const VerdictForm &form) { return form.verdict == verdict; });
}

namespace {

// HTTP statuses that may pass: one later retry may help.
bool passingStatus(int status)
{
    return status == 408 || status == 429 || status == 500 || status == 502 || status == 503 || status == 504;
}

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

} // namespace

void RunReading::keepReply(QString &reply, const QByteArray &chunk)
{
    reply += QString::fromUtf8(chunk);
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

std::optional<QByteArray> RunReading::chunkBytes(QByteArrayView line, qsizetype keptBytes)
{
    if (line.size() < 2 || !line.startsWith('"') || !line.endsWith('"'))
        return std::nullopt;
    static const QByteArray escapes = "\"\\bfnrt";
    static const QByteArray escaped = "\"\\\b\f\n\r\t";
    QByteArray bytes;
    const qsizetype end = line.size() - 1;
    for (qsizetype i = 1; i < end; ++i) {
        const char c = line[i];
        if (c == '"') {
            // The stream closes and reopens its quotes between a \x escape and a hex digit.
            if (i + 1 >= end || line[i + 1] != '"')
                return std::nullopt;
            ++i;
        } else if (c != '\\') {
            bytes += c;
        } else if (i + 1 < end && escapes.contains(line[i + 1])) {
            bytes += escaped[escapes.indexOf(line[++i])];
        } else if (i + 3 < end && line[i + 1] == 'x' && hexDigit(line[i + 2]) >= 0 && hexDigit(line[i + 3]) >= 0) {
            bytes += char(hexDigit(line[i + 2]) * 16 + hexDigit(line[i + 3]));
            i += 3;
        } else {
            return std::nullopt;
        }
        if (bytes.size() >= 2 * keptBytes)
            bytes.remove(0, bytes.size() - keptBytes);
    }
    return bytes.right(keptBytes);
}

void RunReading::readLine(QByteArrayView bytes)
{
    // A modem's chunk, read apart from the program's own lines: a flood must cost no more
    // than what the reading keeps of it.
    if (bytes.startsWith('"')) {
        if (runs.isEmpty() || runs.last().finished || runs.last().sent.isEmpty())
            return;
        TrackerRun &run = runs.last();
        if (const std::optional<QByteArray> chunk = chunkBytes(bytes, keptReplyBytes))
            keepReply(run.sent.last().reply, *chunk);
        if (run.imei.isEmpty() && run.sent.last().step == serialNumberStep)
            run.imei = imeiIn(run.sent.last().reply);
        return;
    }
    const QString line = QString::fromUtf8(bytes);
    const QString openPrefix = QLatin1String(ConsoleText::open) + QStringLiteral(" \"");
    if (line.startsWith(openPrefix) && line.endsWith(u'"')) {
        runs.append(TrackerRun { line.mid(openPrefix.size(), line.size() - openPrefix.size() - 1), {}, 0, {}, false, false });
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
    if (line == QLatin1String(ConsoleText::timedOut)) {
        if (!run.sent.isEmpty())
            run.sent.last().timedOut = true;
        return;
    }
    // The steps in the order the program sends them, the file swap left out after a
    // failed download: repeated commands are told apart by where the run is.
    for (qsizetype step = run.nextStep; step < steps.size(); ++step) {
        if (run.downloadFailed && steps[step].role == CommandStep::Role::FileSwap)
            continue;
        if (line == sendLines[step]) {
            run.sent.append(SentStep { step, {}, false });
            run.nextStep = step + 1;
            return;
        }
    }
}

QList<RunVerdict> RunReading::verdicts(const QString &howItEnded) const
{
    if (runs.isEmpty())
        return { formed(Verdict::NoTracker, howItEnded) };
    QList<RunVerdict> all;
    for (const TrackerRun &run : runs) {
        RunVerdict one = namingTheTracker(verdictOf(run, howItEnded), run);
        if (runs.size() > 1)
            one.line = run.port + QStringLiteral(": ") + one.line;
        all.append(one);
    }
    return all;
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
        const bool asked = std::any_of(run.sent.cbegin(), run.sent.cend(),
                                       [this](const SentStep &sent) { return sent.step == serialNumberStep; });
        tracker = asked ? QStringLiteral("tracker of unknown IMEI (%1 gave none)").arg(QLatin1String(serialNumberCommand))
                        : QStringLiteral("tracker of unknown IMEI (the run ended before %1)").arg(QLatin1String(serialNumberCommand));
    }
    static const QRegularExpression headEnd(QStringLiteral("[,:]"));
    const qsizetype at = verdict.line.indexOf(headEnd);
    verdict.line.insert(at < 0 ? verdict.line.size() : at, QStringLiteral(", ") + tracker);
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

RunVerdict RunReading::verdictOf(const TrackerRun &run, const QString &howItEnded) const
{
    return run.finished ? verdictOfFinishedRun(run) : stoppedAt(run, howItEnded);
}

RunVerdict RunReading::verdictOfFinishedRun(const TrackerRun &run) const
{
    if (run.downloadFailed)
        return downloadFailure(run);
    // Every step after the download must have been sent and answered, as its column says.
    const auto download = std::find_if(steps.cbegin(), steps.cend(),
                                       [](const CommandStep &step) { return step.role == CommandStep::Role::Download; });
    for (qsizetype step = download - steps.cbegin(); step < steps.size(); ++step) {
        const auto sent = std::find_if(run.sent.cbegin(), run.sent.cend(),
                                       [step](const SentStep &one) { return one.step == step; });
        const bool answered = sent != run.sent.cend() && !sent->timedOut;
        switch (steps[step].ifTimedOut) {
        case CommandStep::IfTimedOut::Harmless:
        case CommandStep::IfTimedOut::ReportDecides:
            break;
        case CommandStep::IfTimedOut::StopUnlessRefused:
            if (sent != run.sent.cend() && sent->reply.contains(QLatin1String("ERROR")))
                break;
            Q_FALLTHROUGH();
        case CommandStep::IfTimedOut::Stop:
            if (!answered)
                return formed(Verdict::FileStepUnanswered, commandOf(step));
            break;
        case CommandStep::IfTimedOut::Restart:
            if (!answered)
                return formed(Verdict::RebootUnanswered);
            break;
        }
    }
    return formed(Verdict::Updated);
}

// The report under the download says why; one that shows only later came too late.
RunVerdict RunReading::downloadFailure(const TrackerRun &run) const
{
    QString fromTheDownloadOn;
    for (const SentStep &sent : run.sent) {
        if (steps[sent.step].role == CommandStep::Role::Download) {
            fromTheDownloadOn = QStringLiteral("\n") + sent.reply;
            const std::optional<QString> line = downloadReportIn(fromTheDownloadOn);
            const std::optional<DownloadReport> report = line ? downloadReport(*line) : std::nullopt;
            if (report && report->status < firstNetworkStatus && !downloadSucceeded(*line)) {
                QString answer = QString::number(report->status);
                if (report->status == 200 && report->size == 0)
                    answer += QStringLiteral(" with an empty file: running again does not help");
                else if (passingStatus(report->status))
                    answer += QStringLiteral(": one later retry may help");
                else
                    answer += QStringLiteral(": running again does not help");
                return formed(Verdict::ServerAnswered, answer);
            }
            if (report && report->status >= firstNetworkStatus)
                return formed(Verdict::NoCoverage, QStringLiteral("no coverage (the modem reported network error %1)")
                                                            .arg(report->status));
        } else if (!fromTheDownloadOn.isEmpty()) {
            fromTheDownloadOn += sent.reply;
        }
    }
    if (downloadReportIn(fromTheDownloadOn))
        return formed(Verdict::NoCoverage, QStringLiteral("the download's report came too late"));
    return formed(Verdict::NoCoverage, QStringLiteral("no coverage (the download got no report)"));
}

RunVerdict RunReading::stoppedAt(const TrackerRun &run, const QString &howItEnded) const
{
    if (run.sent.isEmpty())
        return formed(Verdict::StoppedTrackerUnchanged, howItEnded, QStringLiteral("the start of the run"));
    const qsizetype step = run.sent.last().step;
    const QString where = commandOf(step);
    if (steps[step].role == CommandStep::Role::FileSwap)
        return formed(Verdict::StoppedInFileSwap, howItEnded, where);
    if (steps[step].ifTimedOut == CommandStep::IfTimedOut::Restart && !run.downloadFailed) {
        // Read as a finished run up to the reboot: a file step gone wrong still says stop.
        const RunVerdict swap = verdictOfFinishedRun(run);
        if (swap.verdict == Verdict::FileStepUnanswered)
            return swap;
        return formed(Verdict::StoppedAtReboot, howItEnded, where);
    }
    return formed(Verdict::StoppedTrackerUnchanged, howItEnded, where);
}

RunVerdict RunReading::formed(Verdict verdict, const QString &detail, const QString &where) const
{
    QString line = QString::fromUtf8(verdictForm(verdict).line);
    if (line.contains(QLatin1String("%2")))
        line = line.arg(detail, where);
    else if (line.contains(QLatin1String("%1")))
        line = line.arg(detail);
    return { verdict, line, {}, {} };
}

QString RunReading::commandOf(qsizetype step) const
{
    return steps[step].command;
}
