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
#include <QTextStream>
#include <QTimer>

#include <cstdio>
#include <list>
#include <memory>
#include <sys/resource.h>

namespace {

const char usage[] = R"(Usage: tracker-sim [--report FILE] --port NAME [port options]... -- COMMAND [ARGUMENTS]...

Runs COMMAND in a private mount namespace in which each --port is a simulated
tracker (a pseudo-terminal listed by the serial port enumeration), then prints what
each simulated modem received and which files it holds, and exits with the exit
code of COMMAND. Linux; as root, or as any user where user namespaces are allowed.
When trackers cannot be simulated here, it runs nothing, says so on a line that
begins with "tracker-sim: simulation unavailable:" and in the report, and exits
with code 125.

Port options apply to the --port before them; times are in milliseconds from the
start of COMMAND:
  --description TEXT       description of the port (default: the tracker's)
  --mode MODE              answering (default), one-piece, silent or error
  --reply-delay MS         from the echo of a command to its reply (default 5)
  --attach-delay MS        extra pause before answering a network attach (default 0)
  --activation-delay MS    from OK to the context activation report (default 20)
  --download-delay MS      from OK to the download report (default 50)
  --download-status CODE   HTTP status the download reports (default 200; only 200
                           writes the new image)
  --download-split MS      send the report's status this much after "+HTTPTOFS:"
  --download-silent        the download never reports
  --plug-at MS             plug the tracker in later (default: before COMMAND starts)
  --unplug-at MS           unplug it at that time
  --unplug-after N         unplug it once it received N commands
  --busy-until MS          another program holds the port until then (-1: always)

--report FILE also writes the console lines of COMMAND (with their times), what
each modem received and sent, its files, the exit code and the CPU time and peak
memory of COMMAND as JSON.
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

// The port options that take a number, and what each one sets.
using PortSetting = int &(*)(PortPlan &);
const QMap<QString, PortSetting> numericOptions = {
    { "--reply-delay", [](PortPlan &plan) -> int & { return plan.behaviour.replyDelayMs; } },
    { "--attach-delay", [](PortPlan &plan) -> int & { return plan.behaviour.attachDelayMs; } },
    { "--activation-delay", [](PortPlan &plan) -> int & { return plan.behaviour.activationDelayMs; } },
    { "--download-delay", [](PortPlan &plan) -> int & { return plan.behaviour.downloadDelayMs; } },
    { "--download-status", [](PortPlan &plan) -> int & { return plan.behaviour.downloadStatus; } },
    { "--download-split", [](PortPlan &plan) -> int & { return plan.behaviour.downloadSplitMs; } },
    { "--unplug-after", [](PortPlan &plan) -> int & { return plan.behaviour.unplugAfterCommands; } },
    { "--plug-at", [](PortPlan &plan) -> int & { return plan.plugAtMs; } },
    { "--unplug-at", [](PortPlan &plan) -> int & { return plan.unplugAtMs; } },
    { "--busy-until", [](PortPlan &plan) -> int & { return plan.busyUntilMs; } },
};

bool parseMode(const QString &name, ModemBehaviour::Mode &mode)
{
    static const QMap<QString, ModemBehaviour::Mode> modes = {
        { "answering", ModemBehaviour::Mode::Answering },
        { "one-piece", ModemBehaviour::Mode::OnePiece },
        { "silent", ModemBehaviour::Mode::Silent },
        { "error", ModemBehaviour::Mode::Error },
    };
    if (!modes.contains(name))
        return false;
    mode = modes.value(name);
    return true;
}

class Simulation
{
public:
    // Returns an error text, or an empty one.
    QString parse(const QStringList &arguments);
    int run();
    // Tells that trackers cannot be simulated here, on the console and in the report.
    int reportUnavailable(const QString &reason) const;
    bool helpRequested = false;

private:
    void plug(PortPlan &plan);
    void readConsole();
    void printReport(int exitCode) const;
    bool writeReport(int exitCode) const;
    bool writeReport(const QJsonObject &report) const;

    std::list<PortPlan> ports;
    QString reportPath;
    QString program;
    QStringList programArguments;
    QProcess process;
    QElapsedTimer clock;
    QByteArray pendingConsole;
    QList<ConsoleLine> console;
    qint64 exitAtMs = -1;
};

QString Simulation::parse(const QStringList &arguments)
{
    for (int i = 1; i < arguments.size(); ++i) {
        const QString option = arguments[i];
        if (option == "--help" || option == "-h") {
            helpRequested = true;
            return {};
        }
        if (option == "--") {
            program = arguments.value(i + 1);
            programArguments = arguments.mid(i + 2);
            break;
        }
        if (option == "--download-silent") {
            if (ports.empty())
                return option + " must follow a --port";
            ports.back().behaviour.downloadSilent = true;
            continue;
        }
        if (i + 1 >= arguments.size())
            return option + " needs a value";
        const QString value = arguments[++i];
        if (option == "--report") {
            reportPath = value;
            continue;
        }
        if (option == "--port") {
            ports.emplace_back().name = value;
            continue;
        }
        if (ports.empty())
            return option + " must follow a --port";
        PortPlan &plan = ports.back();
        if (option == "--description") {
            plan.description = value;
            continue;
        }
        const QString notUnderstood = QStringLiteral("%1 %2: not understood").arg(option, value);
        if (option == "--mode") {
            if (!parseMode(value, plan.behaviour.mode))
                return notUnderstood;
            continue;
        }
        const auto setting = numericOptions.constFind(option);
        if (setting == numericOptions.cend())
            return QStringLiteral("unknown option %1").arg(option);
        bool number = false;
        const int amount = value.toInt(&number);
        if (!number)
            return notUnderstood;
        (*setting)(plan) = amount;
    }
    if (program.isEmpty())
        return QStringLiteral("no command given after --");
    return {};
}

void Simulation::plug(PortPlan &plan)
{
    plan.tracker = std::make_unique<SimulatedTracker>(plan.name, plan.description, plan.behaviour);
    if (!plan.tracker->error().isEmpty())
        QTextStream(stderr) << "tracker-sim: " << plan.name << ": " << plan.tracker->error() << '\n';
}

int Simulation::run()
{
    for (PortPlan &plan : ports) {
        if (plan.busyUntilMs != 0) {
            plan.lock = std::make_unique<QLockFile>(SimulatedSystem::lockFilePath(plan.name));
            plan.lock->tryLock(0);
            if (plan.busyUntilMs > 0)
                QTimer::singleShot(plan.busyUntilMs, [&plan] { plan.lock.reset(); });
        }
        if (plan.plugAtMs <= 0)
            plug(plan);
        else
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
    process.start(program, programArguments);
    if (!process.waitForStarted(-1)) {
        QTextStream(stderr) << "tracker-sim: cannot start " << program << ": " << process.errorString() << '\n';
        return 127;
    }
    QCoreApplication::exec();
    readConsole();

    const int exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : 128;
    printReport(exitCode);
    if (!reportPath.isEmpty() && !writeReport(exitCode))
        return 126;
    return exitCode;
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
    return writeReport(QJsonObject {
            { "exitCode", exitCode },
            { "exitAtMs", exitAtMs },
            { "cpuSeconds", cpuSeconds },
            { "peakMemoryKiB", qint64(children.ru_maxrss) },
            { "console", lines },
            { "ports", portReports },
    });
}

bool Simulation::writeReport(const QJsonObject &report) const
{
    QFile file(reportPath);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate)
            && file.write(QJsonDocument(report).toJson()) > 0;
}

int Simulation::reportUnavailable(const QString &reason) const
{
    QTextStream(stderr) << "tracker-sim: simulation unavailable: " << reason << '\n';
    if (!reportPath.isEmpty())
        writeReport(QJsonObject { { "simulationUnavailable", reason } });
    return 125;
}

} // namespace

int main(int argc, char *argv[])
{
    // Before anything can start a thread.
    const QString unavailable = SimulatedSystem::enter();
    QCoreApplication app(argc, argv);
    QTextStream err(stderr);

    Simulation simulation;
    const QString error = simulation.parse(app.arguments());
    if (simulation.helpRequested) {
        QTextStream(stdout) << usage;
        return 0;
    }
    if (!error.isEmpty()) {
        err << "tracker-sim: " << error << "\n\n" << usage;
        return 2;
    }
    if (!unavailable.isEmpty())
        return simulation.reportUnavailable(unavailable);
    return simulation.run();
}
