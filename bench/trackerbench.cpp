// Measures the real program against simulated trackers:
//  - the latency it adds to a run beyond the modem's own pauses,
//  - a run against a modem that answers in one piece, against the floor that waiting
//    a tenth of each step's limit before reading implies,
//  - its CPU time and peak memory for a complete run,
//  - the latency update-tracker adds to each line it passes on.
#include "modem/trackermodem.h"
#include "sim/childprocess.h"

#include <QCoreApplication>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QTextStream>

#include <algorithm>
#include <optional>

namespace {

QTextStream out(stdout);

struct Measure
{
    qint64 openToExitMs;
    double cpuSeconds;
    double peakMemoryMB;
    QList<QPair<QString, qint64>> lines; // the command's standard error, each line with its time
};

std::optional<Measure> runSimulated(const QStringList &portOptions, const QStringList &command = { TRACKER_UPDATER_PATH })
{
    QTemporaryDir directory;
    const QString reportPath = directory.filePath("report.json");
    QProcess simulation;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("LC_ALL", "C.UTF-8"); // no operator step: 20 commands
    simulation.setProcessEnvironment(environment);
    simulation.setStandardOutputFile(QProcess::nullDevice());
    simulation.setStandardErrorFile(QProcess::nullDevice());
    killWithParent(simulation);
    simulation.start(TRACKER_SIM_PATH, QStringList { "--report", reportPath, "--port", "ttyUSB2" } + portOptions
                             + QStringList { "--" } + command);
    simulation.waitForFinished(-1);
    QFile file(reportPath);
    file.open(QIODevice::ReadOnly);
    const QJsonObject report = QJsonDocument::fromJson(file.readAll()).object();
    if (report.contains("simulationUnavailable")) {
        out << "Simulation unavailable: " << report["simulationUnavailable"].toString() << '\n';
        return std::nullopt;
    }
    if (simulation.exitStatus() != QProcess::NormalExit || simulation.exitCode() != 0) {
        out << "The simulated run failed with code " << simulation.exitCode() << '\n';
        return std::nullopt;
    }
    qint64 openAtMs = -1;
    QList<QPair<QString, qint64>> lines;
    for (const QJsonValue line : report["console"].toArray()) {
        if (line["text"].toString().startsWith("Open  "))
            openAtMs = line["atMs"].toInteger();
        lines.append({ line["text"].toString(), line["atMs"].toInteger() });
    }
    return Measure { report["exitAtMs"].toInteger() - openAtMs, report["cpuSeconds"].toDouble(),
                     report["peakMemoryKiB"].toDouble() / 1024, lines };
}

// The steps of a run with a successful download and no operator choice.
QList<CommandStep> stepsOfARun(const UpdateScript &script)
{
    QList<CommandStep> steps = script.steps;
    steps.removeIf([](const CommandStep &step) { return step.role == CommandStep::Role::OperatorChoice; });
    return steps;
}

// The modem's own pauses in a run: each reply comes replyDelay after its command, the two
// delayed reports their own delay after that.
bool measureLatency(int runs)
{
    const int replyDelayMs = 20, activationDelayMs = 100, downloadDelayMs = 300;
    const qint64 modemMs = stepsOfARun(UpdateScript::standard()).size() * replyDelayMs + activationDelayMs + downloadDelayMs;
    out << "Modem echoing at once, replying " << replyDelayMs << " ms later (its pauses: " << modemMs
        << " ms per run)\n";
    for (int run = 1; run <= runs; ++run) {
        const auto measure = runSimulated({ "--reply-delay", QString::number(replyDelayMs),
                                            "--activation-delay", QString::number(activationDelayMs),
                                            "--download-delay", QString::number(downloadDelayMs) });
        if (!measure)
            return false;
        out << QStringLiteral("  run %1: open to exit %2 ms, added latency %3 ms (target < 50); "
                              "CPU %4 s (target < 0.3); peak memory %5 MB (target < 20)\n")
                        .arg(run)
                        .arg(measure->openToExitMs)
                        .arg(measure->openToExitMs - modemMs)
                        .arg(measure->cpuSeconds, 0, 'f', 3)
                        .arg(measure->peakMemoryMB, 0, 'f', 1);
        out.flush();
    }
    return true;
}

bool measureWaitFloor(int runs)
{
    qint64 floorMs = 0;
    for (const CommandStep &step : stepsOfARun(UpdateScript::standard()))
        floorMs += step.timeLimitMs / 10;
    out << "Modem sending echo and reply in one piece (floor: " << floorMs << " ms per run)\n";
    out.flush();
    for (int run = 1; run <= runs; ++run) {
        const auto measure = runSimulated({ "--mode", "one-piece" });
        if (!measure)
            return false;
        out << QStringLiteral("  run %1: open to exit %2 ms, ratio to the floor %3 (target <= 1.01)\n")
                        .arg(run)
                        .arg(measure->openToExitMs)
                        .arg(double(measure->openToExitMs) / double(floorMs), 0, 'f', 4);
        out.flush();
    }
    return true;
}

// The same run through update-tracker and without it: each line of the program's, from
// the "Open" line on, comes this much later through the companion than alone (the
// companion's own start and the modem's pauses cancel out).
bool measureCompanionLatency(int runs)
{
    QTemporaryDir folder;
    const QString companion = folder.filePath("update-tracker");
    if (!QFile::copy(UPDATE_TRACKER_PATH, companion) || !QFile::copy(TRACKER_UPDATER_PATH, folder.filePath("tracker-updater"))) {
        out << "Cannot copy the programs into " << folder.path() << '\n';
        return false;
    }
    const QStringList modem = { "--reply-delay", "20", "--activation-delay", "100", "--download-delay", "300" };
    out << "Through update-tracker, the same modem (latency it adds to each line)\n";
    for (int run = 1; run <= runs; ++run) {
        const auto alone = runSimulated(modem);
        const auto through = runSimulated(modem, { "/bin/sh", "-c", "exec \"$0\" 1>&2", companion });
        if (!alone || !through)
            return false;
        auto fromOpen = [](const Measure &measure) {
            QList<QPair<QString, qint64>> lines;
            qint64 openAtMs = -1;
            for (const auto &[text, atMs] : measure.lines) {
                if (openAtMs < 0 && text.startsWith("Open  "))
                    openAtMs = atMs;
                if (openAtMs >= 0 && !text.startsWith('"')) // the modem's chunks are cut differently run to run
                    lines.append({ text, atMs - openAtMs });
            }
            return lines;
        };
        const auto aloneLines = fromOpen(*alone);
        const auto throughLines = fromOpen(*through).mid(0, aloneLines.size());
        QList<qint64> added;
        for (qsizetype line = 0; line < aloneLines.size(); ++line) {
            if (throughLines.value(line).first != aloneLines[line].first) {
                out << "The runs differ at line " << line << ": " << aloneLines[line].first << '\n';
                return false;
            }
            added.append(throughLines[line].second - aloneLines[line].second);
        }
        std::sort(added.begin(), added.end());
        out << QStringLiteral("  run %1: %2 lines, added latency median %3 ms, highest %4 ms (target < 5)\n")
                        .arg(run).arg(added.size()).arg(added.value(added.size() / 2)).arg(added.isEmpty() ? 0 : added.last());
        out.flush();
    }
    return true;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList arguments = app.arguments();
    const qsizetype runsAt = arguments.indexOf("--runs");
    const int runs = runsAt > 0 ? std::max(1, arguments.value(runsAt + 1).toInt()) : 5;
    if (!measureLatency(runs))
        return 1;
    if (!measureCompanionLatency(runs))
        return 1;
    if (!arguments.contains("--skip-floor") && !measureWaitFloor(std::min(runs, 3)))
        return 1;
    return 0;
}
