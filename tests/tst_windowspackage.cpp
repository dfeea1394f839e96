// The Windows programs of a package, unpacked as a user would, run under wine against
// trackers simulated by tracker-sim: the tracker's port is COM5, a decoy's COM6.
// scripts/check-windows-package builds the package and runs this once per kind of Qt.
//
// Under wine every step lasts a tenth of its limit, because wine reads a pseudo-terminal
// only once each wait has run out: what is checked is what was sent and shown, not how fast.
#include "support/expectations.h"
#include "support/simulatedrun.h"
#include "support/testharness.h"

#include "sim/childprocess.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QScopeGuard>
#include <QtEndian>

class WindowsPackageTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void programsAreConsolePrograms();
    void portsAreListed();
    void unwrittenListIsAnError();
    void updateRuns_data();
    void updateRuns();
    void deskActsDuringARun_data();
    void deskActsDuringARun();

private:
    QString programs; // the unpacked package's bin folder
    QString desk; // windowsdesk.exe
};

namespace {

// The tracker's modem, with the options given for it, and the decoy's.
QStringList simulatedPorts(const QStringList &trackerOptions = {})
{
    return QStringList { "--port", "ttyUSB2" } + trackerOptions + QStringList { "--port", "ttyUSB3" };
}

// A shell script run inside the simulation with a wineserver of its own: one started
// elsewhere would open the machine's devices.
QStringList wineSession(const QString &script, const QStringList &arguments)
{
    return QStringList { "/bin/sh", "-c",
                         "wineserver -p || exit 125\n" + script
                                 + "\ncode=$?\nwineserver -k\nexit $code",
                         "wine-session" }
            + arguments;
}

// Qt's debug lines go to standard error only when asked from inside wine, which passes
// on no QT_* variable.
QStringList underWine(const QString &folder, const QString &commandLine)
{
    return wineSession(R"(cd "$1" && wine cmd /c "set QT_FORCE_STDERR_LOGGING=1&& $2")", { folder, commandLine });
}

// update-tracker run from its folder as underWine runs it.
const QString companionRun = QStringLiteral(R"(wine cmd /c "set QT_FORCE_STDERR_LOGGING=1&& update-tracker.exe 1>&2")");

// The line a desk script adds once windowsdesk has ended.
const QString deskEnded = QStringLiteral("-- windowsdesk: exit code ");

QStringList withoutLineEnds(QStringList lines)
{
    for (QString &line : lines) {
        if (line.endsWith('\r'))
            line.chop(1);
    }
    return lines;
}

} // namespace

void WindowsPackageTest::initTestCase()
{
    // Wine makes a prefix's Windows locale from LANG when LC_ALL names no country's: the
    // developer's own must not decide which operator the runs below select.
    qputenv("LC_ALL", "C.UTF-8");
    qputenv("LANG", "C.UTF-8");
    qunsetenv("LANGUAGE");
    programs = qEnvironmentVariable("TRACKER_WINDOWS_PROGRAMS");
    const QString registrar = qEnvironmentVariable("TRACKER_WINDOWS_PORT_REGISTRAR");
    desk = qEnvironmentVariable("TRACKER_WINDOWS_DESK");
    const QString prefix = qEnvironmentVariable("WINEPREFIX");
    QVERIFY2(QFile::exists(programs + "/tracker-updater.exe") && QFile::exists(registrar) && QFile::exists(desk)
                     && !prefix.isEmpty(),
             "set TRACKER_WINDOWS_PROGRAMS (the folder of tracker-updater.exe), "
             "TRACKER_WINDOWS_PORT_REGISTRAR (registerports.exe), TRACKER_WINDOWS_DESK (windowsdesk.exe) and "
             "WINEPREFIX: see scripts/check-windows-package");
    QVERIFY2(!QFile::exists(prefix), qPrintable(prefix + " must not exist yet: the test makes its own wine prefix"));
    QVERIFY(QDir().mkpath(prefix));
    qputenv("WINEDEBUG", "-all");

    // The ports as a USB modem's driver presents them, registered from inside the
    // simulation so that wine's first start sees no port of the machine. Without a display
    // wine makes windows only with its null driver: update-tracker's hidden one among them.
    const QString registration = R"(wineboot --init \
&& wine reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f \
&& ln -s /dev/ttyUSB2 "$WINEPREFIX/dosdevices/com5" && ln -s /dev/ttyUSB3 "$WINEPREFIX/dosdevices/com6" \
&& wine "$1" COM5 "$2" "SimTech, Incorporated" 'USB\VID_1E0E&PID_9205&MI_02\1' \
&& wine "$1" COM6 "USB Serial Port" "FTDI" 'USB\VID_0403&PID_6001\1')";
    SIMULATE(registered, simulatedPorts(), "C.UTF-8", 300000,
             wineSession(registration, { registrar, trackerDescription() }));
}

// Under wine the debug lines are forced to the standard error stream: a program built for
// the GUI subsystem would pass every run there while a user saw none of its lines.
void WindowsPackageTest::programsAreConsolePrograms()
{
    for (const char *name : { "tracker-updater.exe", "tracker-ports.exe", "update-tracker.exe" }) {
        QFile program(programs + '/' + name);
        QVERIFY2(program.open(QIODevice::ReadOnly), name);
        const QByteArray header = program.read(4096);
        QVERIFY2(header.size() >= 0x40 && header.startsWith("MZ"), name);
        // The PE header's offset is at 0x3c; its optional header follows the 24 bytes of
        // signature and file header, with the subsystem at offset 68.
        const qint64 peHeader = qFromLittleEndian<quint32>(header.constData() + 0x3c);
        QVERIFY2(peHeader + 24 + 70 <= header.size() && header.mid(peHeader, 4) == QByteArray("PE\0\0", 4), name);
        const quint16 subsystem = qFromLittleEndian<quint16>(header.constData() + peHeader + 24 + 68);
        const quint16 windowsConsole = 3;
        QVERIFY2(subsystem == windowsConsole, qPrintable(QStringLiteral("%1: subsystem %2").arg(name).arg(subsystem)));
    }
}

void WindowsPackageTest::portsAreListed()
{
    QProcess simulation;
    killWithParent(simulation);
    simulation.start(TRACKER_SIM_PATH, simulatedPorts() + QStringList { "--" } + underWine(programs, "tracker-ports.exe"));
    QVERIFY(simulation.waitForFinished(120000));
    QCOMPARE(simulation.exitCode(), 0);

    // The command's own output comes first, then the simulation's report.
    const QString output = QString::fromUtf8(simulation.readAllStandardOutput());
    const QStringList lines = withoutLineEnds(output.left(output.indexOf("\ntracker-sim:")).split('\n'));
    QVERIFY2(lines.contains(R"(* COM5 ")" + trackerDescription() + R"(" "SimTech, Incorporated" 1e0e:9205)"),
             qPrintable(output));
    QVERIFY2(lines.contains(R"(  COM6 "USB Serial Port" "FTDI" 0403:6001)"), qPrintable(output));
    QCOMPARE(lines.filter(QRegularExpression("^\\* ")).size(), 1);
}

// Its output a pipe whose reader has gone: the line names the C library's error. Windows'
// C library reports it as EPIPE, wine's as EINVAL; Windows' message table would read
// either number as an unrelated error ("The device does not recognize the command.").
void WindowsPackageTest::unwrittenListIsAnError()
{
    const QString script = R"(cd "$1" && kept=$(mktemp -d) || exit 125
{ wine tracker-ports.exe 2> "$kept/stderr"; echo $? > "$kept/code"; } | true
cat "$kept/stderr"; code=$(cat "$kept/code"); rm -r "$kept"; (exit "$code"))";
    QProcess simulation;
    killWithParent(simulation);
    simulation.start(TRACKER_SIM_PATH, simulatedPorts() + QStringList { "--" } + wineSession(script, { programs }));
    QVERIFY(simulation.waitForFinished(120000));
    const QString output = QString::fromUtf8(simulation.readAllStandardOutput());
    const QStringList lines = withoutLineEnds(output.left(output.indexOf("\ntracker-sim:")).split('\n'));
    const QRegularExpression errorLine("^tracker-ports: cannot write the list of ports: (Broken pipe|Invalid argument)$");
    QVERIFY2(lines.indexOf(errorLine) >= 0, qPrintable(output));
    QCOMPARE(simulation.exitCode(), 1);
}

void WindowsPackageTest::updateRuns_data()
{
    QTest::addColumn<QString>("locale");
    QTest::addColumn<QByteArray>("operatorSelection");
    QTest::addColumn<QStringList>("download");
    QTest::addColumn<bool>("downloaded");
    // Through update-tracker: its exit code and verdict, and the record beside it.
    QTest::addColumn<int>("companionExitCode"); // -1: tracker-updater alone
    QTest::addColumn<QString>("verdict");
    const QStringList notFound = { "--download-status", "404" };
    QTest::newRow("good download") << "C.UTF-8" << QByteArray() << QStringList() << true << -1 << QString();
    QTest::newRow("download not found") << "C.UTF-8" << QByteArray() << notFound << false << -1 << QString();
    QTest::newRow("German user") << "de_DE.UTF-8" << QByteArray("AT+COPS=4,2,26204") << QStringList() << true << -1 << QString();
    QTest::newRow("good download through update-tracker") << "C.UTF-8" << QByteArray() << QStringList() << true << 0
            << "UPDATED, tracker 869951040000017: the tracker has its new firmware, and its old one as a backup.";
    // Other trackers: ones the rollout file does not show updated before.
    QTest::newRow("download not found through update-tracker") << "C.UTF-8" << QByteArray()
            << notFound + QStringList { "--imei", "869951040000025" } << false << 2
            << "NOT UPDATED, tracker 869951040000025, the tracker is unchanged: the update server answered 404: "
               "running again does not help. Tell the maintainer.";
    // A cause named from the modem's report.
    QTest::newRow("network error through update-tracker") << "C.UTF-8" << QByteArray()
            << QStringList { "--download-status", "613", "--imei", "869951040000033" } << false << 1
            << "NOT UPDATED, tracker 869951040000033, the tracker is unchanged: no coverage (the modem reported network error 613). "
               "Move the tracker where it has coverage and run again.";
}

void WindowsPackageTest::updateRuns()
{
    QFETCH(QString, locale);
    QFETCH(QByteArray, operatorSelection);
    QFETCH(QStringList, download);
    QFETCH(bool, downloaded);
    QFETCH(int, companionExitCode);
    QFETCH(QString, verdict);
    const bool throughCompanion = companionExitCode >= 0;
    const QDir records(programs + "/records");
    const QStringList earlierRecords = records.entryList({ "update-*" }, QDir::Files);
    // The companion's own lines, on standard output, join the program's.
    const SimulatedRun run = simulate(simulatedPorts(download), locale, 300000,
                                      underWine(programs, throughCompanion ? "update-tracker.exe 1>&2" : "tracker-updater.exe"));
    auto showRun = qScopeGuard([&run] {
        if (QTest::currentTestFailed()) {
            qInfo().noquote() << "The program's console:\n" + withoutLineEnds(run.lines).join('\n');
            qInfo() << "COM5 received:" << run.received(0) << "\nCOM6 received:" << run.received(1);
        }
    });
    QVERIFY2(run.unavailable.isEmpty(), qPrintable(run.unavailable));
    QVERIFY(run.finished);
    QCOMPARE(run.exitCode, throughCompanion ? companionExitCode : 0);

    const QByteArrayList commands = Expected::commands(
            operatorSelection, downloaded ? Expected::Download::Succeeds : Expected::Download::Fails);
    QCOMPARE(run.received(0), commands.join());
    QStringList lines = withoutLineEnds(run.lines);
    if (throughCompanion) {
        // The record's path first, and last once named after the tracker; the verdict before it.
        QStringList newRecords = records.entryList({ "update-*" }, QDir::Files);
        newRecords.removeIf([&earlierRecords](const QString &name) { return earlierRecords.contains(name); });
        QCOMPARE(newRecords.size(), 1);
        const QString recordName = newRecords.first();
        const QString imei = QRegularExpression("tracker ([0-9]{15})").match(verdict).captured(1);
        QVERIFY2(recordName.endsWith('-' + imei + ".txt"), qPrintable(recordName));
        QVERIFY2(lines.size() > 4 && lines.first().startsWith("Record of this run: ")
                         && lines.first().endsWith("\\bin\\records\\" + QString(recordName).remove('-' + imei)),
                 qPrintable(lines.value(0)));
        QCOMPARE(lines.last(), lines.first().section('\\', 0, -2) + '\\' + recordName);
        // The rollout file, as a spreadsheet on Windows reads it, ends with this run's line.
        QFile rollout(records.filePath("rollout.csv"));
        QVERIFY(rollout.open(QIODevice::ReadOnly));
        const QList<QByteArray> rolloutLines = rollout.readAll().split('\n');
        QVERIFY(rolloutLines.size() >= 4);
        QCOMPARE(rolloutLines.first(), "sep=,\r");
        QCOMPARE(rolloutLines.last(), QByteArray());
        const QList<QByteArray> columns = rolloutLines[rolloutLines.size() - 2].split(',');
        QCOMPARE(columns.size(), 9);
        QCOMPARE(columns.mid(1, 4), (QList<QByteArray> { imei.toUtf8(), "COM5", verdict.section(',', 0, 0).toUtf8(),
                                                          QByteArray::number(companionExitCode) }));
        QCOMPARE(columns[8], recordName.toUtf8() + '\r');
        QCOMPARE(lines.mid(lines.size() - 3, 2), (QStringList { "", verdict }));
        QFile record(records.filePath(newRecords.first()));
        QVERIFY(record.open(QIODevice::ReadOnly));
        QCOMPARE(withoutLineEnds(QString::fromUtf8(record.readAll()).split('\n')),
                 lines.mid(1, lines.size() - 4) + (QStringList { "", verdict, "" }));
        lines = lines.mid(1, lines.size() - 4);
    }
    QCOMPARE(withoutModemChunks(lines), Expected::banner + Expected::runLines("COM5", commands));
    QMap<QString, QByteArray> files = run.files(0);
    files.remove("cust_app_new.bin"); // what a failed download may leave behind, never installed
    QCOMPARE(files, downloaded ? Expected::filesAfterSwap() : Expected::filesBeforeRun());
    QCOMPARE(run.received(1), QByteArray());
}

// What a Windows desk does around a run, played by windowsdesk: the run's line in rollout.csv
// waits while a spreadsheet holds the file, and a sign-out stops the run with its verdict kept.
// Each tracker is one no other row updates: rows share the records folder.
void WindowsPackageTest::deskActsDuringARun_data()
{
    QTest::addColumn<QStringList>("tracker");
    QTest::addColumn<QString>("script"); // run in the programs' folder: $2 is windowsdesk.exe, $3 the IMEI
    QTest::addColumn<QString>("deskLine"); // what the run the desk acted on shows and keeps
    QTest::addColumn<QString>("verdict"); // that run's
    QTest::addColumn<int>("verdictCode"); // in rollout.csv
    QTest::addColumn<int>("exitCode"); // the last run's: 200 where windowsdesk ended it
    // The spreadsheet closes the file before a second run, which adds the waiting line first.
    const QString spreadsheet = R"(mkdir -p records && rm -f records/released records/holding || exit 125
wine "$2" hold 'records\rollout.csv' 'records\released' > records/holding & holder=$!
until grep -q . records/holding || ! kill -0 $holder 2>/dev/null; do sleep 0.1; done; cat records/holding >&2
)" + companionRun + R"(
touch records/released; wait $holder; echo ")" + deskEnded + R"($?" >&2; rm records/released records/holding
)" + companionRun;
    QTest::newRow("rollout.csv open in a spreadsheet")
            << QStringList { "--imei", "869951040000041" } << spreadsheet
            << R"(update-tracker: .* cannot be written now \(.*\): this run's line waits in .*)"
            << "UPDATED, tracker 869951040000041: the tracker has its new firmware, and its old one as a backup." << 0 << 0;
    // The attach goes unanswered: the run is still at it when the session ends.
    const QString signOut = companionRun + R"( & run=$!
until grep -q AT+CGATT records/update-*-"$3".txt 2>/dev/null || ! kill -0 $run 2>/dev/null; do sleep 0.1; done
wine "$2" end-session >&2; echo ")" + deskEnded + R"($?" >&2; wait $run)";
    QTest::newRow("sign-out during a run")
            << QStringList { "--imei", "869951040000058", "--no-answer-to", "AT+CGATT" } << signOut
            << QRegularExpression::escape("update-tracker: Windows is ending the session (sign-out, shutdown or restart): "
                                          "the run stops here")
            << "NOT UPDATED, tracker 869951040000058, the tracker is unchanged: stopped at AT+CGATT=1, before the file "
               "swap. You may run again." << 6 << 200;
}

void WindowsPackageTest::deskActsDuringARun()
{
    QFETCH(QStringList, tracker);
    QFETCH(QString, script);
    QFETCH(QString, deskLine);
    QFETCH(QString, verdict);
    QFETCH(int, verdictCode);
    QFETCH(int, exitCode);
    const bool rolloutHeld = QString::fromUtf8(QTest::currentDataTag()) == "rollout.csv open in a spreadsheet";
    const QString imei = tracker.at(tracker.indexOf("--imei") + 1);
    const QDir records(programs + "/records");
    const SimulatedRun run = simulate(simulatedPorts(tracker), "C.UTF-8", 600000,
                                      wineSession(R"(cd "$1" || exit 125
)" + script, { programs, desk, imei }));
    const QStringList lines = withoutLineEnds(run.lines);
    QString kept; // the record of the run the desk acted on
    auto showRun = qScopeGuard([&] {
        if (QTest::currentTestFailed()) {
            qInfo().noquote() << "The console:\n" + lines.join('\n') + "\nThe record:\n" + kept;
            qInfo() << "COM5 received:" << run.received(0);
        }
    });
    QVERIFY2(run.unavailable.isEmpty(), qPrintable(run.unavailable));
    QVERIFY(run.finished);
    QCOMPARE(run.exitCode, exitCode);
    const QStringList deskEnds = lines.filter(QRegularExpression('^' + QRegularExpression::escape(deskEnded)));
    QCOMPARE(deskEnds, QStringList { deskEnded + '0' });

    // This tracker's records, in the order of the runs; the first is the one the desk acted on.
    const QStringList ownRecords = records.entryList({ "update-*-" + imei + ".txt" }, QDir::Files, QDir::Name);
    QCOMPARE(ownRecords.size(), rolloutHeld ? 2 : 1);
    QFile record(records.filePath(ownRecords.first()));
    QVERIFY(record.open(QIODevice::ReadOnly));
    kept = QString::fromUtf8(record.readAll());
    const QStringList keptLines = withoutLineEnds(kept.split('\n'));
    // In the record: a process ended by the session may not have shown all in its window.
    const QStringList shown = keptLines.filter(QRegularExpression(QRegularExpression::anchoredPattern(deskLine)));
    QCOMPARE(shown.size(), 1);
    qInfo("%s", qPrintable(shown.first()));
    // The spreadsheet's line is the first run's, under its verdict.
    if (rolloutHeld)
        QVERIFY(lines.indexOf(shown.first()) >= 0 && lines.indexOf(shown.first()) < lines.indexOf(deskEnds.first()));
    const qsizetype verdictAt = keptLines.lastIndexOf(verdict);
    QVERIFY(verdictAt > 0);
    QCOMPARE(keptLines.mid(verdictAt - 1),
             (QStringList { "", verdict } + (rolloutHeld ? QStringList { shown.first() } : QStringList()) + QStringList { "" }));

    // rollout.csv, as a spreadsheet on Windows reads it, ends with this tracker's runs in order.
    QFile rollout(records.filePath("rollout.csv"));
    QVERIFY(rollout.open(QIODevice::ReadOnly));
    const QList<QByteArray> rolloutLines = rollout.readAll().split('\n');
    QVERIFY(rolloutLines.size() >= 3 + ownRecords.size());
    QCOMPARE(rolloutLines.first(), "sep=,\r");
    QCOMPARE(rolloutLines.last(), QByteArray());
    for (const QByteArray &line : rolloutLines.mid(0, rolloutLines.size() - 1))
        QVERIFY2(line.endsWith('\r'), line.constData());
    const qsizetype firstOwn = rolloutLines.size() - 1 - ownRecords.size();
    for (qsizetype i = 0; i < ownRecords.size(); ++i) {
        const QList<QByteArray> columns = rolloutLines[firstOwn + i].split(',');
        QCOMPARE(columns.size(), 9);
        QCOMPARE(columns.mid(1, 4), (QList<QByteArray> { imei.toUtf8(), "COM5", verdict.section(',', 0, 0).toUtf8(),
                                                          QByteArray::number(verdictCode) }));
        QCOMPARE(columns[8], ownRecords[i].toUtf8() + '\r');
    }
    QVERIFY(!QFile::exists(records.filePath("rollout-waiting.csv")));
}

QTEST_GUILESS_MAIN(WindowsPackageTest)
#include "tst_windowspackage.moc"
