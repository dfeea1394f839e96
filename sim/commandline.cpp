#include "sim/commandline.h"

#include "sim/simulatedsystem.h"

#include <QMap>
#include <QRegularExpression>

#include <optional>

const char trackerSimUsage[] = R"(Usage: tracker-sim [--report FILE] --port NAME [port options]... -- COMMAND [ARGUMENTS]...

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
  --download-status CODE   status the download reports, 100 to 999 (default 200): an
                           HTTP status (a 2xx one writes the new image), or from 600
                           up the modem's network error (no coverage; nothing written)
  --download-empty         the download reports status 200 and writes an empty file
  --download-split MS      send the report's status this much after "+HTTPTOFS:"
  --download-silent        the download never reports
  --download-flood BYTES   the report's status is BYTES digits (1 to 16777216), then
                           its line end
  --download-extra TEXT    the report goes on with TEXT after its size (",0": a form
                           the program does not take)
  --plug-at MS             plug the tracker in later (default: before COMMAND starts)
  --plug-after-output MS   plug it in MS after COMMAND first writes to standard error
  --unplug-at MS           unplug it at that time, later than --plug-at
  --unplug-after N         unplug it once it received N commands, 1 to 1000
  --busy-until MS          another program holds the port until then (-1: always)
  --unregistered-queries N the first N operator queries (AT+COPS?) find no network
                           yet, 0 to 1000 (default 0)
  --no-backup              the modem holds no backup image yet, as before a tracker's
                           first update: deleting it answers ERROR
  --imei DIGITS            the modem's IMEI, its answer to AT+GSN: 15 digits
                           (default 869951040000017)
  --no-answer-to PREFIX    commands that begin with PREFIX get no echo and no reply,
                           and do nothing; may be given several times
  --late-answer-to PREFIX  commands that begin with PREFIX are done and answered
                           late: the reply's first CR LF 9.4 s after the command, its
                           rest 10.25 s after, so that a step of 10 s shows "Timed
                           out" under its answer; may be given several times

Each option but --no-answer-to and --late-answer-to is given once per port. A download has one outcome
at most (status, empty, silent or flood), and a silent one no split; a tracker has
one plug time at most, and --unplug-at goes with --plug-at only.

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

namespace {

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
    { "--download-status", { [](PortPlan &plan) -> int & { return plan.behaviour.downloadStatus; }, 100, 999 } },
    { "--download-split", { [](PortPlan &plan) -> int & { return plan.behaviour.downloadSplitMs; }, 0, aDayMs } },
    { "--unplug-after", { [](PortPlan &plan) -> int & { return plan.behaviour.unplugAfterCommands; }, 1, 1000 } },
    { "--download-flood", { [](PortPlan &plan) -> int & { return plan.behaviour.downloadFloodBytes; }, 1, 16 << 20 } },
    { "--plug-at", { [](PortPlan &plan) -> int & { return plan.plugAtMs; }, 0, aDayMs } },
    { "--plug-after-output", { [](PortPlan &plan) -> int & { return plan.plugAfterOutputMs; }, 0, aDayMs } },
    { "--unplug-at", { [](PortPlan &plan) -> int & { return plan.unplugAtMs; }, 0, aDayMs } },
    { "--busy-until", { [](PortPlan &plan) -> int & { return plan.busyUntilMs; }, -1, aDayMs } },
    { "--unregistered-queries", { [](PortPlan &plan) -> int & { return plan.behaviour.unregisteredQueries; }, 0, 1000 } },
};

// The port options that take no value.
using PortFlag = bool &(*)(PortPlan &);
const QMap<QString, PortFlag> flagOptions = {
    { "--download-empty", [](PortPlan &plan) -> bool & { return plan.behaviour.downloadEmpty; } },
    { "--download-silent", [](PortPlan &plan) -> bool & { return plan.behaviour.downloadSilent; } },
    { "--no-backup", [](PortPlan &plan) -> bool & { return plan.behaviour.noBackup; } },
};

// The port options that may be given several times: each adds a prefix.
const QString noAnswerOption = QStringLiteral("--no-answer-to");
const QString lateAnswerOption = QStringLiteral("--late-answer-to");

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

} // namespace

QString parseTrackerSimArguments(const QStringList &arguments, TrackerSimOptions &options)
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
                || option == "--mode" || option == "--download-extra" || option == "--imei"
                || option == noAnswerOption || option == lateAnswerOption
                || flagOptions.contains(option) || numericOptions.contains(option);
        if (!known)
            return QStringLiteral("unknown option %1 (see --help)").arg(option);
        const bool portOption = option != "--report" && option != "--port";
        if (portOption && ports.empty())
            return option + " must follow a --port";
        if (portOption && option != noAnswerOption && option != lateAnswerOption && ports.back().given.contains(option))
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
        } else if (option == "--imei") {
            static const QRegularExpression imei(QRegularExpression::anchoredPattern(QStringLiteral("[0-9]{15}")));
            if (!imei.match(value).hasMatch())
                return given + QStringLiteral("must be 15 digits");
            ports.back().behaviour.imei = value.toLatin1();
        } else if (option == "--download-extra") {
            if (value.contains(u'\r') || value.contains(u'\n'))
                return given + QStringLiteral("must stay on the report's line: no line end");
            ports.back().behaviour.downloadReportExtra = value.toUtf8();
        } else if (option == noAnswerOption || option == lateAnswerOption) {
            // The modem cuts commands at CR: a prefix holding one would match nothing.
            if (value.isEmpty() || value.contains(u'\r') || value.contains(u'\n'))
                return given + QStringLiteral("must be a command's beginning: not empty, no line end");
            (option == noAnswerOption ? ports.back().behaviour.unansweredPrefixes : ports.back().behaviour.latePrefixes)
                    .append(value.toUtf8());
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

QString createTrackerSimReport(TrackerSimOptions &options)
{
    if (options.reportPath.isNull())
        return {};
    options.report = std::make_shared<QFile>(options.reportPath);
    if (!options.report->open(QIODevice::WriteOnly | QIODevice::Truncate))
        return QStringLiteral("--report %1: cannot be created: %2").arg(options.reportPath, options.report->errorString());
    return {};
}
