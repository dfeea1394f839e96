#pragma once

// tracker-sim's command line: what it asks for, and the rules every option is checked
// against before anything happens.
#include "sim/simulatedtracker.h"

#include "buildsettings.h"

#include <QFile>
#include <QLockFile>
#include <QStringList>

#include <list>
#include <memory>

// The text of --help.
extern const char trackerSimUsage[];

// One --port: what it asks for, then, during the run, its tracker and the lock that
// holds it busy.
struct PortPlan
{
    QString name;
    QString description = QString::fromUtf8(BuildSettings::portDescription);
    ModemBehaviour behaviour;
    int plugAtMs = 0;
    int plugAfterOutputMs = -1;
    int unplugAtMs = -1;
    int busyUntilMs = 0;
    QStringList given; // its options, each at most once
    std::unique_ptr<SimulatedTracker> tracker;
    std::unique_ptr<QLockFile> lock;
};

// What the command line asks for.
struct Options
{
    std::list<PortPlan> ports;
    QString reportPath;
    std::shared_ptr<QFile> report; // created before anything else happens
    QString program;
    QStringList programArguments;
    bool helpRequested = false;
};

// Checks every option; returns why one cannot be taken, or an empty string.
QString parse(const QStringList &arguments, Options &options);

// Created at once, so that a report that could not be written never costs a whole run.
QString createReport(Options &options);
