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

    // What the step's work does to the tracker's firmware files, which its answer proves
    // done (its expected text), not done (ERROR) or leaves unknown (no answer).
    enum class Effect {
        None,            // no file changes: set-up, the download into its own file, opening the files
        DeletesBackup,   // the old backup goes
        ImageToBackup,   // the running image becomes the backup
        NewImageToImage, // the downloaded image becomes the running one
        Restarts,        // the modem restarts into the running image
    };

    Role role;
    QString command;
    QString expected;
    int timeLimitMs;
    Effect effect;
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

// The download's report line, as tracker-updater and update-tracker both read it: its
// expected text ("+HTTPTOFS:") where a line begins (the start of what the step receives
// counts as one), up to the first CR LF after it; a bare LF does not end it. Fed the
// modem's text piece by piece as it arrives, it keeps only what can still count, so a
// modem flooding the port costs neither memory nor search time: before the line, a tail
// that may begin it; in the line, its first `longestKeptLine` characters, which is longer
// than any report the modem sends.
class ReportLine
{
public:
    static constexpr qsizetype longestKeptLine = 256;

    explicit ReportLine(const QString &start);

    // Takes the next piece of text; true once the line is complete (then it takes no more).
    bool take(QStringView text);
    bool begun() const { return started; }
    bool complete() const { return ended; }
    // The line without its CR LF, cut to longestKeptLine characters; cut() says whether it was.
    QString line() const { return kept; }
    bool cut() const { return wasCut; }

private:
    bool takeLine(QStringView text);
    void finish(qint64 lineLength);

    QString start;
    QString kept; // before the line, the tail that may begin it; in it, its start
    qint64 length = 0; // of the line so far
    bool started = false;
    bool ended = false;
    bool wasCut = false;
    bool crLast = false; // the line so far ends with a CR, which an LF would make its end
};

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
