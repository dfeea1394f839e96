// Runs a command with simulated trackers plugged into a private /sys and /dev, then
// reports what each simulated modem received and which files it holds.
#include "sim/childprocess.h"
#include "sim/simulatedsystem.h"
#include "sim/simulatedtracker.h"

#include "buildsettings.h"

#include <QCoreApplication>
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
                           only 200 writes the new image)
  --download-empty         the download reports status 200 and writes an empty file
  --download-split MS      send the report's status this much after "+HTTPTOFS:"
  --download-silent        the download never reports
  --plug-at MS             plug the tracker in later (default: before COMMAND starts)
  --unplug-at MS           unplug it at that time
  --unplug-after N         unplug it once it received N commands, 1 to 1000
  --busy-until MS          another program holds the port until then (-1: always)

--report FILE also writes the console lines of COMMAND (with their times), what
each modem received and sent, its files, the exit code and the CPU time and peak
memory of COMMAND as JSON.

Exit codes of its own: 2 for a bad option (one line tells which, and why); 124
when a tracker cannot be plugged in or held busy (COMMAND is stopped, the report
says why in "failure"); 125 when trackers cannot be simulated here (nothing runs;
a line that begins with "tracker-sim: simulation unavailable:", and
"simulationUnavailable" in the report); 126 when the report cannot be written;
127 when COMMAND cannot be started.
)";

struct PortPlan
{
    QString name;
    QString description = QString::fromUtf8(BuildSettings::portDescription);
    ModemBehaviour behaviour;
    int plugAtMs = 0;
    int unplugAtMs = -1;
    int busyUntilMs = 0;
    std::unique_ptr<SimulatedTracker> tracker;
    std::unique_ptr<QLockFile> lock;
};

struct ConsoleLine
{
    qint64 atMs;
    QString text;
};

// CR and LF as \r and \n, other non-printable bytes as \xHH, so the report never garbles the terminal.
QString printable(const QByteArray &bytes)
{
    QString text;
    for (const char c : bytes) {
        const auto byte = uchar(c);
        if (c == '\r')
            text += QStringLiteral("\\r");
        else if (c == '\n')
            text += QStringLiteral("\\n");
        else if (byte >= 0x20 && byte < 0x7F)
            text += QChar(byte);
        else
            text += QStringLiteral("\\x%1").arg(byte, 2, 16, QLatin1Char('0'));
    }
    return text;
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
    { "--plug-at", { [](PortPlan &plan) -> int & { return plan.plugAtMs; }, 0, aDayMs } },
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
    QString program;
    QStringList programArguments;
    bool helpRequested = false;
};

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
        if (const auto flag = flagOptions.constFind(option); flag != flagOptions.cend()) {
            (*flag)(ports.back()) = true;
            continue;
        }
        if (i + 1 >= arguments.size())
            return option + " needs a value";
        const QString value = arguments[++i];
        const QString given = option + u' ' + value + QStringLiteral(": ");
        if (option == "--report") {
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
    return {};
}

class Simulation
{
public:
    explicit Simulation(Options given) : options(std::move(given)) { }
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
    std::list<PortPlan> &ports = options.ports;
    QProcess process;
    QElapsedTimer clock;
    QByteArray pendingConsole;
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
        if (plan.plugAtMs == 0 && !plug(plan))
            break;
    }
    if (!failure.isEmpty()) {
        if (!options.reportPath.isEmpty())
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
    killWithParent(process);
    clock.start();
    process.start(options.program, options.programArguments);
    if (!process.waitForStarted(-1)) {
        QTextStream(stderr) << "tracker-sim: cannot start " << options.program << ": " << process.errorString() << '\n';
        return 127;
    }
    QCoreApplication::exec();
    readConsole();

    const int exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : 128;
    printReport(exitCode);
    if (!options.reportPath.isEmpty() && !writeReport(exitCode))
        return 126;
    return failure.isEmpty() ? exitCode : 124;
}

// Passes the command's console on as it comes, and keeps each line with its time.
void Simulation::readConsole()
{
    const QByteArray bytes = process.readAllStandardError();
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
    for (const PortPlan &plan : ports) {
        if (!plan.tracker) {
            out << "tracker-sim: " << plan.name << " was never plugged in\n";
            continue;
        }
        const QByteArray received = plan.tracker->received();
        out << "tracker-sim: " << plan.name << " received " << received.count('\n') << " commands\n";
        for (const QByteArray &command : received.split('\n')) {
            if (!command.isEmpty())
                out << "    " << printable(command + '\n') << '\n';
        }
        out << "tracker-sim: " << plan.name << " holds\n";
        const QMap<QString, QByteArray> files = plan.tracker->files();
        for (auto file = files.cbegin(); file != files.cend(); ++file)
            out << "    " << file.key() << ": " << printable(file.value()) << '\n';
    }
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
    for (const PortPlan &plan : ports) {
        QJsonObject report { { "name", plan.name } };
        if (plan.tracker) {
            QJsonObject files;
            const QMap<QString, QByteArray> content = plan.tracker->files();
            for (auto file = content.cbegin(); file != content.cend(); ++file)
                files.insert(file.key(), QString::fromLatin1(file.value().toBase64()));
            report.insert("received", QString::fromLatin1(plan.tracker->received().toBase64()));
            report.insert("sent", QString::fromLatin1(plan.tracker->sent().toBase64()));
            report.insert("files", files);
        }
        portReports.append(report);
    }
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
    QFile file(options.reportPath);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate)
            && file.write(QJsonDocument(report).toJson()) > 0;
}

int Simulation::reportUnavailable(const QString &reason) const
{
    QTextStream(stderr) << "tracker-sim: simulation unavailable: " << reason << '\n';
    if (!options.reportPath.isEmpty())
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
    const QString error = parse(arguments, options);
    if (options.helpRequested) {
        QTextStream(stdout) << usage;
        return 0;
    }
    if (!error.isEmpty()) {
        QTextStream(stderr) << "tracker-sim: " << error << '\n';
        return 2;
    }

    // Before anything can start a thread.
    const QString unavailable = SimulatedSystem::enter();
    QCoreApplication app(argc, argv);
    Simulation simulation(std::move(options));
    if (!unavailable.isEmpty())
        return simulation.reportUnavailable(unavailable);
    return simulation.run();
}
