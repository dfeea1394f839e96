#include "simulatedrun.h"

#include "sim/childprocess.h"
#include "testharness.h"

#include <QFile>
#include <QJsonDocument>
#include <QProcess>
#include <QTemporaryDir>

QMap<QString, QByteArray> SimulatedRun::files(int port) const
{
    QMap<QString, QByteArray> files;
    const QJsonObject content = ports.at(port)["files"].toObject();
    for (auto file = content.begin(); file != content.end(); ++file)
        files.insert(file.key(), QByteArray::fromBase64(file.value().toString().toLatin1()));
    return files;
}

SimulatedRun simulate(const QStringList &simulation, const QString &locale, int timeoutMs, const QStringList &command)
{
    SimulatedRun run;
    QTemporaryDir directory;
    const QString reportPath = directory.filePath("report.json");
    QProcess process;
    const QStringList localeSettings = localeEnvironment(locale);
    if (localeSettings.isEmpty()) {
        run.unavailable = "the locale " + locale + " cannot be made here";
        return run;
    }
    process.setProcessEnvironment(systemEnvironmentWith(localeSettings));
    killWithParent(process);
    process.start(TRACKER_SIM_PATH, QStringList { "--report", reportPath } + simulation + QStringList { "--" } + command);
    run.finished = process.waitForFinished(timeoutMs) && process.exitStatus() == QProcess::NormalExit;
    QFile reportFile(reportPath);
    reportFile.open(QIODevice::ReadOnly);
    const QJsonObject report = QJsonDocument::fromJson(reportFile.readAll()).object();
    run.unavailable = report["simulationUnavailable"].toString();
    run.exitCode = report["exitCode"].toInt(-1);
    run.cpuSeconds = report["cpuSeconds"].toDouble();
    run.peakMemoryKiB = report["peakMemoryKiB"].toInteger();
    const QJsonArray lines = report["console"].toArray();
    for (const QJsonValue line : lines) {
        run.lines.append(line["text"].toString());
        run.lineTimesMs.append(line["atMs"].toInteger() - lines.first()["atMs"].toInteger());
    }
    run.ports = report["ports"].toArray();
    return run;
}
