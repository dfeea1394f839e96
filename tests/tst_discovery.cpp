#include "support/expectations.h"
#include "sim/simulatedtracker.h"
#include "support/testharness.h"

#include "monitor/serialportmonitor.h"
#include "sim/childprocess.h"

#include <QElapsedTimer>
#include <QFile>
#include <QLockFile>
#include <QSerialPortInfo>
#include <QMetaMethod>
#include <QProcess>
#include <QTimer>

#include <atomic>
#include <chrono>
#include <memory>
#include <sys/stat.h>
#include <thread>

class DiscoveryTest : public QObject
{
    Q_OBJECT

private slots:
    void metaObjectHasOnlyQuitAndTimeout();
    void bannerThenNothingWithoutTracker();
    void busyPortIsReportedEachScanUntilFreed();
    void onlyTheExactDescriptionIsOpened_data();
    void onlyTheExactDescriptionIsOpened();
    void trackerPluggedWhileWaitingIsOpenedAtNextScan();
    void everyTrackerOfTheSnapshotIsUpdated();
    void noScanFollowsAnOpenedPort();
    void extraArgumentsChangeNothing_data();
    void extraArgumentsChangeNothing();
    void trackerPortsMarksTheTrackersPort();
    void enumerationListsOnlyPortsWithTheirTerminal();
    void trackerThatCannotBePluggedInRemovesNothing_data();
    void trackerThatCannotBePluggedInRemovesNothing();
};

namespace {

bool ranCompleteUpdate(const SimulatedTracker &tracker)
{
    const QByteArray received = tracker.received();
    return received.startsWith("AT+CMNB=1\r\n") && received.endsWith("AT+CREBOOT\r\n");
}

}

void DiscoveryTest::metaObjectHasOnlyQuitAndTimeout()
{
    const QMetaObject &meta = SerialPortMonitor::staticMetaObject;
    QCOMPARE(meta.className(), "SerialPortMonitor");
    QCOMPARE(meta.superClass(), &QObject::staticMetaObject);
    QCOMPARE(meta.methodCount() - meta.methodOffset(), 2);
    const QMetaMethod quit = meta.method(meta.methodOffset());
    const QMetaMethod timeout = meta.method(meta.methodOffset() + 1);
    QCOMPARE(quit.methodSignature(), QByteArray("quit()"));
    QCOMPARE(quit.methodType(), QMetaMethod::Signal);
    QCOMPARE(timeout.methodSignature(), QByteArray("timeout()"));
    QCOMPARE(timeout.methodType(), QMetaMethod::Slot);
    QCOMPARE(timeout.access(), QMetaMethod::Public);
    QCOMPARE(meta.propertyCount(), meta.propertyOffset());
    QCOMPARE(meta.enumeratorCount(), meta.enumeratorOffset());
    QCOMPARE(meta.constructorCount(), 0);
    QCOMPARE(meta.classInfoCount(), meta.classInfoOffset());
}

void DiscoveryTest::bannerThenNothingWithoutTracker()
{
    DebugCapture capture;
    SerialPortMonitor monitor;
    QCOMPARE(capture.lines(), Expected::banner);

    QTest::qWait(3400); // the first two scans
    QCOMPARE(capture.lines(), Expected::banner);
}

void DiscoveryTest::busyPortIsReportedEachScanUntilFreed()
{
    SimulatedTracker tracker("ttyUSB2", trackerDescription());
    QVERIFY2(tracker.error().isEmpty(), qPrintable(tracker.error()));
    auto lock = std::make_unique<QLockFile>(SimulatedSystem::lockFilePath("ttyUSB2"));
    QVERIFY(lock->tryLock(0));

    DebugCapture capture;
    SerialPortMonitor monitor;
    QTRY_COMPARE_WITH_TIMEOUT(capture.linesContaining("already used").size(), 3, 7000);
    lock.reset();
    QCOMPARE(runUntilQuit(monitor, 10000), 0);

    const QList<DebugCapture::Line> busy = capture.linesContaining("already used");
    QCOMPARE(busy.size(), 3);
    qint64 previousMs = 0;
    for (int scan = 0; scan < busy.size(); ++scan) {
        QCOMPARE(busy[scan].text, QStringLiteral("\"ttyUSB2\"  already used"));
        const qint64 sincePrevious = busy[scan].atMs - previousMs;
        const qint64 expected = scan == 0 ? 1000 : 2000;
        // Qt's default (coarse) timers may fire up to 5 % early.
        QVERIFY2(sincePrevious >= expected * 95 / 100 - 20 && sincePrevious <= expected + 600,
                 qPrintable(QStringLiteral("scan %1 came %2 ms after the one before").arg(scan).arg(sincePrevious)));
        previousMs = busy[scan].atMs;
    }
    const QList<DebugCapture::Line> opened = capture.linesContaining("Open");
    QCOMPARE(opened.size(), 1);
    QCOMPARE(opened[0].text, Expected::openLine("ttyUSB2"));
    const qint64 afterRelease = opened[0].atMs - previousMs;
    QVERIFY2(afterRelease >= 1880 && afterRelease <= 2600, qPrintable(QString::number(afterRelease)));
    QVERIFY(ranCompleteUpdate(tracker));
}

void DiscoveryTest::onlyTheExactDescriptionIsOpened_data()
{
    QTest::addColumn<QString>("decoyDescription");
    QTest::newRow("other case") << trackerDescription().toLower();
    QTest::newRow("extra text after") << trackerDescription() + " (2)";
    QTest::newRow("extra text before") << "USB " + trackerDescription();
    QTest::newRow("another interface") << QStringLiteral("SimTech HS-USB NMEA 9205");
}

void DiscoveryTest::onlyTheExactDescriptionIsOpened()
{
    QFETCH(QString, decoyDescription);
    SimulatedTracker decoy("ttyUSB1", decoyDescription);
    SimulatedTracker tracker("ttyUSB3", trackerDescription());
    QVERIFY2(decoy.error().isEmpty() && tracker.error().isEmpty(), qPrintable(decoy.error() + tracker.error()));

    DebugCapture capture;
    SerialPortMonitor monitor;
    QCOMPARE(runUntilQuit(monitor, 10000), 0);

    QCOMPARE(capture.linesContaining("Open").size(), 1);
    QCOMPARE(capture.linesContaining("Open")[0].text, Expected::openLine("ttyUSB3"));
    QVERIFY(capture.linesContaining("ttyUSB1").isEmpty());
    QVERIFY(decoy.received().isEmpty());
    QVERIFY(ranCompleteUpdate(tracker));
}

void DiscoveryTest::trackerPluggedWhileWaitingIsOpenedAtNextScan()
{
    DebugCapture capture;
    SerialPortMonitor monitor;
    std::unique_ptr<SimulatedTracker> tracker;
    QTimer::singleShot(1500, [&tracker] {
        tracker = std::make_unique<SimulatedTracker>("ttyUSB2", trackerDescription());
    });
    QCOMPARE(runUntilQuit(monitor, 10000), 0);

    QVERIFY2(tracker->error().isEmpty(), qPrintable(tracker->error()));
    const QList<DebugCapture::Line> opened = capture.linesContaining("Open");
    QCOMPARE(opened.size(), 1);
    QCOMPARE(opened[0].text, Expected::openLine("ttyUSB2"));
    // Plugged between the first scan (1000 ms) and the second (3000 ms).
    QVERIFY2(opened[0].atMs >= 2830 && opened[0].atMs <= 3700, qPrintable(QString::number(opened[0].atMs)));
    QVERIFY(ranCompleteUpdate(*tracker));
}

void DiscoveryTest::everyTrackerOfTheSnapshotIsUpdated()
{
    SimulatedTracker first("ttyUSB2", trackerDescription());
    SimulatedTracker second("ttyUSB5", trackerDescription());
    QVERIFY2(first.error().isEmpty() && second.error().isEmpty(), qPrintable(first.error() + second.error()));

    DebugCapture capture;
    SerialPortMonitor monitor;
    int quits = 0;
    connect(&monitor, &SerialPortMonitor::quit, [&quits] { ++quits; });
    QTRY_COMPARE_WITH_TIMEOUT(quits, 2, 15000);

    QVERIFY(ranCompleteUpdate(first));
    QVERIFY(ranCompleteUpdate(second));
    // One run after the other: the second port opens only after the first run closed.
    const QStringList lines = capture.lines();
    QList<qsizetype> opens;
    QList<qsizetype> ends;
    for (qsizetype i = 0; i < lines.size(); ++i) {
        if (lines[i].startsWith("Open  "))
            opens.append(i);
        if (lines[i] == Expected::closingLines.last())
            ends.append(i);
    }
    QCOMPARE(opens.size(), 2);
    QCOMPARE(ends.size(), 2);
    QVERIFY(opens[0] < ends[0] && ends[0] < opens[1] && opens[1] < ends[1]);
    QCOMPARE(lines.mid(ends[0] - 3, 4), Expected::closingLines);
    QCOMPARE(lines.mid(ends[1] - 3, 4), Expected::closingLines);
}

void DiscoveryTest::noScanFollowsAnOpenedPort()
{
    auto tracker = std::make_unique<SimulatedTracker>("ttyUSB2", trackerDescription());
    QVERIFY2(tracker->error().isEmpty(), qPrintable(tracker->error()));
    DebugCapture capture;
    SerialPortMonitor monitor;
    QCOMPARE(runUntilQuit(monitor, 10000), 0);
    tracker.reset();

    // Any scan would now report this busy tracker.
    SimulatedTracker busy("ttyUSB4", trackerDescription());
    QLockFile lock(SimulatedSystem::lockFilePath("ttyUSB4"));
    QVERIFY(lock.tryLock(0));
    const qsizetype linesAfterRun = capture.lines().size();
    QTest::qWait(4500);
    QCOMPARE(capture.lines().size(), linesAfterRun);
}

void DiscoveryTest::extraArgumentsChangeNothing_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::newRow("none") << QStringList();
    QTest::newRow("options") << QStringList { "--help", "-v", "--port=ttyUSB9" };
    QTest::newRow("words") << QStringList { "COM3", "update", "" };
}

void DiscoveryTest::extraArgumentsChangeNothing()
{
    QFETCH(QStringList, arguments);
    SimulatedTracker tracker("ttyUSB2", trackerDescription());
    QVERIFY2(tracker.error().isEmpty(), qPrintable(tracker.error()));

    const ProgramRun run = runProgram(arguments);
    QVERIFY(run.finished);
    QCOMPARE(run.exitCode, 0);
    const QStringList &lines = run.lines;
    QCOMPARE(lines.mid(0, 5), Expected::banner);
    QCOMPARE(lines.value(5), Expected::openLine("ttyUSB2"));
    QCOMPARE(lines.value(6), QStringLiteral("Send \"AT+CMNB=1\\r\\n\""));
    QCOMPARE(lines.mid(lines.size() - 4), Expected::closingLines);
    QVERIFY(ranCompleteUpdate(tracker));
}

void DiscoveryTest::trackerPortsMarksTheTrackersPort()
{
    SimulatedTracker decoy("ttyUSB1", "SimTech HS-USB NMEA 9205");
    SimulatedTracker tracker("ttyUSB2", trackerDescription());
    QVERIFY2(decoy.error().isEmpty() && tracker.error().isEmpty(), qPrintable(decoy.error() + tracker.error()));

    QProcess ports;
    killWithParent(ports);
    ports.start(TRACKER_PORTS_PATH);
    QVERIFY(ports.waitForFinished(10000));
    QCOMPARE(ports.exitCode(), 0);
    const QString trackerLine = QStringLiteral("* ttyUSB2 \"%1\" \"SimTech, Incorporated\" 1e0e:9205").arg(trackerDescription());
    QCOMPARE(QString::fromUtf8(ports.readAllStandardOutput()).split('\n', Qt::SkipEmptyParts),
             QStringList({ R"(  ttyUSB1 "SimTech HS-USB NMEA 9205" "SimTech, Incorporated" 1e0e:9205)", trackerLine }));

    // A list that could not be written must not pass for the list.
    QProcess full;
    killWithParent(full);
    full.setStandardOutputFile("/dev/full");
    full.start(TRACKER_PORTS_PATH);
    QVERIFY(full.waitForFinished(10000));
    QCOMPARE(full.exitCode(), 1);
    QCOMPARE(QString::fromUtf8(full.readAllStandardError()),
             "tracker-ports: cannot write the list of ports: No space left on device\n");
}

void DiscoveryTest::enumerationListsOnlyPortsWithTheirTerminal()
{
    std::atomic<bool> done { false };
    std::atomic<int> transitions { 0 }; // each start and end of a plug or an unplug
    std::thread plugging([&done, &transitions] {
        while (!done) {
            ++transitions;
            {
                SimulatedTracker tracker("ttyUSB7", trackerDescription());
                ++transitions;
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
                ++transitions;
            }
            ++transitions;
        }
    });
    auto listed = [] { return QFile::exists("/sys/class/tty/ttyUSB7"); };
    auto isTerminal = [] {
        struct stat node {};
        return ::stat("/dev/ttyUSB7", &node) == 0 && S_ISCHR(node.st_mode);
    };
    // Listed before and after its node was looked at, within one plug or unplug: a
    // listing that comes and goes around the check is no proof.
    auto listedWithoutTerminal = [&] {
        const int before = transitions;
        return listed() && !isTerminal() && listed() && transitions == before;
    };
    int sightings = 0;
    int withoutTerminal = 0;
    QElapsedTimer clock;
    clock.start();
    while (clock.elapsed() < 1500) {
        for (const QSerialPortInfo &port : QSerialPortInfo::availablePorts()) {
            if (port.portName() == "ttyUSB7")
                ++sightings;
        }
        // Between two enumerations, as often as the system allows.
        for (int check = 0; check < 100; ++check)
            withoutTerminal += listedWithoutTerminal();
    }
    done = true;
    plugging.join();
    QVERIFY(sightings > 0);
    QCOMPARE(withoutTerminal, 0);
}

void DiscoveryTest::trackerThatCannotBePluggedInRemovesNothing_data()
{
    QTest::addColumn<QString>("portName");
    QTest::newRow("name of a plugged tracker") << "ttyUSB2";
    QTest::newRow("name of a system device") << "null";
    QTest::newRow("path") << "../sys/x";
}

void DiscoveryTest::trackerThatCannotBePluggedInRemovesNothing()
{
    QFETCH(QString, portName);
    SimulatedTracker tracker("ttyUSB2", trackerDescription());
    QVERIFY2(tracker.error().isEmpty(), qPrintable(tracker.error()));
    QVERIFY(!SimulatedTracker(portName, trackerDescription()).error().isEmpty());

    const QList<QSerialPortInfo> ports = QSerialPortInfo::availablePorts();
    QCOMPARE(ports.size(), 1);
    QCOMPARE(ports.first().portName(), "ttyUSB2");
    QVERIFY(QFile::exists("/dev/ttyUSB2") && QFile::exists("/dev/null"));
}

SIMULATION_TEST_MAIN(DiscoveryTest)
#include "tst_discovery.moc"
