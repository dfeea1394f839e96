// Runs a command with simulated trackers plugged into a private /sys and /dev, then
// reports what each simulated modem received and which files it holds.
#include "sim/childprocess.h"
#include "sim/commandline.h"
#include "sim/simulatedsystem.h"

#include <QCoreApplication>
#include <QDebug>
#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLockFile>
#include <QProcess>
#include <QTextStream>
#include <QTimer>

#include <cstdio>
#include <sys/resource.h>

namespace {

struct ConsoleLine
{
    qint64 atMs;
    QString text;
};

// What came from a modem, escaped as the program's console shows it (without the quotes),
// so the report never garbles the terminal.
QString printable(const QByteArray &bytes)
{
    QString shown;
    QDebug(&shown).nospace() << bytes;
    return shown.mid(1, shown.size() - 2);
}

QString counted(qsizetype count, const char *what)
{
    return QStringLiteral("%1 %2%3").arg(count).arg(QLatin1String(what)).arg(count == 1 ? "" : "s");
}

// What a modem received and holds, as the end of the run shows it.
void printPortReport(QTextStream &out, const QString &name, const SimulatedTracker *tracker)
{
    if (!tracker) {
        out << "tracker-sim: " << name << " was never plugged in\n";
        return;
    }
    const QByteArrayList commands = tracker->receivedCommands();
    out << "tracker-sim: " << name << " received " << counted(commands.size(), "command") << ", "
        << counted(tracker->received().size(), "byte") << '\n';
    for (const QByteArray &command : commands)
        out << "    " << printable(command) << '\n';
    out << "tracker-sim: " << name << " holds\n";
    const QMap<QString, QByteArray> files = tracker->files();
    for (auto file = files.cbegin(); file != files.cend(); ++file)
        out << "    " << printable(file.key().toUtf8()) << ": " << printable(file.value()) << '\n';
}

// The same for the JSON report, bytes in base64.
QJsonObject portReport(const QString &name, const SimulatedTracker *tracker)
{
    QJsonObject report { { "name", name } };
    if (!tracker)
        return report;
    QJsonObject files;
    const QMap<QString, QByteArray> content = tracker->files();
    for (auto file = content.cbegin(); file != content.cend(); ++file)
        files.insert(file.key(), QString::fromLatin1(file.value().toBase64()));
    report.insert("received", QString::fromLatin1(tracker->received().toBase64()));
    report.insert("commands", tracker->receivedCommands().size());
    report.insert("bytes", tracker->received().size());
    report.insert("sent", QString::fromLatin1(tracker->sent().toBase64()));
    report.insert("files", files);
    return report;
}

// One port during the run: what was asked for it, its tracker once plugged in, and the
// lock that holds it busy.
struct PortRun
{
    PortPlan plan;
    std::unique_ptr<SimulatedTracker> tracker;
    std::unique_ptr<QLockFile> lock;
};

// The end of the run on the console.
void printEndReport(int exitCode, const std::list<PortRun> &ports)
{
    QTextStream out(stdout);
    out << "\ntracker-sim: the command exited with code " << exitCode << '\n';
    for (const PortRun &port : ports)
        printPortReport(out, port.plan.name, port.tracker.get());
}

// The CPU time and peak memory of the command and everything it started.
QJsonObject commandCost()
{
    rusage children {};
    ::getrusage(RUSAGE_CHILDREN, &children);
    const double cpuSeconds = double(children.ru_utime.tv_sec + children.ru_stime.tv_sec)
            + double(children.ru_utime.tv_usec + children.ru_stime.tv_usec) / 1e6;
    return { { "cpuSeconds", cpuSeconds }, { "peakMemoryKiB", qint64(children.ru_maxrss) } };
}

class Simulation
{
public:
    Simulation(TrackerSimOptions given, QString reaperPath);
    int run();
    // Tells that trackers cannot be simulated here, on the console and in the report.
    int reportUnavailable(const QString &reason) const;

private:
    bool plug(PortRun &port);
    bool holdBusy(PortRun &port);
    void fail(const QString &reason);
    void readConsole();
    bool writeReport(int exitCode) const;
    bool writeReport(const QJsonObject &report) const;

    const TrackerSimOptions options;
    const QString reaper;
    std::list<PortRun> ports;
    QProcess process;
    QElapsedTimer clock;
    QByteArray pendingConsole;
    bool outputSeen = false;
    QList<ConsoleLine> console;
    qint64 exitAtMs = -1;
    QString failure; // why the simulation could not do what it was asked
};

Simulation::Simulation(TrackerSimOptions given, QString reaperPath)
    : options(std::move(given)), reaper(std::move(reaperPath))
{
    for (const PortPlan &plan : options.ports)
        ports.push_back({ plan, nullptr, nullptr });
}

bool Simulation::plug(PortRun &port)
{
    const PortPlan &plan = port.plan;
    port.tracker = std::make_unique<SimulatedTracker>(plan.name, plan.description, plan.behaviour);
    if (port.tracker->error().isEmpty())
        return true;
    fail(QStringLiteral("%1 cannot be plugged in: %2").arg(plan.name, port.tracker->error()));
    return false;
}

bool Simulation::holdBusy(PortRun &port)
{
    const QString lockFile = SimulatedSystem::lockFilePath(port.plan.name);
    port.lock = std::make_unique<QLockFile>(lockFile);
    if (port.lock->tryLock(0))
        return true;
    fail(QStringLiteral("%1 cannot be held busy: no lock file at %2").arg(port.plan.name, lockFile));
    return false;
}

// A command left waiting for a tracker that never comes would wait for ever: it is stopped.
void Simulation::fail(const QString &reason)
{
    QTextStream(stderr) << "tracker-sim: " << reason << '\n';
    if (failure.isEmpty())
        failure = reason;
    if (process.state() != QProcess::NotRunning)
        process.kill();
}

int Simulation::run()
{
    for (PortRun &port : ports) {
        if (port.plan.busyUntilMs != 0 && !holdBusy(port))
            break;
        if (port.plan.plugAtMs == 0 && port.plan.plugAfterOutputMs < 0 && !plug(port))
            break;
    }
    if (!failure.isEmpty()) {
        writeReport(QJsonObject { { "failure", failure } });
        return 124;
    }

    for (PortRun &port : ports) {
        if (port.plan.busyUntilMs > 0)
            QTimer::singleShot(port.plan.busyUntilMs, [&port] { port.lock.reset(); });
        if (port.plan.plugAtMs > 0)
            QTimer::singleShot(port.plan.plugAtMs, [this, &port] { plug(port); });
        if (port.plan.unplugAtMs >= 0)
            QTimer::singleShot(port.plan.unplugAtMs, [&port] {
                if (port.tracker)
                    port.tracker->unplug();
            });
    }

    QObject::connect(&process, &QProcess::readyReadStandardError, [this] { readConsole(); });
    QObject::connect(&process, &QProcess::finished, [this] {
        exitAtMs = clock.elapsed();
        QCoreApplication::exit(0);
    });
    process.setProcessChannelMode(QProcess::ForwardedOutputChannel);
    process.setInputChannelMode(QProcess::ForwardedInputChannel);
    clock.start();
    startInItsOwnPidNamespace(process, reaper, options.program, options.programArguments);
    if (!process.waitForStarted(-1)) {
        QTextStream(stderr) << "tracker-sim: cannot start " << process.program() << ": " << process.errorString() << '\n';
        return 127;
    }
    QCoreApplication::exec();
    readConsole();

    // After a crash exitCode() is the signal's number.
    const int exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : 128 + process.exitCode();
    printEndReport(exitCode, ports);
    if (!writeReport(exitCode)) {
        QTextStream(stderr) << "tracker-sim: cannot write the report to " << options.reportPath << ": "
                            << options.report->errorString() << '\n';
        return 126;
    }
    return failure.isEmpty() ? exitCode : 124;
}

// Passes the command's console on as it comes, and keeps each line with its time.
void Simulation::readConsole()
{
    const QByteArray bytes = process.readAllStandardError();
    if (!bytes.isEmpty() && !outputSeen) {
        outputSeen = true;
        for (PortRun &port : ports) {
            if (port.plan.plugAfterOutputMs >= 0)
                QTimer::singleShot(port.plan.plugAfterOutputMs, [this, &port] { plug(port); });
        }
    }
    std::fwrite(bytes.constData(), 1, bytes.size(), stderr);
    pendingConsole += bytes;
    qsizetype end;
    while ((end = pendingConsole.indexOf('\n')) >= 0) {
        console.append({ clock.elapsed(), QString::fromUtf8(pendingConsole.left(end)) });
        pendingConsole.remove(0, end + 1);
    }
}

bool Simulation::writeReport(int exitCode) const
{
    QJsonArray lines;
    for (const ConsoleLine &line : console)
        lines.append(QJsonObject { { "atMs", line.atMs }, { "text", line.text } });
    QJsonArray portReports;
    for (const PortRun &port : ports)
        portReports.append(portReport(port.plan.name, port.tracker.get()));
    QJsonObject report = commandCost();
    report.insert("exitCode", exitCode);
    report.insert("exitAtMs", exitAtMs);
    report.insert("console", lines);
    report.insert("ports", portReports);
    if (!failure.isEmpty())
        report.insert("failure", failure);
    return writeReport(report);
}

bool Simulation::writeReport(const QJsonObject &report) const
{
    if (!options.report)
        return true;
    const QByteArray json = QJsonDocument(report).toJson();
    return options.report->write(json) == json.size() && options.report->flush();
}

int Simulation::reportUnavailable(const QString &reason) const
{
    QTextStream(stderr) << "tracker-sim: simulation unavailable: " << reason << '\n';
    writeReport(QJsonObject { { "simulationUnavailable", reason } });
    return 125;
}

} // namespace

int main(int argc, char *argv[])
{
    // Every option is checked before anything changes.
    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments.append(QString::fromLocal8Bit(argv[i]));
    TrackerSimOptions options;
    QString error = parseTrackerSimArguments(arguments, options);
    if (options.helpRequested) {
        QTextStream(stdout) << trackerSimUsage;
        return 0;
    }
    if (error.isEmpty())
        error = createTrackerSimReport(options);
    if (!error.isEmpty()) {
        QTextStream(stderr) << "tracker-sim: " << error << '\n';
        return 2;
    }

    const QString reaper = reaperBesideThisProgram();
    // Before anything can start a thread.
    const QString unavailable = SimulatedSystem::enter();
    QCoreApplication app(argc, argv);
    Simulation simulation(std::move(options), reaper);
    if (!unavailable.isEmpty())
        return simulation.reportUnavailable(unavailable);
    return simulation.run();
}
