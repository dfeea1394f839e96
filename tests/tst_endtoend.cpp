// The real program, unchanged, against trackers simulated by tracker-sim: what the user
// sees and what each modem received, both byte for byte.
#include "support/expectations.h"
#include "support/simulatedrun.h"
#include "sim/simulatedtracker.h"
#include "support/testharness.h"

#include "buildsettings.h"
#include "sim/childprocess.h"

#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QTemporaryDir>

#include <csignal>
#include <future>
#include <vector>
#include <optional>

class EndToEndTest : public QObject
{
    Q_OBJECT

private slots:
    void completeRun_data();
    void completeRun();
    void busyPortIsOpenedOnceFreed();
    void trackerPluggedAfterStart();
    void decoyPortsAreLeftAlone();
    void twoTrackersAreUpdatedInTurn();
    void trackerUnpluggedDuringTheRun();
    void silentModemWithRealLimits();
    void commandInheritsNoDescriptorOfTheSimulation();
    void nothingOutlivesTheCommand_data();
    void nothingOutlivesTheCommand();
    void simulationHoldsWhereverItIsStarted_data();
    void simulationHoldsWhereverItIsStarted();
    void endReportShowsWhatEachModemReceived_data();
    void endReportShowsWhatEachModemReceived();
    void floodedReportLineCostsNoMemory_data();
    void floodedReportLineCostsNoMemory();
    void badOptionsChangeNothing_data();
    void badOptionsChangeNothing();
    void installedPackageUpdatesATracker();
    void companionGivesTheVerdict_data();
    void companionGivesTheVerdict();
    void companionGivesTheVerdictAfterRealWaits_data();
    void companionGivesTheVerdictAfterRealWaits();
};

namespace {

// The modem's bytes as the program shows a chunk of them, without the quotes.
QString shownAsChunk(const QByteArray &bytes)
{
    QString shown;
    QDebug(&shown).nospace() << bytes;
    return shown.mid(1, shown.size() - 2);
}

// All chunks shown on the console, quotes removed and joined.
QString shownChunks(const QStringList &lines)
{
    QString joined;
    for (const QString &line : lines) {
        if (line.startsWith('"'))
            joined += line.mid(1, line.size() - 2);
    }
    return joined;
}

} // namespace


namespace {

// How update-tracker is started in a row: a shell script whose $0 is the companion, in a
// folder of its own with tracker-updater beside it. Its own lines, on standard output, go
// with the program's, so that the simulation's report holds both in order.
const QString plainStart = QStringLiteral(R"(exec "$0" 1>&2)");
// The child of the companion started in the background, once it runs: $c and $child.
const QString inTheBackground = QStringLiteral(R"("$0" 1>&2 & c=$!
until child=$(cat /proc/$c/task/$c/children 2>/dev/null) && [ -n "$child" ]; do sleep 0.05; done
)");
// After the companion ended: its child must not outlive it.
const QString nothingLeft = QStringLiteral(R"(wait $c; code=$?
sleep 0.2; [ -e /proc/$child ] && echo "tracker-updater left running" >&2
exit $code)");
const QString ctrlCToTheCompanion = inTheBackground + "sleep 1.5; kill -INT $c\n" + nothingLeft;
// Ctrl+C in a terminal: SIGINT to the whole foreground group, the program's too.
const QString ctrlCToTheGroup = QStringLiteral(R"(setsid "$0" 1>&2 & c=$!
until child=$(cat /proc/$c/task/$c/children 2>/dev/null) && [ -n "$child" ]; do sleep 0.05; done
sleep 1.5; /bin/kill -INT -- -$c
)") + nothingLeft;

void verdictRows(const QList<std::tuple<const char *, QStringList, QString, int, QString>> &rows)
{
    QTest::addColumn<QStringList>("simulation");
    QTest::addColumn<QString>("script");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("verdict");
    for (const auto &[name, simulation, script, exitCode, verdict] : rows)
        QTest::newRow(name) << QStringList { "--port", "ttyUSB2" } + simulation << script << exitCode << verdict;
}

// Each verdict on a tracker names it, by the simulated modem's IMEI unless --imei says otherwise.
const QString imei = "869951040000017";
const QString updatedAs = "UPDATED, tracker %1: the tracker has its new firmware, and its old one as a backup.";
const QString updated = updatedAs.arg(imei);
const QString unchanged = "NOT UPDATED, tracker " + imei + ", the tracker is unchanged: ";
const QString keepsItsFirmware = "NOT UPDATED, tracker " + imei + ", the tracker keeps its firmware: ";
// Where no tracker was opened, none is named.
const QString noneOpenedUnchanged = "NOT UPDATED, the tracker is unchanged: ";

// The IMEI of the earlier lines that rows write into a rollout file before the run.
const QByteArray earlierImei = "869951040000099";

// Every line of the rollout file, the preamble's included, split into its columns; the
// earlier lines a row wrote, a hundred megabytes of them perhaps, only counted.
QList<QStringList> rolloutFile(const QString &folder, qsizetype *earlierLines = nullptr)
{
    QFile file(folder + "/rollout.csv");
    if (!file.open(QIODevice::ReadOnly))
        return {};
    QList<QStringList> lines;
    while (!file.atEnd()) {
        QByteArray line = file.readLine();
        if (line.endsWith('\n'))
            line.chop(1);
        if (line.startsWith("20") && line.split(',').value(1) == earlierImei && line.endsWith('\r')) {
            if (earlierLines)
                ++*earlierLines;
        } else if (!line.isEmpty()) {
            lines.append(QString::fromUtf8(line.endsWith('\r') ? line.chopped(1) : line + " (no CR)").split(','));
        }
    }
    return lines;
}

// The rollout lines that the verdict lines ask for, as the file's last lines: a verdict
// on a tracker gives its port, IMEI, first words and exit code, the build its version,
// access point and host, and this run's record its name.
void compareWithRollout(const QStringList &verdictLines, int exitCode, const QString &recordName,
                        const QList<QStringList> &rollout, int earlierLines = 0)
{
    static const QRegularExpression trackerVerdict(
            "^(?:(tty\\w+): )?(UPDATED|NOT UPDATED|STOP), tracker (?:([0-9]{15})|of unknown IMEI)");
    QList<QStringList> expected;
    for (const QString &line : verdictLines) {
        const QRegularExpressionMatch match = trackerVerdict.match(line);
        if (match.hasMatch())
            expected.append({ match.captured(3), match.hasCaptured(1) ? match.captured(1) : "ttyUSB2", match.captured(2),
                              QString::number(exitCode), BuildSettings::accessPoint, BuildSettings::updateHost, recordName });
    }
    if (expected.isEmpty() && earlierLines == 0) {
        QCOMPARE(rollout, QList<QStringList>()); // no tracker, no line
        return;
    }
    QCOMPARE(rollout.size(), 2 + earlierLines + expected.size());
    QCOMPARE(rollout.first(), QStringList { "sep=" } << "");
    QCOMPARE(rollout[1].join(','), "time,IMEI,port,verdict,exit code,version,access point,update host,record");
    const QRegularExpression time("^\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d[+-]\\d\\d:\\d\\d$");
    const QRegularExpression version("^\\d+\\.\\d+ \\(commit ([0-9a-f]{12}|unknown)\\)$");
    QList<QStringList> last;
    for (const QStringList &line : rollout.mid(rollout.size() - expected.size())) {
        QCOMPARE(line.size(), 9);
        QVERIFY2(time.match(line[0]).hasMatch() && version.match(line[5]).hasMatch(), qPrintable(line.join(',')));
        last.append(line.mid(1, 4) + line.mid(6));
    }
    QCOMPARE(last, expected);
}

// update-tracker started by `script` (see plainStart) in a folder of its own with
// tracker-updater beside it, under tracker-sim.
SimulatedRun runCompanion(const QStringList &simulation, const QString &script, const QString &bin, int timeoutMs = 300000)
{
    if (!QDir().mkpath(bin) || !QFile::copy(UPDATE_TRACKER_PATH, bin + "/update-tracker")
        || !QFile::copy(TRACKER_UPDATER_PATH, bin + "/tracker-updater"))
        return {};
    return simulate(simulation, "C.UTF-8", timeoutMs, { "/bin/sh", "-c", script, bin + "/update-tracker" });
}

// What the verdict says of the tracker holds for the simulated tracker's own files at the
// end: UPDATED, the new image runs and the old one is the backup; NOT UPDATED with the
// tracker unchanged, the files are as they were; with its firmware kept, its image is.
void verdictAgreesWithTheFiles(const QString &shown, const SimulatedRun &run, const QStringList &simulation)
{
    // Read without the tracker it names.
    const QString verdict = QString(shown).remove(QRegularExpression(", tracker (?:[0-9]{15}|of unknown IMEI \\([^)]*\\))"));
    QMap<QString, QByteArray> files = run.files(0);
    QMap<QString, QByteArray> before = Expected::filesBeforeRun();
    if (simulation.contains("--no-backup"))
        before.remove("cust_app_bck.bin");
    if (verdict.startsWith("UPDATED")) {
        QCOMPARE(files.value("cust_app.bin"), Expected::filesAfterSwap().value("cust_app.bin"));
        // Updated before: the backup is the firmware that update installed.
        QCOMPARE(files.value("cust_app_bck.bin"), verdict.contains("\nUpdated before, on ")
                         ? Expected::filesAfterSwap().value("cust_app.bin") : SimulatedTracker::currentImage);
    } else if (verdict.startsWith(noneOpenedUnchanged) || (verdict.startsWith("NO TRACKER FOUND") && !files.isEmpty())) {
        files.remove("cust_app_new.bin"); // what a failed download may leave behind, never installed
        QCOMPARE(files, before);
    } else if (verdict.startsWith("NOT UPDATED, the tracker keeps its firmware: ")) {
        QCOMPARE(files.value("cust_app.bin"), SimulatedTracker::currentImage);
    }
}

} // namespace

void EndToEndTest::completeRun_data()
{
    QTest::addColumn<QString>("locale");
    QTest::addColumn<QByteArray>("operatorSelection");
    QTest::addColumn<QStringList>("download");
    QTest::addColumn<bool>("downloaded");
    QTest::newRow("France") << "fr_FR.UTF-8" << QByteArray("AT+COPS=4,2,20801") << QStringList() << true;
    QTest::newRow("no country") << "C.UTF-8" << QByteArray() << QStringList() << true;
    QTest::newRow("download not found") << "C.UTF-8" << QByteArray() << QStringList { "--download-status", "404" } << false;
    QTest::newRow("empty download") << "C.UTF-8" << QByteArray() << QStringList { "--download-empty" } << false;
}

void EndToEndTest::completeRun()
{
    QFETCH(QString, locale);
    QFETCH(QByteArray, operatorSelection);
    QFETCH(QStringList, download);
    QFETCH(bool, downloaded);
    SIMULATE(run, QStringList { "--port", "ttyUSB2", "--reply-delay", "20", "--activation-delay", "100",
                                "--download-delay", "300" } + download, locale);

    const QByteArrayList commands = Expected::commands(
            operatorSelection, downloaded ? Expected::Download::Succeeds : Expected::Download::Fails);
    QCOMPARE(run.received(0), commands.join());
    QCOMPARE(withoutModemChunks(run.lines), Expected::banner + Expected::runLines("ttyUSB2", commands));
    QCOMPARE(shownChunks(run.lines), shownAsChunk(run.sent(0)));
    QMap<QString, QByteArray> files = run.files(0);
    files.remove("cust_app_new.bin"); // what a failed download may leave behind, never installed
    QCOMPARE(files, downloaded ? Expected::filesAfterSwap() : Expected::filesBeforeRun());
}

void EndToEndTest::busyPortIsOpenedOnceFreed()
{
    SIMULATE(run, { "--port", "ttyUSB2", "--busy-until", "2500" });

    QCOMPARE(run.lines.mid(0, 5), Expected::banner);
    QCOMPARE(run.lines.value(5), R"("ttyUSB2"  already used)");
    QCOMPARE(withoutModemChunks(run.lines.mid(6)), Expected::runLines("ttyUSB2", Expected::commands({})));
    QVERIFY2(run.lineTimesMs[6] >= 2800, qPrintable(QString::number(run.lineTimesMs[6])));
    QCOMPARE(run.received(0), Expected::commands({}).join());
}

void EndToEndTest::trackerPluggedAfterStart()
{
    // Plugged between the program's first scan and its second, however slowly it starts.
    SIMULATE(run, { "--port", "ttyUSB2", "--plug-after-output", "2000" });

    QCOMPARE(withoutModemChunks(run.lines), Expected::banner + Expected::runLines("ttyUSB2", Expected::commands({})));
    // Found by the scan at about 3000 ms after the banner, not by the one at 1000 ms.
    QVERIFY2(run.lineTimesMs[5] >= 2800, qPrintable(QString::number(run.lineTimesMs[5])));
    QCOMPARE(run.received(0), Expected::commands({}).join());
    QCOMPARE(run.files(0), Expected::filesAfterSwap());
}

void EndToEndTest::decoyPortsAreLeftAlone()
{
    const QString tracker = QString::fromUtf8(BuildSettings::portDescription);
    SIMULATE(run, { "--port", "ttyUSB0", "--description", "SimTech HS-USB Modem 9205",
                    "--port", "ttyUSB1", "--description", tracker.toUpper(),
                    "--port", "ttyUSB2",
                    "--port", "ttyUSB3", "--description", tracker + " #2" });

    QCOMPARE(withoutModemChunks(run.lines), Expected::banner + Expected::runLines("ttyUSB2", Expected::commands({})));
    for (const int decoy : { 0, 1, 3 })
        QCOMPARE(run.received(decoy), QByteArray());
    QCOMPARE(run.received(2), Expected::commands({}).join());
}

void EndToEndTest::twoTrackersAreUpdatedInTurn()
{
    SIMULATE(run, { "--port", "ttyUSB2", "--port", "ttyUSB3" });

    const QByteArrayList commands = Expected::commands({});
    const QStringList firstRun = withoutModemChunks(run.lines).mid(5, commands.size() + 5);
    const QString firstPort = firstRun.value(0).contains("ttyUSB2") ? "ttyUSB2" : "ttyUSB3";
    const QString secondPort = firstPort == "ttyUSB2" ? "ttyUSB3" : "ttyUSB2";
    QCOMPARE(withoutModemChunks(run.lines),
             Expected::banner + Expected::runLines(firstPort, commands) + Expected::runLines(secondPort, commands));
    QCOMPARE(run.received(0), commands.join());
    QCOMPARE(run.received(1), commands.join());
}

void EndToEndTest::trackerUnpluggedDuringTheRun()
{
    // Gone once it received its 19th command, so the last two steps find nobody.
    SIMULATE(run, { "--port", "ttyUSB2", "--unplug-after", "19" });

    const QByteArrayList commands = Expected::commands({});
    QCOMPARE(run.received(0), commands.mid(0, 19).join());
    QStringList expected = Expected::runLines("ttyUSB2", commands);
    expected.insert(expected.size() - 4, "Timed out"); // after the reboot
    expected.insert(expected.size() - 6, "Timed out"); // after the end of the file operations
    QCOMPARE(withoutModemChunks(run.lines), Expected::banner + expected);
    QCOMPARE(run.lines.count("Timed out"), 2);
    // A hung-up port ends each wait at once; the wait still lasts its time, and 20 s of
    // waiting costs no busy core (it cost 10 to 37 s of CPU before).
    qInfo("CPU time of the program: %.2f s", run.cpuSeconds);
    QVERIFY2(run.cpuSeconds < 3.0, qPrintable(QString::number(run.cpuSeconds)));
}

void EndToEndTest::silentModemWithRealLimits()
{
    // Meanwhile, update-tracker's verdict on modems that make it wait out every step, or
    // that vanish as the download is sent: what the answers show, not no coverage. The
    // program then waits out the download's limit, as with a real tracker, at the lowest
    // priority, so that the tests beside it keep their times.
    QTemporaryDir directory;
    const QString didNotAnswer = "the modem did not answer (%1). Unplug the tracker, plug it in again and run again.";
    const QString unknown = "tracker of unknown IMEI (AT+GSN gave none)";
    const QList<std::tuple<QStringList, QString, QString, int>> deadModems = {
        { { "--port", "ttyUSB2", "--mode", "silent" }, unknown, didNotAnswer.arg("AT+CMNB=1 got no answer"), 1 },
        { { "--port", "ttyUSB2", "--mode", "error" }, unknown, didNotAnswer.arg("AT+CMNB=1 answered ERROR"), 1 },
        { { "--port", "ttyUSB2", "--unplug-after", "14" }, "tracker " + imei,
          "the tracker was unplugged at " + QString::fromUtf8(Expected::commands({}).value(13).trimmed())
                  + ", before the file swap. You may run again.", 6 },
    };
    std::vector<std::future<SimulatedRun>> verdictRuns;
    for (qsizetype i = 0; i < deadModems.size(); ++i) {
        const QStringList simulation = std::get<0>(deadModems[i]);
        const QString bin = directory.filePath(QStringLiteral("bin%1").arg(i));
        verdictRuns.push_back(std::async(std::launch::async, [simulation, bin] {
            return runCompanion(simulation, R"(exec nice -n 19 "$0" 1>&2)", bin, 15 * 60 * 1000);
        }));
    }
    auto checkVerdicts = qScopeGuard([&] {
        for (qsizetype i = 0; i < deadModems.size(); ++i) {
            const SimulatedRun run = verdictRuns[size_t(i)].get();
            if (QTest::currentTestFailed())
                continue;
            const QString verdict = "NOT UPDATED, " + std::get<1>(deadModems[i]) + ", the tracker is unchanged: "
                    + std::get<2>(deadModems[i]);
            QVERIFY2(run.finished && run.exitCode == std::get<3>(deadModems[i]) && run.lines.value(run.lines.size() - 2) == verdict,
                     qPrintable(std::get<0>(deadModems[i]).join(' ') + ":\n" + run.lines.mid(run.lines.size() - 4).join('\n')));
            verdictAgreesWithTheFiles(verdict, run, std::get<0>(deadModems[i]));
        }
    });

    SIMULATE(run, { "--port", "ttyUSB2", "--mode", "silent" }, "fr_FR.UTF-8", 15 * 60 * 1000);

    // The download never reports, so the file swap is left out.
    const QByteArrayList commands = Expected::commands("AT+COPS=4,2,20801", Expected::Download::Fails);
    QCOMPARE(run.received(0), commands.join());
    QCOMPARE(run.lines, Expected::banner + Expected::unansweredRunLines("ttyUSB2", commands));
    QList<qsizetype> sendAt;
    for (qsizetype line = 0; line < run.lines.size(); ++line) {
        if (run.lines[line].startsWith("Send "))
            sendAt.append(line);
    }
    sendAt.append(run.lines.size() - Expected::closingLines.size());

    const QList<int> limitsMs = { 10000, 10000, 10000, 10000, 10000, 10000, 30000, 30000, 15000, 30000, 15000,
                                  45000, 5000, 5000, 300000, 10000 };
    QCOMPARE(limitsMs.size(), commands.size());
    for (int step = 0; step < limitsMs.size(); ++step) {
        // From one "Send" to the next, or to the closing lines.
        const qint64 tookMs = run.lineTimesMs[sendAt[step + 1]] - run.lineTimesMs[sendAt[step]];
        const int limit = limitsMs[step];
        QVERIFY2(tookMs >= limit + 150 && tookMs <= limit + limit / 10 + 200 + 500,
                 qPrintable(QStringLiteral("step %1 (limit %2 ms) took %3 ms").arg(step + 1).arg(limit).arg(tookMs)));
    }
}

void EndToEndTest::commandInheritsNoDescriptorOfTheSimulation()
{
    QProcess simulation;
    killWithParent(simulation);
    simulation.start(TRACKER_SIM_PATH, { "--port", "ttyUSB2", "--port", "ttyUSB3", "--", "/bin/sh", "-c",
                                         "for fd in /proc/self/fd/*; do readlink $fd; done; true" });
    QVERIFY(simulation.waitForFinished(10000));
    QCOMPARE(simulation.exitCode(), 0);

    // The command's own output comes first, then the simulation's report. What the test
    // itself inherited may show up; the simulation's terminals and events must not.
    const QByteArray output = simulation.readAllStandardOutput();
    const QByteArray descriptors = output.left(output.indexOf("\ntracker-sim:"));
    QVERIFY2(descriptors.contains("pipe:"), descriptors.constData());
    for (const char *simulated : { "/dev/pts/", "ptmx", "eventfd", "ttyUSB" })
        QVERIFY2(!descriptors.contains(simulated), descriptors.constData());
}

void EndToEndTest::nothingOutlivesTheCommand_data()
{
    QTest::addColumn<QString>("script"); // prints a line once its child runs
    QTest::addColumn<bool>("simulationKilled");
    QTest::addColumn<int>("exitCode");
    QTest::newRow("simulation killed") << "sleep %1 & echo started; wait" << true << -1;
    QTest::newRow("command leaves a child") << "sleep %1 & echo started; exit 3" << false << 3;
    QTest::newRow("command ended by SIGTERM") << "sleep %1 & echo started; kill -TERM $$" << false << 143;
}

void EndToEndTest::nothingOutlivesTheCommand()
{
    QFETCH(QString, script);
    QFETCH(bool, simulationKilled);
    QFETCH(int, exitCode);
    // A child found by its arguments: the command's PIDs are those of its own namespace.
    const QString duration = QStringLiteral("600.%1").arg(QRandomGenerator::global()->bounded(1000000));
    QProcess simulation;
    killWithParent(simulation);
    simulation.start(TRACKER_SIM_PATH, { "--port", "ttyUSB2", "--", "/bin/sh", "-c", script.arg(duration) });
    QVERIFY(simulation.waitForReadyRead(10000));
    if (simulationKilled)
        simulation.kill();
    QVERIFY(simulation.waitForFinished(10000));
    if (!simulationKilled)
        QCOMPARE(simulation.exitCode(), exitCode);

    auto childRunning = [&duration] {
        for (const QString &pid : QDir("/proc").entryList({ "[0-9]*" }, QDir::Dirs)) {
            QFile commandLine("/proc/" + pid + "/cmdline");
            QFile status("/proc/" + pid + "/stat");
            if (commandLine.open(QIODevice::ReadOnly) && commandLine.readAll().contains(duration.toLatin1())
                && status.open(QIODevice::ReadOnly) && !status.readAll().contains(") Z "))
                return true;
        }
        return false;
    };
    QTRY_VERIFY_WITH_TIMEOUT(!childRunning(), 5000);
}

// Each script starts tracker-sim or its reaper where mounts are not those of a plain
// machine, and prints what it found.
void EndToEndTest::simulationHoldsWhereverItIsStarted_data()
{
    QTest::addColumn<QString>("script");
    QTest::addColumn<QString>("found"); // a pattern for all the script printed
    // A root that is no mount point, as a pbuilder-style build root is, and that
    // vanishes with its namespace; the command is found from the folder it started in.
    QTest::newRow("tracker-sim in a plain chroot") << R"sh(r=$(mktemp -d) && trap 'rmdir "$r"' EXIT && unshare -m sh -euc '
mount -t tmpfs tmpfs "$1"; r=$1/root
mkdir -p "$r/proc" "$r/dev" "$r/sys" "$r/tmp" "$r/var/lock" "$r$BUILD"
for top in usr etc; do mkdir "$r/$top"; mount --rbind "/$top" "$r/$top"; done
for link in bin lib lib64 sbin; do if [ -L "/$link" ]; then ln -s "$(readlink "/$link")" "$r/$link"; fi; done
mount --rbind /proc "$r/proc"; mount --rbind /dev "$r/dev"; mount --rbind "$BUILD" "$r$BUILD"
chmod 1777 "$r/tmp" "$r/var/lock"
export REL="${PORTS#"$BUILD"/}"
exec chroot "$r" /bin/sh -c "cd \"\$BUILD\" && exec \"\$SIM\" --port ttyUSB7 -- \"./\$REL\""' sh "$r")sh"
            << QString(R"(^\* ttyUSB7 "%1" "SimTech, Incorporated" 1e0e:9205\n\ntracker-sim: the command exited with code 0\n)")
                       .arg(QRegularExpression::escape(trackerDescription()));
    QTest::newRow("reaper under shared mounts")
            << R"(unshare -m --propagation private sh -c 'mount --make-rshared / && "$REAPER" sh -c "sleep 0.3" && readlink /proc/self')"
            << R"(^[0-9]+\n$)";
    QTest::newRow("reaper killed before its death signal") << R"(mark=$(mktemp -u) started=$(mktemp -u)
SLOW_DEATH_SIGNAL_MARK=$mark LD_PRELOAD=$SLOW ASAN_OPTIONS=$ASAN_OPTIONS:verify_asan_link_order=0 \
    "$REAPER" sh -c "touch $started; sleep 3" &
until [ -e "$mark" ]; do sleep 0.01; done
kill -KILL $!
sleep 1.5
if [ -e "$started" ]; then echo "the command started"; else echo "nothing started"; fi
rm -f "$mark" "$started")"
            << R"(^nothing started\n$)";
}

void EndToEndTest::simulationHoldsWhereverItIsStarted()
{
    QFETCH(QString, script);
    QFETCH(QString, found);
    QProcess shell;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("SIM", TRACKER_SIM_PATH);
    environment.insert("REAPER", TRACKER_REAPER_PATH);
    environment.insert("PORTS", TRACKER_PORTS_PATH);
    environment.insert("SLOW", SLOW_DEATH_SIGNAL_PATH);
    environment.insert("BUILD", PROJECT_BINARY_DIR);
    shell.setProcessEnvironment(environment);
    killWithParent(shell);
    shell.start("/bin/sh", { "-c", script });
    QVERIFY(shell.waitForFinished(20000));
    const QString output = QString::fromUtf8(shell.readAllStandardOutput());
    const QString errors = QString::fromUtf8(shell.readAllStandardError());
    QVERIFY2(QRegularExpression(found).match(output).hasMatch(), qPrintable(output + errors));
    QCOMPARE(shell.exitCode(), 0);
}

void EndToEndTest::endReportShowsWhatEachModemReceived_data()
{
    QTest::addColumn<QStringList>("options");
    QTest::addColumn<QString>("script"); // its output goes to the port
    QTest::addColumn<QStringList>("reportLines");
    const QString port = "tracker-sim: ttyUSB2 ";
    QTest::newRow("command ended by CR alone") << QStringList() << R"(printf 'AT+GSN\r')"
                                               << QStringList { port + "received 1 command, 7 bytes", R"(    AT+GSN\r)" };
    QTest::newRow("two commands, one unfinished") << QStringList() << R"(printf 'AT\r\nAT+GSN\r\n\r\nAT+CG')"
                                                  << QStringList { port + "received 2 commands, 19 bytes" };
    QTest::newRow("file name with escape codes") << QStringList()
            << R"(printf 'AT+CFSINIT\rAT+CFSREN=0,"cust_app.bin","\033[2Jx"\r')"
            << QStringList { port + "received 2 commands, 46 bytes", R"(    \x1B[2Jx: firmware 1.4 (running)\n)" };
    // What the modem sent back, in order (no pause before a reply), as one line: CRs
    // dropped, each LF shown as '/'.
    QTest::newRow("tracker with no backup yet") << QStringList { "--no-backup" }
            << R"(printf 'AT+CFSINIT\r\nAT+CFSDFILE=0,"cust_app_bck.bin"\r\n')"
            << QStringList { R"(modem sent: AT+CFSINIT//OK/AT+CFSDFILE=0,"cust_app_bck.bin"//ERROR/)" };
    QTest::newRow("commands left unanswered") << QStringList { "--no-answer-to", "AT+GSN", "--no-answer-to", "AT+CFSINIT" }
            << R"(printf 'AT+GSN\r\nAT+CFSINIT\r\nAT+CFSDFILE=0,"cust_app.bin"\r\nAT\r\n')"
            << QStringList { port + "received 4 commands, 54 bytes",
                             // The delete finds no file system open: the unanswered command did nothing.
                             R"(modem sent: AT+CFSDFILE=0,"cust_app.bin"//ERROR/AT//OK/)" };
    QTest::newRow("not registered at the first operator query") << QStringList { "--unregistered-queries", "1" }
            << R"(printf 'AT+COPS?\r\nAT+COPS?\r\n')"
            << QStringList { R"(modem sent: AT+COPS?//+COPS: 2//OK/AT+COPS?//+COPS: 0,2,"20801",9//OK/)" };
    QTest::newRow("network error on the download") << QStringList { "--download-status", "601", "--download-delay", "0" }
            << R"(printf 'AT+HTTPTOFS="https://h/f","/custapp/cust_app_new.bin"\r\n')"
            << QStringList { R"(modem sent: AT+HTTPTOFS="https://h/f","/custapp/cust_app_new.bin"//OK//+HTTPTOFS: 601,0/)" };
}

void EndToEndTest::endReportShowsWhatEachModemReceived()
{
    QFETCH(QStringList, options);
    QFETCH(QString, script);
    QFETCH(QStringList, reportLines);
    QProcess simulation;
    killWithParent(simulation);
    const QString readBack = R"(; sleep 0.5; printf 'modem sent: '; timeout 0.3 cat <&3 | tr -d '\r' | tr '\n' /; echo)";
    simulation.start(TRACKER_SIM_PATH, QStringList { "--port", "ttyUSB2", "--reply-delay", "0" } + options
                     + QStringList { "--", "/bin/sh", "-c", "exec 3<>/dev/ttyUSB2; " + script + " >&3" + readBack });
    QVERIFY(simulation.waitForFinished(10000));
    QCOMPARE(simulation.exitCode(), 0);
    const QStringList output = QString::fromUtf8(simulation.readAllStandardOutput()).split('\n');
    for (const QString &line : reportLines)
        QVERIFY2(output.contains(line), qPrintable(line + " not in:\n" + output.join('\n')));
}

// A report line that never ends within a megabyte fails the download, and the program
// keeps no more of it than of a short one.
void EndToEndTest::floodedReportLineCostsNoMemory_data()
{
    QTest::addColumn<bool>("throughCompanion");
    QTest::addColumn<qint64>("mostExtraKiB");
    // Kept whole, the line took 3.6 MB more; a sanitized build's allocator alone takes
    // up to about 1.3 MB more for the traffic.
    QTest::newRow("tracker-updater") << false << qint64(2048);
    // The companion also holds the program's longest line (the flood's 1 MiB) while it
    // reads it; keeping every reply whole, it took 5980 KiB more.
    QTest::newRow("update-tracker") << true << qint64(4096);
}

void EndToEndTest::floodedReportLineCostsNoMemory()
{
    QFETCH(bool, throughCompanion);
    QFETCH(qint64, mostExtraKiB);
    // Under AddressSanitizer freed memory waits in a quarantine: peak memory would count
    // every chunk ever read rather than what the program keeps.
    qputenv("ASAN_OPTIONS", qgetenv("ASAN_OPTIONS") + ":quarantine_size_mb=0");
    QTemporaryDir directory;
    QStringList command = { TRACKER_UPDATER_PATH };
    if (throughCompanion) {
        QVERIFY(QFile::copy(UPDATE_TRACKER_PATH, directory.filePath("update-tracker")));
        QVERIFY(QFile::copy(TRACKER_UPDATER_PATH, directory.filePath("tracker-updater")));
        command = { directory.filePath("update-tracker") };
    }
    const SimulatedRun plain = simulate({ "--port", "ttyUSB2" }, "C.UTF-8", 60000, command);
    const SimulatedRun flooded = simulate({ "--port", "ttyUSB2", "--download-flood", "1048576" }, "C.UTF-8", 60000, command);
    QVERIFY2(flooded.unavailable.isEmpty(), qPrintable(flooded.unavailable));
    QVERIFY(plain.finished && flooded.finished);

    QCOMPARE(flooded.received(0), Expected::commands({}, Expected::Download::Fails).join());
    QVERIFY(flooded.lines.contains(Expected::downloadFailedLine));
    const qint64 extraKiB = flooded.peakMemoryKiB - plain.peakMemoryKiB;
    QVERIFY2(extraKiB < mostExtraKiB, qPrintable(QStringLiteral("%1 KiB more than a plain run").arg(extraKiB)));
}

void EndToEndTest::badOptionsChangeNothing_data()
{
    QTest::addColumn<QStringList>("options");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("message"); // after "tracker-sim: "
    const QString plainName = ": must be a plain device name: 1 to 32 letters, digits, '-', '_' or '.', not . or ..";
    const QString aDay = ": must be an integer from 0 to 86400000";
    const QString longName(33, 'a');
    auto row = [](const char *name, const QStringList &options, int exitCode, const QString &message) {
        QTest::newRow(name) << options << exitCode << message;
    };
    row("path as port name", { "--port", "../../../tmp/x" }, 2, "--port ../../../tmp/x" + plainName);
    row("port name ..", { "--port", ".." }, 2, "--port .." + plainName);
    row("port name of 33 characters", { "--port", longName }, 2, "--port " + longName + plainName);
    row("port given twice", { "--port", "ttyUSB2", "--port", "ttyUSB2" }, 2, "--port ttyUSB2: must be unique, and is given twice");
    row("port option given twice", { "--port", "ttyUSB2", "--mode", "silent", "--mode", "error" }, 2, "--mode is given twice for ttyUSB2");
    row("unplugged before plugged", { "--port", "ttyUSB2", "--plug-at", "600", "--unplug-at", "100" }, 2,
        "ttyUSB2: --unplug-at 100 must be later than the plug time (--plug-at 600)");
    row("empty download not found", { "--port", "ttyUSB2", "--download-empty", "--download-status", "404" }, 2,
        "ttyUSB2: --download-empty and --download-status: one download outcome at most");
    row("silent download split", { "--port", "ttyUSB2", "--download-silent", "--download-split", "5" }, 2,
        "ttyUSB2: --download-split and --download-silent: a silent download has no report to split");
    row("report that cannot be created", { "--report", "/nonexistent/report.json", "--port", "ttyUSB2" }, 2,
        "--report /nonexistent/report.json: cannot be created: No such file or directory");
    row("negative time", { "--port", "ttyUSB2", "--reply-delay", "-5" }, 2, "--reply-delay -5" + aDay);
    row("time beyond a day", { "--port", "ttyUSB2", "--download-delay", "86400001" }, 2, "--download-delay 86400001" + aDay);
    row("beyond any int", { "--port", "ttyUSB2", "--plug-at", "99999999999999999999" }, 2, "--plug-at 99999999999999999999" + aDay);
    row("not an integer", { "--port", "ttyUSB2", "--attach-delay", "1.5" }, 2, "--attach-delay 1.5" + aDay);
    row("number with a space", { "--port", "ttyUSB2", "--unplug-at", " 5" }, 2, "--unplug-at  5" + aDay);
    row("status below 100", { "--port", "ttyUSB2", "--download-status", "99" }, 2, "--download-status 99: must be an integer from 100 to 999");
    row("status above 999", { "--port", "ttyUSB2", "--download-status", "1000" }, 2, "--download-status 1000: must be an integer from 100 to 999");
    row("empty unanswered prefix", { "--port", "ttyUSB2", "--no-answer-to", "" }, 2, "--no-answer-to : must be a command's beginning: not empty, no line end");
    row("IMEI of 14 digits", { "--port", "ttyUSB2", "--imei", "86995104000001" }, 2, "--imei 86995104000001: must be 15 digits");
    row("no backup given twice", { "--port", "ttyUSB2", "--no-backup", "--no-backup" }, 2, "--no-backup is given twice for ttyUSB2");
    row("unplug before any command", { "--port", "ttyUSB2", "--unplug-after", "0" }, 2, "--unplug-after 0: must be an integer from 1 to 1000");
    row("unknown mode", { "--port", "ttyUSB2", "--mode", "loud" }, 2, "--mode loud: must be answering, one-piece, silent or error");
    row("port option before any port", { "--reply-delay", "5" }, 2, "--reply-delay must follow a --port");
    row("unknown option", { "--port", "ttyUSB2", "--colour" }, 2, "unknown option --colour (see --help)");
    // Valid, but taken in the simulated /dev: a failure of the simulation, not of the command.
    row("name of a system device", { "--port", "tty" }, 124, "tty cannot be plugged in: cannot create /dev/tty: File exists");
    row("every range at its ends", { "--port", "a.b-c_9", "--reply-delay", "0", "--download-status", "100", "--busy-until", "-1",
                                     "--no-answer-to", "AT+CFS", "--no-answer-to", "AT+CREBOOT", "--no-backup", "--imei", "000000000000000",
                                     "--port", "ttyUSB2", "--download-delay", "86400000", "--download-status", "999",
                                     "--unregistered-queries", "1000" }, 0, {});
}

void EndToEndTest::badOptionsChangeNothing()
{
    QFETCH(QStringList, options);
    QFETCH(int, exitCode);
    QFETCH(QString, message);
    QTemporaryDir directory;
    const QString ran = directory.filePath("ran");

    QProcess simulation;
    killWithParent(simulation);
    simulation.start(TRACKER_SIM_PATH, options + QStringList { "--", "/bin/touch", ran });
    QVERIFY(simulation.waitForFinished(10000));
    QCOMPARE(simulation.exitCode(), exitCode);
    const QString console = QString::fromUtf8(simulation.readAllStandardError());
    if (exitCode == 0) {
        QVERIFY(QFile::exists(ran));
    } else {
        QCOMPARE(console, "tracker-sim: " + message + '\n');
        QVERIFY(!QFile::exists(ran));
    }
}

// What a user unpacks, run where only a simulated tracker is plugged in.
void EndToEndTest::installedPackageUpdatesATracker()
{
    QTemporaryDir directory;
    const QString prefix = directory.filePath("prefix");
    const QString packages = directory.filePath("package");
    auto run = [](const QStringList &arguments) -> std::optional<QByteArray> {
        QProcess tool;
        killWithParent(tool);
        tool.start(arguments.first(), arguments.mid(1));
        if (!tool.waitForFinished(120000) || tool.exitCode() != 0)
            return std::nullopt;
        return tool.readAllStandardOutput();
    };
    QVERIFY(run({ CMAKE_COMMAND, "--install", PROJECT_BINARY_DIR, "--prefix", prefix }));

    SIMULATE(updated, { "--port", "ttyUSB2" }, "C.UTF-8", 60000, { prefix + "/bin/tracker-updater" });
    QCOMPARE(withoutModemChunks(updated.lines), Expected::banner + Expected::runLines("ttyUSB2", Expected::commands({})));

    QVERIFY(run({ CPACK_COMMAND, "--config", PROJECT_BINARY_DIR "/CPackConfig.cmake", "-B", packages }));
    const QStringList archives = QDir(packages).entryList({ "tracker-updater-*.tar.gz" });
    QCOMPARE(archives.size(), 1);
    const auto content = run({ CMAKE_COMMAND, "-E", "tar", "tf", QDir(packages).filePath(archives.first()) });
    QVERIFY(content && content->contains("/bin/tracker-updater\n") && content->contains("/bin/tracker-ports\n")
            && content->contains("/bin/update-tracker\n"));
}

// Every verdict from a real run of the program under the companion: the program's lines
// pass through unchanged, the record holds them, and the verdict and exit code follow.
void EndToEndTest::companionGivesTheVerdict_data()
{
    const QString unreadable = unchanged + "the download's report, the line above \"Download failed\", "
                                           "is not one tracker-updater can read. Tell the maintainer.";
    const QString unzipAgain = "Unzip the package again into an empty folder and run again.";
    const QString serverAnswered = unchanged + "the update server answered %1. Tell the maintainer.";
    const QString fileStep = "STOP, tracker " + imei + ", do not run again: the file step %1 got no OK in time. Send the record to the maintainer.";
    QStringList tenTrackers;
    for (int i = 0; i < 10; ++i)
        tenTrackers << (i == 0 ? QStringList() : QStringList { "--port", "ttyUSB" + QString::number(2 + i) })
                    << "--attach-delay" << "20000" << "--imei" << QString::number(869951040000025LL + 8 * i);
    verdictRows({
        { "good download", {}, plainStart, 0, updated },
        // The second run deletes the backup, the tracker's firmware before the first.
        { "good download, then the same tracker again", {}, "\"$0\" 1>&2 && exec \"$0\" 1>&2", 0,
          updated + "\nUpdated before, on $EARLIER: this run deleted the backup that update had kept; "
                    "its backup is now the firmware that update installed. Tell the maintainer, with the record." },
        { "two trackers", { "--imei", "869951040000025", "--port", "ttyUSB3", "--imei", "869951040000033" }, plainStart, 0,
          "ttyUSB2: " + updatedAs.arg("869951040000025") + "\nttyUSB3: " + updatedAs.arg("869951040000033") },
        { "not found", { "--download-status", "404" }, plainStart, 2,
          serverAnswered.arg("404: running again does not help") },
        { "server busy", { "--download-status", "503" }, plainStart, 2,
          serverAnswered.arg("503: one later retry may help") },
        { "empty file", { "--download-empty" }, plainStart, 2,
          serverAnswered.arg("200 with an empty file: running again does not help") },
        { "network error", { "--download-status", "603" }, plainStart, 1,
          unchanged + "no coverage (the modem reported network error 603). "
                      "Move the tracker where it has coverage and run again." },
        // Every first update: the delete answers ERROR and times out, the swap goes on.
        { "no backup yet", { "--no-backup" }, plainStart, 0, updated },
        // Both renames answered: the swap is done, whatever its end got.
        { "file swap's end unanswered", { "--no-answer-to", "AT+CFSTERM" }, plainStart, 0, updated },
        { "first update, the backup's delete unanswered", { "--no-backup", "--no-answer-to", "AT+CFSDFILE" }, plainStart, 0, updated },
        // Neither rename was done: the answers say so.
        { "files not opened", { "--no-answer-to", "AT+CFSINIT" }, plainStart, 2,
          keepsItsFirmware + "the modem did not rename its files (AT+CFSINIT got no answer). Send the record to the maintainer." },
        { "backup's delete unanswered", { "--no-answer-to", "AT+CFSDFILE" }, plainStart, 2,
          keepsItsFirmware + R"(the modem did not rename its files (AT+CFSDFILE=0,"cust_app_bck.bin" got no answer). )"
                             "Send the record to the maintainer." },
        { "new image's rename unanswered", { "--no-answer-to", R"(AT+CFSREN=0,"cust_app_new.bin")" }, plainStart, 3,
          fileStep.arg(R"(AT+CFSREN=0,"cust_app_new.bin","cust_app.bin")") },
        { "Ctrl+C in a first update's delete wait", { "--no-backup", "--no-answer-to", "AT+CFSDFILE" },
          inTheBackground + "until grep -q 'AT+CFSDFILE' \"$RECORDS\"/* 2>/dev/null; do sleep 0.05; done; kill -INT $c\n" + nothingLeft, 6,
          keepsItsFirmware + R"(stopped at AT+CFSDFILE=0,"cust_app_bck.bin", before any file was renamed. You may run again.)" },
        { "Ctrl+C at the reboot after a 404", { "--download-status", "404", "--no-answer-to", "AT+CREBOOT" },
          inTheBackground + "until grep -q 'AT+CREBOOT' \"$RECORDS\"/* 2>/dev/null; do sleep 0.05; done; kill -INT $c\n" + nothingLeft, 2,
          serverAnswered.arg("404: running again does not help") },
        { "killed at the reboot after a 601", { "--download-status", "601", "--no-answer-to", "AT+CREBOOT" },
          inTheBackground + "until grep -q 'AT+CREBOOT' \"$RECORDS\"/* 2>/dev/null; do sleep 0.05; done; kill -KILL $child\n" + nothingLeft, 1,
          unchanged + "no coverage (the modem reported network error 601). Move the tracker where it has coverage and run again." },
        { "report in an unexpected form", { "--download-extra", ",0" }, plainStart, 2, unreadable },
        { "report flooding the port", { "--download-flood", "16777216" }, plainStart, 2, unreadable },
        // A window that takes nothing (a selection, Ctrl+S) holds up no reading: the verdict
        // reaches the record while the window still holds all; the window then shows a bounded part.
        { "window held during a flood", { "--download-flood", "16777216" },
          R"sh({ "$0" 2>&1; echo $? > "$RECORDS.code"; } | { until [ -e "$RECORDS.go" ]; do sleep 0.1; done; cat; } >&2 &
i=0; until grep -q '^NOT UPDATED' "$RECORDS"/update-* 2>/dev/null; do
  i=$((i+1)); [ $i -lt 1200 ] || { echo "the verdict waited for the window" >&2; break; }; sleep 0.1; done
: > "$RECORDS.go"; wait; exit "$(cat "$RECORDS.code")")sh", 2, unreadable },
        { "port held for ever", { "--busy-until", "-1" },
          inTheBackground + "until grep -q 'already used' \"$RECORDS\"/* 2>/dev/null; do sleep 0.05; done; kill -INT $c\n" + nothingLeft, 5,
          noneOpenedUnchanged + R"(another program holds its port "ttyUSB2". )"
                      "Close that program (a terminal, a modem tool, a second updater) and run again." },
        // A missing DLL on Windows ends it the same way.
        { "tracker-updater ends before its first line", {},
          R"(printf '#!/bin/sh\nexit 3\n' > "$(dirname "$0")/tracker-updater"; exec "$0" 1>&2)", 9,
          noneOpenedUnchanged + "tracker-updater could not be started (it ended with exit code 3 before its first line). " + unzipAgain },
        { "tracker-updater missing", {}, R"(rm "$(dirname "$0")/tracker-updater"; exec "$0" 1>&2)", 9,
          noneOpenedUnchanged + "tracker-updater could not be started (tracker-updater is missing, or cannot be run). " + unzipAgain },
        { "reboot unanswered", { "--no-answer-to", "AT+CREBOOT" }, plainStart, 4,
          "UPDATED, tracker " + imei + ", but restart the tracker: the reboot got no OK in time. "
          "Unplug the tracker and plug it in again." },
        { "no tracker", { "--description", "USB Serial Port" }, ctrlCToTheGroup, 5,
          "NO TRACKER FOUND: stopped before a tracker was found. Check the cable and the driver; "
          "tracker-ports lists the ports and marks the tracker's." },
        { "Ctrl+C before Open", { "--plug-at", "60000" }, ctrlCToTheCompanion, 5,
          "NO TRACKER FOUND: stopped before a tracker was found. Check the cable and the driver; "
          "tracker-ports lists the ports and marks the tracker's." },
        { "updater dies", { "--attach-delay", "20000" },
          inTheBackground + "until grep -q 'AT+CGATT' \"$RECORDS\"/* 2>/dev/null; do sleep 0.05; done; kill -KILL $child\n" + nothingLeft,
          6, unchanged + "tracker-updater ended unexpectedly at AT+CGATT=1, before the file swap. You may run again." },
        { "Ctrl+C before AT+GSN", { "--no-answer-to", "AT+CMNB" },
          inTheBackground + "until grep -q 'AT+CMNB' \"$RECORDS\"/* 2>/dev/null; do sleep 0.05; done; kill -INT $c\n" + nothingLeft,
          6, "NOT UPDATED, tracker of unknown IMEI (the run ended before AT+GSN), the tracker is unchanged: "
             "stopped at AT+CMNB=1, before the file swap. You may run again." },
        { "record cannot be written", {},
          R"(: > "$RECORDS"; mkdir -p "$RECORDS.x"; : > "$RECORDS.x/file"
HOME="$RECORDS.x/file/home" XDG_DATA_HOME="$RECORDS.x/file/data" XDG_CONFIG_HOME="$RECORDS.x/file/config" exec "$0" 1>&2)",
          0, updated + "\nupdate-tracker: this run is not in the rollout file ($RECORDS cannot be made; "
                       "$RECORDS.x/file/home/Documents/tracker-updater records cannot be made; "
                       "$RECORDS.x/file/data/update-tracker/records cannot be made)" },
        { "rollout file cannot be written", {}, R"(mkdir -p "$RECORDS/rollout.csv"; exec "$0" 1>&2)", 0,
          updated + "\nupdate-tracker: $RECORDS/rollout.csv cannot be written now ($RECORDS/rollout.csv: Is a directory): "
                    "this run's line waits in $RECORDS/rollout-waiting.csv, and the next run that can write the file adds it first" },
        // A file that can be read but not written: the lines wait, and count as earlier ones,
        // until a run can write it; that run adds them first.
        { "rollout file read-only, then writable", {},
          R"(mkdir -p "$RECORDS" && : > "$RECORDS/rollout.csv" && mount --bind "$RECORDS/rollout.csv" "$RECORDS/rollout.csv" \
&& mount -o remount,bind,ro "$RECORDS/rollout.csv" || exit 125
"$0" 1>&2 && "$0" 1>&2; umount "$RECORDS/rollout.csv" && exec "$0" 1>&2)", 0,
          updated + "\nUpdated before, on $EARLIER: this run deleted the backup that update had kept; "
                    "its backup is now the firmware that update installed. Tell the maintainer, with the record." },
        // A full disk cuts the line short: it is cut off again, and waits beside the file.
        { "rollout file on a full disk", {},
          R"sh(mkdir -p "$RECORDS" "$RECORDS.disk" && mount -t tmpfs -o size=4k tmpfs "$RECORDS.disk" || exit 125
line='2025-03-12 14:02:40+01:00,869951040000099,ttyUSB2,NOT UPDATED,1,1.0,a,b,'
{ printf 'sep=,\r\ntime,IMEI,port,verdict,exit code,version,access point,update host,record\r\n'
  for i in $(seq 40); do printf '%sr.txt\r\n' "$line"; done; } > "$RECORDS.disk/rollout.csv"
pad=$((4046 - $(stat -c %s "$RECORDS.disk/rollout.csv") - ${#line} - 2))
{ printf '%s' "$line"; head -c $pad /dev/zero | tr '\0' r; printf '\r\n'; } >> "$RECORDS.disk/rollout.csv"
ln -s "$RECORDS.disk/rollout.csv" "$RECORDS/rollout.csv"
"$0" 1>&2; rm "$RECORDS/rollout.csv"; cp "$RECORDS.disk/rollout.csv" "$RECORDS/rollout.csv"; umount "$RECORDS.disk"
exec "$0" 1>&2)sh", 0,
          updated + "\nUpdated before, on $EARLIER: this run deleted the backup that update had kept; "
                    "its backup is now the firmware that update installed. Tell the maintainer, with the record." },
        // Stopped together, they append together: each line whole, none lost.
        { "two companions at once",
          { "--attach-delay", "20000", "--imei", "869951040000025", "--port", "ttyUSB3", "--attach-delay", "20000",
            "--imei", "869951040000033" },
          R"sh(setsid sh -c '"$0" & "$0"; wait' "$0" 1>&2 & g=$!
until [ "$(grep -l 'AT+CGATT' "$RECORDS"/update-* 2>/dev/null | wc -l)" -eq 2 ]; do sleep 0.05; done
/bin/kill -INT -- -$g; wait $g)sh", 0,
          "NOT UPDATED, tracker %1, the tracker is unchanged: stopped at AT+CGATT=1, before the file swap. You may run again." },
        // A large file read by each: no companion holds the others' lock for the reading.
        { "ten companions at once on a 100 MB file", tenTrackers,
          R"sh(mkdir -p "$RECORDS" && { printf 'sep=,\r\ntime,IMEI,port,verdict,exit code,version,access point,update host,record\r\n'
yes "$(printf '2025-03-12 14:02:40+01:00,869951040000099,ttyUSB2,NOT UPDATED,1,1.0,a,b,r.txt\r')" | head -n 1300000; } > "$RECORDS/rollout.csv"
setsid sh -c 'for i in 1 2 3 4 5 6 7 8 9; do "$0" & done; "$0"; wait' "$0" 1>&2 & g=$!
until [ "$(grep -l 'AT+CGATT' "$RECORDS"/update-* 2>/dev/null | wc -l)" -eq 10 ]; do sleep 0.05; done
/bin/kill -INT -- -$g; wait $g)sh", 0,
          "NOT UPDATED, tracker %1, the tracker is unchanged: stopped at AT+CGATT=1, before the file swap. You may run again." },
        // A message pattern or logging rules of the user's hide nothing from the reading.
        { "Qt message settings", {},
          R"(mkdir -p "$RECORDS.config/QtProject"; printf '[Rules]\n*.debug=false\n' > "$RECORDS.config/QtProject/qtlogging.ini"
XDG_CONFIG_HOME="$RECORDS.config" QT_MESSAGE_PATTERN='%{time} %{message}' QT_LOGGING_RULES='*.debug=false' exec "$0" 1>&2)",
          0, updated },
        // Started in a terminal of its own, it waits for Enter: a stop signal ends it too.
        { "stop signal at Press Enter", {},
          R"sh(sleep 60 | script -qec "echo \$\$ > '$RECORDS.pid'; exec '$0'" /dev/null > "$RECORDS.out" 2>&1 &
until grep -q 'Press Enter' "$RECORDS.out" 2>/dev/null; do sleep 0.05; done
c=$(cat "$RECORDS.pid"); kill -TERM $c; sleep 1
[ -e /proc/$c ] && [ "$(cut -d ' ' -f 3 /proc/$c/stat)" != Z ] && echo "update-tracker still waits" >&2
tr -d '\r' < "$RECORDS.out" >&2)sh", 0, updated },
        // A disk that fills up: the record stops, named with its reason, and its path stays.
        { "record fills its disk", {},
          R"(mkdir -p "$RECORDS" && mount -t tmpfs -o size=4k tmpfs "$RECORDS" || exit 125
head -c 4096 /dev/zero > "$RECORDS/filler"
exec "$0" 1>&2)", 0, updated + "\nupdate-tracker: $RECORDS/rollout.csv cannot be written now ($RECORDS/rollout.csv.lock cannot be written): "
                                "this run's line waits in $HOME/Documents/tracker-updater records/rollout-waiting.csv, "
                                "and the next run that can write the file adds it first" },
        // A waiting line that a run added without removing its file (a power cut, the file
        // open in a spreadsheet) goes in once.
        { "waiting line already in the file", {},
          R"sh(mkdir -p "$RECORDS"; line='2025-03-12 14:02:40+01:00,869951040000099,ttyUSB2,NOT UPDATED,1,1.0,a,b,r.txt'
printf 'sep=,\r\ntime,IMEI,port,verdict,exit code,version,access point,update host,record\r\n%s\r\n' "$line" > "$RECORDS/rollout.csv"
printf '%s\r\n' "$line" > "$RECORDS/rollout-waiting.csv"
exec "$0" 1>&2)sh", 0, updated },
        // A time edited by hand with control bytes would reach the window: that line is not taken.
        { "earlier time with control bytes", {},
          R"(mkdir -p "$RECORDS"; printf 'sep=,\r\ntime,IMEI,port,verdict,exit code,version,access point,update host,record\r\n'\
'2025-03-12 14:02:40+01:00\033[2J\rX,869951040000017,ttyUSB2,UPDATED,0,1.0,a,b,r.txt\r\n' > "$RECORDS/rollout.csv"
exec "$0" 1>&2)", 0, updated },
        // An unplugged tracker: update-tracker sees its port gone, and the steps sent after
        // that reached nothing. Gone at the command counted, which it may have taken.
        { "unplugged at the backup's delete", { "--unplug-after", "16" }, plainStart, 6,
          keepsItsFirmware + R"(the tracker was unplugged at AT+CFSDFILE=0,"cust_app_bck.bin", before any file was renamed. )"
                             "You may run again." },
        { "unplugged at the first rename", { "--unplug-after", "17" }, plainStart, 7,
          "STOP, tracker " + imei + R"(, do not run again: the tracker was unplugged at AT+CFSREN=0,"cust_app.bin","cust_app_bck.bin", )"
          "during the file swap. Send the record to the maintainer." },
        { "unplugged at the second rename", { "--unplug-after", "18" }, plainStart, 7,
          "STOP, tracker " + imei + R"(, do not run again: the tracker was unplugged at AT+CFSREN=0,"cust_app_new.bin","cust_app.bin", )"
          "during the file swap. Send the record to the maintainer." },
        { "unplugged after the second rename", { "--unplug-after", "19" }, plainStart, 8,
          "UPDATED, tracker " + imei + ", but restart the tracker: the tracker was unplugged at AT+CFSTERM, "
          "after the file swap. Unplug the tracker and plug it in again." },
        // The modem restarting at the reboot leaves its port: no unplugging.
        { "port gone at the reboot", { "--unplug-after", "20" }, plainStart, 4,
          "UPDATED, tracker " + imei + ", but restart the tracker: the reboot got no OK in time. Unplug the tracker and plug it in again." },
        // Before or during the download, the run would wait its five minutes: Ctrl+C, as the
        // line that tells of the unplugging asks.
        { "unplugged before the download, then Ctrl+C", { "--unplug-after", "12" },
          inTheBackground + "until grep -q ' is gone' \"$RECORDS\"/* 2>/dev/null; do sleep 0.05; done; kill -INT $c\n" + nothingLeft, 6,
          unchanged + "the tracker was unplugged at AT+CNACT?, before the file swap. You may run again." },
        { "unplugged during the download, then Ctrl+C", { "--download-delay", "120000", "--plug-at", "0", "--unplug-at", "6000" },
          inTheBackground + "until grep -q ' is gone' \"$RECORDS\"/* 2>/dev/null; do sleep 0.05; done; kill -INT $c\n" + nothingLeft, 6,
          unchanged + "the tracker was unplugged at " + QString::fromUtf8(Expected::commands({}).value(13).trimmed())
                  + ", before the file swap. You may run again." },
        // A reader of the output that dies takes nothing with it: the verdict is in the record
        // and rollout.csv, and the exit code is the verdict's.
        { "reader gone, then Ctrl+C during the swap", { "--no-answer-to", R"(AT+CFSREN=0,"cust_app_new.bin")" },
          R"sh(mkfifo "$RECORDS.pipe"; setsid "$0" > "$RECORDS.pipe" 2>&1 & c=$!
cat "$RECORDS.pipe" >&2 & r=$!
until grep -qF 'CFSREN=0,\"cust_app_new' "$RECORDS"/* 2>/dev/null; do sleep 0.05; done
kill -KILL $r; wait $r; /bin/kill -INT -- -$c; wait $c)sh", 7,
          "STOP, tracker " + imei + R"(, do not run again: stopped at AT+CFSREN=0,"cust_app_new.bin","cust_app.bin", during the file swap. )"
          "Send the record to the maintainer." },
        { "reader gone after the first line", {},
          R"sh({ "$0" 2>&1; echo $? > "$RECORDS.code"; } | head -n 1 >&2; exit "$(cat "$RECORDS.code")")sh", 0, updated },
        // A minute of seconds taken, so that a start slowed by a loaded machine still finds its own taken.
        { "two runs in one second",
          {}, R"(mkdir "$RECORDS"; for s in $(seq 0 60); do : > "$RECORDS/update-$(date -d "+$s sec" +%Y-%m-%d-%H%M%S).txt"; done
exec "$0" 1>&2)", 0, updated },
    });
}

void EndToEndTest::companionGivesTheVerdict()
{
    QFETCH(QStringList, simulation);
    QFETCH(QString, script);
    QFETCH(int, exitCode);
    QFETCH(QString, verdict);
    QTemporaryDir directory;
    const QString bin = directory.filePath("bin");
    const QString records = bin + "/records";
    qputenv("RECORDS", records.toUtf8());
    // Where a run's line waits when no records folder takes it: the test's, not the user's.
    const QString home = directory.filePath("home");
    const QByteArrayList homeVariables = { "HOME", "XDG_CONFIG_HOME", "XDG_DATA_HOME" };
    QByteArrayList homeFound;
    for (const QByteArray &name : homeVariables)
        homeFound.append(qgetenv(name));
    auto restoreHome = qScopeGuard([&] {
        for (qsizetype i = 0; i < homeVariables.size(); ++i)
            qputenv(homeVariables[i], homeFound[i]);
    });
    qputenv("HOME", home.toUtf8());
    qputenv("XDG_CONFIG_HOME", (home + "/.config").toUtf8());
    qputenv("XDG_DATA_HOME", (home + "/.local/share").toUtf8());
    const SimulatedRun run = runCompanion(simulation, script, bin);
    QVERIFY2(run.unavailable.isEmpty(), qPrintable(run.unavailable));
    QVERIFY(run.finished);
    auto showRun = qScopeGuard([&run] {
        if (QTest::currentTestFailed())
            qInfo().noquote() << "The console:\n" + run.lines.join('\n');
    });
    QCOMPARE(run.exitCode, exitCode);
    QVERIFY(!run.lines.contains("tracker-updater left running"));

    const QString tag = QString::fromLatin1(QTest::currentDataTag());
    qsizetype earlierLines = 0;
    const QList<QStringList> rollout = rolloutFile(records, &earlierLines);
    if (tag.contains("companions at once")) {
        // Their lines mix on the one console; the rollout file holds each one's whole.
        const QStringList trackers = simulation.filter(QRegularExpression("^86995104\\d{7}$"));
        QCOMPARE(earlierLines, tag.contains("100 MB") ? 1300000 : 0);
        QCOMPARE(rollout.size(), 2 + trackers.size());
        QVERIFY(run.lines.filter("cannot be written now").isEmpty());
        QStringList imeis;
        for (const QStringList &line : rollout.mid(2)) {
            QCOMPARE(line.size(), 9);
            const QString itsVerdict = verdict.arg(line[1]);
            compareWithRollout({ line[2] + ": " + itsVerdict }, 6, line[8], { rollout[0], rollout[1], line });
            QFile record(records + '/' + line[8]);
            QVERIFY(record.open(QIODevice::ReadOnly));
            QVERIFY(record.readAll().endsWith("\n\n" + itsVerdict.toUtf8() + '\n'));
            imeis.append(line[1]);
        }
        imeis.sort();
        QCOMPARE(imeis, trackers);
        return;
    }
    verdictAgreesWithTheFiles(verdict, run, simulation);
    if (QTest::currentTestFailed())
        return;
    if (tag == "window held during a flood") {
        QVERIFY(!run.lines.contains("the verdict waited for the window"));
        const QStringList leftOut = run.lines.filter(QRegularExpression(
                "^update-tracker: the window held its output, and \\d+ bytes of tracker-updater's lines are not shown above; "
                "the record has them all$"));
        QCOMPARE(leftOut.size(), 1);
        QCOMPARE(run.lines.value(run.lines.size() - 2), QString(verdict));
        return;
    }
    if (tag.startsWith("reader gone")) {
        // The console lost the verdict; the record ends with it, and rollout.csv has its line.
        const QFileInfoList kept = QDir(records).entryInfoList({ "update-*" }, QDir::Files);
        QCOMPARE(kept.size(), 1);
        QFile record(kept.first().filePath());
        QVERIFY(record.open(QIODevice::ReadOnly));
        const QByteArray text = record.readAll();
        QVERIFY2(text.endsWith("\n\n" + verdict.toUtf8() + '\n'), text.right(400).constData());
        compareWithRollout({ verdict }, exitCode, kept.first().fileName(), rollout);
        return;
    }

    // The last companion's lines: the record's path first and last, the verdict lines before
    // it; between them the program's lines, also in the record, followed there by the verdict.
    QStringList lines = run.lines;
    if (tag == "stop signal at Press Enter") {
        QVERIFY(!lines.contains("update-tracker still waits"));
        QCOMPARE(lines.takeLast(), "Press Enter to close this window");
    }
    const bool twice = tag == "good download, then the same tracker again";
    QStringList verdictLines = QString(verdict)
                                       .replace("$RECORDS", records)
                                       .replace("$HOME", home)
                                       .replace("$EARLIER", rollout.value(rollout.size() - 2).value(0))
                                       .split('\n');
    const qsizetype verdictStart = lines.size() - 1 - verdictLines.size();
    QVERIFY(verdictStart > 1);
    QCOMPARE(lines[verdictStart - 1], "");
    const QStringList shown = lines.mid(verdictStart, verdictLines.size());
    QStringList sortedShown = shown;
    if (verdictLines.first().startsWith("tty")) {
        // Several trackers: they come in the order the system lists their ports.
        sortedShown.sort();
        verdictLines.sort();
    }
    QCOMPARE(sortedShown, verdictLines);
    // Its line comes wherever the write failed, among the program's.
    if (tag == "record fills its disk") {
        const QStringList stops = lines.filter(QRegularExpression("^update-tracker: the record stops here, it cannot be written: "));
        QVERIFY2(stops.size() == 1 && !stops.first().endsWith(": ") && !stops.first().endsWith("Unknown error"),
                 qPrintable(lines.join('\n')));
        qInfo("%s", qPrintable(stops.first()));
        QVERIFY2(lines.last().startsWith("Record of this run, cut short where it could not be written: " + records + "/update-")
                         && lines.last().endsWith("-" + imei + ".txt"),
                 qPrintable(lines.last()));
        return;
    }
    const QRegularExpression recordLine("^Record of this run: (" + QRegularExpression::escape(records)
                                        + "/update-\\d{4}-\\d\\d-\\d\\d-\\d{6})((?:-\\d{15})*)(-\\d+)?\\.txt$");
    const qsizetype start = std::max<qsizetype>(0, lines.lastIndexOf(recordLine, lines.size() - 2));
    const QStringList programLines = lines.mid(start + 1, verdictStart - 2 - start);
    if (exitCode != 9)
        QCOMPARE(programLines.mid(0, Expected::banner.size()), Expected::banner);
    if (tag == "good download")
        QCOMPARE(withoutModemChunks(programLines), Expected::banner + Expected::runLines("ttyUSB2", Expected::commands({})));
    if (tag == "record cannot be written") {
        // Each folder's reason, and at the end that there is no record.
        QVERIFY2(lines.first().startsWith("update-tracker: no record of this run can be kept (" + QDir::toNativeSeparators(records)
                                          + " cannot be made; "),
                 qPrintable(lines.first()));
        QCOMPARE(lines.first().count(" cannot be made"), 3);
        QVERIFY(lines.first().endsWith("); the run goes on"));
        QCOMPARE(lines.last(), "No record of this run was kept: the first line says why.");
        QCOMPARE(rollout, QList<QStringList>());
        return;
    }
    // Named by the time first, then by the trackers' IMEIs in the order they came.
    const QRegularExpressionMatch first = recordLine.match(lines[start]);
    const QRegularExpressionMatch last = recordLine.match(lines.last());
    QVERIFY2(first.hasMatch() && first.captured(2).isEmpty(), qPrintable(lines[start]));
    QVERIFY2(last.hasMatch(), qPrintable(lines.last()));
    QStringList imeis;
    for (const QString &line : shown) {
        const QString read = QRegularExpression(" tracker ([0-9]{15})").match(line).captured(1);
        if (!read.isEmpty() && !imeis.contains(read))
            imeis.append(read);
    }
    QCOMPARE(last.captured(1), first.captured(1));
    QCOMPARE(last.captured(2), imeis.isEmpty() ? QString() : '-' + imeis.join('-'));
    const QString recordPath = lines.last().mid(QStringLiteral("Record of this run: ").size());
    QCOMPARE(QFile::exists(first.captured(0).mid(QStringLiteral("Record of this run: ").size())), imeis.isEmpty());
    QFile record(recordPath);
    QVERIFY(record.open(QIODevice::ReadOnly));
    QCOMPARE(QString::fromUtf8(record.readAll()),
             (programLines.isEmpty() ? QString() : programLines.join('\n') + '\n') + '\n' + shown.join('\n') + '\n');

    const bool laterRuns = tag == "rollout file read-only, then writable" || tag == "rollout file on a full disk";
    if (shown.last().startsWith("update-tracker: this run is not in the rollout file")) {
        QCOMPARE(rollout, QList<QStringList>());
    } else if (shown.last().contains("cannot be written now")) {
        // Not in the file, but waiting for the next run that can write it.
        QCOMPARE(rollout, QList<QStringList>());
        QFile waiting(records + "/rollout-waiting.csv");
        QVERIFY(waiting.open(QIODevice::ReadOnly));
        const QList<QByteArray> waitingLines = waiting.readAll().split('\n');
        QCOMPARE(waitingLines.size(), 2);
        QCOMPARE(waitingLines[0].split(',').mid(1, 4), (QByteArrayList { imei.toUtf8(), "ttyUSB2", "UPDATED", "0" }));
    } else {
        compareWithRollout(shown, exitCode, QFileInfo(recordPath).fileName(), rollout,
                           twice || tag == "earlier time with control bytes" ? 1 : laterRuns ? rollout.size() - 3 : 0);
    }
    if (laterRuns) {
        // Each run's line, in the order of the runs, none left waiting; the earlier lines whole.
        QCOMPARE(earlierLines, tag.endsWith("full disk") ? 41 : 0);
        for (const QStringList &line : rollout.mid(2))
            QCOMPARE(line.mid(1, 4), (QStringList { imei, "ttyUSB2", "UPDATED", "0" }));
        QVERIFY(rollout[2][0] <= rollout[3][0] && rollout[3][0] <= rollout.last()[0]);
        QCOMPARE(QDir(records).entryList({ "rollout-waiting.csv" }), QStringList());
        QCOMPARE(QDir(home).entryList({ "rollout-waiting.csv" }), QStringList());
        const QString waited = tag.endsWith("full disk")
                ? "$RECORDS/rollout.csv cannot be written now ($RECORDS/rollout.csv: No space left on device): "
                  "this run's line waits in $RECORDS/rollout-waiting.csv, and the next run that can write the file adds it first"
                : "$RECORDS/rollout.csv cannot be written now ($RECORDS/rollout.csv: Read-only file system): "
                  "this run's line waits in $RECORDS/rollout-waiting.csv, and the next run that can write the file adds it first";
        QCOMPARE(run.lines.count("update-tracker: " + QString(waited).replace("$RECORDS", records).replace("$HOME", home)),
                 tag.endsWith("full disk") ? 1 : 2);
        // The second run on a read-only file counts the first's waiting line as an earlier one.
        QCOMPARE(run.lines.filter(QRegularExpression("^Updated before, on ")).size(), tag.endsWith("full disk") ? 1 : 2);
    }
    if (twice)
        QCOMPARE(rollout[2].mid(1, 4), (QStringList { imei, "ttyUSB2", "UPDATED", "0" }));
    if (tag == "waiting line already in the file") {
        QCOMPARE(earlierLines, 1);
        QCOMPARE(QDir(records).entryList({ "rollout-waiting.csv" }), QStringList());
    }
    if (tag == "two runs in one second") {
        // The run took the first free name of its second; the names taken stay as they were.
        QVERIFY2(first.captured(3) == "-2", qPrintable(first.captured(0)));
        for (const QFileInfo &other : QDir(records).entryInfoList({ "update-*" }, QDir::Files)) {
            if (other.filePath() != recordPath)
                QCOMPARE(other.size(), 0);
        }
    }
}

// Rows whose simulated tracker makes the program wait out real step limits.
void EndToEndTest::companionGivesTheVerdictAfterRealWaits_data()
{
    verdictRows({
        // Before the tracker registers, the first operator query times out; the run goes on.
        { "first operator query unanswered", { "--unregistered-queries", "1" }, plainStart, 0, updated },
        // The new image's rename answered in its last wait: "Timed out" shows under the OK.
        { "rename's OK in its last wait", { "--late-answer-to", R"(AT+CFSREN=0,"cust_app_new.bin")" }, plainStart, 0, updated },
        // Every answer a step late: the delete's late OK comes under the first rename, and the
        // first rename's under the second, which the modem never heard. Neither proves a
        // rename: the tracker has no image at all. The late IMEI still names it.
        { "answers a step late, the second rename unheard",
          { "--reply-delay", "10700", "--late-answer-to", "AT+CFSINIT", "--no-answer-to", R"(AT+CFSREN=0,"cust_app_new.bin")" },
          plainStart, 3,
          "STOP, tracker " + imei + R"(, do not run again: the file step AT+CFSREN=0,"cust_app.bin","cust_app_bck.bin" got no OK in time. )"
          "Send the record to the maintainer." },
        { "no coverage", { "--no-answer-to", "AT+CGATT", "--no-answer-to", "AT+CNACT=", "--download-status", "613" },
          plainStart, 1,
          unchanged + "no coverage (the modem reported network error 613). "
          "Move the tracker where it has coverage and run again." },
    });
}

void EndToEndTest::companionGivesTheVerdictAfterRealWaits()
{
    companionGivesTheVerdict();
}

SIMULATION_TEST_MAIN(EndToEndTest)
#include "tst_endtoend.moc"
