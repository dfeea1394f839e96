#pragma once

#include <QList>
#include <QLocale>
#include <QString>

#include <optional>

// What the program knows of the tracker's modem: how its AT port is named
// and the fixed script of commands that installs the new firmware.

// One exchange with the modem: the command (without its CR LF), the text
// whose arrival ends the step, and how long the step may wait for it.
struct CommandStep
{
    // What a step is for, where the run treats it apart from the others.
    enum class Role {
        Plain,          // sent as it stands
        OperatorChoice, // its command is chosen from the locale's country when the step is reached
        Download,       // ends at the end of the line its expected text begins: the download's report
        FileSwap,       // sent only after a download that report shows complete
    };

    // What "Timed out" under the step tells the technician: how update-tracker reads a run.
    enum class IfTimedOut {
        Harmless,          // set-up: what decides is the download
        ReportDecides,     // the download: its report line says what happened
        Stop,              // the file swap half done: running again could delete the only image
        StopUnlessRefused, // the same, except an ERROR reply: there was nothing to delete
        Restart,           // the swap is done, but the modem may not have restarted
    };

    Role role;
    QString command;
    QString expected;
    int timeLimitMs;
    IfTimedOut ifTimedOut;
};

// The step whose reply names the tracker: its IMEI, on a line of its own.
inline constexpr char serialNumberCommand[] = "AT+GSN";

// The whole script, in the order it is sent.
struct UpdateScript
{
    QList<CommandStep> steps;

    static UpdateScript standard();
};

QString trackerPortDescription();
QString firmwareUrl();

// Whether the modem's download report line (from "+HTTPTOFS:" up to its CR LF) tells of
// a complete download: HTTP status 200 and a file that is not empty.
bool downloadSucceeded(const QString &reportLine);

// The first complete download report line in what the modem sent: "+HTTPTOFS:" where a
// line begins, up to its CR LF (the start of `reply` counts as a line's start).
std::optional<QString> downloadReportIn(const QString &reply);

// The status and size a report line gives, where it gives them as numbers.
struct DownloadReport
{
    int status;
    qint64 size;
};
std::optional<DownloadReport> downloadReport(const QString &reportLine);

// The operator selection for a country, or nothing where the modem should
// keep choosing the network on its own.
std::optional<QString> operatorCommand(QLocale::Country country);
