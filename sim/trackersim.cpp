// Runs a command with simulated trackers plugged into a private /sys and /dev, then
// reports what each simulated modem received and which files it holds.
#include "sim/childprocess.h"
#include "sim/simulatedsystem.h"
#include "sim/simulatedtracker.h"

#include "buildsettings.h"

#include <QCoreApplication>
#include <QDebug>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLockFile>
#include <QProcess>
#include <QRegularExpression>
#include <QTextStream>
#include <QTimer>

#include <cstdio>
#include <list>
#include <memory>
#include <optional>
#include <sys/resource.h>

namespace {

const char usage[] = R"(Usage: tracker-sim [--report FILE] --port NAME [port options]... -- COMMAND [ARGUMENTS]...

Runs COMMAND in a private mount namespace in which each --port is a simulated
tracker (a pseudo-terminal listed by the serial port enumeration), then prints what
each simulated modem received and which files it holds, and exits with the exit
code of COMMAND. Linux; as root, or as any user where user namespaces are allowed.

A port NAME is a plain device name (1 to 32 letters, digits, '-', '_' or '.'; not
. or ..), given once. Port options apply to the --port before them; times are in
milliseconds from the start of COMMAND, from 0 to 86400000 (a day):
  --description TEXT       description of the port (default: the tracker's)
  --mode MODE              answering (default), one-piece, silent or error
  --reply-delay MS         from the echo of a command to its reply (default 5)
  --attach-delay MS        extra pause before answering a network attach (default 0)
  --activation-delay MS    from OK to the context activation report (default 20)
  --download-delay MS      from OK to the download report (default 50)
  --download-status CODE   HTTP status the download reports, 100 to 599 (default 200;
                           a 2xx status writes the new image)
  --download-empty         the download reports status 200 and writes an empty file
  --download-split MS      send the report's status this much after "+HTTPTOFS:"
  --download-silent        the download never reports
  --download-flood BYTES   the report's status is BYTES digits (1 to 16777216), then
                           its line end
  --plug-at MS             plug the tracker in later (default: before COMMAND starts)
  --plug-after-output MS   plug it in MS after COMMAND first writes to standard error
  --unplug-at MS           unplug it at that time, later than --plug-at
  --unplug-after N         unplug it once it received N commands, 1 to 1000
  --busy-until MS          another program holds the port until then (-1: always)

Each option is given once per port. A download has one outcome at most (status,
empty, silent or flood), and a silent one no split; a tracker has one plug time
at most, and --unplug-at goes with --plug-at only.

--report FILE, created before anything else happens, also writes the console lines
of COMMAND (with their times), what each modem received and sent, its files, the
exit code and the CPU time and peak memory of COMMAND as JSON. At the end each
modem's commands are counted as the modem cuts them (at CR), and its bytes.

COMMAND runs in a PID namespace of its own: whatever it starts ends when it ends,
or when tracker-sim does. Ended by signal N, it counts as exit code 128 + N.

Exit codes of its own: 2 for a bad option or a report that cannot be created (one
line tells which, and why); 124 when a tracker cannot be plugged in or held busy
(COMMAND is stopped, the report says why in "failure"); 125 when trackers cannot
be simulated here (nothing runs; a line that begins with "tracker-sim: simulation
unavailable:", and "simulationUnavailable" in the report); 126 when the report
cannot be written at the end; 127 when COMMAND cannot be started.
)";

struct PortPlan
{
    QString name;
    QString description = QString::fromUtf8(BuildSettings::portDescription);
    ModemBehaviour behaviour;
    int plugAtMs = 0;
    int plugAfterOutputMs = -1;
    int unplugAtMs = -1;
    int busyUntilMs = 0;
    QStringList given; // its options, each at most once
    std::unique_ptr<SimulatedTracker> tracker;
    std::unique_ptr<QLockFile> lock;
};

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

constexpr int aDayMs = 24 * 60 * 60 * 1000;

// A port option that takes a number: what it sets and the numbers it takes.
struct NumericOption
{
    int &(*setting)(PortPlan &);
    int minimum;
    int maximum;
};

const QMap<QString, NumericOption> numericOptions = {
    { "--reply-delay", { [](PortPlan &plan) -> int & { return plan.behaviour.replyDelayMs; }, 0, aDayMs } },
    { "--attach-delay", { [](PortPlan &plan) -> int & { return plan.behaviour.attachDelayMs; }, 0, aDayMs } },
    { "--activation-delay", { [](PortPlan &plan) -> int & { return plan.behaviour.activationDelayMs; }, 0, aDayMs } },
    { "--download-delay", { [](PortPlan &plan) -> int & { return plan.behaviour.downloadDelayMs; }, 0, aDayMs } },
    { "--download-status", { [](PortPlan &plan) -> int & { return plan.behaviour.downloadStatus; }, 100, 599 } },
    { "--download-split", { [](PortPlan &plan) -> int & { return plan.behaviour.downloadSplitMs; }, 0, aDayMs } },
    { "--unplug-after", { [](PortPlan &plan) -> int & { return plan.behaviour.unplugAfterCommands; }, 1, 1000 } },
    { "--download-flood", { [](PortPlan &plan) -> int & { return plan.behaviour.downloadFloodBytes; }, 1, 16 << 20 } },
    { "--plug-at", { [](PortPlan &plan) -> int & { return plan.plugAtMs; }, 0, aDayMs } },
    { "--plug-after-output", { [](PortPlan &plan) -> int & { return plan.plugAfterOutputMs; }, 0, aDayMs } },
    { "--unplug-at", { [](PortPlan &plan) -> int & { return plan.unplugAtMs; }, 0, aDayMs } },
    { "--busy-until", { [](PortPlan &plan) -> int & { return plan.busyUntilMs; }, -1, aDayMs } },
};

// The port options that take no value.
using PortFlag = bool &(*)(PortPlan &);
const QMap<QString, PortFlag> flagOptions = {
    { "--download-empty", [](PortPlan &plan) -> bool & { return plan.behaviour.downloadEmpty; } },
    { "--download-silent", [](PortPlan &plan) -> bool & { return plan.behaviour.downloadSilent; } },
};

const QMap<QString, ModemBehaviour::Mode> modes = {
    { "answering", ModemBehaviour::Mode::Answering },
    { "one-piece", ModemBehaviour::Mode::OnePiece },
    { "silent", ModemBehaviour::Mode::Silent },
    { "error", ModemBehaviour::Mode::Error },
};

// Decimal digits with an optional minus sign, nothing around them, within the range.
std::optional<int> integerIn(const QString &text, int minimum, int maximum)
{
    static const QRegularExpression integer(QRegularExpression::anchoredPattern(QStringLiteral("-?[0-9]{1,10}")));
    if (!integer.match(text).hasMatch())
        return std::nullopt;
    const qint64 value = text.toLongLong();
    if (value < minimum || value > maximum)
        return std::nullopt;
    return int(value);
}

// What the command line asks for.
struct Options
{
    std::list<PortPlan> ports;
    QString reportPath;
    std::shared_ptr<QFile> report; // created before anything else happens
    QString program;
    QStringList programArguments;
    bool helpRequested = false;
};

// Options of one port that each hold but cannot hold together.
QString combinationError(const PortPlan &plan)
{
    // In the order given.
    auto givenOf = [&plan](const QStringList &options) {
        QStringList given = plan.given;
        given.removeIf([&options](const QString &option) { return !options.contains(option); });
        return given;
    };
    const QStringList outcomes = givenOf({ "--download-status", "--download-empty", "--download-silent", "--download-flood" });
    if (outcomes.size() > 1)
        return outcomes.join(QStringLiteral(" and ")) + QStringLiteral(": one download outcome at most");
    if (givenOf({ "--download-split", "--download-silent" }).size() == 2)
        return QStringLiteral("--download-split and --download-silent: a silent download has no report to split");
    if (givenOf({ "--plug-at", "--plug-after-output" }).size() == 2)
        return QStringLiteral("--plug-at and --plug-after-output: one plug time at most");
    if (givenOf({ "--unplug-at", "--plug-after-output" }).size() == 2)
        return QStringLiteral("--unplug-at and --plug-after-output: the unplug time could come before the plug time");
    if (plan.unplugAtMs >= 0 && plan.unplugAtMs <= plan.plugAtMs)
        return QStringLiteral("--unplug-at %1 must be later than the plug time (--plug-at %2)")
                .arg(plan.unplugAtMs).arg(plan.plugAtMs);
    return {};
}

// Checks every option; returns why one cannot be taken, or an empty string.
QString parse(const QStringList &arguments, Options &options)
{
    std::list<PortPlan> &ports = options.ports;
    for (int i = 1; i < arguments.size(); ++i) {
        const QString option = arguments[i];
        if (option == "--help" || option == "-h") {
            options.helpRequested = true;
            return {};
        }
        if (option == "--") {
            options.program = arguments.value(i + 1);
            options.programArguments = arguments.mid(i + 2);
            break;
        }
        const bool known = option == "--report" || option == "--port" || option == "--description"
                || option == "--mode" || flagOptions.contains(option) || numericOptions.contains(option);
        if (!known)
            return QStringLiteral("unknown option %1 (see --help)").arg(option);
        const bool portOption = option != "--report" && option != "--port";
        if (portOption && ports.empty())
            return option + " must follow a --port";
        if (portOption && ports.back().given.contains(option))
            return QStringLiteral("%1 is given twice for %2").arg(option, ports.back().name);
        if (portOption)
            ports.back().given.append(option);
        if (const auto flag = flagOptions.constFind(option); flag != flagOptions.cend()) {
            (*flag)(ports.back()) = true;
            continue;
        }
        if (i + 1 >= arguments.size())
            return option + " needs a value";
        const QString value = arguments[++i];
        const QString given = option + u' ' + value + QStringLiteral(": ");
        if (option == "--report") {
            if (!options.reportPath.isNull())
                return option + " is given twice";
            options.reportPath = value;
        } else if (option == "--port") {
            const QString nameError = SimulatedSystem::portNameError(value);
            if (!nameError.isEmpty())
                return given + nameError;
            for (const PortPlan &plan : ports) {
                if (plan.name == value)
                    return given + QStringLiteral("must be unique, and is given twice");
            }
            ports.emplace_back().name = value;
        } else if (option == "--description") {
            ports.back().description = value;
        } else if (option == "--mode") {
            if (!modes.contains(value))
                return given + QStringLiteral("must be answering, one-piece, silent or error");
            ports.back().behaviour.mode = modes.value(value);
        } else {
            const NumericOption &numeric = numericOptions[option];
            const std::optional<int> number = integerIn(value, numeric.minimum, numeric.maximum);
            if (!number)
                return given + QStringLiteral("must be an integer from %1 to %2").arg(numeric.minimum).arg(numeric.maximum);
            numeric.setting(ports.back()) = *number;
        }
    }
    if (options.program.isEmpty())
        return QStringLiteral("no command given after --");
    for (const PortPlan &plan : ports) {
        const QString error = combinationError(plan);
        if (!error.isEmpty())
            return plan.name + QStringLiteral(": ") + error;
    }
    return {};
}

// Created at once, so that a report that could not be written never costs a whole run.
QString createReport(Options &options)
{
    if (options.reportPath.isNull())
        return {};
    options.report = std::make_shared<QFile>(options.reportPath);
    if (!options.report->open(QIODevice::WriteOnly | QIODevice::Truncate))
        return QStringLiteral("--report %1: cannot be created: %2").arg(options.reportPath, options.report->errorString());
    return {};
}

// What a modem received and holds, as the end of the run shows it.
void printPortReport(QTextStream &out, const PortPlan &plan)
{
    if (!plan.tracker) {
        out << "tracker-sim: " << plan.name << " was never plugged in\n";
        return;
    }
    const QByteArrayList commands = plan.tracker->receivedCommands();
    out << "tracker-sim: " << plan.name << " received " << counted(commands.size(), "command") << ", "
        << counted(plan.tracker->received().size(), "byte") << '\n';
    for (const QByteArray &command : commands)
        out << "    " << printable(command) << '\n';
    out << "tracker-sim: " << plan.name << " holds\n";
    const QMap<QString, QByteArray> files = plan.tracker->files();
    for (auto file = files.cbegin(); file != files.cend(); ++file)
        out << "    " << printable(file.key().toUtf8()) << ": " << printable(file.value()) << '\n';
}

// The same for the JSON report, bytes in base64.
QJsonObject portReport(const PortPlan &plan)
{
    QJsonObject report { { "name", plan.name } };
    if (!plan.tracker)
        return report;
    QJsonObject files;
    const QMap<QString, QByteArray> content = plan.tracker->files();
    for (auto file = content.cbegin(); file != content.cend(); ++file)
        files.insert(file.key(), QString::fromLatin1(file.value().toBase64()));
    report.insert("received", QString::fromLatin1(plan.tracker->received().toBase64()));
    report.insert("commands", plan.tracker->receivedCommands().size());
    report.insert("bytes", plan.tracker->received().size());
    report.insert("sent", QString::fromLatin1(plan.tracker->sent().toBase64()));
    report.insert("files", files);
    return report;
}

class Simulation
{
public:
    Simulation(Options given, QString reaperPath) : options(std::move(given)), reaper(std::move(reaperPath)) { }
    int run();
    // Tells that trackers cannot be simulated here, on the console and in the report.
    int reportUnavailable(const QString &reason) const;

private:
    bool plug(PortPlan &plan);
    bool holdBusy(PortPlan &plan);
    void fail(const QString &reason);
    void readConsole();
    void printReport(int exitCode) const;
    bool writeReport(int exitCode) const;
    bool writeReport(const QJsonObject &report) const;

    Options options;
    const QString reaper;
    std::list<PortPlan> &ports = options.ports;
    QProcess process;
    QElapsedTimer clock;
    QByteArray pendingConsole;
    bool outputSeen = false;
    QList<ConsoleLine> console;
    qint64 exitAtMs = -1;
    QString failure; // why the simulation could not do what it was asked
};

bool Simulation::plug(PortPlan &plan)
{
    plan.tracker = std::make_unique<SimulatedTracker>(plan.name, plan.description, plan.behaviour);
    if (plan.tracker->error().isEmpty())
        return true;
    fail(QStringLiteral("%1 cannot be plugged in: %2").arg(plan.name, plan.tracker->error()));
    return false;
}

bool Simulation::holdBusy(PortPlan &plan)
{
    plan.lock = std::make_unique<QLockFile>(SimulatedSystem::lockFilePath(plan.name));
    if (plan.lock->tryLock(0))
        return true;
    fail(QStringLiteral("%1 cannot be held busy: no lock file at %2").arg(plan.name, SimulatedSystem::lockFilePath(plan.name)));
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
    for (PortPlan &plan : ports) {
        if (plan.busyUntilMs != 0 && !holdBusy(plan))
            break;
        if (plan.plugAtMs == 0 && plan.plugAfterOutputMs < 0 && !plug(plan))
            break;
    }
    if (!failure.isEmpty()) {
        writeReport(QJsonObject { { "failure", failure } });
        return 124;
    }

    for (PortPlan &plan : ports) {
        if (plan.busyUntilMs > 0)
            QTimer::singleShot(plan.busyUntilMs, [&plan] { plan.lock.reset(); });
        if (plan.plugAtMs > 0)
            QTimer::singleShot(plan.plugAtMs, [this, &plan] { plug(plan); });
        if (plan.unplugAtMs >= 0)
            QTimer::singleShot(plan.unplugAtMs, [&plan] {
                if (plan.tracker)
                    plan.tracker->unplug();
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
    printReport(exitCode);
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
        for (PortPlan &plan : ports) {
            if (plan.plugAfterOutputMs >= 0)
                QTimer::singleShot(plan.plugAfterOutputMs, [this, &plan] { plug(plan); });
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

void Simulation::printReport(int exitCode) const
{
    QTextStream out(stdout);
    out << "\ntracker-sim: the command exited with code " << exitCode << '\n';
    for (const PortPlan &plan : ports)
        printPortReport(out, plan);
}

bool Simulation::writeReport(int exitCode) const
{
    rusage children {};
    ::getrusage(RUSAGE_CHILDREN, &children);
    const double cpuSeconds = double(children.ru_utime.tv_sec + children.ru_stime.tv_sec)
            + double(children.ru_utime.tv_usec + children.ru_stime.tv_usec) / 1e6;

    QJsonArray lines;
    for (const ConsoleLine &line : console)
        lines.append(QJsonObject { { "atMs", line.atMs }, { "text", line.text } });
    QJsonArray portReports;
    for (const PortPlan &plan : ports)
        portReports.append(portReport(plan));
    QJsonObject report {
            { "exitCode", exitCode },
            { "exitAtMs", exitAtMs },
            { "cpuSeconds", cpuSeconds },
            { "peakMemoryKiB", qint64(children.ru_maxrss) },
            { "console", lines },
            { "ports", portReports },
    };
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
    Options options;
    QString error = parse(arguments, options);
    if (options.helpRequested) {
        QTextStream(stdout) << usage;
        return 0;
    }
    if (error.isEmpty())
        error = createReport(options);
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
