#pragma once

#include <QJsonArray>
#include <QJsonObject>
#include <QMap>
#include <QStringList>
#include <QTest>

// A command run by tracker-sim, as its report tells it.
struct SimulatedRun
{
    QString unavailable;
    bool finished = false;
    int exitCode = -1;
    double cpuSeconds = 0;
    qint64 peakMemoryKiB = 0;
    QStringList lines; // the command's standard error
    QList<qint64> lineTimesMs; // from the command's first line
    QJsonArray ports;

    QByteArray portBytes(int port, const char *key) const
    {
        return QByteArray::fromBase64(ports.at(port)[key].toString().toLatin1());
    }
    QByteArray received(int port) const { return portBytes(port, "received"); }
    QByteArray sent(int port) const { return portBytes(port, "sent"); }
    QMap<QString, QByteArray> files(int port) const;
};

// Runs command (by default the program) under tracker-sim with the given simulation
// options, in the given locale (see localeEnvironment), for at most timeoutMs.
SimulatedRun simulate(const QStringList &simulation, const QString &locale = "C.UTF-8", int timeoutMs = 60000,
                      const QStringList &command = { TRACKER_UPDATER_PATH });

#define SIMULATE(run, ...)                                                                     \
    const SimulatedRun run = simulate(__VA_ARGS__);                                            \
    QVERIFY2(run.unavailable.isEmpty(), qPrintable(run.unavailable));                          \
    QVERIFY(run.finished);                                                                     \
    QCOMPARE(run.exitCode, 0)
