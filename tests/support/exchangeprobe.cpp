// One command exchange with a silent simulated modem, for clocks faked from outside.
// Prints on stdout: the step's length on the monotonic clock, and the wall clock's
// time of day when the step began and ended, all in milliseconds.
#include "simulatedsystem.h"
#include "simulatedtracker.h"
#include "testmonitor.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTextStream>
#include <QTime>

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

    const int wallStartMs = QTime::currentTime().msecsSinceStartOfDay();
    QElapsedTimer clock;
    clock.start();
    monitor.sendCommand("AT+CMNB=1\r\n", limitMs, "OK");
    out << clock.elapsed() << ' ' << wallStartMs << ' ' << QTime::currentTime().msecsSinceStartOfDay() << '\n';
    return 0;
}
