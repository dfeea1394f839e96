// One command exchange with a silent simulated modem, for a wall clock faked from outside.
// Prints on stdout: the step's length in milliseconds on the monotonic clock, and the
// wall clock's local date and time when the step began and when it ended.
#include "sim/simulatedsystem.h"
#include "sim/simulatedtracker.h"
#include "testmonitor.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTextStream>
#include <QDateTime>

int main(int argc, char *argv[])
{
    const QString unavailable = SimulatedSystem::enter();
    QCoreApplication app(argc, argv);
    QTextStream out(stdout);
    if (!unavailable.isEmpty()) {
        QTextStream(stderr) << unavailable << '\n';
        return 2;
    }
    const int limitMs = app.arguments().value(1).toInt();

    ModemBehaviour silent;
    silent.mode = ModemBehaviour::Mode::Silent;
    SimulatedTracker modem("ttyUSB2", "Simulated modem under test", silent);
    TestMonitor monitor;
    if (!modem.error().isEmpty() || !monitor.openPort("ttyUSB2"))
        return 3;

    const QDateTime wallStart = QDateTime::currentDateTime();
    QElapsedTimer clock;
    clock.start();
    monitor.sendCommand("AT+CMNB=1\r\n", limitMs, "OK");
    out << clock.elapsed() << ' ' << wallStart.toString(Qt::ISODateWithMs) << ' '
        << QDateTime::currentDateTime().toString(Qt::ISODateWithMs) << '\n';
    return 0;
}
