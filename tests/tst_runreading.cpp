// update-tracker's reading of a run, alone: the program's console as it would print it,
// read piece by piece, and the verdicts and exit code that follow. No process, no port.
#include "companion/runreading.h"

#include <QDebug>
#include <QTest>

using Chunks = QByteArrayList;
// A step's modem bytes by the beginning of its command: one chunk line each.
using Replies = QList<std::pair<QString, Chunks>>;
Q_DECLARE_METATYPE(UpdaterEnd)

class RunReadingTest : public QObject
{
    Q_OBJECT

private slots:
    void verdictFollowsTheAnswers_data();
    void verdictFollowsTheAnswers();
    void piecesCutAnywhere_data();
    void piecesCutAnywhere();
    void progressNamesTheStep_data();
    void progressNamesTheStep();
};

namespace {

const QByteArray banner = "Please plug the tracker\nThis windows will close automatically when finished\n\n"
                          "-------------------------\n\n";
const QByteArray closing = "\n-------------------------\n\nYou can finish the installation and quit\n";
const QByteArray ok = "\r\nOK\r\n";
const QString newToCurrent = R"(AT+CFSREN=0,"cust_app_new.bin")";
const QString currentToBackup = R"(AT+CFSREN=0,"cust_app.bin")";
const QString deleteBackup = R"(AT+CFSDFILE=0,"cust_app_bck.bin")";
const QString download = "AT+HTTPTOFS=";

QByteArray shown(const QByteArray &bytes)
{
    QString text;
    QDebug(&text).nospace() << bytes;
    return text.toUtf8() + '\n';
}

// What a modem that does everything sends under a command.
Chunks goodReply(const QString &command)
{
    const QByteArray echo = command.toUtf8() + "\r\n";
    if (command == "AT+COPS?")
        return { echo + "\r\n+COPS: 0,2,\"20801\",9\r\n" + ok };
    if (command == "AT+CNACT=0,1")
        return { echo + ok + "\r\n+APP PDP: 0,ACTIVE\r\n" };
    if (command.startsWith(download))
        return { echo + ok + "\r\n+HTTPTOFS: 200,91\r\n" };
    if (command == "AT+GSN")
        return { echo + "\r\n869951040000017\r\n" + ok };
    return { echo + ok };
}

struct Run
{
    QString port = "ttyUSB2";
    QByteArray imei = "869951040000017";
    Replies replies;          // instead of the good ones
    QStringList timedOut;     // steps whose answer came in their last wait
    bool downloaded = true;   // else "Download failed" and no file swap
    QString endsIn;           // the step in whose wait the output ends
};

// One tracker's lines from Open on, as the program prints them.
QByteArray trackerLines(const Run &run)
{
    QByteArray text = "Open  \"" + run.port.toUtf8() + "\"\n";
    qsizetype index = -1;
    for (const CommandStep &step : UpdateScript::standard().steps) {
        ++index;
        if (step.role == CommandStep::Role::OperatorChoice
            || (!run.downloaded && step.role == CommandStep::Role::FileSwap))
            continue;
        text += "Send " + shown(step.command.toUtf8() + "\r\n");
        Chunks chunks = goodReply(step.command);
        for (const auto &[start, replacement] : run.replies) {
            // "#N" names the script's step N alone, where a command comes twice.
            const bool byIndex = start == u'#' + QString::number(index);
            if (!byIndex && (start.isEmpty() || start.startsWith(u'#') || !step.command.startsWith(start)))
                continue;
            // A modem echoes the whole command, whatever part of it names the step here.
            chunks = replacement;
            for (QByteArray &chunk : chunks) {
                if (!byIndex && chunk.startsWith(start.toUtf8() + "\r\n"))
                    chunk.replace(0, start.toUtf8().size(), step.command.toUtf8());
            }
        }
        for (const QByteArray &chunk : std::as_const(chunks))
            text += shown(QByteArray(chunk).replace("869951040000017", run.imei));
        if (!run.endsIn.isEmpty() && step.command.startsWith(run.endsIn))
            return text;
        const bool answered = chunks.join().contains(step.expected.toUtf8());
        if (!answered || run.timedOut.contains(step.command))
            text += "Timed out\n";
        if (step.role == CommandStep::Role::Download && !run.downloaded)
            text += "Download failed: firmware files left unchanged\n";
    }
    return text + closing;
}

Chunks echoAnd(const QString &command, const QByteArray &reply)
{
    return { command.toUtf8() + "\r\n" + reply };
}

const UpdaterEnd exited { UpdaterEnd::How::Exited, 0 };
const UpdaterEnd stopped { UpdaterEnd::How::Stopped, 0 };
const UpdaterEnd killed { UpdaterEnd::How::Crashed, 0 };

QStringList readVerdicts(const QList<QByteArray> &pieces, const UpdaterEnd &end, int *exitCode)
{
    RunReading reading(UpdateScript::standard(), std::nullopt);
    for (const QByteArray &piece : pieces)
        reading.read(piece);
    reading.endOfOutput();
    const QList<RunVerdict> verdicts = reading.verdicts(end);
    *exitCode = verdictForm(RunReading::weightiest(verdicts).verdict).exitCode;
    QStringList lines;
    for (const RunVerdict &verdict : verdicts)
        lines.append(verdict.line);
    return lines;
}

} // namespace

void RunReadingTest::verdictFollowsTheAnswers_data()
{
    QTest::addColumn<QByteArray>("console");
    QTest::addColumn<UpdaterEnd>("end");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QStringList>("verdicts");
    // Each verdict on a tracker names it by the IMEI of its AT+GSN reply.
    const QString tracker = "tracker 869951040000017";
    const QString updated = "UPDATED, " + tracker + ": the tracker has its new firmware, and its old one as a backup.";
    const QString unchanged = "NOT UPDATED, " + tracker + ", the tracker is unchanged: ";
    const QString keeps = "NOT UPDATED, " + tracker + ", the tracker keeps its firmware: ";
    const QString rerun = "Unplug the tracker, plug it in again and run again.";
    const QString stop = "STOP, " + tracker + ", do not run again: ";
    const QString restart = "UPDATED, " + tracker + ", but restart the tracker: ";
    const QString noneOpened = "NOT UPDATED, the tracker is unchanged: ";
    const QString unread = "NOT UPDATED, tracker of unknown IMEI (AT+GSN gave none), the tracker is unchanged: ";
    const QString server = unchanged + "the update server answered %1. Tell the maintainer.";
    const QString unreadable = unchanged + "the download's report, the line above \"Download failed\", "
                                           "is not one tracker-updater can read. Tell the maintainer.";
    const QByteArray error = "\r\nERROR\r\n";
    Run failed;
    failed.downloaded = false;
    auto row = [](const char *name, const QByteArray &console, const UpdaterEnd &end, int exitCode, const QString &verdict) {
        QTest::newRow(name) << console << end << exitCode << QStringList { verdict };
    };
    auto with = [](Run run, const Replies &replies) {
        run.replies += replies;
        return run;
    };
    auto endingIn = [](Run run, const QString &step) {
        run.endsIn = step;
        return run;
    };

    row("good run", banner + trackerLines({}), exited, 0, updated);
    row("no banner", trackerLines({}), exited, 0, updated);
    row("first update: the backup's delete answered ERROR",
        banner + trackerLines(with({}, { { deleteBackup, echoAnd(deleteBackup, error) } })), exited, 0, updated);
    Run lastWait;
    lastWait.timedOut = QStringList { R"(AT+CFSREN=0,"cust_app_new.bin","cust_app.bin")" };
    row("OK in the last wait, Timed out under it", banner + trackerLines(lastWait), exited, 0, updated);
    row("late OK, before the next step's echo",
        banner + trackerLines(with({}, { { newToCurrent, echoAnd(newToCurrent, {}) },
                                          { "AT+CFSTERM", { ok + "AT+CFSTERM\r\n" + ok } } })),
        exited, 0, updated);
    row("report split between CR and LF",
        banner + trackerLines(with({}, { { download, { download.toUtf8() + "\r\n\r\nOK\r\n\r\n+HTTPTOFS: 200,91\r", "\n" } } })),
        exited, 0, updated);
    row("file swap's end unanswered",
        banner + trackerLines(with({}, { { "AT+CFSTERM", {} } })), exited, 0, updated);
    row("network error", banner + trackerLines(with(failed, { { download, echoAnd(download, ok + "\r\n+HTTPTOFS: 613,0\r\n") } })),
        exited, 1, unchanged + "no coverage (the modem reported network error 613). Move the tracker where it has coverage and run again.");
    row("no report", banner + trackerLines(with(failed, { { download, echoAnd(download, ok) } })),
        exited, 1, unchanged + "no coverage (the download got no report). Move the tracker where it has coverage and run again.");
    Run silent = failed;
    for (const CommandStep &step : UpdateScript::standard().steps)
        silent.replies.append({ step.command, {} });
    row("silent modem", banner + trackerLines(silent), exited, 1,
        unread + "the modem did not answer (AT+CMNB=1 got no answer). " + rerun);
    Run refusing = failed;
    for (const CommandStep &step : UpdateScript::standard().steps)
        refusing.replies.append({ step.command, echoAnd(step.command, error) });
    row("modem answering ERROR", banner + trackerLines(refusing), exited, 1,
        unread + "the modem did not answer (AT+CMNB=1 answered ERROR). " + rerun);
    row("not registered, so no report",
        banner + trackerLines(with(failed, { { "AT+COPS?", echoAnd("AT+COPS?", "\r\n+COPS: 2\r\n" + ok) },
                                             { download, echoAnd(download, ok) } })),
        exited, 1, unchanged + "no coverage (the download got no report). Move the tracker where it has coverage and run again.");
    row("asked three times, never registered, answers in pieces, so no report",
        banner + trackerLines(with(failed, { { "AT+COPS?", { "AT+COPS?\r\n", "\r\n+COPS: 2\r\n", ok } },
                                             { download, echoAnd(download, ok) } })),
        exited, 1, unchanged + "no coverage (the download got no report). Move the tracker where it has coverage and run again.");
    row("operator query refused, so no report",
        banner + trackerLines(with(failed, { { "AT+COPS?", echoAnd("AT+COPS?", error) }, { download, echoAnd(download, ok) } })),
        exited, 1, unchanged + "the modem did not answer (AT+COPS? answered ERROR). " + rerun);
    row("unplugged when the download was sent",
        banner + trackerLines(with(failed, { { download, {} }, { "AT+CREBOOT", {} } })), exited, 1,
        unchanged + "the modem did not answer (the download got no answer). " + rerun);
    row("report too late, under the reboot",
        banner + trackerLines(with(failed, { { download, echoAnd(download, ok + "\r\n+HTTPTOFS: 20") },
                                             { "AT+CREBOOT", { "0,91\r\nAT+CREBOOT\r\n" + ok } } })),
        exited, 1, unchanged + "the download's report came too late. Move the tracker where the coverage is better and run again.");
    // The reboot's echo ends the cut line: no report came whole, late or not.
    row("report cut, its line ended by the next echo",
        banner + trackerLines(with(failed, { { download, echoAnd(download, ok + "\r\n+HTTPTOFS: 200,9") },
                                             { "AT+CREBOOT", echoAnd("AT+CREBOOT", ok) } })),
        exited, 2, unreadable);
    row("not found", banner + trackerLines(with(failed, { { download, echoAnd(download, ok + "\r\n+HTTPTOFS: 404,0\r\n") } })),
        exited, 2, server.arg("404: running again does not help"));
    row("report in time in an unexpected form",
        banner + trackerLines(with(failed, { { download, echoAnd(download, ok + "\r\n+HTTPTOFS: 200,1234,0\r\n") } })),
        exited, 2, unreadable);
    row("report longer than any",
        banner + trackerLines(with(failed, { { download, echoAnd(download, ok + "\r\n+HTTPTOFS: " + QByteArray(300, '2') + "\r\n") } })),
        exited, 2, unreadable);
    row("files not opened, so nothing renamed",
        banner + trackerLines(with({}, { { "AT+CFSINIT", {} }, { deleteBackup, echoAnd(deleteBackup, error) },
                                          { currentToBackup, echoAnd(currentToBackup, error) },
                                          { newToCurrent, echoAnd(newToCurrent, error) } })),
        exited, 2, keeps + "the modem did not rename its files (AT+CFSINIT got no answer). Send the record to the maintainer.");
    row("new image's rename refused",
        banner + trackerLines(with({}, { { newToCurrent, echoAnd(newToCurrent, error) } })), exited, 3,
        stop + R"(the file step AT+CFSREN=0,"cust_app_new.bin","cust_app.bin" got no OK in time. Send the record to the maintainer.)");
    row("current image's rename unanswered",
        banner + trackerLines(with({}, { { currentToBackup, echoAnd(currentToBackup, {}) },
                                          { newToCurrent, echoAnd(newToCurrent, error) } })), exited, 3,
        stop + R"(the file step AT+CFSREN=0,"cust_app.bin","cust_app_bck.bin" got no OK in time. Send the record to the maintainer.)");
    const QString firstRenameUnknown = stop + R"(the file step AT+CFSREN=0,"cust_app.bin","cust_app_bck.bin" got no OK in time. )"
                                              "Send the record to the maintainer.";
    row("first rename timed out, an OK with no echo under the second",
        banner + trackerLines(with({}, { { currentToBackup, echoAnd(currentToBackup, {}) }, { newToCurrent, { ok } } })), exited, 3,
        firstRenameUnknown);
    row("first rename refused, an OK with no echo under the second",
        banner + trackerLines(with({}, { { currentToBackup, echoAnd(currentToBackup, error) }, { newToCurrent, { ok } } })), exited, 3,
        firstRenameUnknown);
    row("first rename unanswered, the second done",
        banner + trackerLines(with({}, { { currentToBackup, echoAnd(currentToBackup, {}) } })), exited, 3, firstRenameUnknown);
    // Answers one step late, as a slow modem gives them: each OK may be its step's own or
    // the late one of the step before, so none proves a rename.
    Run late = with({}, { { "AT+CFSINIT", { "AT+CFSINIT\r\n", "\r\n", "OK\r\n" } },
                          { deleteBackup, echoAnd(deleteBackup, {}) },
                          { currentToBackup, echoAnd(currentToBackup, ok) },
                          { newToCurrent, { ok } },
                          { "AT+CFSTERM", echoAnd("AT+CFSTERM", {}) },
                          { "AT+CREBOOT", echoAnd("AT+CREBOOT", ok) } });
    late.timedOut = QStringList { "AT+CFSINIT" };
    row("the delete's late OK under the first rename, its own under the silent second", banner + trackerLines(late),
        exited, 3, firstRenameUnknown);
    row("the delete's late OK under the silent first rename",
        banner + trackerLines(with({}, { { deleteBackup, echoAnd(deleteBackup, {}) }, { currentToBackup, { ok } } })), exited, 3,
        firstRenameUnknown);
    row("the second rename's late OK under the silent swap's end",
        banner + trackerLines(with({}, { { newToCurrent, echoAnd(newToCurrent, {}) }, { "AT+CFSTERM", { ok } } })), exited, 3,
        stop + R"(the file step AT+CFSREN=0,"cust_app_new.bin","cust_app.bin" got no OK in time. Send the record to the maintainer.)");
    row("the first rename's late OK after the second's echo",
        banner + trackerLines(with({}, { { currentToBackup, echoAnd(currentToBackup, {}) }, { newToCurrent, echoAnd(newToCurrent, ok) } })),
        exited, 3, firstRenameUnknown);
    row("the swap's end echoed late, its OK then the second rename's in count",
        banner + trackerLines(with({}, { { newToCurrent, echoAnd(newToCurrent, {}) }, { "AT+CFSTERM", {} },
                                          { "AT+CREBOOT", { "AT+CFSTERM\r\n" + ok + "AT+CREBOOT\r\n" + ok } } })),
        exited, 3,
        stop + R"(the file step AT+CFSREN=0,"cust_app_new.bin","cust_app.bin" got no OK in time. Send the record to the maintainer.)");
    // Two answers to one command: the answers do not fit one per command, and none counts.
    row("an OK too many before the renames",
        banner + trackerLines(with({}, { { "AT+CFSINIT", echoAnd("AT+CFSINIT", ok + ok) } })), exited, 3, firstRenameUnknown);
    // A flood of OK lines places nothing, and costs no more than its count.
    row("a flood of OK lines",
        banner + trackerLines(with({}, { { "AT+CFSINIT", echoAnd("AT+CFSINIT", ok.repeated(100001)) } })), exited, 3,
        firstRenameUnknown);
    // A step that nothing heard, no echo and nothing in its wait, answers nothing: the OKs
    // after it are the others' own.
    row("first update, the backup's delete unheard",
        banner + trackerLines(with({}, { { deleteBackup, {} } })), exited, 0, updated);
    row("first rename refused, the second done after its echo",
        banner + trackerLines(with({}, { { currentToBackup, echoAnd(currentToBackup, error) } })), exited, 0,
        "UPDATED, " + tracker + ": the tracker has its new firmware, but no answer shows its old one kept as a backup. "
                                "Tell the maintainer.");
    row("reboot unanswered", banner + trackerLines(with({}, { { "AT+CREBOOT", {} } })), exited, 4,
        restart + "the reboot got no OK in time. Unplug the tracker and plug it in again.");
    row("stopped before a tracker was found", banner, stopped, 5,
        "NO TRACKER FOUND: stopped before a tracker was found. Check the cable and the driver; "
        "tracker-ports lists the ports and marks the tracker's.");
    row("port held by another program", banner + "\"ttyUSB2\"  already used\n\"ttyUSB2\"  already used\n", stopped, 5,
        noneOpened + "another program holds its port \"ttyUSB2\". "
                    "Close that program (a terminal, a modem tool, a second updater) and run again.");
    row("stopped at the attach", banner + trackerLines(endingIn({}, "AT+CGATT")), stopped, 6,
        unchanged + "stopped at AT+CGATT=1, before the file swap. You may run again.");
    row("stopped before AT+GSN", banner + trackerLines(endingIn({}, "AT+COPS=2")), stopped, 6,
        "NOT UPDATED, tracker of unknown IMEI (the run ended before AT+GSN), the tracker is unchanged: "
        "stopped at AT+COPS=2, before the file swap. You may run again.");
    // The steps after AT+GSN in the script: the first attach, then the second.
    row("IMEI late, after the next step's echo",
        banner + trackerLines(with({}, { { "AT+GSN", echoAnd("AT+GSN", {}) },
                                          { "#6", echoAnd("AT+CGATT=1", "\r\n869951040000017\r\n" + ok + ok) } })),
        exited, 0, updated);
    row("IMEI two steps late, behind queued answers",
        banner + trackerLines(with({}, { { "AT+GSN", echoAnd("AT+GSN", ok) }, { "#6", echoAnd("AT+CGATT=1", ok) },
                                          { "#7", echoAnd("AT+CGATT=1", "\r\n869951040000017\r\n" + ok) } })),
        exited, 0, updated);
    row("stopped while AT+GSN waits", banner + trackerLines(endingIn(with({}, { { "AT+GSN", echoAnd("AT+GSN", {}) } }), "AT+GSN")),
        stopped, 6,
        "NOT UPDATED, tracker of unknown IMEI (the run ended before AT+GSN), the tracker is unchanged: "
        "stopped at AT+GSN, before the file swap. You may run again.");
    row("IMEI in two chunks", banner + trackerLines(with({}, { { "AT+GSN", { "AT+GSN\r\n\r\n8699510", "40000017\r\n" + ok } } })),
        exited, 0, updated);
    row("a longer number is no IMEI",
        banner + trackerLines(with({}, { { "AT+GSN", echoAnd("AT+GSN", "\r\n8699510400000171\r\n" + ok) } })), exited, 0,
        "UPDATED, tracker of unknown IMEI (AT+GSN gave none): the tracker has its new firmware, and its old one as a backup.");
    row("killed in the backup's delete wait", banner + trackerLines(endingIn(with({}, { { deleteBackup, echoAnd(deleteBackup, {}) } }), deleteBackup)),
        killed, 6, keeps + R"(tracker-updater ended unexpectedly at AT+CFSDFILE=0,"cust_app_bck.bin", before any file was renamed. You may run again.)");
    row("stopped while the files are opened",
        banner + trackerLines(endingIn(with({}, { { "AT+CFSINIT", echoAnd("AT+CFSINIT", {}) } }), "AT+CFSINIT")), stopped, 6,
        unchanged + "stopped at AT+CFSINIT, in the file swap before any file was changed. You may run again.");
    row("stopped in the rename's wait",
        banner + trackerLines(endingIn(with({}, { { currentToBackup, echoAnd(currentToBackup, {}) } }), currentToBackup)), stopped, 7,
        stop + R"(stopped at AT+CFSREN=0,"cust_app.bin","cust_app_bck.bin", during the file swap. Send the record to the maintainer.)");
    row("stopped at the reboot", banner + trackerLines(endingIn(with({}, { { "AT+CREBOOT", {} } }), "AT+CREBOOT")), stopped, 8,
        restart + "stopped at AT+CREBOOT, after the file swap. Unplug the tracker and plug it in again.");
    row("stopped at the reboot after a 404",
        banner + trackerLines(endingIn(with(failed, { { download, echoAnd(download, ok + "\r\n+HTTPTOFS: 404,0\r\n") },
                                                      { "AT+CREBOOT", {} } }), "AT+CREBOOT")),
        stopped, 2, server.arg("404: running again does not help"));
    row("ended before its first line", {}, UpdaterEnd { UpdaterEnd::How::Exited, 3 }, 9,
        noneOpened + "tracker-updater could not be started (it ended with exit code 3 before its first line). "
                    "Unzip the package again into an empty folder and run again.");
    row("a DLL missing on Windows", {}, UpdaterEnd { UpdaterEnd::How::Exited, int(0xC0000135) }, 9,
        noneOpened + "tracker-updater could not be started (it ended with exit code 0xC0000135 before its first line). "
                    "Unzip the package again into an empty folder and run again.");
    row("an error line of the system's, then its end", "tracker-updater: error while loading shared libraries: libQt6SerialPort.so.6\n",
        UpdaterEnd { UpdaterEnd::How::Exited, 127 }, 9,
        noneOpened + "tracker-updater could not be started (it ended with exit code 127 before its first line). "
                    "Unzip the package again into an empty folder and run again.");
    Run second = with(failed, { { download, echoAnd(download, ok + "\r\n+HTTPTOFS: 404,0\r\n") } });
    second.port = "ttyUSB3";
    second.imei = "869951040000025";
    QTest::newRow("two trackers") << banner + trackerLines({}) + trackerLines(second) << exited << 2
                                  << QStringList { "ttyUSB2: " + updated,
                                                   "ttyUSB3: " + QString(server).replace(tracker, "tracker 869951040000025")
                                                                         .arg("404: running again does not help") };
}

void RunReadingTest::verdictFollowsTheAnswers()
{
    QFETCH(QByteArray, console);
    QFETCH(UpdaterEnd, end);
    QFETCH(int, exitCode);
    QFETCH(QStringList, verdicts);
    int code = -1;
    QCOMPARE(readVerdicts({ console }, end, &code), verdicts);
    QCOMPARE(code, exitCode);
}

// The pipe hands the console on in pieces cut anywhere: inside an escape, between CR and
// LF, inside a multi-byte character. Every cut reads as the whole.
void RunReadingTest::piecesCutAnywhere_data()
{
    QTest::addColumn<QByteArray>("console");
    Run late;
    late.downloaded = false;
    late.replies = { { download, { download.toUtf8() + "\r\n\r\nOK\r\n\r\n+HTTPTOFS: 2" } },
                     { "AT+CREBOOT", { "00,91\r\n\xc3\xa9\x01\r\nAT+CREBOOT\r\n" + ok } } };
    QTest::newRow("good run, Windows' line ends") << QByteArray(banner + trackerLines({})).replace("\n", "\r\n");
    QTest::newRow("late report, bytes escaped") << banner + trackerLines(late);
}

void RunReadingTest::piecesCutAnywhere()
{
    QFETCH(QByteArray, console);
    int wholeCode = -1;
    const QStringList whole = readVerdicts({ console }, exited, &wholeCode);
    for (qsizetype cut = 1; cut < console.size(); ++cut) {
        int code = -1;
        const QStringList verdicts = readVerdicts({ console.left(cut), console.mid(cut) }, exited, &code);
        QVERIFY2(verdicts == whole && code == wholeCode, qPrintable(QStringLiteral("cut at %1: %2").arg(cut).arg(verdicts.join(u'\n'))));
    }
    QList<QByteArray> bytes;
    for (const char c : std::as_const(console))
        bytes.append(QByteArray(1, c));
    int code = -1;
    QCOMPARE(readVerdicts(bytes, exited, &code), whole);
}

// What the window's title shows: where the latest tracker's run stands.
void RunReadingTest::progressNamesTheStep_data()
{
    QTest::addColumn<QByteArray>("console");
    QTest::addColumn<QString>("port");
    QTest::addColumn<QString>("imei");
    QTest::addColumn<int>("step");
    QTest::addColumn<QString>("stage");
    auto endingIn = [](const QString &step, const QString &port = "ttyUSB2") {
        Run run;
        run.port = port;
        run.endsIn = step;
        return trackerLines(run);
    };
    QTest::newRow("no tracker yet") << banner << QString() << QString() << 0 << QString();
    QTest::newRow("port opened") << banner + "Open  \"ttyUSB2\"\n" << "ttyUSB2" << QString() << 0 << QString();
    QTest::newRow("first step") << banner + endingIn("AT+CMNB") << "ttyUSB2" << QString() << 1 << "network";
    QTest::newRow("IMEI read") << banner + endingIn("AT+CGATT") << "ttyUSB2" << "869951040000017" << 6 << "network";
    QTest::newRow("download") << banner + endingIn(download) << "ttyUSB2" << "869951040000017" << 14 << "download";
    QTest::newRow("second rename") << banner + endingIn(newToCurrent) << "ttyUSB2" << "869951040000017" << 18 << "file swap";
    QTest::newRow("reboot") << banner + endingIn("AT+CREBOOT") << "ttyUSB2" << "869951040000017" << 20 << "restart";
    // A second tracker's run: its own port, and no IMEI until its own AT+GSN.
    QTest::newRow("second tracker") << banner + trackerLines(Run()) + endingIn("AT+CBANDCFG", "ttyUSB3")
                                    << "ttyUSB3" << QString() << 2 << "network";
}

void RunReadingTest::progressNamesTheStep()
{
    QFETCH(QByteArray, console);
    QFETCH(QString, port);
    QFETCH(QString, imei);
    QFETCH(int, step);
    QFETCH(QString, stage);
    RunReading reading(UpdateScript::standard(), std::nullopt);
    reading.read(console);
    const RunReading::Progress progress = reading.progress();
    QCOMPARE(progress.port, port);
    QCOMPARE(progress.imei, imei);
    QCOMPARE(progress.step, step);
    QCOMPARE(progress.steps, port.isEmpty() ? 0 : 20);
    QCOMPARE(progress.stage, stage);
}

QTEST_GUILESS_MAIN(RunReadingTest)
#include "tst_runreading.moc"
