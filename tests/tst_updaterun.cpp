#include "support/expectations.h"
#include "sim/simulatedtracker.h"
#include "support/testharness.h"

#include "monitor/serialportmonitor.h"

class UpdateRunTest : public QObject
{
    Q_OBJECT

private slots:
    void completeRunFollowsTheLocale_data();
    void completeRunFollowsTheLocale();
    void unansweredStepsStillEndTheRun_data();
    void unansweredStepsStillEndTheRun();
    void downloadOutcomeDecidesTheFileSwap_data();
    void downloadOutcomeDecidesTheFileSwap();
    void stepsWaitForTheirOwnReply_data();
    void stepsWaitForTheirOwnReply();
};

// One update run of a test, against a modem that downloads as given.
struct Attempt
{
    ModemBehaviour modem;
    Expected::Download outcome;
    bool downloadTimesOut = false;
};
Q_DECLARE_METATYPE(QList<Attempt>)
Q_DECLARE_METATYPE(ModemBehaviour)

namespace {

UpdateScript scaledDown(int divisor)
{
    UpdateScript script = UpdateScript::standard();
    for (CommandStep &step : script.steps)
        step.timeLimitMs /= divisor;
    return script;
}

}

void UpdateRunTest::completeRunFollowsTheLocale_data()
{
    QTest::addColumn<QString>("locale");
    QTest::addColumn<QByteArray>("operatorSelection");
    QTest::newRow("France") << "fr_FR.UTF-8" << QByteArray("AT+COPS=4,2,20801");
    QTest::newRow("Austria") << "de_AT.UTF-8" << QByteArray("AT+COPS=4,2,23203");
    QTest::newRow("Belgium") << "nl_BE.UTF-8" << QByteArray("AT+COPS=4,2,20610");
    QTest::newRow("Canada") << "en_CA.UTF-8" << QByteArray("AT+COPS=4,2,302610");
    QTest::newRow("Germany") << "de_DE.UTF-8" << QByteArray("AT+COPS=4,2,26204");
    QTest::newRow("Switzerland") << "fr_CH.UTF-8" << QByteArray("AT+COPS=4,2,22801");
    QTest::newRow("United Kingdom, no row") << "en_GB.UTF-8" << QByteArray();
    QTest::newRow("no country") << "C.UTF-8" << QByteArray();
}

void UpdateRunTest::completeRunFollowsTheLocale()
{
    QFETCH(QString, locale);
    QFETCH(QByteArray, operatorSelection);
    SimulatedTracker tracker("ttyUSB2", trackerDescription());
    QVERIFY2(tracker.error().isEmpty(), qPrintable(tracker.error()));

    const QStringList environment = localeEnvironment(locale);
    QVERIFY2(!environment.isEmpty(), qPrintable("cannot make the locale " + locale));
    const ProgramRun run = runProgram({}, environment);
    QVERIFY(run.finished);
    QCOMPARE(run.exitCode, 0);

    const QByteArrayList commands = Expected::commands(operatorSelection);
    QCOMPARE(commands.size(), operatorSelection.isEmpty() ? 20 : 21);
    QCOMPARE(commandsIn(tracker.received()), commands);

    QCOMPARE(withoutModemChunks(run.lines), Expected::banner + Expected::runLines("ttyUSB2", commands));
    QCOMPARE(tracker.files(), Expected::filesAfterSwap());
}

void UpdateRunTest::unansweredStepsStillEndTheRun_data()
{
    QTest::addColumn<ModemBehaviour::Mode>("mode");
    QTest::newRow("silent modem") << ModemBehaviour::Mode::Silent;
    QTest::newRow("modem answering ERROR") << ModemBehaviour::Mode::Error;
}

void UpdateRunTest::unansweredStepsStillEndTheRun()
{
    QFETCH(ModemBehaviour::Mode, mode);
    ModemBehaviour behaviour;
    behaviour.mode = mode;
    SimulatedTracker tracker("ttyUSB2", trackerDescription(), behaviour);
    QVERIFY2(tracker.error().isEmpty(), qPrintable(tracker.error()));

    DebugCapture capture;
    SerialPortMonitor monitor(scaledDown(100));
    QCOMPARE(runUntilQuit(monitor, 30000), 0);

    const QByteArrayList commands = commandsIn(tracker.received());
    // Without a download, no file swap; no operator choice in the C locale.
    QCOMPARE(commands, Expected::commands({}, Expected::Download::Fails));
    QCOMPARE(withoutModemChunks(capture.lines()), Expected::banner + Expected::unansweredRunLines("ttyUSB2", commands));
    QCOMPARE(tracker.files(), Expected::filesBeforeRun());
}

void UpdateRunTest::downloadOutcomeDecidesTheFileSwap_data()
{
    QTest::addColumn<QList<Attempt>>("attempts");
    ModemBehaviour downloaded;
    ModemBehaviour notFound;
    notFound.downloadStatus = 404;
    ModemBehaviour serverError;
    serverError.downloadStatus = 500;
    ModemBehaviour neverReports;
    neverReports.downloadSilent = true;
    ModemBehaviour emptyFile;
    emptyFile.downloadEmpty = true;
    ModemBehaviour reportAlone;
    reportAlone.downloadReportAlone = true;
    ModemBehaviour sizeCutAtTheLimit; // "+HTTPTOFS: 200,8" in time, the rest of the size too late
    sizeCutAtTheLimit.downloadSplitAt = 16;
    sizeCutAtTheLimit.downloadSplitMs = 5000;
    ModemBehaviour textBeforeTheKeyword;
    textBeforeTheKeyword.downloadReportPrefix = "noise";

    using Expected::Download;
    QTest::newRow("200") << QList<Attempt> { { downloaded, Download::Succeeds } };
    QTest::newRow("404") << QList<Attempt> { { notFound, Download::Fails } };
    QTest::newRow("500") << QList<Attempt> { { serverError, Download::Fails } };
    // Successful statuses with a body that is not the whole image, or none.
    for (const int status : { 201, 204, 206, 299 }) {
        ModemBehaviour otherSuccess;
        otherSuccess.downloadStatus = status;
        QTest::addRow("%d", status) << QList<Attempt> { { otherSuccess, Download::Fails } };
    }
    QTest::newRow("text before the keyword") << QList<Attempt> { { textBeforeTheKeyword, Download::Fails, true } };
    QTest::newRow("no report") << QList<Attempt> { { neverReports, Download::Fails, true } };
    QTest::newRow("empty file") << QList<Attempt> { { emptyFile, Download::Fails } };
    // A read may end anywhere in the report's line, the line start before it included.
    const QByteArray reportLine = "+HTTPTOFS: 200,"
            + QByteArray::number(Expected::filesAfterSwap().value("cust_app.bin").size()) + "\r\n";
    for (int at = 0; at < reportLine.size(); ++at) {
        ModemBehaviour cut;
        cut.downloadSplitMs = 300;
        cut.downloadSplitAt = at;
        QTest::addRow("report cut after %d bytes", at) << QList<Attempt> { { cut, Download::Succeeds } };
    }
    QTest::newRow("report first of all the step receives") << QList<Attempt> { { reportAlone, Download::Succeeds } };
    ModemBehaviour unspaced;
    unspaced.downloadReportUnspaced = true;
    QTest::newRow("report without the space after its colon") << QList<Attempt> { { unspaced, Download::Succeeds } };
    QTest::newRow("report line unfinished at the limit")
            << QList<Attempt> { { sizeCutAtTheLimit, Download::Fails, true } };
    // Each failure used to cost an image: the second one wiped the tracker.
    QTest::newRow("failures, then a download")
            << QList<Attempt> { { notFound, Download::Fails }, { emptyFile, Download::Fails },
                                { neverReports, Download::Fails, true }, { downloaded, Download::Succeeds } };
}

void UpdateRunTest::downloadOutcomeDecidesTheFileSwap()
{
    QFETCH(QList<Attempt>, attempts);
    SimulatedTracker tracker("ttyUSB2", trackerDescription());
    QVERIFY2(tracker.error().isEmpty(), qPrintable(tracker.error()));
    UpdateScript script = scaledDown(10);
    for (CommandStep &step : script.steps) {
        if (step.role == CommandStep::Role::Download)
            step.timeLimitMs = 2000;
    }

    for (const Attempt &attempt : attempts) {
        tracker.setBehaviour(attempt.modem);
        const qsizetype receivedBefore = tracker.received().size();
        const QMap<QString, QByteArray> filesBefore = tracker.files();
        DebugCapture capture;
        SerialPortMonitor monitor(script);
        QCOMPARE(runUntilQuit(monitor, 20000), 0);

        const QByteArrayList commands = Expected::commands({}, attempt.outcome);
        QCOMPARE(commandsIn(tracker.received().mid(receivedBefore)), commands);
        QStringList lines = withoutModemChunks(capture.lines());
        const qsizetype timedOut = lines.removeAll("Timed out");
        QCOMPARE(lines, Expected::banner + Expected::runLines("ttyUSB2", commands));
        QCOMPARE(timedOut, attempt.downloadTimesOut ? 1 : 0);

        const QMap<QString, QByteArray> files = tracker.files();
        if (attempt.outcome == Expected::Download::Succeeds) {
            QCOMPARE(files, Expected::filesAfterSwap());
        } else {
            QCOMPARE(files.value("cust_app.bin"), filesBefore.value("cust_app.bin"));
            QCOMPARE(files.value("cust_app_bck.bin"), filesBefore.value("cust_app_bck.bin"));
        }
    }
}

// A step whose reply is more than "OK" lasts until that reply: on a real network the
// context takes seconds to come up, and the tracker some time to be registered.
void UpdateRunTest::stepsWaitForTheirOwnReply_data()
{
    QTest::addColumn<ModemBehaviour>("modem");
    QTest::addColumn<QByteArray>("timedOutCommand"); // its first step waits out its limit
    ModemBehaviour slowActivation;
    slowActivation.activationDelayMs = 2000;
    ModemBehaviour notRegisteredYet;
    notRegisteredYet.unregisteredQueries = 1;
    QTest::newRow("activation report seconds after its OK") << slowActivation << QByteArray();
    QTest::newRow("not registered at the first operator query") << notRegisteredYet << QByteArray("AT+COPS?\r\n");
}

void UpdateRunTest::stepsWaitForTheirOwnReply()
{
    QFETCH(ModemBehaviour, modem);
    QFETCH(QByteArray, timedOutCommand);
    SimulatedTracker tracker("ttyUSB2", trackerDescription(), modem);
    QVERIFY2(tracker.error().isEmpty(), qPrintable(tracker.error()));
    DebugCapture capture;
    SerialPortMonitor monitor(scaledDown(10));
    QCOMPARE(runUntilQuit(monitor, 30000), 0);

    const QByteArrayList commands = Expected::commands({});
    QCOMPARE(commandsIn(tracker.received()), commands);
    QStringList expectedLines = Expected::banner + Expected::runLines("ttyUSB2", commands);
    if (!timedOutCommand.isEmpty())
        expectedLines.insert(expectedLines.indexOf(sendLine(timedOutCommand)) + 1, "Timed out");
    const QStringList lines = capture.lines();
    QCOMPARE(withoutModemChunks(lines), expectedLines);

    // What the modem sent between one command and the next holds the reply its step waits
    // for, unless the step timed out.
    for (qsizetype at = lines.indexOf(Expected::openLine("ttyUSB2")) + 1, step = 0; step < commands.size(); ++step) {
        QCOMPARE(lines.value(at), sendLine(commands[step]));
        QString received;
        for (++at; at < lines.size() && lines[at].startsWith('"'); ++at)
            received += lines[at].mid(1, lines[at].size() - 2);
        if (lines.value(at) != "Timed out")
            QVERIFY2(received.contains(Expected::awaitedReply(commands[step])), qPrintable(sendLine(commands[step])));
        for (; at < lines.size() && !lines[at].startsWith("Send "); ++at) { }
    }
    QCOMPARE(tracker.files(), Expected::filesAfterSwap());
}

SIMULATION_TEST_MAIN(UpdateRunTest)
#include "tst_updaterun.moc"
