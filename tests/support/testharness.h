#pragma once

#include "sim/simulatedsystem.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QProcessEnvironment>
#include <QStringList>
#include <QTest>

// Collects the program's debug lines, with the time each arrived, while it lives.
class DebugCapture
{
public:
    struct Line
    {
        qint64 atMs;
        QString text;
    };

    DebugCapture();
    ~DebugCapture();
    DebugCapture(const DebugCapture &) = delete;
    DebugCapture &operator=(const DebugCapture &) = delete;

    QStringList lines() const;
    void clear() { captured.clear(); }
    // Lines that contain the given text, in order.
    QList<Line> linesContaining(const QString &text) const;

private:
    static void handle(QtMsgType type, const QMessageLogContext &context, const QString &message);

    QElapsedTimer clock;
    QList<Line> captured;
    QtMessageHandler previous;
};

// Enters the simulated system, then runs the tests. Where trackers cannot be simulated it
// runs none and reports itself skipped to CTest, or failed when CI is set.
int runSimulationTest(int argc, char *argv[], QObject *(*makeTest)());

// Like QTEST_GUILESS_MAIN, but enters the simulated system first, while single-threaded.
#define SIMULATION_TEST_MAIN(TestObject)                                                       \
    int main(int argc, char *argv[])                                                           \
    {                                                                                          \
        return runSimulationTest(argc, argv, []() -> QObject * { return new TestObject; });    \
    }

class SerialPortMonitor;

// Runs the event loop until the monitor emits quit (the result is then 0) or the time
// is up (the result is then -1).
int runUntilQuit(SerialPortMonitor &monitor, int timeoutMs);

// The environment of a run in the given locale: "C.UTF-8" (no country), or a country's
// such as "fr_FR.UTF-8", made for this process with localedef, so that no test depends on
// the locales a machine happens to have. Empty when the locale cannot be made.
QStringList localeEnvironment(const QString &locale);

// This process's environment with the given NAME=VALUE settings added.
QProcessEnvironment systemEnvironmentWith(const QStringList &settings);

// The description under which the program looks for the tracker.
QString trackerDescription();

// One run of the real program inside this process's simulated system.
struct ProgramRun
{
    bool finished = false;
    int exitCode = -1;
    QStringList lines; // its debug lines, without the final empty one
};
ProgramRun runProgram(const QStringList &arguments, const QStringList &extraEnvironment = {},
                      int timeoutMs = 30000);

// A debug line that shows a command being sent, as the program prints it.
QString sendLine(const QByteArray &command);

// The commands in what a modem received, each with its line end.
QByteArrayList commandsIn(const QByteArray &received);

// The lines of a run without the modem's chunks, which depend on how its replies were cut.
QStringList withoutModemChunks(const QStringList &lines);
