// update-tracker: runs tracker-updater from its own folder, passes its lines through as
// they come, keeps them in a record, and ends with a one-line verdict and an exit code.
#include "companion/companion.h"
#include "companion/runreading.h"

#include <QCoreApplication>

namespace {

const char usage[] = R"(Usage: update-tracker

Starts tracker-updater from this program's folder, shows its lines as they come, and
keeps them in a record: the folder "records" beside this program, or where it cannot be
written, "tracker-updater records" in your documents (or the local application data
folder). The record's path is shown at the start and the end.

When tracker-updater ends, one line says what the modem's answers prove about the
tracker's firmware and what to do, and the exit code says the same:
  0  updated: new firmware, the old one kept as a backup
  1  not updated, tracker unchanged: run again (no coverage, a modem that did not
     answer, a report that came too late)
  2  not updated: tell the maintainer (the server's code, a report that cannot be
     read, files the modem did not rename)
  3  stop, do not run again: the running firmware is unknown or gone; send the record
     to the maintainer
  4  updated, but restart the tracker: the reboot got no OK in time
  5  no tracker opened: none found, or another program holds its port
  6  stopped, unplugged, or tracker-updater ended unexpectedly, before any file was
     renamed: you may run again
  7  stopped, unplugged, or ended unexpectedly, during the file swap: as 3
  8  stopped, unplugged, or ended unexpectedly, after the file swap: as 4
  9  tracker-updater could not be started, or an unknown option
With several trackers, the first of %1 that applies to one.

Each verdict names its tracker by the IMEI the modem gives, and the record's name takes
it. A line per tracker also goes to rollout.csv beside the records, which your
maintainer may ask for; a line under the verdict says when the file already shows the
tracker updated before.

Ctrl+C stops the run, and the verdict says at which step. An unplugged tracker is told
at once, and the verdict takes it as its cause. Started by a double click, the
window waits for Enter before it closes. It takes no option but --help.
)";

// The exit codes of a tracker's verdicts, in the order of the verdict table.
QString precedence()
{
    QStringList codes;
    for (const VerdictForm &form : verdictForms) {
        const QString code = QString::number(form.exitCode);
        if (form.verdict != Verdict::NotStarted && !codes.contains(code))
            codes.append(code);
    }
    return codes.join(QStringLiteral(", "));
}

} // namespace

int main(int argc, char *argv[])
{
    prepareConsole();
    QCoreApplication app(argc, argv);
    app.setApplicationName(QStringLiteral("update-tracker"));
    const QStringList arguments = app.arguments().mid(1);
    if (arguments == QStringList { QStringLiteral("--help") } || arguments == QStringList { QStringLiteral("-h") }) {
        say(QString::fromUtf8(usage).arg(precedence()).trimmed());
        return 0;
    }
    if (!arguments.isEmpty()) {
        say(QStringLiteral("update-tracker: it takes no option but --help, not %1").arg(arguments.join(u' ')));
        return companionFailedExitCode;
    }
    int exitCode;
    {
        Companion companion;
        exitCode = companion.run();
    }
    if (ownsItsConsole()) {
        // An Enter pressed during the run would close the window before the verdict is read.
        discardTypedAhead();
        say(QStringLiteral("Press Enter to close this window"));
        waitForEnter();
    }
    return exitCode;
}
