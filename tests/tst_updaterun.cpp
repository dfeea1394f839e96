#include "support/expectations.h"
#include "support/simulatedtracker.h"
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
};

namespace {

UpdateScript scaledDown(int divisor)
{
    UpdateScript script = UpdateScript::standard();
    for (CommandStep &step : script.beforeOperatorChoice)
        step.timeLimitMs /= divisor;
    script.operatorChoice.timeLimitMs /= divisor;
    for (CommandStep &step : script.afterOperatorChoice)
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
    QTest::newRow("no country") << "C" << QByteArray();
}

void UpdateRunTest::completeRunFollowsTheLocale()
{
    REQUIRE_SIMULATION();
    QFETCH(QString, locale);
    QFETCH(QByteArray, operatorSelection);
    SimulatedTracker tracker("ttyUSB2", trackerDescription());
    QVERIFY2(tracker.error().isEmpty(), qPrintable(tracker.error()));

    const ProgramRun run = runProgram({}, { "LC_ALL=" + locale });
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
    REQUIRE_SIMULATION();
    QFETCH(ModemBehaviour::Mode, mode);
    ModemBehaviour behaviour;
    behaviour.mode = mode;
    SimulatedTracker tracker("ttyUSB2", trackerDescription(), behaviour);
    QVERIFY2(tracker.error().isEmpty(), qPrintable(tracker.error()));

    DebugCapture capture;
    SerialPortMonitor monitor(scaledDown(100));
    QCOMPARE(runUntilQuit(monitor, 30000), 0);

    const QByteArrayList commands = commandsIn(tracker.received());
    QVERIFY2(commands.size() == 20 || commands.size() == 21, qPrintable(QString::number(commands.size())));
    QCOMPARE(commands.first(), QByteArray("AT+CMNB=1\r\n"));
    QCOMPARE(commands.last(), QByteArray("AT+CREBOOT\r\n"));
    QStringList expectedLines = Expected::banner;
    expectedLines.append(Expected::openLine("ttyUSB2"));
    for (const QByteArray &command : commands)
        expectedLines += { sendLine(command), "Timed out" };
    expectedLines += Expected::closingLines;
    QCOMPARE(withoutModemChunks(capture.lines()), expectedLines);
    QCOMPARE(tracker.files().value("cust_app.bin"), SimulatedTracker::currentImage);
}

SIMULATION_TEST_MAIN(UpdateRunTest)
#include "tst_updaterun.moc"
