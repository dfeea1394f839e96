#include "sim/simulatedtracker.h"
#include "support/testharness.h"
#include "support/testmonitor.h"

#include "sim/childprocess.h"

#include <QElapsedTimer>
#include <QProcess>
#include <QDateTime>
#include <QFile>
#include <QSaveFile>
#include <QTemporaryDir>
#include <QThread>

#include <fcntl.h>
#include <memory>
#include <poll.h>
#include <unistd.h>

Q_DECLARE_METATYPE(QList<TimedReply>)

class CommandExchangeTest : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void stepEndsAtExpectedTextOrLimit_data();
    void stepEndsAtExpectedTextOrLimit();
    void leftoverTextSatisfiesTheNextCall();
    void floodingModemDoesNotStretchTheStep();
    void modemBytesAreEscaped_data();
    void modemBytesAreEscaped();
    void wallClockChangesDoNotShortenAStep_data();
    void wallClockChangesDoNotShortenAStep();
    void unplugHangsUpThePort();

private:
    // A modem that answers as each test queues, on a port the monitor has open.
    std::unique_ptr<SimulatedTracker> modem;
    std::unique_ptr<DebugCapture> capture;
    std::unique_ptr<TestMonitor> monitor;
};

namespace {

// Never the tracker's description, so the monitor's own scan leaves the port alone.
const QString modemDescription = QStringLiteral("Simulated modem under test");
const QString command = QStringLiteral("AT+CMNB=1\r\n");
const QString sentCommandLine = sendLine(command.toUtf8());
const QString timedOut = QStringLiteral("Timed out");

// Read by libfaketime in the probe at every clock reading: the wall clock's offset from the real one.
bool setWallClockOffset(const QString &settingPath, const QByteArray &offset)
{
    QSaveFile setting(settingPath); // replaced at once: never read half written
    return setting.open(QIODevice::WriteOnly) && setting.write(offset + '\n') > 0 && setting.commit();
}

bool isPrintableAscii(const QString &line)
{
    return std::all_of(line.cbegin(), line.cend(), [](QChar c) { return c >= u' ' && c < QChar(0x7F); });
}

}

void CommandExchangeTest::init()
{
    ModemBehaviour scripted;
    scripted.mode = ModemBehaviour::Mode::Scripted;
    modem = std::make_unique<SimulatedTracker>("ttyUSB2", modemDescription, scripted);
    QVERIFY2(modem->error().isEmpty(), qPrintable(modem->error()));
    capture = std::make_unique<DebugCapture>();
    monitor = std::make_unique<TestMonitor>();
    QVERIFY(monitor->openPort("ttyUSB2"));
    capture->clear(); // the banner
}

void CommandExchangeTest::cleanup()
{
    monitor.reset();
    capture.reset();
    modem.reset();
}

void CommandExchangeTest::stepEndsAtExpectedTextOrLimit_data()
{
    QTest::addColumn<QList<TimedReply>>("replies");
    QTest::addColumn<bool>("vanish");
    QTest::addColumn<int>("limitMs");
    QTest::addColumn<QString>("expected");
    QTest::addColumn<QStringList>("echoed");
    QTest::addColumn<int>("minMs");
    QTest::addColumn<int>("maxMs");

    // Durations count from the call: the first wait lasts 200 ms unless something arrives.
    // The modem's pauses count from its own millisecond clock, so allow a little below them.
    // Everything that arrives during one wait is read, and echoed, as one chunk.
    const QStringList none;
    QTest::newRow("split over two chunks")
            << QList<TimedReply> { { 0, "AT+CMNB=1\r\n\r\nO" }, { 450, "K\r\n" } } << false << 2000
            << "OK" << QStringList { R"("AT+CMNB=1\r\n\r\nO")", R"("K\r\n")" } << 430 << 1200;
    QTest::newRow("long text split over two chunks")
            << QList<TimedReply> { { 0, "\r\nOK\r\n\r\n+APP PDP: 0,AC" }, { 450, "TIVE\r\n" } } << false << 2000
            << "+APP PDP: 0,ACTIVE" << QStringList { R"("\r\nOK\r\n\r\n+APP PDP: 0,AC")", R"("TIVE\r\n")" }
            << 430 << 1200;
    QTest::newRow("complete first reply")
            << QList<TimedReply> { { 0, "AT+CMNB=1\r\n\r\nOK\r\n" } } << false << 3000 << "OK"
            << QStringList { R"("AT+CMNB=1\r\n\r\nOK\r\n")" } << 290 << 800;
    // The wait before reading is a tenth of the limit, told from a fifth (2 s).
    QTest::newRow("complete first reply, long limit")
            << QList<TimedReply> { { 0, "AT+CMNB=1\r\n\r\nOK\r\n" } } << false << 10000 << "OK"
            << QStringList { R"("AT+CMNB=1\r\n\r\nOK\r\n")" } << 990 << 1700;
    QTest::newRow("other case")
            << QList<TimedReply> { { 0, "\r\nok\r\n" } } << false << 1000 << "OK"
            << QStringList { R"("\r\nok\r\n")", timedOut } << 1000 << 1700;
    QTest::newRow("error reply")
            << QList<TimedReply> { { 0, "AT+CMNB=1\r\n" }, { 300, "\r\nERROR\r\n" } } << false << 1000
            << "OK" << QStringList { R"("AT+CMNB=1\r\n")", R"("\r\nERROR\r\n")", timedOut } << 1000 << 1700;
    QTest::newRow("silent modem")
            << QList<TimedReply>() << false << 1000 << "OK" << QStringList { timedOut } << 1200 << 1700;
    // Without its text, a step that ends right at its limit has still failed.
    QTest::newRow("zero limit")
            << QList<TimedReply>() << false << 0 << "OK" << QStringList { timedOut } << 190 << 600;
    QTest::newRow("vanished port")
            << QList<TimedReply>() << true << 1000 << "OK" << QStringList { timedOut } << 1000 << 1700;
}

void CommandExchangeTest::stepEndsAtExpectedTextOrLimit()
{
    QFETCH(QList<TimedReply>, replies);
    QFETCH(bool, vanish);
    QFETCH(int, limitMs);
    QFETCH(QString, expected);
    QFETCH(QStringList, echoed);
    QFETCH(int, minMs);
    QFETCH(int, maxMs);

    modem->queueReply(replies);
    if (vanish)
        modem->unplug();
    QElapsedTimer clock;
    clock.start();
    monitor->sendCommand(command, limitMs, expected);
    const qint64 tookMs = clock.elapsed();

    QCOMPARE(capture->lines(), QStringList { sentCommandLine } + echoed);
    QVERIFY2(tookMs >= minMs && tookMs <= maxMs, qPrintable(QStringLiteral("took %1 ms").arg(tookMs)));
    if (!vanish)
        QCOMPARE(modem->received(), command.toUtf8());
}

void CommandExchangeTest::leftoverTextSatisfiesTheNextCall()
{
    // Arrives after the first call has given up.
    modem->queueReply({ { 1000, "\r\nOK\r\n" } });
    monitor->sendCommand(command, 300, QStringLiteral("OK"));
    QCOMPARE(capture->lines(), QStringList({ sentCommandLine, timedOut }));
    QThread::msleep(1000);

    QElapsedTimer clock;
    clock.start();
    monitor->sendCommand(QStringLiteral("AT+GSN\r\n"), 2000, QStringLiteral("OK"));
    const qint64 tookMs = clock.elapsed();
    const QStringList lines = { sentCommandLine, timedOut, sendLine("AT+GSN\r\n"), R"("\r\nOK\r\n")" };
    QCOMPARE(capture->lines(), lines);
    // The first wait and one tenth of the limit, not the limit.
    QVERIFY2(tookMs >= 190 && tookMs < 800, qPrintable(QStringLiteral("took %1 ms").arg(tookMs)));
}

void CommandExchangeTest::floodingModemDoesNotStretchTheStep()
{
    // About 12 MB over two seconds, in many small pieces, none with the expected text.
    QList<TimedReply> flood;
    for (int ms = 0; ms < 2000; ms += 2)
        flood.append({ ms, QByteArray(24 * 1024, 'x') });
    modem->queueReply(flood);

    QElapsedTimer clock;
    clock.start();
    monitor->sendCommand(command, 2000, QStringLiteral("OK"));
    const qint64 tookMs = clock.elapsed();

    QCOMPARE(capture->lines().last(), timedOut);
    QVERIFY2(capture->lines().size() > 20, qPrintable(QString::number(capture->lines().size())));
    QVERIFY2(tookMs >= 2000 && tookMs <= 2000 + 200 + 200 + 800, qPrintable(QStringLiteral("took %1 ms").arg(tookMs)));
}

void CommandExchangeTest::modemBytesAreEscaped_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QString>("line");
    QTest::newRow("terminal escape sequences")
            << QByteArray("\x1b[2J\x1b[31mred\x1b]0;title\x07") << R"("\x1B[2J\x1B[31mred\x1B]0;title\x07)";
    QTest::newRow("invalid UTF-8") << QByteArray("\xff\xfe\xc3(\xed\xa0\x80") << R"("\xFF\xFE\xC3(\xED\xA0\x80)";
    QTest::newRow("valid UTF-8") << QByteArray("caf\xc3\xa9") << R"("caf\xC3\xA9)";
    QTest::newRow("control bytes and DEL") << QByteArray("a\0b\x7f\x01-", 6) << R"("a\x00""b\x7F\x01-)";
    QTest::newRow("quotes and backslashes") << QByteArray("\"\\") << R"("\"\\)";
}

void CommandExchangeTest::modemBytesAreEscaped()
{
    QFETCH(QByteArray, bytes);
    QFETCH(QString, line);

    modem->queueReply({ { 0, bytes + "\r\nOK\r\n" } });
    monitor->sendCommand(command, 1000, QStringLiteral("OK"));

    const QString echoed = line + R"(\r\nOK\r\n")";
    QCOMPARE(capture->lines(), QStringList({ sentCommandLine, echoed }));
    for (const QString &captured : capture->lines())
        QVERIFY2(isPrintableAscii(captured), qPrintable(captured.toUtf8().toPercentEncoding()));
}

void CommandExchangeTest::wallClockChangesDoNotShortenAStep_data()
{
    QTest::addColumn<bool>("passesMidnight");
    QTest::newRow("passes midnight") << true;
    QTest::newRow("set back an hour") << false;
}

void CommandExchangeTest::wallClockChangesDoNotShortenAStep()
{
    QFETCH(bool, passesMidnight);
    QVERIFY2(QFile::exists(FAKETIME_LIBRARY),
             "libfaketime is missing: install the Debian package faketime (scripts/test does)");
    QTemporaryDir directory;
    const QString clockSetting = directory.filePath("faketime");
    QVERIFY(setWallClockOffset(clockSetting, "+0"));

    QProcess probe;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("LD_PRELOAD", FAKETIME_LIBRARY);
    environment.insert("FAKETIME_TIMESTAMP_FILE", clockSetting);
    environment.insert("FAKETIME_NO_CACHE", "1");
    environment.insert("DONT_FAKE_MONOTONIC", "1");
    environment.insert("LC_ALL", "C.UTF-8");
    probe.setProcessEnvironment(environment);
    probe.setReadChannel(QProcess::StandardError);
    killWithParent(probe);
    probe.start(EXCHANGE_PROBE_PATH, { "2500" });

    // Change the wall clock once the step has begun, however long the probe took to get there.
    QByteArray console;
    while (!console.contains("Send")) {
        QVERIFY2(probe.waitForReadyRead(10000), console.constData());
        console += probe.readAllStandardError();
    }
    if (passesMidnight) {
        const QDateTime now = QDateTime::currentDateTime();
        const qint64 toMidnightMs = now.msecsTo(QDateTime(now.date().addDays(1), QTime(0, 0)));
        QVERIFY(setWallClockOffset(clockSetting, QString::asprintf("%+.3f", double(toMidnightMs - 500) / 1000).toLatin1()));
    } else {
        QVERIFY(setWallClockOffset(clockSetting, "-1h"));
    }
    QVERIFY(probe.waitForFinished(20000));
    QCOMPARE(probe.exitCode(), 0);
    console += probe.readAllStandardError();

    // The step's length on the monotonic clock, then the wall clock when it began and ended.
    const QList<QByteArray> report = probe.readAllStandardOutput().trimmed().split(' ');
    QCOMPARE(report.size(), 3);
    const int stepMs = report[0].toInt();
    const QDateTime wallStart = QDateTime::fromString(QString::fromLatin1(report[1]), Qt::ISODateWithMs);
    const QDateTime wallEnd = QDateTime::fromString(QString::fromLatin1(report[2]), Qt::ISODateWithMs);
    const QString wall = QStringLiteral("the wall clock went from %1 to %2").arg(report[1], report[2]);
    if (passesMidnight)
        QVERIFY2(wallEnd.date() > wallStart.date() && wallEnd.time() < QTime(0, 1), qPrintable(wall));
    else
        QVERIFY2(wallEnd < wallStart, qPrintable(wall));
    QVERIFY2(stepMs >= 2500 + 200 && stepMs <= 2500 + 250 + 200 + 500, qPrintable(QString::number(stepMs)));
    const QStringList lines = QString::fromUtf8(console).split('\n', Qt::SkipEmptyParts);
    QCOMPARE(lines.mid(lines.size() - 2), QStringList({ sentCommandLine, timedOut }));
}

void CommandExchangeTest::unplugHangsUpThePort()
{
    // A reader of its own, as a program holding a real USB port would be (the monitor
    // holds the fixture's port exclusively).
    SimulatedTracker tracker("ttyUSB3", modemDescription);
    QVERIFY2(tracker.error().isEmpty(), qPrintable(tracker.error()));
    const int reader = ::open("/dev/ttyUSB3", O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    QVERIFY(reader >= 0);
    tracker.unplug();

    pollfd watch { reader, POLLIN, 0 };
    const int ready = ::poll(&watch, 1, 2000);
    char byte;
    const ssize_t count = ::read(reader, &byte, 1);
    const int readError = errno;
    ::close(reader);
    QCOMPARE(ready, 1);
    QVERIFY(watch.revents & POLLHUP);
    // End of file or an I/O error, never "try again later".
    QVERIFY2(count == 0 || (count == -1 && readError == EIO), qPrintable(QString::number(readError)));
}

SIMULATION_TEST_MAIN(CommandExchangeTest)
#include "tst_commandexchange.moc"
